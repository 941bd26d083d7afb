#include "UPDSilient/run_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "machine/trust.h"

namespace runlock {

const char kLockName[] = ".orvpatch-lock";

std::string LockPath(const std::string& productRoot) {
    return productRoot + "/" + kLockName;
}

namespace {

// The product root itself, never through a link planted in its place; a
// link of root's own (an administrator's choice of disk) is followed.
fileio::Fd OpenRoot(const std::string& root) {
    fileio::Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() && errno == ELOOP && ::lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        machine::RootSide(st.st_uid)) {
        fd = fileio::Fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return fd;
}

// The lock's whole-file write lock record.
struct flock WholeFile() {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// What is wrong with the entry at the lock's name, "" when it is root's own
// lock file that no one else may open.
std::string Unfit(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        return "it is a link";
    }
    if (!S_ISREG(st.st_mode)) {
        return "it is not a regular file";
    }
    if (!machine::RootSide(st.st_uid)) {
        return "it belongs to user " + std::to_string(st.st_uid);
    }
    if ((st.st_mode & 077) != 0) {
        return "others may open it";
    }
    return "";
}

// Opens the lock file beneath the root (made when missing with `create`),
// never through a link, without blocking on a FIFO or taking a terminal.
// Fills `outlook` with the refusal when something else is there.
fileio::Fd OpenLock(int rootFd, bool create, Outlook& outlook) {
    const int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    fileio::Fd fd(
        ::openat(rootFd, kLockName, flags | (create ? O_RDWR | O_CREAT : O_RDONLY), 0600));
    struct stat st;
    if (!fd.valid()) {
        const int error = errno;
        if (error == ENOENT && !create) {
            outlook.state = State::kFree;  // no file: no one holds it
        } else if (error == EACCES && ::geteuid() != 0 &&
                   (::fstatat(rootFd, kLockName, &st, AT_SYMLINK_NOFOLLOW) != 0
                        ? errno == ENOENT
                        : Unfit(st).empty())) {
            outlook.state = State::kNotOpened;
        } else if (::fstatat(rootFd, kLockName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   !Unfit(st).empty()) {
            outlook.state = State::kRefused;
            outlook.why = Unfit(st);
        } else {
            outlook.state = State::kRefused;
            outlook.why = std::string("it cannot be opened (") + std::strerror(error) + ")";
        }
        return fileio::Fd();
    }
    if (::fstat(fd.get(), &st) != 0) {
        st.st_mode = 0;  // looked at as "not a regular file"
    }
    if (!Unfit(st).empty()) {
        outlook.state = State::kRefused;
        outlook.why = Unfit(st);
        return fileio::Fd();
    }
    outlook.state = State::kFree;
    return fd;
}

// The process ID the holder wrote into the file; 0 when it cannot be read.
pid_t WrittenHolder(int fd) {
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    const long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// The holder of a conflicting lock: the process a classic record lock
// names, else the one written into the file (an OFD lock names none).
pid_t Holder(int fd, const struct flock& found) {
    return found.l_pid > 0 ? found.l_pid : WrittenHolder(fd);
}

}  // namespace

RunLock RunLock::Take(const std::string& productRoot) {
    RunLock lock;
    const fileio::Fd root = OpenRoot(productRoot);
    if (!root.valid()) {
        return lock;
    }
    lock.m_fd = OpenLock(root.get(), true, lock.m_outlook);
    if (!lock.m_fd.valid()) {
        return lock;
    }
    struct flock whole = WholeFile();
    while (::fcntl(lock.m_fd.get(), F_OFD_SETLK, &whole) != 0) {
        if (errno != EINTR) {
            struct flock found = WholeFile();
            ::fcntl(lock.m_fd.get(), F_OFD_GETLK, &found);
            lock.m_outlook.state = State::kBusy;
            lock.m_outlook.holder = Holder(lock.m_fd.get(), found);
            lock.m_fd = fileio::Fd();
            return lock;
        }
    }
    // Names this run for a refused one and for the check; a failure to
    // write only loses the name.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock.m_fd.get(), 0) == 0) {
        ssize_t ignored = ::pwrite(lock.m_fd.get(), pid.data(), pid.size(), 0);
        (void)ignored;
    }
    return lock;
}

RunLock::~RunLock() {
    if (m_fd.valid() && m_outlook.state == State::kFree) {
        const int ignored = ::ftruncate(m_fd.get(), 0);  // only a name is lost
        (void)ignored;
    }
}

Outlook Probe(const std::string& productRoot) {
    Outlook outlook;
    const fileio::Fd root = OpenRoot(productRoot);
    if (!root.valid()) {
        return outlook;
    }
    const fileio::Fd fd = OpenLock(root.get(), false, outlook);
    if (!fd.valid()) {
        return outlook;
    }
    struct flock found = WholeFile();
    if (::fcntl(fd.get(), F_OFD_GETLK, &found) == 0 && found.l_type != F_UNLCK) {
        outlook.state = State::kBusy;
        outlook.holder = Holder(fd.get(), found);
    }
    return outlook;
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
