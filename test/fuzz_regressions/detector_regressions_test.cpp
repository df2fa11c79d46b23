// Dynamic-detector findings of the fuzz targets, checked on the behaviour the
// fixes restored (the saved inputs themselves are replayed by
// fuzz_replay_test).
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"

namespace kestrel {
namespace perception {
namespace {

constexpr const char* kKeys =
    "resolution: 0.1\nwidth: 10\noccupancy_threshold: 0.0\nlog_odds_obstacle: 0.2\n"
    "log_odds_occlusion: 0.0\nlog_odds_free_space: -0.4\n";

// An extrinsic whose rotation part is zero casts every image corner, and the
// camera itself, onto one ground point. OpenCV's convex hull of five equal
// points can be empty, and pointPolygonTest threw on it out of Init.
TEST(CloudDetectorRegression, FootprintCollapsedToAPointSeesNoCell) {
  DynamicCloudDetector detector(YAML::Load(kKeys));
  CameraInfo camera;
  camera.width = 640;
  camera.height = 480;
  camera.intrinsic << 400.0f, 0.0f, 320.0f, 0.0f, 400.0f, 240.0f, 0.0f, 0.0f, 1.0f;
  camera.extrinsic.setZero();
  camera.extrinsic(3, 3) = 1.0f;
  ASSERT_NO_THROW(detector.Init(camera));
  for (float x = -5.0f; x < 5.0f; x += 0.25f) {
    for (float y = -5.0f; y < 5.0f; y += 0.25f) EXPECT_FALSE(detector.IsInRoi(x, y));
  }
}

class ConfigFile {
 public:
  explicit ConfigFile(const std::string& text) { std::ofstream(path_) << text; }
  ~ConfigFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_ = ::testing::TempDir() + "laser_detector_regression.yaml";
};

// A NaN "log_odds_sub_obstacle_scale" made every sub-obstacle increment NaN;
// the saturating update keeps NaN, so those cells stayed NaN (and their beams
// static) for the detector's lifetime. It is refused like the other keys.
TEST(LaserDetectorRegression, NonFiniteSubObstacleScaleIsRefused) {
  for (const char* value : {".nan", ".inf", "-.inf"}) {
    SCOPED_TRACE(value);
    const ConfigFile file(std::string(kKeys) + "log_odds_sub_obstacle_scale: " + value + "\n");
    try {
      DynamicLaserDetector detector(file.path());
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find("log_odds_sub_obstacle_scale"), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
