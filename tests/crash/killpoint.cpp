// Kill points for the crash campaign: a library preloaded into the patcher
// (LD_PRELOAD) that counts the patcher's own calls that change the file
// system, and each line it adds to its log, and ends the process with
// SIGKILL right after the N-th of them.
//
//   ORVKILL_EVENTS=<file>   every event is appended as "<n>\t<description>";
//                           the event the process is killed at is followed
//                           by a line "killed\t<n>"
//   ORVKILL_AT=<n>          SIGKILL right after the n-th event (absent or 0:
//                           only count)
//   ORVKILL_NEW_FAILS_AT=<n>  from the n-th event on, every allocation of the
//                           patcher's (operator new) throws std::bad_alloc
//   ORVKILL_ALTER_AT=<n>    right after the n-th event, the file named by
//   ORVKILL_ALTER_FILE=<p>  ORVKILL_ALTER_FILE gets "altered" written over its
//                           first bytes, in place (as another process
//                           changing a package file under the patcher would)
//
// Only calls that succeed count, so each event changed something. The
// library takes itself out of the environment at load time, so the console
// commands the patcher starts neither load it nor count; calls made by a
// forked child before it runs its program are not counted either. Without
// ORVKILL_AT every call behaves exactly as without the library.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <new>
#include <string>

namespace {

pid_t g_pid = 0;
long g_killAt = 0;
long g_newFailsAt = 0;
long g_alterAt = 0;
std::string* g_alterFile = nullptr;
long g_count = 0;
int g_events = -1;
FILE* g_logs[16];  // streams opened for writing, counted as log lines at fclose
int g_depth = 0;   // calls made by the library itself are not events
int g_inside = 0;  // within a call the library took over: its own allocations never fail

struct Inside {
    Inside() { ++g_inside; }
    ~Inside() { --g_inside; }
};

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void Emit(const std::string& line) {
    if (g_events < 0) {
        return;
    }
    std::string text = line + "\n";
    // The raw system call: the library's own output is never an event.
    ssize_t ignored = syscall(SYS_write, g_events, text.data(), text.size());
    (void)ignored;
}

std::string FdPath(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buf[4096];
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    return n < 0 ? std::string("?") : std::string(buf, static_cast<size_t>(n));
}

std::string AtPath(int dirFd, const char* path) {
    if (path == nullptr) {
        return "?";
    }
    if (path[0] == '/' || dirFd == AT_FDCWD) {
        return path;
    }
    return FdPath(dirFd) + "/" + path;
}

bool Counting() {
    return g_pid != 0 && g_depth == 0 && getpid() == g_pid;
}

// Called after a call succeeded.
void Event(const std::string& what) {
    ++g_count;
    ++g_depth;
    Emit(std::to_string(g_count) + "\t" + what);
    if (g_alterAt != 0 && g_count == g_alterAt && g_alterFile != nullptr) {
        const int fd = static_cast<int>(
            syscall(SYS_openat, AT_FDCWD, g_alterFile->c_str(), O_WRONLY | O_CLOEXEC));
        const bool done = fd >= 0 && syscall(SYS_pwrite64, fd, "altered", 7, 0) == 7;
        if (fd >= 0) {
            syscall(SYS_close, fd);
        }
        Emit(std::string(done ? "altered\t" : "not altered\t") + *g_alterFile);
    }
    if (g_killAt != 0 && g_count == g_killAt) {
        Emit("killed\t" + std::to_string(g_count));
        syscall(SYS_kill, g_pid, SIGKILL);
    }
    --g_depth;
}

// An open that can change a file: for writing, creating or truncating. An
// open for appending alone (the log's) changes nothing until its write.
bool Writes(int flags) {
    if ((flags & O_APPEND) != 0 && (flags & (O_CREAT | O_TRUNC)) == 0) {
        return false;
    }
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

bool RegularFile(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The last line of the log, without its time stamp.
std::string LastLine(const std::string& path) {
    static auto realOpen = Next<int (*)(const char*, int, ...)>("open");
    int fd = realOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "?";
    }
    char buf[512];
    off_t size = lseek(fd, 0, SEEK_END);
    off_t from = size > static_cast<off_t>(sizeof buf) ? size - static_cast<off_t>(sizeof buf) : 0;
    ssize_t n = pread(fd, buf, sizeof buf, from);
    close(fd);
    if (n <= 0) {
        return "?";
    }
    std::string text(buf, static_cast<size_t>(n));
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::string line =
        text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    std::string::size_type mark = line.find("]:");
    return mark == std::string::npos ? line : line.substr(mark + 2);
}

std::string g_logPaths[16];

__attribute__((constructor)) void Start() {
    const char* events = getenv("ORVKILL_EVENTS");
    const char* at = getenv("ORVKILL_AT");
    if (events != nullptr && *events != '\0') {
        g_events = static_cast<int>(
            syscall(SYS_openat, AT_FDCWD, events, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    }
    g_killAt = at != nullptr ? strtol(at, nullptr, 10) : 0;
    const char* newFails = getenv("ORVKILL_NEW_FAILS_AT");
    g_newFailsAt = newFails != nullptr ? strtol(newFails, nullptr, 10) : 0;
    const char* alterAt = getenv("ORVKILL_ALTER_AT");
    const char* alterFile = getenv("ORVKILL_ALTER_FILE");
    g_alterAt = alterAt != nullptr ? strtol(alterAt, nullptr, 10) : 0;
    if (alterFile != nullptr && *alterFile != '\0') {
        g_alterFile = new std::string(alterFile);
    }
    g_pid = getpid();
    unsetenv("ORVKILL_ALTER_AT");
    unsetenv("ORVKILL_ALTER_FILE");
    unsetenv("LD_PRELOAD");
    unsetenv("ORVKILL_EVENTS");
    unsetenv("ORVKILL_AT");
    unsetenv("ORVKILL_NEW_FAILS_AT");
}

}  // namespace

// The patcher's allocations, failing as memory that has run out would once
// ORVKILL_NEW_FAILS_AT is reached.
void* operator new(std::size_t size) {
    if (g_newFailsAt != 0 && g_count >= g_newFailsAt && g_inside == 0 && Counting()) {
        throw std::bad_alloc();
    }
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

extern "C" {

#define OPEN_MODE(flags, mode)                         \
    mode_t mode = 0;                                   \
    if ((flags) & (O_CREAT | O_TMPFILE)) {             \
        va_list args;                                  \
        va_start(args, flags);                         \
        mode = static_cast<mode_t>(va_arg(args, int)); \
        va_end(args);                                  \
    }

int open(const char* path, int flags, ...) {
    OPEN_MODE(flags, mode);
    static auto real = Next<int (*)(const char*, int, ...)>("open");
    Inside inside;
    int fd = real(path, flags, mode);
    if (fd >= 0 && Writes(flags) && Counting()) {
        Event(std::string("open ") + path);
    }
    return fd;
}

int open64(const char* path, int flags, ...) {
    OPEN_MODE(flags, mode);
    static auto real = Next<int (*)(const char*, int, ...)>("open64");
    Inside inside;
    int fd = real(path, flags, mode);
    if (fd >= 0 && Writes(flags) && Counting()) {
        Event(std::string("open ") + path);
    }
    return fd;
}

int openat(int dirFd, const char* path, int flags, ...) {
    OPEN_MODE(flags, mode);
    static auto real = Next<int (*)(int, const char*, int, ...)>("openat");
    Inside inside;
    int fd = real(dirFd, path, flags, mode);
    if (fd >= 0 && Writes(flags) && Counting()) {
        Event("open " + AtPath(dirFd, path));
    }
    return fd;
}

int openat64(int dirFd, const char* path, int flags, ...) {
    OPEN_MODE(flags, mode);
    static auto real = Next<int (*)(int, const char*, int, ...)>("openat64");
    Inside inside;
    int fd = real(dirFd, path, flags, mode);
    if (fd >= 0 && Writes(flags) && Counting()) {
        Event("open " + AtPath(dirFd, path));
    }
    return fd;
}

int creat(const char* path, mode_t mode) {
    static auto real = Next<int (*)(const char*, mode_t)>("creat");
    Inside inside;
    int fd = real(path, mode);
    if (fd >= 0 && Counting()) {
        Event(std::string("creat ") + path);
    }
    return fd;
}

ssize_t write(int fd, const void* buf, size_t count) {
    static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
    Inside inside;
    ssize_t n = real(fd, buf, count);
    if (n > 0 && Counting() && RegularFile(fd)) {
        Event("write " + FdPath(fd));
    }
    return n;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    static auto real = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    Inside inside;
    ssize_t n = real(fd, buf, count, offset);
    if (n > 0 && Counting() && RegularFile(fd)) {
        Event("write " + FdPath(fd));
    }
    return n;
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    static auto real = Next<ssize_t (*)(int, const struct iovec*, int)>("writev");
    Inside inside;
    ssize_t n = real(fd, iov, count);
    if (n > 0 && Counting() && RegularFile(fd)) {
        Event("write " + FdPath(fd));
    }
    return n;
}

ssize_t copy_file_range(int in, loff_t* inOff, int out, loff_t* outOff, size_t len,
                        unsigned flags) {
    static auto real =
        Next<ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned)>("copy_file_range");
    ssize_t n = real(in, inOff, out, outOff, len, flags);
    if (n > 0 && Counting()) {
        Event("copy_file_range " + FdPath(out));
    }
    return n;
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
    static auto real = Next<ssize_t (*)(int, int, off_t*, size_t)>("sendfile");
    Inside inside;
    ssize_t n = real(out, in, offset, count);
    if (n > 0 && Counting()) {
        Event("sendfile " + FdPath(out));
    }
    return n;
}

int ftruncate(int fd, off_t length) {
    static auto real = Next<int (*)(int, off_t)>("ftruncate");
    Inside inside;
    int rc = real(fd, length);
    if (rc == 0 && Counting()) {
        Event("ftruncate " + FdPath(fd));
    }
    return rc;
}

int truncate(const char* path, off_t length) {
    static auto real = Next<int (*)(const char*, off_t)>("truncate");
    Inside inside;
    int rc = real(path, length);
    if (rc == 0 && Counting()) {
        Event(std::string("truncate ") + path);
    }
    return rc;
}

int rename(const char* from, const char* to) {
    static auto real = Next<int (*)(const char*, const char*)>("rename");
    Inside inside;
    int rc = real(from, to);
    if (rc == 0 && Counting()) {
        Event(std::string("rename ") + from + " -> " + to);
    }
    return rc;
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    static auto real = Next<int (*)(int, const char*, int, const char*)>("renameat");
    Inside inside;
    int rc = real(fromDir, from, toDir, to);
    if (rc == 0 && Counting()) {
        Event("rename " + AtPath(fromDir, from) + " -> " + AtPath(toDir, to));
    }
    return rc;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    static auto real = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    Inside inside;
    int rc = real(fromDir, from, toDir, to, flags);
    if (rc == 0 && Counting()) {
        Event("rename " + AtPath(fromDir, from) + " -> " + AtPath(toDir, to));
    }
    return rc;
}

int link(const char* from, const char* to) {
    static auto real = Next<int (*)(const char*, const char*)>("link");
    Inside inside;
    int rc = real(from, to);
    if (rc == 0 && Counting()) {
        Event(std::string("link ") + from + " -> " + to);
    }
    return rc;
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    static auto real = Next<int (*)(int, const char*, int, const char*, int)>("linkat");
    Inside inside;
    int rc = real(fromDir, from, toDir, to, flags);
    if (rc == 0 && Counting()) {
        Event("link " + AtPath(fromDir, from) + " -> " + AtPath(toDir, to));
    }
    return rc;
}

int symlink(const char* target, const char* path) {
    static auto real = Next<int (*)(const char*, const char*)>("symlink");
    Inside inside;
    int rc = real(target, path);
    if (rc == 0 && Counting()) {
        Event(std::string("symlink ") + path + " -> " + target);
    }
    return rc;
}

int symlinkat(const char* target, int dirFd, const char* path) {
    static auto real = Next<int (*)(const char*, int, const char*)>("symlinkat");
    Inside inside;
    int rc = real(target, dirFd, path);
    if (rc == 0 && Counting()) {
        Event("symlink " + AtPath(dirFd, path) + " -> " + target);
    }
    return rc;
}

int unlink(const char* path) {
    static auto real = Next<int (*)(const char*)>("unlink");
    Inside inside;
    int rc = real(path);
    if (rc == 0 && Counting()) {
        Event(std::string("unlink ") + path);
    }
    return rc;
}

int unlinkat(int dirFd, const char* path, int flags) {
    static auto real = Next<int (*)(int, const char*, int)>("unlinkat");
    Inside inside;
    int rc = real(dirFd, path, flags);
    if (rc == 0 && Counting()) {
        Event(std::string((flags & AT_REMOVEDIR) ? "rmdir " : "unlink ") + AtPath(dirFd, path));
    }
    return rc;
}

int remove(const char* path) {
    static auto real = Next<int (*)(const char*)>("remove");
    Inside inside;
    int rc = real(path);
    if (rc == 0 && Counting()) {
        Event(std::string("remove ") + path);
    }
    return rc;
}

int mkdir(const char* path, mode_t mode) {
    static auto real = Next<int (*)(const char*, mode_t)>("mkdir");
    Inside inside;
    int rc = real(path, mode);
    if (rc == 0 && Counting()) {
        Event(std::string("mkdir ") + path);
    }
    return rc;
}

int mkdirat(int dirFd, const char* path, mode_t mode) {
    static auto real = Next<int (*)(int, const char*, mode_t)>("mkdirat");
    Inside inside;
    int rc = real(dirFd, path, mode);
    if (rc == 0 && Counting()) {
        Event("mkdir " + AtPath(dirFd, path));
    }
    return rc;
}

int rmdir(const char* path) {
    static auto real = Next<int (*)(const char*)>("rmdir");
    Inside inside;
    int rc = real(path);
    if (rc == 0 && Counting()) {
        Event(std::string("rmdir ") + path);
    }
    return rc;
}

int fsync(int fd) {
    static auto real = Next<int (*)(int)>("fsync");
    Inside inside;
    int rc = real(fd);
    if (rc == 0 && Counting()) {
        Event("fsync " + FdPath(fd));
    }
    return rc;
}

int fdatasync(int fd) {
    static auto real = Next<int (*)(int)>("fdatasync");
    Inside inside;
    int rc = real(fd);
    if (rc == 0 && Counting()) {
        Event("fdatasync " + FdPath(fd));
    }
    return rc;
}

int syncfs(int fd) {
    static auto real = Next<int (*)(int)>("syncfs");
    Inside inside;
    int rc = real(fd);
    if (rc == 0 && Counting()) {
        Event("syncfs " + FdPath(fd));
    }
    return rc;
}

void sync(void) {
    static auto real = Next<void (*)(void)>("sync");
    Inside inside;
    real();
    if (Counting()) {
        Event("sync");
    }
}

int chmod(const char* path, mode_t mode) {
    static auto real = Next<int (*)(const char*, mode_t)>("chmod");
    Inside inside;
    int rc = real(path, mode);
    if (rc == 0 && Counting()) {
        Event(std::string("chmod ") + path);
    }
    return rc;
}

int fchmod(int fd, mode_t mode) {
    static auto real = Next<int (*)(int, mode_t)>("fchmod");
    Inside inside;
    int rc = real(fd, mode);
    if (rc == 0 && Counting()) {
        Event("chmod " + FdPath(fd));
    }
    return rc;
}

int fchmodat(int dirFd, const char* path, mode_t mode, int flags) {
    static auto real = Next<int (*)(int, const char*, mode_t, int)>("fchmodat");
    Inside inside;
    int rc = real(dirFd, path, mode, flags);
    if (rc == 0 && Counting()) {
        Event("chmod " + AtPath(dirFd, path));
    }
    return rc;
}

int chown(const char* path, uid_t uid, gid_t gid) {
    static auto real = Next<int (*)(const char*, uid_t, gid_t)>("chown");
    Inside inside;
    int rc = real(path, uid, gid);
    if (rc == 0 && Counting()) {
        Event(std::string("chown ") + path);
    }
    return rc;
}

int lchown(const char* path, uid_t uid, gid_t gid) {
    static auto real = Next<int (*)(const char*, uid_t, gid_t)>("lchown");
    Inside inside;
    int rc = real(path, uid, gid);
    if (rc == 0 && Counting()) {
        Event(std::string("chown ") + path);
    }
    return rc;
}

int fchown(int fd, uid_t uid, gid_t gid) {
    static auto real = Next<int (*)(int, uid_t, gid_t)>("fchown");
    Inside inside;
    int rc = real(fd, uid, gid);
    if (rc == 0 && Counting()) {
        Event("chown " + FdPath(fd));
    }
    return rc;
}

int fchownat(int dirFd, const char* path, uid_t uid, gid_t gid, int flags) {
    static auto real = Next<int (*)(int, const char*, uid_t, gid_t, int)>("fchownat");
    Inside inside;
    int rc = real(dirFd, path, uid, gid, flags);
    if (rc == 0 && Counting()) {
        Event("chown " + AtPath(dirFd, path));
    }
    return rc;
}

// Log lines: a stream opened (or made from a descriptor) for writing or
// appending counts once, when it is closed and its line is in the file.
FILE* fopen(const char* path, const char* mode) {
    static auto real = Next<FILE* (*)(const char*, const char*)>("fopen");
    Inside inside;
    FILE* file = real(path, mode);
    if (file != nullptr && Counting() && strpbrk(mode, "wa+") != nullptr) {
        for (int i = 0; i < 16; ++i) {
            if (g_logs[i] == nullptr) {
                g_logs[i] = file;
                g_logPaths[i] = path;
                break;
            }
        }
    }
    return file;
}

FILE* fdopen(int fd, const char* mode) {
    static auto real = Next<FILE* (*)(int, const char*)>("fdopen");
    Inside inside;
    FILE* file = real(fd, mode);
    if (file != nullptr && Counting() && strpbrk(mode, "wa+") != nullptr) {
        for (int i = 0; i < 16; ++i) {
            if (g_logs[i] == nullptr) {
                g_logs[i] = file;
                g_logPaths[i] = FdPath(fd);
                break;
            }
        }
    }
    return file;
}

FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

int fclose(FILE* file) {
    static auto real = Next<int (*)(FILE*)>("fclose");
    Inside inside;
    int slot = -1;
    for (int i = 0; i < 16 && file != nullptr; ++i) {
        if (g_logs[i] == file) {
            slot = i;
            g_logs[i] = nullptr;
        }
    }
    int rc = real(file);
    if (slot >= 0 && Counting()) {
        ++g_depth;
        std::string line = LastLine(g_logPaths[slot]);
        --g_depth;
        Event("log " + line);
    }
    return rc;
}

}  // extern "C"
