#include "child_process.h"

#include <sys/wait.h>

#include <cstdio>

namespace larkspur {
namespace support {
namespace {

std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& logger_env,
                     const std::string& folder) {
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

}  // namespace support
}  // namespace larkspur
