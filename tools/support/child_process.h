// Runs a program of the build in a child process, through the emulator of a
// cross build, and collects its standard output and error together. The
// logger reads its environment once per process, so every environment under
// test needs a process of its own.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace larkspur {
namespace support {

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string output;  // standard output and standard error, merged
};

// The logger variables are unset unless `logger_env` names them; the rest of
// the environment (sanitizer options and the like) is passed on. `folder` is
// the working directory when not empty.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& logger_env,
                     const std::string& folder = "");

}  // namespace support
}  // namespace larkspur
