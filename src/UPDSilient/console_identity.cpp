// The console identity of a Domino server and the program folder it runs
// from: the Domino side of the trust rule, built on machine/trust.h.
#include "UPDSilient/console_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/run_context.h"
#include "UpdateORV/FileIo.h"

namespace {

machine::Finding Refused(const std::string& path, const std::string& why) {
    return machine::Finding{false, path, why};
}

std::string Owner(uid_t uid) {
    return "user " + std::to_string(uid);
}

std::string FolderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

ConsoleIdentity ConsoleIdentityFinding(const std::string& notesIni) {
    ConsoleIdentity identity;
    identity.finding.path = notesIni;
    struct stat entry;
    if (lstat(notesIni.c_str(), &entry) != 0) {
        identity.error = errno;
        identity.finding = Refused(notesIni, std::string("the owner of '") + notesIni +
                                                 "' cannot be told (" + std::strerror(errno) + ")");
        return identity;
    }
    identity.known = true;
    identity.uid = entry.st_uid;
    identity.gid = machine::PrimaryGroup(entry.st_uid, entry.st_gid);
    if (geteuid() != 0) {
        // The only identity such a patcher has; it may act as no one else.
        identity.uid = geteuid();
        identity.gid = getegid();
        return identity;
    }
    identity.switchIdentity = true;
    if (S_ISREG(entry.st_mode) && entry.st_nlink > 1) {
        identity.finding =
            Refused(notesIni, "'" + notesIni + "' has " + std::to_string(entry.st_nlink) +
                                  " names, so its owner may not be its writer");
        return identity;
    }
    const std::string data = FolderOf(notesIni);
    fileio::Fd folder(::open(data.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat dst;
    if (!folder.valid() || fstat(folder.get(), &dst) != 0) {
        identity.finding = Refused(notesIni, "the data folder '" + data + "' cannot be opened (" +
                                                 std::strerror(errno) + ")");
        return identity;
    }
    if (dst.st_uid != entry.st_uid) {
        identity.finding =
            Refused(notesIni, "'" + notesIni + "' belongs to " + Owner(entry.st_uid) +
                                  ", but its data folder '" + data + "' to " + Owner(dst.st_uid));
        return identity;
    }
    if (entry.st_uid == 0) {
        const machine::Finding trust = machine::FolderTrust(folder.get(), data);
        if (!trust.ok) {
            identity.finding =
                Refused(notesIni, "'" + notesIni + "' belongs to root, but its data folder '" +
                                      data + "' is not root's alone: " + trust.why);
        }
    }
    return identity;
}

ConsoleIdentity ConsoleIdentityOf(const ORVInsInfo& info, const RunContext& context) {
    if (!context.consoles) {
        return ConsoleIdentityFinding(info.strNotesIniPath);
    }
    auto& decided = context.consoles->byNotesIni;
    const auto found = decided.find(info.strNotesIniPath);
    if (found != decided.end()) {
        return found->second;
    }
    return decided.emplace(info.strNotesIniPath, ConsoleIdentityFinding(info.strNotesIniPath))
        .first->second;
}

ConsoleChoice DecideConsole(const ORVInsInfo& info, const RunContext& context) {
    ConsoleChoice choice;
    const ConsoleIdentity identity = ConsoleIdentityOf(info, context);
    if (!identity.known) {
        choice.problem = identity.finding.why;
        return choice;
    }
    const std::string& named = info.strDominoBinPath;
    if (named.empty() || named[0] != '/') {
        choice.problem = "the program folder is not an absolute path";
        return choice;
    }
    const machine::Finding program = machine::ProgramFolderFinding(info);
    if (!program.ok) {
        choice.problem = "the program folder is not used: " + program.why;
        return choice;
    }
    if (!identity.finding.ok) {
        choice.problem = identity.finding.why;
        return choice;
    }
    if (identity.switchIdentity) {
        // Whoever the registry or a trusted folder vouches for as the program
        // folder, root runs its `server` only as someone it may run as.
        fileio::Fd folder(::open(program.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const machine::Finding run =
            folder.valid() ? machine::RunFinding(folder.get(), program.path, "server", identity.uid)
                           : machine::Finding();
        if (!run.ok) {
            choice.problem = "the commands would run as " +
                             (identity.uid == 0 ? std::string("root") : Owner(identity.uid)) +
                             " from the program folder '" + program.path + "', but " + run.why;
            return choice;
        }
    }
    choice.bin = program.path;
    choice.switchIdentity = identity.switchIdentity;
    choice.uid = identity.uid;
    choice.gid = identity.gid;
    return choice;
}
