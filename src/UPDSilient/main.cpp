// The patcher's entry point. The machine check lets the testbed build refuse
// to run without its test folder; the product build always passes it.
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UpdateORV/debug.h"
#include "machine/Machine.h"
#include "orvpatch_version.h"

// The version inside the binary, for `what` and `strings | grep @(#)`: the
// patcher prints nothing beyond its verdicts, so this is where an operator
// finds which release a package carries.
__attribute__((used)) static const char kOrvpatchIdent[] = "@(#)orvpatch " ORVPATCH_VERSION;

namespace {

// What the shell sees of a failed run: the low byte of ORV_RUN_FAILED, as
// installers that call the patcher expect.
const int kExitFailure = 212;

// An exception that reached main: the run is over, and it failed.
int Unexpected(const char* what) {
    // The verdict first, as it needs no memory, which may be what ran out.
    PrintVerdictOf(kIncompleteProblem);
    try {
        LogDebugMessage(1, "Error: The run stopped on an unexpected failure (%s).", what);
    } catch (...) {
        // Nothing more can be said; the verdict and the exit status tell.
    }
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the caller's mask, nothing the patcher makes is writable by
    // others unless it says so (the log).
    umask(022);
    // An exception that cannot unwind to the handlers below still ends the
    // run as a failed one, never with a signal.
    std::set_terminate([] {
        PrintVerdictOf(kIncompleteProblem);
        _exit(kExitFailure);
    });
    if (!machine::StartupCheck()) {
        return 2;
    }
    try {
        const int result = PatcherMain(argc, argv);
        if (result == ORV_RUN_USAGE) {
            return 2;
        }
        return result == ORV_RUN_OK ? 0 : kExitFailure;
    } catch (const std::exception& e) {
        return Unexpected(e.what());
    } catch (...) {
        return Unexpected("an unknown exception");
    }
}
