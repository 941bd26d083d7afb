// The read-only operations: the access walk, folder sizes, file comparison,
// the size test and the empty-folder test.
//
// The walk follows links to folders, as the folder test does, but never
// enters a folder it is already inside of (tracked by device and inode): such
// a link is reported like any folder and not walked again, so the walk ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

namespace kvfileop_detail {

int CB_GetDirSize(KvORVFileOpUtil::CallbackEntry* entry) {
    if (entry != nullptr && entry->userData != nullptr) {
        *static_cast<long long*>(entry->userData) += entry->fileSize;
    }
    return 0;
}

}  // namespace kvfileop_detail

using namespace kvfileop_detail;

namespace {

const size_t kBlockSize = 262144;  // bytes per comparison block

// The record's fields are 32-bit: larger values are reported as the largest.
int Clamp(long long value) {
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

struct Walk {
    KvORVFileOpUtil::FileOpCallback cb;
    KvORVFileOpUtil::CallbackEntry* entry;
    long long* trueTotal;  // when set, receives the full sizes of the files
    FolderChain chain;     // the folders walked at the moment
    std::string path;      // the innermost one's path, ending in "/"
};

void Report(Walk& w, const std::string& path, const struct stat& st) {
    const bool folder = S_ISDIR(st.st_mode);
    w.entry->srcName = path.c_str();
    w.entry->dstName = nullptr;
    w.entry->action = folder ? FOP_VISIT_DIR : FOP_VISIT_FILE;
    w.entry->fileSize = folder ? 0 : Clamp(st.st_size);
    w.entry->modTime = Clamp(st.st_mtime);
    if (!folder && w.trueTotal != nullptr) {
        *w.trueTotal += st.st_size;
    }
    if (w.cb != nullptr) {
        w.cb(w.entry);  // the answer does not steer the walk
    }
}

// Reports every entry of the innermost folder of the walk and below, each
// folder before its contents. False when a folder cannot be read whole or
// an entry cannot be examined: a size or walk never stands for part of a tree.
bool WalkFolder(Walk& w) {
    std::vector<ListedEntry> entries;
    if (!ListFolderAt(w.chain.top(), "*", entries)) {
        return false;
    }
    const size_t base = w.path.size();
    bool ok = true;
    for (const ListedEntry& e : entries) {
        w.path.resize(base);
        w.path += e.name;
        struct stat st;
        if (fstatat(w.chain.top(), e.name.c_str(), &st, 0) != 0) {
            ok = false;  // removed meanwhile, dangling, or cannot be examined
            break;
        }
        Report(w, w.path, st);
        if (w.entry->action != FOP_VISIT_DIR) {
            continue;  // a file, or a folder the callback keeps the walk out of
        }
        if (!S_ISDIR(st.st_mode)) {
            Report(w, w.path, st);  // a file the callback asked to be walked
            continue;
        }
        if (w.chain.Contains(FolderId{st.st_dev, st.st_ino})) {
            continue;  // a link back into the walk: reported, not entered
        }
        fileio::Fd sub(openat(w.chain.top(), e.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!w.chain.Push(std::move(sub), e.type == S_IFLNK)) {
            ok = false;
            break;
        }
        w.path += "/";
        ok = WalkFolder(w);
        if (!w.chain.Pop()) {
            ok = false;
        }
        if (!ok) {
            break;
        }
    }
    w.path.resize(base);
    return ok;
}

// One file is reported itself; a folder is walked.
bool WalkPath(Walk& w, const std::string& s) {
    struct stat st;
    if (!KvORVFileOpUtil::isDir(s.c_str())) {
        if (stat(s.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            return false;
        }
        Report(w, s, st);
        return true;
    }
    w.path = s;
    if (!EndsWithSeparator(w.path)) {
        w.path += "/";
    }
    return w.chain.Push(OpenFolder(w.path), false) && WalkFolder(w);
}

// Opens a file (not a folder) for reading; an empty owner when it cannot be
// (a FIFO, device or socket is never opened for reading at all).
fileio::Fd OpenFileForReading(const char* path, struct stat& st) {
    std::string s = path;
    normalizeSeptor(s);
    return fileio::OpenRegularForReading(AT_FDCWD, s.c_str(), st);
}

bool CompareOpen(int fa, int fb, off_t size) {
    std::unique_ptr<char[]> a(new (std::nothrow) char[kBlockSize]);
    std::unique_ptr<char[]> b(new (std::nothrow) char[kBlockSize]);
    if (!a || !b) {
        return false;
    }
    posix_fadvise(fa, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(fb, 0, 0, POSIX_FADV_SEQUENTIAL);
    off_t total = 0;
    for (;;) {
        const ssize_t na = fileio::ReadFull(fa, a.get(), kBlockSize);
        const ssize_t nb = fileio::ReadFull(fb, b.get(), kBlockSize);
        if (na < 0 || nb < 0 || na != nb) {
            return false;
        }
        if (std::memcmp(a.get(), b.get(), static_cast<size_t>(na)) != 0) {
            return false;
        }
        total += na;
        if (total >= size) {
            return total == size;  // a file that grew meanwhile differs
        }
        if (na == 0) {
            return false;  // a file that shrank meanwhile ends early
        }
    }
}

}  // namespace

bool KvORVFileOpUtil::xaccess(const char* path, FileOpCallback cb, CallbackEntry* entry) {
    if (path == nullptr || *path == '\0' || entry == nullptr ||
        entry->cbSize != kCallbackEntrySize) {
        return false;
    }
    std::string s = path;
    normalizeSeptor(s);
    Walk w{cb, entry, nullptr, {}, {}};
    return WalkPath(w, s);
}

int KvORVFileOpUtil::getDirSize(const char* path) {
    if (path == nullptr || *path == '\0') {
        return -1;
    }
    long long total = 0;
    CallbackEntry record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = kCallbackEntrySize;
    record.userData = &total;
    if (!xaccess(path, CB_GetDirSize, &record)) {
        return -1;
    }
    if (total >= INT_MAX) {
        // The record holds 32-bit sizes, so a file past the 32-bit range shows
        // as INT_MAX: only the full figure can tell whether the total fits.
        const long long full = getDirSize64(path);
        return (full < 0 || full > INT_MAX) ? -1 : static_cast<int>(full);
    }
    return static_cast<int>(total);
}

long long KvORVFileOpUtil::getDirSize64(const char* path) {
    if (path == nullptr || *path == '\0') {
        return -1;
    }
    std::string s = path;
    normalizeSeptor(s);
    long long total = 0;
    CallbackEntry record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = kCallbackEntrySize;
    Walk w{nullptr, &record, &total, {}, {}};
    return WalkPath(w, s) ? total : -1;
}

bool KvORVFileOpUtil::comp(const char* a, const char* b) {
    if (a == nullptr || *a == '\0' || b == nullptr || *b == '\0') {
        errno = EINVAL;
        return false;
    }
    struct stat sa, sb;
    const fileio::Fd fa = OpenFileForReading(a, sa);
    if (!fa.valid()) {
        return false;
    }
    const fileio::Fd fb = OpenFileForReading(b, sb);
    if (!fb.valid()) {
        return false;
    }
    return sa.st_size == sb.st_size && CompareOpen(fa.get(), fb.get(), sa.st_size);
}

bool KvORVFileOpUtil::filesizeEqualTo(const char* path, int size) {
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return false;
    }
    struct stat st;
    if (!OpenFileForReading(path, st).valid()) {
        return false;
    }
    return st.st_size == static_cast<off_t>(size);
}

bool KvORVFileOpUtil::isEmptyDir(const char* path) {
    if (!isDir(path)) {
        return false;
    }
    // A folder that cannot be read is not known to be empty.
    const ListTarget where = SplitListPath(path);
    std::vector<ListedEntry> entries;
    return ReadFolder(where.folder, where.filter, entries) && entries.empty();
}
