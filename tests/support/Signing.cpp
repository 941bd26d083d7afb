#include "support/Signing.h"

#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "support/RunProgram.h"
#include "support/TempDir.h"

namespace testsupport {

namespace {

void Need(const ProgramResult& r, const std::string& what) {
    if (r.exitStatus != 0) {
        throw std::runtime_error("signing: " + what + " failed: " + r.err);
    }
}

}  // namespace

const char kSignify[] = "/usr/bin/signify-openbsd";

bool CanSign() {
    return access(kSignify, X_OK) == 0 && access("/usr/bin/sha256sum", X_OK) == 0;
}

KeyPair MakeKeyPair(const std::string& dir, const std::string& name) {
    KeyPair pair{dir + "/" + name + ".pub", dir + "/" + name + ".sec"};
    MakeDirs(dir);
    const ProgramResult r = RunProgram(
        kSignify, {"-G", "-n", "-p", pair.pub, "-s", pair.sec, "-c", "test key " + name});
    Need(r, "signify-openbsd -G");
    return pair;
}

void SignFolder(const std::string& folder, const std::string& sec,
                const std::vector<std::string>& names) {
    std::vector<std::string> args = {"--tag"};
    for (const std::string& name : names.empty() ? FolderNames(folder) : names) {
        struct stat st;
        if (name != "SHA256.sig" && stat((folder + "/" + name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode)) {
            args.push_back(name);
        }
    }
    ProgramOptions here;
    here.workDir = folder;
    const ProgramResult sums = RunProgram("/usr/bin/sha256sum", args, here);
    Need(sums, "sha256sum --tag");
    const std::string list = folder + "/../SHA256.list";
    WriteFile(list, sums.out);
    unlink((folder + "/SHA256.sig").c_str());
    const ProgramResult r =
        RunProgram(kSignify, {"-S", "-e", "-s", sec, "-m", list, "-x", folder + "/SHA256.sig"});
    unlink(list.c_str());
    Need(r, "signify-openbsd -S -e");
}

std::string KeysFolder(const std::string& root) {
    return root + "/etc/orvpatch/keys";
}

void InstallKey(const std::string& root, const std::string& pub, const std::string& name) {
    const std::string folder = KeysFolder(root);
    MakeDirs(folder);
    chmod((root + "/etc/orvpatch").c_str(), 0755);
    chmod(folder.c_str(), 0755);
    const std::string path = folder + "/" + name;
    WriteFile(path, ReadFile(pub));
    chmod(path.c_str(), 0644);
}

KeyPair SignPackage(const std::string& root, const std::string& folder, bool trust,
                    const std::vector<std::string>& names) {
    const KeyPair vendor = MakeKeyPair(root + "/vendor", "vendor");
    SignFolder(folder, vendor.sec, names);
    if (trust) {
        InstallKey(root, vendor.pub, "vendor.pub");
    }
    return vendor;
}

int SignifyCheck(const std::string& folder, const std::string& pub) {
    ProgramOptions here;
    here.workDir = folder;
    return RunProgram(kSignify, {"-C", "-p", pub, "-x", "SHA256.sig"}, here).exitStatus;
}

}  // namespace testsupport
