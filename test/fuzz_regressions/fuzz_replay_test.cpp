// Every saved fuzz input (inputs/<fuzz target>/<name>) run through its
// target's decoder and body, with the same expectations as under the fuzzer:
// no crash, no sanitizer report, only documented exceptions.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "checks.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "reader_targets.h"
#include "targets.h"

namespace larkspur::fuzz {
namespace {

TEST(SavedFuzzInputs, RunThroughTheirTargets) {
  const std::map<std::string, void (*)(const std::uint8_t*, std::size_t)> targets = {
      {"detector_config_fuzzer", RunDetectorConfig},
      {"cloud_detector_fuzzer", RunCloudDetector},
      {"laser_detector_fuzzer", RunLaserDetector},
      {"ground_removal_fuzzer", RunGroundRemoval},
      {"cloud_cluster_fuzzer", RunCloudCluster},
      {"camera_frame_fuzzer", RunCameraFrame},
      {"kitti_bin_reader_fuzzer", RunKittiBinReader},
      {"kitti_label_reader_fuzzer", RunKittiLabelReader},
      {"kitti_poses_reader_fuzzer", RunKittiPosesReader},
      {"kitti_calib_reader_fuzzer", RunKittiCalibReader},
      {"pcd_reader_fuzzer", RunPcdReader},
      {"carmen_reader_fuzzer", RunCarmenReader},
      {"laser_text_reader_fuzzer", RunLaserTextReader}};
  std::size_t replayed = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(LARKSPUR_FUZZ_INPUTS_DIR)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().string());
    const auto target = targets.find(entry.path().parent_path().filename().string());
    ASSERT_NE(target, targets.end()) << "no fuzz target of that name";
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    target->second(bytes.data(), bytes.size());
    ++replayed;
  }
  EXPECT_GT(replayed, 0u);
}

// A cloud 36 m by 128 m made a clustering grid of 46 million cells (1.1 GB);
// grids beyond kMaxGridCells are refused. Replaying that input without the
// bound would only be slow, so the bound is checked here: a 41 m square at
// the default 0.01 m step needs 4101 x 4101 cells.
TEST(SavedFuzzInputs, ClusteringRefusesAGridBeyondTheCellBound) {
  ASSERT_LT(kestrel::perception::CloudCluster::kMaxGridCells, std::int64_t{4101} * 4101);
  auto cloud = std::make_shared<Cloud>();
  for (const float z : {0.1f, 0.2f, 0.3f}) cloud->push_back({0.001f, 0.001f, z});
  cloud->push_back({41.0f, 41.0f, 0.0f});
  std::vector<CloudPtr> clusters;
  int count = 0;
  kestrel::perception::CloudCluster().obstacleCluster(cloud, count, clusters);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(clusters.empty());
}

}  // namespace
}  // namespace larkspur::fuzz
