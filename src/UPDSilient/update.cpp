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
//
// Once the checks have passed, the run records its progress in the product
// root (run_state.h) until it ends. A new-folder update that was killed after
// its version folder got its name is finished by the next run of the same
// package: the record says the folder is this package's own, so the
// environment check lets it pass and the run goes on after the fill. Every
// step after the fill can be done again: a file that holds the new content
// already is left as it is.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/console_identity.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/ledger.h"
#include "UPDSilient/run_context.h"
#include "UPDSilient/run_state.h"
#include "UPDSilient/signature.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

namespace {

const char kSuccessBanner[] =
    "=============================Update ORV successfully=======================";

// Staging folders are named ".orvpatch-staging-B<build>.tmp" in program/: the
// leading '.' is the one character the version parser skips, so the rest
// reads as no number, and the text after the last '.' is no build number.
const char kStagingPrefix[] = ".orvpatch-staging-B";
const char kStagingSuffix[] = ".tmp";

int Fail(const char* problem) {
    PrintVerdict(VerdictText(problem));
    return ORV_RUN_FAILED;
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
        if (IsStagingFolderName(entry->d_name)) {
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
bool FillNewVersionFolder(const RunContext& context, const std::string& current,
                          const std::string& staging, const std::string& newFolder,
                          const std::function<bool()>& beforeName) {
    std::string source = current + "/*";
    fileio::TreeCopyReport report;
    int rc = fileio::XCopy(source.c_str(), staging.c_str(), true, nullptr, nullptr, &report);
    if (rc != FOP_OK) {
        const int error = errno;
        LogDebugMessage(1,
                        "Error: Cannot copy the current version (%s) into (%s). Error code is %d. "
                        "(%s)",
                        current.c_str(), staging.c_str(), rc, std::strerror(error));
        return false;
    }
    // A link the copy does not follow (dangling, a loop, back into the tree)
    // is made again as the same link; each is named, so none goes unseen.
    for (const std::string& link : report.linksKept) {
        LogDebugMessage(1, "Info: The link (%s) is copied as a link.", link.c_str());
    }
    for (const std::string& name : context.packageFiles) {
        std::string from = context.packageFolder + "/" + name;
        std::string to = staging + name;
        rc = signature::CopyPackageFile(context, name, to, true);
        if (rc != FOP_OK) {
            const int error = errno;
            LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d. (%s)",
                            from.c_str(), to.c_str(), rc, std::strerror(error));
            return false;
        }
    }
    // The files are on disk before the folder is given a name that anything
    // may use: the tree copy flushes the file system when it is done, and
    // each package file is flushed by its copy. The ledger holds the fix
    // before its folder has the name that shows it.
    if (!beforeName()) {
        return false;
    }
    if (!KvORVFileOpUtil::rename(staging.c_str(), newFolder.c_str())) {
        int error = errno;
        LogDebugMessage(1, "Error: Cannot rename the folder (%s) to (%s), error code (%d).",
                        staging.c_str(), newFolder.c_str(), error);
        return false;
    }
    runstate::FlushFolderOf(newFolder);
    return true;
}

// The walks both ways of the update end with: the task loaders when the
// package asks for them, then the restart of the tasks. False when a loader
// was not replaced or the tasks of an installation were not restarted.
bool ReloadTasks(RunContext& context) {
    bool all = true;
    if (context.setting != nullptr && context.setting->UpdateLoader != 0) {
        Walk(context, [&all](const ORVInsInfo& info, const RunContext& here) {
            all = UpdateTaskLoaders(info, here) && all;
            return true;
        });
    }
    Walk(context, [&all](const ORVInsInfo& info, const RunContext& here) {
        all = RestartTasks(info, here) && all;
        return true;
    });
    return all;
}

// The end of an update once the hot fix is in place: the success banner
// only when every later step did its work. Otherwise the fix is there but
// not (everywhere) running, and the run says so and fails.
int Finish(bool complete) {
    if (!complete) {
        LogDebugMessage(1,
                        "Error: The hot fix is in place, but a step after it failed in the "
                        "installations named above; the update is not complete.");
        return Fail(kIncompleteProblem);
    }
    LogDebugMessage(1, "%s", kSuccessBanner);
    return ORV_RUN_OK;
}

bool NoneFailed(const std::vector<ExtensionSwap>& swaps) {
    for (const ExtensionSwap& swap : swaps) {
        if (swap.failed) {
            return false;
        }
    }
    return true;
}

// Removes the temporary files an interrupted run left in the folders this
// run works in: the product root, program/, the version folders it uses and
// the backup folder (each installation's folders: SweepInstallationFolders,
// in the extension manager's walk).
void SweepRunFolders(const RunContext& context, const std::vector<std::string>& folders) {
    runstate::SweepLeftovers(context.productRoot);
    runstate::SweepLeftovers(ProgramFolderPath(context.productRoot));
    for (const std::string& folder : folders) {
        if (!folder.empty()) {
            runstate::SweepLeftovers(folder);
        }
    }
}

// The same for one installation: its data folder, and its program folder
// only where the trust rule lets the run work in it (there, where it says),
// never a folder the run refuses.
void SweepInstallationFolders(const ORVInsInfo& info) {
    std::string program;
    if (ProgramFolderProblem(info, &program).empty() && !program.empty()) {
        runstate::SweepLeftovers(program);
    }
    if (!info.strDataPath.empty() && info.strDataPath[0] == '/') {
        runstate::SweepLeftovers(info.strDataPath);
    }
}

// Replaces the extension manager of every installation; what each
// replacement did, so that it can be undone.
std::vector<ExtensionSwap> UpdateExtensionManagers(RunContext& context) {
    std::vector<ExtensionSwap> swaps;
    Walk(context, [&swaps](const ORVInsInfo& info, const RunContext& here) {
        SweepInstallationFolders(info);
        swaps.push_back(UpdateExtensionManager(info, here));
        return true;
    });
    return swaps;
}

// The ledger's block of the fix this update installs, as far as it is known
// before the fix becomes visible; one written by an interrupted run of the
// same package keeps what it recorded of the program folders before.
ledger::Fix FixBeingInstalled(const RunContext& context, const std::string& folder,
                              const ledger::Ledger& written) {
    const _PatchSetting& setting = *context.setting;
    ledger::Fix fix;
    fix.build = setting.BuildNumber;
    fix.way = setting.CreateNewFolder != 0 ? "new-folder" : "in-place";
    fix.status = ledger::kHalfInstalled;
    fix.time = ledger::Now();
    fix.package = runstate::AbsolutePath(context.packageFolder);
    fix.versionFolder = folder;
    const ledger::Fix* earlier = ledger::Find(written, fix.build);
    fix.programFiles = earlier != nullptr && !earlier->programFiles.empty()
                           ? earlier->programFiles
                           : ProgramFilesNow(context, setting.UpdateLoader != 0);
    if (earlier != nullptr) {
        fix.signer = earlier->signer;
        fix.listDigest = earlier->listDigest;
    }
    // The key that signed the package and the digest of its list, as checked.
    if (context.seal != nullptr && context.seal->state != signature::State::kUnsigned) {
        fix.listDigest = context.seal->listDigest;
        fix.signer = context.seal->state == signature::State::kVerified
                         ? context.seal->keyFile + " (key number " + context.seal->keyNumber + ")"
                         : std::string();
    }
    return fix;
}

// Writes `fix` into the ledger, in place of an earlier block of its build.
bool Record(const std::string& root, const ledger::Fix& fix) {
    ledger::Ledger written = ledger::ReadFile(root);
    ledger::Put(written, fix);
    return ledger::Write(root, written);
}

// The end of the ledger's block once the update's steps are done: the files
// as they are in place, the program files as they are now.
void RecordInstalled(const std::string& root, ledger::Fix fix) {
    for (ledger::File& file : fix.files) {
        const ledger::File now = ledger::Describe(file.path);
        file = now;
    }
    NoteProgramFilesAfter(fix.programFiles);
    fix.status = ledger::kInstalled;
    Record(root, fix);
}

void RecordRemoved(const std::string& root, int build) {
    ledger::Ledger written = ledger::ReadFile(root);
    if (ledger::Drop(written, build)) {
        ledger::Write(root, written);
    }
}

int InstallIntoNewFolder(RunContext& context, const UpdateChoice& choice, runstate::Record& record,
                         bool filled) {
    const int build = context.setting->BuildNumber;
    const std::string staging = StagingFolderPath(context.productRoot, build);
    LogPackageFileRemarks(*context.setting);
    // What the fill would find unreadable, or no room for, stops the update
    // before anything is written.
    if (!filled &&
        !CarryOut(DecideNewFolderFill(context, choice.current, choice.newFolder).decision)) {
        return ORV_RUN_FAILED;
    }
    const std::string folder = choice.newFolder.substr(0, choice.newFolder.size() - 1);
    ledger::Fix fix = FixBeingInstalled(context, folder, ledger::ReadFile(context.productRoot));
    for (const std::string& name : context.packageFiles) {
        ledger::File file = ledger::Describe((filled ? choice.newFolder : staging) + name);
        file.path = folder + "/" + name;
        fix.files.push_back(file);
        if (!filled) {
            fix.saved.push_back({ledger::DigestOf(choice.current + "/" + name), folder + "/" + name,
                                 choice.current + "/" + name});
        }
    }
    auto recordFix = [&context, &fix] { return Record(context.productRoot, fix); };
    if (filled) {
        // A resumed run mends the block an interrupted one may have missed.
        const ledger::Ledger written = ledger::ReadFile(context.productRoot);
        const ledger::Fix* earlier = ledger::Find(written, fix.build);
        if (earlier != nullptr) {
            fix.saved = earlier->saved;
            fix.time = earlier->time;
        }
        recordFix();
    }
    if (!filled &&
        !FillNewVersionFolder(context, choice.current, staging, choice.newFolder, recordFix)) {
        RemoveEntry(staging.substr(0, staging.size() - 1));
        LogDebugMessage(
            1, "Error: The new version folder (%s) cannot be filled; nothing is installed.",
            choice.newFolder.c_str());
        return Fail(kIncompleteProblem);
    }
    record.step = runstate::kStepFolderMade;
    runstate::Write(context.productRoot, record);

    const std::vector<ExtensionSwap> swaps = UpdateExtensionManagers(context);
    SetProductPermissions(choice.newFolder, true);
    if (!SwitchLatest(context.productRoot, choice.newFolder)) {
        // Nothing may point at a version the link does not name: the new
        // folder goes, so the same package can be installed again once the
        // cause is mended, and the extension managers go back.
        LogDebugMessage(1,
                        "Error: The link latest cannot be pointed at (%s); the new version "
                        "folder is removed and the extension managers are put back.",
                        choice.newFolder.c_str());
        RemoveEntry(choice.newFolder.substr(0, choice.newFolder.size() - 1));
        RestoreExtensionManagers(swaps);
        RecordRemoved(context.productRoot, fix.build);
        return Fail(kIncompleteProblem);
    }
    InstallReadMe(context);
    const bool restarted = ReloadTasks(context);
    RecordInstalled(context.productRoot, fix);
    return Finish(NoneFailed(swaps) && restarted);
}

int InstallInPlace(RunContext& context, const std::string& current,
                   const std::string& backupFolder) {
    LogDebugMessage(1, "Copy replace the file in ORV program with the new one.");
    LogPackageFileRemarks(*context.setting);
    const std::string savedSettings = backupFolder + "/orvpatch.ini";
    if (KvORVFileOpUtil::isExist(savedSettings.c_str())) {
        // A complete backup of the original files is there already: a second
        // one would save the fixed files over it.
        LogDebugMessage(1, "Info: The back up in (%s) is complete already, so it is kept.",
                        backupFolder.c_str());
    } else {
        LogDebugMessage(1, "Back up the dlls from (%s) to (%s)", current.c_str(),
                        backupFolder.c_str());
        // A listed file the version does not have yet is one the fix adds:
        // there is nothing to save, and the backup says it was added.
        const std::vector<std::string> added = NamesNotIn(context.fileTable, current);
        for (const std::string& name : added) {
            LogDebugMessage(1,
                            "Info: The file (%s/%s) is not there yet: the hot fix adds it, and "
                            "taking the hot fix out removes it.",
                            current.c_str(), name.c_str());
        }
        if (!CarryOut(DecideInPlaceBackup(context, current, backupFolder, added).decision)) {
            return ORV_RUN_FAILED;
        }
        bool saved =
            CopyNamedFiles(NamesWithout(context.fileTable, added), current, backupFolder) &&
            (added.empty() || WriteAddedNames(backupFolder, added));
        if (saved) {
            const std::string settings = context.packageFolder + "/orvpatch.ini";
            const int rc = signature::CopyPackageFile(context, "orvpatch.ini", savedSettings, true);
            if (rc != FOP_OK) {
                LogDebugMessage(1,
                                "Error: Cannot copy the file(%s) to (%s). Error code is %d. (%s)",
                                settings.c_str(), savedSettings.c_str(), rc, std::strerror(errno));
                saved = false;
            }
        }
        if (!saved) {
            KvORVFileOpUtil::xunlink(backupFolder.c_str(), nullptr, nullptr);
            // hotfix/B<build> as well, when nothing else is in it.
            ::rmdir(KvORVFileOpUtil::getDirName(backupFolder.c_str()).c_str());
            LogDebugMessage(1, "Error: Cannot back up the files into (%s); nothing is installed.",
                            backupFolder.c_str());
            return Fail(kIncompleteProblem);
        }
    }

    // The backup's folders were made by this run or an interrupted one: their
    // names are on disk, up to the product root, before any file is swapped.
    runstate::FlushFolderOf(savedSettings);
    for (std::string folder = backupFolder; folder.size() > context.productRoot.size();) {
        runstate::FlushFolderOf(folder);
        folder = KvORVFileOpUtil::getDirName(folder.c_str());
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
    }

    // The ledger holds the fix before any of its files is in place.
    ledger::Fix fix = FixBeingInstalled(context, current, ledger::ReadFile(context.productRoot));
    const std::vector<std::string> added = AddedNames(backupFolder, context.fileTable);
    for (const std::string& name : context.fileTable) {
        ledger::File file = ledger::Describe(context.packageFolder + "/" + name);
        file.path = current + "/" + name;
        fix.files.push_back(file);
        if (std::find(added.begin(), added.end(), name) != added.end()) {
            fix.added.push_back(current + "/" + name);
        } else {
            fix.saved.push_back({ledger::DigestOf(backupFolder + "/" + name), current + "/" + name,
                                 backupFolder + "/" + name});
        }
    }
    if (!Record(context.productRoot, fix)) {
        return Fail(kIncompleteProblem);
    }
    if (!CarryOut(DecideSwap(context.fileTable, context.packageFolder, current)) ||
        !SwapFilesIn(context.fileTable, context.packageFolder, current, context.seal.get())) {
        RecordRemoved(context.productRoot, fix.build);
        LogDebugMessage(1,
                        "Error: Cannot put the new files in place in (%s); the old files are "
                        "renamed back.",
                        current.c_str());
        return Fail(kIncompleteProblem);
    }
    const bool extensions = NoneFailed(UpdateExtensionManagers(context));
    const bool restarted = ReloadTasks(context);
    FinishSwap(context.fileTable, current);
    RecordInstalled(context.productRoot, fix);
    return Finish(extensions && restarted);
}

// The update after the opening. `started` tells whether it got past its
// checks: from then on it has recorded its progress.
int Update(RunContext& context, _PatchSetting& setting, const std::string& backupFolder,
           bool& started) {
    const std::string& root = context.productRoot;
    if (!CarryOut(DecidePackage(context, true))) {
        return ORV_RUN_FAILED;
    }
    // The package is checked before anything is changed; its files are then
    // copied from the descriptors whose digests were checked.
    auto seal = std::make_shared<signature::Seal>(signature::CheckPackage(
        context.packageFolder, signature::NamesTheUpdateReads(context), &setting));
    if (!CarryOut(signature::DecideSignature(*seal))) {
        return ORV_RUN_FAILED;
    }
    context.seal = std::move(seal);
    const ResumeChoice resumeChoice = DecideUpdateResume(context);
    runstate::Record record = resumeChoice.record;
    if (resumeChoice.setAside) {
        runstate::SetAside(root, record);
    }
    const bool resume = resumeChoice.resume == Resume::kUpdateFolderMade;
    if (resume) {
        LogDebugMessage(1,
                        "Info: Resume the interrupted update of build %d: its version folder "
                        "(%s) is complete already.",
                        setting.BuildNumber, VersionFolderPath(root, setting.BuildNumber).c_str());
    } else if (!CarryOut(DecideEnvironment(context))) {
        return ORV_RUN_FAILED;
    }

    // The scan task's registration goes before the build checks, so it is
    // cleaned out even when one of them stops the update. Each server's
    // console identity is decided first, from notes.ini as the run found it.
    std::vector<std::string> scanTaskLeft;
    Walk(context, [&scanTaskLeft](const ORVInsInfo& info, const RunContext& here) {
        ConsoleIdentityOf(info, here);
        if (!CleanUpKvmscanTask(info.strNotesIniPath.c_str())) {
            scanTaskLeft.push_back(info.strNotesIniPath);
        }
        return true;
    });

    UpdateChoice choice;
    if (resume) {
        // The checks passed in the run that made the folder; the newest
        // version is now that folder itself.
        choice.newFolder = VersionFolderPath(root, setting.BuildNumber) + "/";
    } else {
        choice = DecideUpdate(context);
        if (choice.nothingToDo) {
            CarryOut(choice.decision);
            return ORV_RUN_OK;
        }
        if (!CarryOut(choice.decision)) {
            return ORV_RUN_FAILED;
        }
    }
    // A run stopped by its build checks keeps their verdict; past them, a
    // server that would keep the scan task stops the update unchanged, so
    // that the same package finishes it once the cause is mended.
    if (!CarryOut(DecideScanTaskLeft(scanTaskLeft))) {
        return ORV_RUN_FAILED;
    }
    record.build = setting.BuildNumber;
    record.mode = "update";
    record.layout = setting.CreateNewFolder != 0 ? "new-folder" : "in-place";
    record.package = runstate::AbsolutePath(context.packageFolder);
    record.step = resume ? record.step : runstate::kStepChecked;
    runstate::Write(root, record);
    started = true;

    RemoveLeftoverStaging(ProgramFolderPath(root));
    SweepRunFolders(context, {choice.current, choice.newFolder, backupFolder});
    if (setting.CreateNewFolder != 0) {
        return InstallIntoNewFolder(context, choice, record, resume);
    }
    return InstallInPlace(context, choice.current, backupFolder);
}

}  // namespace

bool IsStagingFolderName(const std::string& name) {
    const size_t prefix = sizeof kStagingPrefix - 1;
    const size_t suffix = sizeof kStagingSuffix - 1;
    return name.size() >= prefix + suffix && name.compare(0, prefix, kStagingPrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, kStagingSuffix) == 0;
}

std::string StagingFolderPath(const std::string& root, int build) {
    return Format("%s/program/%s%d%s/", root.c_str(), kStagingPrefix, build, kStagingSuffix);
}

int RunUpdate(InstallInfo& package, _PatchSetting& setting, const std::string& backupFolder) {
    RunContext context = MakeRunContext(package, setting);
    bool started = false;
    const int result = Update(context, setting, backupFolder, started);
    if (started) {
        // Finished or failed for good: nothing is left for a later run.
        runstate::Remove(context.productRoot);
    }
    return result;
}
