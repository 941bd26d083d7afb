// Removal of the scan task kvmscan from the ServerTasks= lines of a Domino
// server's notes.ini. Only server-task lines are rebuilt; every other byte
// stays as it was. The file is replaced atomically (a temporary file in the
// same folder, flushed to disk, then renamed over it), so a failure at any
// point leaves either the old or the new file, never a cut one.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/debug.h"

namespace {

const char kTaskLinePrefix[] = "ServerTasks=";
const size_t kTaskLinePrefixLength = sizeof kTaskLinePrefix - 1;
const char kScanTask[] = "kvmscan";
// What separates task names; CR is not among them.
const char kSeparators[] = " ,;\n\t";

bool IsServerTaskLine(const std::string& line) {
    return line.size() >= kTaskLinePrefixLength &&
           strncasecmp(line.c_str(), kTaskLinePrefix, kTaskLinePrefixLength) == 0;
}

bool IsScanTask(const std::string& name) {
    return name.size() == sizeof kScanTask - 1 &&
           strncasecmp(name.c_str(), kScanTask, name.size()) == 0;
}

// "ServerTasks=" and the kept names joined by ",", ending in LF.
std::string RebuildServerTaskLine(const std::string& line) {
    std::string rebuilt = kTaskLinePrefix;
    std::string::size_type pos = line.find('=') + 1;
    bool first = true;
    for (;;) {
        std::string::size_type sep = line.find_first_of(kSeparators, pos);
        std::string name = line.substr(pos, sep == std::string::npos ? sep : sep - pos);
        if (!name.empty() && !IsScanTask(name)) {
            if (!first) {
                rebuilt += ',';
            }
            rebuilt += name;
            first = false;
        }
        if (sep == std::string::npos) {
            break;
        }
        pos = sep + 1;
    }
    rebuilt += '\n';
    return rebuilt;
}

// The whole file; false when it cannot be read to its end.
bool ReadWholeFile(int fd, std::string& content) {
    char chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.append(chunk, static_cast<size_t>(got));
    }
}

// Splits into lines, each with its own LF; the last may have none.
std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < content.size()) {
        std::string::size_type end = content.find('\n', start);
        end = end == std::string::npos ? content.size() : end + 1;
        lines.push_back(content.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

void LogRewriteFailure(const char* notesIniPath, const char* step, int error) {
    LogDebugMessage(1, "Error: Cannot rewrite '%s': %s failed (%s); the file is left as it was.",
                    notesIniPath, step, std::strerror(error));
}

// Replaces the file (the target, when the path is a symbolic link, so the
// link stays) by a new one with the same owner, group and mode.
void ReplaceFile(const char* notesIniPath, const std::string& content) {
    char* real = realpath(notesIniPath, nullptr);
    if (real == nullptr) {
        LogRewriteFailure(notesIniPath, "resolving the path", errno);
        return;
    }
    std::string target = real;
    std::free(real);
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        LogRewriteFailure(notesIniPath, "stat", errno);
        return;
    }
    // A rename needs only the folder to be writable; the file itself must be
    // writable too, as for a rewrite in place, so that a notes.ini made
    // read-only stays as it is.
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        LogRewriteFailure(notesIniPath, "opening for writing", errno);
        return;
    }
    std::string::size_type slash = target.rfind('/');
    std::string folder = slash == 0 ? "/" : target.substr(0, slash);
    std::string temp = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        LogRewriteFailure(notesIniPath, "creating a temporary file", errno);
        return;
    }
    const char* step = nullptr;
    int error = 0;
    struct stat made;
    if (!WriteAll(fd, content)) {
        step = "writing";
    } else if (fstat(fd, &made) != 0) {
        step = "fstat";
    } else if ((made.st_uid != st.st_uid || made.st_gid != st.st_gid) &&
               fchown(fd, st.st_uid, st.st_gid) != 0) {
        step = "keeping the owner and group";
    } else if (fchmod(fd, st.st_mode & 07777) != 0) {
        step = "keeping the mode";
    } else if (fsync(fd) != 0) {
        step = "flushing to disk";
    }
    error = errno;
    if (close(fd) != 0 && step == nullptr) {
        step = "closing";
        error = errno;
    }
    if (step == nullptr && rename(temp.c_str(), target.c_str()) != 0) {
        step = "renaming";
        error = errno;
    }
    if (step != nullptr) {
        unlink(temp.c_str());
        LogRewriteFailure(notesIniPath, step, error);
        return;
    }
    // The rename itself made durable; a failure here loses nothing.
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

}  // namespace

void CleanUpKvmscanTask(const char* notesIniPath) {
    if (notesIniPath == nullptr) {
        return;
    }
    int fd = open(notesIniPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;  // an unreadable notes.ini is not this step's concern
    }
    struct stat st;
    std::string content;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool complete = regular && ReadWholeFile(fd, content);
    int readError = errno;
    close(fd);
    if (!regular) {
        // A pipe or device in place of notes.ini could block or never end,
        // and a folder holds no lines: refused with a log line.
        LogDebugMessage(1, "Error: '%s' is not a regular file; it is left alone.", notesIniPath);
        return;
    }
    if (!complete) {
        // Never write back a file that was only read in part.
        LogDebugMessage(1, "Error: Cannot read '%s' (%s); it is left alone.", notesIniPath,
                        std::strerror(readError));
        return;
    }

    std::vector<std::string> lines = SplitLines(content);
    bool changed = false;
    for (std::string& line : lines) {
        if (!IsServerTaskLine(line)) {
            continue;
        }
        std::string rebuilt = RebuildServerTaskLine(line);
        if (rebuilt.size() != line.size()) {
            changed = true;
        }
        line = rebuilt;
    }
    if (!changed) {
        return;
    }
    std::string updated;
    updated.reserve(content.size());
    for (const std::string& line : lines) {
        updated += line;
    }
    ReplaceFile(notesIniPath, updated);
}

int removeKvmscan(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        CleanUpKvmscanTask(info->strNotesIniPath.c_str());
    }
    return 1;
}
