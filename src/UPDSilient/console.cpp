// Console commands to a Domino server: the server's own executable is run
// directly (no shell) with "=<notes.ini>", "-c" and the command, under the
// identity of the owner of that notes.ini, worked out for each command from
// the notes.ini as the run found it, and only from a program folder that
// identity may run from (DecideConsole, console_identity.h). The patcher
// itself never changes its user ID, so every installation is served under
// its own owner, in every mode.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/console_identity.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"
#include "machine/Machine.h"

namespace {

// Longest a console command may take, in the patcher's seconds.
const int kCommandTimeoutSeconds = 300;

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

    machine::ChildSpec child;
    child.program = bin + "/server";
    child.args = {"=" + notesIni, "-c", text};
    child.extraEnv = {"LD_LIBRARY_PATH=" + bin};
    child.workDir = bin;
    child.timeoutSeconds = kCommandTimeoutSeconds;
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
    if (result.timedOut) {
        LogDebugMessage(1,
                        "Error: The command '%s' of the server in '%s' did not end within %d "
                        "seconds and was killed",
                        OneLine(text).c_str(), OneLine(bin).c_str(), kCommandTimeoutSeconds);
    }
    return true;
}

void KvORVSleep(int seconds) {
    machine::SleepSeconds(seconds);
}
