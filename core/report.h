// The printed reports of `scan` and `show`, built from a read-only view so
// that a Tree and a saved scan mapped in place print the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/folder_table.h"
#include "core/read.h"
#include "core/tree.h"

namespace tallmap {

// Name bytes by NameId, from either of the two places names live.
struct NameTable {
  // A live NameStore, or, when null, the saved layout: all names but the
  // root's concatenated in `bytes`, name k (k >= 1) ending at ends[k] and
  // starting at ends[k - 1].
  const NameStore* store = nullptr;
  std::string_view bytes;
  std::span<const uint32_t> ends;

  // Never asked for NameId 0: the root's name is ReportView::root_name.
  std::string_view get(NameId id) const {
    if (store) return store->get(id);
    if (id == 0) return {};
    return bytes.substr(ends[id - 1], ends[id] - ends[id - 1]);
  }
};

struct ReportFile {
  uint64_t size = 0;
  FolderId folder = 0;
  std::string_view name;  // the file's own name, no path
};

// Everything a report reads. The views must outlive the report call.
//
// A saved scan supplies, from its mapped image:
//   root_name      PATH as given to `show` (it also begins every file path);
//   folders        FolderTable::stored over the folder array, in place;
//   index          derive_index_of(folders, reclaimable), owned by the caller;
//   names          {nullptr, names array, name_ends array} in place;
//   largest_files  one entry per stored largest file, names in place;
//   stopped        bit 1 of the header flags.
// The image is assumed to have passed the saved-scan checks, so every
// parent, NameId and folder id in it is in range.
struct ReportView {
  std::string_view root_name;
  FolderTable folders;
  const TreeIndex* index = nullptr;
  NameTable names;
  std::vector<ReportFile> largest_files;
  bool stopped = false;
};

// A view of `tree` (deriving its index if needed); valid while `tree` lives.
ReportView report_view(const Tree& tree);

// Helpers shared by the report writers.

// Raw name bytes of a folder; the root's is root_name.
std::string_view view_name(const ReportView& view, FolderId id);
// root_name, then each name down to `id`, one '/' between, never doubled.
std::string view_path(const ReportView& view, FolderId id);
// Children by total size descending, equal sizes by name bytes ascending.
std::vector<FolderId> view_children_by_size(const ReportView& view, FolderId id);
// At most n (full path, size), largest first, equal sizes by path bytes.
std::vector<PathSize> view_largest_files(const ReportView& view, size_t n);

// The text report: the root's line, one line per direct child and one for
// the files directly in the root, largest first; with `top`, the N largest
// files after a blank line. Names are made terminal-safe (see
// append_printable).
std::string text_report(const ReportView& view, bool si, std::optional<uint32_t> top);
std::string text_report(const Tree& tree, bool si, std::optional<uint32_t> top);

}  // namespace tallmap
