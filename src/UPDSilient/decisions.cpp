#include "UPDSilient/decisions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/ledger.h"
#include "UPDSilient/numbers.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

const char kNotInstalledProblem[] = "ORV isn't installed in the server.";
const char kEnvironmentProblem[] = "The environment doesn't pass the checking.";
const char kBuildNumberProblem[] = "Cannot get the build number of current ORV.";
const char kNewerProblem[] = "The current version is newer than that in this package.";
const char kDepentProblem[] = "The depent build isn't installed in the current server.";
const char kIncompleteProblem[] = "The hot fix cannot be installed completely.";
const char kRollbackProblem[] = "The hot fix cannot be rolled back completely.";

namespace {

// A version folder's four numbers, compared first number first.
typedef std::array<int, 4> Version;

Decision Stop(Decision decision, const std::string& line, const char* problem) {
    decision.proceed = false;
    decision.logLines.push_back(line);
    if (problem != nullptr) {
        decision.verdict = VerdictText(problem);
    }
    return decision;
}

}  // namespace

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

namespace {
// The verdict names the log every run writes: there is no other log.
const char kVerdictTail[] = " Please check the log /opt/varnel/ORV/orvspins.log for detail info.";
}  // namespace

std::string VerdictText(const char* problem) {
    return std::string(problem) + kVerdictTail;
}

void PrintVerdict(const std::string& verdict) {
    std::fputs(verdict.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintVerdictOf(const char* problem) {
    std::fputs(problem, stdout);
    std::fputs(kVerdictTail, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string StopGiveUpLine(const std::string& dataFolder, const std::string& task) {
    return Format(
        "Error: Has try 10 times to stop ORV, but still failed, so give up. (the task %s of the "
        "server in (%s) still runs)",
        task.c_str(), dataFolder.c_str());
}

std::string VersionFolderName(int build) {
    return "V3.0.0." + std::to_string(build);
}

std::string VersionFolderPath(const std::string& root, int build) {
    return root + "/program/" + VersionFolderName(build);
}

std::string ProgramFolderPath(const std::string& root) {
    return root + "/program/";
}

std::string BackupFolderPath(const std::string& root, int build) {
    return root + "/hotfix/B" + std::to_string(build) + "/FileGroup1";
}

std::string RemovalFolderPath(const std::string& root) {
    return root + "/program/V3.0.0.0000";
}

std::string CurrentVersionFolder(const std::string& root) {
    return FindNewestVersion(root, "program").path;
}

bool HasBuildText(const std::string& path) {
    return path.find('.') != std::string::npos;
}

std::string BuildText(const std::string& path) {
    std::string::size_type dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

bool CarryOut(const Decision& decision) {
    for (const std::string& line : decision.logLines) {
        LogDebugMessage(1, "%s", line.c_str());
    }
    if (!decision.proceed && !decision.verdict.empty()) {
        PrintVerdict(decision.verdict);
    }
    return decision.proceed;
}

namespace {

// A rollback takes out the newest installed fix only: the originals of an
// older one are the newer one's saved files.
bool NewestFirst(const RunContext& context, Decision& d) {
    const int build = context.setting != nullptr ? context.setting->BuildNumber : 0;
    const ledger::Ledger installed = ledger::Read(context.productRoot);
    const ledger::Fix* newest = ledger::Newest(installed);
    if (newest != nullptr && newest->build > build) {
        d = Stop(d,
                 Format("Error: The hot fix %d is not the newest installed one: roll back the "
                        "hot fix %d (%s) first. Nothing is changed.",
                        build, newest->build, newest->way.c_str()),
                 nullptr);
        return false;
    }
    return true;
}

}  // namespace

Decision DecideBusy(const std::string& root, const std::string& holderText) {
    return Stop(Decision(),
                Format("Error: Another run (%s) holds the product root (%s), so nothing is "
                       "changed.",
                       holderText.c_str(), root.c_str()),
                kIncompleteProblem);
}

namespace {

// The package folder's trust problem ("" when there is none): the folder
// holding it, the entry itself when it is a link, and the folder it names.
std::string PackageFolderProblem(const std::string& package) {
    const std::string shown = runstate::AbsolutePath(package);
    std::string holder = KvORVFileOpUtil::getDirName(package.c_str());
    while (holder.size() > 1 && holder.back() == '/') {
        holder.pop_back();
    }
    const std::string name = KvORVFileOpUtil::getFileName(package.c_str());
    const fileio::Fd parent(
        ::open(holder.empty() ? "." : holder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat entry;
    if (!parent.valid() ||
        ::fstatat(parent.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        return "";  // no package folder: the build checks stop the run
    }
    const std::string refused = "Error: Refuse the package folder (" + shown + "): ";
    const std::string tail = "; nothing is changed.";
    const machine::Finding above =
        machine::FolderTrust(parent.get(), runstate::AbsolutePath(holder.empty() ? "." : holder));
    if (!above.ok) {
        return refused + "the folder holding it (" + above.path + "): " + above.why + tail;
    }
    if (S_ISLNK(entry.st_mode) && !machine::RootSide(entry.st_uid)) {
        return refused + "it is a link of user " + std::to_string(entry.st_uid) + tail;
    }
    const fileio::Fd folder(::openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        return refused + "it cannot be opened as a folder (" + std::strerror(errno) + ")" + tail;
    }
    const machine::Finding own = machine::FolderTrust(folder.get(), shown);
    return own.ok ? "" : refused + own.why + tail;
}

}  // namespace

Decision DecidePackage(const RunContext& context, bool update) {
    Decision d;
    const std::string problem = update ? PackageFolderProblem(context.packageFolder) : "";
    if (!problem.empty()) {
        d.logLines.push_back(problem);
    }
    if (context.setting != nullptr) {
        for (const std::string& name : ClassifyPackageFiles(context.setting->Files).unsafe) {
            d.logLines.push_back(
                Format("Error: The file name (%s) names no file directly inside the package folder "
                       "(%s); nothing is changed.",
                       name.c_str(), context.packageFolder.c_str()));
        }
    }
    if (!d.logLines.empty()) {
        d.proceed = false;
        d.verdict = update ? VerdictText(kEnvironmentProblem) : std::string();
    }
    return d;
}

Decision DecideRunLock(const std::string& root, const runlock::Outlook& lock) {
    if (lock.state == runlock::State::kBusy) {
        return DecideBusy(root, runlock::HolderText(lock.holder));
    }
    if (lock.state == runlock::State::kRefused) {
        return Stop(Decision(),
                    Format("Error: The run lock (%s) is not a file only root may open: %s, so "
                           "nothing is changed.",
                           runlock::LockPath(root).c_str(), lock.why.c_str()),
                    kIncompleteProblem);
    }
    Decision d;
    if (lock.state == runlock::State::kNotOpened) {
        d.logLines.push_back(
            Format("Info: The run lock (%s) is root's and this user may not open it, "
                   "so the run goes on without it.",
                   runlock::LockPath(root).c_str()));
    }
    return d;
}

Decision DecideEnvironment(const RunContext& context) {
    const int build = context.setting != nullptr ? context.setting->BuildNumber : 0;
    if (KvORVFileOpUtil::exist(VersionFolderPath(context.productRoot, build).c_str())) {
        return Stop(Decision(), "Doesn't pass the environment checking!", kEnvironmentProblem);
    }
    return Decision();
}

Decision DecideScanTaskLeft(const std::vector<std::string>& left) {
    Decision d;
    for (const std::string& notesIni : left) {
        d = Stop(d,
                 Format("Error: The task kvmscan stays registered in (%s), so nothing is "
                        "installed.",
                        notesIni.c_str()),
                 kIncompleteProblem);
    }
    return d;
}

UpdateChoice DecideUpdate(const RunContext& context) {
    UpdateChoice choice;
    const _PatchSetting none;
    const _PatchSetting& setting = context.setting != nullptr ? *context.setting : none;
    choice.newFolder = VersionFolderPath(context.productRoot, setting.BuildNumber) + "/";
    choice.current = CurrentVersionFolder(context.productRoot);
    Decision& d = choice.decision;
    if (!HasBuildText(choice.current)) {
        d = Stop(d,
                 Format("Cannot get the build number of current ORV. (%s)", choice.current.c_str()),
                 kBuildNumberProblem);
        return choice;
    }
    const std::string buildText = BuildText(choice.current);
    d.logLines.push_back(Format("The build number of current ORV is (%s)", buildText.c_str()));
    choice.currentBuild = SaturatedAtoi(buildText.c_str());
    if (choice.currentBuild >= setting.BuildNumber) {
        d = Stop(d,
                 Format("The current version is newer than that in this package. So quit. "
                        "(Old,%s:New,%s)",
                        choice.current.c_str(), choice.newFolder.c_str()),
                 kNewerProblem);
        return choice;
    }
    const ledger::Ledger installed = ledger::Read(context.productRoot);
    const ledger::Fix* newest = ledger::Newest(installed);
    if (newest != nullptr && setting.BuildNumber <= newest->build) {
        const ledger::Fix* same = ledger::Find(installed, setting.BuildNumber);
        runstate::Record record;
        const bool resuming = runstate::Read(context.productRoot, record) &&
                              record.mode == "update" && record.build == setting.BuildNumber;
        const bool inPlace = setting.CreateNewFolder == 0;
        if (same == newest && inPlace && same->way == "in-place" && !resuming &&
            same->status == ledger::kInstalled) {
            choice.nothingToDo = true;
            d.proceed = false;
            d.logLines.push_back(Format("Info: The hot fix %d is installed already; nothing to do.",
                                        setting.BuildNumber));
            return choice;
        }
        // A fix of this build that its update did not finish is finished.
        if (!(same == newest && inPlace && same->way == "in-place")) {
            d = Stop(d,
                     Format("Error: The hot fix %d is not newer than the installed hot fix %d "
                            "(%s), so nothing is changed.",
                            setting.BuildNumber, newest->build, newest->way.c_str()),
                     kNewerProblem);
            return choice;
        }
    }
    if (setting.DepentBuild != 0 && setting.DepentBuild != choice.currentBuild) {
        d = Stop(d,
                 Format("The depent build isn't installed in the current server. (Current "
                        "Build,%d:Depent Build,%d)",
                        choice.currentBuild, setting.DepentBuild),
                 kDepentProblem);
    }
    return choice;
}

RollbackChoice DecideRollback(const RunContext& context) {
    RollbackChoice choice;
    const _PatchSetting none;
    const _PatchSetting& setting = context.setting != nullptr ? *context.setting : none;
    choice.current = CurrentVersionFolder(context.productRoot);
    Decision& d = choice.decision;
    if (setting.CreateNewFolder == 0) {
        if (choice.current.empty()) {
            // Without a version folder the saved files would be put below "/".
            d = Stop(d,
                     Format("Error: There is no version folder in (%s/program), so return.",
                            context.productRoot.c_str()),
                     nullptr);
        } else if (!IsBackupFolder(context.packageFolder, context.productRoot,
                                   setting.BuildNumber)) {
            // Anywhere else, the files put back would be the hot fix's own and
            // the folder removed at the end would not be a backup.
            const std::string backup = BackupFolderPath(context.productRoot, setting.BuildNumber);
            d = Stop(d,
                     Format("Error: An in-place hot fix is taken out from its back up folder "
                            "only: run the rollback in (%s). Nothing is changed.",
                            backup.substr(0, backup.rfind('/')).c_str()),
                     nullptr);
        } else if (!NewestFirst(context, d)) {
            return choice;
        } else {
            // Back into the folder the update swapped the files in.
            const ledger::Ledger installed = ledger::Read(context.productRoot);
            const ledger::Fix* fix = ledger::Find(installed, setting.BuildNumber);
            if (fix != nullptr && !fix->versionFolder.empty() &&
                KvORVFileOpUtil::isDir(fix->versionFolder.c_str())) {
                choice.current = fix->versionFolder;
            }
        }
        return choice;
    }
    choice.hotfixFolder = VersionFolderPath(context.productRoot, setting.BuildNumber) + "/";
    if (!KvORVFileOpUtil::isDir(choice.hotfixFolder.c_str())) {
        d = Stop(d,
                 Format("The hotfix isn't installed, the folder isn't a folder or doesn't exist. "
                        "(%s)",
                        choice.hotfixFolder.c_str()),
                 nullptr);
        return choice;
    }
    if (!HasBuildText(choice.current)) {
        d = Stop(d,
                 Format("Cannot get the build number of current ORV. (%s)", choice.current.c_str()),
                 nullptr);
        return choice;
    }
    const std::string buildText = BuildText(choice.current);
    d.logLines.push_back(Format("The build number of current ORV is (%s)", buildText.c_str()));
    if (SaturatedAtoi(buildText.c_str()) > setting.BuildNumber) {
        d = Stop(d,
                 Format("There is newer HF applied, so return, the build number of current ORV is "
                        "(%s)",
                        buildText.c_str()),
                 nullptr);
        return choice;
    }
    if (!NewestFirst(context, d)) {
        return choice;
    }
    const std::string programFolder = ProgramFolderPath(context.productRoot);
    choice.hotfixes = CountHotfixes(programFolder);
    if (choice.hotfixes <= 1) {
        d = Stop(d,
                 Format("There is only one folder matching the pattern, so return. (%s)",
                        programFolder.c_str()),
                 nullptr);
        return choice;
    }
    d.logLines.push_back(Format("There %d hotfixes installed.", choice.hotfixes));
    return choice;
}

bool IsBackupFolder(const std::string& packageFolder, const std::string& root, int build) {
    const std::string backup = BackupFolderPath(root, build);
    struct stat package;
    struct stat saved;
    struct stat settings;
    return ::stat(packageFolder.c_str(), &package) == 0 && ::stat(backup.c_str(), &saved) == 0 &&
           package.st_dev == saved.st_dev && package.st_ino == saved.st_ino &&
           ::stat((backup + "/orvpatch.ini").c_str(), &settings) == 0 && S_ISREG(settings.st_mode);
}

int CountHotfixes(const std::string& programFolder) {
    int count = 0;
    KvORVDirList list(programFolder.c_str());
    while (list.hasNext()) {
        std::string path = list.getNext();
        if (KvORVFileOpUtil::isDir(path.c_str()) && HasBuildText(path) &&
            SaturatedAtoi(BuildText(path).c_str()) > 0) {
            ++count;
        }
    }
    return count;
}

std::string NewestRemainingVersion(const std::string& programFolder, int hotfixBuild) {
    const std::string hotfixName = VersionFolderName(hotfixBuild);
    Version best{{0, 0, 0, 0}};
    std::string chosen;
    KvORVDirList list((programFolder + "V*").c_str());
    while (list.hasNext()) {
        std::string path = list.getNext();
        std::string name = KvORVFileOpUtil::getFileName(path.c_str());
        if (name == hotfixName || name == "V3.0.0.0000" || !KvORVFileOpUtil::isDir(path.c_str())) {
            continue;
        }
        Version v{{0, 0, 0, 0}};
        KvParseVersionStr(path.c_str(), &v[0], &v[1], &v[2], &v[3]);
        if (v > best) {
            best = v;
            chosen = path;
        }
    }
    return best[0] != 0 ? chosen : std::string();
}

namespace {

const _PatchSetting& SettingOf(const RunContext& context) {
    static const _PatchSetting none;
    return context.setting != nullptr ? *context.setting : none;
}

bool Listed(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// `bytes` rounded up to whole blocks of `block` bytes.
long long BlocksOf(long long bytes, long long block) {
    return block > 1 ? (bytes + block - 1) / block * block : bytes;
}

bool PathThere(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// What a tree copy would meet below a folder: the first entry it could not
// read (a folder it cannot list, a regular file it cannot open) and the
// bytes of the regular files. Links and special files are the copy's to
// recreate; nothing below a link is looked at.
struct TreeLook {
    std::string unreadable;
    long long block = 1;  // the block size of the file system copied to
    long long bytes = 0;  // each file's size and each folder, in whole blocks
    long long files = 0;  // the entries a copy makes
};

// Looks at the folder open as `fd` (`path` names it) and below, through
// open folders, so no path length or descriptor count limits the depth:
// each child is walked with its parent closed, which is opened again
// through "..". Answers that parent's descriptor (-1 when it cannot be), and
// closes `fd`.
int LookAtFolder(int fd, const std::string& path, TreeLook& look) {
    std::vector<std::pair<std::string, bool>> entries;  // name, folder
    const int listed = ::dup(fd);
    DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
    if (dir == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        look.unreadable = path;
    } else {
        while (struct dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            struct stat st;
            if (name == "." || name == ".." ||
                ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            ++look.files;
            if (S_ISREG(st.st_mode)) {
                // A copy writes every byte, holes included.
                look.bytes += BlocksOf(st.st_size, look.block);
                const int file = ::openat(
                    fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
                if (file >= 0) {
                    ::close(file);
                } else if (look.unreadable.empty()) {
                    look.unreadable = path + "/" + name;
                }
            } else if (S_ISDIR(st.st_mode)) {
                look.bytes += look.block;
                entries.emplace_back(name, true);
            }
        }
        ::closedir(dir);
    }
    for (const auto& entry : entries) {
        if (!look.unreadable.empty()) {
            break;
        }
        const int child =
            ::openat(fd, entry.first.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            look.unreadable = path + "/" + entry.first;
            break;
        }
        ::close(fd);
        fd = LookAtFolder(child, path + "/" + entry.first, look);
        if (fd < 0) {
            return -1;
        }
    }
    const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    return parent;
}

TreeLook LookAtTree(const std::string& folder, long long block = 1) {
    TreeLook look;
    look.block = block;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        look.unreadable = folder;
        return look;
    }
    const int parent = LookAtFolder(fd, folder, look);
    if (parent >= 0) {
        ::close(parent);
    }
    return look;
}

// The Error: line of a fill there is no room for ("" when there is): too
// few blocks, or too few files, that users may still take.
std::string NoRoom(const char* what, const std::string& folder, const FillChoice& fill) {
    if (fill.bytesNeeded > fill.bytesFree) {
        return Format("Error: %s (%s) needs %lld bytes, but %lld are free.", what, folder.c_str(),
                      fill.bytesNeeded, fill.bytesFree);
    }
    if (fill.filesNeeded > fill.filesFree) {
        return Format("Error: %s (%s) needs %lld files, but %lld are free.", what, folder.c_str(),
                      fill.filesNeeded, fill.filesFree);
    }
    return std::string();
}

const char kNotFilled[] =
    "Error: The new version folder (%s) cannot be filled; nothing is installed.";
const char kNotBackedUp[] = "Error: Cannot back up the files into (%s); nothing is installed.";

}  // namespace

ResumeChoice DecideUpdateResume(const RunContext& context) {
    ResumeChoice choice;
    const _PatchSetting& setting = SettingOf(context);
    const std::string& root = context.productRoot;
    runstate::Record& record = choice.record;
    choice.recordFound = runstate::Read(root, record);
    if (!choice.recordFound) {
        return choice;
    }
    if (setting.BuildNumber == 0 || record.build != setting.BuildNumber) {
        choice.setAside = true;
    } else if (record.mode == "update" && record.layout == "new-folder" &&
               setting.CreateNewFolder != 0 &&
               KvORVFileOpUtil::isDir(VersionFolderPath(root, setting.BuildNumber).c_str())) {
        // The folder was given its name complete, by this package's run.
        choice.resume = Resume::kUpdateFolderMade;
    }
    return choice;
}

ResumeChoice DecideRollbackResume(const RunContext& context) {
    ResumeChoice choice;
    const _PatchSetting& setting = SettingOf(context);
    const std::string& root = context.productRoot;
    const std::string package = runstate::AbsolutePath(context.packageFolder);
    runstate::Record& record = choice.record;
    choice.recordFound = runstate::Read(root, record);
    if (!choice.recordFound) {
        return choice;
    }
    // This package's record: the same build, or, when the settings went
    // with the backup folder, the same package folder.
    const bool own =
        setting.BuildNumber != 0 ? record.build == setting.BuildNumber : record.package == package;
    if (!own) {
        choice.setAside = true;
    } else if (record.mode == "rollback" && record.layout == "new-folder" &&
               setting.CreateNewFolder != 0 &&
               !KvORVFileOpUtil::isDir(VersionFolderPath(root, record.build).c_str())) {
        choice.resume = Resume::kRollbackMovedAway;
    } else if (record.mode == "rollback" && record.layout == "in-place" &&
               record.step == runstate::kStepFilesBack && record.package == package) {
        choice.resume = Resume::kRollbackFilesBack;
    }
    return choice;
}

std::string UnreadableFile(const std::vector<std::string>& names, const std::string& folder,
                           std::string* why) {
    for (const std::string& name : names) {
        struct stat st;
        const std::string path = folder + "/" + name;
        // As the copy reads it: a link root may not follow is not read through.
        const int flags =
            ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !machine::MayFollow(st)
                ? O_NOFOLLOW
                : 0;
        if (!fileio::OpenRegularForReading(AT_FDCWD, path.c_str(), st, flags).valid()) {
            if (why != nullptr) {
                *why = std::strerror(errno);
            }
            return name;
        }
    }
    return std::string();
}

std::string UnreadableInTree(const std::string& folder) {
    return LookAtTree(folder).unreadable;
}

FreeSpace SpaceFree(std::string path) {
    FreeSpace space;
    struct statvfs vfs;
    while (::statvfs(path.c_str(), &vfs) != 0) {
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        const std::string::size_type slash = path.rfind('/');
        if (slash == std::string::npos || path == "/") {
            return space;
        }
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    // What users may still take: the blocks and files the file system keeps
    // for root are for repairing the machine, not for a hot fix.
    space.block = static_cast<long long>(vfs.f_frsize);
    space.bytes = static_cast<long long>(vfs.f_bavail) * space.block;
    space.files = static_cast<long long>(vfs.f_favail);
    return space;
}

long long BytesFree(std::string path) {
    return SpaceFree(std::move(path)).bytes;
}

long long FileBytes(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
               ? static_cast<long long>(st.st_size)
               : 0;
}

FillChoice DecideNewFolderFill(const RunContext& context, const std::string& current,
                               const std::string& newFolder) {
    FillChoice fill;
    Decision& d = fill.decision;
    const FreeSpace space = SpaceFree(ProgramFolderPath(context.productRoot));
    const TreeLook tree = LookAtTree(current, space.block);
    // The new folder itself, and what the tree copy makes in it.
    fill.bytesNeeded = tree.bytes + space.block;
    fill.filesNeeded = tree.files + 1;
    for (const std::string& name : context.packageFiles) {
        fill.bytesNeeded += BlocksOf(FileBytes(context.packageFolder + "/" + name), space.block);
        // A file of the version the package replaces is copied once.
        const long long replaced = BlocksOf(FileBytes(current + "/" + name), space.block);
        fill.bytesNeeded -= std::min(tree.bytes, replaced);
        fill.filesNeeded += PathThere(current + "/" + name) ? 0 : 1;
    }
    fill.bytesFree = space.bytes;
    fill.filesFree = space.files;
    std::string why;
    std::string line;
    if (!tree.unreadable.empty()) {
        line = Format("Error: Cannot copy the current version (%s) into (%s): (%s) cannot be read.",
                      current.c_str(), newFolder.c_str(), tree.unreadable.c_str());
    } else {
        const std::string name = UnreadableFile(context.packageFiles, context.packageFolder, &why);
        if (!name.empty()) {
            // As the copy of that file would fail and say.
            const int rc = why == std::strerror(EISDIR) ? FOP_ERR_READ : FOP_ERR_OPEN_SOURCE;
            line = Format(
                "Error: Cannot copy the file(%s/%s) to (%s%s). Error code is %d. (%s)",
                context.packageFolder.c_str(), name.c_str(),
                StagingFolderPath(context.productRoot, SettingOf(context).BuildNumber).c_str(),
                name.c_str(), rc, why.c_str());
        } else {
            line = NoRoom("The new version folder", newFolder, fill);
        }
    }
    if (!line.empty()) {
        d.logLines.push_back(line);
        d = Stop(d, Format(kNotFilled, newFolder.c_str()), kIncompleteProblem);
    }
    return fill;
}

FillChoice DecideInPlaceBackup(const RunContext& context, const std::string& current,
                               const std::string& backupFolder,
                               const std::vector<std::string>& added) {
    FillChoice fill;
    const std::vector<std::string> saved = NamesWithout(context.fileTable, added);
    const FreeSpace space = SpaceFree(backupFolder);
    // The backup folder, its orvpatch.ini, and a copy of each saved file
    // (where a hard link cannot be made).
    fill.bytesNeeded =
        space.block + BlocksOf(FileBytes(context.packageFolder + "/orvpatch.ini"), space.block);
    fill.filesNeeded = 2 + static_cast<long long>(saved.size());
    for (const std::string& name : saved) {
        fill.bytesNeeded += BlocksOf(FileBytes(current + "/" + name), space.block);
    }
    fill.bytesFree = space.bytes;
    fill.filesFree = space.files;
    std::string why;
    const std::string name = UnreadableFile(saved, current, &why);
    std::string line;
    if (!name.empty()) {
        line =
            Format("Error: Cannot save the file (%s/%s): it is not a file that can be read (%s).",
                   current.c_str(), name.c_str(), why.c_str());
    } else {
        line = NoRoom("The back up in", backupFolder, fill);
    }
    if (!line.empty()) {
        fill.decision.logLines.push_back(line);
        fill.decision =
            Stop(fill.decision, Format(kNotBackedUp, backupFolder.c_str()), kIncompleteProblem);
    }
    return fill;
}

Decision DecideSwap(const std::vector<std::string>& names, const std::string& from,
                    const std::string& folder) {
    Decision d;
    std::string why;
    const std::string name = UnreadableFile(names, from, &why);
    if (!name.empty()) {
        d.proceed = false;
        d.logLines.push_back(
            Format("Error: Cannot copy the file(%s/%s) to (%s/%s): it is not a file that can be "
                   "read (%s).",
                   from.c_str(), name.c_str(), folder.c_str(), name.c_str(), why.c_str()));
    }
    return d;
}

std::string FileAfterFill(const RunContext& context, const std::string& current,
                          const std::string& newFolder, const std::string& name, bool resumed) {
    const bool inPlace = SettingOf(context).CreateNewFolder == 0;
    if (resumed) {
        return NewestAfterFill(current, newFolder) + "/" + name;
    }
    const bool fromPackage = Listed(inPlace ? context.fileTable : context.packageFiles, name) &&
                             (inPlace || NewestAfterFill(current, newFolder) != current);
    return (fromPackage ? context.packageFolder : current) + "/" + name;
}

std::string NewestAfterFill(const std::string& current, const std::string& newFolder) {
    std::string fresh = newFolder;
    while (fresh.size() > 1 && fresh.back() == '/') {
        fresh.pop_back();
    }
    if (current.empty()) {
        return fresh;
    }
    Version a{{0, 0, 0, 0}};
    Version b{{0, 0, 0, 0}};
    KvParseVersionStr(current.c_str(), &a[0], &a[1], &a[2], &a[3]);
    KvParseVersionStr(fresh.c_str(), &b[0], &b[1], &b[2], &b[3]);
    return b > a ? fresh : current;
}
