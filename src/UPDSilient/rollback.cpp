// The rollback procedure: take an installed hot fix back out, by removing the
// version folder it created (with the tasks stopped) or by putting the saved
// files back over the current version folder.
//
// Before the hot-fix folder is moved away, program/latest is pointed at the
// newest version folder that stays, so it never names a removed folder; when
// the folder cannot be moved, the link is pointed back at it. An in-place
// rollback that cannot put every saved file back renames the moved-aside
// files back and keeps the backup.
//
// Once its checks have passed, a rollback records its progress in the
// product root (run_state.h), so that the next rollback of the same package
// finishes one that was killed: the new-folder way once the hot-fix folder
// is moved away (the removal name is deleted, the link checked, the tasks
// loaded), the in-place way once every saved file is back (the backup folder
// is renamed to a removal name before it is deleted, so a half-deleted
// backup is never taken for one to restore from).
#include <cerrno>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/ledger.h"
#include "UPDSilient/run_context.h"
#include "UPDSilient/run_state.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

namespace {

const char kRollbackSuccess[] =
    "=============================Rollback ORV successfully=======================";

// Counts of the two waiting loops, and their pause in seconds.
const int kTries = 10;
const int kTryPause = 10;

void StopAll(RunContext& context) {
    Walk(context, [](const ORVInsInfo& info, const RunContext& here) {
        StopTasks(info, here);
        return true;
    });
}

// Loads the tasks again everywhere; false when they do not all run.
bool LoadAll(RunContext& context) {
    bool all = true;
    Walk(context, [&all](const ORVInsInfo& info, const RunContext& here) {
        all = LoadTasks(info, here) && all;
        return true;
    });
    return all;
}

// The end of a rollback whose files are taken out: it fails when the tasks
// could not be started again everywhere.
int Finish(bool running) {
    if (!running) {
        LogDebugMessage(1,
                        "Error: The hot fix is taken out, but the ORV tasks do not run again in "
                        "the installations named above.");
        return ORV_RUN_FAILED;
    }
    return ORV_RUN_OK;
}

int CountRunning(RunContext& context) {
    int running = 0;
    Walk(context, [&running](const ORVInsInfo& info, const RunContext&) {
        running += CountRunningTasks(info);
        return true;
    });
    return running;
}

// Puts back the extension managers and task executables the update of
// `build` replaced, as the ledger recorded them. False when one could not be.
bool PutBackProgramFiles(const std::string& root, int build, const std::string& remaining) {
    const ledger::Ledger written = ledger::ReadFile(root);
    const ledger::Fix* fix = ledger::Find(written, build);
    if (fix == nullptr || fix->programFiles.empty()) {
        LogDebugMessage(1,
                        "Info: The ledger does not say what the hot fix %d did to the extension "
                        "managers and task executables; they are left as they are.",
                        build);
        return true;
    }
    return PutProgramFilesBack(*fix, remaining);
}

// The fix is out: its block leaves the ledger.
void Forget(const std::string& root, int build) {
    ledger::Ledger written = ledger::ReadFile(root);
    if (ledger::Drop(written, build)) {
        ledger::Write(root, written);
    }
}

// The name the backup folder is renamed to before it is deleted.
std::string BackupRemovalName(const std::string& packageFolder) {
    return packageFolder + ".removing";
}

// Deletes the backup folder of an in-place rollback: renamed to its removal
// name first, then deleted with everything in it.
void RemoveBackupFolder(const std::string& packageFolder) {
    const std::string removal = BackupRemovalName(packageFolder);
    int rc = FOP_OK;
    if (KvORVFileOpUtil::isDir(packageFolder.c_str())) {
        if (KvORVFileOpUtil::rename(packageFolder.c_str(), removal.c_str())) {
            runstate::FlushFolderOf(removal);
        } else {
            const std::string files = packageFolder + "/*";
            KvORVFileOpUtil::unlink(files.c_str(), nullptr, nullptr);
            rc = KvORVFileOpUtil::unlink(packageFolder.c_str(), nullptr, nullptr);
        }
    }
    if (KvORVFileOpUtil::isDir(removal.c_str())) {
        rc = KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);
    }
    LogDebugMessage(1, "Remove the old back up folder! (./FileGroup1)., error code [%d]", rc);
}

int RollbackInPlace(RunContext& context, const RollbackChoice& choice, runstate::Record& record,
                    bool& started) {
    LogDebugMessage(1, "Copy replace the file in ORV program with the new one.");
    if (!CarryOut(choice.decision)) {
        return ORV_RUN_FAILED;
    }
    started = true;
    runstate::Write(context.productRoot, record);
    runstate::SweepLeftovers(context.productRoot);
    runstate::SweepLeftovers(choice.current);
    runstate::SweepLeftovers(context.packageFolder);
    LogPackageFileRemarks(*context.setting);
    const std::string& current = choice.current;
    // Files the hot fix added go aside first; the saved ones then come back.
    const std::vector<std::string> added = AddedNames(context.packageFolder, context.fileTable);
    const std::vector<std::string> saved = NamesWithout(context.fileTable, added);
    const bool readable = CarryOut(DecideSwap(saved, context.packageFolder, current));
    if (!readable || !MoveAddedAside(added, current) ||
        !SwapFilesIn(saved, context.packageFolder, current)) {
        if (readable && !added.empty()) {
            PutMovedAsideBack(added, current);
        }
        LogDebugMessage(1,
                        "Error: Cannot put the saved files back into (%s); the hot fix files are "
                        "renamed back and the back up folder (%s) is kept.",
                        current.c_str(), context.packageFolder.c_str());
        return ORV_RUN_FAILED;
    }
    const bool putBack =
        PutBackProgramFiles(context.productRoot, context.setting->BuildNumber, current);
    bool restarted = true;
    Walk(context, [&restarted](const ORVInsInfo& info, const RunContext& here) {
        restarted = RestartTasks(info, here) && restarted;
        return true;
    });
    FinishSwap(context.fileTable, current);

    record.step = runstate::kStepFilesBack;
    runstate::Write(context.productRoot, record);
    Forget(context.productRoot, record.build);
    RemoveBackupFolder(context.packageFolder);
    return Finish(restarted) == ORV_RUN_OK && putBack ? ORV_RUN_OK : ORV_RUN_FAILED;
}

// Stops the tasks and waits for them to end; false (tasks loaded again) when
// they are still running after the last try.
bool StopAndWait(RunContext& context) {
    StopAll(context);
    Walk(context, [](const ORVInsInfo& info, const RunContext& here) {
        for (const std::string& task : TasksTheStopLeaves(info, here)) {
            LogDebugMessage(1,
                            "Info: The stop leaves the task %s of the server in (%s) running; "
                            "the rollback waits for it to end.",
                            task.c_str(), info.strDataPath.c_str());
        }
        return true;
    });
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
    Walk(context, [](const ORVInsInfo& info, const RunContext&) {
        for (const std::string& task : RunningCountedTasks(info)) {
            LogDebugMessage(1, "%s", StopGiveUpLine(info.strDataPath, task).c_str());
        }
        return true;
    });
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

int RollbackNewFolder(RunContext& context, const RollbackChoice& choice, runstate::Record& record,
                      bool& started) {
    if (!CarryOut(choice.decision)) {
        return ORV_RUN_FAILED;
    }
    started = true;
    runstate::Write(context.productRoot, record);
    runstate::SweepLeftovers(context.productRoot);
    runstate::SweepLeftovers(ProgramFolderPath(context.productRoot));
    if (!StopAndWait(context)) {
        return ORV_RUN_FAILED;
    }
    record.step = runstate::kStepTasksStopped;
    runstate::Write(context.productRoot, record);

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
    runstate::FlushFolderOf(removal);
    record.step = runstate::kStepMovedAway;
    runstate::Write(context.productRoot, record);
    const bool putBack = PutBackProgramFiles(context.productRoot, record.build, remaining);
    Forget(context.productRoot, record.build);
    KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);
    const int loaded = Finish(LoadAll(context));
    return loaded == ORV_RUN_OK && putBack ? ORV_RUN_OK : ORV_RUN_FAILED;
}

// Finishes a new-folder rollback that was killed after the hot-fix folder
// was moved away: the removal name goes, the link names the newest version
// folder that stays, and the tasks are loaded.
int FinishNewFolderRollback(RunContext& context, const runstate::Record& record) {
    LogDebugMessage(1,
                    "Info: Resume the interrupted rollback of build %d: its version folder is "
                    "moved away already.",
                    record.build);
    runstate::SweepLeftovers(context.productRoot);
    runstate::SweepLeftovers(ProgramFolderPath(context.productRoot));
    const std::string removal = RemovalFolderPath(context.productRoot);
    KvORVFileOpUtil::xunlink(removal.c_str(), nullptr, nullptr);
    const std::string programFolder = ProgramFolderPath(context.productRoot);
    const std::string remaining = NewestRemainingVersion(programFolder, record.build);
    const bool linked = !remaining.empty() && SwitchLatest(context.productRoot, remaining + "/");
    if (linked) {
        LogDebugMessage(1, "Info: Point the link latest at (%s/).", remaining.c_str());
    } else if (remaining.empty()) {
        LogDebugMessage(1,
                        "Error: There is no other version folder in (%s) for the link latest, so "
                        "return.",
                        programFolder.c_str());
    }
    const bool putBack = PutBackProgramFiles(context.productRoot, record.build, remaining);
    Forget(context.productRoot, record.build);
    const bool running = LoadAll(context);
    return linked && putBack ? Finish(running) : ORV_RUN_FAILED;
}

// Finishes an in-place rollback that was killed once every saved file was
// back: only the backup folder (or what is left of it) has to go.
int FinishInPlaceRollback(const RunContext& context, const runstate::Record& record) {
    LogDebugMessage(1,
                    "Info: Resume the interrupted rollback of build %d: every saved file is back "
                    "already.",
                    record.build);
    runstate::SweepLeftovers(context.productRoot);
    const bool putBack = PutBackProgramFiles(context.productRoot, record.build,
                                             CurrentVersionFolder(context.productRoot));
    Forget(context.productRoot, record.build);
    RemoveBackupFolder(context.packageFolder);
    return putBack ? ORV_RUN_OK : ORV_RUN_FAILED;
}

int Rollback(RunContext& context, _PatchSetting& setting, bool& started) {
    const std::string& root = context.productRoot;
    const std::string package = runstate::AbsolutePath(context.packageFolder);
    if (!CarryOut(DecidePackage(context, false))) {
        return ORV_RUN_FAILED;
    }
    const ResumeChoice resume = DecideRollbackResume(context);
    if (resume.setAside) {
        runstate::SetAside(root, resume.record);
    } else if (resume.resume == Resume::kRollbackMovedAway) {
        started = true;
        return FinishNewFolderRollback(context, resume.record);
    } else if (resume.resume == Resume::kRollbackFilesBack) {
        started = true;
        return FinishInPlaceRollback(context, resume.record);
    }
    runstate::Record record;
    record.build = setting.BuildNumber;
    record.mode = "rollback";
    record.layout = setting.CreateNewFolder != 0 ? "new-folder" : "in-place";
    record.package = package;
    record.step = runstate::kStepChecked;

    const RollbackChoice choice = DecideRollback(context);
    if (setting.CreateNewFolder == 0) {
        return RollbackInPlace(context, choice, record, started);
    }
    return RollbackNewFolder(context, choice, record, started);
}

}  // namespace

int RunRollback(InstallInfo& package, _PatchSetting& setting) {
    RunContext context = MakeRunContext(package, setting);
    bool started = false;
    const int result = Rollback(context, setting, started);
    if (started) {
        // Finished or failed for good: nothing is left for a later run.
        runstate::Remove(context.productRoot);
    }
    if (result == ORV_RUN_OK) {
        LogDebugMessage(1, "%s", kRollbackSuccess);
    } else {
        PrintVerdict(VerdictText(kRollbackProblem));
    }
    return result;
}
