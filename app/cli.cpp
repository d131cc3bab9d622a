#include "app/cli.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "app/logfile.h"
#include "core/json.h"
#include "core/store.h"
#include "core/utf8.h"

namespace tallmap {
namespace {

constexpr const char* DESCRIPTION = "Read-only disk usage browser for macOS and Linux, built for speed";
constexpr const char* SI_HELP =
    "Sizes in powers of 1000 (kB, MB, GB), as Finder and disk makers, not of 1024 (KiB, MiB, "
    "GiB). The browser switches with `u`";

// ---- Numbers ---------------------------------------------------------------

// Plain decimal digits only: no sign, no spaces, no hex or octal prefixes,
// and no silent wrap-around on overflow.
std::optional<uint64_t> parse_decimal(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = uint64_t(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// A parser check that accepts integers in [lo, hi].
CLI::Validator integer_in(uint64_t lo, uint64_t hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) -> std::string {
        std::optional<uint64_t> v = parse_decimal(text);
        if (!v) return fmt::format("'{}' is not a non-negative integer", text);
        if (*v < lo || *v > hi) return fmt::format("{} is not in {}..={}", *v, lo, hi);
        return {};
      },
      "");
}

// ---- Parsing ---------------------------------------------------------------

// The strings the parser fills in, converted once parsing succeeded.
struct OutputArgs {
  bool si = false;
  bool json = false;
  std::string depth;
  std::string top;
};

void add_output_options(CLI::App& sub, OutputArgs& args) {
  sub.add_flag("--si", args.si, SI_HELP);
  sub.add_flag("--json", args.json, "Print JSON instead of text, sizes in bytes");
  sub.add_option("--depth", args.depth, "Levels of subdirectories in the JSON [default: 1]")
      ->type_name("DEPTH")
      ->check(integer_in(0, UINT64_MAX));
  sub.add_option("--top", args.top, "Also list the N largest files")
      ->type_name("TOP")
      ->check(integer_in(0, 65535));
}

Output to_output(const CLI::App& sub, const OutputArgs& args) {
  Output out;
  out.si = args.si;
  out.json = args.json;
  if (sub.count("--depth")) out.depth = *parse_decimal(args.depth);
  if (sub.count("--top")) out.top = uint16_t(*parse_decimal(args.top));
  return out;
}

// Parser messages may quote arguments; keep their bytes from acting on the
// terminal while leaving the message's own line breaks alone.
std::string printable_lines(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    append_printable(out, text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    out.push_back('\n');
    text.remove_prefix(nl + 1);
  }
  return out;
}

// The parser leaves the name out of its messages for hidden options, so
// those are checked here, worded the same way.
ParseEnd hidden_option_error(std::string_view option, std::string_view value,
                             std::string_view problem) {
  std::string msg = fmt::format("{}: '", option);
  append_printable(msg, value);
  msg += fmt::format("' {}\nRun with --help for more information.\n", problem);
  return ParseEnd{2, "", msg};
}

ParseEnd usage_error(const CLI::App& app, const CLI::Error& e) {
  std::ostringstream out, err;
  app.exit(e, out, err);
  return ParseEnd{2, "", printable_lines(err.str())};
}

// `help [COMMAND...]`: the help page of the named subcommand, or the top's.
std::variant<CommandLine, ParseEnd> help_page(const CLI::App& app,
                                              const std::vector<std::string>& names) {
  const CLI::App* page = &app;
  std::string prev = app.get_name();
  for (const std::string& name : names) {
    const CLI::App* next = nullptr;
    for (const CLI::App* sub : page->get_subcommands({})) {
      if (sub->get_name() == name) next = sub;
    }
    if (!next) {
      std::string msg = "unrecognized subcommand '";
      append_printable(msg, name);
      msg += "'\nRun with --help for more information.\n";
      return ParseEnd{2, "", msg};
    }
    prev += " " + next->get_name();
    page = next;
  }
  return ParseEnd{0, page->get_formatter()->make_help(page, prev, CLI::AppFormatMode::Normal), ""};
}

}  // namespace

std::variant<CommandLine, ParseEnd> parse_command_line(const std::vector<std::string>& args) {
  CLI::App app{DESCRIPTION, "tallmap"};
  app.set_version_flag("-V,--version", fmt::format("tallmap {}", PROGRAM_VERSION));
  app.require_subcommand(0, 1);

  std::string top_path;
  bool top_si = false;
  app.add_option("path", top_path,
                 "Browse PATH full screen while it is scanned. Without PATH, pick a volume to "
                 "browse first")
      ->type_name("PATH");
  app.add_flag("--si", top_si, SI_HELP);

  CLI::App* scan = app.add_subcommand(
      "scan",
      "Print the size of PATH and of each of its direct children, and save the result for "
      "`show`. Ctrl-C stops the scan, then prints and saves what it found, marked incomplete");
  std::string scan_path, threads, stop_after;
  std::string reader = "auto";
  OutputArgs scan_output;
  scan->add_option("path", scan_path)->type_name("PATH")->required();
  scan->add_option("--threads", threads,
                   "Worker threads [default: 4, up to the number of cores while waiting on the "
                   "disk]")
      ->type_name("THREADS")
      ->check(integer_in(1, UINT32_MAX));
  scan->add_option("--reader", reader, "Directory reader, for the differential test and benchmarks")
      ->type_name("READER")
      ->group("");
  scan->add_option("--stop-after", stop_after,
                   "Stop after listing N directories below PATH, as Ctrl-C would, for the tests")
      ->type_name("N")
      ->group("");
  add_output_options(*scan, scan_output);

  CLI::App* show = app.add_subcommand(
      "show", "Print the last saved scan of PATH, exactly as `scan` printed it, without scanning");
  std::string show_path;
  OutputArgs show_output;
  show->add_option("path", show_path)->type_name("PATH")->required();
  add_output_options(*show, show_output);

  CLI::App* help = app.add_subcommand("help", "Print help for the subcommand(s)");
  std::vector<std::string> help_names;
  help->add_option("command", help_names)->type_name("COMMAND");

  // The parser wants the arguments without the program name, last first.
  std::vector<std::string> rest;
  if (args.size() > 1) rest.assign(args.rbegin(), args.rend() - 1);
  try {
    app.parse(rest);
  } catch (const CLI::ParseError& e) {
    int code = e.get_exit_code();
    if (code == int(CLI::ExitCodes::Success)) {
      std::ostringstream out, err;
      app.exit(e, out, err);
      return ParseEnd{0, out.str(), ""};
    }
    return usage_error(app, e);
  }

  if (help->parsed()) return help_page(app, help_names);

  CommandLine line;
  if (app.count("path")) line.path = top_path;
  line.si = top_si;
  if (scan->parsed()) {
    ScanCommand cmd;
    cmd.path = scan_path;
    if (scan->count("--threads")) cmd.threads = uint32_t(*parse_decimal(threads));
    if (reader != "auto" && reader != "portable")
      return hidden_option_error("--reader", reader, "is not one of auto, portable");
    cmd.reader = reader == "portable" ? Reader::Portable : Reader::Auto;
    if (scan->count("--stop-after")) {
      cmd.stop_after = parse_decimal(stop_after);
      if (!cmd.stop_after)
        return hidden_option_error("--stop-after", stop_after, "is not a non-negative integer");
    }
    cmd.output = to_output(*scan, scan_output);
    line.command = std::move(cmd);
  } else if (show->parsed()) {
    line.command = ShowCommand{show_path, to_output(*show, show_output)};
  }
  return line;
}

// ---- Output ------------------------------------------------------------------

int write_all(int fd, std::string_view bytes) {
  // Keep a closed pipe from killing the process: hold SIGPIPE back while
  // writing and swallow the one our write raised.
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigset_t pending;
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  int error = 0;
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) {
      error = EIO;
      break;
    }
    bytes.remove_prefix(size_t(n));
  }

  if (error == EPIPE && !was_pending) {
    timespec zero{};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  return error;
}

namespace {

// "tallmap: " and a message whose name bytes are made terminal-safe.
void print_error(Streams streams, std::string_view prefix_text, std::string_view path,
                 std::string_view suffix_text) {
  std::string line = "tallmap: ";
  line += prefix_text;
  append_printable(line, path);
  line += suffix_text;
  line += '\n';
  write_all(streams.err, line);
}

// Writes the report; EPIPE (the reader went away) is not worth a word.
int print_report(Streams streams, const std::string& report) {
  int e = write_all(streams.out, report);
  if (e == 0 || e == EPIPE) return 0;
  write_all(streams.err, fmt::format("tallmap: cannot write the report: {}\n", os_error_text(e)));
  return 1;
}

void on_stop_signal(int signo) { stop_flag().store(signo, std::memory_order_relaxed); }

}  // namespace

// ---- Stopping ----------------------------------------------------------------

std::atomic<int>& stop_flag() {
  static std::atomic<int> flag{0};
  static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
  return flag;
}

void install_stop_handlers() {
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

StopCheck make_stop_check(const std::atomic<int>* flag, std::optional<uint64_t> stop_after) {
  auto passed = std::make_shared<std::atomic<uint64_t>>(0);
  return std::make_shared<const std::function<bool()>>([flag, stop_after, passed]() {
    if (flag && flag->load(std::memory_order_relaxed) != 0) return true;
    if (!stop_after) return false;
    return passed->fetch_add(1, std::memory_order_relaxed) >= *stop_after;
  });
}

// ---- Commands ------------------------------------------------------------------

std::string build_report(const ReportView& view, const Output& output) {
  std::optional<uint32_t> top;
  if (output.top) top = *output.top;
  if (output.json) return json_report(view, output.depth.value_or(1), top);
  return text_report(view, output.si, top);
}

int run_scan(const ScanCommand& command, Streams streams) {
  std::atomic<int>& flag = stop_flag();
  flag.store(0);
  install_stop_handlers();

  ScanOptions options;
  options.stop = make_stop_check(&flag, command.stop_after);
  options.threads = command.threads;
  options.reader = command.reader;
  auto scanned = scan_once(command.path, options);
  if (!scanned) {
    print_error(streams, "", command.path, ": " + scanned.error().text());
    return 1;
  }
  const Tree& tree = **scanned;
  int status = print_report(streams, build_report(report_view(tree), command.output));

  auto dir = cache_dir();
  std::optional<Error> failed;
  if (!dir)
    failed = dir.error();
  else
    failed = save_scan(*dir, command.path, tree, false);
  if (failed) {
    std::string line = "tallmap: warning: scan not saved: ";
    append_printable(line, failed->text);
    line += '\n';
    write_all(streams.err, line);
  }

  int signo = flag.load();
  if (signo != 0) return 128 + signo;
  return status;
}

int run_show(const ShowCommand& command, Streams streams) {
  auto dir = cache_dir();
  if (!dir) {
    print_error(streams, "cannot read saved scan for ", command.path, ": " + dir.error().text);
    return 1;
  }
  auto opened = open_scan_view(*dir, command.path);
  if (!opened) {
    print_error(streams, "cannot read saved scan for ", command.path, ": " + opened.error().text);
    return 1;
  }
  if (!*opened) {
    print_error(streams, "no saved scan for ", command.path, "");
    return 1;
  }
  const ScanView& view = **opened;
  return print_report(streams, build_report(view.report_view(), command.output));
}

int run_browser(const std::optional<std::string>&, bool, Streams streams) {
  write_all(streams.err, "tallmap: the terminal browser is not available yet\n");
  return 1;
}

int run_command(const CommandLine& line, Streams streams) {
  if (auto* scan = std::get_if<ScanCommand>(&line.command)) return run_scan(*scan, streams);
  if (auto* show = std::get_if<ShowCommand>(&line.command)) return run_show(*show, streams);
  return run_browser(line.path, line.si, streams);
}

int run_cli(std::vector<std::string> args) {
  auto parsed = parse_command_line(args);
  if (auto* end = std::get_if<ParseEnd>(&parsed)) {
    write_all(STDOUT_FILENO, end->out);
    write_all(STDERR_FILENO, end->err);
    // Help, version and usage errors end the process here, as a parser of
    // a standalone program would; static destructors are skipped on purpose
    // since other threads of the host may still be running.
    std::fflush(nullptr);
    std::_Exit(end->status);
  }
  open_log();
  return run_command(std::get<CommandLine>(parsed));
}

}  // namespace tallmap
