// The INI reader on any bytes: open them from a file, then look up every
// section and key name that the input itself names, with buffers of several
// sizes, and print the whole content.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "common/KvIniUtil.h"

namespace {

std::string g_path;

// Section names (between "[" and the last "]") and key names (before the
// first "=") of the input's lines, at most `limit` of each.
void CollectNames(const std::string& text, std::vector<std::string>& sections,
                  std::vector<std::string>& keys, size_t limit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        line = line.c_str();  // the reader works on C strings
        size_t close = line.rfind(']');
        if (!line.empty() && line[0] == '[' && close != std::string::npos && close > 0) {
            if (sections.size() < limit) {
                sections.push_back(line.substr(1, close - 1));
            }
        } else if (line.find('=') != std::string::npos && keys.size() < limit) {
            keys.push_back(line.substr(0, line.find('=')));
        }
    }
    sections.push_back("");
    keys.push_back("");
}

void CheckLookup(KvIniReader& reader, const std::string& section, const std::string& key) {
    const int count = reader.getValueCount(section.c_str(), key.c_str());
    FUZZ_CHECK(count >= 0 || count == IDD_ERR_SECTION_NOTFOUND);
    for (int index : {-1, 0, 1, count - 1, count}) {
        for (int size : {1, 2, 3, 255, 256}) {
            // Exactly `size` bytes on the heap, so a write past them is caught.
            std::vector<char> out(static_cast<size_t>(size), 'x');
            int len = size;
            int rc = reader.getValueAt(section.c_str(), key.c_str(), out.data(), &len, index);
            if (size < 2) {
                FUZZ_CHECK(rc == IDD_ERR_NULL_ARGUMENT && len == size);
                continue;
            }
            const bool present = count > 0 && index >= 0 && index < count;
            if (!present) {
                FUZZ_CHECK(rc == IDD_ERR_VALUE_NOTFOUND || rc == IDD_ERR_SECTION_NOTFOUND);
                FUZZ_CHECK(len == size);
                continue;
            }
            FUZZ_CHECK(rc == IDD_ERR_ZERO);
            FUZZ_CHECK(len >= 0 && len <= size - 2 && len <= 254);
            FUZZ_CHECK(std::memchr(out.data(), '\0', static_cast<size_t>(size)) ==
                       out.data() + len);
            if (index == 0) {
                std::vector<char> first(static_cast<size_t>(size));
                int firstLen = size;
                FUZZ_CHECK(reader.getValue(section.c_str(), key.c_str(), first.data(), &firstLen) ==
                           IDD_ERR_ZERO);
                FUZZ_CHECK(firstLen == len && std::strcmp(first.data(), out.data()) == 0);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = fuzzsupport::ScratchPath("ini");
    std::atexit([] { unlink(g_path.c_str()); });
    // dumpStdout's output is not wanted; libFuzzer reports on standard error.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream file(g_path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(file.good());
    }
    KvIniReader reader;
    FUZZ_CHECK(reader.open(g_path.c_str()) == IDD_ERR_ZERO);
    std::vector<std::string> sections, keys;
    CollectNames(std::string(reinterpret_cast<const char*>(data), size), sections, keys, 4);
    for (const std::string& section : sections) {
        for (const std::string& key : keys) {
            CheckLookup(reader, section, key);
        }
    }
    reader.dumpStdout();
    // A re-open of a path that cannot be read keeps what was read.
    const int before = reader.getValueCount(sections.front().c_str(), keys.front().c_str());
    FUZZ_CHECK(reader.open((g_path + ".missing").c_str()) == IDD_ERR_INIFILE_OPENFAILED);
    FUZZ_CHECK(reader.getValueCount(sections.front().c_str(), keys.front().c_str()) == before);
    return 0;
}
