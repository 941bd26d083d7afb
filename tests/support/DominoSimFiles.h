// The files through which the Domino simulator's processes and the tests'
// control functions talk to each other, all below a server's data folder:
//
//   console.journal          one line per console command received
//   ~notes.lck               write-locked by the running server
//   orvtemp/<task>{<pid>}    write-locked by each running task
//   .domsim/pids/<pid>       one record per simulator process ("serve",
//                            "console" or "task <name>"), write-locked by that
//                            process for as long as it lives
//   .domsim/quit/<pid>       a quit request for that task process
//   .domsim/delay/<task>     a task's quit delay in milliseconds (< 0: never)
//   .domsim/console-delay    how long the console takes before it acts, in ms
//
// A record's lock tells a live process from a stale record: the kernel drops
// the lock when the process ends, however it ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {
namespace domsim {

std::string JournalPath(const std::string& dataDir);
std::string ServerLockPath(const std::string& dataDir);
std::string TaskFolder(const std::string& dataDir);
std::string ControlFolder(const std::string& dataDir);  // <data>/.domsim
std::string PidFolder(const std::string& dataDir);
std::string QuitFolder(const std::string& dataDir);
std::string DelayFolder(const std::string& dataDir);
std::string ConsoleDelayPath(const std::string& dataDir);

// Creates a folder (and the control folders) open to every user, so that
// commands run under other users can still leave their traces.
void MakeOpenFolder(const std::string& path);
void PrepareControlFolders(const std::string& dataDir);

// The process that holds a lock conflicting with a write lock on the whole
// file, or 0 (also when the file cannot be opened).
pid_t LockHolder(const std::string& path);

// Lower-case copy; case-insensitive comparison of two names.
std::string Lower(const std::string& text);
bool SameName(const std::string& a, const std::string& b);

// One process record of <data>/.domsim/pids.
struct ProcessRecord {
    std::string file;    // path of the record
    pid_t pid = 0;       // the pid in the file name
    std::string role;    // "serve", "console" or "task"
    std::string task;    // the task name for "task"
    bool alive = false;  // the record's lock is held by that pid
};
std::vector<ProcessRecord> ReadProcessRecords(const std::string& dataDir);

// Creates and locks this process's record; returns the descriptor to keep
// open for as long as the process lives, or -1.
int RecordThisProcess(const std::string& dataDir, const std::string& role);

// Escapes backslash, tab, line feed and carriage return so that a field never
// holds a tab or a line end; Unescape undoes it.
std::string EscapeField(const std::string& text);
std::string UnescapeField(const std::string& text);

// A small integer read from a control file; `fallback` when it is missing or
// not a number.
long ReadNumberFile(const std::string& path, long fallback);
// Writes a control file atomically (temporary file, then rename), mode 0666.
void WriteControlFile(const std::string& path, const std::string& content);

// Milliseconds of the real-time clock, the same in every process.
long long NowMillis();
void PauseMillis(long ms);

}  // namespace domsim
}  // namespace testsupport
