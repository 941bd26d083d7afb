// What root may trust on a machine it shares with users who are not root:
// which folders it may act in as itself, which links it may follow, under
// which file-system identity it works in a folder, which program folder of
// a Domino server it may write and run from, and as whom a console command
// may run. Every function answers a finding and logs nothing; the callers
// name the path and the reason in their "Error: " line.
//
// "Root" here means the patcher's effective user: a patcher that is not the
// superuser is bounded by its own rights already, and treats folders it owns
// itself like root's.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct ORVInsInfo;

namespace machine {

// The answer of a trust question: ok, or the path it stopped at and why
// (a short text that fits after "... : " in a log line).
struct Finding {
    bool ok = true;
    std::string path;
    std::string why;
};

// Whether `uid` is on root's side: root itself, or the patcher's own user.
bool RootSide(uid_t uid);

// Whether root may act as itself in the open folder `dirFd` (shown as
// `shown`): it and every folder above it (walked through "..", never by
// name) belong to root's side, and no one else may write any of them. A
// sticky folder above it (such as /tmp) is accepted: there only root may
// rename or remove root's entries.
Finding FolderTrust(int dirFd, const std::string& shown);
// The same for a folder named by a path (links in the path followed: what
// counts is the folder reached and its real ancestors).
Finding FolderTrust(const std::string& folder);

// Whether the process may follow the link whose own status is `link`: a
// link of root's side always; any link while the file-system identity is
// not root's (the rights of that identity bound what it reaches).
bool MayFollow(const struct stat& link);

// A file-system identity: `uid`, `gid`, and that user's groups.
struct Actor {
    bool other = false;  // false: the patcher's own identity
    uid_t uid = 0;
    gid_t gid = 0;
};

// The account entry of `uid` in the user database; `found` false when it
// has none.
struct Account {
    bool found = false;
    std::string name;
    std::string home;
    std::string shell;
    gid_t gid = 0;  // the primary group
};
Account AccountOf(uid_t uid);

// The owner's primary group as a login of that user has it; `fallback`
// when the user has no account entry.
gid_t PrimaryGroup(uid_t uid, gid_t fallback);

// Who makes, replaces and removes entries in a folder: root itself when the
// folder belongs to root's side, else the folder's owner. A folder that
// cannot be looked at gives root's own identity (nothing can be done in it).
Actor FolderActor(const struct stat& folder);
Actor FolderActor(const std::string& folder);
// Who acts on an entry (a server's notes.ini) in its folder: the entry's
// owner when that is not root's side, else the actor of the folder holding
// it.
Actor EntryActor(const std::string& path);

// Takes another file-system identity for as long as it lives (setfsuid,
// setfsgid and that user's groups), so that every lookup, open, rename and
// removal in between is checked as that user's own. Only a superuser
// switches; any other process already acts as itself.
class FsIdentity {
  public:
    explicit FsIdentity(const Actor& actor);
    ~FsIdentity();
    FsIdentity(const FsIdentity&) = delete;
    FsIdentity& operator=(const FsIdentity&) = delete;

    bool ok() const { return m_ok; }

  private:
    void Take(uid_t uid, gid_t gid);
    void Restore();

    bool m_ok = true;
    bool m_switched = false;
    uid_t m_savedUid = 0;
    gid_t m_savedGid = 0;
    std::vector<gid_t> m_savedGroups;
};

// The file-system user the process acts as right now.
uid_t CurrentFsUid();

// Whether root may write and run in the program folder `named` (the one a
// server's notes.ini names) of a server whose registry entry names
// `registry` ("" when it names none). Ok when the registry names that very
// folder (same device and inode), or when it is a trusted folder holding
// an executable `server` of root's side. On success `path` is where to work:
// the registry's path, or the canonical path of the trusted folder, neither
// of which anyone but root can redirect. A folder that cannot be opened is
// ok only where the registry names that very path (every step then fails
// on it by itself): nothing is made where notes.ini alone points.
Finding ProgramFolderFinding(const std::string& named, const std::string& registry);
Finding ProgramFolderFinding(const ORVInsInfo& info);

// Whether a program named `program` in the open folder `dirFd` (shown as
// `shown`) may be run as `uid`. As root's side only from a trusted folder
// (FolderTrust) whose program is a regular file of root's side that no one
// else may write. As another user from such a folder too, or from a folder
// of that user's own that no one else may write (what it holds is then the
// user's own business). The finding's `why` fits after "... : ".
Finding RunFinding(int dirFd, const std::string& shown, const char* program, uid_t uid);

}  // namespace machine
