#include "common/Sha256.h"

#include <errno.h>
#include <unistd.h>

namespace digest {

bool Ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

Sha256::Sha256() {
    Ready();
    crypto_hash_sha256_init(&m_state);
}

void Sha256::Update(const void* data, size_t size) {
    crypto_hash_sha256_update(&m_state, static_cast<const unsigned char*>(data), size);
}

std::string Sha256::FinishHex() {
    unsigned char out[kSha256Bytes];
    crypto_hash_sha256_final(&m_state, out);
    char hex[kSha256HexLength + 1];
    sodium_bin2hex(hex, sizeof hex, out, sizeof out);
    return std::string(hex, kSha256HexLength);
}

std::string Sha256Hex(const std::string& data) {
    Sha256 sha;
    sha.Update(data.data(), data.size());
    return sha.FinishHex();
}

bool Sha256OfFd(int fd, std::string* hex, long long* bytes) {
    Sha256 sha;
    long long total = 0;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        sha.Update(buf, static_cast<size_t>(n));
        total += n;
    }
    *hex = sha.FinishHex();
    if (bytes)
        *bytes = total;
    return true;
}

bool IsSha256Hex(const std::string& text) {
    if (text.size() != kSha256HexLength)
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool SameDigest(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace digest
