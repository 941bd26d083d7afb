// Signed hot fixes: the package's FileGroup1/SHA256.sig (a signify embedded
// signature of a `sha256sum --tag` list) checked against the trusted keys of
// /etc/orvpatch/keys, and every listed file against its digest. The update
// and orvpatch-check ask the same function, and the update copies each
// package file from the descriptor whose digest was checked.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "UPDSilient/decisions.h"
#include "UPDSilient/run_context.h"
#include "UpdateORV/FileIo.h"

namespace signature {

extern const char kKeysFolder[];     // "/etc/orvpatch/keys"
extern const char kSignatureFile[];  // "SHA256.sig"

enum class State {
    kUnsigned,      // no trusted key and no SHA256.sig: installed as it is
    kVerified,      // signed by a trusted key, every listed file matches
    kUnverifiable,  // no trusted key, but SHA256.sig's digests all match
    kBad,           // refused: `path` and `reason` tell why
};
const char* StateName(State state);  // "unsigned", "verified", "unverifiable", "bad"

// One listed package file and its digest; a file the run reads is kept
// open: the descriptor its digest was taken from, which the update copies
// from.
struct SealedFile {
    fileio::Fd fd;
    std::string sha256;
};

// What the check of a package found.
struct Seal {
    State state = State::kUnsigned;
    std::string keyFile;     // verified: the key's file name in the keys folder
    std::string keyNumber;   // verified: its key number, 16 hex digits
    std::string path;        // bad: the file at fault
    std::string reason;      // bad: why
    std::string listDigest;  // SHA-256 of the signed list (empty without SHA256.sig)
    std::map<std::string, SealedFile> files;  // every listed name

    // The listed file `name`, or null.
    const SealedFile* Find(const std::string& name) const;
};

// The names a run of the update reads from `context.packageFolder`: its
// settings, every usable Files name and the readme when there is one.
std::vector<std::string> NamesTheUpdateReads(const RunContext& context);

// Checks the package in `packageFolder`, whose run reads `reads`, against
// the keys of the keys folder (through the machine seam). With a trusted key
// (or a keys folder that cannot be trusted) the package must be signed by
// one; with or without, when SHA256.sig is there every listed file must
// match its digest and every name in `reads` must be listed. With
// `settings` (what the run read from orvpatch.ini before), the listed
// orvpatch.ini's checked bytes must give the same settings. Reads only.
Seal CheckPackage(const std::string& packageFolder, const std::vector<std::string>& reads,
                  const _PatchSetting* settings = nullptr);

// What the update logs, prints and whether it goes on, for `seal`.
Decision DecideSignature(const Seal& seal);

// Copies the package file `name` to `to`: from its sealed descriptor, its
// digest checked as it is copied, when the run's seal lists it; else by
// name. A file library result code; a digest that no longer matches is
// logged here.
int CopyPackageFile(const RunContext& context, const std::string& name, const std::string& to,
                    bool overwrite);
// The same from the folder `from` with the seal `seal` (null: by name).
int CopySealedFile(const Seal* seal, const std::string& from, const std::string& name,
                   const std::string& to, bool overwrite);

// Whether the file at `path` holds the bytes `seal` lists for `name`; with
// no seal or no such name, whether it holds the bytes of `from`/`name`.
bool HoldsPackageFile(const Seal* seal, const std::string& from, const std::string& name,
                      const std::string& path);

}  // namespace signature
