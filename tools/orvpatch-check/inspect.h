// What orvpatch-check finds on a machine and in a package, and what the
// patcher would decide there in each mode. Gathered without changing
// anything: every rule comes from the patcher's own functions.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "UPDSilient/run_lock.h"

namespace check {

struct NotesIni {
    std::string path;
    bool exists = false;
    uid_t ownerUid = 0;
    std::string ownerName;  // "" when the user database has no name for it
    unsigned mode = 0;      // permission bits
    bool patcherMayReadWrite = false;
};

struct Installation {
    std::string dataFolder;
    std::string programFolder;
    std::string programFolderSource;  // "NotesProgram" or "registry"
    NotesIni notesIni;
    bool serverRunning = false;
    std::vector<std::string> tasksRunning;
    bool kvmscanRegistered = false;  // the clean-up would take kvmscan out
    std::string kvmscanProblem;      // why kvmscan would stay; "" when it would not
    std::string consoleProgram;      // <program folder>/server
    std::string consoleProblem;      // why it cannot be run; "" when it can
    // Originals an earlier run saved in the program folder (<task>_1,
    // liborvext.so_<n>); a run keeps them.
    std::vector<std::string> savedFiles;
    // What the rollback's stop would send now and the tasks it waits to end
    // (from the patcher's own rules).
    std::vector<std::string> stopCommands;
    std::vector<std::string> waitedTasks;
};

struct VersionFolder {
    std::string name;
    std::string path;
    int build = 0;
};

struct Latest {
    std::string target;  // "" when program/latest is no link
    int build = 0;       // 0 when there is no link or it names no version folder
    bool exists = false;
    bool complete = false;
};

struct Product {
    std::string root;
    std::vector<VersionFolder> versions;
    Latest latest;
    std::string newest;  // the newest version folder, "" when none
    std::vector<std::string> stagingLeftovers;
    // <name>_1 files of the file table in the newest version folder: the
    // originals an interrupted in-place run saved, kept by the next one.
    std::vector<std::string> savedFiles;
};

// The record of an interrupted run, ROOT/.orvpatch-run.
struct RunRecord {
    bool found = false;
    int build = 0;
    std::string mode, layout, package, step;
};

struct Settings {
    std::vector<std::string> files;
    int buildNumber = 0;
    std::vector<std::string> databases;
    int createNewFolder = 1;
    int depentBuild = 0;
    int updateLoader = 0;
};

struct Package {
    std::string folder;  // the FileGroup1 folder
    bool settingsReadable = false;
    Settings settings;
    std::vector<std::string> fileTable;  // the first 32 names, as the in-place way uses them
    std::vector<std::string> missing;    // usable names with no file in the package
    std::vector<std::string> unsafe;     // names refused: not directly inside the package folder
};

// The package's signature as the update would find it (signature::StateName).
struct SignatureState {
    std::string state;   // "verified", "unsigned", "unverifiable" or "bad"
    std::string key;     // verified: "<file> (key number <hex>)"
    std::string reason;  // bad: the file at fault and why
};

struct ModeOutcome {
    bool wouldPass = false;
    std::string verdict;  // the line the patcher would print; "" for none
    std::string logLine;  // the log line that tells why it stops; "" when it would proceed
    std::vector<std::string> steps;  // in order; for a stop, what it would still do first
    bool hasBytes = false;           // whether the two numbers below apply
    long long bytesNeeded = 0;
    long long bytesFree = 0;
};

struct Report {
    std::string root;
    bool registryRead = false;  // the registry walk ended without error
    std::vector<Installation> installations;
    Product product;
    Package package;
    SignatureState signature;
    RunRecord record;
    bool runUnderWay = false;  // another process holds the product root
    std::string runHolder;     // which, as the patcher would name it
    runlock::Outlook runLock;  // what a run would find at its lock
    bool checkUpdate = true;   // the mode checked: the update or the rollback
    bool checkRollback = false;
    ModeOutcome update;
    ModeOutcome rollback;
    // Lines the patcher's own functions would have written to its log while
    // the machine was read (the registry walk, the settings), in order.
    std::vector<std::string> openingLog;
};

// Reads the machine (fixed paths under the seam's root) and the package in
// `packageParent` (the folder holding FileGroup1/) and decides the update
// or, with `rollback`, the rollback.
Report Inspect(const std::string& packageParent, bool rollback);

// Whether the mode checked would pass.
bool AllPass(const Report& report);

// The report for a person, and as a JSON object (format version 1).
std::string HumanReport(const Report& report);
std::string JsonReport(const Report& report);
// A JSON string of `text` (any bytes).
std::string JsonString(const std::string& text);

// --list: the installed fixes, newest first. --verify: what they put in
// place against the ledger, one finding per line. Each writes its report to
// `out` and answers the exit status (list: 0, or 2 when it cannot tell;
// verify: 0 clean, 1 findings, 2 cannot tell).
int ListInstalled(bool json, std::string& out);
int VerifyInstalled(bool json, std::string& out);

}  // namespace check
