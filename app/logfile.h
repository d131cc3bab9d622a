// The TALLMAP_LOG file: records of level info and above appended one line
// each, stamped with the UTC time of day.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/log.h"
#include "core/result.h"

namespace tallmap {

// "{hh:02}:{mm:02}:{ss:02}Z {level:<5} {message}\n" for a time in seconds
// since the epoch (negative counts as 0), level in lower case.
std::string log_line(int64_t epoch_seconds, LogLevel level, std::string_view message);

// An open log file. Lines from different threads never interleave.
class FileLogger : public LogSink {
 public:
  explicit FileLogger(int fd) : fd_(fd) {}
  ~FileLogger() override;
  FileLogger(const FileLogger&) = delete;
  FileLogger& operator=(const FileLogger&) = delete;

  // Writes error, warn and info records; a failed write loses the record.
  void write(LogLevel level, std::string_view target, std::string_view message) override;

 private:
  int fd_;
  std::mutex mu_;
};

// Opens `path` for appending, creating it with mode 0666 less the umask.
Result<std::unique_ptr<FileLogger>> open_log_file(const std::string& path);

// Installs the file named by TALLMAP_LOG as the log for the rest of the
// process. Unset or empty: nothing. A file that cannot be opened is
// reported on standard error and the program goes on without a log. A
// logger already installed by an earlier call is kept.
void open_log();

// open_log with the variable's value given (null means unset).
void open_log_from(const char* value);

}  // namespace tallmap
