// What one run works on, handed to each step instead of kept in globals: the
// product root as the registry walk read it, the package folder, the
// package's file names and its settings. Per-installation steps are ordinary
// functions taking an installation and this context; ForEachInstallation
// runs one over the registry.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"

struct ConsoleIdentities;  // console_identity.h
namespace signature {
struct Seal;
}

// The package folder every run reads, relative to the working folder.
extern const char kPackageFolder[];

// How many of the package's names the in-place file table holds; the new
// folder way installs every name.
const size_t kFileTableSize = 32;

struct RunContext {
    std::string productRoot;    // no trailing separator; set by each walk
    std::string packageFolder;  // "./FileGroup1"
    // Every usable name of the package's Files list, in list order (see
    // PackageFileNames); `fileTable` the part of it the in-place way swaps.
    std::vector<std::string> packageFiles;
    std::vector<std::string> fileTable;
    const _PatchSetting* setting = nullptr;  // null where a step needs none
    // The console identity of each server, decided once from its notes.ini
    // as the run found it (ConsoleIdentityOf); shared by every copy of the
    // context. Null: each question is decided afresh.
    std::shared_ptr<ConsoleIdentities> consoles;
    // The update's checked package (signature.h): its files are copied from
    // the descriptors whose digests were checked. Null: copied by name.
    std::shared_ptr<const signature::Seal> seal;
};

// A per-installation step: true lets the walk go on, false stops it (the
// walker then logs that it broke out).
typedef std::function<bool(const ORVInsInfo& info, const RunContext& context)> InstallationStep;

// Reads the registry afresh and runs `step` on each installation in turn,
// with a copy of `context` whose productRoot is the root this walk read.
// Results as ParseORVInsINI's.
int ForEachInstallation(const RunContext& context, const InstallationStep& step);

// The context of a run: the product root of the opening's walk, the
// package folder, the package's names and its settings (kept by reference).
RunContext MakeRunContext(const InstallInfo& package, const _PatchSetting& setting);

// Runs `step` over the registry, then takes the product root this walk read
// for the product-wide steps that follow.
void Walk(RunContext& context, const InstallationStep& step);

// The context a public callback works in when it is called on its own: the
// product root of the last walk, the package folder, and the file table.
RunContext ContextFromGlobals();

// ------------------------------------------------------------- package names

// The package's Files list sorted into what a run uses. A name is used once,
// in the order of its first appearance; an empty name (a doubled or
// trailing comma) names nothing and is passed over without a word; a name
// that is not one directly inside its folder (IsPackageNameSafe) is refused,
// and a run with such a name changes nothing (DecidePackage).
struct PackageFileList {
    std::vector<std::string> names;     // the usable names
    std::vector<std::string> unsafe;    // refused names, in list order
    std::vector<std::string> repeated;  // names listed again after their first time
};

// Sorts the first `limit` entries of `files` (all of them by default).
PackageFileList ClassifyPackageFiles(const std::list<std::string>& files,
                                     size_t limit = static_cast<size_t>(-1));

// The usable names of the whole Files list, and those of the in-place file
// table (the first kFileTableSize entries of the list).
std::vector<std::string> PackageFileNames(const _PatchSetting& setting);
std::vector<std::string> FileTableNames(const _PatchSetting& setting);

// Logs, once, each refused and each repeated name of the Files list.
void LogPackageFileRemarks(const _PatchSetting& setting);

// The log line for a refused name.
void LogUnsafeName(const std::string& name);

// The usable names of a table of slots such as szDlls (empty slots skipped).
PackageFileList ClassifySlots(char* const* slots, size_t count);
