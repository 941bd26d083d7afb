// What the fuzz targets share: a check that stops the run with the failed
// condition (libFuzzer then keeps the input), and a scratch path per process.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzzsupport {

// A path under $TMPDIR (else /dev/shm, else /tmp) that only this process
// uses. Memory-backed by default: the targets write files on every input.
inline std::string ScratchPath(const char* what) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp != nullptr && *tmp != '\0')       ? tmp
                      : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                                                             : "/tmp";
    return dir + "/orvpatch-fuzz-" + what + "-" + std::to_string(getpid());
}

}  // namespace fuzzsupport
