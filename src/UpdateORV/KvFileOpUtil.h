// The file operations library: path helpers, wildcard matching, a folder
// lister, and copy, move, delete, create and walk operations with progress
// callbacks. Knows nothing of the product and never logs.
#pragma once

#include <string>
#include <vector>

// Result codes of the integer operations; a callback's own answer passes
// through unchanged.
enum {
    FOP_OK = 0,
    FOP_ERR_INVALID = -1,
    FOP_ERR_OPEN_SOURCE = -2,
    FOP_ERR_READ = -3,
    FOP_ERR_WRITE = -4,
    FOP_ERR_TARGET = -5,
    FOP_ERR_EXISTS = -6,
};

// Actions reported in CallbackEntry::action.
enum {
    FOP_COPY_NEW = 0,
    FOP_COPY_REPLACE = 1,
    FOP_DELETE_FILE = 2,
    FOP_CREATE_DIR = 3,
    FOP_REMOVE_DIR = 4,
    FOP_VISIT_DIR = 5,
    FOP_VISIT_FILE = 6,
};

// Phases reported in CallbackEntry::phase.
enum {
    FOP_BEFORE = 0,
    FOP_AFTER = 1,
};

// Callback answers.
enum {
    FOP_CONTINUE = 0,
    FOP_SKIP = 2,
};

// Errors: every operation that fails (an error code, false, or -1) leaves
// errno as the failing system call set it, so callers can log strerror(errno)
// after their own text; arguments refused before any call give EINVAL, an
// existing target that is not to be overwritten EEXIST, a source that is not
// a regular file EINVAL (EISDIR for a folder). A result that is a callback's
// own answer leaves errno as the callback left it.
//
// Paths: only the last part of a path given to copy, move, unlink, xunlink,
// xcopy or the lister may be a pattern ("*" any run, "?" one byte); a "*",
// "?" or "[" in a folder part is part of that folder's name.
//
// Files: data is only ever read from regular files; a FIFO, a device or a
// socket is never opened for reading (so nothing blocks on one), and a tree
// copy recreates such entries as what they are.
class KvORVFileOpUtil {
  public:
    // Progress record handed to every callback call of one operation.
    struct CallbackEntry {
        int cbSize;  // set by the caller to kCallbackEntrySize
        void* userData;
        const char* srcName;
        const char* dstName;
        int modTime;
        int fileSize;
        int action;
        int phase;
    };
    // The record's version mark: what callers put in cbSize.
    static const int kCallbackEntrySize = 32;

    typedef int (*FileOpCallback)(CallbackEntry* entry);

    // Names and tests.
    static bool isDirName(const char* path);
    static std::string getDirName(const char* path);
    static std::string getFileName(const char* path);
    static bool exist(const char* path);
    static bool isExist(const char* path);
    static bool isDir(const char* path);

    // Operations that change the file system.
    // One file, or the files of a folder or pattern (not descending), each
    // written under a temporary name beside its target and renamed over it
    // once complete and flushed to disk: a target is the old or the new file,
    // never a part.
    static int copy(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                    CallbackEntry* entry);
    // A whole tree, or a failure: a folder that cannot be listed, a file that
    // cannot be read or an entry that cannot be made ends the copy with an
    // error. Links to folders and files are followed (copied as what they
    // name); a link that is not followed (dangling, a loop, one back into a
    // folder being copied, one to a special file) is made again as the same
    // link, and FIFOs, sockets and devices are made again as such. The copied
    // tree is flushed to disk once, before xcopy returns. No depth or path
    // length limit applies. fileio::XCopy also reports the links kept.
    static int xcopy(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                     CallbackEntry* entry);
    static int move(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                    CallbackEntry* entry);
    static int xmove(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                     CallbackEntry* entry);
    static int unlink(const char* path, FileOpCallback cb, CallbackEntry* entry);
    static int xunlink(const char* path, FileOpCallback cb, CallbackEntry* entry);
    static int createDir(const char* path, FileOpCallback cb, CallbackEntry* entry);
    static bool rename(const char* from, const char* to);

    // Read-only walk, size and comparison.
    static bool xaccess(const char* path, FileOpCallback cb, CallbackEntry* entry);
    static int getDirSize(const char* path);
    // -1 on failure: a folder that cannot be read whole is never sized in part.
    static long long getDirSize64(const char* path);
    static bool comp(const char* a, const char* b);
    static bool filesizeEqualTo(const char* path, int size);
    static bool isEmptyDir(const char* path);

    KvORVFileOpUtil() = delete;
};

// Lists the entries of one folder that match a wildcard pattern, as full
// paths, in one pass made at construction. Folders are always listed.
class KvORVDirList {
  public:
    explicit KvORVDirList(const char* path);
    ~KvORVDirList();

    bool hasNext();
    std::string getNext();
    std::string getFilter();
    int getFileCount();

  private:
    void _init();

    std::string m_folder;  // ends in "/", or empty for the working folder
    std::string m_filter;  // never empty
    std::vector<std::string> m_names;
    int m_cursor;
};
