// signify's formats, read from text already in memory: public keys,
// embedded signatures and the BSD checksum list they sign (as
// `sha256sum --tag` writes it). Ed25519 by libsodium; nothing here touches
// the machine, so every function can be fed arbitrary bytes.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace signify {

const size_t kKeyNumberBytes = 8;
const size_t kPublicKeyBytes = 32;
const size_t kSignatureBytes = 64;
// The most a key file, a signature file (with its list) and a comment may
// hold; anything longer is refused unread.
const size_t kLargestKeyFile = 4096;
const size_t kLargestSignatureFile = 1u << 20;
const size_t kLargestComment = 1024;
// The most names one checksum list may carry.
const size_t kMostListedFiles = 4096;

struct PublicKey {
    unsigned char number[kKeyNumberBytes];
    unsigned char key[kPublicKeyBytes];
};

struct Signature {
    unsigned char number[kKeyNumberBytes];
    unsigned char sig[kSignatureBytes];
};

// A key file: "untrusted comment: ..." and the base64 of "Ed", the key
// number and the key, each line ending in a line feed, and nothing else.
// False with *why (a short reason) when it is anything else.
bool ParsePublicKey(const std::string& text, PublicKey* key, std::string* why);

// An embedded signature: the comment line, the base64 of "Ed", the key
// number and the signature, then the signed message (every byte to the end).
bool ParseEmbedded(const std::string& text, Signature* signature, std::string* message,
                   std::string* why);

// Whether `signature` is `key`'s signature of `message`. The key numbers are
// the caller's to compare.
bool Verify(const Signature& signature, const std::string& message, const PublicKey& key);

// The key number as 16 lowercase hex digits.
std::string KeyNumberHex(const unsigned char number[kKeyNumberBytes]);
bool SameKeyNumber(const unsigned char a[kKeyNumberBytes], const unsigned char b[kKeyNumberBytes]);

// A checksum list: lines "SHA256 (NAME) = <64 lowercase hex>", each ending
// in a line feed. A line of any other form, an empty name, a name listed
// twice or more than kMostListedFiles names make it bad (false, *why).
// `digests` maps each name to its hex digest.
bool ParseChecksumList(const std::string& text, std::map<std::string, std::string>* digests,
                       std::string* why);

}  // namespace signify
