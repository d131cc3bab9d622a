#include "core/utf8.h"

#include <cstdint>

namespace tallmap {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at s[i], or 0 when it is not
// one; `*consumed` then says how many bytes form the maximal subpart to be
// replaced by one U+FFFD (at least 1).
size_t sequence_length(std::string_view s, size_t i, size_t* consumed) {
  uint8_t b = uint8_t(s[i]);
  if (b < 0x80) return 1;
  size_t need = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;  // no overlongs
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;  // no overlongs
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *consumed = 1;
    return 0;
  }
  size_t j = i + 1;
  for (size_t k = 0; k < need; k++, j++) {
    if (j >= s.size()) break;
    uint8_t c = uint8_t(s[j]);
    uint8_t min = k == 0 ? lo : 0x80, max = k == 0 ? hi : 0xBF;
    if (c < min || c > max) break;
    if (k + 1 == need) return need + 1;
  }
  *consumed = j - i;
  return 0;
}

void append_escape(std::string& out, uint32_t code) {
  static constexpr char HEX[] = "0123456789abcdef";
  switch (code) {
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
  }
  char buf[6] = {'\\', 'u', HEX[(code >> 12) & 15], HEX[(code >> 8) & 15],
                 HEX[(code >> 4) & 15], HEX[code & 15]};
  out.append(buf, 6);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0, consumed = 0;
  while (i < bytes.size()) {
    size_t n = sequence_length(bytes, i, &consumed);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool append_lossy_utf8(std::string& out, std::string_view bytes) {
  bool replaced = false;
  size_t i = 0, done = 0, consumed = 0;
  while (i < bytes.size()) {
    if (uint8_t(bytes[i]) < 0x80) {
      i++;
      continue;
    }
    size_t n = sequence_length(bytes, i, &consumed);
    if (n > 0) {
      i += n;
      continue;
    }
    out.append(bytes.substr(done, i - done));
    out += REPLACEMENT;
    replaced = true;
    i += consumed;
    done = i;
  }
  out.append(bytes.substr(done));
  return replaced;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_lossy_utf8(out, bytes);
  return out;
}

bool append_printable(std::string& out, std::string_view bytes) {
  bool replaced = false;
  size_t i = 0, done = 0, consumed = 0;
  auto flush = [&] { out.append(bytes.substr(done, i - done)); };
  while (i < bytes.size()) {
    uint8_t b = uint8_t(bytes[i]);
    if (b >= 0x20 && b < 0x7F) {
      i++;
      continue;
    }
    if (b < 0x20 || b == 0x7F) {
      flush();
      append_escape(out, b);
      done = ++i;
      continue;
    }
    size_t n = sequence_length(bytes, i, &consumed);
    if (n == 0) {
      flush();
      out += REPLACEMENT;
      replaced = true;
      i += consumed;
      done = i;
    } else if (n == 2 && b == 0xC2 && uint8_t(bytes[i + 1]) < 0xA0) {
      flush();  // a C1 control, U+0080..U+009F
      append_escape(out, uint8_t(bytes[i + 1]));
      i += 2;
      done = i;
    } else {
      i += n;
    }
  }
  flush();
  return replaced;
}

}  // namespace tallmap
