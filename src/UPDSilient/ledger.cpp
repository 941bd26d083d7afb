#include "UPDSilient/ledger.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include "UPDSilient/checkdomino_silent.h"
#include "UPDSilient/decisions.h"
#include "UPDSilient/run_state.h"
#include "UpdateORV/FileIo.h"
#include "UpdateORV/debug.h"
#include "common/Sha256.h"

namespace ledger {

const char kInstalled[] = "installed";
const char kHalfInstalled[] = "half-installed";
const char kFound[] = "found";

namespace {

const char kName[] = ".orvpatch-ledger";
const size_t kLargest = 16 << 20;

std::string Field(const std::string& text) {
    return text.empty() ? "-" : text;
}
std::string Unfield(const std::string& text) {
    return text == "-" ? std::string() : text;
}

// Splits "a b c rest\tsecond" into `count` blank-separated fields and the
// rest; false when there are too few.
bool Split(const std::string& value, size_t count, std::vector<std::string>& fields,
           std::string& rest) {
    fields.clear();
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t blank = value.find(' ', at);
        if (blank == std::string::npos) {
            return false;
        }
        fields.push_back(value.substr(at, blank - at));
        at = blank + 1;
    }
    rest = value.substr(at);
    return !rest.empty();
}

std::pair<std::string, std::string> Tabbed(const std::string& text) {
    const size_t tab = text.find('\t');
    return tab == std::string::npos
               ? std::make_pair(text, std::string())
               : std::make_pair(text.substr(0, tab), Unfield(text.substr(tab + 1)));
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegular(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the product files show `fix` installed (see the header).
bool Shown(const std::string& root, const Fix& fix, const runstate::Record& record,
           bool recordFound) {
    const bool putBack = recordFound && record.mode == "rollback" && record.build == fix.build &&
                         record.step == runstate::kStepFilesBack;
    if (fix.way == "in-place") {
        return !putBack && IsRegular(BackupFolderPath(root, fix.build) + "/orvpatch.ini");
    }
    return IsFolder(VersionFolderPath(root, fix.build));
}

// The fixes the product files show: every version folder but the oldest
// (the product as installed), and every complete in-place backup.
std::vector<Fix> Evident(const std::string& root, const runstate::Record& record,
                         bool recordFound) {
    std::vector<Fix> found;
    std::vector<std::pair<std::array<int, 4>, int>> versions;
    const std::string program = root + "/program";
    if (DIR* dir = ::opendir(program.c_str())) {
        while (struct dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            std::array<int, 4> v{{0, 0, 0, 0}};
            if (name.empty() || name[0] != 'V' || name == "V3.0.0.0000") {
                continue;
            }
            KvParseVersionStr(name.c_str(), &v[0], &v[1], &v[2], &v[3]);
            if (v[0] != 0 && v[3] > 0 && IsFolder(program + "/" + name) &&
                name == VersionFolderName(v[3])) {
                versions.emplace_back(v, v[3]);
            }
        }
        ::closedir(dir);
    }
    std::sort(versions.begin(), versions.end());
    for (size_t i = 1; i < versions.size(); ++i) {
        Fix fix;
        fix.build = versions[i].second;
        fix.way = "new-folder";
        fix.status = kFound;
        fix.versionFolder = VersionFolderPath(root, fix.build);
        found.push_back(fix);
    }
    if (DIR* dir = ::opendir((root + "/hotfix").c_str())) {
        while (struct dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() < 2 || name[0] != 'B' ||
                name.find_first_not_of("0123456789", 1) != std::string::npos) {
                continue;
            }
            Fix fix;
            fix.build = std::atoi(name.c_str() + 1);
            fix.way = "in-place";
            fix.status = kFound;
            if (fix.build > 0 && "B" + std::to_string(fix.build) == name &&
                Shown(root, fix, record, recordFound)) {
                found.push_back(fix);
            }
        }
        ::closedir(dir);
    }
    return found;
}

bool ByBuild(const Fix& a, const Fix& b) {
    return a.build < b.build;
}

}  // namespace

std::string Path(const std::string& root) {
    return root + "/" + kName;
}

std::string Now() {
    const time_t now = ::time(nullptr);
    struct tm utc;
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string DigestOf(const std::string& path) {
    struct stat st;
    fileio::Fd fd = fileio::OpenRegularForReading(AT_FDCWD, path.c_str(), st);
    std::string hex;
    if (!fd.valid() || !digest::Sha256OfFd(fd.get(), &hex)) {
        return "absent";
    }
    return hex;
}

File Describe(const std::string& path) {
    File file;
    file.path = path;
    struct stat st;
    fileio::Fd fd = fileio::OpenRegularForReading(AT_FDCWD, path.c_str(), st);
    if (!fd.valid() || !digest::Sha256OfFd(fd.get(), &file.sha256)) {
        file.sha256 = "absent";
        return file;
    }
    file.mode = st.st_mode & 07777;
    file.uid = static_cast<long>(st.st_uid);
    file.gid = static_cast<long>(st.st_gid);
    return file;
}

std::string Text(const Ledger& ledger) {
    std::ostringstream out;
    for (size_t i = 0; i < ledger.fixes.size(); ++i) {
        const Fix& f = ledger.fixes[i];
        out << (i == 0 ? "" : "\n") << "Build: " << f.build << "\nWay: " << f.way
            << "\nStatus: " << f.status << "\nTime: " << f.time << "\nPackage: " << f.package
            << "\nVersion-Folder: " << f.versionFolder << "\nSigner: " << f.signer
            << "\nList-Digest: " << f.listDigest << "\n";
        for (const File& file : f.files) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "%04o", file.mode);
            out << "File: " << Field(file.sha256) << " " << mode << " " << file.uid << " "
                << file.gid << " " << file.path << "\n";
        }
        for (const Saved& s : f.saved) {
            out << "Saved: " << Field(s.sha256) << " " << s.path << "\t" << Field(s.savedAt)
                << "\n";
        }
        for (const std::string& added : f.added) {
            out << "Added: " << added << "\n";
        }
        for (const ProgramFile& p : f.programFiles) {
            out << "Program-File: " << Field(p.before) << " " << Field(p.after) << " " << p.path
                << "\t" << Field(p.savedAt) << "\n";
        }
    }
    return out.str();
}

bool Parse(const std::string& text, Ledger& ledger, std::string* problem) {
    ledger.fixes.clear();
    std::istringstream in(text);
    std::string line;
    Fix* fix = nullptr;
    int number = 0;
    auto fail = [&](const char* why) {
        if (problem != nullptr) {
            *problem = Format("line %d %s", number, why);
        }
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) {
            fix = nullptr;
            continue;
        }
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            return fail("is no \"Key: value\" line");
        }
        const std::string k = line.substr(0, colon);
        const std::string value = line.substr(colon + 2);
        if (k == "Build") {
            char* end = nullptr;
            const long build = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || build <= 0 || build > 99999999) {
                return fail("holds no build number");
            }
            ledger.fixes.emplace_back();
            fix = &ledger.fixes.back();
            fix->build = static_cast<int>(build);
            continue;
        }
        if (fix == nullptr) {
            return fail("comes before the Build line of its block");
        }
        std::vector<std::string> fields;
        std::string rest;
        if (k == "Way") {
            fix->way = value;
        } else if (k == "Status") {
            fix->status = value;
        } else if (k == "Time") {
            fix->time = value;
        } else if (k == "Package") {
            fix->package = value;
        } else if (k == "Version-Folder") {
            fix->versionFolder = value;
        } else if (k == "Signer") {
            fix->signer = value;
        } else if (k == "List-Digest") {
            fix->listDigest = value;
        } else if (k == "File" && Split(value, 4, fields, rest)) {
            File f;
            f.sha256 = Unfield(fields[0]);
            f.mode = static_cast<unsigned>(std::strtoul(fields[1].c_str(), nullptr, 8));
            f.uid = std::strtol(fields[2].c_str(), nullptr, 10);
            f.gid = std::strtol(fields[3].c_str(), nullptr, 10);
            f.path = rest;
            fix->files.push_back(f);
        } else if (k == "Saved" && Split(value, 1, fields, rest)) {
            const auto paths = Tabbed(rest);
            fix->saved.push_back({Unfield(fields[0]), paths.first, paths.second});
        } else if (k == "Added" && !value.empty()) {
            fix->added.push_back(value);
        } else if (k == "Program-File" && Split(value, 2, fields, rest)) {
            const auto paths = Tabbed(rest);
            fix->programFiles.push_back(
                {Unfield(fields[0]), Unfield(fields[1]), paths.first, paths.second});
        } else {
            return fail("is not understood");
        }
    }
    for (const Fix& f : ledger.fixes) {
        if (f.way != "new-folder" && f.way != "in-place") {
            number = 0;
            return fail("names no way (new-folder or in-place) for a fix");
        }
    }
    std::stable_sort(ledger.fixes.begin(), ledger.fixes.end(), ByBuild);
    return true;
}

Ledger ReadFile(const std::string& root) {
    Ledger ledger;
    const std::string path = Path(root);
    struct stat st;
    fileio::Fd fd = fileio::OpenRegularForReading(AT_FDCWD, path.c_str(), st);
    if (!fd.valid()) {
        if (errno != ENOENT) {
            ledger.readable = false;
            ledger.problem = Format("(%s) cannot be read: %s", path.c_str(), std::strerror(errno));
        }
        return ledger;
    }
    std::string text;
    std::string why;
    if (st.st_uid != 0 && ::geteuid() == 0) {
        ledger.readable = false;
        ledger.problem = Format("(%s) does not belong to root", path.c_str());
    } else if (!fileio::ReadAll(fd.get(), text, kLargest)) {
        ledger.readable = false;
        ledger.problem = Format("(%s) cannot be read: %s", path.c_str(), std::strerror(errno));
    } else if (!Parse(text, ledger, &why)) {
        ledger.readable = false;
        ledger.problem = Format("(%s) %s", path.c_str(), why.c_str());
    }
    return ledger;
}

Ledger Read(const std::string& root) {
    Ledger written = ReadFile(root);
    runstate::Record record;
    const bool recordFound = runstate::Read(root, record);
    Ledger ledger;
    ledger.readable = written.readable;
    ledger.problem = written.problem;
    for (const Fix& fix : written.fixes) {
        if (Shown(root, fix, record, recordFound)) {
            ledger.fixes.push_back(fix);
        }
    }
    for (const Fix& fix : Evident(root, record, recordFound)) {
        if (Find(ledger, fix.build) == nullptr && Find(written, fix.build) == nullptr) {
            ledger.fixes.push_back(fix);
        }
    }
    std::stable_sort(ledger.fixes.begin(), ledger.fixes.end(), ByBuild);
    return ledger;
}

bool Write(const std::string& root, const Ledger& ledger) {
    const std::string path = Path(root);
    if (ledger.fixes.empty()) {
        if (::unlink(path.c_str()) == 0) {
            runstate::FlushFolderOf(path);
        } else if (errno != ENOENT) {
            LogDebugMessage(1, "Error: Cannot remove the ledger (%s): %s.", path.c_str(),
                            std::strerror(errno));
            return false;
        }
        return true;
    }
    fileio::Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int rc = -1;
    if (dir.valid()) {
        fileio::ReplaceOptions options;
        options.setMode = true;
        options.mode = 0600;
        options.setOwner = true;
        options.uid = 0;
        options.gid = 0;
        options.ownerRequired = ::geteuid() == 0;
        rc = fileio::ReplaceWithText(dir.get(), kName, Text(ledger), options);
    }
    if (rc != 0) {
        LogDebugMessage(1, "Error: Cannot write the ledger of installed hot fixes (%s): %s.",
                        path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

const Fix* Newest(const Ledger& ledger) {
    return ledger.fixes.empty() ? nullptr : &ledger.fixes.back();
}

Fix* Find(Ledger& ledger, int build) {
    for (Fix& fix : ledger.fixes) {
        if (fix.build == build) {
            return &fix;
        }
    }
    return nullptr;
}

const Fix* Find(const Ledger& ledger, int build) {
    return Find(const_cast<Ledger&>(ledger), build);
}

void Put(Ledger& ledger, const Fix& fix) {
    if (Fix* old = Find(ledger, fix.build)) {
        *old = fix;
    } else {
        ledger.fixes.push_back(fix);
        std::stable_sort(ledger.fixes.begin(), ledger.fixes.end(), ByBuild);
    }
}

bool Drop(Ledger& ledger, int build) {
    const auto at = std::find_if(ledger.fixes.begin(), ledger.fixes.end(),
                                 [build](const Fix& f) { return f.build == build; });
    if (at == ledger.fixes.end()) {
        return false;
    }
    ledger.fixes.erase(at);
    return true;
}

}  // namespace ledger
