// The package check against signify-openbsd itself: over good, altered and
// truncated packages, signed by the real tool, our verdict is `signify -C`'s.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "UPDSilient/signature.h"
#include "support/Signing.h"
#include "support/TempDir.h"

using namespace testsupport;

namespace {

// How a variant changes its file after signing: '^' flips the byte at `at`,
// '<' cuts the file to `at` bytes ('at' counts from the end when negative,
// and in SHA256.sig from its second line when positive), '+' appends a
// listed line, '-' removes the file, 'k' signs again with another key, 'c'
// changes the (unsigned) comment, '=' changes nothing.
struct Variant {
    const char* name;
    const char* file;
    char how;
    long at;
};

const Variant kCorpus[] = {
    {"good", "", '=', 0},
    {"file changed", "lib.so", '^', 100},
    {"file truncated", "lib.so", '<', 4096},
    {"file emptied", "a.txt", '<', 0},
    {"file removed", "a.txt", '-', 0},
    {"digest in the list changed", "SHA256.sig", '^', -3},
    {"name in the list changed", "SHA256.sig", '^', -70},
    {"signature changed", "SHA256.sig", '^', 30},
    {"key number changed", "SHA256.sig", '^', 4},
    {"list cut short", "SHA256.sig", '<', -40},
    {"signature cut short", "SHA256.sig", '<', 50},
    {"line appended", "SHA256.sig", '+', 0},
    {"signed by another key", "", 'k', 0},
    {"comment changed (unsigned)", "SHA256.sig", 'c', 0},
    {"a file added after signing", "new.so", '+', 0},
};

void Change(const std::string& folder, const Variant& v, const std::string& otherSec) {
    const std::string path = folder + "/" + v.file;
    std::string text = ReadFile(path);
    const size_t head = std::string(v.file) == "SHA256.sig" ? text.find('\n') + 1 : 0;
    const size_t at = v.at < 0 ? text.size() + v.at : head + v.at;
    switch (v.how) {
        case '^':
            text[at] ^= 0x01;
            break;
        case '<':
            text.resize(at);
            break;
        case '+':
            text += "SHA256 (x) = " + std::string(64, 'a') + "\n";
            break;
        case '-':
            unlink(path.c_str());
            return;
        case 'k':
            SignFolder(folder, otherSec);
            return;
        case 'c':
            text = "untrusted comment: anything" + text.substr(text.find('\n'));
            break;
        default:
            return;
    }
    WriteFile(path, text);
}

TEST(Signature, AgreesWithSignifyOnEveryPackageOfTheCorpus) {
    if (!CanSign()) {
        GTEST_SKIP() << "signify-openbsd (Debian signify-openbsd) is not installed";
    }
    TempDir root;
    setenv("ORVPATCH_TESTBED", root.path().c_str(), 1);
    const KeyPair vendor = MakeKeyPair(root.sub("vendor"), "vendor");
    const KeyPair other = MakeKeyPair(root.sub("vendor"), "other");
    InstallKey(root.path(), vendor.pub, "vendor.pub");
    int refused = 0, made = 0;
    for (const Variant& v : kCorpus) {
        SCOPED_TRACE(v.name);
        const std::string folder = root.sub("package" + std::to_string(++made));
        WriteFile(folder + "/orvpatch.ini", "[Config]\nFiles=lib.so\nBuildNumber=1240\n");
        WriteFile(folder + "/lib.so", std::string(300000, 'x'));
        WriteFile(folder + "/a.txt", "a\n");
        SignFolder(folder, vendor.sec);
        Change(folder, v, other.sec);
        const bool signify = SignifyCheck(folder, vendor.pub) == 0;
        const signature::Seal seal = signature::CheckPackage(folder, {});
        EXPECT_EQ(seal.state == signature::State::kVerified, signify)
            << signature::StateName(seal.state) << ": (" << seal.path << ") " << seal.reason;
        EXPECT_EQ(seal.state == signature::State::kBad, !signify);
        refused += signify ? 0 : 1;
    }
    // Only the good package, an added file and the comment pass both.
    EXPECT_EQ(refused, static_cast<int>(std::size(kCorpus)) - 3);
    // Settings the update read before its check (the file swapped since)
    // are not the signed ones: refused, though the file on disk matches.
    const std::string folder = root.sub("package1");
    _PatchSetting read;
    read.Files = {"lib.so"};
    read.BuildNumber = 1240;
    EXPECT_EQ(signature::CheckPackage(folder, {"orvpatch.ini"}, &read).state,
              signature::State::kVerified);
    read.CreateNewFolder = 0;
    const signature::Seal seal = signature::CheckPackage(folder, {"orvpatch.ini"}, &read);
    EXPECT_EQ(seal.state, signature::State::kBad);
    EXPECT_NE(seal.reason.find("not the signed ones"), std::string::npos) << seal.reason;
    unsetenv("ORVPATCH_TESTBED");
}

}  // namespace
