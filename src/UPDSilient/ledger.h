// The ledger of installed hot fixes: one text file in the product root,
// ROOT/.orvpatch-ledger, root's alone (mode 0600), of blocks like dpkg's
// status file, one per fix and separated by an empty line:
//
//   Build: 1250
//   Way: in-place
//   Status: installed
//   Time: 2026-12-09T03:20:00Z
//   Package: /var/tmp/hotfix-1250/FileGroup1
//   Version-Folder: /opt/varnel/ORV/program/V3.0.0.1234
//   Signer:
//   List-Digest:
//   File: <sha256> <mode> <uid> <gid> <path>
//   Saved: <sha256> <path>\t<where it was saved>
//   Added: <path>
//   Program-File: <before> <after> <path>\t<where the old one was saved>
//
// (fields of a line are separated by one blank, the last two path fields by
// a tab; "-" stands for an empty field, "absent" for a file that was not
// there). It is replaced whole, by a temporary file renamed over it and
// flushed, before the step it records becomes visible; a ledger with no fix
// in it is removed, so a machine rolled back whole is as it was.
//
// What counts as installed is what the product files show: a new-folder fix
// while its version folder is there, an in-place fix while its complete
// backup (hotfix/B<build>/FileGroup1/orvpatch.ini) is there and no
// interrupted rollback of it has put every file back. Read() applies that
// rule, so the ledger agrees with the product files at any point a run may
// be killed at, and lists fixes made before the ledger existed as "found",
// with what is unknown about them left empty.
#pragma once

#include <string>
#include <vector>

namespace ledger {

// Status of a fix.
extern const char kInstalled[];      // every step of its update is done
extern const char kHalfInstalled[];  // its update became visible but has not ended
extern const char kFound[];          // made before the ledger: only its folder is known

struct File {            // a file a fix put in place
    std::string sha256;  // "" unknown
    unsigned mode = 0;
    long uid = -1;
    long gid = -1;
    std::string path;
};

struct Saved {  // an original a fix replaced, and where it is kept
    std::string sha256;
    std::string path;
    std::string savedAt;
};

// An extension manager or task executable in a Domino program folder that
// the fix replaced: its digest before and after ("absent": no file), and
// where the old one was saved ("" not known).
struct ProgramFile {
    std::string before;
    std::string after;
    std::string path;
    std::string savedAt;
};

struct Fix {
    int build = 0;
    std::string way;  // "new-folder" or "in-place"
    std::string status;
    std::string time;  // UTC, ISO 8601; "" unknown
    std::string package;
    std::string versionFolder;
    std::string signer;      // the key that signed the package; "" unsigned
    std::string listDigest;  // SHA-256 of the signed list; "" unsigned
    std::vector<File> files;
    std::vector<Saved> saved;
    std::vector<std::string> added;
    std::vector<ProgramFile> programFiles;
};

struct Ledger {
    std::vector<Fix> fixes;  // by build, oldest first
    bool readable = true;    // false: the file is there but cannot be read as a ledger
    std::string problem;     // why, for an Error: line
};

// ROOT/.orvpatch-ledger.
std::string Path(const std::string& root);

// The ledger file as written, without the product files' word; an empty one
// when there is none.
Ledger ReadFile(const std::string& root);

// The fixes installed under `root`: the ledger file held against the product
// files (see above), with the fixes found but not written in it. Reads only.
Ledger Read(const std::string& root);

// Replaces the ledger file by `ledger` (removes it when it holds no fix),
// flushed with its folder. False, with an Error: line, when it cannot be.
bool Write(const std::string& root, const Ledger& ledger);

// The newest installed fix (greatest build), or null.
const Fix* Newest(const Ledger& ledger);
// The fix of `build`, or null.
Fix* Find(Ledger& ledger, int build);
const Fix* Find(const Ledger& ledger, int build);
// Puts `fix` in place of the one of its build, or adds it.
void Put(Ledger& ledger, const Fix& fix);
// Removes the fix of `build`; false when there was none.
bool Drop(Ledger& ledger, int build);

// A file as the ledger describes it: digest, mode, owner and group; the
// digest "absent" when there is no regular file at `path`.
File Describe(const std::string& path);
// The digest of the regular file at `path`, "absent" when there is none.
std::string DigestOf(const std::string& path);

// The ledger as text, and back; Parse is false (with `problem`) on a line
// it cannot read.
std::string Text(const Ledger& ledger);
bool Parse(const std::string& text, Ledger& ledger, std::string* problem = nullptr);

// The current time as the ledger writes it.
std::string Now();

}  // namespace ledger
