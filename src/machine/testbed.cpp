// The testbed's side of the machine seam. ORVPATCH_TESTBED names an absolute
// folder that stands for "/"; ORVPATCH_TESTBED_SECOND_MS sets how many
// milliseconds one second of the patcher's waits lasts (default 1000).
// Both are read at each use, so tests may change them between calls.
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "machine/Machine.h"

namespace machine {

namespace {

const char* TestRoot() {
    const char* root = std::getenv("ORVPATCH_TESTBED");
    return (root != nullptr && root[0] == '/') ? root : nullptr;
}

}  // namespace

bool StartupCheck() {
    if (TestRoot() == nullptr) {
        std::fprintf(stderr,
                     "orvpatch-testbed: ORVPATCH_TESTBED must name an absolute test folder\n");
        return false;
    }
    return true;
}

std::string HostPath(const std::string& fixedPath) {
    const char* root = TestRoot();
    if (root == nullptr) {
        // Never the real machine's paths: without a test folder nothing is found.
        return "/nonexistent-orvpatch-testbed" + fixedPath;
    }
    std::string host(root);
    while (host.size() > 1 && host.back() == '/') {
        host.pop_back();
    }
    return host + fixedPath;
}

long SecondMillis() {
    const char* text = std::getenv("ORVPATCH_TESTBED_SECOND_MS");
    if (text == nullptr || *text == '\0') {
        return 1000;
    }
    char* end = nullptr;
    long ms = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && ms >= 0) ? ms : 1000;
}

std::vector<std::string> SeamChildVariables() {
    std::vector<std::string> variables;
    for (const char* name : {"ORVPATCH_TESTBED", "ORVPATCH_TESTBED_SECOND_MS"}) {
        if (const char* value = std::getenv(name)) {
            variables.push_back(std::string(name) + "=" + value);
        }
    }
    return variables;
}

void SleepSeconds(int seconds) {
    if (seconds <= 0) {
        return;
    }
    long long total = static_cast<long long>(seconds) * SecondMillis();
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(total / 1000);
    ts.tv_nsec = static_cast<long>(total % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace machine
