// The test support itself: machine snapshots (each kind of change shows up as
// exactly one difference, times only when asked for, ignored paths not at
// all) and a test machine built in a given folder and left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Snapshot.h"
#include "support/TempDir.h"
#include "support/TestMachine.h"

using testsupport::DiffSnapshots;
using testsupport::MachineOptions;
using testsupport::PathExists;
using testsupport::Snapshot;
using testsupport::SnapshotOptions;
using testsupport::TakeSnapshot;
using testsupport::TempDir;
using testsupport::TestMachine;
using testsupport::WriteFile;

namespace {

// a/file.txt (time set in the past), a/link -> file.txt, a/fifo, ignored/deep/x.
void Populate(const TempDir& dir) {
    WriteFile(dir.sub("a/file.txt"), "one\n");
    WriteFile(dir.sub("ignored/deep/x"), "x\n");
    ASSERT_EQ(symlink("file.txt", dir.sub("a/link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.sub("a/fifo").c_str(), 0600), 0);
    struct timeval past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(dir.sub("a/file.txt").c_str(), past), 0);
}

void SetMtime(const std::string& path, long seconds) {
    struct timeval t[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), t), 0);
}

struct Change {
    const char* name;
    std::function<void(const TempDir&)> apply;
    std::string withTimes;     // prefix of the one difference with times kept ("" none)
    std::string withoutTimes;  // prefix of the one difference without times ("" none)
    bool needsRoot;
};

TEST(Snapshot, SeesEachChangeOnceAndTimesOnlyWhenAsked) {
    const std::vector<Change> changes = {
        {"content, same size and time",
         [](const TempDir& d) {
             WriteFile(d.sub("a/file.txt"), "two\n");
             SetMtime(d.sub("a/file.txt"), 1000000000);
         },
         "changed: a/file.txt", "changed: a/file.txt", false},
        {"mode", [](const TempDir& d) { ASSERT_EQ(chmod(d.sub("a/file.txt").c_str(), 0600), 0); },
         "changed: a/file.txt", "changed: a/file.txt", false},
        {"owner",
         [](const TempDir& d) { ASSERT_EQ(lchown(d.sub("a/file.txt").c_str(), 65534, 65534), 0); },
         "changed: a/file.txt", "changed: a/file.txt", true},
        {"link retargeted",
         [](const TempDir& d) {
             ASSERT_EQ(unlink(d.sub("a/link").c_str()), 0);
             ASSERT_EQ(symlink("fifo", d.sub("a/link").c_str()), 0);
             SetMtime(d.sub("a"), 1000000000);
         },
         "changed: a/link", "changed: a/link", false},
        {"time only", [](const TempDir& d) { SetMtime(d.sub("a/file.txt"), 1000000001); },
         "changed: a/file.txt", "", false},
        {"below an ignored folder",
         [](const TempDir& d) { WriteFile(d.sub("ignored/deep/x"), "y"); }, "", "", false},
        {"file removed",
         [](const TempDir& d) {
             ASSERT_EQ(unlink(d.sub("a/fifo").c_str()), 0);
             SetMtime(d.sub("a"), 1000000000);
         },
         "removed: a/fifo", "removed: a/fifo", false},
        {"file added",
         [](const TempDir& d) {
             WriteFile(d.sub("a/new"), "");
             SetMtime(d.sub("a"), 1000000000);
         },
         "added: a/new", "added: a/new", false},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue;
        }
        TempDir dir;
        Populate(dir);
        SetMtime(dir.sub("a"), 1000000000);
        SetMtime(dir.path(), 1000000000);  // the root's own time is not under test
        SnapshotOptions timed;
        timed.ignore = {"./ignored/"};
        SnapshotOptions untimed = timed;
        untimed.times = false;
        Snapshot beforeTimed = TakeSnapshot(dir.path(), timed);
        Snapshot beforeUntimed = TakeSnapshot(dir.path(), untimed);
        ASSERT_TRUE(DiffSnapshots(beforeTimed, TakeSnapshot(dir.path(), timed)).empty());
        ASSERT_EQ(beforeTimed.count("ignored"), 0u);
        ASSERT_EQ(beforeTimed.count("a/fifo"), 1u);  // listed, never opened

        c.apply(dir);
        SetMtime(dir.path(), 1000000000);  // the root's own time is not under test
        for (bool times : {true, false}) {
            std::vector<std::string> diff =
                times ? DiffSnapshots(beforeTimed, TakeSnapshot(dir.path(), timed))
                      : DiffSnapshots(beforeUntimed, TakeSnapshot(dir.path(), untimed));
            const std::string& expected = times ? c.withTimes : c.withoutTimes;
            std::string all;
            for (const std::string& line : diff) {
                all += line + "\n";
            }
            if (expected.empty()) {
                EXPECT_TRUE(diff.empty()) << "times " << times << "\n" << all;
            } else {
                ASSERT_EQ(diff.size(), 1u) << "times " << times << "\n" << all;
                EXPECT_EQ(diff[0].compare(0, expected.size(), expected), 0) << diff[0];
            }
        }
    }
}

TEST(Snapshot, DoesNotFollowLinksAndRefusesAMissingRoot) {
    TempDir outside;
    TempDir dir;
    WriteFile(outside.sub("secret"), "s\n");
    ASSERT_EQ(symlink(outside.path().c_str(), dir.sub("out").c_str()), 0);
    Snapshot s = TakeSnapshot(dir.path());
    EXPECT_EQ(s.count("out/secret"), 0u);
    EXPECT_EQ(s.at("out").compare(0, 5, "link "), 0) << s.at("out");
    EXPECT_THROW(TakeSnapshot(dir.sub("missing")), std::runtime_error);
}

TEST(TestMachineFolder, KeptMachineOutlivesItsObjectAndAFullFolderIsRefused) {
    TempDir parent;
    MachineOptions o;
    o.folder = parent.sub("machine");
    o.keep = true;
    std::string dataDir;
    {
        TestMachine m(o);
        ASSERT_EQ(m.root(), o.folder);
        dataDir = m.servers()[0].dataDir;
        ASSERT_TRUE(testsupport::ServerRunning(dataDir));
    }
    EXPECT_TRUE(PathExists(o.folder + "/etc/orvsys.ini"));
    EXPECT_TRUE(testsupport::ServerRunning(dataDir));
    testsupport::StopAll(dataDir);

    // The folder now holds the kept machine: taking it again must fail
    // rather than build over (and later remove) what is there.
    EXPECT_THROW(TestMachine{o}, std::runtime_error);
    EXPECT_TRUE(PathExists(o.folder + "/etc/orvsys.ini"));
}

}  // namespace
