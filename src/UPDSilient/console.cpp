// Console commands to a Domino server: the server's own executable is run
// directly (no shell) with "=<notes.ini>", "-c" and the command, under the
// identity of the owner of that notes.ini. The patcher itself never changes
// its user ID, so every installation can be served under its own owner.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/debug.h"
#include "machine/Machine.h"

namespace {

// Longest a console command may take, in the patcher's seconds.
const int kCommandTimeoutSeconds = 300;

struct Identity {
    bool switchIdentity = false;  // false: the patcher already is that user
    uid_t uid = 0;
    gid_t gid = 0;
};

// The identity each notes.ini's console commands run under, keyed by the
// path ChangeUser was given.
std::map<std::string, Identity>& Identities() {
    static std::map<std::string, Identity> identities;
    return identities;
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

// The owner's primary group, as a login of that user would have it; the
// file's own group when the owner has no account entry.
gid_t OwnerGroup(const struct stat& st) {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(st.st_uid, &entry, &buffer[0], buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_gid;
    }
    return st.st_gid;
}

}  // namespace

int ChangeUser(char* path) {
    if (path == nullptr) {
        return 1;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        // A stale identity must not outlive a notes.ini that is gone.
        Identities().erase(path);
        LogDebugMessage(1, "Cannot get the fstat for file '%s'.", path);
        return 1;
    }
    uid_t self = geteuid();
    if (self != 0 && self != st.st_uid) {
        Identities().erase(path);
        LogDebugMessage(1, "Cannot set the uid to %d", static_cast<int>(st.st_uid));
        return 1;
    }
    Identity identity;
    // Only the superuser switches; a patcher that already is the owner runs
    // the commands as itself (it may not be a member of the file's group).
    identity.switchIdentity = self == 0;
    identity.uid = st.st_uid;
    identity.gid = OwnerGroup(st);
    Identities()[path] = identity;
    return 0;
}

void RunDominoCommand(const char* notesIniPath, const char* binPath, const char* command) {
    std::string notesIni = notesIniPath != nullptr ? notesIniPath : "";
    std::string bin = binPath != nullptr ? binPath : "";
    std::string text = command != nullptr ? command : "";

    machine::ChildSpec child;
    child.program = bin + "/server";
    child.args = {"=" + notesIni, "-c", text};
    child.extraEnv = {"LD_LIBRARY_PATH=" + bin};
    child.workDir = bin;
    child.timeoutSeconds = kCommandTimeoutSeconds;
    std::map<std::string, Identity>::const_iterator found = Identities().find(notesIni);
    if (found != Identities().end() && found->second.switchIdentity) {
        child.switchIdentity = true;
        child.uid = found->second.uid;
        child.gid = found->second.gid;
    }

    machine::ChildResult result = machine::RunChild(child);

    std::string line = DisplayLine(notesIni, bin, text);
    LogDebugMessage(1, "Submit command '%s' to restart the ORV", line.c_str());
    // The server's own answer is not examined, but a command that never
    // reached a server (no executable, no program folder) or had to be killed
    // is named in the log rather than passing for one that was carried out.
    if (!result.started || (result.error != 0 && !result.timedOut)) {
        LogDebugMessage(1, "Error: Cannot run the command '%s' of the server in '%s': %s",
                        OneLine(text).c_str(), OneLine(bin).c_str(), std::strerror(result.error));
    } else if (result.timedOut) {
        LogDebugMessage(1,
                        "Error: The command '%s' of the server in '%s' did not end within %d "
                        "seconds and was killed",
                        OneLine(text).c_str(), OneLine(bin).c_str(), kCommandTimeoutSeconds);
    }
}

void KvORVSleep(int seconds) {
    machine::SleepSeconds(seconds);
}
