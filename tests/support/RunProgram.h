// Runs a program, or a piece of a test, as a child process: a program with
// what it printed captured, a piece of a test under another identity.
#pragma once

#include <sys/types.h>

#include <functional>
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
    // Started as a careless root shell would start it: a new pseudo-terminal
    // as its controlling terminal and standard input, the supplementary
    // group kCallerGroup, umask 0, HOME=/root and kCallerSecret set.
    bool callerContext = false;
};

// What a program started with ProgramOptions::callerContext holds of its caller's.
const gid_t kCallerGroup = 4242;
extern const char kCallerSecret[];  // "NAME=value"

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

// Runs `body` in a forked child as `uid`/`gid` with no supplementary groups
// and returns its result (0..254), or -1 when the child could not take that
// identity, answered 255 or did not end normally. A test that is not the
// superuser is unprivileged already: the body then keeps the test's identity.
int RunAsUser(uid_t uid, gid_t gid, const std::function<int()>& body);

// RunAsUser as the unprivileged user and group 65534.
inline int RunAsNobody(const std::function<int()>& body) {
    return RunAsUser(65534, 65534, body);
}

}  // namespace testsupport
