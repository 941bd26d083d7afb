// Removal of kvmscan from the ServerTasks= lines of notes.ini: what is
// rebuilt, when the file is rewritten, and that a rewrite is atomic and keeps
// the file's owner, mode and symbolic link.
#include <dirent.h>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/debug.h"
#include "support/LogCapture.h"
#include "support/ServerSetup.h"
#include "support/TempDir.h"

using namespace testsupport;

namespace {

class KvmscanTest : public ::testing::Test {
  protected:
    KvmscanTest() : folder(log.root() + "/data"), path(folder + "/notes.ini") { MakeDirs(folder); }

    // Writes notes.ini dated in the past, so that a rewrite shows in its time.
    void Write(const std::string& content) {
        WriteFile(path, content);
        struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), past, AT_SYMLINK_NOFOLLOW);
    }
    struct stat Stat(const std::string& p) {
        struct stat st = {};
        lstat(p.c_str(), &st);
        return st;
    }
    // Whether notes.ini was left untouched on disk since Write.
    bool Untouched(const struct stat& before) {
        struct stat now = Stat(path);
        return now.st_ino == before.st_ino && now.st_mtim.tv_sec == before.st_mtim.tv_sec;
    }
    std::set<std::string> Entries(const std::string& dir) {
        std::set<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (struct dirent* e = readdir(d)) {
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
                    names.insert(e->d_name);
                }
            }
            closedir(d);
        }
        return names;
    }

    LogCapture log;
    std::string folder;
    std::string path;
};

TEST_F(KvmscanTest, RebuildsServerTaskLinesAndRewritesOnlyWhenALengthChanges) {
    struct Case {
        const char* before;
        const char* after;
        bool rewritten;
    };
    const Case cases[] = {
        {"[Notes]\nServerTasks=Update,Replica,kvmscan,Router\nX=1\n",
         "[Notes]\nServerTasks=Update,Replica,Router\nX=1\n", true},
        {"ServerTasks=KVMSCAN\n", "ServerTasks=\n", true},
        {"servertasks=Update;Router\n", "servertasks=Update;Router\n", false},
        {"ServerTasks=Update,kvmscan2,Kvm\n", "ServerTasks=Update,kvmscan2,Kvm\n", false},
        {"A=1\nServerTasks=Update,kvmscan", "A=1\nServerTasks=Update\n", true},
        // CR is no separator: "kvmscan\r" is another name and stays.
        {"[Notes]\r\nServerTasks=Update,kvmscan\r\nX=1\r\n",
         "[Notes]\r\nServerTasks=Update,kvmscan\r\nX=1\r\n", false},
        {"[Notes]\r\nServerTasks=kvmscan,Update\r\nX=1\r\n",
         "[Notes]\r\nServerTasks=Update\r\nX=1\r\n", true},
        // Runs of separators collapse, and any change rebuilds every task line.
        {"ServerTasks=Update,,Router\nservertasks=A;B\n",
         "ServerTasks=Update,Router\nServerTasks=A,B\n", true},
        {"ServerTasks= ;Update\t \tRouter ,\n", "ServerTasks=Update,Router\n", true},
        // Only lines that begin with the key are task lines.
        {" ServerTasks=kvmscan\nMyServerTasks=kvmscan\n",
         " ServerTasks=kvmscan\nMyServerTasks=kvmscan\n", false},
        {"", "", false},
    };
    for (const Case& c : cases) {
        Write(c.before);
        struct stat before = Stat(path);
        CleanUpKvmscanTask(path.c_str());
        EXPECT_EQ(ReadFile(path), c.after) << c.before;
        EXPECT_EQ(!Untouched(before), c.rewritten) << c.before;
        EXPECT_EQ(Entries(folder), std::set<std::string>{"notes.ini"}) << c.before;
    }
    EXPECT_TRUE(log.MessagesWith("Error: ").empty());
}

TEST_F(KvmscanTest, EveryOtherByteStaysAsItWas) {
    std::string other = std::string("Bin\0ary=\x01\x02\xff", 11) + "\n" + std::string(5000, 'z') +
                        "\n\n\r\n  [Spaced]\nNoLineEnd";
    Write("ServerTasks=kvmscan,Router\n" + other);
    CleanUpKvmscanTask(path.c_str());
    EXPECT_EQ(ReadFile(path), "ServerTasks=Router\n" + other);
}

TEST_F(KvmscanTest, LongTaskLineIsHandledWhole) {
    std::string names;
    std::string kept;
    for (int i = 0; names.size() < 5000; ++i) {
        std::string name = "task" + std::to_string(i);
        names += name + ",";
        kept += name + ",";
        if (i == 400) {
            names += "kvmscan,";
        }
    }
    names.pop_back();
    kept.pop_back();
    ASSERT_GE(names.size(), 5000u);
    Write("[Notes]\nServerTasks=" + names + "\nAfter=1\n");
    CleanUpKvmscanTask(path.c_str());
    EXPECT_EQ(ReadFile(path), "[Notes]\nServerTasks=" + kept + "\nAfter=1\n");
}

TEST_F(KvmscanTest, MissingOrUnreadableFilesAreLeftAlone) {
    CleanUpKvmscanTask(nullptr);
    CleanUpKvmscanTask(path.c_str());  // missing
    EXPECT_FALSE(PathExists(path));
    EXPECT_TRUE(Entries(folder).empty());

    ORVInsInfo info;
    info.strNotesIniPath = path;
    Write("ServerTasks=kvmscan,Router\n");
    EXPECT_EQ(removeKvmscan(&info, nullptr), 1);
    EXPECT_EQ(ReadFile(path), "ServerTasks=Router\n");
    EXPECT_EQ(removeKvmscan(nullptr, nullptr), 1);

    // A folder in place of the file.
    std::string dir = log.root() + "/dir.ini";
    MakeDirs(dir);
    CleanUpKvmscanTask(dir.c_str());
    EXPECT_EQ(log.MessagesWith("Error: '" + dir + "' is not a regular file").size(), 1u);
}

TEST_F(KvmscanTest, RewriteKeepsOwnerGroupModeAndTheSymbolicLink) {
    std::string target = log.root() + "/real/notes.target";
    WriteFile(target, "ServerTasks=Update,kvmscan\n");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(target.c_str(), 65534, 65533), 0);
    }
    ASSERT_EQ(symlink("../real/notes.target", path.c_str()), 0);

    CleanUpKvmscanTask(path.c_str());

    struct stat link = Stat(path);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    char buf[256] = {};
    ASSERT_GT(readlink(path.c_str(), buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "../real/notes.target");
    EXPECT_EQ(ReadFile(target), "ServerTasks=Update\n");
    struct stat st = Stat(target);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65533u);
    }
    EXPECT_EQ(Entries(log.root() + "/real"), std::set<std::string>{"notes.target"});
}

TEST_F(KvmscanTest, WriteFailureLeavesTheOldFileAndIsLogged) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to run the clean-up as another user";
    }
    LogDebugMessage(1, "test start");  // the log exists, open to every user
    const std::string content = "[Notes]\nServerTasks=Update,kvmscan\n";
    Write(content);
    // The file is the other user's and writable, but its folder is not.
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    struct stat before = Stat(path);
    std::string target = path;
    int answer = RunAsUser(65534, 65534, [&]() {
        CleanUpKvmscanTask(target.c_str());
        return access(target.c_str(), W_OK) == 0 ? 0 : 1;
    });
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(ReadFile(path), content);
    EXPECT_TRUE(Untouched(before));
    std::vector<std::string> errors = log.MessagesWith("Error: Cannot rewrite '" + path + "'");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("the file is left as it was"), std::string::npos);
    EXPECT_EQ(Entries(folder), std::set<std::string>{"notes.ini"});
}

TEST_F(KvmscanTest, ReadOnlyFileIsLeftAloneThoughItsFolderIsWritable) {
    LogDebugMessage(1, "test start");  // the log exists, open to every user
    const std::string content = "[Notes]\nServerTasks=Update,kvmscan\n";
    Write(content);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    struct stat before = Stat(path);
    std::string target = path;
    std::string probe = folder + "/probe";
    // The folder is the caller's and writable, so a rename over the file would work.
    auto attempt = [&]() {
        int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            return 2;
        }
        close(fd);
        unlink(probe.c_str());
        CleanUpKvmscanTask(target.c_str());
        return 0;
    };
    if (geteuid() == 0) {
        // The superuser may write any file; the clean-up runs as the file's owner.
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
        EXPECT_EQ(RunAsUser(65534, 65534, attempt), 0);
    } else {
        EXPECT_EQ(attempt(), 0);
    }
    EXPECT_EQ(ReadFile(path), content);
    EXPECT_TRUE(Untouched(before));
    EXPECT_EQ(Stat(path).st_mode & 07777, 0444u);
    std::vector<std::string> errors = log.MessagesWith("Error: Cannot rewrite '" + path + "'");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("opening for writing"), std::string::npos);
    EXPECT_EQ(Entries(folder), std::set<std::string>{"notes.ini"});
}

TEST_F(KvmscanTest, SpecialFilesAreRefusedWithoutBlocking) {
    // Each stands in place of notes.ini; reading any of them could block or
    // never end. The test would hang rather than fail without the refusal.
    const std::string fifo = log.root() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    for (const std::string& special : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(special);
        unlink(path.c_str());
        ASSERT_EQ(symlink(special.c_str(), path.c_str()), 0);
        CleanUpKvmscanTask(path.c_str());
        EXPECT_EQ(log.MessagesWith("Error: '" + path + "' is not a regular file").size(), 1u);
        log.Clear();
    }
}

TEST_F(KvmscanTest, RewriteRunsAsTheOwnerOfTheEntry) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to own files as other users";
    }
    LogDebugMessage(1, "test start");
    ASSERT_EQ(chown(folder.c_str(), 65534, 65533), 0);
    const std::string content = "[Notes]\nServerTasks=Update,kvmscan\n";
    struct Case {
        const char* what;
        uid_t fileUid;  // owner of the file the link names
        mode_t fileMode;
        bool cleaned;
    } cases[] = {
        {"root's file, readable by all", 0, 0644, false},
        {"root's file, open to the group only", 0, 0664, false},
        {"the user's own file", 65534, 0644, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string target = log.root() + "/elsewhere/notes.target";
        WriteFile(target, content);
        // The file and its folder are the same user's.
        ASSERT_EQ(chown(target.c_str(), c.fileUid, c.fileUid == 0 ? 0 : 65533), 0);
        ASSERT_EQ(chown((log.root() + "/elsewhere").c_str(), c.fileUid, 0), 0);
        ASSERT_EQ(chmod(target.c_str(), c.fileMode), 0);
        struct stat before = Stat(target);
        // The server's user plants a link in its data folder.
        unlink(path.c_str());
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        ASSERT_EQ(lchown(path.c_str(), 65534, 65533), 0);

        CleanUpKvmscanTask(path.c_str());

        struct stat after = Stat(target);
        const std::vector<std::string> errors =
            log.MessagesWith("Error: Cannot rewrite '" + path + "'");
        if (c.cleaned) {
            EXPECT_EQ(ReadFile(target), "[Notes]\nServerTasks=Update\n");
            EXPECT_EQ(after.st_uid, 65534u);
            EXPECT_TRUE(errors.empty());
        } else {
            EXPECT_EQ(ReadFile(target), content);
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_NE(errors[0].find("opening for writing"), std::string::npos);
        }
        EXPECT_EQ(Entries(log.root() + "/elsewhere"), std::set<std::string>{"notes.target"});
        // The process is the superuser again afterwards.
        EXPECT_EQ(setfsuid(static_cast<uid_t>(-1)), 0);
        log.Clear();
        RemoveTree(log.root() + "/elsewhere");
    }
}

}  // namespace
