// The JSON report of `scan --json` and `show --json`: one line, fixed key
// order, no whitespace, sizes as plain integers of bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/report.h"

namespace tallmap {

// Appends `bytes` as a quoted JSON string, invalid UTF-8 replaced by U+FFFD.
// Returns true when anything was replaced.
bool append_json_string(std::string& out, std::string_view bytes);

// The root object with its subfolders down to `depth` levels (0: the root's
// own keys only) and, with `top`, its N largest files; ends in a line feed.
std::string json_report(const ReportView& view, uint64_t depth, std::optional<uint32_t> top);
std::string json_report(const Tree& tree, uint64_t depth, std::optional<uint32_t> top);

}  // namespace tallmap
