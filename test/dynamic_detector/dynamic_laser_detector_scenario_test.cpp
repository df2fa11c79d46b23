#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>

#include "datasets.h"

namespace kestrel::perception {
namespace {

using sensor_msgs::msg::LaserScan;

// File, scans to replay, scans before the robot starts to drive.
using Recording = std::tuple<std::string, std::size_t, std::size_t>;
class DynamicLaserDetectorScenario : public ::testing::TestWithParam<Recording> {};

// On recorded scans, every used beam goes to exactly one output scan with its
// reading, and a reading that stayed within 2 cm over the 20 scans before while
// the robot stands still (an obstacle seen again and again) is static.
TEST_P(DynamicLaserDetectorScenario, EveryBeamInOneScanAndStableReadingsStatic) {
  const auto& [file, scans, standing] = GetParam();
  const auto path = larkspur::datasets::SharedDataPath(file);
  if (!path) GTEST_SKIP() << file << " is not in the shared data folder";
  const auto records = file.find(".clf") != std::string::npos
                           ? larkspur::datasets::ReadCarmenLog(*path)
                           : larkspur::datasets::ReadLaserPeople(*path);
  ASSERT_GE(records.size(), scans);
  const auto detector = larkspur::datasets::RecordedScanLaserDetector(16);
  auto dynamic_scan = std::make_shared<LaserScan>(), static_scan = std::make_shared<LaserScan>();
  std::size_t stable = 0, stable_dynamic = 0;
  for (std::size_t k = 0; k < scans; ++k) {
    const LaserScan& scan = records[k].scan;
    detector->Process(std::make_shared<LaserScan>(scan), records[k].pose, dynamic_scan,
                      static_scan);
    ASSERT_EQ(dynamic_scan->ranges.size(), scan.ranges.size());
    ASSERT_EQ(static_scan->ranges.size(), scan.ranges.size());
    const auto beams =
        static_cast<std::size_t>((scan.angle_max - scan.angle_min) / scan.angle_increment);
    for (std::size_t beam = 0; beam < beams; ++beam) {
      const float reading = scan.ranges[beam];
      const bool dynamic = dynamic_scan->ranges[beam] != 3.4028235e38f;
      ASSERT_NE(dynamic, static_scan->ranges[beam] != 3.4028235e38f) << k << ", " << beam;
      ASSERT_THAT(dynamic ? dynamic_scan->ranges[beam] : static_scan->ranges[beam],
                  ::testing::NanSensitiveFloatEq(reading));
      bool still = k >= 20 && k < standing && scan.range_min < reading && reading < scan.range_max;
      for (std::size_t j = k - 20; still && j < k; ++j)
        still = std::fabs(records[j].scan.ranges[beam] - reading) <= 0.02f;
      stable += still;
      stable_dynamic += still && dynamic;
    }
  }
  ASSERT_GT(stable, 5000u);
  EXPECT_LE(stable_dynamic * 100, stable) << stable_dynamic << " of " << stable << " dynamic";
}

// People walking around a standing robot (512 beams, inf and NaN readings); a
// robot standing for 143 scans, then driving through a lab (180 beams, odometry).
INSTANTIATE_TEST_SUITE_P(Recordings, DynamicLaserDetectorScenario,
                         ::testing::Values(Recording{"laser_people/scans.txt", 800, 800},
                                           Recording{"laser_intel/intel_excerpt.clf", 450, 143}));

}  // namespace
}  // namespace kestrel::perception
