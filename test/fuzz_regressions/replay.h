// Saved fuzz inputs of the regression tests, read from
// test/fuzz_regressions/inputs/<fuzz target>/.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace larkspur {
namespace fuzz {

inline std::filesystem::path InputsDir(const std::string& target) {
  return std::filesystem::path(LARKSPUR_FUZZ_INPUTS_DIR) / target;
}

inline std::vector<std::uint8_t> ReadInput(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> ReadInput(const std::string& target, const std::string& name) {
  return ReadInput(InputsDir(target) / name);
}

// Names of the saved inputs of one target, sorted; none when it has none.
inline std::vector<std::string> InputNames(const std::string& target) {
  std::vector<std::string> names;
  if (!std::filesystem::is_directory(InputsDir(target))) return names;
  for (const auto& entry : std::filesystem::directory_iterator(InputsDir(target))) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace fuzz
}  // namespace larkspur
