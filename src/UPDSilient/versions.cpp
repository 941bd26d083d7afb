// Build numbers and version folders: parsing a version folder's name, finding
// the newest version folder, and pointing program/latest at a folder.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/numbers.h"
#include "UPDSilient/run_state.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

namespace {

typedef std::array<int, 4> Quad;

Quad ParseQuad(const char* path) {
    int a = 0, b = 0, c = 0, d = 0;
    KvParseVersionStr(path, &a, &b, &c, &d);
    return Quad{{a, b, c, d}};
}

const char kLatestLink[] = "/program/latest";
// Made beside the link and renamed over it. Its name parses as no version and
// holds no number after its last '.', so no folder search ever counts it.
const char kLatestTemp[] = "/program/.latest_new";

}  // namespace

void KvParseVersionStr(const char* path, int* first, int* second, int* third, int* fourth) {
    int read[4] = {0, 0, 0, 0};
    int count = 0;
    if (path != nullptr) {
        std::string work(path);
        if (!work.empty() && (work.back() == '/' || work.back() == '\\')) {
            work.pop_back();  // one trailing separator only
        }
        std::string::size_type sep = work.rfind('/');
        if (sep == std::string::npos) {
            sep = work.rfind('\\');
        }
        std::string name = (sep == std::string::npos) ? work : work.substr(sep + 1);
        if (!name.empty()) {
            // The first character (the "V") is skipped whatever it is; then
            // up to four numbers joined by "." are read.
            const char* p = name.c_str() + 1;
            while (count < 4 && ReadSaturatedInt(p, read[count])) {
                ++count;
                if (count < 4) {
                    if (*p != '.') {
                        break;
                    }
                    ++p;
                }
            }
        }
    }
    int a = 0, b = 0, c = 0, d = 0;
    switch (count) {
        case 1:
            a = read[0];
            break;
        case 2:
            a = read[0];
            b = read[1];
            break;
        case 3:  // the last number read is the build number
            a = read[0];
            b = read[1];
            d = read[2];
            break;
        case 4:
            a = read[0];
            b = read[1];
            c = read[2];
            d = read[3];
            break;
        default:
            break;
    }
    if (first != nullptr)
        *first = a;
    if (second != nullptr)
        *second = b;
    if (third != nullptr)
        *third = c;
    if (fourth != nullptr)
        *fourth = d;
}

NewestVersion FindNewestVersion(const std::string& root, const std::string& sub) {
    std::string pattern = root;
    if (pattern.empty() || (pattern.back() != '/' && pattern.back() != '\\')) {
        pattern += '/';
    }
    pattern += sub;
    // The folder itself, not "sub/V*": the lister hands out every folder
    // whatever the filter, and a folder that happens to be named "V*" would
    // otherwise be listed in place of "sub".
    pattern += '/';

    Quad best{{0, 0, 0, 0}};
    NewestVersion newest;
    KvORVDirList list(pattern.c_str());
    while (list.hasNext()) {
        std::string entry = list.getNext();
        if (!KvORVFileOpUtil::isDir(entry.c_str())) {
            continue;
        }
        Quad quad = ParseQuad(entry.c_str());
        if (quad > best) {  // equal ones do not replace: the first listed wins
            best = quad;
            newest.path = entry;
        }
    }
    newest.valid = best[0] != 0;
    return newest;
}

const char* GetLatestPathN(const char* root, const char* sub, char* out, unsigned outSize) {
    if (root == nullptr || sub == nullptr) {
        return nullptr;
    }
    const NewestVersion newest = FindNewestVersion(root, sub);
    if (newest.path.empty() || out == nullptr || outSize == 0) {
        return nullptr;
    }
    if (newest.path.size() >= outSize) {
        // A cut path would name some other folder: hand back none at all.
        out[0] = '\0';
        return nullptr;
    }
    std::memcpy(out, newest.path.c_str(), newest.path.size() + 1);
    return newest.valid ? out : nullptr;
}

bool SwitchLatest(const std::string& root, const std::string& target) {
    // The new link is made under a temporary name and renamed over the old
    // one, so there is never a moment without program/latest, and a failure
    // leaves the old link as it was. A failure is logged: otherwise nothing
    // would show that latest still names the old folder.
    const std::string link = root + kLatestLink;
    const std::string temp = root + kLatestTemp;
    const std::string problem = LatestSwitchProblem(root, target);
    if (!problem.empty()) {
        LogDebugMessage(1, "%s", problem.c_str());
        return false;
    }
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        LogDebugMessage(1, "Error: Cannot create the link (%s) to (%s). Error code is %d.",
                        temp.c_str(), target.c_str(), errno);
        return false;
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        LogDebugMessage(1, "Error: Cannot create the link (%s) to (%s). Error code is %d.",
                        link.c_str(), target.c_str(), error);
        return false;
    }
    // The switch itself survives a power loss.
    runstate::FlushFolderOf(link);
    LogDebugMessage(1, "Info: The link (%s) now names (%s).", link.c_str(), target.c_str());
    return true;
}

std::string LatestSwitchProblem(const std::string& root, const std::string& target) {
    const std::string link = root + kLatestLink;
    struct stat st;
    if (::lstat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Format("Error: Cannot create the link (%s) to (%s). Error code is %d.", link.c_str(),
                      target.c_str(), EISDIR);
    }
    return std::string();
}

void CreateLink(char* root, char* target) {
    if (root != nullptr && target != nullptr) {
        SwitchLatest(root, target);
    }
}
