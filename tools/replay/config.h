// Parameters of one replay: the records of the two detectors, ground
// removal, clustering and the camera, read with the tools' configuration
// library (tool_config.h).
#pragma once

#include <string>

#include "tool_config.h"

namespace larkspur {
namespace replay {

using config::ConfigError;
using config::ConfigFiles;
using config::FindConfigFiles;

struct ReplayConfig {
  ConfigFiles files;
  kestrel::perception::DynamicCloudDetectorParams cloud_detector;
  kestrel::perception::DynamicLaserDetectorParams laser_detector;
  kestrel::perception::GroundRemovalParams ground;
  kestrel::perception::CloudClusterPara cluster;
  kestrel::perception::CameraInfo camera;
  int camera_id = 0;
  // The detectors' "occupancy_threshold", for the pictures.
  float cloud_occupancy_threshold = 0.0f;
  float laser_occupancy_threshold = 0.0f;
  // Frames in which a detector still calls points dynamic that it has seen
  // from the start: a fresh cell at log-odds -1 needs ceil((occupancy_threshold
  // + 1) / log_odds_obstacle) hits to reach the threshold, so this is one less
  // than that. Dynamic detection is scored after them.
  int cloud_warmup_frames = 0;
  int laser_warmup_frames = 0;
};

// Whether the cloud detector sees free space with the LiDAR itself, over its
// whole grid, rather than in the camera's footprint.
inline bool LidarFreeSpaceMode(const ReplayConfig& config) {
  return config.cloud_detector.lidar_free_space.has_value();
}

// Reads the records; the detectors check theirs when the pipeline builds them.
ReplayConfig LoadConfig(const ConfigFiles& files);

}  // namespace replay
}  // namespace larkspur
