// The opening of a run as a process, in both modes: the registry walk and its
// failures, the count of installations, and a package without settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestMachine.h"

using testsupport::FindMessage;
using testsupport::InOrder;
using testsupport::Listing;
using testsupport::MachineOptions;
using testsupport::Package;
using testsupport::Quiet;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TestMachine;
using testsupport::WriteFile;

namespace {

const char kNotInstalled[] =
    "ORV isn't installed in the server. Please check the log /opt/varnel/ORV/orvspins.log for "
    "detail info.\n";

const std::vector<std::vector<std::string>> kBothModes = {{}, {"/u"}};

std::string Registry(const TestMachine& m) {
    return m.root() + "/etc/orvsys.ini";
}

// A failed opening: its line last, the first verdict, exit 212, and the
// package's settings never read.
void ExpectRefused(const RunResult& r, const std::string& line) {
    EXPECT_EQ(r.exitStatus, 212) << Listing(r.log);
    EXPECT_EQ(r.out, kNotInstalled);
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.back(), line) << Listing(r.log);
    EXPECT_EQ(FindMessage(r.log, "The build number of current ORV is (1234)"), -1);
}

TEST(Opening, NoRegistryFileEndsTheRunInBothModes) {
    for (const std::vector<std::string>& args : kBothModes) {
        TestMachine m(Quiet());
        m.WritePackage(Package());
        ASSERT_EQ(::unlink(Registry(m).c_str()), 0);
        RunResult r = m.Run(args);
        ExpectRefused(r, "Parsing orvsys.ini error.");
        EXPECT_TRUE(m.KvmscanRegistered(0));
        EXPECT_TRUE(InOrder(r.log, {"Error: Cannot find the orvsys.ini in " + Registry(m) + " !",
                                    "Parsing orvsys.ini error."}))
            << Listing(r.log);
    }
}

TEST(Opening, InstallationsWhoseNotesIniCannotBeReadAndWrittenAreNotCounted) {
    // Missing notes.ini files, in both modes.
    for (const std::vector<std::string>& args : kBothModes) {
        TestMachine m(Quiet(2));
        m.WritePackage(Package());
        ::unlink(m.servers()[0].notesIni.c_str());
        ::unlink(m.servers()[1].notesIni.c_str());
        RunResult r = m.Run(args);
        ExpectRefused(r, "No ORV installed.");
    }
    // A notes.ini the process may read but not write.
    if (geteuid() == 0) {
        TestMachine m(Quiet());
        m.WritePackage(Package());
        ASSERT_EQ(chmod(m.servers()[0].notesIni.c_str(), 0644), 0);
        RunOptions nobody;
        nobody.asUser = true;
        nobody.uid = nobody.gid = 65534;
        RunResult r = m.Run(nobody);
        ExpectRefused(r, "No ORV installed.");
        EXPECT_TRUE(m.KvmscanRegistered(0));
    }
}

TEST(Opening, ANegativeCountIsNoInstallation) {
    TestMachine m(Quiet());
    m.WritePackage(Package());
    std::string text = ReadFile(Registry(m));
    std::string::size_type at = text.find("DomSvrIORVCount=1");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 17, "DomSvrIORVCount=-2");
    WriteFile(Registry(m), text);
    RunResult r = m.Run();
    ExpectRefused(r, "No ORV installed.");
    EXPECT_TRUE(m.KvmscanRegistered(0));
}

TEST(Opening, CountsTheInstallationsAndGoesOnWithoutSettings) {
    // Three installations, and no orvpatch.ini: the update goes on with build
    // number 0 and stops at the build check.
    TestMachine m(Quiet(3));
    Package p;
    p.settings = false;
    m.WritePackage(p);
    RunResult r = m.Run();
    EXPECT_EQ(r.exitStatus, 212);
    const std::string noPackage =
        "Error: There is no hot-fix package here: the settings file (./FileGroup1/orvpatch.ini) "
        "cannot be read (No such file or directory) in the folder the run started in (" +
        m.packageParent() + "). Run orvpatch from the package's folder.";
    EXPECT_TRUE(InOrder(r.log, {"There is 3 ORV installed in current system!",
                                "Cannot open the file. (./FileGroup1/orvpatch.ini)", noPackage,
                                "The build number of current ORV is (1234)",
                                "The current version is newer than that in this package. So "
                                "quit. (Old," +
                                    m.versionDir(1234) + ":New," + m.programDir() + "/V3.0.0.0/)"}))
        << Listing(r.log);

    // The rollback goes on with the default new-folder way and build 0.
    RunResult back = m.Run({"/u"});
    EXPECT_EQ(back.exitStatus, 212);
    EXPECT_EQ(back.out,
              "The hot fix cannot be rolled back completely. Please check the log "
              "/opt/varnel/ORV/orvspins.log for detail info.\n");
    EXPECT_TRUE(
        InOrder(back.log, {"There is 3 ORV installed in current system!",
                           "Cannot open the file. (./FileGroup1/orvpatch.ini)", noPackage,
                           "The hotfix isn't installed, the folder isn't a folder or doesn't "
                           "exist. (" +
                               m.programDir() + "/V3.0.0.0/)"}))
        << Listing(back.log);
}

}  // namespace
