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

// Everything the child needs, made before fork: after it, only
// async-signal-safe calls are made.
struct PreparedChild {
    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    std::vector<std::string> argStrings;
    std::vector<char*> argv;
};

void Prepare(const ChildSpec& request, PreparedChild& child) {
    child.envStrings = ChildEnvironment(request.extraEnv);
    for (std::string& e : child.envStrings) {
        child.envp.push_back(&e[0]);
    }
    child.envp.push_back(nullptr);
    child.argStrings.push_back(request.program);
    child.argStrings.insert(child.argStrings.end(), request.args.begin(), request.args.end());
    for (std::string& a : child.argStrings) {
        child.argv.push_back(&a[0]);
    }
    child.argv.push_back(nullptr);
}

// In the child: working folder, identity, then the program. Never returns.
[[noreturn]] void BecomeChild(const ChildSpec& request, PreparedChild& child, int errFd) {
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
        execve(child.argv[0], child.argv.data(), child.envp.data());
        err = errno;
    }
    ssize_t ignored = write(errFd, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

// Starts the child; its pid, or -1 with `error` set. `execError` receives
// the errno of a child that could not get as far as execve (0 when it did).
pid_t Spawn(const ChildSpec& request, PreparedChild& child, int& error, int& execError) {
    // A pipe closed on exec tells the parent whether the child got as far as execve.
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        error = errno;
        return -1;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        error = errno;
        close(errPipe[0]);
        close(errPipe[1]);
        return -1;
    }
    if (pid == 0) {
        close(errPipe[0]);
        BecomeChild(request, child, errPipe[1]);
    }
    close(errPipe[1]);
    execError = 0;
    ssize_t got;
    do {
        got = read(errPipe[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    close(errPipe[0]);
    if (got != static_cast<ssize_t>(sizeof execError)) {
        execError = 0;
    }
    return pid;
}

// Waits for the child until the deadline, then kills it.
void WaitFor(pid_t pid, int timeoutSeconds, ChildResult& result) {
    // However short the testbed makes a second, a child gets at least the
    // real time it needs to start and do its work before it is killed.
    const long long kLeastLimitMillis = 2000;
    long long limit = static_cast<long long>(timeoutSeconds) * SecondMillis();
    if (limit < kLeastLimitMillis) {
        limit = kLeastLimitMillis;
    }
    const long long deadline = NowMillis() + limit;
    int status = 0;
    long pause = 1;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            result.error = errno;
            return;
        }
        if (NowMillis() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            result.timedOut = true;
            return;
        }
        PauseMillis(pause);
        if (pause < 20) {
            pause *= 2;
        }
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
}

}  // namespace

ChildResult RunChild(const ChildSpec& request) {
    ChildResult result;
    PreparedChild child;
    Prepare(request, child);
    int execError = 0;
    const pid_t pid = Spawn(request, child, result.error, execError);
    if (pid < 0) {
        return result;
    }
    result.started = true;
    WaitFor(pid, request.timeoutSeconds, result);
    if (result.error == 0 && execError != 0) {
        result.error = execError;
    }
    return result;
}

}  // namespace machine
