#include "core/read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/listing.h"
#include "core/scan.h"
#include "core/text.h"

namespace tallmap {

std::optional<std::string> check_ref(const Tree& tree, FolderRef ref) {
  if (ref.stamp != 0 && ref.stamp != tree.stamp())
    return "folder id " + std::to_string(ref.id) + " is from another tree";
  if (ref.id >= tree.folder_count() || (tree.folder(ref.id).flags & GONE))
    return "no folder " + std::to_string(ref.id) + " in this tree";
  return std::nullopt;
}

std::string_view name(const Tree& tree, FolderId id) {
  return tree.name_bytes(tree.folder(id).name);
}
std::string path(const Tree& tree, FolderId id) { return tree.path_bytes(id); }
uint64_t own(const Tree& tree, FolderId id) { return tree.folder(id).own; }
uint64_t size(const Tree& tree, FolderId id) { return tree.index().totals[id]; }
uint64_t reclaimable(const Tree& tree, FolderId id) {
  return tree.index().reclaimable_totals[id];
}
std::optional<std::string> error(const Tree& tree, FolderId id) {
  return error_text(tree.folder(id));
}
bool denied(const Tree& tree, FolderId id) { return tree.folder(id).flags & DENIED; }
bool partial(const Tree& tree, FolderId id) { return tree.index().derived_flags[id] & PARTIAL; }
bool other_device(const Tree& tree, FolderId id) {
  return tree.folder(id).flags & OTHER_DEVICE;
}

std::span<const FolderId> children(const Tree& tree, FolderId id) {
  const TreeIndex& ix = tree.index();
  return std::span<const FolderId>(ix.children)
      .subspan(ix.child_offsets[id], ix.child_offsets[id + 1] - ix.child_offsets[id]);
}

std::vector<FolderId> children_by_size(const Tree& tree, FolderId id) {
  std::span<const FolderId> kids = children(tree, id);
  std::vector<FolderId> out(kids.begin(), kids.end());
  sort_by_size(out, tree.index().totals, [&](FolderId f) { return name(tree, f); });
  return out;
}

// Opens the root as the scan did, then each folder on the way by name, so
// that a folder replaced by a link since the scan leads nowhere else.
static FdResult open_folder(const Tree& tree, FolderId id) {
  FdResult root = open_root(tree.name_bytes(tree.folder(0).name));
  if (!root.ok() || id == 0) return root;
  std::vector<std::string> names;
  for (FolderId f = id; f != 0; f = tree.folder(f).parent) names.emplace_back(name(tree, f));
  std::reverse(names.begin(), names.end());
  FdResult dir = open_by_components(root.fd, names);
  close_fd(root.fd);
  return dir;
}

static Error os_error(int errnum) { return Error{errnum, os_error_text(errnum)}; }

Result<std::vector<FileEntry>> files(const Tree& tree, FolderId id) {
  std::vector<FileEntry> out;
  if (tree.folder(id).flags & OTHER_DEVICE) return out;
  FdResult dir = open_folder(tree, id);
  if (!dir.ok()) return os_error(dir.errnum);
  int err = 0;
  // The stream reads the descriptor itself: it does not own it, and the
  // status calls do not depend on its read position.
  DirStream stream(dir.fd);
  DirStream::Entry entry;
  struct stat st;
  while (err == 0 && stream.next(entry)) {
    if (is_dot_or_dotdot(entry.name_z)) continue;
    int r = stat_entry(dir.fd, entry.name_z.data(), st);
    if (r == ENOENT) continue;
    if (r != 0) {
      err = r;
      break;
    }
    if (S_ISDIR(st.st_mode)) continue;
    out.push_back({std::string(entry.name_z.substr(0, entry.name_z.size() - 1)),
                   uint64_t(st.st_blocks) * 512});
  }
  if (err == 0) err = stream.error();
  close_fd(dir.fd);
  if (err != 0) return os_error(err);
  return out;
}

std::optional<FolderId> find(const Tree& tree, std::string_view p) {
  std::vector<std::string_view> rest = split_nonempty(p, '/');
  if (!p.empty() && p[0] == '/') {
    std::string_view root = tree.name_bytes(tree.folder(0).name);
    std::vector<std::string_view> prefix = split_nonempty(root, '/');
    if (root.empty() || root[0] != '/' || prefix.size() > rest.size()) return std::nullopt;
    for (size_t i = 0; i < prefix.size(); i++)
      if (prefix[i] != rest[i]) return std::nullopt;
    rest.erase(rest.begin(), rest.begin() + prefix.size());
  }
  FolderId at = 0;
  for (std::string_view c : rest) {
    if (c == ".") continue;
    if (c == "..") return std::nullopt;
    std::optional<FolderId> next;
    for (FolderId kid : children(tree, at)) {
      if (name(tree, kid) == c) {
        next = kid;
        break;
      }
    }
    if (!next) return std::nullopt;
    at = *next;
  }
  return at;
}

std::vector<PathSize> largest_files(const Tree& tree, size_t n) {
  std::vector<PathSize> out;
  if (n == 0) return out;
  out.reserve(tree.largest_files().size());
  for (const LargeFile& lf : tree.largest_files()) {
    out.push_back({join_path(tree.path_bytes(lf.folder), lf.name), lf.size});
  }
  keep_largest(out, n);
  return out;
}

void keep_largest(std::vector<PathSize>& files, size_t n) {
  std::sort(files.begin(), files.end(), [](const PathSize& a, const PathSize& b) {
    if (a.size != b.size) return a.size > b.size;
    return a.path < b.path;
  });
  if (files.size() > n) files.resize(n);
}

}  // namespace tallmap
