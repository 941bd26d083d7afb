// Child processes for both builds: started with fork and execve (no shell),
// waited for with a deadline in the patcher's seconds.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "machine/Machine.h"

extern char** environ;

namespace machine {

namespace {

// Builds the child's environment: the parent's, with each extra "NAME=value"
// replacing a variable of the same name or added at the end.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    for (const std::string& add : extra) {
        std::string::size_type eq = add.find('=');
        std::string name = add.substr(0, eq == std::string::npos ? add.size() : eq + 1);
        bool replaced = false;
        for (std::string& have : env) {
            if (have.compare(0, name.size(), name) == 0) {
                have = add;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            env.push_back(add);
        }
    }
    return env;
}

long long NowMillis() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void PauseMillis(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

ChildResult RunChild(const ChildSpec& request) {
    ChildResult result;

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are made.
    std::vector<std::string> envStrings = ChildEnvironment(request.extraEnv);
    std::vector<char*> envp;
    for (std::string& e : envStrings) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStrings;
    argStrings.push_back(request.program);
    argStrings.insert(argStrings.end(), request.args.begin(), request.args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    // A pipe closed on exec tells the parent whether the child got as far as execve.
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        result.error = errno;
        return result;
    }

    pid_t pid = fork();
    if (pid < 0) {
        result.error = errno;
        close(errPipe[0]);
        close(errPipe[1]);
        return result;
    }
    if (pid == 0) {
        close(errPipe[0]);
        int err = 0;
        if (!request.workDir.empty() && chdir(request.workDir.c_str()) != 0) {
            err = errno;
        }
        if (err == 0 && request.switchIdentity) {
            if (setgroups(0, nullptr) != 0 && geteuid() == 0) {
                err = errno;
            } else if (setgid(request.gid) != 0 || setuid(request.uid) != 0) {
                err = errno;
            }
        }
        if (err == 0) {
            execve(argv[0], argv.data(), envp.data());
            err = errno;
        }
        ssize_t ignored = write(errPipe[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }

    close(errPipe[1]);
    int childErr = 0;
    ssize_t got;
    do {
        got = read(errPipe[0], &childErr, sizeof childErr);
    } while (got < 0 && errno == EINTR);
    close(errPipe[0]);

    result.started = true;
    // However short the testbed makes a second, a child gets at least the
    // real time it needs to start and do its work before it is killed.
    const long long kLeastLimitMillis = 2000;
    long long limit = static_cast<long long>(request.timeoutSeconds) * SecondMillis();
    if (limit < kLeastLimitMillis) {
        limit = kLeastLimitMillis;
    }
    long long deadline = NowMillis() + limit;
    int status = 0;
    long pause = 1;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            result.error = errno;
            return result;
        }
        if (NowMillis() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            result.timedOut = true;
            return result;
        }
        PauseMillis(pause);
        if (pause < 20) {
            pause *= 2;
        }
    }
    if (got == static_cast<ssize_t>(sizeof childErr)) {
        result.error = childErr;
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace machine
