// The folder lister: one pass over one folder, filtered by a wildcard, and the
// folder reading shared with the library's walks.
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

namespace kvfileop_detail {

ListTarget SplitListPath(const char* path) {
    std::string s = (path != nullptr) ? path : "";
    // Both tests look at the path as received, before backslashes change.
    if (!KvORVFileOpUtil::isDirName(s.c_str()) && KvORVFileOpUtil::isDir(s.c_str())) {
        s += "/";
    }
    normalizeSeptor(s);
    ListTarget where;
    where.folder = KvORVFileOpUtil::getDirName(s.c_str());
    where.filter = KvORVFileOpUtil::getFileName(s.c_str());
    if (where.filter.empty()) {
        where.filter = "*";
    }
    return where;
}

namespace {

// Tells the kind of an entry. readdir's type answers for plain files and real
// folders without a stat; links and unknown types are examined.
EntryKind KindOf(const std::string& fullPath, unsigned char dtype) {
    struct stat st;
    switch (dtype) {
        case DT_DIR:
            return kEntryDir;
        case DT_LNK:
            if (stat(fullPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                return kEntryLinkToDir;
            }
            return kEntryFile;
        case DT_UNKNOWN:
            if (lstat(fullPath.c_str(), &st) != 0) {
                return kEntryFile;
            }
            if (S_ISDIR(st.st_mode)) {
                return kEntryDir;
            }
            if (S_ISLNK(st.st_mode)) {
                return KindOf(fullPath, DT_LNK);
            }
            return kEntryFile;
        default:
            return kEntryFile;
    }
}

}  // namespace

bool ReadFolder(const std::string& folder, const std::string& filter,
                std::vector<ListedEntry>& out) {
    DIR* dir = opendir(folder.empty() ? "./" : folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    std::string full = folder;
    const std::string::size_type prefix = full.size();
    while (struct dirent* e = readdir(dir)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        full.resize(prefix);
        full += name;
        const EntryKind kind = KindOf(full, e->d_type);
        // Folders are always listed; only the other entries are filtered.
        if (kind != kEntryFile || _fnmatch(filter.c_str(), name)) {
            out.push_back(ListedEntry{name, kind});
        }
    }
    closedir(dir);
    return true;
}

bool GetFolderId(const std::string& path, FolderId& id) {
    struct stat st;
    if (stat(path.empty() ? "." : path.c_str(), &st) != 0) {
        return false;
    }
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return true;
}

bool OnStack(const FolderStack& stack, const FolderId& id) {
    for (const FolderId& f : stack) {
        if (f == id) {
            return true;
        }
    }
    return false;
}

}  // namespace kvfileop_detail

using namespace kvfileop_detail;

KvORVDirList::KvORVDirList(const char* path) : m_cursor(0) {
    ListTarget where = SplitListPath(path);
    m_folder = where.folder;
    m_filter = where.filter;
    _init();
}

KvORVDirList::~KvORVDirList() {}

void KvORVDirList::_init() {
    std::vector<ListedEntry> entries;
    ReadFolder(m_folder, m_filter, entries);
    m_names.reserve(entries.size());
    for (ListedEntry& e : entries) {
        m_names.push_back(std::move(e.name));
    }
}

bool KvORVDirList::hasNext() {
    return m_cursor < static_cast<int>(m_names.size());
}

std::string KvORVDirList::getNext() {
    if (!hasNext()) {
        return std::string();
    }
    return m_folder + m_names[m_cursor++];
}

std::string KvORVDirList::getFilter() {
    return m_filter;
}

int KvORVDirList::getFileCount() {
    int count = 0;
    for (const std::string& name : m_names) {
        if (!KvORVFileOpUtil::isDir((m_folder + name).c_str())) {
            ++count;
        }
    }
    return count;
}
