// Turning name bytes into text. Names on disk are arbitrary bytes; every
// place that shows them as text goes through these helpers so that all
// outputs agree on how an invalid byte looks.
#pragma once

#include <string>
#include <string_view>

namespace tallmap {

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlongs,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Appends `bytes` to `out`, replacing each invalid sequence by U+FFFD with
// the "maximal subpart" rule: a truncated but otherwise well-begun sequence
// is one replacement, every other stray byte is one replacement each. This
// matches Python's bytes.decode("utf-8", errors="replace") byte for byte.
// Returns true when anything was replaced.
bool append_lossy_utf8(std::string& out, std::string_view bytes);
std::string lossy_utf8(std::string_view bytes);

// As append_lossy_utf8, but safe to write to a terminal: control characters
// (U+0000..U+001F, U+007F and U+0080..U+009F) are written as visible escapes,
// \t, \n, \r, or \u followed by four lowercase hex digits, so that a crafted
// file name cannot move the cursor, retitle the window or the like.
// Returns true when any invalid UTF-8 was replaced.
bool append_printable(std::string& out, std::string_view bytes);

}  // namespace tallmap
