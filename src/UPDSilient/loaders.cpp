// The product's files in each Domino program folder: the extension manager
// liborvext.so and the seven task executables, all copied out of the newest
// version folder, the old ones kept under backup names. Every path is a full
// path; the working folder is never changed.
//
// The old file is saved under its backup name by a hard link before the new
// one is copied over its name, so the name always holds a complete file with
// its execute bit. A file that holds the new content already is left as it
// is, and a saved original is never overwritten: a second run, or one that
// finishes an interrupted run, keeps the originals the first one saved.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/run_state.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

const char* szaLoader[7] = {"orvreal", "orvemf", "orvmon", "orvsch", "orvupd", "orvsupp", "orvdbs"};

namespace {

const char kExtension[] = "liborvext.so";
const char kExtensionBackupPrefix[] = "liborvext.so_";

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The next free backup name of the extension manager in `folder`: one above
// the highest liborvext.so_<n> there, so the newest backup always carries the
// highest number and no earlier one is ever overwritten.
std::string NextExtensionBackup(const std::string& folder) {
    long long highest = 0;
    if (DIR* dir = ::opendir(folder.c_str())) {
        const size_t prefix = sizeof kExtensionBackupPrefix - 1;
        while (struct dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() <= prefix || name.compare(0, prefix, kExtensionBackupPrefix) != 0 ||
                name.find_first_not_of("0123456789", prefix) != std::string::npos) {
                continue;
            }
            const long long n = std::strtoll(name.c_str() + prefix, nullptr, 10);
            if (n > highest && n < INT_MAX) {
                highest = n;
            }
        }
        ::closedir(dir);
    }
    return folder + "/" + kExtensionBackupPrefix + std::to_string(highest + 1);
}

// The backup of `library` that an interrupted run made (a hard link to it),
// or "".
std::string ExistingExtensionBackup(const std::string& folder, const std::string& library) {
    std::string found;
    if (DIR* dir = ::opendir(folder.c_str())) {
        const size_t prefix = sizeof kExtensionBackupPrefix - 1;
        while (struct dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (found.empty() && name.size() > prefix &&
                name.compare(0, prefix, kExtensionBackupPrefix) == 0 &&
                name.find_first_not_of("0123456789", prefix) == std::string::npos &&
                runstate::SameFile(folder + "/" + name, library)) {
                found = folder + "/" + name;
            }
        }
        ::closedir(dir);
    }
    return found;
}

std::string OwnerRefusal(const std::string& folder) {
    return Format(
        "Error: Cannot take the identity of the owner of (%s), so nothing is written there.",
        folder.c_str());
}

void LogAlreadyNew(const std::string& path) {
    LogDebugMessage(1,
                    "Info: The file (%s) holds the new content already, so it is neither saved "
                    "nor replaced.",
                    path.c_str());
}

}  // namespace

std::string ProgramFolderProblem(const ORVInsInfo& info, std::string* folder) {
    if (info.strDominoBinPath.empty() || info.strDominoBinPath[0] != '/') {
        return Format(
            "Error: The program folder (%s) of the server of (%s) is not an absolute path, so "
            "nothing is written or run there.",
            info.strDominoBinPath.c_str(), info.strNotesIniPath.c_str());
    }
    const machine::Finding program = machine::ProgramFolderFinding(info);
    if (!program.ok) {
        return Format(
            "Error: The program folder (%s) of the server of (%s) is not used: %s, so nothing is "
            "written or run there.",
            info.strDominoBinPath.c_str(), info.strNotesIniPath.c_str(), program.why.c_str());
    }
    if (folder != nullptr) {
        *folder = program.path;
    }
    return std::string();
}

bool ProgramFolderUsable(const ORVInsInfo& info, std::string& folder) {
    const std::string problem = ProgramFolderProblem(info, &folder);
    if (!problem.empty()) {
        LogDebugMessage(1, "%s", problem.c_str());
    }
    return problem.empty();
}

bool ProgramFolderUsable(const ORVInsInfo& info) {
    std::string folder;
    return ProgramFolderUsable(info, folder);
}

bool ExtensionSourceThere(const std::string& source) {
    return KvORVFileOpUtil::isExist(source.c_str());
}

bool LoaderSourceReadable(const std::string& source) {
    struct stat st;
    return fileio::OpenRegularForReading(AT_FDCWD, source.c_str(), st).valid();
}

ExtensionPlan PlanExtensionManager(const ORVInsInfo& info, const std::string& source) {
    ExtensionPlan plan;
    // Without a version folder there is no source: a library at the top of
    // the file system is never installed.
    std::string& folder = plan.folder;
    if (!ExtensionSourceThere(source)) {
        plan.problem = Format("Error: The extension mananger doesn't exist. (%s)", source.c_str());
        return plan;
    }
    plan.problem = ProgramFolderProblem(info, &folder);
    if (!plan.problem.empty()) {
        return plan;
    }
    // In a folder of another user's, it is looked at as that user.
    machine::FsIdentity owner(machine::FolderActor(folder));
    if (!owner.ok()) {
        plan.problem = OwnerRefusal(folder);
    } else if (!KvORVFileOpUtil::isDir(folder.c_str())) {
        plan.problem = Format("Error: Cannot change to folder (%s).", folder.c_str());
    }
    if (!plan.problem.empty()) {
        return plan;
    }
    plan.library = folder + "/" + kExtension;
    plan.exists = Exists(plan.library);
    if (!plan.exists) {
        return plan;
    }
    plan.identical = KvORVFileOpUtil::comp(plan.library.c_str(), source.c_str());
    if (!plan.identical) {
        plan.backup = ExistingExtensionBackup(folder, plan.library);
        plan.backupExists = !plan.backup.empty();
        if (!plan.backupExists) {
            plan.backup = NextExtensionBackup(folder);
        }
    }
    return plan;
}

ExtensionSwap UpdateExtensionManager(const ORVInsInfo& info, const RunContext& context) {
    LogDebugMessage(1, "Info: Begin updating extension manager.");
    ExtensionSwap swap;
    const std::string latest = CurrentVersionFolder(context.productRoot);
    const std::string source = latest + "/" + kExtension;
    const ExtensionPlan plan = PlanExtensionManager(info, source);
    if (latest.empty() || !plan.problem.empty()) {
        LogDebugMessage(1, "%s",
                        latest.empty() ? Format("Error: The extension mananger doesn't exist. (%s)",
                                                source.c_str())
                                             .c_str()
                                       : plan.problem.c_str());
        swap.failed = true;
        return swap;
    }
    // In a folder of another user's, everything is done as that user.
    machine::FsIdentity owner(machine::FolderActor(plan.folder));
    if (!owner.ok()) {
        LogDebugMessage(1, "%s", OwnerRefusal(plan.folder).c_str());
        swap.failed = true;
        return swap;
    }
    swap.library = plan.library;
    bool savedNow = false;
    if (plan.exists) {
        if (plan.identical) {
            LogAlreadyNew(swap.library);
            LogDebugMessage(1, "Info: Have updated extension manager.");
            return swap;
        }
        swap.backup = plan.backup;
        if (!plan.backupExists) {
            if (!runstate::SaveOriginal(swap.library, swap.backup)) {
                LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).",
                                swap.library.c_str(), swap.backup.c_str());
                swap.backup.clear();
                swap.failed = true;
                return swap;
            }
            savedNow = true;
        }
    }
    const int rc =
        KvORVFileOpUtil::copy(source.c_str(), swap.library.c_str(), true, nullptr, nullptr);
    if (rc != FOP_OK) {
        LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d. (%s)",
                        source.c_str(), swap.library.c_str(), rc, std::strerror(errno));
        // The library that was there is still under its name: the copy
        // made for it here goes again.
        if (savedNow) {
            ::unlink(swap.backup.c_str());
        }
        swap.backup.clear();
        swap.failed = true;
        return swap;
    }
    swap.replaced = true;
    LogDebugMessage(1, "Info: Have updated extension manager.");
    return swap;
}

void RestoreExtensionManagers(const std::vector<ExtensionSwap>& swaps) {
    for (const ExtensionSwap& swap : swaps) {
        if (!swap.replaced || swap.backup.empty()) {
            continue;
        }
        machine::FsIdentity owner(
            machine::FolderActor(KvORVFileOpUtil::getDirName(swap.library.c_str())));
        if (owner.ok() && KvORVFileOpUtil::rename(swap.backup.c_str(), swap.library.c_str())) {
            LogDebugMessage(1, "Info: Put the extension manager (%s) back from (%s).",
                            swap.library.c_str(), swap.backup.c_str());
        } else {
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", swap.backup.c_str(),
                            swap.library.c_str());
        }
    }
}

LoaderPlan PlanTaskLoaders(const ORVInsInfo& info, const std::string& source) {
    LoaderPlan plan;
    plan.problem = ProgramFolderProblem(info, &plan.folder);
    if (!plan.problem.empty()) {
        return plan;
    }
    // Looked at as the one who will write there.
    machine::FsIdentity owner(machine::FolderActor(plan.folder));
    if (!owner.ok()) {
        plan.problem = OwnerRefusal(plan.folder);
        return plan;
    }
    plan.sourceReadable = LoaderSourceReadable(source);
    for (const char* task : szaLoader) {
        LoaderTask item;
        item.target = plan.folder + "/" + task;
        item.exists = Exists(item.target);
        item.identical = item.exists && KvORVFileOpUtil::comp(item.target.c_str(), source.c_str());
        item.savedExists = Exists(item.target + "_1");
        plan.tasks.push_back(item);
    }
    return plan;
}

bool UpdateTaskLoaders(const ORVInsInfo& info, const RunContext& context) {
    const std::string latest = CurrentVersionFolder(context.productRoot);
    LogDebugMessage(1, "Info: Update loader from (%s) to (%s).", latest.c_str(),
                    info.strDominoBinPath.c_str());
    if (latest.empty()) {
        // Without a version folder the source would be "/loader" at the top
        // of the file system: the task executables are left as they are.
        LogDebugMessage(1,
                        "Error: There is no version folder in (%s/program), so no loader is "
                        "updated.",
                        context.productRoot.c_str());
        return false;
    }
    const std::string source = latest + "/loader";
    const LoaderPlan plan = PlanTaskLoaders(info, source);
    if (!plan.problem.empty()) {
        LogDebugMessage(1, "%s", plan.problem.c_str());
        return false;
    }
    // In a folder of another user's, everything is done as that user.
    machine::FsIdentity owner(machine::FolderActor(plan.folder));
    if (!owner.ok()) {
        LogDebugMessage(1, "%s", OwnerRefusal(plan.folder).c_str());
        return false;
    }
    bool all = true;
    for (const LoaderTask& item : plan.tasks) {
        const std::string& target = item.target;
        const std::string backup = target + "_1";
        const bool exists = item.exists;
        if (item.identical) {
            LogAlreadyNew(target);
            SetProductPermissions(target, false);
            continue;
        }
        int renamed = -1;
        bool savedNow = false;
        if (item.savedExists) {
            // The original, saved by an earlier or an interrupted run.
            if (!runstate::SameFile(target, backup)) {
                LogDebugMessage(1, "Info: The saved file (%s) is kept.", backup.c_str());
            }
            renamed = 0;
        } else if (exists) {
            renamed = runstate::SaveOriginal(target, backup) ? 0 : -1;
            savedNow = renamed == 0;
        }
        LogDebugMessage(1, "rename from (%s) to (%s), error code is %d.", target.c_str(),
                        backup.c_str(), renamed);
        if (exists && renamed != 0) {
            // Without a saved copy the original would be lost.
            all = false;
            LogDebugMessage(1, "Error: Cannot save the file (%s) as (%s), so it is not replaced.",
                            target.c_str(), backup.c_str());
            continue;
        }
        const int copied =
            KvORVFileOpUtil::copy(source.c_str(), target.c_str(), true, nullptr, nullptr);
        const int copyError = errno;
        LogDebugMessage(1, "Info: copy the file(%s) to (%s). Error code is %d.", source.c_str(),
                        target.c_str(), copied);
        if (copied != FOP_OK) {
            all = false;
            LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d. (%s)",
                            source.c_str(), target.c_str(), copied, std::strerror(copyError));
            // The executable that was there is still under its name: the
            // copy made for it here goes again.
            if (savedNow) {
                ::unlink(backup.c_str());
            }
            continue;
        }
        SetProductPermissions(target, false);
    }
    return all;
}

int updateORVExt(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        UpdateExtensionManager(*info, ContextFromGlobals());
    }
    return 1;
}

int UpdateLoader(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        UpdateTaskLoaders(*info, ContextFromGlobals());
    }
    return 1;
}
