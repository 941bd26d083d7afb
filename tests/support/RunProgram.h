// Runs a program as a child process for a test and captures what it printed.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProgramResult {
    int exitStatus = -1;  // -1 when it did not exit normally
    std::string out;      // standard output
    std::string err;      // standard error
};

// Runs `program` with `args` in `workDir` (empty: the current one). `env`
// entries "NAME=value" are set and entries "NAME" are removed, on top of the
// test's own environment. Standard input is /dev/null.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, const std::vector<std::string>& env);

}  // namespace testsupport
