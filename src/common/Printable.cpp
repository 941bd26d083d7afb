#include "common/Printable.h"

#include <cstdio>

namespace printable {

size_t Utf8SequenceLength(const unsigned char* p, size_t n, size_t at) {
    const unsigned char c = p[at];
    const size_t length = c >= 0xf0 && c < 0xf5   ? 4
                          : c >= 0xe0 && c < 0xf0 ? 3
                          : c >= 0xc2 && c < 0xe0 ? 2
                                                  : 0;
    if (length == 0 || at + length > n) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((p[at + k] & 0xc0) != 0x80) {
            return 0;
        }
    }
    const unsigned char next = p[at + 1];
    if ((c == 0xe0 && next < 0xa0) || (c == 0xed && next >= 0xa0) ||  // overlong, surrogate
        (c == 0xf0 && next < 0x90) || (c == 0xf4 && next >= 0x90)) {  // overlong, too large
        return 0;
    }
    return length;
}

namespace {

void AppendEscaped(std::string& out, unsigned char c) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    out += escaped;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        const size_t length = c >= 0x80 ? Utf8SequenceLength(p, n, i) : 0;
        if (length == 2 && c == 0xc2 && p[i + 1] < 0xa0) {
            AppendEscaped(out, c);  // U+0080-U+009F
            AppendEscaped(out, p[i + 1]);
        } else if (length > 0) {
            out.append(text, i, length);
        } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0)) {
            AppendEscaped(out, c);
        } else {
            out += static_cast<char>(c);
        }
        i += length > 0 ? length : 1;
    }
    return out;
}

}  // namespace printable
