// The signature and checksum-list readers: any bytes as a key file, as an
// embedded signature and as the list it carries. A key or signature taken
// comes from exactly two lines; a list taken has one line per name, each
// written back the same way, and nothing unaccounted for.
#include <cstdint>
#include <map>
#include <string>

#include "FuzzCheck.h"
#include "common/Signify.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string why;

    signify::PublicKey key;
    if (signify::ParsePublicKey(text, &key, &why)) {
        FUZZ_CHECK(text.compare(0, 19, "untrusted comment: ") == 0);
        FUZZ_CHECK(!text.empty() && text.back() == '\n');
        FUZZ_CHECK(text.find('\n') != text.size() - 1);
        FUZZ_CHECK(signify::KeyNumberHex(key.number).size() == 16);
    } else {
        FUZZ_CHECK(!why.empty());
    }

    signify::Signature signature;
    std::string message;
    why.clear();
    if (signify::ParseEmbedded(text, &signature, &message, &why)) {
        FUZZ_CHECK(message.size() < text.size());
        FUZZ_CHECK(text.compare(text.size() - message.size(), message.size(), message) == 0);
        // No key made that signature: a random one never verifies it.
        signify::PublicKey other{};
        FUZZ_CHECK(!signify::Verify(signature, message, other));
    } else {
        FUZZ_CHECK(!why.empty());
    }

    std::map<std::string, std::string> digests;
    why.clear();
    if (signify::ParseChecksumList(text, &digests, &why)) {
        std::string again;
        size_t lines = 0;
        for (const char c : text) {
            lines += c == '\n' ? 1 : 0;
        }
        FUZZ_CHECK(digests.size() == lines);
        for (const auto& [name, hex] : digests) {
            FUZZ_CHECK(!name.empty() && hex.size() == 64);
            again += "SHA256 (" + name + ") = " + hex + "\n";
        }
        FUZZ_CHECK(again.size() == text.size());
    } else {
        FUZZ_CHECK(!why.empty());
    }
    return 0;
}
