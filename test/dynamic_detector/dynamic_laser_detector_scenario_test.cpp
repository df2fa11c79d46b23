// Recorded scans through the whole processing cycle: properties that must hold
// on real data rather than on hand-made geometry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"

namespace kestrel {
namespace perception {
namespace {

using larkspur::datasets::ScanRecord;
using sensor_msgs::msg::LaserScan;

constexpr float kMarker = 3.4028235e38f;

// Hits raise a cell by 0.4 (0.2 next to a hit), free space lowers it by 0.2:
// a cell hit in a few consecutive scans turns static.
std::unique_ptr<DynamicLaserDetector> MakeDetector(int width) {
  const std::string path = ::testing::TempDir() + "dynamic_laser_detector_scenario_" +
                           std::to_string(getpid()) + ".yaml";
  std::ofstream(path) << "resolution: 0.1\n"
                      << "width: " << width << "\n"
                      << "occupancy_threshold: 0.0\n"
                      << "log_odds_obstacle: 0.4\n"
                      << "log_odds_occlusion: 0.0\n"
                      << "log_odds_free_space: -0.2\n";
  auto detector = std::make_unique<DynamicLaserDetector>(path);
  std::remove(path.c_str());
  return detector;
}

std::size_t UsedBeams(const LaserScan& scan) {
  return static_cast<std::size_t>((scan.angle_max - scan.angle_min) / scan.angle_increment);
}

bool InLimits(const LaserScan& scan, float reading) {
  return std::isfinite(reading) && scan.range_min < reading && reading < scan.range_max;
}

bool SameReading(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The records with the two output scans of each, from one detector.
struct Replay {
  std::vector<ScanRecord> records;
  std::vector<LaserScan> dynamic_scans;
  std::vector<LaserScan> static_scans;

  const LaserScan& scan(std::size_t k) const { return records[k].scan; }
  float reading(std::size_t k, std::size_t beam) const { return records[k].scan.ranges[beam]; }
  bool IsDynamic(std::size_t k, std::size_t beam) const {
    return dynamic_scans[k].ranges[beam] != kMarker;
  }
};

std::optional<Replay> Replayed(const std::string& relative, bool carmen, std::size_t count,
                               int grid_width) {
  const auto path = larkspur::datasets::SharedDataPath(relative);
  if (!path) return std::nullopt;
  Replay replay;
  replay.records = carmen ? larkspur::datasets::ReadCarmenLog(*path)
                          : larkspur::datasets::ReadLaserPeople(*path);
  if (replay.records.size() > count) replay.records.resize(count);
  const auto detector = MakeDetector(grid_width);
  for (const ScanRecord& record : replay.records) {
    auto dynamic_scan = std::make_shared<LaserScan>();
    auto static_scan = std::make_shared<LaserScan>();
    detector->Process(std::make_shared<const LaserScan>(record.scan), record.pose, dynamic_scan,
                      static_scan);
    replay.dynamic_scans.push_back(*dynamic_scan);
    replay.static_scans.push_back(*static_scan);
  }
  return replay;
}

struct Tally {
  std::size_t beams = 0;
  std::size_t dynamic = 0;
  double DynamicShare() const { return static_cast<double>(dynamic) / static_cast<double>(beams); }
};

// Beams of scans [from, to) whose reading stayed within 2 cm over the 20
// scans before: an obstacle that does not move, seen again and again.
Tally StableBeams(const Replay& replay, std::size_t from, std::size_t to) {
  Tally tally;
  for (std::size_t k = from; k < to; ++k) {
    const LaserScan& scan = replay.scan(k);
    for (std::size_t beam = 0; beam < UsedBeams(scan); ++beam) {
      const float reading = replay.reading(k, beam);
      bool stable = InLimits(scan, reading);
      for (std::size_t j = k - 20; j < k && stable; ++j) {
        const float before = replay.reading(j, beam);
        stable = InLimits(scan, before) && std::fabs(before - reading) <= 0.02f;
      }
      if (!stable) continue;
      ++tally.beams;
      if (replay.IsDynamic(k, beam)) ++tally.dynamic;
    }
  }
  return tally;
}

// Beams of scans [from, to) that end at least 1 m out, where the same beam
// read at least 0.5 m farther in each of the 10 scans before, and no beam
// within 10 of it ended within 0.5 m of that distance in the 60 scans before:
// something stepped into space that had been seen free.
Tally JumpsIntoFreeSpace(const Replay& replay, std::size_t from, std::size_t to) {
  constexpr std::size_t kSide = 10;
  Tally tally;
  for (std::size_t k = from; k < to; ++k) {
    const LaserScan& scan = replay.scan(k);
    const std::size_t beams = UsedBeams(scan);
    for (std::size_t beam = kSide; beam + kSide < beams; ++beam) {
      const float reading = replay.reading(k, beam);
      if (!InLimits(scan, reading) || reading < 1.0f) continue;
      bool jump = true;
      for (std::size_t j = k - 10; j < k && jump; ++j) {
        const float before = replay.reading(j, beam);
        jump = std::isfinite(before) && before >= reading + 0.5f;
      }
      for (std::size_t j = k - 60; j < k && jump; ++j) {
        for (std::size_t side = beam - kSide; side <= beam + kSide && jump; ++side) {
          const float before = replay.reading(j, side);
          jump = !InLimits(scan, before) || std::fabs(before - reading) >= 0.5f;
        }
      }
      if (!jump) continue;
      ++tally.beams;
      if (replay.IsDynamic(k, beam)) ++tally.dynamic;
    }
  }
  return tally;
}

void ExpectEveryBeamInExactlyOneScan(const Replay& replay) {
  std::size_t misplaced = 0;
  for (std::size_t k = 0; k < replay.records.size(); ++k) {
    const LaserScan& scan = replay.scan(k);
    const LaserScan& dynamic_scan = replay.dynamic_scans[k];
    const LaserScan& static_scan = replay.static_scans[k];
    ASSERT_EQ(dynamic_scan.ranges.size(), scan.ranges.size());
    ASSERT_EQ(static_scan.ranges.size(), scan.ranges.size());
    for (std::size_t beam = 0; beam < UsedBeams(scan); ++beam) {
      const bool in_dynamic = dynamic_scan.ranges[beam] != kMarker;
      const bool in_static = static_scan.ranges[beam] != kMarker;
      const float kept = in_dynamic ? dynamic_scan.ranges[beam] : static_scan.ranges[beam];
      if (in_dynamic == in_static || !SameReading(kept, scan.ranges[beam])) ++misplaced;
    }
  }
  EXPECT_EQ(misplaced, 0u);
}

// People walking around a robot that stands still: 512 beams with inf and NaN
// readings, range limits 0.02 to 5.6 m, identity pose.
TEST(DynamicLaserDetectorScenario, PeopleWalkingAroundAStandingRobot) {
  const auto replay = Replayed("laser_people/scans.txt", false, 800, 12);
  if (!replay) GTEST_SKIP() << "laser_people/scans.txt is not in the shared data folder";
  ASSERT_EQ(replay->records.size(), 800u);
  ASSERT_EQ(replay->scan(0).ranges.size(), 512u);
  ExpectEveryBeamInExactlyOneScan(*replay);

  const Tally stable = StableBeams(*replay, 20, replay->records.size());
  ASSERT_GT(stable.beams, 10000u);
  EXPECT_LE(stable.DynamicShare(), 0.01) << stable.dynamic << " of " << stable.beams;

  const Tally jumps = JumpsIntoFreeSpace(*replay, 60, replay->records.size());
  ASSERT_GT(jumps.beams, 50u);
  EXPECT_GE(jumps.DynamicShare(), 0.95) << jumps.dynamic << " of " << jumps.beams;
}

// A robot that stands still for the first 143 scans and then drives through
// the Intel lab: 180 beams, no return read as 81.0 m and more.
TEST(DynamicLaserDetectorScenario, RobotStandingThenDrivingThroughALab) {
  constexpr std::size_t kStanding = 143;
  const auto replay = Replayed("laser_intel/intel_excerpt.clf", true, 450, 20);
  if (!replay) GTEST_SKIP() << "laser_intel/intel_excerpt.clf is not in the shared data folder";
  ASSERT_EQ(replay->records.size(), 450u);
  ASSERT_EQ(replay->scan(0).ranges.size(), 180u);
  ExpectEveryBeamInExactlyOneScan(*replay);

  const Tally stable = StableBeams(*replay, 20, kStanding);
  ASSERT_GT(stable.beams, 5000u);
  EXPECT_LE(stable.DynamicShare(), 0.01) << stable.dynamic << " of " << stable.beams;

  // The grid follows the robot, so walls within it stay static while the
  // robot drives and turns. Moving the grid the wrong way round, in
  // translation or in rotation, sends a quarter of these beams or more to the
  // dynamic scan.
  Tally walls;
  for (std::size_t k = kStanding + 50; k < replay->records.size(); ++k) {
    const LaserScan& scan = replay->scan(k);
    for (std::size_t beam = 0; beam < UsedBeams(scan); ++beam) {
      const float reading = replay->reading(k, beam);
      if (!InLimits(scan, reading) || reading > 9.0f) continue;
      ++walls.beams;
      if (replay->IsDynamic(k, beam)) ++walls.dynamic;
    }
  }
  ASSERT_GT(walls.beams, 30000u);
  EXPECT_LE(walls.DynamicShare(), 0.12) << walls.dynamic << " of " << walls.beams;
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
