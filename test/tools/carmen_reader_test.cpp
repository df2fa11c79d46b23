// The CARMEN reader against logs built from a known beam layout: one straight
// wall seen by a laser at a known pose, each reading the distance along its
// beam to the wall. Read back with the right layout, every end point lies on
// the wall; with a wrong one the points bend away from it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "carmen.h"

namespace larkspur {
namespace datasets {
namespace {

namespace fs = std::filesystem;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;
// SICK lasers report this for no return.
constexpr double kNoReturn = 81.91;

// The laser stands at (kX, kY) heading kYaw; the wall is the line x = kWallX.
constexpr double kX = 1.5, kY = -2.0, kYaw = 0.3, kWallX = 6.0;

// A recorded layout: beam i looks at start + i * step (degrees, relative to
// the heading), and the lines that carry it.
struct WallLog {
  const char* name;
  int beams;
  double start_deg;
  double step_deg;
  std::string header;  // PARAM lines before the scans
  bool robot_laser;    // ROBOTLASER1 lines instead of FLASER lines
};

void PrintTo(const WallLog& log, std::ostream* out) { *out << log.name; }

// Distance along beam i to the wall, or no return where the beam meets the
// wall farther than 25 m or not at all.
std::vector<double> WallRanges(const WallLog& log) {
  std::vector<double> ranges;
  for (int i = 0; i < log.beams; ++i) {
    const double bearing = kYaw + (log.start_deg + i * log.step_deg) * kDegree;
    const double range = (kWallX - kX) / std::cos(bearing);
    ranges.push_back(range > 0.0 && range < 25.0 ? range : kNoReturn);
  }
  return ranges;
}

std::string ScanLine(const WallLog& log, double stamp) {
  std::string line;
  char number[64];
  const auto add = [&](double value) {
    std::snprintf(number, sizeof(number), " %.6f", value);
    line += number;
  };
  const std::vector<double> ranges = WallRanges(log);
  if (log.robot_laser) {
    line = "ROBOTLASER1 0";
    for (const double v : {log.start_deg * kDegree, (log.beams - 1) * log.step_deg * kDegree,
                           log.step_deg * kDegree, kNoReturn, 0.01, 0.0}) {
      add(v);
    }
    line += " " + std::to_string(log.beams);
    for (const double r : ranges) add(r);
    line += " 0";
    for (const double v : {kX, kY, kYaw, kX, kY, kYaw, 0.0, 0.0, 0.5, 0.3, 1.0, stamp}) add(v);
  } else {
    line = "FLASER " + std::to_string(log.beams);
    for (const double r : ranges) add(r);
    for (const double v : {kX, kY, kYaw, kX, kY, kYaw, stamp}) add(v);
  }
  return line + " nohost " + std::to_string(stamp) + "\n";
}

class CarmenReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string folder = (fs::temp_directory_path() / "larkspur_carmen_XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    dir_ = folder;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& text) const {
    const std::string path = (dir_ / "log.clf").string();
    std::ofstream(path) << text;
    return path;
  }

  fs::path dir_;
};

class WallTest : public CarmenReaderTest, public testing::WithParamInterface<WallLog> {};

TEST_P(WallTest, EndPointsLieOnTheWall) {
  const WallLog& log = GetParam();
  const std::string path =
      Write("# a straight wall\n" + log.header + ScanLine(log, 100.0) + ScanLine(log, 100.1));
  const std::vector<ScanRecord> scans = ReadCarmenLog(path);
  ASSERT_EQ(scans.size(), 2u);
  for (const ScanRecord& record : scans) {
    const auto& scan = record.scan;
    ASSERT_EQ(scan.ranges.size(), static_cast<std::size_t>(log.beams));
    const double x = record.pose.position.x;
    const double yaw = 2.0 * std::atan2(record.pose.orientation.z, record.pose.orientation.w);
    int on_wall = 0;
    for (int i = 0; i < log.beams; ++i) {
      const float r = scan.ranges[i];
      if (!(r < scan.range_max)) continue;  // no return
      // The bearing as the laser detector forms it, in single precision.
      const float beam = scan.angle_min + static_cast<float>(i) * scan.angle_increment;
      const double end_x = x + r * std::cos(yaw + beam);
      ASSERT_NEAR(end_x, kWallX, 0.01) << "beam " << i << " of " << log.beams;
      ++on_wall;
    }
    // The wall fills about 150 degrees of the view.
    EXPECT_GT(on_wall, log.beams / 2);
  }
}

// clang-format off
const WallLog kWallLogs[] = {
    {"Flaser180Beams", 180, -90.0, 1.0, "", false},
    {"Flaser181Beams", 181, -90.0, 1.0, "", false},
    {"Flaser361Beams", 361, -90.0, 0.5, "", false},
    {"FlaserWithParamResolution", 401, -50.0, 0.25,
     "PARAM laser_front_laser_fov 100 nohost 0\nPARAM laser_front_laser_resolution 0.25 nohost 0\n", false},
    {"FlaserWithParamStartAngle", 180, -60.0, 0.5,
     "PARAM laser_front_laser_start_angle -60.0 nohost 0\nPARAM laser_front_laser_resolution 0.5 nohost 0\n", false},
    {"RobotLaser361Beams", 361, -90.0, 0.5, "", true},
    {"RobotLaser1081Beams", 1081, -135.0, 0.25, "", true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Layouts, WallTest, testing::ValuesIn(kWallLogs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CarmenReaderTest, RearLaserLinesAreCountedNotReplayed) {
  const WallLog front{"front", 180, -90.0, 1.0, "", false};
  std::string text;
  for (int k = 0; k < 3; ++k) {
    text += ScanLine(front, 10.0 + k) + "RLASER 3 1.0 1.0 1.0 0 0 3.1 0 0 3.1 " +
            std::to_string(10.5 + k) + " nohost 0\n";
  }
  const CarmenLog log = ReadCarmen(Write(text));
  EXPECT_EQ(log.front_laser_lines, "FLASER");
  EXPECT_EQ(log.rear_laser_lines, 3u);
  ASSERT_EQ(log.scans.size(), 3u);
  for (const ScanRecord& record : log.scans) EXPECT_EQ(record.scan.ranges.size(), 180u);
}

TEST_F(CarmenReaderTest, RobotLaserLinesWinOverTheirFlaserCopies) {
  const WallLog flaser{"flaser", 180, -90.0, 1.0, "", false};
  const WallLog robot_laser{"robot_laser", 361, -90.0, 0.5, "", true};
  const CarmenLog log = ReadCarmen(Write(ScanLine(flaser, 1.0) + ScanLine(robot_laser, 1.0) +
                                         ScanLine(flaser, 2.0) + ScanLine(robot_laser, 2.0)));
  EXPECT_EQ(log.front_laser_lines, "ROBOTLASER1");
  ASSERT_EQ(log.scans.size(), 2u);
  EXPECT_EQ(log.scans[0].scan.ranges.size(), 361u);
  EXPECT_FLOAT_EQ(log.scans[0].scan.range_max, static_cast<float>(kNoReturn));
}

TEST_F(CarmenReaderTest, MaximumRangeComesFromTheLogWhenItStatesOne) {
  const WallLog front{"front", 181, -90.0, 1.0, "", false};
  EXPECT_EQ(ReadCarmenLog(Write(ScanLine(front, 1.0)))[0].scan.range_max, 81.0f);
  for (const char* key : {"robot_front_laser_max", "laser_front_laser_max_range"}) {
    const std::string param = std::string("PARAM ") + key + " 20.0 nohost 0\n";
    EXPECT_EQ(ReadCarmenLog(Write(param + ScanLine(front, 1.0)))[0].scan.range_max, 20.0f) << key;
  }
}

}  // namespace
}  // namespace datasets
}  // namespace larkspur
