// In-process checks of the logger: what a statement hands to the sinks (text,
// level, source location) and the running count under concurrent callers.
// The environment is set before the first statement so that the console stays
// quiet and debug statements pass.
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <array>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"

namespace {

larkspur::Logger& QuietDebugLogger() {
  static const bool configured = [] {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "debug", 1);
    return true;
  }();
  static_cast<void>(configured);
  return larkspur::Logger::Instance();
}

struct Record {
  spdlog::level::level_enum level;
  std::string text;
  std::string file;
  int line;
  std::string function;
};

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Record> records;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    records.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size()),
                       msg.source.filename, msg.source.line, msg.source.funcname});
  }
  void flush_() override {}
};

class LoggerStatementTest : public testing::Test {
 protected:
  void SetUp() override {
    logger_ = QuietDebugLogger().GetLogger();
    ASSERT_NE(logger_, nullptr);
    logger_->sinks().push_back(sink_);
  }
  void TearDown() override {
    if (logger_) logger_->sinks().pop_back();
  }

  // The single record the statement under test produced.
  const Record& Only() {
    EXPECT_EQ(sink_->records.size(), 1u);
    return sink_->records.at(0);
  }

  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
};

// The count in front of the text depends on the statements before it.
std::string WithoutCount(const std::string& text) { return text.size() < 3 ? "" : text.substr(3); }

TEST_F(LoggerStatementTest, FormatFormRecordsItsLocation) {
  const int line = __LINE__ + 1;
  LARKSPUR_LOG_INFO("located {} at {:.2f}", "here", 1.5);
  const Record& record = Only();
  EXPECT_EQ(record.level, spdlog::level::info);
  EXPECT_EQ(WithoutCount(record.text), " [INFO] located here at 1.50");
  EXPECT_EQ(record.file, __FILE__);
  EXPECT_EQ(record.line, line);
  EXPECT_EQ(record.function, "TestBody");
}

TEST_F(LoggerStatementTest, PrintfFormRecordsItsLocation) {
  const int line = __LINE__ + 1;
  LARKSPUR_LOGF_DEBUG("size %zu, ratio %.3f", static_cast<std::size_t>(12), 0.25);
  const Record& record = Only();
  EXPECT_EQ(record.level, spdlog::level::debug);
  EXPECT_EQ(WithoutCount(record.text), " [DEBUG] size 12, ratio 0.250");
  EXPECT_EQ(record.file, __FILE__);
  EXPECT_EQ(record.line, line);
  EXPECT_EQ(record.function, "TestBody");
}

class Probe {
 public:
  Probe() { LARKSPUR_LOG_DEBUG("built"); }
  void Run() { LARKSPUR_LOGF_INFO("ran"); }
};

TEST_F(LoggerStatementTest, FunctionNameIsUnqualified) {
  Probe probe;
  probe.Run();
  ASSERT_EQ(sink_->records.size(), 2u);
  // A constructor reports its class name.
  EXPECT_EQ(sink_->records[0].function, "Probe");
  EXPECT_EQ(sink_->records[1].function, "Run");
}

TEST(LoggerCountTest, StatementBelowTheLevelGetsTheCurrentCount) {
  larkspur::Logger& logger = QuietDebugLogger();
  const unsigned passed = logger.GetCount(spdlog::level::info);
  EXPECT_EQ(logger.GetCount(spdlog::level::trace), passed);
  EXPECT_EQ(logger.GetCount(spdlog::level::debug), (passed + 1) % 128);
}

TEST(LoggerCountTest, ConcurrentCallersNeverShareOrSkipACount) {
  larkspur::Logger& logger = QuietDebugLogger();
  constexpr int kThreads = 4;
  constexpr int kCallsPerThread = 256;
  std::vector<std::vector<unsigned>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, &mine = seen[t]] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        mine.push_back(logger.GetCount(spdlog::level::info));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  // 1024 consecutive counts hit each of the 128 values exactly 8 times.
  std::array<int, 128> hits{};
  for (const auto& values : seen) {
    for (const unsigned value : values) {
      ASSERT_LT(value, 128u);
      ++hits[value];
    }
  }
  for (unsigned value = 0; value < 128; ++value) EXPECT_EQ(hits[value], 8) << value;
}

TEST(LoggerInstanceTest, IsNotRegisteredWithSpdlog) {
  QuietDebugLogger();
  EXPECT_EQ(spdlog::get("spdlog"), nullptr);
}

TEST(LoggerInstanceTest, StatementWithoutSpdlogLoggerIsDropped) {
  // The state a statement meets when the constructor could not build the
  // spdlog logger.
  larkspur::detail::Write(nullptr, spdlog::source_loc{__FILE__, __LINE__, __func__},
                          spdlog::level::info, "  1 [INFO] dropped");
  SUCCEED();
}

}  // namespace
