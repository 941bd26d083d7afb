// The package settings: reading orvpatch.ini, splitting file lists, the
// 32-slot file table and the environment check.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::LogCapture;
using testsupport::MakeDirs;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

typedef std::list<std::string> Names;

// Writes `ini` as the package's settings file and reads it.
int ReadSettings(const TempDir& dir, const std::string& ini, _PatchSetting& setting) {
    WriteFile(dir.sub("FileGroup1/orvpatch.ini"), ini);
    InstallInfo info;
    info.strPackagePath = dir.sub("FileGroup1");
    return ReadConfiguration(info, setting);
}

Names Split(const char* value, Names list = Names()) {
    std::string text(value);
    ParseFileList(list, &text[0]);
    return list;
}

}  // namespace

TEST(ReadConfiguration, ReadsEveryKey) {
    LogCapture log;
    TempDir dir;
    _PatchSetting setting;
    ASSERT_EQ(0, ReadSettings(dir,
                              "[Other]\nFiles=wrong.so\n"
                              "[Config]\n"
                              "Files=liba.so,libb.so\n"
                              "BuildNumber=0123\n"
                              "Databases=a.nsf,b.nsf\n"
                              "CreateNewFolder=0\n"
                              "DepentBuild= 1234x\n"
                              "UpdateLoader=-2\n",
                              setting));
    EXPECT_EQ((Names{"liba.so", "libb.so"}), setting.Files);
    EXPECT_EQ(123, setting.BuildNumber);
    EXPECT_EQ((Names{"a.nsf", "b.nsf"}), setting.Databases);
    EXPECT_EQ(0, setting.CreateNewFolder);
    EXPECT_EQ(1234, setting.DepentBuild);
    EXPECT_EQ(-2, setting.UpdateLoader);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ReadConfiguration, OptionalKeysAndNumberConversion) {
    LogCapture log;
    TempDir dir;
    {
        // Optional keys missing: defaults, and only Databases is logged.
        _PatchSetting setting;
        ASSERT_EQ(0, ReadSettings(dir, "[Config]\nFiles=a\nBuildNumber=12abc\n", setting));
        EXPECT_EQ(12, setting.BuildNumber);
        EXPECT_TRUE(setting.Databases.empty());
        EXPECT_EQ(1, setting.CreateNewFolder);
        EXPECT_EQ(0, setting.DepentBuild);
        EXPECT_EQ(0, setting.UpdateLoader);
        EXPECT_EQ(
            std::vector<std::string>{
                "Cannot get the value in configuration file. (Config:Databases)"},
            log.Messages());
    }
    {
        // Present but empty or without digits: 0, not the default.
        _PatchSetting setting;
        ASSERT_EQ(0, ReadSettings(dir,
                                  "[Config]\nFiles=a\nBuildNumber=x1\nDatabases=\n"
                                  "CreateNewFolder=\nUpdateLoader=yes\n",
                                  setting));
        EXPECT_EQ(0, setting.BuildNumber);
        EXPECT_EQ(0, setting.CreateNewFolder);
        EXPECT_EQ(0, setting.UpdateLoader);
        EXPECT_EQ(Names{""}, setting.Databases);
    }
    {
        // Numbers beyond the int range stop at its ends.
        _PatchSetting setting;
        ASSERT_EQ(0, ReadSettings(dir,
                                  "[Config]\nFiles=a\nBuildNumber=99999999999999999999\n"
                                  "DepentBuild=-99999999999999999999\nUpdateLoader=2147483647\n",
                                  setting));
        EXPECT_EQ(INT_MAX, setting.BuildNumber);
        EXPECT_EQ(INT_MIN, setting.DepentBuild);
        EXPECT_EQ(INT_MAX, setting.UpdateLoader);
    }
}

TEST(ReadConfiguration, MissingFileOrNeededKeys) {
    LogCapture log;
    TempDir dir;
    {
        _PatchSetting setting;
        setting.BuildNumber = 99;
        InstallInfo info;
        info.strPackagePath = dir.sub("FileGroup1");
        EXPECT_EQ(1, ReadConfiguration(info, setting));
        EXPECT_EQ(0, setting.BuildNumber);
        EXPECT_TRUE(setting.Files.empty());
        EXPECT_EQ(1, setting.CreateNewFolder);
        ASSERT_EQ(2u, log.Messages().size());
        EXPECT_EQ("Cannot open the file. (" + dir.sub("FileGroup1/orvpatch.ini") + ")",
                  log.Messages()[0]);
        EXPECT_EQ(0u, log.Messages()[1].find("Error: There is no hot-fix package here: the "
                                             "settings file (" +
                                             dir.sub("FileGroup1/orvpatch.ini") + ")"));
    }
    log.Clear();
    {
        // No [Config] section at all.
        _PatchSetting setting;
        setting.BuildNumber = 99;
        EXPECT_EQ(1, ReadSettings(dir, "[config]\nFiles=a\nBuildNumber=5\n", setting));
        EXPECT_EQ(0, setting.BuildNumber);
        EXPECT_TRUE(setting.Files.empty());
        EXPECT_EQ(std::vector<std::string>{"Cannot get the value in configuration file. "
                                           "(Config:Files)"},
                  log.Messages());
    }
    log.Clear();
    {
        // BuildNumber missing: Files is filled, the rest is not read.
        _PatchSetting setting;
        EXPECT_EQ(1, ReadSettings(dir, "[Config]\nFiles=a,b\nCreateNewFolder=0\n", setting));
        EXPECT_EQ((Names{"a", "b"}), setting.Files);
        EXPECT_EQ(0, setting.BuildNumber);
        EXPECT_EQ(1, setting.CreateNewFolder);
        EXPECT_EQ(std::vector<std::string>{"Cannot get the value in configuration file. "
                                           "(Config:BuildNumber)"},
                  log.Messages());
    }
}

TEST(ParseFileList, CutsAtEveryCommaWithoutTrimming) {
    EXPECT_EQ((Names{"liba.so", "libb.so"}), Split("liba.so,libb.so"));
    EXPECT_EQ((Names{"liba.so", " libb.so"}), Split("liba.so, libb.so"));
    EXPECT_EQ((Names{"liba.so", ""}), Split("liba.so,"));
    EXPECT_EQ(Names{""}, Split(""));
    EXPECT_EQ((Names{"", "", ""}), Split(",,"));
    EXPECT_EQ((Names{"a", "", "b"}), Split("a,,b"));
    EXPECT_EQ((Names{"\t\"q\" ", ";x"}), Split("\t\"q\" ,;x"));
    // Names already in the list stay.
    EXPECT_EQ((Names{"old", "new1", "new2"}), Split("new1,new2", Names{"old"}));
    Names list{"kept"};
    EXPECT_EQ(0, ParseFileList(list, nullptr));
    EXPECT_EQ(Names{"kept"}, list);
}

TEST(ReadFileList, FillsAll32Slots) {
    _PatchSetting setting;
    setting.Files = {"liba.so", "libb.so"};
    EXPECT_EQ(1, ReadFileList(setting));
    EXPECT_STREQ("liba.so", szDlls[0]);
    EXPECT_STREQ("libb.so", szDlls[1]);
    for (int i = 2; i < 32; ++i) {
        ASSERT_NE(nullptr, szDlls[i]) << i;
        EXPECT_STREQ("", szDlls[i]) << i;
    }

    // 40 names: the first 32 are kept.
    setting.Files.clear();
    for (int i = 0; i < 40; ++i) {
        setting.Files.push_back("lib" + std::to_string(i) + ".so");
    }
    EXPECT_EQ(1, ReadFileList(setting));
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ("lib" + std::to_string(i) + ".so", std::string(szDlls[i])) << i;
    }

    // Filled again with fewer names: the later slots are empty again, and the
    // table does not share the list's storage.
    setting.Files = {"only.so"};
    EXPECT_EQ(1, ReadFileList(setting));
    setting.Files.front() = "changed";
    EXPECT_STREQ("only.so", szDlls[0]);
    EXPECT_STREQ("", szDlls[1]);
    EXPECT_STREQ("", szDlls[31]);

    setting.Files.clear();
    EXPECT_EQ(1, ReadFileList(setting));
    EXPECT_STREQ("", szDlls[0]);
}

TEST(CheckEnvironment, TestsThePackagesVersionFolder) {
    TempDir dir;
    ASSERT_LT(dir.path().size(), sizeof(g_szORVPatch));
    std::strcpy(g_szORVPatch, dir.path().c_str());
    _PatchSetting setting;
    setting.BuildNumber = 1234;
    EXPECT_EQ(1, CheckEnvironment(setting));
    MakeDirs(dir.sub("program/V3.0.0.1234"));
    EXPECT_EQ(0, CheckEnvironment(setting));
    setting.BuildNumber = 1235;
    EXPECT_EQ(1, CheckEnvironment(setting));
    // Tested without a trailing separator: a plain file of that name counts.
    WriteFile(dir.sub("program/V3.0.0.1236"), "file");
    setting.BuildNumber = 1236;
    EXPECT_EQ(0, CheckEnvironment(setting));
    g_szORVPatch[0] = '\0';
}
