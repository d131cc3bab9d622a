// Queries on a finished tree. Callers check a reference once with
// `check_ref` and then ask about the checked id.
#pragma once

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.h"
#include "core/tree.h"

namespace tallmap {

// Nothing when `ref` names a living folder of `tree`; otherwise
// "folder id {} is from another tree" or "no folder {} in this tree".
std::optional<std::string> check_ref(const Tree& tree, FolderRef ref);

std::string_view name(const Tree& tree, FolderId id);
std::string path(const Tree& tree, FolderId id);
uint64_t own(const Tree& tree, FolderId id);
uint64_t size(const Tree& tree, FolderId id);
uint64_t reclaimable(const Tree& tree, FolderId id);
std::optional<std::string> error(const Tree& tree, FolderId id);
bool denied(const Tree& tree, FolderId id);
bool partial(const Tree& tree, FolderId id);
bool other_device(const Tree& tree, FolderId id);
std::span<const FolderId> children(const Tree& tree, FolderId id);
std::vector<FolderId> children_by_size(const Tree& tree, FolderId id);

// The one order of folders by size: total descending, equal totals by name
// bytes ascending (a name that is a prefix of another first). Shared by the
// queries and the reports, which read saved scans in place.
template <class NameOf>
void sort_by_size(std::vector<FolderId>& ids, std::span<const uint64_t> totals, NameOf&& name_of) {
  // Stable, so that even equal names (impossible on disk) keep id order.
  std::stable_sort(ids.begin(), ids.end(), [&](FolderId a, FolderId b) {
    if (totals[a] != totals[b]) return totals[a] > totals[b];
    return name_of(a) < name_of(b);
  });
}

struct FileEntry {
  std::string name;
  uint64_t size = 0;
};
// The non-folder entries of the folder as they are on disk now. Blocks on I/O.
Result<std::vector<FileEntry>> files(const Tree& tree, FolderId id);

std::optional<FolderId> find(const Tree& tree, std::string_view path);

struct PathSize {
  std::string path;
  uint64_t size = 0;
};
std::vector<PathSize> largest_files(const Tree& tree, size_t n);

// Sorts by size descending, equal sizes by path bytes, and keeps the first n.
void keep_largest(std::vector<PathSize>& files, size_t n);

}  // namespace tallmap
