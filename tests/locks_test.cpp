// Lock probes: a file counts as locked only while another process holds a
// conflicting lock (the holder here is a helper process).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "UPDSilient/checkdomino_silent.h"
#include "support/LogCapture.h"
#include "support/ServerSetup.h"
#include "support/TempDir.h"

using namespace testsupport;

namespace {

class LocksTest : public ::testing::Test {
  protected:
    std::string Data() const { return log.root() + "/data"; }
    std::string Task(const std::string& name) const { return Data() + "/orvtemp/" + name; }

    LogCapture log;
};

TEST_F(LocksTest, FileIsLockedOnlyWhileAnotherProcessHoldsIt) {
    std::string file = log.root() + "/plain";
    EXPECT_EQ(isFileLocked(file.c_str()), 0);  // missing
    EXPECT_EQ(isFileLocked(nullptr), 0);
    WriteFile(file, "x");
    EXPECT_EQ(isFileLocked(file.c_str()), 0);  // present, unlocked
    {
        HeldLock held(file);
        EXPECT_EQ(isFileLocked(file.c_str()), 1);
    }
    EXPECT_EQ(isFileLocked(file.c_str()), 0);  // the holder let go

    // A lock of this very process is no conflict for it.
    int fd = open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock own = {};
    own.l_type = F_WRLCK;
    own.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &own), 0);
    EXPECT_EQ(isFileLocked(file.c_str()), 0);
    close(fd);

    // A pipe in place of the file must not stall the probe.
    std::string fifo = log.root() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(isFileLocked(fifo.c_str()), 0);
}

TEST_F(LocksTest, ServerRunsWhileItsLockFileIsLocked) {
    ORVInsInfo info;
    info.strDataPath = Data();
    std::string lockFile = Data() + "/~notes.lck";
    EXPECT_EQ(isDominoServerRunning(&info, nullptr), 0);  // no lock file at all
    WriteFile(lockFile, "");
    EXPECT_EQ(isDominoServerRunning(&info, nullptr), 0);
    EXPECT_EQ(log.MessagesWith("The server's file lock '" + lockFile + "' is not locked!").size(),
              2u);
    HeldLock held(lockFile);
    EXPECT_EQ(isDominoServerRunning(&info, nullptr), 1);
    EXPECT_EQ(log.MessagesWith("The server's file lock '" + lockFile + "' is locked!").size(), 1u);
}

TEST_F(LocksTest, TaskRunsWhileAFileNamedTaskBraceIsLocked) {
    // No orvtemp folder: a locked subfolder-like name in the data folder does not count.
    MakeDirs(Data() + "/orvreal{1}");
    HeldLock beside(Data() + "/orvreal{2}");
    EXPECT_EQ(IsORVRun(Data().c_str(), "orvreal"), 0);
    EXPECT_EQ(IsORVRun(nullptr, "orvreal"), 0);
    EXPECT_EQ(IsORVRun(Data().c_str(), nullptr), 0);

    // Present but unlocked.
    WriteFile(Task("orvreal{1}"), "");
    EXPECT_EQ(IsORVRun(Data().c_str(), "orvreal"), 0);

    // Locked, but not "<task>{": no brace, another character, another task.
    HeldLock dot(Task("orvreal.1"));
    HeldLock bare(Task("orvreal"));
    HeldLock longer(Task("orvrealx{1}"));
    HeldLock other(Task("orvdbs{7}"));
    EXPECT_EQ(IsORVRun(Data().c_str(), "orvreal"), 0);
    EXPECT_EQ(IsORVRun(Data().c_str(), "orvdbs"), 1);
    EXPECT_EQ(IsORVRun(Data().c_str(), "orvupd"), 0);

    // The task name is compared without regard to case, both ways.
    HeldLock upper(Task("ORVREAL{3}"));
    EXPECT_EQ(IsORVRun(Data().c_str(), "orvreal"), 1);
    EXPECT_EQ(IsORVRun(Data().c_str(), "OrvDbs"), 1);
}

}  // namespace
