// Records the callback calls of the file library's operations and answers
// them as a test asks.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"
#include "support/RunProgram.h"  // RunAsNobody, for the tests that use the recorder

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

}  // namespace testsupport
