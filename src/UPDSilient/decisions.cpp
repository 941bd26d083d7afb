#include "UPDSilient/decisions.h"

#include <sys/stat.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "UPDSilient/hotfix_internal.h"
#include "UPDSilient/numbers.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/debug.h"

const char kNotInstalledProblem[] = "ORV isn't installed in the server.";
const char kEnvironmentProblem[] = "The environment doesn't pass the checking.";
const char kBuildNumberProblem[] = "Cannot get the build number of current ORV.";
const char kNewerProblem[] = "The current version is newer than that in this package.";
const char kDepentProblem[] = "The depent build isn't installed in the current server.";
const char kIncompleteProblem[] = "The hot fix cannot be installed completely.";

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

std::string VerdictText(const char* problem) {
    return std::string(problem) +
           " Please check the log /opt/varnel/ORV/orvpatch.log for detail info.";
}

void PrintVerdict(const std::string& verdict) {
    std::fputs(verdict.c_str(), stdout);
    std::fflush(stdout);
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

Decision DecideEnvironment(const RunContext& context) {
    const int build = context.setting != nullptr ? context.setting->BuildNumber : 0;
    if (KvORVFileOpUtil::exist(VersionFolderPath(context.productRoot, build).c_str())) {
        return Stop(Decision(), "Doesn't pass the environment checking!", kEnvironmentProblem);
    }
    return Decision();
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
