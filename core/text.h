// Small byte-string helpers for paths and fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallmap {

// The parts of `s` between `sep` bytes, leaving out empty ones (so repeated,
// leading and trailing separators do not matter).
std::vector<std::string_view> split_nonempty(std::string_view s, char sep);

// `dir`, then one slash unless `dir` is empty or already ends in one, then
// `name`.
std::string join_path(std::string_view dir, std::string_view name);
// The same, appending to `out` in place.
void append_component(std::string& out, std::string_view name);

// A name a directory listing can return: not empty, not "." or "..", and
// without a slash or a NUL. Only such a name can be opened without
// resolving anything on the way.
bool is_entry_name(std::string_view name);

}  // namespace tallmap
