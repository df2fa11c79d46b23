// Runs a program of the build in a child process, through the emulator of a
// cross build, and collects its standard output and error together. The
// logger reads its environment once per process, so every environment under
// test needs a process of its own.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace larkspur_test {

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string output;  // standard output and standard error, merged
};

inline std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The logger variables are unset unless `logger_env` names them; the rest of
// the environment (sanitizer options and the like) is passed on. `folder` is
// the working directory when not empty.
inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& logger_env,
                            const std::string& folder = "") {
  std::string command = folder.empty() ? "" : "cd " + Quoted(folder) + " && ";
  command += "env -u SPDLOG_STDOUT -u SPDLOG_SYSTEMD -u SPDLOG_LEVEL";
  for (const auto& [name, value] : logger_env) command += " " + name + "=" + Quoted(value);
#ifdef LARKSPUR_TEST_EMULATOR
  command += " " LARKSPUR_TEST_EMULATOR;
#endif
  command += " " + Quoted(program);
  for (const std::string& arg : args) command += " " + Quoted(arg);
  ChildResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    result.output.append(buffer, n);
  }
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace larkspur_test
