// Internal pieces of the file operations library, shared by its implementation
// files and its tests. Not part of the library's public interface.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"

namespace kvfileop_detail {

// The character type: a code page number that makes path scanning aware of
// double-byte character sets (932, 936, 949, 950); 0 and any other value mean
// single-byte only.
int GetCurrentCharType();
void SetCurrentCharType(int type);

// Whether `c` opens a double-byte character under the current character type.
bool IsLeadingByteOfDBC(char c);
// Whether the byte at `p` inside the NUL-terminated `str` is the second byte of
// a double-byte character.
bool IsTrailingByteOfDBC(const char* str, const char* p);

bool isPathSeparator(char c);
// Rewrites every backslash that is not the second byte of a double-byte
// character to "/", in place; nothing else changes.
void normalizeSeptor(std::string& path);
bool isWildcardName(const char* name);
bool _charequal(char a, char b);
// Whole-name wildcard match: "*" any run of bytes (also "/" and empty), "?"
// exactly one byte; case-sensitive, no brackets, no escapes.
bool _fnmatch(const char* pattern, const char* name);
// The folder in which the last element of `path` stands, with "/" behind it.
std::string getLastDirName(const char* path);

// One entry named relative to an open folder (or AT_FDCWD), with the full
// path text the callbacks receive.
struct FileAt {
    int dirFd;
    const char* name;  // relative to dirFd
    const char* path;  // for the callbacks
    int openFlags;     // added when the entry is opened for reading (O_NOFOLLOW)
};

// Copies one file to one target (see KvFileOpUtil_filecopy.cpp); the tree
// copy flushes later, once for the whole tree. With `checked`, the bytes come
// from its descriptor instead of `src` (then only named) and must have its
// digest (fileio::CopyChecked).
int CopyFileAt(const FileAt& src, const FileAt& dst, bool overwrite,
               KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry,
               fileio::Flush flush, const fileio::CheckedSource* checked = nullptr);
// Copies one file to one target path, flushed before it is renamed into place.
int _copy(const char* src, const char* dst, bool overwrite, KvORVFileOpUtil::FileOpCallback cb,
          KvORVFileOpUtil::CallbackEntry* entry);
// Deletes one file or link, or removes one folder (see KvFileOpUtil_delete.cpp).
int _unlinkOne(const char* path, KvORVFileOpUtil::FileOpCallback cb,
               KvORVFileOpUtil::CallbackEntry* entry);
// getDirSize's callback: adds the record's fileSize to the `long long` total
// that userData points to. Answers 0.
int CB_GetDirSize(KvORVFileOpUtil::CallbackEntry* entry);

// ---- The callback protocol ----

// The before call of one action. True when the action is to be carried out;
// otherwise `result` holds what the operation returns for the item (0 for a
// skip, the callback's answer for anything else).
inline bool BeforeCall(KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry,
                       int& result) {
    result = FOP_OK;
    if (cb == nullptr || entry == nullptr) {
        return true;
    }
    const int answer = cb(entry);
    if (answer == FOP_CONTINUE) {
        return true;
    }
    result = (answer == FOP_SKIP) ? FOP_OK : answer;
    return false;
}

// The after call of a finished action: 0 for the answers 0 and 2, else the answer.
inline int AfterCall(KvORVFileOpUtil::FileOpCallback cb, KvORVFileOpUtil::CallbackEntry* entry) {
    if (cb == nullptr || entry == nullptr) {
        return FOP_OK;
    }
    const int answer = cb(entry);
    return (answer == FOP_CONTINUE || answer == FOP_SKIP) ? FOP_OK : answer;
}

// ---- Shared by the lister and the walks ----

// Index of the last separator of `path` (one that is not the second byte of
// a double-byte character), or npos.
std::string::size_type LastSeparator(const std::string& path);
// Whether the last byte of `path` is such a separator.
bool EndsWithSeparator(const std::string& path);

// What a listed entry is. Links are told apart so that deleting walks can
// remove them as links; for everything else a link counts as what it names.
enum EntryKind {
    kEntryFile = 0,       // anything that is not a folder (also dangling links)
    kEntryDir = 1,        // a real folder
    kEntryLinkToDir = 2,  // a symbolic link naming a folder
};

struct ListedEntry {
    std::string name;  // bare entry name
    EntryKind kind;
    mode_t type;  // the entry's own type (S_IFREG, S_IFLNK, ...); 0 when unknown
};

// The folder part and filter a lister path stands for.
struct ListTarget {
    std::string folder;  // ends in "/", or empty for the working folder
    std::string filter;  // never empty
};
ListTarget SplitListPath(const char* path);

// Reads `folder` ("" = working folder): every entry but "." and "..", folders
// (and links to folders) always, other entries when their name matches
// `filter`; in the order the folder delivers them. False when the folder
// cannot be opened (the list is then empty).
bool ReadFolder(const std::string& folder, const std::string& filter,
                std::vector<ListedEntry>& out);

// Device and inode of a folder, to recognise it again on a walk.
struct FolderId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FolderId& o) const { return dev == o.dev && ino == o.ino; }
};
bool GetFolderId(const std::string& path, FolderId& id);  // follows links

struct FolderIdHash {
    size_t operator()(const FolderId& id) const {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.ino) * 31u +
                                               static_cast<unsigned long long>(id.dev));
    }
};
typedef std::unordered_set<FolderId, FolderIdHash> FolderSet;

// The open folders a walk is inside of, outermost first. The walk works on
// the entries of top() by name (openat, fstatat, unlinkat, ...), so its cost
// per entry does not grow with the depth and no path length limit applies.
// Only the innermost folders stay open: an outer one is closed on the way
// down and reopened through ".." (checked by device and inode) on the way
// back, except a folder whose subfolder was entered through a link.
class FolderChain {
  public:
    FolderChain() = default;
    ~FolderChain();
    FolderChain(const FolderChain&) = delete;
    FolderChain& operator=(const FolderChain&) = delete;

    // Enters the folder open in `fd`. False (errno set) when it is none.
    bool Push(fileio::Fd fd, bool enteredByLink);
    // Leaves the innermost folder. False (errno ESTALE) when its parent
    // cannot be reopened as the same folder; the chain is then unusable.
    bool Pop();
    int top() const { return m_levels.back().fd; }
    bool empty() const { return m_levels.empty(); }
    bool Contains(const FolderId& id) const { return m_ids.count(id) != 0; }

  private:
    struct Level {
        int fd;  // -1 while closed
        FolderId id;
        bool pinned;  // a subfolder was entered through a link: stays open
    };
    std::vector<Level> m_levels;
    FolderSet m_ids;
    size_t m_open = 0;
    size_t m_closeFrom = 0;  // below this index every level is closed or pinned
};

// Lists the open folder `dirFd` as ReadFolder does. False (errno set) when it
// cannot be read to its end; `out` then holds what was read.
bool ListFolderAt(int dirFd, const std::string& filter, std::vector<ListedEntry>& out);
// Opens a folder by path ("" = the working folder), following links unless
// `flags` holds O_NOFOLLOW.
fileio::Fd OpenFolder(const std::string& folder, int flags = 0);

}  // namespace kvfileop_detail
