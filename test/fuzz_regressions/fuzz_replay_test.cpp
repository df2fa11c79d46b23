// Every saved fuzz input (test/fuzz_regressions/inputs/<target>/<name>) run
// through its target's decoder and body, with the same expectations as under
// the fuzzer: no crash, no sanitizer report, only documented exceptions.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "replay.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

using Body = void (*)(const std::uint8_t*, std::size_t);

const std::vector<std::pair<std::string, Body>>& Targets() {
  static const std::vector<std::pair<std::string, Body>> targets = {
      {"detector_config_fuzzer", RunDetectorConfig}, {"cloud_detector_fuzzer", RunCloudDetector},
      {"laser_detector_fuzzer", RunLaserDetector},   {"ground_removal_fuzzer", RunGroundRemoval},
      {"cloud_cluster_fuzzer", RunCloudCluster},     {"camera_frame_fuzzer", RunCameraFrame}};
  return targets;
}

struct SavedInput {
  std::string target;
  std::string name;
  Body body;
};

void PrintTo(const SavedInput& input, std::ostream* out) {
  *out << input.target << "/" << input.name;
}

std::vector<SavedInput> SavedInputs() {
  std::vector<SavedInput> inputs;
  for (const auto& [target, body] : Targets()) {
    for (const std::string& name : InputNames(target)) inputs.push_back({target, name, body});
  }
  return inputs;
}

class SavedFuzzInput : public ::testing::TestWithParam<SavedInput> {};

TEST_P(SavedFuzzInput, RunsThroughItsTarget) {
  const std::vector<std::uint8_t> bytes = ReadInput(GetParam().target, GetParam().name);
  ASSERT_FALSE(bytes.empty()) << GetParam().target << "/" << GetParam().name;
  GetParam().body(bytes.data(), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Inputs, SavedFuzzInput, ::testing::ValuesIn(SavedInputs()),
                         [](const ::testing::TestParamInfo<SavedInput>& info) {
                           std::string name = info.param.target + "_" + info.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// The empty input decodes to the smallest input of every target.
TEST(EmptyFuzzInput, RunsThroughEveryTarget) {
  for (const auto& [target, body] : Targets()) {
    SCOPED_TRACE(target);
    body(nullptr, 0);
  }
}

}  // namespace
}  // namespace fuzz
}  // namespace larkspur
