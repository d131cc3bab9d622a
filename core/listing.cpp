#include "core/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "core/text.h"

namespace tallmap {
namespace {

constexpr size_t BUFFER_START = 4096;
constexpr size_t BUFFER_MAX = 64 * 1024;

// One buffer per thread, kept between folders so that listing allocates
// nothing once it has grown to fit the largest folders seen.
std::vector<char>& thread_buffer() {
  thread_local std::vector<char> buf(BUFFER_START);
  return buf;
}

struct RawDirent {
  uint64_t d_ino;
  int64_t d_off;
  uint16_t d_reclen;
  uint8_t d_type;
  char d_name[1];
};

int open_retrying(int dirfd, const char* path, int flags) {
  for (;;) {
    int fd = ::openat(dirfd, path, flags);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// True when this listing is the first in the scan to meet the inode.
bool claim_link(const ListingShared& shared, DevIno key) {
  std::lock_guard lock(*shared.links_mu);
  return shared.links->try_emplace(key, NO_PARENT).second;
}

}  // namespace

int stat_entry(int dirfd, const char* name_z, struct stat& st) {
  for (;;) {
    if (::fstatat(dirfd, name_z, &st, AT_SYMLINK_NOFOLLOW) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

FdResult open_root(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return {-1, EINVAL};
  std::string path_z(path);
  int fd = open_retrying(AT_FDCWD, path_z.c_str(), ROOT_OPEN_FLAGS);
  if (fd < 0) return {-1, errno};
  return {fd, 0};
}

FdResult open_child(int parent_fd, std::string_view name_z) {
  int fd = open_retrying(parent_fd, name_z.data(), CHILD_OPEN_FLAGS);
  if (fd < 0) return {-1, errno};
  return {fd, 0};
}

FdResult open_by_components(int base_fd, std::span<const std::string> names) {
  FdResult cur = open_child(base_fd, std::string_view(".", 2));
  for (const std::string& name : names) {
    if (!cur.ok()) break;
    // O_NOFOLLOW guards only the last component of what openat resolves.
    if (!is_entry_name(name)) {
      close_fd(cur.fd);
      return {-1, EINVAL};
    }
    FdResult next = open_child(cur.fd, std::string_view(name.c_str(), name.size() + 1));
    close_fd(cur.fd);
    cur = next;
  }
  return cur;
}

void close_fd(int fd) {
  // Retrying close on EINTR could close a descriptor another thread just
  // received; on Linux the descriptor is released either way.
  if (fd >= 0) ::close(fd);
}

DirStream::DirStream(int fd) : fd_(fd), buf_(thread_buffer()) {}

bool DirStream::refill() {
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd_, buf_.data(), buf_.size());
    if (n > 0) {
      pos_ = 0;
      end_ = size_t(n);
      // A nearly full read means a big folder: read more at a time.
      if (end_ * 2 > buf_.size() && buf_.size() < BUFFER_MAX) buf_.resize(buf_.size() * 2);
      return true;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EINVAL && buf_.size() < BUFFER_MAX) {  // one entry does not fit
      buf_.resize(buf_.size() * 2);
      continue;
    }
    // A folder removed while it is read simply has no more entries.
    if (errno != ENOENT) error_ = errno;
    break;
  }
  eof_ = true;
  return false;
}

bool DirStream::next(Entry& out) {
  while (!eof_) {
    if (pos_ >= end_ && !refill()) return false;
    auto* d = reinterpret_cast<const RawDirent*>(buf_.data() + pos_);
    pos_ += d->d_reclen;
    const char* name = buf_.data() + (pos_ - d->d_reclen) + offsetof(RawDirent, d_name);
    out.name_z = std::string_view(name, std::strlen(name) + 1);
    return true;
  }
  return false;
}

DirListing list_folder(int fd, const ListingShared& shared, uint64_t own_start,
                       uint64_t reclaimable_start) {
  DirListing out;
  out.own = own_start;
  out.reclaimable = reclaimable_start;
  // The stream reads the caller's descriptor directly instead of a dup of
  // it: the dup and its close would be two more system calls per folder,
  // and nothing else reads this descriptor's entries.
  DirStream stream(fd);
  DirStream::Entry entry;
  struct stat st;
  while (stream.next(entry)) {
    if (is_dot_or_dotdot(entry.name_z)) continue;
    int err = stat_entry(fd, entry.name_z.data(), st);
    if (err == ENOENT) continue;
    if (err != 0) {
      out.failed = true;
      out.errnum = uint16_t(err);
      break;
    }
    uint64_t bytes = uint64_t(st.st_blocks) * 512;
    if (S_ISDIR(st.st_mode)) {
      out.subdirs.push_back({std::string(entry.name_z), bytes, 0, uint64_t(st.st_dev),
                             uint64_t(st.st_ino)});
      continue;
    }
    if (st.st_nlink >= 2) {
      DevIno key{uint64_t(st.st_dev), uint64_t(st.st_ino)};
      if (!claim_link(shared, key)) continue;
      out.claimed_links.push_back(key);
    }
    out.own += bytes;
    if (bytes > shared.threshold->load(std::memory_order_relaxed))
      out.candidates.push_back({bytes, std::string(entry.name_z.substr(0, entry.name_z.size() - 1))});
  }
  if (!out.failed && stream.error() != 0) {
    out.failed = true;
    out.errnum = uint16_t(stream.error());
  }
  return out;
}

}  // namespace tallmap
