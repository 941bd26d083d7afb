// Copy of files, patterns and trees, move, folder creation and rename.
//
// Tree copies follow links to folders, as the folder test does, but never
// enter a folder that the walk is already inside of (tracked by device and
// inode), so a link back up the tree is passed over instead of copied without
// end. A folder is never copied into itself or a folder below it: that call
// is refused with FOP_ERR_INVALID.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

using namespace kvfileop_detail;

namespace {

// Normalises both copy paths and writes existing folders as folders.
bool PrepareCopyPaths(const char* src, const char* dst, std::string& s, std::string& d) {
    if (src == nullptr || *src == '\0' || dst == nullptr || *dst == '\0') {
        return false;
    }
    s = src;
    d = dst;
    normalizeSeptor(s);
    normalizeSeptor(d);
    if (!KvORVFileOpUtil::isDirName(s.c_str()) && KvORVFileOpUtil::isDir(s.c_str())) {
        s += "/";
    }
    if (!KvORVFileOpUtil::isDirName(d.c_str()) && KvORVFileOpUtil::isDir(d.c_str())) {
        d += "/";
    }
    return true;
}

std::string WithoutTrailingSeparator(std::string path) {
    if (path.size() > 1 && EndsWithSeparator(path)) {
        path.erase(path.size() - 1);
    }
    return path;
}

// Whether the folder `target` (existing or not yet) is the folder `source` or
// lies below it. Compared by device and inode up the chain of parents of the
// target's nearest existing folder, so links on either side are seen through.
bool TargetWithinSource(const FolderId& source, const std::string& target) {
    std::string t = WithoutTrailingSeparator(target);
    struct stat st;
    while (stat(t.c_str(), &st) != 0) {
        if (t == "/" || t == ".") {
            return false;
        }
        std::string parent = KvORVFileOpUtil::getDirName(t.c_str());
        t = parent.empty() ? "." : WithoutTrailingSeparator(parent);
    }
    if (!S_ISDIR(st.st_mode)) {
        return false;  // the folder cannot be made there anyway
    }
    FolderId cur{st.st_dev, st.st_ino};
    for (int depth = 0; depth < 4096; ++depth) {
        if (cur == source) {
            return true;
        }
        t += "/..";
        FolderId up;
        if (!GetFolderId(t, up) || up == cur) {
            return false;  // reached the root, or cannot look further up
        }
        cur = up;
    }
    return false;
}

int CopyFilesOfListing(const std::string& s, const std::string& d, bool overwrite,
                       KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry) {
    if (!KvORVFileOpUtil::isDir(d.c_str())) {
        const int made = KvORVFileOpUtil::createDir(d.c_str(), cb, entry);
        if (made != FOP_OK) {
            return made;
        }
    }
    const ListTarget where = SplitListPath(s.c_str());
    std::vector<ListedEntry> entries;
    ReadFolder(where.folder, where.filter, entries);
    for (const ListedEntry& e : entries) {
        if (e.kind != kEntryFile) {
            continue;  // copy does not descend
        }
        const int r =
            _copy((where.folder + e.name).c_str(), (d + e.name).c_str(), overwrite, cb, entry);
        if (r != FOP_OK) {
            return r;
        }
    }
    return FOP_OK;
}

// One file onto one target path, creating the target's folder first.
int CopyToFile(const std::string& s, const std::string& d, bool overwrite,
               KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry) {
    if (isWildcardName(s.c_str()) || KvORVFileOpUtil::isDirName(s.c_str())) {
        return FOP_ERR_INVALID;
    }
    const int made =
        KvORVFileOpUtil::createDir(KvORVFileOpUtil::getDirName(d.c_str()).c_str(), cb, entry);
    if (made != FOP_OK) {
        return made;
    }
    return _copy(s.c_str(), d.c_str(), overwrite, cb, entry);
}

// xcopy on prepared paths. `walking` holds the folders being copied from at
// the moment, outermost first.
int XCopy(const std::string& s, std::string d, bool overwrite, KvORVFileOpUtil::FileOpCallback cb,
          KvORVFileOpUtil::CallbackEntry* entry, FolderStack& walking) {
    if (KvORVFileOpUtil::isDirName(s.c_str())) {
        if (!KvORVFileOpUtil::isDirName(d.c_str())) {
            return FOP_ERR_INVALID;
        }
        d += getLastDirName(s.c_str());
        FolderId source;
        if (GetFolderId(s, source) && TargetWithinSource(source, d)) {
            return FOP_ERR_INVALID;
        }
        const int made = KvORVFileOpUtil::createDir(d.c_str(), cb, entry);
        if (made != FOP_OK) {
            return made;
        }
    }
    if (!KvORVFileOpUtil::isDirName(d.c_str())) {
        return CopyToFile(s, d, overwrite, cb, entry);
    }
    if (!KvORVFileOpUtil::isDir(d.c_str())) {
        const int made = KvORVFileOpUtil::createDir(d.c_str(), cb, entry);
        if (made != FOP_OK) {
            return made;
        }
    }
    // A folder source is listed whole as it stands: its path is rewritten
    // already, and the names below it come from the listing, where a backslash
    // is part of a name and rewriting it would lose that folder's contents.
    ListTarget where;
    if (KvORVFileOpUtil::isDirName(s.c_str())) {
        where.folder = s;
        where.filter = "*";
    } else {
        where = SplitListPath(s.c_str());
    }
    FolderId here;
    const bool known = GetFolderId(where.folder, here);
    if (known) {
        walking.push_back(here);
    }
    std::vector<ListedEntry> entries;
    ReadFolder(where.folder, where.filter, entries);
    int result = FOP_OK;
    for (const ListedEntry& e : entries) {
        const std::string p = where.folder + e.name;
        if (e.kind == kEntryFile) {
            result = _copy(p.c_str(), (d + e.name).c_str(), overwrite, cb, entry);
        } else if (_fnmatch(where.filter.c_str(), e.name.c_str())) {
            FolderId sub;
            if (!GetFolderId(p, sub) || OnStack(walking, sub)) {
                continue;  // gone meanwhile, or a link back into the walk
            }
            result = XCopy(p + "/", d, overwrite, cb, entry, walking);
        }
        if (result != FOP_OK) {
            break;
        }
    }
    if (known) {
        walking.pop_back();
    }
    return result;
}

}  // namespace

int KvORVFileOpUtil::copy(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                          CallbackEntry* entry) {
    std::string s, d;
    if (!PrepareCopyPaths(src, dst, s, d)) {
        return FOP_ERR_INVALID;
    }
    if (isDirName(d.c_str())) {
        return CopyFilesOfListing(s, d, overwrite, cb, entry);
    }
    return CopyToFile(s, d, overwrite, cb, entry);
}

int KvORVFileOpUtil::xcopy(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                           CallbackEntry* entry) {
    std::string s, d;
    if (!PrepareCopyPaths(src, dst, s, d)) {
        return FOP_ERR_INVALID;
    }
    FolderStack walking;
    return XCopy(s, d, overwrite, cb, entry, walking);
}

int KvORVFileOpUtil::move(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                          CallbackEntry* entry) {
    const int copied = copy(src, dst, overwrite, cb, entry);
    if (copied != FOP_OK) {
        return copied;
    }
    return unlink(src, cb, entry);
}

int KvORVFileOpUtil::xmove(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                           CallbackEntry* entry) {
    const int copied = xcopy(src, dst, overwrite, cb, entry);
    if (copied != FOP_OK) {
        return copied;
    }
    return xunlink(src, cb, entry);
}

int KvORVFileOpUtil::createDir(const char* path, FileOpCallback cb, CallbackEntry* entry) {
    if (path == nullptr) {
        return FOP_ERR_INVALID;
    }
    if (*path == '\0') {
        return FOP_OK;
    }
    std::string s = path;
    if (EndsWithSeparator(s)) {
        s.erase(s.size() - 1);
    }
    const std::string parent = getDirName(s.c_str());
    if (entry != nullptr) {
        entry->srcName = path;
        entry->dstName = nullptr;
        entry->action = FOP_CREATE_DIR;
        entry->phase = FOP_BEFORE;
    }
    int result = FOP_OK;
    if (!BeforeCall(cb, entry, result)) {
        return result;
    }
    if (s.empty() || s == "/") {
        return FOP_OK;  // the root folder is always there
    }
    // At most two attempts: the second follows the creation of the parents,
    // so a folder that cannot be made ends with FOP_ERR_TARGET, never a loop.
    bool parentMade = false;
    for (;;) {
        if (mkdir(s.c_str(), 0775) == 0) {
            break;
        }
        if (isExist(s.c_str())) {
            if (!isDir(s.c_str())) {
                return FOP_ERR_TARGET;
            }
            break;
        }
        if (parentMade || createDir(parent.c_str(), cb, entry) != FOP_OK) {
            return FOP_ERR_TARGET;
        }
        parentMade = true;
    }
    if (entry != nullptr) {
        entry->srcName = path;
        entry->dstName = nullptr;
        entry->action = FOP_CREATE_DIR;
        entry->phase = FOP_AFTER;
    }
    return AfterCall(cb, entry);
}

bool KvORVFileOpUtil::rename(const char* from, const char* to) {
    if (from == nullptr || *from == '\0' || to == nullptr || *to == '\0') {
        return false;
    }
    std::string f = from, t = to;
    normalizeSeptor(f);
    normalizeSeptor(t);
    if (EndsWithSeparator(f)) {
        f.erase(f.size() - 1);
    }
    if (EndsWithSeparator(t)) {
        t.erase(t.size() - 1);
    }
    return ::rename(f.c_str(), t.c_str()) == 0;
}
