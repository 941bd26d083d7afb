// What lets an interrupted run be finished by the next one: a small record
// of the run under way in the product root, the sweep of the temporary files
// an interrupted run left behind, and the few file steps that make a run's
// changes safe to stop at any point (an original saved under a second name
// before anything happens to it, a folder flushed after a rename).
//
// The record (<root>/.orvpatch-run) holds the package's build, the procedure
// (update or rollback, new folder or in place), the package folder and the
// last step the run finished, as "key=value" lines. It is written under a
// temporary name, flushed and renamed over the old one, and the folder is
// flushed after, so a kill or a power loss leaves the old record or the new
// one. It exists only while a run is under way or after one was interrupted.
#pragma once

#include <sys/types.h>

#include <string>

namespace runstate {

// Steps a run records, in the order it reaches them.
extern const char kStepChecked[];       // the checks passed; nothing changed yet
extern const char kStepFolderMade[];    // update: the new version folder has its name
extern const char kStepTasksStopped[];  // rollback: the tasks are stopped
extern const char kStepMovedAway[];     // new-folder rollback: the hot-fix folder is moved away
extern const char kStepFilesBack[];     // in-place rollback: every saved file is back

struct Record {
    int build = 0;
    std::string mode;     // "update" or "rollback"
    std::string layout;   // "new-folder" or "in-place"
    std::string package;  // the package folder, absolute
    std::string step;     // the last step finished
};

// <root>/.orvpatch-run for the product root `root`.
std::string RecordPath(const std::string& root);

// Reads the record; false when there is none or it cannot be read as one.
bool Read(const std::string& root, Record& record);

// Writes the record atomically; false (logged as an Error: line) on failure.
bool Write(const std::string& root, const Record& record);

// Removes the record (a run that ended, whatever its outcome).
void Remove(const std::string& root);

// Moves a record that belongs to another package aside, to
// <root>/.orvpatch-run.set-aside, with an Info: line, so it never blocks a run.
void SetAside(const std::string& root, const Record& record);

// The absolute path of `folder` (relative to the working folder when it is
// relative), without "./" parts; `folder` itself when the working folder is
// unknown.
std::string AbsolutePath(const std::string& folder);

// Removes, in `folder`, the temporary files that a run of this program left
// there (fileio::IsTemporaryName) when the process that made them is gone,
// each with an Info: line. Files of a live process, anything that is not a
// regular file, and files that do not belong to whoever acts in the folder
// (root's side, or the owner of another user's folder) are left.
void SweepLeftovers(const std::string& folder);

// Saves `path` under `saved` in the same folder before anything happens to
// it: a hard link, or a copy where the file system refuses one. The folder
// is flushed. False (errno set) when neither worked.
bool SaveOriginal(const std::string& path, const std::string& saved);

// Whether `a` and `b` are one file (same device and inode).
bool SameFile(const std::string& a, const std::string& b);

// Flushes the folder that holds `path` (a file or a folder), so that a
// rename or a link made in it survives a power loss.
void FlushFolderOf(const std::string& path);

}  // namespace runstate
