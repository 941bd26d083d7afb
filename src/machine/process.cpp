// Child processes for both builds: started with fork and execve (no shell),
// waited for with a deadline in the patcher's seconds.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "machine/Machine.h"
#include "machine/trust.h"

extern char** environ;

namespace machine {

namespace {

// Sets "NAME=value" in `env`, replacing a variable of the same name.
void SetVariable(std::vector<std::string>& env, const std::string& assignment) {
    const std::string::size_type eq = assignment.find('=');
    const std::string name =
        assignment.substr(0, eq == std::string::npos ? assignment.size() : eq + 1);
    for (std::string& have : env) {
        if (have.compare(0, name.size(), name) == 0) {
            have = assignment;
            return;
        }
    }
    env.push_back(assignment);
}

// Whether the patcher's own variable `entry` passes to a child: the
// language and time zone settings, as sudo's env_reset keeps them.
bool KeptFromParent(const char* entry) {
    return std::strncmp(entry, "LANG=", 5) == 0 || std::strncmp(entry, "LC_", 3) == 0 ||
           std::strncmp(entry, "TZ=", 3) == 0;
}

// The child's environment: reset to what a login of the user it runs as
// would have, the kept settings of the patcher, the seam's own variables,
// then the request's.
std::vector<std::string> ChildEnvironment(const ChildSpec& request) {
    const uid_t uid = request.switchIdentity ? request.uid : geteuid();
    const Account account = AccountOf(uid);
    const std::string name = account.found ? account.name : std::to_string(uid);
    const std::string home = account.home.empty() ? "/" : account.home;
    const std::string shell = account.shell.empty() ? "/bin/sh" : account.shell;
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + home,
                                    "USER=" + name, "LOGNAME=" + name, "SHELL=" + shell};
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (KeptFromParent(*e)) {
            SetVariable(env, *e);
        }
    }
    for (const std::string& variable : SeamChildVariables()) {
        SetVariable(env, variable);
    }
    for (const std::string& add : request.extraEnv) {
        SetVariable(env, add);
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
    child.envStrings = ChildEnvironment(request);
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

// In the child, in this order: default signals and an empty signal mask, a
// session of its own (no controlling terminal), /dev/null on 0, 1 and 2,
// every other descriptor closed but the exec-error pipe (closed by execve),
// the file-creation mask, the working folder, no supplementary group, the
// identity, then the program. Never returns.
[[noreturn]] void BecomeChild(const ChildSpec& request, PreparedChild& child, int errFd) {
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int err = 0;
    if (setsid() < 0) {
        err = errno;
    }
    const int null = err == 0 ? open("/dev/null", O_RDWR) : -1;
    if (err == 0 && null < 0) {
        err = errno;
    }
    for (int fd = 0; err == 0 && fd < 3; ++fd) {
        if (null != fd && dup2(null, fd) < 0) {
            err = errno;
        }
    }
    if (err == 0) {
        // errFd is 3 or above (see Spawn).
        if (errFd > 3) {
            close_range(3, static_cast<unsigned>(errFd) - 1, 0);
        }
        close_range(static_cast<unsigned>(errFd) + 1, ~0U, 0);
        umask(request.umask);
    }
    if (err == 0 && !request.workDir.empty() && chdir(request.workDir.c_str()) != 0) {
        err = errno;
    }
    // A patcher that is not the superuser can drop no group, and has none
    // of root's to pass on.
    if (err == 0 && setgroups(0, nullptr) != 0 && geteuid() == 0) {
        err = errno;
    }
    if (err == 0 && request.switchIdentity &&
        (setgid(request.gid) != 0 || setuid(request.uid) != 0)) {
        err = errno;
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
    // Kept clear of 0, 1 and 2, which the child replaces.
    for (int& end : errPipe) {
        if (end < 3) {
            const int moved = fcntl(end, F_DUPFD_CLOEXEC, 3);
            close(end);
            end = moved;
        }
    }
    if (errPipe[0] < 0 || errPipe[1] < 0) {
        error = errno;
        for (int end : errPipe) {
            if (end >= 0) {
                close(end);
            }
        }
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

// Waits for the child until the deadline, then kills its process group.
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
            // The child leads a process group of its own: all of it ends.
            kill(-pid, SIGKILL);
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
