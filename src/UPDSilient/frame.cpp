// The frame of one run: choose the mode, write its banner, own the run
// objects, run the opening and hand over to the mode's procedure.
#include <cstdio>
#include <cstring>
#include <list>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/run_lock.h"
#include "UpdateORV/debug.h"
#include "orvpatch_version.h"

namespace {

const char kUpdateBanner[] = "=============================Update ORV=======================";
const char kRollbackBanner[] = "=============================Rollback ORV=======================";

const char kUsage[] =
    "Usage: orvpatch        install the hot fix in ./FileGroup1\n"
    "       orvpatch /u     take it back out (an in-place fix: run in ROOT/hotfix/B<build>)\n"
    "       orvpatch --help | --version\n"
    "\n"
    "Run as root from the hot-fix package's folder, without a dialogue. Every step\n"
    "is logged to /opt/varnel/ORV/orvspins.log. Exit status: 0 success, 212 failure\n"
    "(with at most one verdict line). See orvpatch(8).\n";

// Rollback only for exactly one argument that is exactly "/u".
bool IsRollback(int argc, char** argv) {
    return argc == 2 && argv[1] != nullptr && std::strcmp(argv[1], "/u") == 0;
}

// A lone "--help" or "--version": answered on standard output, and nothing
// else happens. Any other argument keeps its meaning (an update).
bool AnswerQuestion(int argc, char** argv) {
    if (argc != 2 || argv[1] == nullptr) {
        return false;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
    } else if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("orvpatch %s\n", ORVPATCH_VERSION);
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

}  // namespace

int PatcherMain(int argc, char** argv) {
    if (AnswerQuestion(argc, argv)) {
        return ORV_RUN_OK;
    }
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
    // Held until the procedure has ended, on every path.
    const runlock::RunLock lock = runlock::RunLock::Take(g_szORVPatch);
    if (lock.state() == runlock::RunLock::State::kBusy) {
        CarryOut(DecideBusy(g_szORVPatch, runlock::HolderText(lock.holder())));
        return ORV_RUN_FAILED;
    }
    if (rollback) {
        return RunRollback(package, setting);
    }
    return RunUpdate(package, setting, backupFolder);
}
