#include "core/scan.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace tallmap {
namespace {

std::shared_ptr<Tree> scan_ok(const std::string& path, ScanOptions options = {}) {
  auto r = scan_once(path, options);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? *r : nullptr;
}

// Folder ids by root-relative path.
std::map<std::string, FolderId> by_path(const Tree& tree) {
  std::map<std::string, FolderId> out;
  for (FolderId id = 0; id < tree.folder_count(); ++id) out[tree.relative_path_bytes(id)] = id;
  return out;
}

StopCheck stop_after(uint64_t n, std::shared_ptr<std::atomic<uint64_t>> calls) {
  return std::make_shared<const std::function<bool()>>([n, calls] { return calls->fetch_add(1) >= n; });
}

// A mixed tree: hard links within and across folders, links to files and
// folders, sparse and empty files, odd names.
struct MixedTree {
  TempDir t;
  std::string odd = "odd\xff\xfe\nname";
  MixedTree() {
    t.dir("a");
    t.dir("a/src");
    t.dir("b");
    t.dir("b/src");
    t.dir(odd);
    t.file("top", 3000);
    t.file("a/f", 20000);
    t.file("a/empty", 0);
    t.file("a/src/x", 5000);
    t.file(odd + "/y", 7000);
    EXPECT_EQ(link(t.at("a/f").c_str(), t.at("b/f_link").c_str()), 0);       // across folders
    EXPECT_EQ(link(t.at("a/src/x").c_str(), t.at("a/src/x2").c_str()), 0);  // within one
    int fd = open(t.at("b/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(pwrite(fd, "y", 1, 1 << 30), 1);
    close(fd);
    EXPECT_EQ(symlink("a", t.at("link_to_a").c_str()), 0);
    EXPECT_EQ(symlink("../top", t.at("b/link_to_top").c_str()), 0);
  }
  // Everything counted once: all folders and every inode.
  uint64_t total() const {
    const char* rels[] = {"", "a", "a/src", "b", "b/src", "top", "a/f", "a/empty", "a/src/x",
                          "b/sparse", "link_to_a", "b/link_to_top"};
    uint64_t sum = t.blocks(odd) + t.blocks(odd + "/y");
    for (const char* r : rels) sum += t.blocks(r);
    return sum;
  }
};

void expect_parents_before_children(const Tree& tree) {
  ASSERT_GE(tree.folder_count(), 1u);
  EXPECT_EQ(tree.folder(0).parent, NO_PARENT);
  EXPECT_EQ(tree.folder(0).name, 0u);
  for (FolderId id = 1; id < tree.folder_count(); ++id)
    ASSERT_LT(tree.folder(id).parent, id) << "folder " << id;
}

TEST(ScanTest, MixedTreeHasExactTotalsAndNames) {
  MixedTree m;
  auto tree = scan_ok(m.t.path);
  ASSERT_TRUE(tree);
  expect_parents_before_children(*tree);
  EXPECT_FALSE(tree->stopped());
  EXPECT_EQ(tree->folder_count(), 6u);  // root, a, a/src, b, b/src, odd: links not entered
  EXPECT_EQ(tree->index().totals[0], m.total());
  EXPECT_EQ(tree->name_bytes(0), m.t.path);
  auto ids = by_path(*tree);
  ASSERT_TRUE(ids.count(m.odd));
  EXPECT_EQ(tree->folder(ids[m.odd]).own, m.t.blocks(m.odd) + m.t.blocks(m.odd + "/y"));
  EXPECT_EQ(tree->folder(ids["a/src"]).own, m.t.blocks("a/src") + m.t.blocks("a/src/x"));
  EXPECT_EQ(tree->folder(ids["a/src"]).name, tree->folder(ids["b/src"]).name);  // interned
  // The cross-folder link is counted in exactly one of its folders.
  uint64_t a = tree->folder(ids["a"]).own - m.t.blocks("a") - m.t.blocks("a/empty");
  uint64_t b = tree->folder(ids["b"]).own - m.t.blocks("b") - m.t.blocks("b/sparse") -
               m.t.blocks("b/link_to_top");
  EXPECT_EQ(a + b, m.t.blocks("a/f"));
  EXPECT_TRUE(a == 0 || b == 0);
  struct stat st;
  ASSERT_EQ(lstat(m.t.at("a/f").c_str(), &st), 0);
  auto it = tree->links().find({uint64_t(st.st_dev), uint64_t(st.st_ino)});
  ASSERT_NE(it, tree->links().end());
  EXPECT_EQ(it->second, a ? ids["a"] : ids["b"]);
  EXPECT_EQ(tree->links().size(), 2u);
  for (auto& [key, folder] : tree->links()) EXPECT_LT(folder, tree->folder_count());
}

TEST(ScanTest, RootGivenAsLinkIsFollowedAndKeepsItsName) {
  MixedTree m;
  TempDir other;
  std::string link_path = other.at("root_link");
  ASSERT_EQ(symlink(m.t.path.c_str(), link_path.c_str()), 0);
  auto tree = scan_ok(link_path);
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->name_bytes(0), link_path);
  EXPECT_EQ(tree->folder_count(), 6u);
  EXPECT_EQ(tree->index().totals[0], m.total());
}

TEST(ScanTest, IdsFollowParentsInEveryRunAndThreadCountsAgree) {
  TempDir t;
  for (int i = 0; i < 6; ++i) {
    std::string a = "d" + std::to_string(i);
    t.dir(a);
    for (int j = 0; j < 6; ++j) {
      std::string b = a + "/e" + std::to_string(j);
      t.dir(b);
      t.file(b + "/f", 1000 * size_t(j + 1));
      for (int k = 0; k < 3; ++k) t.dir(b + "/g" + std::to_string(k));
    }
  }
  auto one = scan_ok(t.path, ScanOptions{nullptr, 1u});
  ASSERT_TRUE(one);
  uint64_t total = one->index().totals[0];
  for (int run = 0; run < 40; ++run) {
    ScanOptions options;
    if (run % 2) options.threads = 4;  // else automatic
    auto tree = scan_ok(t.path, options);
    ASSERT_TRUE(tree);
    expect_parents_before_children(*tree);
    ASSERT_EQ(tree->folder_count(), one->folder_count());
    ASSERT_EQ(tree->index().totals[0], total);
  }
}

TEST(ScanTest, EqualSizedFilesNeverDisplaceKeptOnes) {
  TempDir t;
  for (int d = 0; d < 20; ++d) {
    std::string dir = "d" + std::to_string(d);
    t.dir(dir);
    for (int f = 0; f < 500; ++f) t.file(dir + "/" + std::to_string(f), 1);
  }
  t.dir("late");
  auto tree = scan_ok(t.path, ScanOptions{nullptr, 1u});
  ASSERT_TRUE(tree);
  const auto& large = tree->largest_files();
  ASSERT_EQ(large.size(), LARGE_FILES_MAX);
  // One thread: the first two folders of files recorded fill the list,
  // and nothing of equal size is swapped in afterwards.
  std::vector<FolderId> file_folders;
  for (FolderId id = 1; id < tree->folder_count(); ++id)
    if (tree->name_bytes(tree->folder(id).name) != "late") file_folders.push_back(id);
  std::sort(file_folders.begin(), file_folders.end());
  std::set<FolderId> kept;
  for (const LargeFile& f : large) kept.insert(f.folder);
  EXPECT_EQ(kept, (std::set<FolderId>{file_folders[0], file_folders[1]}));
}

TEST(ScanTest, HeapKeepsTheLargestAndSetsThresholdWhenFull) {
  LargeFileHeap heap;
  std::vector<FileCandidate> batch;
  for (int i = 0; i < 999; ++i) batch.push_back({uint64_t(100 + i), "f" + std::to_string(i)});
  heap.offer(1, batch);
  EXPECT_EQ(heap.threshold().load(), 0u);  // not full yet
  std::vector<FileCandidate> last = {{50, "small"}};
  heap.offer(2, last);
  EXPECT_EQ(heap.threshold().load(), 50u);
  std::vector<FileCandidate> equal = {{50, "equal"}};
  heap.offer(3, equal);  // a stale threshold in a listing lets it through
  auto kept = heap.entries_below(10);
  EXPECT_TRUE(std::any_of(kept.begin(), kept.end(), [](auto& f) { return f.name == "small"; }));
  EXPECT_FALSE(std::any_of(kept.begin(), kept.end(), [](auto& f) { return f.name == "equal"; }));
  std::vector<FileCandidate> more = {{40, "smaller"}, {5000, "huge"}};
  heap.offer(3, more);
  EXPECT_EQ(heap.threshold().load(), 100u);  // "small" left, "huge" came in
  auto below = heap.entries_below(3);
  EXPECT_EQ(below.size(), LARGE_FILES_MAX - 1);  // all but the folder-3 entry
  auto all = heap.take();
  ASSERT_EQ(all.size(), LARGE_FILES_MAX);
  std::set<std::string> names;
  for (auto& f : all) names.insert(f.name);
  EXPECT_TRUE(names.count("huge"));
  EXPECT_FALSE(names.count("small") || names.count("equal") || names.count("smaller"));
}

TEST(ScanTest, StopAfterCountsFoldersBelowTheRoot) {
  TempDir t;
  t.file("own_file", 4000);
  for (int i = 0; i < 4; ++i) {
    t.dir("d" + std::to_string(i));
    t.dir("d" + std::to_string(i) + "/sub");
  }
  struct Case {
    uint64_t n;
    uint32_t folders;
    bool stopped;
  } cases[] = {{0, 1, true}, {3, 4, true}, {7, 8, true}, {8, 9, false}, {50, 9, false}};
  for (const Case& c : cases) {
    for (unsigned threads : {1u, 3u}) {
      auto calls = std::make_shared<std::atomic<uint64_t>>(0);
      ScanOptions options{stop_after(c.n, calls), threads};
      auto tree = scan_ok(t.path, options);
      ASSERT_TRUE(tree);
      EXPECT_EQ(tree->folder_count(), c.folders) << "n=" << c.n << " threads=" << threads;
      EXPECT_EQ(tree->stopped(), c.stopped) << "n=" << c.n;
      expect_parents_before_children(*tree);
      if (c.n == 0) {
        EXPECT_EQ(tree->folder(0).own, t.blocks("") + t.blocks("own_file"));
      }
    }
  }
}

TEST(ScanTest, RootWithoutSubfoldersNeverAsksTheStopCheck) {
  TempDir t;
  t.file("f", 100);
  auto calls = std::make_shared<std::atomic<uint64_t>>(0);
  auto tree = scan_ok(t.path, ScanOptions{stop_after(0, calls), {}});
  ASSERT_TRUE(tree);
  EXPECT_EQ(calls->load(), 0u);
  EXPECT_FALSE(tree->stopped());
  EXPECT_EQ(tree->folder_count(), 1u);
  EXPECT_EQ(tree->index().totals[0], t.blocks("") + t.blocks("f"));
}

TEST(ScanTest, DriverErrorsCarryTheOsErrorAndTakeNoStamp) {
  TempDir t;
  t.file("plain", 10);
  struct Case {
    std::string path;
    int errnum;
  } cases[] = {{t.at("missing"), ENOENT},
               {t.at("plain"), ENOTDIR},
               {t.path + std::string("\0/x", 3), EINVAL}};
  for (const Case& c : cases) {
    uint32_t before = next_stamp();
    auto r = scan_once(c.path, {});
    uint32_t after = next_stamp();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ScanError::Kind::Io);
    EXPECT_EQ(r.error().errnum, c.errnum);
    EXPECT_EQ(after, before + 1) << "a failed scan took a stamp";
  }
  EXPECT_EQ(scan_once(t.at("missing"), {}).error().text(), "No such file or directory (os error 2)");
  EXPECT_EQ((ScanError{ScanError::Kind::Threads, 0, "no luck"}).text(), "cannot start threads: no luck");
}

TEST(ScanTest, ThreadStartFailureIsAThreadsError) {
  std::string report = child_report([]() -> std::string {
    if (!drop_to_nobody()) return "cannot drop privileges";
    struct rlimit none {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) return "setrlimit failed";
    auto r = scan_once("/tmp", ScanOptions{nullptr, 4u});
    if (r.ok()) return "scan succeeded without threads";
    if (r.error().kind != ScanError::Kind::Threads) return "wrong kind: " + r.error().text();
    if (r.error().text().rfind("cannot start threads: ", 0) != 0) return r.error().text();
    return "";
  });
  EXPECT_EQ(report, "");
}

TEST(ScanTest, UnreadableFoldersAreDeniedWithTheirErrno) {
  TempDir t;
  t.dir("open");
  t.file("open/f", 3000);
  t.dir("locked");
  t.dir("locked/inner");
  t.file("locked/f", 9000);
  t.dir("noexec");
  t.file("noexec/f", 9000);
  ASSERT_EQ(chmod(t.at("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(t.at("noexec").c_str(), 0444), 0);
  uint64_t locked_own = t.blocks("locked"), noexec_own = t.blocks("noexec");
  uint64_t open_own = t.blocks("open") + t.blocks("open/f");
  std::string report = child_report([&]() -> std::string {
    if (!drop_to_nobody()) return "cannot drop privileges";
    auto r = scan_once(t.path, {});
    if (!r.ok()) return r.error().text();
    const Tree& tree = **r;
    auto ids = by_path(tree);
    if (tree.folder_count() != 4) return "folders: " + std::to_string(tree.folder_count());
    std::string bad;
    const Folder& locked = tree.folder(ids["locked"]);
    if (locked.flags != DENIED || locked.errnum != EACCES || locked.own != locked_own) bad += "locked ";
    const Folder& noexec = tree.folder(ids["noexec"]);
    if (noexec.flags != DENIED || noexec.errnum != EACCES || noexec.own != noexec_own) bad += "noexec ";
    const Folder& open = tree.folder(ids["open"]);
    if (open.flags != 0 || open.own != open_own) bad += "open ";
    if (!(tree.index().derived_flags[0] & PARTIAL)) bad += "root-not-partial ";
    return bad;
  });
  EXPECT_EQ(report, "");
}

TEST(ScanTest, OtherDeviceIsRecordedButNotEntered) {
  TempDir t;
  t.dir("mnt");
  t.dir("plain");
  t.file("f", 2000);
  std::string report = child_report([&]() -> std::string {
    // A private mount namespace: the mount vanishes with this process.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", t.at("mnt").c_str(), "tmpfs", 0, "size=4m") != 0)
      return "SKIP";
    int fd = open((t.at("mnt") + "/inside").c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0 || write(fd, std::string(50000, 'x').data(), 50000) != 50000) return "write failed";
    close(fd);
    if (mkdir((t.at("mnt") + "/deeper").c_str(), 0755) != 0) return "mkdir failed";
    std::string bad;
    for (uint64_t n : {uint64_t(0), uint64_t(100)}) {
      auto calls = std::make_shared<std::atomic<uint64_t>>(0);
      auto r = scan_once(t.path, ScanOptions{stop_after(n, calls), {}});
      if (!r.ok()) return r.error().text();
      const Tree& tree = **r;
      auto ids = by_path(tree);
      if (!ids.count("mnt") || ids.count("mnt/deeper")) return "mnt missing or entered";
      const Folder& mnt = tree.folder(ids["mnt"]);
      if (mnt.flags != OTHER_DEVICE || mnt.own != 0 || mnt.parent != 0) bad += "mnt-record ";
      if (tree.index().derived_flags[0] & PARTIAL) bad += "partial ";
      if (n == 0 && (ids.count("plain") || !tree.stopped())) bad += "stop0 ";
      if (n == 100 && (!ids.count("plain") || tree.stopped())) bad += "full ";
      if (tree.index().totals[0] != t.blocks("") + t.blocks("f") + (n ? t.blocks("plain") : 0))
        bad += "total ";
    }
    return bad;
  });
  if (report == "SKIP") GTEST_SKIP() << "cannot mount a tmpfs here";
  EXPECT_EQ(report, "");
}

TEST(ScanTest, RunningOutOfDescriptorsDeniesFoldersWithEmfile) {
  TempDir t;
  std::vector<std::string> level = {""};
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<std::string> next;
    for (auto& p : level)
      for (int i = 0; i < 3; ++i) {
        std::string d = p + (p.empty() ? "" : "/") + "n" + std::to_string(i);
        t.dir(d);
        next.push_back(d);
      }
    level = next;
  }
  std::string report = child_report([&]() -> std::string {
    int lowest = open("/dev/null", O_RDONLY);
    close(lowest);
    // Room for the root and a few folders, and the hard limit too low for
    // the driver's raise to help.
    struct rlimit tight {rlim_t(lowest + 3), rlim_t(lowest + 3)};
    if (setrlimit(RLIMIT_NOFILE, &tight) != 0) return "setrlimit failed";
    auto r = scan_once(t.path, ScanOptions{nullptr, 1u});
    if (!r.ok()) return r.error().text();
    const Tree& tree = **r;
    int emfile = 0;
    for (FolderId id = 0; id < tree.folder_count(); ++id)
      if (tree.folder(id).flags == DENIED && tree.folder(id).errnum == EMFILE) ++emfile;
    if (emfile == 0) return "no folder was denied with EMFILE";
    for (FolderId id = 1; id < tree.folder_count(); ++id)
      if (tree.folder(id).parent >= id) return "bad parent";
    return "";
  });
  EXPECT_EQ(report, "");
}

TEST(ScanTest, OpenFileLimitRaiseRule) {
  struct Case {
    rlim_t soft, hard, want;
  };
  struct rlimit now {};
  getrlimit(RLIMIT_NOFILE, &now);
  std::vector<Case> cases = {{1024, 1048576, 65536},
                             {1024, 4096, 4096},
                             {100000, 1048576, 100000},
                             {512, now.rlim_max, std::min<rlim_t>(now.rlim_max, 65536)}};
  int skipped = 0;
  for (const Case& c : cases) {
    std::string report = child_report([&]() -> std::string {
      struct rlimit set {c.soft, c.hard};
      // Raising a hard limit needs CAP_SYS_RESOURCE, which a container may lack.
      if (setrlimit(RLIMIT_NOFILE, &set) != 0) return errno == EPERM ? "SKIP" : "setrlimit failed";
      raise_open_file_limit();
      struct rlimit got {};
      getrlimit(RLIMIT_NOFILE, &got);
      if (got.rlim_cur != c.want || got.rlim_max != c.hard)
        return "soft " + std::to_string(got.rlim_cur) + " hard " + std::to_string(got.rlim_max);
      return "";
    });
    if (report == "SKIP") {
      ++skipped;
      continue;
    }
    EXPECT_EQ(report, "") << c.soft << "/" << c.hard;
  }
  if (skipped) std::printf("note: %d limit cases need CAP_SYS_RESOURCE and were skipped\n", skipped);
}

TEST(ScanTest, SnapshotsArePrefixesWithStableIds) {
  TempDir t;
  t.file("root_file", 5000);
  for (int i = 0; i < 5; ++i) {
    t.dir("d" + std::to_string(i));
    t.file("d" + std::to_string(i) + "/f", 1000);
    t.dir("d" + std::to_string(i) + "/x");
  }
  auto pool = Pool::create(1);
  ASSERT_TRUE(pool.ok());
  StoreHandles handles;
  std::shared_ptr<Tree> before_root, first, second;
  std::vector<std::string> messages;
  auto calls = std::make_shared<std::atomic<uint64_t>>(0);
  ScanOptions options;
  options.threads = 1;
  options.stop = std::make_shared<const std::function<bool()>>([&] {
    uint64_t n = calls->fetch_add(1);
    if (n == 0) first = snapshot(handles);
    if (n == 4) second = snapshot(handles);
    return false;
  });
  auto r = scan_initial(t.path, options, **pool, [&](ScanMessage m) {
    if (auto* s = std::get_if<ScanStarted>(&m)) {
      handles = s->handles;
      before_root = snapshot(handles);
      messages.push_back("started");
    } else {
      messages.push_back("done");
    }
  });
  ASSERT_TRUE(r.ok());
  const Tree& final_tree = **r;
  EXPECT_EQ(messages, (std::vector<std::string>{"started", "done"}));
  EXPECT_EQ(before_root, nullptr);
  ASSERT_TRUE(first && second);
  // The first check comes right after the root was recorded.
  ASSERT_EQ(first->folder_count(), 1u);
  EXPECT_EQ(first->folder(0).own, t.blocks("") + t.blocks("root_file"));
  EXPECT_TRUE(first->links().empty());
  EXPECT_FALSE(first->stopped());
  EXPECT_GE(second->folder_count(), first->folder_count());
  EXPECT_LT(second->folder_count(), final_tree.folder_count());
  for (const Tree* snap : {first.get(), second.get()}) {
    EXPECT_EQ(snap->stamp(), final_tree.stamp());
    for (FolderId id = 0; id < snap->folder_count(); ++id) {
      EXPECT_EQ(snap->path_bytes(id), final_tree.path_bytes(id));
      EXPECT_EQ(snap->folder(id).own, final_tree.folder(id).own);
    }
    for (const LargeFile& f : snap->largest_files()) EXPECT_LT(f.folder, snap->folder_count());
  }
  EXPECT_EQ(final_tree.folder_count(), 11u);
}

TEST(ScanTest, MissingRootSendsOnlyScanDone) {
  auto pool = Pool::create(2);
  ASSERT_TRUE(pool.ok());
  std::vector<std::string> messages;
  auto r = scan_initial("/nonexistent/tallmap/root", {}, **pool, [&](ScanMessage m) {
    messages.push_back(std::holds_alternative<ScanStarted>(m) ? "started" : "done");
  });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().errnum, ENOENT);
  EXPECT_EQ(messages, std::vector<std::string>{"done"});
}

TEST(ScanTest, RunningOutOfIdsEndsTheScanWithAnError) {
  TempDir t;
  for (int i = 0; i < 10; ++i) t.dir("d" + std::to_string(i));
  auto pool = Pool::create(2);
  ASSERT_TRUE(pool.ok());
  FdResult root = open_root(t.path);
  ASSERT_TRUE(root.ok());
  struct stat st;
  ASSERT_EQ(fstat(root.fd, &st), 0);
  auto store = new_store(t.path, false, {});
  store->id_limit = 4;
  ScanState state(store, **pool, st.st_dev, nullptr, 2u, make_link_map());
  run(state, root.fd, uint32_t(st.st_ino), 0, 0);
  mark_done(state);
  auto r = finish(state);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ScanError::Kind::Limit);
  EXPECT_EQ(r.error().text(), "over 4294967295 folders in one scan");
  EXPECT_EQ(store->records.written_prefix(), 4u);  // ids below the limit only
}

TEST(ScanTest, GovernorRule) {
  struct Case {
    unsigned limit;
    int64_t pending;
    double ratio;
    unsigned want;
  } cases[] = {
      {4, 100, 0.1, 8},   // waiting on the disk with work queued: double
      {4, 100, 0.3, 5},   // somewhat idle: one more
      {4, 100, 0.6, 4},   // fine as it is
      {6, 100, 0.9, 5},   // busy: one fewer
      {4, 100, 0.9, 4},   // never below the minimum
      {12, 100, 0.1, 16}, // never above the maximum
      {4, 4, 0.1, 4},     // no queued work beyond the limit: no growth
      {6, 2, 0.3, 6},
  };
  for (const Case& c : cases)
    EXPECT_EQ(governed_limit(c.limit, c.pending, c.ratio, 4, 16), c.want)
        << c.limit << " " << c.pending << " " << c.ratio;
}

TEST(PoolTest, ScopeWaitsForEveryNestedJob) {
  auto pool = Pool::create(4);
  ASSERT_TRUE(pool.ok());
  Pool& p = **pool;
  EXPECT_EQ(p.size(), 4u);
  EXPECT_EQ(current_worker(), -1);
  for (int round = 0; round < 3; ++round) {
    std::atomic<int> ran{0};
    std::atomic<bool> bad_index{false};
    std::function<void(int)> tree = [&](int depth) {
      ++ran;
      int w = current_worker();
      if (w < 0 || w >= 4) bad_index = true;
      if (depth == 0) return;
      for (int i = 0; i < 4; ++i)
        p.spawn([&, depth](unsigned worker) {
          if (int(worker) != current_worker()) bad_index = true;
          tree(depth - 1);
        });
    };
    p.scope([&](unsigned) { tree(6); });
    EXPECT_EQ(ran.load(), (4 * 4 * 4 * 4 * 4 * 4 * 4 - 1) / 3);  // 1 + 4 + ... + 4^6
    EXPECT_FALSE(bad_index.load());
  }
}

TEST(PoolTest, IdleWorkersStealQueuedJobs) {
  auto pool = Pool::create(3);
  ASSERT_TRUE(pool.ok());
  std::mutex mu;
  std::set<int> workers;
  std::atomic<int> started{0};
  (*pool)->scope([&](unsigned) {
    // All jobs land on one worker's queue; the others must take some.
    for (int i = 0; i < 3; ++i)
      (*pool)->spawn([&](unsigned w) {
        ++started;
        {
          std::lock_guard lock(mu);
          workers.insert(int(w));
        }
        // Hold every worker until all three jobs run at once.
        for (int spin = 0; spin < 2000 && started.load() < 3; ++spin) usleep(1000);
      });
  });
  EXPECT_EQ(workers.size(), 3u);
}

}  // namespace
}  // namespace tallmap
