// Saved scans and picks: the per-user cache directory, the scan key that
// names a folder's files there, the saved-scan file format (mapped and read
// in place after checking), and the atomic write used for every file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/report.h"
#include "core/result.h"
#include "core/text.h"
#include "core/tree.h"

namespace tallmap {

// Error code of a file that is not a saved scan of this version; every
// other error carries errno, or 0 for the program's own messages.
inline constexpr int INVALID_DATA = -1;
inline bool is_invalid_data(const Error& e) { return e.code == INVALID_DATA; }

inline constexpr uint8_t SCAN_FORMAT_VERSION = 7;
inline constexpr uint8_t SCAN_FLAG_RECLAIMABLE = 1;
inline constexpr uint8_t SCAN_FLAG_STOPPED = 2;

// ---- Cache directory and scan key ------------------------------------------

// The directory from the environment, or "HOME is not set".
Result<std::string> cache_dir();
// The same choice from explicit values (null means unset).
Result<std::string> cache_dir_from(const char* tallmap_cache_dir,
                                   const char* xdg_cache_home,
                                   const char* home);

struct ScanKey {
  std::string canonical;  // realpath of the folder
  std::string key;        // "{fsid:032x}-{fnv1a:016x}"
};
Result<ScanKey> scan_key(std::string_view path);

uint64_t fnv1a64(std::string_view bytes);
std::string format_scan_key(uint64_t fsid, uint64_t hash);


// ---- Writing ------------------------------------------------------------------

// Writes `bytes` to "{target}.{pid}.tmp" (created exclusively, mode 0600)
// and renames it over `target`. On failure the temporary file is removed
// and `target` is untouched.
[[nodiscard]] std::optional<Error> write_atomic(const std::string& target,
                                                std::span<const uint8_t> bytes);

// Creates `dir` and its missing parents with mode 0700.
[[nodiscard]] std::optional<Error> make_dirs(const std::string& dir);

// ---- The saved-scan format ------------------------------------------------

// The file image of `tree`, with `canonical_path` as the stored path.
// Fails only with "over 4 GiB of names".
Result<std::vector<uint8_t>> serialize_scan(const Tree& tree,
                                            std::string_view canonical_path,
                                            bool reclaimable_flag);

struct SavedLargeFile {
  uint64_t size = 0;
  FolderId folder = 0;
  std::string_view name;
};

// A checked file image, read in place. Every accessor is bounds-safe for
// ids below the matching count; the bytes must outlive this object.
class ScanRoot {
 public:
  std::span<const uint8_t> bytes() const { return bytes_; }
  bool stopped() const { return (bytes_[5] & SCAN_FLAG_STOPPED) != 0; }
  bool reclaimable_gathered() const { return (bytes_[5] & SCAN_FLAG_RECLAIMABLE) != 0; }

  std::string_view path() const;  // the stored canonical path
  uint32_t folder_count() const { return arrays_[FOLDERS].len; }
  Folder folder(FolderId id) const;
  // The folder array where it lies, in its stored layout.
  FolderTable folder_table() const;
  // Stored names are 1 .. name_count() - 1; NameId 0 is not stored.
  uint32_t name_count() const { return arrays_[NAME_ENDS].len; }
  std::string_view stored_name(NameId id) const;
  uint32_t largest_file_count() const { return arrays_[LARGEST].len; }
  SavedLargeFile largest_file(uint32_t i) const;
  uint32_t reclaimable_count() const { return arrays_[RECLAIMABLE].len; }
  uint64_t reclaimable(FolderId id) const;
  // The raw arrays, for readers that decode names themselves.
  std::string_view names_bytes() const;
  std::span<const uint8_t> name_ends_bytes() const;

 private:
  friend std::optional<ScanRoot> check_scan(std::span<const uint8_t> bytes);
  enum { PATH, FOLDERS, NAMES, NAME_ENDS, LARGEST, RECLAIMABLE, ARRAYS };
  struct Array {
    size_t start = 0;  // from the start of the file
    uint32_t len = 0;  // bytes for PATH and NAMES, elements for the others
  };
  std::span<const uint8_t> bytes_;
  Array arrays_[ARRAYS];
};

// Validates a whole file image; nothing when it is not a saved scan of this
// version. Never reads outside `bytes`.
std::optional<ScanRoot> check_scan(std::span<const uint8_t> bytes);

// An ordinary Tree with a fresh stamp and `root_name` as NameId 0.
std::shared_ptr<Tree> tree_from_scan(const ScanRoot& root, std::string_view root_name);

// Owns the bytes of a file image: a read-only mapping or a heap buffer,
// either way aligned to at least 8 and fixed in memory for its lifetime.
class ScanImage {
 public:
  ScanImage() = default;
  ~ScanImage();
  ScanImage(ScanImage&& o) noexcept;
  ScanImage& operator=(ScanImage&& o) noexcept;
  ScanImage(const ScanImage&) = delete;
  ScanImage& operator=(const ScanImage&) = delete;

  static Result<ScanImage> map_file(int fd, size_t len);
  static ScanImage from_buffer(std::vector<uint8_t> buffer);

  std::span<const uint8_t> bytes() const { return {data_, len_}; }

 private:
  void release();
  const uint8_t* data_ = nullptr;
  size_t len_ = 0;
  bool mapped_ = false;
  std::vector<uint8_t> buffer_;
};

// A saved scan read in place, with the root name a report should show.
// Names and largest files stay in the mapping; folder records are decoded
// once into a vector because their stored field order differs from Folder.
class ScanView {
 public:
  // `root` must come from check_scan of `image`'s bytes.
  ScanView(ScanImage image, ScanRoot root, std::string root_name);
  ScanView(ScanView&&) = default;
  // Checks the image; nothing when check_scan refuses it.
  static std::optional<ScanView> check(ScanImage image, std::string root_name);

  uint32_t folder_count() const { return root_.folder_count(); }
  Folder folder(FolderId id) const { return root_.folder(id); }
  std::string_view name_bytes(NameId id) const;
  bool stopped() const { return root_.stopped(); }
  std::string_view root_path() const { return root_.path(); }
  uint32_t largest_file_count() const { return root_.largest_file_count(); }
  SavedLargeFile largest_file(uint32_t i) const { return root_.largest_file(i); }
  uint64_t reclaimable(FolderId id) const { return root_.reclaimable(id); }
  const ScanRoot& root() const { return root_; }
  // Derived on first use, like a Tree's index (not thread-safe).
  const TreeIndex& index() const;
  // What the text and JSON reports read; valid while this view lives.
  ReportView report_view() const;

 private:
  ScanImage image_;
  ScanRoot root_;
  std::string root_name_;
  mutable std::unique_ptr<TreeIndex> index_;
};

// ---- The cache --------------------------------------------------------------

// Saves `tree` as the scan of `path` in `cache_dir`, creating the directory.
[[nodiscard]] std::optional<Error> save_scan(const std::string& cache_dir, std::string_view path,
                                             const Tree& tree, bool reclaimable_flag);

struct SavedScan {
  ScanImage image;
  std::string canonical;  // of the path passed to open_scan
  std::string path;       // exactly as passed
  timespec mtime{};
};

// Nothing when no file is saved for `path`'s key; an error when the key
// cannot be computed or the file cannot be opened, examined or mapped.
Result<std::optional<SavedScan>> open_scan(const std::string& cache_dir, std::string_view path);

// open_scan, check_scan and the path comparison in one: nothing when there
// is no valid saved scan for this canonical path. The view's root name is
// `path` as passed.
Result<std::optional<ScanView>> open_scan_view(const std::string& cache_dir,
                                               std::string_view path);

struct LoadedScan {
  std::shared_ptr<Tree> tree;
  timespec mtime{};
  bool reclaimable_gathered = false;
};
// The browser's load: a Tree whose root name is `path` as passed.
Result<std::optional<LoadedScan>> load_scan(const std::string& cache_dir, std::string_view path);

// Python's Tree.save: stored path is the canonical form of the tree's root.
[[nodiscard]] std::optional<Error> write_scan_file(const Tree& tree, const std::string& file);
// Python's load: INVALID_DATA with "not a scan saved by this version of
// tallmap" when the bytes are refused.
Result<std::shared_ptr<Tree>> read_scan_file(const std::string& file);

// ---- Picks ----------------------------------------------------------------

Result<std::vector<std::string>> read_picks(const std::string& cache_dir, std::string_view root);
[[nodiscard]] std::optional<Error> write_picks(const std::string& cache_dir, std::string_view root,
                                               std::span<const std::string> picks);

// The picks file content and its parsing, without the file system.
std::vector<uint8_t> encode_picks(std::span<const std::string> picks);
std::vector<std::string> decode_picks(std::span<const uint8_t> bytes);

}  // namespace tallmap
