#include "common/Signify.h"

#include <sodium.h>

#include <cstring>

#include "common/Sha256.h"

namespace signify {

namespace {

const char kCommentPrefix[] = "untrusted comment: ";
const char kAlgorithm[] = "Ed";
const size_t kAlgorithmBytes = 2;

// Takes one line (without its line feed) from `text` at `*at`; false when
// there is no line feed left.
bool TakeLine(const std::string& text, size_t* at, std::string* line) {
    const size_t end = text.find('\n', *at);
    if (end == std::string::npos) {
        return false;
    }
    line->assign(text, *at, end - *at);
    *at = end + 1;
    return true;
}

// The two lines both files begin with: the comment, then exactly `bytes`
// bytes of base64 that start with the algorithm. `*at` ends after them.
bool ReadHead(const std::string& text, size_t bytes, unsigned char* out, size_t* at,
              std::string* why) {
    *at = 0;
    std::string comment, encoded;
    if (!TakeLine(text, at, &comment) ||
        comment.compare(0, sizeof kCommentPrefix - 1, kCommentPrefix) != 0) {
        *why = "its first line is not an untrusted comment";
        return false;
    }
    if (comment.size() > kLargestComment) {
        *why = "its comment is too long";
        return false;
    }
    if (!TakeLine(text, at, &encoded)) {
        *why = "its second line is missing or unfinished";
        return false;
    }
    if (!digest::Ready()) {
        *why = "the cryptography library cannot start";
        return false;
    }
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, bytes, encoded.data(), encoded.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != encoded.data() + encoded.size() || length != bytes) {
        *why = "its second line is not base64 of " + std::to_string(bytes) + " bytes";
        return false;
    }
    if (std::memcmp(out, kAlgorithm, kAlgorithmBytes) != 0) {
        *why = "its algorithm is not Ed";
        return false;
    }
    return true;
}

bool IsHexDigest(const char* p) {
    for (size_t i = 0; i < digest::kSha256HexLength; ++i) {
        const char c = p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParsePublicKey(const std::string& text, PublicKey* key, std::string* why) {
    if (text.size() > kLargestKeyFile) {
        *why = "it is too large";
        return false;
    }
    unsigned char raw[kAlgorithmBytes + kKeyNumberBytes + kPublicKeyBytes];
    size_t at = 0;
    if (!ReadHead(text, sizeof raw, raw, &at, why)) {
        return false;
    }
    if (at != text.size()) {
        *why = "it holds more than two lines";
        return false;
    }
    std::memcpy(key->number, raw + kAlgorithmBytes, kKeyNumberBytes);
    std::memcpy(key->key, raw + kAlgorithmBytes + kKeyNumberBytes, kPublicKeyBytes);
    return true;
}

bool ParseEmbedded(const std::string& text, Signature* signature, std::string* message,
                   std::string* why) {
    if (text.size() > kLargestSignatureFile) {
        *why = "it is too large";
        return false;
    }
    unsigned char raw[kAlgorithmBytes + kKeyNumberBytes + kSignatureBytes];
    size_t at = 0;
    if (!ReadHead(text, sizeof raw, raw, &at, why)) {
        return false;
    }
    std::memcpy(signature->number, raw + kAlgorithmBytes, kKeyNumberBytes);
    std::memcpy(signature->sig, raw + kAlgorithmBytes + kKeyNumberBytes, kSignatureBytes);
    message->assign(text, at, std::string::npos);
    return true;
}

bool Verify(const Signature& signature, const std::string& message, const PublicKey& key) {
    return digest::Ready() &&
           crypto_sign_verify_detached(signature.sig,
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       message.size(), key.key) == 0;
}

std::string KeyNumberHex(const unsigned char number[kKeyNumberBytes]) {
    char hex[2 * kKeyNumberBytes + 1];
    sodium_bin2hex(hex, sizeof hex, number, kKeyNumberBytes);
    return std::string(hex, 2 * kKeyNumberBytes);
}

bool SameKeyNumber(const unsigned char a[kKeyNumberBytes], const unsigned char b[kKeyNumberBytes]) {
    return std::memcmp(a, b, kKeyNumberBytes) == 0;
}

bool ParseChecksumList(const std::string& text, std::map<std::string, std::string>* digests,
                       std::string* why) {
    static const char kHead[] = "SHA256 (";
    static const char kMiddle[] = ") = ";
    const size_t head = sizeof kHead - 1, middle = sizeof kMiddle - 1;
    digests->clear();
    size_t at = 0;
    for (size_t number = 1; at < text.size(); ++number) {
        std::string line;
        if (!TakeLine(text, &at, &line)) {
            *why = "line " + std::to_string(number) + " does not end in a line feed";
            return false;
        }
        const bool longEnough = line.size() >= head + 1 + middle + digest::kSha256HexLength;
        const size_t hex = longEnough ? line.size() - digest::kSha256HexLength : 0;
        if (!longEnough || line.compare(0, head, kHead) != 0 ||
            line.compare(hex - middle, middle, kMiddle) != 0 || !IsHexDigest(line.data() + hex) ||
            line.find('\0') != std::string::npos) {
            *why = "line " + std::to_string(number) + " is not 'SHA256 (name) = <digest>'";
            return false;
        }
        const std::string name = line.substr(head, hex - middle - head);
        if (digests->size() >= kMostListedFiles) {
            *why = "it lists more than " + std::to_string(kMostListedFiles) + " files";
            return false;
        }
        if (!digests->emplace(name, line.substr(hex)).second) {
            *why = "it lists (" + name + ") twice";
            return false;
        }
    }
    return true;
}

}  // namespace signify
