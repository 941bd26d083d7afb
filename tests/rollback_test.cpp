// The rollback as a process on a test machine: the checks of a new-folder
// rollback, its two waiting loops and their give-up paths, the link that
// never names a removed folder, and the in-place rollback from the backup
// that an in-place update left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/TestMachine.h"

using testsupport::CountMessage;
using testsupport::FindMessage;
using testsupport::InOrder;
using testsupport::InPlacePackage;
using testsupport::Listing;
using testsupport::MachineOptions;
using testsupport::Package;
using testsupport::PathExists;
using testsupport::Quiet;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TestMachine;
using testsupport::WriteFile;

namespace {

const std::vector<std::string> kRollback = {"/u"};
const char kRollbackVerdict[] =
    "The hot fix cannot be rolled back completely. Please check the log "
    "/opt/varnel/ORV/orvspins.log for detail info.\n";

// The rollback started from `dir`, as an in-place fix is taken back out.
RunResult RollBackFrom(TestMachine& m, const std::string& dir) {
    RunOptions from;
    from.args = kRollback;
    from.workDir = dir;
    return m.Run(from);
}

// A machine on which the hot fix 1240 sits in its own version folder, as a
// new-folder update leaves it, with the package beside it.
void InstallNewFolderFix(TestMachine& m, int build = 1240) {
    m.AddVersionFolder(build);
    m.PointLatestAt(m.versionDir(build) + "/");
    Package p;
    p.build = build;
    m.WritePackage(p);
}

// The stop commands for a server whose tasks all run, the load commands for
// one whose tasks have all ended.
const std::vector<std::string> kStopAll = {"te orvreal quit", "te orvdbs quit", "te orvemf quit",
                                           "te orvsch quit", "te orvmon quit"};
const std::vector<std::string> kLoadAll = {"load orvemf", "load orvsch", "load orvmon",
                                           "load orvreal"};

TEST(RollbackNewFolder, UpdateThenRollbackOnTwoServersLeavesThePreviousVersion) {
    MachineOptions o;
    o.servers = 2;
    o.severalOwners = geteuid() == 0;
    TestMachine m(o);
    m.WritePackage(Package());
    RunResult update = m.Run();
    ASSERT_EQ(update.exitStatus, 0) << Listing(update.log);
    ASSERT_EQ(m.LatestTarget(), m.versionDir(1240) + "/");

    RunResult r = m.Run(kRollback);
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(PathExists(m.versionDir(1240)));
    EXPECT_FALSE(PathExists(m.programDir() + "/V3.0.0.0000"));
    EXPECT_EQ(ReadFile(m.versionDir(1234) + "/libalpha.so"),
              TestMachine::ProductContent("libalpha.so", 1234));
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1234) + "/");
    EXPECT_TRUE(InOrder(
        r.log,
        {"=============================Rollback ORV=======================",
         "There is 2 ORV installed in current system!", "The build number of current ORV is (1240)",
         "There 2 hotfixes installed.", "All ORV quit.",
         "Info: Point the link latest at (" + m.versionDir(1234) + "/).",
         "Have delete all files in (" + m.programDir() + "/V3.0.0.0000), including itself.."}))
        << Listing(r.log);
    for (size_t i = 0; i < 2; ++i) {
        std::vector<std::string> commands = r.commands(i);
        ASSERT_GE(commands.size(), kStopAll.size() + kLoadAll.size()) << i;
        EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + kStopAll.size()),
                  kStopAll);
        EXPECT_EQ(std::vector<std::string>(commands.end() - kLoadAll.size(), commands.end()),
                  kLoadAll);
        EXPECT_TRUE(m.TaskRunning(i, "orvreal"));
        EXPECT_TRUE(m.TaskRunning(i, "orvemf"));
    }
}

TEST(RollbackNewFolder, ChecksStopBeforeAnyTaskIsTouched) {
    // No folder for the fix.
    {
        TestMachine m;
        m.WritePackage(Package());
        RunResult r = m.Run(kRollback);
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.out, kRollbackVerdict);
        EXPECT_EQ(r.log.back(),
                  "The hotfix isn't installed, the folder isn't a folder or doesn't exist. (" +
                      m.versionDir(1240) + "/)");
        EXPECT_TRUE(r.commands(0).empty());
    }
    // A plain file where the fix's folder would be.
    {
        TestMachine m(Quiet());
        WriteFile(m.versionDir(1240), "not a folder\n");
        m.WritePackage(Package());
        RunResult r = m.Run(kRollback);
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.log.back(),
                  "The hotfix isn't installed, the folder isn't a folder or doesn't exist. (" +
                      m.versionDir(1240) + "/)");
    }
    // A newer fix on top of the one to take out.
    {
        TestMachine m;
        InstallNewFolderFix(m);
        m.AddVersionFolder(1250);
        RunResult r = m.Run(kRollback);
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.out, kRollbackVerdict);
        EXPECT_EQ(
            r.log.back(),
            "There is newer HF applied, so return, the build number of current ORV is (1250)");
        EXPECT_TRUE(r.commands(0).empty());
        EXPECT_TRUE(PathExists(m.versionDir(1240)));
    }
    // The fix's folder is the only version: nothing would remain.
    {
        MachineOptions o;
        o.builds = {1240};
        o.latest = 1240;
        TestMachine m(o);
        m.WritePackage(Package());
        RunResult r = m.Run(kRollback);
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.log.back(), "There is only one folder matching the pattern, so return. (" +
                                    m.programDir() + "/)");
        EXPECT_TRUE(r.commands(0).empty());
        EXPECT_TRUE(PathExists(m.versionDir(1240)));
    }
}

TEST(RollbackNewFolder, CountsOnlyFoldersWithABuildNumberAndClearsALeftoverRemovalFolder) {
    TestMachine m;
    InstallNewFolderFix(m);
    WriteFile(m.programDir() + "/V3.0.0.0000/old/file", "left by an earlier run\n");
    WriteFile(m.programDir() + "/V3.0.0.1300", "a plain file\n");
    WriteFile(m.stagingDir(1250) + "/libalpha.so", "half copied\n");
    RunResult r = m.Run(kRollback);
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_GE(FindMessage(r.log, "There 2 hotfixes installed."), 0) << Listing(r.log);
    EXPECT_FALSE(PathExists(m.programDir() + "/V3.0.0.0000"));
    EXPECT_FALSE(PathExists(m.versionDir(1240)));
    EXPECT_TRUE(PathExists(m.programDir() + "/V3.0.0.1300"));
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1234) + "/");
}

TEST(RollbackNewFolder, TasksThatNeverEndAreWaitedForTenTimesThenLoadedAgain) {
    TestMachine m;
    InstallNewFolderFix(m);
    testsupport::SetTaskQuitDelay(m.servers()[0].dataDir, "orvreal", -1);
    RunResult r = m.Run(kRollback);
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_EQ(r.out, kRollbackVerdict);
    EXPECT_EQ(CountMessage(r.log, "Waiting for terminating all ORV. 1 ORV is running"), 10)
        << Listing(r.log);
    EXPECT_EQ(CountMessage(r.log, "All ORV quit."), 0);
    int giveUp = FindMessage(r.log,
                             "Error: Has try 10 times to stop ORV, but still failed, so give up. "
                             "(the task orvreal of the server in (" +
                                 m.servers()[0].dataDir + ") still runs)");
    ASSERT_GE(giveUp, 0);
    for (size_t i = static_cast<size_t>(giveUp); i < r.log.size(); ++i) {
        EXPECT_NE(r.log[i], "Waiting for terminating all ORV. 1 ORV is running");
        EXPECT_EQ(r.log[i].find("V3.0.0.0000"), std::string::npos) << r.log[i];
    }
    // Eleven stop walks (the first and one after each count), then the load.
    std::vector<std::string> commands = r.commands(0);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "te orvmon quit"), 11);
    // The tasks that ended are loaded again; orvreal still runs.
    const std::vector<std::string> reload = {"load orvemf", "load orvsch", "load orvmon"};
    ASSERT_GE(commands.size(), reload.size());
    EXPECT_EQ(std::vector<std::string>(commands.end() - reload.size(), commands.end()), reload);
    EXPECT_TRUE(PathExists(m.versionDir(1240)));
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1240) + "/");
    EXPECT_TRUE(m.TaskRunning(0, "orvemf"));
    EXPECT_TRUE(m.TaskRunning(0, "orvmon"));
}

TEST(RollbackNewFolder, AFolderThatCannotBeMovedIsGivenUpAndLatestPointsBackAtIt) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to run the patcher as another user";
    }
    // The patcher runs as the server's owner; program/ is sticky and the fix's
    // folder belongs to the superuser, so it cannot be renamed, while the
    // owner's own link can still be replaced.
    MachineOptions o;
    o.severalOwners = true;
    TestMachine m(o);
    InstallNewFolderFix(m);
    uid_t owner = m.servers()[0].owner;
    ASSERT_EQ(chmod(m.programDir().c_str(), 01777), 0);
    ASSERT_EQ(lchown((m.programDir() + "/latest").c_str(), owner, owner), 0);

    RunOptions asOwner;
    asOwner.args = kRollback;
    asOwner.asUser = true;
    asOwner.uid = asOwner.gid = owner;
    RunResult r = m.Run(asOwner);
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log) << r.err;
    EXPECT_EQ(r.out, kRollbackVerdict);
    std::string removal = m.programDir() + "/V3.0.0.0000";
    EXPECT_EQ(CountMessage(r.log, "Cannot rename the file (" + removal +
                                      "), error code (1). Sleep 10 second."),
              10)
        << Listing(r.log);
    EXPECT_TRUE(InOrder(
        r.log, {"All ORV quit.", "Info: Point the link latest at (" + m.versionDir(1234) + "/).",
                "Has try 10 times to delete the hot file, but still failed, so give up.",
                "Info: Point the link latest back at (" + m.versionDir(1240) + "/)."}))
        << Listing(r.log);
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1240) + "/");
    EXPECT_TRUE(PathExists(m.versionDir(1240) + "/libalpha.so"));
    std::vector<std::string> commands = r.commands(0);
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "load orvreal");
    EXPECT_TRUE(m.TaskRunning(0, "orvreal"));
}

TEST(RollbackNewFolder, NoOtherVersionForTheLinkStopsWithTheFolderInPlace) {
    // A folder that counts as a hot fix by its number but is no version.
    MachineOptions o;
    o.builds = {1240};
    o.latest = 1240;
    TestMachine m(o);
    testsupport::MakeDirs(m.programDir() + "/backup.7");
    m.WritePackage(Package());
    RunResult r = m.Run(kRollback);
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_GE(FindMessage(r.log, "There 2 hotfixes installed."), 0) << Listing(r.log);
    EXPECT_GE(FindMessage(r.log, "Error: There is no other version folder in (" + m.programDir() +
                                     "/) for the link latest, so return."),
              0)
        << Listing(r.log);
    EXPECT_EQ(CountMessage(r.log, "All ORV quit."), 1);
    EXPECT_TRUE(PathExists(m.versionDir(1240) + "/libalpha.so"));
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1240) + "/");
    std::vector<std::string> commands = r.commands(0);
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "load orvreal");
}

TEST(RollbackInPlace, PutsTheSavedFilesBackFromTheBackupFolder) {
    TestMachine m;
    m.WritePackage(InPlacePackage());
    RunResult update = m.Run();
    ASSERT_EQ(update.exitStatus, 0) << Listing(update.log);
    std::string current = m.versionDir(1234);
    ASSERT_EQ(ReadFile(current + "/libalpha.so"), TestMachine::PackageContent("libalpha.so", 1240));

    RunResult r = RollBackFrom(m, m.hotfixDir(1240));
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_EQ(r.out.find_first_not_of('.'), std::string::npos) << r.out;
    for (const char* lib : {"libalpha.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::ProductContent(lib, 1234)) << lib;
        EXPECT_FALSE(PathExists(current + "/" + lib + std::string("_1")));
    }
    EXPECT_FALSE(PathExists(m.hotfixDir(1240) + "/FileGroup1"));
    EXPECT_TRUE(PathExists(m.hotfixDir(1240)));
    EXPECT_EQ(m.LatestTarget(), current + "/");
    EXPECT_TRUE(InOrder(r.log, {"Copy replace the file in ORV program with the new one.",
                                "Info: Rename the DLLs in (" + current + ")",
                                "Info: Remove the DLLs in (" + current + ")"}));
    ASSERT_GE(r.log.size(), 2u);
    EXPECT_EQ(r.log[r.log.size() - 2],
              "Remove the old back up folder! (./FileGroup1)., error code [0]");
    EXPECT_EQ(r.log.back(),
              "=============================Rollback ORV successfully=======================");
    std::vector<std::string> commands = r.commands(0);
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "te orvemf quit");
    EXPECT_EQ(commands.back(), "load orvmon");
}

TEST(RollbackInPlace, SavedFilesThatCannotBePutBackKeepTheFixAndTheBackup) {
    TestMachine m;
    m.WritePackage(InPlacePackage());
    ASSERT_EQ(m.Run().exitStatus, 0);
    std::string backup = m.hotfixDir(1240) + "/FileGroup1";
    ASSERT_EQ(::unlink((backup + "/libbeta.so").c_str()), 0);
    std::string current = m.versionDir(1234);

    RunResult r = RollBackFrom(m, m.hotfixDir(1240));
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_EQ(r.out, kRollbackVerdict);
    for (const char* lib : {"libalpha.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::PackageContent(lib, 1240)) << lib;
        EXPECT_FALSE(PathExists(current + "/" + lib + std::string("_1"))) << lib;
    }
    EXPECT_EQ(ReadFile(backup + "/libalpha.so"), TestMachine::ProductContent("libalpha.so", 1234));
    EXPECT_TRUE(PathExists(backup + "/orvpatch.ini"));
    EXPECT_TRUE(r.commands(0).empty());
    EXPECT_EQ(r.log.back().rfind("Error: Cannot put the saved files back into (" + current, 0), 0u)
        << r.log.back();
}

TEST(RollbackInPlace, AFileTheFixAddedIsTakenOutAgainAndStaysWhileTheRollbackCannotEnd) {
    TestMachine m;
    Package p = InPlacePackage();
    p.files = {"libalpha.so", "libnew.so", "libbeta.so"};  // libnew.so is not installed yet
    m.WritePackage(p);
    const std::string current = m.versionDir(1234);
    const std::string backup = m.hotfixDir(1240) + "/FileGroup1";
    RunResult update = m.Run();
    ASSERT_EQ(update.exitStatus, 0) << Listing(update.log);
    EXPECT_EQ(ReadFile(current + "/libnew.so"), TestMachine::PackageContent("libnew.so", 1240));
    EXPECT_EQ(ReadFile(current + "/libbeta.so"), TestMachine::PackageContent("libbeta.so", 1240));
    EXPECT_FALSE(PathExists(backup + "/libnew.so"));
    EXPECT_EQ(ReadFile(backup + "/.orvpatch-added"), "libnew.so\n");
    EXPECT_EQ(CountMessage(update.log, "Info: The file (" + current +
                                           "/libnew.so) is not there yet: the hot fix adds it, "
                                           "and taking the hot fix out removes it."),
              1)
        << Listing(update.log);

    // A saved file missing from the backup: nothing is taken out or put back.
    const std::string beta = ReadFile(backup + "/libbeta.so");
    ASSERT_EQ(::unlink((backup + "/libbeta.so").c_str()), 0);
    RunResult failed = RollBackFrom(m, m.hotfixDir(1240));
    EXPECT_EQ(failed.exitStatus, 212) << Listing(failed.log);
    for (const char* lib : {"libalpha.so", "libnew.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::PackageContent(lib, 1240)) << lib;
        EXPECT_FALSE(PathExists(current + "/" + lib + std::string("_1"))) << lib;
    }
    EXPECT_TRUE(failed.commands(0).empty());

    // With the backup whole again the fix comes out, the added file with it.
    WriteFile(backup + "/libbeta.so", beta);
    RunResult r = RollBackFrom(m, m.hotfixDir(1240));
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    for (const char* lib : {"libalpha.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::ProductContent(lib, 1234)) << lib;
    }
    for (const char* gone : {"libnew.so", "libnew.so_1", "libalpha.so_1", "libbeta.so_1"}) {
        EXPECT_FALSE(PathExists(current + "/" + gone)) << gone;
    }
    EXPECT_FALSE(PathExists(backup));
    EXPECT_TRUE(InOrder(r.log, {"Info: The file (" + current +
                                    "/libnew.so) was added by the hot fix, so it is taken out.",
                                "Info: Rename the DLLs in (" + current + ")",
                                "Info: Remove the DLLs in (" + current + ")"}))
        << Listing(r.log);
}

TEST(RollbackInPlace, WithoutAVersionFolderNothingIsWrittenAnywhere) {
    MachineOptions o = Quiet();
    o.builds = {};
    o.latest = 0;
    TestMachine m(o);
    // A name that would land below "/" if the empty folder path were used.
    std::string probe = "orvpatch-rollback-probe-" + std::to_string(getpid()) + ".so";
    Package p = InPlacePackage();
    p.files = {probe};
    m.WritePackage(p);
    RunResult r = m.Run(kRollback);
    bool escaped = PathExists("/" + probe);
    ::unlink(("/" + probe).c_str());
    EXPECT_FALSE(escaped);
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_EQ(r.out, kRollbackVerdict);
    EXPECT_TRUE(PathExists(m.packageDir() + "/" + probe));
    EXPECT_EQ(r.log.back(),
              "Error: There is no version folder in (" + m.programDir() + "), so return.");
}

}  // namespace

namespace {

// The extension manager and task executables of every program folder.
std::map<std::string, std::string> ProgramFiles(const TestMachine& m) {
    std::map<std::string, std::string> files;
    for (const testsupport::Server& s : m.servers()) {
        files[s.programDir + "/liborvext.so"] = ReadFile(s.programDir + "/liborvext.so");
        for (const char* task : testsupport::kTaskNames) {
            files[s.programDir + "/" + task] = ReadFile(s.programDir + "/" + task);
        }
    }
    return files;
}

}  // namespace

// Both ways: after the update replaced them, the rollback puts the extension
// manager and task executables back byte for byte, and the check says so.
TEST(Rollback, PutsTheExtensionManagerAndLoadersBack) {
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "new folder");
        TestMachine m;
        WriteFile(m.versionDir(1234) + "/liborvext.so", "newer extension manager\n");
        WriteFile(m.versionDir(1234) + "/loader", "newer loader\n");
        Package p = inPlace ? InPlacePackage() : Package();
        p.updateLoader = 1;
        m.WritePackage(p);
        const std::map<std::string, std::string> before = ProgramFiles(m);
        ASSERT_EQ(m.Run().exitStatus, 0);
        ASSERT_NE(ProgramFiles(m), before);

        const std::string from = inPlace ? m.hotfixDir(1240) : m.packageParent();
        RunOptions check;
        check.program = "orvpatch-check";
        check.workDir = from;
        check.args = {"--root", m.root(), "--mode", "rollback"};
        const std::string bin = m.servers()[0].programDir;
        EXPECT_NE(m.Run(check).out.find("put " + bin + "/liborvext.so back as it was before"),
                  std::string::npos);
        RunResult r = RollBackFrom(m, from);
        ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
        EXPECT_EQ(ProgramFiles(m), before);
        EXPECT_FALSE(PathExists(m.productRoot() + "/.orvpatch-ledger"));
    }
}
