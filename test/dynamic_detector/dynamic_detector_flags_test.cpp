// The flag forms of both detectors against their split outputs on the
// recordings: two detectors driven alike, one giving clouds or scans, the
// other flags, classify every point and beam the same way.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "carmen.h"
#include "datasets.h"
#include "kitti_camera.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "recorded_scan_detector.h"

namespace kestrel::perception {
namespace {

namespace datasets = larkspur::datasets;
using Cloud = DynamicCloudDetector::Cloud;
using LaserScan = sensor_msgs::msg::LaserScan;

constexpr float kNotInThisScan = std::numeric_limits<float>::max();

// The flagged points, in order, are the dynamic cloud; the others the static.
void ExpectFlagsSplit(const Cloud& input, const std::vector<std::uint8_t>& flags,
                      const Cloud& dynamic_cloud, const Cloud& static_cloud) {
  ASSERT_EQ(flags.size(), input.size());
  std::size_t next_dynamic = 0, next_static = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    ASSERT_LE(flags[i], 1);
    const Cloud& out = flags[i] != 0 ? dynamic_cloud : static_cloud;
    std::size_t& next = flags[i] != 0 ? next_dynamic : next_static;
    ASSERT_LT(next, out.size()) << "point " << i;
    ASSERT_EQ(input[i].getVector3fMap(), out[next].getVector3fMap()) << "point " << i;
    ++next;
  }
  EXPECT_EQ(next_dynamic, dynamic_cloud.size());
  EXPECT_EQ(next_static, static_cloud.size());
}

TEST(DynamicCloudDetectorFlagsTest, FlagsSplitKittiFramesAsDivideCloudDoes) {
  const auto poses_path = datasets::SharedDataPath("kitti_hdl64/poses_estimated.txt");
  if (!poses_path) GTEST_SKIP() << "kitti_hdl64 recordings absent";
  const CameraInfo camera = larkspur::support::KittiCamera();
  const std::vector<Eigen::Matrix4f> poses = datasets::ReadKittiPoses(*poses_path);
  DynamicCloudDetector detector(
      YAML::Load("{resolution: 0.1, width: 20, occupancy_threshold: 0.0, log_odds_obstacle: 0.4, "
                 "log_odds_occlusion: 0.2, log_odds_free_space: -0.4}"));
  detector.Init(camera);
  std::size_t dynamic_points = 0;
  for (int frame = 0; frame < 6; ++frame) {
    const auto path =
        datasets::SharedDataPath("kitti_hdl64/velodyne/00000" + std::to_string(frame) + ".bin");
    if (!path) GTEST_SKIP() << "kitti_hdl64 frame " << frame << " absent";
    const std::shared_ptr<Cloud> cloud = datasets::ReadKittiBin(*path);
    detector.Update(cloud, poses[static_cast<std::size_t>(frame)], false);
    Cloud dynamic_cloud, static_cloud;
    detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);
    std::vector<std::uint8_t> flags(3, 7);
    detector.DivideCloud(*cloud, flags);
    SCOPED_TRACE("frame " + std::to_string(frame));
    ExpectFlagsSplit(*cloud, flags, dynamic_cloud, static_cloud);
    dynamic_points += dynamic_cloud.size();
  }
  EXPECT_GT(dynamic_points, 0u);
}

struct LaserRecording {
  std::string name;
  std::string file;
  std::size_t scans;
};

class DynamicLaserDetectorFlagsTest : public ::testing::TestWithParam<LaserRecording> {};

TEST_P(DynamicLaserDetectorFlagsTest, FlagsSplitRecordedScansAsProcessDoes) {
  const auto& [name, file, scans] = GetParam();
  const auto path = datasets::SharedDataPath(file);
  if (!path) GTEST_SKIP() << file << " is not in the shared data folder";
  const auto records = file.find(".clf") != std::string::npos ? datasets::ReadCarmenLog(*path)
                                                              : datasets::ReadLaserPeople(*path);
  ASSERT_GE(records.size(), scans);
  const auto with_scans = larkspur::support::RecordedScanLaserDetector(16);
  const auto with_flags = larkspur::support::RecordedScanLaserDetector(16);
  auto dynamic_scan = std::make_shared<LaserScan>(), static_scan = std::make_shared<LaserScan>();
  std::vector<std::uint8_t> flags;
  std::size_t dynamic_beams = 0;
  for (std::size_t k = 0; k < scans; ++k) {
    const auto scan = std::make_shared<const LaserScan>(records[k].scan);
    with_scans->Process(scan, records[k].pose, dynamic_scan, static_scan);
    with_flags->Process(scan, records[k].pose, flags);
    ASSERT_EQ(flags.size(), scan->ranges.size());
    for (std::size_t beam = 0; beam < flags.size(); ++beam) {
      // Readings past the used beams are in neither scan's dynamic part.
      const bool dynamic = dynamic_scan->ranges[beam] != kNotInThisScan &&
                           beam < static_scan->ranges.size() &&
                           static_scan->ranges[beam] == kNotInThisScan;
      ASSERT_EQ(flags[beam] != 0, dynamic) << "scan " << k << ", beam " << beam;
      dynamic_beams += flags[beam];
    }
  }
  EXPECT_GT(dynamic_beams, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, DynamicLaserDetectorFlagsTest,
    ::testing::Values(LaserRecording{"people", "laser_people/scans.txt", 400},
                      LaserRecording{"intel", "laser_intel/intel_excerpt.clf", 400}),
    [](const ::testing::TestParamInfo<LaserRecording>& info) { return info.param.name; });

TEST(DynamicLaserDetectorFlagsTest, NullScanEmptiesTheFlags) {
  const auto detector = larkspur::support::RecordedScanLaserDetector(16);
  std::vector<std::uint8_t> flags{1, 1};
  detector->Process(nullptr, datasets::PlanarPose(0.0, 0.0, 0.0), flags);
  EXPECT_TRUE(flags.empty());
}

}  // namespace
}  // namespace kestrel::perception
