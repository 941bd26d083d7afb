// The path helpers under every code page the library knows: the first input
// byte picks the code page, the rest (up to a NUL) is the path.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

using namespace kvfileop_detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const int kCodePages[] = {0, 932, 936, 949, 950};
    SetCurrentCharType(kCodePages[data[0] % 5]);
    const std::string path = std::string(reinterpret_cast<const char*>(data) + 1, size - 1).c_str();
    const char* str = path.c_str();

    // A backslash becomes "/" exactly when it is not the second byte of a
    // double-byte character; no other byte changes, the length stays.
    std::string normal = path;
    normalizeSeptor(normal);
    FUZZ_CHECK(normal.size() == path.size());
    const bool perByte = path.size() <= 512;  // the trailing-byte test rescans from the start
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '\\') {
            FUZZ_CHECK(normal[i] == path[i]);
        } else if (perByte) {
            FUZZ_CHECK(normal[i] == (IsTrailingByteOfDBC(str, str + i) ? '\\' : '/'));
        } else {
            FUZZ_CHECK(normal[i] == '\\' || normal[i] == '/');
        }
        if (GetCurrentCharType() == 0) {
            FUZZ_CHECK(normal[i] != '\\');
        }
    }
    if (perByte) {
        for (size_t i = 0; i < path.size(); ++i) {
            // A trailing byte follows a lead byte that is not itself a trailing one.
            if (IsTrailingByteOfDBC(str, str + i)) {
                FUZZ_CHECK(GetCurrentCharType() != 0 && i > 0);
                FUZZ_CHECK(!IsTrailingByteOfDBC(str, str + i - 1));
                FUZZ_CHECK(IsLeadingByteOfDBC(path[i - 1]));
            }
        }
    }
    FUZZ_CHECK(!IsTrailingByteOfDBC(nullptr, str));

    // The folder part and the file name put together give the path back.
    const std::string dir = KvORVFileOpUtil::getDirName(str);
    const std::string file = KvORVFileOpUtil::getFileName(str);
    FUZZ_CHECK(dir + file == path);
    FUZZ_CHECK(dir.empty() || dir.back() == '/');
    FUZZ_CHECK(KvORVFileOpUtil::isDirName(str) == (!path.empty() && file.empty()));

    // The last folder's name ends where the folder part ends; there is none
    // for a name without a folder or right below "/".
    const std::string last = getLastDirName(str);
    FUZZ_CHECK(last.empty() == (dir.size() <= 1));
    if (!last.empty()) {
        FUZZ_CHECK(last.back() == '/');
        FUZZ_CHECK(dir.size() >= last.size() &&
                   dir.compare(dir.size() - last.size(), last.size(), last) == 0);
    }
    return 0;
}
