// The hostile-input campaign: registries, package settings, notes.ini files,
// product paths, file lists and odd trees an operator's worst day could
// bring, each run through the patcher on a test machine (confined to it when
// the superuser runs the suite). Every case must end within its time bound,
// by exiting (no signal), with the status the procedures' rules give and a
// log line that says what was wrong; no smuggled command may run, and
// nothing outside the product root and the Domino folders may change, nor
// any extension manager or task executable go missing.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/Campaign.h"
#include "support/RunProgram.h"
#include "support/Signing.h"
#include "support/TestMachine.h"

using namespace testsupport;

namespace {

// Cases that fail on the current code, each for a fault being mended
// elsewhere; they are run and recorded like the others but do not fail the
// suite. Take a case off this list as soon as it passes.
const std::set<std::string> kKnownFailures = {
    // None at present.
};

const int kTimeBound = 10;  // real seconds per run
const char kMark[] = "smuggled";

std::string Fill(const TestMachine& m, std::string text) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"@ROOT@", m.root()},
                                   {"@MARK@", m.root() + "/" + kMark}}) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
    }
    return text;
}

std::string RegistryPath(const TestMachine& m) {
    return m.root() + "/etc/orvsys.ini";
}
std::string SettingsPath(const TestMachine& m) {
    return m.packageDir() + "/orvpatch.ini";
}

// Sets the first "key=" line of an INI file to `value` (appends one when
// there is none); a null value removes that line.
void SetKey(const std::string& path, const std::string& key, const char* value) {
    std::string text = ReadFile(path), out;
    bool done = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;
        if (!done && line.compare(0, key.size() + 1, key + "=") == 0) {
            done = true;
            if (value != nullptr) {
                out += key + "=" + value + "\n";
            }
            continue;
        }
        out += line;
    }
    if (!done && value != nullptr) {
        out += key + "=" + value + "\n";
    }
    WriteFile(path, out);
}

// Moves the product below productRoot()/<name> (the log stays where the
// machine keeps it) and registers that path.
void MoveProduct(TestMachine& m, const std::string& name) {
    const std::string root = m.productRoot() + "/" + name;
    MakeDirs(root);
    ASSERT_EQ(0, rename(m.programDir().c_str(), (root + "/program").c_str()));
    unlink((root + "/program/latest").c_str());
    ASSERT_EQ(
        0, symlink((root + "/program/V3.0.0.1234/").c_str(), (root + "/program/latest").c_str()));
    SetKey(RegistryPath(m), "ProductPath", root.c_str());
}

Package InPlace() {
    Package p;
    p.createNewFolder = "0";
    return p;
}

// An in-place update already made, for the rollback cases: its saved files
// lie in hotfixDir(1240)/FileGroup1, from where the rollback is run.
void InstalledInPlace(TestMachine& m) {
    m.WritePackage(InPlace());
    ASSERT_EQ(0, m.Run().exitStatus);
}

std::string Saved(const TestMachine& m, const std::string& name) {
    return m.hotfixDir(1240) + "/FileGroup1/" + name;
}

void MakeFifo(const std::string& path) {
    unlink(path.c_str());
    ASSERT_EQ(0, mkfifo(path.c_str(), 0644)) << path;
}

void MakeSocket(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // Bound by a short relative name: the full path may pass sun_path's size.
    const std::string here = WorkingFolder();
    ASSERT_EQ(0, chdir(path.substr(0, path.rfind('/')).c_str()));
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s",
                  path.substr(path.rfind('/') + 1).c_str());
    const int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ASSERT_EQ(0, chdir(here.c_str()));
    close(fd);
    ASSERT_EQ(0, rc) << path;
}

// Pads a configuration file with a comment line to 5 MiB, beyond what is read.
void GrowTo5MiB(const std::string& path) {
    const std::string text = ReadFile(path);
    WriteFile(path, text + ";" + std::string((5u << 20) - text.size() - 2, 'x') + "\n");
}

// A chain of `depth` folders below `top`, a file at its bottom; made through
// open folders, since its path passes PATH_MAX.
void MakeChain(const std::string& top, int depth) {
    MakeDirs(top);
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        mkdirat(fd, "d", 0755);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(5, write(file, "deep\n", 5));
    close(file);
    close(fd);
}

// The depth of the "d" chain below `top` that ends in a readable bottom.txt;
// -1 when it has no such end.
int ChainDepth(const std::string& top) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    int depth = 0;
    for (int next; fd >= 0 && (next = openat(fd, "d", O_RDONLY | O_DIRECTORY)) >= 0; ++depth) {
        close(fd);
        fd = next;
    }
    struct stat st;
    const bool bottom = fd >= 0 && fstatat(fd, "bottom.txt", &st, 0) == 0 && st.st_size == 5;
    if (fd >= 0) {
        close(fd);
    }
    return bottom ? depth : -1;
}

std::string Notes(const TestMachine& m) {
    return m.servers()[0].notesIni;
}

std::string NewVersion(const TestMachine& m) {
    return m.versionDir(1240);
}

// What a case-specific check says: "" when all is well.
std::string Expect(bool ok, const std::string& what) {
    return ok ? std::string() : what;
}

std::string TypeIs(const std::string& path, mode_t type) {
    struct stat st;
    return Expect(lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type,
                  path + " is not of its original type");
}

std::string ContentIs(const std::string& path, const std::string& content) {
    return Expect(ReadFile(path) == content, path + " does not hold '" + content + "'");
}

std::string LinkIs(const std::string& path, const std::string& target) {
    return Expect(LinkTarget(path) == target, path + " is not a link to " + target);
}

enum Flags {
    kFromBackup = 1,  // run from the saved copy of an in-place update
    kNeedsRoot = 2,
    kNoDacOverride = 2 | 4,  // run as a superuser who cannot pass over permission bits
    kRunningServer = 8,      // the server and its tasks run
    kServerUser = 2 | 16,    // the server's data folder and notes.ini belong to kServerOwners[0]
    kCaller = 2 | 32,        // started as RunOptions::callerContext says
    kSigns = 64,             // signs with signify-openbsd
};

// ---- Signed packages: signify-openbsd signs, the patcher checks.
// The package signed with a vendor key, trusted by the machine when `trust`;
// the list holds `names` (every file of the package when empty).
void Signed(TestMachine& m, bool trust = true, const std::vector<std::string>& names = {}) {
    SignPackage(m.root(), m.packageDir(), trust, names);
}

std::string SigPath(const TestMachine& m) {
    return m.packageDir() + "/SHA256.sig";
}

// Changes the byte at `at` of SHA256.sig (from its end when negative).
void AlterSignature(const TestMachine& m, long at) {
    std::string text = ReadFile(SigPath(m));
    const size_t i = at >= 0 ? static_cast<size_t>(at) : text.size() + at;
    text[i] = text[i] == 'a' ? 'b' : 'a';
    WriteFile(SigPath(m), text);
}

// A refused update changed nothing: no version folder, the link, notes.ini
// and the product's files as they were, no console command.
std::string Untouched(TestMachine& m) {
    return Expect(!PathExists(NewVersion(m)) && !PathExists(m.stagingDir(1240)) &&
                      m.KvmscanRegistered(0) &&
                      m.LatestTarget().find("V3.0.0.1234") != std::string::npos &&
                      ReadFile(m.versionDir(1234) + "/libalpha.so") ==
                          TestMachine::ProductContent("libalpha.so", 1234) &&
                      ReadJournal(m.servers()[0].dataDir).empty(),
                  "the refused update changed the machine");
}

// ---- What the server's user (kServerOwners[0]) plants, and root's files it aims at.
const uid_t kUser = kServerOwners[0];

std::string Secret(const TestMachine& m) {  // root's alone, mode 0600
    const std::string path = m.root() + "/etc/secret";
    if (!PathExists(path)) {
        WriteFile(path, "root only\n");
        chmod(path.c_str(), 0600);
    }
    return path;
}

void PlantLink(const std::string& target, const std::string& path) {
    unlink(path.c_str());
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
    ASSERT_EQ(0, lchown(path.c_str(), kUser, kUser)) << path;
}

// A program folder of the user's own in its data folder, with the simulator
// as its server; notes.ini (`notes`, written anew) names it, or the server's
// own program folder when not `named`.
std::string UserProgramFolder(TestMachine& m, const std::string& notes, bool named = true) {
    const std::string folder = m.servers()[0].dataDir + "/prog";
    InstallServerExecutable(folder);
    WriteFile(notes, "[Notes]\nDirectory=" + m.servers()[0].dataDir +
                         "\nNotesProgram=" + (named ? folder : m.servers()[0].programDir) +
                         "\nServerTasks=Update,kvmscan\n");
    chown(folder.c_str(), kUser, kUser);
    chown((folder + "/server").c_str(), kUser, kUser);
    return folder;
}

// A folder only root may enter, holding data.txt: what a planted link aims at.
std::string RootOnlyFolder(const TestMachine& m) {
    const std::string folder = m.root() + "/etc/rootonly";
    if (!PathExists(folder)) {
        WriteFile(folder + "/data.txt", "root only\n");
        chmod(folder.c_str(), 0700);
    }
    return folder;
}

// The version's folder sub swapped for the user's link to RootOnlyFolder, and
// a package that lists sub/data.txt.
void SubLinkedAway(TestMachine& m, const Package& p) {
    m.WritePackage(p);
    WriteFile(m.packageDir() + "/sub/data.txt", "package\n");
    SetKey(SettingsPath(m), "Files", "libalpha.so,sub/data.txt");
    RemoveTree(m.versionDir(1234) + "/sub");
    PlantLink(RootOnlyFolder(m), m.versionDir(1234) + "/sub");
}

std::string RootOnlyUntouched(TestMachine& m) {
    return ContentIs(RootOnlyFolder(m) + "/data.txt", "root only\n") +
           Expect(!PathExists(Saved(m, "sub")) && !PathExists(NewVersion(m)), "a copy was made");
}

std::string NothingChanged(TestMachine& m) {
    return Expect(!PathExists(NewVersion(m)) && m.KvmscanRegistered(0), "changed");
}

// No console command ran as root.
std::string NoCommandAsRoot(TestMachine& m) {
    for (const JournalEntry& e : ReadJournal(m.servers()[0].dataDir)) {
        if (e.euid == 0 || e.ruid == 0) {
            return "'" + e.command + "' ran as root";
        }
    }
    return "";
}

// Every console command started in a context of its own.
std::string OwnContext(TestMachine& m) {
    const std::regex own(
        "terminal=0 stdin=0 umask=022 fds=0,1,2 groups= env=((PATH|HOME|USER|LOGNAME|SHELL|LANG|"
        "LC_[A-Z_]+|TZ|LD_LIBRARY_PATH|ORVPATCH_TESTBED(_SECOND_MS)?),?)+");
    const std::vector<JournalEntry> journal = ReadJournal(m.servers()[0].dataDir);
    for (const JournalEntry& e : journal) {
        if (!std::regex_match(e.context, own)) {
            return "'" + e.command + "' started with " + e.context;
        }
    }
    return Expect(!journal.empty(), "no console command was sent");
}

// The first entry below `dir` whose snapshot line `bad` picks, named with `fault`.
std::string Picked(const std::string& dir, const std::string& fault,
                   const std::function<bool(const std::string&, const std::string&)>& bad) {
    for (const auto& [path, line] : TakeSnapshot(dir)) {
        if (bad(path, line)) {
            return dir + "/" + path + fault;
        }
    }
    return "";
}

// A process that, from the moment `folder`/f has been copied and for a few
// seconds, keeps swapping that file with a link to `target`.
std::vector<pid_t> g_swappers;
void SwapWithLink(const std::string& folder, const std::string& target) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid > 0) {
        g_swappers.push_back(pid);
        return;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!PathExists(folder + "/f") && std::chrono::steady_clock::now() < end) {
        usleep(50);
    }
    // Through the folder itself, which the copy later renames.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    symlinkat(target.c_str(), dir, "l");
    for (const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         std::chrono::steady_clock::now() < stop;) {
        renameat2(dir, "f", dir, "l", RENAME_EXCHANGE);
    }
    _exit(0);
}

std::string SwappersDone() {
    for (pid_t pid : g_swappers) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    g_swappers.clear();
    return "";
}

// Nothing of the update happened.
std::string Unchanged(TestMachine& m) {
    return Expect(!PathExists(NewVersion(m)) && m.KvmscanRegistered(0),
                  "the refused run changed the machine");
}

// A first run of the patcher in the background (seconds of 300 ms), held in
// its restart by a task that does not quit until FirstRunDone; the machine as
// it stands once that run waits there.
std::thread g_firstRun;
int g_firstStatus = -1;
Snapshot g_whileFirstRuns;
const SnapshotOptions kButTheLog = {{"opt/varnel/ORV/orvspins.log"}, true};

void StartFirstRun(TestMachine& m) {
    SetTaskQuitDelay(m.servers()[0].dataDir, "orvemf", -1);
    ProgramOptions how;
    how.workDir = m.packageParent();
    how.env = {"ORVPATCH_TESTBED=" + m.root(), "ORVPATCH_TESTBED_SECOND_MS=300"};
    g_firstRun = std::thread([how] {
        g_firstStatus = RunProgram(ORVPATCH_BUILD_DIR "/orvpatch-testbed", {}, how).exitStatus;
    });
    // Until its first console command, the restart's quit of orvemf, and then
    // until the console that took it has gone: the machine no longer moves
    // over 200 ms, so whatever moves after is the second run's doing.
    for (int i = 0; i < 2000 && JournalCommands(m.servers()[0].dataDir).empty(); ++i) {
        usleep(10000);
    }
    g_whileFirstRuns = TakeSnapshot(m.root(), kButTheLog);
    for (int i = 0; i < 50; ++i) {
        usleep(200000);
        Snapshot now = TakeSnapshot(m.root(), kButTheLog);
        if (DiffSnapshots(g_whileFirstRuns, now).empty()) {
            break;
        }
        g_whileFirstRuns = std::move(now);
    }
}

std::string FirstRunDone(TestMachine& m) {
    const std::vector<std::string> diff =
        DiffSnapshots(g_whileFirstRuns, TakeSnapshot(m.root(), kButTheLog));
    SetTaskQuitDelay(m.servers()[0].dataDir, "orvemf", 0);
    g_firstRun.join();
    return Expect(diff.empty(), "the second run changed " + (diff.empty() ? "" : diff[0])) +
           Expect(g_firstStatus == 0, " the first run did not succeed");
}

const char kShownEscaped[] = "\\x1b]2;owned\\x07\\x1b[2J\\xc2\\x9b\\x9b\xc4\x9b";

// The check's report for a person names the program folder escaped.
std::string ReportShowsEscaped(TestMachine& m) {
    RunOptions check;
    check.program = "orvpatch-check";
    check.args = {"--root", m.root(), "--package", m.packageParent()};
    const RunResult r = m.Run(check);
    return Expect(
        r.out.find(kShownEscaped) != std::string::npos && r.out.find('\x1b') == std::string::npos,
        "the check's report shows terminal controls raw");
}

// Whether inotify saw `path` opened since WatchOpens.
int g_opens = -1;
void WatchOpens(const std::string& path) {
    g_opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(g_opens, path.c_str(), IN_OPEN), 0) << path;
}
bool OpenSeen() {
    alignas(struct inotify_event) char buffer[4096];
    return read(g_opens, buffer, sizeof buffer) > 0;
}

struct Case {
    const char* name;
    int exit;          // 0 or 212
    const char* logs;  // some line the run logs holds one of these texts ('|' between them);
                       // null: the run cannot log
    std::function<void(TestMachine&)> setup;
    std::function<std::string(TestMachine&)> check = nullptr;
    std::vector<std::string> args = {};
    int flags = 0;
};

const std::string kBig(1 << 20, 'x');  // a 1 MiB line

std::string Names(int count) {
    std::string list;
    for (int i = 0; i < count; ++i) {
        list += (i ? "," : "") + std::string("n") + std::to_string(i);
    }
    return list;
}

const char kSuccess[] = "Update ORV successfully";
const char kNoInstall[] = "No ORV installed|Parsing orvsys.ini error";
const char kNoBuild[] = "So quit|Cannot get the build number";
const char kNotDirectlyInside[] = "names no file directly inside the package folder";

// The corpus. Each setup changes a fresh machine (one quiet server, build
// 1234, a package of build 1240 into a new folder).
// clang-format off
const std::vector<Case>& Corpus() {
    using M = TestMachine;
    static const std::vector<Case> cases = {
    // ---- The registry /etc/orvsys.ini
    {"registry_missing", 212, "Cannot find the orvsys.ini", [](M& m) { unlink(RegistryPath(m).c_str()); }},
    {"registry_binary", 212, "There is no 'DomSvrIORVCount'",
     [](M& m) { WriteFile(RegistryPath(m), std::string("\x7f" "ELF\x02\x01\0\0[\xff\xfe]\0=\0\n\x01", 16)); }},
    {"registry_nul_in_key", 212, "There is no 'DomSvrIORVCount'", [](M& m) {
         std::string text = ReadFile(RegistryPath(m));
         WriteFile(RegistryPath(m), text.insert(text.find("IORVCount") + 4, 1, '\0'));
     }},
    {"registry_1mib_line_first", 0, kSuccess,
     [](M& m) { WriteFile(RegistryPath(m), kBig + "\n" + ReadFile(RegistryPath(m))); }},
    {"registry_1mib_product_path", 212, "There is no 'ProductPath'",
     [](M& m) { SetKey(RegistryPath(m), "ProductPath", kBig.c_str()); }},
    {"registry_5mib", 212, "is 5242880 bytes long", [](M& m) { GrowTo5MiB(RegistryPath(m)); }},
    {"registry_no_conf_section", 212, "There is no 'DomSvrIORVCount'", [](M& m) {
         std::string text = ReadFile(RegistryPath(m));
         WriteFile(RegistryPath(m), text.replace(text.find("[ORVConf]"), 9, "[Other]"));
     }},
    {"registry_doubled_section", 0, kSuccess, [](M& m) {
         WriteFile(RegistryPath(m), ReadFile(RegistryPath(m)) + "[ORVConf]\nDomSvrIORVCount=1\nProductPath=/\n");
     }},
    {"registry_doubled_key", 0, kSuccess, [](M& m) {
         std::string text = ReadFile(RegistryPath(m));
         WriteFile(RegistryPath(m), text.insert(text.find("ProductVersion"), Fill(m, "ProductPath=$(touch @MARK@)\n")));
     }},
    {"registry_count_minus_one", 212, kNoInstall, [](M& m) { SetKey(RegistryPath(m), "DomSvrIORVCount", "-1"); }},
    {"registry_count_zero", 212, "is ZERO", [](M& m) { SetKey(RegistryPath(m), "DomSvrIORVCount", "0"); }},
    {"registry_count_2_pow_31", 212, "There is no 'DomSvr1DataPath'",
     [](M& m) { SetKey(RegistryPath(m), "DomSvrIORVCount", "2147483648"); }},
    {"registry_count_text", 212, "is ZERO", [](M& m) { SetKey(RegistryPath(m), "DomSvrIORVCount", "one"); }},
    {"registry_no_data_path", 212, "There is no 'DomSvr0DataPath'",
     [](M& m) { SetKey(RegistryPath(m), "DomSvr0DataPath", nullptr); }},
    {"registry_notes_ini_missing", 212, kNoInstall,
     [](M& m) { SetKey(RegistryPath(m), "DomSvr0NotesIniPath", "/nonexistent/notes.ini"); }},
    {"registry_notes_ini_command", 212, kNoInstall,
     [](M& m) { SetKey(RegistryPath(m), "DomSvr0NotesIniPath", Fill(m, "`touch @MARK@`;$(touch @MARK@)").c_str()); }},
    {"registry_bin_path_command", 212, "is not an absolute path", [](M& m) {
         SetKey(m.servers()[0].notesIni, "NotesProgram", nullptr);
         SetKey(RegistryPath(m), "DomSvr0DominoBinPath", Fill(m, "$(touch @MARK@)").c_str());
     }},
    {"registry_data_path_command", 0, kSuccess,
     [](M& m) { SetKey(RegistryPath(m), "DomSvr0DataPath", Fill(m, "x;touch @MARK@ `touch @MARK@`").c_str()); }},
    // ---- The product path: read from the registry, never a pattern or a command
    {"product_path_empty", 212, kNoBuild, [](M& m) { SetKey(RegistryPath(m), "ProductPath", ""); }},
    {"product_path_slash", 212, kNoBuild, [](M& m) { SetKey(RegistryPath(m), "ProductPath", "/"); }},
    {"product_path_relative", 212, kNoBuild, [](M& m) { SetKey(RegistryPath(m), "ProductPath", "opt/varnel/ORV"); }},
    {"product_path_blanks", 0, kSuccess, [](M& m) { MoveProduct(m, "var nel  O RV "); }},
    {"product_path_quotes", 0, kSuccess, [](M& m) { MoveProduct(m, "a'b\"c"); }},
    {"product_path_semicolon", 0, kSuccess, [](M& m) { MoveProduct(m, "a;touch smuggled;b"); }},
    {"product_path_dollar_command", 0, kSuccess, [](M& m) { MoveProduct(m, "$(touch smuggled)"); }},
    {"product_path_backquotes", 0, kSuccess, [](M& m) { MoveProduct(m, "`touch smuggled`"); }},
    {"product_path_carriage_return", 0, kSuccess, [](M& m) { MoveProduct(m, "a\rb"); }},
    {"product_path_star", 0, kSuccess, [](M& m) { MoveProduct(m, "O*V"); }},
    {"product_path_question_mark", 0, kSuccess, [](M& m) { MoveProduct(m, "O?V"); }},
    {"product_path_bracket", 0, kSuccess, [](M& m) { MoveProduct(m, "O[RV]"); }},
    // ---- A server's notes.ini
    {"notes_ini_binary", 0, "There is no 'NotesProgram'",
     [](M& m) { WriteFile(Notes(m), std::string("\0\xff\xfe[Notes]\0NotesProgram=\x01\n", 26)); }},
    {"notes_ini_nul_in_task_line", 0, kSuccess,
     [](M& m) { WriteFile(Notes(m), ReadFile(Notes(m)) + std::string("ServerTasks=a\0b,kvmscan\n", 24)); },
     [](M& m) { return Expect(ReadFile(Notes(m)).find("kvmscan") == std::string::npos, "kvmscan stays"); }},
    {"notes_ini_1mib_task_line", 0, kSuccess,
     [](M& m) { WriteFile(Notes(m), ReadFile(Notes(m)) + "ServerTasks=" + kBig + ",kvmscan,Router\n"); },
     [](M& m) {
         const std::string text = ReadFile(Notes(m));
         return Expect(text.find("kvmscan") == std::string::npos && text.find(kBig + ",Router\n") != std::string::npos,
                       "the long task line is not cleaned whole");
     }},
    {"notes_ini_doubled_sections", 0, kSuccess,
     [](M& m) { WriteFile(Notes(m), ReadFile(Notes(m)) + Fill(m, "[Notes]\nNotesProgram=$(touch @MARK@)\n")); }},
    {"notes_ini_fifo", 0, "Cannot open the file", [](M& m) { MakeFifo(Notes(m)); }},
    {"notes_ini_folder", 0, "Cannot open the file", [](M& m) {
         unlink(Notes(m).c_str());
         MakeDirs(Notes(m));
     }},
    {"notes_ini_dangling_link", 212, kNoInstall, [](M& m) {
         unlink(Notes(m).c_str());
         ASSERT_EQ(0, symlink("gone.ini", Notes(m).c_str()));
     }},
    {"notes_ini_empty_program_folder", 212, "is not an absolute path", [](M& m) { SetKey(Notes(m), "NotesProgram", ""); }},
    // Terminal controls in a name: C0, a C1 code point and a stray C1 byte are
    // shown escaped; a character whose UTF-8 holds the byte 0x9b stays whole.
    {"notes_ini_terminal_controls", 212, kShownEscaped,
     [](M& m) { SetKey(Notes(m), "NotesProgram", "\x1b]2;owned\x07\x1b[2J\xc2\x9b\x9b\xc4\x9b"); },
     ReportShowsEscaped},
    {"notes_ini_relative_program_folder", 212, "is not an absolute path",
     [](M& m) { SetKey(Notes(m), "NotesProgram", "domino0/bin"); }},
    // The data folder belongs to the server's user, who plants a link to a
    // file of root's holding a task line: it is not rewritten, so kvmscan stays.
    {"notes_ini_link_to_root_file", 212, "Error: ", [](M& m) {
         WriteFile(m.root() + "/etc/root-owned.ini", "ServerTasks=Update,kvmscan\n");
         unlink(Notes(m).c_str());
         ASSERT_EQ(0, symlink((m.root() + "/etc/root-owned.ini").c_str(), Notes(m).c_str()));
         ASSERT_EQ(0, lchown(Notes(m).c_str(), kServerOwners[0], kServerOwners[0]));
     }, nullptr, {}, kNeedsRoot},
    // ---- The package settings orvpatch.ini
    {"settings_missing", 212, "Cannot open the file", [](M& m) { unlink(SettingsPath(m).c_str()); }},
    {"settings_binary", 212, "(Config:Files)",
     [](M& m) { WriteFile(SettingsPath(m), std::string("\0\x01[Config\0]\nFiles\0=a\n", 21)); }},
    {"settings_fifo", 212, "Cannot open the file", [](M& m) { MakeFifo(SettingsPath(m)); }},
    {"settings_folder", 212, "Cannot open the file", [](M& m) {
         unlink(SettingsPath(m).c_str());
         MakeDirs(SettingsPath(m));
     }},
    {"settings_no_config_section", 212, "(Config:Files)",
     [](M& m) { WriteFile(SettingsPath(m), "[Other]\nFiles=libalpha.so\nBuildNumber=1240\n"); }},
    {"settings_build_minus_one", 212, kNoBuild, [](M& m) { SetKey(SettingsPath(m), "BuildNumber", "-1"); }},
    {"settings_build_zero", 212, kNoBuild, [](M& m) { SetKey(SettingsPath(m), "BuildNumber", "0"); }},
    {"settings_build_2_pow_31", 0, kSuccess, [](M& m) { SetKey(SettingsPath(m), "BuildNumber", "2147483648"); },
     [](M& m) { return TypeIs(m.versionDir(2147483647) + "/libalpha.so", S_IFREG); }},
    {"settings_build_1mib", 212, "(Config:BuildNumber)", [](M& m) { SetKey(SettingsPath(m), "BuildNumber", kBig.c_str()); }},
    {"settings_5mib", 212, "is 5242880 bytes long", [](M& m) { GrowTo5MiB(SettingsPath(m)); }},
    {"settings_build_command", 212, kNoBuild,
     [](M& m) { SetKey(SettingsPath(m), "BuildNumber", Fill(m, "$(touch @MARK@)").c_str()); }},
    {"settings_doubled_section", 0, kSuccess,
     [](M& m) { WriteFile(SettingsPath(m), ReadFile(SettingsPath(m)) + "[Config]\nBuildNumber=1\n"); }},
    {"settings_create_new_folder_minus_one", 0, kSuccess, [](M& m) { SetKey(SettingsPath(m), "CreateNewFolder", "-1"); },
     [](M& m) { return TypeIs(NewVersion(m), S_IFDIR); }},
    {"settings_create_new_folder_empty", 0, kSuccess, [](M& m) { SetKey(SettingsPath(m), "CreateNewFolder", ""); },
     [](M& m) { return TypeIs(Saved(m, "orvpatch.ini"), S_IFREG); }},
    {"settings_depent_2_pow_31", 212, "depent build", [](M& m) { SetKey(SettingsPath(m), "DepentBuild", "2147483648"); }},
    // ---- The package's file list
    {"files_dot_dot", 212, kNotDirectlyInside, [](M& m) { SetKey(SettingsPath(m), "Files", "libalpha.so,../../etc/orvsys.ini"); }},
    {"files_absolute", 212, kNotDirectlyInside, [](M& m) { SetKey(SettingsPath(m), "Files", "/etc/passwd,libalpha.so"); }},
    {"files_dot_dot_in_place", 212, kNotDirectlyInside, [](M& m) {
         m.WritePackage(InPlace());
         SetKey(SettingsPath(m), "Files", "libalpha.so,../../../../etc/orvsys.ini");
     }},
    {"files_doubled", 0, kSuccess, [](M& m) { SetKey(SettingsPath(m), "Files", "libalpha.so,libalpha.so"); },
     [](M& m) { return ContentIs(NewVersion(m) + "/libalpha.so", M::PackageContent("libalpha.so", 1240)); }},
    {"files_doubled_in_place_then_failure", 212, "renamed back", [](M& m) {
         Package p = InPlace();
         p.files = {"libalpha.so", "libalpha.so", "libgamma.so"};
         p.absent = {"libgamma.so"};
         m.WritePackage(p);
     },
     [](M& m) { return ContentIs(m.versionDir(1234) + "/libalpha.so", M::ProductContent("libalpha.so", 1234)); }},
    {"files_40_names", 0, kSuccess, [](M& m) {
         SetKey(SettingsPath(m), "Files", Names(40).c_str());
         for (int i = 0; i < 40; ++i) {
             WriteFile(m.packageDir() + "/n" + std::to_string(i), "new\n");
         }
     },
     [](M& m) { return ContentIs(NewVersion(m) + "/n39", "new\n"); }},
    {"files_200_names", 212, "(Config:Files)", [](M& m) { SetKey(SettingsPath(m), "Files", Names(200).c_str()); }},
    {"files_empty_value", 0, kSuccess, [](M& m) { SetKey(SettingsPath(m), "Files", ""); }},
    {"files_command", 212, "Cannot copy the file",
     [](M& m) { SetKey(SettingsPath(m), "Files", "libalpha.so;touch smuggled,`touch smuggled`"); }},
    {"files_listed_fifo", 212, "Cannot copy the file", [](M& m) { MakeFifo(m.packageDir() + "/libbeta.so"); },
     [](M& m) { return Expect(!PathExists(NewVersion(m)), "a new version folder exists"); }},
    {"files_listed_folder", 212, "Cannot copy the file", [](M& m) {
         unlink((m.packageDir() + "/libbeta.so").c_str());
         MakeDirs(m.packageDir() + "/libbeta.so");
     }},
    {"readme_fifo", 0, "readme", [](M& m) { MakeFifo(m.packageDir() + "/readme_orv3_solaris.txt"); }},
    // ---- Odd trees in the product
    {"tree_fifo", 0, kSuccess, [](M& m) { MakeFifo(m.versionDir(1234) + "/pipe"); },
     [](M& m) { return TypeIs(NewVersion(m) + "/pipe", S_IFIFO); }},
    {"tree_socket", 0, kSuccess, [](M& m) { MakeSocket(m.versionDir(1234) + "/sock"); },
     [](M& m) { return TypeIs(NewVersion(m) + "/sock", S_IFSOCK); }},
    {"tree_device", 0, kSuccess,
     [](M& m) { ASSERT_EQ(0, mknod((m.versionDir(1234) + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3))); },
     [](M& m) { return TypeIs(NewVersion(m) + "/null", S_IFCHR); }, {}, kNeedsRoot},
    {"tree_self_link", 0, kSuccess, [](M& m) { ASSERT_EQ(0, symlink(".", (m.versionDir(1234) + "/self").c_str())); },
     [](M& m) { return LinkIs(NewVersion(m) + "/self", "."); }},
    {"tree_dangling_link", 0, kSuccess,
     [](M& m) { ASSERT_EQ(0, symlink("gone", (m.versionDir(1234) + "/dangling").c_str())); },
     [](M& m) { return LinkIs(NewVersion(m) + "/dangling", "gone"); }},
    // The link cannot replace a real folder: the update is undone.
    {"tree_latest_real_folder", 212, "Error: Cannot create the link", [](M& m) {
         unlink((m.programDir() + "/latest").c_str());
         WriteFile(m.programDir() + "/latest/keep.txt", "kept\n");
     },
     [](M& m) { return ContentIs(m.programDir() + "/latest/keep.txt", "kept\n"); }},
    {"tree_version_is_file", 0, kSuccess, [](M& m) { WriteFile(m.versionDir(1239), "a file, not a folder\n"); },
     [](M& m) { return ContentIs(NewVersion(m) + "/loader", M::ProductContent("loader", 1234)); }},
    {"tree_package_version_is_file", 212, "environment checking",
     [](M& m) { WriteFile(NewVersion(m), "a file, not a folder\n"); }},
    {"tree_folder_named_pattern", 0, kSuccess, [](M& m) { MakeDirs(m.programDir() + "/V*"); },
     [](M& m) { return TypeIs(NewVersion(m) + "/loader", S_IFREG); }},
    {"tree_255_byte_name", 0, kSuccess, [](M& m) { WriteFile(m.versionDir(1234) + "/" + std::string(255, 'n'), "long\n"); },
     [](M& m) { return ContentIs(NewVersion(m) + "/" + std::string(255, 'n'), "long\n"); }},
    {"tree_non_utf8_name", 0, kSuccess, [](M& m) { WriteFile(m.versionDir(1234) + "/\xff\xfe\x80name", "odd\n"); },
     [](M& m) { return ContentIs(NewVersion(m) + "/\xff\xfe\x80name", "odd\n"); }},
    {"tree_line_feed_name", 0, kSuccess, [](M& m) { WriteFile(m.versionDir(1234) + "/a\nb", "lf\n"); },
     [](M& m) { return ContentIs(NewVersion(m) + "/a\nb", "lf\n"); }},
    {"tree_unreadable_folder", 212, "Error: ", [](M& m) { ASSERT_EQ(0, chmod((m.versionDir(1234) + "/sub").c_str(), 0)); },
     [](M& m) { return Expect(!PathExists(NewVersion(m)) && m.LatestTarget() == m.versionDir(1234) + "/", "installed"); },
     {}, kNoDacOverride},
    {"tree_unreadable_file", 212, "Error: ", [](M& m) { ASSERT_EQ(0, chmod((m.versionDir(1234) + "/libgamma.so").c_str(), 0)); },
     [](M& m) { return Expect(!PathExists(NewVersion(m)) && m.LatestTarget() == m.versionDir(1234) + "/", "installed"); },
     {}, kNoDacOverride},
    {"tree_2100_levels", 0, kSuccess, [](M& m) { MakeChain(m.versionDir(1234) + "/deep", 2100); },
     [](M& m) { return Expect(ChainDepth(NewVersion(m) + "/deep") == 2100, "the deep tree is not copied whole"); }},
    // ---- Rollbacks
    {"rollback_not_installed", 212, "isn't installed", nullptr, nullptr, {"/u"}},
    {"rollback_saved_file_fifo", 212, "Error: ", [](M& m) {
         InstalledInPlace(m);
         MakeFifo(Saved(m, "libbeta.so"));
     }, nullptr, {"/u"}, kFromBackup},
    {"rollback_saved_settings_binary", 212, "(Config:Files)", [](M& m) {
         InstalledInPlace(m);
         WriteFile(Saved(m, "orvpatch.ini"), std::string("\0\xff\n[Config]\n\0", 13));
     }, nullptr, {"/u"}, kFromBackup},
    // ---- What the server's user may plant (the server belongs to kUser)
    // A notes.ini that is a second name of a file of root's anyone may write.
    {"trust_console_notes_ini_hard_link", 212, "has 2 names", [](M& m) {
         const std::string shared = m.root() + "/etc/shared.log";
         UserProgramFolder(m, shared, false);
         SetKey(shared, "ServerTasks", "Update");  // nothing to clean: the console decides
         chmod(shared.c_str(), 0666);
         unlink(Notes(m).c_str());
         ASSERT_EQ(0, link(shared.c_str(), Notes(m).c_str()));
         m.StartServer(0);
     }, NoCommandAsRoot, {}, kServerUser},
    // A notes.ini of root's in the user's folder, as a copy made by root there would be.
    {"trust_console_root_file_in_user_folder", 212, "but its data folder", [](M& m) {
         unlink(Notes(m).c_str());
         UserProgramFolder(m, Notes(m), false);
         SetKey(Notes(m), "ServerTasks", "Update");
         m.StartServer(0);
     }, NoCommandAsRoot, {}, kServerUser},
    // The registry names a program folder of the user's whose extension manager
    // has all the names a file may have (EMLINK): its original is saved by a copy.
    {"trust_original_copied_in_user_folder", 0, kSuccess, [](M& m) {
         const std::string folder = UserProgramFolder(m, Notes(m));
         chown(Notes(m).c_str(), kUser, kUser);
         SetKey(RegistryPath(m), "DomSvr0DominoBinPath", folder.c_str());
         WriteFile(folder + "/liborvext.so", "the user's own\n");
         chown((folder + "/liborvext.so").c_str(), kUser, kUser);
         MakeDirs(m.servers()[0].dataDir + "/names");
         // Up to ext4's 65000 names; a file system without that bound saves by link.
         for (int i = 1; i < 65000 && link((folder + "/liborvext.so").c_str(), (m.servers()[0].dataDir + "/names/" + std::to_string(i)).c_str()) == 0; ++i) {
         }
     }, [](M& m) {
         return Picked(m.servers()[0].dataDir + "/prog", " belongs to root",
                       [](const std::string&, const std::string& line) { return line.find(" uid=0 ") != std::string::npos; });
     }, {}, kServerUser},
    {"trust_program_folder_of_links", 212, "is not used", [](M& m) {
         Package p;
         p.updateLoader = 1;
         m.WritePackage(p);
         const std::string folder = UserProgramFolder(m, Notes(m));
         chown(Notes(m).c_str(), kUser, kUser);
         PlantLink(Secret(m), folder + "/liborvext.so");
         PlantLink(m.root() + "/etc/made-by-root", folder + "/orvreal");
     }, nullptr, {}, kServerUser},
    {"trust_program_folder_of_root_daemon", 212, "is not used",
     [](M& m) { SetKey(Notes(m), "NotesProgram", (m.root() + "/etc").c_str()); }, nullptr, {}, kServerUser},
    // The registry names a program folder of the user's, beside root's
    // notes.ini and data folder: its `server` would run as root.
    {"trust_console_registry_names_user_folder", 212, "is not root's alone", [](M& m) {
         SetKey(RegistryPath(m), "DomSvr0DominoBinPath", UserProgramFolder(m, Notes(m)).c_str());
         m.StartServer(0);
     }, NoCommandAsRoot, {}, kNeedsRoot},
    // Root's notes.ini with a second name: rewritten in place, it keeps both,
    // and the identity decided before the rewrite refuses the console.
    {"trust_console_notes_ini_two_names_of_root", 212, "has 2 names", [](M& m) {
         ASSERT_EQ(0, link(Notes(m).c_str(), (m.servers()[0].dataDir + "/second.ini").c_str()));
         m.StartServer(0);
     }, [](M& m) {
         struct stat a, b;
         const bool same = stat(Notes(m).c_str(), &a) == 0 && stat((m.servers()[0].dataDir + "/second.ini").c_str(), &b) == 0 &&
                           a.st_ino == b.st_ino && a.st_nlink == 2;
         return Expect(same && !m.KvmscanRegistered(0), "notes.ini lost a name or kept kvmscan") + NoCommandAsRoot(m);
     }, {}, kNeedsRoot},
    // The update's folder on a file system whose last half only root may use.
    {"trust_free_space_root_reserve", 212, "bytes, but", [](M& m) {
         MountExt4(m.programDir(), 8, 50);
         // A copy writes the sparse file's holes too: counted by its blocks
         // alone, the copy would seem to fit.
         WriteFile(m.versionDir(1234) + "/dense.dat", std::string(512 << 10, 'd'));
         WriteFile(m.versionDir(1234) + "/sparse.dat", "");
         ASSERT_EQ(0, truncate((m.versionDir(1234) + "/sparse.dat").c_str(), 1536 << 10));
     }, [](M& m) {
         const std::string faults = Expect(!PathExists(NewVersion(m)), "the reserve was used");
         return faults + Unmount(m.programDir());
     }, {}, kNeedsRoot},
    // notes.ini on a full file system: it cannot be rewritten, kvmscan stays.
    {"trust_notes_ini_full_file_system", 212, "kvmscan stays registered", [](M& m) {
         MountTiny(m.servers()[0].dataDir, SmallFs::kFullOfBlocks);
     }, [](M& m) {
         const std::string faults = Expect(m.KvmscanRegistered(0) && !PathExists(NewVersion(m)), "kvmscan gone or installed");
         return faults + Unmount(m.servers()[0].dataDir);
     }, {}, kNeedsRoot},
    // An in-place rollback where notes.ini names a program folder of the
    // user's own: the restart is refused there, and the check says so too.
    {"trust_in_place_rollback_user_program_folder", 212, "is not used", [](M& m) {
         InstalledInPlace(m);
         UserProgramFolder(m, Notes(m));
         chown(Notes(m).c_str(), kUser, kUser);
         m.StartServer(0);
     }, NoCommandAsRoot, {"/u"}, kFromBackup | kServerUser},
    {"trust_tree_copy_link_of_server_user", 0, "is copied as a link",
     [](M& m) { PlantLink(Secret(m), m.versionDir(1234) + "/peek"); },
     [](M& m) { return TypeIs(NewVersion(m) + "/peek", S_IFLNK); }, {}, kServerUser},
    // A FIFO, and a link to it, where a task's lock file would be: never opened.
    {"trust_task_lock_fifo", 0, "orvreal{1}' is not a regular file", [](M& m) {
         const std::string fifo = m.servers()[0].dataDir + "/orvtemp/orvreal{1}";
         MakeFifo(fifo);
         PlantLink(fifo, m.servers()[0].dataDir + "/orvtemp/orvreal{2}");
         WatchOpens(fifo);
     }, [](M&) { return Expect(!OpenSeen(), "the FIFO was opened"); }, {}, kRunningServer | kNeedsRoot},
    {"trust_children_context", 0, kSuccess, [](M& m) { m.StartServer(0); }, OwnContext, {}, kServerUser | kCaller},
    {"trust_umask_zero", 0, kSuccess, [](M& m) {
         Package p = InPlace();
         p.updateLoader = 1;
         m.WritePackage(p);
     }, [](M& m) {
         return Picked(m.root(), " may be written by anyone", [](const std::string& path, const std::string& line) {
             return line.compare(0, 10, "file mode=") == 0 && ((line[13] - '0') & 2) && path.find("orvspins.log") == std::string::npos;
         });
     }, {}, kCaller},
    {"trust_log_dangling_link", 0, nullptr, [](M& m) {
         unlink(m.logPath().c_str());
         ASSERT_EQ(0, symlink((m.root() + "/etc/planted.log").c_str(), m.logPath().c_str()));
     }, [](M& m) { return TypeIs(m.logPath(), S_IFLNK); }, {}, kNeedsRoot},
    {"trust_log_link_to_root_file", 0, nullptr, [](M& m) { PlantLink(Secret(m), m.logPath()); },
     [](M& m) { return TypeIs(m.logPath(), S_IFLNK) + ContentIs(Secret(m), "root only\n"); }, {}, kNeedsRoot},
    // A folder of root's that others may write, holding the simulator as its server.
    {"trust_program_folder_group_writable", 212, "may be written by others", [](M& m) {
         InstallServerExecutable(m.root() + "/opt/shared");
         ASSERT_EQ(0, chmod((m.root() + "/opt/shared").c_str(), 0775));
         SetKey(Notes(m), "NotesProgram", (m.root() + "/opt/shared").c_str());
     }, [](M& m) { return Expect(FolderNames(m.root() + "/opt/shared").size() == 1, "the run worked in the folder others may write"); }},
    {"trust_notes_ini_2gib", 212, "bytes long", [](M& m) { ASSERT_EQ(0, truncate(Notes(m).c_str(), 2LL << 30)); },
     [](M& m) {
         struct stat st;
         return Expect(stat(Notes(m).c_str(), &st) == 0 && st.st_size == 2LL << 30, "notes.ini was rewritten");
     },
     {}, kServerUser},
    {"trust_permission_walk_swap", 0, kSuccess, [](M& m) {
         WriteFile(m.versionDir(1234) + "/flip/f", "f\n");
         SwapWithLink(m.stagingDir(1240) + "/flip", Secret(m));
     }, [](M&) { return SwappersDone(); }, {}, kNeedsRoot},
    // ---- Names resolved beneath their folders, and the package folder (each refused before any change)
    {"trust_in_place_sub_link", 212, kNotDirectlyInside, [](M& m) { SubLinkedAway(m, InPlace()); },
     RootOnlyUntouched, {}, kServerUser},
    {"trust_new_folder_tree_sub_link", 212, kNotDirectlyInside, [](M& m) { SubLinkedAway(m, Package()); },
     RootOnlyUntouched, {}, kServerUser},
    {"trust_package_link_to_root_folder", 212, kNotDirectlyInside, [](M& m) {
         PlantLink(RootOnlyFolder(m), m.packageDir() + "/x");
         SetKey(SettingsPath(m), "Files", "libalpha.so,x/data.txt");
     }, RootOnlyUntouched, {}, kServerUser},
    {"trust_package_folder_group_writable", 212, "Refuse the package folder|may be written by others",
     [](M& m) { chmod(m.packageDir().c_str(), 0775); },
     NothingChanged},
    {"trust_package_folder_of_user", 212, "Refuse the package folder|belongs to user",
     [](M& m) { ASSERT_EQ(0, chown(m.packageDir().c_str(), kUser, kUser)); },
     NothingChanged, {}, kNeedsRoot},
    {"trust_package_parent_writable", 212, "the folder holding it",
     [](M& m) { chmod(m.packageParent().c_str(), 01777); },
     NothingChanged},
    // NotesProgram names a sticky folder of root's that the run refuses: the
    // user's temporary file there is not swept.
    {"trust_sweep_in_refused_sticky_folder", 212, "is not used", [](M& m) {
         const std::string sticky = m.root() + "/var/tmp";
         MakeDirs(sticky);
         chmod(sticky.c_str(), 01777);
         WriteFile(sticky + "/.report.orvtmp-999999-1", "the user's\n");
         ASSERT_EQ(0, chown((sticky + "/.report.orvtmp-999999-1").c_str(), kUser, kUser));
         SetKey(Notes(m), "NotesProgram", sticky.c_str());
     }, [](M& m) { return Expect(PathExists(m.root() + "/var/tmp/.report.orvtmp-999999-1"), "the user's file was swept"); },
     {}, kServerUser},
    {"rollback_saved_files_dot_dot", 212, kNotDirectlyInside, [](M& m) {
         InstalledInPlace(m);
         SetKey(Saved(m, "orvpatch.ini"), "Files", "libalpha.so,libbeta.so,../../../../../etc/orvsys.ini");
     },
     // Refused before any change: the fix and its backup stay as they were.
     [](M& m) {
         return ContentIs(m.versionDir(1234) + "/libalpha.so", M::PackageContent("libalpha.so", 1240)) +
                ContentIs(Saved(m, "libalpha.so"), M::ProductContent("libalpha.so", 1234));
     },
     {"/u"}, kFromBackup},
    // ---- Signed packages
    {"signed_verifies", 0, "signed by the key (/etc/orvpatch/keys/vendor.pub, key number", [](M& m) { Signed(m); },
     [](M& m) {
         return ContentIs(NewVersion(m) + "/libalpha.so", M::PackageContent("libalpha.so", 1240)) +
                Expect(ReadFile(m.productRoot() + "/.orvpatch-ledger").find("\nSigner: vendor.pub (key number ") !=
                           std::string::npos, "the ledger does not name the key");
     }, {}, kSigns},
    {"signed_in_place_verifies", 0, "signed by the key", [](M& m) { m.WritePackage(InPlace()); Signed(m); },
     [](M& m) { return ContentIs(m.versionDir(1234) + "/libbeta.so", M::PackageContent("libbeta.so", 1240)); }, {}, kSigns},
    {"signed_sig_missing", 212, "SHA256.sig) it is missing", [](M& m) { Signed(m); unlink(SigPath(m).c_str()); }, Untouched, {}, kSigns},
    {"signed_by_unknown_key", 212, "which is not in (/etc/orvpatch/keys)", [](M& m) {
         Signed(m, false);
         InstallKey(m.root(), MakeKeyPair(m.root() + "/vendor", "other").pub, "other.pub");
     }, Untouched, {}, kSigns},
    {"signed_list_altered", 212, "does not verify", [](M& m) { Signed(m); AlterSignature(m, -2); }, Untouched, {}, kSigns},
    {"signed_signature_altered", 212, "does not verify", [](M& m) {
         Signed(m);
         AlterSignature(m, static_cast<long>(ReadFile(SigPath(m)).find('\n')) + 40);
     }, Untouched, {}, kSigns},
    {"signed_file_altered", 212, "libalpha.so) it differs from its digest", [](M& m) {
         Signed(m);
         WriteFile(m.packageDir() + "/libalpha.so", "altered\n");
     }, Untouched, {}, kSigns},
    {"signed_file_truncated", 212, "libbeta.so) it differs from its digest", [](M& m) {
         Signed(m);
         ASSERT_EQ(0, truncate((m.packageDir() + "/libbeta.so").c_str(), 3));
     }, Untouched, {}, kSigns},
    {"signed_readme_unlisted", 212, "readme_orv3_solaris.txt) the update reads it, but SHA256.sig does not list it",
     [](M& m) { Signed(m, true, {"orvpatch.ini", "libalpha.so", "libbeta.so"}); }, Untouched, {}, kSigns},
    {"signed_name_twice", 212, "lists (libalpha.so) twice", [](M& m) {
         Signed(m, true, {"orvpatch.ini", "libalpha.so", "libalpha.so", "libbeta.so", "readme_orv3_solaris.txt"});
     }, Untouched, {}, kSigns},
    {"signed_keys_folder_untrusted", 212, "the keys folder is not trusted", [](M& m) {
         Signed(m);
         chmod(KeysFolder(m.root()).c_str(), 0777);
     }, Untouched, {}, kSigns},
    {"signed_keys_same_number", 212, "of (vendor.pub) too", [](M& m) {
         Signed(m);
         InstallKey(m.root(), m.root() + "/vendor/vendor.pub", "vendor2.pub");
     }, Untouched, {}, kSigns},
    {"signed_key_file_not_a_key", 212, "it is not a signify public key", [](M& m) {
         Signed(m);
         InstallKey(m.root(), RegistryPath(m), "broken.pub");
     }, Untouched, {}, kSigns},
    {"unsigned_without_keys", 0, "it has no SHA256.sig, and no trusted key", nullptr},
    {"unverifiable_without_keys", 0, "no trusted key is installed in (/etc/orvpatch/keys). Every file",
     [](M& m) { Signed(m, false); }, nullptr, {}, kSigns},
    {"unverifiable_file_altered", 212, "it differs from its digest", [](M& m) {
         Signed(m, false);
         WriteFile(m.packageDir() + "/orvpatch.ini", ReadFile(m.packageDir() + "/orvpatch.ini") + "\n");
     }, Untouched, {}, kSigns},
    {"signed_keys_leave_rollback_alone", 0, "Rollback ORV", [](M& m) {
         InstalledInPlace(m);
         InstallKey(m.root(), MakeKeyPair(m.root() + "/vendor", "vendor").pub, "vendor.pub");
     },
     [](M& m) { return ContentIs(m.versionDir(1234) + "/libalpha.so", M::ProductContent("libalpha.so", 1234)); },
     {"/u"}, kFromBackup | kSigns},
    // ---- An operator's mishaps
    // The rollback of an in-place fix started in the package's folder, not its backup's.
    {"operator_in_place_rollback_from_package", 212, "from its back up folder only", InstalledInPlace,
     [](M& m) {
         return ContentIs(m.versionDir(1234) + "/libalpha.so", M::PackageContent("libalpha.so", 1240)) +
                ContentIs(Saved(m, "libalpha.so"), M::ProductContent("libalpha.so", 1234)) +
                ContentIs(m.packageDir() + "/libalpha.so", M::PackageContent("libalpha.so", 1240));
     }, {"/u"}},
    // "orvpatch -u" typed in the backup folder: refused, the saved originals stay saved.
    {"operator_mistyped_rollback_in_backup", 2, nullptr, InstalledInPlace,
     [](M& m) {
         return ContentIs(m.versionDir(1234) + "/libalpha.so", M::PackageContent("libalpha.so", 1240)) +
                ContentIs(Saved(m, "libalpha.so"), M::ProductContent("libalpha.so", 1234));
     }, {"-u"}, kFromBackup},
    // An older fix after a newer one installed in place: refused, nothing replaced.
    {"operator_downgrade_after_in_place_fix", 212, "is not newer than the installed hot fix 1250", [](M& m) {
         Package newer = InPlace();
         newer.build = 1250;
         m.WritePackage(newer);
         ASSERT_EQ(0, m.Run().exitStatus);
         m.WritePackage(Package());
     },
     [](M& m) {
         return Expect(!PathExists(NewVersion(m)), "1240 was installed") +
                ContentIs(m.versionDir(1234) + "/libalpha.so", M::PackageContent("libalpha.so", 1250));
     }},
    // In-place 1240 then 1250; 1240 taken out first would lose the originals.
    {"operator_in_place_rollback_out_of_order", 212, "roll back the hot fix 1250 (in-place) first", [](M& m) {
         InstalledInPlace(m);
         Package newer = InPlace();
         newer.build = 1250;
         m.WritePackage(newer);
         ASSERT_EQ(0, m.Run().exitStatus);
     },
     [](M& m) {
         return ContentIs(m.versionDir(1234) + "/libalpha.so", M::PackageContent("libalpha.so", 1250)) +
                ContentIs(Saved(m, "libalpha.so"), M::ProductContent("libalpha.so", 1234)) +
                ContentIs(m.hotfixDir(1250) + "/FileGroup1/libalpha.so", M::PackageContent("libalpha.so", 1240));
     }, {"/u"}, kFromBackup},
    // Held by this test's process until it ends.
    {"operator_second_run_at_once", 212, "holds the product root", [](M& m) { HoldRunLock(m); }, Unchanged},
    // Two real runs: the second is refused while the first waits in its restart.
    {"operator_two_runs_at_once", 212, "holds the product root", StartFirstRun, FirstRunDone, {}, kRunningServer},
    // ---- The run lock: no one but root can take it, nothing but root's file is used
    // What any user who may open the product root can do (held until the test ends).
    {"lock_flock_on_product_root", 0, kSuccess,
     [](M& m) { flock(open(m.productRoot().c_str(), O_RDONLY | O_DIRECTORY), LOCK_EX); }},
    {"lock_file_link", 212, "is not a file only root may open: it is a link",
     [](M& m) { PlantLink(Secret(m), m.productRoot() + "/.orvpatch-lock"); },
     [](M& m) { return Unchanged(m) + TypeIs(m.productRoot() + "/.orvpatch-lock", S_IFLNK) + ContentIs(Secret(m), "root only\n"); },
     {}, kNeedsRoot},
    {"lock_file_fifo", 212, "is not a file only root may open: it is not a regular file",
     [](M& m) { MakeFifo(m.productRoot() + "/.orvpatch-lock"); }, Unchanged},
    {"operator_console_program_gone", 212, "Cannot run the command", [](M& m) {
         const std::string server = m.servers()[0].programDir + "/server";
         ASSERT_EQ(0, rename(server.c_str(), (server + ".moved").c_str()));
     },
     [](M& m) { return Expect(!LogHolds(m.LogMessages(), kSuccess), "the log says the update succeeded"); },
     {}, kRunningServer},
    };
    return cases;
}
// clang-format on

// An entry named like the marker anywhere in the machine (the 2,100-level
// chain aside: the walk goes no deeper than 16 folders).
bool MarkerAnywhere(const std::string& dir, int depth = 0) {
    DIR* d = depth > 16 ? nullptr : opendir(dir.c_str());
    if (d == nullptr) {
        return false;
    }
    bool found = false;
    while (struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        found = found || name == kMark ||
                (e->d_type == DT_DIR && MarkerAnywhere(dir + "/" + name, depth + 1));
    }
    closedir(d);
    return found;
}

// The extension manager and task executables of every program folder.
std::vector<std::string> DominoFiles(const TestMachine& m) {
    std::vector<std::string> present;
    for (const Server& s : m.servers()) {
        for (const std::string& name :
             std::vector<std::string>{"liborvext.so", kTaskNames[0], kTaskNames[1], kTaskNames[2],
                                      kTaskNames[3], kTaskNames[4], kTaskNames[5], kTaskNames[6]}) {
            struct stat st;
            if (stat((s.programDir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                present.push_back(s.programDir + "/" + name);
            }
        }
    }
    return present;
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class HostileInput : public ::testing::TestWithParam<Case> {};

TEST_P(HostileInput, EndsCleanly) {
    const Case& c = GetParam();
    if ((c.flags & kSigns) && !CanSign()) {
        RecordCampaignLine("hostile", c.name, {c.name, "skipped", "", "", "no signify-openbsd"});
        GTEST_SKIP() << "signify-openbsd (Debian signify-openbsd) is not installed";
    }
    if ((c.flags & kNeedsRoot) && geteuid() != 0) {
        RecordCampaignLine("hostile", c.name, {c.name, "skipped", "", "", "needs the superuser"});
        GTEST_SKIP() << "needs the superuser";
    }
    MachineOptions options;
    options.startServers = (c.flags & kRunningServer) != 0;
    options.secondMillis = 1;
    options.severalOwners = (c.flags & kServerUser) == kServerUser;
    TestMachine m(options);
    m.WritePackage(Package());
    if (c.setup) {
        c.setup(m);
    }
    if (HasFatalFailure()) {
        RecordCampaignLine("hostile", c.name, {c.name, "fail", "", "", "the setup failed"});
        return;
    }
    const Snapshot before = Surroundings(m);
    const std::vector<std::string> domino = DominoFiles(m);

    RunOptions run;
    run.args = c.args;
    run.timeoutSeconds = kTimeBound;
    run.callerContext = (c.flags & kCaller) == kCaller;
    run.workDir = (c.flags & kFromBackup) ? m.hotfixDir(1240) : "";
    const bool noDac = (c.flags & kNoDacOverride) == kNoDacOverride;
    // The check's prediction, on the state the run then starts from.
    const Prediction predicted = PredictRun(m, run.args, run.workDir, true, noDac);
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = RunConfined(m, run, noDac);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::vector<std::string> faults;
    if (r.timedOut) {
        faults.push_back("did not end within " + std::to_string(kTimeBound) + " s");
    } else if (r.exitStatus < 0) {
        faults.push_back("ended by a signal");
    } else if (r.exitStatus != c.exit) {
        faults.push_back("exit status " + std::to_string(r.exitStatus) + ", not " +
                         std::to_string(c.exit));
    }
    const std::string disagreement =
        predicted.compared ? Disagreement(predicted, r.exitStatus, r.out) : "";
    if (!disagreement.empty()) {
        faults.push_back("orvpatch-check disagrees: " + disagreement);
    }
    if (MarkerAnywhere(m.root())) {
        faults.push_back("a smuggled command ran");
    }
    if (c.logs != nullptr && !LogHolds(r.log, c.logs)) {
        faults.push_back(std::string("no log line holds '") + c.logs + "'");
    }
    for (const std::string& diff : DiffSnapshots(before, Surroundings(m))) {
        faults.push_back("outside the product: " + diff);
    }
    const std::vector<std::string> after = DominoFiles(m);
    for (const std::string& path : domino) {
        if (std::find(after.begin(), after.end(), path) == after.end()) {
            faults.push_back("lost " + path);
        }
    }
    if (c.check) {
        const std::string problem = c.check(m);
        if (!problem.empty()) {
            faults.push_back(problem);
        }
    }

    const bool known = kKnownFailures.count(c.name) != 0;
    const std::string summary = JoinFaults(faults);
    const std::string verdict =
        faults.empty() ? (known ? "pass-but-listed" : "pass") : (known ? "known-failure" : "fail");
    RecordCampaignLine(
        "hostile", c.name,
        {c.name, verdict, std::to_string(r.exitStatus), std::to_string(seconds), summary,
         !predicted.compared    ? "not compared"
         : disagreement.empty() ? "agrees"
                                : "disagrees"});
    if (faults.empty() && known) {
        std::fprintf(stderr, "%s passes now: take it off the known-failures list\n", c.name);
    }
    if (!faults.empty() && known) {
        GTEST_SKIP() << "known failure: " << summary;
    }
    for (const std::string& f : faults) {
        ADD_FAILURE() << f;
    }
    if (!faults.empty()) {
        for (const std::string& line : r.log) {
            std::fprintf(stderr, "  log: %s\n", line.c_str());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileInput, ::testing::ValuesIn(Corpus()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

TEST(HostileInputCorpus, HasEveryKindOfCase) {
    EXPECT_GE(Corpus().size(), 60u);
    std::set<std::string> names;
    for (const Case& c : Corpus()) {
        EXPECT_TRUE(names.insert(c.name).second) << c.name << " twice";
    }
    for (const std::string& known : kKnownFailures) {
        EXPECT_EQ(1u, names.count(known)) << known << " is listed but no case has that name";
    }
}

}  // namespace
