// How every size, count, share and age a person reads is written. One
// boolean `si` picks powers of 1000 (kB, MB, ...) over 1024 (KiB, MiB, ...).
// The append_* forms write into an existing buffer for the report writers.
#pragma once

#include <cstdint>
#include <string>

namespace tallmap {

// "999 B", "1.5 KiB", "16384.0 PiB": one decimal, unit capped at peta.
std::string format_size(bool si, uint64_t bytes);
void append_size(std::string& out, bool si, uint64_t bytes);

// format_size right-aligned in 10 characters; longer texts are not cut.
std::string size_column(bool si, uint64_t bytes);
void append_size_column(std::string& out, bool si, uint64_t bytes);

// The size column and its magnitude class: 0 for giga and above, 1 mega,
// 2 kilo, 3 bytes (thresholds follow the unit system).
struct SizeCell {
  std::string column;
  uint8_t size_class = 3;
};
SizeCell size_class(bool si, uint64_t bytes);

// Decimal digits grouped by commas: "1,234,567".
std::string format_count(uint64_t count);

// Exactly five characters: "     " (nothing to show), "<0.1%", " 5.3%",
// "42.0%" or " 100%". Rounded half up to tenths of a percent.
std::string format_share(uint64_t part, uint64_t whole);

// "59 s", "59 min", "23 h", "90 d", truncating.
std::string format_age(uint64_t seconds);

}  // namespace tallmap
