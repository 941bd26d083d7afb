// The backup and swap of the package's listed program files: copy them
// between folders, move them aside under name + "_1", delete the
// moved-aside copies, or rename them back. Renames and deletions work on the
// open folder (renameat, unlinkat), never through a change of working folder.
//
// The swap itself never leaves a name without a complete file: each file is
// saved under name + "_1" by a hard link first, then the new content is
// copied over the name (the copy replaces it in one rename).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/run_state.h"
#include "UPDSilient/signature.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

char* szDlls[32];

namespace {

const char kBackupSuffix[] = "_1";
const char kAddedNamesFile[] = ".orvpatch-added";
// Seconds the restarted tasks are given before the moved-aside files go.
const int kSwapSettleSeconds = 5;

// An open folder, closed at the end of its scope; logs a folder it cannot open.
class OpenFolder {
  public:
    explicit OpenFolder(const std::string& folder)
        : m_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (m_fd < 0) {
            LogDebugMessage(1, "Error: Cannot change to folder (%s).", folder.c_str());
        }
    }
    ~OpenFolder() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

  private:
    int m_fd;
};

// The usable names of szDlls; the refused ones logged, as a public entry
// point called on its own must say why it leaves a name out.
std::vector<std::string> TableNames() {
    const PackageFileList list = ClassifySlots(szDlls, kFileTableSize);
    for (const std::string& name : list.unsafe) {
        LogUnsafeName(name);
    }
    return list.names;
}

// Copies `src` to `dst` and gives the copy the product's permissions. A
// copy over a file keeps that file's mode until the permissions are set; a
// new file is made complete, with its permissions, under a temporary name
// and then renamed into place, so it never shows up without its execute
// bit. A file library result code.
int CopyWithProductPermissions(const std::string& from, const std::string& name,
                               const std::string& dst, const signature::Seal* seal) {
    struct stat st;
    if (::lstat(dst.c_str(), &st) == 0 || errno != ENOENT) {
        const int rc = signature::CopySealedFile(seal, from, name, dst, true);
        if (rc == FOP_OK) {
            SetProductPermissions(dst, false);
        }
        return rc;
    }
    const std::string folder = KvORVFileOpUtil::getDirName(dst.c_str());
    const std::string temp =
        folder + fileio::NextTemporaryName(KvORVFileOpUtil::getFileName(dst.c_str()));
    int rc = signature::CopySealedFile(seal, from, name, temp, false);
    if (rc != FOP_OK) {
        return rc;
    }
    SetProductPermissions(temp, false);
    // Its permissions are on disk too before it gets its name.
    fileio::Fd made(::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid() || ::fsync(made.get()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        return FOP_ERR_TARGET;
    }
    made.close();
    if (::rename(temp.c_str(), dst.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        return FOP_ERR_TARGET;
    }
    runstate::FlushFolderOf(dst);
    return FOP_OK;
}

}  // namespace

bool IsPackageNameSafe(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

bool CopyNamedFiles(const std::vector<std::string>& names, const std::string& from,
                    const std::string& to, const signature::Seal* seal) {
    LogDebugMessage(1, "Info: Copy the file from (%s) to (%s)", from.c_str(), to.c_str());
    for (const std::string& name : names) {
        const std::string dst = to + "/" + name;
        const int rc = CopyWithProductPermissions(from, name, dst, seal);
        if (rc != 0) {
            LogDebugMessage(1, "Error: Cannot copy the file(%s). Error code is %d. (%s)",
                            name.c_str(), rc, std::strerror(errno));
            return false;
        }
    }
    return true;
}

std::optional<int> MoveNamedFilesAside(const std::vector<std::string>& names,
                                       const std::string& folder) {
    LogDebugMessage(1, "Info: Rename the DLLs in (%s)", folder.c_str());
    OpenFolder dir(folder);
    if (!dir.ok()) {
        return std::nullopt;
    }
    int result = 1;
    for (const std::string& name : names) {
        const std::string backup = name + kBackupSuffix;
        ::unlinkat(dir.fd(), backup.c_str(), 0);  // a leftover of an earlier run
        result = ::renameat(dir.fd(), name.c_str(), dir.fd(), backup.c_str());
        if (result != 0) {
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", name.c_str(),
                            backup.c_str());
        }
    }
    return result;
}

bool RemoveMovedAside(const std::vector<std::string>& names, const std::string& folder) {
    LogDebugMessage(1, "Info: Remove the DLLs in (%s)", folder.c_str());
    OpenFolder dir(folder);
    if (!dir.ok()) {
        return false;
    }
    for (const std::string& name : names) {
        // Missing or not deletable: not reported. Gone for good before the
        // run records the step that relies on it.
        if (::unlinkat(dir.fd(), (name + kBackupSuffix).c_str(), 0) == 0) {
            fileio::FlushFolderHolding(dir.fd(), name);
        }
    }
    return true;
}

bool PutMovedAsideBack(const std::vector<std::string>& names, const std::string& folder) {
    LogDebugMessage(1, "Info: Rename back the DLLs in (%s)", folder.c_str());
    OpenFolder dir(folder);
    if (!dir.ok()) {
        return false;
    }
    bool all = true;
    for (const std::string& name : names) {
        const std::string backup = name + kBackupSuffix;
        struct stat st;
        if (::fstatat(dir.fd(), backup.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // never moved aside: nothing to put back
        }
        // A saved copy that is a hard link of the name: renaming one link over
        // the other does nothing, so the saved name goes by itself.
        if (runstate::SameFile(folder + "/" + backup, folder + "/" + name)) {
            ::unlinkat(dir.fd(), backup.c_str(), 0);
            continue;
        }
        if (::renameat(dir.fd(), backup.c_str(), dir.fd(), name.c_str()) != 0) {
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", backup.c_str(),
                            name.c_str());
            all = false;
        }
    }
    return all;
}

bool SaveNamedFiles(const std::vector<std::string>& names, const std::string& from,
                    const std::string& folder, std::vector<std::string>& changed,
                    const signature::Seal* seal) {
    LogDebugMessage(1, "Info: Rename the DLLs in (%s)", folder.c_str());
    changed.clear();
    for (const std::string& name : names) {
        const std::string target = folder + "/" + name;
        const std::string saved = target + kBackupSuffix;
        struct stat st;
        const bool exists = ::lstat(target.c_str(), &st) == 0;
        if (exists && signature::HoldsPackageFile(seal, from, name, target)) {
            LogDebugMessage(1,
                            "Info: The file (%s) holds the new content already, so it is neither "
                            "saved nor replaced.",
                            target.c_str());
            // A run killed between the copy and the permissions left them.
            SetProductPermissions(target, false);
            continue;
        }
        changed.push_back(name);
        if (!exists) {
            continue;
        }
        if (::lstat(saved.c_str(), &st) == 0) {
            // Saved by a run that was interrupted: that copy is the original.
            if (!runstate::SameFile(target, saved)) {
                LogDebugMessage(1, "Info: The saved file (%s) is kept.", saved.c_str());
            }
            continue;
        }
        if (!runstate::SaveOriginal(target, saved)) {
            // Without its saved original the file must not be replaced, nor
            // any other: the swap stops before anything changes.
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", name.c_str(),
                            (name + kBackupSuffix).c_str());
            changed.pop_back();
            return false;
        }
    }
    return true;
}

bool SwapFilesIn(const std::vector<std::string>& names, const std::string& from,
                 const std::string& folder, const signature::Seal* seal) {
    const std::vector<std::string> absent = NamesNotIn(names, folder);
    std::vector<std::string> changed;
    if (!SaveNamedFiles(names, from, folder, changed, seal)) {
        PutMovedAsideBack(changed, folder);
        return false;
    }
    if (CopyNamedFiles(changed, from, folder, seal)) {
        return true;
    }
    PutMovedAsideBack(changed, folder);
    for (const std::string& name : absent) {
        ::unlink((folder + "/" + name).c_str());
    }
    return false;
}

std::vector<std::string> NamesNotIn(const std::vector<std::string>& names,
                                    const std::string& folder) {
    std::vector<std::string> absent;
    for (const std::string& name : names) {
        struct stat st;
        if (::lstat((folder + "/" + name).c_str(), &st) != 0 && errno == ENOENT) {
            absent.push_back(name);
        }
    }
    return absent;
}

std::vector<std::string> NamesWithout(const std::vector<std::string>& names,
                                      const std::vector<std::string>& leaveOut) {
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        if (std::find(leaveOut.begin(), leaveOut.end(), name) == leaveOut.end()) {
            kept.push_back(name);
        }
    }
    return kept;
}

bool WriteAddedNames(const std::string& backupFolder, const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += name + "\n";
    }
    const std::string path = backupFolder + "/" + kAddedNamesFile;
    int rc = KvORVFileOpUtil::createDir(backupFolder.c_str(), nullptr, nullptr);
    if (rc == FOP_OK) {
        OpenFolder dir(backupFolder);
        rc = dir.ok() ? fileio::ReplaceWithText(dir.fd(), kAddedNamesFile, text,
                                                fileio::ReplaceOptions())
                      : -1;
    }
    if (rc != FOP_OK) {
        LogDebugMessage(1, "Error: Cannot write the file (%s). (%s)", path.c_str(),
                        std::strerror(errno));
        return false;
    }
    return true;
}

std::vector<std::string> AddedNames(const std::string& from,
                                    const std::vector<std::string>& names) {
    struct stat st;
    const std::string path = from + "/" + kAddedNamesFile;
    // Written by the update as a file of its own: a link there is not read.
    fileio::Fd fd = fileio::OpenRegularForReading(AT_FDCWD, path.c_str(), st, O_NOFOLLOW);
    std::string text;
    if (!fd.valid() || !fileio::ReadAll(fd.get(), text)) {
        return {};
    }
    std::vector<std::string> listed;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        listed.push_back(line);
    }
    std::vector<std::string> added;
    for (const std::string& name : NamesNotIn(names, from)) {
        if (std::find(listed.begin(), listed.end(), name) != listed.end()) {
            added.push_back(name);
        }
    }
    return added;
}

bool MoveAddedAside(const std::vector<std::string>& names, const std::string& folder) {
    if (names.empty()) {
        return true;
    }
    OpenFolder dir(folder);
    if (!dir.ok()) {
        return false;
    }
    for (const std::string& name : names) {
        struct stat st;
        if (::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone already (an interrupted run took it out)
        }
        const std::string aside = name + kBackupSuffix;
        if (::renameat(dir.fd(), name.c_str(), dir.fd(), aside.c_str()) != 0) {
            LogDebugMessage(1, "Error: Cannot change name from (%s) to (%s).", name.c_str(),
                            aside.c_str());
            return false;
        }
        LogDebugMessage(1, "Info: The file (%s/%s) was added by the hot fix, so it is taken out.",
                        folder.c_str(), name.c_str());
    }
    ::fsync(dir.fd());  // the moves survive a power loss before the tasks restart
    return true;
}

void FinishSwap(const std::vector<std::string>& names, const std::string& folder) {
    KvORVSleep(kSwapSettleSeconds);
    RemoveMovedAside(names, folder);
}

int CopyAllDlls(const char* from, char* to) {
    if (from == nullptr || to == nullptr) {
        LogDebugMessage(1, "Info: Copy the file from (%s) to (%s)", from ? from : "", to ? to : "");
        return 0;
    }
    // A refused name is left out of every step alike (backup, installation,
    // rollback), so it does not make the copied set incomplete.
    return CopyNamedFiles(TableNames(), from, to) ? 1 : 0;
}

int RenameAllDlls(char* folder) {
    return MoveNamedFilesAside(TableNames(), folder != nullptr ? folder : "").value_or(0);
}

int RemoveAllRenamedDlls(char* folder) {
    return RemoveMovedAside(TableNames(), folder != nullptr ? folder : "") ? 1 : 0;
}

int RestoreRenamedDlls(char* folder) {
    return PutMovedAsideBack(TableNames(), folder != nullptr ? folder : "") ? 1 : 0;
}
