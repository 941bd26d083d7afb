// Runs a program as a child process for a test and captures what it printed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct ProgramOptions {
    std::string workDir;           // empty: the test's own
    std::vector<std::string> env;  // "NAME=value" set, "NAME" removed, over the test's own
    bool asUser = false;           // run under uid/gid, supplementary groups dropped
    uid_t uid = 0;
    gid_t gid = 0;
    int timeoutSeconds = 600;  // then the program is killed
};

struct ProgramResult {
    int exitStatus = -1;  // -1 when it did not exit normally
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs `program` with `args`; standard input is /dev/null. Output is read
// until the program itself has exited: processes it started may keep its
// pipes open long after, and are not waited for.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramOptions& options = ProgramOptions());

}  // namespace testsupport
