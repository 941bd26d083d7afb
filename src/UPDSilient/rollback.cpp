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

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/run_context.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

namespace {

// Counts of the two waiting loops, and their pause in seconds.
const int kTries = 10;
const int kTryPause = 10;

void StopAll(RunContext& context) {
    Walk(context, [](const ORVInsInfo& info, const RunContext&) {
        StopTasks(info);
        return true;
    });
}

void LoadAll(RunContext& context) {
    Walk(context, [](const ORVInsInfo& info, const RunContext&) {
        LoadTasks(info);
        return true;
    });
}

int CountRunning(RunContext& context) {
    int running = 0;
    Walk(context, [&running](const ORVInsInfo& info, const RunContext&) {
        running += CountRunningTasks(info);
        return true;
    });
    return running;
}

int RollbackInPlace(RunContext& context, const RollbackChoice& choice) {
    LogDebugMessage(1, "Copy replace the file in ORV program with the new one.");
    if (!CarryOut(choice.decision)) {
        return ORV_RUN_FAILED;
    }
    LogPackageFileRemarks(*context.setting);
    const std::string& current = choice.current;
    if (!SwapFilesIn(context.fileTable, context.packageFolder, current)) {
        LogDebugMessage(1,
                        "Error: Cannot put the saved files back into (%s); the hot fix files are "
                        "renamed back and the back up folder (%s) is kept.",
                        current.c_str(), context.packageFolder.c_str());
        return ORV_RUN_FAILED;
    }
    Walk(context, [](const ORVInsInfo& info, const RunContext&) { return RestartTasks(info); });
    FinishSwap(context.fileTable, current);

    const std::string files = context.packageFolder + "/*";
    KvORVFileOpUtil::unlink(files.c_str(), nullptr, nullptr);
    const int rc = KvORVFileOpUtil::unlink(context.packageFolder.c_str(), nullptr, nullptr);
    LogDebugMessage(1, "Remove the old back up folder! (./FileGroup1)., error code [%d]", rc);
    return ORV_RUN_OK;
}

// Stops the tasks and waits for them to end; false (tasks loaded again) when
// they are still running after the last try.
bool StopAndWait(RunContext& context) {
    StopAll(context);
    for (int tries = kTries; tries > 0; --tries) {
        const int running = CountRunning(context);
        if (running == 0) {
            LogDebugMessage(1, "All ORV quit.");
            return true;
        }
        LogDebugMessage(1, "Waiting for terminating all ORV. %d ORV is running", running);
        KvORVSleep(kTryPause);
        StopAll(context);
    }
    LogDebugMessage(1, "Has try 10 times to stop ORV, but still failed, so give up.");
    LoadAll(context);
    return false;
}

// Moves the hot-fix folder to the removal name; false (link pointed back at
// the hot-fix folder, tasks loaded again) when it cannot be moved.
bool MoveAway(RunContext& context, const std::string& hotfixFolder, const std::string& removal) {
    for (int tries = kTries; tries > 0; --tries) {
        if (KvORVFileOpUtil::rename(hotfixFolder.c_str(), removal.c_str())) {
            LogDebugMessage(1, "Have delete all files in (%s), including itself..",
                            removal.c_str());
            return true;
        }
        const int error = errno;
        StopAll(context);
        LogDebugMessage(1, "Cannot rename the file (%s), error code (%d). Sleep 10 second.",
                        removal.c_str(), error);
        KvORVSleep(kTryPause);
    }
    LogDebugMessage(1, "Has try 10 times to delete the hot file, but still failed, so give up.");
    SwitchLatest(context.productRoot, hotfixFolder);
    LogDebugMessage(1, "Info: Point the link latest back at (%s).", hotfixFolder.c_str());
    LoadAll(context);
    return false;
}

int RollbackNewFolder(RunContext& context, const RollbackChoice& choice) {
    if (!CarryOut(choice.decision)) {
        return ORV_RUN_FAILED;
    }
    if (!StopAndWait(context)) {
        return ORV_RUN_FAILED;
    }

    const std::string removal = RemovalFolderPath(context.productRoot);
    KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);

    const std::string programFolder = ProgramFolderPath(context.productRoot);
    const std::string remaining =
        NewestRemainingVersion(programFolder, context.setting->BuildNumber);
    if (remaining.empty()) {
        LogDebugMessage(1,
                        "Error: There is no other version folder in (%s) for the link latest, so "
                        "return.",
                        programFolder.c_str());
        LoadAll(context);
        return ORV_RUN_FAILED;
    }
    if (SwitchLatest(context.productRoot, remaining + "/")) {
        LogDebugMessage(1, "Info: Point the link latest at (%s/).", remaining.c_str());
    } else {
        // The hot-fix folder must not go while latest still names it.
        LoadAll(context);
        return ORV_RUN_FAILED;
    }

    if (!MoveAway(context, choice.hotfixFolder, removal)) {
        return ORV_RUN_FAILED;
    }
    KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);
    LoadAll(context);
    return ORV_RUN_OK;
}

}  // namespace

int RunRollback(InstallInfo& package, _PatchSetting& setting) {
    RunContext context = MakeRunContext(package, setting);
    const RollbackChoice choice = DecideRollback(context);
    if (setting.CreateNewFolder == 0) {
        return RollbackInPlace(context, choice);
    }
    return RollbackNewFolder(context, choice);
}
