#include "core/report.h"

#include <algorithm>

#include "core/format.h"
#include "core/text.h"
#include "core/utf8.h"

namespace tallmap {

ReportView report_view(const Tree& tree) {
  ReportView view;
  view.root_name = tree.name_bytes(0);
  view.folders = FolderTable(tree.folders());
  view.index = &tree.index();
  view.names.store = tree.names().get();
  view.largest_files.reserve(tree.largest_files().size());
  for (const LargeFile& f : tree.largest_files())
    view.largest_files.push_back(ReportFile{f.size, f.folder, f.name});
  view.stopped = tree.stopped();
  return view;
}

std::string_view view_name(const ReportView& view, FolderId id) {
  if (id == 0) return view.root_name;
  return view.names.get(view.folders[id].name);
}

std::string view_path(const ReportView& view, FolderId id) {
  std::vector<FolderId> chain;
  for (FolderId f = id; f != 0; f = view.folders[f].parent) chain.push_back(f);
  std::string out(view.root_name);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    append_component(out, view_name(view, *it));
  return out;
}

std::vector<FolderId> view_children_by_size(const ReportView& view, FolderId id) {
  const TreeIndex& index = *view.index;
  std::vector<FolderId> kids(index.children.begin() + index.child_offsets[id],
                             index.children.begin() + index.child_offsets[id + 1]);
  sort_by_size(kids, index.totals, [&](FolderId f) { return view_name(view, f); });
  return kids;
}

std::vector<PathSize> view_largest_files(const ReportView& view, size_t n) {
  std::vector<PathSize> files;
  files.reserve(view.largest_files.size());
  for (const ReportFile& f : view.largest_files) {
    files.push_back(PathSize{join_path(view_path(view, f.folder), f.name), f.size});
  }
  keep_largest(files, n);
  return files;
}

namespace {

struct Row {
  std::string_view sort_name;
  uint64_t size = 0;
  FolderId folder = 0;
  bool files = false;  // the "[files]" row rather than a child folder
};

constexpr std::string_view FILES_LABEL = "[files]";

uint64_t denied_count(const ReportView& view) {
  uint64_t n = 0;
  for (FolderId id = 0; id < view.folders.size(); id++) {
    uint8_t flags = view.folders[id].flags;
    if ((flags & DENIED) && !(flags & GONE)) n++;
  }
  return n;
}

void append_label(std::string& out, const ReportView& view, const Row& row) {
  if (row.files) {
    out += FILES_LABEL;
    return;
  }
  const Folder& f = view.folders[row.folder];
  append_printable(out, row.sort_name);
  out += '/';
  if (f.flags & DENIED) {
    out += " (denied: ";
    out += *error_text(f);
    out += ')';
  } else if (f.flags & OTHER_DEVICE) {
    out += " (other device)";
  } else if (view.index->derived_flags[row.folder] & PARTIAL) {
    out += " (partial)";
  }
}

std::vector<Row> collect_rows(const ReportView& view) {
  const TreeIndex& index = *view.index;
  std::vector<Row> rows;
  for (uint32_t i = index.child_offsets[0]; i < index.child_offsets[1]; i++) {
    FolderId c = index.children[i];
    rows.push_back(Row{view_name(view, c), index.totals[c], c, false});
  }
  if (view.folders[0].own != 0)
    rows.push_back(Row{FILES_LABEL, view.folders[0].own, 0, true});
  // Stable: a child folder named "[files]" of the same size stays first.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    if (a.size != b.size) return a.size > b.size;
    return a.sort_name < b.sort_name;
  });
  return rows;
}

}  // namespace

std::string text_report(const ReportView& view, bool si, std::optional<uint32_t> top) {
  std::string out;
  append_size_column(out, si, view.index->totals[0]);
  out += "  ";
  append_printable(out, view.root_name);
  if (uint64_t denied = denied_count(view); denied != 0)
    out += "  (partial: " + std::to_string(denied) + " denied)";
  if (view.stopped) out += "  (incomplete: scan stopped)";
  out += '\n';

  for (const Row& row : collect_rows(view)) {
    append_size_column(out, si, row.size);
    out += "  ";
    append_label(out, view, row);
    out += '\n';
  }

  if (top) {
    out += "\nlargest files:\n";
    for (const PathSize& f : view_largest_files(view, *top)) {
      append_size_column(out, si, f.size);
      out += "  ";
      append_printable(out, f.path);
      out += '\n';
    }
  }
  return out;
}

std::string text_report(const Tree& tree, bool si, std::optional<uint32_t> top) {
  return text_report(report_view(tree), si, top);
}

}  // namespace tallmap
