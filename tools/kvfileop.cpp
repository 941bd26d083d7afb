// kvfileop: a command-line front end over the file operations library, for
// benchmarks and manual checks. The exit status is the operation's result
// (true = 0, false = 1 for the yes/no operations).
#include <cstdio>
#include <cstring>
#include <string>

#include "UpdateORV/KvFileOpUtil.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: kvfileop copy|xcopy|move|xmove [-n] SRC DST   (-n: do not overwrite)\n"
                 "       kvfileop unlink|xunlink PATH\n"
                 "       kvfileop size PATH        prints the total size in bytes\n"
                 "       kvfileop comp FILE1 FILE2\n"
                 "       kvfileop walk PATH        prints one line per entry below PATH\n");
    return 2;
}

int PrintEntry(KvORVFileOpUtil::CallbackEntry* e) {
    std::printf("%s %d %s\n", e->action == FOP_VISIT_DIR ? "dir " : "file", e->fileSize,
                e->srcName);
    return FOP_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string op = argv[1];
    typedef int (*CopyOp)(const char*, const char*, bool, KvORVFileOpUtil::FileOpCallback,
                          KvORVFileOpUtil::CallbackEntry*);
    CopyOp copyOp = nullptr;
    if (op == "copy")
        copyOp = KvORVFileOpUtil::copy;
    if (op == "xcopy")
        copyOp = KvORVFileOpUtil::xcopy;
    if (op == "move")
        copyOp = KvORVFileOpUtil::move;
    if (op == "xmove")
        copyOp = KvORVFileOpUtil::xmove;
    if (copyOp != nullptr) {
        int first = 2;
        bool overwrite = true;
        if (std::strcmp(argv[first], "-n") == 0) {
            overwrite = false;
            ++first;
        }
        if (argc != first + 2) {
            return Usage();
        }
        return copyOp(argv[first], argv[first + 1], overwrite, nullptr, nullptr);
    }
    if (op == "unlink" && argc == 3) {
        return KvORVFileOpUtil::unlink(argv[2], nullptr, nullptr);
    }
    if (op == "xunlink" && argc == 3) {
        return KvORVFileOpUtil::xunlink(argv[2], nullptr, nullptr);
    }
    if (op == "size" && argc == 3) {
        // The 32-bit figure where it fits, else the full one.
        const int small = KvORVFileOpUtil::getDirSize(argv[2]);
        const long long size = small >= 0 ? small : KvORVFileOpUtil::getDirSize64(argv[2]);
        if (size < 0) {
            std::fprintf(stderr, "kvfileop: cannot size %s\n", argv[2]);
            return 1;
        }
        std::printf("%lld\n", size);
        return 0;
    }
    if (op == "comp" && argc == 4) {
        return KvORVFileOpUtil::comp(argv[2], argv[3]) ? 0 : 1;
    }
    if (op == "walk" && argc == 3) {
        KvORVFileOpUtil::CallbackEntry entry{};
        entry.cbSize = KvORVFileOpUtil::kCallbackEntrySize;
        return KvORVFileOpUtil::xaccess(argv[2], PrintEntry, &entry) ? 0 : 1;
    }
    return Usage();
}
