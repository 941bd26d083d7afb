// One run at a time: a run holds an exclusive flock on the product root
// folder itself from before its first change to its end. No lock file is
// made, so a run refused at its checks changes nothing and a read-only
// product root needs nothing new; the kernel releases the lock of a run that
// is killed.
#pragma once

#include <sys/types.h>

#include <string>

#include "UpdateORV/FileIo.h"

namespace runlock {

class RunLock {
  public:
    enum class State {
        kHeld,      // this run holds the product root
        kBusy,      // another process holds it; nothing may change
        kNoFolder,  // no folder to lock: the run's checks will stop it
    };

    // Tries the exclusive lock without waiting.
    static RunLock Take(const std::string& productRoot);

    State state() const { return m_state; }
    // The process that holds the lock when busy, as /proc/locks tells it
    // (0 when it cannot be told).
    pid_t holder() const { return m_holder; }

  private:
    State m_state = State::kNoFolder;
    pid_t m_holder = 0;
    fileio::Fd m_fd;  // kept open for the whole run
};

// Whether a run holds the product root now: a shared lock tried without
// waiting and released at once. `holder` receives its process where known.
bool RunUnderWay(const std::string& productRoot, pid_t* holder);

// "process <pid> (<name>)", or "another process" when the pid is unknown.
std::string HolderText(pid_t pid);

}  // namespace runlock
