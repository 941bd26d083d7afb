// The file library's low-level pieces: the open for reading that refuses
// anything but a regular file without blocking, the names of temporary files,
// and the atomic replacement with its failure paths.
#include "UpdateORV/FileIo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/Sha256.h"
#include "support/TempDir.h"

using fileio::Fd;
using testsupport::FolderNames;
using testsupport::ModeOf;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

int WriteText(int fd, const std::string& text) {
    return fileio::WriteAll(fd, text) ? 0 : -1;
}

}  // namespace

TEST(OpenRegularTest, RefusesAllButRegularFilesWithoutBlocking) {
    TempDir tmp;
    WriteFile(tmp.sub("file"), "data");
    ASSERT_EQ(0, mkfifo(tmp.sub("fifo").c_str(), 0666));
    ASSERT_EQ(0, symlink("fifo", tmp.sub("tofifo").c_str()));
    ASSERT_EQ(0, symlink("file", tmp.sub("tofile").c_str()));
    const struct {
        const char* name;
        int flags;
        int error;    // 0: opens
        mode_t type;  // what st tells, 0 when it could not be opened
    } cases[] = {
        {"file", 0, 0, S_IFREG},
        {"tofile", 0, 0, S_IFREG},
        {"tofile", O_NOFOLLOW, ELOOP, 0},
        {"missing", 0, ENOENT, 0},
        {".", 0, EISDIR, S_IFDIR},
        {"fifo", 0, EINVAL, S_IFIFO},  // no writer: would block without O_NONBLOCK
        {"tofifo", 0, EINVAL, S_IFIFO},
        {"/dev/zero", 0, EINVAL, S_IFCHR},  // would never end
    };
    const Fd dir(open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        struct stat st;
        errno = 0;
        const Fd fd = fileio::OpenRegularForReading(dir.get(), c.name, st, c.flags);
        EXPECT_EQ(c.error == 0, fd.valid());
        EXPECT_EQ(c.error, fd.valid() ? 0 : errno);
        EXPECT_EQ(c.type, st.st_mode & S_IFMT);
        if (fd.valid()) {
            std::string content;
            EXPECT_TRUE(fileio::ReadAll(fd.get(), content));
            EXPECT_EQ("data", content);
        }
    }
}

TEST(TemporaryNameTest, RecognisesOnlyOurNamesAndTheirProcess) {
    const std::string longName(300, 'n');
    for (const std::string& name : {std::string("notes.ini"), std::string("a.orvtmp-12-3"),
                                    longName, std::string(".hidden")}) {
        const std::string temp = fileio::TemporaryName(name, 4321, 17);
        pid_t pid = 0;
        EXPECT_TRUE(fileio::IsTemporaryName(temp.c_str(), &pid)) << temp;
        EXPECT_EQ(4321, pid) << temp;
        EXPECT_LE(temp.size(), 255u);
    }
    EXPECT_EQ(".liborvext.so.orvtmp-99-1", fileio::TemporaryName("liborvext.so", 99, 1));
    const char* notOurs[] = {
        "notes.ini",
        ".notes.ini",
        "notes.ini.orvtmp-12-3",
        ".orvtmp-12-3",
        ".n.orvtmp-12-",
        ".n.orvtmp--3",
        ".n.orvtmp-012-3",
        ".n.orvtmp-12-3x",
        ".n.orvtmp-12x-3",
        ".n.orvtmp-99999999999-1",
        ".n.orvtmp-12",
        "",
    };
    for (const char* name : notOurs) {
        EXPECT_FALSE(fileio::IsTemporaryName(name)) << name;
    }
    EXPECT_FALSE(fileio::IsTemporaryName(nullptr));
    // A name piece longer than any temporary name carries.
    EXPECT_FALSE(fileio::IsTemporaryName(("." + longName + ".orvtmp-1-1").c_str()));
}

TEST(ReplaceAtTest, ReplacesWholeOrLeavesTheFileAsItWas) {
    TempDir tmp;
    WriteFile(tmp.sub("target"), "old");
    const Fd dir(open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY));
    const std::string tooLong(300, 'x');

    // The writer's own failure comes back as it is, with its errno.
    fileio::ReplaceStep step = fileio::ReplaceStep::kNone;
    fileio::ReplaceOptions options;
    int r = fileio::ReplaceAt(
        dir.get(), "target",
        [](int fd) {
            WriteText(fd, "half");
            errno = ENOSPC;
            return 7;
        },
        options, &step);
    EXPECT_EQ(7, r);
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(fileio::ReplaceStep::kWrite, step);
    EXPECT_EQ("old", ReadFile(tmp.sub("target")));
    EXPECT_EQ(std::vector<std::string>{"target"}, FolderNames(tmp.path()));

    // A final name the folder cannot hold fails at the rename, cleanly.
    r = fileio::ReplaceAt(
        dir.get(), tooLong, [](int fd) { return WriteText(fd, "new"); }, options, &step);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_EQ(fileio::ReplaceStep::kRename, step);
    EXPECT_EQ(std::vector<std::string>{"target"}, FolderNames(tmp.path()));

    // No folder to write in.
    r = fileio::ReplaceAt(
        -1, "target", [](int fd) { return WriteText(fd, "new"); }, options, &step);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(fileio::ReplaceStep::kCreate, step);

    // Success, with mode and (as the superuser) owner, flushed now or later.
    for (fileio::Flush flush : {fileio::Flush::kEach, fileio::Flush::kLater}) {
        options.setMode = true;
        options.mode = 0640;
        options.setOwner = geteuid() == 0;
        options.uid = 65534;
        options.gid = 65533;
        options.flush = flush;
        ASSERT_EQ(0, fileio::ReplaceAt(
                         dir.get(), "target", [](int fd) { return WriteText(fd, "new"); }, options,
                         &step));
        EXPECT_EQ(fileio::ReplaceStep::kNone, step);
        EXPECT_EQ("new", ReadFile(tmp.sub("target")));
        EXPECT_EQ(0640u, ModeOf(tmp.sub("target")));
        struct stat st;
        ASSERT_EQ(0, stat(tmp.sub("target").c_str(), &st));
        if (geteuid() == 0) {
            EXPECT_EQ(65534u, st.st_uid);
            EXPECT_EQ(65533u, st.st_gid);
        }
        EXPECT_EQ(std::vector<std::string>{"target"}, FolderNames(tmp.path()));
        WriteFile(tmp.sub("target"), "old");
    }
}

// Known answers (FIPS 180-2), a file read from its descriptor, and the hex form.
TEST(Sha256, KnownAnswersFromBytesAndFromAFile) {
    const char* empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const char* abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(digest::Sha256Hex(""), empty);
    EXPECT_EQ(digest::Sha256Hex("abc"), abc);

    TempDir dir;
    const std::string path = dir.path() + "/big";
    WriteFile(path, std::string(200000, 'a') + "abc");
    Fd fd(open(path.c_str(), O_RDONLY));
    std::string hex;
    long long bytes = 0;
    ASSERT_TRUE(digest::Sha256OfFd(fd.get(), &hex, &bytes));
    EXPECT_EQ(bytes, 200003);
    EXPECT_EQ(hex, digest::Sha256Hex(std::string(200000, 'a') + "abc"));

    EXPECT_TRUE(digest::IsSha256Hex(abc));
    EXPECT_FALSE(digest::IsSha256Hex(std::string(abc).substr(1)));
    EXPECT_FALSE(
        digest::IsSha256Hex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_TRUE(digest::SameDigest(abc, abc));
    EXPECT_FALSE(digest::SameDigest(abc, empty));
}

TEST(OpenBeneathTest, ResolvesOnlyBeneathTheFolderWithoutLinks) {
    TempDir tmp;
    WriteFile(tmp.sub("top/sub/data.txt"), "data");
    ASSERT_EQ(0, symlink(tmp.sub("top/sub").c_str(), tmp.sub("top/link").c_str()));
    ASSERT_EQ(0, symlink("sub/data.txt", tmp.sub("top/last").c_str()));
    const struct {
        const char* name;
        int flags;
        int error;  // 0: opens
    } cases[] = {
        {"sub/data.txt", O_RDONLY, 0},
        {"sub/new", O_WRONLY | O_CREAT, 0},
        {"link/data.txt", O_RDONLY, ELOOP},
        {"link/made", O_WRONLY | O_CREAT, ELOOP},
        {"last", O_RDONLY, ELOOP},
        {"last", O_PATH, ELOOP},
        {"sub/../sub/data.txt", O_RDONLY, EXDEV},
        {"/etc/passwd", O_RDONLY, EXDEV},
        {"sub//data.txt", O_RDONLY, EINVAL},
        {"", O_RDONLY, EINVAL},
        {"sub/data.txt/x", O_RDONLY, ENOTDIR},
    };
    const Fd dir(open(tmp.sub("top").c_str(), O_RDONLY | O_DIRECTORY));
    for (const auto open : {fileio::OpenBeneath, fileio::OpenBeneathStepwise}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (open == fileio::OpenBeneath ? "" : " stepwise"));
            errno = 0;
            const Fd fd = open(dir.get(), c.name, c.flags, 0600);
            EXPECT_EQ(c.error, fd.valid() ? 0 : errno) << std::strerror(errno);
        }
        EXPECT_FALSE(testsupport::PathExists(tmp.sub("top/sub/made")));
    }
    std::string last;
    EXPECT_TRUE(fileio::OpenParentBeneath(dir.get(), "sub/data.txt", last).valid());
    EXPECT_EQ("data.txt", last);
    EXPECT_FALSE(fileio::OpenParentBeneath(dir.get(), "link/data.txt", last).valid());
}
