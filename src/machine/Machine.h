// The one seam between the patcher and the machine it runs on.
//
// Everything a test must control goes through here: where the fixed machine
// paths really lie, how long one second of the patcher's waits lasts, and how
// child processes are started. The product links product.cpp (fixed paths,
// real seconds); the testbed links testbed.cpp (a test folder standing for
// "/", scaled seconds). process.cpp is shared by both.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace machine {

// Called once by main before anything else. The product always answers true;
// the testbed answers false (after a one-line message on standard error) when
// it has no test folder to run in.
bool StartupCheck();

// Maps an absolute path of the machine ("/etc", "/opt/varnel/ORV/...") to the
// place where it really lies.
std::string HostPath(const std::string& fixedPath);

// Milliseconds that one second of the patcher's waits lasts.
long SecondMillis();

// Waits `seconds` seconds of the patcher's time.
void SleepSeconds(int seconds);

// A child process started directly (never through a shell), in a context
// of its own: a session of its own without a controlling terminal,
// /dev/null as standard input, output and error, no other descriptor, no
// supplementary group, a reset environment and its own file-creation mask.
struct ChildSpec {
    std::string program;            // absolute path of the executable
    std::vector<std::string> args;  // argv[1..]; argv[0] is `program`
    // "NAME=value" set over the reset environment, which holds PATH, HOME,
    // USER, LOGNAME and SHELL of the user it runs as, the patcher's LANG,
    // LC_* and TZ, and the seam's own variables (SeamChildVariables).
    std::vector<std::string> extraEnv;
    std::string workDir;          // changed to in the child; empty keeps the parent's
    bool switchIdentity = false;  // run under uid/gid below
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t umask = 022;
    int timeoutSeconds = 300;  // in the patcher's seconds; its process group is killed after that
};

// Variables of the seam's own that every child gets ("NAME=value"): none in
// the product; in the testbed its test folder and second, so that a program
// of the build the child starts finds the same machine.
std::vector<std::string> SeamChildVariables();

struct ChildResult {
    bool started = false;   // fork succeeded
    bool timedOut = false;  // killed after timeoutSeconds
    int status = -1;        // exit status when it exited normally, else -1
    int error = 0;          // errno of a failure to start
};

ChildResult RunChild(const ChildSpec& request);

}  // namespace machine
