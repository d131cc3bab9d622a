#include "core/labels.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace tallmap {
namespace {

namespace fs = std::filesystem;

// Sets or unsets HOME for one test and puts the old value back.
class HomeVar {
 public:
  HomeVar() {
    if (const char* h = getenv("HOME")) old_ = h;
  }
  ~HomeVar() {
    if (old_) setenv("HOME", old_->c_str(), 1);
    else unsetenv("HOME");
  }
  void set(const std::string& v) { setenv("HOME", v.c_str(), 1); }
  void unset() { unsetenv("HOME"); }

 private:
  std::optional<std::string> old_;
};

// A tree whose folders form one chain root/a/b/...; the last id is the deepest.
std::shared_ptr<Tree> chain_tree(std::string_view root, std::string_view rel) {
  std::vector<TreeRow> rows = {{NO_PARENT, std::string(root)}};
  size_t i = 0;
  while (i < rel.size()) {
    size_t end = std::min(rel.find('/', i), rel.size());
    rows.push_back({FolderId(rows.size() - 1), std::string(rel.substr(i, end - i))});
    i = end + 1;
  }
  return make_tree(rows);
}

FolderId last(const Tree& t) { return t.folder_count() - 1; }

std::string describe(const std::optional<Label>& l) {
  if (!l) return "none";
  return std::to_string(int(l->tier)) + " | " + std::string(l->text) + " | " +
         std::string(l->why);
}

std::string cache(std::string_view text, std::string_view why) {
  return describe(Label{Tier::Cache, text, why});
}

enum class Need { Nothing, Beside, Inside, Library };

struct ExpectedNameRule {
  std::string name;
  Need need;
  std::vector<std::string> markers;
  std::string_view text;
  std::string_view why;
};

const ExpectedNameRule NAME_RULES[] = {
    {"node_modules", Need::Nothing, {},
     "cache: npm", "npm install rebuilds it"},
    {"bower_components", Need::Nothing, {},
     "cache: bower", "bower install rebuilds it"},
    {".next", Need::Nothing, {},
     "cache: next.js", "Next.js build output: next build rebuilds it"},
    {".nuxt", Need::Nothing, {},
     "cache: nuxt", "Nuxt build output: nuxt build rebuilds it"},
    {".svelte-kit", Need::Nothing, {},
     "cache: sveltekit", "SvelteKit build output: rebuilt on the next build"},
    {".turbo", Need::Nothing, {},
     "cache: turborepo", "Turborepo cache: rebuilt on the next build"},
    {".parcel-cache", Need::Nothing, {},
     "cache: parcel", "Parcel cache: rebuilt on the next build"},
    {".angular", Need::Nothing, {},
     "cache: angular", "Angular CLI cache: rebuilt on the next build"},
    {".docusaurus", Need::Nothing, {},
     "cache: docusaurus", "Docusaurus build cache: rebuilt on the next build"},
    {".expo", Need::Nothing, {},
     "cache: expo", "Expo cache: rebuilt on the next start"},
    {"target", Need::Beside, {"Cargo.toml"},
     "cache: cargo", "Rust build output: cargo build rebuilds it"},
    {"target", Need::Beside, {"pom.xml"},
     "cache: maven", "Maven build output: mvn package rebuilds it"},
    {".gradle", Need::Nothing, {},
     "cache: gradle", "Gradle caches: rebuilt on the next build"},
    {"build", Need::Beside, {"build.gradle", "build.gradle.kts"},
     "cache: gradle", "Gradle build output: rebuilt on the next build"},
    {"__pycache__", Need::Nothing, {},
     "cache: python", "Python bytecode: rebuilt on import"},
    {".pytest_cache", Need::Nothing, {},
     "cache: pytest", "pytest cache: rebuilt on the next run"},
    {".mypy_cache", Need::Nothing, {},
     "cache: mypy", "mypy cache: rebuilt on the next run"},
    {".ruff_cache", Need::Nothing, {},
     "cache: ruff", "ruff cache: rebuilt on the next run"},
    {".tox", Need::Nothing, {},
     "cache: tox", "tox environments: rebuilt on the next run"},
    {".nox", Need::Nothing, {},
     "cache: nox", "nox environments: rebuilt on the next run"},
    {".ipynb_checkpoints", Need::Nothing, {},
     "cache: jupyter", "Jupyter autosaves of notebooks you have saved since"},
    {".venv", Need::Inside, {"pyvenv.cfg"},
     "cache: venv", "a Python virtualenv: recreate it from the project's requirements"},
    {"venv", Need::Inside, {"pyvenv.cfg"},
     "cache: venv", "a Python virtualenv: recreate it from the project's requirements"},
    {"DerivedData", Need::Nothing, {},
     "cache: xcode", "Xcode build output: rebuilt on the next build"},
    {"Pods", Need::Beside, {"Podfile"},
     "cache: cocoapods", "CocoaPods dependencies: pod install restores them"},
    {".build", Need::Beside, {"Package.swift"},
     "cache: swiftpm", "Swift package build output: swift build rebuilds it"},
    {".dart_tool", Need::Nothing, {},
     "cache: dart", "Dart tool cache: rebuilt by dart pub get"},
    {"_build", Need::Beside, {"mix.exs"},
     "cache: elixir", "Elixir build output: mix compile rebuilds it"},
    {"deps", Need::Beside, {"mix.exs"},
     "cache: elixir", "Elixir dependencies: mix deps.get restores them"},
    {".stack-work", Need::Nothing, {},
     "cache: stack", "Haskell Stack build output: stack build rebuilds it"},
    {"dist-newstyle", Need::Nothing, {},
     "cache: cabal", "Cabal build output: cabal build rebuilds it"},
    {".terraform", Need::Nothing, {},
     "cache: terraform", "Terraform providers and modules: terraform init restores them"},
    {".zig-cache", Need::Nothing, {},
     "cache: zig", "Zig build cache: rebuilt on the next build"},
    {".cache", Need::Nothing, {},
     "cache", "caches of command-line tools: rebuilt on demand"},
    {"Caches", Need::Library, {},
     "cache", "app caches: apps rebuild them, though some start slower once"},
};

struct ExpectedPathRule {
  std::string path;
  std::string_view text;
  std::string_view why;
};

const ExpectedPathRule PATH_RULES[] = {
    {"~/.Trash", "trash",
     "the Trash: empty it in Finder"},
    {"~/Downloads", "downloads",
     "downloaded files, often old installers and archives"},
    {"~/Library/Developer/Xcode/Archives", "xcode archives",
     "app archives: delete old ones in Xcode, Window > Organizer"},
    {"~/Library/Developer/Xcode/iOS DeviceSupport", "xcode device support",
     "debug symbols per iOS version: downloaded again when a device connects"},
    {"~/Library/Developer/CoreSimulator", "simulators",
     "iOS simulators and their data: xcrun simctl delete unavailable removes old ones"},
    {"~/Library/Application Support/MobileSync/Backup", "device backups",
     "iPhone and iPad backups: manage them in Finder, under the device"},
    {"~/Library/Containers/com.docker.docker", "docker",
     "Docker Desktop's disk image: docker system prune frees space in it"},
    {"~/Library/Mail", "mail",
     "Mail's copy of your messages and attachments"},
    {"~/Library/Messages", "messages",
     "Messages history and attachments: Settings > Messages can keep less"},
    {"~/Pictures/Photos Library.photoslibrary", "photos",
     "the Photos library: manage it in Photos, never in Finder"},
    {"~/Library/Android/sdk", "android sdk",
     "Android SDK and emulator images: manage them in Android Studio"},
    {"~/.rustup/toolchains", "rust toolchains",
     "Rust toolchains: rustup toolchain uninstall removes old ones"},
    {"~/.cargo/registry", "cargo registry",
     "downloaded crates: cargo downloads them again when needed"},
    {"~/.npm", "npm cache",
     "npm's download cache: npm cache clean --force empties it"},
    {"~/go/pkg/mod", "go modules",
     "the Go module cache: go clean -modcache empties it"},
    {"~/.ollama/models", "ollama models",
     "Ollama model weights: ollama rm removes one"},
    {"/private/var/vm", "swap",
     "swap and the sleep image: managed by macOS"},
    {"/private/var/folders", "temporary",
     "per-user temporary files and caches: macOS cleans them up"},
};

std::string swap_case(std::string s) {
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    c = std::isupper(u) ? char(std::tolower(u)) : char(std::toupper(u));
  }
  return s;
}

enum class MarkerForm { File, Dir, DanglingLink };

void make_marker(const TempDir& tmp, const std::string& rel, MarkerForm form) {
  switch (form) {
    case MarkerForm::File: tmp.file(rel, 0); break;
    case MarkerForm::Dir: tmp.dir(rel); break;
    case MarkerForm::DanglingLink: tmp.symlink(rel, tmp.at("nowhere")); break;
  }
}

TEST(Labels, EveryNameRuleWithAndWithoutItsCondition) {
  for (const ExpectedNameRule& r : NAME_RULES) {
    SCOPED_TRACE(r.name);
    TempDir tmp;
    std::string want = cache(r.text, r.why);
    const char* parent = r.need == Need::Library ? "Library" : "project";
    tmp.dir(std::string(parent) + "/" + r.name);
    auto tree = make_tree({{NO_PARENT, tmp.at(parent)}, {0, r.name}, {0, swap_case(r.name)}});

    switch (r.need) {
      case Need::Nothing:
        break;
      case Need::Library: {
        tmp.dir("Other/" + r.name);
        auto elsewhere = make_tree({{NO_PARENT, tmp.at("Other")}, {0, r.name}});
        EXPECT_EQ(describe(label(*elsewhere, 1)), "none");
        break;
      }
      case Need::Beside:
      case Need::Inside: {
        EXPECT_EQ(describe(label(*tree, 1)), "none");
        std::string where = std::string(parent) + (r.need == Need::Inside ? "/" + r.name : "");
        for (const std::string& m : r.markers) {
          for (MarkerForm form : {MarkerForm::File, MarkerForm::Dir, MarkerForm::DanglingLink}) {
            SCOPED_TRACE(m + " form " + std::to_string(int(form)));
            make_marker(tmp, where + "/" + m, form);
            EXPECT_EQ(describe(label(*tree, 1)), want);
            fs::remove(tmp.at(where + "/" + m));
            EXPECT_EQ(describe(label(*tree, 1)), "none");
          }
        }
        make_marker(tmp, where + "/" + r.markers.front(), MarkerForm::File);
        break;
      }
    }
    EXPECT_EQ(describe(label(*tree, 1)), want);
    EXPECT_EQ(describe(label(*tree, 2)), "none") << "names are case-sensitive";
  }
}

TEST(Labels, FirstMatchingRuleWins) {
  TempDir tmp;
  tmp.dir("p/target");
  tmp.file("p/Cargo.toml", 0);
  tmp.file("p/pom.xml", 0);
  auto tree = make_tree({{NO_PARENT, tmp.at("p")}, {0, "target"}});
  EXPECT_EQ(describe(label(*tree, 1)),
            cache("cache: cargo", "Rust build output: cargo build rebuilds it"));
  fs::remove(tmp.at("p/Cargo.toml"));
  EXPECT_EQ(describe(label(*tree, 1)),
            cache("cache: maven", "Maven build output: mvn package rebuilds it"));
}

TEST(Labels, EachCallLooksAtTheDiskAgain) {
  TempDir tmp;
  tmp.dir("p/target");
  auto tree = make_tree({{NO_PARENT, tmp.at("p")}, {0, "target"}});
  EXPECT_EQ(describe(label(*tree, 1)), "none");
  tmp.file("p/Cargo.toml", 0);
  EXPECT_EQ(label(*tree, 1)->text, "cache: cargo");
}

TEST(Labels, MarkerInAFolderThatCannotBeSearchedCountsAsPresent) {
  TempDir tmp;
  tmp.dir("beside/target");
  tmp.dir("inside/.venv");
  auto beside = make_tree({{NO_PARENT, tmp.at("beside")}, {0, "target"}});
  auto inside = make_tree({{NO_PARENT, tmp.at("inside")}, {0, ".venv"}});
  ASSERT_NE(getpwnam("nobody"), nullptr);
  chmod(tmp.at("beside").c_str(), 0);
  chmod(tmp.at("inside/.venv").c_str(), 0);

  int status = in_child([&] {
    // Root ignores permissions: only an unprivileged process sees EACCES.
    if (geteuid() == 0 && !drop_to_nobody()) return 10;
    struct stat st;
    if (lstat(tmp.at("beside/Cargo.toml").c_str(), &st) == 0 || errno != EACCES) return 11;
    if (lstat(tmp.at("inside/.venv/pyvenv.cfg").c_str(), &st) == 0 || errno != EACCES) return 12;
    std::optional<Label> a = label(*beside, 1);
    if (!a || a->text != "cache: cargo") return 13;
    std::optional<Label> b = label(*inside, 1);
    if (!b || b->text != "cache: venv") return 14;
    return 0;
  });
  ASSERT_LT(status, CHILD_KILLED);
  EXPECT_EQ(status, 0) << "10: cannot drop privileges, 11/12: no EACCES, 13/14: wrong label";
}

TEST(Labels, MarkerPresence) {
  TempDir tmp;
  tmp.file("file", 0);
  tmp.dir("dir");
  tmp.symlink("dangling", tmp.at("nowhere"));
  struct Case {
    std::string rel;
    bool present;
  } cases[] = {
      {"file", true},
      {"dir", true},
      {"dangling", true},
      {"missing", false},
      {"file/below", false},  // ENOTDIR
      {"missing/below", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(marker_present(tmp.at(c.rel)), c.present) << c.rel;
  }
}

constexpr std::string_view SIGNATURE = "Signature: 8a477f597d28d172789f06886806bc55";
const std::string TAG_LABEL =
    cache("cache", "the tool that made it marked it a cache (CACHEDIR.TAG): rebuilt on demand");

TEST(Labels, CacheTagFile) {
  struct Case {
    std::string name;
    std::string contents;
    bool labelled;
  } cases[] = {
      {"exact", std::string(SIGNATURE), true},
      {"with comment", std::string(SIGNATURE) + "\n# This file is a cache tag.\n", true},
      {"trailing garbage", std::string(SIGNATURE) + "XYZ", true},
      {"short", std::string(SIGNATURE.substr(0, 42)), false},
      {"upper case", "Signature: 8A477F597D28D172789F06886806BC55", false},
      {"other hash", "Signature: 00000000000000000000000000000000", false},
      {"leading space", " " + std::string(SIGNATURE), false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    tmp.dir("p/stuff");
    write_file(tmp.at("p/stuff/CACHEDIR.TAG"), c.contents);
    auto tree = make_tree({{NO_PARENT, tmp.at("p")}, {0, "stuff"}});
    EXPECT_EQ(describe(label(*tree, 1)), c.labelled ? TAG_LABEL : "none");
    EXPECT_EQ(has_cache_tag(tmp.at("p/stuff")), c.labelled);
  }
}

TEST(Labels, CacheTagThatIsNotARegularFile) {
  TempDir tmp;
  write_file(tmp.at("real.tag"), SIGNATURE);
  tmp.dir("viaLink");
  tmp.symlink("viaLink/CACHEDIR.TAG", tmp.at("real.tag"));
  tmp.dir("fifo");
  ASSERT_EQ(mkfifo(tmp.at("fifo/CACHEDIR.TAG").c_str(), 0644), 0);
  tmp.dir("dir/CACHEDIR.TAG");
  // A link is not followed below the root; a FIFO must not block the caller,
  // so the checks run in a child that an alarm ends if it hangs.
  int failed = in_child([&] {
    alarm(5);
    int failed = 0;
    for (const char* d : {"viaLink", "fifo", "dir", "missing"}) {
      failed = failed * 2 + (has_cache_tag(tmp.at(d)) ? 1 : 0);
    }
    return failed;
  });
  ASSERT_LT(failed, CHILD_KILLED) << "blocked on the FIFO";
  EXPECT_EQ(failed, 0) << "bits: link, fifo, dir, missing";
}

TEST(Labels, NameRuleBeatsTagAndTagLabelsTheRoot) {
  TempDir tmp;
  tmp.dir("p/node_modules");
  write_file(tmp.at("p/node_modules/CACHEDIR.TAG"), SIGNATURE);
  write_file(tmp.at("p/CACHEDIR.TAG"), SIGNATURE);
  auto tree = make_tree({{NO_PARENT, tmp.at("p")}, {0, "node_modules"}});
  EXPECT_EQ(label(*tree, 1)->text, "cache: npm");
  EXPECT_EQ(describe(label(*tree, 0)), TAG_LABEL);
}

TEST(Labels, RootIsLabelledByItsLastComponent) {
  TempDir tmp;
  tmp.dir("proj/node_modules");
  tmp.dir("proj/target");
  tmp.file("proj/Cargo.toml", 0);
  tmp.dir("Library/Caches");
  tmp.dir("x/.venv");
  tmp.file("x/.venv/pyvenv.cfg", 0);
  struct Case {
    std::string root;
    std::string text;  // "" for no label
  } cases[] = {
      {tmp.at("proj/node_modules"), "cache: npm"},
      {tmp.at("proj/node_modules/"), "cache: npm"},
      {tmp.at("proj/node_modules/."), "cache: npm"},
      {tmp.at("proj/target"), "cache: cargo"},  // marker beside the root
      {tmp.at("Library/Caches"), "cache"},     // parent name of the root
      {tmp.at("x/.venv/"), "cache: venv"},
      {tmp.at("proj/node_modules/.."), ""},
      {tmp.at("proj"), ""},
      {"/", ""},
  };
  for (const Case& c : cases) {
    auto tree = make_tree({{NO_PARENT, c.root}});
    std::optional<Label> got = label(*tree, 0);
    EXPECT_EQ(got ? std::string(got->text) : "", c.text) << c.root;
  }
}

TEST(Labels, RelativeRootFindsMarkersInTheWorkingFolder) {
  TempDir tmp;
  tmp.dir("proj/target");
  tmp.file("proj/Cargo.toml", 0);
  in_dir(tmp.at("proj"), [&] {
    auto tree = make_tree({{NO_PARENT, "target"}});
    EXPECT_EQ(describe(label(*tree, 0)),
              cache("cache: cargo", "Rust build output: cargo build rebuilds it"));
  });
}

// The parent's path and name of a child come from however the root was
// spelled: with a trailing slash, as ".", or as "/".
TEST(Labels, ChildRulesUnderEveryRootSpelling) {
  TempDir tmp;
  tmp.dir("proj/target");
  tmp.file("proj/Cargo.toml", 0);
  tmp.dir("Library/Caches");
  struct Case {
    std::string root;
    std::string child;
    std::string text;  // "" for no label
  } cases[] = {
      {tmp.at("proj"), "target", "cache: cargo"},
      {tmp.at("proj/"), "target", "cache: cargo"},
      {tmp.at("proj") + "//", "target", "cache: cargo"},
      {tmp.at("Library/"), "Caches", "cache"},
      {".", "target", "cache: cargo"},  // run from inside proj
      {"/", "target", ""},
  };
  in_dir(tmp.at("proj"), [&] {
    for (const Case& c : cases) {
      auto tree = make_tree({{NO_PARENT, c.root}, {0, c.child}});
      std::optional<Label> got = label(*tree, 1);
      EXPECT_EQ(got ? std::string(got->text) : "", c.text) << c.root << " " << c.child;
    }
  });
}

TEST(Labels, EveryPathRuleBelowHome) {
  TempDir tmp;
  tmp.dir("home");
  HomeVar home;
  home.set(tmp.at("home"));
  for (const ExpectedPathRule& r : PATH_RULES) {
    SCOPED_TRACE(r.path);
    auto want = describe(Label{Tier::Known, r.text, r.why});
    if (r.path.starts_with("~/")) {
      auto tree = chain_tree(tmp.at("home"), r.path.substr(2));
      EXPECT_EQ(describe(label(*tree, last(*tree))), want);
      // Only the exact folder: not its parent, not below it.
      auto deeper = chain_tree(tmp.at("home"), r.path.substr(2) + "/x");
      EXPECT_EQ(describe(label(*deeper, last(*deeper))), "none");
      EXPECT_EQ(describe(label(*deeper, last(*deeper) - 1)), want);
      if (last(*tree) > 1) {
        EXPECT_EQ(describe(label(*tree, last(*tree) - 1)), "none");
      }
    } else {
      auto tree = chain_tree("/", r.path.substr(1));
      EXPECT_EQ(describe(label(*tree, last(*tree))), want);
    }
  }
}

TEST(Labels, PathRulesCompareCanonicalPaths) {
  TempDir tmp;
  tmp.dir("real/home/Downloads");
  tmp.symlink("homelink", tmp.at("real/home"));
  tmp.symlink("rootlink", tmp.at("real"));
  HomeVar home;
  home.set(tmp.at("homelink/"));  // HOME itself through a link
  const std::string downloads = "downloads";

  auto through_link = make_tree({{NO_PARENT, tmp.at("rootlink/home")}, {0, "Downloads"}});
  EXPECT_EQ(label(*through_link, 1)->text, downloads);
  auto root_is_downloads = make_tree({{NO_PARENT, tmp.at("real/home/Downloads")}});
  EXPECT_EQ(label(*root_is_downloads, 0)->text, downloads);
  auto other_case = make_tree({{NO_PARENT, tmp.at("real/home")}, {0, "downloads"}});
  EXPECT_EQ(describe(label(*other_case, 1)), "none");

  in_dir(tmp.at("real"), [&] {
    auto relative = make_tree({{NO_PARENT, "./home//"}, {0, "Downloads"}});
    EXPECT_EQ(label(*relative, 1)->text, downloads);
  });
}

TEST(Labels, WithoutHomeOnlyAbsolutePathRulesApply) {
  TempDir tmp;
  tmp.dir("home");
  HomeVar home;
  home.unset();
  auto tree = make_tree({{NO_PARENT, tmp.at("home")}, {0, "Downloads"}, {0, ".npm"}});
  EXPECT_EQ(describe(label(*tree, 1)), "none");
  EXPECT_EQ(describe(label(*tree, 2)), "none");
  auto sys = chain_tree("/", "private/var/vm");
  EXPECT_EQ(label(*sys, last(*sys))->text, "swap");
  EXPECT_FALSE(label_context(*tree).home.has_value());

  home.set(tmp.at("no-such-home"));
  auto unresolvable = make_tree({{NO_PARENT, tmp.at("home")}, {0, "Downloads"}});
  EXPECT_EQ(describe(label(*unresolvable, 1)), "none");
}

TEST(Labels, HomeAtTheFilesystemRoot) {
  HomeVar home;
  home.set("/");
  auto tree = make_tree({{NO_PARENT, "/"}, {0, "Downloads"}});
  EXPECT_EQ(label(*tree, 1)->text, "downloads");
}

TEST(Labels, ContextIsResolvedOncePerTree) {
  TempDir tmp;
  tmp.dir("a");
  tmp.dir("b");
  HomeVar home;
  home.set(tmp.at("a"));
  auto first = make_tree({{NO_PARENT, tmp.at("a")}, {0, "Downloads"}});
  EXPECT_EQ(label(*first, 1)->text, "downloads");
  home.set(tmp.at("b"));
  EXPECT_EQ(label(*first, 1)->text, "downloads") << "kept from the first call";
  EXPECT_EQ(*label_context(*first).home, fs::canonical(tmp.at("a")).string());
  auto second = make_tree({{NO_PARENT, tmp.at("a")}, {0, "Downloads"}});
  EXPECT_EQ(describe(label(*second, 1)), "none");
}

TEST(Labels, UnresolvableRootStillGetsNameRules) {
  HomeVar home;
  home.set("/");
  auto tree = make_tree({{NO_PARENT, "/no/such/place/node_modules"}, {0, "Downloads"}});
  EXPECT_EQ(label(*tree, 0)->text, "cache: npm");
  EXPECT_EQ(describe(label(*tree, 1)), "none");
  EXPECT_FALSE(label_context(*tree).root.has_value());
}

TEST(Labels, ReferencesAreChecked) {
  auto tree = make_tree({{NO_PARENT, "/"}, {0, "node_modules"}, {0, "gone"}});
  tree->mutable_folders()[2].flags = GONE;
  auto ok = label(*tree, FolderRef{1, tree->stamp()});
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ((*ok)->text, "cache: npm");
  struct Case {
    FolderRef ref;
    std::string error;
  } cases[] = {
      {{2, 0}, "no folder 2 in this tree"},
      {{7, 0}, "no folder 7 in this tree"},
      {{1, tree->stamp() + 1}, "folder id 1 is from another tree"},
  };
  for (const Case& c : cases) {
    auto got = label(*tree, c.ref);
    ASSERT_FALSE(got.ok()) << c.error;
    EXPECT_EQ(got.error().text, c.error);
  }
}

}  // namespace
}  // namespace tallmap
