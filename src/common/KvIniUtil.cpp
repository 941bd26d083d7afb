// The INI reader: the whole file is read once into sections of name=value
// lines, then looked up by section and key. Nothing is trimmed, folded or
// unquoted; bad lines are skipped without a word (callers do the logging).
#include "common/KvIniUtil.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "UpdateORV/FileIo.h"

namespace {

// Line pieces are read through a buffer of this size, so a physical line
// longer than 1023 characters arrives in several pieces, each handled alone.
constexpr int kLineBufferSize = 1024;

// Sizes of the name and value arrays; at most size - 2 characters are kept.
constexpr size_t kNameSize = sizeof(IDD_Value::name);
constexpr size_t kValueSize = sizeof(IDD_Value::value);

// Copies `src` into `dst` with a limit of `limit` bytes including the NUL,
// so at most limit - 1 characters land; `limit` must be at least 1.
void CopyLimited(char* dst, const char* src, size_t limit) {
    size_t n = std::strlen(src);
    if (n > limit - 1) {
        n = limit - 1;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

const char kEndMark[] = "[END]";

}  // namespace

KvIniReader::KvIniReader() = default;

KvIniReader::~KvIniReader() {
    _clearSectionList();
}

void KvIniReader::_clearSectionList() {
    m_sections.clear();
}

// Removes at most two trailing CR or LF characters: CR LF, LF, CR and LF LF
// all vanish, a third line end stays.
void KvIniReader::_removeLineEnds(char* line) {
    for (int i = 0; i < 2; ++i) {
        size_t n = std::strlen(line);
        if (n == 0 || (line[n - 1] != '\r' && line[n - 1] != '\n')) {
            return;
        }
        line[n - 1] = '\0';
    }
}

// Cuts the line at its last `mark`: that character and everything after it go.
// A line without the mark stays as it is.
void KvIniReader::_removeEndMark(char* line, char mark) {
    char* last = std::strrchr(line, mark);
    if (last != nullptr) {
        *last = '\0';
    }
}

// Splits "name=value" at the first "=". `name` must hold 64 bytes and `value`
// 256. A name of 63 characters is kept as its first 62, one of 64 or more is
// refused; likewise a value of 255 is kept as 254, one of 256 or more refused.
int KvIniReader::_suckValue(char* line, char* name, char* value) {
    char* eq = std::strchr(line, '=');
    if (eq == nullptr) {
        return IDD_ERR_INVALID_VALUE;
    }
    size_t nameLen = static_cast<size_t>(eq - line);
    if (nameLen > kNameSize - 1) {
        return IDD_ERR_VALUE_NAME_OVERSIZE;
    }
    const char* rest = eq + 1;
    if (std::strlen(rest) > kValueSize - 1) {
        return IDD_ERR_VALUE_OVERSIZE;
    }
    // The name is copied with a limit of 63 bytes from the text before "=".
    size_t keep = nameLen < kNameSize - 2 ? nameLen : kNameSize - 2;
    std::memcpy(name, line, keep);
    name[keep] = '\0';
    CopyLimited(value, rest, kValueSize - 1);
    return IDD_ERR_ZERO;
}

int KvIniReader::open(const char* path) {
    if (path == nullptr) {
        return IDD_ERR_NULL_ARGUMENT;
    }
    // Only a regular file is read: a FIFO or a device in its place could
    // block the reader or never end (see fileio::OpenRegularForReading).
    // Nothing beyond fileio::kLargestSettingsFile is read: the content is
    // taken whole into memory first, and parsed from there.
    struct stat st;
    fileio::Fd fd = fileio::OpenRegularForReading(AT_FDCWD, path, st);
    if (!fd.valid()) {
        // The earlier content stays: a failed re-open must not lose it.
        return IDD_ERR_INIFILE_OPENFAILED;
    }
    std::string content;
    const bool tooLarge =
        static_cast<unsigned long long>(st.st_size) > fileio::kLargestSettingsFile;
    if (tooLarge || !fileio::ReadAll(fd.get(), content, fileio::kLargestSettingsFile)) {
        if (tooLarge) {
            errno = EFBIG;
        }
        return IDD_ERR_INIFILE_OPENFAILED;
    }
    fd.close();
    return openText(std::move(content));
}

int KvIniReader::openText(std::string content) {
    if (content.empty()) {
        _clearSectionList();
        return IDD_ERR_ZERO;  // no section (and a stream over no bytes may not open)
    }
    FILE* file = fmemopen(&content[0], content.size(), "r");
    if (file == nullptr) {
        return IDD_ERR_INIFILE_OPENFAILED;
    }
    // The file is parsed into a list of its own and replaces the content only
    // when it was read to its end (or to the end mark): a read error, such as
    // a folder given as the path, is reported like a file that cannot be
    // opened and keeps the earlier content, rather than passing for an empty
    // file.
    std::vector<std::unique_ptr<IDD_Section>> sections;
    std::unique_ptr<IDD_Section> current;
    char line[kLineBufferSize];
    char name[kNameSize];
    char value[kValueSize];
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        _removeLineEnds(line);
        if (std::strcmp(line, kEndMark) == 0) {
            break;
        }
        if (line[0] == '\0') {
            continue;
        }
        if (line[0] == '[') {
            // A "[" line without any "]" is not a header; it is skipped and
            // the section being filled goes on.
            if (std::strchr(line + 1, ']') == nullptr) {
                continue;
            }
            if (current) {
                sections.push_back(std::move(current));
            }
            current.reset(new IDD_Section());
            _removeEndMark(line + 1, ']');
            CopyLimited(current->name, line + 1, kNameSize - 1);
            continue;
        }
        if (!current) {
            continue;  // key lines before the first header belong to nothing
        }
        if (_suckValue(line, name, value) != IDD_ERR_ZERO) {
            continue;
        }
        std::unique_ptr<IDD_Value> entry(new IDD_Value());
        CopyLimited(entry->name, name, kNameSize - 1);
        CopyLimited(entry->value, value, kValueSize - 1);
        current->values.push_back(std::move(entry));
    }
    if (current) {
        sections.push_back(std::move(current));
    }
    bool readFailed = std::ferror(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (readFailed) {
        errno = readError;
        return IDD_ERR_INIFILE_OPENFAILED;
    }
    _clearSectionList();
    m_sections = std::move(sections);
    return IDD_ERR_ZERO;
}

int KvIniReader::close() {
    _clearSectionList();
    return IDD_ERR_ZERO;
}

int KvIniReader::getValue(const char* section, const char* key, char* out, int* ioLen) {
    return getValueAt(section, key, out, ioLen, 0);
}

int KvIniReader::getValueAt(const char* section, const char* key, char* out, int* ioLen,
                            int index) {
    if (section == nullptr || key == nullptr || out == nullptr || ioLen == nullptr) {
        return IDD_ERR_NULL_ARGUMENT;
    }
    // The copy limit is *ioLen - 1 bytes including the NUL. Below 2 that
    // limit is zero or negative and there is no room for even the NUL, so the
    // buffer is as unusable as a null one: refuse it with the same code and
    // leave `out` and `*ioLen` untouched.
    if (*ioLen < 2) {
        return IDD_ERR_NULL_ARGUMENT;
    }
    if (m_sections.empty()) {
        return IDD_ERR_SECTION_NOTFOUND;
    }
    for (const auto& sec : m_sections) {
        if (std::strcmp(sec->name, section) != 0) {
            continue;
        }
        // Only the first section of that name is searched.
        int seen = 0;
        for (const auto& val : sec->values) {
            if (std::strcmp(val->name, key) != 0) {
                continue;
            }
            if (seen == index) {
                CopyLimited(out, val->value, static_cast<size_t>(*ioLen - 1));
                *ioLen = static_cast<int>(std::strlen(out));
                return IDD_ERR_ZERO;
            }
            ++seen;
        }
        return IDD_ERR_VALUE_NOTFOUND;
    }
    return IDD_ERR_SECTION_NOTFOUND;
}

int KvIniReader::getValueCount(const char* section, const char* key) {
    if (section == nullptr || key == nullptr) {
        return IDD_ERR_NULL_ARGUMENT;
    }
    for (const auto& sec : m_sections) {
        if (std::strcmp(sec->name, section) != 0) {
            continue;
        }
        int count = 0;
        for (const auto& val : sec->values) {
            if (std::strcmp(val->name, key) == 0) {
                ++count;
            }
        }
        return count;
    }
    return IDD_ERR_SECTION_NOTFOUND;
}

void KvIniReader::dumpStdout() {
    for (const auto& sec : m_sections) {
        std::printf("[%s]\n", sec->name);
        for (const auto& val : sec->values) {
            std::printf("%s=%s\n", val->name, val->value);
        }
        std::printf("\n");
    }
    std::printf("[END]\n");
}

char* getIDDErrDesc(int code) {
    // Writable arrays, because the interface hands out char*.
    static char zero[] = "IDD_ERR_ZERO";
    static char invalidValue[] = "IDD_ERR_INVALID_VALUE";
    static char nameOversize[] = "IDD_ERR_VALUE_NAME_OVERSIZE";
    static char valueOversize[] = "IDD_ERR_VALUE_OVERSIZE";
    static char valueNotFound[] = "IDD_ERR_VALUE_NOTFOUND";
    static char sectionNotFound[] = "IDD_ERR_SECTION_NOTFOUND";
    static char openFailed[] = "IDD_ERR_INIFILE_OPENFAILED";
    static char unknown[] = "IDD_ERR_Unknown";
    switch (code) {
        case IDD_ERR_ZERO:
            return zero;
        case IDD_ERR_INVALID_VALUE:
            return invalidValue;
        case IDD_ERR_VALUE_NAME_OVERSIZE:
            return nameOversize;
        case IDD_ERR_VALUE_OVERSIZE:
            return valueOversize;
        case IDD_ERR_VALUE_NOTFOUND:
            return valueNotFound;
        case IDD_ERR_SECTION_NOTFOUND:
            return sectionNotFound;
        case IDD_ERR_INIFILE_OPENFAILED:
            return openFailed;
        default:
            return unknown;  // IDD_ERR_NULL_ARGUMENT has no text of its own
    }
}
