#include "support/CrashCampaign.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "support/Campaign.h"
#include "support/DominoSim.h"
#include "support/RunProgram.h"
#include "support/Snapshot.h"
#include "support/TempDir.h"
#include "support/TestMachine.h"

namespace testsupport {

namespace {

const int kHotfix = 1240;
const int kBase = 1234;
const char kProgram[] = "opt/varnel/ORV/program/";
const char kRemovalName[] = "V3.0.0.0000";
const char kExtension[] = "liborvext.so";
// libnew.so is in no version yet: the fix adds it.
const char* const kPackageFiles[] = {"libalpha.so", "libnew.so", "libbeta.so", "loader"};

struct RunSpec {
    const char* name;
    bool inPlace;
    bool rollback;
};
const RunSpec kRuns[4] = {{"update-new-folder", false, false},
                          {"rollback-new-folder", false, true},
                          {"update-in-place", true, false},
                          {"rollback-in-place", true, true}};

// ------------------------------------------------------------ machine state

std::string BaseName(const std::string& rel) {
    std::string::size_type slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

std::string Folder(const std::string& rel) {
    std::string::size_type slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// One entry of the tree as the snapshot describes it, with the parts the
// checker looks at: type ('d', 'f', 'l', 'o'; 't' for the running tasks of
// a server), mode, and the content (size and hash) or the link's target.
struct Entry {
    char type = 'o';
    mode_t mode = 0;
    std::string data;
    std::string line;  // the whole description: owner too
    bool operator==(const Entry& o) const { return line == o.line; }
    bool operator!=(const Entry& o) const { return !(*this == o); }
};
typedef std::map<std::string, Entry> State;

std::string Describe(const Entry& e) {
    return e.line;
}

Entry FromSnapshotLine(const std::string& line) {
    Entry e;
    e.line = line;
    e.type = StartsWith(line, "folder") ? 'd'
             : StartsWith(line, "file") ? 'f'
             : StartsWith(line, "link") ? 'l'
                                        : 'o';
    std::string::size_type mode = line.find("mode=");
    if (mode != std::string::npos) {
        e.mode = static_cast<mode_t>(std::strtoul(line.c_str() + mode + 5, nullptr, 8));
    }
    // The content (size and hash) of a file, the target of a link.
    std::string::size_type data = line.find(e.type == 'l' ? " target=" : " size=");
    if (data != std::string::npos) {
        e.data = line.substr(e.type == 'l' ? data + 8 : data + 1);
    }
    return e;
}

// A name that marks a temporary of ours: hidden (".name.orvtmp-...",
// ".notes.ini.XXXXXX", ".latest_new", the staging folder) or below one.
bool Temporary(const std::string& rel) {
    return rel.find("/.") != std::string::npos || rel[0] == '.';
}

// A saved copy of the extension manager: liborvext.so_<number>.
bool ExtensionBackup(const std::string& name) {
    std::string prefix = std::string(kExtension) + "_";
    return StartsWith(name, prefix) && name.size() > prefix.size() &&
           name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

std::vector<std::string> RunningTasks(const TestMachine& m, size_t server) {
    std::vector<std::string> tasks;
    for (const char* task : kTaskNames) {
        if (m.TaskRunning(server, task)) {
            tasks.push_back(task);
        }
    }
    return tasks;
}

// The tree below the machine's root, leaving out what the patcher and the
// simulator write on every run whatever its outcome: the log, the journals,
// lock and control files; and the ledger, whose times differ from run to
// run (CheckLedger looks at it).
State Capture(const TestMachine& m) {
    SnapshotOptions options;
    options.times = false;
    options.ignore = {"opt/varnel/ORV/orvspins.log", "opt/varnel/ORV/.orvpatch-ledger"};
    for (const Server& s : m.servers()) {
        std::string data = s.dataDir.substr(m.root().size() + 1);
        for (const char* name : {"console.journal", "~notes.lck", ".domsim", "orvtemp"}) {
            options.ignore.push_back(data + "/" + name);
        }
    }
    State state;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> backups;
    for (const auto& kv : TakeSnapshot(m.root(), options)) {
        if (kv.first == ".") {
            continue;
        }
        Entry e = FromSnapshotLine(kv.second);
        if (ExtensionBackup(BaseName(kv.first))) {
            backups[Folder(kv.first)].push_back(std::make_pair(e.data, kv.second));
        } else {
            state[kv.first] = e;
        }
    }
    // The extension manager's saved copies carry a number that depends on
    // the run; they are named by the order of their contents instead.
    for (auto& folder : backups) {
        std::sort(folder.second.begin(), folder.second.end());
        for (size_t i = 0; i < folder.second.size(); ++i) {
            state[folder.first + kExtension + "_#" + std::to_string(i + 1)] =
                FromSnapshotLine(folder.second[i].second);
        }
    }
    for (size_t i = 0; i < m.servers().size(); ++i) {
        Entry e;
        e.type = 't';
        for (const std::string& task : RunningTasks(m, i)) {
            e.data += task + " ";
        }
        e.line = e.data;
        state["#tasks of server " + std::to_string(i)] = e;
    }
    return state;
}

// Files that a rollback by design leaves as the update made them: notes.ini,
// everything in the Domino program folders, the readme.
bool RollbackMayLeave(const std::string& rel) {
    return (StartsWith(rel, "domino") && rel.find("/bin/") != std::string::npos) ||
           BaseName(rel) == "notes.ini" || rel == std::string(kProgram) + "readme_orv3_solaris.txt";
}

// Differences of `actual` from `expected`. With `pool`, a name the rollback
// may leave passes when it is as in any of the pool's states (absent too).
std::vector<std::string> Differences(const State& actual, const State& expected,
                                     const std::vector<const State*>* pool) {
    std::set<std::string> keys;
    for (const auto& kv : actual) {
        keys.insert(kv.first);
    }
    for (const auto& kv : expected) {
        keys.insert(kv.first);
    }
    std::vector<std::string> diffs;
    for (const std::string& key : keys) {
        auto a = actual.find(key);
        auto e = expected.find(key);
        bool aHas = a != actual.end();
        bool eHas = e != expected.end();
        if (aHas && eHas && a->second == e->second) {
            continue;
        }
        if (pool != nullptr && RollbackMayLeave(key)) {
            bool matches = false;
            for (const State* s : *pool) {
                auto p = s->find(key);
                bool pHas = p != s->end();
                matches = matches || (pHas == aHas && (!aHas || p->second == a->second));
            }
            if (matches) {
                continue;
            }
        }
        if (!aHas) {
            diffs.push_back("removed: " + key + " (" + Describe(e->second) + ")");
        } else if (!eHas) {
            diffs.push_back("added: " + key + " (" + Describe(a->second) + ")");
        } else {
            diffs.push_back("changed: " + key + " (" + Describe(e->second) + " -> " +
                            Describe(a->second) + ")");
        }
    }
    return diffs;
}

// ----------------------------------------------------------------- the runs

// The states one mode (new folder or in place) goes through when nothing
// interrupts it, and the saved trees the kill points start from.
struct Mode {
    std::unique_ptr<TestMachine> machine;
    std::unique_ptr<TempDir> saved[2];               // start of the update, of the rollback
    std::vector<std::vector<std::string>> tasks[2];  // running tasks at those starts
    State before;                                    // before the update
    State updated;                                   // after the update
    State rolledBack;                                // after update and rollback
    std::vector<std::string> events[2];              // of the uninterrupted update, rollback
};

std::string BigContent(const std::string& name, int build, size_t size) {
    std::string unit = TestMachine::PackageContent(name, build);
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size) {
        text += unit;
    }
    return text;
}

std::string LibraryPath() {
    return std::string(ORVPATCH_BUILD_DIR) + "/liborvkillpoint.so";
}

KillPointRun RunPatcher(TestMachine& m, const RunSpec& run, bool rollback, long killAt,
                        bool count) {
    if (!count && killAt <= 0) {
        KillPointRun plain;
        ProgramOptions options;
        options.workDir = (rollback && run.inPlace) ? m.hotfixDir(kHotfix) : m.packageParent();
        options.env = {"ORVPATCH_TESTBED=" + m.root(), "ORVPATCH_TESTBED_SECOND_MS=5"};
        options.timeoutSeconds = 120;
        plain.result = RunProgram(
            std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-testbed",
            rollback ? std::vector<std::string>{"/u"} : std::vector<std::string>(), options);
        return plain;
    }
    return RunWithKillPoint(
        m, rollback ? std::vector<std::string>{"/u"} : std::vector<std::string>(),
        (rollback && run.inPlace) ? m.hotfixDir(kHotfix) : m.packageParent(), killAt);
}

void SaveTree(const TestMachine& m, TempDir& to) {
    ProgramResult r = RunProgram("/bin/cp", {"-a", m.root() + "/.", to.path()});
    if (r.exitStatus != 0) {
        throw std::runtime_error("crash campaign: cannot save the machine: " + r.err);
    }
}

// Puts the machine back as saved: simulator processes ended, the tree
// replaced, the servers and the tasks that ran then started again.
void RestoreTree(TestMachine& m, const TempDir& from,
                 const std::vector<std::vector<std::string>>& tasks) {
    for (const Server& s : m.servers()) {
        StopAll(s.dataDir);
    }
    for (const std::string& name : FolderNames(m.root())) {
        RemoveTree(m.root() + "/" + name);
    }
    ProgramResult r = RunProgram("/bin/cp", {"-a", from.path() + "/.", m.root()});
    if (r.exitStatus != 0) {
        throw std::runtime_error("crash campaign: cannot restore the machine: " + r.err);
    }
    for (size_t i = 0; i < m.servers().size(); ++i) {
        m.StartServer(i);
        for (const std::string& task : tasks[i]) {
            m.StartTask(i, task);
        }
    }
}

std::vector<std::vector<std::string>> AllRunningTasks(const TestMachine& m) {
    std::vector<std::vector<std::string>> all;
    for (size_t i = 0; i < m.servers().size(); ++i) {
        all.push_back(RunningTasks(m, i));
    }
    return all;
}

bool LearnMode(bool inPlace, Mode& mode, std::vector<std::string>& problems) {
    MachineOptions o;
    o.servers = 2;
    mode.machine.reset(new TestMachine(o));
    TestMachine& m = *mode.machine;
    Package p;
    p.build = kHotfix;
    p.updateLoader = 1;
    p.createNewFolder = inPlace ? "0" : "1";
    p.files = std::vector<std::string>(std::begin(kPackageFiles), std::end(kPackageFiles));
    m.WritePackage(p);
    // The new loader differs from the installed one, so that every saved
    // task executable can be told from its replacement.
    if (chmod((m.packageDir() + "/loader").c_str(), 0755) != 0) {
        problems.push_back("cannot make the package's loader executable");
        return false;
    }
    // A few MiB, so that copies take more than one block.
    WriteFile(m.packageDir() + "/libalpha.so", BigContent("libalpha.so", kHotfix, 3 << 20));
    WriteFile(m.packageDir() + "/libbeta.so", BigContent("libbeta.so", kHotfix, 1 << 20));
    WriteFile(m.versionDir(kBase) + "/libalpha.so",
              BigContent("libalpha.so of build", kBase, 2 << 20));

    const RunSpec& update = kRuns[inPlace ? 2 : 0];
    const RunSpec& rollback = kRuns[inPlace ? 3 : 1];
    for (int step = 0; step < 2; ++step) {
        mode.saved[step].reset(new TempDir());
        mode.tasks[step] = AllRunningTasks(m);
        SaveTree(m, *mode.saved[step]);
        (step == 0 ? mode.before : mode.updated) = Capture(m);
        KillPointRun l = RunPatcher(m, step == 0 ? update : rollback, step == 1, 0, true);
        if (l.result.exitStatus != 0) {
            problems.push_back(std::string(step == 0 ? update.name : rollback.name) +
                               ": the uninterrupted run failed with status " +
                               std::to_string(l.result.exitStatus) + ": " + l.result.out);
            return false;
        }
        mode.events[step] = l.events;
        (step == 0 ? mode.updated : mode.rolledBack) = Capture(m);
    }
    return true;
}

// ------------------------------------------------------------- the checker

struct Check {
    std::set<std::string> classes;
    std::vector<std::string> details;
    void Fail(const std::string& what, const std::string& detail) {
        classes.insert(what);
        if (details.size() < 12) {
            details.push_back(what + ": " + detail);
        }
    }
};

// (1) latest is a link to a complete version folder.
void CheckLatest(const TestMachine& m, const State& k, const std::vector<const State*>& refs,
                 Check& check) {
    auto latest = k.find(std::string(kProgram) + "latest");
    if (latest == k.end() || latest->second.type != 'l') {
        check.Fail("latest", "program/latest is no link");
        return;
    }
    std::string target = latest->second.data;
    while (target.size() > 1 && target.back() == '/') {
        target.pop_back();
    }
    std::string prefix = m.root() + "/" + kProgram;
    std::string name = StartsWith(target, prefix) ? target.substr(prefix.size()) : "";
    if (name.empty() || name[0] == '.' || name == kRemovalName ||
        name.find('/') != std::string::npos) {
        check.Fail("latest", "program/latest names " + latest->second.data);
        return;
    }
    std::string folder = std::string(kProgram) + name;
    auto dir = k.find(folder);
    if (dir == k.end() || dir->second.type != 'd') {
        check.Fail("latest", "program/latest names no folder: " + latest->second.data);
        return;
    }
    // Complete: every entry a reference holds in that folder is there, each
    // file as one of the references has it.
    std::string missing;
    for (const State* ref : refs) {
        auto rd = ref->find(folder);
        if (rd == ref->end() || rd->second.type != 'd') {
            continue;
        }
        missing.clear();
        for (auto it = ref->lower_bound(folder + "/");
             it != ref->end() && StartsWith(it->first, folder + "/"); ++it) {
            auto got = k.find(it->first);
            bool ok = false;
            for (const State* other : refs) {
                auto o = other->find(it->first);
                // The content counts here; modes are checked with the files.
                ok = ok ||
                     (got != k.end() && o != other->end() && o->second.type == got->second.type &&
                      o->second.data == got->second.data);
            }
            if (!ok) {
                missing = it->first;
                break;
            }
        }
        if (missing.empty()) {
            return;
        }
    }
    check.Fail("latest", "the folder latest names is not complete (" + missing + ")");
}

// (2) each notes.ini byte-identical to its old or its new content.
void CheckNotesIni(const State& k, const std::vector<const State*>& refs, Check& check) {
    for (const auto& kv : *refs.front()) {
        if (BaseName(kv.first) != "notes.ini") {
            continue;
        }
        auto got = k.find(kv.first);
        bool ok = false;
        for (const State* ref : refs) {
            auto r = ref->find(kv.first);
            ok = ok || (got != k.end() && r != ref->end() && r->second == got->second);
        }
        if (!ok) {
            check.Fail("notes.ini",
                       kv.first + " is " + (got == k.end() ? "missing" : Describe(got->second)));
        }
    }
}

// (3) no product name holds a half-written file or one without its execute
// bit; every original is under its own name, its saved name or in the backup.
void CheckFiles(const State& k, const std::vector<const State*>& refs, const State& original,
                bool inPlace, Check& check) {
    std::set<std::string> known;
    for (const State* ref : refs) {
        for (const auto& kv : *ref) {
            if (kv.second.type == 'f') {
                known.insert(kv.second.data);
            }
        }
    }
    const std::string removal = std::string(kProgram) + kRemovalName + "/";
    std::string latestFolder;
    auto latest = k.find(std::string(kProgram) + "latest");
    if (latest != k.end() && latest->second.type == 'l') {
        std::string target = latest->second.data;
        std::string::size_type at = target.find(std::string("/") + kProgram);
        if (at != std::string::npos) {
            latestFolder = target.substr(at + 1);
            if (latestFolder.back() != '/') {
                latestFolder += '/';
            }
        }
    }
    for (const auto& kv : k) {
        if (kv.second.type != 'f' || Temporary(kv.first) || StartsWith(kv.first, removal)) {
            continue;
        }
        if (known.count(kv.second.data) == 0) {
            check.Fail("half-written", kv.first + " holds " + kv.second.data);
            continue;
        }
        // Files in use (the Domino program folders, the folder latest names)
        // that are executable wherever the references hold them.
        bool inUse =
            (StartsWith(kv.first, "domino") && kv.first.find("/bin/") != std::string::npos) ||
            (!latestFolder.empty() && StartsWith(kv.first, latestFolder));
        bool executable = inUse;
        bool held = false;
        for (const State* ref : refs) {
            auto r = ref->find(kv.first);
            if (r != ref->end() && r->second.type == 'f') {
                held = true;
                executable = executable && (r->second.mode & 0111) != 0;
            }
        }
        if (held && executable && (kv.second.mode & 0111) == 0) {
            check.Fail("half-written", kv.first + " has lost its execute bit");
        }
    }

    std::vector<std::string> originals;
    for (const auto& kv : original) {
        std::string name = BaseName(kv.first);
        bool bin = StartsWith(kv.first, "domino") && kv.first.find("/bin/") != std::string::npos;
        bool task = std::find_if(std::begin(kTaskNames), std::end(kTaskNames),
                                 [&](const char* t) { return name == t; }) != std::end(kTaskNames);
        bool listed =
            inPlace &&
            Folder(kv.first) == std::string(kProgram) + "V3.0.0." + std::to_string(kBase) + "/" &&
            std::find(std::begin(kPackageFiles), std::end(kPackageFiles), name) !=
                std::end(kPackageFiles);
        if ((bin && (task || name == kExtension)) || listed) {
            originals.push_back(kv.first);
        }
    }
    for (const std::string& path : originals) {
        const std::string& data = original.at(path).data;
        std::vector<std::string> places = {
            path, path + "_1",
            "opt/varnel/ORV/hotfix/B" + std::to_string(kHotfix) + "/FileGroup1/" + BaseName(path)};
        bool found = false;
        for (const std::string& place : places) {
            auto got = k.find(place);
            found = found || (got != k.end() && got->second.data == data);
        }
        std::string saved = Folder(path) + kExtension + "_#";
        for (auto it = k.lower_bound(saved);
             !found && it != k.end() && StartsWith(it->first, saved); ++it) {
            found = BaseName(path) == kExtension && it->second.data == data;
        }
        if (!found) {
            check.Fail("original-lost", path);
        }
    }
}

std::string Tail(const std::string& text, size_t lines) {
    std::vector<std::string> all;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        all.push_back(line);
    }
    std::string out;
    for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) {
        out += "      | " + all[i] + "\n";
    }
    return out;
}

// The ledger against the product files, through orvpatch-check: at a kill
// point it must be root's alone and readable; where the machine ended
// updated it lists the fix installed and --verify finds nothing, where it
// ended as before there is no ledger.
void CheckLedger(TestMachine& m, const char* where, bool updated, bool ended, Check& check) {
    const std::string path = m.productRoot() + "/.orvpatch-ledger";
    struct stat st;
    const bool there = ::lstat(path.c_str(), &st) == 0;
    if (there && (!S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0600 || st.st_uid != 0)) {
        check.Fail("ledger", std::string(where) + ": the ledger is not root's alone");
    }
    RunOptions list;
    list.program = "orvpatch-check";
    list.args = {"--root", m.root(), "--list", "--json"};
    const RunResult listed = m.Run(list);
    if (listed.exitStatus != 0) {
        check.Fail("ledger", std::string(where) + ": --list ended with " +
                                 std::to_string(listed.exitStatus) + ": " + listed.out);
        return;
    }
    if (!ended) {
        return;
    }
    const bool installed = listed.out.find("{\"build\": " + std::to_string(kHotfix) +
                                           ", \"way\": \"") != std::string::npos &&
                           listed.out.find("\"status\": \"installed\"") != std::string::npos;
    if (updated != installed || (!updated && there)) {
        check.Fail("ledger", std::string(where) + ": the ledger lists " + listed.out);
    }
    RunOptions verify = list;
    verify.args = {"--root", m.root(), "--verify"};
    const RunResult verified = m.Run(verify);
    if (verified.exitStatus != 0) {
        check.Fail("ledger", std::string(where) + ": --verify ended with " +
                                 std::to_string(verified.exitStatus) + ": " + verified.out);
    }
}

CrashPoint TryPoint(Mode& mode, int runIndex, long point) {
    const RunSpec& run = kRuns[runIndex];
    TestMachine& m = *mode.machine;
    int step = run.rollback ? 1 : 0;
    RestoreTree(m, *mode.saved[step], mode.tasks[step]);
    std::vector<const State*> refs = {&mode.before, &mode.updated, &mode.rolledBack};

    CrashPoint result;
    result.run = run.name;
    result.point = point;
    size_t logBefore = ReadFile(m.logPath()).size();
    KillPointRun killed = RunPatcher(m, run, run.rollback, point, false);
    result.event = killed.killed ? killed.killedAt : "";
    if (!killed.killed) {
        result.outcome = "not-killed";
        return result;
    }
    Check check;
    State k = Capture(m);
    CheckLatest(m, k, refs, check);
    CheckNotesIni(k, refs, check);
    CheckFiles(k, refs, mode.before, run.inPlace, check);
    CheckLedger(m, "at the kill point", false, false, check);

    // What orvpatch-check predicts for the same command, before it runs.
    const std::string workDir = (run.rollback && run.inPlace) ? m.hotfixDir(kHotfix) : "";
    const Prediction predicted =
        PredictRun(m, run.rollback ? std::vector<std::string>{"/u"} : std::vector<std::string>(),
                   workDir, false);
    KillPointRun again = RunPatcher(m, run, run.rollback, 0, false);
    const std::string disagreement =
        Disagreement(predicted, again.result.exitStatus, again.result.out);
    result.check = disagreement.empty() ? "agrees" : "disagrees: " + disagreement;
    std::string statuses = "again: " + std::to_string(again.result.exitStatus);
    bool rolledBack = run.rollback;
    if (!run.rollback && again.result.exitStatus != 0) {
        KillPointRun back = RunPatcher(m, run, true, 0, false);
        statuses += ", rollback: " + std::to_string(back.result.exitStatus);
        rolledBack = true;
    }
    State end = Capture(m);
    // Where the machine may end: as after an uninterrupted run, or as before.
    const State* after = run.rollback || rolledBack ? &mode.rolledBack : &mode.updated;
    const State* start = run.rollback ? &mode.updated : &mode.before;
    const State* candidates[2] = {after, start};
    std::vector<std::string> firstDiffs;
    bool matched = false;
    for (const State* c : candidates) {
        std::vector<std::string> diffs = Differences(end, *c, rolledBack ? &refs : nullptr);
        if (diffs.empty()) {
            matched = true;
            CheckLedger(m, "at the end", c == &mode.updated, true, check);
            break;
        }
        if (firstDiffs.empty()) {
            firstDiffs = diffs;
        }
    }
    if (!matched) {
        std::string text = statuses + "; " + std::to_string(firstDiffs.size()) + " differences";
        for (size_t i = 0; i < firstDiffs.size() && i < 6; ++i) {
            text += "\n    " + firstDiffs[i];
        }
        check.Fail("end-state", text);
    }
    if (check.classes.empty()) {
        result.outcome = "ok";
    } else {
        result.outcome = "fail:";
        for (const std::string& c : check.classes) {
            result.outcome += (result.outcome.size() > 5 ? "," : "") + c;
        }
        result.details = check.details;
        result.details.push_back("log after the kill:\n" +
                                 Tail(ReadFile(m.logPath()).substr(logBefore), 60));
    }
    return result;
}

std::string OneLine(const std::string& text) {
    std::string out = text;
    std::replace(out.begin(), out.end(), '\t', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

}  // namespace

std::vector<std::string> CrashRunNames() {
    std::vector<std::string> names;
    for (const RunSpec& r : kRuns) {
        names.push_back(r.name);
    }
    return names;
}

std::string KillPointLibrary() {
    return LibraryPath();
}

KillPointRun RunWithKillPoint(TestMachine& m, const std::vector<std::string>& args,
                              const std::string& workDir, long killAt, long newFailsAt,
                              long alterAt, const std::string& alterFile) {
    TempDir scratch;
    std::string eventsFile = scratch.sub("events");
    ProgramOptions options;
    options.workDir = workDir;
    options.env = {"ORVPATCH_TESTBED=" + m.root(),
                   "ORVPATCH_TESTBED_SECOND_MS=5",
                   "LD_PRELOAD=" + LibraryPath(),
                   "ORVKILL_EVENTS=" + eventsFile,
                   "ORVKILL_AT=" + std::to_string(killAt),
                   "ORVKILL_NEW_FAILS_AT=" + std::to_string(newFailsAt),
                   "ORVKILL_ALTER_AT=" + std::to_string(alterAt),
                   "ORVKILL_ALTER_FILE=" + alterFile};
    options.timeoutSeconds = 120;
    KillPointRun run;
    run.result = RunProgram(std::string(ORVPATCH_BUILD_DIR) + "/orvpatch-testbed", args, options);
    std::istringstream in(ReadFile(eventsFile));
    std::string line;
    while (std::getline(in, line)) {
        if (StartsWith(line, "altered\t")) {
            run.altered = true;
        } else if (StartsWith(line, "not altered\t")) {
            continue;
        } else if (StartsWith(line, "killed\t")) {
            run.killed = true;
            run.killedAt = run.events.empty() ? "" : run.events.back();
        } else {
            std::string::size_type tab = line.find('\t');
            run.events.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        }
    }
    return run;
}

CrashCampaignResult RunCrashCampaign(const CrashCampaignOptions& options) {
    CrashCampaignResult result;
    std::unique_ptr<std::ofstream> tsv;
    std::unique_ptr<std::ofstream> details;
    if (!options.tsvPath.empty()) {
        MakeDirs(Folder(options.tsvPath));
        tsv.reset(new std::ofstream(options.tsvPath, std::ios::trunc));
        *tsv << "run\tpoint\tevent\toutcome\tcheck\n";
    }
    if (!options.detailPath.empty()) {
        MakeDirs(Folder(options.detailPath));
        details.reset(new std::ofstream(options.detailPath, std::ios::trunc));
    }
    auto wanted = [&](const RunSpec& r) {
        return options.runs.empty() ||
               std::find(options.runs.begin(), options.runs.end(), r.name) != options.runs.end();
    };
    int stride = options.stride < 1 ? 1 : options.stride;
    for (bool inPlace : {false, true}) {
        const RunSpec& update = kRuns[inPlace ? 2 : 0];
        const RunSpec& rollback = kRuns[inPlace ? 3 : 1];
        if (!wanted(update) && !wanted(rollback)) {
            continue;
        }
        Mode mode;
        if (!LearnMode(inPlace, mode, result.problems)) {
            continue;
        }
        for (int step = 0; step < 2; ++step) {
            int runIndex = (inPlace ? 2 : 0) + step;
            const RunSpec& run = kRuns[runIndex];
            if (!wanted(run)) {
                continue;
            }
            CrashRunSummary summary;
            summary.run = run.name;
            summary.events = static_cast<long>(mode.events[step].size());
            for (long point = 1; point <= summary.events; point += stride) {
                CrashPoint p = TryPoint(mode, runIndex, point);
                if (p.event.empty()) {
                    p.event = mode.events[step][static_cast<size_t>(point - 1)];
                }
                ++summary.tried;
                summary.checked += p.check.empty() ? 0 : 1;
                summary.agreed += p.check == "agrees" ? 1 : 0;
                if (StartsWith(p.outcome, "fail:")) {
                    ++summary.failed;
                    std::istringstream classes(p.outcome.substr(5));
                    std::string c;
                    while (std::getline(classes, c, ',')) {
                        ++summary.byClass[c];
                    }
                }
                if (tsv) {
                    *tsv << p.run << "\t" << p.point << "\t" << OneLine(p.event) << "\t"
                         << p.outcome << "\t" << OneLine(p.check) << "\n"
                         << std::flush;
                }
                if (details && !p.details.empty()) {
                    *details << p.run << " point " << p.point << " (" << p.event
                             << "): " << p.outcome << "\n";
                    for (const std::string& d : p.details) {
                        *details << "  " << d << "\n";
                    }
                    *details << std::flush;
                }
                if (options.progress != nullptr) {
                    *options.progress << p.run << " " << p.point << "/" << summary.events << " "
                                      << p.outcome << "  " << p.event << "\n"
                                      << std::flush;
                }
                result.points.push_back(p);
            }
            result.runs.push_back(summary);
        }
    }
    return result;
}

std::string CrashSummaryText(const CrashCampaignResult& result) {
    std::ostringstream out;
    for (const CrashRunSummary& s : result.runs) {
        out << s.run << ": " << s.events << " kill points, " << s.tried << " tried, " << s.failed
            << " failed, orvpatch-check agreed with the run again at " << s.agreed << " of "
            << s.checked;
        for (const auto& kv : s.byClass) {
            out << ", " << kv.first << " " << kv.second;
        }
        out << "\n";
    }
    for (const std::string& p : result.problems) {
        out << "problem: " << p << "\n";
    }
    return out.str();
}

}  // namespace testsupport
