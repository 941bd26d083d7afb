// The extension manager and the task executables in the Domino program
// folders: copies from the newest version folder, backups, modes and the
// working folder.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "support/LogCapture.h"
#include "support/RunProgram.h"
#include "support/TempDir.h"
#include "support/TestMachine.h"

using testsupport::ExtensionBackups;
using testsupport::FolderNames;
using testsupport::InFolder;
using testsupport::kTaskNames;
using testsupport::LogCapture;
using testsupport::MakeDirs;
using testsupport::ModeOf;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::RunAsNobody;
using testsupport::TempDir;
using testsupport::WorkingFolder;
using testsupport::WriteFile;

namespace {

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
        info.strRegistryBinPath = bin;  // the registry names the same folder
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

TEST(updateORVExt, EachRunKeepsEveryEarlierBackupAndAddsOneFreshName) {
    LogCapture log;
    LoaderMachine m;
    // Backups of earlier runs, under the names a run would pick first.
    std::map<std::string, std::string> earlier;
    for (const char* name : {"liborvext.so_1", "liborvext.so_2", "liborvext.so_0"}) {
        earlier[name] = std::string("earlier backup ") + name;
        WriteFile(m.bin + "/" + name, earlier[name]);
    }
    const std::string before = WorkingFolder();
    std::string installed = "original ext";
    for (const char* next : {"new ext", "newer ext", "newest ext"}) {
        SCOPED_TRACE(next);
        log.Clear();
        WriteFile(m.version + "/liborvext.so", next);
        EXPECT_EQ(1, updateORVExt(&m.info, nullptr));
        EXPECT_EQ(before, WorkingFolder());
        EXPECT_EQ(next, ReadFile(m.bin + "/liborvext.so"));
        // Every earlier backup as it was, and exactly one new name holding
        // the library this run replaced.
        std::vector<std::string> added;
        for (const std::string& name : ExtensionBackups(m.bin)) {
            if (earlier.count(name) == 0) {
                added.push_back(name);
            } else {
                EXPECT_EQ(earlier[name], ReadFile(m.bin + "/" + name)) << name;
            }
        }
        ASSERT_EQ(1u, added.size());
        EXPECT_EQ(earlier.size() + 1, ExtensionBackups(m.bin).size());
        EXPECT_EQ(installed, ReadFile(m.bin + "/" + added[0]));
        earlier[added[0]] = installed;
        installed = next;
        EXPECT_EQ((std::vector<std::string>{"Info: Begin updating extension manager.",
                                            "Info: Have updated extension manager."}),
                  log.Messages());
    }
    EXPECT_FALSE(PathExists(m.dir.sub("pwned")));
    EXPECT_FALSE(PathExists(m.bin + "/pwned"));
}

TEST(updateORVExt, MissingSourceOrFolderTouchesNothing) {
    LogCapture log;
    LoaderMachine m;

    // The Domino program folder cannot be entered: the library in the
    // working folder is left alone too.
    const std::string work = m.dir.sub("work");
    WriteFile(work + "/liborvext.so", "not ours");
    ORVInsInfo missing;
    missing.strDominoBinPath = m.dir.sub("no such bin");
    missing.strRegistryBinPath = missing.strDominoBinPath;
    {
        InFolder inWork(work);
        EXPECT_EQ(1, updateORVExt(&missing, nullptr));
        EXPECT_EQ(work, WorkingFolder());
    }
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
    int answer = RunAsNobody([&]() { return updateORVExt(&m.info, nullptr) == 1 ? 0 : 4; });
    chmod(m.bin.c_str(), 0755);
    EXPECT_EQ(0, answer);

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
    for (const char* task : kTaskNames) {
        WriteFile(m.bin + "/" + task, std::string("old ") + task);
        chmod((m.bin + "/" + task).c_str(), 0755);
    }
    const std::string before = WorkingFolder();
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    EXPECT_EQ(before, WorkingFolder());
    struct group* grp = getgrnam("orvgroup");
    for (const char* task : kTaskNames) {
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
        const std::string target = m.bin + "/" + kTaskNames[i];
        EXPECT_EQ("rename from (" + target + ") to (" + target + "_1), error code is 0.",
                  lines[1 + 2 * i]);
        EXPECT_EQ(
            "Info: copy the file(" + m.version + "/loader) to (" + target + "). Error code is 0.",
            lines[2 + 2 * i]);
    }
    EXPECT_FALSE(PathExists(m.dir.sub("pwned")));
    // Exactly the seven task executables, each with its backup, and nothing else.
    std::vector<std::string> expected = {"liborvext.so"};
    for (const char* task : kTaskNames) {
        expected.push_back(task);
        expected.push_back(std::string(task) + "_1");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, FolderNames(m.bin));

    // Again with the same loader (a re-run, or one that finishes a killed
    // run): nothing is saved or replaced, and the originals stay.
    log.Clear();
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    for (const char* task : kTaskNames) {
        const std::string target = m.bin + "/" + task;
        EXPECT_EQ("LOADER", ReadFile(target)) << task;
        EXPECT_EQ(std::string("old ") + task, ReadFile(target + "_1")) << task;
        EXPECT_EQ(1u, log.MessagesWith("Info: The file (" + target +
                                       ") holds the new content already, so it is neither "
                                       "saved nor replaced.")
                          .size())
            << task;
    }
    EXPECT_EQ(expected, FolderNames(m.bin));

    // A newer loader: it replaces the executables, but the saved originals
    // are never overwritten by it.
    WriteFile(m.version + "/loader", "LOADER 2");
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    for (const char* task : kTaskNames) {
        EXPECT_EQ("LOADER 2", ReadFile(m.bin + "/" + task)) << task;
        EXPECT_EQ(0775u, ModeOf(m.bin + "/" + task)) << task;
        EXPECT_EQ(std::string("old ") + task, ReadFile(m.bin + "/" + task + "_1")) << task;
    }
}

TEST(UpdateLoader, MissingExecutablesOrLoader) {
    LogCapture log;
    LoaderMachine m;
    // First installation: nothing to move aside, the copies are made anyway.
    EXPECT_EQ(1, UpdateLoader(&m.info, nullptr));
    EXPECT_EQ(7u, log.MessagesWith("error code is -1.").size());
    EXPECT_EQ(7u, log.MessagesWith("Error code is 0.").size());
    for (const char* task : kTaskNames) {
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
    for (const char* task : kTaskNames) {
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
