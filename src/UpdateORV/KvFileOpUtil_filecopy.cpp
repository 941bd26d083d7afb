// Copying one file to one target path: the result codes, the callback calls,
// and a target that is never left half-written.
//
// The bytes go into a temporary file in the target's folder, which is renamed
// over the target only when the copy is complete; a failed copy removes it and
// leaves the target as it was. An overwritten target keeps its mode and owner.
// A target that is a symbolic link is written through (the link stays and the
// file it names gets the new content), as opening the link for writing would.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

namespace kvfileop_detail {

namespace {

const size_t kBlockSize = 262144;  // bytes per read/write block
const int kMaxLinkHops = 40;       // as the kernel's own limit for one path

// Reads the target of the link `path`; false when it cannot be read.
bool ReadLink(const std::string& path, std::string& target) {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = readlink(path.c_str(), &buf[0], buf.size());
        if (n < 0) {
            return false;
        }
        if (static_cast<size_t>(n) < buf.size()) {
            target.assign(buf, 0, static_cast<size_t>(n));
            return true;
        }
        buf.resize(buf.size() * 2);
    }
}

// Follows `dst` through symbolic links to the path whose bytes a copy
// replaces. `st`/`exists` describe that final path.
bool ResolveTarget(const std::string& dst, std::string& out, struct stat& st, bool& exists) {
    std::string cur = dst;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        if (lstat(cur.c_str(), &st) != 0) {
            exists = false;
            out = cur;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            exists = true;
            out = cur;
            return true;
        }
        std::string link;
        if (!ReadLink(cur, link) || link.empty()) {
            return false;
        }
        cur = (link[0] == '/') ? link : KvORVFileOpUtil::getDirName(cur.c_str()) + link;
    }
    return false;
}

// Creates a fresh temporary file beside `target`, hidden and named after it.
// Mode 0666 less the umask, as any newly created file.
int OpenTemporary(const std::string& target, std::string& tempPath) {
    static unsigned long counter = 0;
    const std::string folder = KvORVFileOpUtil::getDirName(target.c_str());
    // A short piece of the name keeps the temporary name within the name
    // length limit whatever the target's name length.
    const std::string base = KvORVFileOpUtil::getFileName(target.c_str()).substr(0, 64);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = folder + "." + base + ".orvtmp-" + std::to_string(getpid()) + "-" +
                   std::to_string(++counter);
        const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool IsWriteSideError(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG;
}

// Copies with the 256 KiB read/write loop from the files' current offsets.
int CopyByBlocks(int in, int out) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlockSize]);
    if (!buffer) {
        return FOP_ERR_READ;
    }
    for (;;) {
        const ssize_t got = read(in, buffer.get(), kBlockSize);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FOP_ERR_READ;
        }
        if (got == 0) {
            return FOP_OK;
        }
        ssize_t done = 0;
        while (done < got) {
            const ssize_t put = write(out, buffer.get() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                return FOP_ERR_WRITE;
            }
            done += put;
        }
    }
}

// Copies all of `in` to `out`: in the kernel where it can, else by blocks.
int CopyData(int in, int out, off_t sizeAtOpen) {
    // Files that claim to be empty (pseudo-files among them) go by blocks:
    // the kernel copy relies on the size.
    if (sizeAtOpen > 0) {
        off_t copied = 0;
        for (;;) {
            const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n > 0) {
                copied += n;
                continue;
            }
            if (n == 0) {
                if (copied > 0) {
                    return FOP_OK;
                }
                break;  // nothing came through: let the blocks decide
            }
            if (errno == EINTR) {
                continue;
            }
            if (IsWriteSideError(errno)) {
                return FOP_ERR_WRITE;
            }
            if (errno == EIO) {
                return FOP_ERR_READ;
            }
            break;  // the kernel refuses this pair: carry on by blocks
        }
    }
    return CopyByBlocks(in, out);
}

}  // namespace

int _copy(const char* src, const char* dst, bool overwrite, KvORVFileOpUtil::FileOpCallback cb,
          KvORVFileOpUtil::CallbackEntry* entry) {
    if (src == nullptr || *src == '\0' || dst == nullptr || *dst == '\0') {
        return FOP_ERR_INVALID;
    }
    if (entry != nullptr) {
        entry->srcName = src;
        entry->dstName = dst;
        entry->phase = FOP_BEFORE;
    }
    std::string target;
    struct stat dstSt;
    bool dstExists = false;
    // A link loop or an unreadable link names no file: like a target that
    // cannot be opened, it fails once the source is open.
    const bool resolved = ResolveTarget(dst, target, dstSt, dstExists);
    if (resolved && dstExists && S_ISDIR(dstSt.st_mode)) {
        return FOP_ERR_TARGET;
    }
    int action = FOP_COPY_NEW;
    // An existing target counts as existing even when it cannot be read, so
    // that overwriting off never replaces a file.
    if (dstExists) {
        // The same file under another name (or through a link): copying it
        // would replace it with itself at best; refuse and touch nothing.
        struct stat srcSt;
        if (stat(src, &srcSt) == 0 && srcSt.st_dev == dstSt.st_dev &&
            srcSt.st_ino == dstSt.st_ino) {
            return FOP_ERR_TARGET;
        }
        if (!overwrite) {
            return FOP_ERR_EXISTS;
        }
        action = FOP_COPY_REPLACE;
    }
    if (entry != nullptr) {
        entry->action = action;
    }
    int result = FOP_OK;
    if (!BeforeCall(cb, entry, result)) {
        return result;
    }

    const int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return FOP_ERR_OPEN_SOURCE;
    }
    // A target that this process could not open for writing is not replaced
    // by way of the temporary file either.
    if (!resolved || (dstExists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)) {
        close(in);
        return FOP_ERR_TARGET;
    }
    struct stat inSt;
    if (fstat(in, &inSt) != 0 || S_ISDIR(inSt.st_mode)) {
        close(in);
        return FOP_ERR_READ;  // a folder opens but cannot be read as a file
    }
    std::string temp;
    const int out = OpenTemporary(target, temp);
    if (out < 0) {
        close(in);
        return FOP_ERR_TARGET;
    }
    result = CopyData(in, out, inSt.st_size);
    close(in);
    if (result == FOP_OK && dstExists) {
        // Owner first: changing it may clear set-id bits that the mode restores.
        // Without the right to give the file away it keeps the copier's owner.
        if (fchown(out, dstSt.st_uid, dstSt.st_gid) != 0) {
            // Best effort: the content is what matters to the caller.
        }
        fchmod(out, dstSt.st_mode & 07777);
    }
    if (close(out) != 0 && result == FOP_OK) {
        result = FOP_ERR_WRITE;  // delayed write errors show up here
    }
    if (result == FOP_OK && ::rename(temp.c_str(), target.c_str()) != 0) {
        result = FOP_ERR_TARGET;
    }
    if (result != FOP_OK) {
        ::unlink(temp.c_str());
        return result;
    }

    if (entry != nullptr) {
        entry->phase = FOP_AFTER;
    }
    return AfterCall(cb, entry);
}

}  // namespace kvfileop_detail
