// A small reader for INI-style configuration files: section headers,
// name=value lines and an optional "[END]" mark. Read once, looked up often.
#pragma once

#include <memory>
#include <string>
#include <vector>

enum {
    IDD_ERR_ZERO = 0,
    IDD_ERR_INVALID_VALUE = -100,
    IDD_ERR_VALUE_NAME_OVERSIZE = -101,
    IDD_ERR_VALUE_OVERSIZE = -102,
    IDD_ERR_VALUE_NOTFOUND = -103,
    IDD_ERR_SECTION_NOTFOUND = -104,
    IDD_ERR_INIFILE_OPENFAILED = -105,
    IDD_ERR_NULL_ARGUMENT = -106,
};

// One name=value line.
struct IDD_Value {
    char name[64];    // at most 62 characters
    char value[256];  // at most 254 characters
};

// One section with its lines in file order (duplicates kept).
struct IDD_Section {
    char name[64];  // at most 62 characters
    std::vector<std::unique_ptr<IDD_Value>> values;
};

class KvIniReader {
  public:
    KvIniReader();
    ~KvIniReader();
    KvIniReader(const KvIniReader&) = delete;
    KvIniReader& operator=(const KvIniReader&) = delete;

    // Reads the file at `path`, which must be a regular file (anything else
    // is refused without being read, so it never blocks), and replaces the
    // content read before. IDD_ERR_INIFILE_OPENFAILED when it cannot be
    // opened or read to its end, with errno telling why (EISDIR for a
    // folder, EINVAL for other files that are not regular ones, EFBIG for
    // one longer than fileio::kLargestSettingsFile, which is not read); the
    // earlier content then stays.
    int open(const char* path);
    // Parses `content` as a file's bytes would be, and replaces the content
    // read before (IDD_ERR_ZERO), or keeps it when the bytes cannot be read.
    int openText(std::string content);
    int close();
    int getValue(const char* section, const char* key, char* out, int* ioLen);
    int getValueAt(const char* section, const char* key, char* out, int* ioLen, int index);
    int getValueCount(const char* section, const char* key);
    void dumpStdout();

  private:
    void _clearSectionList();
    int _suckValue(char* line, char* name, char* value);
    static void _removeLineEnds(char* line);
    static void _removeEndMark(char* line, char mark);

    std::vector<std::unique_ptr<IDD_Section>> m_sections;
};

// The name of a result code; "IDD_ERR_Unknown" for codes without one. Never null.
char* getIDDErrDesc(int code);
