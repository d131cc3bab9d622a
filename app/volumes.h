// The mounted filesystems of this process, with their capacity, in the
// kernel's order. Filtering and sorting for display are the caller's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"

namespace tallmap {

struct Mount {
  std::string point;  // bytes, the kernel's escapes undone
  std::string fs;     // text; invalid UTF-8 replaced by U+FFFD
  bool hidden = false;
  uint64_t total = 0;
  uint64_t used = 0;
  uint64_t free = 0;
  bool operator==(const Mount&) const = default;
};

// The statfs fields the sizes come from.
struct FsStats {
  uint64_t blocks = 0;
  uint64_t bfree = 0;
  uint64_t bavail = 0;
  uint64_t bsize = 0;
  uint64_t frsize = 0;
};

// Returns nothing when the filesystem cannot be measured.
using StatFs = std::function<std::optional<FsStats>(const std::string& point)>;

// statfs on `point`, following symbolic links.
std::optional<FsStats> statfs_point(const std::string& point);

// Undoes the kernel's \ooo escapes; any other backslash stays as it is.
std::string unescape_mount_field(std::string_view field);

// Every parseable line of mountinfo text, measured with `stat`.
std::vector<Mount> parse_mountinfo(std::string_view text, const StatFs& stat);

// Reads and parses `table` (normally "/proc/self/mountinfo").
Result<std::vector<Mount>> list_mounts(const std::string& table);
Result<std::vector<Mount>> list_mounts();

}  // namespace tallmap
