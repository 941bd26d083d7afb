// The run context, the typed walk over the registry, and the one list of
// package file names.
#include "UPDSilient/run_context.h"

#include <algorithm>
#include <set>

#include "UPDSilient/console_identity.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"

const char kPackageFolder[] = "./FileGroup1";

namespace {

struct WalkState {
    const RunContext* base;
    const InstallationStep* step;
};

int RunStep(ORVInsInfo* info, void* context) {
    const WalkState* walk = static_cast<const WalkState*>(context);
    if (info == nullptr) {
        return 1;
    }
    // The walk has read the product root before its first installation.
    RunContext here = *walk->base;
    here.productRoot = g_szORVPatch;
    return (*walk->step)(*info, here) ? 1 : 0;
}

}  // namespace

int ForEachInstallation(const RunContext& context, const InstallationStep& step) {
    WalkState walk{&context, &step};
    return ParseORVInsINI(RunStep, &walk);
}

void Walk(RunContext& context, const InstallationStep& step) {
    ForEachInstallation(context, step);
    context.productRoot = g_szORVPatch;
}

RunContext MakeRunContext(const InstallInfo& package, const _PatchSetting& setting) {
    RunContext context;
    context.productRoot = g_szORVPatch;
    context.packageFolder = package.strPackagePath;
    context.packageFiles = PackageFileNames(setting);
    context.fileTable = FileTableNames(setting);
    context.setting = &setting;
    context.consoles = std::make_shared<ConsoleIdentities>();
    return context;
}

RunContext ContextFromGlobals() {
    RunContext context;
    context.productRoot = g_szORVPatch;
    context.packageFolder = kPackageFolder;
    context.fileTable = ClassifySlots(szDlls, kFileTableSize).names;
    context.packageFiles = context.fileTable;
    return context;
}

PackageFileList ClassifyPackageFiles(const std::list<std::string>& files, size_t limit) {
    PackageFileList list;
    std::set<std::string> seen;
    size_t position = 0;
    for (const std::string& name : files) {
        if (position++ >= limit) {
            break;
        }
        if (name.empty()) {
            continue;
        }
        if (!IsPackageNameSafe(name)) {
            if (std::find(list.unsafe.begin(), list.unsafe.end(), name) == list.unsafe.end()) {
                list.unsafe.push_back(name);
            }
            continue;
        }
        if (!seen.insert(name).second) {
            list.repeated.push_back(name);
            continue;
        }
        list.names.push_back(name);
    }
    return list;
}

std::vector<std::string> PackageFileNames(const _PatchSetting& setting) {
    return ClassifyPackageFiles(setting.Files).names;
}

std::vector<std::string> FileTableNames(const _PatchSetting& setting) {
    return ClassifyPackageFiles(setting.Files, kFileTableSize).names;
}

void LogUnsafeName(const std::string& name) {
    LogDebugMessage(1, "Error: The file name (%s) leaves its folder, so it is not installed.",
                    name.c_str());
}

void LogPackageFileRemarks(const _PatchSetting& setting) {
    const PackageFileList list = ClassifyPackageFiles(setting.Files);
    for (const std::string& name : list.unsafe) {
        LogUnsafeName(name);
    }
    std::set<std::string> told;
    for (const std::string& name : list.repeated) {
        if (told.insert(name).second) {
            LogDebugMessage(1,
                            "Info: The file name (%s) is listed more than once; it is used once.",
                            name.c_str());
        }
    }
}

PackageFileList ClassifySlots(char* const* slots, size_t count) {
    std::list<std::string> names;
    for (size_t i = 0; slots != nullptr && i < count; ++i) {
        names.push_back(slots[i] != nullptr ? slots[i] : "");
    }
    return ClassifyPackageFiles(names);
}
