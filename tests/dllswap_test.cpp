// The backup and swap of the listed program files: copy, move aside, delete
// the moved-aside copies, rename them back, and names that leave the folder.
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::FolderNames;
using testsupport::LogCapture;
using testsupport::MakeDirs;
using testsupport::ModeOf;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WorkingFolder;
using testsupport::WriteFile;

namespace {

// Fills szDlls with `names` and empty texts after them.
class DllTable {
  public:
    explicit DllTable(std::initializer_list<std::string> names) : m_names(names) {
        m_names.resize(32);
        for (int i = 0; i < 32; ++i) {
            szDlls[i] = &m_names[i][0];
        }
    }
    ~DllTable() {
        for (char*& slot : szDlls) {
            slot = nullptr;
        }
    }

  private:
    std::vector<std::string> m_names;
};

}  // namespace

TEST(IsPackageNameSafe, NamesThatStayInsideTheirFolder) {
    for (const char* good : {"liba.so", " lead blank", "a..b", "..a", "a..", "..."}) {
        EXPECT_TRUE(IsPackageNameSafe(good)) << good;
    }
    for (const char* bad : {"", "/etc/passwd", "\\etc\\passwd", "..", "../x", "a/../../x", "a/..",
                            "..\\x", "a\\..\\b", ".", "./", "./.", "//x", "sub/libb.so",
                            "./libc.so", "x/./y", "sub\\libb.so"}) {
        EXPECT_FALSE(IsPackageNameSafe(bad)) << bad;
    }
}

TEST(CopyAllDlls, CopiesListedFilesIntoNewFolderWithProductMode) {
    LogCapture log;
    TempDir dir;
    const std::string from = dir.sub("from");
    WriteFile(from + "/liba.so", "A");
    WriteFile(from + "/libb.so", "B");
    WriteFile(from + "/libc.so", "C");
    WriteFile(from + "/unlisted.so", "U");
    std::string to = dir.sub("hotfix/B1240/FileGroup1");  // does not exist yet
    DllTable table({"liba.so", "libb.so", "libc.so"});

    EXPECT_EQ(1, CopyAllDlls(from.c_str(), &to[0]));
    EXPECT_EQ((std::vector<std::string>{"liba.so", "libb.so", "libc.so"}), FolderNames(to));
    EXPECT_EQ("B", ReadFile(to + "/libb.so"));
    for (const char* name : {"liba.so", "libb.so", "libc.so"}) {
        EXPECT_EQ(0775u, ModeOf(to + "/" + name)) << name;
    }
    std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Info: Copy the file from (" + from + ") to (" + to + ")", lines[0]);

    // Over existing files: replaced.
    WriteFile(from + "/liba.so", "A2");
    EXPECT_EQ(1, CopyAllDlls(from.c_str(), &to[0]));
    EXPECT_EQ("A2", ReadFile(to + "/liba.so"));
}

TEST(CopyAllDlls, StopsAtFirstFailure) {
    LogCapture log;
    TempDir dir;
    const std::string from = dir.sub("from");
    WriteFile(from + "/liba.so", "A");
    WriteFile(from + "/libc.so", "C");
    std::string to = dir.sub("to");
    DllTable table({"liba.so", "libmissing.so", "libc.so"});

    EXPECT_EQ(0, CopyAllDlls(from.c_str(), &to[0]));
    EXPECT_EQ(std::vector<std::string>{"liba.so"}, FolderNames(to));
    std::vector<std::string> errors = log.MessagesWith("Error: ");
    ASSERT_EQ(1u, errors.size());
    // The bare name, a negative code and the system's reason.
    EXPECT_EQ(0u, errors[0].find("Error: Cannot copy the file(libmissing.so). Error code is -"));
    EXPECT_NE(std::string::npos, errors[0].find(". (No such file or directory)"));
}

TEST(CopyAllDlls, RefusesNamesLeavingTheFolderAndGoesOn) {
    LogCapture log;
    TempDir dir;
    const std::string from = dir.sub("pkg/from");
    WriteFile(from + "/liba.so", "A");
    WriteFile(from + "/libb.so", "B");
    WriteFile(dir.sub("pkg/secret"), "S");
    std::string to = dir.sub("pkg/to");
    const std::string abs = dir.sub("pkg/secret");
    DllTable table({"liba.so", "../secret", abs, "libb.so"});

    // The others are copied, and all of them were.
    EXPECT_EQ(1, CopyAllDlls(from.c_str(), &to[0]));
    EXPECT_EQ((std::vector<std::string>{"liba.so", "libb.so"}), FolderNames(to));
    EXPECT_FALSE(PathExists(dir.sub("pkg/secret") + "/secret"));
    EXPECT_EQ("S", ReadFile(dir.sub("pkg/secret")));
    std::vector<std::string> errors = log.MessagesWith("Error: ");
    ASSERT_EQ(2u, errors.size());
    EXPECT_NE(std::string::npos, errors[0].find("(../secret)"));
    EXPECT_NE(std::string::npos, errors[1].find("(" + abs + ")"));
}

TEST(RenameAllDlls, MovesAsideAndReportsMissingFiles) {
    LogCapture log;
    TempDir dir;
    std::string folder = dir.sub("V3.0.0.1");
    WriteFile(folder + "/liba.so", "A");
    WriteFile(folder + "/liba.so_1", "leftover");
    WriteFile(folder + "/libc.so", "C");
    WriteFile(folder + "/other.so", "O");
    const std::string before = WorkingFolder();
    DllTable table({"liba.so", "libmissing.so", "libc.so"});

    RenameAllDlls(&folder[0]);
    EXPECT_EQ(before, WorkingFolder());
    EXPECT_EQ((std::vector<std::string>{"liba.so_1", "libc.so_1", "other.so"}),
              FolderNames(folder));
    EXPECT_EQ("A", ReadFile(folder + "/liba.so_1"));
    std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Info: Rename the DLLs in (" + folder + ")", lines[0]);
    EXPECT_EQ("Error: Cannot change name from (libmissing.so) to (libmissing.so_1).", lines[1]);

    // A missing name after a present one: the present one is still moved
    // aside; no name at all touches nothing.
    log.Clear();
    DllTable last({"other.so", "libmissing.so"});
    RenameAllDlls(&folder[0]);
    EXPECT_EQ(
        1u, log.MessagesWith("Error: Cannot change name from (libmissing.so) to (libmissing.so_1).")
                .size());
    DllTable none({});
    RenameAllDlls(&folder[0]);
    EXPECT_EQ((std::vector<std::string>{"liba.so_1", "libc.so_1", "other.so_1"}),
              FolderNames(folder));
}

TEST(RenameAllDlls, FolderThatCannotBeEnteredChangesNothing) {
    LogCapture log;
    TempDir dir;
    std::string missing = dir.sub("nope");
    const std::string before = WorkingFolder();
    DllTable table({"liba.so"});
    RenameAllDlls(&missing[0]);
    EXPECT_EQ(0, RemoveAllRenamedDlls(&missing[0]));
    EXPECT_EQ(0, RestoreRenamedDlls(&missing[0]));
    EXPECT_EQ(before, WorkingFolder());
    EXPECT_EQ(3u, log.MessagesWith("Error: Cannot change to folder (" + missing + ").").size());
}

TEST(RenameAllDlls, RefusesNamesLeavingTheFolder) {
    LogCapture log;
    TempDir dir;
    std::string folder = dir.sub("prog/V3.0.0.1");
    WriteFile(folder + "/liba.so", "A");
    WriteFile(dir.sub("prog/outside"), "O");
    WriteFile(dir.sub("prog/outside_1"), "O1");
    DllTable table({"../outside", "liba.so"});
    RenameAllDlls(&folder[0]);
    EXPECT_EQ("O", ReadFile(dir.sub("prog/outside")));
    EXPECT_EQ("A", ReadFile(folder + "/liba.so_1"));
    EXPECT_EQ(1u, log.MessagesWith("Error: The file name (../outside)").size());
    EXPECT_EQ(1, RemoveAllRenamedDlls(&folder[0]));
    EXPECT_EQ("O1", ReadFile(dir.sub("prog/outside_1")));
    EXPECT_EQ(2u, log.MessagesWith("Error: The file name (../outside)").size());
    EXPECT_FALSE(PathExists(folder + "/liba.so_1"));
}

TEST(RemoveAllRenamedDlls, DeletesOnlyTheBackupNames) {
    LogCapture log;
    TempDir dir;
    std::string folder = dir.sub("V3.0.0.1");
    WriteFile(folder + "/liba.so", "new A");
    WriteFile(folder + "/liba.so_1", "old A");
    WriteFile(folder + "/libb.so", "new B");
    WriteFile(folder + "/unlisted.so_1", "keep");
    const std::string before = WorkingFolder();
    DllTable table({"liba.so", "libb.so"});
    RemoveAllRenamedDlls(&folder[0]);
    EXPECT_EQ(before, WorkingFolder());
    EXPECT_EQ((std::vector<std::string>{"liba.so", "libb.so", "unlisted.so_1"}),
              FolderNames(folder));
    EXPECT_EQ(std::vector<std::string>{"Info: Remove the DLLs in (" + folder + ")"},
              log.Messages());
    // Again, with no backups left: nothing changes.
    RemoveAllRenamedDlls(&folder[0]);
    EXPECT_EQ((std::vector<std::string>{"liba.so", "libb.so", "unlisted.so_1"}),
              FolderNames(folder));
}

TEST(RestoreRenamedDlls, PutsMovedAsideFilesBack) {
    LogCapture log;
    TempDir dir;
    std::string folder = dir.sub("V3.0.0.1");
    WriteFile(folder + "/liba.so", "old A");
    WriteFile(folder + "/libb.so", "old B");
    DllTable table({"liba.so", "libb.so", "libnever.so"});
    RenameAllDlls(&folder[0]);
    // A half-finished installation: one new file in place.
    WriteFile(folder + "/liba.so", "new A");

    EXPECT_EQ(1, RestoreRenamedDlls(&folder[0]));
    EXPECT_EQ((std::vector<std::string>{"liba.so", "libb.so"}), FolderNames(folder));
    EXPECT_EQ("old A", ReadFile(folder + "/liba.so"));
    EXPECT_EQ("old B", ReadFile(folder + "/libb.so"));
    // Nothing to put back: still all done.
    EXPECT_EQ(1, RestoreRenamedDlls(&folder[0]));

    // A backup that cannot be renamed back (a non-empty folder holds its name).
    WriteFile(folder + "/libc.so_1", "old C");
    MakeDirs(folder + "/libc.so");
    WriteFile(folder + "/libc.so/inside", "x");
    DllTable blocked({"libc.so", "liba.so"});
    EXPECT_EQ(0, RestoreRenamedDlls(&folder[0]));
    EXPECT_EQ("old C", ReadFile(folder + "/libc.so_1"));
    EXPECT_EQ(1u,
              log.MessagesWith("Error: Cannot change name from (libc.so_1) to (libc.so).").size());
}

TEST(LibrarySwap, InPlaceSequenceLeavesNewFilesAndTheBackup) {
    LogCapture log;
    TempDir dir;
    std::string current = dir.sub("program/V3.0.0.1234");
    std::string backup = dir.sub("hotfix/B1240/FileGroup1");
    std::string package = dir.sub("FileGroup1");
    WriteFile(current + "/liba.so", "old A");
    WriteFile(current + "/libb.so", "old B");
    WriteFile(current + "/loader", "loader");
    WriteFile(package + "/liba.so", "new A");
    WriteFile(package + "/libb.so", "new B");
    DllTable table({"liba.so", "libb.so"});

    EXPECT_EQ(1, CopyAllDlls(current.c_str(), &backup[0]));
    RenameAllDlls(&current[0]);
    EXPECT_EQ(1, CopyAllDlls(package.c_str(), &current[0]));
    RemoveAllRenamedDlls(&current[0]);

    EXPECT_EQ((std::vector<std::string>{"liba.so", "libb.so", "loader"}), FolderNames(current));
    EXPECT_EQ("new A", ReadFile(current + "/liba.so"));
    EXPECT_EQ("new B", ReadFile(current + "/libb.so"));
    EXPECT_EQ("old A", ReadFile(backup + "/liba.so"));
    EXPECT_EQ("old B", ReadFile(backup + "/libb.so"));
    EXPECT_TRUE(log.MessagesWith("Error: ").empty());
}

// A file whose original cannot be saved (its name leaves no room for "_1")
// is never replaced: a later failure could not put it back.
TEST(LibrarySwap, AFileThatCannotBeSavedStopsTheSwapBeforeAnythingIsReplaced) {
    LogCapture log;
    TempDir dir;
    const std::string current = dir.sub("current");
    const std::string package = dir.sub("package");
    const std::string longName(254, 'n');
    WriteFile(current + "/liba.so", "old A");
    WriteFile(current + "/" + longName, "old long");
    WriteFile(package + "/liba.so", "new A");
    WriteFile(package + "/" + longName, "new long");

    EXPECT_FALSE(SwapFilesIn({"liba.so", longName}, package, current));
    EXPECT_EQ("old A", ReadFile(current + "/liba.so"));
    EXPECT_EQ("old long", ReadFile(current + "/" + longName));
    EXPECT_EQ((std::vector<std::string>{"liba.so", longName}), FolderNames(current));
}

TEST(AddedFiles, TheBackupListsThemAndOnlyNamesItDoesNotHoldCountAsAdded) {
    TempDir tmp;
    const std::string backup = tmp.sub("hotfix/B1/FileGroup1");
    ASSERT_TRUE(AddedNames(backup, {"libnew.so"}).empty());  // no backup, no list

    ASSERT_TRUE(WriteAddedNames(backup, {"libnew.so", "sub/libdeep.so", "libback.so"}));
    EXPECT_EQ(ReadFile(backup + "/.orvpatch-added"), "libnew.so\nsub/libdeep.so\nlibback.so\n");
    WriteFile(backup + "/libback.so", "saved");  // a file that is there is put back
    const std::vector<std::string> table = {"libalpha.so", "libnew.so", "libback.so",
                                            "sub/libdeep.so"};
    EXPECT_EQ(AddedNames(backup, table), (std::vector<std::string>{"libnew.so", "sub/libdeep.so"}));
    EXPECT_EQ(NamesWithout(table, AddedNames(backup, table)),
              (std::vector<std::string>{"libalpha.so", "libback.so"}));

    // Taken out under the moved-aside name; one gone already is passed over.
    const std::string current = tmp.sub("V3.0.0.1");
    MakeDirs(current + "/sub");
    WriteFile(current + "/libnew.so", "added");
    EXPECT_EQ(NamesNotIn(table, current),
              (std::vector<std::string>{"libalpha.so", "libback.so", "sub/libdeep.so"}));
    EXPECT_TRUE(MoveAddedAside({"libnew.so", "sub/libdeep.so"}, current));
    EXPECT_FALSE(PathExists(current + "/libnew.so"));
    EXPECT_EQ(ReadFile(current + "/libnew.so_1"), "added");
    EXPECT_FALSE(MoveAddedAside({"x"}, tmp.sub("missing")));
}
