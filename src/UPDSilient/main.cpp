// The patcher's entry point. The machine check lets the testbed build refuse
// to run without its test folder; the product build always passes it.
#include "UPDSilient/checkdomino_silent.h"
#include "machine/Machine.h"

int main(int argc, char** argv) {
    if (!machine::StartupCheck()) {
        return 2;
    }
    return PatcherMain(argc, argv);
}
