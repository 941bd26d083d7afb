#include "support/RunProgram.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace testsupport {

const char kCallerSecret[] = "ORVPATCH_CALLER_SECRET=only-for-root";

namespace {

void ApplyEnvironment(const std::vector<std::string>& env) {
    for (const std::string& e : env) {
        std::string::size_type eq = e.find('=');
        if (eq == std::string::npos) {
            unsetenv(e.c_str());
        } else {
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
    }
}

long long NowMillis() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads what is there without waiting.
void Drain(int fd, std::string& sink) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            sink.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProgramOptions& options) {
    ProgramResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const int terminal = options.callerContext ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
    if (options.callerContext &&
        (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)) {
        throw std::runtime_error("no pseudo-terminal");
    }
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        if (options.callerContext) {
            // Opened in a new session, the terminal becomes the controlling one.
            int tty = setsid() < 0 ? -1 : open(ptsname(terminal), O_RDWR);
            if (tty < 0 || setgroups(1, &kCallerGroup) != 0) {
                _exit(124);
            }
            close(terminal);
            devNull = tty;
            umask(0);
            ApplyEnvironment({"HOME=/root", kCallerSecret});
        }
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) {
            _exit(126);
        }
        ApplyEnvironment(options.env);
        if (options.asUser &&
            (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 || setuid(options.uid) != 0)) {
            _exit(125);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(errPipe[0], F_SETFL, O_NONBLOCK);

    long long deadline = NowMillis() + static_cast<long long>(options.timeoutSeconds) * 1000;
    int status = 0;
    for (;;) {
        struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        poll(fds, 2, 20);
        Drain(outPipe[0], result.out);
        Drain(errPipe[0], result.err);
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (NowMillis() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
    }
    Drain(outPipe[0], result.out);
    Drain(errPipe[0], result.err);
    close(outPipe[0]);
    close(errPipe[0]);
    if (terminal >= 0) {
        close(terminal);
    }
    if (!result.timedOut && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

int RunAsUser(uid_t uid, gid_t gid, const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
            _exit(255);
        }
        _exit(body() & 0xff);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace testsupport
