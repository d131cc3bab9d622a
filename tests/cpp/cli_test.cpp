#include "app/cli.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "core/store.h"
#include "support.h"

namespace fs = std::filesystem;
using namespace tallmap;

namespace {

std::variant<CommandLine, ParseEnd> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "tallmap");
  return parse_command_line(words);
}

CommandLine parse_ok(std::vector<std::string> words) {
  auto r = parse(words);
  if (auto* end = std::get_if<ParseEnd>(&r)) {
    ADD_FAILURE() << "parse ended with " << end->status << ": " << end->err;
    return {};
  }
  return std::get<CommandLine>(r);
}

ParseEnd parse_end(std::vector<std::string> words) {
  auto r = parse(words);
  if (!std::holds_alternative<ParseEnd>(r)) {
    ADD_FAILURE() << "parse did not end";
    return {-1, "", ""};
  }
  return std::get<ParseEnd>(r);
}

// ---- Parsing ---------------------------------------------------------------

struct UsageCase {
  std::vector<std::string> words;
  std::string message_part;
};

TEST(CliParse, UsageErrorsEndWithStatusTwoAndAMessage) {
  const UsageCase cases[] = {
      {{"scan"}, "path is required"},
      {{"show"}, "path is required"},
      {{"scan", "--threads", "0", "d"}, "--threads"},
      {{"scan", "--threads", "4294967296", "d"}, "--threads"},
      {{"scan", "--top", "65536", "d"}, "--top"},
      {{"scan", "--top", "-1", "d"}, "--top"},
      {{"show", "--depth", "-1", "d"}, "--depth"},
      {{"show", "--depth", "0x10", "d"}, "--depth"},
      {{"show", "--depth", "010x", "d"}, "--depth"},
      {{"show", "--depth", " 1", "d"}, "--depth"},
      {{"show", "--depth", "18446744073709551616", "d"}, "--depth"},
      {{"scan", "--reader", "fast", "d"}, "--reader"},
      {{"scan", "--stop-after", "x", "d"}, "--stop-after"},
      {{"scan", "--stop-after", "-1", "d"}, "--stop-after"},
      {{"show", "--threads", "2", "d"}, "--threads"},
      {{"show", "--stop-after", "2", "d"}, "--stop-after"},
      {{"a", "b"}, "b"},
      {{"--bogus"}, "--bogus"},
      {{"help", "bogus"}, "bogus"},
  };
  for (const UsageCase& c : cases) {
    ParseEnd end = parse_end(c.words);
    std::string shown;
    for (auto& w : c.words) shown += w + " ";
    EXPECT_EQ(end.status, 2) << shown;
    EXPECT_EQ(end.out, "") << shown;
    EXPECT_NE(end.err.find(c.message_part), std::string::npos) << shown << "-> " << end.err;
  }
}

TEST(CliParse, UsageErrorsShowArgumentBytesHarmlessly) {
  ParseEnd end = parse_end({"a", "\x1b]0;title\x07"});
  EXPECT_EQ(end.status, 2);
  EXPECT_EQ(end.err.find('\x1b'), std::string::npos) << end.err;
  EXPECT_EQ(end.err.find('\x07'), std::string::npos) << end.err;
  EXPECT_NE(end.err.find("\\u001b]0;title\\u0007"), std::string::npos) << end.err;
}

TEST(CliParse, HelpAndVersionPrintToStandardOutput) {
  ParseEnd version = parse_end({"-V"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tallmap 0.2.0\n");
  EXPECT_EQ(parse_end({"--version"}).out, version.out);

  ParseEnd top = parse_end({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_EQ(top.err, "");
  for (const char* part :
       {"Read-only disk usage browser for macOS and Linux, built for speed",
        "Browse PATH full screen while it is scanned. Without PATH, pick a volume to browse first",
        "The browser switches with `u`", "Print help for the subcommand(s)",
        "Print the last saved scan of PATH, exactly as `scan` printed it, without scanning"})
    EXPECT_NE(top.out.find(part), std::string::npos) << part;
  EXPECT_EQ(parse_end({"-h"}).out, top.out);
  EXPECT_EQ(parse_end({"help"}).out, top.out);
}

TEST(CliParse, ScanHelpHidesTheTestOptions) {
  ParseEnd page = parse_end({"scan", "--help"});
  EXPECT_EQ(page.status, 0);
  for (const char* part :
       {"--threads THREADS",
        "Worker threads [default: 4, up to the number of cores while waiting on the disk]",
        "--depth DEPTH", "Levels of subdirectories in the JSON [default: 1]", "--top TOP",
        "Also list the N largest files", "Print JSON instead of text, sizes in bytes", "PATH",
        "Ctrl-C stops the scan, then prints and saves what it found, marked incomplete"})
    EXPECT_NE(page.out.find(part), std::string::npos) << part;
  for (const char* hidden : {"--reader", "--stop-after", "READER", "differential", "as Ctrl-C would"})
    EXPECT_EQ(page.out.find(hidden), std::string::npos) << hidden;
  EXPECT_EQ(parse_end({"help", "scan"}).out, page.out);
  // The hidden options still work.
  CommandLine line = parse_ok({"scan", "--reader", "portable", "--stop-after", "3", "d"});
  auto& scan = std::get<ScanCommand>(line.command);
  EXPECT_EQ(scan.reader, Reader::Portable);
  EXPECT_EQ(scan.stop_after, 3u);
}

TEST(CliParse, CommandsAndTheirOptions) {
  {
    CommandLine line = parse_ok({});
    EXPECT_TRUE(std::holds_alternative<BrowseCommand>(line.command));
    EXPECT_FALSE(line.path);
    EXPECT_FALSE(line.si);
  }
  {
    // Only the bare word is the subcommand.
    CommandLine line = parse_ok({"--si", "./scan"});
    EXPECT_TRUE(std::holds_alternative<BrowseCommand>(line.command));
    EXPECT_EQ(line.path, "./scan");
    EXPECT_TRUE(line.si);
  }
  {
    CommandLine line = parse_ok({"scan", "d"});
    auto& scan = std::get<ScanCommand>(line.command);
    EXPECT_EQ(scan.path, "d");
    EXPECT_FALSE(scan.threads);
    EXPECT_EQ(scan.reader, Reader::Auto);
    EXPECT_FALSE(scan.stop_after);
    EXPECT_FALSE(scan.output.si);
    EXPECT_FALSE(scan.output.json);
    EXPECT_FALSE(scan.output.depth);
    EXPECT_FALSE(scan.output.top);
  }
  {
    // The top-level --si belongs to the browser, not to the report.
    CommandLine line = parse_ok({"--si", "scan", "d"});
    EXPECT_TRUE(line.si);
    EXPECT_FALSE(std::get<ScanCommand>(line.command).output.si);
  }
  {
    CommandLine line = parse_ok({"scan", "--si", "--json", "--depth", "0", "--top", "65535",
                                 "--threads", "3", "d"});
    EXPECT_FALSE(line.si);
    auto& scan = std::get<ScanCommand>(line.command);
    EXPECT_EQ(scan.threads, 3u);
    EXPECT_TRUE(scan.output.si);
    EXPECT_TRUE(scan.output.json);
    EXPECT_EQ(scan.output.depth, 0u);
    EXPECT_EQ(scan.output.top, 65535);
  }
  {
    CommandLine line =
        parse_ok({"show", "--top", "0", "--depth", "18446744073709551615", "caf\xe9/x"});
    auto& show = std::get<ShowCommand>(line.command);
    EXPECT_EQ(show.path, "caf\xe9/x");
    EXPECT_EQ(show.output.top, 0);
    EXPECT_EQ(show.output.depth, UINT64_MAX);
  }
  {
    CommandLine line = parse_ok({"scan", "--", "-odd"});
    EXPECT_EQ(std::get<ScanCommand>(line.command).path, "-odd");
  }
}

TEST(CliParse, RunCliEndsTheProcessOnUsageErrors) {
  EXPECT_EXIT(run_cli({"tallmap", "scan"}), testing::ExitedWithCode(2), "path is required");
  EXPECT_EXIT(run_cli({"tallmap", "--version"}), testing::ExitedWithCode(0), "");
}

// ---- Stopping --------------------------------------------------------------

TEST(CliStop, StopAfterLetsExactlyNFoldersPass) {
  for (uint64_t n : {0u, 1u, 5u}) {
    StopCheck check = make_stop_check(nullptr, n);
    for (uint64_t i = 0; i < n; i++) EXPECT_FALSE((*check)()) << "call " << i << " of " << n;
    for (int i = 0; i < 3; i++) EXPECT_TRUE((*check)()) << "after " << n;
  }
}

TEST(CliStop, StopAfterCountsAcrossThreads) {
  StopCheck check = make_stop_check(nullptr, 100);
  std::atomic<int> passed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; i++)
        if (!(*check)()) passed++;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(passed.load(), 100);
}

TEST(CliStop, FlagStopsAtOnce) {
  std::atomic<int> flag{0};
  StopCheck check = make_stop_check(&flag, std::nullopt);
  EXPECT_FALSE((*check)());
  EXPECT_FALSE((*check)());
  flag = 2;
  EXPECT_TRUE((*check)());
  std::atomic<int> flag2{0};
  StopCheck counted = make_stop_check(&flag2, 10);
  flag2 = 15;
  EXPECT_TRUE((*counted)());
}

TEST(CliStop, SignalsStoreTheirNumber) {
  EXPECT_EXIT(
      {
        install_stop_handlers();
        stop_flag() = 0;
        raise(SIGTERM);
        int term = stop_flag().load();
        raise(SIGINT);
        int intr = stop_flag().load();
        std::_Exit(term == SIGTERM && intr == SIGINT ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// ---- Writing -----------------------------------------------------------------

TEST(CliWrite, WritesEverythingThroughAFullPipe) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string big(1 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4099) big[i] = char('a' + i % 26);
  std::string got;
  std::thread reader([&] {
    char buf[8192];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, size_t(n));
  });
  EXPECT_EQ(write_all(p[1], big), 0);
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_EQ(got, big);
}

TEST(CliWrite, ClosedPipeIsAnErrorNotADeath) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  EXPECT_EQ(write_all(p[1], "report\n"), EPIPE);
  close(p[1]);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// ---- Commands ----------------------------------------------------------------

class CliCommand : public testing::Test {
 protected:
  void SetUp() override {
    data_ = dir_ / "data";
    cache_ = dir_ / "cache";
    fs::create_directories(data_ / "a" / "b");
    fs::create_directories(data_ / "c");
    fs::create_directories(data_ / "d");
    write_file(data_ / "top.bin", std::string(5000, 't'));
    write_file(data_ / "a" / "one", std::string(12000, '1'));
    write_file(data_ / "a" / "b" / "two", std::string(70000, '2'));
    write_file(data_ / "c" / "three", std::string(30000, '3'));
  }

  // Runs a command in a child with stdout and stderr sent to files.
  int run(const std::function<int(Streams)>& command, const char* cache_dir) {
    fs::path out = dir_ / "out", err = dir_ / "err";
    int status = in_child([&] {
      if (cache_dir)
        setenv("TALLMAP_CACHE_DIR", cache_dir, 1);
      else
        unsetenv("TALLMAP_CACHE_DIR");
      unsetenv("XDG_CACHE_HOME");
      unsetenv("HOME");
      Streams s{open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
      return command(s);
    });
    out_ = read_file(out);
    err_ = read_file(err);
    return status;
  }
  int scan(ScanCommand c) {
    return run([&](Streams s) { return run_scan(c, s); }, cache_.c_str());
  }
  int show(ShowCommand c, const char* cache_dir) {
    return run([&](Streams s) { return run_show(c, s); }, cache_dir);
  }
  int show(ShowCommand c) { return show(c, cache_.c_str()); }
  fs::path saved_file() {
    auto key = scan_key(data_.string());
    EXPECT_TRUE(key.ok());
    return cache_ / (key->key + ".scan");
  }

  TempDir tmp_;
  fs::path dir_ = tmp_.path, data_, cache_;
  std::string out_, err_;
};

TEST_F(CliCommand, ShowRepeatsWhatScanPrinted) {
  const Output outputs[] = {
      {},
      {true, false, std::nullopt, std::nullopt},
      {false, false, std::nullopt, 2},
      {false, true, std::nullopt, std::nullopt},
      {false, true, 0, std::nullopt},
      {true, true, 3, 5},
  };
  for (const Output& o : outputs) {
    ScanCommand sc;
    sc.path = data_.string();
    sc.output = o;
    ASSERT_EQ(scan(sc), 0) << err_;
    EXPECT_EQ(err_, "");
    std::string printed = out_;
    EXPECT_NE(printed.find(data_.string()), std::string::npos) << printed;
    ASSERT_EQ(show(ShowCommand{data_.string(), o}), 0) << err_;
    EXPECT_EQ(err_, "");
    EXPECT_EQ(out_, printed);
  }
}

TEST_F(CliCommand, ShowNamesTheRootAsTyped) {
  ScanCommand sc;
  sc.path = data_.string();
  ASSERT_EQ(scan(sc), 0) << err_;
  std::string other = (dir_ / "." / "data/").string();
  ASSERT_EQ(show(ShowCommand{other, {}}), 0) << err_;
  std::string first = out_.substr(0, out_.find('\n'));
  EXPECT_NE(first.find(other), std::string::npos) << out_;
  EXPECT_EQ(first.find(data_.string() + " "), std::string::npos) << out_;
}

TEST_F(CliCommand, ScanOfAMissingPathFailsAndSavesNothing) {
  ScanCommand sc;
  sc.path = (dir_ / "missing").string();
  EXPECT_EQ(scan(sc), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "tallmap: " + sc.path + ": No such file or directory (os error 2)\n");
  EXPECT_FALSE(fs::exists(cache_));
}

TEST_F(CliCommand, StopAfterZeroListsOnlyTheRoot) {
  ScanCommand sc;
  sc.path = data_.string();
  sc.stop_after = 0;
  ASSERT_EQ(scan(sc), 0) << err_;
  std::string first = out_.substr(0, out_.find('\n'));
  EXPECT_NE(first.find("  (incomplete: scan stopped)"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("a/"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("c/"), std::string::npos) << out_;
  // The stopped scan is saved as stopped.
  std::string printed = out_;
  ASSERT_EQ(show(ShowCommand{data_.string(), {}}), 0);
  EXPECT_EQ(out_, printed);
}

TEST_F(CliCommand, FailedSaveWarnsAndKeepsThePreviousFile) {
  ScanCommand sc;
  sc.path = data_.string();
  ASSERT_EQ(scan(sc), 0);
  fs::path saved = saved_file();
  std::string before = read_file(saved);
  ASSERT_FALSE(before.empty());

  // Grow the tree, then block the save: the temporary name is taken.
  write_file(data_ / "d" / "new", std::string(100000, 'n'));
  int status = run(
      [&](Streams s) {
        fs::create_directory(saved.string() + "." + std::to_string(getpid()) + ".tmp");
        return run_scan(sc, s);
      },
      cache_.c_str());
  EXPECT_EQ(status, 0);
  EXPECT_NE(out_.find("d/"), std::string::npos) << out_;
  EXPECT_EQ(err_.rfind("tallmap: warning: scan not saved: ", 0), 0u) << err_;
  EXPECT_NE(err_.find("(os error 17)"), std::string::npos) << err_;
  EXPECT_EQ(read_file(saved), before);
}

TEST_F(CliCommand, CacheBelowAFileOrUnknownStillPrints) {
  write_file(dir_ / "plain", "x");
  std::string below = (dir_ / "plain" / "cache").string();
  ScanCommand sc;
  sc.path = data_.string();
  EXPECT_EQ(run([&](Streams s) { return run_scan(sc, s); }, below.c_str()), 0);
  EXPECT_NE(out_.find(data_.string()), std::string::npos);
  EXPECT_EQ(err_, "tallmap: warning: scan not saved: Not a directory (os error 20)\n");

  EXPECT_EQ(run([&](Streams s) { return run_scan(sc, s); }, nullptr), 0);
  EXPECT_NE(out_.find(data_.string()), std::string::npos);
  EXPECT_EQ(err_, "tallmap: warning: scan not saved: HOME is not set\n");
}

TEST_F(CliCommand, ShowFailures) {
  std::string p = data_.string();
  EXPECT_EQ(show(ShowCommand{p, {}}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "tallmap: no saved scan for " + p + "\n");

  EXPECT_EQ(show(ShowCommand{p, {}}, nullptr), 1);
  EXPECT_EQ(err_, "tallmap: cannot read saved scan for " + p + ": HOME is not set\n");

  std::string missing = (dir_ / "missing").string();
  EXPECT_EQ(show(ShowCommand{missing, {}}), 1);
  EXPECT_EQ(err_, "tallmap: cannot read saved scan for " + missing +
                      ": No such file or directory (os error 2)\n");

  ScanCommand sc;
  sc.path = p;
  ASSERT_EQ(scan(sc), 0);
  fs::path saved = saved_file();
  std::string bytes = read_file(saved);
  bytes[bytes.size() / 2] ^= 0x40;
  write_file(saved, bytes);
  EXPECT_EQ(show(ShowCommand{p, {}}), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "tallmap: no saved scan for " + p + "\n");
}

TEST_F(CliCommand, PathBytesReachTheTerminalHarmlessly) {
  ScanCommand sc;
  sc.path = (dir_ / "\x1b[2Jgone").string();
  EXPECT_EQ(scan(sc), 1);
  EXPECT_EQ(err_.find('\x1b'), std::string::npos) << err_;
  EXPECT_NE(err_.find("\\u001b[2Jgone"), std::string::npos) << err_;
}

TEST_F(CliCommand, BrowserIsNotAvailableYet) {
  EXPECT_EQ(run([](Streams s) { return run_command(CommandLine{}, s); }, cache_.c_str()), 1);
  EXPECT_EQ(err_, "tallmap: the terminal browser is not available yet\n");
}

}  // namespace
