// orvpatch-check against the test machine: for each broken input it tells the
// verdict and log line the patcher then really prints and writes; its JSON
// keeps its key names; its usage errors; and it changes nothing at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/RunProgram.h"
#include "support/Signing.h"
#include "support/Snapshot.h"
#include "support/TestMachine.h"

using testsupport::DiffSnapshots;
using testsupport::FindMessage;
using testsupport::MachineOptions;
using testsupport::Package;
using testsupport::PathExists;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TakeSnapshot;
using testsupport::TestMachine;

namespace {

RunResult Check(TestMachine& m, std::vector<std::string> args, const std::string& workDir = "") {
    RunOptions how;
    how.program = "orvpatch-check";
    how.workDir = workDir;
    how.args = {"--root", m.root()};
    how.args.insert(how.args.end(), args.begin(), args.end());
    return m.Run(how);
}

// The text of a JSON value after `"key": ` at or after `from`: a string's
// contents (escapes left as they are), or the bare token (true, 0, null).
std::string Field(const std::string& json, const std::string& key, size_t from = 0) {
    std::string marker = "\"" + key + "\": ";
    size_t at = json.find(marker, from);
    if (at == std::string::npos) {
        return "<missing " + key + ">";
    }
    at += marker.size();
    if (json[at] == '"') {
        size_t end = at + 1;
        while (end < json.size() && json[end] != '"') {
            end += json[end] == '\\' ? 2 : 1;
        }
        return json.substr(at + 1, end - at - 1);
    }
    size_t end = json.find_first_of(",}]\n", at);
    return json.substr(at, end - at);
}

struct ModeView {
    bool wouldPass = false;
    std::string verdict;  // "" for null
    std::string logLine;  // "" for null
};

ModeView Mode(const std::string& json, const std::string& mode) {
    size_t at = json.find("\"" + mode + "\": {\"would_pass\"");
    ModeView view;
    if (at == std::string::npos) {
        view.logLine = "<no mode " + mode + ">";
        return view;
    }
    view.wouldPass = Field(json, "would_pass", at) == "true";
    std::string verdict = Field(json, "verdict", at);
    std::string logLine = Field(json, "log_line", at);
    view.verdict = verdict == "null" ? "" : verdict;
    view.logLine = logLine == "null" ? "" : logLine;
    return view;
}

MachineOptions Servers(int count, bool running = true) {
    MachineOptions o;
    o.servers = count;
    o.startServers = running;
    return o;
}

struct Case {
    const char* name;
    const char* mode;  // "update" or "rollback"
    std::function<MachineOptions()> options;
    std::function<void(TestMachine&, Package&)> prepare;  // before the package is written
    bool passes;
    const char* logStart;  // the start of the log line that tells why it stops
    // When set: the package is installed first, this runs, and both programs
    // then run from the backup in hotfix/B<build>.
    std::function<void(TestMachine&)> installed = nullptr;
    // A text some step of the report holds; with a leading '!', one no step holds.
    const char* step = "";
    // Signs the package (signify-openbsd) once it is written, and the state
    // the check then reports.
    std::function<void(TestMachine&)> sign = nullptr;
    const char* signature = "unsigned";
};

// The package signed, its key trusted when `trust`, and `alter` then changed.
std::function<void(TestMachine&)> Signed(bool trust, const char* alter = nullptr) {
    return [trust, alter](TestMachine& m) {
        testsupport::SignPackage(m.root(), m.packageDir(), trust);
        if (alter != nullptr) {
            testsupport::WriteFile(m.packageDir() + "/" + alter, "altered\n");
        }
    };
}

void Replace(const std::string& path, const std::string& content, mode_t mode) {
    testsupport::WriteFile(path, content);
    ::chmod(path.c_str(), mode);
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"update passes", "update", [] { return Servers(2); }, [](TestMachine&, Package&) {}, true,
         ""},
        {"update passes, the extension manager left in place", "update", [] { return Servers(1); },
         [](TestMachine&, Package&) {}, true, "", nullptr, "domino0/bin/liborvext.so in place"},
        {"update killed once its folder had its name", "update", [] { return Servers(1); },
         [](TestMachine& m, Package&) {
             m.AddVersionFolder(1240);
             testsupport::WriteFile(m.productRoot() + "/.orvpatch-run",
                                    "build=1240\nmode=update\nlayout=new-folder\npackage=" +
                                        m.packageDir() + "\nstep=folder-made\n");
         },
         true, "", nullptr, "resume the interrupted update"},
        {"update, the console program not executable", "update", [] { return Servers(1); },
         [](TestMachine& m, Package&) {
             ::chmod((m.servers()[0].programDir + "/server").c_str(), 0644);
         },
         false, "Error: The hot fix is in place, but a step after it failed", nullptr,
         "may not be run"},
        {"update while another run holds the product root", "update", [] { return Servers(1); },
         [](TestMachine& m, Package&) { HoldRunLock(m); }, false, "Error: Another run ("},
        {"in place, an original an interrupted run saved", "update", [] { return Servers(1); },
         [](TestMachine& m, Package& p) {
             p.createNewFolder = "0";
             Replace(m.versionDir(1234) + "/libalpha.so_1", "saved original\n", 0644);
         },
         true, "", nullptr, "V3.0.0.1234/libalpha.so_1, the original"},
        {"registry missing", "update", [] { return Servers(1); },
         [](TestMachine& m, Package&) { ::unlink((m.root() + "/etc/orvsys.ini").c_str()); }, false,
         "Parsing orvsys.ini error."},
        {"no installation accepted", "rollback", [] { return Servers(1, false); },
         [](TestMachine& m, Package&) { ::unlink(m.servers()[0].notesIni.c_str()); }, false,
         "No ORV installed."},
        {"settings missing", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.settings = false; }, false,
         "The current version is newer than that in this package. So quit."},
        {"newer build installed", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.build = 1230; }, false,
         "The current version is newer than that in this package. So quit."},
        {"dependent build not installed", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.depentBuild = 1230; }, false,
         "The depent build isn't installed in the current server."},
        {"package's folder exists", "update", [] { return Servers(1); },
         [](TestMachine& m, Package&) { m.AddVersionFolder(1240); }, false,
         "Doesn't pass the environment checking!"},
        {"listed file not in the package", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.absent = {"libbeta.so"}; }, false,
         "Error: The new version folder (", nullptr, "!V3.0.0.1240"},
        {"in place, a file the fix adds", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) {
             p.createNewFolder = "0";
             p.files = {"libalpha.so", "libnew.so"};
         },
         true, ""},
        {"in place, a folder where the fix has a file", "update", [] { return Servers(1); },
         [](TestMachine& m, Package& p) {
             p.createNewFolder = "0";
             p.files = {"libalpha.so", "libnew.so"};
             ::mkdir((m.versionDir(1234) + "/libnew.so").c_str(), 0755);
         },
         false, "Error: Cannot back up the files into ("},
        {"a Files name below a folder", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) {
             p.files = {"libalpha.so", "sub/data.txt"};
         },
         false, "Error: The file name (sub/data.txt) names no file directly inside", nullptr,
         "!take kvmscan out"},
        {"in place passes", "update", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.createNewFolder = "0"; }, true, ""},
        {"hot fix not installed", "rollback", [] { return Servers(1); },
         [](TestMachine&, Package&) {}, false, "The hotfix isn't installed"},
        {"only one version folder", "rollback",
         [] {
             MachineOptions o = Servers(1);
             o.builds = {1240};
             o.latest = 1240;
             return o;
         },
         [](TestMachine&, Package&) {}, false,
         "There is only one folder matching the pattern, so return."},
        {"newer hot fix applied", "rollback",
         [] {
             MachineOptions o = Servers(1);
             o.builds = {1234, 1240, 1250};
             o.latest = 1250;
             return o;
         },
         [](TestMachine&, Package&) {}, false, "There is newer HF applied, so return"},
        {"rollback passes", "rollback",
         [] {
             MachineOptions o = Servers(2);
             o.builds = {1234, 1240};
             o.latest = 1240;
             return o;
         },
         [](TestMachine&, Package&) {}, true, ""},
        {"rollback waits for a task it never stops", "rollback",
         [] {
             MachineOptions o = Servers(1);
             o.builds = {1234, 1240};
             o.latest = 1240;
             o.tasks.push_back("orvupd");
             return o;
         },
         [](TestMachine&, Package&) {}, false,
         "Error: Has try 10 times to stop ORV, but still failed, so give up. (the task"},
        {"rollback, the console program gone", "rollback",
         [] {
             MachineOptions o = Servers(1);
             o.builds = {1234, 1240};
             o.latest = 1240;
             return o;
         },
         [](TestMachine& m, Package&) {
             ::unlink((m.servers()[0].programDir + "/server").c_str());
         },
         false, "Error: Has try 10 times to stop ORV, but still failed, so give up. (the task"},
        // Program folder, notes.ini and data folder: who owns which decides
        // the console identity, and the check asks the run's own decision.
        {"update, the registry's program folder belongs to a user", "update",
         [] { return Servers(1); },
         [](TestMachine& m, Package&) {
             ::chown(m.servers()[0].programDir.c_str(), testsupport::kServerOwners[0], 0);
         },
         false, "Error: The hot fix is in place, but a step after it failed", nullptr,
         "is not root's alone"},
        {"update, root's notes.ini with a second name", "update", [] { return Servers(1); },
         [](TestMachine& m, Package&) {
             ::link(m.servers()[0].notesIni.c_str(), (m.servers()[0].dataDir + "/b.ini").c_str());
         },
         false, "Error: The hot fix is in place, but a step after it failed", nullptr,
         "has 2 names"},
        {"update, a notes.ini its owner may not write", "update",
         [] {
             MachineOptions o = Servers(1);
             o.severalOwners = true;
             return o;
         },
         [](TestMachine& m, Package&) { ::chmod(m.servers()[0].notesIni.c_str(), 0444); }, false,
         "Error: The task kvmscan stays registered in (", nullptr, "kvmscan stays"},
        {"the same in-place fix again", "update", [] { return Servers(1); },
         [](TestMachine& m, Package& p) {
             p.createNewFolder = "0";
             m.WritePackage(p);
             ASSERT_EQ(m.Run().exitStatus, 0);
         },
         true, "", nullptr, "nothing to do: Info: The hot fix 1240 is installed already"},
        {"rollback loads every task its stop ends", "rollback",
         [] {
             MachineOptions o = Servers(1);
             o.builds = {1234, 1240};
             o.latest = 1240;
             return o;
         },
         [](TestMachine&, Package&) {}, true, "", nullptr,
         "\\\"load orvemf\\\", \\\"load orvsch\\\", \\\"load orvmon\\\", \\\"load orvreal\\\""},
        {"in-place rollback from the backup", "rollback", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.createNewFolder = "0"; }, true, "", [](TestMachine&) {}},
        {"in-place rollback of a fix that added a file", "rollback", [] { return Servers(1); },
         [](TestMachine&, Package& p) {
             p.createNewFolder = "0";
             p.files = {"libalpha.so", "libnew.so"};
         },
         true, "", [](TestMachine&) {}},
        {"in-place rollback, a saved file gone", "rollback", [] { return Servers(1); },
         [](TestMachine&, Package& p) { p.createNewFolder = "0"; }, false,
         "Error: Cannot put the saved files back into (",
         [](TestMachine& m) { ::unlink((m.hotfixDir(1240) + "/FileGroup1/libbeta.so").c_str()); }},
        {"signed by a trusted key", "update", [] { return Servers(1); },
         [](TestMachine&, Package&) {}, true, "", nullptr, "", Signed(true), "verified"},
        {"signed, no key installed", "update", [] { return Servers(1); },
         [](TestMachine&, Package&) {}, true, "", nullptr, "", Signed(false), "unverifiable"},
        {"signed, a file altered", "update", [] { return Servers(1); },
         [](TestMachine&, Package&) {}, false, "Error: The hot fix package is refused: (", nullptr,
         "!kvmscan", Signed(true, "libbeta.so"), "bad"},
    };
    return cases;
}

// For each case the check's answer is then what the patcher really does: the
// same exit outcome, the same verdict, and the log line among those it writes.
TEST(Check, TellsWhatThePatcherThenDoes) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        if (c.sign && !testsupport::CanSign()) {
            std::fprintf(stderr, "%s: skipped, signify-openbsd is not installed\n", c.name);
            continue;
        }
        TestMachine m(c.options());
        Package p;
        c.prepare(m, p);
        m.WritePackage(p);
        if (c.sign) {
            c.sign(m);
        }
        std::string from;
        if (c.installed) {
            ASSERT_EQ(m.Run().exitStatus, 0);
            c.installed(m);
            from = m.hotfixDir(p.build);
        }

        RunResult check = Check(m, {"--json", "--mode", c.mode}, from);
        ASSERT_EQ(check.exitStatus, c.passes ? 0 : 1) << check.out << check.err;
        EXPECT_TRUE(check.log.empty()) << "the check wrote the log";
        ModeView view = Mode(check.out, c.mode);
        EXPECT_EQ(view.wouldPass, c.passes);
        EXPECT_EQ(Field(check.out, "state", check.out.find("\"signature\"")), c.signature);
        EXPECT_EQ(view.logLine.compare(0, std::string(c.logStart).size(), c.logStart), 0)
            << view.logLine;
        const size_t at =
            check.out.find("\"steps\": [", check.out.find("\"" + std::string(c.mode)));
        const std::string steps = check.out.substr(at, check.out.find(']', at) - at);
        const std::string step = c.step[0] == '!' ? c.step + 1 : c.step;
        EXPECT_EQ(steps.find(step) != std::string::npos, c.step[0] != '!') << steps;
        // Each step is told once, as the run takes it once.
        std::set<std::string> told;
        for (size_t from = 0, to; from < steps.size(); from = to + 4) {
            to = std::min(steps.find("\", \"", from), steps.size());
            EXPECT_TRUE(told.insert(steps.substr(from, to - from)).second)
                << "told twice: " << steps.substr(from, to - from);
        }

        RunOptions patcher;
        patcher.workDir = from;
        if (std::string(c.mode) == "rollback") {
            patcher.args = {"/u"};
        }
        RunResult run = m.Run(patcher);
        EXPECT_EQ(run.exitStatus, c.passes ? 0 : 212) << run.out;
        EXPECT_EQ(run.out, view.verdict.empty() ? "" : view.verdict + "\n");
        if (!c.passes) {
            EXPECT_NE(FindMessage(run.log, view.logLine), -1) << view.logLine;
        }
    }
}

TEST(Check, JsonHoldsEveryKeyInBothModesAndOnlyTheModesAsked) {
    TestMachine m(Servers(2));
    m.WritePackage(Package());
    // A bare check is the update's, as a bare orvpatch; the keys of both
    // modes together.
    RunResult both = Check(m, {"--json"});
    EXPECT_EQ(both.exitStatus, 0) << both.out;
    EXPECT_EQ(both.out.find("\"rollback\": {"), std::string::npos);
    both.out += Check(m, {"--json", "--mode", "rollback"}).out;
    for (const char* key : {"format_version",
                            "tool_version",
                            "root",
                            "installations",
                            "data_folder",
                            "program_folder",
                            "program_folder_source",
                            "notes_ini",
                            "path",
                            "owner_uid",
                            "owner_name",
                            "mode",
                            "patcher_may_read_write",
                            "server_running",
                            "tasks_running",
                            "kvmscan_registered",
                            "product",
                            "versions",
                            "name",
                            "build",
                            "latest",
                            "target",
                            "exists",
                            "complete",
                            "newest",
                            "staging_leftovers",
                            "package",
                            "folder",
                            "settings_readable",
                            "settings",
                            "Files",
                            "BuildNumber",
                            "Databases",
                            "CreateNewFolder",
                            "DepentBuild",
                            "UpdateLoader",
                            "file_table",
                            "missing",
                            "unsafe",
                            "modes",
                            "update",
                            "rollback",
                            "would_pass",
                            "verdict",
                            "log_line",
                            "steps",
                            "bytes_needed",
                            "bytes_free",
                            "console_program",
                            "console_problem",
                            "saved_files",
                            "run_record",
                            "run_under_way",
                            "run_holder",
                            "signature",
                            "state",
                            "key",
                            "reason"}) {
        EXPECT_NE(both.out.find("\"" + std::string(key) + "\": "), std::string::npos) << key;
    }
    EXPECT_EQ(Field(both.out, "format_version"), "1");
    EXPECT_EQ(Field(both.out, "program_folder_source"), "NotesProgram");
    EXPECT_EQ(Field(both.out, "server_running"), "true");
    EXPECT_EQ(Field(both.out, "kvmscan_registered"), "true");
    EXPECT_EQ(Field(both.out, "build", both.out.find("\"latest\"")), "1234");

    RunResult update = Check(m, {"--json", "--mode=update"});
    EXPECT_EQ(update.exitStatus, 0);
    EXPECT_EQ(update.out.find("\"rollback\": {"), std::string::npos);
    EXPECT_NE(update.out.find("\"update\": {"), std::string::npos);
}

// Paths are the registry's bytes as they stand: quotes, backslashes, control
// characters and bytes that are not UTF-8 come out escaped, so the JSON stays
// well formed whatever the registry holds.
TEST(Check, JsonEscapesWhatARegistryPathHolds) {
    TestMachine m(Servers(1, false));
    m.WritePackage(Package());
    const std::string odd =
        "/odd\"quote\\back\ttab\x01"
        "ctl\xff\xc3(bad)\xc3\xa9ok";
    std::string registry = testsupport::ReadFile(m.root() + "/etc/orvsys.ini");
    registry.replace(registry.find("DomSvrIORVCount=1"), 17, "DomSvrIORVCount=2");
    registry += "[DomSvr1]\nDomSvr1DataPath=" + odd + "\nDomSvr1NotesIniPath=" + odd +
                "/notes.ini\nDomSvr1DominoBinPath=" + odd + "\n";
    testsupport::WriteFile(m.root() + "/etc/orvsys.ini", registry);

    // The odd installation has no program folder: its extension manager
    // cannot be updated, so the update would not complete.
    RunResult r = Check(m, {"--json", "--mode", "update"});
    ASSERT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_NE(
        r.out.find("\"/odd\\\"quote\\\\back\\u0009tab\\u0001ctl\\u00ff\\u00c3(bad)\xc3\xa9ok"),
        std::string::npos)
        << r.out;
    for (unsigned char c : r.out) {
        EXPECT_TRUE(c == '\n' || c >= 0x20) << "raw control byte " << static_cast<int>(c);
    }
    EXPECT_EQ(r.out.find('\xff'), std::string::npos);
    EXPECT_EQ(Field(r.out, "patcher_may_read_write", r.out.find("/odd")), "false");
}

TEST(Check, UsageErrorsExitTwoWithAHint) {
    TestMachine m(Servers(1, false));
    m.WritePackage(Package());
    const std::vector<std::vector<std::string>> bad = {{"--mode", "both"},
                                                       {"--mode"},
                                                       {"--bogus"},
                                                       {"extra"},
                                                       {"--package", "/nonexistent-package"},
                                                       {"--root=relative"}};
    for (const std::vector<std::string>& args : bad) {
        RunResult r = Check(m, args);
        EXPECT_EQ(r.exitStatus, 2) << args[0];
        EXPECT_NE(r.err.find("Try 'orvpatch-check --help'"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    RunResult version = Check(m, {"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out.rfind("orvpatch-check ", 0), 0u);
}

// The read-only proof: a full picture of the machine (every file, mode,
// owner, time and link, the console journals) is the same after a check in
// each mode, with servers running and with broken inputs, and the log is
// never created.
TEST(Check, ChangesNothingOnTheMachine) {
    const std::vector<std::function<void(TestMachine&, Package&)>> inputs = {
        [](TestMachine&, Package&) {},
        [](TestMachine& m, Package&) { m.AddVersionFolder(1240); },
        [](TestMachine&, Package& p) {
            p.files = {"../escape", "libalpha.so", "absent.so"};
            p.absent = {"absent.so"};
        },
        [](TestMachine&, Package& p) { p.settings = false; },
        [](TestMachine& m, Package&) { testsupport::MakeDirs(m.stagingDir(1240)); },
    };
    for (size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE("input " + std::to_string(i));
        MachineOptions o = Servers(2);
        o.builds = {1234, 1240};
        TestMachine m(o);
        Package p;
        inputs[i](m, p);
        m.WritePackage(p);
        testsupport::Snapshot before = TakeSnapshot(m.root());
        for (const char* mode : {"update", "rollback"}) {
            RunResult r = Check(m, {"--mode", mode});
            EXPECT_TRUE(r.exitStatus == 0 || r.exitStatus == 1) << r.err;
            RunResult j = Check(m, {"--json", "--mode", mode});
            EXPECT_EQ(j.exitStatus, r.exitStatus);
        }
        EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(m.root())), std::vector<std::string>());
        EXPECT_FALSE(PathExists(m.logPath()));
    }
}

// Seen from the system calls: no open of any file for writing or creating.
TEST(Check, OpensNothingForWriting) {
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    TestMachine m(Servers(2));
    m.WritePackage(Package());
    testsupport::ProgramOptions how;
    how.workDir = m.packageParent();
    testsupport::ProgramResult r =
        testsupport::RunProgram("/usr/bin/strace",
                                {"-f", "-e", "trace=openat,open,creat", "-o", "/dev/stderr",
                                 std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-check", "--root",
                                 m.root(), "--mode", "update"},
                                how);
    ASSERT_EQ(r.exitStatus, 0) << r.out;
    ASSERT_NE(r.err.find("orvsys.ini"), std::string::npos) << "strace saw no open";
    for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "creat("}) {
        EXPECT_EQ(r.err.find(flag), std::string::npos) << flag << "\n" << r.err;
    }
}

}  // namespace
