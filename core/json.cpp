#include "core/json.h"

#include <charconv>
#include <vector>

#include "core/utf8.h"

namespace tallmap {

namespace {

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  size_t done = 0;
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(done, i - done));
    done = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: {
        char buf[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
        out.append(buf, 6);
      }
    }
  }
  out.append(text.substr(done));
}

void append_u64(std::string& out, uint64_t value) {
  char buf[20];
  auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out.append(buf, end);
}

// Everything of a folder object up to "name_lossy"; the object stays open.
void open_folder(std::string& out, const ReportView& view, FolderId id) {
  const Folder& f = view.folders[id];
  out += "{\"name\":";
  bool lossy = append_json_string(out, view_name(view, id));
  out += ",\"size\":";
  append_u64(out, view.index->totals[id]);
  out += ",\"own\":";
  append_u64(out, f.own);
  if (f.flags & DENIED) {
    out += ",\"denied\":";
    append_json_string(out, *error_text(f));
  }
  if (f.flags & OTHER_DEVICE) out += ",\"other_device\":true";
  if (view.index->derived_flags[id] & PARTIAL) out += ",\"partial\":true";
  if (lossy) out += ",\"name_lossy\":true";
}

// Depth-first with an explicit stack, so a deep tree cannot exhaust the
// call stack; the stack holds one level per open "children" array.
void append_children(std::string& out, const ReportView& view, uint64_t depth) {
  struct Level {
    std::vector<FolderId> kids;
    size_t next = 0;
  };
  std::vector<Level> stack;
  out += ",\"children\":[";
  stack.push_back(Level{view_children_by_size(view, 0)});
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next == top.kids.size()) {
      stack.pop_back();
      out += ']';
      if (!stack.empty()) out += '}';
      continue;
    }
    if (top.next > 0) out += ',';
    FolderId child = top.kids[top.next++];
    open_folder(out, view, child);
    if (stack.size() < depth) {  // this child's level is stack.size()
      out += ",\"children\":[";
      stack.push_back(Level{view_children_by_size(view, child)});
    } else {
      out += '}';
    }
  }
}

}  // namespace

bool append_json_string(std::string& out, std::string_view bytes) {
  out += '"';
  bool lossy = false;
  if (is_valid_utf8(bytes)) {
    append_escaped(out, bytes);
  } else {
    append_escaped(out, lossy_utf8(bytes));
    lossy = true;
  }
  out += '"';
  return lossy;
}

std::string json_report(const ReportView& view, uint64_t depth, std::optional<uint32_t> top) {
  std::string out;
  open_folder(out, view, 0);
  if (view.stopped) out += ",\"incomplete\":true";
  if (depth >= 1) append_children(out, view, depth);
  if (top) {
    out += ",\"largest_files\":[";
    bool first = true;
    for (const PathSize& f : view_largest_files(view, *top)) {
      if (!first) out += ',';
      first = false;
      out += "{\"path\":";
      append_json_string(out, f.path);
      out += ",\"size\":";
      append_u64(out, f.size);
      out += '}';
    }
    out += ']';
  }
  out += "}\n";
  return out;
}

std::string json_report(const Tree& tree, uint64_t depth, std::optional<uint32_t> top) {
  return json_report(report_view(tree), depth, top);
}

}  // namespace tallmap
