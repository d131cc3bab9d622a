#include "app/logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/log.h"
#include "support.h"

namespace fs = std::filesystem;
using namespace tallmap;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The installed logger lives for the rest of its process, so tests that
// install one do it in a child.
class LogFile : public testing::Test {
 protected:
  TempDir tmp_;
  fs::path dir_ = tmp_.path;
};

struct LineCase {
  int64_t seconds;
  LogLevel level;
  const char* message;
  const char* line;
};

TEST(LogLine, TimeOfDayInUtcLevelPaddedToFive) {
  const LineCase cases[] = {
      {13 * 3600 + 5 * 60 + 9, LogLevel::Info, "live: scanning /data",
       "13:05:09Z info  live: scanning /data\n"},
      {0, LogLevel::Warn, "w", "00:00:00Z warn  w\n"},
      {86399, LogLevel::Error, "e", "23:59:59Z error e\n"},
      {86400 * 19000 + 1, LogLevel::Info, "no date", "00:00:01Z info  no date\n"},
      {-5, LogLevel::Info, "before the epoch", "00:00:00Z info  before the epoch\n"},
      {3600 * 10 + 60 * 59 + 59, LogLevel::Debug, "", "10:59:59Z debug \n"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(log_line(c.seconds, c.level, c.message), c.line);
}

TEST(LogLine, LevelNames) {
  EXPECT_EQ(level_name(LogLevel::Off), "OFF");
  EXPECT_EQ(level_name(LogLevel::Error), "ERROR");
  EXPECT_EQ(level_name(LogLevel::Warn), "WARN");
  EXPECT_EQ(level_name(LogLevel::Info), "INFO");
  EXPECT_EQ(level_name(LogLevel::Debug), "DEBUG");
  EXPECT_EQ(level_name(LogLevel::Trace), "TRACE");
}

TEST_F(LogFile, WritesInfoAndAboveAndAppends) {
  fs::path file = dir_ / "tallmap.log";
  {
    std::ofstream(file) << "earlier run\n";
  }
  auto logger = open_log_file(file.string());
  ASSERT_TRUE(logger.ok()) << logger.error().text;
  (*logger)->write(LogLevel::Info, "tallmap_core::live", "live: scanning /data");
  (*logger)->write(LogLevel::Debug, "t", "debug record");
  (*logger)->write(LogLevel::Trace, "t", "trace record");
  (*logger)->write(LogLevel::Warn, "t", "a warning");
  (*logger)->write(LogLevel::Error, "t", "an error");
  std::vector<std::string> lines = lines_of(read_file(file));
  ASSERT_EQ(lines.size(), 4u) << read_file(file);
  EXPECT_EQ(lines[0], "earlier run");
  std::regex stamp("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]Z ");
  for (size_t i = 1; i < 4; i++) EXPECT_TRUE(std::regex_search(lines[i], stamp)) << lines[i];
  EXPECT_EQ(lines[1].substr(10), "info  live: scanning /data");
  EXPECT_EQ(lines[2].substr(10), "warn  a warning");
  EXPECT_EQ(lines[3].substr(10), "error an error");
}

TEST_F(LogFile, ConcurrentLinesStayWhole) {
  fs::path file = dir_ / "threads.log";
  auto logger = open_log_file(file.string());
  ASSERT_TRUE(logger.ok());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; i++)
        (*logger)->write(LogLevel::Info, "t", std::string(300, char('a' + t)) + "|end");
    });
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = lines_of(read_file(file));
  ASSERT_EQ(lines.size(), 800u);
  std::regex whole("^..:..:..Z info  (a{300}|b{300}|c{300}|d{300})\\|end$");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(LogFile, OpenFailureIsAnOsError) {
  auto logger = open_log_file((dir_ / "no" / "such" / "dir.log").string());
  ASSERT_FALSE(logger.ok());
  EXPECT_EQ(logger.error().code, ENOENT);
  EXPECT_EQ(logger.error().text, "No such file or directory (os error 2)");
}

TEST_F(LogFile, OpenLogWarnsAndGoesOnWithoutALog) {
  fs::path err = dir_ / "err";
  std::string target = (dir_ / "missing" / "caf\xe9\x1b.log").string();
  int status = in_child([&] {
    int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    open_log_from(target.c_str());
    open_log_from("");
    open_log_from(nullptr);
    // Nothing was installed: a sink can still be.
    struct Null : LogSink {
      void write(LogLevel, std::string_view, std::string_view) override {}
    };
    return install_log_sink(new Null, LogLevel::Info) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(err), "tallmap: cannot log to " + (dir_ / "missing").string() +
                            "/caf\xef\xbf\xbd\\u001b.log: No such file or directory (os error 2)\n");
}

// Counts how often it is formatted.
struct Costly {
  int* formatted;
};

}  // namespace

template <>
struct fmt::formatter<Costly> : fmt::formatter<int> {
  auto format(const Costly& c, fmt::format_context& ctx) const {
    ++*c.formatted;
    return fmt::formatter<int>::format(*c.formatted, ctx);
  }
};

namespace {

TEST_F(LogFile, FacadeWritesThroughTheFirstInstalledLogOnly) {
  fs::path first = dir_ / "first.log", second = dir_ / "second.log", out = dir_ / "out";
  int status = in_child([&] {
    int formatted = 0;
    log_info("t", "dropped before any log: {}", Costly{&formatted});
    open_log_from(first.c_str());
    log_info("tallmap_core::live", "live: scanning {}", "/data");
    log_debug("t", "debug {}", Costly{&formatted});
    log_trace("t", "trace {}", Costly{&formatted});
    log_warn("t", "warned {}", 2);
    open_log_from(second.c_str());  // a second call keeps the first log
    log_error("t", "failed {}", 3);
    log(LogLevel::Info, "t", "plain");
    return formatted == 0 ? 0 : 1;
  });
  EXPECT_EQ(status, 0) << "debug or trace records were formatted";
  std::vector<std::string> lines = lines_of(read_file(first));
  ASSERT_EQ(lines.size(), 4u) << read_file(first);
  EXPECT_EQ(lines[0].substr(10), "info  live: scanning /data");
  EXPECT_EQ(lines[1].substr(10), "warn  warned 2");
  EXPECT_EQ(lines[2].substr(10), "error failed 3");
  EXPECT_EQ(lines[3].substr(10), "info  plain");
  EXPECT_EQ(read_file(second), "");
}

}  // namespace
