// The update procedure: check that the hot fix fits the installed build, then
// install it into a new version folder or in place, and restart the tasks.
//
// A new version folder is filled under a staging name that no version search
// takes for a version and is given its real name only when complete; a fill
// that fails removes the staging folder and fails the run before anything in
// the Domino program folders, the link or the tasks is touched. In place, the
// backup is made once (the saved orvpatch.ini, written last, marks it
// complete) and a failure to back up or to put the new files in place fails
// the run with the product files as they were.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char kEnvironmentVerdict[] =
    "The environment doesn't pass the checking. Please check the log "
    "/opt/varnel/ORV/orvpatch.log for detail info.";
const char kBuildNumberVerdict[] =
    "Cannot get the build number of current ORV. Please check the log "
    "/opt/varnel/ORV/orvpatch.log for detail info.";
const char kNewerVerdict[] =
    "The current version is newer than that in this package. Please check the log "
    "/opt/varnel/ORV/orvpatch.log for detail info.";
const char kDepentVerdict[] =
    "The depent build isn't installed in the current server. Please check the log "
    "/opt/varnel/ORV/orvpatch.log for detail info.";
const char kIncompleteVerdict[] =
    "The hot fix cannot be installed completely. Please check the log "
    "/opt/varnel/ORV/orvpatch.log for detail info.";
const char kSuccessBanner[] =
    "=============================Update ORV successfully=======================";

// Staging folders are named ".orvpatch-staging-B<build>.tmp" in program/: the
// leading '.' is the one character the version parser skips, so the rest
// reads as no number, and the text after the last '.' is no build number.
const char kStagingPrefix[] = ".orvpatch-staging-B";
const char kStagingSuffix[] = ".tmp";

int Fail(const char* verdict) {
    procedure::PrintVerdict(verdict);
    return ORV_RUN_FAILED;
}

bool IsStagingName(const std::string& name) {
    const size_t prefix = sizeof kStagingPrefix - 1;
    const size_t suffix = sizeof kStagingSuffix - 1;
    return name.size() >= prefix + suffix && name.compare(0, prefix, kStagingPrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, kStagingSuffix) == 0;
}

// Removes one entry: a real folder with its tree, anything else (a file, a
// link, whatever it points at) by its own name only.
void RemoveEntry(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        KvORVFileOpUtil::xunlink(path.c_str(), nullptr, nullptr);
    } else {
        ::unlink(path.c_str());
    }
}

// Removes the staging folders that an interrupted update left in program/.
void RemoveLeftoverStaging(const std::string& programFolder) {
    DIR* dir = opendir(programFolder.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> leftovers;
    while (struct dirent* entry = readdir(dir)) {
        if (IsStagingName(entry->d_name)) {
            leftovers.push_back(programFolder + entry->d_name);
        }
    }
    closedir(dir);
    for (const std::string& path : leftovers) {
        LogDebugMessage(1, "Info: Remove the staging folder (%s) left by an interrupted update.",
                        path.c_str());
        RemoveEntry(path);
    }
}

// Fills the staging folder with the current version and the package's files
// and gives it the new version folder's name. False (logged) when any part
// of that fails.
bool FillNewVersionFolder(const InstallInfo& package, const _PatchSetting& setting,
                          const std::string& current, const std::string& staging,
                          const std::string& newFolder) {
    std::string source = current + "/*";
    int rc = KvORVFileOpUtil::xcopy(source.c_str(), staging.c_str(), true, nullptr, nullptr);
    if (rc != FOP_OK) {
        LogDebugMessage(1,
                        "Error: Cannot copy the current version (%s) into (%s). Error code is %d.",
                        current.c_str(), staging.c_str(), rc);
        return false;
    }
    for (const std::string& name : setting.Files) {
        if (name.empty()) {
            continue;  // an empty name (a doubled or trailing comma) names no file
        }
        if (!IsPackageNameSafe(name)) {
            LogDebugMessage(1,
                            "Error: The file name (%s) leaves its folder, so it is not installed.",
                            name.c_str());
            continue;
        }
        std::string from = package.strPackagePath + "/" + name;
        std::string to = staging + name;
        rc = KvORVFileOpUtil::copy(from.c_str(), to.c_str(), true, nullptr, nullptr);
        if (rc != FOP_OK) {
            LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d.",
                            from.c_str(), to.c_str(), rc);
            return false;
        }
    }
    if (!KvORVFileOpUtil::rename(staging.c_str(), newFolder.c_str())) {
        int error = errno;
        LogDebugMessage(1, "Error: Cannot rename the folder (%s) to (%s), error code (%d).",
                        staging.c_str(), newFolder.c_str(), error);
        return false;
    }
    return true;
}

int InstallIntoNewFolder(InstallInfo& package, _PatchSetting& setting, const std::string& current,
                         const std::string& newFolder) {
    std::string staging = Format("%s/program/%s%d%s/", g_szORVPatch, kStagingPrefix,
                                 setting.BuildNumber, kStagingSuffix);
    if (!FillNewVersionFolder(package, setting, current, staging, newFolder)) {
        RemoveEntry(staging.substr(0, staging.size() - 1));
        LogDebugMessage(
            1, "Error: The new version folder (%s) cannot be filled; nothing is installed.",
            newFolder.c_str());
        return Fail(kIncompleteVerdict);
    }

    ParseORVInsINI(updateORVExt, nullptr);
    std::vector<char> folderText(newFolder.begin(), newFolder.end());
    folderText.push_back('\0');
    ChangeOwner(folderText.data());
    procedure::PointLatestAt(newFolder);
    CopyReadMe(package);
    if (setting.UpdateLoader != 0) {
        ParseORVInsINI(UpdateLoader, nullptr);
    }
    ParseORVInsINI(RestartAllORV, nullptr);
    LogDebugMessage(1, "%s", kSuccessBanner);
    return ORV_RUN_OK;
}

int InstallInPlace(InstallInfo& package, _PatchSetting& setting, const std::string& current,
                   const std::string& backupFolder) {
    std::vector<char> currentText(current.begin(), current.end());
    currentText.push_back('\0');
    std::vector<char> backupText(backupFolder.begin(), backupFolder.end());
    backupText.push_back('\0');

    LogDebugMessage(1, "Copy replace the file in ORV program with the new one.");
    std::string savedSettings = backupFolder + "/orvpatch.ini";
    if (KvORVFileOpUtil::isExist(savedSettings.c_str())) {
        // A complete backup of the original files is there already: a second
        // one would save the fixed files over it.
        LogDebugMessage(1, "Info: The back up in (%s) is complete already, so it is kept.",
                        backupFolder.c_str());
    } else {
        LogDebugMessage(1, "Back up the dlls from (%s) to (%s)", current.c_str(),
                        backupFolder.c_str());
        bool saved = CopyAllDlls(current.c_str(), backupText.data()) != 0;
        if (saved) {
            std::string settings = package.strPackagePath + "/orvpatch.ini";
            int rc = KvORVFileOpUtil::copy(settings.c_str(), savedSettings.c_str(), true, nullptr,
                                           nullptr);
            if (rc != FOP_OK) {
                LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d.",
                                settings.c_str(), savedSettings.c_str(), rc);
                saved = false;
            }
        }
        if (!saved) {
            KvORVFileOpUtil::xunlink(backupFolder.c_str(), nullptr, nullptr);
            LogDebugMessage(1, "Error: Cannot back up the files into (%s); nothing is installed.",
                            backupFolder.c_str());
            return Fail(kIncompleteVerdict);
        }
    }

    RenameAllDlls(currentText.data());
    if (CopyAllDlls(package.strPackagePath.c_str(), currentText.data()) == 0) {
        RestoreRenamedDlls(currentText.data());
        LogDebugMessage(1,
                        "Error: Cannot put the new files in place in (%s); the old files are "
                        "renamed back.",
                        current.c_str());
        return Fail(kIncompleteVerdict);
    }
    ParseORVInsINI(updateORVExt, nullptr);
    if (setting.UpdateLoader != 0) {
        ParseORVInsINI(UpdateLoader, nullptr);
    }
    ParseORVInsINI(RestartAllORV, nullptr);
    KvORVSleep(5);
    RemoveAllRenamedDlls(currentText.data());
    LogDebugMessage(1, "%s", kSuccessBanner);
    return ORV_RUN_OK;
}

}  // namespace

int RunUpdate(InstallInfo& package, _PatchSetting& setting, const std::string& backupFolder) {
    if (CheckEnvironment(setting) == 0) {
        LogDebugMessage(1, "Doesn't pass the environment checking!");
        return Fail(kEnvironmentVerdict);
    }

    // The scan task's registration goes before the build checks, so it is
    // cleaned out even when one of them stops the update.
    ParseORVInsINI(removeKvmscan, nullptr);

    std::string newFolder = Format("%s/program/V3.0.0.%d/", g_szORVPatch, setting.BuildNumber);
    std::string current = procedure::CurrentVersionFolder();
    if (!procedure::HasBuildText(current)) {
        LogDebugMessage(1, "Cannot get the build number of current ORV. (%s)", current.c_str());
        return Fail(kBuildNumberVerdict);
    }
    std::string buildText = procedure::BuildText(current);
    LogDebugMessage(1, "The build number of current ORV is (%s)", buildText.c_str());
    int currentBuild = SaturatedAtoi(buildText.c_str());
    if (currentBuild >= setting.BuildNumber) {
        LogDebugMessage(1,
                        "The current version is newer than that in this package. So quit. "
                        "(Old,%s:New,%s)",
                        current.c_str(), newFolder.c_str());
        return Fail(kNewerVerdict);
    }
    if (setting.DepentBuild != 0 && setting.DepentBuild != currentBuild) {
        LogDebugMessage(1,
                        "The depent build isn't installed in the current server. (Current "
                        "Build,%d:Depent Build,%d)",
                        currentBuild, setting.DepentBuild);
        return Fail(kDepentVerdict);
    }

    RemoveLeftoverStaging(Format("%s/program/", g_szORVPatch));
    if (setting.CreateNewFolder != 0) {
        return InstallIntoNewFolder(package, setting, current, newFolder);
    }
    return InstallInPlace(package, setting, current, backupFolder);
}
