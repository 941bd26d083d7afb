// The descriptor owner, the read and write loops, the non-blocking open for
// reading and the atomic replacement of a file.
#include "UpdateORV/FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
