#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "carmen.h"
#include "datasets.h"
#include "recorded_scan_detector.h"

namespace kestrel::perception {
namespace {

using sensor_msgs::msg::LaserScan;

// File, scans to replay, scans before the robot starts to drive, and how many
// jumps into free space and beams while driving the recording must hold.
using Recording = std::tuple<std::string, std::size_t, std::size_t, std::size_t, std::size_t>;
class DynamicLaserDetectorScenario : public ::testing::TestWithParam<Recording> {};

struct Tally {
  std::size_t beams = 0, dynamic = 0;
  void Add(bool counted, bool is_dynamic) {
    beams += counted;
    dynamic += counted && is_dynamic;
  }
};

bool InLimits(const LaserScan& scan, float reading) {
  return scan.range_min < reading && reading < scan.range_max;
}

// A reading at least 1 m out where the same beam read at least 0.5 m farther
// in each of the 10 scans before, and no beam within 10 of it ended within
// 0.5 m of it in the 60 scans before: something stepped into space seen free.
bool JumpsIntoFreeSpace(const std::vector<larkspur::datasets::ScanRecord>& records, std::size_t k,
                        std::size_t beam, std::size_t beams) {
  const LaserScan& scan = records[k].scan;
  const float reading = scan.ranges[beam];
  if (k < 60 || beam < 10 || beam + 10 >= beams || !InLimits(scan, reading) || reading < 1.0f)
    return false;
  for (std::size_t j = k - 10; j < k; ++j) {
    const float before = records[j].scan.ranges[beam];
    if (!std::isfinite(before) || before < reading + 0.5f) return false;
  }
  for (std::size_t j = k - 60; j < k; ++j)
    for (std::size_t side = beam - 10; side <= beam + 10; ++side) {
      const float before = records[j].scan.ranges[side];
      if (InLimits(scan, before) && std::fabs(before - reading) < 0.5f) return false;
    }
  return true;
}

// On recorded scans, every used beam goes to exactly one output scan with its
// reading; a reading that stayed within 2 cm over the 20 scans before while
// the robot stands still (an obstacle seen again and again) is static; a beam
// that jumps into free space is dynamic; and walls stay static while the robot
// drives, which holds only if the grid follows the robot the right way round.
TEST_P(DynamicLaserDetectorScenario, EveryBeamInOneScanStaticStaysStaticMovingIsDynamic) {
  const auto& [file, scans, standing, min_jumps, min_walls] = GetParam();
  const auto path = larkspur::datasets::SharedDataPath(file);
  if (!path) GTEST_SKIP() << file << " is not in the shared data folder";
  const auto records = file.find(".clf") != std::string::npos
                           ? larkspur::datasets::ReadCarmenLog(*path)
                           : larkspur::datasets::ReadLaserPeople(*path);
  ASSERT_GE(records.size(), scans);
  const auto detector = larkspur::support::RecordedScanLaserDetector(16);
  auto dynamic_scan = std::make_shared<LaserScan>(), static_scan = std::make_shared<LaserScan>();
  Tally stable, jumps, walls;
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
      bool still = k >= 20 && k < standing && InLimits(scan, reading);
      for (std::size_t j = k - 20; still && j < k; ++j)
        still = std::fabs(records[j].scan.ranges[beam] - reading) <= 0.02f;
      stable.Add(still, dynamic);
      jumps.Add(k < standing && JumpsIntoFreeSpace(records, k, beam, beams), dynamic);
      walls.Add(k >= standing + 50 && InLimits(scan, reading) && reading <= 9.0f, dynamic);
    }
  }
  ASSERT_GT(stable.beams, 5000u);
  EXPECT_LE(stable.dynamic * 100, stable.beams) << stable.dynamic << " of " << stable.beams;
  ASSERT_GE(jumps.beams, min_jumps);
  EXPECT_GE(jumps.dynamic * 100, jumps.beams * 95) << jumps.dynamic << " of " << jumps.beams;
  ASSERT_GE(walls.beams, min_walls);
  EXPECT_LE(walls.dynamic * 100, walls.beams * 12) << walls.dynamic << " of " << walls.beams;
}

// People walking around a standing robot (512 beams, inf and NaN readings); a
// robot standing for 143 scans, then driving through a lab (180 beams, odometry).
INSTANTIATE_TEST_SUITE_P(Recordings, DynamicLaserDetectorScenario,
                         ::testing::Values(Recording{"laser_people/scans.txt", 800, 800, 50, 0},
                                           Recording{"laser_intel/intel_excerpt.clf", 450, 143, 0,
                                                     30000}));

}  // namespace
}  // namespace kestrel::perception
