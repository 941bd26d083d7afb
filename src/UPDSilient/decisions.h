// The checks a run makes before it changes anything, as functions without
// side effects: each answers what the patcher would log and print and
// whether it would go on. The patcher carries the answers out; the
// read-only check tool reports them. Also the names and paths the
// procedures derive from the product root and a build number.
#pragma once

#include <string>
#include <vector>

#include "UPDSilient/run_context.h"
#include "UPDSilient/run_lock.h"
#include "UPDSilient/run_state.h"

// printf-style formatting into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ----------------------------------------------------------------- verdicts

// The verdict lines on standard output: the problem, then where to look.
std::string VerdictText(const char* problem);
extern const char kNotInstalledProblem[];
extern const char kEnvironmentProblem[];
extern const char kBuildNumberProblem[];
extern const char kNewerProblem[];
extern const char kDepentProblem[];
extern const char kIncompleteProblem[];
extern const char kRollbackProblem[];  // every rollback that fails

// Writes a verdict line, ended by a line feed.
void PrintVerdict(const std::string& verdict);
// The verdict line of `problem`, written without taking memory (for a run
// that may have run out of it).
void PrintVerdictOf(const char* problem);

// The rollback's line when a task of the server in `dataFolder` still runs
// after its last stop.
std::string StopGiveUpLine(const std::string& dataFolder, const std::string& task);

// ------------------------------------------------------ names and paths

std::string VersionFolderName(int build);                           // "V3.0.0.<build>"
std::string VersionFolderPath(const std::string& root, int build);  // <root>/program/V3.0.0.<build>
std::string ProgramFolderPath(const std::string& root);             // <root>/program/
std::string BackupFolderPath(const std::string& root,
                             int build);                 // <root>/hotfix/B<build>/FileGroup1
std::string RemovalFolderPath(const std::string& root);  // <root>/program/V3.0.0.0000

// The newest version folder below <root>/program, without a trailing
// separator; empty when there is none.
std::string CurrentVersionFolder(const std::string& root);

// Whether `name` (an entry name of program/) is a staging folder an update
// fills before giving it its version name: ".orvpatch-staging-B<build>.tmp".
// One left behind by an interrupted update is removed by the next one.
bool IsStagingFolderName(const std::string& name);
// <root>/program/.orvpatch-staging-B<build>.tmp/
std::string StagingFolderPath(const std::string& root, int build);

// Whether `path` holds a '.', and the text after its last one ("" when none).
bool HasBuildText(const std::string& path);
std::string BuildText(const std::string& path);

// ------------------------------------------------------------- decisions

// One check's answer.
struct Decision {
    bool proceed = true;
    std::vector<std::string> logLines;  // what the patcher logs, in this order
    std::string verdict;                // printed when it stops; empty: nothing printed
};

// Logs the decision's lines and prints its verdict; answers `proceed`.
bool CarryOut(const Decision& decision);

// A run that finds another holding the product root (the holder as
// runlock::HolderText tells it) changes nothing and stops.
Decision DecideBusy(const std::string& root, const std::string& holderText);
// The same for what a run finds at its lock (runlock::RunLock::Take, or
// runlock::Probe for the check): busy as above; something but root's own
// lock file at its name stops the run with an Error: line naming it.
Decision DecideRunLock(const std::string& root, const runlock::Outlook& lock);

// The package's own checks, which come before anything is changed (the
// scan task's clean-up included): every name of its Files list names a file
// directly inside the package folder. For the update's package (`update`),
// also a package folder that is there must belong to root's side alone, as
// must the folder holding it (machine::FolderTrust; a link to it only when
// root's side made it), and a refusal prints the environment verdict; a
// rollback's backup folder is a product folder, and a rollback prints no
// verdict. A missing package folder passes: its settings were not read, and
// the build checks stop the run.
Decision DecidePackage(const RunContext& context, bool update);

// The update's first check: the package's version folder must not exist.
Decision DecideEnvironment(const RunContext& context);

// After the update's build checks: `left` are the notes.ini files the
// scan task's clean-up left kvmscan in; any stops the update before it
// changes the product.
Decision DecideScanTaskLeft(const std::vector<std::string>& left);

// The update's build checks (after the scan task's clean-up).
struct UpdateChoice {
    Decision decision;
    std::string current;  // the current version folder
    int currentBuild = 0;
    std::string newFolder;  // <root>/program/V3.0.0.<build>/
    // The same in-place fix is installed already: the run logs the decision's
    // line and ends with success, changing nothing.
    bool nothingToDo = false;
};
// Besides the build of the newest version folder, the package's build must
// be newer than the newest installed fix of the ledger (either way).
UpdateChoice DecideUpdate(const RunContext& context);

// The rollback's checks, for either way.
struct RollbackChoice {
    Decision decision;
    std::string current;       // the current version folder
    std::string hotfixFolder;  // <root>/program/V3.0.0.<build>/ (new-folder way)
    int hotfixes = 0;          // version folders counted (new-folder way)
};
// Only the newest installed fix of the ledger is taken out; an in-place one
// is put back into the version folder its update worked in.
RollbackChoice DecideRollback(const RunContext& context);

// Whether `packageFolder` is the backup folder an in-place update of
// `build` made, <root>/hotfix/B<build>/FileGroup1, and that backup is
// complete (its orvpatch.ini, saved last, is there).
bool IsBackupFolder(const std::string& packageFolder, const std::string& root, int build);

// Counts the entries of program/ that are folders whose text after the last
// '.' reads as a number above 0.
int CountHotfixes(const std::string& programFolder);

// The newest version folder of program/ other than the hot-fix folder and
// the removal name, chosen as the newest-folder search chooses; empty when
// there is none.
std::string NewestRemainingVersion(const std::string& programFolder, int hotfixBuild);

// ------------------------------------------------- an interrupted run

// What the record of an interrupted run (run_state.h) makes of this run.
enum class Resume {
    kNone,               // the run starts from its checks
    kUpdateFolderMade,   // update: the version folder got its name; go on after the fill
    kRollbackMovedAway,  // new-folder rollback: the hot-fix folder is moved away already
    kRollbackFilesBack,  // in-place rollback: every saved file is back already
};
struct ResumeChoice {
    bool recordFound = false;
    bool setAside = false;  // the record is another package's: it is set aside first
    Resume resume = Resume::kNone;
    runstate::Record record;
};
// Reads <root>/.orvpatch-run and decides, for the update and the rollback of
// this package. Reads only; the procedures set the record aside.
ResumeChoice DecideUpdateResume(const RunContext& context);
ResumeChoice DecideRollbackResume(const RunContext& context);

// ----------------------------------------- what a fill or swap can read

// The first of `names` that `folder` holds no regular file under that can
// be opened for reading, with why; "" when every one can. A FIFO or device
// is never waited on.
std::string UnreadableFile(const std::vector<std::string>& names, const std::string& folder,
                           std::string* why = nullptr);
// The first entry of the tree `folder` a tree copy could not read: a folder
// that cannot be listed whole, or a regular file that cannot be opened; ""
// when there is none.
std::string UnreadableInTree(const std::string& folder);
// What users may still take on the file system of `path` or of its nearest
// existing parent (f_bavail, f_favail: root's reserve is left alone), and
// its block size.
struct FreeSpace {
    long long block = 1;
    long long bytes = 0;
    long long files = 0;
};
FreeSpace SpaceFree(std::string path);
long long BytesFree(std::string path);
// The size of a regular file (0 for anything else).
long long FileBytes(const std::string& path);

// Whether a new version folder can be filled from `current` and the package:
// every package file readable, the tree readable whole, room for both. The
// update checks this before it writes anything.
struct FillChoice {
    Decision decision;
    long long bytesNeeded = 0;  // whole blocks: each file, each folder
    long long bytesFree = 0;
    long long filesNeeded = 0;
    long long filesFree = 0;
};
FillChoice DecideNewFolderFill(const RunContext& context, const std::string& current,
                               const std::string& newFolder);
// Whether the in-place backup of `current` into `backupFolder` can be made
// (the listed files the version has are regular files that can be read, and
// there is room for them); `added` are the names the fix adds.
FillChoice DecideInPlaceBackup(const RunContext& context, const std::string& current,
                               const std::string& backupFolder,
                               const std::vector<std::string>& added);
// Whether the swap can put each of `names` from `from` into `folder`: its
// one log line names the first file that cannot be read.
Decision DecideSwap(const std::vector<std::string>& names, const std::string& from,
                    const std::string& folder);

// The file an update puts under <version folder>/<name>: for a new folder
// the package's when it lists the name, else the current version's (`resumed`:
// the folder is filled already); in place the package's when its file table
// lists the name, else the current one.
std::string FileAfterFill(const RunContext& context, const std::string& current,
                          const std::string& newFolder, const std::string& name, bool resumed);
// The version folder newest once `newFolder` is there beside `current`.
std::string NewestAfterFill(const std::string& current, const std::string& newFolder);
