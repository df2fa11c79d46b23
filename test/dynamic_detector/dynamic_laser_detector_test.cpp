#include "larkspur_perception_libs/dynamic_laser_detector.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <limits>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "datasets.h"
#include "logger.h"
#include "occupancy_grid.h"

namespace kestrel {
namespace perception {
namespace {

using sensor_msgs::msg::LaserScan;

// Debug lines are part of the behaviour under test; the console stays quiet.
// Set before the first log statement of the process creates the logger.
[[maybe_unused]] const bool kLoggerEnvironment = setenv("SPDLOG_LEVEL", "debug", 1) == 0 &&
                                                 setenv("SPDLOG_STDOUT", "false", 1) == 0 &&
                                                 setenv("SPDLOG_SYSTEMD", "false", 1) == 0;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMarker = 3.4028235e38f;

// Increments chosen so that every label leaves a distinct value on a fresh
// cell (-1): hit -0.2, sub-obstacle -0.6, occluded -0.7, free -0.95.
const char* const kLabelConfig =
    "resolution: 0.1\n"
    "width: 6\n"
    "occupancy_threshold: 0.0\n"
    "log_odds_obstacle: 0.8\n"
    "log_odds_occlusion: 0.3\n"
    "log_odds_free_space: 0.05\n";
const float kHit = -1.0f + 0.8f;
const float kSubObstacle = -1.0f + 0.8f * 0.5f;
const float kOccluded = -1.0f + 0.3f;
const float kFree = -1.0f + 0.05f;
const float kUnobserved = -1.0f;

// Realistic signs; a hit cell reaches the threshold 0 exactly after two scans.
const char* const kTrackingConfig =
    "resolution: 0.1\n"
    "width: 6\n"
    "occupancy_threshold: 0.0\n"
    "log_odds_obstacle: 0.5\n"
    "log_odds_occlusion: 0.25\n"
    "log_odds_free_space: -0.25\n";

// A YAML file holding `yaml` for as long as the object lives.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& yaml) {
    static int counter = 0;
    path_ = ::testing::TempDir() + "dynamic_laser_detector_" + std::to_string(getpid()) + "_" +
            std::to_string(counter++) + ".yaml";
    std::ofstream(path_) << yaml;
  }
  ~ConfigFile() { std::remove(path_.c_str()); }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string WithLine(const std::string& yaml, const std::string& line) {
  return yaml + line + "\n";
}

// The mapping without the line of `key`.
std::string WithoutKey(const std::string& yaml, const std::string& key) {
  std::istringstream lines(yaml);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + ":", 0) != 0) kept += line + "\n";
  }
  return kept;
}

// The mapping with the value of `key` replaced.
std::string WithValue(const std::string& yaml, const std::string& key, const std::string& value) {
  return WithLine(WithoutKey(yaml, key), key + ": " + value);
}

// angle_max = angle_min + beams * increment; exact for the increments used here.
std::shared_ptr<LaserScan> MakeScan(float angle_min, float increment, int beams,
                                    std::vector<float> ranges) {
  auto scan = std::make_shared<LaserScan>();
  scan->header.frame_id = "laser";
  scan->header.stamp.sec = 12;
  scan->angle_min = angle_min;
  scan->angle_increment = increment;
  scan->angle_max = angle_min + static_cast<float>(beams) * increment;
  scan->time_increment = 0.001f;
  scan->scan_time = 0.1f;
  scan->range_min = 0.05f;
  scan->range_max = 30.0f;
  scan->ranges = std::move(ranges);
  return scan;
}

// Beams along the +x axis: increments of 2^-12 rad keep every end point within
// 0.001 m of the axis.
constexpr float kAlongX = 1.0f / 4096.0f;

// Log-odds of the cell dx columns and dy rows away from the robot's cell.
float At(const DynamicLaserDetector& detector, int dx, int dy) {
  const OccupancyGridMap& grid = detector.grid_map();
  const int center = (grid.grid_width() + 1) / 2;
  return grid.log_odds_map().at<float>(center + dy, center + dx);
}

float MeanDifference(const cv::Mat& a, const cv::Mat& b) {
  return static_cast<float>(cv::norm(a, b, cv::NORM_L1) / static_cast<double>(a.total()));
}

int CellsNotAt(const cv::Mat& map, float value) { return cv::countNonZero(map != value); }

// Largest and mean absolute difference of two rasters.
float MaxDifference(const cv::Mat& a, const cv::Mat& b) {
  return static_cast<float>(cv::norm(a, b, cv::NORM_INF));
}

class LaserDetectorTest : public ::testing::Test {
 protected:
  std::unique_ptr<DynamicLaserDetector> Make(const std::string& yaml) {
    const ConfigFile file(yaml);
    return std::make_unique<DynamicLaserDetector>(file.path());
  }
};

// ---------------------------------------------------------------- configuration

using LaserConfigurationTest = LaserDetectorTest;

TEST_F(LaserConfigurationTest, WidthIsTruncatedBeforeSizingTheGrid) {
  EXPECT_EQ(Make(WithValue(kLabelConfig, "width", "20.9"))->grid_map().grid_width(), 200);
  EXPECT_EQ(Make(WithValue(kLabelConfig, "width", "20"))->grid_map().grid_width(), 200);
}

TEST_F(LaserConfigurationTest, SubObstacleScaleDefaultsToHalf) {
  for (const auto& [yaml, expected] :
       {std::make_pair(std::string(kLabelConfig), kSubObstacle),
        std::make_pair(WithLine(kLabelConfig, "log_odds_sub_obstacle_scale: 0.25"),
                       -1.0f + 0.8f * 0.25f)}) {
    const auto detector = Make(yaml);
    detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 1, {1.05f}));
    EXPECT_FLOAT_EQ(At(*detector, 10, 0), kHit);
    EXPECT_EQ(At(*detector, 9, 0), expected) << yaml;
    EXPECT_EQ(At(*detector, 11, 0), expected);
    EXPECT_EQ(At(*detector, 10, -1), expected);
    EXPECT_EQ(At(*detector, 10, 1), expected);
  }
}

class LaserMissingKeyTest : public LaserDetectorTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(LaserMissingKeyTest, ThrowsTheYamlException) {
  EXPECT_THROW(Make(WithoutKey(kLabelConfig, GetParam())), YAML::Exception);
  // YAML errors come first, also when the grid keys are out of range.
  EXPECT_THROW(Make(WithoutKey(WithValue(kLabelConfig, "resolution", "-1"), GetParam())),
               YAML::Exception);
}

INSTANTIATE_TEST_SUITE_P(RequiredKeys, LaserMissingKeyTest,
                         ::testing::Values("resolution", "width", "occupancy_threshold",
                                           "log_odds_obstacle", "log_odds_occlusion",
                                           "log_odds_free_space"));

class LaserNonNumericKeyTest : public LaserDetectorTest,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(LaserNonNumericKeyTest, ThrowsTheYamlException) {
  EXPECT_THROW(Make(WithValue(kLabelConfig, GetParam(), "wide")), YAML::Exception);
  EXPECT_THROW(Make(WithValue(kLabelConfig, GetParam(), "[1, 2]")), YAML::Exception);
}

INSTANTIATE_TEST_SUITE_P(AllKeys, LaserNonNumericKeyTest,
                         ::testing::Values("resolution", "width", "occupancy_threshold",
                                           "log_odds_obstacle", "log_odds_occlusion",
                                           "log_odds_free_space", "log_odds_sub_obstacle_scale"));

class LaserNonFiniteKeyTest : public LaserDetectorTest,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(LaserNonFiniteKeyTest, ThrowsInvalidArgumentNamingTheKey) {
  for (const char* value : {".nan", ".inf", "-.inf"}) {
    try {
      Make(WithValue(kLabelConfig, GetParam(), value));
      FAIL() << "no exception for " << GetParam() << " = " << value;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(std::string("\"") + GetParam() + "\""),
                std::string::npos)
          << error.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ThresholdAndIncrements, LaserNonFiniteKeyTest,
                         ::testing::Values("occupancy_threshold", "log_odds_obstacle",
                                           "log_odds_occlusion", "log_odds_free_space",
                                           "log_odds_sub_obstacle_scale"));

struct BadGrid {
  const char* resolution;
  const char* width;
  const char* named_key;
};
void PrintTo(const BadGrid& bad, std::ostream* out) {
  *out << "resolution " << bad.resolution << " width " << bad.width;
}

class LaserBadGridTest : public LaserDetectorTest, public ::testing::WithParamInterface<BadGrid> {};

TEST_P(LaserBadGridTest, ThrowsInvalidArgumentNamingTheKey) {
  const BadGrid& bad = GetParam();
  const std::string yaml =
      WithValue(WithValue(kLabelConfig, "resolution", bad.resolution), "width", bad.width);
  try {
    Make(yaml);
    FAIL() << "no exception for resolution " << bad.resolution << ", width " << bad.width;
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find(std::string("\"") + bad.named_key + "\""),
              std::string::npos)
        << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, LaserBadGridTest,
    ::testing::Values(BadGrid{"0", "6", "resolution"}, BadGrid{"-0.1", "6", "resolution"},
                      BadGrid{".nan", "6", "resolution"}, BadGrid{".inf", "6", "resolution"},
                      BadGrid{"0.1", "-1", "width"}, BadGrid{"0.1", ".nan", "width"},
                      BadGrid{"0.1", ".inf", "width"}, BadGrid{"0.1", "0.9", "width"},
                      BadGrid{"0.001", "100000", "width"}));

TEST_F(LaserConfigurationTest, UnreadableFileThrowsTheYamlException) {
  EXPECT_THROW(DynamicLaserDetector(::testing::TempDir() + "no_such_dir/none.yaml"), YAML::BadFile);
  EXPECT_THROW(Make("resolution: [0.1\n"), YAML::Exception);
}

// ---------------------------------------------------------------- integration

using LaserIntegrationTest = LaserDetectorTest;

TEST_F(LaserIntegrationTest, LabelsHitNeighboursFreeOccludedAndUnseenCells) {
  const auto detector = Make(kLabelConfig);
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 1, {1.05f}));
  EXPECT_EQ(At(*detector, 10, 0), kHit);
  EXPECT_EQ(At(*detector, 9, 0), kSubObstacle);
  EXPECT_EQ(At(*detector, 11, 0), kSubObstacle);
  EXPECT_EQ(At(*detector, 10, 1), kSubObstacle);
  EXPECT_EQ(At(*detector, 10, -1), kSubObstacle);
  // Cells are judged by their lower corner: (0, 0) and (0.5, 0) lie in front.
  EXPECT_EQ(At(*detector, 0, 0), kFree);
  EXPECT_EQ(At(*detector, 5, 0), kFree);
  EXPECT_EQ(At(*detector, 12, 0), kOccluded);
  EXPECT_EQ(At(*detector, 25, 0), kOccluded);
  // Bearings no beam covers: to the left, to the right and behind.
  EXPECT_EQ(At(*detector, 0, 5), kUnobserved);
  EXPECT_EQ(At(*detector, 3, -2), kUnobserved);
  EXPECT_EQ(At(*detector, -5, 0), kUnobserved);
}

TEST_F(LaserIntegrationTest, AdjacentHitsEndAsSubObstaclesExceptTheLast) {
  const auto detector = Make(kLabelConfig);
  // Beams 0, 1, 2 end in the 4-adjacent cells A, B, C.
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 3, {1.05f, 1.15f, 1.25f}));
  EXPECT_EQ(At(*detector, 10, 0), kSubObstacle);
  EXPECT_EQ(At(*detector, 11, 0), kSubObstacle);
  EXPECT_EQ(At(*detector, 12, 0), kHit);
  EXPECT_EQ(At(*detector, 13, 0), kSubObstacle);
}

TEST_F(LaserIntegrationTest, EndPointJustOutsideTheGridStillMarksItsNeighbourInside) {
  const auto detector = Make(kLabelConfig);
  // Column 30 + 30 does not exist; column 59 lies next to it.
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 1, {3.05f}));
  EXPECT_EQ(At(*detector, 29, 0), kSubObstacle);
  EXPECT_EQ(At(*detector, 28, 0), kFree);
}

TEST_F(LaserIntegrationTest, BeamsEndingInOneCellGiveOneIncrement) {
  const auto detector = Make(kLabelConfig);
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 2, {1.05f, 1.06f}));
  EXPECT_EQ(At(*detector, 10, 0), kHit);
}

TEST_F(LaserIntegrationTest, CellBehindOneHitAndNextToAnotherIsSubObstacle) {
  const auto detector = Make(kLabelConfig);
  // Beam 0 ends in (10, 0); beam 1, at 0.12 rad, ends in (12, 1), right above
  // (12, 0), which lies behind beam 0's reading.
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, 0.12f, 2, {1.05f, 1.25f}));
  EXPECT_EQ(At(*detector, 10, 0), kHit);
  EXPECT_EQ(At(*detector, 12, 1), kHit);
  EXPECT_EQ(At(*detector, 12, 0), kSubObstacle);
  EXPECT_EQ(At(*detector, 14, 0), kOccluded);
}

struct LimitCase {
  float reading;
  float range_min;
  float range_max;
  int end_cell;  // column of the end point on the +x axis
};
void PrintTo(const LimitCase& limit, std::ostream* out) {
  *out << "reading " << limit.reading << " limits " << limit.range_min << " " << limit.range_max;
}

class LaserRangeLimitTest : public LaserDetectorTest,
                            public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LaserRangeLimitTest, ReadingOutsideTheOpenIntervalMarksNoHitButStillFreesAndOccludes) {
  const LimitCase& limit = GetParam();
  const auto detector = Make(kLabelConfig);
  const auto scan = MakeScan(0.0f, kAlongX, 1, {limit.reading});
  scan->range_min = limit.range_min;
  scan->range_max = limit.range_max;
  detector->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(At(*detector, limit.end_cell - 1, 0), kFree);
  EXPECT_EQ(At(*detector, limit.end_cell, 0), kOccluded);
  EXPECT_EQ(At(*detector, limit.end_cell + 1, 0), kOccluded);
  EXPECT_EQ(At(*detector, limit.end_cell, 1), kUnobserved);
}

INSTANTIATE_TEST_SUITE_P(Limits, LaserRangeLimitTest,
                         ::testing::Values(LimitCase{0.5f, 0.5f, 2.0f, 5},    // at range_min
                                           LimitCase{2.0f, 0.5f, 2.0f, 20},   // at range_max
                                           LimitCase{2.5f, 0.5f, 2.0f, 25},   // beyond range_max
                                           LimitCase{0.3f, 0.5f, 2.0f, 3}));  // below range_min

class LaserNonFiniteReadingTest : public LaserDetectorTest,
                                  public ::testing::WithParamInterface<float> {};

TEST_P(LaserNonFiniteReadingTest, LeavesItsSectorUnobservedExceptCellsMarkedByOtherHits) {
  const auto detector = Make(kLabelConfig);
  // Beam 0 covers bearings [0, pi/4), beam 1 [pi/4, pi/2) and ends in (7, 7).
  const float quarter = static_cast<float>(M_PI / 4.0);
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, quarter, 2, {GetParam(), 1.05f}));
  EXPECT_EQ(At(*detector, 5, 1), kUnobserved);
  EXPECT_EQ(At(*detector, 20, 3), kUnobserved);
  EXPECT_EQ(At(*detector, 7, 7), kHit);
  // Below and right of the hit, in beam 0's sector.
  EXPECT_EQ(At(*detector, 7, 6), kSubObstacle);
  EXPECT_EQ(At(*detector, 8, 7), kSubObstacle);
  EXPECT_EQ(At(*detector, 3, 5), kFree);
}

INSTANTIATE_TEST_SUITE_P(Readings, LaserNonFiniteReadingTest, ::testing::Values(kNan, kInf, -kInf));

struct SpanCase {
  float angle_max;
  int lit_beam;  // the only finite reading of 361
  bool integrated;
};
void PrintTo(const SpanCase& span, std::ostream* out) {
  *out << "angle_max " << std::setprecision(9) << span.angle_max << " beam " << span.lit_beam;
}

class LaserScanSpanTest : public LaserDetectorTest,
                          public ::testing::WithParamInterface<SpanCase> {};

TEST_P(LaserScanSpanTest, UsesBeamsBelowTheTruncatedQuotientOnly) {
  const SpanCase& span = GetParam();
  const auto detector = Make(kLabelConfig);
  // (angle_max + 2.8125) / 2^-6 is exactly 360 for angle_max 2.8125, and
  // 360 - 2^-15 two floats below it.
  std::vector<float> ranges(361, kNan);
  ranges[static_cast<std::size_t>(span.lit_beam)] = 1.0f;
  const auto scan = MakeScan(-2.8125f, 1.0f / 64.0f, 0, ranges);
  scan->angle_max = span.angle_max;
  detector->UpdateOccupancyGridMap(scan);
  const int changed = CellsNotAt(detector->grid_map().log_odds_map(), -1.0f);
  if (span.integrated) {
    // Beams 358 and 359, at 2.78 and 2.80 rad, both end in cell (-10, 3).
    EXPECT_EQ(At(*detector, -10, 3), kHit);
    EXPECT_GT(changed, 5);
  } else {
    EXPECT_EQ(changed, 0);
  }
}

const float kTwoBelow = std::nextafter(std::nextafter(2.8125f, 0.0f), 0.0f);
INSTANTIATE_TEST_SUITE_P(ThreeHundredSixtyOneRanges, LaserScanSpanTest,
                         ::testing::Values(SpanCase{2.8125f, 360, false},
                                           SpanCase{2.8125f, 359, true},
                                           SpanCase{kTwoBelow, 359, false},
                                           SpanCase{kTwoBelow, 358, true}));

TEST_F(LaserIntegrationTest, ShortScanUsesTheReadingsItHolds) {
  const auto detector = Make(kLabelConfig);
  const float quarter = static_cast<float>(M_PI / 4.0);
  // Eight beams announced, two readings present.
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, quarter, 8, {1.05f, 1.05f}));
  EXPECT_EQ(At(*detector, 3, 1), kFree);
  EXPECT_EQ(At(*detector, 1, 3), kFree);
  // Bearings of beams 2 and 3.
  EXPECT_EQ(At(*detector, -1, 3), kUnobserved);
  EXPECT_EQ(At(*detector, -3, 1), kUnobserved);
}

TEST_F(LaserIntegrationTest, BeamCountBeyondIntUsesTheReadingsItHolds) {
  const auto detector = Make(kLabelConfig);
  const auto scan = MakeScan(0.0f, 1e-30f, 0, {1.05f});
  scan->angle_max = 1e10f;  // quotient 1e40 overflows to infinity: no beam
  detector->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(CellsNotAt(detector->grid_map().log_odds_map(), -1.0f), 0);
  scan->angle_increment = 1e-10f;  // quotient 1e20: finite, far beyond int
  detector->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(At(*detector, 10, 0), kHit);
}

struct Geometry {
  float angle_min;
  float angle_max;
  float angle_increment;
  std::size_t readings;
};
void PrintTo(const Geometry& geometry, std::ostream* out) {
  *out << "angles " << geometry.angle_min << " " << geometry.angle_max << " step "
       << geometry.angle_increment << " readings " << geometry.readings;
}

class LaserDegenerateGeometryTest : public LaserDetectorTest,
                                    public ::testing::WithParamInterface<Geometry> {};

TEST_P(LaserDegenerateGeometryTest, UsesNoBeamAndSendsNothing) {
  const Geometry& geometry = GetParam();
  const auto detector = Make(kTrackingConfig);
  auto scan = MakeScan(geometry.angle_min, geometry.angle_increment, 0,
                       std::vector<float>(geometry.readings, 1.05f));
  scan->angle_max = geometry.angle_max;
  detector->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(CellsNotAt(detector->grid_map().log_odds_map(), -1.0f), 0);

  auto dynamic_scan = std::make_shared<LaserScan>();
  auto static_scan = std::make_shared<LaserScan>();
  dynamic_scan->ranges.assign(3, 7.0f);
  detector->Divide(scan, dynamic_scan, static_scan);
  EXPECT_EQ(dynamic_scan->ranges, std::vector<float>(geometry.readings, 7.0f));
  EXPECT_EQ(static_scan->ranges, std::vector<float>(geometry.readings, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(
    BadScans, LaserDegenerateGeometryTest,
    ::testing::Values(Geometry{0.0f, 1.0f, 0.0f, 3}, Geometry{0.0f, 1.0f, -0.25f, 3},
                      Geometry{0.0f, 1.0f, kNan, 3}, Geometry{0.0f, 1.0f, kInf, 3},
                      Geometry{0.0f, 1.0f, -kInf, 3}, Geometry{0.0f, kNan, 0.25f, 3},
                      Geometry{kNan, 1.0f, 0.25f, 3}, Geometry{-kInf, kInf, 0.25f, 3},
                      Geometry{0.0f, 0.75f, 1.0f, 3}, Geometry{0.0f, 1.0f, 0.25f, 0}));

// ---------------------------------------------------------------- output scans

class LaserOutputScanTest : public LaserDetectorTest,
                            public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LaserOutputScanTest, TakeTheInputLayoutAndKeepTheirOwnValuesAndIntensities) {
  const auto detector = Make(kTrackingConfig);
  const auto scan = MakeScan(-1.0f, 0.25f, 5, {1, 2, 3, 4, 5});
  scan->range_min = 0.2f;
  scan->range_max = 12.0f;
  auto dynamic_scan = std::make_shared<LaserScan>();
  auto static_scan = std::make_shared<LaserScan>();
  const std::size_t held = GetParam();
  for (const auto& output : {dynamic_scan, static_scan}) {
    output->ranges.assign(held, 9.0f);
    output->intensities.assign(2, 7.0f);
  }
  detector->InitializeOutputScans(scan, dynamic_scan, static_scan);

  std::vector<float> expected(5, 0.0f);
  std::fill_n(expected.begin(), std::min<std::size_t>(held, 5), 9.0f);
  for (const auto& output : {dynamic_scan, static_scan}) {
    EXPECT_EQ(output->header, scan->header);
    EXPECT_EQ(output->angle_min, -1.0f);
    EXPECT_EQ(output->angle_max, 0.25f);
    EXPECT_EQ(output->angle_increment, 0.25f);
    EXPECT_EQ(output->time_increment, 0.001f);
    EXPECT_EQ(output->scan_time, 0.1f);
    EXPECT_EQ(output->range_min, 0.2f);
    EXPECT_EQ(output->range_max, 12.0f);
    EXPECT_EQ(output->ranges, expected);
    EXPECT_EQ(output->intensities, std::vector<float>(2, 7.0f));
  }
}

INSTANTIATE_TEST_SUITE_P(HeldRanges, LaserOutputScanTest, ::testing::Values(0, 3, 5, 8));

// ---------------------------------------------------------------- processing cycle

// Captures the logger's lines for the lifetime of the object.
class LogCapture {
 public:
  LogCapture()
      : logger_(larkspur::Logger::Instance().GetLogger()),
        sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_)) {
    sink_->set_pattern("%v");
    logger_->sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::istringstream text(stream_.str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::ostringstream stream_;
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

bool MatchesDebugLine(const std::string& line, const std::string& message_pattern) {
  return std::regex_match(line, std::regex(" *[0-9]{1,3} \\[DEBUG\\] " + message_pattern));
}

// Whether two range lists agree entry by entry, NaN matching NaN.
bool SameRanges(const std::vector<float>& a, const std::vector<float>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](float x, float y) { return x == y || (std::isnan(x) && std::isnan(y)); });
}

geometry_msgs::msg::Pose Pose(double x, double y, double yaw) {
  return larkspur::datasets::PlanarPose(x, y, yaw);
}

// Eight beams from -90 degrees in 22.5 degree steps, one of them NaN, plus a
// ninth reading beyond the used span.
std::shared_ptr<LaserScan> Room() {
  const float step = static_cast<float>(M_PI / 8.0);
  return MakeScan(-4.0f * step, step, 8, {1.2f, 1.5f, kNan, 2.0f, 1.05f, 2.2f, 1.8f, 1.3f, 4.0f});
}

// Integrates nothing: no hit and no beam to compare cells with.
std::shared_ptr<LaserScan> Blind() {
  const float step = static_cast<float>(M_PI / 8.0);
  return MakeScan(-4.0f * step, step, 8, std::vector<float>(9, kNan));
}

class LaserProcessTest : public LaserDetectorTest {
 protected:
  LaserProcessTest()
      : detector_(Make(kTrackingConfig)),
        dynamic_scan_(std::make_shared<LaserScan>()),
        static_scan_(std::make_shared<LaserScan>()) {}

  void Process(const std::shared_ptr<LaserScan>& scan, const geometry_msgs::msg::Pose& pose) {
    detector_->Process(scan, pose, dynamic_scan_, static_scan_);
  }
  cv::Mat Grid() const { return detector_->grid_map().log_odds_map().clone(); }

  std::unique_ptr<DynamicLaserDetector> detector_;
  std::shared_ptr<LaserScan> dynamic_scan_;
  std::shared_ptr<LaserScan> static_scan_;
};

TEST_F(LaserProcessTest, FirstCallSendsEverythingToTheStaticScanAndOnlyIntegrates) {
  const auto scan = Room();
  dynamic_scan_->ranges.assign(12, 5.0f);
  dynamic_scan_->intensities.assign(4, 1.0f);
  LogCapture log;
  Process(scan, Pose(1.5, -2.25, 0.0));

  EXPECT_EQ(dynamic_scan_->ranges, std::vector<float>(9, kMarker));
  EXPECT_EQ(dynamic_scan_->intensities, std::vector<float>(4, 1.0f));
  EXPECT_TRUE(SameRanges(static_scan_->ranges, scan->ranges));
  EXPECT_EQ(static_scan_->header, scan->header);

  const auto reference = Make(kTrackingConfig);
  reference->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(MaxDifference(Grid(), reference->grid_map().log_odds_map()), 0.0f);

  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(MatchesDebugLine(lines[0], "Current pose: 1\\.5, -2\\.25, 0")) << lines[0];
}

TEST_F(LaserProcessTest, SecondCallAtTheSamePoseIntegratesOnAnUnchangedGridAndDivides) {
  const auto scan = Room();
  Process(scan, Pose(1.5, -2.25, 0.7));
  LogCapture log;
  Process(scan, Pose(1.5, -2.25, 0.7));

  const auto reference = Make(kTrackingConfig);
  reference->UpdateOccupancyGridMap(scan);
  reference->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(MaxDifference(Grid(), reference->grid_map().log_odds_map()), 0.0f);

  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(MatchesDebugLine(lines[0], "Current pose: 1\\.5, -2\\.25, 0\\.(7|69)[0-9]*"))
      << lines[0];
  EXPECT_TRUE(MatchesDebugLine(lines[1], "transform runtime = [0-9]+\\(us\\)")) << lines[1];
  EXPECT_TRUE(MatchesDebugLine(lines[2], "gridmap runtime = [0-9]+\\(us\\)")) << lines[2];

  // Every used beam is in exactly one scan; the ninth reading was not used,
  // so each output keeps what the first call gave it there.
  for (std::size_t beam = 0; beam < 8; ++beam) {
    const float reading = scan->ranges[beam];
    const bool in_dynamic = dynamic_scan_->ranges[beam] != kMarker;
    const bool in_static = static_scan_->ranges[beam] != kMarker;
    EXPECT_NE(in_dynamic, in_static) << "beam " << beam;
    EXPECT_TRUE(SameRanges({in_dynamic ? dynamic_scan_->ranges[beam] : static_scan_->ranges[beam]},
                           {reading}))
        << "beam " << beam;
  }
  EXPECT_EQ(dynamic_scan_->ranges[8], kMarker);
  EXPECT_EQ(static_scan_->ranges[8], 4.0f);
}

TEST_F(LaserProcessTest, EndCellReachingTheThresholdExactlyIsStatic) {
  const auto scan = MakeScan(0.0f, kAlongX, 1, {1.05f});
  // One hit: -1 + 0.5 is below the threshold 0.
  detector_->UpdateOccupancyGridMap(scan);
  detector_->Divide(scan, dynamic_scan_, static_scan_);
  EXPECT_EQ(dynamic_scan_->ranges, std::vector<float>{1.05f});
  EXPECT_EQ(static_scan_->ranges, std::vector<float>{kMarker});
  // Two hits: exactly 0.
  detector_->UpdateOccupancyGridMap(scan);
  detector_->Divide(scan, dynamic_scan_, static_scan_);
  EXPECT_EQ(At(*detector_, 10, 0), 0.0f);
  EXPECT_EQ(dynamic_scan_->ranges, std::vector<float>{kMarker});
  EXPECT_EQ(static_scan_->ranges, std::vector<float>{1.05f});
}

TEST_F(LaserProcessTest, EndPointsOutsideTheGridAndNonFiniteReadingsAreStatic) {
  const auto scan = MakeScan(0.0f, kAlongX, 4, {50.0f, kNan, kInf, -kInf, 3.0f});
  dynamic_scan_->ranges.assign(5, 6.0f);
  static_scan_->ranges.assign(5, 6.0f);
  detector_->Divide(scan, dynamic_scan_, static_scan_);
  EXPECT_EQ(std::vector<float>(dynamic_scan_->ranges.begin(), dynamic_scan_->ranges.begin() + 4),
            std::vector<float>(4, kMarker));
  EXPECT_TRUE(SameRanges(static_scan_->ranges, {50.0f, kNan, kInf, -kInf, 6.0f}));
  EXPECT_EQ(dynamic_scan_->ranges[4], 6.0f);
}

TEST_F(LaserProcessTest, MovingForwardTwoCellsShiftsTheGridTwoColumnsBack) {
  Process(Room(), Pose(0.0, 0.0, 0.0));
  const cv::Mat before = Grid();
  Process(Blind(), Pose(0.2, 0.0, 0.0));
  const cv::Mat after = Grid();
  const int width = after.cols;
  EXPECT_EQ(MaxDifference(after.colRange(0, width - 2), before.colRange(2, width)), 0.0f);
  EXPECT_EQ(CellsNotAt(after.colRange(width - 2, width), 0.0f), 0);
}

TEST_F(LaserProcessTest, TurnFromPlusToMinusPointOneIsNormalised) {
  detector_->Process(Room(), Pose(0.0, 0.0, 3.1), dynamic_scan_, static_scan_);
  detector_->Process(Blind(), Pose(0.0, 0.0, -3.1), dynamic_scan_, static_scan_);
  // A left turn of 2 pi - 6.2 rad; taken as -6.2 rad the 180 / 3.14
  // conversion would make it a turn of 355.41 degrees, 0.18 degrees short of
  // the same position.
  const auto turned_by = [&](float angle) {
    const auto reference = Make(kTrackingConfig);
    reference->UpdateOccupancyGridMap(Room());
    reference->TransformOccupancyGridMap(Eigen::Vector2f::Zero(), angle);
    return MeanDifference(Grid(), reference->grid_map().log_odds_map());
  };
  const float left = static_cast<float>(2.0 * M_PI - 6.2);
  EXPECT_LT(turned_by(-left), 3e-4f);
  EXPECT_GT(turned_by(6.2f), 1e-3f);
  EXPECT_GT(turned_by(left), 1e-2f);
}

TEST_F(LaserProcessTest, NonFinitePoseMovesNothingAndIsNotRemembered) {
  Process(Room(), Pose(0.0, 0.0, 0.0));
  const cv::Mat before = Grid();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const auto& unknown : {Pose(nan, 0.0, 0.0), Pose(0.0, 0.0, nan), Pose(1e300, 0.0, 0.0)}) {
    Process(Blind(), unknown);
    EXPECT_EQ(MaxDifference(Grid(), before), 0.0f);
  }
  // The motion is measured from the last finite pose.
  Process(Blind(), Pose(0.2, 0.0, 0.0));
  const int width = before.cols;
  EXPECT_EQ(MaxDifference(Grid().colRange(0, width - 2), before.colRange(2, width)), 0.0f);
}

TEST_F(LaserProcessTest, TrackingStartsAtTheFirstFinitePose) {
  // Only the tracking branch divides and logs the runtimes.
  const auto lines_of_call = [&](const geometry_msgs::msg::Pose& pose) {
    LogCapture log;
    Process(Room(), pose);
    return log.Lines().size();
  };
  EXPECT_EQ(lines_of_call(Pose(std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0)), 1u);
  EXPECT_EQ(lines_of_call(Pose(0.0, 0.0, 0.0)), 1u);
  EXPECT_EQ(lines_of_call(Pose(0.0, 0.0, 0.0)), 3u);
}

TEST_F(LaserProcessTest, ZeroQuaternionReadsAsYawZero) {
  geometry_msgs::msg::Pose zero = Pose(0.0, 0.0, 0.0);
  zero.orientation.w = 0.0;
  const auto scan = Room();
  Process(scan, zero);
  Process(scan, Pose(0.0, 0.0, 0.0));
  const auto reference = Make(kTrackingConfig);
  reference->UpdateOccupancyGridMap(scan);
  reference->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(MaxDifference(Grid(), reference->grid_map().log_odds_map()), 0.0f);
}

TEST_F(LaserProcessTest, JumpFarBeyondTheGridEmptiesIt) {
  for (const double jump : {1e6, -1e30, 3e38}) {
    const auto detector = Make(kTrackingConfig);
    detector->Process(Room(), Pose(0.0, 0.0, 0.0), dynamic_scan_, static_scan_);
    detector->Process(Blind(), Pose(jump, -jump, 0.3), dynamic_scan_, static_scan_);
    EXPECT_EQ(CellsNotAt(detector->grid_map().log_odds_map(), 0.0f), 0) << jump;
  }
}

TEST_F(LaserProcessTest, NullScansAreIgnored) {
  Process(nullptr, Pose(0.0, 0.0, 0.0));
  detector_->Process(Room(), Pose(0.0, 0.0, 0.0), nullptr, static_scan_);
  detector_->UpdateOccupancyGridMap(nullptr);
  detector_->Divide(Room(), dynamic_scan_, nullptr);
  EXPECT_EQ(CellsNotAt(Grid(), -1.0f), 0);
  EXPECT_TRUE(static_scan_->ranges.empty());
  // Still the first call.
  Process(Room(), Pose(0.0, 0.0, 0.0));
  EXPECT_EQ(dynamic_scan_->ranges, std::vector<float>(9, kMarker));
}

// ---------------------------------------------------------------- grid transform

using LaserTransformTest = LaserDetectorTest;

TEST_F(LaserTransformTest, ShiftsFirstThenTurnsCounterClockwiseAboutTheCentre) {
  const auto detector = Make(kTrackingConfig);
  const auto hits = [&] { return cv::countNonZero(detector->grid_map().log_odds_map() == -0.5f); };
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 1, {1.05f}));
  ASSERT_EQ(At(*detector, 10, 0), -0.5f);
  ASSERT_EQ(hits(), 1);
  // 1.57 rad is 90 degrees by the 180 / 3.14 conversion: (10, 0) + (5, 0)
  // turned a quarter to the left is (0, 15). The 3 x 3 closing keeps the
  // isolated maximum in place.
  detector->TransformOccupancyGridMap(Eigen::Vector2f(0.5f, 0.0f), 1.57f);
  EXPECT_EQ(At(*detector, 0, 15), -0.5f);
  EXPECT_EQ(hits(), 1);
}

TEST_F(LaserTransformTest, OddGridTurnsAboutTheCellBelowItsCentre) {
  // 15 cells, grid centre 8, turn centre 7: half a turn maps cells 0..14 onto
  // 14..0 and nothing enters from outside. About cell 8, columns and rows 0
  // and 1 would enter as 0 and column and row 0 would survive the erosion.
  const auto detector =
      Make(WithValue(WithValue(kTrackingConfig, "width", "3"), "resolution", "0.2"));
  ASSERT_EQ(detector->grid_map().grid_width(), 15);
  detector->TransformOccupancyGridMap(Eigen::Vector2f::Zero(), 3.14f);
  EXPECT_EQ(CellsNotAt(detector->grid_map().log_odds_map(), -1.0f), 0);
}

TEST_F(LaserTransformTest, NonFiniteMotionLeavesTheGrid) {
  const auto detector = Make(kTrackingConfig);
  detector->UpdateOccupancyGridMap(MakeScan(0.0f, kAlongX, 1, {1.05f}));
  const cv::Mat before = detector->grid_map().log_odds_map().clone();
  detector->TransformOccupancyGridMap(Eigen::Vector2f(kNan, 0.0f), 0.0f);
  detector->TransformOccupancyGridMap(Eigen::Vector2f(0.0f, kInf), 0.0f);
  detector->TransformOccupancyGridMap(Eigen::Vector2f::Zero(), kNan);
  EXPECT_EQ(MaxDifference(detector->grid_map().log_odds_map(), before), 0.0f);
}

struct Turn {
  float angle;
  bool closed;  // dilation, warp and erosion rather than the warp alone
};
void PrintTo(const Turn& turn, std::ostream* out) {
  *out << "angle " << std::setprecision(9) << turn.angle;
}

class LaserTurnThresholdTest : public LaserDetectorTest,
                               public ::testing::WithParamInterface<Turn> {};

TEST_P(LaserTurnThresholdTest, ClosesTheWarpAboveFiveHundredthsOfARadian) {
  const Turn& turn = GetParam();
  const auto detector = Make(kTrackingConfig);
  detector->UpdateOccupancyGridMap(Room());
  const cv::Mat before = detector->grid_map().log_odds_map().clone();
  const Eigen::Vector2f translation(0.13f, -0.07f);
  detector->TransformOccupancyGridMap(translation, turn.angle);

  // The warp written out: shift by t cells, then turn by `degrees` about c.
  const double degrees = static_cast<double>(-turn.angle * 180.0f) / 3.14;
  const double a = std::cos(degrees * M_PI / 180.0);
  const double b = std::sin(degrees * M_PI / 180.0);
  const double tx = 0.13f / 0.1f;
  const double ty = -0.07f / 0.1f;
  const double c = 30.0;
  const cv::Mat motion = (cv::Mat_<double>(2, 3) << a, b, a * tx + b * ty + (1 - a) * c - b * c, -b,
                          a, -b * tx + a * ty + b * c + (1 - a) * c);
  const auto warp = [&](const cv::Mat& map) {
    cv::Mat out;
    cv::warpAffine(map, out, motion, map.size(), cv::INTER_CUBIC, cv::BORDER_CONSTANT, 0.0);
    return out;
  };
  const cv::Mat kernel = cv::Mat::ones(3, 3, CV_8U);
  cv::Mat dilated;
  cv::Mat closed;
  cv::dilate(before, dilated, kernel);
  cv::erode(warp(dilated), closed, kernel);
  const cv::Mat plain = warp(before);
  ASSERT_GT(MaxDifference(plain, closed), 0.1f);

  const cv::Mat& after = detector->grid_map().log_odds_map();
  EXPECT_LT(MaxDifference(after, turn.closed ? closed : plain), 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(Angles, LaserTurnThresholdTest,
                         ::testing::Values(Turn{0.049f, false}, Turn{-0.049f, false},
                                           Turn{0.05f, true}, Turn{-0.05f, true},
                                           Turn{0.06f, true}));

}  // namespace
}  // namespace perception
}  // namespace kestrel
