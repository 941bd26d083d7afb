// What the ledger keeps of the files a fix replaced in the Domino program
// folders, and how a rollback puts them back: each file's digest before the
// update is recorded before anything replaces it, so the rollback knows the
// content it must bring back and can tell the copy that holds it (the
// extension manager's liborvext.so_<n>, a task's <task>_1, or the version
// folder that stays newest) from one that does not.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/ledger.h"
#include "UPDSilient/run_state.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"
#include "machine/trust.h"

namespace {

const char kExtension[] = "liborvext.so";

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}
std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The copies that may hold a program file's old content, most likely first.
std::vector<std::string> Candidates(const ledger::ProgramFile& file, const std::string& remaining) {
    std::vector<std::string> paths;
    if (!file.savedAt.empty()) {
        paths.push_back(file.savedAt);
    }
    const std::string folder = FolderOf(file.path);
    const std::string name = NameOf(file.path);
    if (name == kExtension) {
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (struct dirent* e = ::readdir(dir)) {
                const std::string entry = e->d_name;
                if (entry.compare(0, sizeof kExtension, std::string(kExtension) + "_") == 0) {
                    paths.push_back(folder + "/" + entry);
                }
            }
            ::closedir(dir);
        }
    } else {
        paths.push_back(file.path + "_1");
    }
    if (!remaining.empty()) {
        paths.push_back(remaining + "/" + (name == kExtension ? name : std::string("loader")));
    }
    return paths;
}

}  // namespace

std::vector<ledger::ProgramFile> ProgramFilesNow(const RunContext& context, bool loaders) {
    std::vector<ledger::ProgramFile> files;
    ForEachInstallation(context, [&files, loaders](const ORVInsInfo& info, const RunContext&) {
        std::string folder;
        if (!ProgramFolderProblem(info, &folder).empty()) {
            return true;
        }
        machine::FsIdentity owner(machine::FolderActor(folder));
        if (!owner.ok()) {
            return true;
        }
        std::vector<std::string> names = {kExtension};
        if (loaders) {
            names.insert(names.end(), std::begin(szaLoader), std::end(szaLoader));
        }
        for (const std::string& name : names) {
            ledger::ProgramFile file;
            file.path = folder + "/" + name;
            file.before = ledger::DigestOf(file.path);
            files.push_back(file);
        }
        return true;
    });
    return files;
}

void NoteProgramFilesAfter(std::vector<ledger::ProgramFile>& files) {
    for (ledger::ProgramFile& file : files) {
        machine::FsIdentity owner(machine::FolderActor(FolderOf(file.path)));
        file.after = ledger::DigestOf(file.path);
        if (file.after == file.before) {
            file.savedAt.clear();
            continue;
        }
        for (const std::string& path : Candidates(file, "")) {
            if (file.before != "absent" && ledger::DigestOf(path) == file.before) {
                file.savedAt = path;
                break;
            }
        }
    }
}

std::string ProgramFileSource(const ledger::ProgramFile& file, const std::string& remaining) {
    machine::FsIdentity owner(machine::FolderActor(FolderOf(file.path)));
    const std::string now = ledger::DigestOf(file.path);
    if (file.before.empty() || now == file.before) {
        return std::string();
    }
    if (file.before == "absent") {
        return "-";
    }
    for (const std::string& path : Candidates(file, remaining)) {
        if (ledger::DigestOf(path) == file.before) {
            return path;
        }
    }
    return "?";
}

bool PutProgramFilesBack(const ledger::Fix& fix, const std::string& remaining) {
    bool all = true;
    // The temporary files of a put-back that was killed go first.
    std::set<std::string> swept;
    for (const ledger::ProgramFile& file : fix.programFiles) {
        if (swept.insert(FolderOf(file.path)).second) {
            runstate::SweepLeftovers(FolderOf(file.path));
        }
    }
    for (const ledger::ProgramFile& file : fix.programFiles) {
        const std::string source = ProgramFileSource(file, remaining);
        if (source.empty()) {
            continue;
        }
        machine::FsIdentity owner(machine::FolderActor(FolderOf(file.path)));
        if (!owner.ok()) {
            LogDebugMessage(1,
                            "Error: Cannot take the identity of the owner of (%s), so (%s) is "
                            "not put back.",
                            FolderOf(file.path).c_str(), file.path.c_str());
            all = false;
            continue;
        }
        if (source == "-") {
            // The fix added it: taking the fix out takes it away.
            ::unlink(file.path.c_str());
            LogDebugMessage(1, "Info: Remove (%s), which the hot fix %d added.", file.path.c_str(),
                            fix.build);
            continue;
        }
        if (source == "?") {
            LogDebugMessage(1,
                            "Error: Cannot put (%s) back as it was before the hot fix %d: no "
                            "saved copy holds its old content.",
                            file.path.c_str(), fix.build);
            all = false;
            continue;
        }
        const int rc =
            KvORVFileOpUtil::copy(source.c_str(), file.path.c_str(), true, nullptr, nullptr);
        if (rc != FOP_OK) {
            LogDebugMessage(1, "Error: Cannot copy the file(%s) to (%s). Error code is %d. (%s)",
                            source.c_str(), file.path.c_str(), rc, std::strerror(errno));
            all = false;
            continue;
        }
        if (NameOf(file.path) != kExtension) {
            SetProductPermissions(file.path, false);
        }
        LogDebugMessage(1, "Info: Put (%s) back as it was before the hot fix %d, from (%s).",
                        file.path.c_str(), fix.build, source.c_str());
    }
    return all;
}
