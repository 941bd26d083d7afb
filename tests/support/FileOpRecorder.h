// Records the callback calls of the file library's operations and answers
// them as a test asks.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"

namespace testsupport {

struct FileOpCall {
    std::string src;
    std::string dst;  // "<null>" when the record held none
    int action;
    int phase;
};

class FileOpRecorder {
  public:
    FileOpRecorder() {
        record.cbSize = KvORVFileOpUtil::kCallbackEntrySize;
        record.userData = this;
        record.srcName = nullptr;
        record.dstName = nullptr;
        record.modTime = 0;
        record.fileSize = 0;
        record.action = -1;
        record.phase = -1;
    }

    static int Callback(KvORVFileOpUtil::CallbackEntry* e) {
        FileOpRecorder* self = static_cast<FileOpRecorder*>(e->userData);
        FileOpCall call{e->srcName != nullptr ? e->srcName : "<null>",
                        e->dstName != nullptr ? e->dstName : "<null>", e->action, e->phase};
        self->calls.push_back(call);
        return self->answer ? self->answer(call, e) : 0;
    }

    KvORVFileOpUtil::CallbackEntry* entry() { return &record; }

    KvORVFileOpUtil::CallbackEntry record;
    std::vector<FileOpCall> calls;
    // The answer to each call; 0 when not set.
    std::function<int(const FileOpCall&, KvORVFileOpUtil::CallbackEntry*)> answer;
};

// Runs `body` in a child process as the unprivileged user 65534 and returns
// its exit status (or -1 when the child did not exit normally).
inline int RunAsNobody(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(120);
        }
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace testsupport
