// Text that is shown to a person (a terminal, the debug log) may hold any
// byte a name or a file held. Control characters in it could move the
// cursor, retitle or clear a terminal, or split a log line; they are shown
// as \xHH instead. Everything else passes as it is.
#pragma once

#include <cstddef>
#include <string>

namespace printable {

// The length (2 to 4) of the well-formed UTF-8 sequence of more than one
// byte that starts at `p[at]` of `n` bytes (no overlong form, no surrogate,
// nothing beyond U+10FFFF); 0 when none starts there.
size_t Utf8SequenceLength(const unsigned char* p, size_t n, size_t at);

// `text` with each control character written as \xHH (lower-case hex):
// C0 (0x00-0x1f), DEL (0x7f), and C1: a byte 0x80-0x9f that is not part
// of a well-formed UTF-8 sequence, and the code points U+0080-U+009F
// (both bytes of their sequence). The text is taken as UTF-8, as the
// patcher's messages are: a well-formed sequence of any other character
// stays whole, although its continuation bytes lie in 0x80-0xbf. Other
// bytes that are not UTF-8 (0xa0-0xff) are printable in an 8-bit character
// set and pass unchanged.
std::string EscapeControls(const std::string& text);

}  // namespace printable
