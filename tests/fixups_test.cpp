// The product's permissions on files and trees (no shell, no links followed)
// and the readme beside the version folders.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::InFolder;
using testsupport::LogCapture;
using testsupport::MakeDirs;
using testsupport::ModeOf;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

gid_t GroupOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-2);
}

void WriteWithMode(const std::string& path, mode_t mode) {
    WriteFile(path, "data of " + path);
    chmod(path.c_str(), mode);
}

// The group a fixed file must have: orvgroup where it exists, else the one
// it had before.
gid_t ExpectedGroup(gid_t before) {
    struct group* grp = getgrnam("orvgroup");
    return grp != nullptr ? grp->gr_gid : before;
}

}  // namespace

TEST(ChangeOwner, SetsModeOnWholeTreeWithoutFollowingLinks) {
    TempDir dir;
    const std::string version = dir.sub("program/V3.0.0.5");
    const std::string outside = dir.sub("outside");
    WriteWithMode(version + "/liba.so", 0600);
    WriteWithMode(version + "/loader", 0755);
    MakeDirs(version + "/sub/deeper");
    WriteWithMode(version + "/sub/deeper/file.txt", 0644);
    WriteWithMode(version + "/sub/.hidden", 0400);
    chmod((version + "/sub/deeper").c_str(), 0700);
    chmod((version + "/sub").c_str(), 0750);
    WriteWithMode(outside + "/target.so", 0600);
    MakeDirs(outside + "/dir");
    WriteWithMode(outside + "/dir/inner.so", 0600);
    chmod((outside + "/dir").c_str(), 0700);
    ASSERT_EQ(0, symlink((outside + "/target.so").c_str(), (version + "/link.so").c_str()));
    ASSERT_EQ(0, symlink((outside + "/dir").c_str(), (version + "/linkdir").c_str()));
    const gid_t before = GroupOf(version + "/liba.so");

    std::string path = version + "/";
    ChangeOwner(&path[0]);

    for (const char* name : {"", "/liba.so", "/loader", "/sub", "/sub/deeper",
                             "/sub/deeper/file.txt", "/sub/.hidden"}) {
        EXPECT_EQ(0775u, ModeOf(version + name)) << name;
        EXPECT_EQ(ExpectedGroup(before), GroupOf(version + name)) << name;
    }
    // The links are still links, and what they point at is untouched.
    struct stat st;
    ASSERT_EQ(0, lstat((version + "/link.so").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(0600u, ModeOf(outside + "/target.so"));
    EXPECT_EQ(0700u, ModeOf(outside + "/dir"));
    EXPECT_EQ(0600u, ModeOf(outside + "/dir/inner.so"));
    EXPECT_EQ(before, GroupOf(outside + "/target.so"));
}

TEST(ChangeOwner, PathsWithShellCharactersAreNeverRun) {
    TempDir dir;
    const std::string odd = dir.sub("V3.0.0.6 $(touch pwned) `touch pwned2`; touch pwned3 'q\"");
    WriteWithMode(odd + "/lib x.so", 0600);
    std::string path = odd;
    {
        InFolder inside(dir.path());
        ChangeOwner(&path[0]);
    }
    EXPECT_EQ(0775u, ModeOf(odd));
    EXPECT_EQ(0775u, ModeOf(odd + "/lib x.so"));
    for (const char* name : {"pwned", "pwned2", "pwned3"}) {
        EXPECT_FALSE(PathExists(dir.sub(name))) << name;
    }
}

TEST(SetProductPermissions, SingleEntriesAndLinksGivenDirectly) {
    TempDir dir;
    MakeDirs(dir.sub("folder"));
    chmod(dir.sub("folder").c_str(), 0700);
    WriteWithMode(dir.sub("folder/child"), 0600);
    WriteWithMode(dir.sub("file"), 0644);
    WriteWithMode(dir.sub("behind"), 0600);
    MakeDirs(dir.sub("behinddir"));
    chmod(dir.sub("behinddir").c_str(), 0700);
    ASSERT_EQ(0, symlink(dir.sub("behind").c_str(), dir.sub("link").c_str()));
    ASSERT_EQ(0, symlink(dir.sub("behinddir").c_str(), dir.sub("linkdir").c_str()));

    // Not recursive: the folder itself only.
    SetProductPermissions(dir.sub("folder"), false);
    EXPECT_EQ(0775u, ModeOf(dir.sub("folder")));
    EXPECT_EQ(0600u, ModeOf(dir.sub("folder/child")));
    SetProductPermissions(dir.sub("file"), true);
    EXPECT_EQ(0775u, ModeOf(dir.sub("file")));

    // A link given directly is not followed either, with or without "/".
    SetProductPermissions(dir.sub("link"), false);
    SetProductPermissions(dir.sub("linkdir/"), true);
    EXPECT_EQ(0600u, ModeOf(dir.sub("behind")));
    EXPECT_EQ(0700u, ModeOf(dir.sub("behinddir")));

    // Missing paths and empty text: nothing happens.
    SetProductPermissions(dir.sub("missing/deeper"), true);
    SetProductPermissions("", true);
    EXPECT_FALSE(PathExists(dir.sub("missing")));

    // A relative path works from the working folder.
    {
        InFolder inside(dir.path());
        SetProductPermissions("folder/child", false);
    }
    EXPECT_EQ(0775u, ModeOf(dir.sub("folder/child")));
}

TEST(CopyReadMe, InstallsTheReadmeAndLogsEitherWay) {
    LogCapture log;
    TempDir dir;
    const std::string root = dir.sub("ORV");
    MakeDirs(root + "/program");
    ASSERT_LT(root.size(), sizeof(g_szORVPatch));
    std::strcpy(g_szORVPatch, root.c_str());
    const std::string target = root + "/program/readme_orv3_solaris.txt";

    InstallInfo first;
    first.strPackagePath = dir.sub("pkg1/FileGroup1");
    WriteFile(first.strPackagePath + "/readme_orv3_solaris.txt", "first fix");
    EXPECT_EQ(0, CopyReadMe(first));
    EXPECT_EQ("first fix", ReadFile(target));

    InstallInfo second;
    second.strPackagePath = dir.sub("pkg2/FileGroup1");
    WriteFile(second.strPackagePath + "/readme_orv3_solaris.txt", "second");
    EXPECT_EQ(0, CopyReadMe(second));
    EXPECT_EQ("second", ReadFile(target));

    // A package without a readme: the line is written, the old readme stays.
    InstallInfo none;
    none.strPackagePath = dir.sub("pkg3/FileGroup1");
    EXPECT_EQ(0, CopyReadMe(none));
    EXPECT_EQ("second", ReadFile(target));

    // The failure is named as one, after the line.
    std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(
        "Copy file from (" + first.strPackagePath + "/readme_orv3_solaris.txt) to (" + target + ")",
        lines[0]);
    EXPECT_EQ(
        "Copy file from (" + none.strPackagePath + "/readme_orv3_solaris.txt) to (" + target + ")",
        lines[2]);
    EXPECT_EQ(0u, lines[3].find("Error: Cannot copy the file(" + none.strPackagePath));
    g_szORVPatch[0] = '\0';
}
