// The installation registry /etc/orvsys.ini and its walker: every
// per-installation step of the patcher is a callback handed to
// ParseORVInsINI, which reads the registry afresh on each walk.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/numbers.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/debug.h"
#include "common/KvIniUtil.h"
#include "machine/Machine.h"
#include "machine/trust.h"

char g_szORVPatch[1024];

namespace {

const char kConfSection[] = "ORVConf";

// Buffer sizes handed to the reader; values are capped at 254 characters by
// the reader itself, so none of these cuts a value.
const int kCountSize = 1024;
const int kVersionSize = 128;
const int kInstallValueSize = 1023;

// One value of the registry as a std::string; false when it is missing.
bool ReadValue(KvIniReader& reader, const std::string& section, const std::string& key, int size,
               std::string& out) {
    std::string buffer(static_cast<std::string::size_type>(size), '\0');
    int length = size;
    if (reader.getValue(section.c_str(), key.c_str(), &buffer[0], &length) != IDD_ERR_ZERO) {
        return false;
    }
    buffer.resize(std::strlen(buffer.c_str()));
    out = buffer;
    return true;
}

void RemoveTrailingBackslash(std::string& text) {
    if (!text.empty() && text.back() == '\\') {
        text.pop_back();
    }
}

void LogMissingKey(int n, const char* suffix) {
    LogDebugMessage(
        1, "Error: The format of orvsys.ini is error. There is no 'DomSvr%d%s' in 'DomSvr%d'", n,
        suffix, n);
}

}  // namespace

void GetWindowsDirectory(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        return;
    }
    std::string folder = machine::HostPath("/etc");
    std::strncpy(buffer, folder.c_str(), static_cast<size_t>(size));
    // A folder name as long as the buffer is cut rather than left unterminated.
    buffer[size - 1] = '\0';
}

void LogIfTooLarge(const char* path) {
    if (errno != EFBIG) {
        return;
    }
    struct stat st;
    const long long size = ::stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    LogDebugMessage(1,
                    "Error: The file (%s) is %lld bytes long, more than the %zu bytes it may "
                    "have, so it is not read.",
                    path, size, fileio::kLargestSettingsFile);
}

int GetDominoBinFolderFromNotesINI(const char* notesIniPath, char* out, int size) {
    if (notesIniPath == nullptr || out == nullptr || size < 2) {
        return 0;
    }
    KvIniReader reader;
    int opened = IDD_ERR_INIFILE_OPENFAILED;
    {
        // Read as the one who acts on it in its folder (machine::EntryActor):
        // a link planted there reaches only what that user may read.
        machine::FsIdentity owner(machine::EntryActor(notesIniPath));
        if (owner.ok()) {
            opened = reader.open(notesIniPath);
        }
    }
    if (opened != IDD_ERR_ZERO) {
        LogDebugMessage(1, "Cannot open the file. (%s)", notesIniPath);
        LogIfTooLarge(notesIniPath);
        return 0;
    }
    int length = size;
    if (reader.getValue("Notes", "NotesProgram", out, &length) != IDD_ERR_ZERO) {
        LogDebugMessage(1, "Error: There is no 'NotesProgram' in section 'Notes' of %s",
                        notesIniPath);
        return 0;
    }
    return 1;
}

namespace {

// The registry's own settings: the installation count and the product root.
// Logs what is wrong and answers ORVINS_ERR_FORMAT when a key is missing or
// the count is zero; on success `count` holds the count (negative: none).
int ReadRegistrySettings(KvIniReader& reader, int& count) {
    std::string countText;
    if (!ReadValue(reader, kConfSection, "DomSvrIORVCount", kCountSize, countText)) {
        LogDebugMessage(
            1,
            "Error: The format of orvsys.ini is error. There is no 'DomSvrIORVCount' in "
            "'ORVConf'");
        return ORVINS_ERR_FORMAT;
    }

    // Read straight into the global: a missing key leaves it as it was.
    int length = static_cast<int>(sizeof g_szORVPatch);
    if (reader.getValue(kConfSection, "ProductPath", g_szORVPatch, &length) != IDD_ERR_ZERO) {
        LogDebugMessage(
            1, "Error: The format of orvsys.ini is error. There is no 'ProductPath' in 'ORVConf'");
        return ORVINS_ERR_FORMAT;
    }
    size_t productLength = std::strlen(g_szORVPatch);
    if (productLength > 0 &&
        (g_szORVPatch[productLength - 1] == '\\' || g_szORVPatch[productLength - 1] == '/')) {
        g_szORVPatch[productLength - 1] = '\0';
    }
    LogDebugMessage(1, "'ProductPath' in 'ORVConf' is '%s'", g_szORVPatch);

    std::string version;
    if (!ReadValue(reader, kConfSection, "ProductVersion", kVersionSize, version)) {
        LogDebugMessage(
            1,
            "Error: The format of orvsys.ini is error. There is no 'ProductVersion' in 'ORVConf'");
        return ORVINS_ERR_FORMAT;
    }

    count = SaturatedAtoi(countText.c_str());
    if (count == 0) {
        LogDebugMessage(1,
                        "Error: No ORV installed in the system, since the number of "
                        "'DomSvrIORVCount' is ZERO.");
        return ORVINS_ERR_FORMAT;
    }
    return 0;
}

// Installation `n` of the registry, its program folder taken from its
// notes.ini when that names one. Logs the missing key and answers false.
bool ReadInstallation(KvIniReader& reader, int n, ORVInsInfo& info) {
    const std::string section = "DomSvr" + std::to_string(n);

    std::string dataPath;
    if (!ReadValue(reader, section, section + "DataPath", kInstallValueSize, dataPath)) {
        LogMissingKey(n, "DataPath");
        return false;
    }
    RemoveTrailingBackslash(dataPath);

    std::string notesIni;
    if (!ReadValue(reader, section, section + "NotesIniPath", kInstallValueSize, notesIni)) {
        LogMissingKey(n, "NotesIniPath");
        return false;
    }

    // The program folder named by notes.ini wins; the registry's own key is
    // required only when notes.ini does not name one, and kept in any case
    // as root's own word for the folder (machine::ProgramFolderFinding).
    std::string registryBin;
    const bool registryNamesOne =
        ReadValue(reader, section, section + "DominoBinPath", kInstallValueSize, registryBin);
    RemoveTrailingBackslash(registryBin);
    std::string binPath(static_cast<std::string::size_type>(kInstallValueSize), '\0');
    if (GetDominoBinFolderFromNotesINI(notesIni.c_str(), &binPath[0], kInstallValueSize) != 0) {
        binPath.resize(std::strlen(binPath.c_str()));
    } else {
        if (!registryNamesOne) {
            LogMissingKey(n, "DominoBinPath");
            return false;
        }
        binPath = registryBin;
    }
    info.strDataPath = dataPath;
    info.strNotesIniPath = notesIni;
    info.strDominoBinPath = binPath;
    info.strRegistryBinPath = registryNamesOne ? registryBin : std::string();
    return true;
}

}  // namespace

int ParseORVInsINI(int (*callback)(ORVInsInfo* info, void* context), void* context) {
    // The buffer is sized to the folder name, so a long test folder is never cut.
    std::string etc = machine::HostPath("/etc");
    std::string folder(std::max<std::string::size_type>(1024, etc.size() + 1), '\0');
    GetWindowsDirectory(&folder[0], static_cast<int>(folder.size()));
    folder.resize(std::strlen(folder.c_str()));
    std::string registry = folder + "/orvsys.ini";

    KvIniReader reader;
    if (reader.open(registry.c_str()) != IDD_ERR_ZERO) {
        LogDebugMessage(1, "Error: Cannot find the orvsys.ini in %s !", registry.c_str());
        LogIfTooLarge(registry.c_str());
        return ORVINS_ERR_NO_REGISTRY;
    }
    int count = 0;
    int rc = ReadRegistrySettings(reader, count);
    if (rc != 0 || count < 0) {
        return rc;
    }
    ORVInsInfo info;
    for (int n = 0; n < count; ++n) {
        if (!ReadInstallation(reader, n, info)) {
            return ORVINS_ERR_FORMAT;
        }
        if (callback != nullptr && callback(&info, context) == 0) {
            LogDebugMessage(1, "The callback return FALSE, so break out.");
            return 0;
        }
    }
    return 0;
}

int CollectInstallInfo(ORVInsInfo* info, void* context) {
    if (info == nullptr || context == nullptr) {
        return 1;
    }
    if (access(info->strNotesIniPath.c_str(), R_OK | W_OK) == 0) {
        static_cast<std::list<ORVInsInfo>*>(context)->push_back(*info);
    }
    return 1;
}
