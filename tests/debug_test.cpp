// The debug log: line format, cut, creation mode and silence without a folder.
#include "UpdateORV/debug.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "support/TempDir.h"

using testsupport::MakeDirs;
using testsupport::ModeOf;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("ORVPATCH_TESTBED", root.path().c_str(), 1); }
    void TearDown() override { unsetenv("ORVPATCH_TESTBED"); }

    std::string folder() const { return root.sub("opt/varnel/ORV"); }
    std::string logFile() const { return folder() + "/orvspins.log"; }

    TempDir root;
};

TEST_F(DebugLogTest, WritesHeaderThenMessageWithNothingBetween) {
    MakeDirs(folder());
    LogDebugMessage(1, "Info: %s", "x");
    LogDebugMessage(255, "second %d", 2);

    std::string text = ReadFile(logFile());
    std::regex line(
        "\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\]\\[module=1\\]:Info: x\n"
        "\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\]\\[module=ff\\]:second 2\n");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(DebugLogTest, CutsLongMessagesAndEscapesControlCharacters) {
    MakeDirs(folder());
    std::string longText(5000, 'a');
    longText[2045] = 'b';  // the last character kept
    longText[2046] = 'c';  // the first one cut
    LogDebugMessage(1, "%s", longText.c_str());
    LogDebugMessage(1, "one\ntwo");
    LogDebugMessage(1, "\x1b[2J\x7f\xc2\x9b\x9b\xc4\x9b\xe9");

    std::string text = ReadFile(logFile());
    std::string::size_type colon = text.find("]:");
    ASSERT_NE(colon, std::string::npos);
    std::string::size_type end = text.find('\n');
    std::string message = text.substr(colon + 2, end - colon - 2);
    EXPECT_EQ(message.size(), 2046u);
    EXPECT_EQ(message.back(), 'b');

    std::string second = text.substr(end + 1);
    // One line per message, and no control character reaches a terminal
    // showing the log; other UTF-8 (U+011B ends in 0x9b) and Latin-1 bytes stay.
    EXPECT_NE(second.find("]:one\\x0atwo\n"), std::string::npos) << second;
    EXPECT_NE(second.find("]:\\x1b[2J\\x7f\\xc2\\x9b\\x9b\xc4\x9b\xe9\n"), std::string::npos)
        << second;
    EXPECT_EQ(second.back(), '\n');
}

TEST_F(DebugLogTest, CreatesTheFileWithMode0666WhateverTheUmask) {
    MakeDirs(folder());
    mode_t before = umask(077);
    LogDebugMessage(1, "first");
    mode_t after = umask(before);

    EXPECT_EQ(after, 077u) << "the mask must be restored";
    EXPECT_EQ(ModeOf(logFile()), 0666u);

    // An existing file keeps its permissions.
    chmod(logFile().c_str(), 0600);
    LogDebugMessage(1, "second");
    EXPECT_EQ(ModeOf(logFile()), 0600u);
    EXPECT_NE(ReadFile(logFile()).find("]:second\n"), std::string::npos);
}

TEST_F(DebugLogTest, MissingFolderIsSilent) {
    LogDebugMessage(1, "nowhere to go");
    EXPECT_FALSE(testsupport::PathExists(root.sub("opt")));
}

TEST_F(DebugLogTest, AFifoInTheLogsPlaceNeverBlocks) {
    MakeDirs(folder());
    ASSERT_EQ(0, mkfifo(logFile().c_str(), 0666));
    // Far more than a pipe holds: writing them to the FIFO would block for ever.
    const std::string line(2000, 'x');
    for (int i = 0; i < 200; ++i) {
        LogDebugMessage(1, "%s", line.c_str());
    }
    struct stat st;
    ASSERT_EQ(0, lstat(logFile().c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
