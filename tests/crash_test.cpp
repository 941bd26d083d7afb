// Crash safety: the kill-point library that makes the campaign deterministic,
// and the campaign itself on every fifth kill point of the four runs
// (`make crash-test` tries them all).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/CrashCampaign.h"
#include "support/Signing.h"
#include "support/Snapshot.h"
#include "support/TestMachine.h"

using testsupport::CountMessage;
using testsupport::KillPointRun;
using testsupport::Listing;
using testsupport::Package;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::TestMachine;
using testsupport::WriteFile;

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

// Log messages with the machine's folder taken out, so two machines compare.
std::vector<std::string> Messages(const TestMachine& m) {
    std::vector<std::string> out;
    for (std::string line : m.LogMessages()) {
        for (std::string::size_type at; (at = line.find(m.root())) != std::string::npos;) {
            line.replace(at, m.root().size(), "<root>");
        }
        if (line.compare(0, 14, "Info: Process ") == 0) {
            line = "Info: Process <pid>" + line.substr(line.find(' ', 14));  // differs per run
        }
        out.push_back(line);
    }
    return out;
}

std::string RecordPath(const TestMachine& m) {
    return m.productRoot() + "/.orvpatch-run";
}

void WriteRecord(const TestMachine& m, int build, const std::string& mode,
                 const std::string& layout, const std::string& package, const std::string& step) {
    WriteFile(RecordPath(m), "build=" + std::to_string(build) + "\nmode=" + mode + "\nlayout=" +
                                 layout + "\npackage=" + package + "\nstep=" + step + "\n");
}

// A process id that no process has any more.
pid_t GonePid() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

// The state an interrupted run leaves, set up by hand, and what the next run
// of the same command makes of it.
TEST(InterruptedRuns, TheNextRunFinishesTheWorkOrSetsAForeignRecordAside) {
    struct Case {
        const char* name;
        bool inPlace;
        bool rollback;     // the interrupted run and the next one roll back
        const char* info;  // the Info: line the next run logs (start of it)
    };
    const Case cases[] = {
        {"update whose folder got its name", false, false,
         "Info: Resume the interrupted update of build 1240"},
        {"new-folder rollback after the move", false, true,
         "Info: Resume the interrupted rollback of build 1240: its version folder is moved"},
        {"in-place rollback with every file back", true, true,
         "Info: Resume the interrupted rollback of build 1240: every saved file is back"},
        {"record of another build", false, false,
         "Info: The record (%) of an interrupted update of build 1111 belongs to another"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestMachine m(testsupport::Quiet());
        m.WritePackage(c.inPlace ? testsupport::InPlacePackage() : Package());
        const bool foreign = std::string(c.name) == "record of another build";
        if (c.rollback) {
            ASSERT_EQ(m.Run().exitStatus, 0);
        }
        std::string workDir = m.packageParent();
        if (c.rollback && c.inPlace) {
            workDir = m.hotfixDir(1240);
            const std::string backup = workDir + "/FileGroup1";
            // Every saved file is back; the backup folder went to its removal name.
            ASSERT_EQ(0, rename(backup.c_str(), (backup + ".removing").c_str()));
            for (const char* lib : {"libalpha.so", "libbeta.so"}) {
                WriteFile(m.versionDir(1234) + "/" + lib, TestMachine::ProductContent(lib, 1234));
            }
            WriteRecord(m, 1240, "rollback", "in-place", backup, "files-back");
        } else if (c.rollback) {
            m.PointLatestAt(m.versionDir(1234) + "/");
            ASSERT_EQ(
                0, rename(m.versionDir(1240).c_str(), (m.programDir() + "/V3.0.0.0000").c_str()));
            WriteRecord(m, 1240, "rollback", "new-folder", m.packageDir(), "moved-away");
        } else if (foreign) {
            WriteRecord(m, 1111, "update", "new-folder", "/elsewhere/FileGroup1", "folder-made");
        } else {
            // The folder got its name complete; nothing after that was done.
            m.AddVersionFolder(1240);
            WriteRecord(m, 1240, "update", "new-folder", m.packageDir(), "checked");
        }

        testsupport::RunOptions how;
        how.workDir = workDir;
        if (c.rollback) {
            how.args = {"/u"};
        }
        RunResult r = m.Run(how);
        EXPECT_EQ(r.exitStatus, 0) << Listing(r.log);
        std::string info = c.info;
        if (info.find('%') != std::string::npos) {
            info.replace(info.find('%'), 1, RecordPath(m));
        }
        int found = 0;
        for (const std::string& line : r.log) {
            found += line.compare(0, info.size(), info) == 0 ? 1 : 0;
        }
        EXPECT_EQ(found, 1) << Listing(r.log);
        EXPECT_FALSE(PathExists(RecordPath(m))) << "a finished run leaves no record";
        EXPECT_EQ(PathExists(RecordPath(m) + ".set-aside"), foreign);
        EXPECT_FALSE(PathExists(m.programDir() + "/V3.0.0.0000"));
        EXPECT_FALSE(PathExists(m.hotfixDir(1240) + "/FileGroup1.removing"));
        const int build = c.rollback ? 1234 : 1240;
        if (!c.inPlace) {
            EXPECT_EQ(m.LatestTarget(), m.versionDir(build) + "/");
            EXPECT_EQ(PathExists(m.versionDir(1240)), !c.rollback);
        }
        if (c.rollback && c.inPlace) {
            EXPECT_EQ(CountMessage(r.log,
                                   "Remove the old back up folder! (./FileGroup1)., error "
                                   "code [0]"),
                      1);
        }
    }
}

TEST(InterruptedRuns, ARefusedRunChangesNothingAndLeavesNoRecord) {
    TestMachine m(testsupport::Quiet());
    m.WritePackage(Package());
    // The package's version folder exists, and no record says this
    // package's run made it.
    m.AddVersionFolder(1240);
    testsupport::SnapshotOptions options;
    // Every run makes the run lock when it is missing, a refused one too.
    options.ignore = {"opt/varnel/ORV/orvspins.log", "opt/varnel/ORV/.orvpatch-lock"};
    options.times = false;  // the log's folder gets a new time with the log
    testsupport::Snapshot before = testsupport::TakeSnapshot(m.root(), options);
    RunResult r = m.Run();
    EXPECT_EQ(r.exitStatus, 212);
    EXPECT_EQ(CountMessage(r.log, "Doesn't pass the environment checking!"), 1);
    EXPECT_EQ(testsupport::DiffSnapshots(before, testsupport::TakeSnapshot(m.root(), options)),
              std::vector<std::string>());
}

TEST(InterruptedRuns, TemporaryFilesOfAGoneProcessAreSweptThoseOfALiveOneKept) {
    TestMachine m(testsupport::Quiet());
    m.WritePackage(Package());
    const std::string bin = m.servers()[0].programDir;
    const std::string gone = bin + "/.liborvext.so.orvtmp-" + std::to_string(GonePid()) + "-1";
    const std::string live = bin + "/.liborvext.so.orvtmp-" + std::to_string(getpid()) + "-1";
    const std::string data =
        m.servers()[0].dataDir + "/.notes.ini.orvtmp-" + std::to_string(GonePid()) + "-7";
    const std::string notOurs = bin + "/.liborvext.so.orvtmp-x-1";
    for (const std::string& path : {gone, live, data, notOurs}) {
        WriteFile(path, "half written");
    }
    RunResult r = m.Run();
    ASSERT_EQ(r.exitStatus, 0) << Listing(r.log);
    for (const std::string& path : {gone, data}) {
        EXPECT_FALSE(PathExists(path)) << path;
        EXPECT_EQ(CountMessage(r.log, "Info: Remove the temporary file (" + path +
                                          ") left by an interrupted run."),
                  1)
            << Listing(r.log);
    }
    EXPECT_TRUE(PathExists(live));
    EXPECT_TRUE(PathExists(notOurs));
}

// Durable before visible: each new file is flushed before it is renamed
// over a product name and its folder after; the file system is flushed
// before the new version folder gets its name, and the folder that holds
// latest after the link is switched. Every folder and hard link a run makes
// (the in-place backup's folders up to the product root among them) has its
// name flushed after it is made. A folder's flush makes only its own
// entries durable: every deletion the rollbacks make has its folder flushed
// (or removed, a deletion checked in its turn) before the run record is next
// written or removed.
TEST(InterruptedRuns, FlushesComeBeforeEachRenameAndTheFolderAfter) {
    const std::string strace = "/usr/bin/strace";
    if (!PathExists(strace)) {
        GTEST_SKIP() << "strace is not installed";
    }
    for (int run = 0; run < 4; ++run) {
        const bool inPlace = run % 2 == 1;
        const bool rollback = run >= 2;
        SCOPED_TRACE(std::string(inPlace ? "in place" : "new folder") + (rollback ? ", undo" : ""));
        TestMachine m(testsupport::Quiet());
        Package p = inPlace ? testsupport::InPlacePackage() : Package();
        p.updateLoader = 1;
        m.WritePackage(p);
        WriteFile(m.versionDir(1234) + "/loader", "newer loader\n");
        testsupport::TempDir scratch;
        const std::string trace = scratch.sub("trace");
        testsupport::RunOptions how;
        how.workDir = rollback && inPlace ? m.hotfixDir(1240) : m.packageParent();
        ASSERT_TRUE(!rollback || m.Run().exitStatus == 0);
        how.program = strace;
        how.args = {"-f",
                    "-y",
                    "-o",
                    trace,
                    "-e",
                    "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2,mkdir,mkdirat,link,"
                    "linkat,unlink,unlinkat,rmdir",
                    std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-testbed"};
        if (rollback) {
            how.args.push_back("/u");
        }
        RunResult r = m.Run(how);
        ASSERT_EQ(r.exitStatus, 0) << Listing(r.log) << r.err;

        std::vector<std::string> lines;
        std::istringstream in(ReadFile(trace));
        for (std::string line; std::getline(in, line);) {
            if (line.find(" = 0") != std::string::npos) {
                lines.push_back(line);
            }
        }
        auto quoted = [](const std::string& line, size_t nth) {
            size_t at = 0;
            for (size_t i = 0; i <= nth; ++i) {
                at = line.find('"', i == 0 ? 0 : at + 1);
                at = at == std::string::npos ? at : line.find('"', at + 1);
                if (at == std::string::npos) {
                    return std::string();
                }
            }
            size_t open = line.rfind('"', at - 1);
            return line.substr(open + 1, at - open - 1);
        };
        auto flushed = [&](size_t from, size_t to, const std::string& part) {
            for (size_t i = from; i < to; ++i) {
                if ((lines[i].find("fsync(") != std::string::npos ||
                     lines[i].find("syncfs(") != std::string::npos) &&
                    lines[i].find(part) != std::string::npos) {
                    return true;
                }
            }
            return false;
        };
        // The folder an entry named in `line` lies in: from its path, or
        // from the open folder it was made relative to.
        auto folderOf = [&](const std::string& line, const std::string& path) {
            return path.rfind('/') != std::string::npos
                       ? path.substr(0, path.rfind('/'))
                       : line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
        };
        // The folder a deletion took its entry from: by path (relative to
        // the working folder), or relative to an open folder.
        auto deletedFrom = [&](const std::string& line) {
            std::string path = quoted(line, 0);
            if (path[0] != '/') {
                path = (line.find('<') < line.find('"') ? folderOf(line, "") : how.workDir) + "/" +
                       (path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
            }
            return path.substr(0, path.rfind('/'));
        };
        int temporaries = 0;
        int deletions = 0;
        int made = 0;
        bool folderNamed = false;
        bool latestSwitched = false;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (line.find(".orvpatch-staging-") != std::string::npos &&
                line.find("rename") == std::string::npos) {
                continue;  // nothing there is visible before the folder is named
            }
            if (line.find("unlink") != std::string::npos ||
                line.find("rmdir") != std::string::npos) {
                size_t next = i + 1;  // the next write or removal of the run record
                while (next < lines.size() &&
                       lines[next].find('"' + RecordPath(m) + '"') == std::string::npos) {
                    ++next;
                }
                const std::string folder = deletedFrom(line);
                if (next < lines.size() && line.find(".orvtmp-") == std::string::npos &&
                    PathExists(folder)) {
                    ++deletions;
                    EXPECT_TRUE(flushed(i + 1, next, "<" + folder + ">") ||
                                flushed(i + 1, next, "syncfs("))
                        << "not flushed before " << lines[next] << " after: " << line;
                }
                continue;
            }
            if (line.find("mkdir") != std::string::npos || line.find("link") != std::string::npos) {
                ++made;
                const std::string name = quoted(line, line.find("link") != std::string::npos);
                EXPECT_TRUE(flushed(i + 1, lines.size(), "<" + folderOf(line, name) + ">"))
                    << "folder not flushed after: " << line;
                continue;
            }
            if (line.find("rename") == std::string::npos) {
                continue;
            }
            const std::string from = quoted(line, 0);
            const std::string to = quoted(line, 1);
            if (from.find(".orvtmp-") != std::string::npos &&
                line.find(".orvpatch-staging-") == std::string::npos) {
                ++temporaries;
                const std::string name = from.substr(from.rfind('/') + 1);
                EXPECT_TRUE(flushed(0, i, name + ">")) << "not flushed before: " << line;
                EXPECT_TRUE(flushed(i + 1, lines.size(), "<" + folderOf(line, to) + ">"))
                    << "folder not flushed after: " << line;
            } else if (from.find(".orvpatch-staging-") != std::string::npos) {
                folderNamed = true;
                bool syncfsBefore = false;
                for (size_t j = 0; j < i; ++j) {
                    syncfsBefore = syncfsBefore || lines[j].find("syncfs(") != std::string::npos;
                }
                EXPECT_TRUE(syncfsBefore) << line;
                EXPECT_TRUE(flushed(i + 1, lines.size(), "<" + m.programDir() + ">")) << line;
            } else if (to == m.programDir() + "/latest") {
                latestSwitched = true;
                EXPECT_TRUE(flushed(i + 1, lines.size(), "<" + m.programDir() + ">")) << line;
            }
        }
        EXPECT_GE(deletions, rollback ? 1 : 0) << "moved-aside originals, removal folders";
        if (rollback) {
            continue;
        }
        EXPECT_GE(temporaries, 10) << "package files, extension manager and loaders";
        EXPECT_EQ(folderNamed, !inPlace);
        EXPECT_EQ(latestSwitched, !inPlace);
        EXPECT_GE(made, inPlace ? 3 : 1) << "backup folders, saved originals";
    }
}

TEST(KillPoint, CountingAloneChangesNothingAndAKillComesRightAfterItsEvent) {
    if (kSanitized) {
        GTEST_SKIP() << "a preloaded library cannot stand beside the sanitizer's runtime";
    }
    Package p;
    p.updateLoader = 1;
    TestMachine plain;
    plain.WritePackage(p);
    TestMachine counted;
    counted.WritePackage(p);

    testsupport::RunResult r = plain.Run();
    KillPointRun c = testsupport::RunWithKillPoint(counted, {}, counted.packageParent(), 0);
    ASSERT_EQ(r.exitStatus, 0);
    EXPECT_EQ(c.result.exitStatus, 0);
    EXPECT_FALSE(c.killed);
    EXPECT_EQ(c.result.out, r.out);
    EXPECT_EQ(Messages(counted), Messages(plain));
    EXPECT_EQ(counted.LatestTarget(), counted.versionDir(1240) + "/");

    // Every log line is one event, besides the changes to the file system.
    int logEvents = 0;
    for (const std::string& e : c.events) {
        logEvents += e.compare(0, 4, "log ") == 0 ? 1 : 0;
    }
    ASSERT_EQ(logEvents, static_cast<int>(Messages(counted).size()));
    ASSERT_GT(c.events.size(), static_cast<size_t>(logEvents));

    // Killed half-way: nothing after the chosen event, and the same events
    // up to it as the uninterrupted run.
    for (size_t at : {size_t(1), c.events.size() / 2, c.events.size()}) {
        TestMachine killed;
        killed.WritePackage(p);
        KillPointRun k = testsupport::RunWithKillPoint(killed, {}, killed.packageParent(),
                                                       static_cast<long>(at));
        EXPECT_TRUE(k.killed) << at;
        EXPECT_EQ(k.result.exitStatus, -1) << at;
        ASSERT_EQ(k.events.size(), at);
        EXPECT_EQ(k.events.back().substr(0, 4), c.events[at - 1].substr(0, 4)) << at;
        int lines = 0;
        for (const std::string& e : k.events) {
            lines += e.compare(0, 4, "log ") == 0 ? 1 : 0;
        }
        EXPECT_EQ(static_cast<int>(Messages(killed).size()), lines) << at;
    }

    // Memory that runs out at any point still ends the run with its verdict
    // and 212, never with a signal.
    const std::string incomplete =
        "The hot fix cannot be installed completely. Please check the log "
        "/opt/varnel/ORV/orvspins.log for detail info.\n";
    for (size_t at : {size_t(1), c.events.size() / 3, 2 * c.events.size() / 3}) {
        TestMachine starved;
        starved.WritePackage(p);
        KillPointRun k = testsupport::RunWithKillPoint(starved, {}, starved.packageParent(), 0,
                                                       static_cast<long>(at));
        EXPECT_EQ(k.result.exitStatus, 212) << at << k.result.err;
        EXPECT_EQ(k.result.out, incomplete) << at;
    }
}

// A package file changed in place after its digest was checked: the copy
// from the checked descriptor fails, nothing of the package is installed,
// and the run ends with 212 and an Error: line.
TEST(KillPoint, APackageFileChangedAfterItsCheckIsNotInstalled) {
    if (kSanitized) {
        GTEST_SKIP() << "a preloaded library cannot stand beside the sanitizer's runtime";
    }
    if (!testsupport::CanSign()) {
        GTEST_SKIP() << "signify-openbsd (Debian signify-openbsd) is not installed";
    }
    for (const Package& p : {Package(), testsupport::InPlacePackage()}) {
        const std::string way = p.createNewFolder == "1" ? "new folder" : "in place";
        long at = 0;
        for (int pass = 0; pass < 2; ++pass) {
            TestMachine m(testsupport::Quiet());
            m.WritePackage(p);
            testsupport::SignPackage(m.root(), m.packageDir());
            const std::string target = m.packageDir() + "/libalpha.so";
            KillPointRun k = testsupport::RunWithKillPoint(m, {}, m.packageParent(), 0, 0, at,
                                                           at != 0 ? target : "");
            if (pass == 0) {
                // The event of the line that tells the package verified.
                ASSERT_EQ(k.result.exitStatus, 0) << way << Listing(m.LogMessages());
                for (size_t i = 0; i < k.events.size() && at == 0; ++i) {
                    at = k.events[i].find("log Info: The package is signed") == 0 ? long(i + 1) : 0;
                }
                ASSERT_GT(at, 0) << way;
                continue;
            }
            ASSERT_TRUE(k.altered) << way;
            EXPECT_EQ(k.result.exitStatus, 212) << way;
            EXPECT_EQ(CountMessage(m.LogMessages(),
                                   "Error: The package file (./FileGroup1/libalpha.so) "
                                   "changed after its digest was checked; it is "
                                   "not installed."),
                      1)
                << way << Listing(m.LogMessages());
            EXPECT_FALSE(PathExists(m.versionDir(1240))) << way;
            EXPECT_EQ(m.LatestTarget(), m.versionDir(1234) + "/") << way;
            for (const char* name : {"libalpha.so", "libbeta.so"}) {
                EXPECT_EQ(ReadFile(m.versionDir(1234) + "/" + name),
                          TestMachine::ProductContent(name, 1234))
                    << way << " " << name;
            }
        }
    }
}

TEST(CrashCampaign, EveryFifthKillPointOfTheFourRunsEndsWithWorkingServers) {
    if (kSanitized) {
        GTEST_SKIP() << "a preloaded library cannot stand beside the sanitizer's runtime";
    }
    testsupport::CrashCampaignOptions options;
    options.stride = 5;
    options.tsvPath = std::string(ORVPATCH_BUILD_DIR) + "/campaigns/crash.tsv";
    options.detailPath = std::string(ORVPATCH_BUILD_DIR) + "/campaigns/crash-failures.txt";
    testsupport::CrashCampaignResult result = testsupport::RunCrashCampaign(options);
    std::string summary = testsupport::CrashSummaryText(result);
    EXPECT_TRUE(result.problems.empty()) << summary;
    ASSERT_EQ(result.runs.size(), 4u) << summary;
    for (const testsupport::CrashRunSummary& s : result.runs) {
        EXPECT_GT(s.events, 20) << s.run;
        EXPECT_EQ(s.tried, (s.events + 4) / 5) << s.run;
        EXPECT_EQ(s.failed, 0) << summary << "see " << options.detailPath;
        EXPECT_GT(s.checked, 0) << s.run;
        EXPECT_EQ(s.agreed, s.checked) << summary << "see " << options.tsvPath;
    }
}

}  // namespace
