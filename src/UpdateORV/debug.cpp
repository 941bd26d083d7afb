#include "UpdateORV/debug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "machine/Machine.h"

namespace {

const char kLogFile[] = "/opt/varnel/ORV/orvspins.log";

// Creates the log empty with mode 0666 whatever the file-creation mask, and
// puts the mask back as it was.
void CreateLogFile(const std::string& path) {
    mode_t previous = umask(0);
    int fd = creat(path.c_str(), 0666);
    if (fd >= 0) {
        close(fd);
    }
    umask(previous);
}

}  // namespace

void LogDebugMessage(unsigned int module, const char* format, ...) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[20];
    strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);

    std::string path = machine::HostPath(kLogFile);
    if (access(path.c_str(), F_OK) != 0) {
        CreateLogFile(path);
    }
    // Only a regular file is written: a FIFO or a device in the log's place
    // would block the run once full, or take the lines nowhere.
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    FILE* log = fd >= 0 ? fdopen(fd, "a+") : nullptr;
    if (log == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }

    char header[100];
    std::snprintf(header, sizeof header, "[%s][module=%x]:", stamp, module);

    // The message is cut, without a mark, to 2046 characters.
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, 2047, format, args);
    va_end(args);
    message[2047] = '\0';

    std::fprintf(log, "%s%s\n", header, message);
    std::fclose(log);
}
