// The opening both run modes share: find the registered installations, learn
// the product root, read the package settings and form the backup folder path.
#include <list>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/run_context.h"
#include "UpdateORV/debug.h"

namespace {

bool Refuse(const char* logLine) {
    LogDebugMessage(1, "%s", logLine);
    PrintVerdict(VerdictText(kNotInstalledProblem));
    return false;
}

}  // namespace

bool RunOpening(std::list<ORVInsInfo>& installs, InstallInfo& package, _PatchSetting& setting,
                std::string& backupFolder) {
    package.strPackagePath = kPackageFolder;

    if (ParseORVInsINI(CollectInstallInfo, &installs) != 0) {
        return Refuse("Parsing orvsys.ini error.");
    }
    if (installs.empty()) {
        return Refuse("No ORV installed.");
    }
    LogDebugMessage(1, "There is %d ORV installed in current system!",
                    static_cast<int>(installs.size()));

    // A package whose settings cannot be read goes on with the values read so
    // far; a build number of 0 then stops the procedures at their checks.
    ReadConfiguration(package, setting);
    ReadFileList(setting);

    backupFolder = BackupFolderPath(g_szORVPatch, setting.BuildNumber);
    return true;
}
