// The patcher's entry point. The machine check lets the testbed build refuse
// to run without its test folder; the product build always passes it.
#include "UPDSilient/checkdomino_silent.h"
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

}  // namespace

int main(int argc, char** argv) {
    if (!machine::StartupCheck()) {
        return 2;
    }
    return PatcherMain(argc, argv) == ORV_RUN_OK ? 0 : kExitFailure;
}
