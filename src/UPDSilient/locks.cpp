// Whether a Domino server or an ORV task runs, told by file locks alone: the
// server locks ~notes.lck in its data folder, each running task locks a file
// of its own, named "<task>{...}", in the data folder's orvtemp folder.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

int isFileLocked(const char* path) {
    if (path == nullptr) {
        return 0;
    }
    // The lock folders belong to the server's user: only a regular file is
    // a lock file, and it is opened without blocking, so that a link to a
    // device or a pipe planted there is never opened or cannot stall the run.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    struct flock probe;
    std::memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    // Without a conflicting lock the record comes back with its pid still 0.
    fcntl(fd, F_GETLK, &probe);
    close(fd);
    return probe.l_pid != 0 ? 1 : 0;
}

bool ServerRunning(const ORVInsInfo& info) {
    const std::string lockFile = info.strDataPath + "/" + "~notes.lck";
    if (isFileLocked(lockFile.c_str()) == 1) {
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
    std::string folder = std::string(dataPath) + "/orvtemp";
    size_t taskLength = std::strlen(taskName);
    // Without an orvtemp folder the lister hands out the data folder's
    // subfolders instead; their probe paths below lie in the missing folder
    // and cannot be opened, so nothing counts as running.
    KvORVDirList list(folder.c_str());
    while (list.hasNext()) {
        std::string entry = list.getNext();
        std::string::size_type slash = entry.rfind('/');
        std::string name = slash == std::string::npos ? entry : entry.substr(slash + 1);
        if (name.size() > taskLength && strncasecmp(name.c_str(), taskName, taskLength) == 0 &&
            name[taskLength] == '{') {
            std::string lockFile = folder + "/" + name;
            if (isFileLocked(lockFile.c_str()) == 1) {
                return 1;
            }
        }
    }
    return 0;
}
