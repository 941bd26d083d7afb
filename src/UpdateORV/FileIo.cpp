// The descriptor owner, the read and write loops, the non-blocking open for
// reading and the atomic replacement of a file.
#include "UpdateORV/FileIo.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fileio {

Fd::~Fd() {
    if (m_fd >= 0) {
        const int saved = errno;
        ::close(m_fd);
        errno = saved;
    }
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.release();
    }
    return *this;
}

bool Fd::close() {
    if (m_fd < 0) {
        return true;
    }
    const int fd = release();
    // Linux releases the descriptor even when close reports an error, so
    // it is never closed twice.
    return ::close(fd) == 0;
}

bool ReadAll(int fd, std::string& out, size_t limit) {
    char chunk[65536];
    const size_t start = out.size();
    for (;;) {
        const size_t room = limit - (out.size() - start);
        // One byte past the limit tells a file that ends there from a longer one.
        const size_t want = room < sizeof chunk ? room + 1 : sizeof chunk;
        const ssize_t got = read(fd, chunk, want);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (static_cast<size_t>(got) > room) {
            out.append(chunk, room);
            errno = EFBIG;
            return false;
        }
        out.append(chunk, static_cast<size_t>(got));
    }
}

ssize_t ReadFull(int fd, void* buf, size_t want) {
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = read(fd, p + got, want - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = write(fd, p + done, size - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

Fd OpenRegularForReading(int dirFd, const char* path, struct stat& st, int flags) {
    st.st_mode = 0;
    // O_NONBLOCK: opening a FIFO without a writer, or a device, returns at
    // once instead of waiting; the type test below then refuses it.
    Fd fd(openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags));
    if (!fd.valid()) {
        return fd;
    }
    if (fstat(fd.get(), &st) != 0) {
        return Fd();
    }
    if (!S_ISREG(st.st_mode)) {
        fd.close();
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return Fd();
    }
    // Regular files never block; reads go on as usual.
    const int fl = fcntl(fd.get(), F_GETFL);
    if (fl >= 0) {
        fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    }
    return fd;
}

namespace {

// The components of `relative`; false (errno set) for a name that could lead
// out of the folder or names nothing.
bool SplitBeneath(const std::string& relative, std::vector<std::string>& parts) {
    if (relative.empty()) {
        errno = EINVAL;
        return false;
    }
    if (relative[0] == '/') {
        errno = EXDEV;
        return false;
    }
    for (std::string::size_type start = 0;;) {
        const std::string::size_type slash = relative.find('/', start);
        const std::string part =
            relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") {
            errno = EXDEV;
            return false;
        }
        if (part.empty() || part == ".") {
            errno = EINVAL;
            return false;
        }
        parts.push_back(part);
        if (slash == std::string::npos) {
            return true;
        }
        start = slash + 1;
    }
}

// An O_PATH descriptor taken with O_NOFOLLOW names a link itself: refused.
Fd NoLink(Fd fd, int flags) {
    struct stat st;
    if (fd.valid() && (flags & O_PATH) != 0 && fstat(fd.get(), &st) == 0 && S_ISLNK(st.st_mode)) {
        fd.close();
        errno = ELOOP;
    }
    return fd;
}

#ifdef SYS_openat2
// The openat2 answer: a descriptor, or empty with errno; ENOSYS where the
// kernel has no openat2 (remembered, so it is asked once).
Fd OpenAt2(int dirFd, const std::string& relative, int flags, mode_t mode) {
    static std::atomic<bool> missing{false};
    if (missing.load()) {
        errno = ENOSYS;
        return Fd();
    }
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    // O_TMPFILE holds O_DIRECTORY's bit: all of it must be there.
    const bool makes = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    how.mode = makes ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) {
            return Fd(static_cast<int>(fd));
        }
        if (errno == EINTR || errno == EAGAIN) {
            continue;  // EAGAIN: a rename raced the lookup
        }
        if (errno == ENOSYS) {
            missing.store(true);
        }
        return Fd();
    }
}
#endif

}  // namespace

Fd OpenBeneathStepwise(int dirFd, const std::string& relative, int flags, mode_t mode) {
    std::vector<std::string> parts;
    if (!SplitBeneath(relative, parts)) {
        return Fd();
    }
    Fd held;
    int cur = dirFd;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        // Opened as the entry itself: a link answers as a link, not as what
        // it names.
        Fd next(openat(cur, parts[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!next.valid() || fstat(next.get(), &st) != 0) {
            return Fd();
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
            return Fd();
        }
        held = std::move(next);
        cur = held.get();
    }
    const int all = flags | O_NOFOLLOW | O_CLOEXEC;
    return NoLink(Fd(openat(cur, parts.back().c_str(), all, mode)), all);
}

Fd OpenBeneath(int dirFd, const std::string& relative, int flags, mode_t mode) {
    std::vector<std::string> parts;
    if (!SplitBeneath(relative, parts)) {
        return Fd();
    }
    const int all = flags | O_NOFOLLOW | O_CLOEXEC;
#ifdef SYS_openat2
    Fd fd = OpenAt2(dirFd, relative, all, mode);
    if (fd.valid() || errno != ENOSYS) {
        return NoLink(std::move(fd), all);
    }
#endif
    return OpenBeneathStepwise(dirFd, relative, flags, mode);
}

Fd OpenParentBeneath(int dirFd, const std::string& relative, std::string& last) {
    std::vector<std::string> parts;
    if (!SplitBeneath(relative, parts)) {
        return Fd();
    }
    last = parts.back();
    const std::string::size_type slash = relative.rfind('/');
    if (slash == std::string::npos) {
        return Fd(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    }
    return OpenBeneath(dirFd, relative.substr(0, slash), O_RDONLY | O_DIRECTORY);
}

namespace {

const int kMaxLinksFollowed = 40;  // as the kernel's own limit for one path

// One step of OpenFolderFollowing: walks `path` from `start`, counting the
// links followed in `hops`.
Fd WalkFolders(Fd start, const std::string& path, int& hops,
               const std::function<bool(const struct stat&)>& mayFollow) {
    Fd cur = std::move(start);
    std::string::size_type at = 0;
    if (!path.empty() && path[0] == '/') {
        cur = Fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        at = 1;
    }
    while (cur.valid() && at < path.size()) {
        std::string::size_type slash = path.find('/', at);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        const std::string part = path.substr(at, slash - at);
        at = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        Fd next(openat(cur.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!next.valid() || fstat(next.get(), &st) != 0) {
            return Fd();
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlinkat(cur.get(), part.c_str(), target, sizeof target - 1);
            if (!mayFollow(st) || ++hops > kMaxLinksFollowed || n <= 0) {
                errno = n < 0 ? errno : ELOOP;
                return Fd();
            }
            next = WalkFolders(Fd(fcntl(cur.get(), F_DUPFD_CLOEXEC, 0)),
                               std::string(target, static_cast<size_t>(n)), hops, mayFollow);
            if (!next.valid() || fstat(next.get(), &st) != 0) {
                return Fd();
            }
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return Fd();
        }
        cur = std::move(next);
    }
    return cur;
}

}  // namespace

Fd OpenFolderFollowing(int dirFd, const std::string& path,
                       const std::function<bool(const struct stat& link)>& mayFollow) {
    int hops = 0;
    Fd start(dirFd == AT_FDCWD ? open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)
                               : fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    const Fd found = WalkFolders(std::move(start), path, hops, mayFollow);
    // A descriptor that can also be read and flushed, of that very folder.
    return found.valid() ? Fd(openat(found.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) : Fd();
}

namespace {
const char kTempMark[] = ".orvtmp-";
const size_t kTempNamePiece = 64;  // bytes of the final name kept in a temporary name
}  // namespace

bool FlushFolderHolding(int dirFd, const std::string& name) {
    std::string folder = name;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    const std::string::size_type slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    Fd fd(openat(dirFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && fsync(fd.get()) == 0;
}

std::string TemporaryName(const std::string& finalName, pid_t pid, unsigned long n) {
    return "." + finalName.substr(0, kTempNamePiece) + kTempMark + std::to_string(pid) + "-" +
           std::to_string(n);
}

bool IsTemporaryName(const char* name, pid_t* pid) {
    if (name == nullptr || name[0] != '.') {
        return false;
    }
    // The last mark counts: the final name may hold the mark itself.
    const char* mark = nullptr;
    for (const char* p = std::strstr(name + 1, kTempMark); p != nullptr;
         p = std::strstr(p + 1, kTempMark)) {
        mark = p;
    }
    if (mark == nullptr || mark == name + 1 ||
        static_cast<size_t>(mark - name - 1) > kTempNamePiece) {
        return false;
    }
    // "<pid>-<n>": two runs of digits, the first without a leading zero.
    const char* digits = mark + sizeof kTempMark - 1;
    const char* p = digits;
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > 0x7fffffff) {
            return false;
        }
        ++p;
    }
    if (p == digits || *digits == '0' || *p != '-') {
        return false;
    }
    const char* counter = ++p;
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    if (p == counter || *p != '\0') {
        return false;
    }
    if (pid != nullptr) {
        *pid = static_cast<pid_t>(value);
    }
    return true;
}

std::string NextTemporaryName(const std::string& finalName) {
    static unsigned long counter = 0;
    return TemporaryName(finalName, getpid(), ++counter);
}

ReplaceOptions KeepingOwnerAndMode(const struct stat& st) {
    ReplaceOptions options;
    options.setOwner = true;
    options.uid = st.st_uid;
    options.gid = st.st_gid;
    options.setMode = true;
    options.mode = st.st_mode & 07777;
    return options;
}

int ReplaceAt(int dirFd, const std::string& name, const std::function<int(int fd)>& writer,
              const ReplaceOptions& options, ReplaceStep* failed) {
    ReplaceStep step = ReplaceStep::kNone;
    int result = 0;
    std::string temp;
    Fd out;
    for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
        temp = NextTemporaryName(name);
        // Private while it is written: its mode comes once the content is whole.
        out = Fd(openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!out.valid() && errno != EEXIST) {
            break;
        }
    }
    if (!out.valid()) {
        if (failed != nullptr) {
            *failed = ReplaceStep::kCreate;
        }
        return -1;
    }
    struct stat made;
    if ((result = writer(out.get())) != 0) {
        step = ReplaceStep::kWrite;
    } else if (options.setOwner && fstat(out.get(), &made) != 0) {
        step = ReplaceStep::kOwner;
    } else if (options.setOwner && (made.st_uid != options.uid || made.st_gid != options.gid) &&
               fchown(out.get(), options.uid, options.gid) != 0 && options.ownerRequired) {
        // Owner before mode: a change of owner may clear set-id bits.
        step = ReplaceStep::kOwner;
    } else if (fchmod(out.get(), options.setMode ? options.mode & 07777 : kNewFileMode) != 0) {
        step = ReplaceStep::kMode;
    } else if (options.flush == Flush::kEach && fsync(out.get()) != 0) {
        step = ReplaceStep::kFlush;
    } else if (options.flush == Flush::kLater &&
               sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE) != 0 && errno == EIO) {
        // Writing back starts now, while the caller goes on copying; its
        // later flush of the whole file system then mostly waits for it.
        step = ReplaceStep::kFlush;
    } else if (!out.close()) {
        step = ReplaceStep::kClose;
    } else if (renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        step = ReplaceStep::kRename;
    }
    if (step != ReplaceStep::kNone) {
        const int saved = errno;
        out.close();
        unlinkat(dirFd, temp.c_str(), 0);
        errno = saved;
        if (failed != nullptr) {
            *failed = step;
        }
        return step == ReplaceStep::kWrite ? result : -1;
    }
    if (options.flush == Flush::kEach) {
        // The rename itself made durable; the new content is in place
        // already, so a failure here changes nothing for the caller.
        const int saved = errno;
        fsync(dirFd);
        errno = saved;
    }
    if (failed != nullptr) {
        *failed = ReplaceStep::kNone;
    }
    return 0;
}

int ReplaceWithText(int dirFd, const std::string& name, const std::string& text,
                    const ReplaceOptions& options, ReplaceStep* failed) {
    return ReplaceAt(
        dirFd, name, [&text](int fd) { return WriteAll(fd, text) ? 0 : -1; }, options, failed);
}

}  // namespace fileio
