// Fixtures shared by the C++ tests: scratch folders, small hand-built
// trees, and forked children for what must not touch the test process.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/tree.h"

namespace tallmap {

// ---- Files and folders ------------------------------------------------------

// A scratch folder under /tmp, removed with everything in it. It is
// searchable by everyone, so a child that dropped to nobody gets in.
struct TempDir {
  std::string path;

  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string at(std::string_view rel) const { return path + "/" + std::string(rel); }
  // Makes `rel` (which must be new) and any missing folders above it.
  void dir(std::string_view rel) const;
  // A file of `bytes` bytes.
  void file(std::string_view rel, size_t bytes) const;
  void symlink(std::string_view rel, const std::string& target) const;
  // Allocated bytes of `rel`, not followed if it is a link; "" is the folder itself.
  uint64_t blocks(std::string_view rel) const;
};

// Allocated bytes (st_blocks) of `path`, not followed if it is a link.
uint64_t allocated_bytes(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);

// Runs `body` with the working folder set to `dir` and gives back its result.
template <class F>
auto in_dir(const std::string& dir, F&& body) {
  struct Back {
    std::string old = std::filesystem::current_path().string();
    ~Back() { EXPECT_EQ(chdir(old.c_str()), 0) << old; }
  } back;
  EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  return body();
}

// ---- Hand-built trees -------------------------------------------------------

Folder folder_record(uint64_t own, FolderId parent, NameId name, uint32_t ino, uint8_t flags = 0,
                     uint16_t errnum = 0);

// Builds a tree the way a scan would leave it: ids in the order of add(),
// every name its own entry in the name store (so nothing may rely on equal
// names sharing an id), and each folder's ino one above its id.
struct TreeBuilder {
  std::shared_ptr<NameStore> names = std::make_shared<NameStore>();
  std::vector<Folder> folders;
  std::vector<LargeFile> files;
  std::vector<uint64_t> reclaimable;
  LinkMap links = make_link_map();

  explicit TreeBuilder(std::string_view root, uint64_t own = 0, uint8_t flags = 0,
                       uint16_t errnum = 0);
  FolderId add(FolderId parent, std::string_view name, uint64_t own, uint8_t flags = 0,
               uint16_t errnum = 0);
  void file(FolderId folder, std::string name, uint64_t size);
  std::shared_ptr<Tree> build(bool stopped = false) const;
};

// One folder of make_tree; row 0 is the root, named by the root path.
struct TreeRow {
  FolderId parent;
  std::string name;
  uint64_t own = 0;
  uint8_t flags = 0;
  uint16_t errnum = 0;
};

std::shared_ptr<Tree> make_tree(const std::vector<TreeRow>& rows,
                                std::vector<LargeFile> large = {}, bool stopped = false);

// ---- Saved-scan images ------------------------------------------------------

using Bytes = std::vector<uint8_t>;

// Recomputes the trailing checksum, so that a change reaches the later checks.
void reseal(Bytes& b);
// Writes `v` little-endian at `at`.
void poke32(Bytes& b, size_t at, uint32_t v);

// ---- Forked children --------------------------------------------------------
// Gtest assertions in a child are lost, so a child reports through its
// exit status or a string.

// What in_child returns when a signal ended the child: this plus its number.
constexpr int CHILD_KILLED = 1000;

// Runs `fn` in a forked child, so that what it changes in the process
// (privileges, limits, signal handlers, environment, the installed logger)
// stays out of the test process; returns the child's exit status.
int in_child(const std::function<int()>& fn);

// Runs `body` in a forked child and returns its report: "" when all was
// well, else what went wrong.
std::string child_report(const std::function<std::string()>& body);

// Becomes the user nobody for good. Root ignores permissions, so only an
// unprivileged process sees EACCES.
bool drop_to_nobody();

}  // namespace tallmap
