// The rebuild of a notes.ini server-task line: the result is "ServerTasks="
// and every name of the line but kvmscan (in any case), in order, joined by
// ",", ending in LF. The first input byte picks how the key is written.
#include <strings.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "UPDSilient/kvmscan_internal.h"

namespace {

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> names;
    size_t pos = 0;
    for (;;) {
        size_t sep = text.find_first_of(separators, pos);
        std::string name = text.substr(pos, sep == std::string::npos ? sep : sep - pos);
        if (!name.empty()) {
            names.push_back(name);
        }
        if (sep == std::string::npos) {
            return names;
        }
        pos = sep + 1;
    }
}

bool IsScanTask(const std::string& name) {
    return name.size() == 7 && strncasecmp(name.c_str(), "kvmscan", 7) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const char* const kKeys[] = {
        "ServerTasks=", "SERVERTASKS=", "servertasks=", "ServerTasks=="};
    const std::string key = kKeys[data[0] % 4];
    const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string line = key + value;

    const std::string rebuilt = RebuildServerTaskLine(line);
    const std::string prefix = "ServerTasks=";
    FUZZ_CHECK(rebuilt.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(!rebuilt.empty() && rebuilt.back() == '\n');
    const std::string body = rebuilt.substr(prefix.size(), rebuilt.size() - prefix.size() - 1);

    // Separators are blank, ",", ";", LF and TAB; CR belongs to a name.
    std::vector<std::string> expected;
    for (const std::string& name : Split(line.substr(line.find('=') + 1), " ,;\n\t")) {
        if (!IsScanTask(name)) {
            expected.push_back(name);
        }
    }
    const std::vector<std::string> got = Split(body, ",");
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(body.find(",,") == std::string::npos);
    FUZZ_CHECK(body.empty() || (body.front() != ',' && body.back() != ','));
    for (const std::string& name : got) {
        FUZZ_CHECK(!IsScanTask(name));
        FUZZ_CHECK(name.find_first_of(" ,;\n\t") == std::string::npos);
    }
    // A rebuilt line is already clean: rebuilding it again changes nothing.
    FUZZ_CHECK(RebuildServerTaskLine(rebuilt) == rebuilt);
    return 0;
}
