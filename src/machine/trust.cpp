// The trust rule, written once: folders, links, identities, program folders
// and console identities. Nothing here logs or changes the file system.
#include "machine/trust.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "UPDSilient/checkdomino_silent.h"
#include "UpdateORV/FileIo.h"

namespace machine {

namespace {

Finding Refused(const std::string& path, const std::string& why) {
    Finding f;
    f.ok = false;
    f.path = path;
    f.why = why;
    return f;
}

std::string Owner(uid_t uid) {
    return "user " + std::to_string(uid);
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string FolderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int OpenFolderPath(const std::string& path) {
    return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool SameObject(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::vector<gid_t> GroupsOf(uid_t uid, gid_t gid) {
    std::vector<gid_t> groups(1, gid);
    const Account account = AccountOf(uid);
    if (!account.found) {
        return groups;
    }
    int n = 64;
    groups.resize(static_cast<size_t>(n));
    if (getgrouplist(account.name.c_str(), gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (getgrouplist(account.name.c_str(), gid, groups.data(), &n) < 0) {
            return std::vector<gid_t>(1, gid);
        }
    }
    groups.resize(static_cast<size_t>(n));
    return groups;
}

}  // namespace

bool RootSide(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

Finding FolderTrust(int dirFd, const std::string& shown) {
    fileio::Fd cur(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (bool first = true;; first = false) {
        struct stat st;
        if (!cur.valid() || fstat(cur.get(), &st) != 0) {
            return Refused(shown, std::string("a folder above it cannot be looked at (") +
                                      std::strerror(errno) + ")");
        }
        if (!S_ISDIR(st.st_mode)) {
            return Refused(shown, "it is not a folder");
        }
        const char* which = first ? "it" : "a folder above it";
        if (!RootSide(st.st_uid)) {
            return Refused(shown, std::string(which) + " belongs to " + Owner(st.st_uid));
        }
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (first || (st.st_mode & S_ISVTX) == 0)) {
            return Refused(shown, std::string(which) + " may be written by others");
        }
        fileio::Fd parent(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat up;
        if (!parent.valid() || fstat(parent.get(), &up) != 0) {
            return Refused(shown, std::string("a folder above it cannot be looked at (") +
                                      std::strerror(errno) + ")");
        }
        if (SameObject(st, up)) {
            return Finding();  // the root folder is its own parent
        }
        cur = std::move(parent);
    }
}

Finding FolderTrust(const std::string& folder) {
    fileio::Fd fd(OpenFolderPath(folder));
    if (!fd.valid()) {
        return Refused(folder, std::string("it cannot be opened (") + std::strerror(errno) + ")");
    }
    return FolderTrust(fd.get(), folder);
}

uid_t CurrentFsUid() {
    // An invalid id changes nothing and answers the current one.
    return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
}

bool MayFollow(const struct stat& link) {
    return RootSide(link.st_uid) || CurrentFsUid() != 0;
}

Account AccountOf(uid_t uid) {
    Account account;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        account.found = true;
        account.name = found->pw_name != nullptr ? found->pw_name : "";
        account.home = found->pw_dir != nullptr ? found->pw_dir : "";
        account.shell = found->pw_shell != nullptr ? found->pw_shell : "";
        account.gid = found->pw_gid;
    }
    return account;
}

gid_t PrimaryGroup(uid_t uid, gid_t fallback) {
    const Account account = AccountOf(uid);
    return account.found ? account.gid : fallback;
}

Actor FolderActor(const struct stat& folder) {
    Actor actor;
    if (!RootSide(folder.st_uid)) {
        actor.other = true;
        actor.uid = folder.st_uid;
        actor.gid = PrimaryGroup(folder.st_uid, folder.st_gid);
    }
    return actor;
}

Actor FolderActor(const std::string& folder) {
    fileio::Fd fd(OpenFolderPath(folder));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        return Actor();
    }
    return FolderActor(st);
}

Actor EntryActor(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !RootSide(st.st_uid)) {
        Actor actor;
        actor.other = true;
        actor.uid = st.st_uid;
        actor.gid = st.st_gid;
        return actor;
    }
    return FolderActor(FolderOf(path));
}

FsIdentity::FsIdentity(const Actor& actor) {
    if (actor.other) {
        Take(actor.uid, actor.gid);
    }
}

void FsIdentity::Take(uid_t uid, gid_t gid) {
    if (geteuid() != 0 || uid == 0) {
        return;
    }
    const int count = getgroups(0, nullptr);
    if (count < 0) {
        m_ok = false;
        return;
    }
    m_savedGroups.resize(static_cast<size_t>(count));
    if (getgroups(count, m_savedGroups.data()) != count) {
        m_ok = false;
        return;
    }
    m_savedUid = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
    m_savedGid = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
    m_switched = true;
    std::vector<gid_t> groups = GroupsOf(uid, gid);
    setgroups(groups.size(), groups.data());
    setfsgid(gid);
    setfsuid(uid);
    // setfsuid and setfsgid answer with the earlier value; asking again
    // with an invalid id tells whether the switch took.
    m_ok = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
           static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
    if (!m_ok) {
        Restore();
    }
}

FsIdentity::~FsIdentity() {
    Restore();
}

void FsIdentity::Restore() {
    if (!m_switched) {
        return;
    }
    m_switched = false;
    const int saved = errno;
    setfsuid(m_savedUid);
    setfsgid(m_savedGid);
    setgroups(m_savedGroups.size(), m_savedGroups.data());
    errno = saved;
}

Finding ProgramFolderFinding(const std::string& namedPath, const std::string& registryPath) {
    const std::string named = WithoutTrailingSeparators(namedPath);
    const std::string registry = WithoutTrailingSeparators(registryPath);
    fileio::Fd folder(OpenFolderPath(named));
    struct stat st;
    if (!folder.valid() || fstat(folder.get(), &st) != 0) {
        // Nothing is there to run; the steps fail by themselves where the
        // registry names that very path, and nothing is made anywhere else.
        if (!registry.empty() && registry == named) {
            Finding f;
            f.path = registry;
            return f;
        }
        return Refused(named, std::string("it cannot be opened (") + std::strerror(errno) + ")");
    }
    if (!registry.empty()) {
        fileio::Fd vouched(OpenFolderPath(registry));
        struct stat rst;
        if (vouched.valid() && fstat(vouched.get(), &rst) == 0 && SameObject(st, rst)) {
            Finding f;
            f.path = registry;
            return f;
        }
    }
    const std::string notNamed = "the registry names another program folder for this server, and ";
    Finding trust = FolderTrust(folder.get(), named);
    if (!trust.ok) {
        return Refused(named, notNamed + trust.why);
    }
    struct stat server;
    if (fstatat(folder.get(), "server", &server, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(server.st_mode) || !RootSide(server.st_uid) ||
        (server.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (server.st_mode & S_IXUSR) == 0) {
        return Refused(named, notNamed + "it holds no executable 'server' of root's");
    }
    // Worked in under its canonical path, which only root can redirect.
    char* real = realpath(named.c_str(), nullptr);
    struct stat again;
    if (real == nullptr || stat(real, &again) != 0 || !SameObject(st, again)) {
        std::free(real);
        return Refused(named, "it changed while it was looked at");
    }
    Finding f;
    f.path = real;
    std::free(real);
    return f;
}

Finding ProgramFolderFinding(const ORVInsInfo& info) {
    return ProgramFolderFinding(info.strDominoBinPath, info.strRegistryBinPath);
}

Finding RunFinding(int dirFd, const std::string& shown, const char* program, uid_t uid) {
    struct stat folder;
    if (fstat(dirFd, &folder) != 0) {
        return Refused(shown, std::string("it cannot be looked at (") + std::strerror(errno) + ")");
    }
    const bool root = RootSide(uid);
    const bool own = !root && folder.st_uid == uid && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (own) {
        return Finding();
    }
    const Finding trust = FolderTrust(dirFd, shown);
    if (!trust.ok) {
        return Refused(
            shown, root ? "it is not root's alone: " + trust.why
                        : "it is neither root's alone nor " + Owner(uid) + "'s own: " + trust.why);
    }
    struct stat st;
    if (fstatat(dirFd, program, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        return Finding();  // nothing to run, as anyone: starting it fails by itself
    }
    if (fstatat(dirFd, program, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !(RootSide(st.st_uid) || st.st_uid == uid) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Refused(shown, std::string("its '") + program + "' is not a file of root's" +
                                  (root ? std::string() : " or " + Owner(uid) + "'s") +
                                  " that no one else may write");
    }
    return Finding();
}

}  // namespace machine
