// The rollback procedure: take an installed hot fix back out, by removing the
// version folder it created (with the tasks stopped) or by putting the saved
// files back over the current version folder.
//
// Before the hot-fix folder is moved away, program/latest is pointed at the
// newest version folder that stays, so it never names a removed folder; when
// the folder cannot be moved, the link is pointed back at it. An in-place
// rollback that cannot put every saved file back renames the moved-aside
// files back and keeps the backup.
#include <cerrno>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/numbers.h"
#include "UPDSilient/procedure_common.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

using procedure::Format;

namespace {

const int kTries = 10;

struct Version {
    int part[4] = {0, 0, 0, 0};
    bool operator>(const Version& other) const {
        for (int i = 0; i < 4; ++i) {
            if (part[i] != other.part[i]) {
                return part[i] > other.part[i];
            }
        }
        return false;
    }
};

// Counts the entries of program/ that are folders whose text after the last
// '.' reads as a number above 0.
int CountHotfixes(const std::string& programFolder) {
    int count = 0;
    KvORVDirList list(programFolder.c_str());
    while (list.hasNext()) {
        std::string path = list.getNext();
        if (KvORVFileOpUtil::isDir(path.c_str()) && procedure::HasBuildText(path) &&
            SaturatedAtoi(procedure::BuildText(path).c_str()) > 0) {
            ++count;
        }
    }
    return count;
}

// The newest version folder of program/ other than the hot-fix folder and the
// removal name, chosen as the newest-folder search chooses (the first listed
// of equal ones); empty when there is none.
std::string NewestRemainingVersion(const std::string& programFolder, int hotfixBuild) {
    const std::string hotfixName = Format("V3.0.0.%d", hotfixBuild);
    Version best;
    std::string chosen;
    KvORVDirList list((programFolder + "V*").c_str());
    while (list.hasNext()) {
        std::string path = list.getNext();
        std::string name = KvORVFileOpUtil::getFileName(path.c_str());
        if (name == hotfixName || name == "V3.0.0.0000" || !KvORVFileOpUtil::isDir(path.c_str())) {
            continue;
        }
        Version v;
        KvParseVersionStr(path.c_str(), &v.part[0], &v.part[1], &v.part[2], &v.part[3]);
        if (v > best) {
            best = v;
            chosen = path;
        }
    }
    return best.part[0] != 0 ? chosen : std::string();
}

int RollbackInPlace(InstallInfo& package, const std::string& current) {
    LogDebugMessage(1, "Copy replace the file in ORV program with the new one.");
    if (current.empty()) {
        // Without a version folder the saved files would be put below "/".
        LogDebugMessage(1, "Error: There is no version folder in (%s/program), so return.",
                        g_szORVPatch);
        return ORV_RUN_FAILED;
    }
    std::vector<char> currentText(current.begin(), current.end());
    currentText.push_back('\0');

    RenameAllDlls(currentText.data());
    if (CopyAllDlls(package.strPackagePath.c_str(), currentText.data()) == 0) {
        RestoreRenamedDlls(currentText.data());
        LogDebugMessage(1,
                        "Error: Cannot put the saved files back into (%s); the hot fix files are "
                        "renamed back and the back up folder (%s) is kept.",
                        current.c_str(), package.strPackagePath.c_str());
        return ORV_RUN_FAILED;
    }
    ParseORVInsINI(RestartAllORV, nullptr);
    KvORVSleep(5);
    RemoveAllRenamedDlls(currentText.data());

    std::string files = package.strPackagePath + "/*";
    KvORVFileOpUtil::unlink(files.c_str(), nullptr, nullptr);
    int rc = KvORVFileOpUtil::unlink(package.strPackagePath.c_str(), nullptr, nullptr);
    LogDebugMessage(1, "Remove the old back up folder! (./FileGroup1)., error code [%d]", rc);
    return ORV_RUN_OK;
}

// Stops the tasks and waits for them to end; false (tasks loaded again) when
// they are still running after the last try.
bool StopTasks() {
    ParseORVInsINI(StopAllORV, nullptr);
    for (int tries = kTries; tries > 0; --tries) {
        int running = 0;
        ParseORVInsINI(GetRunningORVNum, &running);
        if (running == 0) {
            LogDebugMessage(1, "All ORV quit.");
            return true;
        }
        LogDebugMessage(1, "Waiting for terminating all ORV. %d ORV is running", running);
        KvORVSleep(10);
        ParseORVInsINI(StopAllORV, nullptr);
    }
    LogDebugMessage(1, "Has try 10 times to stop ORV, but still failed, so give up.");
    ParseORVInsINI(LoadAllORV, nullptr);
    return false;
}

// Moves the hot-fix folder to the removal name; false (link pointed back at
// the hot-fix folder, tasks loaded again) when it cannot be moved.
bool MoveAway(const std::string& hotfixFolder, const std::string& removal) {
    for (int tries = kTries; tries > 0; --tries) {
        if (KvORVFileOpUtil::rename(hotfixFolder.c_str(), removal.c_str())) {
            LogDebugMessage(1, "Have delete all files in (%s), including itself..",
                            removal.c_str());
            return true;
        }
        int error = errno;
        ParseORVInsINI(StopAllORV, nullptr);
        LogDebugMessage(1, "Cannot rename the file (%s), error code (%d). Sleep 10 second.",
                        removal.c_str(), error);
        KvORVSleep(10);
    }
    LogDebugMessage(1, "Has try 10 times to delete the hot file, but still failed, so give up.");
    procedure::PointLatestAt(hotfixFolder);
    LogDebugMessage(1, "Info: Point the link latest back at (%s).", hotfixFolder.c_str());
    ParseORVInsINI(LoadAllORV, nullptr);
    return false;
}

int RollbackNewFolder(const _PatchSetting& setting, const std::string& current) {
    std::string hotfixFolder = Format("%s/program/V3.0.0.%d/", g_szORVPatch, setting.BuildNumber);
    if (!KvORVFileOpUtil::isDir(hotfixFolder.c_str())) {
        LogDebugMessage(1,
                        "The hotfix isn't installed, the folder isn't a folder or doesn't exist. "
                        "(%s)",
                        hotfixFolder.c_str());
        return ORV_RUN_FAILED;
    }
    if (!procedure::HasBuildText(current)) {
        LogDebugMessage(1, "Cannot get the build number of current ORV. (%s)", current.c_str());
        return ORV_RUN_FAILED;
    }
    std::string buildText = procedure::BuildText(current);
    LogDebugMessage(1, "The build number of current ORV is (%s)", buildText.c_str());
    if (SaturatedAtoi(buildText.c_str()) > setting.BuildNumber) {
        LogDebugMessage(1,
                        "There is newer HF applied, so return, the build number of current ORV is "
                        "(%s)",
                        buildText.c_str());
        return ORV_RUN_FAILED;
    }

    std::string programFolder = Format("%s/program/", g_szORVPatch);
    int count = CountHotfixes(programFolder);
    if (count <= 1) {
        LogDebugMessage(1, "There is only one folder matching the pattern, so return. (%s)",
                        programFolder.c_str());
        return ORV_RUN_FAILED;
    }
    LogDebugMessage(1, "There %d hotfixes installed.", count);

    if (!StopTasks()) {
        return ORV_RUN_FAILED;
    }

    std::string removal = Format("%s/program/V3.0.0.0000", g_szORVPatch);
    KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);

    std::string remaining = NewestRemainingVersion(programFolder, setting.BuildNumber);
    if (remaining.empty()) {
        LogDebugMessage(1,
                        "Error: There is no other version folder in (%s) for the link latest, so "
                        "return.",
                        programFolder.c_str());
        ParseORVInsINI(LoadAllORV, nullptr);
        return ORV_RUN_FAILED;
    }
    procedure::PointLatestAt(remaining + "/");
    LogDebugMessage(1, "Info: Point the link latest at (%s/).", remaining.c_str());

    if (!MoveAway(hotfixFolder, removal)) {
        return ORV_RUN_FAILED;
    }
    KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);
    ParseORVInsINI(LoadAllORV, nullptr);
    return ORV_RUN_OK;
}

}  // namespace

int RunRollback(InstallInfo& package, _PatchSetting& setting) {
    std::string current = procedure::CurrentVersionFolder();
    if (setting.CreateNewFolder == 0) {
        return RollbackInPlace(package, current);
    }
    return RollbackNewFolder(setting, current);
}
