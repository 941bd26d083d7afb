// Stopping, counting, loading and restarting the ORV tasks against simulated
// servers, checked through the commands each server received.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"
#include "support/DominoSim.h"
#include "support/LogCapture.h"
#include "support/ServerSetup.h"
#include "support/TempDir.h"
#include "support/TestMachine.h"

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

class TasksTest : public ::testing::Test {
  protected:
    TasksTest() {
        SecondMs(5);
        LogDebugMessage(1, "test start");  // the log exists, open to every user
        s = MakeSimInstallation(log.root() + "/dom");
        guard.watch(s.data);
        info = s.info();
    }
    ~TasksTest() override { unsetenv("ORVPATCH_TESTBED_SECOND_MS"); }

    static void SecondMs(int ms) {
        setenv("ORVPATCH_TESTBED_SECOND_MS", std::to_string(ms).c_str(), 1);
    }
    void Start(const std::vector<std::string>& tasks) {
        StartServer(s.data);
        for (const std::string& t : tasks) {
            StartTask(s.data, t);
        }
    }
    std::vector<std::string> Commands() { return JournalCommands(s.data); }

    LogCapture log;
    SimGuard guard;
    SimInstallation s;
    ORVInsInfo info;
};

TEST_F(TasksTest, StopSendsQuitToRunningTasksAndAlwaysToTheMonitor) {
    // Tasks running but no server: nothing is sent.
    StartTask(s.data, "orvreal");
    EXPECT_EQ(StopAllORV(&info, nullptr), 1);
    EXPECT_TRUE(Commands().empty());

    StartServer(s.data);
    for (const char* t : {"orvsch", "orvemf", "orvdbs", "orvupd", "orvmon"}) {
        StartTask(s.data, t);
    }
    EXPECT_EQ(StopAllORV(&info, nullptr), 1);
    EXPECT_THAT(Commands(), ElementsAre("te orvreal quit", "te orvdbs quit", "te orvemf quit",
                                        "te orvsch quit", "te orvmon quit"));
}

TEST_F(TasksTest, StopWithOnlyTheUpdaterRunningSendsJustTheMonitorQuit) {
    Start({"orvupd"});
    EXPECT_EQ(StopAllORV(&info, nullptr), 1);
    EXPECT_THAT(Commands(), ElementsAre("te orvmon quit"));
    int counter = 0;
    EXPECT_EQ(GetRunningORVNum(&info, &counter), 1);
    EXPECT_EQ(counter, 1);
}

TEST_F(TasksTest, CountOverAWalkAddsUpEveryInstallationWhateverItsServerState) {
    // What the rollback's wait counts: orvreal, orvdbs and orvupd of every
    // installation, also where the server has stopped, and nothing is sent.
    SimInstallation second = MakeSimInstallation(log.root() + "/dom2");
    guard.watch(second.data);
    Start({"orvreal", "orvupd", "orvemf", "orvsch", "orvmon"});
    StartTask(second.data, "orvreal");  // its server is not running
    StartTask(second.data, "orvdbs");
    WriteRegistryFile(log.root(), "/opt/varnel/ORV", {s, second});
    int running = 0;
    EXPECT_EQ(ParseORVInsINI(GetRunningORVNum, &running), 0);
    EXPECT_EQ(running, 4);
    StopServer(s.data);
    running = 0;
    EXPECT_EQ(ParseORVInsINI(GetRunningORVNum, &running), 0);
    EXPECT_EQ(running, 4);
    EXPECT_EQ(GetRunningORVNum(&info, nullptr), 1);
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(JournalCommands(second.data).empty());
}

TEST_F(TasksTest, LoadStartsWhatIsNotRunningAndAlwaysTheMonitor) {
    EXPECT_EQ(LoadAllORV(&info, nullptr), 1);  // no server: nothing sent
    EXPECT_TRUE(Commands().empty());

    Start({"orvemf", "orvreal"});
    EXPECT_EQ(LoadAllORV(&info, nullptr), 1);
    EXPECT_THAT(Commands(), ElementsAre("load orvsch", "load orvmon"));
    EXPECT_TRUE(TaskRunning(s.data, "orvsch"));
    EXPECT_TRUE(TaskRunning(s.data, "orvmon"));
}

TEST_F(TasksTest, LoadOnAnIdleServerLoadsFourTasksInOrder) {
    Start({});
    EXPECT_EQ(LoadAllORV(&info, nullptr), 1);
    EXPECT_THAT(Commands(),
                ElementsAre("load orvemf", "load orvsch", "load orvmon", "load orvreal"));
    for (const char* t : {"orvemf", "orvsch", "orvmon", "orvreal"}) {
        EXPECT_TRUE(TaskRunning(s.data, t)) << t;
    }
}

TEST_F(TasksTest, RestartOrderAndWaits) {
    SecondMs(20);
    Start({"orvemf", "orvsch", "orvreal", "orvmon"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(RestartAllORV(&info, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::vector<JournalEntry> j = ReadJournal(s.data);
    std::vector<std::string> commands;
    for (const JournalEntry& e : j) {
        commands.push_back(e.command);
    }
    ASSERT_THAT(commands,
                ElementsAre("te orvemf quit", "load orvemf", "te orvsch quit", "load orvsch",
                            "te orvreal quit", "load orvreal", "te orvmon quit", "load orvmon"));
    // 2, 2, 5 and 1 seconds of 20 ms between each quit and its load.
    EXPECT_GE(j[1].timeMs - j[0].timeMs, 40);
    EXPECT_GE(j[3].timeMs - j[2].timeMs, 40);
    EXPECT_GE(j[5].timeMs - j[4].timeMs, 100);
    EXPECT_GE(j[7].timeMs - j[6].timeMs, 20);
    for (const char* t : {"orvemf", "orvsch", "orvreal", "orvmon"}) {
        EXPECT_TRUE(TaskRunning(s.data, t)) << t;
    }
}

TEST_F(TasksTest, RestartOfStoppedTasksLoadsThemAndStillCyclesTheMonitor) {
    Start({});
    EXPECT_EQ(RestartAllORV(&info, nullptr), 1);
    EXPECT_THAT(Commands(), ElementsAre("load orvemf", "load orvsch", "load orvreal",
                                        "te orvmon quit", "load orvmon"));
}

TEST_F(TasksTest, RestartWithoutARunningServerSendsNothing) {
    EXPECT_EQ(RestartAllORV(&info, nullptr), 1);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(log.MessagesWith("Domino isnot running now.").size(), 1u);
}

TEST_F(TasksTest, RealTaskThatNeverEndsIsAskedAtMost121MoreTimesAndNeverLoadedTwice) {
    // Seconds long enough that 122 commands, each taking some real
    // milliseconds to start, stay well within the console budget.
    SecondMs(10);
    Start({"orvreal"});
    SetTaskQuitDelay(s.data, "orvreal", -1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(RestartTasks(info, RunContext()));
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> c = Commands();
    EXPECT_EQ(std::count(c.begin(), c.end(), "te orvreal quit"), 1 + 121);
    EXPECT_EQ(out, std::string(120, '.'));
    EXPECT_EQ(std::count(c.begin(), c.end(), "load orvreal"), 0);
    ASSERT_GE(c.size(), 2u);
    EXPECT_THAT(std::vector<std::string>(c.end() - 2, c.end()),
                ElementsAre("te orvmon quit", "load orvmon"));
    EXPECT_EQ(log.MessagesWith("Error: The task orvreal of the server in (" + s.data +
                               ") did not quit within 610 seconds, so it is not loaded again.")
                  .size(),
              1u);
}

TEST_F(TasksTest, RealTaskThatEndsLateGetsOneDotPerRepeatedQuit) {
    SecondMs(10);
    Start({"orvreal"});
    // The task ends only once it has been asked three times, however slowly
    // the machine runs: at least two of the quits were repeats.
    SetTaskQuitDelay(s.data, "orvreal", -1);
    std::atomic<bool> restarted{false};
    std::thread release([&] {
        while (!restarted) {
            std::vector<std::string> c = JournalCommands(s.data);
            if (std::count(c.begin(), c.end(), "te orvreal quit") >= 3) {
                SetTaskQuitDelay(s.data, "orvreal", 0);
                return;
            }
            usleep(2000);
        }
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(RestartAllORV(&info, nullptr), 1);
    std::string out = testing::internal::GetCapturedStdout();
    restarted = true;
    release.join();
    std::vector<std::string> c = Commands();
    long repeats = std::count(c.begin(), c.end(), "te orvreal quit") - 1;
    EXPECT_GE(repeats, 2);
    EXPECT_LT(repeats, 121);  // it ended before the last round
    EXPECT_EQ(out, std::string(static_cast<size_t>(std::max(repeats, 0L)), '.'));
    EXPECT_EQ(std::count(c.begin(), c.end(), "load orvreal"), 1);
}

TEST_F(TasksTest, IdentityThatCannotBeTakenStopsTheWalk) {
    SimInstallation second = MakeSimInstallation(log.root() + "/dom2");
    guard.watch(second.data);
    StartServer(second.data);
    StartServer(s.data);
    // Installation 0's notes.ini is gone; the registry still names its program folder.
    ::unlink(s.notesIni.c_str());
    WriteRegistryFile(log.root(), "/opt/varnel/ORV", {s, second});
    EXPECT_EQ(ParseORVInsINI(RestartAllORV, nullptr), 0);
    EXPECT_EQ(log.MessagesWith("Cannot get the fstat for file '" + s.notesIni + "'.").size(), 1u);
    EXPECT_EQ(log.MessagesWith("The callback return FALSE, so break out.").size(), 1u);
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(JournalCommands(second.data).empty());
}

TEST_F(TasksTest, TwoInstallationsOfTwoOwnersAreBothRestartedEachUnderItsOwner) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to own files as other users";
    }
    SimInstallation second = MakeSimInstallation(log.root() + "/dom2");
    guard.watch(second.data);
    for (const std::string& path : {s.notesIni, s.data}) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    for (const std::string& path : {second.notesIni, second.data}) {
        ASSERT_EQ(chown(path.c_str(), 65533, 65533), 0);
    }
    for (const SimInstallation& i : {s, second}) {
        StartServer(i.data);
        for (const char* t : {"orvemf", "orvsch", "orvreal", "orvmon"}) {
            StartTask(i.data, t);
        }
    }
    WriteRegistryFile(log.root(), "/opt/varnel/ORV", {s, second});

    EXPECT_EQ(ParseORVInsINI(RestartAllORV, nullptr), 0);

    EXPECT_EQ(getuid(), 0u);
    EXPECT_EQ(geteuid(), 0u);
    const std::vector<std::string> expected = {
        "te orvemf quit",  "load orvemf",  "te orvsch quit", "load orvsch",
        "te orvreal quit", "load orvreal", "te orvmon quit", "load orvmon"};
    uid_t owners[] = {65534, 65533};
    const SimInstallation* installs[] = {&s, &second};
    for (int k = 0; k < 2; ++k) {
        std::vector<JournalEntry> j = ReadJournal(installs[k]->data);
        std::vector<std::string> commands;
        for (const JournalEntry& e : j) {
            commands.push_back(e.command);
            EXPECT_EQ(e.ruid, owners[k]) << e.command;
            EXPECT_EQ(e.euid, owners[k]) << e.command;
            EXPECT_EQ(e.egid, owners[k]) << e.command;
            EXPECT_EQ(e.supplementaryGroups, 0) << e.command;
        }
        EXPECT_EQ(commands, expected) << installs[k]->data;
        EXPECT_TRUE(TaskRunning(installs[k]->data, "orvreal"));
    }
    EXPECT_TRUE(log.MessagesWith("Cannot set the uid").empty());
}

// One time budget per installation's console work (of 2 ms seconds here): a
// console that never answers ends that installation's work at its first
// command's limit, one that answers slowly once the budget is spent; the
// other installation is restarted in full, and the run ends with 212.
TEST(ConsoleBudget, AStalledOrSlowConsoleEndsItsInstallationsWorkAndTheRunFails) {
    const struct {
        int delaySeconds;     // how long the first server's console takes per command
        const char* line;     // what the run logs about it, before "<data folder>)"
        size_t fewest, most;  // how many commands reached it (the slow row: 4 or 5 of 400 s fit)
    } rows[] = {
        {3600,
         "' did not end within 300 seconds and was killed, so the console work of the server in (",
         1, 1},
        {400, "Error: The console work of the server in (", 4, 5},
    };
    for (const auto& row : rows) {
        MachineOptions options;
        options.servers = 2;
        options.secondMillis = 2;
        TestMachine m(options);
        m.WritePackage(Package());
        SetConsoleDelay(m.servers()[0].dataDir, row.delaySeconds * 2);
        RunOptions run;
        run.timeoutSeconds = 60;
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = m.Run(run);
        const auto took = std::chrono::steady_clock::now() - start;

        EXPECT_EQ(r.exitStatus, 212) << row.delaySeconds;
        EXPECT_LT(took, std::chrono::milliseconds(1800 * 2 + 4000)) << row.delaySeconds;
        const size_t sent = r.commands(0).size();
        EXPECT_TRUE(sent >= row.fewest && sent <= row.most) << sent << Listing(r.log);
        const std::string line = row.line + m.servers()[0].dataDir + ")";
        EXPECT_TRUE(std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) {
            return l.find(line) != std::string::npos;
        })) << Listing(r.log);
        EXPECT_EQ(r.commands(1).back(), "load orvmon");
    }
}

}  // namespace
