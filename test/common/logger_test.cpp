// In-process checks of the logger: the source location a statement hands to
// the sinks, and the running count under concurrent callers.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <array>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

#include "larkspur_perception_libs/logger.h"

namespace {

// The environment is set before the first statement: console quiet, debug on.
larkspur::Logger& QuietDebugLogger() {
  static larkspur::Logger& logger = [&]() -> larkspur::Logger& {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "debug", 1);
    return larkspur::Logger::Instance();
  }();
  return logger;
}

struct Probe {
  static constexpr int kLine = __LINE__ + 1;
  Probe() { LARKSPUR_LOG_DEBUG("built {}", 1); }
};

TEST(LoggerTest, StatementsCarryTheirSourceLocation) {
  larkspur::Logger& logger = QuietDebugLogger();
  ASSERT_NE(logger.GetLogger(), nullptr);
  std::ostringstream captured;
  const auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(captured);
  sink->set_pattern("%l|%g|%#|%!|%v");
  logger.GetLogger()->sinks().push_back(sink);
  const unsigned before = logger.GetCount(spdlog::level::off);
  const int line = __LINE__ + 1;
  LARKSPUR_LOGF_INFO("ratio %.3f", 0.25);
  Probe probe;
  logger.GetLogger()->sinks().pop_back();
  // A constructor reports its class name.
  EXPECT_EQ(captured.str(),
            fmt::format("info|{0}|{1}|TestBody|{3:3d} [INFO] ratio 0.250\n"
                        "debug|{0}|{2}|Probe|{4:3d} [DEBUG] built 1\n",
                        __FILE__, line, Probe::kLine, (before + 1) % 128, (before + 2) % 128));
}

TEST(LoggerTest, ConcurrentCallersNeverShareOrSkipACount) {
  larkspur::Logger& logger = QuietDebugLogger();
  std::array<std::array<int, 128>, 4> hits{};  // per thread and count
  std::vector<std::thread> threads;
  for (auto& mine : hits) {
    threads.emplace_back([&logger, &mine] {
      for (int i = 0; i < 256; ++i) ++mine.at(logger.GetCount(spdlog::level::info));
    });
  }
  for (std::thread& thread : threads) thread.join();
  // 1024 consecutive counts hit each of the 128 values exactly 8 times.
  for (unsigned value = 0; value < 128; ++value) {
    EXPECT_EQ(hits[0][value] + hits[1][value] + hits[2][value] + hits[3][value], 8) << value;
  }
}

TEST(LoggerTest, StatementWithoutSpdlogLoggerIsDropped) {
  // What a statement meets when the spdlog logger could not be built.
  larkspur::detail::LogText text;
  larkspur::detail::AppendPrefix(text, spdlog::level::info);
  larkspur::detail::Write(nullptr, spdlog::source_loc{__FILE__, __LINE__, __func__},
                          spdlog::level::info, text);
}

}  // namespace
