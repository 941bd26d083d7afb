// The steps of a run behind the public callbacks, and helpers shared by the
// hot-fix program-file units and the procedures. Not part of the patcher's
// public interface. A step receives the installation and the run context it
// works on and says what it did; none changes the working folder or leaves
// state behind for a later step.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "UPDSilient/run_context.h"

// Gives `path` the product's permissions: mode 0775 and the group
// `orvgroup`. With `recursive`, every file and folder below a folder gets
// them too. Symbolic links are never followed: a link gets the group on the
// link itself and keeps its mode, and the walk never descends through one;
// nor is `path` reached through a link root may not follow (MayFollow).
// Where the group does not exist only the mode is set. Reports nothing.
void SetProductPermissions(const std::string& path, bool recursive);

// After a settings file (the registry, a notes.ini, orvpatch.ini) could not
// be read: the Error: line that gives its size when it was too long to read
// (errno EFBIG), else nothing.
void LogIfTooLarge(const char* path);

class KvIniReader;
// ReadConfiguration's work on settings already read into `reader`.
int ReadConfigurationFrom(KvIniReader& reader, _PatchSetting& setting);

// Whether a package file name names a file directly inside the folder it is
// used in: false for an empty name, ".", "..", and any name holding a
// separator ("/", or "\\", which the file library rewrites to "/"), so no
// name reaches into a folder below or above.
bool IsPackageNameSafe(const std::string& name);

// Whether the installation's program folder can be written and run from: an
// absolute path, and one root may write (machine::ProgramFolderFinding).
// Logs an "Error: " line and answers false otherwise, so no step ever works
// at the top of the file system because a name was empty, nor where
// notes.ini alone points. `folder` receives where to work.
bool ProgramFolderUsable(const ORVInsInfo& info);
bool ProgramFolderUsable(const ORVInsInfo& info, std::string& folder);
// ProgramFolderUsable's Error: line, or "" (logs nothing); `folder`, when
// not null, receives where to work.
std::string ProgramFolderProblem(const ORVInsInfo& info, std::string* folder = nullptr);

// ------------------------------------------------------ the library swap

// Copies each named file from `from` to `to` (creating `to`), giving each
// copy the product's permissions. False, logged, at the first failure.
// With `seal`, the files it lists come from their checked descriptors
// (signature::CopySealedFile).
bool CopyNamedFiles(const std::vector<std::string>& names, const std::string& from,
                    const std::string& to, const signature::Seal* seal = nullptr);
// Moves each named file of `folder` aside to name + "_1". The result of the
// last rename (0 success), 1 when there was none; nothing when `folder`
// cannot be opened (logged).
std::optional<int> MoveNamedFilesAside(const std::vector<std::string>& names,
                                       const std::string& folder);
// Deletes each name + "_1" of `folder`. False when `folder` cannot be opened.
bool RemoveMovedAside(const std::vector<std::string>& names, const std::string& folder);
// Renames each existing name + "_1" of `folder` back to the name. False when
// one could not be, or `folder` cannot be opened.
bool PutMovedAsideBack(const std::vector<std::string>& names, const std::string& folder);

// Renames, in `folder`, each listed name + "_1" back to the name (szDlls).
int RestoreRenamedDlls(char* folder);

// Saves each named file of `folder` that is to be replaced under name + "_1"
// (a hard link, or a copy) and puts the names to replace in `changed`. A
// file that holds the content of `from` already is neither saved nor
// replaced, and a name + "_1" that is there already (saved by an
// interrupted run) is kept: a saved original is never overwritten. False
// (logged) at the first original that cannot be saved; `changed` then holds
// the names handled before it.
bool SaveNamedFiles(const std::vector<std::string>& names, const std::string& from,
                    const std::string& folder, std::vector<std::string>& changed,
                    const signature::Seal* seal = nullptr);

// The in-place swap both procedures make: the named files of `folder` saved
// (SaveNamedFiles), those of `from` copied over them, so a name never lacks
// a complete file. False when a file cannot be copied; the saved files are
// then back under their names, and a file copied where there was none is
// gone again.
bool SwapFilesIn(const std::vector<std::string>& names, const std::string& from,
                 const std::string& folder, const signature::Seal* seal = nullptr);
// After the tasks have restarted: a pause, then the moved-aside files go.
void FinishSwap(const std::vector<std::string>& names, const std::string& folder);

// ------------------------------------- files an in-place hot fix adds

// The names of `names` that `folder` holds nothing under (no entry at all).
std::vector<std::string> NamesNotIn(const std::vector<std::string>& names,
                                    const std::string& folder);
// `names` without those of `leaveOut`, in order.
std::vector<std::string> NamesWithout(const std::vector<std::string>& names,
                                      const std::vector<std::string>& leaveOut);

// The names a hot fix adds are kept in its backup folder, one per line in
// "<backup>/.orvpatch-added", so that taking it out removes those files.
// Written before the backup is complete (before orvpatch.ini is saved);
// creates the folder. False, logged, on failure.
bool WriteAddedNames(const std::string& backupFolder, const std::vector<std::string>& names);
// The names of `names` that the backup folder `from` lists as added and
// does not hold itself (a file put back wins over the list).
std::vector<std::string> AddedNames(const std::string& from, const std::vector<std::string>& names);
// Moves each named file that a hot fix added aside to name + "_1" in
// `folder`, so the tasks restart without it (FinishSwap then deletes it,
// PutMovedAsideBack brings it back). A name already gone is passed over.
// False, logged, when one cannot be moved.
bool MoveAddedAside(const std::vector<std::string>& names, const std::string& folder);

// --------------------------------------------- per-installation steps

// What the extension manager's update did in one program folder.
struct ExtensionSwap {
    bool failed = false;    // the library could not be updated (an Error: line says why)
    bool replaced = false;  // the new library is in place
    std::string library;    // <program folder>/liborvext.so
    std::string backup;     // where the library it replaced went ("" when there was none)
};
// What the extension manager's update would do in one program folder with
// `source` (<newest version folder>/liborvext.so) as the new library: fail
// (the Error: line), leave a library that holds the new content already, or
// save the old one under `backup` (one an interrupted run saved already, or
// the next free liborvext.so_<n>) and copy the new one over it. Reads only;
// UpdateExtensionManager acts on it.
struct ExtensionPlan {
    std::string problem;  // the Error: line; "" when it can be updated
    std::string folder;   // where to work (ProgramFolderProblem)
    std::string library;  // <folder>/liborvext.so
    bool exists = false;  // a library is there now
    bool identical = false;
    std::string backup;  // where the old library goes ("" when there is none)
    bool backupExists = false;
};
ExtensionPlan PlanExtensionManager(const ORVInsInfo& info, const std::string& source);
// The two source tests of the plans: a new extension manager is there, a
// loader is a regular file that can be read.
bool ExtensionSourceThere(const std::string& source);
bool LoaderSourceReadable(const std::string& source);
ExtensionSwap UpdateExtensionManager(const ORVInsInfo& info, const RunContext& context);
// Puts the libraries that UpdateExtensionManager replaced back.
void RestoreExtensionManagers(const std::vector<ExtensionSwap>& swaps);

// What the loader update would do in one program folder with `source`
// (<newest version folder>/loader): fail before it starts (the Error:
// line), whether its copies can succeed, and for each task executable whether it holds the loader
// already, and whether an original saved as <task>_1 by an earlier run is kept.
struct LoaderTask {
    std::string target;  // <program folder>/<task>
    bool exists = false;
    bool identical = false;
    bool savedExists = false;  // <task>_1 is there
};
struct LoaderPlan {
    std::string problem;
    std::string folder;  // where to work (ProgramFolderProblem)
    // Whether the loader can be read: otherwise every copy fails, the
    // executables stay as they are and the update is not complete.
    bool sourceReadable = false;
    std::vector<LoaderTask> tasks;
};
LoaderPlan PlanTaskLoaders(const ORVInsInfo& info, const std::string& source);
// Replaces each task executable with the newest version's loader. False
// when one could not be replaced (logged).
bool UpdateTaskLoaders(const ORVInsInfo& info, const RunContext& context);

// Whether the installation's server runs (its lock file is locked); logs
// the finding.
bool ServerRunning(const ORVInsInfo& info);

// Stops, counts, loads and restarts the ORV tasks of one installation.
void StopTasks(const ORVInsInfo& info, const RunContext& context);
int CountRunningTasks(const ORVInsInfo& info);
// Loads the tasks that do not run (the monitor always). False when a command
// could not be sent or a loaded task does not run within a few seconds
// (an Error: line says which).
bool LoadTasks(const ORVInsInfo& info, const RunContext& context);
// What StopTasks and CountRunningTasks decide from the lock probes as they
// stand now, without sending anything: the console commands StopTasks would
// send (none when the server does not run; the server probe is logged), and
// the running tasks CountRunningTasks counts, which the rollback waits to end.
std::vector<std::string> StopCommands(const ORVInsInfo& info);
std::vector<std::string> RunningCountedTasks(const ORVInsInfo& info);
// The console commands LoadTasks and RestartTasks would send as the lock
// probes see the tasks now (every task asked to quit taken to end).
std::vector<std::string> LoadCommands(const ORVInsInfo& info);
std::vector<std::string> RestartCommands(const ORVInsInfo& info);
// Why the console commands of the installation cannot be run: its program
// folder is no absolute path or not one the commands' identity may run from
// (DecideConsole), or "<program folder>/server" is missing, no regular
// file, or not executable by that identity; "" when they can. Reads only.
std::string ConsoleProblem(const ORVInsInfo& info, const RunContext& context);

// What a restart of the installation's tasks would do, from the lock probes
// as they stand now: nothing when the server does not run; otherwise its
// commands, or the Error: line that fails it before any is sent. Logs the
// server probe only. RestartTasks acts on it.
struct RestartOutlook {
    bool serverRunning = false;
    std::string problem;  // the Error: line; "" when the commands can be sent
    std::vector<std::string> commands;
    uid_t uid = 0;  // whom the commands run as
};
RestartOutlook DecideRestart(const ORVInsInfo& info, const RunContext& context);
// The same for the load after a stop (LoadTasks).
RestartOutlook DecideLoad(const ORVInsInfo& info, const RunContext& context);
// The running tasks the rollback waits to end that its stop cannot end:
// none is asked to quit, or no command can be sent.
std::vector<std::string> TasksTheStopLeaves(const ORVInsInfo& info, const RunContext& context);

// Restarts the tasks of a running server: each that runs is asked to quit
// and loaded again once it has ended, the others just loaded. True when the
// server does not run or every task runs again; false (Error: lines) when
// the commands cannot be run as the owner of notes.ini, a command could not
// be sent, a task did not quit within its bounded wait (it is then never
// loaded a second time), or a loaded task does not run.
bool RestartTasks(const ORVInsInfo& info, const RunContext& context);

// Sends one console command to the installation's server: its executable
// "<program folder>/server", run directly with its notes.ini, under the
// identity DecideConsole gives. True when the command was started; a
// command that was refused, or whose program could not be started, is false
// (an Error: line says why). The server's own answer is not looked at.
//
// Each installation's console work in a run has one time budget (30 minutes
// of the patcher's time from its first command); each command may take at
// most 300 seconds, and no more than what is left of the budget. A command
// that reaches its limit is killed and counts as failed, and, like a spent
// budget, ends that installation's console work for the rest of the run
// (an Error: line names the installation and the command): every later
// command to it is false without being sent.
bool SendDominoCommand(const ORVInsInfo& info, const RunContext& context,
                       const std::string& command);
// Whether the installation's console work has ended so in this run.
bool ConsoleWorkEnded(const ORVInsInfo& info);

// The package's readme, by its name in the package and beside the version
// folders.
extern const char kReadMeName[];
// The package's readme beside the version folders. False when it could not
// be copied (logged).
bool InstallReadMe(const RunContext& context);

// The newest version folder in <root>/<sub>, as GetLatestPathN chooses it:
// `path` is the entry with the greatest version ("" when none beats
// 0.0.0.0), `valid` whether its first number is not 0.
struct NewestVersion {
    std::string path;
    bool valid = false;
};
NewestVersion FindNewestVersion(const std::string& root, const std::string& sub);

// Makes <root>/program/latest name `target`; false (logged) when the link
// cannot be switched, the old link then being as it was.
bool SwitchLatest(const std::string& root, const std::string& target);
// Why program/latest cannot be switched: a real folder stands under its
// name, which no link can replace in one rename; "" otherwise. SwitchLatest
// asks it first.
std::string LatestSwitchProblem(const std::string& root, const std::string& target);

// ------------------------------------------- what the ledger records of a fix

namespace ledger {
struct ProgramFile;
struct Fix;
}  // namespace ledger

// The extension manager and, with `loaders`, the task executables of every
// registered installation's program folder as they are now: their digests
// in `before` (the state a rollback puts back).
std::vector<ledger::ProgramFile> ProgramFilesNow(const RunContext& context, bool loaders);
// Once the update's steps are done: each file's digest now, and where the
// copy holding its `before` content is kept.
void NoteProgramFilesAfter(std::vector<ledger::ProgramFile>& files);
// What a rollback of `fix` would do with each program file: the file it
// would copy back ("" nothing to do; "-" to remove one the fix added;
// "?" no copy holds the old content). `remaining` is the version folder
// that stays newest.
std::string ProgramFileSource(const ledger::ProgramFile& file, const std::string& remaining);
// Puts the extension managers and task executables `fix` replaced back as
// they were before it, byte for byte. False (Error: lines) when one could
// not be.
bool PutProgramFilesBack(const ledger::Fix& fix, const std::string& remaining);
// The load after the rollback's stop, with every task it asks to quit ended.
std::vector<std::string> LoadCommandsAfterStop(const ORVInsInfo& info);
