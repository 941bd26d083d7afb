// The package settings: orvpatch.ini in the package folder read into
// _PatchSetting, the file table szDlls filled from its file list, and the
// check that the package's version folder does not exist yet.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/numbers.h"
#include "UPDSilient/run_context.h"
#include "UPDSilient/run_state.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"
#include "common/KvIniUtil.h"

namespace {

const char kSection[] = "Config";

// The heap texts behind szDlls; replaced (and the old ones released) when
// the table is filled again.
std::unique_ptr<char[]> g_dllNames[32];

// Fetches Config:key into `value`; false when it is missing.
bool GetConfig(KvIniReader& reader, const char* key, char* value, int size) {
    int len = size;
    if (reader.getValue(kSection, key, value, &len) != IDD_ERR_ZERO) {
        return false;
    }
    value[len] = '\0';
    return true;
}

char* HeapCopy(int slot, const std::string& text) {
    g_dllNames[slot].reset(new char[text.size() + 1]);
    std::memcpy(g_dllNames[slot].get(), text.c_str(), text.size() + 1);
    return g_dllNames[slot].get();
}

}  // namespace

int ReadConfiguration(InstallInfo& info, _PatchSetting& setting) {
    std::string path = info.strPackagePath + "/orvpatch.ini";
    setting.BuildNumber = 0;

    KvIniReader reader;
    if (reader.open(path.c_str()) != IDD_ERR_ZERO) {
        const int error = errno;
        LogDebugMessage(1, "Cannot open the file. (%s)", path.c_str());
        LogIfTooLarge(path.c_str());
        if (error != EFBIG) {
            // The run goes on to its build checks, which stop it; this line
            // says why an operator sees them refuse.
            LogDebugMessage(1,
                            "Error: There is no hot-fix package here: the settings file (%s) "
                            "cannot be read (%s) in the folder the run started in (%s). Run "
                            "orvpatch from the package's folder.",
                            path.c_str(), std::strerror(error),
                            runstate::AbsolutePath(".").c_str());
        }
        return 1;
    }
    return ReadConfigurationFrom(reader, setting);
}

int ReadConfigurationFrom(KvIniReader& reader, _PatchSetting& setting) {
    char value[4096];
    if (!GetConfig(reader, "Files", value, sizeof(value))) {
        LogDebugMessage(1, "Cannot get the value in configuration file. (Config:Files)");
        return 1;
    }
    ParseFileList(setting.Files, value);

    if (!GetConfig(reader, "BuildNumber", value, sizeof(value))) {
        LogDebugMessage(1, "Cannot get the value in configuration file. (Config:BuildNumber)");
        return 1;
    }
    setting.BuildNumber = SaturatedAtoi(value);

    if (!GetConfig(reader, "Databases", value, sizeof(value))) {
        LogDebugMessage(1, "Cannot get the value in configuration file. (Config:Databases)");
    } else {
        ParseFileList(setting.Databases, value);
    }
    setting.CreateNewFolder =
        GetConfig(reader, "CreateNewFolder", value, sizeof(value)) ? SaturatedAtoi(value) : 1;
    setting.DepentBuild =
        GetConfig(reader, "DepentBuild", value, sizeof(value)) ? SaturatedAtoi(value) : 0;
    setting.UpdateLoader =
        GetConfig(reader, "UpdateLoader", value, sizeof(value)) ? SaturatedAtoi(value) : 0;
    return 0;
}

int ParseFileList(std::list<std::string>& list, char* value) {
    if (value == nullptr) {
        return 0;
    }
    // Every comma cuts; nothing is trimmed, and empty parts are names too.
    const char* start = value;
    for (;;) {
        const char* comma = std::strchr(start, ',');
        if (comma == nullptr) {
            list.push_back(std::string(start));
            return 0;
        }
        list.push_back(std::string(start, comma));
        start = comma + 1;
    }
}

int ReadFileList(_PatchSetting& setting) {
    // A view of the one list of package names, for the callers of the table.
    const std::vector<std::string> names = FileTableNames(setting);
    for (size_t slot = 0; slot < kFileTableSize; ++slot) {
        szDlls[slot] = HeapCopy(static_cast<int>(slot), slot < names.size() ? names[slot] : "");
    }
    return 1;
}

int CheckEnvironment(_PatchSetting& setting) {
    RunContext context;
    context.productRoot = g_szORVPatch;
    context.setting = &setting;
    return DecideEnvironment(context).proceed ? 1 : 0;
}
