// DynamicCloudDetector against hand-worked single-precision numbers
// (e.g. -1 + 0.4f = -0.60000002) and its debug windows on a display.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/logger.h"

namespace kestrel {
namespace perception {
namespace {

using testing::ElementsAre;
using Point = pcl::PointXYZ;
using Points = std::initializer_list<Point>;

// Debug statements must pass and the console stay quiet; set before the
// logger's first statement, which reads the environment once.
const bool kLoggerConfigured = setenv("SPDLOG_STDOUT", "false", 1) == 0 &&
                               setenv("SPDLOG_SYSTEMD", "false", 1) == 0 &&
                               setenv("SPDLOG_LEVEL", "debug", 1) == 0;

// The log statements of `action` as "<function> <text without the count>".
template <typename Action>
std::vector<std::string> LinesLoggedBy(Action action) {
  const auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16);
  larkspur::Logger::Instance().GetLogger()->sinks().push_back(sink);
  action();
  larkspur::Logger::Instance().GetLogger()->sinks().pop_back();
  std::vector<std::string> lines;
  for (const auto& line : sink->last_raw()) {
    lines.push_back(line.source.funcname +
                    std::string(line.payload.begin() + 3, line.payload.end()));
  }
  return lines;
}

// The test configuration with the entries of the YAML map `overrides`.
YAML::Node Config(const char* overrides = "{}") {
  YAML::Node config = YAML::Load(
      "{resolution: 0.1, width: 20, occupancy_threshold: 0.0, log_odds_obstacle: 0.4, "
      "log_odds_occlusion: 0.2, log_odds_free_space: -0.3}");
  for (const auto& entry : YAML::Load(overrides)) config[entry.first.Scalar()] = entry.second;
  return config;
}

// 640 x 480 pixels of focal length `f`; `extrinsic` row-major, camera to robot.
// By default the worked camera at (0.2, 0, 1.0), looking along robot x.
CameraInfo Camera(float f = 320, std::initializer_list<float> extrinsic = {0, 0, 1, 0.2f, -1, 0, 0,
                                                                           0, 0, -1, 0, 1}) {
  CameraInfo camera{640, 480, Eigen::Matrix3f::Zero(), Eigen::Matrix4f::Identity()};
  camera.intrinsic << f, 0, 320, 0, f, 240, 0, 0, 1;
  camera.extrinsic.topRows<3>() =
      Eigen::Map<const Eigen::Matrix<float, 3, 4, Eigen::RowMajor>>(extrinsic.begin());
  return camera;
}

std::shared_ptr<DynamicCloudDetector::Cloud> MakeCloud(Points points) {
  auto cloud = std::make_shared<DynamicCloudDetector::Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

Eigen::Matrix4f PlanarPose(float x, float y, float yaw) {
  return (Eigen::Translation3f(x, y, 0) * Eigen::AngleAxisf(yaw, Eigen::Vector3f::UnitZ()))
      .matrix();
}

// -1 + 0.4f, + 0.4f, + 0.4f in single precision.
constexpr float kOneHit = -0.6000000238f, kTwoHits = -0.2000000179f, kThreeHits = 0.1999999881f;
// Marks column 110 row 100 and its four neighbours.
const pcl::PointXYZ kAhead{1.05f, 0.02f, 0.9f};

class DetectorTest : public testing::Test {
 protected:
  const OccupancyGridMap& grid() const { return detector_.grid_map(); }
  float LogOdds(int column, int row) const { return grid().log_odds_map().at<float>(row, column); }
  float Height(int column, int row) const { return grid().height_map().at<float>(row, column); }
  void Update(Points points, const Eigen::Matrix4f& pose) {
    detector_.Update(MakeCloud(points), pose, false);
  }
  DynamicCloudDetector detector_{Config()};
};

TEST(DynamicCloudDetectorConfigTest, TruncatesTheWidthAndLogsTheFourValues) {
  const auto lines = LinesLoggedBy([] {
    EXPECT_EQ(DynamicCloudDetector(Config("{width: 20.9}")).grid_map().grid_width(), 200);
  });
  EXPECT_THAT(lines, ElementsAre("DynamicCloudDetector [INFO] occupancy_threshold: 0.000000",
                                 "DynamicCloudDetector [INFO] log_odds_obstacle: 0.400000",
                                 "DynamicCloudDetector [INFO] log_odds_occlusion_: 0.200000",
                                 "DynamicCloudDetector [INFO] log_odds_free_space_: -0.300000"));
}

TEST(DynamicCloudDetectorConfigTest, RecordAndYamlGiveTheSameDetector) {
  DynamicCloudDetectorParams params;
  params.resolution = 0.1f;
  params.width = 20.0f;
  params.occupancy_threshold = 0.0f;
  params.log_odds_obstacle = 0.4f;
  params.log_odds_occlusion = 0.2f;
  params.log_odds_free_space = -0.3f;
  DynamicCloudDetector from_record(params);
  DynamicCloudDetector from_yaml(Config());
  // Two frames, the second after a forward move and a turn: hits, free cells
  // and the moved grid all depend on the record's values.
  for (DynamicCloudDetector* detector : {&from_record, &from_yaml}) {
    detector->Init(Camera());
    detector->Update(MakeCloud({kAhead}), PlanarPose(0, 0, 0), false);
    detector->Update(MakeCloud({kAhead, {2.0f, -0.5f, 0.4f}}), PlanarPose(0.3f, 0, 0.2f), false);
  }
  const OccupancyGridMap& a = from_record.grid_map();
  const OccupancyGridMap& b = from_yaml.grid_map();
  ASSERT_EQ(a.grid_width(), 200);
  ASSERT_EQ(b.grid_width(), 200);
  EXPECT_EQ(cv::norm(a.log_odds_map(), b.log_odds_map(), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(a.height_map(), b.height_map(), cv::NORM_INF), 0.0);
  EXPECT_EQ(from_record.grid_status(), from_yaml.grid_status());
}

// Each parameter replaces one key of the configuration, which the message must
// name, whether the detector reads the YAML or a record read from it.
class ConfigErrorTest : public testing::TestWithParam<const char*> {};

TEST_P(ConfigErrorTest, ThrowsNamingTheKey) {
  const std::string key = YAML::Load(GetParam()).begin()->first.Scalar();
  const auto names_key =
      testing::ThrowsMessage<std::invalid_argument>(testing::HasSubstr('"' + key + '"'));
  EXPECT_THAT([] { DynamicCloudDetector detector(Config(GetParam())); }, names_key);
  EXPECT_THAT(
      [] {
        const auto params = DynamicCloudDetectorParams::FromYaml(Config(GetParam()));
        DynamicCloudDetector detector(params);
      },
      names_key);
}

// Width 0 gives no cell, 2000 gives 20000 per side, 3e9 a side beyond the int range.
INSTANTIATE_TEST_SUITE_P(OutOfRange, ConfigErrorTest,
                         testing::Values("{resolution: 0}", "{resolution: -0.1}",
                                         "{resolution: .nan}", "{resolution: .inf}", "{width: -1}",
                                         "{width: .nan}", "{width: 0}", "{width: 2000}",
                                         "{width: 3.0e9}", "{occupancy_threshold: .nan}",
                                         "{log_odds_obstacle: .inf}", "{log_odds_occlusion: .nan}",
                                         "{log_odds_free_space: -.inf}"));

TEST_F(DetectorTest, RegionIsTheWorkedCameraTriangle) {
  // Corners (0,0), (0,479), (639,479), (639,0) at 5 m: x = (u - 320) * 5 / 320
  // = -5 or 4.984375 becomes robot -y; depth 5 plus the mounting 0.2 is x.
  const std::array<Eigen::Vector2f, 5> expected = {
      {{5.2f, 5.0f}, {5.2f, 5.0f}, {5.2f, -4.984375f}, {5.2f, -4.984375f}, {0.2f, 0.0f}}};
  EXPECT_EQ(CameraGroundFootprint(Camera()), expected);
  EXPECT_FALSE(detector_.IsInRoi(1.0f, 0.0f));  // before Init
  detector_.Init(Camera());
  EXPECT_TRUE(detector_.IsInRoi(1.0f, 0.0f));
  EXPECT_TRUE(detector_.IsInRoi(3.0f, 2.0f));   // below the edge y = x - 0.2
  EXPECT_FALSE(detector_.IsInRoi(3.0f, 3.0f));  // above it
  EXPECT_FALSE(detector_.IsInRoi(6.0f, 0.0f));  // beyond 5 m
  EXPECT_FALSE(detector_.IsInRoi(NAN, 0.0f));
  // A camera collapsed to a point replaces the region with none; an INT_MIN-wide
  // image's last pixel lies beyond the int range.
  CameraInfo degenerate = Camera();
  degenerate.extrinsic.setZero();
  degenerate.width = std::numeric_limits<std::int32_t>::min();
  detector_.Init(degenerate);
  EXPECT_FALSE(detector_.IsInRoi(1.0f, 0.0f));
}

TEST(CornerConversionTest, CornerOutsideTheGridIsNotFree) {
  // 25 cells of 0.2 m, centre 13: column 0's corner, -2.6000001, comes back as
  // column -1 (row 0 likewise); every other corner is seen from 5 m above.
  DynamicCloudDetector detector(Config("{resolution: 0.2, width: 5}"));
  detector.Init(Camera(10, {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 5}));
  detector.InputCloudToOccupancyGridMap(nullptr, false);
  for (int k = 0; k < 25 * 25; ++k)
    EXPECT_EQ(detector.grid_status()[k], k < 25 || k % 25 == 0 ? UNOBSERVED : FREE) << k;
}

TEST_F(DetectorTest, PointsMarkTheirCellAndFourNeighboursOnceAndDivideStrictly) {
  detector_.Init(Camera());
  // A second, lower point on the same cells; one below the default height
  // and out of view (column 79); points without a finite position or height.
  auto cloud = MakeCloud({kAhead, Point(1.06f, 0.03f, 0.5f), Point(-2.05f, 0.02f, 0.1f),
                          Point(NAN, 0, 0.5f), Point(3.05f, 0.05f, NAN), Point(3e38f, -3e38f, 0)});
  auto dynamic_cloud = std::make_shared<DynamicCloudDetector::Cloud>();
  for (const float expected : {kOneHit, kTwoHits, kThreeHits}) {
    detector_.InputCloudToOccupancyGridMap(cloud, false);
    const std::vector<int>& status = detector_.grid_status();
    EXPECT_EQ(std::count(status.begin(), status.end(), OCCUPIED), 10);
    for (const auto& [column, row] :
         {std::pair(110, 100), {109, 100}, {111, 100}, {110, 99}, {110, 101}}) {
      EXPECT_EQ(LogOdds(column, row), expected) << column << "," << row;
      EXPECT_EQ(Height(column, row), 0.9f);
    }
    detector_.DivideCloud(cloud, dynamic_cloud, cloud);  // the input doubles as an output
    // The point without a height lies in a free cell, always dynamic.
    EXPECT_EQ(dynamic_cloud->size(), expected < 0.0f ? 4u : 1u);
    for (const auto& out : {dynamic_cloud, cloud})  // unorganised, as many columns as points
      EXPECT_TRUE(out->width == out->size() && out->height == 1) << out->width;
    cloud->insert(cloud->end(), dynamic_cloud->begin(), dynamic_cloud->end());
  }
  EXPECT_EQ(Height(79, 100), 0.3f);
  EXPECT_EQ(LogOdds(111, 101), -1.0f);  // the diagonal neighbour, seen free
  // A missing cloud frees the region, heights back to the default, and leaves
  // the cells outside it as they were.
  detector_.InputCloudToOccupancyGridMap(nullptr, false);
  EXPECT_FLOAT_EQ(LogOdds(110, 100), kThreeHits - 0.3f);
  EXPECT_EQ(Height(110, 100), 0.3f);
  EXPECT_EQ(LogOdds(79, 100), kThreeHits);
  // A fresh cell holds -1: static at a threshold of -1.
  detector_ = DynamicCloudDetector(Config("{occupancy_threshold: -1}"));
  detector_.DivideCloud(cloud, dynamic_cloud, cloud);
  EXPECT_TRUE(dynamic_cloud->empty());
  detector_.DivideCloud(nullptr, dynamic_cloud, cloud);
  EXPECT_TRUE(cloud->empty());
}

TEST_F(DetectorTest, TurnsBy180Over314AboutTheHalfCellCentre) {
  // A cross at 1.0 around column 190, row 100 (9 m ahead) lies 9 m to the
  // right after a left turn of pi/2, around column 100, row 10. The turn is
  // applied as 90.0457 degrees: from column 101, row 10 the source lies 0.07
  // rows beyond the cross's arm, so the cell blends in some of the -1 outside.
  for (int k = 0; k < 5; ++k) Update({{9.05f, 0.02f, 0.5f}}, PlanarPose(0, 0, 0));
  Update({}, PlanarPose(0, 0, static_cast<float>(M_PI / 2)));
  EXPECT_NEAR(LogOdds(100, 10), 1.0f, 1e-5f);
  EXPECT_NEAR(LogOdds(101, 10), 0.85f, 0.1f);
  // 15 cells of 0.2 m turn about image point (7, 7), not the middle (7.5,
  // 7.5): column 12, row 8 goes to column 8, row 2 (about the middle: row 3).
  detector_ = DynamicCloudDetector(Config("{resolution: 0.2, width: 3}"));
  for (int k = 0; k < 5; ++k) Update({{0.85f, 0.05f, 0.5f}}, PlanarPose(0, 0, 0));
  Update({}, PlanarPose(0, 0, static_cast<float>(M_PI / 2)));
  EXPECT_NEAR(LogOdds(8, 2), 1.0f, 1e-5f);
  EXPECT_NEAR(LogOdds(7, 3), -1.0f, 1e-5f);
}

TEST_F(DetectorTest, YawWrapsToTheShortTurn) {
  // From yaw 3.1 to -3.1 the robot turns left by 0.0832 rad, applied as
  // 0.0832 * pi / 3.14: the cross 90 cells ahead moves to row
  // 100 - 90 sin(0.08323) = 92.52 (with a turn of -6.2 rad: 92.80). The
  // centroid weighs each cell by its log-odds + 1.
  for (int k = 0; k < 5; ++k) Update({{9.05f, 0.02f, 0.5f}}, PlanarPose(0, 0, 3.1f));
  Update({}, PlanarPose(0, 0, -3.1f));
  const cv::Rect window(183, 86, 14, 14);
  const cv::Moments m = cv::moments(grid().log_odds_map()(window) + 1.0);
  EXPECT_NEAR(window.x + m.m10 / m.m00, 189.69, 0.1);
  EXPECT_NEAR(window.y + m.m01 / m.m00, 92.52, 0.1);
}

class LostPoseTest : public DetectorTest, public testing::WithParamInterface<Eigen::Matrix4f> {};

TEST_P(LostPoseTest, ForgetsTheGridUntilTwoUsablePosesFollow) {
  const auto expect_every_cell_unknown = [this] {
    EXPECT_EQ(cv::norm(grid().log_odds_map(), cv::NORM_INF), 0.0);
    EXPECT_NEAR(cv::norm(grid().height_map() - 0.3, cv::NORM_INF), 0.0, 1e-6);
  };
  Update({kAhead}, PlanarPose(0, 0, 0));
  Update({}, GetParam());
  expect_every_cell_unknown();
  Update({}, PlanarPose(0, 0, 0));  // the way back is unknown or too long as well
  expect_every_cell_unknown();
  // Then forward motion shifts the content five columns.
  Update({kAhead}, PlanarPose(0, 0, 0));
  Update({}, PlanarPose(0.5f, 0, 0));
  EXPECT_FLOAT_EQ(LogOdds(105, 100), 0.4f);
  EXPECT_EQ(Height(105, 100), 0.9f);
}

// Non-finite entries, and jumps beyond the grid (25 m still goes through the warp).
INSTANTIATE_TEST_SUITE_P(Poses, LostPoseTest,
                         testing::Values(PlanarPose(NAN, 0, 0), PlanarPose(0, -INFINITY, 0),
                                         PlanarPose(0, 0, NAN), PlanarPose(25, -12.5f, 1),
                                         PlanarPose(3e38f, -1.5e38f, 1)));

TEST_F(DetectorTest, UpdateLogsFourDebugLinesAndFirstStoresThePose) {
  const auto lines = LinesLoggedBy([this] {
    Update({kAhead, kAhead, kAhead}, PlanarPose(1.5f, -2, 0));
  });
  EXPECT_THAT(lines,
              ElementsAre("Update [DEBUG] received cloud size: 3",
                          "Update [DEBUG] Current pose: 1.5, -2, 0",
                          testing::MatchesRegex("Update .DEBUG. transform runtime = [0-9]+.us."),
                          testing::MatchesRegex("Update .DEBUG. gridmap runtime = [0-9]+.us.")));
  EXPECT_EQ(LogOdds(110, 100), kOneHit);  // the cloud lands where it was seen
}

// Without a display highgui's Qt back end would abort the process.
TEST_F(DetectorTest, WithoutADisplayTheWindowsAreSkipped) {
  unsetenv("DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  detector_.Update(MakeCloud({kAhead}), PlanarPose(0, 0, 0), true);
  EXPECT_EQ(LogOdds(110, 100), kOneHit);
}

// Run on a virtual X server by extra.cmake (LARKSPUR_REQUIRE_DISPLAY set);
// elsewhere skipped when no display is configured.
TEST(DebugWindowDisplayTest, ShowsTheThreeWindowsAndTheStatusColours) {
  if (std::getenv("DISPLAY") == nullptr) {
    if (std::getenv("LARKSPUR_REQUIRE_DISPLAY") != nullptr) FAIL() << "DISPLAY is not set";
    GTEST_SKIP() << "no DISPLAY";
  }
  DynamicCloudDetector detector(Config());
  detector.Init(Camera());
  detector.Update(MakeCloud({kAhead}), PlanarPose(0, 0, 0), true);
  // Cell row 100, flipped so that +y points up: occupied, free, unobserved.
  const cv::Mat status = detector.DrawDebugImages().occupancy;
  EXPECT_EQ(status.at<cv::Vec3b>(99, 110), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(status.at<cv::Vec3b>(99, 130), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(status.at<cv::Vec3b>(99, 50), cv::Vec3b(255, 0, 0));
  // The server maps the windows while the GUI loop runs; give it a few turns.
  for (const char* name : {"occupancy", "dynamic_static", "combined"}) {
    const std::string command = std::string("xwininfo -root -tree | grep -q '\"") + name + "\"'";
    bool listed = false;
    for (int turn = 0; turn < 50 && !listed; ++turn) {
      cv::waitKey(20);
      listed = std::system(command.c_str()) == 0;
    }
    EXPECT_TRUE(listed) << name << " is not among the windows of the display";
  }
  cv::destroyAllWindows();
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
