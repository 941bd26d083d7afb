// The product's files in each Domino program folder: the extension manager
// liborvext.so and the seven task executables, all copied out of the newest
// version folder, the old ones kept under backup names.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

const char* szaLoader[7] = {"orvreal", "orvemf", "orvmon", "orvsch", "orvupd", "orvsupp", "orvdbs"};

namespace {

// Room for the newest version folder's path, larger than any the product composes.
const unsigned kPathBufferSize = 8192;

const char kExtension[] = "liborvext.so";

// Draws of a backup name before giving up; only a folder crowded with
// backups could use them all.
const int kBackupNameDraws = 10000;

bool NameTaken(const std::string& name) {
    struct stat st;
    return ::lstat(name.c_str(), &st) == 0;
}

}  // namespace

int updateORVExt(ORVInsInfo* info, void* /*context*/) {
    LogDebugMessage(1, "Info: Begin updating extension manager.");
    SavedWorkingFolder saved;

    char latest[kPathBufferSize] = "";
    const char* found = GetLatestPathN(g_szORVPatch, "program", latest, sizeof(latest));
    // Without a version folder there is no source: a path the search left
    // behind (a V0.x folder) or a library at the top of the file system is
    // never installed.
    std::string source = std::string(found != nullptr ? latest : "") + "/" + kExtension;
    if (found == nullptr || !KvORVFileOpUtil::isExist(source.c_str())) {
        LogDebugMessage(1, "Error: The extension mananger doesn't exist. (%s)", source.c_str());
        return 1;
    }
    if (info == nullptr || ::chdir(info->strDominoBinPath.c_str()) != 0) {
        // The rename and the copy below work inside the program folder;
        // anywhere else they would move the wrong file.
        LogDebugMessage(1, "Error: Cannot change to folder (%s).",
                        info != nullptr ? info->strDominoBinPath.c_str() : "");
        return 1;
    }

    // Draw again while the name is taken, so that an earlier backup (two runs
    // within one second draw the same first number) is never overwritten.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    std::string backup;
    bool haveName = false;
    for (int draw = 0; draw < kBackupNameDraws && !haveName; ++draw) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s_%d", kExtension, std::rand());
        backup = name;
        haveName = !NameTaken(backup);
    }
    if (!haveName) {
        LogDebugMessage(1, "Error: Cannot find a free backup name for (%s) in (%s).", kExtension,
                        info->strDominoBinPath.c_str());
        return 1;
    }
    KvORVFileOpUtil::rename(kExtension, backup.c_str());
    KvORVFileOpUtil::copy(source.c_str(), "./liborvext.so", true, nullptr, nullptr);
    LogDebugMessage(1, "Info: Have updated extension manager.");
    return 1;
}

int UpdateLoader(ORVInsInfo* info, void* /*context*/) {
    char latest[kPathBufferSize] = "";
    const char* found = GetLatestPathN(g_szORVPatch, "program", latest, sizeof(latest));
    std::string bin = info != nullptr ? info->strDominoBinPath : std::string();
    LogDebugMessage(1, "Info: Update loader from (%s) to (%s).", latest, bin.c_str());
    if (info == nullptr) {
        return 1;
    }
    if (found == nullptr) {
        // Without a version folder the source would be "/loader" at the top
        // of the file system: the task executables are left as they are.
        LogDebugMessage(1,
                        "Error: There is no version folder in (%s/program), so no loader is "
                        "updated.",
                        g_szORVPatch);
        return 1;
    }
    const std::string source = std::string(latest) + "/loader";
    for (const char* task : szaLoader) {
        std::string target = bin + "/" + task;
        std::string backup = target + "_1";
        ::unlink(backup.c_str());
        int renamed = ::rename(target.c_str(), backup.c_str());
        LogDebugMessage(1, "rename from (%s) to (%s), error code is %d.", target.c_str(),
                        backup.c_str(), renamed);
        int copied = KvORVFileOpUtil::copy(source.c_str(), target.c_str(), true, nullptr, nullptr);
        LogDebugMessage(1, "Info: copy the file(%s) to (%s). Error code is %d.", source.c_str(),
                        target.c_str(), copied);
        SetProductPermissions(target, false);
    }
    return 1;
}
