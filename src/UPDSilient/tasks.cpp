// Stopping, counting, loading and restarting the ORV tasks of one
// installation: registry callbacks that probe the lock files and send
// "te <task> quit" and "load <task>" console commands.
#include <cstdio>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"

namespace {

// Waits of the restart, in seconds.
const int kQuickTaskWait = 2;  // orvemf and orvsch
const int kRealTaskWait = 5;   // each round of orvreal
const int kMonitorWait = 1;    // orvmon
// Repeated quit commands sent to orvreal before it is loaded anyway.
const int kRealTaskMaxRepeats = 120;

bool Running(const ORVInsInfo& info, const char* task) {
    return IsORVRun(info.strDataPath.c_str(), task) == 1;
}

void Send(const ORVInsInfo& info, const std::string& command) {
    SendDominoCommand(info, command);
}

void Quit(const ORVInsInfo& info, const std::string& task) {
    Send(info, "te " + task + " quit");
}

void Load(const ORVInsInfo& info, const std::string& task) {
    Send(info, "load " + task);
}

// A task that runs is stopped, given `wait` seconds, and loaded again; one
// that does not run is just loaded.
void RestartQuickly(const ORVInsInfo& info, const char* task, int wait) {
    if (!Running(info, task)) {
        Load(info, task);
        return;
    }
    Quit(info, task);
    KvORVSleep(wait);
    Load(info, task);
}

// orvreal may take long to end: it is asked again every few seconds, with a
// dot on standard output for each round, and loaded once it has ended or
// after the last round.
void RestartRealTask(const ORVInsInfo& info) {
    if (!Running(info, "orvreal")) {
        Load(info, "orvreal");
        return;
    }
    Quit(info, "orvreal");
    KvORVSleep(kRealTaskWait);
    int n = 0;
    while (Running(info, "orvreal")) {
        ++n;
        Quit(info, "orvreal");
        KvORVSleep(kRealTaskWait);
        if (n > kRealTaskMaxRepeats) {
            break;
        }
        std::fputs(".", stdout);
        std::fflush(stdout);
    }
    Load(info, "orvreal");
}

}  // namespace

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

void StopTasks(const ORVInsInfo& info) {
    for (const std::string& command : StopCommands(info)) {
        Send(info, command);
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

void LoadTasks(const ORVInsInfo& info) {
    if (!ServerRunning(info)) {
        return;
    }
    if (!Running(info, "orvemf")) {
        Load(info, "orvemf");
    }
    if (!Running(info, "orvsch")) {
        Load(info, "orvsch");
    }
    Load(info, "orvmon");
    if (!Running(info, "orvreal")) {
        Load(info, "orvreal");
    }
}

bool RestartTasks(const ORVInsInfo& info) {
    // The commands run as the owner of notes.ini; a patcher that may not act
    // as that owner stops the walk here.
    std::string notesIni = info.strNotesIniPath;
    if (ChangeUser(&notesIni[0]) != 0) {
        return false;
    }
    if (!ServerRunning(info)) {
        LogDebugMessage(1, "Domino isnot running now.");
        return true;
    }
    RestartQuickly(info, "orvemf", kQuickTaskWait);
    RestartQuickly(info, "orvsch", kQuickTaskWait);
    RestartRealTask(info);
    Quit(info, "orvmon");
    KvORVSleep(kMonitorWait);
    Load(info, "orvmon");
    return true;
}

int StopAllORV(ORVInsInfo* info, void* /*context*/) {
    if (info != nullptr) {
        StopTasks(*info);
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
        LoadTasks(*info);
    }
    return 1;
}

int RestartAllORV(ORVInsInfo* info, void* /*context*/) {
    return (info == nullptr || RestartTasks(*info)) ? 1 : 0;
}
