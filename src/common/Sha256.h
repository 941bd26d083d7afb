// SHA-256 digests of files and bytes, by libsodium (linked statically, so the
// shipped programs still need only the C library). A libsodium security fix
// needs a rebuild of the programs.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <string>

namespace digest {

// The length of a digest in bytes, and as lowercase hex.
const size_t kSha256Bytes = crypto_hash_sha256_BYTES;
const size_t kSha256HexLength = 2 * kSha256Bytes;

// Whether libsodium could be started; every function below answers failure
// when it could not.
bool Ready();

// A digest fed piece by piece, as a file is read or copied.
class Sha256 {
  public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest of everything fed so far, as 64 lowercase hex digits. Ends
    // the digest: feed nothing after it.
    std::string FinishHex();

  private:
    crypto_hash_sha256_state m_state;
};

// The digest of `data` as lowercase hex.
std::string Sha256Hex(const std::string& data);
// Reads `fd` from its current offset to the end and answers its digest as
// lowercase hex; false on a read error (errno set). *bytes, when not null,
// receives how many bytes were read.
bool Sha256OfFd(int fd, std::string* hex, long long* bytes = nullptr);

// Whether `text` is 64 lowercase hex digits.
bool IsSha256Hex(const std::string& text);
// Compares two digests of equal length in constant time.
bool SameDigest(const std::string& a, const std::string& b);

}  // namespace digest
