#include "UpdateORV/debug.h"

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/Printable.h"
#include "machine/Machine.h"

namespace {

const char kLogFile[] = "/opt/varnel/ORV/orvspins.log";

const int kLogFlags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;

// Opens the log, creating it with mode 0666 (other programs of the product
// write it too) when it is not there. Never through a link: a link in the
// log's place is neither followed nor replaced, and no line is written.
// Only a regular file is written: a FIFO or a device in the log's place
// would block the run once full, or take the lines nowhere.
int OpenLog(const std::string& path) {
    int fd = open(path.c_str(), kLogFlags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), kLogFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666);
        } else if (errno == EEXIST) {
            fd = open(path.c_str(), kLogFlags);  // made meanwhile by another writer
        }
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    return fd;
}

// The patcher's own file-system identity for as long as it lives: a step
// that acts as a folder's owner still writes the log as the patcher.
class AsPatcher {
  public:
    AsPatcher()
        : m_uid(static_cast<uid_t>(setfsuid(geteuid()))),
          m_gid(static_cast<gid_t>(setfsgid(getegid()))) {}
    ~AsPatcher() {
        setfsgid(m_gid);
        setfsuid(m_uid);
    }
    AsPatcher(const AsPatcher&) = delete;
    AsPatcher& operator=(const AsPatcher&) = delete;

  private:
    uid_t m_uid;
    gid_t m_gid;
};

// Says once per process, on standard error, that the log cannot be
// written: the run goes on and ends with its verdict and status, but an
// operator must not be left reading an empty or stale log.
void TellLogLost(int error) {
    static bool told = false;
    if (told) {
        return;
    }
    told = true;
    std::fprintf(stderr, "orvpatch: the log %s cannot be written (%s); the run goes on.\n",
                 kLogFile, std::strerror(error));
    std::fflush(stderr);
}

}  // namespace

void LogDebugMessage(unsigned int module, const char* format, ...) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[20];
    strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local);

    const int saved = errno;
    int fd = -1;
    {
        AsPatcher self;
        fd = OpenLog(machine::HostPath(kLogFile));
    }
    const int openError = errno;
    FILE* log = fd >= 0 ? fdopen(fd, "a+") : nullptr;
    if (log == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        TellLogLost(openError);
        errno = saved;
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

    // One line per message, and nothing a terminal showing the log acts on.
    const bool written =
        std::fprintf(log, "%s%s\n", header, printable::EscapeControls(message).c_str()) >= 0;
    const int writeError = errno;
    if (std::fclose(log) != 0 || !written) {
        TellLogLost(written ? errno : writeError);
    }
    errno = saved;
}
