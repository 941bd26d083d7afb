// Character types, separators, wildcards, name splitting and the existence
// tests of the file operations library.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"

namespace kvfileop_detail {

namespace {
int s_chartype = 0;
}

int GetCurrentCharType() {
    return s_chartype;
}

void SetCurrentCharType(int type) {
    s_chartype = type;
}

bool IsLeadingByteOfDBC(char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    switch (s_chartype) {
        case 932:
            return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        case 936:
        case 949:
        case 950:
            return b >= 0x81 && b <= 0xFE;
        default:
            return false;
    }
}

bool IsTrailingByteOfDBC(const char* str, const char* p) {
    if (str == nullptr || p == nullptr || p < str || s_chartype == 0 ||
        static_cast<unsigned char>(*p) < 0x40) {
        return false;
    }
    // Walk whole characters from the start: p is a trailing byte exactly when
    // a lead byte stands right before it on a character boundary.
    const size_t len = std::strlen(str);
    size_t count = 0;
    const char* walk = str;
    while (count < len) {
        if (walk == p) {
            return false;
        }
        if (IsLeadingByteOfDBC(*walk)) {
            if (walk + 1 == p) {
                return true;
            }
            walk += 2;
            count += 2;
        } else {
            walk += 1;
            count += 1;
        }
    }
    return false;
}

bool isPathSeparator(char c) {
    return c == '/';
}

void normalizeSeptor(std::string& path) {
    // One forward walk over whole characters; equivalent to testing every
    // backslash with IsTrailingByteOfDBC, without rescanning from the start.
    const size_t len = path.size();
    size_t i = 0;
    while (i < len) {
        if (s_chartype != 0 && IsLeadingByteOfDBC(path[i]) && i + 1 < len) {
            // The second byte belongs to the character; a backslash there
            // (0x5C >= 0x40) is part of it and stays.
            i += 2;
            continue;
        }
        if (path[i] == '\\') {
            path[i] = '/';
        }
        i += 1;
    }
}

bool isWildcardName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    return std::strpbrk(name, "*?") != nullptr;
}

bool _charequal(char a, char b) {
    return a == b;
}

bool _fnmatch(const char* pattern, const char* name) {
    if (pattern == nullptr || name == nullptr) {
        return false;
    }
    // Iterative matching with one remembered star: when a later part fails,
    // the last star takes one more byte and matching resumes behind it. A
    // failed "*" or "?" falling back to a literal match of the same byte is
    // already covered by the star taking that byte or "?" consuming it, so
    // the answers equal those of full backtracking, in time at most
    // proportional to name length times pattern length.
    const char* p = pattern;
    const char* s = name;
    const char* starP = nullptr;  // the pattern behind the last star
    const char* starS = nullptr;  // where that star's run currently ends
    while (*s != '\0') {
        if (*p == '*') {
            while (*p == '*') {
                ++p;  // consecutive stars act as one
            }
            starP = p;
            starS = s;
            continue;
        }
        if (*p != '\0' && (*p == '?' || _charequal(*p, *s))) {
            ++p;
            ++s;
            continue;
        }
        if (starP == nullptr) {
            return false;
        }
        p = starP;
        s = ++starS;
    }
    while (*p == '*') {
        ++p;
    }
    return *p == '\0';
}

std::string::size_type LastSeparator(const std::string& path) {
    const char* str = path.c_str();
    for (std::string::size_type i = path.size(); i > 0; --i) {
        const char* at = str + i - 1;
        if (isPathSeparator(*at) && !IsTrailingByteOfDBC(str, at)) {
            return i - 1;
        }
    }
    return std::string::npos;
}

bool EndsWithSeparator(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    const char* last = path.c_str() + path.size() - 1;
    return isPathSeparator(*last) && !IsTrailingByteOfDBC(path.c_str(), last);
}

std::string getLastDirName(const char* path) {
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    const std::string text(path);
    const std::string::size_type last = LastSeparator(text);
    if (last == std::string::npos || last == 0) {
        return std::string();
    }
    const std::string::size_type prev = LastSeparator(text.substr(0, last));
    const std::string::size_type start = (prev == std::string::npos) ? 0 : prev + 1;
    std::string result = text.substr(start, last - start + 1);
    result[result.size() - 1] = '/';
    return result;
}

}  // namespace kvfileop_detail

using namespace kvfileop_detail;

bool KvORVFileOpUtil::isDirName(const char* path) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    return EndsWithSeparator(path);
}

std::string KvORVFileOpUtil::getDirName(const char* path) {
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    const std::string text(path);
    const std::string::size_type last = LastSeparator(text);
    if (last == std::string::npos) {
        return std::string();
    }
    // A separator in the first byte is the root folder: "/x" lies in "/".
    std::string result = text.substr(0, last + 1);
    result[last] = '/';
    return result;
}

std::string KvORVFileOpUtil::getFileName(const char* path) {
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    const std::string text(path);
    const std::string::size_type last = LastSeparator(text);
    if (last == std::string::npos) {
        return text;
    }
    return text.substr(last + 1);
}

bool KvORVFileOpUtil::exist(const char* path) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    // O_NONBLOCK: a FIFO without a writer must not hold the caller.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

bool KvORVFileOpUtil::isExist(const char* path) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    return access(path, F_OK) == 0;
}

bool KvORVFileOpUtil::isDir(const char* path) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    std::string s(path);
    // One trailing separator goes, but "/" itself stays the root folder.
    if (s.size() > 1 && EndsWithSeparator(s)) {
        s.erase(s.size() - 1);
    }
    struct stat st;
    if (stat(s.c_str(), &st) != 0 && stat(s.c_str(), &st) != 0) {
        return false;
    }
    return S_ISDIR(st.st_mode);
}
