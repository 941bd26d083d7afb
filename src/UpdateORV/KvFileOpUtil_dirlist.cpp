// The folder lister: one pass over one folder, filtered by a wildcard, and the
// folder reading shared with the library's walks.
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

bool ReadFolder(const std::string& folder, const std::string& filter,
                std::vector<ListedEntry>& out) {
    const fileio::Fd dir = OpenFolder(folder);
    return dir.valid() && ListFolderAt(dir.get(), filter, out);
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
