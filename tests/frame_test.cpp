// The run frame as a process: the mode chosen from the arguments, its banner,
// the opening's verdict when no installation is registered, and the exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orvpatch_version.h"
#include "support/RunProgram.h"
#include "support/TempDir.h"

using testsupport::MakeDirs;
using testsupport::ProgramResult;
using testsupport::ReadFile;
using testsupport::RunProgram;
using testsupport::TempDir;

namespace {

const char kNotInstalled[] =
    "ORV isn't installed in the server. Please check the log /opt/varnel/ORV/orvspins.log for "
    "detail info.\n";
const char kUpdateBanner[] = "]:=============================Update ORV=======================\n";
const char kRollbackBanner[] =
    "]:=============================Rollback ORV=======================\n";

testsupport::ProgramOptions In(const std::string& dir, const std::vector<std::string>& env) {
    testsupport::ProgramOptions options;
    options.workDir = dir;
    options.env = env;
    return options;
}

std::string Testbed() {
    return std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-testbed";
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeDirs(root.sub("opt/varnel/ORV")); }

    ProgramResult run(const std::vector<std::string>& args) {
        return RunProgram(
            Testbed(), args,
            In(root.path(), {"ORVPATCH_TESTBED=" + root.path(), "ORVPATCH_TESTBED_SECOND_MS=1"}));
    }
    std::string log() const { return ReadFile(root.sub("opt/varnel/ORV/orvspins.log")); }

    TempDir root;
};

TEST_F(FrameTest, ArgumentsChooseTheMode) {
    enum Mode { kUpdate, kRollback, kHelp, kVersion, kUsage };
    struct Case {
        std::vector<std::string> args;
        Mode mode;
    };
    const Case cases[] = {
        {{}, kUpdate},
        {{"/u"}, kRollback},
        // Anything else is refused: a mistyped rollback never installs.
        {{"/U"}, kUsage},
        {{"-u"}, kUsage},
        {{"u"}, kUsage},
        {{"/u", "x"}, kUsage},
        {{"/u "}, kUsage},
        {{"x", "/u"}, kUsage},
        {{"--rollback"}, kUsage},
        {{""}, kUsage},
        // Answered on standard output; nothing else happens, nothing is logged.
        {{"--help"}, kHelp},
        {{"--version"}, kVersion},
        {{"--help", "me"}, kUsage},
        {{"--version", "x"}, kUsage},
        {{"--VERSION"}, kUsage},
        {{"-h"}, kUsage},
    };
    for (const Case& c : cases) {
        testsupport::RemoveTree(root.sub("opt/varnel/ORV/orvspins.log"));
        ProgramResult r = run(c.args);
        std::string text = log();
        std::string label =
            c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        if (c.mode == kUsage) {
            EXPECT_EQ(r.exitStatus, 2) << label;
            EXPECT_EQ(text, "") << label;
            EXPECT_EQ(r.out, "") << label;
            EXPECT_EQ(r.err.rfind("Usage: orvpatch ", 0), 0u) << label << r.err;
            EXPECT_FALSE(testsupport::PathExists(root.sub("opt/varnel/ORV/.orvpatch-run")));
            continue;
        }
        if (c.mode == kHelp || c.mode == kVersion) {
            EXPECT_EQ(r.exitStatus, 0) << label;
            EXPECT_EQ(text, "") << label;
            if (c.mode == kVersion) {
                EXPECT_EQ(r.out, std::string("orvpatch ") + ORVPATCH_VERSION + "\n");
            } else {
                EXPECT_EQ(r.out.rfind("Usage: orvpatch ", 0), 0u) << r.out;
            }
            continue;
        }
        EXPECT_EQ(r.exitStatus, 212) << label;
        EXPECT_EQ(text.find(kRollbackBanner) != std::string::npos, c.mode == kRollback)
            << label << text;
        EXPECT_EQ(text.find(kUpdateBanner) != std::string::npos, c.mode == kUpdate)
            << label << text;
    }
}

TEST_F(FrameTest, EmptyMachineGivesTheFirstVerdictWithoutLineFeed) {
    for (const char* mode : {"update", "rollback"}) {
        testsupport::RemoveTree(root.sub("opt/varnel/ORV/orvspins.log"));
        std::vector<std::string> args;
        if (std::string(mode) == "rollback") {
            args.push_back("/u");
        }
        ProgramResult r = run(args);
        EXPECT_EQ(r.exitStatus, 212) << mode;
        EXPECT_EQ(r.out, kNotInstalled) << mode;

        // Banner, who runs where, the walk's own line, then the opening's line.
        std::string text = log();
        std::string::size_type banner = text.find("=============================");
        const std::string::size_type who = text.find("]:Info: Process ", banner);
        EXPECT_EQ(who, text.find('\n', banner) + 31) << text;  // the next line
        EXPECT_NE(
            text.find(" (uid " + std::to_string(getuid()) + ") runs in " + root.path() + ".\n"),
            std::string::npos)
            << text;
        std::string::size_type missing = text.find("]:Error: Cannot find the orvsys.ini in " +
                                                   root.path() + "/etc/orvsys.ini !\n");
        std::string::size_type parsing = text.find("]:Parsing orvsys.ini error.\n");
        ASSERT_NE(banner, std::string::npos) << text;
        ASSERT_NE(missing, std::string::npos) << text;
        ASSERT_NE(parsing, std::string::npos) << text;
        EXPECT_LT(banner, missing);
        EXPECT_LT(missing, parsing);
    }
}

TEST_F(FrameTest, ALogThatCannotBeWrittenIsToldOnceAndTheRunStillEnds) {
    MakeDirs(root.sub("opt/varnel/ORV/orvspins.log"));  // a folder in the log's place
    ProgramResult r = run({});
    EXPECT_EQ(r.exitStatus, 212);
    EXPECT_EQ(r.out, kNotInstalled);
    EXPECT_EQ(r.err,
              "orvpatch: the log /opt/varnel/ORV/orvspins.log cannot be written (Is a "
              "directory); the run goes on.\n");
}

TEST_F(FrameTest, TestbedRefusesToRunWithoutItsFolder) {
    ProgramResult r = RunProgram(Testbed(), {}, In(root.path(), {"ORVPATCH_TESTBED"}));
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(log(), "");

    // A relative folder is no test folder either.
    r = RunProgram(Testbed(), {}, In(root.path(), {"ORVPATCH_TESTBED=relative/path"}));
    EXPECT_EQ(r.exitStatus, 2);
}

TEST(ProductFrameTest, NoRegistryGivesTheFirstVerdict) {
    if (testsupport::PathExists("/etc/orvsys.ini")) {
        GTEST_SKIP() << "this machine has a real /etc/orvsys.ini";
    }
    TempDir work;
    ProgramResult r = RunProgram(std::string(ORVPATCH_BUILD_DIR) + "/orvpatch", {},
                                 In(work.path(), {"ORVPATCH_TESTBED=" + work.path()}));
    EXPECT_EQ(r.exitStatus, 212);
    EXPECT_EQ(r.out, kNotInstalled);
    // The product ignores the testbed variable: nothing lands in the test folder.
    EXPECT_FALSE(testsupport::PathExists(work.sub("etc")));
    EXPECT_FALSE(testsupport::PathExists(work.sub("opt")));
}

}  // namespace
