// What a statement sends to the systemd journal, received on the journal's
// socket path inside a private mount namespace (needs root; skipped without).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "child_process.h"

namespace {

constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
constexpr int kNoPrivateNamespace = 77;
constexpr int kHelperFailed = 78;
constexpr int kSocketFailed = 79;

void WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Child side: a tmpfs over /run hides the host's journal, a datagram socket
// takes its place, and the scenario logs one statement to it. Reports the
// scenario's standard output, its standard error and the datagram, separated
// by NUL bytes.
int ReceiveJournalEntry(int report_fd) {
  if (unshare(CLONE_NEWNS) != 0) return kNoPrivateNamespace;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kNoPrivateNamespace;
  if (mount("larkspur-test", "/run", "tmpfs", 0, "mode=0755") != 0) return kNoPrivateNamespace;
  if (mkdir("/run/systemd", 0755) != 0 || mkdir("/run/systemd/journal", 0755) != 0) {
    return kSocketFailed;
  }
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kJournalSocket, sizeof(address.sun_path) - 1);
  if (sock < 0 || bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return kSocketFailed;
  }

  const larkspur_test::ChildResult run = larkspur_test::RunChild(
      LARKSPUR_LOGGER_SCENARIO, {"journal"},
      {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "true"}, {"SPDLOG_LEVEL", "info"}});
  if (run.exit_code != 0) return kHelperFailed;

  std::string datagram(1 << 16, '\0');
  const ssize_t received = recv(sock, datagram.data(), datagram.size(), MSG_DONTWAIT);
  datagram.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
  WriteAll(report_fd, run.out + '\0' + run.err + '\0' + datagram);
  return 0;
}

// Journal export fields: "NAME=value\n", or for values holding a newline
// "NAME\n", a 64-bit little-endian length, the value and "\n".
std::map<std::string, std::string> ParseFields(const std::string& datagram) {
  std::map<std::string, std::string> fields;
  std::size_t pos = 0;
  while (pos < datagram.size()) {
    std::size_t end = datagram.find('\n', pos);
    if (end == std::string::npos) end = datagram.size();
    const std::size_t equals = datagram.find('=', pos);
    if (equals < end) {
      fields[datagram.substr(pos, equals - pos)] = datagram.substr(equals + 1, end - equals - 1);
      pos = end + 1;
      continue;
    }
    const std::string name = datagram.substr(pos, end - pos);
    pos = end + 1;
    if (pos + 8 > datagram.size()) break;
    std::uint64_t length = 0;
    for (int byte = 7; byte >= 0; --byte) {
      length = (length << 8) | static_cast<unsigned char>(datagram[pos + byte]);
    }
    pos += 8;
    fields[name] = datagram.substr(pos, length);
    pos += length + 1;
  }
  return fields;
}

TEST(LoggerJournalTest, StatementReachesTheJournalWithItsLocation) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(report[0]);
    _exit(ReceiveJournalEntry(report[1]));
  }
  close(report[1]);
  std::string reported;
  char buffer[4096];
  ssize_t n;
  while ((n = read(report[0], buffer, sizeof(buffer))) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    reported.append(buffer, static_cast<std::size_t>(n));
  }
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoPrivateNamespace) {
    GTEST_SKIP() << "no private mount namespace (needs root): journal output not checked";
  }
  ASSERT_EQ(WEXITSTATUS(status), 0);

  const std::size_t first_nul = reported.find('\0');
  const std::size_t second_nul = reported.find('\0', first_nul + 1);
  ASSERT_NE(second_nul, std::string::npos);
  // The scenario prints "<file>:<line>\n" of its statement and nothing else,
  // its console being off.
  const std::string location = reported.substr(0, first_nul);
  const std::string errors = reported.substr(first_nul + 1, second_nul - first_nul - 1);
  EXPECT_EQ(errors, "");
  const std::map<std::string, std::string> fields = ParseFields(reported.substr(second_nul + 1));
  ASSERT_FALSE(fields.empty()) << "nothing arrived on " << kJournalSocket;

  const auto field = [&fields](const std::string& name) {
    const auto found = fields.find(name);
    return found == fields.end() ? "<missing " + name + ">" : found->second;
  };
  EXPECT_EQ(field("MESSAGE"), "  1 [INFO] journal entry 42");
  EXPECT_EQ(field("PRIORITY"), "6");  // LOG_INFO
  EXPECT_EQ(field("SYSLOG_IDENTIFIER"), "spdlog");
  EXPECT_NE(location.find("logger_scenario.cpp:"), std::string::npos) << location;
  EXPECT_EQ(field("CODE_FILE") + ":" + field("CODE_LINE") + "\n", location);
  EXPECT_EQ(field("CODE_FUNC"), "LogToJournal");
}

}  // namespace
