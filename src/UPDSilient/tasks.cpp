// Stopping, counting, loading and restarting the ORV tasks of one
// installation: registry callbacks that probe the lock files and send
// "te <task> quit" and "load <task>" console commands.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/console_identity.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"

namespace {

// Waits of the restart, in seconds.
const int kQuickTaskWait = 2;  // orvemf and orvsch
const int kRealTaskWait = 5;   // each round of orvreal
const int kMonitorWait = 1;    // orvmon
// Repeated quit commands sent to orvreal before the restart gives up on it.
const int kRealTaskMaxRepeats = 120;
// How much longer than its wait a task asked to quit may take before the
// restart gives up on it, and how long a loaded task may take to show its
// lock, in seconds.
const int kQuitGrace = 30;
const int kLoadGrace = 10;

// The tasks a restart cycles, in order, with the wait after each quit. The
// monitor is asked to quit whether or not it runs.
struct RestartItem {
    const char* task;
    int wait;
    bool alwaysQuit;
};
const RestartItem kRestartOrder[] = {{"orvemf", kQuickTaskWait, false},
                                     {"orvsch", kQuickTaskWait, false},
                                     {"orvreal", kRealTaskWait, false},
                                     {"orvmon", kMonitorWait, true}};

bool Running(const ORVInsInfo& info, const char* task) {
    return IsORVRun(info.strDataPath.c_str(), task) == 1;
}

bool Send(const ORVInsInfo& info, const RunContext& context, const std::string& command) {
    return SendDominoCommand(info, context, command);
}

bool Quit(const ORVInsInfo& info, const RunContext& context, const std::string& task) {
    return Send(info, context, "te " + task + " quit");
}

bool Load(const ORVInsInfo& info, const RunContext& context, const std::string& task) {
    return Send(info, context, "load " + task);
}

// Waits up to `seconds` for the task to be running (or, with `running`
// false, to have ended); whether it got there.
bool WaitFor(const ORVInsInfo& info, const char* task, bool running, int seconds) {
    for (int waited = 0; Running(info, task) != running; ++waited) {
        if (waited >= seconds || ConsoleWorkEnded(info)) {
            return false;
        }
        KvORVSleep(1);
    }
    return true;
}

void LogNotEnded(const ORVInsInfo& info, const char* task, int seconds) {
    LogDebugMessage(1,
                    "Error: The task %s of the server in (%s) did not quit within %d seconds, so "
                    "it is not loaded again.",
                    task, info.strDataPath.c_str(), seconds);
}

// orvreal may take long to end: it is asked again every few seconds, with a
// dot on standard output for each round. False when it is still running
// after the last round.
bool WaitForRealTask(const ORVInsInfo& info, const RunContext& context) {
    KvORVSleep(kRealTaskWait);
    int n = 0;
    while (Running(info, "orvreal")) {
        ++n;
        if (!Quit(info, context, "orvreal")) {
            break;  // no use asking again (an Error: line says why)
        }
        KvORVSleep(kRealTaskWait);
        if (n > kRealTaskMaxRepeats) {
            break;
        }
        std::fputs(".", stdout);
        std::fflush(stdout);
    }
    if (Running(info, "orvreal")) {
        LogNotEnded(info, "orvreal", kRealTaskWait * (n + 1));
        return false;
    }
    return true;
}

// One task of the restart: a task that runs (or the monitor, always) is
// asked to quit and given its wait; then it is loaded. A task whose quit
// could not be sent, or that does not end, is never loaded a second time.
bool RestartOne(const ORVInsInfo& info, const RunContext& context, const RestartItem& item) {
    if (item.alwaysQuit || Running(info, item.task)) {
        if (!Quit(info, context, item.task)) {
            return false;
        }
        if (std::string(item.task) == "orvreal") {
            if (!WaitForRealTask(info, context)) {
                return false;
            }
        } else {
            KvORVSleep(item.wait);
            if (!WaitFor(info, item.task, false, kQuitGrace)) {
                LogNotEnded(info, item.task, item.wait + kQuitGrace);
                return false;
            }
        }
    }
    return Load(info, context, item.task);
}

// After the loads: each loaded task must show its lock within a few seconds.
bool AllRunning(const ORVInsInfo& info, const std::vector<const char*>& tasks) {
    bool all = true;
    for (const char* task : tasks) {
        if (!WaitFor(info, task, true, kLoadGrace)) {
            LogDebugMessage(1,
                            "Error: The task %s of the server in (%s) is not running after "
                            "the restart.",
                            task, info.strDataPath.c_str());
            all = false;
        }
    }
    return all;
}

// The tasks the load after a stop starts, in order; the monitor always.
std::vector<const char*> TasksToLoad(const ORVInsInfo& info) {
    std::vector<const char*> tasks;
    for (const char* task : {"orvemf", "orvsch", "orvmon", "orvreal"}) {
        if (std::string(task) == "orvmon" || !Running(info, task)) {
            tasks.push_back(task);
        }
    }
    return tasks;
}

}  // namespace

std::string ConsoleProblem(const ORVInsInfo& info, const RunContext& context) {
    // Who the commands run as, and whether root may run from that folder
    // for that user at all (console_identity.h); then whether that user can
    // start the program.
    const ConsoleChoice console = DecideConsole(info, context);
    if (!console.problem.empty()) {
        return console.problem;
    }
    const std::string program = console.bin + "/server";
    struct stat st;
    if (::stat(program.c_str(), &st) != 0) {
        return "'" + program + "' cannot be found (" + std::strerror(errno) + ")";
    }
    if (!S_ISREG(st.st_mode)) {
        return "'" + program + "' is not a file";
    }
    // The superuser's own commands need any execute bit.
    const uid_t uid = console.uid;
    const mode_t bits = uid == 0                   ? (S_IXUSR | S_IXGRP | S_IXOTH)
                        : st.st_uid == uid         ? S_IXUSR
                        : st.st_gid == console.gid ? S_IXGRP
                                                   : S_IXOTH;
    if ((st.st_mode & bits) == 0) {
        return "'" + program + "' may not be run by user " + std::to_string(uid);
    }
    return std::string();
}

namespace {

std::string ConsoleLine(const ORVInsInfo& info, const std::string& problem) {
    return "Error: Cannot run the commands of the server in (" + info.strDataPath +
           "): " + problem + ", so its ORV tasks are neither stopped nor loaded.";
}

}  // namespace

RestartOutlook DecideRestart(const ORVInsInfo& info, const RunContext& context) {
    RestartOutlook outlook;
    // The commands run as the owner of notes.ini; without one, only a server
    // that does not run needs none.
    std::string notesIni = info.strNotesIniPath;
    const bool identity = ChangeUser(&notesIni[0]) == 0;
    outlook.serverRunning = ServerRunning(info);
    if (!outlook.serverRunning) {
        return outlook;
    }
    if (!identity) {
        outlook.problem = "Error: The ORV tasks of the server in (" + info.strDataPath +
                          ") cannot be restarted: the patcher cannot act as the owner of (" +
                          info.strNotesIniPath + ").";
        return outlook;
    }
    const std::string problem = ConsoleProblem(info, context);
    if (!problem.empty()) {
        outlook.problem = ConsoleLine(info, problem);
        return outlook;
    }
    outlook.uid = DecideConsole(info, context).uid;
    outlook.commands = RestartCommands(info);
    return outlook;
}

RestartOutlook DecideLoad(const ORVInsInfo& info, const RunContext& context) {
    RestartOutlook outlook = DecideRestart(info, context);
    if (outlook.serverRunning && outlook.problem.empty()) {
        outlook.commands = LoadCommands(info);
    }
    return outlook;
}

std::vector<std::string> TasksTheStopLeaves(const ORVInsInfo& info, const RunContext& context) {
    const std::vector<std::string> commands = StopCommands(info);
    const bool sent = commands.empty() || ConsoleProblem(info, context).empty();
    std::vector<std::string> left;
    for (const std::string& task : RunningCountedTasks(info)) {
        if (!sent ||
            std::find(commands.begin(), commands.end(), "te " + task + " quit") == commands.end()) {
            left.push_back(task);
        }
    }
    return left;
}

std::vector<std::string> StopCommands(const ORVInsInfo& info) {
    std::vector<std::string> commands;
    if (!ServerRunning(info)) {
        return commands;
    }
    for (const char* task : {"orvreal", "orvdbs", "orvemf", "orvsch"}) {
        if (Running(info, task)) {
            commands.push_back(std::string("te ") + task + " quit");
        }
    }
    commands.push_back("te orvmon quit");
    return commands;
}

void StopTasks(const ORVInsInfo& info, const RunContext& context) {
    const std::vector<std::string> commands = StopCommands(info);
    const std::string problem = commands.empty() ? std::string() : ConsoleProblem(info, context);
    if (!problem.empty()) {
        LogDebugMessage(1, "%s", ConsoleLine(info, problem).c_str());
        return;
    }
    for (const std::string& command : commands) {
        Send(info, context, command);
    }
}

std::vector<std::string> RunningCountedTasks(const ORVInsInfo& info) {
    std::vector<std::string> running;
    for (const char* task : {"orvreal", "orvdbs", "orvupd"}) {
        if (Running(info, task)) {
            running.push_back(task);
        }
    }
    return running;
}

int CountRunningTasks(const ORVInsInfo& info) {
    return static_cast<int>(RunningCountedTasks(info).size());
}

std::vector<std::string> LoadCommands(const ORVInsInfo& info) {
    std::vector<std::string> commands;
    for (const char* task : TasksToLoad(info)) {
        commands.push_back(std::string("load ") + task);
    }
    return commands;
}

std::vector<std::string> LoadCommandsAfterStop(const ORVInsInfo& info) {
    const std::vector<std::string> stop = StopCommands(info);
    std::vector<std::string> commands;
    for (const char* task : {"orvemf", "orvsch", "orvmon", "orvreal"}) {
        const bool asked =
            std::find(stop.begin(), stop.end(), std::string("te ") + task + " quit") != stop.end();
        if (std::string(task) == "orvmon" || asked || !Running(info, task)) {
            commands.push_back(std::string("load ") + task);
        }
    }
    return commands;
}

bool LoadTasks(const ORVInsInfo& info, const RunContext& context) {
    const RestartOutlook outlook = DecideLoad(info, context);
    if (!outlook.serverRunning) {
        return true;
    }
    if (!outlook.problem.empty()) {
        LogDebugMessage(1, "%s", outlook.problem.c_str());
        return false;
    }
    const std::vector<const char*> tasks = TasksToLoad(info);
    bool sent = true;
    for (const char* task : tasks) {
        sent = Load(info, context, task) && sent;
    }
    return AllRunning(info, tasks) && sent;
}

std::vector<std::string> RestartCommands(const ORVInsInfo& info) {
    std::vector<std::string> commands;
    for (const RestartItem& item : kRestartOrder) {
        if (item.alwaysQuit || Running(info, item.task)) {
            commands.push_back(std::string("te ") + item.task + " quit");
        }
        commands.push_back(std::string("load ") + item.task);
    }
    return commands;
}

bool RestartTasks(const ORVInsInfo& info, const RunContext& context) {
    const RestartOutlook outlook = DecideRestart(info, context);
    if (!outlook.serverRunning) {
        LogDebugMessage(1, "Domino isnot running now.");
        return true;
    }
    if (!outlook.problem.empty()) {
        LogDebugMessage(1, "%s", outlook.problem.c_str());
        return false;
    }
    bool all = true;
    std::vector<const char*> loaded;
    for (const RestartItem& item : kRestartOrder) {
        if (ConsoleWorkEnded(info)) {
            all = false;
            break;
        }
        if (RestartOne(info, context, item)) {
            loaded.push_back(item.task);
        } else {
            all = false;
        }
    }
    return AllRunning(info, loaded) && all;
}

int StopAllORV(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        StopTasks(*info, ContextFromGlobals());
    }
    return 1;
}

int GetRunningORVNum(ORVInsInfo* info, void* context) {
    if (info != nullptr && context != nullptr) {
        *static_cast<int*>(context) += CountRunningTasks(*info);
    }
    return 1;
}

int LoadAllORV(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        LoadTasks(*info, ContextFromGlobals());
    }
    return 1;
}

int RestartAllORV(ORVInsInfo* info, void* /*context*/) {
    if (info == nullptr) {
        return 1;
    }
    // A patcher that may not act as the owner of notes.ini stops the walk.
    std::string notesIni = info->strNotesIniPath;
    if (ChangeUser(&notesIni[0]) != 0) {
        return 0;
    }
    RestartTasks(*info, ContextFromGlobals());
    return 1;
}
