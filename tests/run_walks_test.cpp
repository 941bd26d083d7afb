// What a run does across its registry walks, end to end: whose identity the
// console commands carry in every mode, what a link that cannot be switched
// does to an update, and how each walk reads the registry again.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestMachine.h"

using testsupport::CountMessage;
using testsupport::ExtensionBackups;
using testsupport::InPlacePackage;
using testsupport::JournalEntry;
using testsupport::Listing;
using testsupport::MachineOptions;
using testsupport::Package;
using testsupport::PathExists;
using testsupport::Quiet;
using testsupport::ReadFile;
using testsupport::RemoveTree;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TestMachine;
using testsupport::WriteFile;

namespace {

// The primary group a login of `uid` has; `uid` itself when it has no entry
// (the test machine gives such owners a group of the same number).
gid_t PrimaryGroup(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_gid : static_cast<gid_t>(uid);
}

// Every command of every server ran as that server's notes.ini owner, with
// the owner's primary group and no supplementary groups.
void ExpectOwnersRanEverything(const TestMachine& m, const RunResult& r) {
    for (size_t i = 0; i < m.servers().size(); ++i) {
        const uid_t owner = m.servers()[i].owner;
        ASSERT_FALSE(r.journal[i].empty()) << "server " << i << " got no command";
        for (const JournalEntry& e : r.journal[i]) {
            EXPECT_EQ(e.ruid, owner) << e.command;
            EXPECT_EQ(e.euid, owner) << e.command;
            EXPECT_EQ(e.rgid, PrimaryGroup(owner)) << e.command;
            EXPECT_EQ(e.egid, PrimaryGroup(owner)) << e.command;
            EXPECT_EQ(e.supplementaryGroups, 0) << e.command;
        }
    }
}

}  // namespace

TEST(RunWalks, EveryConsoleCommandRunsAsTheNotesIniOwnerInEveryMode) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to give the servers other owners";
    }
    MachineOptions o;
    o.servers = 2;
    o.severalOwners = true;
    TestMachine m(o);

    // A new-folder update and its rollback, each a run of its own: the
    // rollback's stop and load commands have no earlier restart to lean on.
    m.WritePackage(Package());
    RunResult update = m.Run();
    ASSERT_EQ(update.exitStatus, 0) << Listing(update.log);
    ExpectOwnersRanEverything(m, update);
    RunResult rollback = m.Run({"/u"});
    ASSERT_EQ(rollback.exitStatus, 0) << Listing(rollback.log);
    ExpectOwnersRanEverything(m, rollback);

    // The in-place way and its rollback from the backup folder.
    m.WritePackage(InPlacePackage());
    RunResult swap = m.Run();
    ASSERT_EQ(swap.exitStatus, 0) << Listing(swap.log);
    ExpectOwnersRanEverything(m, swap);
    RunOptions fromBackup;
    fromBackup.args = {"/u"};
    fromBackup.workDir = m.hotfixDir(1240);
    RunResult back = m.Run(fromBackup);
    ASSERT_EQ(back.exitStatus, 0) << Listing(back.log);
    ExpectOwnersRanEverything(m, back);
}

TEST(RunWalks, ALinkThatCannotBeSwitchedUndoesTheUpdateAndFailsIt) {
    TestMachine m(Quiet(2));
    // program/latest as a real folder that is not empty: no link can be
    // renamed over it.
    const std::string latest = m.programDir() + "/latest";
    ::unlink(latest.c_str());
    WriteFile(latest + "/keep", "in the way\n");
    m.WritePackage(Package());
    const std::string oldExt = TestMachine::ProductContent("liborvext.so", 1234);

    RunResult r = m.Run();
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_EQ(r.out,
              "The hot fix cannot be installed completely. Please check the log "
              "/opt/varnel/ORV/orvspins.log for detail info.\n");
    EXPECT_EQ(CountMessage(r.log,
                           "=============================Update ORV "
                           "successfully======================="),
              0);
    EXPECT_EQ(
        CountMessage(r.log, "Error: The link latest cannot be pointed at (" + m.versionDir(1240) +
                                "/); the new version folder is removed and the extension "
                                "managers are put back."),
        1)
        << Listing(r.log);
    EXPECT_FALSE(PathExists(m.versionDir(1240)));
    for (const auto& server : m.servers()) {
        EXPECT_EQ(ReadFile(server.programDir + "/liborvext.so"), oldExt);
        EXPECT_EQ(testsupport::FolderNames(server.programDir).size(), 9u)
            << "a backup of the extension manager was left behind";
    }
    EXPECT_TRUE(r.journal[0].empty() && r.journal[1].empty()) << "tasks restarted";

    // Once the cause is mended, the same package installs.
    RemoveTree(latest);
    m.PointLatestAt(m.versionDir(1234) + "/");
    RunResult again = m.Run();
    EXPECT_EQ(again.exitStatus, 0) << Listing(again.log);
    EXPECT_EQ(m.LatestTarget(), m.versionDir(1240) + "/");
}

TEST(RunWalks, EachWalkReadsTheRegistryAgainAndVisitsUncountedInstallations) {
    TestMachine m(Quiet(2));
    // The second server's notes.ini cannot be read and written, so the
    // opening leaves it out of its count; the later walks still visit it.
    const std::string missing = m.servers()[1].notesIni;
    ::unlink(missing.c_str());
    Package p;
    p.updateLoader = 1;
    m.WritePackage(p);
    // A version whose extension manager and loader differ from the installed
    // ones, so that both are replaced (and saved) in each program folder.
    WriteFile(m.versionDir(1234) + "/liborvext.so", "newer extension manager\n");
    WriteFile(m.versionDir(1234) + "/loader", "newer loader\n");

    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    EXPECT_EQ(CountMessage(r.log, "There is 1 ORV installed in current system!"), 1);
    // Opening, scan-task clean-up, the ledger's look at the program folders,
    // extension manager, loaders and restart: six walks, each with its
    // product-root line.
    EXPECT_EQ(CountMessage(r.log, "'ProductPath' in 'ORVConf' is '" + m.productRoot() + "'"), 6)
        << Listing(r.log);
    const std::string bin = m.servers()[1].programDir;
    EXPECT_EQ(ExtensionBackups(bin).size(), 1u) << "extension manager not replaced";
    EXPECT_TRUE(PathExists(bin + "/orvreal_1")) << "loaders not replaced";
    // The restart walk reaches it too, and stops there for want of an owner.
    EXPECT_EQ(CountMessage(r.log, "Cannot get the fstat for file '" + missing + "'."), 1);
}
