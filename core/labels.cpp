// Folder labels from one fixed rule table: folder names of well-known
// tools (some needing a marker file), the cache tag file, and a list of
// well-known large folders compared by canonical path.
#include "core/labels.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "core/read.h"
#include "core/text.h"

namespace tallmap {
namespace {

enum class Cond : uint8_t {
  None,           // the name alone decides
  Beside,         // one of the markers exists in the parent folder
  Inside,         // one of the markers exists in the folder itself
  ParentLibrary,  // the parent folder is named "Library"
};

struct NameRule {
  std::string_view name;
  Cond cond;
  std::array<std::string_view, 2> markers;  // empty entries are unused
  std::string_view text;
  std::string_view why;
};

// First match wins, so order matters ("target" beside Cargo.toml is cargo
// even when a pom.xml sits there too).
constexpr NameRule NAME_RULES[] = {
    {"node_modules", Cond::None, {},
     "cache: npm",
     "npm install rebuilds it"},
    {"bower_components", Cond::None, {},
     "cache: bower",
     "bower install rebuilds it"},
    {".next", Cond::None, {},
     "cache: next.js",
     "Next.js build output: next build rebuilds it"},
    {".nuxt", Cond::None, {},
     "cache: nuxt",
     "Nuxt build output: nuxt build rebuilds it"},
    {".svelte-kit", Cond::None, {},
     "cache: sveltekit",
     "SvelteKit build output: rebuilt on the next build"},
    {".turbo", Cond::None, {},
     "cache: turborepo",
     "Turborepo cache: rebuilt on the next build"},
    {".parcel-cache", Cond::None, {},
     "cache: parcel",
     "Parcel cache: rebuilt on the next build"},
    {".angular", Cond::None, {},
     "cache: angular",
     "Angular CLI cache: rebuilt on the next build"},
    {".docusaurus", Cond::None, {},
     "cache: docusaurus",
     "Docusaurus build cache: rebuilt on the next build"},
    {".expo", Cond::None, {},
     "cache: expo",
     "Expo cache: rebuilt on the next start"},
    {"target", Cond::Beside, {"Cargo.toml"},
     "cache: cargo",
     "Rust build output: cargo build rebuilds it"},
    {"target", Cond::Beside, {"pom.xml"},
     "cache: maven",
     "Maven build output: mvn package rebuilds it"},
    {".gradle", Cond::None, {},
     "cache: gradle",
     "Gradle caches: rebuilt on the next build"},
    {"build", Cond::Beside, {"build.gradle", "build.gradle.kts"},
     "cache: gradle",
     "Gradle build output: rebuilt on the next build"},
    {"__pycache__", Cond::None, {},
     "cache: python",
     "Python bytecode: rebuilt on import"},
    {".pytest_cache", Cond::None, {},
     "cache: pytest",
     "pytest cache: rebuilt on the next run"},
    {".mypy_cache", Cond::None, {},
     "cache: mypy",
     "mypy cache: rebuilt on the next run"},
    {".ruff_cache", Cond::None, {},
     "cache: ruff",
     "ruff cache: rebuilt on the next run"},
    {".tox", Cond::None, {},
     "cache: tox",
     "tox environments: rebuilt on the next run"},
    {".nox", Cond::None, {},
     "cache: nox",
     "nox environments: rebuilt on the next run"},
    {".ipynb_checkpoints", Cond::None, {},
     "cache: jupyter",
     "Jupyter autosaves of notebooks you have saved since"},
    {".venv", Cond::Inside, {"pyvenv.cfg"},
     "cache: venv",
     "a Python virtualenv: recreate it from the project's requirements"},
    {"venv", Cond::Inside, {"pyvenv.cfg"},
     "cache: venv",
     "a Python virtualenv: recreate it from the project's requirements"},
    {"DerivedData", Cond::None, {},
     "cache: xcode",
     "Xcode build output: rebuilt on the next build"},
    {"Pods", Cond::Beside, {"Podfile"},
     "cache: cocoapods",
     "CocoaPods dependencies: pod install restores them"},
    {".build", Cond::Beside, {"Package.swift"},
     "cache: swiftpm",
     "Swift package build output: swift build rebuilds it"},
    {".dart_tool", Cond::None, {},
     "cache: dart",
     "Dart tool cache: rebuilt by dart pub get"},
    {"_build", Cond::Beside, {"mix.exs"},
     "cache: elixir",
     "Elixir build output: mix compile rebuilds it"},
    {"deps", Cond::Beside, {"mix.exs"},
     "cache: elixir",
     "Elixir dependencies: mix deps.get restores them"},
    {".stack-work", Cond::None, {},
     "cache: stack",
     "Haskell Stack build output: stack build rebuilds it"},
    {"dist-newstyle", Cond::None, {},
     "cache: cabal",
     "Cabal build output: cabal build rebuilds it"},
    {".terraform", Cond::None, {},
     "cache: terraform",
     "Terraform providers and modules: terraform init restores them"},
    {".zig-cache", Cond::None, {},
     "cache: zig",
     "Zig build cache: rebuilt on the next build"},
    {".cache", Cond::None, {},
     "cache",
     "caches of command-line tools: rebuilt on demand"},
    {"Caches", Cond::ParentLibrary, {},
     "cache",
     "app caches: apps rebuild them, though some start slower once"},
};

struct PathRule {
  std::string_view path;  // a leading "~" stands for the canonical home
  std::string_view text;
  std::string_view why;
};

constexpr PathRule PATH_RULES[] = {
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

constexpr std::string_view TAG_FILE = "CACHEDIR.TAG";
constexpr std::string_view TAG_SIGNATURE =
    "Signature: 8a477f597d28d172789f06886806bc55";
constexpr std::string_view TAG_TEXT = "cache";
constexpr std::string_view TAG_WHY =
    "the tool that made it marked it a cache (CACHEDIR.TAG): rebuilt on demand";


// Path components, leaving out empty ones and ".".
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out = split_nonempty(path, '/');
  std::erase(out, std::string_view("."));
  return out;
}

// The last ordinary component: nothing for "/", "." or a path ending in "..".
std::optional<std::string_view> last_component(std::string_view path) {
  std::vector<std::string_view> parts = components(path);
  if (parts.empty() || parts.back() == "..") return std::nullopt;
  return parts.back();
}

// The folder holding `path`; "" (the working folder) for a single relative
// component, nothing when there is no ordinary last component to drop.
std::optional<std::string> parent_of(std::string_view path) {
  std::vector<std::string_view> parts = components(path);
  if (parts.empty() || parts.back() == "..") return std::nullopt;
  std::string out = path.starts_with('/') ? "/" : "";
  for (size_t i = 0; i + 1 < parts.size(); i++) {
    if (i > 0) out.push_back('/');
    out.append(parts[i]);
  }
  return out;
}

struct Inputs {
  std::string_view name;
  std::string path;
  std::optional<std::string> parent_path;
  std::optional<std::string_view> parent_name;
};

Inputs inputs_of(const Tree& tree, FolderId id) {
  Inputs in;
  in.path = tree.path_bytes(id);
  if (id == 0) {
    std::string_view root = tree.name_bytes(tree.folder(0).name);
    in.name = last_component(root).value_or(root);
    in.parent_path = parent_of(root);
  } else {
    // The path ends in the name: what comes before it is the parent's path
    // (perhaps with a trailing slash, which neither markers nor the
    // parent's name mind), without walking up the tree a second time.
    in.name = tree.name_bytes(tree.folder(id).name);
    in.parent_path = in.path.substr(0, in.path.size() - in.name.size());
  }
  if (in.parent_path) in.parent_name = last_component(*in.parent_path);
  return in;
}

bool any_marker(std::string_view dir,
                const std::array<std::string_view, 2>& markers) {
  for (std::string_view m : markers) {
    if (!m.empty() && marker_present(join_path(dir, m))) return true;
  }
  return false;
}

bool name_rule_holds(const NameRule& rule, const Inputs& in) {
  if (in.name != rule.name) return false;
  switch (rule.cond) {
    case Cond::None:
      return true;
    case Cond::Beside:
      return in.parent_path && any_marker(*in.parent_path, rule.markers);
    case Cond::Inside:
      return any_marker(in.path, rule.markers);
    case Cond::ParentLibrary:
      return in.parent_name == std::string_view("Library");
  }
  return false;
}

bool path_rule_holds(const PathRule& rule, std::string_view canonical,
                     const LabelContext& ctx) {
  if (!rule.path.starts_with('~')) return canonical == rule.path;
  if (!ctx.home) return false;
  std::string_view home = *ctx.home;
  std::string_view rest = rule.path.substr(1);
  // A home of "/" already ends in the separator the rule starts with.
  if (home.ends_with('/') && rest.starts_with('/')) rest.remove_prefix(1);
  return canonical.size() == home.size() + rest.size() &&
         canonical.starts_with(home) && canonical.ends_with(rest);
}

std::optional<std::string> canonical(std::string_view path) {
  std::string owned(path);
  char buf[PATH_MAX];
  if (owned.find('\0') != std::string::npos) return std::nullopt;
  if (!realpath(owned.c_str(), buf)) return std::nullopt;
  return std::string(buf);
}

}  // namespace

bool marker_present(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return true;
  return errno != ENOENT && errno != ENOTDIR;
}

bool has_cache_tag(std::string_view dir) {
  std::string file = join_path(dir, TAG_FILE);
  // No following links below the root, and no blocking on a FIFO or
  // device that happens to carry the tag's name.
  int fd;
  do {
    fd = open(file.c_str(),
              O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buf[TAG_SIGNATURE.size()];
  size_t got = 0;
  while (regular && got < sizeof buf) {
    ssize_t n = read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  return regular && got == sizeof buf &&
         std::string_view(buf, sizeof buf) == TAG_SIGNATURE;
}

LabelContext compute_label_context(std::string_view root_path) {
  LabelContext ctx;
  ctx.root = canonical(root_path);
  if (const char* home = getenv("HOME")) ctx.home = canonical(home);
  return ctx;
}

const LabelContext& label_context(const Tree& tree) {
  return tree.label_context([&tree] {
    if (tree.folder_count() == 0) return LabelContext{};
    return compute_label_context(tree.name_bytes(tree.folder(0).name));
  });
}

std::optional<Label> label(const Tree& tree, FolderId id) {
  if (id >= tree.folder_count() || (tree.folder(id).flags & GONE)) {
    return std::nullopt;
  }
  Inputs in = inputs_of(tree, id);
  for (const NameRule& rule : NAME_RULES) {
    if (name_rule_holds(rule, in)) return Label{Tier::Cache, rule.text, rule.why};
  }
  if (has_cache_tag(in.path)) return Label{Tier::Cache, TAG_TEXT, TAG_WHY};

  const LabelContext& ctx = label_context(tree);
  if (!ctx.root) return std::nullopt;
  std::string canon = id == 0 ? *ctx.root
                              : join_path(*ctx.root, tree.relative_path_bytes(id));
  for (const PathRule& rule : PATH_RULES) {
    if (path_rule_holds(rule, canon, ctx)) {
      return Label{Tier::Known, rule.text, rule.why};
    }
  }
  return std::nullopt;
}

Result<std::optional<Label>> label(const Tree& tree, FolderRef ref) {
  if (std::optional<std::string> bad = check_ref(tree, ref)) {
    return Error{0, std::move(*bad)};
  }
  return label(tree, ref.id);
}

}  // namespace tallmap
