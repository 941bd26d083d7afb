// Low-level file pieces of the file library that the patcher may use too:
// one owner of a file descriptor, one read-all and one write-all loop, an
// open for reading that never blocks, the atomic replacement of a file, the
// names of its temporary files, and the tree copy with its report.
//
// Every function that fails leaves errno as the failing system call set it
// (or as documented at the function), so a caller can log strerror(errno).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"

namespace fileio {

// Owns one file descriptor and closes it when destroyed (keeping errno).
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now; false when close failed (errno set; late write errors show
    // up here). Closing an empty owner succeeds.
    bool close();

  private:
    int m_fd = -1;
};

// The most a configuration file (the registry, notes.ini, the package
// settings) may hold; a larger one is not read at all.
const size_t kLargestSettingsFile = 4u << 20;

// Reads from the current offset to the end of the file and appends it to
// `out`. False on a read error (errno set), or with errno EFBIG once `out`
// would pass `limit` bytes; `out` then holds what came (at most `limit`
// bytes more than it held).
bool ReadAll(int fd, std::string& out, size_t limit = static_cast<size_t>(-1));
// Reads up to `want` bytes, fewer only at the end of the file; -1 on error.
ssize_t ReadFull(int fd, void* buf, size_t want);
// Writes all of `data`. False on error (errno set; a write that makes no
// progress counts as ENOSPC).
bool WriteAll(int fd, const void* data, size_t size);
inline bool WriteAll(int fd, const std::string& data) {
    return WriteAll(fd, data.data(), data.size());
}

// Opens `path` (relative to `dirFd`, or AT_FDCWD) for reading without ever
// blocking, and only when it is a regular file: a FIFO, a device or a socket
// is never read from. `st` receives the file's status whenever it could be
// opened, also when it is refused for its type (st_mode is 0 when it could
// not be opened). On failure the owner
// is empty and errno is the open's error, EISDIR for a folder, or EINVAL for
// any other file that is not a regular one. `flags` may add O_NOFOLLOW.
Fd OpenRegularForReading(int dirFd, const char* path, struct stat& st, int flags = 0);

// ---- Flushing a folder ----

// Flushes the folder that holds `name`, an entry of the open folder `dirFd`
// (or of the working folder with AT_FDCWD) that may lie in a subfolder of it
// or be an absolute path. A folder's flush makes its own entries durable and
// nothing else, so a name removed from (or made in) a folder stays so after
// a power loss only once that folder is flushed. False (errno set) when the
// folder cannot be opened or flushed.
bool FlushFolderHolding(int dirFd, const std::string& name);

// ---- Names resolved beneath a folder ----

// Opens `relative` beneath the open folder `dirFd`, one component at a time,
// so that nothing a name holds can lead out of that folder: an absolute name
// or a ".." component is refused with EXDEV, an empty or "." component with
// EINVAL, and a symbolic link anywhere on the way, the last component
// included, with ELOOP. `flags` and `mode` are openat's; O_NOFOLLOW and
// O_CLOEXEC are always added, and an O_PATH descriptor never names a link
// either. Uses openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the
// kernel has it, else OpenBeneathStepwise.
Fd OpenBeneath(int dirFd, const std::string& relative, int flags, mode_t mode = 0);
// The same with openat alone: each folder component with O_NOFOLLOW and
// checked to be a folder, the last one with O_NOFOLLOW. Public so that both
// ways are tested on any kernel.
Fd OpenBeneathStepwise(int dirFd, const std::string& relative, int flags, mode_t mode = 0);
// Opens, beneath `dirFd`, the folder holding the last component of
// `relative` (dirFd itself for a name of one component) and gives that
// component in `last`, for the *at calls that work on an entry by its name
// (fstatat, renameat, unlinkat, linkat). Refuses as OpenBeneath does.
Fd OpenParentBeneath(int dirFd, const std::string& relative, std::string& last);

// Opens the folder `path` (relative to `dirFd`, or absolute) one component
// at a time like the kernel would, but follows a symbolic link on the way
// only when `mayFollow` accepts the link's own status; any other link is
// refused with ELOOP. "" names `dirFd` itself. For paths whose links are
// legitimate when root's own (a product root below a link of the system's)
// but must never be a link someone else planted. At most 40 links are
// followed (ELOOP beyond).
Fd OpenFolderFollowing(int dirFd, const std::string& path,
                       const std::function<bool(const struct stat& link)>& mayFollow);

// ---- Temporary files ----

// The name a temporary file written for `finalName` carries in the same
// folder: ".<name>.orvtmp-<pid>-<n>", with at most 64 bytes of the name.
std::string TemporaryName(const std::string& finalName, pid_t pid, unsigned long n);
// TemporaryName for this process with the next number of its one counter.
std::string NextTemporaryName(const std::string& finalName);
// Whether `name` (a bare entry name) is such a temporary name; when it is and
// `pid` is not null, *pid receives the process that made it.
bool IsTemporaryName(const char* name, pid_t* pid = nullptr);

// ---- Atomic replacement ----

// How the new file is made durable.
enum class Flush {
    kEach,   // fsync the file before the rename and the folder after it
    kLater,  // nothing here: the caller flushes the whole file system later
             // (a tree copy does, with syncfs, before anything names the tree)
};

// The steps of a replacement, to say which one failed.
enum class ReplaceStep {
    kNone = 0,
    kCreate,  // creating the temporary file
    kWrite,   // the writer's answer
    kOwner,   // giving the file its owner and group
    kMode,    // giving the file its mode
    kFlush,   // fsync of the file
    kClose,   // close (late write errors)
    kRename,  // rename over the final name
};

// The mode of a new file whose caller names none.
const mode_t kNewFileMode = 0644;

struct ReplaceOptions {
    bool setOwner = false;      // give the file uid/gid
    bool ownerRequired = true;  // a failed chown fails the replacement
    uid_t uid = 0;
    gid_t gid = 0;
    bool setMode = false;  // else kNewFileMode
    mode_t mode = 0644;
    Flush flush = Flush::kEach;
};

// Options that give the new file the owner, group and mode of `st` (the
// file it replaces).
ReplaceOptions KeepingOwnerAndMode(const struct stat& st);

// Writes the new content of `name` in the folder `dirFd` under a temporary
// name in that folder, gives it its mode and owner, flushes it, renames it
// over `name` and flushes the folder. `writer` fills the open temporary file
// and answers 0 or a nonzero code of its own (with errno set), which is
// returned as it is. On any failure the temporary file is removed, `name` is
// left as it was, errno tells why and *failed (when not null) names the step;
// the result is then the writer's code, or -1 for the other steps.
int ReplaceAt(int dirFd, const std::string& name, const std::function<int(int fd)>& writer,
              const ReplaceOptions& options, ReplaceStep* failed = nullptr);

// ReplaceAt with `text` as the whole new content.
int ReplaceWithText(int dirFd, const std::string& name, const std::string& text,
                    const ReplaceOptions& options, ReplaceStep* failed = nullptr);

// ---- A copy that checks its bytes ----

// A source file already open, read from its start whatever its offset, and
// the SHA-256 (lowercase hex) its bytes must have.
struct CheckedSource {
    int fd = -1;
    std::string sha256;
};

// KvORVFileOpUtil::copy from `source` (`shown` names it) to `dst`, hashing
// the bytes as they are copied: the digest is compared before the copy gets
// the target's name, so bytes that differ (a file changed or cut since its
// digest was taken) fail the copy with FOP_ERR_READ and errno EBADMSG, and
// the target stays as it was.
int CopyChecked(const CheckedSource& source, const char* shown, const char* dst, bool overwrite);

// ---- Tree copy with a report ----

// What a tree copy did besides copying: links it recreated as links instead
// of following (dangling links, loops, links back into a folder being copied,
// links to anything but a file or a folder), by their source paths.
struct TreeCopyReport {
    std::vector<std::string> linksKept;
};

// KvORVFileOpUtil::xcopy, with a report when `report` is not null.
int XCopy(const char* src, const char* dst, bool overwrite, KvORVFileOpUtil::FileOpCallback cb,
          KvORVFileOpUtil::CallbackEntry* entry, TreeCopyReport* report);

}  // namespace fileio
