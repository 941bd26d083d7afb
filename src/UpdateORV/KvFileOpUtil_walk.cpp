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
    FolderStack walking;
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

bool WalkPath(Walk& w, const std::string& s);

// Reports every entry below `folder` ("/"-terminated), each folder before
// its contents.
bool WalkFolder(Walk& w, const std::string& folder, const FolderId& id) {
    w.walking.push_back(id);
    std::vector<ListedEntry> entries;
    ReadFolder(folder, "*", entries);
    bool ok = true;
    for (const ListedEntry& e : entries) {
        const std::string p = folder + e.name;
        struct stat st;
        if (stat(p.c_str(), &st) != 0) {
            ok = false;  // removed meanwhile, or cannot be examined
            break;
        }
        Report(w, p, st);
        if (w.entry->action != FOP_VISIT_DIR) {
            continue;  // a file, or a folder the callback keeps the walk out of
        }
        if (S_ISDIR(st.st_mode)) {
            const FolderId sub{st.st_dev, st.st_ino};
            if (OnStack(w.walking, sub)) {
                continue;  // a link back into the walk: reported, not entered
            }
            if (!WalkFolder(w, p + "/", sub)) {
                ok = false;
                break;
            }
        } else if (!WalkPath(w, p)) {
            ok = false;
            break;
        }
    }
    w.walking.pop_back();
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
    std::string folder = s;
    if (!EndsWithSeparator(folder)) {
        folder += "/";
    }
    FolderId id;
    if (!GetFolderId(folder, id)) {
        return false;
    }
    return WalkFolder(w, folder, id);
}

// Reads up to `want` bytes, fewer only at the end of the file; -1 on error.
ssize_t ReadBlock(int fd, char* buf, size_t want) {
    size_t got = 0;
    while (got < want) {
        const ssize_t n = read(fd, buf + got, want - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Opens a file (not a folder) for reading; -1 when it cannot be.
int OpenFileForReading(const char* path, struct stat& st) {
    std::string s = path;
    normalizeSeptor(s);
    const int fd = open(s.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
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
        const ssize_t na = ReadBlock(fa, a.get(), kBlockSize);
        const ssize_t nb = ReadBlock(fb, b.get(), kBlockSize);
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
    Walk w{cb, entry, nullptr, FolderStack()};
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
    Walk w{nullptr, &record, &total, FolderStack()};
    return WalkPath(w, s) ? total : -1;
}

bool KvORVFileOpUtil::comp(const char* a, const char* b) {
    if (a == nullptr || *a == '\0' || b == nullptr || *b == '\0') {
        return false;
    }
    struct stat sa, sb;
    const int fa = OpenFileForReading(a, sa);
    if (fa < 0) {
        return false;
    }
    const int fb = OpenFileForReading(b, sb);
    if (fb < 0) {
        close(fa);
        return false;
    }
    const bool same = sa.st_size == sb.st_size && CompareOpen(fa, fb, sa.st_size);
    close(fa);
    close(fb);
    return same;
}

bool KvORVFileOpUtil::filesizeEqualTo(const char* path, int size) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    struct stat st;
    const int fd = OpenFileForReading(path, st);
    if (fd < 0) {
        return false;
    }
    close(fd);
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
