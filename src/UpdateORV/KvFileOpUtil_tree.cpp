// What the walks share: the chain of open folders a walk is inside of, and
// the listing of an open folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "UpdateORV/KvFileOpUtilInternal.h"

namespace kvfileop_detail {

namespace {

// Open folders kept per chain. Deeper chains close their outer folders and
// reopen each through ".." on the way back, as fts does.
const size_t kOpenFoldersPerChain = 48;

}  // namespace

FolderChain::~FolderChain() {
    for (Level& level : m_levels) {
        if (level.fd >= 0) {
            close(level.fd);
        }
    }
}

bool FolderChain::Push(fileio::Fd fd, bool enteredByLink) {
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    const FolderId id{st.st_dev, st.st_ino};
    if (enteredByLink && !m_levels.empty()) {
        // ".." of the new folder is not this one: keep it open.
        m_levels.back().pinned = true;
    }
    m_levels.push_back(Level{fd.release(), id, false});
    m_ids.insert(id);
    ++m_open;
    while (m_open > kOpenFoldersPerChain && m_closeFrom + 1 < m_levels.size()) {
        Level& level = m_levels[m_closeFrom++];
        if (level.fd >= 0 && !level.pinned) {
            close(level.fd);
            level.fd = -1;
            --m_open;
        }
    }
    return true;
}

bool FolderChain::Pop() {
    if (m_levels.empty()) {
        return true;
    }
    bool ok = true;
    const size_t parent = m_levels.size() - 1;
    if (parent > 0 && m_levels[parent - 1].fd < 0) {
        // Closed on the way down; the folder just left is a real subfolder
        // of it (entering through a link keeps the parent open), so ".."
        // leads back, unless the tree was moved meanwhile.
        Level& up = m_levels[parent - 1];
        const int fd = openat(m_levels[parent].fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && FolderId{st.st_dev, st.st_ino} == up.id) {
            up.fd = fd;
            ++m_open;
            if (m_closeFrom > parent - 1) {
                m_closeFrom = parent - 1;
            }
        } else {
            if (fd >= 0) {
                close(fd);
            }
            errno = ESTALE;
            ok = false;
        }
    }
    Level& top = m_levels.back();
    if (top.fd >= 0) {
        close(top.fd);
        --m_open;
    }
    m_ids.erase(top.id);
    m_levels.pop_back();
    if (m_closeFrom > m_levels.size()) {
        m_closeFrom = m_levels.size();
    }
    return ok;
}

bool ListFolderAt(int dirFd, const std::string& filter, std::vector<ListedEntry>& out) {
    const int copy = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return false;
    }
    DIR* dir = fdopendir(copy);
    if (dir == nullptr) {
        const int saved = errno;
        close(copy);
        errno = saved;
        return false;
    }
    rewinddir(dir);
    bool ok = true;
    for (;;) {
        errno = 0;
        struct dirent* e = readdir(dir);
        if (e == nullptr) {
            ok = errno == 0;
            break;
        }
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        ListedEntry entry{name, kEntryFile, 0};
        struct stat st;
        switch (e->d_type) {
            case DT_REG:
                entry.type = S_IFREG;
                break;
            case DT_DIR:
                entry.type = S_IFDIR;
                break;
            case DT_LNK:
                entry.type = S_IFLNK;
                break;
            case DT_FIFO:
                entry.type = S_IFIFO;
                break;
            case DT_SOCK:
                entry.type = S_IFSOCK;
                break;
            case DT_CHR:
                entry.type = S_IFCHR;
                break;
            case DT_BLK:
                entry.type = S_IFBLK;
                break;
            default:
                if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    entry.type = st.st_mode & S_IFMT;
                }
                break;
        }
        if (entry.type == S_IFDIR) {
            entry.kind = kEntryDir;
        } else if (entry.type == S_IFLNK && fstatat(dirFd, name, &st, 0) == 0 &&
                   S_ISDIR(st.st_mode)) {
            entry.kind = kEntryLinkToDir;
        }
        // Folders are always listed; only the other entries are filtered.
        if (entry.kind != kEntryFile || _fnmatch(filter.c_str(), name)) {
            out.push_back(std::move(entry));
        }
    }
    const int saved = errno;
    closedir(dir);
    errno = saved;
    return ok;
}

fileio::Fd OpenFolder(const std::string& folder, int flags) {
    return fileio::Fd(
        open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags));
}

}  // namespace kvfileop_detail
