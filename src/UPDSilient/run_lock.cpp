#include "UPDSilient/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace runlock {

namespace {

// The product root itself, never through a link planted in its place; a
// link of root's own (an administrator's choice of disk) is followed.
fileio::Fd OpenRoot(const std::string& root) {
    fileio::Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() && errno == ELOOP && ::lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        (st.st_uid == 0 || st.st_uid == ::geteuid())) {
        fd = fileio::Fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return fd;
}

// The process holding a flock on the folder open as `fd`, from /proc/locks
// ("<n>: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF", the
// device numbers in hexadecimal); 0 when none is listed.
pid_t FlockHolder(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return 0;
    }
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, where;
        words >> number >> kind;
        if (kind == "->") {
            continue;  // a waiter, not the holder
        }
        words >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == device) {
            return static_cast<pid_t>(std::atol(pid.c_str()));
        }
    }
    return 0;
}

}  // namespace

RunLock RunLock::Take(const std::string& productRoot) {
    RunLock lock;
    lock.m_fd = OpenRoot(productRoot);
    if (!lock.m_fd.valid()) {
        return lock;
    }
    while (::flock(lock.m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            lock.m_state = State::kBusy;
            lock.m_holder = FlockHolder(lock.m_fd.get());
            return lock;
        }
    }
    lock.m_state = State::kHeld;
    return lock;
}

bool RunUnderWay(const std::string& productRoot, pid_t* holder) {
    fileio::Fd fd = OpenRoot(productRoot);
    if (!fd.valid()) {
        return false;
    }
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd.get(), LOCK_UN);
        return false;
    }
    if (errno != EWOULDBLOCK) {
        return false;
    }
    if (holder != nullptr) {
        *holder = FlockHolder(fd.get());
    }
    return true;
}

std::string HolderText(pid_t pid) {
    if (pid <= 0) {
        return "another process";
    }
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

}  // namespace runlock
