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
    static int copy(const char* src, const char* dst, bool overwrite, FileOpCallback cb,
                    CallbackEntry* entry);
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
    static long long getDirSize64(const char* path);  // -1 on failure
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
