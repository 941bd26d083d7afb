// Whether a Domino server or an ORV task runs, told by file locks alone: the
// server locks ~notes.lck in its data folder, each running task locks a file
// of its own, named "<task>{...}", in the data folder's orvtemp folder.
//
// The data folder and everything in it belong to the server's user, who may
// put a link, a FIFO or a device in a lock file's place at any moment. So
// every lock file is reached beneath the data folder's descriptor, never
// through a link, under the data folder owner's file-system identity
// (machine::FolderActor), and only a regular file is opened at all: the
// entry is first taken as a bare reference (O_PATH) and looked at, and the
// file opened afterwards (without blocking, never as a terminal) must be
// that very file. Anything else counts as not locked, with an Info: line.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

namespace {

// A folder to probe in, and who probes there.
struct ProbeFolder {
    fileio::Fd fd;
    machine::Actor actor;
};

// The data folder as the registry names it (root's word for it).
ProbeFolder OpenDataFolder(const std::string& path) {
    ProbeFolder folder;
    folder.fd = fileio::Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (folder.fd.valid() && ::fstat(folder.fd.get(), &st) == 0) {
        folder.actor = machine::FolderActor(st);
    }
    return folder;
}

// Whether another process holds a lock on the entry `name` of the folder
// that would block a write lock on the whole file; `shown` names it in the
// log. Runs under the folder's actor's identity.
int ProbeAt(const ProbeFolder& folder, const char* name, const std::string& shown) {
    machine::FsIdentity as(folder.actor);
    if (!folder.fd.valid() || !as.ok()) {
        return 0;
    }
    const fileio::Fd ref(::openat(folder.fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat seen;
    if (!ref.valid() || ::fstat(ref.get(), &seen) != 0) {
        return 0;
    }
    if (!S_ISREG(seen.st_mode)) {
        LogDebugMessage(1,
                        "Info: The lock file '%s' is not a regular file, so it counts as unlocked.",
                        shown.c_str());
        return 0;
    }
    const fileio::Fd fd(
        ::openat(folder.fd.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || st.st_dev != seen.st_dev ||
        st.st_ino != seen.st_ino) {
        return 0;  // gone, or something else took its place meanwhile
    }
    struct flock probe;
    std::memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    // Without a conflicting lock the record comes back with its pid still 0.
    ::fcntl(fd.get(), F_GETLK, &probe);
    return probe.l_pid != 0 ? 1 : 0;
}

// The task lock folder, beneath the data folder and as its owner.
ProbeFolder OpenTaskFolder(const ProbeFolder& data) {
    ProbeFolder folder;
    folder.actor = data.actor;
    machine::FsIdentity as(data.actor);
    if (data.fd.valid() && as.ok()) {
        folder.fd = fileio::Fd(
            ::openat(data.fd.get(), "orvtemp", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return folder;
}

// The names in an open folder.
std::vector<std::string> NamesIn(const ProbeFolder& folder) {
    std::vector<std::string> names;
    machine::FsIdentity as(folder.actor);
    const int fd = folder.fd.valid() && as.ok() ? ::dup(folder.fd.get()) : -1;
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return names;
    }
    while (const struct dirent* e = ::readdir(dir)) {
        names.push_back(e->d_name);
    }
    ::closedir(dir);
    return names;
}

}  // namespace

int isFileLocked(const char* path) {
    if (path == nullptr || *path == '\0') {
        return 0;
    }
    const std::string text = path;
    const std::string::size_type slash = text.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : text.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    return ProbeAt(OpenDataFolder(folder), name.c_str(), text);
}

bool ServerRunning(const ORVInsInfo& info) {
    const std::string lockFile = info.strDataPath + "/" + "~notes.lck";
    if (ProbeAt(OpenDataFolder(info.strDataPath), "~notes.lck", lockFile) == 1) {
        LogDebugMessage(1, "The server's file lock '%s' is locked!", lockFile.c_str());
        return true;
    }
    LogDebugMessage(1, "The server's file lock '%s' is not locked!", lockFile.c_str());
    return false;
}

int isDominoServerRunning(ORVInsInfo* info, void* /*context*/) {
    return (info != nullptr && ServerRunning(*info)) ? 1 : 0;
}

int IsORVRun(const char* dataPath, const char* taskName) {
    if (dataPath == nullptr || taskName == nullptr) {
        return 0;
    }
    const std::string folder = std::string(dataPath) + "/orvtemp";
    const size_t taskLength = std::strlen(taskName);
    // Without an orvtemp folder nothing counts as running.
    const ProbeFolder tasks = OpenTaskFolder(OpenDataFolder(dataPath));
    for (const std::string& name : NamesIn(tasks)) {
        if (name.size() > taskLength && strncasecmp(name.c_str(), taskName, taskLength) == 0 &&
            name[taskLength] == '{' && ProbeAt(tasks, name.c_str(), folder + "/" + name) == 1) {
            return 1;
        }
    }
    return 0;
}
