// The checks a run makes before it changes anything, as functions without
// side effects: each answers what the patcher would log and print and
// whether it would go on. The patcher carries the answers out; the
// read-only check tool reports them. Also the names and paths the
// procedures derive from the product root and a build number.
#pragma once

#include <string>
#include <vector>

#include "UPDSilient/run_context.h"

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

// Writes a verdict line: the bare text, no line feed.
void PrintVerdict(const std::string& verdict);

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

// The update's first check: the package's version folder must not exist.
Decision DecideEnvironment(const RunContext& context);

// The update's build checks (after the scan task's clean-up).
struct UpdateChoice {
    Decision decision;
    std::string current;  // the current version folder
    int currentBuild = 0;
    std::string newFolder;  // <root>/program/V3.0.0.<build>/
};
UpdateChoice DecideUpdate(const RunContext& context);

// The rollback's checks, for either way.
struct RollbackChoice {
    Decision decision;
    std::string current;       // the current version folder
    std::string hotfixFolder;  // <root>/program/V3.0.0.<build>/ (new-folder way)
    int hotfixes = 0;          // version folders counted (new-folder way)
};
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
