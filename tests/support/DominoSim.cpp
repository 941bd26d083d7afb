// Test-side control of the Domino simulator: starting and ending its
// processes, its control files and its journal (see DominoSimFiles.h).
#include "support/DominoSim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/DominoSimFiles.h"
#include "support/TempDir.h"

namespace testsupport {

using namespace domsim;

namespace {

// How long a simulator process may take to start or to end.
const long kStartMillis = 10000;
const long kStopMillis = 10000;

// Starts `domsim <args> <ready fd>` detached from the caller (own session,
// not a child of the caller) and waits until it reports that it holds its
// lock. Throws when it does not.
void LaunchDetached(const std::vector<std::string>& args, const std::string& what) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed while starting " + what);
    }
    std::vector<std::string> argStrings;
    argStrings.push_back(DomsimPath());
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    argStrings.push_back(std::to_string(ready[1]));
    std::vector<char*> argv;
    for (std::string& a : argStrings) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) {
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error("fork failed while starting " + what);
    }
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) {
            _exit(grandchild < 0 ? 1 : 0);
        }
        fcntl(ready[1], F_SETFD, 0);  // the one descriptor the simulator keeps
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ready[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    struct pollfd p = {ready[0], POLLIN, 0};
    char answer = 0;
    bool ok = false;
    if (poll(&p, 1, static_cast<int>(kStartMillis)) == 1) {
        ok = read(ready[0], &answer, 1) == 1 && answer == 'R';
    }
    close(ready[0]);
    if (!ok) {
        throw std::runtime_error("the simulator did not start: " + what);
    }
}

// SIGKILLs every live simulator process of a data folder that `wanted`
// selects and waits until each has let go of its record (the kernel releases
// the lock only once the process is gone).
template <typename Pred>
void EndProcesses(const std::string& dataDir, Pred wanted) {
    for (int round = 0; round < 3; ++round) {
        std::vector<ProcessRecord> records = ReadProcessRecords(dataDir);
        bool any = false;
        for (const ProcessRecord& r : records) {
            if (r.alive && r.pid != getpid() && wanted(r)) {
                kill(r.pid, SIGKILL);
                any = true;
            }
        }
        long long deadline = NowMillis() + kStopMillis;
        for (;;) {
            bool holding = false;
            for (const ProcessRecord& r : records) {
                if (wanted(r) && LockHolder(r.file) == r.pid) {
                    holding = true;
                }
            }
            if (!holding || NowMillis() > deadline) {
                break;
            }
            PauseMillis(2);
        }
        for (const ProcessRecord& r : records) {
            if (wanted(r) && LockHolder(r.file) == 0) {
                unlink(r.file.c_str());
            }
        }
        if (!any) {
            break;
        }
    }
}

bool IsTaskFileOf(const std::string& name, const std::string& task) {
    return name.size() > task.size() && name[task.size()] == '{' &&
           SameName(name.substr(0, task.size()), task);
}

}  // namespace

std::string DomsimPath() {
    return std::string(ORVPATCH_BUILD_DIR) + "/domsim";
}

void InstallServerExecutable(const std::string& programDir) {
    MakeDirs(programDir);
    std::ifstream in(DomsimPath(), std::ios::binary);
    if (!in) {
        throw std::runtime_error("the simulator is missing: " + DomsimPath());
    }
    std::string target = programDir + "/server";
    ::unlink(target.c_str());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    if (!out || chmod(target.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot install the simulator as " + target);
    }
}

std::vector<JournalEntry> ReadJournal(const std::string& dataDir) {
    std::vector<JournalEntry> entries;
    std::ifstream in(JournalPath(dataDir), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::string::size_type start = 0;
        for (;;) {
            std::string::size_type tab = line.find('\t', start);
            fields.push_back(UnescapeField(line.substr(start, tab - start)));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        if (fields.size() < 5) {
            continue;
        }
        JournalEntry e;
        e.command = fields[0];
        e.ruid = static_cast<uid_t>(std::strtoul(fields[1].c_str(), nullptr, 10));
        e.euid = static_cast<uid_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
        e.ldLibraryPath = fields[3];
        e.workDir = fields[4];
        if (fields.size() >= 10) {
            e.rgid = static_cast<gid_t>(std::strtoul(fields[5].c_str(), nullptr, 10));
            e.egid = static_cast<gid_t>(std::strtoul(fields[6].c_str(), nullptr, 10));
            e.supplementaryGroups = std::atoi(fields[7].c_str());
            e.notesIni = fields[8];
            e.timeMs = std::strtoll(fields[9].c_str(), nullptr, 10);
            e.context = fields.size() >= 11 ? fields[10] : "";
        }
        entries.push_back(e);
    }
    return entries;
}

std::vector<std::string> JournalCommands(const std::string& dataDir) {
    std::vector<std::string> commands;
    for (const JournalEntry& e : ReadJournal(dataDir)) {
        commands.push_back(e.command);
    }
    return commands;
}

void StartServer(const std::string& dataDir) {
    MakeDirs(dataDir);
    PrepareControlFolders(dataDir);
    // The journal open to every user, so that commands run under the
    // installations' owners can add to it.
    int fd = open(JournalPath(dataDir).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);
        close(fd);
    }
    LaunchDetached({"serve", dataDir}, "server of " + dataDir);
}

void StopServer(const std::string& dataDir) {
    EndProcesses(dataDir, [](const ProcessRecord& r) { return r.role == "serve"; });
}

void StartTask(const std::string& dataDir, const std::string& task) {
    MakeDirs(dataDir);
    PrepareControlFolders(dataDir);
    LaunchDetached({"task", dataDir, task}, "task " + task + " of " + dataDir);
}

void SetTaskQuitDelay(const std::string& dataDir, const std::string& task, int delayMs) {
    MakeDirs(dataDir);
    PrepareControlFolders(dataDir);
    WriteControlFile(DelayFolder(dataDir) + "/" + Lower(task), std::to_string(delayMs) + "\n");
}

void SetConsoleDelay(const std::string& dataDir, int delayMs) {
    MakeDirs(dataDir);
    PrepareControlFolders(dataDir);
    WriteControlFile(ConsoleDelayPath(dataDir), std::to_string(delayMs) + "\n");
}

bool ServerRunning(const std::string& dataDir) {
    return LockHolder(ServerLockPath(dataDir)) != 0;
}

bool TaskRunning(const std::string& dataDir, const std::string& task) {
    std::string folder = TaskFolder(dataDir);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool running = false;
    while (struct dirent* e = readdir(dir)) {
        if (IsTaskFileOf(e->d_name, task) && LockHolder(folder + "/" + e->d_name) != 0) {
            running = true;
            break;
        }
    }
    closedir(dir);
    return running;
}

void StopAll(const std::string& dataDir) {
    EndProcesses(dataDir, [](const ProcessRecord&) { return true; });
}

SimGuard::~SimGuard() {
    for (const std::string& dir : m_dataDirs) {
        StopAll(dir);
    }
}

void SimGuard::watch(const std::string& dataDir) {
    for (const std::string& dir : m_dataDirs) {
        if (dir == dataDir) {
            return;
        }
    }
    m_dataDirs.push_back(dataDir);
}

}  // namespace testsupport
