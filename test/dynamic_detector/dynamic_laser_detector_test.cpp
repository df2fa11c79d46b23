#include "larkspur_perception_libs/dynamic_laser_detector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel::perception {
namespace {

using larkspur::datasets::PlanarPose;
using sensor_msgs::msg::LaserScan;
using ::testing::NanSensitiveFloatEq;
using ::testing::Pointwise;

constexpr float kMarker = 3.4028235e38f;

// Every label leaves a distinct value on a fresh cell (-1): hit -0.5,
// sub-obstacle -0.75, occluded -0.7, free -0.95; two hits reach the threshold.
const std::string kConfig =
    "resolution: 0.1\nwidth: 6\noccupancy_threshold: 0.0\n"
    "log_odds_obstacle: 0.5\nlog_odds_occlusion: 0.3\nlog_odds_free_space: 0.05\n";
const float kHit = -1.0f + 0.5f;
const float kSub = -1.0f + 0.5f * 0.5f;
const float kOccluded = -1.0f + 0.3f;
const float kFree = -1.0f + 0.05f;
constexpr float kUnseen = -1.0f;

// `yaml` with `line` ("key: value") in place of the key's line; "key:" drops it.
std::string Edit(const std::string& line, std::string yaml = kConfig) {
  const std::string key = line.substr(0, line.find(':') + 1);
  const auto at = yaml.find(key);
  if (at != std::string::npos) yaml.erase(at, yaml.find('\n', at) - at + 1);
  return line == key ? yaml : yaml + line + "\n";
}

std::unique_ptr<DynamicLaserDetector> Make(const std::string& yaml = kConfig) {
  return std::make_unique<DynamicLaserDetector>(YAML::Load(yaml));
}

// The same detector from the file holding `yaml`.
std::unique_ptr<DynamicLaserDetector> MakeFromFile(const std::string& yaml) {
  const std::string path = ::testing::TempDir() + "laser_" + std::to_string(getpid()) + ".yaml";
  std::ofstream(path) << yaml;
  const std::unique_ptr<const char, int (*)(const char*)> removal(path.c_str(), ::remove);
  return std::make_unique<DynamicLaserDetector>(path);
}

// angle_max = angle_min + beams * increment; exact for the increments used here.
std::shared_ptr<LaserScan> Scan(float angle_min, float increment, float beams,
                                std::vector<float> ranges, float range_min = 0.05f,
                                float range_max = 30.0f) {
  auto scan = std::make_shared<LaserScan>();
  scan->angle_min = angle_min;
  scan->angle_increment = increment;
  scan->angle_max = angle_min + beams * increment;
  scan->range_min = range_min;
  scan->range_max = range_max;
  scan->ranges = std::move(ranges);
  return scan;
}

// Beams along +x: increments of 2^-12 rad keep end points within 1 mm of the axis.
constexpr float kAlongX = 1.0f / 4096.0f;

// Eight beams from -90 degrees in 22.5 degree steps, one NaN, one infinite and
// one ending outside the grid, plus a ninth reading beyond the used span.
std::shared_ptr<LaserScan> Room() {
  const float step = static_cast<float>(M_PI / 8.0);
  return Scan(-4.0f * step, step, 8, {1.2f, 1.5f, NAN, 50.0f, 1.05f, INFINITY, 1.8f, 1.3f, 4.0f});
}

// 361 readings, NaN but 1 m at beam `lit`, ending in cell (-10, 3), and 2 m at
// the next, ending in cell (-19, 6).
std::shared_ptr<LaserScan> Span(float beams, std::size_t lit) {
  std::vector<float> ranges(361, NAN);
  ranges[lit] = 1.0f;
  ranges[lit + 1] = 2.0f;
  return Scan(-2.8125f, 1.0f / 64, beams, ranges);
}

// Log-odds of the cell dx columns and dy rows away from the robot's cell.
float At(const DynamicLaserDetector& detector, int dx, int dy) {
  const int center = (detector.grid_map().grid_width() + 1) / 2;
  return detector.grid_map().log_odds_map().at<float>(center + dy, center + dx);
}

int CellsNotAt(const cv::Mat& map, float value) { return cv::countNonZero(map != value); }
double MaxDifference(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

TEST(LaserIntegrationTest, LabelsTheCellsOfOneScan) {
  using Cells = std::vector<std::tuple<int, int, float>>;  // dx, dy, log-odds
  const float quarter = static_cast<float>(M_PI / 4.0);
  const std::vector<std::pair<std::shared_ptr<LaserScan>, Cells>> cases = {
      {Scan(0.0f, kAlongX, 1, {1.05f}), {{10, 0, kHit}, {9, 0, kSub}, {10, -1, kSub}}},
      {Scan(0.0f, kAlongX, 1, {1.05f}), {{5, 0, kFree}, {12, 0, kOccluded}, {-5, 0, kUnseen}}},
      // Beams 0, 1, 2 end in the 4-adjacent cells A, B, C: the last write wins.
      {Scan(0.0f, kAlongX, 3, {1.05f, 1.15f, 1.25f}),
       {{10, 0, kSub}, {11, 0, kSub}, {12, 0, kHit}, {13, 0, kSub}}},
      // (12, 0) lies behind beam 0's hit and next to beam 1's hit in (12, 1).
      {Scan(0.0f, 0.12f, 2, {1.05f, 1.25f}), {{12, 1, kHit}, {12, 0, kSub}, {14, 0, kOccluded}}},
      // Readings equal to the limits mark no hit but still free and occlude.
      {Scan(0.0f, kAlongX, 1, {0.5f}, 0.5f, 2.0f), {{4, 0, kFree}, {5, 0, kOccluded}}},
      {Scan(0.0f, kAlongX, 1, {2.0f}, 0.5f, 2.0f), {{19, 0, kFree}, {20, 0, kOccluded}}},
      // 360 beams, or 360 - 2^-15 (angle_max two floats below 2.8125), truncated to 359.
      {Span(360.0f, 359), {{-10, 3, kHit}, {-19, 6, kUnseen}}},
      {Span(360.0f - 1.0f / 32768, 358), {{-10, 3, kHit}, {-19, 6, kUnseen}}},
      // A NaN reading leaves its sector [0, pi/4) unseen but for beam 1's marks.
      {Scan(0.0f, quarter, 2, {NAN, 1.05f}), {{5, 1, kUnseen}, {7, 7, kHit}, {7, 6, kSub}}},
      // Eight beams announced, two readings held: beams 2 and 3 are not read.
      {Scan(0.0f, quarter, 8, {1.05f, 1.05f}), {{3, 1, kFree}, {-1, 3, kUnseen}}},
      {Scan(0.0f, quarter, 8, {}), {{3, 1, kUnseen}}},
      // Zero, negative and non-finite increments use no beam.
      {Scan(0.0f, 0.0f, 1, {1.05f}), {{10, 0, kUnseen}}},
      {Scan(0.0f, -0.25f, -4, {1.05f}), {{10, 0, kUnseen}}},
      {Scan(0.0f, NAN, 1, {1.05f}), {{10, 0, kUnseen}}},
      // An end point just outside the grid still marks its neighbour inside.
      {Scan(0.0f, kAlongX, 1, {3.05f}), {{29, 0, kSub}, {28, 0, kFree}}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto detector = Make();
    detector->UpdateOccupancyGridMap(cases[i].first);
    for (const auto& [dx, dy, log_odds] : cases[i].second)
      EXPECT_EQ(At(*detector, dx, dy), log_odds) << "case " << i << ", cell " << dx << ", " << dy;
  }
}

TEST(LaserConfigurationTest, ValueOutOfRangeThrowsNamingTheKey) {
  // "width: 0.9" truncates to no cell; 100000 m are a million cells a side.
  for (const std::string line :
       {"resolution: 0", "resolution: .nan", "width: -1", "width: .inf", "width: 0.9",
        "width: 100000", "occupancy_threshold: .nan", "log_odds_obstacle: .inf",
        "log_odds_occlusion: -.inf", "log_odds_free_space: .nan",
        "log_odds_sub_obstacle_scale: .inf"}) {
    const auto names_key = ::testing::ThrowsMessage<std::invalid_argument>(
        ::testing::HasSubstr('"' + line.substr(0, line.find(':')) + '"'));
    EXPECT_THAT([&] { Make(Edit(line)); }, names_key);
    EXPECT_THAT([&] { MakeFromFile(Edit(line)); }, names_key);
    EXPECT_THAT(
        [&] {
          const auto params = DynamicLaserDetectorParams::FromYaml(YAML::Load(Edit(line)));
          DynamicLaserDetector detector(params);
        },
        names_key);
  }
  // Missing and non-numeric values keep the YAML library's exceptions, and so
  // does a file that cannot be read.
  EXPECT_THROW(Make(Edit("width:")), YAML::Exception);
  EXPECT_THROW(Make(Edit("log_odds_obstacle: wide")), YAML::Exception);
  EXPECT_THROW(DynamicLaserDetectorParams::FromYaml(YAML::Load(Edit("width:"))), YAML::Exception);
  EXPECT_THROW(DynamicLaserDetector(::testing::TempDir() + "no_such_laser.yaml"), YAML::BadFile);
}

TEST(LaserConfigurationTest, RecordYamlAndFileGiveTheSameDetector) {
  DynamicLaserDetectorParams params;
  params.resolution = 0.1f;
  params.width = 6.0f;
  params.occupancy_threshold = 0.0f;
  params.log_odds_obstacle = 0.5f;
  params.log_odds_occlusion = 0.3f;
  params.log_odds_free_space = 0.05f;
  // The sub-obstacle scale keeps its default 0.5, as kConfig, which omits it.
  std::vector<std::unique_ptr<DynamicLaserDetector>> detectors;
  detectors.push_back(std::make_unique<DynamicLaserDetector>(params));
  detectors.push_back(Make());
  detectors.push_back(MakeFromFile(kConfig));
  std::vector<cv::Mat> grids;
  std::vector<std::vector<float>> dynamic_ranges;
  for (const auto& detector : detectors) {
    auto dynamic_scan = std::make_shared<LaserScan>(), static_scan = std::make_shared<LaserScan>();
    detector->Process(Room(), PlanarPose(0.0, -2.25, 0.0), dynamic_scan, static_scan);
    detector->Process(Room(), PlanarPose(0.1, -2.2, 0.3), dynamic_scan, static_scan);
    grids.push_back(detector->grid_map().log_odds_map());
    dynamic_ranges.push_back(dynamic_scan->ranges);
  }
  for (std::size_t i = 1; i < detectors.size(); ++i) {
    EXPECT_EQ(MaxDifference(grids[i], grids[0]), 0.0) << "detector " << i;
    EXPECT_THAT(dynamic_ranges[i], Pointwise(NanSensitiveFloatEq(), dynamic_ranges[0]));
  }
}

TEST(LaserProcessTest, FirstCallOnlyIntegratesThenTheGridFollowsKnownPoses) {
  const auto detector = Make();
  const auto scan = Room();
  const auto blind = Scan(0.0f, kAlongX, 0, {});
  auto dynamic_scan = std::make_shared<LaserScan>(), static_scan = std::make_shared<LaserScan>();
  dynamic_scan->ranges.assign(12, 5.0f);
  const auto process = [&](const auto& input, const geometry_msgs::msg::Pose& pose) {
    detector->Process(input, pose, dynamic_scan, static_scan);
    return detector->grid_map().log_odds_map().clone();
  };
  const cv::Mat first = process(scan, PlanarPose(0.0, -2.25, 0.0));
  EXPECT_EQ(dynamic_scan->ranges, std::vector<float>(9, kMarker));
  EXPECT_THAT(static_scan->ranges, Pointwise(NanSensitiveFloatEq(), scan->ranges));
  const auto reference = Make();
  reference->UpdateOccupancyGridMap(scan);
  EXPECT_EQ(MaxDifference(first, reference->grid_map().log_odds_map()), 0.0);
  // Seen twice from one pose, every end cell in the grid holds exactly the
  // threshold; the others and non-finite readings are static too.
  dynamic_scan->ranges.assign(9, 5.0f);
  const cv::Mat before = process(scan, PlanarPose(0.0, -2.25, 0.0));
  EXPECT_EQ(dynamic_scan->ranges, std::vector<float>({kMarker, kMarker, kMarker, kMarker, kMarker,
                                                      kMarker, kMarker, kMarker, 5.0f}));
  EXPECT_THAT(static_scan->ranges, Pointwise(NanSensitiveFloatEq(), scan->ranges));

  // Poses without a finite x, y and yaw move nothing.
  for (const auto& unknown :
       {PlanarPose(NAN, 0.0, 0.0), PlanarPose(0.0, 0.0, NAN), PlanarPose(1e300, 0.0, 0.0)})
    EXPECT_EQ(MaxDifference(process(blind, unknown), before), 0.0);
  // Two cells forward from the last known pose, heading 0 by a zero quaternion:
  // zeros enter at the front.
  geometry_msgs::msg::Pose forward = PlanarPose(0.2, -2.25, 0.0);
  forward.orientation.w = 0.0;
  const cv::Mat after = process(blind, forward);
  const int width = after.cols;
  EXPECT_EQ(MaxDifference(after.colRange(0, width - 2), before.colRange(2, width)), 0.0);
  EXPECT_EQ(CellsNotAt(after.colRange(width - 2, width), 0.0f), 0);
  EXPECT_EQ(CellsNotAt(process(blind, PlanarPose(3e38, -1e30, 0.3)), 0.0f), 0);
}

TEST(LaserTransformTest, OddGridTurnsAboutTheCellBelowItsCentre) {
  // 15 cells, turn centre 7 (not the grid centre 8): half a turn maps cells
  // 0..14 onto 14..0, so no cell enters from outside and none leaves -1.
  const auto detector = Make(Edit("resolution: 0.2", Edit("width: 3")));
  ASSERT_EQ(detector->grid_map().grid_width(), 15);
  detector->TransformOccupancyGridMap(Eigen::Vector2f::Zero(), 3.14f);
  EXPECT_EQ(CellsNotAt(detector->grid_map().log_odds_map(), -1.0f), 0);
}

TEST(LaserTransformTest, ClosesTheWarpAboveFiveHundredthsOfARadian) {
  // 0.05f, the float nearest to 0.05, lies just above it.
  for (const auto& [angle, closing] : std::vector<std::pair<float, bool>>{
           {0.049f, false}, {-0.049f, false}, {0.05f, true}, {-0.05f, true}, {0.06f, true}}) {
    const auto detector = Make();
    detector->UpdateOccupancyGridMap(Room());
    const cv::Mat before = detector->grid_map().log_odds_map().clone();
    detector->TransformOccupancyGridMap(Eigen::Vector2f::Zero(), angle);
    // Degrees by the 180 / 3.14 conversion; image rows grow downwards.
    const double degrees = static_cast<double>(-angle * 180.0f) / 3.14;
    const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(30.0f, 30.0f), degrees, 1.0);
    cv::Mat plain, dilated, closed;
    cv::warpAffine(before, plain, turn, before.size(), cv::INTER_CUBIC, cv::BORDER_CONSTANT, 0.0);
    cv::dilate(before, dilated, cv::Mat::ones(3, 3, CV_8U));
    cv::warpAffine(dilated, closed, turn, before.size(), cv::INTER_CUBIC, cv::BORDER_CONSTANT, 0.0);
    cv::erode(closed, closed, cv::Mat::ones(3, 3, CV_8U));
    EXPECT_LT(MaxDifference(detector->grid_map().log_odds_map(), closing ? closed : plain), 1e-4f)
        << angle;
  }
}

}  // namespace
}  // namespace kestrel::perception
