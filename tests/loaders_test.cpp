// The extension manager and the task executables in the Domino program
// folders: copies from the newest version folder, backups, modes and the
// working folder.
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::LogCapture;
using testsupport::MakeDirs;
using testsupport::ModeOf;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WorkingFolder;
using testsupport::WriteFile;

namespace {

const char* const kTasks[7] = {"orvreal", "orvemf",  "orvmon", "orvsch",
                               "orvupd",  "orvsupp", "orvdbs"};

// The extension backups in `folder`, by name.
std::vector<std::string> ExtensionBackups(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.compare(0, 13, "liborvext.so_") == 0) {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    return names;
}

// A product root with one version folder and one Domino program folder.
class LoaderMachine {
  public:
    LoaderMachine()
        : root(dir.sub("opt/varnel/ORV")),
          version(root + "/program/V3.0.0.1240"),
          bin(dir.sub("domino bin $(touch pwned) 'q")) {
        MakeDirs(root + "/program/V3.0.0.1234");
        WriteFile(root + "/program/V3.0.0.1234/liborvext.so", "old version ext");
        WriteFile(version + "/liborvext.so", "new ext");
        WriteFile(version + "/loader", "LOADER");
        chmod((version + "/loader").c_str(), 0644);
        WriteFile(bin + "/liborvext.so", "original ext");
        info.strDominoBinPath = bin;
        std::strcpy(g_szORVPatch, root.c_str());
    }
    ~LoaderMachine() { g_szORVPatch[0] = '\0'; }

    TempDir dir;
    std::string root;
    std::string version;
    std::string bin;
    ORVInsInfo info;
};

}  // namespace

TEST(szaLoader, SevenTasksInOrder) {
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(kTasks[i], szaLoader[i]) << i;
    }
}

TEST(updateORVExt, ReplacesLibraryAndKeepsBackup) {
    LogCapture log;
    LoaderMachine m;
    const std::string before = WorkingFolder();
    EXPECT_EQ(1, updateORVExt(&m.info, nullptr));
    EXPECT_EQ(before, WorkingFolder());
    EXPECT_EQ("new ext", ReadFile(m.bin + "/liborvext.so"));
    std::vector<std::string> backups = ExtensionBackups(m.bin);
    ASSERT_EQ(1u, backups.size());
    EXPECT_EQ("original ext", ReadFile(m.bin + "/" + backups[0]));
    EXPECT_EQ((std::vector<std::string>{"Info: Begin updating extension manager.",
                                        "Info: Have updated extension manager."}),
              log.Messages());
    EXPECT_FALSE(PathExists(m.dir.sub("pwned")));
    EXPECT_FALSE(PathExists(m.bin + "/pwned"));

    // A second run keeps the first backup and adds one.
    WriteFile(m.version + "/liborvext.so", "newer ext");
    EXPECT_EQ(1, updateORVExt(&m.info, nullptr));
    EXPECT_EQ("newer ext", ReadFile(m.bin + "/liborvext.so"));
    backups = ExtensionBackups(m.bin);
    ASSERT_EQ(2u, backups.size());
    std::string contents =
        ReadFile(m.bin + "/" + backups[0]) + "|" + ReadFile(m.bin + "/" + backups[1]);
    EXPECT_TRUE(contents == "original ext|new ext" || contents == "new ext|original ext")
        << contents;
}

TEST(updateORVExt, SameSecondDrawsAgainInsteadOfOverwriting) {
    LogCapture log;
    LoaderMachine m;
    // Take the name the call will draw first within this second; retry when
    // the second turns over while the call runs.
    bool sameSecond = false;
    for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
        for (const std::string& name : ExtensionBackups(m.bin)) {
            ::unlink((m.bin + "/" + name).c_str());
        }
        WriteFile(m.bin + "/liborvext.so", "original ext");
        time_t start = time(nullptr);
        std::srand(static_cast<unsigned>(start));
        std::string taken = m.bin + "/liborvext.so_" + std::to_string(std::rand());
        WriteFile(taken, "earlier backup");
        EXPECT_EQ(1, updateORVExt(&m.info, nullptr));
        sameSecond = (time(nullptr) == start);
        EXPECT_EQ("earlier backup", ReadFile(taken));
    }
    ASSERT_TRUE(sameSecond);
    std::vector<std::string> backups = ExtensionBackups(m.bin);
    ASSERT_EQ(2u, backups.size());
    EXPECT_EQ("new ext", ReadFile(m.bin + "/liborvext.so"));
}

TEST(updateORVExt, MissingSourceOrFolderTouchesNothing) {
    LogCapture log;
    LoaderMachine m;
    const std::string before = WorkingFolder();

    // The Domino program folder cannot be entered: the library in the
    // working folder is left alone too.
    const std::string work = m.dir.sub("work");
    WriteFile(work + "/liborvext.so", "not ours");
    ORVInsInfo missing;
    missing.strDominoBinPath = m.dir.sub("no such bin");
    ASSERT_EQ(0, chdir(work.c_str()));
    EXPECT_EQ(1, updateORVExt(&missing, nullptr));
    EXPECT_EQ(work, WorkingFolder());
    ASSERT_EQ(0, chdir(before.c_str()));
    EXPECT_EQ("not ours", ReadFile(work + "/liborvext.so"));
    EXPECT_TRUE(ExtensionBackups(work).empty());
    EXPECT_FALSE(PathExists(missing.strDominoBinPath));
    EXPECT_EQ((std::vector<std::string>{
                  "Info: Begin updating extension manager.",
                  "Error: Cannot change to folder (" + missing.strDominoBinPath + ")."}),
              log.Messages());

    // The newest version folder has no extension manager.
    log.Clear();
    ::unlink((m.version + "/liborvext.so").c_str());
    EXPECT_EQ(1, updateORVExt(&m.info, nullptr));
    EXPECT_EQ("original ext", ReadFile(m.bin + "/liborvext.so"));
    EXPECT_TRUE(ExtensionBackups(m.bin).empty());
    EXPECT_EQ((std::vector<std::string>{
                  "Info: Begin updating extension manager.",
                  "Error: The extension mananger doesn't exist. (" + m.version + "/liborvext.so)"}),
              log.Messages());

    // No version folder at all.
    log.Clear();
    std::strcpy(g_szORVPatch, m.dir.sub("empty root").c_str());
    EXPECT_EQ(1, updateORVExt(&m.info, nullptr));
    EXPECT_EQ("original ext", ReadFile(m.bin + "/liborvext.so"));
    EXPECT_EQ(1u, log.MessagesWith("Error: The extension mananger doesn't exist. (").size());
    EXPECT_EQ(1, updateORVExt(nullptr, nullptr));
}

TEST(updateORVExt, ALibraryThatCannotBeMovedAsideIsNotOverwritten) {
    LogCapture log;
    LoaderMachine m;
    // The child below may write the log and the library, but not the folder
    // holding the library, so the library cannot be moved aside; the copy
    // must then not replace it either.
    const std::string logFile = log.root() + "/opt/varnel/ORV/orvspins.log";
    WriteFile(logFile, "");
    ASSERT_EQ(0, chmod(logFile.c_str(), 0666));
    ASSERT_EQ(0, chmod((m.bin + "/liborvext.so").c_str(), 0666));
    ASSERT_EQ(0, chmod(m.bin.c_str(), 0555));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) {
            _exit(3);
        }
        _exit(updateORVExt(&m.info, nullptr) == 1 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    chmod(m.bin.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));

    // Neither moved aside nor written over.
    EXPECT_EQ("original ext", ReadFile(m.bin + "/liborvext.so"));
    EXPECT_TRUE(ExtensionBackups(m.bin).empty());
    // The child got as far as the move and the copy.
    EXPECT_EQ(1u, log.MessagesWith("Info: Begin updating extension manager.").size());
    EXPECT_TRUE(log.MessagesWith("Error: The extension mananger doesn't exist").empty());
    EXPECT_TRUE(log.MessagesWith("Error: Cannot change to folder").empty());
}

TEST(UpdateLoader, SevenCopiesWithBackupsAndModes) {
    LogCapture log;
    LoaderMachine m;
    for (const char* task : kTasks) {
        WriteFile(m.bin + "/" + task, std::string("old ") + task);
        chmod((m.bin + "/" + task).c_str(), 0755);
    }
    const std::string before = WorkingFolder();
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    EXPECT_EQ(before, WorkingFolder());
    struct group* grp = getgrnam("orvgroup");
    for (const char* task : kTasks) {
        const std::string target = m.bin + "/" + task;
        EXPECT_EQ("LOADER", ReadFile(target)) << task;
        EXPECT_EQ(0775u, ModeOf(target)) << task;
        EXPECT_EQ(std::string("old ") + task, ReadFile(target + "_1")) << task;
        if (grp != nullptr) {
            struct stat st;
            ASSERT_EQ(0, stat(target.c_str(), &st));
            EXPECT_EQ(grp->gr_gid, st.st_gid) << task;
        }
    }
    std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(15u, lines.size());
    EXPECT_EQ("Info: Update loader from (" + m.version + ") to (" + m.bin + ").", lines[0]);
    for (int i = 0; i < 7; ++i) {
        const std::string target = m.bin + "/" + kTasks[i];
        EXPECT_EQ("rename from (" + target + ") to (" + target + "_1), error code is 0.",
                  lines[1 + 2 * i]);
        EXPECT_EQ(
            "Info: copy the file(" + m.version + "/loader) to (" + target + "). Error code is 0.",
            lines[2 + 2 * i]);
    }
    EXPECT_FALSE(PathExists(m.dir.sub("pwned")));

    // Again: the backups now hold the copies of the first run.
    WriteFile(m.version + "/loader", "LOADER 2");
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    for (const char* task : kTasks) {
        EXPECT_EQ("LOADER 2", ReadFile(m.bin + "/" + task)) << task;
        EXPECT_EQ("LOADER", ReadFile(m.bin + "/" + task + "_1")) << task;
    }
}

TEST(UpdateLoader, MissingExecutablesOrLoader) {
    LogCapture log;
    LoaderMachine m;
    // First installation: nothing to move aside, the copies are made anyway.
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    EXPECT_EQ(7u, log.MessagesWith("error code is -1.").size());
    EXPECT_EQ(7u, log.MessagesWith("Error code is 0.").size());
    for (const char* task : kTasks) {
        EXPECT_EQ("LOADER", ReadFile(m.bin + "/" + task)) << task;
        EXPECT_FALSE(PathExists(m.bin + "/" + task + "_1")) << task;
    }

    // No loader in the newest version folder: every copy fails, is logged as
    // an error, and the executable that was there stays under its name.
    log.Clear();
    ::unlink((m.version + "/loader").c_str());
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    EXPECT_EQ(7u, log.MessagesWith("error code is 0.").size());
    std::vector<std::string> failed = log.MessagesWith("Info: copy the file(");
    ASSERT_EQ(7u, failed.size());
    for (const std::string& line : failed) {
        EXPECT_NE(std::string::npos, line.find("). Error code is -")) << line;
    }
    EXPECT_EQ(7u, log.MessagesWith("Error: Cannot copy the file(" + m.version + "/loader)").size());
    for (const char* task : kTasks) {
        EXPECT_EQ("LOADER", ReadFile(m.bin + "/" + task)) << task;
    }
}

TEST(UpdateLoader, NoVersionFolderLeavesTheExecutablesAlone) {
    LogCapture log;
    LoaderMachine m;
    WriteFile(m.bin + "/orvreal", "installed task");
    testsupport::RemoveTree(m.root + "/program");
    MakeDirs(m.root + "/program");

    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    EXPECT_EQ("installed task", ReadFile(m.bin + "/orvreal"));
    EXPECT_FALSE(PathExists(m.bin + "/orvreal_1"));
    EXPECT_FALSE(PathExists(m.bin + "/orvemf"));
    EXPECT_EQ(1u, log.MessagesWith("Error: There is no version folder in (").size());
    EXPECT_EQ(0u, log.MessagesWith("rename from (").size());
}
