// Holds a write lock on one file for lock-probe tests: `lockholder <file>`
// creates the file if needed, locks all of it, prints "locked" and keeps the
// lock until its standard input closes or it is killed. A process never sees
// its own fcntl locks as conflicts, so the probes need a second process.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lockholder <file>\n");
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "lockholder: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLKW, &lock) != 0) {
        std::fprintf(stderr, "lockholder: cannot lock %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::printf("locked\n");
    std::fflush(stdout);
    char buf[256];
    for (;;) {
        ssize_t got = read(0, buf, sizeof buf);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
    }
    close(fd);
    return 0;
}
