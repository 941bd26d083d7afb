// A demonstration on a self-contained test machine: two simulated Domino
// servers with their ORV tasks loaded, a hot fix for a newer build installed
// into a new version folder, then taken out again. After each run it shows
// the exit status, what the run printed, the log lines it added, where
// program/latest points and the console commands each server received.
// Paths are shown as the patcher sees them, without the test folder in front.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "support/TestMachine.h"

using testsupport::MachineOptions;
using testsupport::Package;
using testsupport::RunResult;
using testsupport::TestMachine;

namespace {

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

int Demonstrate() {
    MachineOptions options;
    options.servers = 2;
    options.builds = {1234};
    options.latest = 1234;
    options.secondMillis = 10;
    TestMachine m(options);

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

    RunResult update = m.Run();
    Show(m, "Update: orvpatch-testbed, run from /package", update);
    bool updated = update.exitStatus == 0 && m.LatestTarget() == m.versionDir(1240) + "/";

    RunResult rollback = m.Run({"/u"});
    Show(m, "Rollback: orvpatch-testbed /u, run from /package", rollback);
    bool rolledBack = rollback.exitStatus == 0 && m.LatestTarget() == m.versionDir(1234) + "/" &&
                      !testsupport::PathExists(m.versionDir(1240));

    std::printf("\nupdate %s, rollback %s\n", updated ? "done" : "FAILED",
                rolledBack ? "done" : "FAILED");
    return updated && rolledBack ? 0 : 1;
}

}  // namespace

int main() {
    try {
        return Demonstrate();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvpatch-demo: %s\n", e.what());
        return 1;
    }
}
