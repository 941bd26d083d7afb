#include "UPDSilient/run_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

namespace runstate {

const char kStepChecked[] = "checked";
const char kStepFolderMade[] = "folder-made";
const char kStepTasksStopped[] = "tasks-stopped";
const char kStepMovedAway[] = "moved-away";
const char kStepFilesBack[] = "files-back";

namespace {

const char kRecordName[] = ".orvpatch-run";
const char kSetAsideName[] = ".orvpatch-run.set-aside";
const size_t kLargestRecord = 65536;

std::string FolderOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void FlushFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string Text(const Record& r) {
    std::ostringstream out;
    out << "build=" << r.build << "\nmode=" << r.mode << "\nlayout=" << r.layout
        << "\npackage=" << r.package << "\nstep=" << r.step << "\n";
    return out.str();
}

// Whether the process `pid` may still be running. A process of another
// user answers EPERM: it runs.
bool Alive(pid_t pid) {
    return pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

std::string RecordPath(const std::string& root) {
    return root + "/" + kRecordName;
}

bool Read(const std::string& root, Record& record) {
    int fd = ::open(RecordPath(root).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<size_t>(st.st_size) <= kLargestRecord) {
        char buf[4096];
        ssize_t n;
        while (text.size() <= kLargestRecord && (n = ::read(fd, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);

    Record r;
    bool haveBuild = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "build") {
            char* end = nullptr;
            errno = 0;
            long build = std::strtol(value.c_str(), &end, 10);
            haveBuild = errno == 0 && end != value.c_str() && *end == '\0' && build > 0 &&
                        build <= 2147483647L;
            r.build = haveBuild ? static_cast<int>(build) : 0;
        } else if (key == "mode") {
            r.mode = value;
        } else if (key == "layout") {
            r.layout = value;
        } else if (key == "package") {
            r.package = value;
        } else if (key == "step") {
            r.step = value;
        }
    }
    if (!haveBuild || (r.mode != "update" && r.mode != "rollback") ||
        (r.layout != "new-folder" && r.layout != "in-place")) {
        return false;
    }
    record = r;
    return true;
}

bool Write(const std::string& root, const Record& record) {
    const int dirFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int rc = -1;
    if (dirFd >= 0) {
        const std::string text = Text(record);
        fileio::ReplaceOptions options;
        options.setMode = true;
        options.mode = 0644;
        rc = fileio::ReplaceWithText(dirFd, kRecordName, text, options);
    }
    const int error = errno;
    if (dirFd >= 0) {
        ::close(dirFd);
    }
    if (rc != 0) {
        LogDebugMessage(1, "Error: Cannot record the progress of the run in (%s): %s.",
                        RecordPath(root).c_str(), std::strerror(error));
        return false;
    }
    return true;
}

void Remove(const std::string& root) {
    if (::unlink(RecordPath(root).c_str()) == 0) {
        FlushFolder(root);
    }
}

void SetAside(const std::string& root, const Record& record) {
    const std::string aside = root + "/" + kSetAsideName;
    LogDebugMessage(1,
                    "Info: The record (%s) of an interrupted %s of build %d belongs to another "
                    "package, so it is set aside as (%s).",
                    RecordPath(root).c_str(), record.mode.c_str(), record.build, aside.c_str());
    if (::rename(RecordPath(root).c_str(), aside.c_str()) == 0) {
        FlushFolder(root);
    } else {
        LogDebugMessage(1, "Error: Cannot rename the file (%s) to (%s): %s.",
                        RecordPath(root).c_str(), aside.c_str(), std::strerror(errno));
    }
}

std::string AbsolutePath(const std::string& folder) {
    std::string path = folder;
    if (path.empty() || path[0] != '/') {
        std::vector<char> buf(4096);
        if (::getcwd(buf.data(), buf.size()) == nullptr) {
            return folder;
        }
        std::string cwd = buf.data();
        path = (cwd == "/" ? "" : cwd) + "/" + folder;
    }
    // "/./" and a trailing "/." say nothing.
    for (std::string::size_type at; (at = path.find("/./")) != std::string::npos;) {
        path.erase(at, 2);
    }
    while (path.size() > 2 && path.compare(path.size() - 2, 2, "/.") == 0) {
        path.erase(path.size() - 2);
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

void SweepLeftovers(const std::string& folder) {
    std::string dirPath = folder.empty() ? "." : folder;
    while (dirPath.size() > 1 && dirPath.back() == '/') {
        dirPath.pop_back();
    }
    // In another user's folder, only as that user, and only that user's own
    // entries: an entry of someone else's was never made by this program
    // acting there.
    const machine::Actor actor = machine::FolderActor(dirPath);
    machine::FsIdentity owner(actor);
    const fileio::Fd dirFd(owner.ok() ? ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                      : -1);
    const int listed = dirFd.valid() ? ::fcntl(dirFd.get(), F_DUPFD_CLOEXEC, 0) : -1;
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir)) {
        pid_t pid = 0;
        if (fileio::IsTemporaryName(entry->d_name, &pid) && !Alive(pid)) {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string path = dirPath + "/" + name;
        struct stat st;
        if (::fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) ||
            (actor.other ? st.st_uid != actor.uid : !machine::RootSide(st.st_uid))) {
            continue;  // never made by a writer of ours acting here
        }
        LogDebugMessage(1, "Info: Remove the temporary file (%s) left by an interrupted run.",
                        path.c_str());
        if (::unlinkat(dirFd.get(), name.c_str(), 0) != 0) {
            LogDebugMessage(1, "Error: Cannot remove the file (%s): %s.", path.c_str(),
                            std::strerror(errno));
        }
    }
}

bool SaveOriginal(const std::string& path, const std::string& saved) {
    if (::link(path.c_str(), saved.c_str()) != 0) {
        const int error = errno;
        // A copy made by root in another user's folder would be a file of
        // root's holding what that user chose.
        const bool rootInOthersFolder =
            machine::CurrentFsUid() == 0 && machine::FolderActor(FolderOf(saved)).other;
        if (error == EEXIST || rootInOthersFolder ||
            KvORVFileOpUtil::copy(path.c_str(), saved.c_str(), false, nullptr, nullptr) != FOP_OK) {
            errno = error;
            return false;
        }
    }
    FlushFolder(FolderOf(saved));
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void FlushFolderOf(const std::string& path) {
    fileio::FlushFolderHolding(AT_FDCWD, path);
}

}  // namespace runstate
