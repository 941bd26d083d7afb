// Gathers the check's report: the registry walk, each installation's state,
// the product's version folders, the package and, per mode, what the patcher
// would decide. Only reads: the patcher's functions it calls here read files
// and probe locks, and their log lines land in the check's collector.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/console_identity.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/kvmscan_internal.h"
#include "UPDSilient/ledger.h"
#include "UPDSilient/run_context.h"
#include "UPDSilient/run_lock.h"
#include "UPDSilient/run_state.h"
#include "UPDSilient/signature.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "check_machine.h"
#include "inspect.h"
#include "machine/trust.h"

namespace check {

namespace {

struct Walked {
    ORVInsInfo info;
    bool accepted = false;
};

struct WalkContext {
    std::vector<Walked> all;
    std::list<ORVInsInfo> accepted;
};

// The patcher's opening walk, exactly: CollectInstallInfo on each entry. Also
// keeps the entries it passes over, for the report.
int RecordInstallation(ORVInsInfo* info, void* context) {
    WalkContext* walk = static_cast<WalkContext*>(context);
    size_t before = walk->accepted.size();
    int rc = CollectInstallInfo(info, &walk->accepted);
    Walked entry;
    entry.info = *info;
    entry.accepted = walk->accepted.size() > before;
    walk->all.push_back(entry);
    return rc;
}

std::string OwnerName(uid_t uid) {
    return machine::AccountOf(uid).name;
}

// The names in `folder` of originals an earlier run saved there: <task>_1
// and liborvext.so_<n>.
std::vector<std::string> SavedNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        bool saved = name.size() > 13 && name.compare(0, 13, "liborvext.so_") == 0 &&
                     name.find_first_not_of("0123456789", 13) == std::string::npos;
        for (const char* task : szaLoader) {
            saved = saved || name == std::string(task) + "_1";
        }
        if (saved) {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Installation Describe(const Walked& walked, const RunContext& context) {
    const ORVInsInfo& info = walked.info;
    Installation inst;
    inst.dataFolder = info.strDataPath;
    inst.programFolder = info.strDominoBinPath;
    char named[1024];
    inst.programFolderSource =
        GetDominoBinFolderFromNotesINI(info.strNotesIniPath.c_str(), named, sizeof named) != 0
            ? "NotesProgram"
            : "registry";
    inst.notesIni.path = info.strNotesIniPath;
    struct stat st;
    if (stat(info.strNotesIniPath.c_str(), &st) == 0) {
        inst.notesIni.exists = true;
        inst.notesIni.ownerUid = st.st_uid;
        inst.notesIni.ownerName = OwnerName(st.st_uid);
        inst.notesIni.mode = st.st_mode & 07777;
    }
    inst.notesIni.patcherMayReadWrite = walked.accepted;
    ORVInsInfo probe = info;
    inst.serverRunning = isDominoServerRunning(&probe, nullptr) == 1;
    for (const char* task : szaLoader) {
        if (IsORVRun(info.strDataPath.c_str(), task) == 1) {
            inst.tasksRunning.push_back(task);
        }
    }
    const ScanTaskOutlook scan = DecideScanTaskCleanUp(info.strNotesIniPath.c_str());
    inst.kvmscanRegistered = scan.due;
    inst.kvmscanProblem = scan.problem;
    inst.stopCommands = StopCommands(info);
    inst.waitedTasks = RunningCountedTasks(info);
    const ConsoleChoice console = DecideConsole(info, context);
    inst.consoleProgram = (console.bin.empty() ? info.strDominoBinPath : console.bin) + "/server";
    inst.consoleProblem = ConsoleProblem(info, context);
    if (ProgramFolderProblem(info).empty()) {
        for (const std::string& name : SavedNames(info.strDominoBinPath)) {
            inst.savedFiles.push_back(info.strDominoBinPath + "/" + name);
        }
    }
    return inst;
}

bool IsDir(const std::string& path) {
    return KvORVFileOpUtil::isDir(path.c_str());
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int BuildOf(const std::string& path) {
    int a = 0, b = 0, c = 0, d = 0;
    KvParseVersionStr(path.c_str(), &a, &b, &c, &d);
    return a != 0 ? d : 0;
}

void DescribeProduct(Product& product, const std::vector<std::string>& fileTable) {
    product.root = g_szORVPatch;
    const std::string program = product.root + "/program/";
    KvORVDirList versions((program + "V*").c_str());
    while (versions.hasNext()) {
        std::string path = versions.getNext();
        int first = 0;
        KvParseVersionStr(path.c_str(), &first, nullptr, nullptr, nullptr);
        if (!IsDir(path) || first == 0) {
            continue;  // the lister hands out every folder; these are no versions
        }
        VersionFolder folder;
        folder.path = path;
        folder.name = KvORVFileOpUtil::getFileName(path.c_str());
        folder.build = BuildOf(path);
        product.versions.push_back(folder);
    }
    std::sort(product.versions.begin(), product.versions.end(),
              [](const VersionFolder& a, const VersionFolder& b) { return a.name < b.name; });

    std::string link = product.root + "/program/latest";
    std::vector<char> target(8192, '\0');
    ssize_t length = readlink(link.c_str(), target.data(), target.size() - 1);
    if (length > 0) {
        product.latest.target.assign(target.data(), static_cast<size_t>(length));
        std::string resolved = product.latest.target[0] == '/'
                                   ? product.latest.target
                                   : product.root + "/program/" + product.latest.target;
        product.latest.exists = IsDir(resolved);
        if (product.latest.exists) {
            product.latest.build = BuildOf(resolved);
            // What the update copies out of the version folder into each
            // Domino program folder, as the update tests it.
            product.latest.complete = ExtensionSourceThere(resolved + "/liborvext.so") &&
                                      LoaderSourceReadable(resolved + "/loader");
        }
    }
    product.newest = CurrentVersionFolder(product.root);
    for (const std::string& name : fileTable) {
        if (!product.newest.empty() && Exists(product.newest + "/" + name + "_1")) {
            product.savedFiles.push_back(product.newest + "/" + name + "_1");
        }
    }

    DIR* dir = opendir(program.c_str());
    if (dir != nullptr) {
        while (struct dirent* entry = readdir(dir)) {
            if (IsStagingFolderName(entry->d_name)) {
                product.stagingLeftovers.push_back(program + entry->d_name);
            }
        }
        closedir(dir);
        std::sort(product.stagingLeftovers.begin(), product.stagingLeftovers.end());
    }
}

void DescribePackage(Package& package, _PatchSetting& setting) {
    InstallInfo info;
    info.strPackagePath = package.folder;
    package.settingsReadable = ReadConfiguration(info, setting) == 0;
    ReadFileList(setting);
    Settings& s = package.settings;
    s.files.assign(setting.Files.begin(), setting.Files.end());
    s.buildNumber = setting.BuildNumber;
    s.databases.assign(setting.Databases.begin(), setting.Databases.end());
    s.createNewFolder = setting.CreateNewFolder;
    s.depentBuild = setting.DepentBuild;
    s.updateLoader = setting.UpdateLoader;
    for (int slot = 0; slot < static_cast<int>(kFileTableSize); ++slot) {
        if (szDlls[slot] != nullptr && szDlls[slot][0] != '\0') {
            package.fileTable.push_back(szDlls[slot]);
        }
    }
    package.unsafe = ClassifyPackageFiles(setting.Files).unsafe;
    for (const std::string& name : PackageFileNames(setting)) {
        if (!Exists(package.folder + "/" + name)) {
            package.missing.push_back(name);
        }
    }
}

// Console commands as the report shows them: quoted, comma-separated.
std::string Commands(const std::vector<std::string>& commands) {
    std::string text;
    for (size_t i = 0; i < commands.size(); ++i) {
        text += (i == 0 ? "\"" : ", \"") + commands[i] + "\"";
    }
    return text;
}

std::string UserName(uid_t uid) {
    const std::string name = OwnerName(uid);
    return name.empty() ? std::to_string(uid) : name;
}

// Writes one mode's prediction as the patcher's decisions come: steps in
// order, and nothing after the step that stops the run. A failure that
// does not stop the run (a step the operator relies on) is listed where it
// happens and makes the run end incomplete.
class Prediction {
  public:
    // `incompleteVerdict` and `incompleteLine`: what the run prints and logs
    // last when it ends incomplete.
    Prediction(ModeOutcome& outcome, std::string incompleteVerdict, std::string incompleteLine)
        : m_out(outcome),
          m_incomplete(std::move(incompleteVerdict)),
          m_incompleteLine(std::move(incompleteLine)) {}
    bool stopped() const { return m_stopped; }
    void Step(const std::string& text) {
        if (!m_stopped) {
            m_out.steps.push_back(text);
        }
    }
    // Ends the run here: the verdict it prints, the last line it logs.
    void Stop(const std::string& verdict, const std::string& logLine, const std::string& why) {
        if (m_stopped) {
            return;
        }
        if (!why.empty()) {
            m_out.steps.push_back("stop: " + why);
        }
        m_stopped = true;
        m_out.wouldPass = false;
        m_out.verdict = verdict;
        m_out.logLine = logLine;
    }
    // Takes a decision of the patcher's: its last log line tells why it stops.
    bool Follow(const Decision& decision, const std::string& why = "") {
        if (!decision.proceed) {
            Stop(decision.verdict, decision.logLines.empty() ? "" : decision.logLines.back(), why);
        }
        return decision.proceed;
    }
    // A step that fails without stopping the run: `why` is what the run logs
    // for it, where that is known.
    void Fail(const std::string& what, const std::string& why) {
        if (m_stopped) {
            return;
        }
        m_out.steps.push_back("error: " + what + (why.empty() ? "" : ": " + why));
        m_failed = true;
    }
    void Finish() {
        if (m_stopped) {
            return;
        }
        m_out.wouldPass = !m_failed;
        if (m_failed) {
            m_out.verdict = m_incomplete;
            m_out.logLine = m_incompleteLine;
        }
    }

  private:
    ModeOutcome& m_out;
    std::string m_incomplete;
    std::string m_incompleteLine;
    bool m_stopped = false;
    bool m_failed = false;
};

bool OpeningPasses(const Report& report, const std::list<ORVInsInfo>& accepted, Prediction& p) {
    if (!report.registryRead) {
        p.Stop(VerdictText(kNotInstalledProblem), "Parsing orvsys.ini error.", "");
    } else if (accepted.empty()) {
        p.Stop(VerdictText(kNotInstalledProblem), "No ORV installed.", "");
    } else if (report.runUnderWay) {
        p.Follow(DecideRunLock(report.product.root, report.runLock),
                 "another run (" + report.runHolder + ") holds the product root");
    } else {
        p.Follow(DecideRunLock(report.product.root, report.runLock),
                 "the run lock " + runlock::LockPath(report.product.root) +
                     " is refused: " + report.runLock.why);
    }
    return !p.stopped();
}

void ResumeSteps(const ResumeChoice& resume, const Report& report, Prediction& p) {
    if (resume.setAside) {
        p.Step("set aside the record of an interrupted " + resume.record.mode + " of build " +
               std::to_string(resume.record.build) + " (another package's) as " +
               runstate::RecordPath(report.product.root) + ".set-aside");
    }
}

void RestartSteps(const std::vector<Walked>& all, const RunContext& context, Prediction& p) {
    for (size_t i = 0; i < all.size(); ++i) {
        const RestartOutlook restart = DecideRestart(all[i].info, context);
        const std::string& data = all[i].info.strDataPath;
        if (!restart.serverRunning) {
            p.Step("restart: the server of " + data + " is not running; no command");
        } else if (!restart.problem.empty()) {
            p.Fail("the ORV tasks of " + data + " are not restarted", restart.problem);
        } else {
            p.Step("restart the ORV tasks of " + data + " as " + UserName(restart.uid) + ": " +
                   Commands(restart.commands));
        }
    }
}

// The extension manager of every registered installation, as the update's
// walk decides it. `source(name)` is the file the newest version folder
// holds under `name` by then.
void ExtensionSteps(const std::vector<Walked>& all,
                    const std::function<std::string(const std::string&)>& source, Prediction& p) {
    const std::string library = source("liborvext.so");
    for (const Walked& walked : all) {
        const ExtensionPlan plan = PlanExtensionManager(walked.info, library);
        if (!plan.problem.empty()) {
            p.Fail("the extension manager of " + walked.info.strDominoBinPath + " is not updated",
                   plan.problem);
        } else if (plan.identical) {
            p.Step("leave " + plan.library + " in place: it holds the new content already");
        } else if (!plan.exists) {
            p.Step("copy " + library + " to " + plan.library);
        } else {
            p.Step("replace " + plan.library + " with " + library + " (the old one " +
                   (plan.backupExists ? "saved already as " : "kept as ") + plan.backup + ")");
        }
    }
}

// The walks the update ends with: the task loaders when the package asks
// for them, then the restart of every registered installation.
void ReloadSteps(const std::vector<Walked>& all, const RunContext& context,
                 const std::function<std::string(const std::string&)>& source, Prediction& p) {
    if (context.setting->UpdateLoader != 0) {
        const std::string loader = source("loader");
        for (const Walked& walked : all) {
            const LoaderPlan plan = PlanTaskLoaders(walked.info, loader);
            if (!plan.problem.empty()) {
                p.Fail(
                    "the task executables of " + walked.info.strDominoBinPath + " are not updated",
                    plan.problem);
                continue;
            }
            for (const LoaderTask& task : plan.tasks) {
                p.Step(
                    task.identical
                        ? "leave " + task.target + " in place: it holds the new loader already"
                    : task.savedExists
                        ? "replace " + task.target + " with " + loader + " (the original " +
                              task.target + "_1 an earlier run saved is kept)"
                        : "replace " + task.target + " with " + loader +
                              (task.exists ? " (the old one kept as " + task.target + "_1)" : ""));
                if (!task.identical && !plan.sourceReadable) {
                    p.Fail(task.target + " is not replaced: " + loader + " cannot be read", "");
                }
            }
        }
    }
    RestartSteps(all, context, p);
}

// The load at the end of a new-folder rollback; `afterStop`: the tasks the
// rollback's stop asks to quit will have ended by then.
void LoadSteps(const std::vector<Walked>& all, const RunContext& context, Prediction& p,
               bool afterStop) {
    for (const Walked& walked : all) {
        const RestartOutlook load = DecideLoad(walked.info, context);
        if (!load.problem.empty()) {
            p.Fail("the ORV tasks of " + walked.info.strDataPath + " are not loaded", load.problem);
        } else if (load.serverRunning) {
            p.Step("load the ORV tasks of " + walked.info.strDataPath + ": " +
                   Commands(afterStop ? LoadCommandsAfterStop(walked.info) : load.commands));
        }
    }
}

// What the rollback of `build` does with the extension managers and task
// executables its update replaced, as the ledger recorded them.
void PutBackSteps(const std::string& root, int build, const std::string& remaining, Prediction& p) {
    const ledger::Ledger written = ledger::ReadFile(root);
    const ledger::Fix* fix = ledger::Find(written, build);
    if (fix == nullptr || fix->programFiles.empty()) {
        p.Step(
            "leave the extension managers and task executables as they are: the ledger does "
            "not say what the hot fix " +
            std::to_string(build) + " did to them");
        return;
    }
    for (const ledger::ProgramFile& file : fix->programFiles) {
        const std::string source = ProgramFileSource(file, remaining);
        if (source == "-") {
            p.Step("remove " + file.path + ", which the hot fix added");
        } else if (source == "?") {
            p.Fail(file.path + " is not put back",
                   "no saved copy holds its content before the hot fix");
        } else if (!source.empty()) {
            p.Step("put " + file.path + " back as it was before the hot fix, from " + source);
        }
    }
}

void PredictUpdate(const Report& report, const std::vector<Walked>& all,
                   const std::list<ORVInsInfo>& accepted, const RunContext& context,
                   const signature::Seal& seal, ModeOutcome& outcome) {
    Prediction p(outcome, VerdictText(kIncompleteProblem),
                 "Error: The hot fix is in place, but a step after it failed in the "
                 "installations named above; the update is not complete.");
    if (!OpeningPasses(report, accepted, p) || !p.Follow(DecidePackage(context, true)) ||
        !p.Follow(signature::DecideSignature(seal), "the package's signature is bad")) {
        return;
    }
    const ResumeChoice resume = DecideUpdateResume(context);
    const bool resumed = resume.resume == Resume::kUpdateFolderMade;
    const int build = report.package.settings.buildNumber;
    const std::string& root = context.productRoot;
    ResumeSteps(resume, report, p);
    if (resumed) {
        p.Step("resume the interrupted update of build " + std::to_string(build) +
               ": its version folder " + VersionFolderPath(root, build) + " is complete");
    } else if (!p.Follow(DecideEnvironment(context))) {
        return;
    }
    // The clean-up comes before the build checks: it happens even when one of
    // them stops the update.
    std::vector<std::string> scanTaskLeft;
    for (const Installation& inst : report.installations) {
        if (!inst.kvmscanProblem.empty()) {
            p.Step("error: kvmscan stays in " + inst.notesIni.path + ": " + inst.kvmscanProblem);
            scanTaskLeft.push_back(inst.notesIni.path);
        } else if (inst.kvmscanRegistered) {
            p.Step("take kvmscan out of the ServerTasks line of " + inst.notesIni.path);
        }
    }
    UpdateChoice choice;
    choice.newFolder = VersionFolderPath(root, build) + "/";
    choice.current = CurrentVersionFolder(root);
    if (!resumed) {
        choice = DecideUpdate(context);
        if (choice.nothingToDo) {
            p.Step("nothing to do: " + choice.decision.logLines.back());
            p.Finish();
            return;
        }
        if (!p.Follow(choice.decision)) {
            return;
        }
    }
    if (!p.Follow(DecideScanTaskLeft(scanTaskLeft), "kvmscan stays registered")) {
        return;
    }
    for (const std::string& leftover : report.product.stagingLeftovers) {
        p.Step("remove the staging folder " + leftover + " left by an interrupted update");
    }
    const std::string& current = choice.current;
    const std::string folder = choice.newFolder.substr(0, choice.newFolder.size() - 1);
    auto source = [&](const std::string& name) {
        return FileAfterFill(context, current, folder, name, resumed);
    };
    const std::string incomplete = VerdictText(kIncompleteProblem);
    if (report.package.settings.createNewFolder != 0) {
        if (!resumed) {
            const FillChoice fill = DecideNewFolderFill(context, current, choice.newFolder);
            outcome.hasBytes = true;
            outcome.bytesNeeded = fill.bytesNeeded;
            outcome.bytesFree = fill.bytesFree;
            const std::string why = fill.decision.logLines.empty() ? "" : fill.decision.logLines[0];
            if (!p.Follow(fill.decision, why)) {
                return;
            }
            p.Step("copy " + current + " and " + std::to_string(context.packageFiles.size()) +
                   " package file(s) into the staging folder, then give it the name " +
                   choice.newFolder);
        }
        ExtensionSteps(all, source, p);
        p.Step("give " + choice.newFolder + " mode 0775 and group orvgroup");
        const std::string latest = LatestSwitchProblem(root, choice.newFolder);
        if (!latest.empty()) {
            p.Stop(incomplete, latest,
                   root +
                       "/program/latest is a folder; the new version folder is removed "
                       "and the extension managers are put back");
            return;
        }
        p.Step("point " + root + "/program/latest at " + choice.newFolder);
        p.Step("copy " + report.package.folder + "/readme_orv3_solaris.txt into " + root +
               "/program/");
        ReloadSteps(all, context, source, p);
        p.Finish();
        return;
    }

    // In place: the backup first (once), then the swap in the current folder.
    const std::string backup = BackupFolderPath(root, build);
    const std::vector<std::string>& table = context.fileTable;
    outcome.hasBytes = true;
    if (Exists(backup + "/orvpatch.ini")) {
        p.Step("keep the complete backup in " + backup);
    } else {
        const std::vector<std::string> added = NamesNotIn(table, current);
        const FillChoice fill = DecideInPlaceBackup(context, current, backup, added);
        outcome.bytesNeeded = fill.bytesNeeded;
        outcome.bytesFree = fill.bytesFree;
        for (const std::string& name : added) {
            p.Step("note: " + name + " is not in " + current +
                   " yet: the hot fix adds it, and its rollback takes it out");
        }
        if (!p.Follow(fill.decision,
                      fill.decision.logLines.empty() ? "" : fill.decision.logLines[0])) {
            return;
        }
        p.Step("save " + std::to_string(table.size() - added.size()) + " file(s) of " + current +
               " and orvpatch.ini into " + backup);
    }
    for (const std::string& saved : report.product.savedFiles) {
        p.Step("keep " + saved + ", the original an interrupted run saved");
    }
    const Decision swap = DecideSwap(table, context.packageFolder, current);
    if (!swap.proceed) {
        p.Stop(incomplete,
               Format("Error: Cannot put the new files in place in (%s); the old files are "
                      "renamed back.",
                      current.c_str()),
               swap.logLines.back());
        return;
    }
    p.Step("save each of the " + std::to_string(table.size()) + " file(s) in " + current +
           " as <name>_1 and copy the package's file over it");
    ExtensionSteps(all, source, p);
    ReloadSteps(all, context, source, p);
    p.Step("remove the <name>_1 files from " + current);
    p.Finish();
}

void PredictRollbackSteps(const Report& report, const std::vector<Walked>& all,
                          const std::list<ORVInsInfo>& accepted, const RunContext& context,
                          ModeOutcome& outcome) {
    Prediction p(outcome, VerdictText(kRollbackProblem),
                 "Error: The hot fix is taken out, but the ORV tasks do not run again in the "
                 "installations named above.");
    if (!OpeningPasses(report, accepted, p) || !p.Follow(DecidePackage(context, false))) {
        return;
    }
    const Package& package = report.package;
    const std::string& root = context.productRoot;
    const std::string program = ProgramFolderPath(root);
    const ResumeChoice resume = DecideRollbackResume(context);
    ResumeSteps(resume, report, p);
    auto relink = [&](int build) {
        const std::string remaining = NewestRemainingVersion(program, build);
        if (remaining.empty()) {
            p.Stop("",
                   Format("Error: There is no other version folder in (%s) for the link latest, "
                          "so return.",
                          program.c_str()),
                   "no version folder is left for program/latest");
            return;
        }
        const std::string latest = LatestSwitchProblem(root, remaining + "/");
        if (!latest.empty()) {
            p.Stop("", latest, root + "/program/latest is a folder");
            return;
        }
        p.Step("point " + root + "/program/latest at " + remaining + "/");
    };
    if (resume.resume == Resume::kRollbackFilesBack) {
        p.Step("resume the interrupted rollback of build " + std::to_string(resume.record.build) +
               ": every saved file is back; remove " + package.folder);
        PutBackSteps(root, resume.record.build, CurrentVersionFolder(root), p);
        p.Finish();
        return;
    }
    if (resume.resume == Resume::kRollbackMovedAway) {
        p.Step("resume the interrupted rollback of build " + std::to_string(resume.record.build) +
               ": its version folder is moved away; remove " + RemovalFolderPath(root));
        relink(resume.record.build);
        PutBackSteps(root, resume.record.build,
                     NewestRemainingVersion(program, resume.record.build), p);
        LoadSteps(all, context, p, false);
        p.Finish();
        return;
    }
    const RollbackChoice choice = DecideRollback(context);
    if (!p.Follow(choice.decision)) {
        return;
    }
    const std::string& current = choice.current;
    const int build = package.settings.buildNumber;

    if (package.settings.createNewFolder == 0) {
        const std::vector<std::string> added = AddedNames(package.folder, context.fileTable);
        const std::vector<std::string> table = NamesWithout(context.fileTable, added);
        const Decision swap = DecideSwap(table, package.folder, current);
        if (!swap.proceed) {
            p.Stop("",
                   Format("Error: Cannot put the saved files back into (%s); the hot fix files "
                          "are renamed back and the back up folder (%s) is kept.",
                          current.c_str(), package.folder.c_str()),
                   swap.logLines.back());
            return;
        }
        for (const std::string& name : added) {
            p.Step("take " + name + " out of " + current + " (the hot fix added it)");
        }
        p.Step("save each of the " + std::to_string(table.size()) + " file(s) in " + current +
               " as <name>_1 and copy the saved file of " + package.folder + " over it");
        PutBackSteps(root, build, current, p);
        RestartSteps(all, context, p);
        p.Step("remove the <name>_1 files from " + current);
        p.Step("remove " + package.folder + " and everything in it");
        p.Finish();
        return;
    }

    for (const Installation& inst : report.installations) {
        if (!inst.stopCommands.empty()) {
            p.Step("stop the ORV tasks of " + inst.dataFolder + ": " + Commands(inst.stopCommands));
        }
    }
    // The stop waits for tasks it cannot end: then it gives up.
    for (const Walked& walked : all) {
        const std::vector<std::string> left = TasksTheStopLeaves(walked.info, context);
        if (!left.empty()) {
            p.Stop("", StopGiveUpLine(walked.info.strDataPath, left.front()),
                   left.front() + " runs in " + walked.info.strDataPath +
                       " and the stop cannot end it");
            return;
        }
    }
    p.Step("wait until orvreal, orvdbs and orvupd have ended everywhere");
    relink(build);
    p.Step("move " + choice.hotfixFolder + " to " + RemovalFolderPath(root) + " and remove it");
    PutBackSteps(root, build, NewestRemainingVersion(program, build), p);
    LoadSteps(all, context, p, true);
    p.Finish();
}
// Every rollback that fails after the opening prints the rollback's verdict.
void PredictRollback(const Report& report, const std::vector<Walked>& all,
                     const std::list<ORVInsInfo>& accepted, const RunContext& context,
                     ModeOutcome& outcome) {
    PredictRollbackSteps(report, all, accepted, context, outcome);
    if (!outcome.wouldPass && outcome.verdict.empty()) {
        outcome.verdict = VerdictText(kRollbackProblem);
    }
}
}  // namespace

Report Inspect(const std::string& packageParent, bool rollback) {
    Report report;
    report.root = checkmachine::Root();
    report.checkUpdate = !rollback;
    report.checkRollback = rollback;
    report.package.folder =
        packageParent == "." ? std::string("./FileGroup1") : packageParent + "/FileGroup1";

    // The opening as the patcher runs it; its log lines are the report's.
    g_szORVPatch[0] = '\0';
    checkmachine::TakeLogLines();
    WalkContext walk;
    report.registryRead = ParseORVInsINI(RecordInstallation, &walk) == 0;
    report.openingLog = checkmachine::TakeLogLines();
    if (!report.registryRead) {
        report.openingLog.push_back("Parsing orvsys.ini error.");
    } else if (walk.accepted.empty()) {
        report.openingLog.push_back("No ORV installed.");
    } else {
        report.openingLog.push_back(Format("There is %d ORV installed in current system!",
                                           static_cast<int>(walk.accepted.size())));
    }
    const std::string productRoot = g_szORVPatch;

    _PatchSetting setting;
    DescribePackage(report.package, setting);
    std::vector<std::string> settingsLog = checkmachine::TakeLogLines();
    if (report.registryRead && !walk.accepted.empty()) {
        report.openingLog.insert(report.openingLog.end(), settingsLog.begin(), settingsLog.end());
    }

    // The run's context, whose console identities are decided from each
    // notes.ini as it stands now, as the run decides them before its first
    // change. What the probes below would log is not part of what the
    // patcher logs.
    std::strncpy(g_szORVPatch, productRoot.c_str(), sizeof g_szORVPatch - 1);
    InstallInfo package;
    package.strPackagePath = report.package.folder;
    const RunContext context = MakeRunContext(package, setting);
    for (const Walked& walked : walk.all) {
        report.installations.push_back(Describe(walked, context));
    }
    if (report.registryRead || !productRoot.empty()) {
        DescribeProduct(report.product, context.fileTable);
    }
    runstate::Record record;
    if (!productRoot.empty() && runstate::Read(productRoot, record)) {
        report.record.found = true;
        report.record.build = record.build;
        report.record.mode = record.mode;
        report.record.layout = record.layout;
        report.record.package = record.package;
        report.record.step = record.step;
    }
    if (!productRoot.empty()) {
        report.runLock = runlock::Probe(productRoot);
    }
    report.runUnderWay = report.runLock.state == runlock::State::kBusy;
    report.runHolder = report.runUnderWay ? runlock::HolderText(report.runLock.holder) : "";
    checkmachine::TakeLogLines();

    // The update's own check of the package; a rollback puts back what
    // this machine saved, whatever the keys.
    const signature::Seal seal = signature::CheckPackage(
        context.packageFolder, signature::NamesTheUpdateReads(context), context.setting);
    report.signature.state = signature::StateName(seal.state);
    if (seal.state == signature::State::kVerified) {
        report.signature.key = seal.keyFile + " (key number " + seal.keyNumber + ")";
    } else if (seal.state == signature::State::kBad) {
        report.signature.reason = "(" + seal.path + ") " + seal.reason;
    }
    checkmachine::TakeLogLines();
    if (rollback) {
        PredictRollback(report, walk.all, walk.accepted, context, report.rollback);
    } else {
        PredictUpdate(report, walk.all, walk.accepted, context, seal, report.update);
    }
    checkmachine::TakeLogLines();
    return report;
}

bool AllPass(const Report& report) {
    return report.checkRollback ? report.rollback.wouldPass : report.update.wouldPass;
}

}  // namespace check
