// Reading one folder through raw system calls: opening folders without
// leaving the tree, and folding a folder's entries into a DirListing.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/tree.h"

namespace tallmap {

// A descriptor, or -1 and the errno of the failed call.
struct FdResult {
  int fd = -1;
  int errnum = 0;
  bool ok() const { return fd >= 0; }
};

struct SubdirEntry {
  std::string name;  // the kernel's bytes plus a terminating NUL, ready for openat
  uint64_t size = 0;
  uint64_t reclaimable = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;

  std::string_view name_bytes() const {
    return std::string_view(name).substr(0, name.empty() ? 0 : name.size() - 1);
  }
};

struct FileCandidate {
  uint64_t size = 0;
  std::string name;
};

struct DirListing {
  std::vector<SubdirEntry> subdirs;
  std::vector<FileCandidate> candidates;
  std::vector<DevIno> claimed_links;
  uint64_t own = 0;
  uint64_t reclaimable = 0;
  bool failed = false;
  uint16_t errnum = 0;
};

// What a listing shares with the rest of its scan: the hard links counted
// so far (under `links_mu`) and the size a file must beat to be a
// largest-files candidate (read without a lock; staleness is harmless).
struct ListingShared {
  LinkMap* links = nullptr;
  std::mutex* links_mu = nullptr;
  const std::atomic<uint64_t>* threshold = nullptr;
};

inline constexpr int ROOT_OPEN_FLAGS = 0x98000;   // O_RDONLY|O_DIRECTORY|O_CLOEXEC|O_LARGEFILE
inline constexpr int CHILD_OPEN_FLAGS = 0xB8000;  // the same plus O_NOFOLLOW

// Opens the scan root; a symbolic link given as the root is followed.
FdResult open_root(std::string_view path);
// Opens a folder relative to its parent; `name_z` ends with its NUL.
// Never follows a symbolic link.
FdResult open_child(int parent_fd, std::string_view name_z);
// Opens "." of `base_fd`, then each name in turn, never following links.
// A name that is not a single entry name (a slash, "..") fails with EINVAL.
FdResult open_by_components(int base_fd, std::span<const std::string> names);

// Status of an entry of `dirfd` itself, never of a link's target: 0 or the
// errno. Repeats on EINTR.
int stat_entry(int dirfd, const char* name_z, struct stat& st);
inline bool is_dot_or_dotdot(std::string_view name_z) {
  return name_z == std::string_view(".", 2) || name_z == std::string_view("..", 3);
}

void close_fd(int fd);

DirListing list_folder(int fd, const ListingShared& shared, uint64_t own_start,
                       uint64_t reclaimable_start);

// Raw entries of one folder, read with getdents64 into the calling thread's
// reusable buffer. Does not own `fd` and moves its read position.
class DirStream {
 public:
  struct Entry {
    std::string_view name_z;  // includes the NUL
  };
  explicit DirStream(int fd);
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;

  // True with `out` set for the next entry; false at the end or on error
  // (then `error()` is non-zero).
  bool next(Entry& out);
  int error() const { return error_; }

 private:
  bool refill();

  int fd_;
  std::vector<char>& buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  int error_ = 0;
  bool eof_ = false;
};

}  // namespace tallmap
