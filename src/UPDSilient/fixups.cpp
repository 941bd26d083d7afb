// Fix-ups after a new version folder is filled: the product's permissions on
// its whole tree, and the package's readme beside the version folders.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/signature.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

const char kReadMeName[] = "readme_orv3_solaris.txt";

namespace {

const mode_t kProductMode = 0775;
const char kProductGroup[] = "orvgroup";

// The product group's id, or -1 (leave the group) where it does not exist.
gid_t ProductGroup() {
    struct group* grp = ::getgrnam(kProductGroup);
    return grp != nullptr ? grp->gr_gid : static_cast<gid_t>(-1);
}

// Mode and group on an open file or folder.
void FixOpen(int fd, gid_t gid) {
    ::fchmod(fd, kProductMode);
    if (gid != static_cast<gid_t>(-1)) {
        ::fchown(fd, static_cast<uid_t>(-1), gid);
    }
}

// Mode and group on the entry `name` of `dirFd` that could not be opened
// for reading (a FIFO, a device, or one this process may not read): through
// a descriptor that only names it, taken without following a link, so an
// entry swapped for a link meanwhile is left alone. The mode goes through
// that descriptor's own name in /proc, which is that very file.
void FixUnopened(int dirFd, const char* name, gid_t gid) {
    const int fd = ::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        return;
    }
    if (::fstat(fd, &st) == 0 && !S_ISLNK(st.st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        ::chmod(self.c_str(), kProductMode);
        if (gid != static_cast<gid_t>(-1)) {
            ::fchownat(fd, "", static_cast<uid_t>(-1), gid, AT_EMPTY_PATH);
        }
    }
    ::close(fd);
}

// Fixes the entry `name` of the open folder `dirFd` and, for a folder when
// `recursive`, everything below it. Every entry is opened relative to its
// folder and without following a link, so an entry swapped for a link while
// the walk runs is never followed either; nothing is ever changed by name.
void FixEntry(int dirFd, const char* name, gid_t gid, bool recursive) {
    struct stat st;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        // The link itself gets the group; its mode means nothing.
        if (gid != static_cast<gid_t>(-1)) {
            ::fchownat(dirFd, name, static_cast<uid_t>(-1), gid, AT_SYMLINK_NOFOLLOW);
        }
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            FixUnopened(dirFd, name, gid);  // not readable for this process
            return;
        }
        FixOpen(fd, gid);
        if (!recursive) {
            ::close(fd);
            return;
        }
        DIR* dir = ::fdopendir(fd);  // takes over fd
        if (dir == nullptr) {
            ::close(fd);
            return;
        }
        while (struct dirent* entry = ::readdir(dir)) {
            std::string child = entry->d_name;
            if (child == "." || child == "..") {
                continue;
            }
            FixEntry(::dirfd(dir), child.c_str(), gid, true);
        }
        ::closedir(dir);
        return;
    }
    if (S_ISREG(st.st_mode)) {
        int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            FixOpen(fd, gid);
            ::close(fd);
            return;
        }
    }
    FixUnopened(dirFd, name, gid);  // other kinds, and files this process cannot open
}

}  // namespace

void SetProductPermissions(const std::string& path, bool recursive) {
    if (path.empty()) {
        return;
    }
    // Trailing separators would make the last component follow a link.
    std::string clean = path;
    while (clean.size() > 1 && clean.back() == '/') {
        clean.pop_back();
    }
    gid_t gid = ProductGroup();
    std::string::size_type slash = clean.rfind('/');
    std::string parent;
    std::string name;
    if (slash == std::string::npos) {
        parent = ".";
        name = clean;
    } else if (slash == 0) {
        parent = "/";
        name = clean.size() > 1 ? clean.substr(1) : ".";
    } else {
        parent = clean.substr(0, slash);
        name = clean.substr(slash + 1);
    }
    // Reached through no link root may not follow.
    const fileio::Fd dir = fileio::OpenFolderFollowing(AT_FDCWD, parent, machine::MayFollow);
    if (!dir.valid()) {
        return;
    }
    FixEntry(dir.get(), name.c_str(), gid, recursive);
}

void ChangeOwner(char* path) {
    if (path == nullptr) {
        return;
    }
    SetProductPermissions(path, true);
}

bool InstallReadMe(const RunContext& context) {
    const std::string source = context.packageFolder + "/" + kReadMeName;
    const std::string target = context.productRoot + "/program/" + kReadMeName;
    const int rc = signature::CopyPackageFile(context, kReadMeName, target, true);
    const int error = errno;
    LogDebugMessage(1, "Copy file from (%s) to (%s)", source.c_str(), target.c_str());
    if (rc != FOP_OK) {
        LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d. (%s)",
                        source.c_str(), target.c_str(), rc, std::strerror(error));
        return false;
    }
    return true;
}

int CopyReadMe(InstallInfo& info) {
    RunContext context = ContextFromGlobals();
    context.packageFolder = info.strPackagePath;
    InstallReadMe(context);
    return 0;
}
