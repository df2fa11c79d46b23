// Runs a program in a child process with a chosen set of logger variables and
// collects what it writes. The logger reads its environment once per process,
// so every environment needs a process of its own.
#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace larkspur_test {

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Logger variables of a run: a variable absent from the map is unset.
using LoggerEnv = std::map<std::string, std::string>;

namespace detail {

inline bool IsLoggerVariable(const std::string& entry) {
  for (const char* name : {"SPDLOG_STDOUT=", "SPDLOG_SYSTEMD=", "SPDLOG_LEVEL="}) {
    if (entry.rfind(name, 0) == 0) return true;
  }
  return false;
}

// The parent's environment (sanitizer options and the like) with the logger
// variables replaced by `logger_env`.
inline std::vector<std::string> ChildEnvironment(const LoggerEnv& logger_env) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!IsLoggerVariable(*entry)) entries.emplace_back(*entry);
  }
  for (const auto& [name, value] : logger_env) entries.push_back(name + "=" + value);
  return entries;
}

inline std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads both pipes until the child closes them; polling avoids a deadlock when
// one of them fills up while the other is being read.
inline void Drain(int out_fd, int err_fd, ChildResult& result) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// Words of the emulator that runs the test programs of a cross build (its
// command line, words separated by spaces); none for a native build. A child
// built for the emulated CPU cannot be started directly either.
inline std::vector<std::string> EmulatorWords() {
  std::vector<std::string> words;
#ifdef LARKSPUR_TEST_EMULATOR
  const std::string line = LARKSPUR_TEST_EMULATOR;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
#endif
  return words;
}

}  // namespace detail

// Runs `program` with `args` and the environment described above.
inline ChildResult RunChild(const std::string& program, std::vector<std::string> args,
                            const LoggerEnv& logger_env) {
  args.insert(args.begin(), program);
  const std::vector<std::string> emulator = detail::EmulatorWords();
  args.insert(args.begin(), emulator.begin(), emulator.end());
  std::vector<std::string> env = detail::ChildEnvironment(logger_env);
  std::vector<char*> argv = detail::CStrings(args);
  std::vector<char*> envp = detail::CStrings(env);

  ChildResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0) return result;
  if (pipe(err_pipe) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  detail::Drain(out_pipe[0], err_pipe[0], result);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace larkspur_test
