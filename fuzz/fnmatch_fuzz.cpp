// The wildcard matcher against a plain reference matcher: the input is a
// pattern and a name separated by the first NUL byte.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

namespace {

// Whole-name match, "*" any run of bytes, "?" one byte, everything else
// itself; match[i][j] says whether pattern[i..] matches name[j..].
bool ReferenceMatch(const std::string& pattern, const std::string& name) {
    const size_t np = pattern.size(), nn = name.size();
    std::vector<std::vector<char>> match(np + 1, std::vector<char>(nn + 1, 0));
    match[np][nn] = 1;
    for (size_t i = np; i-- > 0;) {
        for (size_t j = nn + 1; j-- > 0;) {
            if (pattern[i] == '*') {
                match[i][j] = match[i + 1][j] || (j < nn && match[i][j + 1]);
            } else if (j < nn && (pattern[i] == '?' || pattern[i] == name[j])) {
                match[i][j] = match[i + 1][j + 1];
            }
        }
    }
    return match[0][0] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* split = static_cast<const char*>(std::memchr(bytes, '\0', size));
    if (split == nullptr) {
        return 0;
    }
    std::string pattern(bytes, split);
    std::string name(split + 1, bytes + size);
    name = name.c_str();  // up to a second NUL

    const bool got = kvfileop_detail::_fnmatch(pattern.c_str(), name.c_str());
    if (pattern.size() <= 64 && name.size() <= 256) {
        FUZZ_CHECK(got == ReferenceMatch(pattern, name));
    }
    if (!kvfileop_detail::isWildcardName(pattern.c_str())) {
        FUZZ_CHECK(got == (pattern == name));
    }
    // Every name matches itself and "*"; a lone "?" takes exactly one byte.
    FUZZ_CHECK(kvfileop_detail::_fnmatch("*", name.c_str()));
    FUZZ_CHECK(kvfileop_detail::_fnmatch("?", name.c_str()) == (name.size() == 1));
    if (!kvfileop_detail::isWildcardName(name.c_str())) {
        FUZZ_CHECK(kvfileop_detail::_fnmatch(name.c_str(), name.c_str()));
    }
    return 0;
}
