// Copying one file to one target path: the result codes, the callback calls,
// and a target that is never left half-written.
//
// The bytes go into a temporary file in the target's folder, which is renamed
// over the target only when the copy is complete (fileio::ReplaceAt); a failed
// copy removes it and leaves the target as it was. An overwritten target keeps
// its mode and owner. A target that is a symbolic link is written through (the
// link stays and the file it names gets the new content), as opening the link
// for writing would; but a link that root may not follow (machine::MayFollow)
// is replaced by the new file, and a source that is such a link is not read;
// neither is written or read through such a link in its folder part.
// Only a regular file is ever read: a FIFO, a device or a socket as source is
// refused without being read, and never blocks the copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"
#include "common/Sha256.h"
#include "machine/trust.h"

using fileio::Fd;

namespace kvfileop_detail {

namespace {

const size_t kBlockSize = 262144;  // bytes per read/write block
const int kMaxLinkHops = 40;       // as the kernel's own limit for one path

bool ReadLinkAt(int dirFd, const std::string& path, std::string& target) {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = readlinkat(dirFd, path.c_str(), &buf[0], buf.size());
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

// Follows `dst` (relative to `dirFd`) through symbolic links to the path whose
// bytes a copy replaces. `st`/`exists` describe that final path. A link that
// may not be followed (machine::MayFollow) is that path itself: `keptLink`
// tells, and the copy then replaces the link.
bool ResolveTarget(int dirFd, const std::string& dst, std::string& out, struct stat& st,
                   bool& exists, bool& keptLink) {
    std::string cur = dst;
    keptLink = false;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        if (fstatat(dirFd, cur.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            exists = false;
            out = cur;
            return true;
        }
        if (!S_ISLNK(st.st_mode) || !machine::MayFollow(st)) {
            exists = true;
            keptLink = S_ISLNK(st.st_mode);
            out = cur;
            return true;
        }
        std::string link;
        if (!ReadLinkAt(dirFd, cur, link) || link.empty()) {
            return false;
        }
        cur = (link[0] == '/') ? link : KvORVFileOpUtil::getDirName(cur.c_str()) + link;
    }
    errno = ELOOP;
    return false;
}

bool IsWriteSideError(int err) {
    return err == ENOSPC || err == EDQUOT || err == EFBIG;
}

// Copies with the 256 KiB read/write loop from the files' current offsets.
int CopyByBlocks(int in, int out) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlockSize]);
    if (!buffer) {
        errno = ENOMEM;
        return FOP_ERR_READ;
    }
    for (;;) {
        const ssize_t got = fileio::ReadFull(in, buffer.get(), kBlockSize);
        if (got < 0) {
            return FOP_ERR_READ;
        }
        if (got == 0) {
            return FOP_OK;
        }
        if (!fileio::WriteAll(out, buffer.get(), static_cast<size_t>(got))) {
            return FOP_ERR_WRITE;
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

// Copies all of `in` from its start by blocks, hashing what passes; a digest
// other than `sha256` fails with errno EBADMSG before the caller renames.
int CopyHashed(int in, int out, const std::string& sha256) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlockSize]);
    if (!buffer) {
        errno = ENOMEM;
        return FOP_ERR_READ;
    }
    digest::Sha256 sha;
    for (off_t at = 0;;) {
        const ssize_t got = pread(in, buffer.get(), kBlockSize, at);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FOP_ERR_READ;
        }
        if (got == 0) {
            break;
        }
        sha.Update(buffer.get(), static_cast<size_t>(got));
        if (!fileio::WriteAll(out, buffer.get(), static_cast<size_t>(got))) {
            return FOP_ERR_WRITE;
        }
        at += got;
    }
    if (!digest::SameDigest(sha.FinishHex(), sha256)) {
        errno = EBADMSG;
        return FOP_ERR_READ;
    }
    return FOP_OK;
}

// The result code for a replacement that failed at `step`.
int ReplaceFailure(fileio::ReplaceStep step, int code) {
    switch (step) {
        case fileio::ReplaceStep::kWrite:
            return code;
        case fileio::ReplaceStep::kCreate:
        case fileio::ReplaceStep::kRename:
            return FOP_ERR_TARGET;
        default:
            return FOP_ERR_WRITE;
    }
}

}  // namespace

int CopyFileAt(const FileAt& src, const FileAt& dst, bool overwrite,
               KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry,
               fileio::Flush flush, const fileio::CheckedSource* checked) {
    if (entry != nullptr) {
        entry->srcName = src.path;
        entry->dstName = dst.path;
        entry->phase = FOP_BEFORE;
    }
    std::string target;
    struct stat dstSt;
    bool dstExists = false;
    bool keptLink = false;
    // A link loop or an unreadable link names no file: like a target that
    // cannot be opened, it fails once the source is open.
    const bool resolved = ResolveTarget(dst.dirFd, dst.name, target, dstSt, dstExists, keptLink);
    const int resolveError = errno;
    if (resolved && dstExists && S_ISDIR(dstSt.st_mode)) {
        errno = EISDIR;
        return FOP_ERR_TARGET;
    }
    int action = FOP_COPY_NEW;
    // An existing target counts as existing even when it cannot be read, so
    // that overwriting off never replaces a file.
    if (dstExists) {
        // The same file under another name (or through a link): copying it
        // would replace it with itself at best; refuse and touch nothing.
        struct stat srcSt;
        const int srcStat = checked != nullptr ? fstat(checked->fd, &srcSt)
                                               : fstatat(src.dirFd, src.name, &srcSt, 0);
        if (srcStat == 0 && srcSt.st_dev == dstSt.st_dev && srcSt.st_ino == dstSt.st_ino) {
            errno = EEXIST;
            return FOP_ERR_TARGET;
        }
        if (!overwrite) {
            errno = EEXIST;
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

    // A source that is a link root may not follow is not read through.
    int srcFlags = src.openFlags;
    struct stat srcLink;
    if (checked == nullptr && fstatat(src.dirFd, src.name, &srcLink, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(srcLink.st_mode) && !machine::MayFollow(srcLink)) {
        srcFlags |= O_NOFOLLOW;
    }
    // Nor is a source reached through such a link in its folder part. A
    // checked source is read from its descriptor alone.
    struct stat inSt = {};
    const std::string srcName = src.name;
    const std::string::size_type srcSlash = srcName.rfind('/');
    Fd srcFolder;
    if (checked == nullptr && srcSlash != std::string::npos) {
        srcFolder = fileio::OpenFolderFollowing(src.dirFd, srcName.substr(0, srcSlash + 1),
                                                machine::MayFollow);
        if (!srcFolder.valid()) {
            return FOP_ERR_OPEN_SOURCE;
        }
    }
    Fd in = checked != nullptr ? Fd(fcntl(checked->fd, F_DUPFD_CLOEXEC, 0))
            : srcFolder.valid()
                ? fileio::OpenRegularForReading(srcFolder.get(), srcName.c_str() + srcSlash + 1,
                                                inSt, srcFlags)
                : fileio::OpenRegularForReading(src.dirFd, src.name, inSt, srcFlags);
    if (!in.valid() && (checked != nullptr || errno != EISDIR)) {
        return FOP_ERR_OPEN_SOURCE;
    }
    const bool sourceIsFolder = !in.valid();
    // A target that this process could not open for writing is not replaced
    // by way of the temporary file either.
    if (!resolved) {
        errno = resolveError;
        return FOP_ERR_TARGET;
    }
    if (dstExists && !keptLink && faccessat(dst.dirFd, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return FOP_ERR_TARGET;
    }
    if (sourceIsFolder) {
        errno = EISDIR;
        return FOP_ERR_READ;  // a folder opens but cannot be read as a file
    }
    const std::string folder = KvORVFileOpUtil::getDirName(target.c_str());
    // The target's folder is reached through no link root may not follow:
    // a folder swapped for someone's link is not written through.
    Fd dir = fileio::OpenFolderFollowing(dst.dirFd, folder, machine::MayFollow);
    if (!dir.valid()) {
        return FOP_ERR_TARGET;
    }
    fileio::ReplaceOptions options;
    if (dstExists && !keptLink) {
        // Without the right to give the file away it keeps the copier's
        // owner: the content is what matters to the caller.
        options = fileio::KeepingOwnerAndMode(dstSt);
        options.ownerRequired = false;
    }
    options.flush = flush;
    fileio::ReplaceStep step = fileio::ReplaceStep::kNone;
    const int fdIn = in.get();
    const off_t size = inSt.st_size;
    result = fileio::ReplaceAt(
        dir.get(), KvORVFileOpUtil::getFileName(target.c_str()),
        [fdIn, size, checked](int out) {
            return checked != nullptr ? CopyHashed(fdIn, out, checked->sha256)
                                      : CopyData(fdIn, out, size);
        },
        options, &step);
    if (step != fileio::ReplaceStep::kNone) {
        return ReplaceFailure(step, result);
    }
    if (entry != nullptr) {
        entry->phase = FOP_AFTER;
    }
    return AfterCall(cb, entry);
}

int _copy(const char* src, const char* dst, bool overwrite, KvORVFileOpUtil::FileOpCallback cb,
          KvORVFileOpUtil::CallbackEntry* entry) {
    if (src == nullptr || *src == '\0' || dst == nullptr || *dst == '\0') {
        errno = EINVAL;
        return FOP_ERR_INVALID;
    }
    return CopyFileAt(FileAt{AT_FDCWD, src, src, 0}, FileAt{AT_FDCWD, dst, dst, 0}, overwrite, cb,
                      entry, fileio::Flush::kEach);
}

}  // namespace kvfileop_detail

int fileio::CopyChecked(const CheckedSource& source, const char* shown, const char* dst,
                        bool overwrite) {
    if (shown == nullptr || dst == nullptr || *dst == '\0' || source.fd < 0) {
        errno = EINVAL;
        return FOP_ERR_INVALID;
    }
    return kvfileop_detail::CopyFileAt(kvfileop_detail::FileAt{AT_FDCWD, shown, shown, 0},
                                       kvfileop_detail::FileAt{AT_FDCWD, dst, dst, 0}, overwrite,
                                       nullptr, nullptr, Flush::kEach, &source);
}
