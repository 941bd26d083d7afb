#include "support/Snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <stdexcept>

#include "support/TempDir.h"

namespace testsupport {

namespace {

// "a/b/" and "./a/b" name the same entry as "a/b".
std::string Normalise(std::string path) {
    while (path.size() > 2 && path.compare(0, 2, "./") == 0) {
        path.erase(0, 2);
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path.empty() ? "." : path;
}

bool Ignored(const std::string& relative, const std::vector<std::string>& ignore) {
    for (const std::string& entry : ignore) {
        if (relative == entry ||
            (relative.size() > entry.size() && relative.compare(0, entry.size(), entry) == 0 &&
             relative[entry.size()] == '/')) {
            return true;
        }
    }
    return false;
}

// FNV-1a, 64 bits, over the file's bytes; "unreadable" when it cannot be read.
std::string ContentHash(const std::string& path) {
    // O_NOFOLLOW and O_NONBLOCK: something swapped in for the file since the
    // lstat (a link, a FIFO) is neither followed nor waited on.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return "unreadable";
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return "unreadable";
    }
    uint64_t hash = 14695981039346656037ULL;
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return "unreadable";
        }
        if (n == 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            hash ^= buf[i];
            hash *= 1099511628211ULL;
        }
    }
    close(fd);
    char text[32];
    std::snprintf(text, sizeof text, "%016" PRIx64, hash);
    return text;
}

std::string Describe(const std::string& path, const struct stat& st, bool times,
                     bool unreadableFolder) {
    char head[128];
    std::snprintf(head, sizeof head, "mode=%04o uid=%u gid=%u",
                  static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_gid));
    std::string size = " size=" + std::to_string(static_cast<long long>(st.st_size));
    std::string line;
    if (S_ISREG(st.st_mode)) {
        line = "file " + std::string(head) + size + " fnv=" + ContentHash(path);
    } else if (S_ISLNK(st.st_mode)) {
        line = "link " + std::string(head) + " target=" + LinkTarget(path);
    } else if (S_ISDIR(st.st_mode)) {
        // A folder's size depends on the file system, not on what it holds.
        line = "folder " + std::string(head) + (unreadableFolder ? " unreadable" : "");
    } else if (S_ISFIFO(st.st_mode)) {
        line = "fifo " + std::string(head);
    } else if (S_ISSOCK(st.st_mode)) {
        line = "socket " + std::string(head);
    } else {
        line = std::string(S_ISCHR(st.st_mode) ? "chardev " : "blockdev ") + head +
               " device=" + std::to_string(major(st.st_rdev)) + "," +
               std::to_string(minor(st.st_rdev));
    }
    if (times) {
        char mtime[64];
        std::snprintf(mtime, sizeof mtime, " mtime=%lld.%09ld",
                      static_cast<long long>(st.st_mtim.tv_sec),
                      static_cast<long>(st.st_mtim.tv_nsec));
        line += mtime;
    }
    return line;
}

void Walk(const std::string& path, const std::string& relative, const SnapshotOptions& options,
          Snapshot& snapshot) {
    if (Ignored(relative, options.ignore)) {
        return;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;  // gone since its folder was listed
    }
    std::vector<std::string> names;
    bool unreadable = false;
    if (S_ISDIR(st.st_mode)) {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (dir == nullptr) {
            if (fd >= 0) {
                close(fd);
            }
            unreadable = true;
        } else {
            while (struct dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            closedir(dir);
        }
    }
    snapshot[relative] = Describe(path, st, options.times, unreadable);
    for (const std::string& name : names) {
        Walk(path + "/" + name, relative == "." ? name : relative + "/" + name, options, snapshot);
    }
}

}  // namespace

Snapshot TakeSnapshot(const std::string& root, const SnapshotOptions& options) {
    struct stat st;
    if (lstat(root.c_str(), &st) != 0) {
        throw std::runtime_error("snapshot: no such folder " + root);
    }
    SnapshotOptions normalised = options;
    for (std::string& entry : normalised.ignore) {
        entry = Normalise(entry);
    }
    Snapshot snapshot;
    Walk(root, ".", normalised, snapshot);
    return snapshot;
}

std::vector<std::string> DiffSnapshots(const Snapshot& before, const Snapshot& after) {
    std::vector<std::string> differences;
    auto b = before.begin();
    auto a = after.begin();
    while (b != before.end() || a != after.end()) {
        if (a == after.end() || (b != before.end() && b->first < a->first)) {
            differences.push_back("removed: " + b->first + " (" + b->second + ")");
            ++b;
        } else if (b == before.end() || a->first < b->first) {
            differences.push_back("added: " + a->first + " (" + a->second + ")");
            ++a;
        } else {
            if (b->second != a->second) {
                differences.push_back("changed: " + b->first + " (" + b->second + ") -> (" +
                                      a->second + ")");
            }
            ++b;
            ++a;
        }
    }
    return differences;
}

}  // namespace testsupport
