// The backup and swap of the package's listed program files (szDlls): copy
// them between folders, move them aside under name + "_1", delete the
// moved-aside copies, or rename them back.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

char* szDlls[32];

namespace {

const char kBackupSuffix[] = "_1";

// The name in a slot, or null when the slot holds none.
const char* SlotName(int slot) {
    const char* name = szDlls[slot];
    return (name != nullptr && name[0] != '\0') ? name : nullptr;
}

// Logs the refusal of a name that would leave its folder.
void LogUnsafeName(const char* name) {
    LogDebugMessage(1, "Error: The file name (%s) is not inside its folder, so it is skipped.",
                    name);
}

// Calls `visit(name)` for each listed name in slot order: empty slots are
// passed over, and a name that would leave its folder is refused with a log
// line. The walk ends early when `visit` answers false.
template <typename Visit>
void ForEachListedName(Visit visit) {
    for (int slot = 0; slot < 32; ++slot) {
        const char* name = SlotName(slot);
        if (name == nullptr) {
            continue;
        }
        if (!IsPackageNameSafe(name)) {
            LogUnsafeName(name);
            continue;
        }
        if (!visit(name)) {
            return;
        }
    }
}

// Changes into `folder`, logging the failure as the swap operations do.
bool EnterFolder(const char* folder) {
    if (folder == nullptr || ::chdir(folder) != 0) {
        LogDebugMessage(1, "Error: Cannot change to folder (%s).", folder ? folder : "");
        return false;
    }
    return true;
}

}  // namespace

bool IsPackageNameSafe(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\') {
        return false;
    }
    bool namesSomething = false;
    std::string::size_type start = 0;
    while (start <= name.size()) {
        std::string::size_type end = name.find_first_of("/\\", start);
        if (end == std::string::npos) {
            end = name.size();
        }
        std::string part = name.substr(start, end - start);
        if (part == "..") {
            return false;
        }
        if (!part.empty() && part != ".") {
            namesSomething = true;
        }
        start = end + 1;
    }
    return namesSomething;
}

int CopyAllDlls(const char* from, char* to) {
    LogDebugMessage(1, "Info: Copy the file from (%s) to (%s)", from ? from : "", to ? to : "");
    if (from == nullptr || to == nullptr) {
        return 0;
    }
    // A refused name is left out of every step alike (backup, installation,
    // rollback), so it does not make the copied set incomplete: the others
    // are copied and the result says whether they all were.
    int result = 1;
    ForEachListedName([&](const char* name) {
        std::string src = std::string(from) + "/" + name;
        std::string dst = std::string(to) + "/" + name;
        int rc = KvORVFileOpUtil::copy(src.c_str(), dst.c_str(), true, nullptr, nullptr);
        if (rc != 0) {
            LogDebugMessage(1, "Error: Cannot copy the file(%s). Error code is %d.", name, rc);
            result = 0;
            return false;
        }
        SetProductPermissions(dst, false);
        return true;
    });
    return result;
}

int RenameAllDlls(char* folder) {
    LogDebugMessage(1, "Info: Rename the DLLs in (%s)", folder ? folder : "");
    SavedWorkingFolder saved;
    if (!EnterFolder(folder)) {
        return 0;
    }
    int result = 1;
    ForEachListedName([&](const char* name) {
        std::string backup = std::string(name) + kBackupSuffix;
        ::unlink(backup.c_str());  // a leftover of an earlier run
        result = ::rename(name, backup.c_str());
        if (result != 0) {
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", name,
                            backup.c_str());
        }
        return true;
    });
    return result;
}

int RemoveAllRenamedDlls(char* folder) {
    LogDebugMessage(1, "Info: Remove the DLLs in (%s)", folder ? folder : "");
    SavedWorkingFolder saved;
    if (!EnterFolder(folder)) {
        return 0;
    }
    ForEachListedName([](const char* name) {
        std::string backup = std::string(name) + kBackupSuffix;
        ::unlink(backup.c_str());  // missing or not deletable: not reported
        return true;
    });
    return 1;
}

int RestoreRenamedDlls(char* folder) {
    LogDebugMessage(1, "Info: Rename back the DLLs in (%s)", folder ? folder : "");
    SavedWorkingFolder saved;
    if (!EnterFolder(folder)) {
        return 0;
    }
    int result = 1;
    ForEachListedName([&](const char* name) {
        std::string backup = std::string(name) + kBackupSuffix;
        struct stat st;
        if (::lstat(backup.c_str(), &st) != 0) {
            return true;  // never moved aside: nothing to put back
        }
        if (::rename(backup.c_str(), name) != 0) {
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", backup.c_str(),
                            name);
            result = 0;
        }
        return true;
    });
    return result;
}
