// Parameters of one replay: the two detectors' own YAML files (handed to
// their constructors as they are), and the ground-removal, clustering and
// camera records read here from YAML files whose keys are the records'
// field names (see config/*.yaml).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace replay {

// A configuration file that cannot be read, or a key that is missing or not
// a number; the message names the file and the key.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ConfigFiles {
  std::string cloud_detector;  // "dynamic_cloud_detector.yaml"
  std::string laser_detector;  // "dynamic_laser_detector.yaml"
  std::string ground;          // "remove_ground_linefit.yaml"
  std::string cluster;         // "cloud_cluster.yaml"
  std::string camera;          // "camera.yaml"
};

// Each file is taken from the first of `folders` that holds it.
ConfigFiles FindConfigFiles(const std::vector<std::string>& folders);

struct ReplayConfig {
  ConfigFiles files;
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

// Reads the records and checks that the detector files hold their keys.
ReplayConfig LoadConfig(const ConfigFiles& files);

}  // namespace replay
}  // namespace larkspur
