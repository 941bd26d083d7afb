// --list and --verify: the ledger of installed fixes read as the patcher
// reads it, and what the fixes put in place held against it, in the nine
// columns of rpm -V (S size, M mode, 5 digest, D device, L link, U owner,
// G group, T time, P capabilities: '.' passed, '?' not checked, the letter
// when it differs).
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/ledger.h"
#include "check_machine.h"
#include "inspect.h"

namespace check {

namespace {

int NoInstallation(ORVInsInfo*, void*) {
    return 1;
}

// The product root as the patcher's walk finds it; "" when it cannot.
std::string ProductRoot(std::string& why) {
    g_szORVPatch[0] = '\0';
    const int rc = ParseORVInsINI(NoInstallation, nullptr);
    checkmachine::TakeLogLines();
    if (rc != 0 || g_szORVPatch[0] == '\0') {
        why = "the registry /etc/orvsys.ini names no product root";
        return std::string();
    }
    return g_szORVPatch;
}

struct Finding {
    std::string flags;  // nine columns, or "missing"
    std::string path;
};

// One file against what the ledger says of it; `expected` its digest
// ("absent": it must not be there), mode/uid/gid when known (`full`).
void Compare(const std::string& path, const std::string& expected, bool full, unsigned mode,
             long uid, long gid, std::vector<Finding>& findings) {
    struct stat st;
    const bool there = ::lstat(path.c_str(), &st) == 0;
    if (expected == "absent") {
        if (there) {
            findings.push_back({"..5......", path});
        }
        return;
    }
    if (!there) {
        findings.push_back({"missing", path});
        return;
    }
    std::string flags = "?????????";
    flags[4] = S_ISLNK(st.st_mode) ? 'L' : '.';
    if (!expected.empty()) {
        flags[2] = ledger::DigestOf(path) == expected ? '.' : '5';
    }
    if (full) {
        flags[1] = (st.st_mode & 07777) == mode ? '.' : 'M';
        flags[5] = static_cast<long>(st.st_uid) == uid ? '.' : 'U';
        flags[6] = static_cast<long>(st.st_gid) == gid ? '.' : 'G';
    }
    if (flags.find_first_of("M5LUG") != std::string::npos) {
        findings.push_back({flags, path});
    }
}

// The product root and its installed fixes; false (the report of why in
// `out`) when it cannot tell.
bool ReadInstalled(bool json, const char* failing, std::string& root, ledger::Ledger& installed,
                   std::string& out) {
    std::string why;
    root = ProductRoot(why);
    if (!root.empty()) {
        installed = ledger::Read(root);
        why = installed.readable ? why : "the ledger " + installed.problem;
    }
    if (root.empty() || !installed.readable) {
        out = json ? "{\"format_version\": 1, \"error\": " + JsonString(why) + "}\n"
                   : std::string("orvpatch-check: ") + failing + ": " + why + "\n";
        return false;
    }
    return true;
}

}  // namespace

int ListInstalled(bool json, std::string& out) {
    std::string root;
    ledger::Ledger installed;
    if (!ReadInstalled(json, "cannot tell what is installed", root, installed, out)) {
        return 2;
    }
    std::string text =
        json ? "{\"format_version\": 1, \"root\": " + JsonString(root) + ", \"fixes\": [" : "";
    bool first = true;
    for (auto fix = installed.fixes.rbegin(); fix != installed.fixes.rend(); ++fix) {
        if (json) {
            text += std::string(first ? "" : ", ") + "{\"build\": " + std::to_string(fix->build) +
                    ", \"way\": " + JsonString(fix->way) +
                    ", \"status\": " + JsonString(fix->status) +
                    ", \"time\": " + JsonString(fix->time) +
                    ", \"package\": " + JsonString(fix->package) +
                    ", \"version_folder\": " + JsonString(fix->versionFolder) +
                    ", \"signer\": " + JsonString(fix->signer) + "}";
        } else {
            text += std::to_string(fix->build) + "  " + fix->way + "  " + fix->status + "  " +
                    (fix->time.empty() ? "unknown" : fix->time) + "  " +
                    (fix->signer.empty() ? "unsigned" : "signed by " + fix->signer) + "\n";
        }
        first = false;
    }
    if (json) {
        text += "]}\n";
    } else if (installed.fixes.empty()) {
        text = "No hot fix is installed in " + root + ".\n";
    }
    out = text;
    return 0;
}

int VerifyInstalled(bool json, std::string& out) {
    std::string root;
    ledger::Ledger installed;
    if (!ReadInstalled(json, "cannot verify", root, installed, out)) {
        return 2;
    }
    std::vector<Finding> findings;
    std::set<std::string> seen;  // a path is the newest fix's that recorded it
    int unknown = 0;
    for (auto fix = installed.fixes.rbegin(); fix != installed.fixes.rend(); ++fix) {
        if (fix->status == ledger::kFound) {
            ++unknown;
            continue;
        }
        if (!fix->versionFolder.empty() && seen.insert(fix->versionFolder).second) {
            struct stat st;
            if (::stat(fix->versionFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                findings.push_back({"missing", fix->versionFolder});
            }
        }
        for (const ledger::File& file : fix->files) {
            if (seen.insert(file.path).second) {
                Compare(file.path, file.sha256, file.uid >= 0, file.mode, file.uid, file.gid,
                        findings);
            }
        }
        for (const ledger::ProgramFile& file : fix->programFiles) {
            if (seen.insert(file.path).second && !file.after.empty()) {
                Compare(file.path, file.after, false, 0, -1, -1, findings);
            }
        }
    }
    std::string text = json ? "{\"format_version\": 1, \"root\": " + JsonString(root) +
                                  ", \"unknown_fixes\": " + std::to_string(unknown) +
                                  ", \"findings\": ["
                            : "";
    for (size_t i = 0; i < findings.size(); ++i) {
        text += json ? std::string(i == 0 ? "" : ", ") +
                           "{\"flags\": " + JsonString(findings[i].flags) +
                           ", \"path\": " + JsonString(findings[i].path) + "}"
                     : findings[i].flags + " " + findings[i].path + "\n";
    }
    if (json) {
        text += "]}\n";
    } else if (unknown > 0) {
        text += "orvpatch-check: " + std::to_string(unknown) +
                " fix(es) made before the ledger: what they put in place is not known.\n";
    }
    out = text;
    return findings.empty() ? 0 : 1;
}

}  // namespace check
