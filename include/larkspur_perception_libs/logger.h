// Process-wide logger of the perception library.
//
// Every log line of the library goes through larkspur::Logger and starts with
// a three-column running count and a level tag, e.g. "  7 [DEBUG] text".
// Sinks and level are chosen once, from the environment, when the first log
// statement of the process runs:
//   SPDLOG_STDOUT  "true" | "false"  console sink (default on)
//   SPDLOG_SYSTEMD "true" | "false"  systemd journal sink (default off)
//   SPDLOG_LEVEL   "trace" | "debug" | "info" | "warning" | "error" | "critical"
//                  (default info)
// Invalid or missing values print a notice on std::cout and use the default.
//
// Statements are written with four macros:
//   LARKSPUR_LOG_INFO("gridmap runtime = {0:d}(us)", us);     fmt form
//   LARKSPUR_LOG_DEBUG("Current pose: {}, {}, {}", x, y, yaw);
//   LARKSPUR_LOGF_INFO("occupancy_threshold: %f", value);      printf form
//   LARKSPUR_LOGF_DEBUG("received cloud size: %ld", n);
// The printf form keeps at most 999 characters of its text. Each statement
// records the calling file, line and unqualified function name. Every
// statement formats its whole text, also when its level is filtered out, in a
// buffer on the stack: texts up to 1,023 characters never touch the heap.
#pragma once

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace larkspur {

// Deliberate: notices and line prefixes stay word for word (see README, Compatibility quirks).
class Logger {
 public:
  // The single instance, built at the first call (thread-safe).
  static Logger& Instance() {
    static Logger instance(std::string("spdlog"));
    return instance;
  }

  // Builds sinks, logger, level and pattern from the environment. An
  // spdlog::spdlog_ex raised on the way is dropped; the logger keeps what was
  // built up to that point (possibly no spdlog logger at all).
  explicit Logger(std::string&& name) {
    try {
      std::vector<spdlog::sink_ptr> sinks;
      if (IsEnableStdOut()) {
        sinks.push_back(std::make_shared<
                        spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>>());
      }
      if (IsEnableSystemd()) {
        sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink<std::mutex>>());
      }
      logger_ = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
      level_ = ReadLogLevelFromEnv();
      logger_->set_level(level_);
      logger_->set_pattern("%v", spdlog::pattern_time_type::local);
    } catch (const spdlog::spdlog_ex&) {
    }
  }

  ~Logger() { logger_.reset(); }

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // A copy of the spdlog logger; empty when it could not be built.
  std::shared_ptr<spdlog::logger> GetLogger() const { return logger_; }

  // Advances the running count for a statement at `level` when it passes the
  // level filter, and returns the count modulo 128. Safe for concurrent
  // callers; on one thread the sequence is 1, 2, ..., 127, 0, 1, ...
  std::uint8_t GetCount(spdlog::level::level_enum&& level) {
    if (level >= level_) {
      return static_cast<std::uint8_t>((count_.fetch_add(1) + 1) % 128);
    }
    return static_cast<std::uint8_t>(count_.load() % 128);
  }

  spdlog::level::level_enum ReadLogLevelFromEnv() {
    const std::map<std::string, spdlog::level::level_enum> levels = {
        {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},   {"warning", spdlog::level::warn},
        {"error", spdlog::level::err},   {"critical", spdlog::level::critical}};
    const char* value = std::getenv("SPDLOG_LEVEL");
    if (value == nullptr) {
      std::cout << "environment variable SPDLOG_LEVEL is not set, and set default level"
                << std::endl;
      return spdlog::level::info;
    }
    try {
      return levels.at(std::string(value));
    } catch (const std::out_of_range&) {
      std::cout << "environment variable SPDLOG_LEVEL is invalid, and set default level"
                << std::endl;
      return spdlog::level::info;
    }
  }

  bool IsEnableStdOut() { return ReadSwitch("SPDLOG_STDOUT", true); }
  bool IsEnableSystemd() { return ReadSwitch("SPDLOG_SYSTEMD", false); }

 private:
  // Reads a "true"/"false" variable; anything else selects `fallback` with a notice.
  static bool ReadSwitch(const char* variable, bool fallback) {
    const char* value = std::getenv(variable);
    const char* fallback_word = fallback ? "true" : "false";
    if (value == nullptr) {
      std::cout << "environment variable " << variable << " is not set, and set " << fallback_word
                << std::endl;
      return fallback;
    }
    const std::string text(value);
    if (text == "true") return true;
    if (text == "false") return false;
    std::cout << "environment variable " << variable << " is invalid, and set " << fallback_word
              << std::endl;
    return fallback;
  }

  std::shared_ptr<spdlog::logger> logger_;
  std::atomic<std::uint8_t> count_{0};
  spdlog::level::level_enum level_ = spdlog::level::info;
};

namespace detail {

// A statement's text: room on the stack for the prefix and the printf
// form's longest text, so that a statement in a per-frame loop costs no heap
// allocation.
using LogText = fmt::basic_memory_buffer<char, 1024>;

inline void AppendPrefix(LogText& text, spdlog::level::level_enum level) {
  const unsigned count = Logger::Instance().GetCount(spdlog::level::level_enum(level));
  if (level == spdlog::level::info) {
    fmt::format_to(std::back_inserter(text), "{0:3d} [INFO] ", count);
  } else {
    fmt::format_to(std::back_inserter(text), "{0:3d} [DEBUG] ", count);
  }
}

inline void Write(const std::shared_ptr<spdlog::logger>& logger, const spdlog::source_loc& where,
                  spdlog::level::level_enum level, const LogText& text) {
  // A logger whose construction failed has no spdlog logger: the text is dropped.
  if (logger) logger->log(where, level, spdlog::string_view_t(text.data(), text.size()));
}

template <typename... Args>
void LogFormat(spdlog::level::level_enum level, const spdlog::source_loc& where,
               fmt::format_string<Args...> format, Args&&... args) {
  const std::shared_ptr<spdlog::logger> logger = Logger::Instance().GetLogger();
  LogText text;
  AppendPrefix(text, level);
  fmt::format_to(std::back_inserter(text), format, std::forward<Args>(args)...);
  Write(logger, where, level, text);
}

// The printf-form text is logged as it stands: braces in it are not read as
// replacement fields.
[[gnu::format(printf, 3, 4)]] inline void LogPrintf(spdlog::level::level_enum level,
                                                    const spdlog::source_loc& where,
                                                    const char* format, ...) {
  const std::shared_ptr<spdlog::logger> logger = Logger::Instance().GetLogger();
  char buffer[1000];
  std::va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (written < 0) buffer[0] = '\0';
  LogText text;
  AppendPrefix(text, level);
  text.append(buffer, buffer + std::strlen(buffer));
  Write(logger, where, level, text);
}

}  // namespace detail
}  // namespace larkspur

#define LARKSPUR_LOG_AT(level, form, ...) \
  ::larkspur::detail::form(level, ::spdlog::source_loc{__FILE__, __LINE__, __func__}, __VA_ARGS__)

#define LARKSPUR_LOG_INFO(...) LARKSPUR_LOG_AT(::spdlog::level::info, LogFormat, __VA_ARGS__)
#define LARKSPUR_LOG_DEBUG(...) LARKSPUR_LOG_AT(::spdlog::level::debug, LogFormat, __VA_ARGS__)
#define LARKSPUR_LOGF_INFO(...) LARKSPUR_LOG_AT(::spdlog::level::info, LogPrintf, __VA_ARGS__)
#define LARKSPUR_LOGF_DEBUG(...) LARKSPUR_LOG_AT(::spdlog::level::debug, LogPrintf, __VA_ARGS__)
