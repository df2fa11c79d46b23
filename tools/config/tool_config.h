// Reading the library's parameter records from YAML files for the tools,
// tests and benchmarks: ground removal (GroundRemovalParams), clustering
// (CloudClusterPara), the camera (CameraInfo) and both dynamic detectors. Keys are the records'
// field names (see config/*.yaml). Every error is a ConfigError whose message
// names the file and the key.
#pragma once

#include <yaml-cpp/yaml.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace config {

// A configuration file that cannot be read, or a key that is missing, not a
// number or out of range; the message names the file and the key.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The parameter files of one run, by their usual names.
struct ConfigFiles {
  std::string cloud_detector;  // "dynamic_cloud_detector.yaml"
  std::string laser_detector;  // "dynamic_laser_detector.yaml"
  std::string ground;          // "remove_ground_linefit.yaml"
  std::string cluster;         // "cloud_cluster.yaml"
  std::string camera;          // "camera.yaml"
};

// Each file is taken from the first of `folders` that holds it; a file found
// in none stays empty.
ConfigFiles FindConfigFiles(const std::vector<std::string>& folders);

// Throws ConfigError when any of the five files was not found.
void RequireAll(const ConfigFiles& files);

// The mapping at the top of `file`.
YAML::Node LoadYamlFile(const std::string& file);

// A finite number under `key` of `node`, read from `file` (named in errors).
double ReadNumber(const YAML::Node& node, const std::string& file, const std::string& key);
// The same, within the range of float.
float ReadFloat(const YAML::Node& node, const std::string& file, const std::string& key);

// Every field by name. The limits are the library's own
// (RemoveGroundLineFit::checkParams); its complaint comes back as a
// ConfigError naming the file.
kestrel::perception::GroundRemovalParams ReadGroundRemovalParams(const std::string& file);

// "grid_step" must be positive.
kestrel::perception::CloudClusterPara ReadCloudClusterPara(const std::string& file);

// The detectors' records, read with their own FromYaml after every key they
// read was found to be a finite number. Their limits are checked by the
// detectors' constructors.
kestrel::perception::DynamicCloudDetectorParams ReadCloudDetectorParams(const std::string& file);
kestrel::perception::DynamicLaserDetectorParams ReadLaserDetectorParams(const std::string& file);

// A camera and the id its camera frames are registered under.
struct CameraConfig {
  kestrel::perception::CameraInfo info;
  int camera_id = 0;
};

// "camera_id", "width" and "height" (at least 1), "intrinsic" (9 numbers,
// row-major, non-zero focal lengths) and "extrinsic" (16 numbers, row-major,
// camera-to-robot).
CameraConfig ReadCamera(const std::string& file);

}  // namespace config
}  // namespace larkspur
