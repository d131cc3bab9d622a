// The volume list, read from the kernel's per-process mount table.
#include "app/volumes.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "core/scan.h"
#include "core/text.h"
#include "core/utf8.h"

namespace tallmap {
namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }


// A hostile or broken filesystem could report block counts whose byte
// size does not fit; saturate rather than wrap to a small number.
uint64_t times(uint64_t a, uint64_t b) {
  uint64_t out;
  if (__builtin_mul_overflow(a, b, &out)) return UINT64_MAX;
  return out;
}

void measure(Mount& m, const FsStats& s) {
  uint64_t block = s.frsize != 0 ? s.frsize : s.bsize;
  m.total = times(s.blocks, block);
  m.used = times(s.blocks > s.bfree ? s.blocks - s.bfree : 0, block);
  m.free = times(s.bavail, block);
}

std::optional<Mount> parse_line(std::string_view line, const StatFs& stat) {
  std::vector<std::string_view> fields = split_nonempty(line, ' ');
  if (fields.size() < 5) return std::nullopt;
  size_t sep = 5;
  while (sep < fields.size() && fields[sep] != "-") sep++;
  if (sep + 1 >= fields.size()) return std::nullopt;
  Mount m;
  m.point = unescape_mount_field(fields[4]);
  m.fs = lossy_utf8(fields[sep + 1]);
  if (std::optional<FsStats> s = stat(m.point)) measure(m, *s);
  return m;
}

Result<std::string> read_whole(const std::string& file) {
  int fd;
  do {
    fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = errno;
    return Error{e, os_error_text(e)};
  }
  // Files under /proc report size 0: read until the end instead.
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      return Error{e, os_error_text(e)};
    }
    if (n == 0) break;
    text.append(buf, size_t(n));
  }
  close(fd);
  return text;
}

}  // namespace

std::optional<FsStats> statfs_point(const std::string& point) {
  // A NUL would silently measure a different path.
  if (point.find('\0') != std::string::npos) return std::nullopt;
  struct statfs s;
  int rc;
  do {
    rc = statfs(point.c_str(), &s);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::nullopt;
  return FsStats{uint64_t(s.f_blocks), uint64_t(s.f_bfree),
                 uint64_t(s.f_bavail), uint64_t(s.f_bsize),
                 uint64_t(s.f_frsize)};
}

std::string unescape_mount_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); i++) {
    if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) &&
        is_octal(field[i + 2]) && is_octal(field[i + 3])) {
      int v = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
              (field[i + 3] - '0');
      if (v <= 255) {
        out.push_back(char(v));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<Mount> parse_mountinfo(std::string_view text, const StatFs& stat) {
  std::vector<Mount> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find('\n', i);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(i, end - i);
    if (!line.empty()) {
      if (std::optional<Mount> m = parse_line(line, stat)) out.push_back(std::move(*m));
    }
    i = end + 1;
  }
  return out;
}

Result<std::vector<Mount>> list_mounts(const std::string& table) {
  Result<std::string> text = read_whole(table);
  if (!text) return text.error();
  return parse_mountinfo(*text, statfs_point);
}

Result<std::vector<Mount>> list_mounts() {
  return list_mounts("/proc/self/mountinfo");
}

}  // namespace tallmap
