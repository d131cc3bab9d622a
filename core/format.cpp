#include "core/format.h"

#include <fmt/format.h>

#include <charconv>

namespace tallmap {

namespace {

constexpr const char* BINARY_UNITS[5] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
constexpr const char* SI_UNITS[5] = {"kB", "MB", "GB", "TB", "PB"};

void append_decimal(std::string& out, uint64_t value) {
  char buf[20];
  auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

}  // namespace

void append_size(std::string& out, bool si, uint64_t bytes) {
  const uint64_t base = si ? 1000 : 1024;
  if (bytes < base) {
    append_decimal(out, bytes);
    out += " B";
    return;
  }
  // The comparison is made before rounding, so 1048575 bytes stay
  // "1024.0 KiB" instead of moving on to MiB.
  double v = double(bytes) / double(base);
  int unit = 0;
  while (unit < 4 && v >= double(base)) {
    v /= double(base);
    unit++;
  }
  fmt::format_to(std::back_inserter(out), "{:.1f} {}", v,
                 si ? SI_UNITS[unit] : BINARY_UNITS[unit]);
}

std::string format_size(bool si, uint64_t bytes) {
  std::string out;
  append_size(out, si, bytes);
  return out;
}

void append_size_column(std::string& out, bool si, uint64_t bytes) {
  constexpr size_t WIDTH = 10;
  size_t start = out.size();
  append_size(out, si, bytes);
  size_t len = out.size() - start;  // the text is ASCII: bytes are columns
  if (len < WIDTH) out.insert(start, WIDTH - len, ' ');
}

std::string size_column(bool si, uint64_t bytes) {
  std::string out;
  append_size_column(out, si, bytes);
  return out;
}

SizeCell size_class(bool si, uint64_t bytes) {
  const uint64_t k = si ? 1000 : 1024;
  uint8_t cls = bytes >= k * k * k ? 0 : bytes >= k * k ? 1 : bytes >= k ? 2 : 3;
  return SizeCell{size_column(si, bytes), cls};
}

std::string format_count(uint64_t count) {
  char digits[20];
  auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
  size_t n = size_t(end - digits);
  std::string out;
  out.reserve(n + n / 3);
  for (size_t i = 0; i < n; i++) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string format_share(uint64_t part, uint64_t whole) {
  if (part == 0 || whole == 0) return "     ";
  // 2000 * part overflows 64 bits for large parts; 128 bits cannot.
  using u128 = unsigned __int128;
  u128 t = (u128(2000) * part + whole) / (u128(2) * whole);
  if (t == 0) return "<0.1%";
  if (t >= 1000) return " 100%";
  unsigned tenths = unsigned(t);
  std::string out(5, ' ');
  out[0] = tenths >= 100 ? char('0' + tenths / 100) : ' ';
  out[1] = char('0' + tenths / 10 % 10);
  out[2] = '.';
  out[3] = char('0' + tenths % 10);
  out[4] = '%';
  return out;
}

std::string format_age(uint64_t seconds) {
  if (seconds < 60) return fmt::format("{} s", seconds);
  if (seconds < 3600) return fmt::format("{} min", seconds / 60);
  if (seconds < 86400) return fmt::format("{} h", seconds / 3600);
  return fmt::format("{} d", seconds / 86400);
}

}  // namespace tallmap
