// The package check against signify-openbsd itself: over good, altered and
// truncated packages, signed by the real tool, our verdict is `signify -C`'s.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "UPDSilient/signature.h"
#include "support/Signing.h"
#include "support/TempDir.h"

using namespace testsupport;

namespace {

struct Variant {
    const char* name;
    std::function<void(const std::string& folder, const std::string& otherSec)> change;
};

// Changes the byte at `at` of a file (from its end when negative).
void Flip(const std::string& path, long at) {
    std::string text = ReadFile(path);
    const size_t i = at >= 0 ? static_cast<size_t>(at) : text.size() + at;
    text[i] ^= 0x01;
    WriteFile(path, text);
}

void Cut(const std::string& path, long keep) {
    ASSERT_EQ(0, truncate(path.c_str(), keep >= 0 ? keep : ReadFile(path).size() + keep));
}

const std::vector<Variant>& Corpus() {
    static const std::vector<Variant> variants = {
        {"good", nullptr},
        {"file changed", [](const std::string& f, auto) { Flip(f + "/lib.so", 100); }},
        {"file grown", [](const std::string& f, auto) { WriteFile(f + "/a.txt", "a\nb\n"); }},
        {"file truncated", [](const std::string& f, auto) { Cut(f + "/lib.so", 4096); }},
        {"file emptied", [](const std::string& f, auto) { Cut(f + "/a.txt", 0); }},
        {"file removed", [](const std::string& f, auto) { unlink((f + "/a.txt").c_str()); }},
        {"digest in the list changed",
         [](const std::string& f, auto) { Flip(f + "/SHA256.sig", -3); }},
        {"name in the list changed",
         [](const std::string& f, auto) { Flip(f + "/SHA256.sig", -70); }},
        {"signature changed",
         [](const std::string& f, auto) {
             Flip(f + "/SHA256.sig",
                  static_cast<long>(ReadFile(f + "/SHA256.sig").find('\n')) + 30);
         }},
        {"key number changed",
         [](const std::string& f, auto) {
             Flip(f + "/SHA256.sig", static_cast<long>(ReadFile(f + "/SHA256.sig").find('\n')) + 4);
         }},
        {"list cut short", [](const std::string& f, auto) { Cut(f + "/SHA256.sig", -40); }},
        {"signature cut short",
         [](const std::string& f, auto) {
             Cut(f + "/SHA256.sig", static_cast<long>(ReadFile(f + "/SHA256.sig").find('\n')) + 50);
         }},
        {"line appended",
         [](const std::string& f, auto) {
             WriteFile(f + "/SHA256.sig",
                       ReadFile(f + "/SHA256.sig") + "SHA256 (x) = " + std::string(64, 'a') + "\n");
         }},
        {"signed by another key",
         [](const std::string& f, const std::string& other) { SignFolder(f, other); }},
        {"comment changed (unsigned)",
         [](const std::string& f, auto) {
             std::string text = ReadFile(f + "/SHA256.sig");
             WriteFile(f + "/SHA256.sig",
                       "untrusted comment: anything" + text.substr(text.find('\n')));
         }},
        {"a file added after signing",
         [](const std::string& f, auto) { WriteFile(f + "/new.so", "n"); }},
    };
    return variants;
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
    for (const Variant& v : Corpus()) {
        SCOPED_TRACE(v.name);
        const std::string folder = root.sub("package" + std::to_string(++made));
        WriteFile(folder + "/orvpatch.ini", "[Config]\nFiles=lib.so\nBuildNumber=1240\n");
        WriteFile(folder + "/lib.so", std::string(300000, 'x'));
        WriteFile(folder + "/a.txt", "a\n");
        SignFolder(folder, vendor.sec);
        if (v.change) {
            v.change(folder, other.sec);
        }
        const bool signify = SignifyCheck(folder, vendor.pub) == 0;
        const signature::Seal seal = signature::CheckPackage(folder, {});
        EXPECT_EQ(seal.state == signature::State::kVerified, signify)
            << signature::StateName(seal.state) << ": (" << seal.path << ") " << seal.reason;
        EXPECT_EQ(seal.state == signature::State::kBad, !signify);
        refused += signify ? 0 : 1;
    }
    // Only the good package, an added file and the comment pass both.
    EXPECT_EQ(refused, static_cast<int>(Corpus().size()) - 3);
    unsetenv("ORVPATCH_TESTBED");
}

}  // namespace
