#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tallmap {

namespace fs = std::filesystem;

TempDir::TempDir() {
  char tmpl[] = "/tmp/tallmap-test-XXXXXX";
  const char* made = mkdtemp(tmpl);
  if (!made) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  path = made;
  chmod(path.c_str(), 0755);
}

TempDir::~TempDir() {
  if (path.empty()) return;
  // Tests lock folders; give them back so that a non-root run can remove them.
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec))
    if (e.is_directory(ec) && !e.is_symlink(ec)) chmod(e.path().c_str(), 0755);
  chmod(path.c_str(), 0755);
  fs::remove_all(path, ec);
}

void TempDir::dir(std::string_view rel) const {
  for (size_t slash = rel.find('/'); slash != std::string_view::npos; slash = rel.find('/', slash + 1))
    mkdir(at(rel.substr(0, slash)).c_str(), 0755);  // already there is fine
  ASSERT_EQ(mkdir(at(rel).c_str(), 0755), 0) << rel << ": " << strerror(errno);
}

void TempDir::file(std::string_view rel, size_t bytes) const {
  int fd = open(at(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << rel;
  std::string data(bytes, 'x');
  ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size())) << rel;
  close(fd);
}

void TempDir::symlink(std::string_view rel, const std::string& target) const {
  ASSERT_EQ(::symlink(target.c_str(), at(rel).c_str()), 0) << rel;
}

uint64_t TempDir::blocks(std::string_view rel) const {
  return allocated_bytes(rel.empty() ? path : at(rel));
}

uint64_t allocated_bytes(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << path << ": " << strerror(errno);
    return 0;
  }
  return uint64_t(st.st_blocks) * 512;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

Folder folder_record(uint64_t own, FolderId parent, NameId name, uint32_t ino, uint8_t flags,
                     uint16_t errnum) {
  Folder f;
  f.own = own;
  f.parent = parent;
  f.name = name;
  f.ino = ino;
  f.flags = flags;
  f.errnum = errnum;
  return f;
}

TreeBuilder::TreeBuilder(std::string_view root, uint64_t own, uint8_t flags, uint16_t errnum) {
  folders.push_back(folder_record(own, NO_PARENT, *names->append(root), 1, flags, errnum));
}

FolderId TreeBuilder::add(FolderId parent, std::string_view name, uint64_t own, uint8_t flags,
                          uint16_t errnum) {
  FolderId id = FolderId(folders.size());
  folders.push_back(folder_record(own, parent, *names->append(name), id + 1, flags, errnum));
  return id;
}

void TreeBuilder::file(FolderId folder, std::string name, uint64_t size) {
  files.push_back(LargeFile{size, folder, std::move(name)});
}

std::shared_ptr<Tree> TreeBuilder::build(bool stopped) const {
  return Tree::from_parts(folders, files, reclaimable, names, links, next_stamp(), stopped);
}

std::shared_ptr<Tree> make_tree(const std::vector<TreeRow>& rows, std::vector<LargeFile> large,
                                bool stopped) {
  const TreeRow& root = rows.at(0);
  TreeBuilder b(root.name, root.own, root.flags, root.errnum);
  for (size_t i = 1; i < rows.size(); ++i)
    b.add(rows[i].parent, rows[i].name, rows[i].own, rows[i].flags, rows[i].errnum);
  b.files = std::move(large);
  return b.build(stopped);
}

void reseal(Bytes& b) {
  if (b.size() < 4) return;
  uint32_t c = uint32_t(crc32(0, b.data(), uInt(b.size() - 4)));
  poke32(b, b.size() - 4, c);
}

void poke32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = uint8_t(v >> (8 * i));
}

int in_child(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) std::_Exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : CHILD_KILLED + WTERMSIG(status);
}

std::string child_report(const std::function<std::string()>& body) {
  int p[2];
  if (pipe(p) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid < 0) {
    close(p[0]);
    close(p[1]);
    return "fork failed";
  }
  if (pid == 0) {
    close(p[0]);
    std::string r = body();
    if (write(p[1], r.data(), r.size()) < 0) _exit(3);
    _exit(0);
  }
  close(p[1]);
  // Read before waiting: a long report must not fill the pipe and stall the child.
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: " + out;
  return out;
}

bool drop_to_nobody() {
  struct passwd* pw = getpwnam("nobody");
  if (!pw) return false;
  return setgroups(0, nullptr) == 0 && setgid(pw->pw_gid) == 0 && setuid(pw->pw_uid) == 0;
}

}  // namespace tallmap
