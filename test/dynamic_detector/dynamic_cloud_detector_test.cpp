// DynamicCloudDetector: configuration, camera region, integration, division
// and the ego-motion update. Expected values are worked by hand in single
// precision (e.g. -1 + 0.4f = -0.60000002, whose grey is trunc(50.99999) = 50).
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <opencv2/highgui.hpp>
#include "larkspur_perception_libs/dynamic_cloud_detector.h"

#include "logger.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = DynamicCloudDetector::Cloud;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Debug statements must pass and the console stay quiet; set before the
// logger's first statement, which reads the environment once.
const bool kLoggerConfigured = [] {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "debug", 1);
  return true;
}();

struct Record {
  spdlog::level::level_enum level;
  std::string text;  // without the running count
  std::string file;
  std::string function;
};

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Record> records;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string text(msg.payload.data(), msg.payload.size());
    records.push_back({msg.level, text.substr(3), msg.source.filename, msg.source.funcname});
  }
  void flush_() override {}
};

// Captures the log records of its lifetime.
class LogCapture {
 public:
  LogCapture() : logger_(larkspur::Logger::Instance().GetLogger()) {
    logger_->sinks().push_back(sink_);
  }
  ~LogCapture() { logger_->sinks().pop_back(); }
  const std::vector<Record>& records() const { return sink_->records; }

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
};

YAML::Node BaseConfig() {
  return YAML::Load(
      "{resolution: 0.1, width: 20, occupancy_threshold: 0.0, log_odds_obstacle: 0.4, "
      "log_odds_occlusion: 0.2, log_odds_free_space: -0.3}");
}

// A camera with square pixels of focal length `f`; `axes` holds the robot-frame
// directions of the camera's x, y and z axes as columns.
CameraInfo MakeCamera(int width, int height, float f, float cx, float cy,
                      const Eigen::Matrix3f& axes, const Eigen::Vector3f& position) {
  CameraInfo camera;
  camera.width = width;
  camera.height = height;
  camera.intrinsic << f, 0, cx, 0, f, cy, 0, 0, 1;
  camera.extrinsic.setIdentity();
  camera.extrinsic.topLeftCorner<3, 3>() = axes;
  camera.extrinsic.topRightCorner<3, 1>() = position;
  return camera;
}

// Optical axis along robot x, image x along robot -y, image y along robot -z.
Eigen::Matrix3f LookingForward() {
  Eigen::Matrix3f axes;
  axes << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return axes;
}

Eigen::Matrix3f LookingBackward() {
  Eigen::Matrix3f axes;
  axes << 0, 0, -1, 1, 0, 0, 0, -1, 0;
  return axes;
}

Eigen::Matrix3f LookingDown() {
  Eigen::Matrix3f axes;
  axes << 1, 0, 0, 0, -1, 0, 0, 0, -1;
  return axes;
}

// The worked camera: 640 x 480, f 320, at (0.2, 0, 1.0) looking along x.
CameraInfo ForwardCamera() {
  return MakeCamera(640, 480, 320.0f, 320.0f, 240.0f, LookingForward(), {0.2f, 0.0f, 1.0f});
}

// Footprint of about 320 x 240 m around the robot: every cell of a test grid.
CameraInfo DownwardCamera() {
  return MakeCamera(640, 480, 10.0f, 320.0f, 240.0f, LookingDown(), {0.0f, 0.0f, 5.0f});
}

std::shared_ptr<Cloud> MakeCloud(const std::vector<pcl::PointXYZ>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

Eigen::Matrix4f PlanarPose(float x, float y, float yaw) {
  Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
  pose(0, 0) = std::cos(yaw);
  pose(0, 1) = -std::sin(yaw);
  pose(1, 0) = std::sin(yaw);
  pose(1, 1) = std::cos(yaw);
  pose(0, 3) = x;
  pose(1, 3) = y;
  return pose;
}

float LogOdds(const DynamicCloudDetector& detector, int column, int row) {
  return detector.grid_map().log_odds_map().at<float>(row, column);
}
float Height(const DynamicCloudDetector& detector, int column, int row) {
  return detector.grid_map().height_map().at<float>(row, column);
}
int Status(const DynamicCloudDetector& detector, int column, int row) {
  return detector.grid_status()[row * detector.grid_map().grid_width() + column];
}
int CountStatus(const DynamicCloudDetector& detector, int status) {
  const std::vector<int>& cells = detector.grid_status();
  return static_cast<int>(std::count(cells.begin(), cells.end(), status));
}

// -1 + 0.4f, + 0.4f, + 0.4f in single precision.
constexpr float kOneHit = -0.6000000238f;
constexpr float kTwoHits = -0.2000000179f;
constexpr float kThreeHits = 0.1999999881f;

// (1.05, 0.02) marks column 110 row 100 and its four neighbours.
const pcl::PointXYZ kAhead{1.05f, 0.02f, 0.9f};
const std::vector<std::pair<int, int>> kAheadCells = {
    {110, 100}, {109, 100}, {111, 100}, {110, 99}, {110, 101}};

// Output of `xwininfo -root -tree`: every window on the display with its name.
std::string WindowTree() {
  std::string tree;
  FILE* pipe = popen("xwininfo -root -tree 2>&1", "r");
  if (pipe == nullptr) return tree;
  char buffer[4096];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) tree += buffer;
  pclose(pipe);
  return tree;
}

// ---------------------------------------------------------------- configuration

TEST(DynamicCloudDetectorConfigTest, WidthIsTruncatedToWholeMetres) {
  YAML::Node config = BaseConfig();
  config["width"] = 20.9;
  const DynamicCloudDetector detector(config);
  EXPECT_EQ(detector.grid_map().grid_width(), 200);
  ASSERT_EQ(detector.grid_status().size(), 40000u);
  EXPECT_EQ(CountStatus(detector, UNOBSERVED), 40000);
  double min = 0.0, max = 0.0;
  cv::minMaxLoc(detector.grid_map().log_odds_map(), &min, &max);
  EXPECT_EQ(min, -1.0);
  EXPECT_EQ(max, -1.0);
}

TEST(DynamicCloudDetectorConfigTest, LogsTheFourValuesFromTheConstructor) {
  const LogCapture capture;
  const DynamicCloudDetector detector(BaseConfig());
  const std::vector<std::string> expected = {
      " [INFO] occupancy_threshold: 0.000000", " [INFO] log_odds_obstacle: 0.400000",
      " [INFO] log_odds_occlusion_: 0.200000", " [INFO] log_odds_free_space_: -0.300000"};
  ASSERT_EQ(capture.records().size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) {
    const Record& record = capture.records()[k];
    EXPECT_EQ(record.text, expected[k]);
    EXPECT_EQ(record.level, spdlog::level::info);
    EXPECT_EQ(record.function, "DynamicCloudDetector");
    EXPECT_NE(record.file.find("src/dynamic_detector/dynamic_cloud_detector.cpp"),
              std::string::npos);
  }
}

TEST(DynamicCloudDetectorConfigTest, ReadsAFile) {
  const std::string path = testing::TempDir() + "dynamic_cloud_detector_config.yaml";
  std::ofstream(path) << "resolution: 0.2\nwidth: 5\noccupancy_threshold: 0.0\n"
                         "log_odds_obstacle: 0.4\nlog_odds_occlusion: 0.2\n"
                         "log_odds_free_space: -0.3\n";
  const DynamicCloudDetector detector(path);
  EXPECT_EQ(detector.grid_map().grid_width(), 25);
  std::remove(path.c_str());
  EXPECT_THROW(DynamicCloudDetector{path}, YAML::BadFile);
}

const char* const kKeys[] = {"resolution",          "width",
                             "occupancy_threshold", "log_odds_obstacle",
                             "log_odds_occlusion",  "log_odds_free_space"};

class ConfigKeyTest : public testing::TestWithParam<const char*> {};

TEST_P(ConfigKeyTest, MissingKeyThrowsTheYamlExceptionAndLogsNothing) {
  YAML::Node config = BaseConfig();
  config.remove(GetParam());
  const LogCapture capture;
  EXPECT_THROW(DynamicCloudDetector{config}, YAML::Exception);
  EXPECT_TRUE(capture.records().empty());
}

TEST_P(ConfigKeyTest, NonNumericValueThrowsTheYamlConversionError) {
  YAML::Node config = BaseConfig();
  config[GetParam()] = "wide";
  const LogCapture capture;
  EXPECT_THROW(DynamicCloudDetector{config}, YAML::BadConversion);
  EXPECT_TRUE(capture.records().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryKey, ConfigKeyTest, testing::ValuesIn(kKeys));

struct BadValue {
  const char* key;
  const char* value;
  const char* named;  // the key the message must name
};

class ConfigValueTest : public testing::TestWithParam<BadValue> {};

TEST_P(ConfigValueTest, ThrowsNamingTheKeyAndLogsNothing) {
  const BadValue bad = GetParam();
  YAML::Node config = BaseConfig();
  config[bad.key] = YAML::Load(bad.value);
  const LogCapture capture;
  try {
    const DynamicCloudDetector detector(config);
    ADD_FAILURE() << bad.key << ": " << bad.value << " accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find(std::string("\"") + bad.named + "\""),
              std::string::npos)
        << error.what();
  }
  EXPECT_TRUE(capture.records().empty());
}

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, ConfigValueTest,
    testing::Values(BadValue{"resolution", "0", "resolution"},
                    BadValue{"resolution", "-0.1", "resolution"},
                    BadValue{"resolution", ".nan", "resolution"},
                    BadValue{"resolution", ".inf", "resolution"}, BadValue{"width", "-1", "width"},
                    BadValue{"width", ".nan", "width"}, BadValue{"width", ".inf", "width"},
                    // 0 cells, and 20000 cells per side
                    BadValue{"width", "0", "width"}, BadValue{"width", "2000", "width"},
                    BadValue{"occupancy_threshold", ".nan", "occupancy_threshold"},
                    BadValue{"log_odds_obstacle", ".inf", "log_odds_obstacle"},
                    BadValue{"log_odds_occlusion", ".nan", "log_odds_occlusion"},
                    BadValue{"log_odds_free_space", "-.inf", "log_odds_free_space"}));

TEST(ConfigIntRangeTest, FewHugeCellsStillNeedAnIntSide) {
  // 3000 cells of 1000 km: a sane count, but a side beyond the int range.
  YAML::Node config = BaseConfig();
  config["resolution"] = 1.0e6;
  config["width"] = 3.0e9;
  try {
    const DynamicCloudDetector detector(config);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("\"width\""), std::string::npos) << error.what();
  }
}

// ------------------------------------------------------------ region of interest

TEST(CameraFootprintTest, WorkedCameraGivesTheFivePlanarPoints) {
  const std::array<Eigen::Vector2f, 5> footprint = CameraGroundFootprint(ForwardCamera());
  // Corners (0,0), (0,479), (639,479), (639,0) at 5 m: x = (u - 320) * 5 / 320
  // = -5 or 4.984375 becomes robot -y; depth 5 plus the mounting 0.2 is x.
  const std::array<Eigen::Vector2f, 5> expected = {
      {{5.2f, 5.0f}, {5.2f, 5.0f}, {5.2f, -4.984375f}, {5.2f, -4.984375f}, {0.2f, 0.0f}}};
  for (size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(footprint[k].x(), expected[k].x()) << k;
    EXPECT_EQ(footprint[k].y(), expected[k].y()) << k;
  }
}

class RegionOfInterestTest : public testing::Test {
 protected:
  DynamicCloudDetector detector_{BaseConfig()};
};

TEST_F(RegionOfInterestTest, WorkedCameraSeesTheTriangle) {
  detector_.Init(ForwardCamera());
  EXPECT_TRUE(detector_.IsInRoi(1.0f, 0.0f));
  EXPECT_TRUE(detector_.IsInRoi(3.0f, 2.0f));   // below the edge y = x - 0.2
  EXPECT_FALSE(detector_.IsInRoi(3.0f, 3.0f));  // above it
  EXPECT_FALSE(detector_.IsInRoi(0.0f, 0.0f));  // the robot's own cell, behind the camera
  EXPECT_FALSE(detector_.IsInRoi(6.0f, 0.0f));  // beyond 5 m
}

TEST_F(RegionOfInterestTest, CornerOnTheHullEdgeIsOutside) {
  // Principal point at the left image edge: the footprint's upper edge runs
  // along y = 0 from the camera at the origin to (5, 0).
  detector_.Init(MakeCamera(640, 480, 320.0f, 0.0f, 240.0f, LookingForward(), {0, 0, 0}));
  EXPECT_FALSE(detector_.IsInRoi(1.0f, 0.0f));
  EXPECT_TRUE(detector_.IsInRoi(1.0f, -0.1f));
  EXPECT_FALSE(detector_.IsInRoi(1.0f, 0.1f));
}

TEST_F(RegionOfInterestTest, FalseBeforeInitAndOutsideTheGrid) {
  EXPECT_FALSE(detector_.IsInRoi(1.0f, 0.0f));
  detector_.Init(DownwardCamera());
  EXPECT_TRUE(detector_.IsInRoi(-9.95f, 9.95f));
  EXPECT_FALSE(detector_.IsInRoi(10.0f, 0.0f));
  EXPECT_FALSE(detector_.IsInRoi(0.0f, -10.01f));
  EXPECT_FALSE(detector_.IsInRoi(kNaN, 0.0f));
  EXPECT_FALSE(detector_.IsInRoi(0.0f, kInf));
}

TEST_F(RegionOfInterestTest, SecondInitReplacesTheRegion) {
  detector_.Init(ForwardCamera());
  detector_.Init(MakeCamera(640, 480, 320.0f, 320.0f, 240.0f, LookingBackward(), {0, 0, 1}));
  EXPECT_FALSE(detector_.IsInRoi(1.0f, 0.0f));
  EXPECT_TRUE(detector_.IsInRoi(-3.0f, 0.0f));
}

TEST_F(RegionOfInterestTest, ExtremeImageSizesStayInRange) {
  // The last pixel of an INT_MIN-wide image lies beyond the int range; the
  // sanitizer run checks that no overflow happens on the way.
  CameraInfo camera = ForwardCamera();
  camera.width = std::numeric_limits<std::int32_t>::min();
  camera.height = std::numeric_limits<std::int32_t>::max();
  detector_.Init(camera);
  detector_.InputCloudToOccupancyGridMap(MakeCloud({}), false);
  EXPECT_EQ(CountStatus(detector_, OCCUPIED), 0);
}

class DegenerateCameraTest : public testing::TestWithParam<CameraInfo> {};

TEST_P(DegenerateCameraTest, SeesNoCellFree) {
  DynamicCloudDetector detector(BaseConfig());
  detector.Init(GetParam());
  detector.InputCloudToOccupancyGridMap(MakeCloud({}), false);
  EXPECT_EQ(CountStatus(detector, FREE), 0);
  EXPECT_FALSE(detector.IsInRoi(1.0f, 0.0f));
}

CameraInfo WithZeroFocalLength() {
  CameraInfo camera = ForwardCamera();
  camera.intrinsic(0, 0) = 0.0f;
  return camera;
}
CameraInfo WithNaNExtrinsic() {
  CameraInfo camera = ForwardCamera();
  camera.extrinsic(1, 2) = kNaN;
  return camera;
}
CameraInfo WithInfinitePrincipalPoint() {
  CameraInfo camera = ForwardCamera();
  camera.intrinsic(1, 2) = kInf;
  return camera;
}

INSTANTIATE_TEST_SUITE_P(Cameras, DegenerateCameraTest,
                         testing::Values(CameraInfo{}, WithZeroFocalLength(), WithNaNExtrinsic(),
                                         WithInfinitePrincipalPoint()));

// ------------------------------------------------------------------ integration

class IntegrationTest : public testing::Test {
 protected:
  void SetUp() override { detector_.Init(ForwardCamera()); }
  void Integrate(const std::vector<pcl::PointXYZ>& points) {
    detector_.InputCloudToOccupancyGridMap(MakeCloud(points), false);
  }
  DynamicCloudDetector detector_{BaseConfig()};
};

TEST_F(IntegrationTest, PointMarksItsCellAndFourNeighbours) {
  Integrate({{1.05f, 0.02f, 0.5f}});
  for (const auto& [column, row] : kAheadCells) {
    EXPECT_EQ(Status(detector_, column, row), OCCUPIED) << column << "," << row;
    EXPECT_EQ(Height(detector_, column, row), 0.5f);
    EXPECT_EQ(LogOdds(detector_, column, row), kOneHit);
  }
  EXPECT_EQ(CountStatus(detector_, OCCUPIED), 5);
  // The diagonal neighbour is inside the camera's triangle: seen free.
  EXPECT_EQ(Status(detector_, 111, 101), FREE);
  EXPECT_EQ(LogOdds(detector_, 111, 101), -1.0f);
  EXPECT_EQ(Height(detector_, 111, 101), 0.3f);
  EXPECT_EQ(Status(detector_, 50, 100), UNOBSERVED);
  EXPECT_EQ(Height(detector_, 50, 100), 0.0f);
}

TEST_F(IntegrationTest, CellHeightIsTheHighestPointAboveTheDefault) {
  Integrate({{3.05f, 0.05f, 0.1f}, {1.05f, 0.05f, 0.8f}, {1.08f, 0.02f, 1.2f}});
  EXPECT_EQ(Height(detector_, 130, 100), 0.3f);
  EXPECT_EQ(Height(detector_, 110, 100), 1.2f);
  EXPECT_EQ(Height(detector_, 111, 100), 1.2f);
}

TEST_F(IntegrationTest, OverlappingProbesGiveOneIncrement) {
  Integrate({{1.05f, 0.02f, 0.5f}, {1.06f, 0.03f, 0.5f}, {1.15f, 0.02f, 0.5f}});
  EXPECT_EQ(LogOdds(detector_, 110, 100), kOneHit);
  EXPECT_EQ(LogOdds(detector_, 111, 100), kOneHit);
  EXPECT_EQ(LogOdds(detector_, 112, 100), kOneHit);
}

TEST_F(IntegrationTest, EmptyCloudFreesTheRegionOnly) {
  Integrate({{1.05f, 0.02f, 1.0f}, {-2.05f, 0.02f, 1.0f}});  // columns 110 and 79
  Integrate({});
  EXPECT_EQ(Status(detector_, 110, 100), FREE);
  EXPECT_FLOAT_EQ(LogOdds(detector_, 110, 100), kOneHit - 0.3f);
  EXPECT_EQ(Height(detector_, 110, 100), 0.3f);
  EXPECT_EQ(Status(detector_, 79, 100), UNOBSERVED);
  EXPECT_EQ(LogOdds(detector_, 79, 100), kOneHit);
  EXPECT_EQ(Height(detector_, 79, 100), 1.0f);
  EXPECT_EQ(LogOdds(detector_, 50, 50), -1.0f);
  EXPECT_EQ(Height(detector_, 50, 50), 0.0f);
}

TEST_F(IntegrationTest, NonFinitePointsAndNullCloudsMarkNothing) {
  Integrate({{kNaN, 0.0f, 0.5f},
             {0.5f, kInf, 0.5f},
             {1.05f, 0.02f, kNaN},
             {1.05f, 0.02f, kInf},
             {-kInf, -kInf, -kInf},
             {3.0e38f, -3.0e38f, 0.5f}});
  EXPECT_EQ(CountStatus(detector_, OCCUPIED), 0);
  detector_.InputCloudToOccupancyGridMap(nullptr, false);
  EXPECT_EQ(CountStatus(detector_, OCCUPIED), 0);
  EXPECT_GT(CountStatus(detector_, FREE), 0);
}

TEST(CornerConversionTest, FreeCellsFollowTheCornerTakenBackToACell) {
  // Camera at x = -1.35 looking backwards: column 86 (corner x = -1.4) is
  // inside its footprint, columns 87 and 88 (corners -1.3, -1.2) are not. The
  // corner of column 87 comes back as column 86, so 87 is seen free as well.
  DynamicCloudDetector detector(BaseConfig());
  detector.Init(
      MakeCamera(640, 480, 320.0f, 320.0f, 240.0f, LookingBackward(), {-1.35f, 0.0f, 1.0f}));
  EXPECT_FALSE(detector.IsInRoi(-1.25f, 0.05f));  // column 87's own entry
  detector.InputCloudToOccupancyGridMap(MakeCloud({}), false);
  EXPECT_EQ(Status(detector, 86, 100), FREE);
  EXPECT_EQ(Status(detector, 87, 100), FREE);
  EXPECT_EQ(Status(detector, 88, 100), UNOBSERVED);
}

TEST(CornerConversionTest, CornerFallingOutOfTheGridIsNotFree) {
  // 5 m at 0.2 m: 25 cells, centre 13. Column 0's corner, -2.6000001, comes
  // back as column -1 (row 0 likewise); every other corner stays inside.
  YAML::Node config = BaseConfig();
  config["resolution"] = 0.2;
  config["width"] = 5;
  DynamicCloudDetector detector(config);
  ASSERT_EQ(detector.grid_map().grid_width(), 25);
  detector.Init(DownwardCamera());
  detector.InputCloudToOccupancyGridMap(MakeCloud({}), false);
  for (int k = 0; k < 25; ++k) {
    EXPECT_EQ(Status(detector, 0, k), UNOBSERVED) << k;
    EXPECT_EQ(Status(detector, k, 0), UNOBSERVED) << k;
  }
  EXPECT_EQ(CountStatus(detector, FREE), 24 * 24);
}

// --------------------------------------------------------------------- division

class DivisionTest : public testing::Test {
 protected:
  static DynamicCloudDetector WithThreshold(double threshold) {
    YAML::Node config = BaseConfig();
    config["occupancy_threshold"] = threshold;
    return DynamicCloudDetector(config);
  }
  static size_t DynamicCount(const DynamicCloudDetector& detector, const Cloud& cloud) {
    Cloud dynamic_cloud, static_cloud;
    detector.DivideCloud(cloud, dynamic_cloud, static_cloud);
    EXPECT_EQ(dynamic_cloud.size() + static_cloud.size(), cloud.size());
    return dynamic_cloud.size();
  }
};

TEST_F(DivisionTest, NewObstacleInFreeSpaceIsDynamicUntilConfirmed) {
  DynamicCloudDetector detector = WithThreshold(0.0);
  const std::shared_ptr<Cloud> cloud = MakeCloud({kAhead});
  const float expected[] = {kOneHit, kTwoHits, kThreeHits};
  const size_t dynamic[] = {1, 1, 0};
  for (int cycle = 0; cycle < 3; ++cycle) {
    detector.InputCloudToOccupancyGridMap(cloud, false);
    EXPECT_EQ(LogOdds(detector, 110, 100), expected[cycle]);
    EXPECT_EQ(DynamicCount(detector, *cloud), dynamic[cycle]) << "cycle " << cycle;
  }
}

TEST_F(DivisionTest, ThresholdIsStrictAndOutsidePointsAreStatic) {
  const std::shared_ptr<Cloud> inside = MakeCloud({kAhead});
  // A fresh cell holds -1.0: at the threshold, hence static.
  EXPECT_EQ(DynamicCount(WithThreshold(-1.0), *inside), 0u);

  DynamicCloudDetector always = WithThreshold(1.5);
  for (int k = 0; k < 6; ++k) always.InputCloudToOccupancyGridMap(inside, false);
  ASSERT_EQ(LogOdds(always, 110, 100), 1.0f);
  EXPECT_EQ(DynamicCount(always, *inside), 1u);
  const std::shared_ptr<Cloud> outside =
      MakeCloud({{10.0f, 0.0f, 0.5f}, {0.0f, -10.5f, 0.5f}, {kNaN, 0.0f, 0.5f}, {kInf, 0, 0}});
  EXPECT_EQ(DynamicCount(always, *outside), 0u);
}

TEST_F(DivisionTest, RefillsOnlyThePointsOfTheOutputs) {
  DynamicCloudDetector detector = WithThreshold(0.0);
  std::vector<pcl::PointXYZ> points;
  for (int k = 0; k < 10; ++k) points.push_back({k % 2 ? 1.05f : 12.0f, 0.1f * k, 0.5f});
  const std::shared_ptr<Cloud> cloud = MakeCloud(points);

  Cloud dynamic_cloud = *MakeCloud(std::vector<pcl::PointXYZ>(5, {0, 0, 0}));
  Cloud static_cloud = dynamic_cloud;
  dynamic_cloud.header.frame_id = "dynamic_frame";
  static_cloud.is_dense = false;
  detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);

  ASSERT_EQ(dynamic_cloud.size(), 5u);  // odd k: inside the fresh grid
  ASSERT_EQ(static_cloud.size(), 5u);   // even k: x = 12 is outside
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(dynamic_cloud.points[k].y, points[2 * k + 1].y);
    EXPECT_EQ(static_cloud.points[k].y, points[2 * k].y);
  }
  EXPECT_EQ(dynamic_cloud.width, 5u);
  EXPECT_EQ(dynamic_cloud.header.frame_id, "dynamic_frame");
  EXPECT_FALSE(static_cloud.is_dense);
}

TEST_F(DivisionTest, AnOutputMayBeTheInput) {
  DynamicCloudDetector detector = WithThreshold(0.0);
  Cloud cloud = *MakeCloud({{1.05f, 0.0f, 0.0f}, {12.0f, 0.0f, 0.0f}, {-1.05f, 0.0f, 0.0f}});
  Cloud static_cloud;
  detector.DivideCloud(cloud, cloud, static_cloud);
  ASSERT_EQ(cloud.size(), 2u);
  EXPECT_EQ(cloud.points[1].x, -1.05f);
  ASSERT_EQ(static_cloud.size(), 1u);
  EXPECT_EQ(static_cloud.points[0].x, 12.0f);
}

TEST_F(DivisionTest, SharedPointerOverload) {
  DynamicCloudDetector detector = WithThreshold(0.0);
  const std::shared_ptr<Cloud> cloud = MakeCloud({{1.05f, 0.0f, 0.0f}, {12.0f, 0.0f, 0.0f}});
  auto dynamic_cloud = std::make_shared<Cloud>();
  auto static_cloud = std::make_shared<Cloud>();
  detector.DivideCloud(cloud, dynamic_cloud, static_cloud);
  EXPECT_EQ(dynamic_cloud->size(), 1u);
  EXPECT_EQ(static_cloud->size(), 1u);

  std::shared_ptr<Cloud> no_output;
  detector.DivideCloud(cloud, dynamic_cloud, no_output);
  EXPECT_EQ(dynamic_cloud->size(), 1u);

  detector.DivideCloud(nullptr, dynamic_cloud, static_cloud);
  EXPECT_TRUE(dynamic_cloud->empty());
  EXPECT_TRUE(static_cloud->empty());
}

// ------------------------------------------------------------ update and motion

// Without Init no cell is seen free, so only the points' cells change between
// moves and the grid's motion shows undisturbed.
class UpdateTest : public testing::Test {
 protected:
  void Update(const std::vector<pcl::PointXYZ>& points, const Eigen::Matrix4f& pose) {
    detector_.Update(MakeCloud(points), pose, false);
  }
  // Log-odds-weighted centroid (column, row) of the window, weights v + 1.
  cv::Point2d Centroid(const cv::Rect& window) const {
    const cv::Mat& log_odds = detector_.grid_map().log_odds_map();
    double mass = 0.0, column = 0.0, row = 0.0;
    for (int r = window.y; r < window.y + window.height; ++r) {
      for (int c = window.x; c < window.x + window.width; ++c) {
        const double weight = log_odds.at<float>(r, c) + 1.0;
        mass += weight;
        column += weight * c;
        row += weight * r;
      }
    }
    return {column / mass, row / mass};
  }
  DynamicCloudDetector detector_{BaseConfig()};
};

TEST_F(UpdateTest, SamePoseKeepsTheGrid) {
  const Eigen::Matrix4f pose = PlanarPose(3.0f, -2.0f, 0.7f);
  Update({kAhead}, pose);
  const cv::Mat log_odds = detector_.grid_map().log_odds_map().clone();
  const cv::Mat height = detector_.grid_map().height_map().clone();
  Update({}, pose);
  EXPECT_EQ(cv::norm(log_odds, detector_.grid_map().log_odds_map(), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(height, detector_.grid_map().height_map(), cv::NORM_INF), 0.0);
  Update({kAhead}, pose);
  EXPECT_EQ(LogOdds(detector_, 110, 100), kTwoHits);
}

TEST_F(UpdateTest, ForwardMotionShiftsTheContentFiveColumns) {
  Update({kAhead}, PlanarPose(0.0f, 0.0f, 0.0f));
  Update({}, PlanarPose(0.5f, 0.0f, 0.0f));
  for (const auto& [column, row] : kAheadCells) {
    EXPECT_EQ(LogOdds(detector_, column - 5, row), kOneHit) << column << "," << row;
    EXPECT_EQ(Height(detector_, column - 5, row), 0.9f);
  }
  EXPECT_EQ(LogOdds(detector_, 110, 100), -1.0f);
  for (int row = 0; row < 200; ++row) {
    for (int column = 195; column < 200; ++column) {
      ASSERT_EQ(LogOdds(detector_, column, row), 0.0f) << column << "," << row;
      ASSERT_EQ(Height(detector_, column, row), 0.3f);
    }
    ASSERT_EQ(LogOdds(detector_, 194, row), -1.0f);
    ASSERT_EQ(Height(detector_, 194, row), 0.0f);
  }
}

TEST_F(UpdateTest, HalfCellShiftInterpolatesLinearly) {
  for (int k = 0; k < 5; ++k) Update({kAhead}, PlanarPose(0.0f, 0.0f, 0.0f));
  ASSERT_EQ(LogOdds(detector_, 110, 100), 1.0f);
  Update({}, PlanarPose(0.05f, 0.0f, 0.0f));      // half a cell
  EXPECT_EQ(LogOdds(detector_, 111, 100), 0.0f);  // from 111.5: 1 and -1
  EXPECT_EQ(LogOdds(detector_, 110, 100), 1.0f);
  EXPECT_EQ(LogOdds(detector_, 108, 100), 0.0f);
  double min = 0.0, max = 0.0;
  cv::minMaxLoc(detector_.grid_map().log_odds_map(), &min, &max);
  EXPECT_GE(min, -1.0);
  EXPECT_LE(max, 1.0);
}

TEST_F(UpdateTest, LeftTurnRotatesByPiOver314) {
  // A cross of cells at 1.0 around column 190, row 100 (9 m ahead). After a
  // left turn of pi/2 it lies 9 m to the right, around column 100, row 10.
  // The turn is applied as 90.0457 degrees: seen from column 101, row 10 the
  // source lies 0.07 rows beyond the cross's arm (row 101.07), so the cell
  // blends in some of the -1 outside; at exactly 90 degrees it would be 1.0.
  const pcl::PointXYZ far_ahead{9.05f, 0.02f, 0.5f};
  for (int k = 0; k < 5; ++k) Update({far_ahead}, PlanarPose(0.0f, 0.0f, 0.0f));
  ASSERT_EQ(LogOdds(detector_, 190, 100), 1.0f);
  Update({}, PlanarPose(0.0f, 0.0f, static_cast<float>(M_PI / 2)));
  EXPECT_NEAR(LogOdds(detector_, 100, 10), 1.0f, 1e-5f);
  EXPECT_GT(LogOdds(detector_, 101, 10), 0.75f);
  EXPECT_LT(LogOdds(detector_, 101, 10), 0.95f);
  EXPECT_GT(LogOdds(detector_, 98, 10), -0.95f);
  EXPECT_LT(LogOdds(detector_, 98, 10), -0.75f);
}

TEST(OddGridUpdateTest, TurnsAboutTheCentreOfTheCellBelowTheMiddle) {
  // 15 cells of 0.2 m: the warp turns about image point (7, 7), not the
  // middle (7.5, 7.5). A cross at 1.0 around column 12, row 8 (5 right of and
  // 1 above the pivot) turns left by 90.0457 degrees to column 8, row 2; about
  // the middle it would land around column 8, row 3.
  YAML::Node config = BaseConfig();
  config["resolution"] = 0.2;
  config["width"] = 3;
  DynamicCloudDetector detector(config);
  const std::shared_ptr<Cloud> cross = MakeCloud({{0.85f, 0.05f, 0.5f}});
  for (int k = 0; k < 5; ++k) detector.Update(cross, PlanarPose(0.0f, 0.0f, 0.0f), false);
  ASSERT_EQ(LogOdds(detector, 12, 8), 1.0f);
  detector.Update(MakeCloud({}), PlanarPose(0.0f, 0.0f, static_cast<float>(M_PI / 2)), false);
  for (const auto& [column, row] :
       std::vector<std::pair<int, int>>{{8, 2}, {7, 2}, {9, 2}, {8, 1}, {8, 3}}) {
    EXPECT_NEAR(LogOdds(detector, column, row), 1.0f, 1e-5f) << column << "," << row;
  }
  EXPECT_NEAR(LogOdds(detector, 7, 3), -1.0f, 1e-5f);
}

TEST_F(UpdateTest, YawWrapsToTheShortTurn) {
  // From yaw 3.1 to -3.1 the robot turns left by 0.0832 rad, applied as
  // 0.0832 * pi / 3.14: the cross 90 cells ahead moves to row
  // 100 - 90 sin(0.08323) = 92.52. Turning by -6.2 rad instead would put it at
  // row 92.80.
  const pcl::PointXYZ far_ahead{9.05f, 0.02f, 0.5f};
  for (int k = 0; k < 5; ++k) Update({far_ahead}, PlanarPose(0.0f, 0.0f, 3.1f));
  const cv::Point2d before = Centroid(cv::Rect(180, 90, 21, 21));
  ASSERT_NEAR(before.x, 190.0, 1e-9);
  ASSERT_NEAR(before.y, 100.0, 1e-9);
  Update({}, PlanarPose(0.0f, 0.0f, -3.1f));
  const cv::Point2d after = Centroid(cv::Rect(183, 86, 14, 14));
  EXPECT_NEAR(after.x, 189.69, 0.1);
  EXPECT_NEAR(after.y, 92.52, 0.1);
}

class NonFinitePoseTest : public UpdateTest, public testing::WithParamInterface<Eigen::Matrix4f> {
 protected:
  void ExpectEveryCellUnknown() {
    double min = 0.0, max = 0.0;
    cv::minMaxLoc(detector_.grid_map().log_odds_map(), &min, &max);
    EXPECT_EQ(min, 0.0);
    EXPECT_EQ(max, 0.0);
    cv::minMaxLoc(detector_.grid_map().height_map(), &min, &max);
    EXPECT_FLOAT_EQ(static_cast<float>(min), 0.3f);
    EXPECT_FLOAT_EQ(static_cast<float>(max), 0.3f);
  }
};

TEST_P(NonFinitePoseTest, ForgetsTheGridUntilTwoFinitePosesFollow) {
  Update({kAhead}, PlanarPose(0.0f, 0.0f, 0.0f));
  Update({}, GetParam());
  ExpectEveryCellUnknown();
  // The motion from the unknown pose to the next one is unknown as well.
  Update({}, PlanarPose(0.0f, 0.0f, 0.0f));
  ExpectEveryCellUnknown();
  Update({kAhead}, PlanarPose(0.0f, 0.0f, 0.0f));
  Update({}, PlanarPose(0.5f, 0.0f, 0.0f));
  EXPECT_FLOAT_EQ(LogOdds(detector_, 105, 100), 0.4f);
  EXPECT_EQ(LogOdds(detector_, 110, 100), 0.0f);
}

Eigen::Matrix4f PoseWithEntry(int row, int column, float value) {
  Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
  pose(row, column) = value;
  return pose;
}

INSTANTIATE_TEST_SUITE_P(Poses, NonFinitePoseTest,
                         testing::Values(PoseWithEntry(0, 3, kNaN), PoseWithEntry(1, 3, kInf),
                                         PoseWithEntry(0, 3, -kInf), PoseWithEntry(0, 0, kNaN),
                                         PoseWithEntry(1, 0, kNaN)));

class JumpTest : public UpdateTest, public testing::WithParamInterface<float> {};

TEST_P(JumpTest, JumpBeyondTheGridLeavesBorderValues) {
  Update({kAhead}, PlanarPose(0.0f, 0.0f, 0.0f));
  Update({}, PlanarPose(GetParam(), -GetParam() / 2, 1.0f));
  double min = 0.0, max = 0.0;
  cv::minMaxLoc(detector_.grid_map().log_odds_map(), &min, &max);
  EXPECT_EQ(min, 0.0);
  EXPECT_EQ(max, 0.0);
  cv::minMaxLoc(detector_.grid_map().height_map(), &min, &max);
  EXPECT_FLOAT_EQ(static_cast<float>(min), 0.3f);
  EXPECT_FLOAT_EQ(static_cast<float>(max), 0.3f);
}

// 25 m still goes through the warp; the longer ones do not need to.
INSTANTIATE_TEST_SUITE_P(Lengths, JumpTest, testing::Values(25.0f, 100.0f, 1.0e6f, 3.0e38f));

TEST_F(UpdateTest, LogsFourDebugLines) {
  const LogCapture capture;
  Update({kAhead, kAhead, kAhead}, PlanarPose(1.5f, -2.0f, 0.0f));
  ASSERT_EQ(capture.records().size(), 4u);
  EXPECT_EQ(capture.records()[0].text, " [DEBUG] received cloud size: 3");
  EXPECT_EQ(capture.records()[1].text, " [DEBUG] Current pose: 1.5, -2, 0");
  EXPECT_TRUE(std::regex_match(capture.records()[2].text,
                               std::regex(R"( \[DEBUG\] transform runtime = \d+\(us\))")))
      << capture.records()[2].text;
  EXPECT_TRUE(std::regex_match(capture.records()[3].text,
                               std::regex(R"( \[DEBUG\] gridmap runtime = \d+\(us\))")))
      << capture.records()[3].text;
  for (const Record& record : capture.records()) {
    EXPECT_EQ(record.level, spdlog::level::debug);
    EXPECT_EQ(record.function, "Update");
  }
  // The first pose is only stored: the cloud lands where it was seen.
  EXPECT_EQ(LogOdds(detector_, 110, 100), kOneHit);
}

TEST_F(UpdateTest, NullCloudIsAnEmptyOne) {
  const LogCapture capture;
  detector_.Update(nullptr, PlanarPose(0.0f, 0.0f, 0.0f), false);
  ASSERT_FALSE(capture.records().empty());
  EXPECT_EQ(capture.records()[0].text, " [DEBUG] received cloud size: 0");
  EXPECT_EQ(CountStatus(detector_, OCCUPIED), 0);
}

// ------------------------------------------------------------------ debug images

class DebugImageTest : public testing::Test {
 protected:
  // Pixel of a cell: rows are flipped so that +y points up.
  static cv::Vec3b Pixel(const cv::Mat& image, int column, int row) {
    return image.at<cv::Vec3b>(image.rows - 1 - row, column);
  }
  DynamicCloudDetector detector_{BaseConfig()};
};

TEST_F(DebugImageTest, StatusColoursAndFlip) {
  detector_.Init(ForwardCamera());
  detector_.InputCloudToOccupancyGridMap(MakeCloud({kAhead}), false);
  const cv::Mat image = detector_.DrawDebugImages().occupancy;
  ASSERT_EQ(image.type(), CV_8UC3);
  ASSERT_EQ(image.size(), cv::Size(200, 200));
  const cv::Vec3b green(0, 255, 0), white(255, 255, 255), blue(255, 0, 0);
  EXPECT_EQ(image.at<cv::Vec3b>(99, 110), green);   // cell row 100
  EXPECT_EQ(image.at<cv::Vec3b>(98, 110), green);   // cell row 101
  EXPECT_EQ(image.at<cv::Vec3b>(100, 110), green);  // cell row 99
  EXPECT_EQ(image.at<cv::Vec3b>(97, 110), white);   // cell row 102, in the triangle
  EXPECT_EQ(Pixel(image, 130, 100), white);
  EXPECT_EQ(Pixel(image, 50, 100), blue);
  EXPECT_EQ(Pixel(image, 110, 160), blue);
}

TEST_F(DebugImageTest, LogOddsGreysAreTruncated) {
  for (int k = 0; k < 3; ++k)
    detector_.Update(MakeCloud({kAhead}), Eigen::Matrix4f::Identity(), false);
  detector_.Update(MakeCloud({{1.05f, -5.02f, 0.5f}}), PlanarPose(0.5f, 0.0f, 0.0f), false);
  const cv::Mat image = detector_.DrawDebugImages().dynamic_static;
  ASSERT_EQ(image.type(), CV_8UC3);
  const auto grey = [](int value) { return cv::Vec3b(value, value, value); };
  EXPECT_EQ(Pixel(image, 105, 100), grey(152));  // 0.19999999: 152.99999
  EXPECT_EQ(Pixel(image, 110, 49), grey(50));    // -0.60000002: 50.99999
  EXPECT_EQ(Pixel(image, 50, 50), grey(0));      // -1
  EXPECT_EQ(Pixel(image, 197, 3), grey(127));    // 0, came in from outside
}

TEST_F(DebugImageTest, CombinedIsTheEvenBlend) {
  detector_.Init(ForwardCamera());
  detector_.InputCloudToOccupancyGridMap(MakeCloud({kAhead}), false);
  const DynamicCloudDetector::DebugImages images = detector_.DrawDebugImages();
  ASSERT_EQ(images.combined.type(), CV_8UC3);
  for (const auto& [column, row] :
       std::vector<std::pair<int, int>>{{110, 100}, {130, 100}, {50, 100}}) {
    const cv::Vec3b a = Pixel(images.occupancy, column, row);
    const cv::Vec3b b = Pixel(images.dynamic_static, column, row);
    const cv::Vec3b mix = Pixel(images.combined, column, row);
    for (int channel = 0; channel < 3; ++channel) {
      EXPECT_NEAR(mix[channel], 0.5 * a[channel] + 0.5 * b[channel], 0.5);
    }
  }
}

TEST(DebugWindowTest, WithoutADisplayTheWindowsAreSkipped) {
  unsetenv("DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  DynamicCloudDetector detector(BaseConfig());
  detector.Init(ForwardCamera());
  detector.Update(MakeCloud({kAhead}), Eigen::Matrix4f::Identity(), true);
  EXPECT_EQ(LogOdds(detector, 110, 100), kOneHit);
}

// Run on a virtual X server by extra.cmake (LARKSPUR_REQUIRE_DISPLAY set);
// elsewhere skipped when no display is configured.
TEST(DebugWindowDisplayTest, ShowsTheThreeWindows) {
  if (std::getenv("DISPLAY") == nullptr) {
    if (std::getenv("LARKSPUR_REQUIRE_DISPLAY") != nullptr) FAIL() << "DISPLAY is not set";
    GTEST_SKIP() << "no DISPLAY";
  }
  DynamicCloudDetector detector(BaseConfig());
  detector.Init(ForwardCamera());
  detector.Update(MakeCloud({kAhead}), Eigen::Matrix4f::Identity(), true);

  const std::vector<std::string> names = {"\"occupancy\"", "\"dynamic_static\"", "\"combined\""};
  const auto all_listed = [&names](const std::string& tree) {
    return std::all_of(names.begin(), names.end(), [&tree](const std::string& name) {
      return tree.find(name) != std::string::npos;
    });
  };
  std::string tree;
  // The server maps the windows while the GUI loop runs; give it a few turns.
  for (int turn = 0; turn < 50 && !all_listed(tree); ++turn) {
    cv::waitKey(20);
    tree = WindowTree();
  }
  for (const std::string& name : names) {
    EXPECT_NE(tree.find(name), std::string::npos) << name << " not in\n" << tree;
  }

  const cv::Mat status = detector.DrawDebugImages().occupancy;
  EXPECT_EQ(status.at<cv::Vec3b>(99, 110), cv::Vec3b(0, 255, 0));      // occupied
  EXPECT_EQ(status.at<cv::Vec3b>(99, 130), cv::Vec3b(255, 255, 255));  // free
  EXPECT_EQ(status.at<cv::Vec3b>(99, 50), cv::Vec3b(255, 0, 0));       // unobserved
  cv::destroyAllWindows();
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
