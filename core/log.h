// The process-wide logging facade. Records carry a level, a target (the
// part of the program that logs, e.g. "tallmap_core::live") and a message.
// Nothing is shown anywhere until the command line installs a sink; until
// then every record is dropped without being formatted.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string_view>

namespace tallmap {

// Ordered from most to least severe; Off disables everything.
enum class LogLevel : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// "OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE".
std::string_view level_name(LogLevel level);

// Receives every record at or above the maximum level. Called from any
// thread; an implementation serialises its own writes.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(LogLevel level, std::string_view target, std::string_view message) = 0;
};

// Installs `sink` for the rest of the process (it is never freed) and sets
// the maximum level. Returns false, leaving everything unchanged, when a
// sink is already installed.
bool install_log_sink(LogSink* sink, LogLevel max_level);

// Records more verbose than this are dropped before formatting.
LogLevel log_max_level();
inline bool log_enabled(LogLevel level) {
  return level != LogLevel::Off && level <= log_max_level();
}

void log(LogLevel level, std::string_view target, std::string_view message);

template <class... Args>
void log_at(LogLevel level, std::string_view target, fmt::format_string<Args...> format,
            Args&&... args) {
  if (!log_enabled(level)) return;
  log(level, target, fmt::vformat(format, fmt::make_format_args(args...)));
}

template <class... Args>
void log_error(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(LogLevel::Error, target, format, std::forward<Args>(args)...);
}
template <class... Args>
void log_warn(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(LogLevel::Warn, target, format, std::forward<Args>(args)...);
}
template <class... Args>
void log_info(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(LogLevel::Info, target, format, std::forward<Args>(args)...);
}
template <class... Args>
void log_debug(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(LogLevel::Debug, target, format, std::forward<Args>(args)...);
}
template <class... Args>
void log_trace(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  log_at(LogLevel::Trace, target, format, std::forward<Args>(args)...);
}

}  // namespace tallmap
