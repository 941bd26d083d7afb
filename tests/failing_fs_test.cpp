// The failing-file-system campaign (superuser only): the folder an update
// writes in (the product's program folder, the backup folder, a Domino
// program folder, a data folder) lies on a tiny tmpfs that is full of
// blocks, full of inodes, or read-only. The run must end with 212 or with a
// logged per-installation error; nothing may be lost and no temporary file
// may be left on that file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/Campaign.h"
#include "support/TestMachine.h"

using namespace testsupport;

namespace {

using Condition = SmallFs;
const Condition kFullOfBlocks = SmallFs::kFullOfBlocks;
const Condition kFullOfInodes = SmallFs::kFullOfInodes;
const Condition kReadOnly = SmallFs::kReadOnly;
const char* const kConditionNames[] = {"blocks_full", "inodes_full", "read_only"};

struct Target {
    const char* name;
    std::function<std::string(const TestMachine&)> folder;  // what lies on the tmpfs
    bool inPlace;                                           // an in-place package
    std::vector<int> exits;                                 // acceptable statuses
    const char* logs;  // some line the run logs holds one of these ('|' between them)
    // Names that a run ending in 0 may add on that file system.
    std::vector<std::string> mayAdd;
};

const std::vector<Target>& Targets() {
    static const std::vector<Target> targets = {
        {"product_program_folder",
         [](const TestMachine& m) { return m.programDir(); },
         false,
         {212},
         "Error: ",
         {}},
        {"backup_folder",
         [](const TestMachine& m) { return m.productRoot() + "/hotfix"; },
         true,
         {212},
         "Error: Cannot back up",
         {}},
        {"domino_program_folder",
         [](const TestMachine& m) { return m.servers()[0].programDir; },
         false,
         {0, 212},
         "Error: ",
         {"liborvext.so_"}},
        // A notes.ini that cannot be written leaves its installation out of
        // the list of installations.
        {"domino_data_folder",
         [](const TestMachine& m) { return m.servers()[0].dataDir; },
         false,
         {0, 212},
         "Error: |No ORV installed",
         {}},
    };
    return targets;
}

struct Case {
    const Target* target;
    Condition condition;
    std::string name() const {
        return std::string(target->name) + "_" + kConditionNames[static_cast<int>(condition)];
    }
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name();
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const Target& t : Targets()) {
        for (Condition c : {kFullOfBlocks, kFullOfInodes, kReadOnly}) {
            cases.push_back(Case{&t, c});
        }
    }
    return cases;
}

// Everything a run must never lose: the installed version, the link to it,
// and each server's extension manager, task executables and notes.ini.
std::vector<std::string> Losses(const TestMachine& m) {
    std::vector<std::string> lost;
    auto same = [&](const std::string& path, const std::vector<std::string>& contents) {
        const std::string now = ReadFile(path);
        if (std::find(contents.begin(), contents.end(), now) == contents.end()) {
            lost.push_back(path + " lost or changed");
        }
    };
    for (const char* name :
         {"loader", "liborvext.so", "libalpha.so", "libbeta.so", "sub/data.txt"}) {
        same(m.versionDir(1234) + "/" + name, {TestMachine::ProductContent(name, 1234)});
    }
    struct stat st;
    const std::string latest = m.programDir() + "/latest";
    if (stat((latest + "/loader").c_str(), &st) != 0) {
        lost.push_back("latest no longer names a version folder");
    }
    for (const Server& s : m.servers()) {
        same(s.programDir + "/liborvext.so", {TestMachine::ProductContent("liborvext.so", 1234),
                                              TestMachine::ProductContent("liborvext.so", 1240)});
        for (const char* task : kTaskNames) {
            same(s.programDir + "/" + task, {TestMachine::ProductContent("loader", 1234),
                                             TestMachine::ProductContent("loader", 1240)});
        }
        const std::string notes = ReadFile(s.notesIni);
        if (notes.find("NotesProgram=") == std::string::npos) {
            lost.push_back(s.notesIni + " lost or cut");
        }
    }
    return lost;
}

class FailingFileSystem : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (!CanConfine()) {
            RecordCampaignLine("failing-fs", GetParam().name(),
                               {GetParam().name(), "skipped", "", "", "needs the superuser"});
            GTEST_SKIP() << "needs the superuser (tmpfs mounts)";
        }
        // The tiny file systems are mounted in a namespace of this test's own
        // and vanish with it.
        ASSERT_EQ(0, unshare(CLONE_NEWNS));
        ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr));
    }
};

TEST_P(FailingFileSystem, EndsCleanlyAndLosesNothing) {
    const Case& c = GetParam();
    MachineOptions options;
    options.startServers = false;
    options.secondMillis = 1;
    TestMachine m(options);
    Package package;
    package.updateLoader = 1;
    package.createNewFolder = c.target->inPlace ? "0" : "1";
    m.WritePackage(package);
    // Installed files that differ from the version's, so the run has to
    // write into the Domino program folders (a file that holds the new
    // content already is left as it is). Losses() takes either text.
    for (const Server& s : m.servers()) {
        WriteFile(s.programDir + "/liborvext.so",
                  TestMachine::ProductContent("liborvext.so", 1240));
        for (const char* task : kTaskNames) {
            WriteFile(s.programDir + "/" + task, TestMachine::ProductContent("loader", 1240));
        }
    }
    const std::string folder = c.target->folder(m);
    MountTiny(folder, c.condition);
    if (HasFatalFailure()) {
        RecordCampaignLine("failing-fs", c.name(), {c.name(), "fail", "", "", "the setup failed"});
        return;
    }
    SnapshotOptions keepOut;
    keepOut.times = false;
    keepOut.ignore = {".filler"};
    const Snapshot before = TakeSnapshot(folder, keepOut);

    RunOptions run;
    run.timeoutSeconds = 20;
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = RunConfined(m, run);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::vector<std::string> faults;
    const std::vector<int>& exits = c.target->exits;
    if (r.timedOut || r.exitStatus < 0) {
        faults.push_back(r.timedOut ? "did not end in time" : "ended by a signal");
    } else if (std::find(exits.begin(), exits.end(), r.exitStatus) == exits.end()) {
        faults.push_back("exit status " + std::to_string(r.exitStatus));
    }
    if (!LogHolds(r.log, c.target->logs)) {
        faults.push_back(std::string("no log line holds '") + c.target->logs + "'");
    }
    for (const std::string& loss : Losses(m)) {
        faults.push_back(loss);
    }
    for (const std::string& diff : DiffSnapshots(before, TakeSnapshot(folder, keepOut))) {
        bool allowed = false;
        for (const std::string& name : c.target->mayAdd) {
            allowed = allowed || (r.exitStatus == 0 && diff.rfind("added: " + name, 0) == 0);
        }
        if (diff.rfind("added: ", 0) == 0 && !allowed) {
            faults.push_back("left behind: " + diff);
        }
    }

    const std::string summary = JoinFaults(faults);
    RecordCampaignLine("failing-fs", c.name(),
                       {c.name(), faults.empty() ? "pass" : "fail", std::to_string(r.exitStatus),
                        std::to_string(seconds), summary});
    for (const std::string& f : faults) {
        ADD_FAILURE() << f;
    }
    if (!faults.empty()) {
        for (const std::string& line : r.log) {
            std::fprintf(stderr, "  log: %s\n", line.c_str());
        }
    }
    Unmount(folder);
}

INSTANTIATE_TEST_SUITE_P(Campaign, FailingFileSystem, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name();
                         });

}  // namespace
