// Test packages signed with the real signify-openbsd (never with the
// patcher's own code): key pairs, SHA256.sig over `sha256sum --tag`, and
// keys installed where the patcher looks for them. A tool that fails
// throws std::runtime_error.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

extern const char kSignify[];  // /usr/bin/signify-openbsd

// Whether signify-openbsd and sha256sum are there; tests that sign skip
// with a message otherwise.
bool CanSign();

// A key pair made by `signify-openbsd -G -n` as <dir>/<name>.pub and .sec.
struct KeyPair {
    std::string pub;
    std::string sec;
};
KeyPair MakeKeyPair(const std::string& dir, const std::string& name);

// Writes <folder>/SHA256.sig: `sha256sum --tag` of `names` (every regular
// file of the folder when empty), signed embedded with `sec`.
void SignFolder(const std::string& folder, const std::string& sec,
                const std::vector<std::string>& names = {});

// Copies a public key file into /etc/orvpatch/keys below `root`, the folder
// standing for "/" (0644, root's, in a folder of 0755).
void InstallKey(const std::string& root, const std::string& pub, const std::string& name);
std::string KeysFolder(const std::string& root);

// The package folder signed as a vendor would (a key pair made under
// <root>/vendor), and its key installed below `root` when `trust`.
KeyPair SignPackage(const std::string& root, const std::string& folder, bool trust = true,
                    const std::vector<std::string>& names = {});

// `signify-openbsd -C -p pub -x SHA256.sig` in `folder`: 0 when it verifies
// the signature and every listed file.
int SignifyCheck(const std::string& folder, const std::string& pub);

}  // namespace testsupport
