// Test-side control of the Domino simulator (tests/programs/domsim.cpp).
//
// The simulator is installed as `server` in a test server's program folder.
// `server =<notes.ini> -c "<command>"` journals the command in
// <data>/console.journal and carries it out on the running server; the
// server itself is a simulator process holding a write lock on
// <data>/~notes.lck, and each loaded task is a simulator process holding a
// write lock on <data>/orvtemp/<task>{<n>}.
//
// Every command is journalled before it is carried out, also when the server
// is not running (the command then fails with status 1 and changes nothing),
// so the journal shows everything that was sent. Simulator processes end on
// their own when their data folder disappears, and StopAll ends them at once.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Absolute path of the simulator executable in the build folder.
std::string DomsimPath();

// Copies the simulator to <programDir>/server (mode 0755), creating the folder.
void InstallServerExecutable(const std::string& programDir);

// One line of <data>/console.journal.
struct JournalEntry {
    std::string command;           // the console command, e.g. "load orvreal"
    uid_t ruid = 0;                // real user ID it ran as
    uid_t euid = 0;                // effective user ID it ran as
    std::string ldLibraryPath;     // its LD_LIBRARY_PATH
    std::string workDir;           // its working directory
    gid_t rgid = 0;                // real group ID
    gid_t egid = 0;                // effective group ID
    int supplementaryGroups = -1;  // number of supplementary groups
    std::string notesIni;          // the notes.ini path it was given (after "=")
    long long timeMs = 0;          // when it arrived, real-time clock in milliseconds
    // What the console started with: "terminal=<0|1> stdin=<0|1> umask=<octal>
    // fds=<n,...> groups=<gid,...> env=<NAME,...>" (terminal: it has a
    // controlling terminal; stdin: its standard input is a terminal).
    std::string context;
};
std::vector<JournalEntry> ReadJournal(const std::string& dataDir);
std::vector<std::string> JournalCommands(const std::string& dataDir);  // commands only

// Starts the server of a data folder and returns once ~notes.lck is locked.
// The process is recorded so that StopAll can end it.
void StartServer(const std::string& dataDir);
// Ends the server of a data folder (its tasks keep running, as after a crash).
void StopServer(const std::string& dataDir);

// Starts a task as a loaded one would run, without going through the console
// (no journal line). Returns once its lock file is locked.
void StartTask(const std::string& dataDir, const std::string& task);

// How a task answers "te <task> quit": after `delayMs` milliseconds, or never
// when delayMs < 0. Applies to tasks running now and loaded later.
void SetTaskQuitDelay(const std::string& dataDir, const std::string& task, int delayMs);

// How long the console of a data folder takes before it acts on a command
// (after journalling it), in milliseconds; for tests of commands that hang.
void SetConsoleDelay(const std::string& dataDir, int delayMs);

// Whether the server / a task of the data folder is running (its lock held).
bool ServerRunning(const std::string& dataDir);
bool TaskRunning(const std::string& dataDir, const std::string& task);

// Ends every simulator process of the data folder (server and tasks) and
// waits for them. Safe to call more than once.
void StopAll(const std::string& dataDir);

// RAII guard: StopAll on every registered data folder when it goes out of scope,
// also when a test fails.
class SimGuard {
  public:
    SimGuard() = default;
    ~SimGuard();
    SimGuard(const SimGuard&) = delete;
    SimGuard& operator=(const SimGuard&) = delete;
    void watch(const std::string& dataDir);
    // Forgets every data folder: their processes outlive the guard.
    void release() { m_dataDirs.clear(); }

  private:
    std::vector<std::string> m_dataDirs;
};

}  // namespace testsupport
