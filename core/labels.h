// Folder labels: what a well-known folder is, why it can go, and how safe
// deleting it is. Computed on demand from a folder's name and a look at
// the disk at that moment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "core/tree.h"

namespace tallmap {

enum class Tier : uint8_t { System, Cache, Known };

// Texts point into the static rule table.
struct Label {
  Tier tier = Tier::Cache;
  std::string_view text;
  std::string_view why;
  bool operator==(const Label&) const = default;
};

// Resolves `root_path` and $HOME the way labelling needs them.
LabelContext compute_label_context(std::string_view root_path);

// The tree's context, resolved once on first use and kept with the tree.
const LabelContext& label_context(const Tree& tree);

// The label of a living folder (`id` already checked with check_ref).
std::optional<Label> label(const Tree& tree, FolderId id);

// Checks `ref` first; a bad reference comes back as the reference error.
Result<std::optional<Label>> label(const Tree& tree, FolderRef ref);

// Whether a marker file counts as present: anything lstat does not
// positively deny (ENOENT, ENOTDIR) counts, dangling symlinks included.
bool marker_present(const std::string& path);

// Whether `dir`/CACHEDIR.TAG starts with the cache tag signature.
bool has_cache_tag(std::string_view dir);

}  // namespace tallmap
