// Console commands: run directly (never through a shell), under the owner
// of notes.ini, with a time limit; and the patcher's waits.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/debug.h"
#include "support/DominoSim.h"
#include "support/LogCapture.h"
#include "support/ServerSetup.h"
#include "support/TempDir.h"

using namespace testsupport;

namespace {

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

class ConsoleTest : public ::testing::Test {
  protected:
    ConsoleTest() {
        setenv("ORVPATCH_TESTBED_SECOND_MS", "5", 1);
        LogDebugMessage(1, "test start");  // the log exists, open to every user
    }
    ~ConsoleTest() override { unsetenv("ORVPATCH_TESTBED_SECOND_MS"); }

    LogCapture log;
    SimGuard guard;
};

TEST_F(ConsoleTest, CommandReachesTheServerWithItsEnvironmentAndIsLogged) {
    SimInstallation s = MakeSimInstallation(log.root() + "/dom");
    guard.watch(s.data);
    StartServer(s.data);
    std::string before = WorkingFolder();

    RunDominoCommand(s.notesIni.c_str(), s.bin.c_str(), "te orvreal quit");

    EXPECT_EQ(WorkingFolder(), before);  // the patcher's own folder never changes
    std::vector<JournalEntry> journal = ReadJournal(s.data);
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].command, "te orvreal quit");
    EXPECT_EQ(journal[0].ldLibraryPath, s.bin);
    EXPECT_EQ(journal[0].workDir, s.bin);
    EXPECT_EQ(journal[0].notesIni, s.notesIni);
    EXPECT_EQ(journal[0].ruid, getuid());  // no identity recorded: runs as the patcher
    std::string line = "LD_LIBRARY_PATH=" + s.bin + " " + s.bin + "/server =" + s.notesIni +
                       " -c \"te orvreal quit\"";
    EXPECT_EQ(log.MessagesWith("Submit command '" + line + "' to restart the ORV").size(), 1u);
    EXPECT_TRUE(log.MessagesWith("Error: ").empty());
}

TEST_F(ConsoleTest, PathsAndCommandsAreNeverInterpretedByAShell) {
    // Folder and file names an unguarded shell would act on.
    std::string base = log.root() + "/dom $(touch injected) `touch injected2`; touch injected3";
    SimInstallation s = MakeSimInstallation(base);
    std::string notesIni = s.data + "/notes 'x\" $(touch injected4)\n.ini";
    WriteFile(notesIni, ReadFile(s.notesIni));
    SimInstallation bystander = MakeSimInstallation(log.root() + "/other");
    guard.watch(s.data);
    guard.watch(bystander.data);
    StartServer(s.data);
    StartServer(bystander.data);

    RunDominoCommand(notesIni.c_str(), s.bin.c_str(), "load orvreal; touch injected5 $(touch x)");

    for (const std::string& folder : {WorkingFolder(), log.root(), base, s.bin, s.data}) {
        for (const char* name : {"injected", "injected2", "injected3", "injected4", "injected5"}) {
            EXPECT_FALSE(PathExists(folder + "/" + name)) << folder << "/" << name;
        }
    }
    std::vector<JournalEntry> journal = ReadJournal(s.data);
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].command, "load orvreal; touch injected5 $(touch x)");
    EXPECT_EQ(journal[0].notesIni, notesIni);
    EXPECT_EQ(journal[0].ldLibraryPath, s.bin);
    EXPECT_TRUE(JournalCommands(bystander.data).empty());
    // The line end in the path is shown escaped: still one log line.
    std::vector<std::string> submitted = log.MessagesWith("Submit command 'LD_LIBRARY_PATH=");
    ASSERT_EQ(submitted.size(), 1u);
    EXPECT_NE(submitted[0].find("\\n.ini -c \"load orvreal;"), std::string::npos);
    EXPECT_NE(submitted[0].find("' to restart the ORV"), std::string::npos);
}

TEST_F(ConsoleTest, FailuresToRunAndCommandsThatHangAreReportedAndTheRunGoesOn) {
    // No server executable in the program folder.
    std::string empty = log.root() + "/empty";
    WriteFile(empty + "/notes.ini", "[Notes]\n");
    RunDominoCommand((empty + "/notes.ini").c_str(), empty.c_str(), "load orvemf");
    EXPECT_EQ(log.MessagesWith("Submit command 'LD_LIBRARY_PATH=" + empty).size(), 1u);
    EXPECT_EQ(log.MessagesWith("Error: Cannot run the command 'load orvemf'").size(), 1u);
    // A notes.ini whose owner cannot be told, or a program folder that is no
    // absolute path: the command is never sent, under any identity.
    log.Clear();
    RunDominoCommand((empty + "/gone.ini").c_str(), empty.c_str(), "load orvsch");
    RunDominoCommand((empty + "/notes.ini").c_str(), "", "load orvmon");
    EXPECT_TRUE(log.MessagesWith("Submit command").empty());
    EXPECT_EQ(log.MessagesWith("Error: Cannot run the command 'load orvsch'").size(), 1u);
    EXPECT_EQ(log.MessagesWith("Error: Cannot run the command 'load orvmon'").size(), 1u);

    // A console that never answers is killed after 300 of the patcher's seconds.
    SimInstallation s = MakeSimInstallation(log.root() + "/dom");
    guard.watch(s.data);
    StartServer(s.data);
    SetConsoleDelay(s.data, 600000);
    auto start = std::chrono::steady_clock::now();
    RunDominoCommand(s.notesIni.c_str(), s.bin.c_str(), "te orvsch quit");
    long long took = ElapsedMs(start);
    EXPECT_GE(took, 300 * 5 - 50);
    EXPECT_LT(took, 20000);
    EXPECT_EQ(JournalCommands(s.data), std::vector<std::string>{"te orvsch quit"});
    std::vector<std::string> errors = log.MessagesWith("Error: The command 'te orvsch quit'");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("did not end within 300 seconds and was killed"), std::string::npos);

    // It failed, and the console work of that installation ends with it
    // (another installation is served as usual: ConsoleBudget in tasks_test).
    SetConsoleDelay(s.data, 0);
    RunDominoCommand(s.notesIni.c_str(), s.bin.c_str(), "load orvsch");
    EXPECT_EQ(JournalCommands(s.data), std::vector<std::string>{"te orvsch quit"});
}

TEST_F(ConsoleTest, CommandsRunUnderTheOwnerOfNotesIniWhileThePatcherKeepsItsIdentity) {
    std::string missing = log.root() + "/no/notes.ini";
    EXPECT_EQ(ChangeUser(&missing[0]), 1);
    EXPECT_EQ(log.MessagesWith("Cannot get the fstat for file '" + missing + "'.").size(), 1u);
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to own files as other users";
    }
    SimInstallation owned = MakeSimInstallation(log.root() + "/owned");
    SimInstallation plain = MakeSimInstallation(log.root() + "/plain");
    ASSERT_EQ(chown(owned.notesIni.c_str(), 65534, 65533), 0);
    ASSERT_EQ(chown(owned.data.c_str(), 65534, 65533), 0);
    guard.watch(owned.data);
    guard.watch(plain.data);
    StartServer(owned.data);
    StartServer(plain.data);

    std::string path = owned.notesIni;
    EXPECT_EQ(ChangeUser(&path[0]), 0);
    EXPECT_EQ(getuid(), 0u);
    EXPECT_EQ(geteuid(), 0u);
    RunDominoCommand(owned.notesIni.c_str(), owned.bin.c_str(), "load orvemf");
    RunDominoCommand(plain.notesIni.c_str(), plain.bin.c_str(), "load orvemf");

    std::vector<JournalEntry> o = ReadJournal(owned.data);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].ruid, 65534u);
    EXPECT_EQ(o[0].euid, 65534u);
    // The owner's primary group (nobody's account entry), not the file's group.
    EXPECT_EQ(o[0].rgid, 65534u);
    EXPECT_EQ(o[0].egid, 65534u);
    EXPECT_EQ(o[0].supplementaryGroups, 0);
    std::vector<JournalEntry> p = ReadJournal(plain.data);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].ruid, 0u);  // no identity taken for this one
    EXPECT_TRUE(TaskRunning(owned.data, "orvemf"));

    // Another user cannot act as root's installation, but as its own.
    std::string rootOwned = plain.notesIni;
    int answer = RunAsUser(65534, 65534, [&]() {
        std::string a = rootOwned;
        std::string b = owned.notesIni;
        if (ChangeUser(&a[0]) != 1 || ChangeUser(&b[0]) != 0) {
            return 1;
        }
        RunDominoCommand(b.c_str(), owned.bin.c_str(), "te orvemf quit");
        return 0;
    });
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(log.MessagesWith("Cannot set the uid to 0").size(), 1u);
    o = ReadJournal(owned.data);
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[1].command, "te orvemf quit");
    EXPECT_EQ(o[1].ruid, 65534u);
}

TEST_F(ConsoleTest, SleepLastsThePatchersSeconds) {
    setenv("ORVPATCH_TESTBED_SECOND_MS", "20", 1);
    auto start = std::chrono::steady_clock::now();
    KvORVSleep(3);
    EXPECT_GE(ElapsedMs(start), 60);
    // No wait at all for none or a negative count: with a second of one real
    // second, even a single second slept would show, and a busy machine not.
    setenv("ORVPATCH_TESTBED_SECOND_MS", "1000", 1);
    start = std::chrono::steady_clock::now();
    KvORVSleep(0);
    KvORVSleep(-5);
    EXPECT_LT(ElapsedMs(start), 500);
}

}  // namespace
