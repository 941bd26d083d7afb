// Deleting files, folders, patterns and trees.
//
// Deleting never leaves the named tree: a symbolic link, to a file or to a
// folder, is removed as a link, and neither unlink nor xunlink descends
// through one, so nothing a link points to is touched.
//
// Every operation that removed something flushes the folder it removed it
// from before it returns (the folder that held a removed tree, the folder of
// a pattern), so that a step recorded after a deletion never finds the
// deleted names back after a power loss.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

namespace kvfileop_detail {

namespace {

// Deletes `path`, known to be a real folder (`isFolder`) or anything else;
// `removed` is set when it did. With `dirFd` an open folder and `name` an
// entry of it, the system call works on that entry directly instead of
// looking the whole path up again.
int RemoveOne(const char* path, bool isFolder, KvORVFileOpUtil::FileOpCallback cb,
              KvORVFileOpUtil::CallbackEntry* entry, bool& removed, int dirFd = -1,
              const char* name = nullptr) {
    if (entry != nullptr) {
        entry->srcName = path;
        entry->dstName = nullptr;
        entry->phase = FOP_BEFORE;
        entry->action = isFolder ? FOP_REMOVE_DIR : FOP_DELETE_FILE;
    }
    int result = FOP_OK;
    if (!BeforeCall(cb, entry, result)) {
        return result;
    }
    int rc;
    if (dirFd >= 0) {
        rc = unlinkat(dirFd, name, isFolder ? AT_REMOVEDIR : 0);
    } else {
        rc = isFolder ? rmdir(path) : ::unlink(path);
    }
    if (entry != nullptr) {
        entry->phase = FOP_AFTER;
    }
    if (rc == 0) {
        removed = true;
        return AfterCall(cb, entry);
    }
    // Already gone, or a folder that still holds something: nothing to do.
    if (errno == EEXIST || errno == ENOENT || errno == ENOTDIR || errno == ENOTEMPTY) {
        return FOP_OK;
    }
    return FOP_ERR_INVALID;
}

// Whether `path` itself (not what it names) is a real folder.
bool IsRealFolder(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Removes the entries of the innermost folder of `chain` that `filter`
// selects, every real folder with its tree; `path` is that folder's path
// for the callbacks, ending in "/" (or empty for the working folder).
// `removed` is set when anything went.
int RemoveContents(FolderChain& chain, std::string& path, const std::string& filter,
                   KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry,
                   bool& removed) {
    std::vector<ListedEntry> entries;
    ListFolderAt(chain.top(), filter, entries);
    const size_t base = path.size();
    int r = FOP_OK;
    for (const ListedEntry& e : entries) {
        path.resize(base);
        path += e.name;
        if (e.kind == kEntryFile) {
            r = RemoveOne(path.c_str(), false, cb, entry, removed, chain.top(), e.name.c_str());
        } else if (!_fnmatch(filter.c_str(), e.name.c_str())) {
            continue;
        } else if (e.kind == kEntryLinkToDir) {
            r = RemoveOne(path.c_str(), false, cb, entry, removed, chain.top(),
                          e.name.c_str());  // the link
        } else {
            // A folder that cannot be entered is removed only when empty.
            fileio::Fd sub(openat(chain.top(), e.name.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.valid() && chain.Push(std::move(sub), false)) {
                path += "/";
                r = RemoveContents(chain, path, "*", cb, entry, removed);
                path.resize(base + e.name.size());
                if (!chain.Pop() && r == FOP_OK) {
                    r = FOP_ERR_INVALID;
                }
            }
            if (r == FOP_OK) {
                r = RemoveOne(path.c_str(), true, cb, entry, removed, chain.top(), e.name.c_str());
            }
        }
        if (r != FOP_OK) {
            break;
        }
    }
    path.resize(base);
    return r;
}

// Removes the tree below `folder` (a real folder, "/"-terminated) and, when
// `andItself`, the folder. `filter` selects the entries of the top level.
int RemoveTree(const std::string& folder, const std::string& filter, bool andItself,
               KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry) {
    FolderChain chain;
    bool inside = false;
    int r = FOP_OK;
    // The folder named itself is never entered through a link (those were
    // removed as links already); the folder of a pattern may be one.
    if (chain.Push(OpenFolder(folder, andItself ? O_NOFOLLOW : 0), false)) {
        std::string path = folder;
        r = RemoveContents(chain, path, filter, cb, entry, inside);
    }
    std::string self = folder;
    bool gone = false;
    if (r == FOP_OK && andItself && !folder.empty()) {
        self.erase(self.size() - 1);
        r = RemoveOne(self.c_str(), true, cb, entry, gone);
    }
    // The folder that went is flushed out of the one that held it; a folder
    // that stays, with what was taken out of it.
    if (gone) {
        fileio::FlushFolderHolding(AT_FDCWD, self);
    } else if (inside && !chain.empty()) {
        fileio::FlushFolderHolding(chain.top(), filter);
    }
    return r;
}

}  // namespace

int _unlinkOne(const char* path, KvORVFileOpUtil::FileOpCallback cb,
               KvORVFileOpUtil::CallbackEntry* entry) {
    if (path == nullptr || *path == '\0') {
        return FOP_ERR_INVALID;
    }
    bool removed = false;
    const int r = RemoveOne(path, IsRealFolder(path), cb, entry, removed);
    if (removed) {
        fileio::FlushFolderHolding(AT_FDCWD, path);
    }
    return r;
}

}  // namespace kvfileop_detail

using namespace kvfileop_detail;

int KvORVFileOpUtil::unlink(const char* path, FileOpCallback cb, CallbackEntry* entry) {
    if (path == nullptr || *path == '\0') {
        return FOP_ERR_INVALID;
    }
    std::string s = path;
    normalizeSeptor(s);
    if (s.size() > 1 && isDirName(s.c_str())) {
        s.erase(s.size() - 1);
    }
    // Only the last part of a path is ever a pattern.
    if (isDir(s.c_str()) || !isWildcardName(getFileName(s.c_str()).c_str())) {
        // One file, one link, or one folder (removed only when empty).
        return _unlinkOne(s.c_str(), cb, entry);
    }
    const ListTarget where = SplitListPath(s.c_str());
    std::vector<ListedEntry> entries;
    ReadFolder(where.folder, where.filter, entries);
    bool removed = false;
    int r = FOP_OK;
    for (const ListedEntry& e : entries) {
        if (e.kind != kEntryFile && !_fnmatch(where.filter.c_str(), e.name.c_str())) {
            continue;
        }
        r = RemoveOne((where.folder + e.name).c_str(), e.kind == kEntryDir, cb, entry, removed);
        if (r != FOP_OK) {
            break;
        }
    }
    if (removed) {
        fileio::FlushFolderHolding(AT_FDCWD, where.folder + where.filter);
    }
    return r;
}

int KvORVFileOpUtil::xunlink(const char* path, FileOpCallback cb, CallbackEntry* entry) {
    if (path == nullptr || *path == '\0') {
        return FOP_ERR_INVALID;
    }
    std::string s = path;
    normalizeSeptor(s);
    std::string bare = s;
    if (bare.size() > 1 && isDirName(bare.c_str())) {
        bare.erase(bare.size() - 1);
    }
    // A link named as such goes as a link, with or without a trailing "/".
    if (IsLink(bare)) {
        return _unlinkOne(bare.c_str(), cb, entry);
    }
    // Like rm, never the whole root folder.
    if (bare == "/") {
        return FOP_ERR_INVALID;
    }
    const ListTarget where = SplitListPath(s.c_str());
    // A folder goes with its whole tree, children before parents, then itself;
    // a pattern takes the matching entries and leaves the folder holding them.
    return RemoveTree(where.folder, where.filter, IsRealFolder(bare.c_str()), cb, entry);
}
