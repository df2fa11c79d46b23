// The logger's environment handling, console and journal output, checked on
// what a fresh process (logger_scenario) writes under each environment.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using Env = std::map<std::string, std::string>;

std::string Notice(const std::string& text) { return "environment variable SPDLOG_" + text + "\n"; }
const std::string kStdoutNotSet = Notice("STDOUT is not set, and set true");
const std::string kStdoutInvalid = Notice("STDOUT is invalid, and set true");
const std::string kSystemdNotSet = Notice("SYSTEMD is not set, and set false");
const std::string kSystemdInvalid = Notice("SYSTEMD is invalid, and set false");
const std::string kLevelNotSet = Notice("LEVEL is not set, and set default level");
const std::string kLevelInvalid = Notice("LEVEL is invalid, and set default level");

// `logger_scenario mixed` at each level: statements below the level neither
// print nor advance the count; braces are printed as they stand.
const std::string kMixedAtInfo =
    "  1 [INFO] alpha 1\n  2 [INFO] gamma {3} {:>{}}\n"
    "  3 [INFO] epsilon {0}\nnext 4\n";
const std::string kMixedAtDebug =
    "  1 [INFO] alpha 1\n  2 [DEBUG] beta 2\n"
    "  3 [INFO] gamma {3} {:>{}}\n  4 [DEBUG] delta 4.5\n"
    "  5 [INFO] epsilon {0}\nnext 6\n";

const Env kConsoleAtInfo = {
    {"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}};

Env With(const std::string& variable, const std::string& value) {
  Env env = kConsoleAtInfo;
  env["SPDLOG_" + variable] = value;
  return env;
}

// The count runs 1..127, 0, 1.. through the 8-bit counter's own wrap at 256.
std::string CountLines(int statements) {
  std::string lines;
  for (int i = 1; i <= statements; ++i)
    lines += fmt::format("{:3d} [INFO] statement {}\n", i % 128, i);
  return lines;
}

std::string Digits(int length) {
  std::string text;
  for (int i = 0; i < length; ++i) text += static_cast<char>('0' + i % 10);
  return text;
}

struct Scenario {
  const char* name;
  Env env;
  std::vector<std::string> args;
  std::string expected;
};

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

class LoggerEnvironmentTest : public testing::TestWithParam<Scenario> {};

TEST_P(LoggerEnvironmentTest, PrintsNoticesThenStatements) {
  const larkspur::support::ChildResult result =
      larkspur::support::RunChild(LARKSPUR_LOGGER_SCENARIO, GetParam().args, GetParam().env);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, GetParam().expected);
}

const std::vector<std::string> kMixed = {"mixed"};
const std::string kLong999 = "  1 [INFO] " + Digits(999) + "\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Scenarios, LoggerEnvironmentTest, testing::Values(
    Scenario{"NothingSet", {}, kMixed, kStdoutNotSet + kSystemdNotSet + kLevelNotSet + kMixedAtInfo},
    Scenario{"OnlyLevel", {{"SPDLOG_LEVEL", "debug"}}, kMixed, kStdoutNotSet + kSystemdNotSet + kMixedAtDebug},
    Scenario{"WarningIsSilent", With("LEVEL", "warning"), kMixed, "next 1\n"},
    Scenario{"ConsoleOffStillCounts", {{"SPDLOG_STDOUT", "false"}}, kMixed, kSystemdNotSet + kLevelNotSet + "next 4\n"},
    Scenario{"LevelUpperCase", With("LEVEL", "DEBUG"), kMixed, kLevelInvalid + kMixedAtInfo},
    Scenario{"LevelSpdlogWord", With("LEVEL", "warn"), kMixed, kLevelInvalid + kMixedAtInfo},
    Scenario{"LevelEmpty", With("LEVEL", ""), kMixed, kLevelInvalid + kMixedAtInfo},
    Scenario{"StdoutOne", With("STDOUT", "1"), kMixed, kStdoutInvalid + kMixedAtInfo},
    Scenario{"SystemdOne", With("SYSTEMD", "1"), kMixed, kSystemdInvalid + kMixedAtInfo},
    Scenario{"AllInvalidInReadingOrder", {{"SPDLOG_LEVEL", "loud"}, {"SPDLOG_SYSTEMD", "no"}, {"SPDLOG_STDOUT", "yes"}},
             kMixed, kStdoutInvalid + kSystemdInvalid + kLevelInvalid + kMixedAtInfo},
    Scenario{"CountWraps", kConsoleAtInfo, {"count", "300"}, CountLines(300)},
    Scenario{"Printf999Kept", kConsoleAtInfo, {"long", "999"}, kLong999},
    Scenario{"Printf1000Cut", kConsoleAtInfo, {"long", "1000"}, kLong999},
    // Longer than the statement's stack buffer: the fmt form keeps it whole.
    Scenario{"Format3000Whole", kConsoleAtInfo, {"longfmt", "3000"}, "  1 [INFO] " + Digits(3000) + "\n"}),
    [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });
// clang-format on

constexpr int kNoPrivateNamespace = 77;

// In a child: a tmpfs over /run hides the host's journal, a datagram socket
// takes its place, and the scenario logs one statement to it. Writes the
// scenario's output, a NUL and the datagram to `report`.
int ReceiveJournalEntry(const std::string& report) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("larkspur-test", "/run", "tmpfs", 0, "mode=0755") != 0) {
    return kNoPrivateNamespace;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/run/systemd/journal/socket", sizeof(address.sun_path) - 1);
  const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (mkdir("/run/systemd", 0755) != 0 || mkdir("/run/systemd/journal", 0755) != 0 ||
      bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return 1;
  }
  const larkspur::support::ChildResult run = larkspur::support::RunChild(
      LARKSPUR_LOGGER_SCENARIO, {"journal"},
      {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "true"}, {"SPDLOG_LEVEL", "info"}});
  std::string datagram(1 << 16, '\0');
  const ssize_t received = recv(sock, datagram.data(), datagram.size(), MSG_DONTWAIT);
  datagram.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
  std::ofstream(report, std::ios::binary) << run.output << '\0' << datagram;
  return run.exit_code;
}

TEST(LoggerJournalTest, StatementReachesTheJournalWithItsLocation) {
  const std::string report =
      testing::TempDir() + "logger_journal_report_" + std::to_string(getpid());
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(ReceiveJournalEntry(report));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoPrivateNamespace) {
    GTEST_SKIP() << "no private mount namespace (needs root): journal output not checked";
  }
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::ifstream file(report, std::ios::binary);
  std::string location;
  std::getline(file, location, '\0');
  // The journal's fields are "NAME=value" lines (none of these values holds a
  // newline, which would switch to a length-prefixed form).
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(file, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  std::remove(report.c_str());
  EXPECT_EQ(fields["MESSAGE"], "  1 [INFO] journal entry 42");
  EXPECT_EQ(fields["PRIORITY"], "6");  // LOG_INFO
  EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "spdlog");
  // The console being off, the scenario prints only "<file>:<line>\n".
  EXPECT_NE(location.find("logger_scenario.cpp:"), std::string::npos) << location;
  EXPECT_EQ(fields["CODE_FILE"] + ":" + fields["CODE_LINE"] + "\n", location);
  EXPECT_EQ(fields["CODE_FUNC"], "main");
}

}  // namespace
