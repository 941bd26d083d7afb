// As whom, and from which program folder, the console commands of a Domino
// server run. The identity comes from the server's notes.ini and data folder,
// decided once per run from notes.ini as the run found it (a rewrite by the
// run itself changes nothing about it); the program folder must then be one
// that identity may run `server` from (machine::RunFinding). Reads only and
// logs nothing: the console, the restart and orvpatch-check all ask here.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "machine/trust.h"

struct ORVInsInfo;
struct RunContext;

// As whom a console command of a server may run, from its notes.ini.
struct ConsoleIdentity {
    machine::Finding finding;
    bool known = false;  // the entry could be looked at (else `error`)
    int error = 0;
    bool switchIdentity = false;  // false: run as the patcher itself
    uid_t uid = 0;
    gid_t gid = 0;
};
// A command runs as the owner of the notes.ini entry (itself, not what a
// link names) only when that owner could not have planted it: the entry
// has one name, its owner owns the folder holding it (the data folder), and
// when the owner is root that folder is trusted. A patcher that is not root
// runs every command as itself.
ConsoleIdentity ConsoleIdentityFinding(const std::string& notesIni);

// The identities a run has decided, by notes.ini path. Every copy of the
// run's context shares one.
struct ConsoleIdentities {
    std::map<std::string, ConsoleIdentity> byNotesIni;
};

// The identity of the server of `info` for this run: the one `context` has
// decided, else decided now from its notes.ini and kept in `context` for the
// rest of the run (a context without a store decides afresh each time).
ConsoleIdentity ConsoleIdentityOf(const ORVInsInfo& info, const RunContext& context);

// Whether, as whom and from where the console commands of the server of
// `info` run: the program folder is an absolute path that root may run from
// (ProgramFolderFinding), the identity is known and sound, and that
// identity may run `server` from that folder: root only from a trusted
// folder whose `server` is root's; another user from such a folder or from
// a folder of that user's own, when the same user owns notes.ini and the
// data folder. Otherwise `problem` says why no command runs.
struct ConsoleChoice {
    std::string problem;  // "" when the commands may run
    std::string bin;      // the program folder to run from
    bool switchIdentity = false;
    uid_t uid = 0;
    gid_t gid = 0;
};
ConsoleChoice DecideConsole(const ORVInsInfo& info, const RunContext& context);
