// The update as a process on a test machine: every check with its log line
// and verdict, the new-folder and in-place ways end to end, and the failures
// that now stop the run instead of being reported as success.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestMachine.h"

using testsupport::CountMessage;
using testsupport::ExtensionBackups;
using testsupport::FindMessage;
using testsupport::InOrder;
using testsupport::InPlacePackage;
using testsupport::Listing;
using testsupport::MachineOptions;
using testsupport::ModeOf;
using testsupport::Package;
using testsupport::PathExists;
using testsupport::Quiet;
using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::TestMachine;
using testsupport::WriteFile;

namespace {

const char kEnvironmentVerdict[] =
    "The environment doesn't pass the checking. Please check the log "
    "/opt/varnel/ORV/orvspins.log for detail info.\n";
const char kBuildNumberVerdict[] =
    "Cannot get the build number of current ORV. Please check the log "
    "/opt/varnel/ORV/orvspins.log for detail info.\n";
const char kNewerVerdict[] =
    "The current version is newer than that in this package. Please check the log "
    "/opt/varnel/ORV/orvspins.log for detail info.\n";
const char kDepentVerdict[] =
    "The depent build isn't installed in the current server. Please check the log "
    "/opt/varnel/ORV/orvspins.log for detail info.\n";
const char kIncompleteVerdict[] =
    "The hot fix cannot be installed completely. Please check the log "
    "/opt/varnel/ORV/orvspins.log for detail info.\n";
const char kSuccessBanner[] =
    "=============================Update ORV successfully=======================";

bool OnlyDots(const std::string& out) {
    return out.find_first_not_of('.') == std::string::npos;
}

// The restart of one server whose tasks all run: each task quit and loaded
// again, orvreal asked to quit until it has ended.
void ExpectRestartCommands(const std::vector<std::string>& commands) {
    const std::vector<std::string> head = {"te orvemf quit", "load orvemf", "te orvsch quit",
                                           "load orvsch", "te orvreal quit"};
    const std::vector<std::string> tail = {"load orvreal", "te orvmon quit", "load orvmon"};
    ASSERT_GE(commands.size(), head.size() + tail.size());
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + head.size()), head);
    EXPECT_EQ(std::vector<std::string>(commands.end() - tail.size(), commands.end()), tail);
    for (size_t i = head.size(); i < commands.size() - tail.size(); ++i) {
        EXPECT_EQ(commands[i], "te orvreal quit");
    }
}

TEST(UpdateChecks, EachRefusalHasItsLineItsVerdictAndChangesNothingElse) {
    // The package's own version folder exists already: stops before the
    // scan task's registration is touched.
    {
        TestMachine m(Quiet());
        m.AddVersionFolder(1240);
        m.WritePackage(Package());
        RunResult r = m.Run();
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.out, kEnvironmentVerdict);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back(), "Doesn't pass the environment checking!");
        EXPECT_TRUE(m.KvmscanRegistered(0));
    }
    // No version folder at all: an empty path in the line; the scan task's
    // registration has been cleaned already.
    {
        MachineOptions o = Quiet();
        o.builds = {};
        o.latest = 0;
        TestMachine m(o);
        m.WritePackage(Package());
        RunResult r = m.Run();
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.out, kBuildNumberVerdict);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back(), "Cannot get the build number of current ORV. ()");
        EXPECT_FALSE(m.KvmscanRegistered(0));
    }
    // A newer current build, and an equal one (its folder named so that the
    // package's own folder name is still free).
    {
        TestMachine m(Quiet());
        m.AddVersionFolder(1250);
        m.WritePackage(Package());
        RunResult r = m.Run();
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.out, kNewerVerdict);
        EXPECT_TRUE(InOrder(r.log, {"The build number of current ORV is (1250)",
                                    "The current version is newer than that in this package. So "
                                    "quit. (Old," +
                                        m.versionDir(1250) + ":New," + m.versionDir(1240) + "/)"}))
            << Listing(r.log);
        EXPECT_FALSE(m.KvmscanRegistered(0));
        EXPECT_FALSE(PathExists(m.versionDir(1240)));
    }
    {
        TestMachine m(Quiet());
        std::string odd = m.programDir() + "/V3.0.0.01234";
        ASSERT_EQ(rename(m.versionDir(1234).c_str(), odd.c_str()), 0);
        Package p;
        p.build = 1234;
        m.WritePackage(p);
        RunResult r = m.Run();
        EXPECT_EQ(r.exitStatus, 212);
        EXPECT_EQ(r.out, kNewerVerdict);
        EXPECT_TRUE(InOrder(r.log, {"The build number of current ORV is (01234)",
                                    "The current version is newer than that in this package. So "
                                    "quit. (Old," +
                                        odd + ":New," + m.versionDir(1234) + "/)"}))
            << Listing(r.log);
    }
}

TEST(UpdateChecks, DependentBuildMustBeTheCurrentOneWhenGiven) {
    struct Case {
        int depent;
        bool goesOn;
    };
    for (Case c : {Case{1230, false}, Case{1234, true}, Case{0, true}}) {
        TestMachine m(Quiet());
        Package p;
        p.depentBuild = c.depent;
        m.WritePackage(p);
        RunResult r = m.Run();
        if (c.goesOn) {
            EXPECT_EQ(r.exitStatus, 0) << c.depent << Listing(r.log);
            EXPECT_TRUE(OnlyDots(r.out)) << r.out;
            EXPECT_EQ(r.log.back(), kSuccessBanner);
            EXPECT_TRUE(PathExists(m.versionDir(1240)));
        } else {
            EXPECT_EQ(r.exitStatus, 212);
            EXPECT_EQ(r.out, kDepentVerdict);
            EXPECT_EQ(r.log.back(),
                      "The depent build isn't installed in the current server. (Current "
                      "Build,1234:Depent Build,1230)");
            EXPECT_FALSE(PathExists(m.versionDir(1240)));
        }
    }
}

TEST(UpdateNewFolder, InstallsOnTwoServersSwitchesLatestAndRestartsEveryTask) {
    MachineOptions o;
    o.servers = 2;
    o.severalOwners = geteuid() == 0;
    TestMachine m(o);
    Package p;
    p.files = {"libalpha.so", "liborvext.so", "extra.dat"};
    m.WritePackage(p);
    std::string oldExt = ReadFile(m.servers()[0].programDir + "/liborvext.so");

    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_TRUE(OnlyDots(r.out)) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;

    // The new folder: the old version with the package laid over it, mode
    // 0775 throughout; the old version untouched; nothing left staged.
    std::string v = m.versionDir(1240);
    EXPECT_EQ(ReadFile(v + "/libalpha.so"), TestMachine::PackageContent("libalpha.so", 1240));
    EXPECT_EQ(ReadFile(v + "/liborvext.so"), TestMachine::PackageContent("liborvext.so", 1240));
    EXPECT_EQ(ReadFile(v + "/extra.dat"), TestMachine::PackageContent("extra.dat", 1240));
    EXPECT_EQ(ReadFile(v + "/libbeta.so"), TestMachine::ProductContent("libbeta.so", 1234));
    EXPECT_EQ(ReadFile(v + "/sub/data.txt"), TestMachine::ProductContent("sub/data.txt", 1234));
    EXPECT_EQ(ReadFile(v + "/loader"), TestMachine::ProductContent("loader", 1234));
    for (const char* f : {"", "/libalpha.so", "/libbeta.so", "/loader", "/sub", "/sub/data.txt"}) {
        EXPECT_EQ(ModeOf(v + f), 0775u) << f;
    }
    EXPECT_EQ(ReadFile(m.versionDir(1234) + "/libalpha.so"),
              TestMachine::ProductContent("libalpha.so", 1234));
    EXPECT_FALSE(PathExists(m.versionDir(1234) + "/extra.dat"));
    EXPECT_FALSE(PathExists(m.stagingDir(1240)));
    EXPECT_FALSE(PathExists(v + "/orvpatch.ini"));
    EXPECT_EQ(m.LatestTarget(), v + "/");
    EXPECT_EQ(ReadFile(m.programDir() + "/readme_orv3_solaris.txt"),
              TestMachine::PackageContent("readme_orv3_solaris.txt", 1240));
    EXPECT_FALSE(PathExists(m.hotfixDir(1240)));

    // Every server: the scan task dropped, the new extension manager with the
    // old one kept under a backup name, loaders untouched, tasks restarted.
    for (size_t i = 0; i < 2; ++i) {
        const testsupport::Server& s = m.servers()[i];
        EXPECT_FALSE(m.KvmscanRegistered(i));
        EXPECT_EQ(ReadFile(s.programDir + "/liborvext.so"),
                  TestMachine::PackageContent("liborvext.so", 1240));
        std::vector<std::string> backups = ExtensionBackups(s.programDir);
        ASSERT_EQ(backups.size(), 1u) << i;
        EXPECT_EQ(ReadFile(s.programDir + "/" + backups[0]), oldExt);
        EXPECT_EQ(ReadFile(s.programDir + "/orvreal"), TestMachine::ProductContent("loader", 1234));
        ExpectRestartCommands(r.commands(i));
        for (const testsupport::JournalEntry& e : r.journal[i]) {
            EXPECT_EQ(e.euid, s.owner) << e.command;
        }
        EXPECT_TRUE(m.TaskRunning(i, "orvreal"));
        EXPECT_TRUE(m.TaskRunning(i, "orvmon"));
    }

    EXPECT_TRUE(InOrder(
        r.log,
        {"There is 2 ORV installed in current system!", "The build number of current ORV is (1234)",
         "Info: Begin updating extension manager.", "Info: Have updated extension manager.",
         "Info: Begin updating extension manager.", "Info: Have updated extension manager.",
         "Copy file from (./FileGroup1/readme_orv3_solaris.txt) to (" + m.programDir() +
             "/readme_orv3_solaris.txt)",
         kSuccessBanner}))
        << Listing(r.log);
    EXPECT_EQ(r.log.back(), kSuccessBanner);
    EXPECT_EQ(CountMessage(r.log, "Copy replace the file in ORV program with the new one."), 0);
}

TEST(UpdateNewFolder, LoaderWalkRunsOnlyWhenAskedBetweenExtensionAndRestart) {
    for (int updateLoader : {0, 1}) {
        MachineOptions o;
        o.servers = 2;
        TestMachine m(o);
        Package p;
        p.files = {"loader"};
        p.updateLoader = updateLoader;
        m.WritePackage(p);
        RunResult r = m.Run();
        ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);

        std::string fromLine0 = "Info: Update loader from (" + m.versionDir(1240) + ") to (" +
                                m.servers()[0].programDir + ").";
        std::string fromLine1 = "Info: Update loader from (" + m.versionDir(1240) + ") to (" +
                                m.servers()[1].programDir + ").";
        int extension = FindMessage(r.log, "Info: Have updated extension manager.");
        int readme = -1;
        int firstCommand = -1;
        for (size_t i = 0; i < r.log.size(); ++i) {
            if (readme < 0 && r.log[i].rfind("Copy file from (", 0) == 0) {
                readme = static_cast<int>(i);
            }
            if (firstCommand < 0 && r.log[i].rfind("Submit command", 0) == 0) {
                firstCommand = static_cast<int>(i);
            }
        }
        int loader0 = FindMessage(r.log, fromLine0);
        int loader1 = FindMessage(r.log, fromLine1);
        ASSERT_GE(extension, 0);
        ASSERT_GE(firstCommand, 0);
        for (size_t i = 0; i < 2; ++i) {
            const std::string bin = m.servers()[i].programDir;
            for (const char* task : testsupport::kTaskNames) {
                std::string now = ReadFile(bin + "/" + task);
                if (updateLoader != 0) {
                    EXPECT_EQ(now, TestMachine::PackageContent("loader", 1240)) << task;
                    EXPECT_EQ(ReadFile(bin + "/" + task + "_1"),
                              TestMachine::ProductContent("loader", 1234));
                    EXPECT_EQ(ModeOf(bin + "/" + task), 0775u) << task;
                } else {
                    EXPECT_EQ(now, TestMachine::ProductContent("loader", 1234)) << task;
                    EXPECT_FALSE(PathExists(bin + "/" + task + "_1"));
                }
            }
        }
        if (updateLoader != 0) {
            ASSERT_GE(loader0, 0) << Listing(r.log);
            EXPECT_LT(extension, loader0);
            EXPECT_LT(readme, loader0);
            EXPECT_LT(loader0, loader1);
            EXPECT_LT(loader1, firstCommand);
        } else {
            EXPECT_EQ(loader0, -1);
            EXPECT_EQ(loader1, -1);
        }
    }
}

TEST(UpdateFileList, FortyNamesAllGoIntoANewFolderButOnlyThirtyTwoInPlace) {
    // Short names: the whole list must fit into one settings value.
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        names.push_back("f" + std::to_string(10 + i));
    }
    for (const char* way : {"1", "0"}) {
        TestMachine m(Quiet());
        for (const std::string& n : names) {
            WriteFile(m.versionDir(1234) + "/" + n, TestMachine::ProductContent(n, 1234));
        }
        Package p;
        p.files = names;
        p.createNewFolder = way;
        m.WritePackage(p);
        RunResult r = m.Run();
        ASSERT_EQ(r.exitStatus, 0) << way << Listing(r.log);
        bool newFolder = std::string(way) == "1";
        std::string target = newFolder ? m.versionDir(1240) : m.versionDir(1234);
        std::string backup = m.hotfixDir(1240) + "/FileGroup1";
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string& n = names[i];
            bool replaced = newFolder || i < 32;
            EXPECT_EQ(ReadFile(target + "/" + n), replaced ? TestMachine::PackageContent(n, 1240)
                                                           : TestMachine::ProductContent(n, 1234))
                << way << " " << n;
            EXPECT_FALSE(PathExists(target + "/" + n + "_1")) << n;
            if (!newFolder) {
                EXPECT_EQ(PathExists(backup + "/" + n), i < 32) << n;
            }
        }
        EXPECT_EQ(PathExists(m.versionDir(1240)), newFolder);
    }
}

TEST(UpdateFileList, UnsafeNamesRefuseTheRunAndOddButInsideNamesWork) {
    TestMachine m(Quiet());
    // Bait outside the package folder that the refused names point at.
    WriteFile(m.packageParent() + "/escape.so", "outside\n");
    std::string absolute = m.packageParent() + "/absolute.so";
    WriteFile(absolute, "outside\n");
    Package p;
    p.files = {"../escape.so", "lib one's $(x).so", absolute, "libalpha.so", ""};
    m.WritePackage(p);
    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_FALSE(PathExists(m.versionDir(1240)));
    EXPECT_TRUE(m.KvmscanRegistered(0)) << "changed before the refusal";
    for (const std::string& name : {std::string("../escape.so"), absolute}) {
        EXPECT_EQ(CountMessage(r.log, "Error: The file name (" + name +
                                          ") names no file directly inside the package folder "
                                          "(./FileGroup1); nothing is changed."),
                  1)
            << Listing(r.log);
    }
    // Without them, the odd names that stay inside are installed.
    p.files = {"lib one's $(x).so", "libalpha.so", ""};
    m.WritePackage(p);
    r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    std::string v = m.versionDir(1240);
    EXPECT_EQ(ReadFile(v + "/lib one's $(x).so"),
              TestMachine::PackageContent("lib one's $(x).so", 1240));
    EXPECT_FALSE(PathExists(m.programDir() + "/escape.so"));
    EXPECT_FALSE(PathExists(v + "/orvpatch.ini")) << "an empty name copied the package folder";
}

// A new version folder that cannot be filled fails the run before anything
// outside the product's program folder is touched.
void ExpectNothingInstalled(const TestMachine& m, const RunResult& r, const std::string& oldExt) {
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_EQ(r.out, kIncompleteVerdict);
    EXPECT_FALSE(PathExists(m.versionDir(1240)));
    EXPECT_FALSE(PathExists(m.stagingDir(1240)));
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1234) + "/");
    EXPECT_FALSE(PathExists(m.programDir() + "/readme_orv3_solaris.txt"));
    EXPECT_EQ(ReadFile(m.servers()[0].programDir + "/liborvext.so"), oldExt);
    EXPECT_TRUE(r.commands(0).empty());
    EXPECT_EQ(CountMessage(r.log, "Info: Begin updating extension manager."), 0);
    EXPECT_EQ(CountMessage(r.log, kSuccessBanner), 0);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back().rfind("Error: ", 0), 0u) << r.log.back();
}

TEST(UpdateNewFolder, AFailedFillRemovesTheStagingFolderAndFailsTheRun) {
    // A package file that is listed but missing.
    {
        TestMachine m;
        Package p;
        p.files = {"libalpha.so", "libmissing.so", "libbeta.so"};
        p.absent = {"libmissing.so"};
        m.WritePackage(p);
        std::string oldExt = ReadFile(m.servers()[0].programDir + "/liborvext.so");
        RunResult r = m.Run();
        ExpectNothingInstalled(m, r, oldExt);
        EXPECT_EQ(FindMessage(r.log,
                              "Error: Cannot copy the file(./FileGroup1/libmissing.so) to (" +
                                  m.stagingDir(1240) +
                                  "/libmissing.so). Error code is -2. (No such file or directory)"),
                  static_cast<int>(r.log.size()) - 2)
            << Listing(r.log);
    }
    // A socket in the current version is no file to read: it is made again
    // as a socket in the new version, as cp -R would, and the update goes on.
    {
        TestMachine m;
        std::string sock = m.versionDir(1234) + "/orv.sock";
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        ASSERT_LT(sock.size(), sizeof addr.sun_path);
        sock.copy(addr.sun_path, sock.size());
        ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
        close(fd);
        m.WritePackage(Package());
        RunResult r = m.Run();
        ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
        struct stat st;
        ASSERT_EQ(lstat((m.versionDir(1240) + "/orv.sock").c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
    }
}

TEST(UpdateNewFolder, LeftoverStagingFoldersAreNeverTakenForVersionsAndAreRemoved) {
    TestMachine m(Quiet());
    WriteFile(m.stagingDir(1240) + "/libalpha.so", "half copied\n");
    WriteFile(m.stagingDir(9999) + "/libalpha.so", "half copied\n");
    m.WritePackage(Package());
    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_GE(FindMessage(r.log, "The build number of current ORV is (1234)"), 0);
    EXPECT_FALSE(PathExists(m.stagingDir(1240)));
    EXPECT_FALSE(PathExists(m.stagingDir(9999)));
    EXPECT_EQ(CountMessage(r.log, "Info: Remove the staging folder (" + m.stagingDir(9999) +
                                      ") left by an interrupted update."),
              1)
        << Listing(r.log);
    EXPECT_EQ(ReadFile(m.versionDir(1240) + "/libalpha.so"),
              TestMachine::PackageContent("libalpha.so", 1240));
}

TEST(UpdateInPlace, SavesTheOldFilesOnceAndPutsTheNewOnesInPlace) {
    TestMachine m;
    m.WritePackage(InPlacePackage());
    std::string current = m.versionDir(1234);
    std::string backup = m.hotfixDir(1240) + "/FileGroup1";

    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_TRUE(OnlyDots(r.out));
    for (const char* lib : {"libalpha.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::PackageContent(lib, 1240));
        EXPECT_EQ(ModeOf(current + "/" + lib), 0775u);
        EXPECT_FALSE(PathExists(current + "/" + lib + std::string("_1")));
        EXPECT_EQ(ReadFile(backup + "/" + lib), TestMachine::ProductContent(lib, 1234));
    }
    EXPECT_EQ(ReadFile(backup + "/orvpatch.ini"), ReadFile(m.packageDir() + "/orvpatch.ini"));
    EXPECT_EQ(ReadFile(current + "/libgamma.so"), TestMachine::ProductContent("libgamma.so", 1234));
    EXPECT_FALSE(PathExists(m.versionDir(1240)));
    EXPECT_EQ(m.LatestTarget(), current + "/");
    EXPECT_FALSE(PathExists(m.programDir() + "/readme_orv3_solaris.txt"));
    ExpectRestartCommands(r.commands(0));
    EXPECT_TRUE(InOrder(r.log, {"Copy replace the file in ORV program with the new one.",
                                "Back up the dlls from (" + current + ") to (" + backup + ")",
                                "Info: Rename the DLLs in (" + current + ")",
                                "Info: Begin updating extension manager.",
                                "Info: Remove the DLLs in (" + current + ")", kSuccessBanner}))
        << Listing(r.log);

    // A second run of the same fix does nothing: no file swapped, no command.
    RunResult again = m.Run();
    ASSERT_EQ(again.exitStatus, 0) << Listing(again.log);
    EXPECT_EQ(again.log.back(), "Info: The hot fix 1240 is installed already; nothing to do.");
    EXPECT_EQ(CountMessage(again.log, "Info: Rename the DLLs in (" + current + ")"), 0);
    EXPECT_TRUE(again.commands(0).empty());
    EXPECT_EQ(
        CountMessage(again.log, "Back up the dlls from (" + current + ") to (" + backup + ")"), 0);
    for (const char* lib : {"libalpha.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(backup + "/" + lib), TestMachine::ProductContent(lib, 1234));
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::PackageContent(lib, 1240));
    }
}

TEST(UpdateInPlace, AnIncompleteBackupStopsBeforeAnyProductFileIsRenamed) {
    TestMachine m;
    Package p = InPlacePackage();
    p.files = {"libalpha.so", "libnew.so", "libbeta.so"};
    m.WritePackage(p);
    std::string current = m.versionDir(1234);
    // A folder where the package has a file: it cannot be saved as one.
    ASSERT_EQ(::mkdir((current + "/libnew.so").c_str(), 0755), 0);
    RunResult r = m.Run();
    EXPECT_EQ(r.exitStatus, 212);
    EXPECT_EQ(r.out, kIncompleteVerdict);
    for (const char* lib : {"libalpha.so", "libbeta.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::ProductContent(lib, 1234));
        EXPECT_FALSE(PathExists(current + "/" + lib + std::string("_1")));
    }
    struct stat st;
    EXPECT_TRUE(::stat((current + "/libnew.so").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_FALSE(PathExists(m.hotfixDir(1240) + "/FileGroup1"));
    EXPECT_TRUE(r.commands(0).empty());
    EXPECT_EQ(CountMessage(r.log, "Info: Rename the DLLs in (" + current + ")"), 0);
    EXPECT_EQ(r.log.back(), "Error: Cannot back up the files into (" + m.hotfixDir(1240) +
                                "/FileGroup1); nothing is installed.");
}

TEST(UpdateInPlace, NewFilesThatCannotAllBePutInPlaceLeaveTheOldOnes) {
    TestMachine m;
    Package p = InPlacePackage();
    p.files = {"libalpha.so", "libnew.so", "libbeta.so", "libgamma.so"};
    p.absent = {"libbeta.so"};  // libnew.so, which the fix adds, is copied before the failure
    m.WritePackage(p);
    std::string current = m.versionDir(1234);
    std::string backup = m.hotfixDir(1240) + "/FileGroup1";
    RunResult r = m.Run();
    EXPECT_EQ(r.exitStatus, 212);
    EXPECT_EQ(r.out, kIncompleteVerdict);
    for (const char* lib : {"libalpha.so", "libbeta.so", "libgamma.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::ProductContent(lib, 1234)) << lib;
        EXPECT_FALSE(PathExists(current + "/" + lib + std::string("_1"))) << lib;
        EXPECT_EQ(ReadFile(backup + "/" + lib), TestMachine::ProductContent(lib, 1234)) << lib;
    }
    EXPECT_FALSE(PathExists(current + "/libnew.so"));
    EXPECT_TRUE(PathExists(backup + "/orvpatch.ini"));
    EXPECT_TRUE(r.commands(0).empty());
    EXPECT_EQ(r.log.back(), "Error: Cannot put the new files in place in (" + current +
                                "); the old files are renamed back.");

    // The mended package then installs, keeping the backup made above.
    p.absent.clear();
    m.WritePackage(p);
    RunResult again = m.Run();
    ASSERT_EQ(again.exitStatus, 0) << Listing(again.log);
    EXPECT_EQ(CountMessage(again.log, "Info: The back up in (" + backup +
                                          ") is complete already, so it is kept."),
              1);
    for (const char* lib : {"libalpha.so", "libbeta.so", "libgamma.so"}) {
        EXPECT_EQ(ReadFile(current + "/" + lib), TestMachine::PackageContent(lib, 1240)) << lib;
        EXPECT_EQ(ReadFile(backup + "/" + lib), TestMachine::ProductContent(lib, 1234)) << lib;
    }
    EXPECT_EQ(ReadFile(current + "/libnew.so"), TestMachine::PackageContent("libnew.so", 1240));
}

}  // namespace

TEST(UpdateNewFolder, ALinkTheCopyDoesNotFollowIsKeptAndNamed) {
    TestMachine m(Quiet());
    ASSERT_EQ(0, symlink(".", (m.versionDir(1234) + "/self").c_str()));
    m.WritePackage(Package());
    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_EQ(testsupport::LinkTarget(m.versionDir(1240) + "/self"), ".");
    EXPECT_EQ(CountMessage(r.log,
                           "Info: The link (" + m.versionDir(1234) + "/self) is copied as a link."),
              1)
        << Listing(r.log);
}
