// The command line: parsing, the `scan` and `show` commands, exit statuses.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/report.h"
#include "core/scan.h"

namespace tallmap {

inline constexpr std::string_view PROGRAM_VERSION = "0.2.0";

// What `scan` printed, so that `show` can print it again the same way.
struct Output {
  bool si = false;
  bool json = false;
  std::optional<uint64_t> depth;  // absent means 1
  std::optional<uint16_t> top;
};

struct ScanCommand {
  std::string path;
  std::optional<uint32_t> threads;
  Reader reader = Reader::Auto;
  std::optional<uint64_t> stop_after;
  Output output;
};

struct ShowCommand {
  std::string path;
  Output output;
};

struct BrowseCommand {};

struct CommandLine {
  std::optional<std::string> path;  // the browser's
  bool si = false;                  // the browser's
  std::variant<BrowseCommand, ScanCommand, ShowCommand> command;
};

// The parser's last word instead of a command line: a help or version page
// for standard output (status 0) or a usage error for standard error
// (status 2).
struct ParseEnd {
  int status = 0;
  std::string out;
  std::string err;
};

// `args` as the process got them, args[0] being the program name.
std::variant<CommandLine, ParseEnd> parse_command_line(const std::vector<std::string>& args);

// Where a command writes; the tests point these elsewhere.
struct Streams {
  int out = 1;
  int err = 2;
};

// Writes all of `bytes`, retrying after signals and partial writes. A
// closed pipe yields EPIPE instead of killing the process. Returns 0 or
// the errno of the failed write.
int write_all(int fd, std::string_view bytes);

// The signal number of the SIGINT or SIGTERM that asked `scan` to stop,
// or 0. Set by the handlers from install_stop_handlers.
std::atomic<int>& stop_flag();
// Registers SIGINT and SIGTERM handlers that store the signal number in
// stop_flag(); they stay for the rest of the process.
void install_stop_handlers();

// True once `flag` is non-zero, or, with `stop_after` N, from the call after
// the N-th that answered false: exactly N folders pass.
StopCheck make_stop_check(const std::atomic<int>* flag, std::optional<uint64_t> stop_after);

// The text or JSON report of `view` with the output options.
std::string build_report(const ReportView& view, const Output& output);

// The commands; each returns its exit status.
int run_scan(const ScanCommand& command, Streams streams = {});
int run_show(const ShowCommand& command, Streams streams = {});
int run_browser(const std::optional<std::string>& path, bool si, Streams streams = {});
int run_command(const CommandLine& command_line, Streams streams = {});

// The whole command line. Help, version and usage errors print and end the
// process (status 0 or 2) without returning; otherwise opens the log file,
// runs the command and returns its exit status.
int run_cli(std::vector<std::string> args);

}  // namespace tallmap
