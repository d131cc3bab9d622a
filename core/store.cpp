// The per-user cache: where it is, which file belongs to which folder, and
// writing files so that a reader sees the old version or the new one.

#include "core/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "core/scan.h"

namespace tallmap {

namespace {

Error os_error(int e) { return Error{e, os_error_text(e)}; }

const char* env(const char* name) { return std::getenv(name); }

bool set(const char* v) { return v && *v; }

bool has_nul(std::string_view s) { return s.find('\0') != s.npos; }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Reads to the end; returns errno on failure.
Result<std::vector<uint8_t>> read_all(int fd) {
  std::vector<uint8_t> out;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) out.reserve(size_t(st.st_size));
  uint8_t buf[65536];
  for (;;) {
    ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return out;
    out.insert(out.end(), buf, buf + got);
  }
}

std::optional<Error> write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (put == 0) return Error{0, "failed to write whole buffer"};
    done += size_t(put);
  }
  return std::nullopt;
}

Result<std::string> canonical(std::string_view path) {
  if (has_nul(path)) return os_error(EINVAL);
  std::string p(path);
  char* resolved = ::realpath(p.c_str(), nullptr);
  if (!resolved) return os_error(errno);
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace

// ---- Cache directory and scan key ------------------------------------------

Result<std::string> cache_dir_from(const char* tallmap_cache_dir, const char* xdg_cache_home,
                                   const char* home) {
  if (set(tallmap_cache_dir)) return std::string(tallmap_cache_dir);
  if (set(xdg_cache_home) && xdg_cache_home[0] == '/') return join_path(xdg_cache_home, "tallmap");
  if (set(home)) return join_path(home, ".cache/tallmap");
  return Error{0, "HOME is not set"};
}

Result<std::string> cache_dir() {
  return cache_dir_from(env("TALLMAP_CACHE_DIR"), env("XDG_CACHE_HOME"), env("HOME"));
}

uint64_t fnv1a64(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string format_scan_key(uint64_t fsid, uint64_t hash) {
  return fmt::format("{:032x}-{:016x}", fsid, hash);
}

Result<ScanKey> scan_key(std::string_view path) {
  auto canon = canonical(path);
  if (!canon) return canon.error();
  struct statfs fs;
  if (::statfs(canon->c_str(), &fs) != 0) return os_error(errno);
  uint32_t halves[2];
  static_assert(sizeof(fs.f_fsid) == sizeof(halves));
  std::memcpy(halves, &fs.f_fsid, sizeof halves);
  uint64_t fsid = uint64_t(halves[0]) | uint64_t(halves[1]) << 32;
  std::string key = format_scan_key(fsid, fnv1a64(*canon));
  return ScanKey{std::move(*canon), std::move(key)};
}

// ---- Writing ------------------------------------------------------------------

std::optional<Error> write_atomic(const std::string& target, std::span<const uint8_t> bytes) {
  if (has_nul(target)) return os_error(EINVAL);
  // The temporary name carries only the process id, so threads of one
  // process take turns.
  static std::mutex mu;
  std::lock_guard lock(mu);
  std::string tmp = fmt::format("{}.{}.tmp", target, ::getpid());
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  // A file already there is not ours to remove.
  if (fd.get() < 0) return os_error(errno);
  auto fail = [&](Error e) {
    ::unlink(tmp.c_str());
    return e;
  };
  if (auto e = write_all(fd.get(), bytes)) return fail(*e);
  if (::close(fd.release()) != 0) return fail(os_error(errno));
  if (::rename(tmp.c_str(), target.c_str()) != 0) return fail(os_error(errno));
  return std::nullopt;
}

std::optional<Error> make_dirs(const std::string& dir) {
  if (has_nul(dir)) return os_error(EINVAL);
  if (dir.empty()) return os_error(ENOENT);
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? std::nullopt : std::optional(os_error(ENOTDIR));
  // Create each missing component from the top, so parents get 0700 too.
  for (size_t i = 1; i <= dir.size(); i++) {
    if (i < dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return os_error(errno);
  }
  if (::stat(dir.c_str(), &st) != 0) return os_error(errno);
  if (!S_ISDIR(st.st_mode)) return os_error(ENOTDIR);
  return std::nullopt;
}

// ---- The cache --------------------------------------------------------------

std::optional<Error> save_scan(const std::string& cache_dir, std::string_view path,
                               const Tree& tree, bool reclaimable_flag) {
  auto key = scan_key(path);
  if (!key) return key.error();
  auto image = serialize_scan(tree, key->canonical, reclaimable_flag);
  if (!image) return image.error();
  if (auto e = make_dirs(cache_dir)) return e;
  return write_atomic(join_path(cache_dir, key->key + ".scan"), *image);
}

Result<std::optional<SavedScan>> open_scan(const std::string& cache_dir, std::string_view path) {
  auto key = scan_key(path);
  if (!key) return key.error();
  std::string file = join_path(cache_dir, key->key + ".scan");
  if (has_nul(file)) return os_error(EINVAL);
  // Non-blocking so that a FIFO planted under the name cannot hang us.
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::optional<SavedScan>();
    return os_error(errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return os_error(EINVAL);
  auto image = ScanImage::map_file(fd.get(), size_t(st.st_size));
  if (!image) return image.error();
  return std::optional<SavedScan>(SavedScan{std::move(*image), std::move(key->canonical),
                                            std::string(path), st.st_mtim});
}

Result<std::optional<ScanView>> open_scan_view(const std::string& cache_dir,
                                               std::string_view path) {
  auto saved = open_scan(cache_dir, path);
  if (!saved) return saved.error();
  if (!*saved) return std::optional<ScanView>();
  SavedScan& s = **saved;
  auto root = check_scan(s.image.bytes());
  if (!root || root->path() != s.canonical) return std::optional<ScanView>();
  return std::optional<ScanView>(ScanView(std::move(s.image), *root, std::move(s.path)));
}

Result<std::optional<LoadedScan>> load_scan(const std::string& cache_dir, std::string_view path) {
  auto saved = open_scan(cache_dir, path);
  if (!saved) return saved.error();
  if (!*saved) return std::optional<LoadedScan>();
  SavedScan& s = **saved;
  auto root = check_scan(s.image.bytes());
  if (!root || root->path() != s.canonical) return std::optional<LoadedScan>();
  return std::optional<LoadedScan>(
      LoadedScan{tree_from_scan(*root, s.path), s.mtime, root->reclaimable_gathered()});
}

std::optional<Error> write_scan_file(const Tree& tree, const std::string& file) {
  auto canon = canonical(tree.name_bytes(0));
  if (!canon) return canon.error();
  auto image = serialize_scan(tree, *canon, !tree.reclaimable().empty());
  if (!image) return image.error();
  return write_atomic(file, *image);
}

Result<std::shared_ptr<Tree>> read_scan_file(const std::string& file) {
  if (has_nul(file)) return os_error(EINVAL);
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return os_error(errno);
  // A std::vector's block comes from operator new, aligned to 16.
  auto bytes = read_all(fd.get());
  if (!bytes) return bytes.error();
  auto root = check_scan(*bytes);
  if (!root) return Error{INVALID_DATA, "not a scan saved by this version of tallmap"};
  return tree_from_scan(*root, root->path());
}

// ---- Picks ----------------------------------------------------------------

std::vector<uint8_t> encode_picks(std::span<const std::string> picks) {
  std::vector<uint8_t> out;
  for (const auto& p : picks) {
    out.insert(out.end(), p.begin(), p.end());
    out.push_back(0);
  }
  return out;
}

std::vector<std::string> decode_picks(std::span<const uint8_t> bytes) {
  std::vector<std::string> out;
  size_t from = 0;
  for (size_t i = 0; i <= bytes.size(); i++) {
    if (i < bytes.size() && bytes[i] != 0) continue;
    if (i > from) out.emplace_back(reinterpret_cast<const char*>(bytes.data() + from), i - from);
    from = i + 1;
  }
  return out;
}

Result<std::vector<std::string>> read_picks(const std::string& cache_dir, std::string_view root) {
  auto key = scan_key(root);
  if (!key) return key.error();
  std::string file = join_path(cache_dir, key->key + ".picks");
  if (has_nul(file)) return os_error(EINVAL);
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::vector<std::string>();
    return os_error(errno);
  }
  auto bytes = read_all(fd.get());
  if (!bytes) return bytes.error();
  return decode_picks(*bytes);
}

std::optional<Error> write_picks(const std::string& cache_dir, std::string_view root,
                                 std::span<const std::string> picks) {
  auto key = scan_key(root);
  if (!key) return key.error();
  // Such a pick could not be read back as itself.
  for (const auto& p : picks)
    if (p.empty() || has_nul(p)) return os_error(EINVAL);
  std::vector<uint8_t> content = encode_picks(picks);
  if (auto e = make_dirs(cache_dir)) return e;
  return write_atomic(join_path(cache_dir, key->key + ".picks"), content);
}

}  // namespace tallmap
