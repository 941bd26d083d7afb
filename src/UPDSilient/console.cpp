// Console commands to a Domino server: the server's own executable is run
// directly (no shell) with "=<notes.ini>", "-c" and the command, under the
// identity of the owner of that notes.ini, worked out for each command from
// the notes.ini as the run found it, and only from a program folder that
// identity may run from (DecideConsole, console_identity.h). The patcher
// itself never changes its user ID, so every installation is served under
// its own owner, in every mode.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/console_identity.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"
#include "machine/Machine.h"

namespace {

// Longest a console command may take, in the patcher's seconds.
const int kCommandTimeoutSeconds = 300;
// The console work of one installation in one run: the restart's longest
// waits (orvreal's 610 seconds, 2 x 32 for orvemf and orvsch, 31 for
// orvmon, 40 for the loaded tasks to show: 745 seconds), its most commands
// (126) at a few seconds each, and one command's limit: 30 minutes. A
// healthy server never comes near it.
const int kConsoleBudgetSeconds = 1800;

// Where one installation's console work stands in this run: when its first
// command was sent, and whether the work has ended (a command reached its
// limit, or the budget is spent). Kept for the whole run, across steps: the
// budget is the run's, not a step's.
struct ConsoleWork {
    std::chrono::steady_clock::time_point start;
    bool ended = false;
};

ConsoleWork& WorkOf(const ORVInsInfo& info) {
    static std::map<std::string, ConsoleWork> works;
    const std::string key = info.strDataPath + '\n' + info.strNotesIniPath;
    auto found = works.find(key);
    if (found == works.end()) {
        found = works.emplace(key, ConsoleWork{std::chrono::steady_clock::now(), false}).first;
    }
    return found->second;
}

// The patcher's seconds the installation's console work has taken so far.
long long SpentSeconds(const ConsoleWork& work) {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - work.start)
                             .count();
    return ms / std::max(1L, machine::SecondMillis());
}

// Line ends shown escaped, so that the log keeps one line per message.
std::string OneLine(const std::string& text) {
    std::string shown;
    for (char c : text) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else {
            shown += c;
        }
    }
    return shown;
}

// The command line as an operator would type it, for the log only.
std::string DisplayLine(const std::string& notesIni, const std::string& bin,
                        const std::string& command) {
    const char* format = "LD_LIBRARY_PATH=%s %s/%s =%s -c \"%s\"";
    int needed = std::snprintf(nullptr, 0, format, bin.c_str(), bin.c_str(), "server",
                               notesIni.c_str(), command.c_str());
    std::string line(static_cast<std::string::size_type>(needed > 0 ? needed : 0) + 1, '\0');
    std::snprintf(&line[0], line.size(), format, bin.c_str(), bin.c_str(), "server",
                  notesIni.c_str(), command.c_str());
    line.resize(line.size() - 1);
    return OneLine(line);
}

}  // namespace

int ChangeUser(char* path) {
    if (path == nullptr) {
        return 1;
    }
    struct stat entry;
    if (lstat(path, &entry) != 0) {
        LogDebugMessage(1, "Cannot get the fstat for file '%s'.", path);
        return 1;
    }
    const uid_t self = geteuid();
    if (self != 0 && self != entry.st_uid) {
        LogDebugMessage(1, "Cannot set the uid to %d", static_cast<int>(entry.st_uid));
        return 1;
    }
    return 0;
}

void RunDominoCommand(const char* notesIniPath, const char* binPath, const char* command) {
    ORVInsInfo info;
    info.strNotesIniPath = notesIniPath != nullptr ? notesIniPath : "";
    info.strDominoBinPath = binPath != nullptr ? binPath : "";
    // Called on its own, the data folder is the one that holds notes.ini,
    // and the caller names the program folder itself.
    const std::string::size_type slash = info.strNotesIniPath.rfind('/');
    info.strDataPath = slash == std::string::npos ? "." : info.strNotesIniPath.substr(0, slash);
    info.strRegistryBinPath = info.strDominoBinPath;
    SendDominoCommand(info, ContextFromGlobals(), command != nullptr ? command : "");
}

bool SendDominoCommand(const ORVInsInfo& info, const RunContext& context, const std::string& text) {
    const std::string& notesIni = info.strNotesIniPath;

    // Never as the superuser on behalf of a server: a command whose owner
    // cannot be told, or who may have planted the entry, is not sent at all,
    // nor one whose program folder that identity may not run from.
    const ConsoleChoice console = DecideConsole(info, context);
    if (!console.problem.empty()) {
        LogDebugMessage(1, "Error: Cannot run the command '%s' of the server in '%s': %s",
                        OneLine(text).c_str(), OneLine(info.strDominoBinPath).c_str(),
                        OneLine(console.problem).c_str());
        return false;
    }
    const std::string& bin = console.bin;
    ConsoleWork& work = WorkOf(info);
    if (work.ended) {
        return false;  // said when it ended
    }
    const long long left = kConsoleBudgetSeconds - SpentSeconds(work);
    if (left <= 0) {
        work.ended = true;
        LogDebugMessage(1,
                        "Error: The console work of the server in (%s) has taken its %d seconds, "
                        "so the command '%s' is not sent, nor any later one.",
                        OneLine(info.strDataPath).c_str(), kConsoleBudgetSeconds,
                        OneLine(text).c_str());
        return false;
    }
    const int limit = static_cast<int>(std::min<long long>(kCommandTimeoutSeconds, left));

    machine::ChildSpec child;
    child.program = bin + "/server";
    child.args = {"=" + notesIni, "-c", text};
    child.extraEnv = {"LD_LIBRARY_PATH=" + bin};
    child.workDir = bin;
    child.timeoutSeconds = limit;
    child.switchIdentity = console.switchIdentity;
    child.uid = console.uid;
    child.gid = console.gid;

    machine::ChildResult result = machine::RunChild(child);

    std::string line = DisplayLine(notesIni, bin, text);
    LogDebugMessage(1, "Submit command '%s' to restart the ORV", line.c_str());
    // The server's own answer is not examined, but a command that never
    // reached a server (no executable, no program folder) or had to be killed
    // is named in the log rather than passing for one that was carried out.
    if (!result.started || (result.error != 0 && !result.timedOut)) {
        LogDebugMessage(1, "Error: Cannot run the command '%s' of the server in '%s': %s",
                        OneLine(text).c_str(), OneLine(bin).c_str(), std::strerror(result.error));
        return false;
    }
    // A command that had to be killed failed, and the console work of that
    // installation ends with it: a server that stalls one command would
    // stall the next.
    if (result.timedOut) {
        work.ended = true;
        LogDebugMessage(1,
                        "Error: The command '%s' of the server in '%s' did not end within %d "
                        "seconds and was killed, so the console work of the server in (%s) ends "
                        "here.",
                        OneLine(text).c_str(), OneLine(bin).c_str(), limit,
                        OneLine(info.strDataPath).c_str());
        return false;
    }
    return true;
}

bool ConsoleWorkEnded(const ORVInsInfo& info) {
    return WorkOf(info).ended;
}

void KvORVSleep(int seconds) {
    machine::SleepSeconds(seconds);
}
