#include "UPDSilient/signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "UPDSilient/hotfix_internal.h"
#include "UpdateORV/debug.h"
#include "common/KvIniUtil.h"
#include "common/Sha256.h"
#include "common/Signify.h"
#include "machine/Machine.h"
#include "machine/trust.h"

namespace signature {

const char kKeysFolder[] = "/etc/orvpatch/keys";
const char kSignatureFile[] = "SHA256.sig";

namespace {

const char kSignatureProblem[] = "The hot fix package doesn't pass the signature checking.";
const char kKeySuffix[] = ".pub";

struct TrustedKey {
    std::string file;
    signify::PublicKey key;
};

// The trusted keys, or the one problem that makes the folder unusable.
struct KeyRing {
    bool inForce = false;  // keys are there, or a keys folder that cannot be trusted
    std::string problemPath;
    std::string problem;
    std::vector<TrustedKey> keys;
};

KeyRing Problem(KeyRing ring, const std::string& path, const std::string& why) {
    ring.inForce = true;
    ring.problemPath = path;
    ring.problem = why;
    return ring;
}

bool EndsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
}

// Reads a regular file below `dirFd` (no link followed at its last part) of
// at most `limit` bytes into `text`; false with `why`.
bool ReadSmallFile(int dirFd, const std::string& name, size_t limit, std::string& text,
                   struct stat& st, std::string& why) {
    fileio::Fd fd = fileio::OpenRegularForReading(dirFd, name.c_str(), st, O_NOFOLLOW);
    if (!fd.valid()) {
        why = std::string("it cannot be opened as a regular file: ") + std::strerror(errno);
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit ||
        !fileio::ReadAll(fd.get(), text, limit)) {
        why = errno == EFBIG || static_cast<unsigned long long>(st.st_size) > limit
                  ? "it is larger than " + std::to_string(limit) + " bytes"
                  : std::string("it cannot be read: ") + std::strerror(errno);
        return false;
    }
    return true;
}

KeyRing LoadKeys() {
    KeyRing ring;
    const std::string shown = kKeysFolder;
    fileio::Fd dir(
        ::open(machine::HostPath(kKeysFolder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        if (errno == ENOENT) {
            return ring;  // no keys: packages are not authenticated
        }
        return Problem(ring, shown, std::string("it cannot be opened: ") + std::strerror(errno));
    }
    const machine::Finding trust = machine::FolderTrust(dir.get(), shown);
    if (!trust.ok) {
        return Problem(ring, trust.path, "the keys folder is not trusted: " + trust.why);
    }
    std::vector<std::string> names;
    DIR* listing = fdopendir(fcntl(dir.get(), F_DUPFD_CLOEXEC, 0));
    if (listing == nullptr) {
        return Problem(ring, shown, std::string("it cannot be listed: ") + std::strerror(errno));
    }
    while (struct dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.' && EndsWith(entry->d_name, kKeySuffix)) {
            names.push_back(entry->d_name);
        }
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = shown + "/" + name;
        std::string text, why;
        struct stat st;
        TrustedKey key{name, {}};
        if (!ReadSmallFile(dir.get(), name, signify::kLargestKeyFile, text, st, why)) {
            return Problem(ring, path, why);
        }
        if (!machine::RootSide(st.st_uid) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return Problem(ring, path, "the key file may be written by others than root");
        }
        if (!signify::ParsePublicKey(text, &key.key, &why)) {
            return Problem(ring, path, "it is not a signify public key: " + why);
        }
        for (const TrustedKey& other : ring.keys) {
            if (signify::SameKeyNumber(other.key.number, key.key.number)) {
                return Problem(ring, path,
                               "it has the key number " + signify::KeyNumberHex(key.key.number) +
                                   " of (" + other.file + ") too");
            }
        }
        ring.keys.push_back(key);
    }
    ring.inForce = !ring.keys.empty();
    return ring;
}

Seal Bad(Seal seal, const std::string& path, const std::string& reason) {
    seal.state = State::kBad;
    seal.path = path;
    seal.reason = reason;
    seal.files.clear();
    return seal;
}

// The digest of the settings file read whole from `fd`, and whether the
// settings parsed from those very bytes are `inUse`.
bool SettingsDigest(int fd, const _PatchSetting& inUse, std::string* hex, bool* same) {
    std::string text;
    if (!fileio::ReadAll(fd, text, fileio::kLargestSettingsFile)) {
        return false;
    }
    *hex = digest::Sha256Hex(text);
    KvIniReader reader;
    _PatchSetting signedSettings;
    *same = reader.openText(std::move(text)) == IDD_ERR_ZERO &&
            (ReadConfigurationFrom(reader, signedSettings), true) &&
            signedSettings.Files == inUse.Files && signedSettings.Databases == inUse.Databases &&
            signedSettings.BuildNumber == inUse.BuildNumber &&
            signedSettings.CreateNewFolder == inUse.CreateNewFolder &&
            signedSettings.DepentBuild == inUse.DepentBuild &&
            signedSettings.UpdateLoader == inUse.UpdateLoader;
    return true;
}

}  // namespace

const char* StateName(State state) {
    switch (state) {
        case State::kVerified:
            return "verified";
        case State::kUnverifiable:
            return "unverifiable";
        case State::kBad:
            return "bad";
        default:
            return "unsigned";
    }
}

const SealedFile* Seal::Find(const std::string& name) const {
    const auto it = files.find(name);
    return it == files.end() ? nullptr : &it->second;
}

std::vector<std::string> NamesTheUpdateReads(const RunContext& context) {
    std::vector<std::string> names = {"orvpatch.ini"};
    for (const std::string& name : context.packageFiles) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    struct stat st;
    if (::lstat((context.packageFolder + "/" + kReadMeName).c_str(), &st) == 0) {
        names.push_back(kReadMeName);
    }
    return names;
}

Seal CheckPackage(const std::string& packageFolder, const std::vector<std::string>& reads,
                  const _PatchSetting* settings) {
    Seal seal;
    const KeyRing ring = LoadKeys();
    if (!ring.problem.empty()) {
        return Bad(std::move(seal), ring.problemPath, ring.problem);
    }
    const std::string sigPath = packageFolder + "/" + kSignatureFile;
    fileio::Fd dir(::open(packageFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    fileio::Fd sigFd;
    if (dir.valid()) {
        sigFd = fileio::OpenRegularForReading(dir.get(), kSignatureFile, st, O_NOFOLLOW);
    }
    if (!sigFd.valid() && errno == ENOENT && !ring.inForce) {
        return seal;  // unsigned, and nothing asks for a signature
    }
    if (!sigFd.valid()) {
        return Bad(std::move(seal), sigPath,
                   errno == ENOENT ? std::string("it is missing, and trusted keys are installed")
                                   : std::string("it cannot be opened as a regular file: ") +
                                         std::strerror(errno));
    }
    std::string text, why, list;
    signify::Signature signature;
    if (static_cast<unsigned long long>(st.st_size) > signify::kLargestSignatureFile ||
        !fileio::ReadAll(sigFd.get(), text, signify::kLargestSignatureFile)) {
        return Bad(std::move(seal), sigPath, "it cannot be read whole or is too large");
    }
    if (!signify::ParseEmbedded(text, &signature, &list, &why)) {
        return Bad(std::move(seal), sigPath, "it is not a signify embedded signature: " + why);
    }
    seal.state = State::kUnverifiable;
    if (ring.inForce) {
        const std::string number = signify::KeyNumberHex(signature.number);
        const auto key = std::find_if(ring.keys.begin(), ring.keys.end(), [&](const TrustedKey& k) {
            return signify::SameKeyNumber(k.key.number, signature.number);
        });
        if (key == ring.keys.end()) {
            return Bad(std::move(seal), sigPath,
                       "it is signed by the key number " + number + ", which is not in (" +
                           kKeysFolder + ")");
        }
        if (!signify::Verify(signature, list, key->key)) {
            return Bad(std::move(seal), sigPath,
                       "its signature does not verify with the key (" + key->file + ")");
        }
        seal.state = State::kVerified;
        seal.keyFile = key->file;
        seal.keyNumber = number;
    }
    std::map<std::string, std::string> digests;
    if (!signify::ParseChecksumList(list, &digests, &why)) {
        return Bad(std::move(seal), sigPath, "its checksum list is bad: " + why);
    }
    seal.listDigest = digest::Sha256Hex(list);
    for (const auto& [name, sha256] : digests) {
        const std::string path = packageFolder + "/" + name;
        if (!IsPackageNameSafe(name)) {
            return Bad(std::move(seal), sigPath,
                       "it lists (" + name + "), which is no name directly in the package");
        }
        struct stat listed;
        SealedFile file{fileio::OpenRegularForReading(dir.get(), name.c_str(), listed, O_NOFOLLOW),
                        sha256};
        std::string actual;
        // The settings in use were read before this check: the bytes
        // checked here must give the same ones.
        const bool isSettings = settings != nullptr && name == "orvpatch.ini";
        bool sameSettings = true;
        if (!file.fd.valid() ||
            !(isSettings ? SettingsDigest(file.fd.get(), *settings, &actual, &sameSettings)
                         : digest::Sha256OfFd(file.fd.get(), &actual))) {
            return Bad(std::move(seal), path,
                       std::string("it is listed but cannot be read: ") + std::strerror(errno));
        }
        if (!digest::SameDigest(actual, sha256)) {
            return Bad(std::move(seal), path, "it differs from its digest in SHA256.sig");
        }
        if (!sameSettings) {
            return Bad(std::move(seal), path,
                       "it changed after the update read it: the settings in use are not the "
                       "signed ones");
        }
        // Only what the run reads stays open, for its copies.
        if (std::find(reads.begin(), reads.end(), name) == reads.end()) {
            file.fd.close();
        }
        seal.files.emplace(name, std::move(file));
    }
    for (const std::string& name : reads) {
        if (seal.Find(name) == nullptr) {
            return Bad(std::move(seal), packageFolder + "/" + name,
                       "the update reads it, but SHA256.sig does not list it");
        }
    }
    return seal;
}

Decision DecideSignature(const Seal& seal) {
    Decision decision;
    switch (seal.state) {
        case State::kBad:
            decision.proceed = false;
            decision.logLines.push_back(
                Format("Error: The hot fix package is refused: (%s) %s. Nothing is changed.",
                       seal.path.c_str(), seal.reason.c_str()));
            decision.verdict = VerdictText(kSignatureProblem);
            break;
        case State::kVerified:
            decision.logLines.push_back(
                Format("Info: The package is signed by the key (%s/%s, key number %s), and every "
                       "file it lists matches its digest.",
                       kKeysFolder, seal.keyFile.c_str(), seal.keyNumber.c_str()));
            break;
        case State::kUnverifiable:
            decision.logLines.push_back(
                Format("Info: The package is not verified: no trusted key is installed in (%s). "
                       "Every file SHA256.sig lists matches its digest.",
                       kKeysFolder));
            break;
        default:
            decision.logLines.push_back(
                Format("Info: The package is not verified: it has no SHA256.sig, and no trusted "
                       "key is installed in (%s).",
                       kKeysFolder));
    }
    return decision;
}

int CopyPackageFile(const RunContext& context, const std::string& name, const std::string& to,
                    bool overwrite) {
    return CopySealedFile(context.seal.get(), context.packageFolder, name, to, overwrite);
}

bool HoldsPackageFile(const Seal* seal, const std::string& from, const std::string& name,
                      const std::string& path) {
    const SealedFile* sealed = seal != nullptr ? seal->Find(name) : nullptr;
    if (sealed == nullptr) {
        return KvORVFileOpUtil::comp(path.c_str(), (from + "/" + name).c_str());
    }
    struct stat st;
    fileio::Fd fd = fileio::OpenRegularForReading(AT_FDCWD, path.c_str(), st, O_NOFOLLOW);
    std::string actual;
    return fd.valid() && digest::Sha256OfFd(fd.get(), &actual) &&
           digest::SameDigest(actual, sealed->sha256);
}

int CopySealedFile(const Seal* seal, const std::string& folder, const std::string& name,
                   const std::string& to, bool overwrite) {
    const std::string from = folder + "/" + name;
    const SealedFile* sealed = seal != nullptr ? seal->Find(name) : nullptr;
    if (sealed == nullptr) {
        return KvORVFileOpUtil::copy(from.c_str(), to.c_str(), overwrite, nullptr, nullptr);
    }
    const int rc = fileio::CopyChecked(fileio::CheckedSource{sealed->fd.get(), sealed->sha256},
                                       from.c_str(), to.c_str(), overwrite);
    if (rc == FOP_ERR_READ && errno == EBADMSG) {
        LogDebugMessage(1,
                        "Error: The package file (%s) changed after its digest was checked; it "
                        "is not installed.",
                        from.c_str());
        errno = EBADMSG;
    }
    return rc;
}

}  // namespace signature
