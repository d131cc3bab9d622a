#include "app/logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <fmt/format.h>

#include "core/scan.h"
#include "core/utf8.h"

namespace tallmap {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

int64_t now_epoch_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec);
}

void write_stderr(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(size_t(n));
  }
}

}  // namespace

std::string log_line(int64_t epoch_seconds, LogLevel level, std::string_view message) {
  uint64_t s = epoch_seconds < 0 ? 0 : uint64_t(epoch_seconds) % 86400;
  return fmt::format("{:02}:{:02}:{:02}Z {:<5} {}\n", s / 3600, (s / 60) % 60, s % 60,
                     lower(level_name(level)), message);
}

FileLogger::~FileLogger() {
  if (fd_ >= 0) ::close(fd_);
}

void FileLogger::write(LogLevel level, std::string_view, std::string_view message) {
  if (level == LogLevel::Off || level > LogLevel::Info) return;
  std::string line = log_line(now_epoch_seconds(), level, message);
  std::lock_guard lock(mu_);
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // disk full, file gone: the record is lost
    rest.remove_prefix(size_t(n));
  }
}

Result<std::unique_ptr<FileLogger>> open_log_file(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = errno;
    return Error{e, os_error_text(e)};
  }
  return std::make_unique<FileLogger>(fd);
}

void open_log_from(const char* value) {
  if (!value || !*value) return;
  auto logger = open_log_file(value);
  if (!logger) {
    std::string msg = "tallmap: cannot log to ";
    append_printable(msg, value);
    msg += fmt::format(": {}\n", logger.error().text);
    write_stderr(msg);
    return;
  }
  // The sink lives as long as the process; a second call keeps the first.
  if (install_log_sink(logger->get(), LogLevel::Info)) logger->release();
}

void open_log() { open_log_from(std::getenv("TALLMAP_LOG")); }

}  // namespace tallmap
