// Console commands to a Domino server: the server's own executable is run
// directly (no shell) with "=<notes.ini>", "-c" and the command, under the
// identity of the owner of that notes.ini, worked out for each command from
// the notes.ini as it stands. The patcher itself never changes its user ID,
// so every installation is served under its own owner, in every mode.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"
#include "machine/Machine.h"

namespace {

// Longest a console command may take, in the patcher's seconds.
const int kCommandTimeoutSeconds = 300;

// The identity a command runs under.
struct Identity {
    bool known = false;           // the owner could be found
    bool switchIdentity = false;  // false: the patcher already is that user
    uid_t uid = 0;
    gid_t gid = 0;
    int error = 0;  // errno when the owner could not be found
};

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

// The owner of the notes.ini entry as it stands in its folder (a link
// itself, not what it names: a server's user may plant links in its own
// folder), and the identity its commands run under.
Identity OwnerIdentity(const std::string& notesIni) {
    Identity identity;
    struct stat st;
    if (lstat(notesIni.c_str(), &st) != 0) {
        identity.error = errno;
        return identity;
    }
    identity.known = true;
    identity.uid = st.st_uid;
    identity.gid = OwnerGroup(st);
    // Only the superuser switches; a patcher that is not the superuser runs
    // the commands as itself, the only identity it has.
    identity.switchIdentity = geteuid() == 0;
    return identity;
}

}  // namespace

int ChangeUser(char* path) {
    if (path == nullptr) {
        return 1;
    }
    const Identity identity = OwnerIdentity(path);
    if (!identity.known) {
        LogDebugMessage(1, "Cannot get the fstat for file '%s'.", path);
        return 1;
    }
    const uid_t self = geteuid();
    if (self != 0 && self != identity.uid) {
        LogDebugMessage(1, "Cannot set the uid to %d", static_cast<int>(identity.uid));
        return 1;
    }
    return 0;
}

void RunDominoCommand(const char* notesIniPath, const char* binPath, const char* command) {
    ORVInsInfo info;
    info.strNotesIniPath = notesIniPath != nullptr ? notesIniPath : "";
    info.strDominoBinPath = binPath != nullptr ? binPath : "";
    // Called on its own, the data folder is the one that holds notes.ini.
    const std::string::size_type slash = info.strNotesIniPath.rfind('/');
    info.strDataPath = slash == std::string::npos ? "." : info.strNotesIniPath.substr(0, slash);
    SendDominoCommand(info, command != nullptr ? command : "");
}

bool SendDominoCommand(const ORVInsInfo& info, const std::string& text) {
    const std::string& notesIni = info.strNotesIniPath;
    const std::string& bin = info.strDominoBinPath;

    machine::ChildSpec child;
    child.program = bin + "/server";
    child.args = {"=" + notesIni, "-c", text};
    child.extraEnv = {"LD_LIBRARY_PATH=" + bin};
    child.workDir = bin;
    child.timeoutSeconds = kCommandTimeoutSeconds;
    // Never as the superuser on behalf of a server: a command whose owner
    // cannot be told is not sent at all.
    const Identity identity = OwnerIdentity(notesIni);
    if (!identity.known) {
        LogDebugMessage(1,
                        "Error: Cannot run the command '%s' of the server in '%s': the owner of "
                        "'%s' cannot be told (%s)",
                        OneLine(text).c_str(), OneLine(bin).c_str(), OneLine(notesIni).c_str(),
                        std::strerror(identity.error));
        return false;
    }
    if (bin.empty() || bin[0] != '/') {
        LogDebugMessage(1,
                        "Error: Cannot run the command '%s' of the server in '%s': the program "
                        "folder is not an absolute path",
                        OneLine(text).c_str(), OneLine(bin).c_str());
        return false;
    }
    child.switchIdentity = identity.switchIdentity;
    child.uid = identity.uid;
    child.gid = identity.gid;

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
