#include "core/text.h"

namespace tallmap {

std::vector<std::string_view> split_nonempty(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t end = s.find(sep, i);
    if (end == std::string_view::npos) end = s.size();
    if (end > i) out.push_back(s.substr(i, end - i));
    i = end + 1;
  }
  return out;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out.append(dir);
  append_component(out, name);
  return out;
}

void append_component(std::string& out, std::string_view name) {
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
}

bool is_entry_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == name.npos &&
         name.find('\0') == name.npos;
}

}  // namespace tallmap
