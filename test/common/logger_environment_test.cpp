// The logger's environment handling and console output, checked on the exact
// standard output of a fresh process per environment (logger_scenario).
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

namespace {

using larkspur_test::ChildResult;
using larkspur_test::LoggerEnv;
using larkspur_test::RunChild;

const std::string kStdoutNotSet = "environment variable SPDLOG_STDOUT is not set, and set true\n";
const std::string kStdoutInvalid = "environment variable SPDLOG_STDOUT is invalid, and set true\n";
const std::string kSystemdNotSet =
    "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
const std::string kSystemdInvalid =
    "environment variable SPDLOG_SYSTEMD is invalid, and set false\n";
const std::string kLevelNotSet =
    "environment variable SPDLOG_LEVEL is not set, and set default level\n";
const std::string kLevelInvalid =
    "environment variable SPDLOG_LEVEL is invalid, and set default level\n";

// Output of `logger_scenario mixed` at each level. Debug statements below the
// level neither print nor advance the count.
const std::string kMixedAtInfo =
    "  1 [INFO] alpha 1\n"
    "  2 [INFO] gamma 3\n"
    "  3 [INFO] epsilon\n"
    "next 4\n";
const std::string kMixedAtDebug =
    "  1 [INFO] alpha 1\n"
    "  2 [DEBUG] beta 2\n"
    "  3 [INFO] gamma 3\n"
    "  4 [DEBUG] delta 4.5\n"
    "  5 [INFO] epsilon\n"
    "next 6\n";
const std::string kMixedSilent = "next 1\n";
// Console off: nothing is printed, but the statements are still counted.
const std::string kMixedUnprinted = "next 4\n";

const LoggerEnv kConsoleAtInfo = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

LoggerEnv WithLevel(const std::string& level) {
  LoggerEnv env = kConsoleAtInfo;
  env["SPDLOG_LEVEL"] = level;
  return env;
}

LoggerEnv WithStdout(const std::string& value) {
  LoggerEnv env = kConsoleAtInfo;
  env["SPDLOG_STDOUT"] = value;
  return env;
}

ChildResult RunScenario(std::vector<std::string> args, const LoggerEnv& env) {
  return RunChild(LARKSPUR_LOGGER_SCENARIO, std::move(args), env);
}

// "0123456789" repeated up to `length` characters.
std::string Digits(int length) {
  std::string text;
  for (int i = 0; i < length; ++i) text += static_cast<char>('0' + i % 10);
  return text;
}

struct EnvironmentCase {
  const char* name;
  LoggerEnv env;
  std::string expected_out;
};

void PrintTo(const EnvironmentCase& c, std::ostream* os) { *os << c.name; }

class LoggerEnvironmentTest : public testing::TestWithParam<EnvironmentCase> {};

TEST_P(LoggerEnvironmentTest, PrintsNoticesThenStatements) {
  const ChildResult result = RunScenario({"mixed"}, GetParam().env);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, GetParam().expected_out);
  EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Variables, LoggerEnvironmentTest,
    testing::Values(
        EnvironmentCase{
            "NothingSet", {}, kStdoutNotSet + kSystemdNotSet + kLevelNotSet + kMixedAtInfo},
        EnvironmentCase{"AllValid", kConsoleAtInfo, kMixedAtInfo},
        EnvironmentCase{"OnlyLevelSet",
                        {{"SPDLOG_LEVEL", "debug"}},
                        kStdoutNotSet + kSystemdNotSet + kMixedAtDebug},
        EnvironmentCase{"LevelTrace", WithLevel("trace"), kMixedAtDebug},
        EnvironmentCase{"LevelDebug", WithLevel("debug"), kMixedAtDebug},
        EnvironmentCase{"LevelWarning", WithLevel("warning"), kMixedSilent},
        EnvironmentCase{"LevelError", WithLevel("error"), kMixedSilent},
        EnvironmentCase{"LevelCritical", WithLevel("critical"), kMixedSilent},
        EnvironmentCase{"LevelUpperCase", WithLevel("DEBUG"), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelCapitalised", WithLevel("Warning"), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelSpdlogWarn", WithLevel("warn"), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelSpdlogErr", WithLevel("err"), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelOff", WithLevel("off"), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelNumber", WithLevel("1"), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelTrailingSpace", WithLevel("debug "), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"LevelEmpty", WithLevel(""), kLevelInvalid + kMixedAtInfo},
        EnvironmentCase{"StdoutFalse",
                        {{"SPDLOG_STDOUT", "false"}},
                        kSystemdNotSet + kLevelNotSet + kMixedUnprinted},
        EnvironmentCase{
            "StdoutFalseAtDebug",
            {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "debug"}},
            "next 6\n"},
        EnvironmentCase{"StdoutOne", WithStdout("1"), kStdoutInvalid + kMixedAtInfo},
        EnvironmentCase{"StdoutUpperCase", WithStdout("TRUE"), kStdoutInvalid + kMixedAtInfo},
        EnvironmentCase{"StdoutUpperCaseFalse", WithStdout("FALSE"), kStdoutInvalid + kMixedAtInfo},
        EnvironmentCase{"StdoutEmpty", WithStdout(""), kStdoutInvalid + kMixedAtInfo},
        EnvironmentCase{
            "SystemdOne",
            {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "1"}, {"SPDLOG_LEVEL", "info"}},
            kSystemdInvalid + kMixedAtInfo},
        EnvironmentCase{
            "AllInvalidInReadingOrder",
            {{"SPDLOG_LEVEL", "loud"}, {"SPDLOG_SYSTEMD", "no"}, {"SPDLOG_STDOUT", "yes"}},
            kStdoutInvalid + kSystemdInvalid + kLevelInvalid + kMixedAtInfo}),
    [](const testing::TestParamInfo<EnvironmentCase>& info) { return info.param.name; });

// Line of `logger_scenario count` statement `i` with the count `count`.
std::string CountLine(int count, int i) {
  char prefix[16];
  std::snprintf(prefix, sizeof(prefix), "%3d", count);
  return std::string(prefix) + " [INFO] statement " + std::to_string(i) + "\n";
}

TEST(LoggerCountTest, RunsFromOneTo127ThenWrapsToZero) {
  const ChildResult result = RunScenario({"count", "129"}, kConsoleAtInfo);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::string expected;
  for (int i = 1; i <= 127; ++i) expected += CountLine(i, i);
  expected += "  0 [INFO] statement 128\n";
  expected += "  1 [INFO] statement 129\n";
  EXPECT_EQ(result.out, expected);
}

TEST(LoggerCountTest, KeepsTheSevenBitSequenceAcrossTheEightBitWrap) {
  const ChildResult result = RunScenario({"count", "300"}, kConsoleAtInfo);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  for (const std::string& line :
       {CountLine(127, 255), CountLine(0, 256), CountLine(1, 257), CountLine(44, 300)}) {
    EXPECT_NE(result.out.find(line), std::string::npos) << line;
  }
}

TEST(LoggerCountTest, CountsDebugStatementsWhenTheyPass) {
  const ChildResult result = RunScenario({"count", "64"}, WithLevel("debug"));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // Statement 64's debug line is the 127th, its info line the 128th.
  EXPECT_NE(result.out.find("127 [DEBUG] hidden 64\n  0 [INFO] statement 64\n"), std::string::npos);
  EXPECT_EQ(result.out.rfind("  1 [DEBUG] hidden 1\n  2 [INFO] statement 1\n", 0), 0u);
}

class LoggerPrintfLengthTest : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(LoggerPrintfLengthTest, KeepsAtMost999Characters) {
  const auto [length, kept] = GetParam();
  const ChildResult result = RunScenario({"long", std::to_string(length)}, kConsoleAtInfo);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "  1 [INFO] " + Digits(kept) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LoggerPrintfLengthTest,
                         testing::Values(std::pair{998, 998}, std::pair{999, 999},
                                         std::pair{1000, 999}, std::pair{1500, 999}));

TEST(LoggerBracesTest, PrintsBracesAsTheyStand) {
  const ChildResult result = RunScenario({"braces"}, kConsoleAtInfo);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "  1 [INFO] {} {0} {5} {:>{}}\n"
            "  2 [INFO] {0} and {\n");
  EXPECT_EQ(result.err, "");
}

}  // namespace
