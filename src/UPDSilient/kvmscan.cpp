// Removal of the scan task kvmscan from the ServerTasks= lines of a Domino
// server's notes.ini. Only server-task lines are rebuilt; every other byte
// stays as it was. The file is replaced atomically (a temporary file in the
// same folder, flushed to disk, then renamed over it), so a failure at any
// point leaves either the old or the new file, never a cut one. All of it
// runs as the owner of the notes.ini entry (see machine::EntryActor).
#include <fcntl.h>
#include <strings.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/kvmscan_internal.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

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

}  // namespace

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

namespace {

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

// The log lines of one clean-up, written once the process is itself again
// (the log is not the server user's to write).
typedef std::vector<std::string> Messages;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[8192];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

void RewriteFailure(Messages& out, const char* notesIniPath, const char* step, int error) {
    out.push_back(Format("Error: Cannot rewrite '%s': %s failed (%s); the file is left as it was.",
                         notesIniPath, step, std::strerror(error)));
}

const char* StepText(fileio::ReplaceStep step) {
    switch (step) {
        case fileio::ReplaceStep::kCreate:
            return "creating a temporary file";
        case fileio::ReplaceStep::kWrite:
            return "writing";
        case fileio::ReplaceStep::kOwner:
            return "keeping the owner and group";
        case fileio::ReplaceStep::kMode:
            return "keeping the mode";
        case fileio::ReplaceStep::kFlush:
            return "flushing to disk";
        case fileio::ReplaceStep::kClose:
            return "closing";
        default:
            return "renaming";
    }
}

// Replaces the file (the target, when the path is a symbolic link, so the
// link stays) by a new one with the same owner, group and mode.
// `follow` is false when the entry was no link: then none is followed, so a
// link put in its place meanwhile fails the rewrite instead of steering it.
void ReplaceFile(Messages& out, const char* notesIniPath, const std::string& content, bool follow) {
    std::string target = notesIniPath;
    if (follow) {
        char* real = realpath(notesIniPath, nullptr);
        if (real == nullptr) {
            RewriteFailure(out, notesIniPath, "resolving the path", errno);
            return;
        }
        target = real;
        std::free(real);
    } else if (target.find('/') == std::string::npos) {
        target = "./" + target;
    }
    const int noFollow = follow ? 0 : O_NOFOLLOW;
    struct stat st;
    if (fstatat(AT_FDCWD, target.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        RewriteFailure(out, notesIniPath, "stat", errno);
        return;
    }
    // A rename needs only the folder to be writable; the file itself must be
    // writable too, as for a rewrite in place, so that a notes.ini made
    // read-only stays as it is. Tried by opening it, under the identity this
    // runs with; O_NONBLOCK, as a FIFO put in its place meanwhile must not
    // hold the run.
    fileio::Fd probe(open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | noFollow));
    if (!probe.valid() || !S_ISREG(st.st_mode)) {
        RewriteFailure(out, notesIniPath, "opening for writing", probe.valid() ? EINVAL : errno);
        return;
    }
    probe.close();
    std::string::size_type slash = target.rfind('/');
    std::string folder = slash == 0 ? "/" : target.substr(0, slash);
    fileio::Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        RewriteFailure(out, notesIniPath, "creating a temporary file", errno);
        return;
    }
    const fileio::ReplaceOptions options = fileio::KeepingOwnerAndMode(st);
    fileio::ReplaceStep step = fileio::ReplaceStep::kNone;
    fileio::ReplaceWithText(dir.get(), target.substr(slash + 1), content, options, &step);
    if (step != fileio::ReplaceStep::kNone) {
        RewriteFailure(out, notesIniPath, StepText(step), errno);
        return;
    }
    out.push_back(Format("Info: Rewrite '%s' without the task kvmscan.", notesIniPath));
}

// Reads the whole of notes.ini into `content`; false, with the reason in
// `out` where there is one to tell, when it is not read whole.
bool ReadNotesIni(Messages& out, const char* notesIniPath, bool isLink, std::string& content,
                  struct stat& st) {
    fileio::Fd fd =
        fileio::OpenRegularForReading(AT_FDCWD, notesIniPath, st, isLink ? 0 : O_NOFOLLOW);
    if (!fd.valid()) {
        if (st.st_mode != 0) {
            // A pipe or device in place of notes.ini could block or never end,
            // and a folder holds no lines: refused with a log line.
            out.push_back(
                Format("Error: '%s' is not a regular file; it is left alone.", notesIniPath));
        }
        return false;  // an unreadable notes.ini is not this step's concern
    }
    if (static_cast<unsigned long long>(st.st_size) > fileio::kLargestSettingsFile ||
        !fileio::ReadAll(fd.get(), content, fileio::kLargestSettingsFile)) {
        // Never write back a file that was only read in part.
        if (static_cast<unsigned long long>(st.st_size) > fileio::kLargestSettingsFile ||
            errno == EFBIG) {
            out.push_back(Format(
                "Error: '%s' is %lld bytes long, more than the %zu bytes it may "
                "have; it is left alone.",
                notesIniPath, static_cast<long long>(st.st_size), fileio::kLargestSettingsFile));
        } else {
            out.push_back(Format("Error: Cannot read '%s' (%s); it is left alone.", notesIniPath,
                                 std::strerror(errno)));
        }
        return false;
    }
    return true;
}

// The file a rewrite changes: notes.ini itself, or what it links to.
std::string RewriteTarget(const char* notesIniPath, bool follow) {
    std::string target = notesIniPath;
    if (follow) {
        char* real = realpath(notesIniPath, nullptr);
        if (real != nullptr) {
            target = real;
            std::free(real);
        }
    }
    return target;
}

// The write bit of `st` that applies to the file-system identity this
// process acts as now.
mode_t WriteBit(const struct stat& st) {
    if (st.st_uid == machine::CurrentFsUid()) {
        return S_IWUSR;
    }
    const gid_t group = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(
        std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    const bool member =
        st.st_gid == group || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    return member ? S_IWGRP : S_IWOTH;
}

long long RoundUp(long long bytes, long long block) {
    return block > 0 ? (bytes + block - 1) / block * block : bytes;
}

// Why the rewrite of notes.ini (status `st`) into `bytes` bytes would fail,
// told before anything is written; "" when nothing stands in its way. The
// file keeps its owner, which an identity that is not root's can give it
// only when it owns it already; there must be room for the new content
// among the blocks and files the users of its file system may still take
// (root's reserve stays untouched); and the file must be writable. A file
// with more than one name is rewritten in place, so it needs only the
// blocks by which it grows.
std::string RewriteProblem(const char* notesIniPath, bool follow, const struct stat& st,
                           size_t bytes) {
    const uid_t self = machine::CurrentFsUid();
    auto failure = [&](const char* step, int error) {
        return Format("Error: Cannot rewrite '%s': %s failed (%s); the file is left as it was.",
                      notesIniPath, step, std::strerror(error));
    };
    const std::string target = RewriteTarget(notesIniPath, follow);
    const std::string::size_type slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : target.substr(0, slash);
    struct statvfs vfs;
    if (statvfs(folder.c_str(), &vfs) != 0) {
        return failure("stat", errno);
    }
    if ((vfs.f_flag & ST_RDONLY) != 0) {
        return failure("opening for writing", EROFS);
    }
    if (self != 0 && (st.st_mode & WriteBit(st)) == 0) {
        return failure("opening for writing", EACCES);
    }
    if (self != 0 && st.st_uid != self) {
        return failure(st.st_nlink > 1 ? "writing in place" : "keeping the owner and group", EPERM);
    }
    const long long block = static_cast<long long>(vfs.f_frsize);
    const bool inPlace = st.st_nlink > 1;
    const long long needed =
        inPlace ? std::max(0LL, RoundUp(static_cast<long long>(bytes), block) -
                                    RoundUp(static_cast<long long>(st.st_size), block))
                : RoundUp(static_cast<long long>(bytes), block);
    const long long available = static_cast<long long>(vfs.f_bavail) * block;
    if (needed > available || (!inPlace && vfs.f_favail < 1)) {
        return Format(
            "Error: Cannot rewrite '%s': it needs %lld bytes and %d file(s), but %lld bytes and "
            "%llu file(s) are free; the file is left as it was.",
            notesIniPath, needed, inPlace ? 0 : 1, available,
            static_cast<unsigned long long>(vfs.f_favail));
    }
    return std::string();
}

// Rewrites a notes.ini that has more than one name through one descriptor,
// so it keeps its inode and every name keeps naming it: the new content
// over the old, then cut to its length and flushed. The file opened must be
// the one that was read.
void RewriteInPlace(Messages& out, const char* notesIniPath, const std::string& content,
                    bool follow, const struct stat& read) {
    const std::string target = RewriteTarget(notesIniPath, follow);
    fileio::Fd fd(open(target.c_str(),
                       O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        RewriteFailure(out, notesIniPath, "opening for writing", errno);
        return;
    }
    if (!S_ISREG(st.st_mode) || st.st_dev != read.st_dev || st.st_ino != read.st_ino) {
        RewriteFailure(out, notesIniPath, "opening for writing", ESTALE);
        return;
    }
    if (!fileio::WriteAll(fd.get(), content.data(), content.size())) {
        RewriteFailure(out, notesIniPath, "writing", errno);
        return;
    }
    if (ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) {
        RewriteFailure(out, notesIniPath, "writing", errno);
        return;
    }
    if (fsync(fd.get()) != 0) {
        RewriteFailure(out, notesIniPath, "flushing to disk", errno);
        return;
    }
    out.push_back(Format("Info: Rewrite '%s' without the task kvmscan.", notesIniPath));
}

// What the clean-up finds in one notes.ini, read as the clean-up reads it.
struct Look {
    bool found = false;  // a regular file was there to read
    bool read = false;   // and it was read whole
    bool changed = false;
    std::string updated;
    struct stat st = {};
};

Look LookAt(Messages& out, const char* notesIniPath, bool isLink) {
    Look look;
    std::string content;
    look.read = ReadNotesIni(out, notesIniPath, isLink, content, look.st);
    const int openError = errno;
    look.found = look.read || S_ISREG(look.st.st_mode);
    struct stat again;
    if (!look.read && look.st.st_mode == 0 &&
        (isLink ? stat(notesIniPath, &again) : lstat(notesIniPath, &again)) == 0 &&
        S_ISREG(again.st_mode)) {
        // A file there that this identity cannot open may hold the task.
        look.found = true;
        out.push_back(Format("Error: Cannot read '%s' (%s); it is left alone.", notesIniPath,
                             std::strerror(openError)));
    }
    if (look.read) {
        look.updated = WithoutScanTask(content, look.changed);
    }
    return look;
}

// Reads notes.ini and rewrites it when a server-task line loses kvmscan.
// False when kvmscan may stay registered: a regular file that could not be
// read whole, or a rewrite that did not happen.
bool CleanUp(Messages& out, const char* notesIniPath, bool isLink) {
    const Look look = LookAt(out, notesIniPath, isLink);
    if (!look.read || !look.changed) {
        return !look.found || look.read;
    }
    const std::string problem = RewriteProblem(notesIniPath, isLink, look.st, look.updated.size());
    if (!problem.empty()) {
        out.push_back(problem);
        return false;
    }
    const size_t before = out.size();
    if (look.st.st_nlink > 1) {
        RewriteInPlace(out, notesIniPath, look.updated, isLink, look.st);
    } else {
        ReplaceFile(out, notesIniPath, look.updated, isLink);
    }
    return out.size() > before && out.back().compare(0, 6, "Info: ") == 0;
}

}  // namespace

std::string WithoutScanTask(const std::string& content, bool& changed) {
    std::vector<std::string> lines = SplitLines(content);
    changed = false;
    std::string updated;
    updated.reserve(content.size());
    for (std::string& line : lines) {
        if (IsServerTaskLine(line)) {
            std::string rebuilt = RebuildServerTaskLine(line);
            changed = changed || rebuilt.size() != line.size();
            line = rebuilt;
        }
        updated += line;
    }
    return updated;
}

ScanTaskOutlook DecideScanTaskCleanUp(const char* notesIniPath) {
    ScanTaskOutlook outlook;
    struct stat entry;
    if (notesIniPath == nullptr || lstat(notesIniPath, &entry) != 0) {
        return outlook;
    }
    // Read as the clean-up reads it: as the entry's owner, whole or not at all.
    machine::FsIdentity owner(machine::EntryActor(notesIniPath));
    if (!owner.ok()) {
        outlook.problem = "Error: Cannot rewrite '" + std::string(notesIniPath) +
                          "': taking the identity of its owner failed; the file is left as it "
                          "was.";
        return outlook;
    }
    Messages told;
    const bool isLink = S_ISLNK(entry.st_mode);
    const Look look = LookAt(told, notesIniPath, isLink);
    outlook.due = look.changed;
    if (look.found && !look.read) {
        outlook.problem =
            told.empty() ? "Error: Cannot read '" + std::string(notesIniPath) + "'" : told.back();
    } else if (look.changed) {
        outlook.problem = RewriteProblem(notesIniPath, isLink, look.st, look.updated.size());
    }
    return outlook;
}

bool ScanTaskCleanUpDue(const char* notesIniPath) {
    return DecideScanTaskCleanUp(notesIniPath).due;
}

bool CleanUpKvmscanTask(const char* notesIniPath) {
    if (notesIniPath == nullptr) {
        return true;
    }
    // The data folder and notes.ini are the server user's: whoever owns the
    // entry as it stands in its folder (a link itself, when it is one), or
    // the folder's owner when root's entry lies in someone else's folder, is
    // whom the reading and rewriting run as, so a link planted there, or a
    // folder swapped meanwhile, reaches only what that user could change.
    struct stat entry;
    if (lstat(notesIniPath, &entry) != 0) {
        return true;  // a missing notes.ini is not this step's concern
    }
    Messages messages;
    bool clean = false;
    {
        machine::FsIdentity owner(machine::EntryActor(notesIniPath));
        if (owner.ok()) {
            clean = CleanUp(messages, notesIniPath, S_ISLNK(entry.st_mode));
        } else {
            RewriteFailure(messages, notesIniPath, "taking the identity of its owner", errno);
        }
    }
    for (const std::string& message : messages) {
        LogDebugMessage(1, "%s", message.c_str());
    }
    return clean;
}
int removeKvmscan(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        CleanUpKvmscanTask(info->strNotesIniPath.c_str());
    }
    return 1;
}
