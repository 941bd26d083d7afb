// The frame of one run: choose the mode, write its banner, own the run
// objects, run the opening and hand over to the mode's procedure.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/run_lock.h"
#include "UPDSilient/run_state.h"
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
    "(with one verdict line), 2 for any other argument (nothing is done). See orvpatch(8).\n";

// What the arguments ask for. Only these four forms are understood: a
// mistyped rollback (/U, -u, "/u now") must never install.
enum class Mode { kUpdate, kRollback, kHelp, kVersion, kUsageError };

Mode ModeOf(int argc, char** argv) {
    if (argc <= 1) {
        return Mode::kUpdate;
    }
    if (argc != 2 || argv[1] == nullptr) {
        return Mode::kUsageError;
    }
    const char* arg = argv[1];
    if (std::strcmp(arg, "/u") == 0) {
        return Mode::kRollback;
    }
    if (std::strcmp(arg, "--help") == 0) {
        return Mode::kHelp;
    }
    if (std::strcmp(arg, "--version") == 0) {
        return Mode::kVersion;
    }
    return Mode::kUsageError;
}

}  // namespace

int PatcherMain(int argc, char** argv) {
    const Mode mode = ModeOf(argc, argv);
    if (mode == Mode::kHelp || mode == Mode::kVersion) {
        // Answered on standard output; nothing else happens.
        if (mode == Mode::kHelp) {
            std::fputs(kUsage, stdout);
        } else {
            std::printf("orvpatch %s\n", ORVPATCH_VERSION);
        }
        std::fflush(stdout);
        return ORV_RUN_OK;
    }
    if (mode == Mode::kUsageError) {
        std::fputs(kUsage, stderr);
        return ORV_RUN_USAGE;
    }
    // The run objects live for the whole run; they are destroyed in the
    // reverse order on every return path.
    std::list<ORVInsInfo> installs;
    InstallInfo package;
    _PatchSetting setting;
    std::string backupFolder;

    const bool rollback = mode == Mode::kRollback;
    LogDebugMessage(1, "%s", rollback ? kRollbackBanner : kUpdateBanner);
    // Which run wrote the lines that follow: two runs' lines can be told apart.
    LogDebugMessage(1, "Info: Process %d (uid %d) runs in %s.", static_cast<int>(getpid()),
                    static_cast<int>(getuid()), runstate::AbsolutePath(".").c_str());

    if (!RunOpening(installs, package, setting, backupFolder)) {
        return ORV_RUN_FAILED;
    }
    // Held until the procedure has ended, on every path.
    const runlock::RunLock lock = runlock::RunLock::Take(g_szORVPatch);
    if (!CarryOut(DecideRunLock(g_szORVPatch, lock.outlook()))) {
        return ORV_RUN_FAILED;
    }
    if (rollback) {
        return RunRollback(package, setting);
    }
    return RunUpdate(package, setting, backupFolder);
}
