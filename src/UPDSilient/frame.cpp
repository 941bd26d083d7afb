// The frame of one run: choose the mode, write its banner, own the run
// objects, run the opening and hand over to the mode's procedure.
#include <cstring>
#include <list>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/debug.h"

namespace {

const char kUpdateBanner[] = "=============================Update ORV=======================";
const char kRollbackBanner[] = "=============================Rollback ORV=======================";

// Rollback only for exactly one argument that is exactly "/u".
bool IsRollback(int argc, char** argv) {
    return argc == 2 && argv[1] != nullptr && std::strcmp(argv[1], "/u") == 0;
}

}  // namespace

int PatcherMain(int argc, char** argv) {
    // The run objects live for the whole run; they are destroyed in the
    // reverse order on every return path.
    std::list<ORVInsInfo> installs;
    InstallInfo package;
    _PatchSetting setting;
    std::string backupFolder;

    const bool rollback = IsRollback(argc, argv);
    LogDebugMessage(1, "%s", rollback ? kRollbackBanner : kUpdateBanner);

    if (!RunOpening(installs, package, setting, backupFolder)) {
        return ORV_RUN_FAILED;
    }
    if (rollback) {
        return RunRollback(package, setting);
    }
    return RunUpdate(package, setting, backupFolder);
}
