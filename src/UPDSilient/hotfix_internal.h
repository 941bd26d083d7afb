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
// link itself and keeps its mode, and the walk never descends through one.
// Where the group does not exist only the mode is set. Reports nothing.
void SetProductPermissions(const std::string& path, bool recursive);

// Whether a package file name stays inside the folder it is used in: false
// for an empty name, an absolute one, one with a ".." component, and one that
// names the folder itself ("." or "./"). "\" counts as a separator, since the
// file library rewrites it to "/".
bool IsPackageNameSafe(const std::string& name);

// Whether the installation's program folder can be written and run from: an
// absolute path, and one root may write (machine::ProgramFolderFinding).
// Logs an "Error: " line and answers false otherwise, so no step ever works
// at the top of the file system because a name was empty, nor where
// notes.ini alone points. `folder` receives where to work.
bool ProgramFolderUsable(const ORVInsInfo& info);
bool ProgramFolderUsable(const ORVInsInfo& info, std::string& folder);

// ------------------------------------------------------ the library swap

// Copies each named file from `from` to `to` (creating `to`), giving each
// copy the product's permissions. False, logged, at the first failure.
bool CopyNamedFiles(const std::vector<std::string>& names, const std::string& from,
                    const std::string& to);
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
// (a hard link, or a copy) and answers the names to replace. A file that
// holds the content of `from` already is neither saved nor replaced, and a
// name + "_1" that is there already (saved by an interrupted run) is kept:
// a saved original is never overwritten.
std::vector<std::string> SaveNamedFiles(const std::vector<std::string>& names,
                                        const std::string& from, const std::string& folder);

// The in-place swap both procedures make: the named files of `folder` saved
// (SaveNamedFiles), those of `from` copied over them, so a name never lacks
// a complete file. False when a file cannot be copied; the saved files are
// then back under their names, and a file copied where there was none is
// gone again.
bool SwapFilesIn(const std::vector<std::string>& names, const std::string& from,
                 const std::string& folder);
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
ExtensionSwap UpdateExtensionManager(const ORVInsInfo& info, const RunContext& context);
// Puts the libraries that UpdateExtensionManager replaced back.
void RestoreExtensionManagers(const std::vector<ExtensionSwap>& swaps);

// Replaces each task executable with the newest version's loader. False
// when one could not be replaced (logged).
bool UpdateTaskLoaders(const ORVInsInfo& info, const RunContext& context);

// Whether the installation's server runs (its lock file is locked); logs
// the finding.
bool ServerRunning(const ORVInsInfo& info);

// Stops, counts, loads and restarts the ORV tasks of one installation.
void StopTasks(const ORVInsInfo& info);
int CountRunningTasks(const ORVInsInfo& info);
void LoadTasks(const ORVInsInfo& info);
// What StopTasks and CountRunningTasks decide from the lock probes as they
// stand now, without sending anything: the console commands StopTasks would
// send (none when the server does not run; the server probe is logged), and
// the running tasks CountRunningTasks counts, which the rollback waits to end.
std::vector<std::string> StopCommands(const ORVInsInfo& info);
std::vector<std::string> RunningCountedTasks(const ORVInsInfo& info);
// False when the commands cannot be run as the owner of notes.ini.
bool RestartTasks(const ORVInsInfo& info);

// Sends one console command to the installation's server: its executable
// "<program folder>/server", run directly with its notes.ini, under the
// identity of that notes.ini's owner. True when the command was started; a
// command that was refused, or whose program could not be started, is false
// (an Error: line says why). The server's own answer is not looked at.
bool SendDominoCommand(const ORVInsInfo& info, const std::string& command);

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
