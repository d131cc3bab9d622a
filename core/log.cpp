#include "core/log.h"

#include <atomic>

namespace tallmap {
namespace {

std::atomic<LogSink*> g_sink{nullptr};
std::atomic<uint8_t> g_max_level{uint8_t(LogLevel::Off)};

}  // namespace

std::string_view level_name(LogLevel level) {
  static constexpr std::string_view NAMES[] = {"OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
  auto i = size_t(level);
  return i < std::size(NAMES) ? NAMES[i] : "OFF";
}

bool install_log_sink(LogSink* sink, LogLevel max_level) {
  LogSink* none = nullptr;
  if (!g_sink.compare_exchange_strong(none, sink, std::memory_order_acq_rel)) return false;
  g_max_level.store(uint8_t(max_level), std::memory_order_release);
  return true;
}

LogLevel log_max_level() { return LogLevel(g_max_level.load(std::memory_order_acquire)); }

void log(LogLevel level, std::string_view target, std::string_view message) {
  if (!log_enabled(level)) return;
  LogSink* sink = g_sink.load(std::memory_order_acquire);
  if (sink) sink->write(level, target, message);
}

}  // namespace tallmap
