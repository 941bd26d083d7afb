// Small file systems for campaign rows (Campaign.h): a folder moved onto a
// tiny tmpfs or an ext4 image, in a mount namespace of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/Campaign.h"
#include "support/TempDir.h"

namespace testsupport {

namespace {

// Mounts made from here on stay in this process's own namespace.
void PrivateMounts() {
    static bool done = false;
    if (!done) {
        ASSERT_EQ(0, unshare(CLONE_NEWNS)) << std::strerror(errno);
        ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr));
        done = true;
    }
}

long long TreeBytes(const std::string& path, long long& entries) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return 0;
    }
    ++entries;
    long long bytes = st.st_blocks * 512 + 4096;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : FolderNames(path)) {
            bytes += TreeBytes(path + "/" + name, entries);
        }
    }
    return bytes;
}

}  // namespace

// Puts `folder` (with what it holds) on a fresh tmpfs just large enough for
// it, then fills that file system or makes it read-only.
void MountTiny(const std::string& folder, SmallFs condition) {
    PrivateMounts();
    MakeDirs(folder);
    long long entries = 0;
    const long long bytes = TreeBytes(folder, entries) + 256 * 1024;
    const std::string saved = folder + ".saved";
    ASSERT_EQ(0, rename(folder.c_str(), saved.c_str()));
    MakeDirs(folder);
    const std::string options = "size=" + std::to_string(bytes) +
                                ",nr_inodes=" + std::to_string(entries + 64) + ",mode=0755";
    ASSERT_EQ(0, mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str())) << strerror(errno);
    ASSERT_EQ(0, std::system(("cp -a '" + saved + "/.' '" + folder + "/'").c_str()));
    RemoveTree(saved);
    if (condition == SmallFs::kReadOnly) {
        ASSERT_EQ(0, mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
        return;
    }
    const std::string filler = folder + "/.filler";
    MakeDirs(filler);
    if (condition == SmallFs::kFullOfInodes) {
        for (int i = 0; i < 1000000; ++i) {
            int fd = open((filler + "/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0) {
                ASSERT_EQ(ENOSPC, errno);
                break;
            }
            close(fd);
        }
        return;
    }
    int fd = open((filler + "/blocks").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(4096, 'f');
    for (size_t size = chunk.size(); size > 0; size /= 2) {
        while (write(fd, chunk.data(), size) == static_cast<ssize_t>(size)) {
        }
    }
    close(fd);
}

void MountExt4(const std::string& folder, int megabytes, int reservePercent) {
    PrivateMounts();
    MakeDirs(folder);
    const std::string image = folder + ".img";
    const std::string saved = folder + ".saved";
    WriteFile(image, "");
    ASSERT_EQ(0, truncate(image.c_str(), static_cast<off_t>(megabytes) << 20));
    ASSERT_EQ(0, std::system(("mkfs.ext4 -q -F -b 1024 -m " + std::to_string(reservePercent) +
                              " '" + image + "' >/dev/null")
                                 .c_str()));
    ASSERT_EQ(0, rename(folder.c_str(), saved.c_str()));
    MakeDirs(folder);
    ASSERT_EQ(0, std::system(("mount -o loop '" + image + "' '" + folder + "'").c_str()));
    ASSERT_EQ(0, std::system(("cp -a '" + saved + "/.' '" + folder + "/'").c_str()));
    RemoveTree(saved);
}

std::string Unmount(const std::string& folder) {
    umount2(folder.c_str(), MNT_DETACH);
    unlink((folder + ".img").c_str());
    return "";
}

}  // namespace testsupport
