#include "config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>

namespace larkspur {
namespace replay {
namespace {

// A cell of a fresh grid starts at -1, and ceil((threshold + 1) / increment)
// integrations lift it to the threshold, so points seen from the first frame
// on are dynamic in the frames before that: those frames are the warm-up.
// The laser detector gives the cells next to a hit only the scaled
// increment, and the slower of the two decides. A detector that never
// reaches its threshold has no warm-up to skip. In the LiDAR free-space mode
// cells start unknown and a point is only dynamic in a cell seen free in an
// earlier frame, so only the first frame, which has no earlier one, is skipped.
int WarmupFrames(const std::string& file) {
  const YAML::Node node = config::LoadYamlFile(file);
  if (node["lidar_free_space"]) return 1;
  const double threshold = config::ReadNumber(node, file, "occupancy_threshold");
  double increment = config::ReadNumber(node, file, "log_odds_obstacle");
  for (const char* key : {"resolution", "width", "log_odds_occlusion", "log_odds_free_space"}) {
    config::ReadNumber(node, file, key);
  }
  if (node["log_odds_sub_obstacle_scale"]) {
    const double scale = config::ReadNumber(node, file, "log_odds_sub_obstacle_scale");
    if (scale > 0.0) increment = std::min(increment, increment * scale);
  }
  if (!(increment > 0.0) || threshold > 1.0) return 0;
  const double hits = std::ceil(std::max(threshold + 1.0, 0.0) / increment);
  return static_cast<int>(std::max(hits - 1.0, 0.0));
}

float OccupancyThreshold(const std::string& file) {
  return config::ReadFloat(config::LoadYamlFile(file), file, "occupancy_threshold");
}

}  // namespace

ReplayConfig LoadConfig(const ConfigFiles& files) {
  config::RequireAll(files);
  ReplayConfig loaded;
  loaded.files = files;
  loaded.cloud_detector = config::ReadCloudDetectorParams(files.cloud_detector);
  loaded.laser_detector = config::ReadLaserDetectorParams(files.laser_detector);
  loaded.ground = config::ReadGroundRemovalParams(files.ground);
  loaded.cluster = config::ReadCloudClusterPara(files.cluster);
  const config::CameraConfig camera = config::ReadCamera(files.camera);
  loaded.camera = camera.info;
  loaded.camera_id = camera.camera_id;
  loaded.cloud_warmup_frames = WarmupFrames(files.cloud_detector);
  loaded.laser_warmup_frames = WarmupFrames(files.laser_detector);
  loaded.cloud_occupancy_threshold = OccupancyThreshold(files.cloud_detector);
  loaded.laser_occupancy_threshold = OccupancyThreshold(files.laser_detector);
  return loaded;
}

}  // namespace replay
}  // namespace larkspur
