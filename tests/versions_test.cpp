// Version folder names, the newest-folder search and the program/latest link.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::FolderNames;
using testsupport::LinkTarget;
using testsupport::LogCapture;
using testsupport::MakeDirs;
using testsupport::PathExists;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::array<int, 4> Parse(const char* path) {
    std::array<int, 4> q{{-7, -7, -7, -7}};
    KvParseVersionStr(path, &q[0], &q[1], &q[2], &q[3]);
    return q;
}

std::array<int, 4> Q(int a, int b, int c, int d) {
    return std::array<int, 4>{{a, b, c, d}};
}

}  // namespace

TEST(KvParseVersionStr, NamesOfVersionFolders) {
    EXPECT_EQ(Q(3, 0, 0, 1234), Parse("/opt/varnel/ORV/program/V3.0.0.1234"));
    EXPECT_EQ(Q(3, 0, 0, 1234), Parse("/opt/varnel/ORV/program/V3.0.0.1234/"));
    EXPECT_EQ(Q(3, 0, 0, 1234), Parse("V3.0.0.1234"));
    EXPECT_EQ(Q(2, 1, 0, 0), Parse("C:\\ORV\\program\\V2.1"));
    EXPECT_EQ(Q(2, 1, 0, 0), Parse("C:\\ORV\\program\\V2.1\\"));
    // Three numbers: the last one is the build number.
    EXPECT_EQ(Q(3, 0, 0, 7), Parse("/r/program/V3.0.7"));
    EXPECT_EQ(Q(4, 0, 0, 0), Parse("/r/program/V4"));
    EXPECT_EQ(Q(0, 0, 0, 0), Parse("/r/program/latest"));
    EXPECT_EQ(Q(7, 1, 0, 2), Parse("/r/program/X7.1.0.2"));
    EXPECT_EQ(Q(3, 0, 0, 12), Parse("/r/program/V3.0.0.012"));
    EXPECT_EQ(Q(0, 0, 0, 0), Parse(""));
    EXPECT_EQ(Q(0, 0, 0, 0), Parse("V"));
    EXPECT_EQ(Q(0, 0, 0, 0), Parse("/"));
    EXPECT_EQ(Q(0, 0, 0, 0), Parse(nullptr));
    // Only one trailing separator goes.
    EXPECT_EQ(Q(0, 0, 0, 0), Parse("/r/program/V3.0.0.1//"));
    // Reading stops at the first character that does not fit.
    EXPECT_EQ(Q(3, 1, 0, 0), Parse("/r/V3.1x.5"));
    EXPECT_EQ(Q(3, 0, 0, 0), Parse("/r/V3..5"));
    EXPECT_EQ(Q(3, 0, 0, 0), Parse("/r/V3.0.0.0000"));
}

TEST(KvParseVersionStr, HugeNumbersSaturateAndLongPathsFit) {
    EXPECT_EQ(Q(3, 0, 0, INT_MAX), Parse("/r/V3.0.0.99999999999999999999999"));
    EXPECT_EQ(Q(INT_MIN, 1, 0, 0), Parse("/r/V-99999999999999.1"));
    EXPECT_EQ(Q(INT_MAX, 0, 0, 0), Parse("/r/V2147483648"));
    EXPECT_EQ(Q(2147483647, 0, 0, 0), Parse("/r/V2147483647"));
    EXPECT_EQ(Q(INT_MIN, 0, 0, 0), Parse("/r/V-2147483648"));
    // A path far beyond 1024 characters is parsed whole.
    std::string longPath(5000, 'a');
    longPath += "/V3.0.0.42";
    EXPECT_EQ(Q(3, 0, 0, 42), Parse(longPath.c_str()));
    std::string longName = "/r/V3.0.0." + std::string(3000, '9');
    EXPECT_EQ(Q(3, 0, 0, INT_MAX), Parse(longName.c_str()));
    // Null outputs are simply not written.
    int first = -1;
    KvParseVersionStr("V5.6", &first, nullptr, nullptr, nullptr);
    EXPECT_EQ(5, first);
}

TEST(GetLatestPathN, ChoosesNewestFolderByNumber) {
    TempDir dir;
    const std::string program = dir.sub("program");
    MakeDirs(program + "/V3.0.0.98");
    MakeDirs(program + "/V3.0.0.120");
    MakeDirs(program + "/V2.9.9.9999");
    MakeDirs(program + "/Xfolder");
    MakeDirs(program + "/V*");  // a name, not a pattern: never listed in place of program
    WriteFile(program + "/V3.0.0.500", "a plain file");
    ASSERT_EQ(0, symlink((program + "/V3.0.0.98").c_str(), (program + "/latest").c_str()));

    char out[1024] = "untouched";
    const char* found = GetLatestPathN(dir.path().c_str(), "program", out, sizeof(out));
    ASSERT_EQ(out, found);
    EXPECT_EQ(program + "/V3.0.0.120", std::string(out));

    // A root written with a trailing separator gives the same folder.
    std::string rootSlash = dir.path() + "/";
    char out2[1024] = "";
    ASSERT_NE(nullptr, GetLatestPathN(rootSlash.c_str(), "program", out2, sizeof(out2)));
    EXPECT_EQ(program + "/V3.0.0.120", std::string(out2));
}

TEST(GetLatestPathN, EqualVersionsKeepTheFirstListed) {
    TempDir dir;
    const std::string program = dir.sub("program");
    MakeDirs(program + "/V3.0.0.120");
    MakeDirs(program + "/V3.0.0.0120");
    MakeDirs(program + "/V3.0.0.00120");
    std::string first;
    for (const std::string& name : FolderNames(program, false)) {
        if (name[0] == 'V') {
            first = name;
            break;
        }
    }
    char out[1024] = "";
    ASSERT_NE(nullptr, GetLatestPathN(dir.path().c_str(), "program", out, sizeof(out)));
    EXPECT_EQ(program + "/" + first, std::string(out));
}

TEST(GetLatestPathN, NoVersionFolderGivesNull) {
    TempDir dir;
    char out[1024] = "untouched";
    // No program folder at all.
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), "program", out, sizeof(out)));
    EXPECT_STREQ("untouched", out);

    // Only a link, a file and folders that parse as no version.
    const std::string program = dir.sub("program");
    MakeDirs(program + "/latest_is_not_here");
    MakeDirs(program + "/V");
    WriteFile(program + "/V3.0.0.9", "file");
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), "program", out, sizeof(out)));
    EXPECT_STREQ("untouched", out);

    // V0.0.0.7 is greater than nothing but its first number is 0: its path
    // is written and still no folder is reported.
    MakeDirs(program + "/V0.0.0.7");
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), "program", out, sizeof(out)));
    EXPECT_EQ(program + "/V0.0.0.7", std::string(out));

    EXPECT_EQ(nullptr, GetLatestPathN(nullptr, "program", out, sizeof(out)));
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), nullptr, out, sizeof(out)));
}

TEST(GetLatestPathN, PathThatDoesNotFitIsNotCut) {
    TempDir dir;
    const std::string program = dir.sub("program");
    MakeDirs(program + "/V3.0.0.5");
    const std::string expected = program + "/V3.0.0.5";

    // Exactly the path and its NUL fit.
    std::vector<char> fits(expected.size() + 1, '#');
    ASSERT_NE(nullptr, GetLatestPathN(dir.path().c_str(), "program", fits.data(),
                                      static_cast<unsigned>(fits.size())));
    EXPECT_EQ(expected, std::string(fits.data()));

    // One byte less: no path, and an empty text rather than a cut one.
    std::vector<char> small(expected.size() + 5, '#');
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), "program", small.data(),
                                      static_cast<unsigned>(expected.size())));
    EXPECT_EQ('\0', small[0]);
    EXPECT_EQ('#', small[1]);
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), "program", small.data(), 0));
    EXPECT_EQ(nullptr, GetLatestPathN(dir.path().c_str(), "program", nullptr, 100));
}

TEST(CreateLink, MakesAndReplacesTheLatestLink) {
    LogCapture log;
    TempDir dir;
    MakeDirs(dir.sub("program/V3.0.0.1"));
    MakeDirs(dir.sub("program/V3.0.0.2"));
    std::string root = dir.path();
    std::string latest = dir.sub("program/latest");

    // No link yet.
    std::string first = dir.sub("program/V3.0.0.1/");
    CreateLink(&root[0], &first[0]);
    EXPECT_EQ(first, LinkTarget(latest));

    // An existing link is replaced; nothing else is left in program/.
    std::string second = dir.sub("program/V3.0.0.2/");
    CreateLink(&root[0], &second[0]);
    EXPECT_EQ(second, LinkTarget(latest));
    struct stat st;
    ASSERT_EQ(0, stat((latest + "/").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    std::vector<std::string> names = FolderNames(dir.sub("program"), false);
    EXPECT_EQ(3u, names.size());
    // Each switch is logged, naming the link and its new target.
    EXPECT_EQ(
        (std::vector<std::string>{"Info: The link (" + latest + ") now names (" + first + ").",
                                  "Info: The link (" + latest + ") now names (" + second + ")."}),
        log.Messages());

    // A leftover of an interrupted switch does not stand in the way.
    ASSERT_EQ(0, symlink("/nowhere", dir.sub("program/.latest_new").c_str()));
    CreateLink(&root[0], &first[0]);
    EXPECT_EQ(first, LinkTarget(latest));
    EXPECT_FALSE(PathExists(dir.sub("program/.latest_new")));
    // The leftover name is never taken for a version folder.
    char out[1024] = "";
    ASSERT_NE(nullptr, GetLatestPathN(root.c_str(), "program", out, sizeof(out)));
    EXPECT_EQ(dir.sub("program/V3.0.0.2"), std::string(out));
}

TEST(CreateLink, TargetTextIsNeverRunByAShell) {
    LogCapture log;
    TempDir dir;
    const std::string odd = "V3.0.0.7 $(touch pwned) `touch pwned2`; touch pwned3 'q\"";
    MakeDirs(dir.sub("program/" + odd));
    std::string root = dir.path();
    std::string target = dir.sub("program/" + odd + "/");
    {
        testsupport::InFolder inside(dir.path());
        CreateLink(&root[0], &target[0]);
    }
    EXPECT_EQ(target, LinkTarget(dir.sub("program/latest")));
    for (const char* name : {"pwned", "pwned2", "pwned3"}) {
        EXPECT_FALSE(PathExists(dir.sub(name))) << name;
        EXPECT_FALSE(PathExists(dir.sub(std::string("program/") + name))) << name;
    }
}

TEST(CreateLink, FailureKeepsWhatWasThereAndIsLogged) {
    LogCapture log;
    TempDir dir;
    // A real folder named latest cannot be replaced by a link.
    MakeDirs(dir.sub("program/latest"));
    WriteFile(dir.sub("program/latest/keep"), "x");
    std::string root = dir.path();
    std::string target = dir.sub("program/V3.0.0.2/");
    CreateLink(&root[0], &target[0]);
    EXPECT_EQ("x", testsupport::ReadFile(dir.sub("program/latest/keep")));
    EXPECT_FALSE(PathExists(dir.sub("program/.latest_new")));
    EXPECT_EQ(1u, log.MessagesWith("Error: Cannot create the link").size());

    // No program folder: nothing is made, the failure is logged.
    TempDir empty;
    std::string emptyRoot = empty.path();
    log.Clear();
    CreateLink(&emptyRoot[0], &target[0]);
    EXPECT_FALSE(PathExists(empty.sub("program")));
    EXPECT_EQ(1u, log.MessagesWith("Error: Cannot create the link").size());
}
