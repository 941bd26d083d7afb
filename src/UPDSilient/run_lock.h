// One run at a time: a run holds a write lock on ROOT/.orvpatch-lock, a
// regular file of root's that only root may open (mode 0600), from before
// its first change to its end. A lock on anything another user may open
// would let that user block every run; so the file is made when missing,
// opened without following a link, and anything else found at its name
// (a link, a FIFO, a folder, a file of another user's or one others may
// open) refuses the run before any change.
//
// The lock is an open-file-description lock (fcntl F_OFD_SETLK): it
// belongs to the run's open file, is released by the kernel when the run
// ends or is killed, and is not dropped when some other descriptor of the
// file is closed. A run that finds it held changes nothing besides having
// made the file. The holder writes its process ID into the file, which
// names it while the lock is held, and empties it again at its end.
//
// The check asks with F_OFD_GETLK for the lock a run would take: it takes
// nothing itself, so it never makes a run refuse, and it answers "held"
// exactly when a run's F_OFD_SETLK would fail (a read or a write lock of
// anyone else on any part of the file). It neither makes the file nor
// writes to it.
#pragma once

#include <sys/types.h>

#include <string>

#include "UpdateORV/FileIo.h"

namespace runlock {

// The name of the lock file in the product root.
extern const char kLockName[];
// <root>/.orvpatch-lock
std::string LockPath(const std::string& productRoot);

enum class State {
    kFree,      // no one holds it (Probe), or this run holds it (Take)
    kBusy,      // another process holds it; nothing may change
    kRefused,   // something but root's own lock file is at its name (`why`)
    kNoFolder,  // no product root to lock: the run's checks will stop it
    // A patcher that is not the superuser may not open root's lock file; it
    // is bounded by its own rights and goes on without the lock.
    kNotOpened,
};

// What stands at the lock's name, and who holds it.
struct Outlook {
    State state = State::kNoFolder;
    pid_t holder = 0;  // the holder when busy, where it can be told (else 0)
    std::string why;   // when refused: what is there instead ("a link", ...)
};

class RunLock {
  public:
    // Makes the lock file when it is missing and takes the lock without
    // waiting; kFree means this run holds it.
    static RunLock Take(const std::string& productRoot);
    // A run that ends clears the process ID it wrote (a killed one leaves it,
    // to be overwritten by the next), so a finished run leaves the file as
    // the one before it did.
    ~RunLock();
    RunLock() = default;
    RunLock(RunLock&&) = default;

    const Outlook& outlook() const { return m_outlook; }

  private:
    Outlook m_outlook;
    fileio::Fd m_fd;  // kept open for the whole run
};

// Whether a run would find the lock free, busy or refused now, without
// taking it, making the file or changing anything.
Outlook Probe(const std::string& productRoot);

// "process <pid> (<name>)", or "another process" when the pid is unknown.
std::string HolderText(pid_t pid);

}  // namespace runlock
