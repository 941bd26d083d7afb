// confine [--no-dac-override] FOLDER -- PROGRAM [ARGS...]
//
// Runs PROGRAM in a private mount namespace in which every mount is
// read-only except FOLDER and the mounts below it: whatever the program (or
// a command smuggled into its input) tries to write elsewhere fails with
// EROFS and cannot touch the host. With --no-dac-override the superuser's
// power to pass over permission bits is dropped as well, the way an NFS
// server squashes root, so that a folder or file without read permission is
// unreadable to PROGRAM too. Needs the superuser. Exit status 125 when the
// confinement cannot be set up; otherwise that of PROGRAM.
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int Fail(const std::string& what) {
    std::fprintf(stderr, "confine: %s: %s\n", what.c_str(), std::strerror(errno));
    return 125;
}

// Mount points are written with octal escapes for blanks and the like.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool AtOrBelow(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

unsigned long KeptFlags(const std::string& mountPoint) {
    struct statvfs st;
    unsigned long flags = 0;
    if (statvfs(mountPoint.c_str(), &st) == 0) {
        flags |= (st.f_flag & ST_NOSUID) ? MS_NOSUID : 0;
        flags |= (st.f_flag & ST_NODEV) ? MS_NODEV : 0;
        flags |= (st.f_flag & ST_NOEXEC) ? MS_NOEXEC : 0;
        flags |= (st.f_flag & ST_NOATIME) ? MS_NOATIME : 0;
        flags |= (st.f_flag & ST_NODIRATIME) ? MS_NODIRATIME : 0;
        flags |= (st.f_flag & ST_RELATIME) ? MS_RELATIME : 0;
    }
    return flags;
}

}  // namespace

int main(int argc, char** argv) {
    const bool noOverride = argc > 1 && std::strcmp(argv[1], "--no-dac-override") == 0;
    if (noOverride) {
        --argc;
        ++argv;
    }
    if (argc < 4 || std::strcmp(argv[2], "--") != 0 || argv[1][0] != '/') {
        std::fprintf(stderr,
                     "usage: confine [--no-dac-override] ABSOLUTE_FOLDER -- PROGRAM [ARGS...]\n");
        return 125;
    }
    char real[PATH_MAX];
    if (realpath(argv[1], real) == nullptr) {
        return Fail(std::string("find ") + argv[1]);
    }
    const std::string folder = real;  // as the mount table writes it
    if (unshare(CLONE_NEWNS) != 0) {
        return Fail("unshare");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Fail("make / private");
    }
    // The folder becomes a mount of its own, so it keeps its write access
    // when the mount it lies on is made read-only.
    if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return Fail("bind " + folder);
    }
    std::ifstream info("/proc/self/mountinfo");
    std::vector<std::string> points;
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        fields >> id >> parent >> devno >> root >> point;
        points.push_back(Unescape(point));
    }
    if (points.empty()) {
        return Fail("read /proc/self/mountinfo");
    }
    for (const std::string& point : points) {
        if (AtOrBelow(point, folder)) {
            continue;
        }
        const unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY | KeptFlags(point);
        if (mount(nullptr, point.c_str(), nullptr, flags, nullptr) != 0 &&
            !AtOrBelow(point, "/proc") && !AtOrBelow(point, "/sys")) {
            return Fail("remount " + point + " read-only");
        }
    }
    // Out of the bounding set, the capabilities are gone from PROGRAM's
    // permitted and effective sets once it is executed.
    if (noOverride && (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
                       prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0)) {
        return Fail("drop the permission override");
    }
    execv(argv[3], argv + 3);
    return Fail(std::string("run ") + argv[3]);
}
