// The product's side of the machine seam: the fixed paths as they stand and
// real seconds. Reads no environment variable.
#include <unistd.h>

#include "machine/Machine.h"

namespace machine {

bool StartupCheck() {
    return true;
}

std::string HostPath(const std::string& fixedPath) {
    return fixedPath;
}

long SecondMillis() {
    return 1000;
}

std::vector<std::string> SeamChildVariables() {
    return {};
}

void SleepSeconds(int seconds) {
    if (seconds > 0) {
        ::sleep(static_cast<unsigned>(seconds));
    }
}

}  // namespace machine
