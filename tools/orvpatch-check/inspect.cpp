// Gathers the check's report: the registry walk, each installation's state,
// the product's version folders, the package and, per mode, what the patcher
// would decide. Only reads: the patcher's functions it calls here read files
// and probe locks, and their log lines land in the check's collector.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/run_context.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "check_machine.h"
#include "inspect.h"

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
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::string();
    }
    return found->pw_name;
}

// Whether a ServerTasks= line of notes.ini names kvmscan, read as the update's
// clean-up reads it: lines that start with "ServerTasks=" in any case, names
// cut at blanks, commas, semicolons and tabs, "kvmscan" in any case. A file
// that is no regular file is not opened beyond a look at its type.
bool ScanTaskRegistered(const std::string& notesIni) {
    int fd = open(notesIni.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    std::string content;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[65536];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            content.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    const char prefix[] = "ServerTasks=";
    const size_t prefixLength = sizeof prefix - 1;
    std::string::size_type start = 0;
    while (start < content.size()) {
        std::string::size_type end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? content.size() : end + 1;
        if (line.size() < prefixLength || strncasecmp(line.c_str(), prefix, prefixLength) != 0) {
            continue;
        }
        std::string::size_type pos = prefixLength;
        while (pos <= line.size()) {
            std::string::size_type sep = line.find_first_of(" ,;\t", pos);
            std::string name = line.substr(pos, sep == std::string::npos ? sep : sep - pos);
            if (name.size() == 7 && strncasecmp(name.c_str(), "kvmscan", 7) == 0) {
                return true;
            }
            if (sep == std::string::npos) {
                break;
            }
            pos = sep + 1;
        }
    }
    return false;
}

Installation Describe(const Walked& walked) {
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
    inst.kvmscanRegistered = ScanTaskRegistered(info.strNotesIniPath);
    inst.stopCommands = StopCommands(info);
    inst.waitedTasks = RunningCountedTasks(info);
    return inst;
}

bool IsDir(const std::string& path) {
    return KvORVFileOpUtil::isDir(path.c_str());
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size)
                                                               : 0;
}

// Bytes an unprivileged writer may still use on the file system of `path` or
// of its nearest existing parent; root may use the reserved blocks too.
long long BytesFree(std::string path) {
    struct statvfs vfs;
    while (statvfs(path.c_str(), &vfs) != 0) {
        std::string::size_type slash = path.rfind('/', path.size() > 1 ? path.size() - 2 : 0);
        if (slash == std::string::npos || path == "/") {
            return 0;
        }
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    unsigned long long blocks = geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
    return static_cast<long long>(blocks * vfs.f_frsize);
}

int BuildOf(const std::string& path) {
    int a = 0, b = 0, c = 0, d = 0;
    KvParseVersionStr(path.c_str(), &a, &b, &c, &d);
    return a != 0 ? d : 0;
}

void DescribeProduct(Product& product) {
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
            // Domino program folder must be there.
            product.latest.complete =
                Exists(resolved + "/liborvext.so") && Exists(resolved + "/loader");
        }
    }
    product.newest = CurrentVersionFolder(product.root);

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

bool Stop(ModeOutcome& outcome, const std::string& verdict, const std::string& logLine) {
    outcome.wouldPass = false;
    outcome.verdict = verdict;
    outcome.logLine = logLine;
    return false;
}

// Console commands as the report shows them: quoted, comma-separated.
std::string Commands(const std::vector<std::string>& commands) {
    std::string text;
    for (size_t i = 0; i < commands.size(); ++i) {
        text += (i == 0 ? "\"" : ", \"") + commands[i] + "\"";
    }
    return text;
}

// The console commands RestartAllORV would send to one installation, as its
// lock probes see the tasks now.
std::string RestartStep(const Installation& inst) {
    if (!inst.serverRunning) {
        return "restart: the server of " + inst.dataFolder + " is not running; no command";
    }
    auto running = [&](const char* task) {
        return std::find(inst.tasksRunning.begin(), inst.tasksRunning.end(), task) !=
               inst.tasksRunning.end();
    };
    std::vector<std::string> commands;
    for (const char* task : {"orvemf", "orvsch", "orvreal"}) {
        if (running(task)) {
            commands.push_back(std::string("te ") + task + " quit");
        }
        commands.push_back(std::string("load ") + task);
    }
    commands.push_back("te orvmon quit");
    commands.push_back("load orvmon");
    std::string step = "restart the ORV tasks of " + inst.dataFolder + " as " +
                       (inst.notesIni.ownerName.empty() ? std::to_string(inst.notesIni.ownerUid)
                                                        : inst.notesIni.ownerName) +
                       ":";
    for (size_t i = 0; i < commands.size(); ++i) {
        step += (i == 0 ? " \"" : ", \"") + commands[i] + "\"";
    }
    return step;
}

void AddDominoSteps(const Report& report, const std::string& source, ModeOutcome& outcome) {
    for (const Installation& inst : report.installations) {
        outcome.steps.push_back("replace " + inst.programFolder + "/liborvext.so with " + source +
                                "/liborvext.so (the old one kept under a liborvext.so_<n> name)");
    }
    if (report.package.settings.updateLoader != 0) {
        for (const Installation& inst : report.installations) {
            outcome.steps.push_back("replace the seven task executables in " + inst.programFolder +
                                    " with " + source + "/loader (the old ones kept as <task>_1)");
        }
    }
}

void AddRestartSteps(const Report& report, ModeOutcome& outcome) {
    for (const Installation& inst : report.installations) {
        outcome.steps.push_back(RestartStep(inst));
    }
}

bool OpeningPasses(const Report& report, const std::list<ORVInsInfo>& accepted,
                   ModeOutcome& outcome) {
    if (!report.registryRead) {
        return Stop(outcome, VerdictText(kNotInstalledProblem), "Parsing orvsys.ini error.");
    }
    if (accepted.empty()) {
        return Stop(outcome, VerdictText(kNotInstalledProblem), "No ORV installed.");
    }
    return true;
}

// Takes a decision of the patcher's: its last log line tells why it stops.
bool Follow(const Decision& decision, ModeOutcome& outcome) {
    if (decision.proceed) {
        return true;
    }
    return Stop(outcome, decision.verdict,
                decision.logLines.empty() ? std::string() : decision.logLines.back());
}

bool Contains(const std::vector<std::string>& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

void DecideUpdateMode(const Report& report, const std::list<ORVInsInfo>& accepted,
                      const RunContext& context, ModeOutcome& outcome) {
    if (!OpeningPasses(report, accepted, outcome) || !Follow(DecideEnvironment(context), outcome)) {
        return;
    }
    // The clean-up comes before the build checks: it happens even when one of
    // them stops the update.
    for (const Installation& inst : report.installations) {
        if (inst.kvmscanRegistered) {
            outcome.steps.push_back("take kvmscan out of the ServerTasks line of " +
                                    inst.notesIni.path);
        }
    }
    const UpdateChoice choice = DecideUpdate(context);
    if (!Follow(choice.decision, outcome)) {
        return;
    }
    for (const std::string& leftover : report.product.stagingLeftovers) {
        outcome.steps.push_back("remove the staging folder " + leftover +
                                " left by an interrupted update");
    }

    const Package& package = report.package;
    const std::string& root = context.productRoot;
    const std::string& current = choice.current;
    const int build = report.package.settings.buildNumber;
    const std::string incomplete = VerdictText(kIncompleteProblem);
    outcome.hasBytes = true;
    if (report.package.settings.createNewFolder != 0) {
        const std::string staging =
            Format("%s/program/.orvpatch-staging-B%d.tmp", root.c_str(), build);
        const long long tree = KvORVFileOpUtil::getDirSize64(current.c_str());
        outcome.bytesNeeded = tree < 0 ? 0 : tree;
        for (const std::string& name : context.packageFiles) {
            outcome.bytesNeeded += FileSize(package.folder + "/" + name);
        }
        outcome.bytesFree = BytesFree(root + "/program");
        outcome.steps.push_back("copy " + current + " and " +
                                std::to_string(context.packageFiles.size()) +
                                " package file(s) into " + staging);
        outcome.steps.push_back("rename " + staging + " to " + choice.newFolder);
        const std::string filled =
            Format("Error: The new version folder (%s) cannot be filled; nothing is installed.",
                   choice.newFolder.c_str());
        if (!package.missing.empty()) {
            Stop(outcome, incomplete, filled);
            outcome.steps.push_back("stop: " + package.missing.front() +
                                    " is listed but not in the package");
            return;
        }
        if (tree < 0 || outcome.bytesNeeded > outcome.bytesFree) {
            Stop(outcome, incomplete, filled);
            outcome.steps.push_back(tree < 0 ? "stop: " + current + " cannot be read whole"
                                             : "stop: not enough free space for the copy");
            return;
        }
        const std::string folder = choice.newFolder.substr(0, choice.newFolder.size() - 1);
        AddDominoSteps(report, folder, outcome);
        outcome.steps.push_back("give " + choice.newFolder + " mode 0775 and group orvgroup");
        outcome.steps.push_back("point " + root + "/program/latest at " + choice.newFolder);
        outcome.steps.push_back("copy " + package.folder + "/readme_orv3_solaris.txt into " + root +
                                "/program/");
        AddRestartSteps(report, outcome);
        outcome.wouldPass = true;
        return;
    }

    // In place: the backup first (once), then the swap in the current folder.
    const std::string backup = BackupFolderPath(root, build);
    const std::vector<std::string>& table = context.fileTable;
    if (Exists(backup + "/orvpatch.ini")) {
        outcome.steps.push_back("keep the complete backup in " + backup);
    } else {
        outcome.steps.push_back("save " + std::to_string(table.size()) + " file(s) of " + current +
                                " and orvpatch.ini into " + backup);
        outcome.bytesNeeded += FileSize(package.folder + "/orvpatch.ini");
        const std::vector<std::string> added = NamesNotIn(table, current);
        for (const std::string& name : added) {
            outcome.steps.push_back("note: " + name + " is not in " + current +
                                    " yet: the hot fix adds it, and its rollback takes it out");
        }
        for (const std::string& name : NamesWithout(table, added)) {
            struct stat st;
            if (stat((current + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                Stop(outcome, incomplete,
                     Format("Error: Cannot back up the files into (%s); nothing is installed.",
                            backup.c_str()));
                outcome.steps.push_back("stop: " + name + " in " + current +
                                        " is not a file that can be saved");
                return;
            }
            outcome.bytesNeeded += FileSize(current + "/" + name);
        }
    }
    for (const std::string& name : table) {
        outcome.bytesNeeded += FileSize(package.folder + "/" + name);
    }
    outcome.bytesFree = BytesFree(root + "/hotfix");
    outcome.steps.push_back("rename each of the " + std::to_string(table.size()) + " file(s) in " +
                            current + " to <name>_1");
    outcome.steps.push_back("copy the package's file(s) into " + current);
    for (const std::string& name : table) {
        if (!Exists(package.folder + "/" + name)) {
            Stop(outcome, incomplete,
                 Format("Error: Cannot put the new files in place in (%s); the old files are "
                        "renamed back.",
                        current.c_str()));
            outcome.steps.push_back("stop: " + name + " is not in the package");
            return;
        }
    }
    if (outcome.bytesNeeded > outcome.bytesFree) {
        Stop(outcome, incomplete,
             Format("Error: Cannot back up the files into (%s); nothing is installed.",
                    backup.c_str()));
        outcome.steps.push_back("stop: not enough free space for the backup and the new files");
        return;
    }
    AddDominoSteps(report, current, outcome);
    AddRestartSteps(report, outcome);
    outcome.steps.push_back("remove the <name>_1 files from " + current);
    outcome.wouldPass = true;
}

void DecideRollbackMode(const Report& report, const std::list<ORVInsInfo>& accepted,
                        const RunContext& context, ModeOutcome& outcome) {
    if (!OpeningPasses(report, accepted, outcome)) {
        return;
    }
    const RollbackChoice choice = DecideRollback(context);
    if (!Follow(choice.decision, outcome)) {
        return;
    }
    const Package& package = report.package;
    const std::string& root = context.productRoot;
    const std::string& current = choice.current;
    const int build = package.settings.buildNumber;

    if (package.settings.createNewFolder == 0) {
        const std::string saved = BackupFolderPath(root, build);
        char real[PATH_MAX];
        char expected[PATH_MAX];
        if (realpath(package.folder.c_str(), real) == nullptr ||
            realpath(saved.c_str(), expected) == nullptr || std::strcmp(real, expected) != 0) {
            outcome.steps.push_back("note: this is not the saved copy " + saved +
                                    "; the files put back are this package's own");
        }
        const std::vector<std::string> added = AddedNames(package.folder, context.fileTable);
        for (const std::string& name : added) {
            outcome.steps.push_back("take " + name + " out of " + current +
                                    " (the hot fix added it)");
        }
        const std::vector<std::string> table = NamesWithout(context.fileTable, added);
        outcome.steps.push_back("rename each of the " + std::to_string(table.size()) +
                                " file(s) in " + current + " to <name>_1");
        outcome.steps.push_back("copy the saved file(s) of " + package.folder + " into " + current);
        for (const std::string& name : table) {
            if (!Exists(package.folder + "/" + name)) {
                Stop(outcome, "",
                     Format("Error: Cannot put the saved files back into (%s); the hot fix "
                            "files are renamed back and the back up folder (%s) is kept.",
                            current.c_str(), package.folder.c_str()));
                outcome.steps.push_back("stop: " + name + " is not in " + package.folder);
                return;
            }
        }
        AddRestartSteps(report, outcome);
        outcome.steps.push_back("remove the <name>_1 files from " + current);
        outcome.steps.push_back("remove " + package.folder + " and everything in it");
        outcome.wouldPass = true;
        return;
    }

    for (const Installation& inst : report.installations) {
        if (!inst.stopCommands.empty()) {
            outcome.steps.push_back("stop the ORV tasks of " + inst.dataFolder + ": " +
                                    Commands(inst.stopCommands));
        }
    }
    // The stop waits for tasks it may never have asked to quit (one whose
    // server is not running, or one the stop leaves alone): then it gives up.
    for (const Installation& inst : report.installations) {
        for (const std::string& task : inst.waitedTasks) {
            if (!Contains(inst.stopCommands, "te " + task + " quit")) {
                Stop(outcome, "", "Has try 10 times to stop ORV, but still failed, so give up.");
                outcome.steps.push_back("stop: " + task + " runs in " + inst.dataFolder +
                                        " and the stop never asks it to quit");
                return;
            }
        }
    }
    outcome.steps.push_back("wait until orvreal, orvdbs and orvupd have ended everywhere");
    const std::string program = ProgramFolderPath(root);
    const std::string remaining = NewestRemainingVersion(program, build);
    if (remaining.empty()) {
        Stop(outcome, "",
             Format("Error: There is no other version folder in (%s) for the link latest, so "
                    "return.",
                    program.c_str()));
        return;
    }
    outcome.steps.push_back("point " + root + "/program/latest at " + remaining + "/");
    outcome.steps.push_back("move " + choice.hotfixFolder + " to " + RemovalFolderPath(root) +
                            " and remove it");
    for (const Installation& inst : report.installations) {
        if (inst.serverRunning) {
            // Once the stop has ended them, every task is loaded again.
            outcome.steps.push_back("load the ORV tasks of " + inst.dataFolder +
                                    ": \"load orvemf\", \"load orvsch\", \"load orvmon\", "
                                    "\"load orvreal\"");
        }
    }
    outcome.wouldPass = true;
}

}  // namespace

Report Inspect(const std::string& packageParent, bool update, bool rollback) {
    Report report;
    report.root = checkmachine::Root();
    report.checkUpdate = update;
    report.checkRollback = rollback;
    report.package.folder =
        packageParent == "." ? std::string("./FileGroup1") : packageParent + "/FileGroup1";

    // The opening as the patcher runs it; its log lines are the report's.
    g_szORVPatch[0] = '\0';
    checkmachine::TakeLogLines();
    WalkContext walk;
    report.registryRead = ParseORVInsINI(RecordInstallation, &walk) == 0;
    if (!report.registryRead) {
        report.openingLog = checkmachine::TakeLogLines();
        report.openingLog.push_back("Parsing orvsys.ini error.");
    } else if (walk.accepted.empty()) {
        report.openingLog = checkmachine::TakeLogLines();
        report.openingLog.push_back("No ORV installed.");
    } else {
        report.openingLog = checkmachine::TakeLogLines();
        report.openingLog.push_back(Format("There is %d ORV installed in current system!",
                                           static_cast<int>(walk.accepted.size())));
    }
    const std::string productRoot = g_szORVPatch;

    _PatchSetting setting;
    if (report.registryRead && !walk.accepted.empty()) {
        DescribePackage(report.package, setting);
        std::vector<std::string> settingsLog = checkmachine::TakeLogLines();
        report.openingLog.insert(report.openingLog.end(), settingsLog.begin(), settingsLog.end());
    } else {
        DescribePackage(report.package, setting);
        checkmachine::TakeLogLines();
    }

    // What the probes below would log is not part of what the patcher logs.
    for (const Walked& walked : walk.all) {
        report.installations.push_back(Describe(walked));
    }
    if (report.registryRead || !productRoot.empty()) {
        std::strncpy(g_szORVPatch, productRoot.c_str(), sizeof g_szORVPatch - 1);
        DescribeProduct(report.product);
    }
    checkmachine::TakeLogLines();

    InstallInfo package;
    package.strPackagePath = report.package.folder;
    const RunContext context = MakeRunContext(package, setting);
    if (update) {
        DecideUpdateMode(report, walk.accepted, context, report.update);
    }
    if (rollback) {
        DecideRollbackMode(report, walk.accepted, context, report.rollback);
    }
    checkmachine::TakeLogLines();
    return report;
}

bool AllPass(const Report& report) {
    return (!report.checkUpdate || report.update.wouldPass) &&
           (!report.checkRollback || report.rollback.wouldPass);
}

}  // namespace check
