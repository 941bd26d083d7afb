// A demonstration on a self-contained test machine: two simulated Domino
// servers with their ORV tasks loaded, a hot fix for a newer build installed
// into a new version folder, then taken out again; then orvpatch-check's
// report on a second fix, that fix installed in place and rolled back from
// the backup the update left in hotfix/B<build>. After each run it shows the
// exit status, what the run printed, the log lines it added, where
// program/latest points and the console commands each server received.
// Paths are shown as the patcher sees them, without the test folder in front.
//
// Interrupted (Ctrl-C, SIGTERM, SIGHUP), it ends the program it is running,
// every simulator process and the test folder before it exits with 130.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestMachine.h"

using testsupport::MachineOptions;
using testsupport::Package;
using testsupport::RunOptions;
using testsupport::RunResult;
using testsupport::TestMachine;

namespace {

// --------------------------------------------------------- interruption

int g_signalPipe[2] = {-1, -1};
std::mutex g_machineLock;          // held by the watcher from the interruption on
TestMachine* g_machine = nullptr;  // set while a machine exists

void SetMachine(TestMachine* machine) {
    std::lock_guard<std::mutex> hold(g_machineLock);
    g_machine = machine;
}

// Makes a machine known to the watcher for as long as it exists, also when
// the demonstration ends by an exception.
struct KnownMachine {
    explicit KnownMachine(TestMachine& machine) { SetMachine(&machine); }
    ~KnownMachine() { SetMachine(nullptr); }
    KnownMachine(const KnownMachine&) = delete;
    KnownMachine& operator=(const KnownMachine&) = delete;
};
std::atomic<bool> g_interrupted(false);

// Called by the demonstration between its steps: once interrupted, it starts
// nothing more and waits for the watcher to clean up and end the process.
void StopHereIfInterrupted() {
    while (g_interrupted.load()) {
        pause();
    }
}

void OnSignal(int /*signal*/) {
    const char byte = 1;
    ssize_t written = write(g_signalPipe[1], &byte, 1);
    (void)written;
}

// Kills the demonstration's own child processes (the patcher or the check it
// is running at that moment), found by their parent in /proc.
void KillChildren() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return;
    }
    const pid_t self = getpid();
    while (struct dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') {
            continue;
        }
        std::string stat = testsupport::ReadFile("/proc/" + std::string(entry->d_name) + "/stat");
        // pid (comm) state ppid ...: the name may hold anything, so read after the last ')'.
        std::string::size_type close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == self) {
            kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    closedir(proc);
}

// Waits for a signal on its own thread; the handler only writes a byte, so
// the cleaning up happens here, outside any signal handler.
void WatchForInterruption() {
    char byte = 0;
    while (read(g_signalPipe[0], &byte, 1) < 0) {
    }
    g_interrupted.store(true);
    std::fprintf(stderr, "\norvpatch-demo: interrupted; stopping the simulated servers\n");
    // A child started just before the flag was seen shows up in /proc by the
    // second sweep; after that the demonstration starts nothing more.
    KillChildren();
    usleep(50 * 1000);
    KillChildren();
    g_machineLock.lock();  // never released: the process ends below
    if (g_machine != nullptr) {
        for (const testsupport::Server& server : g_machine->servers()) {
            testsupport::StopAll(server.dataDir);
        }
        testsupport::RemoveTree(g_machine->root());
    }
    _exit(130);
}

void HandleInterruption() {
    if (pipe(g_signalPipe) != 0) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    std::thread(WatchForInterruption).detach();
}

// ------------------------------------------------------------- showing

// Replaces every occurrence of the test folder by nothing, so that paths
// read as they would on a real machine.
std::string Plain(const TestMachine& m, std::string text) {
    const std::string& root = m.root();
    for (std::string::size_type at = text.find(root); at != std::string::npos;
         at = text.find(root, at)) {
        text.erase(at, root.size());
    }
    return text;
}

void Show(const TestMachine& m, const char* title, const RunResult& r) {
    std::printf("\n== %s\n", title);
    std::printf("exit status: %d%s\n", r.exitStatus, r.timedOut ? " (stopped: took too long)" : "");
    std::printf("standard output: %s\n",
                r.out.empty() ? "(nothing)" : ("\"" + r.out + "\"").c_str());
    std::printf("log lines added (%zu):\n", r.log.size());
    for (const std::string& line : r.log) {
        std::printf("  %s\n", Plain(m, line).c_str());
    }
    std::string latest = m.LatestTarget();
    std::printf("program/latest -> %s\n", latest.empty() ? "(no link)" : Plain(m, latest).c_str());
    for (size_t i = 0; i < m.servers().size(); ++i) {
        std::vector<std::string> commands = r.commands(i);
        std::printf("console commands of server %zu (%s): %zu\n", i,
                    Plain(m, m.servers()[i].dataDir).c_str(), commands.size());
        for (const std::string& c : commands) {
            std::printf("  %s\n", c.c_str());
        }
    }
    std::fflush(stdout);
}

// Runs orvpatch-check against the machine and shows its report.
int ShowCheck(const TestMachine& m, TestMachine& run, const char* title,
              const std::vector<std::string>& args) {
    RunOptions how;
    how.program = "orvpatch-check";
    how.args = {"--root", m.root()};
    how.args.insert(how.args.end(), args.begin(), args.end());
    StopHereIfInterrupted();
    RunResult r = run.Run(how);
    StopHereIfInterrupted();
    std::printf("\n== %s\n", title);
    std::printf("%s", Plain(m, r.out + r.err).c_str());
    std::printf("exit status: %d; log lines added: %zu; console commands sent: %zu\n", r.exitStatus,
                r.log.size(), r.commands(0).size() + r.commands(1).size());
    std::fflush(stdout);
    return r.exitStatus;
}

int Demonstrate() {
    MachineOptions options;
    options.servers = 2;
    options.builds = {1234};
    options.latest = 1234;
    options.secondMillis = 10;
    TestMachine m(options);
    KnownMachine known(m);

    Package fix;
    fix.build = 1240;
    fix.files = {"libalpha.so", "liborvext.so"};
    fix.updateLoader = 1;
    m.WritePackage(fix);

    std::printf("orvpatch demonstration on a test machine in %s\n", m.root().c_str());
    std::printf("one patcher second lasts %ld ms here\n", options.secondMillis);
    std::printf("installed: /opt/varnel/ORV/program/V3.0.0.1234, program/latest -> %s\n",
                Plain(m, m.LatestTarget()).c_str());
    std::printf("servers: 2, each with orvemf, orvsch, orvreal, orvmon and orvdbs loaded\n");
    std::printf(
        "hot fix: build 1240 with libalpha.so and liborvext.so, into a new version "
        "folder, loaders updated\n");

    StopHereIfInterrupted();
    RunResult update = m.Run();
    StopHereIfInterrupted();
    Show(m, "Update: orvpatch-testbed, run from /package", update);
    bool updated = update.exitStatus == 0 && m.LatestTarget() == m.versionDir(1240) + "/";

    StopHereIfInterrupted();
    RunResult rollback = m.Run({"/u"});
    StopHereIfInterrupted();
    Show(m, "Rollback: orvpatch-testbed /u, run from /package", rollback);
    bool rolledBack = rollback.exitStatus == 0 && m.LatestTarget() == m.versionDir(1234) + "/" &&
                      !testsupport::PathExists(m.versionDir(1240));

    // A second fix, in place this time: checked first, then installed, then
    // taken back out from the backup in hotfix/B1250.
    Package inPlace;
    inPlace.build = 1250;
    inPlace.files = {"libalpha.so", "libgamma.so"};
    inPlace.createNewFolder = "0";
    m.WritePackage(inPlace);
    std::printf(
        "\nsecond hot fix: build 1250 with libalpha.so and libgamma.so, in place "
        "(CreateNewFolder=0)\n");
    int checked = ShowCheck(m, m, "Check: orvpatch-check --mode update, run from /package",
                            {"--mode", "update"});

    StopHereIfInterrupted();
    RunResult installed = m.Run();
    StopHereIfInterrupted();
    Show(m, "In-place update: orvpatch-testbed, run from /package", installed);
    const std::string current = m.versionDir(1234);
    bool fixed = installed.exitStatus == 0 &&
                 testsupport::ReadFile(current + "/libalpha.so") ==
                     TestMachine::PackageContent("libalpha.so", 1250) &&
                 testsupport::PathExists(m.hotfixDir(1250) + "/FileGroup1/orvpatch.ini");

    RunOptions back;
    back.args = {"/u"};
    back.workDir = m.hotfixDir(1250);
    StopHereIfInterrupted();
    RunResult undo = m.Run(back);
    StopHereIfInterrupted();
    Show(m, "In-place rollback: orvpatch-testbed /u, run from /opt/varnel/ORV/hotfix/B1250", undo);
    bool undone = undo.exitStatus == 0 &&
                  testsupport::ReadFile(current + "/libalpha.so") ==
                      TestMachine::ProductContent("libalpha.so", 1234) &&
                  !testsupport::PathExists(m.hotfixDir(1250) + "/FileGroup1");

    std::printf("\nupdate %s, rollback %s, check %s, in-place update %s, in-place rollback %s\n",
                updated ? "done" : "FAILED", rolledBack ? "done" : "FAILED",
                checked == 0 ? "passed" : "FAILED", fixed ? "done" : "FAILED",
                undone ? "done" : "FAILED");
    return updated && rolledBack && checked == 0 && fixed && undone ? 0 : 1;
}

}  // namespace

int main() {
    HandleInterruption();
    int status = 1;
    try {
        status = Demonstrate();
    } catch (const std::exception& e) {
        StopHereIfInterrupted();
        std::fprintf(stderr, "orvpatch-demo: %s\n", e.what());
    }
    StopHereIfInterrupted();
    return status;
}
