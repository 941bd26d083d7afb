// Version folder names: parsing any name, and the newest-folder search over a
// few folders named by the input (one name a line; a line whose first byte is
// "!" names a plain file, which the search must pass over).
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/KvFileOpUtil.h"

namespace {

typedef std::array<int, 4> Quad;

std::string g_root;  // holds program/

Quad Parse(const std::string& path) {
    Quad q{{-7, -7, -7, -7}};
    KvParseVersionStr(path.c_str(), &q[0], &q[1], &q[2], &q[3]);
    return q;
}

void CheckParse(const std::string& name) {
    const Quad q = Parse(name);
    if (name.find_first_of("/\\") == std::string::npos) {
        // The folder part and one trailing separator never change the answer.
        FUZZ_CHECK(Parse("/opt/varnel/ORV/program/" + name) == q);
        FUZZ_CHECK(Parse(name + "/") == q);
        FUZZ_CHECK(Parse("program\\" + name) == q);
    }
    // Any output may be left out.
    int only = -7;
    KvParseVersionStr(name.c_str(), nullptr, nullptr, nullptr, &only);
    FUZZ_CHECK(only == q[3]);
    // A name written the way the product writes it reads back as written.
    const Quad w{{q[0] & 0x7fffffff, q[1] & 0xffff, q[2] & 0xff, q[3] & 0x7fffffff}};
    FUZZ_CHECK(Parse("V" + std::to_string(w[0]) + "." + std::to_string(w[1]) + "." +
                     std::to_string(w[2]) + "." + std::to_string(w[3])) == w);
    // Three numbers: the last is the build number.
    FUZZ_CHECK(Parse("V" + std::to_string(w[1]) + "." + std::to_string(w[2]) + "." +
                     std::to_string(w[3])) == (Quad{{w[1], w[2], 0, w[3]}}));
}

bool UsableName(const std::string& name) {
    return !name.empty() && name.size() < 200 && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

void RemoveEntries(const std::string& dir) {
    std::vector<std::string> made;
    KvORVDirList list((dir + "/").c_str());
    while (list.hasNext()) {
        made.push_back(list.getNext());
    }
    for (const std::string& path : made) {
        if (rmdir(path.c_str()) != 0) {
            unlink(path.c_str());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = fuzzsupport::ScratchPath("versions");
    mkdir(g_root.c_str(), 0700);
    mkdir((g_root + "/program").c_str(), 0700);
    std::atexit([] {
        RemoveEntries(g_root + "/program");
        rmdir((g_root + "/program").c_str());
        rmdir(g_root.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size() && lines.size() < 6;) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? end : end - start).c_str());
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    for (const std::string& line : lines) {
        CheckParse(line);
    }

    // The newest folder: the greatest parsed name among the folders (the
    // lister hands out every folder, whatever its name); none when that
    // name's first number is 0.
    const std::string program = g_root + "/program";
    RemoveEntries(program);
    Quad best{{0, 0, 0, 0}};
    bool any = false;
    for (const std::string& line : lines) {
        const bool asFile = !line.empty() && line[0] == '!';
        const std::string name = asFile ? line.substr(1) : line;
        if (!UsableName(name)) {
            continue;
        }
        const std::string path = program + "/" + name;
        if (asFile) {
            std::ofstream(path).put('x');
            continue;
        }
        if (mkdir(path.c_str(), 0700) != 0) {
            continue;
        }
        const Quad q = Parse(path);
        if (q > best) {
            best = q;
            any = true;
        }
    }
    char out[4096];
    const char* got = GetLatestPathN(g_root.c_str(), "program", out, sizeof out);
    if (!any || best[0] == 0) {
        FUZZ_CHECK(got == nullptr);
    } else {
        FUZZ_CHECK(got == out);
        FUZZ_CHECK(Parse(out) == best);
        struct stat st;
        FUZZ_CHECK(stat(out, &st) == 0 && S_ISDIR(st.st_mode));
        // A buffer one byte too short gives no path rather than a cut one.
        const size_t need = std::strlen(out) + 1;
        std::vector<char> small(need - 1, 'x');
        FUZZ_CHECK(GetLatestPathN(g_root.c_str(), "program", small.data(),
                                  static_cast<unsigned>(small.size())) == nullptr);
        FUZZ_CHECK(small[0] == '\0');
    }
    return 0;
}
