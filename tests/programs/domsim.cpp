// A Domino server simulator for tests; installed as `server` in a test
// server's program folder. Three ways to run it:
//
//   server =<notes.ini> -c "<command>"
//       The console. Reads the data folder from Directory= in [Notes] of that
//       notes.ini and appends one line to <data>/console.journal (command,
//       user and group IDs, LD_LIBRARY_PATH, working folder, notes.ini path,
//       time, what it started with: JournalEntry::context) before anything else, so the journal
//       shows every command sent, including those that fail. Then, when the server is not running
//       (no other process locks <data>/~notes.lck), it exits with 1 and changes nothing. Otherwise
//       "load <task>" starts a detached task process and returns once that task holds its lock; "te
//       <task> quit" (or "tell") asks every running process of that task to quit. Other commands
//       are accepted and do nothing. Exit status 2: bad arguments or no data folder.
//   domsim serve <data> [<ready fd>]
//       The server: holds a write lock on <data>/~notes.lck until killed.
//   domsim task <data> <task> [<ready fd>]
//       A task: holds a write lock on <data>/orvtemp/<task>{<pid>}; on a quit
//       request it waits the task's quit delay (never when it is < 0), then
//       removes its file and ends.
//
// Server and task write "R" to the ready descriptor once they hold their lock.
// Both end by themselves when their data folder's control folder disappears,
// so a test that forgets to stop them leaves nothing behind for long.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/DominoSimFiles.h"

using namespace testsupport::domsim;

namespace {

// Longest life of a server or task process, whatever happens.
const long long kLifetimeMillis = 20LL * 60 * 1000;
// How often a task looks for a quit request.
const long kPollMillis = 10;

void Complain(const std::string& text) {
    std::fprintf(stderr, "domsim: %s\n", text.c_str());
}

bool FolderExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Directory= of section [Notes], both names without regard to case.
std::string DataFolderOf(const std::string& notesIni) {
    std::ifstream in(notesIni, std::ios::binary);
    std::string line;
    bool inNotes = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == '[') {
            inNotes = SameName(line, "[Notes]");
            continue;
        }
        const std::string key = "directory=";
        if (inNotes && line.size() > key.size() && SameName(line.substr(0, key.size()), key)) {
            return line.substr(key.size());
        }
    }
    return "";
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

void SignalReady(int readyFd) {
    if (readyFd >= 0) {
        char r = 'R';
        ssize_t ignored = write(readyFd, &r, 1);
        (void)ignored;
        close(readyFd);
    }
}

// Standard descriptors to /dev/null and every other one closed but `keep`,
// so a detached process never holds its starter's pipes or files.
void Detach(int keep) {
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) {
            close(null);
        }
    }
    if (keep < 3) {
        close_range(3, ~0U, 0);
    } else {
        if (keep > 3) {
            close_range(3, static_cast<unsigned>(keep) - 1, 0);
        }
        close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
    }
}

int TakeWriteLock(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    fchmod(fd, 0666);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int Serve(const std::string& data, int readyFd) {
    Detach(readyFd);
    int record = RecordThisProcess(data, "serve");
    int lock = TakeWriteLock(ServerLockPath(data));
    if (record < 0 || lock < 0) {
        return 1;  // the ready descriptor closes unanswered
    }
    SignalReady(readyFd);
    long long born = NowMillis();
    while (FolderExists(ControlFolder(data)) && NowMillis() - born < kLifetimeMillis) {
        PauseMillis(50);
    }
    return 0;
}

int RunTask(const std::string& data, const std::string& task, int readyFd) {
    Detach(readyFd);
    int record = RecordThisProcess(data, "task " + task);
    MakeOpenFolder(TaskFolder(data));
    std::string file = TaskFolder(data) + "/" + task + "{" + std::to_string(getpid()) + "}";
    int lock = TakeWriteLock(file);
    if (record < 0 || lock < 0) {
        return 1;
    }
    SignalReady(readyFd);

    std::string quitRequest = QuitFolder(data) + "/" + std::to_string(getpid());
    std::string delayFile = DelayFolder(data) + "/" + Lower(task);
    long long born = NowMillis();
    long long askedAt = -1;
    for (;;) {
        PauseMillis(kPollMillis);
        long long now = NowMillis();
        if (!FolderExists(ControlFolder(data)) || now - born > kLifetimeMillis) {
            break;
        }
        if (askedAt < 0 && access(quitRequest.c_str(), F_OK) == 0) {
            askedAt = now;
        }
        if (askedAt >= 0) {
            // Read at each turn, so a test may let a stuck task go later.
            long delay = ReadNumberFile(delayFile, 0);
            if (delay >= 0 && now - askedAt >= delay) {
                break;
            }
        }
    }
    unlink(file.c_str());
    close(lock);
    unlink(quitRequest.c_str());
    unlink((PidFolder(data) + "/" + std::to_string(getpid())).c_str());
    close(record);
    return 0;
}

// "load <task>": a task process in a session of its own, not a child of the
// console; the console returns once it holds its lock.
int LoadTask(const std::string& data, const std::string& task) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        Complain("pipe failed");
        return 3;
    }
    pid_t child = fork();
    if (child < 0) {
        Complain("fork failed");
        return 3;
    }
    if (child == 0) {
        close(ready[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) {
            _exit(grandchild < 0 ? 1 : 0);
        }
        _exit(RunTask(data, task, ready[1]));
    }
    close(ready[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    struct pollfd p = {ready[0], POLLIN, 0};
    char answer = 0;
    bool ok = poll(&p, 1, 10000) == 1 && read(ready[0], &answer, 1) == 1 && answer == 'R';
    close(ready[0]);
    if (!ok) {
        Complain("task " + task + " did not start");
        return 3;
    }
    return 0;
}

// "te <task> quit": a quit request for every live process of that task.
void QuitTask(const std::string& data, const std::string& task) {
    for (const ProcessRecord& r : ReadProcessRecords(data)) {
        if (r.alive && r.role == "task" && SameName(r.task, task)) {
            std::string request = QuitFolder(data) + "/" + std::to_string(r.pid);
            int fd = open(request.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            if (fd >= 0) {
                close(fd);
            }
        }
    }
}

// What the process started with (see JournalEntry::context); taken first thing.
std::string StartContext() {
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);  // with a controlling one only
    const mode_t mask = umask(0);
    umask(mask);
    char head[64];
    std::snprintf(head, sizeof head, "terminal=%d stdin=%d umask=%03o", tty >= 0 ? 1 : 0,
                  isatty(0) ? 1 : 0, static_cast<unsigned>(mask));
    if (tty >= 0) {
        close(tty);
    }
    std::vector<std::string> fds, groups, env;
    DIR* dir = opendir("/proc/self/fd");
    for (struct dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
        if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(dir)) {
            fds.push_back(e->d_name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    gid_t held[256];
    for (int i = 0, n = getgroups(256, held); i < n; ++i) {
        groups.push_back(std::to_string(held[i]));
    }
    for (char** e = environ; *e != nullptr; ++e) {
        env.push_back(std::string(*e, std::strcspn(*e, "=")));
    }
    auto list = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) {
            text += (text.empty() ? "" : ",") + item;
        }
        return text;
    };
    return std::string(head) + " fds=" + list(fds) + " groups=" + list(groups) +
           " env=" + list(env);
}

std::string g_startContext;

void Journal(const std::string& data, const std::string& notesIni, const std::string& command) {
    char cwd[4096];
    std::string workDir = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
    const char* ld = std::getenv("LD_LIBRARY_PATH");
    std::string line = EscapeField(command);
    line += "\t" + std::to_string(getuid()) + "\t" + std::to_string(geteuid());
    line += "\t" + EscapeField(ld != nullptr ? ld : "") + "\t" + EscapeField(workDir);
    line += "\t" + std::to_string(getgid()) + "\t" + std::to_string(getegid());
    line += "\t" + std::to_string(getgroups(0, nullptr));
    line += "\t" + EscapeField(notesIni) + "\t" + std::to_string(NowMillis());
    line += "\t" + EscapeField(g_startContext) + "\n";
    int fd = open(JournalPath(data).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        Complain("cannot write the journal of " + data + ": " + std::strerror(errno));
        return;
    }
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}

int Console(const std::string& notesIni, const std::string& command) {
    std::string data = DataFolderOf(notesIni);
    if (data.empty()) {
        Complain("no Directory in [Notes] of " + notesIni);
        return 2;
    }
    int record = RecordThisProcess(data, "console");
    Journal(data, notesIni, command);
    PauseMillis(ReadNumberFile(ConsoleDelayPath(data), 0));

    int status = 0;
    if (LockHolder(ServerLockPath(data)) == 0) {
        Complain("the server of " + data + " is not running");
        status = 1;
    } else {
        std::vector<std::string> words = Words(command);
        if (words.size() == 2 && SameName(words[0], "load")) {
            status = LoadTask(data, words[1]);
        } else if (words.size() == 3 && (SameName(words[0], "te") || SameName(words[0], "tell")) &&
                   SameName(words[2], "quit")) {
            QuitTask(data, words[1]);
        }
    }
    if (record >= 0) {
        unlink((PidFolder(data) + "/" + std::to_string(getpid())).c_str());
        close(record);
    }
    return status;
}

int ReadyFd(int argc, char** argv, int index) {
    return argc > index ? std::atoi(argv[index]) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    g_startContext = StartContext();
    if (argc == 4 && argv[1][0] == '=' && std::strcmp(argv[2], "-c") == 0) {
        return Console(argv[1] + 1, argv[3]);
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "serve") == 0) {
        return Serve(argv[2], ReadyFd(argc, argv, 3));
    }
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "task") == 0) {
        return RunTask(argv[2], argv[3], ReadyFd(argc, argv, 4));
    }
    Complain(
        "usage: server =<notes.ini> -c <command> | domsim serve <data> | domsim task <data> "
        "<task>");
    return 2;
}
