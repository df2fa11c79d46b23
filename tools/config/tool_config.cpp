#include "tool_config.h"

#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <limits>

namespace larkspur {
namespace config {
namespace {

namespace fs = std::filesystem;
namespace kp = kestrel::perception;

ConfigError KeyError(const std::string& file, const std::string& key, const std::string& what) {
  return ConfigError(file + ": key \"" + key + "\" " + what);
}

int ReadInt(const YAML::Node& node, const std::string& file, const std::string& key) {
  const double number = ReadNumber(node, file, key);
  if (number != std::floor(number) || std::abs(number) > 1e9) {
    throw KeyError(file, key, "must be a whole number");
  }
  return static_cast<int>(number);
}

Eigen::MatrixXf ReadMatrix(const YAML::Node& node, const std::string& file, const std::string& key,
                           int rows, int cols) {
  const YAML::Node list = node[key];
  if (!list) throw KeyError(file, key, "is missing");
  if (!list.IsSequence() || list.size() != static_cast<std::size_t>(rows * cols)) {
    throw KeyError(file, key,
                   "must be a list of " + std::to_string(rows * cols) + " numbers (row-major)");
  }
  Eigen::MatrixXf m(rows, cols);
  for (int i = 0; i < rows * cols; ++i) {
    try {
      const double value = list[static_cast<std::size_t>(i)].as<double>();
      if (!std::isfinite(value)) throw ConfigError("");
      m(i / cols, i % cols) = static_cast<float>(value);
    } catch (const std::exception&) {
      throw KeyError(file, key, "entry " + std::to_string(i) + " is not a finite number");
    }
  }
  return m;
}

// The detectors' FromYaml name no key in their errors, so every key they read
// is checked here first: present (unless optional) and a finite number.
void RequireDetectorKeys(const YAML::Node& node, const std::string& file,
                         std::initializer_list<const char*> optional) {
  for (const char* key : {"resolution", "width", "occupancy_threshold", "log_odds_obstacle",
                          "log_odds_occlusion", "log_odds_free_space"}) {
    ReadNumber(node, file, key);
  }
  for (const char* key : optional) {
    if (node[key]) ReadNumber(node, file, key);
  }
}

}  // namespace

ConfigFiles FindConfigFiles(const std::vector<std::string>& folders) {
  const auto find = [&](const char* name) -> std::string {
    for (const std::string& folder : folders) {
      if (folder.empty()) continue;
      const fs::path candidate = fs::path(folder) / name;
      if (fs::exists(candidate)) return candidate.string();
    }
    return {};
  };
  ConfigFiles files;
  files.cloud_detector = find("dynamic_cloud_detector.yaml");
  files.laser_detector = find("dynamic_laser_detector.yaml");
  files.ground = find("remove_ground_linefit.yaml");
  files.cluster = find("cloud_cluster.yaml");
  files.camera = find("camera.yaml");
  return files;
}

void RequireAll(const ConfigFiles& files) {
  const auto require = [](const std::string& file, const char* name) {
    if (file.empty()) throw ConfigError(std::string(name) + ": configuration file not found");
  };
  require(files.cloud_detector, "dynamic_cloud_detector.yaml");
  require(files.laser_detector, "dynamic_laser_detector.yaml");
  require(files.ground, "remove_ground_linefit.yaml");
  require(files.cluster, "cloud_cluster.yaml");
  require(files.camera, "camera.yaml");
}

YAML::Node LoadYamlFile(const std::string& file) {
  if (file.empty()) throw ConfigError("configuration file not found");
  try {
    YAML::Node node = YAML::LoadFile(file);
    if (!node.IsMap()) throw ConfigError(file + ": expected a mapping of keys to values");
    return node;
  } catch (const YAML::Exception& error) {
    throw ConfigError(file + ": " + error.what());
  }
}

double ReadNumber(const YAML::Node& node, const std::string& file, const std::string& key) {
  const YAML::Node value = node[key];
  if (!value) throw KeyError(file, key, "is missing");
  try {
    const double number = value.as<double>();
    if (std::isfinite(number)) return number;
  } catch (const YAML::Exception&) {
  }
  throw KeyError(file, key, "is not a finite number");
}

float ReadFloat(const YAML::Node& node, const std::string& file, const std::string& key) {
  const double number = ReadNumber(node, file, key);
  if (std::abs(number) > std::numeric_limits<float>::max()) {
    throw KeyError(file, key, "is out of range");
  }
  return static_cast<float>(number);
}

kp::GroundRemovalParams ReadGroundRemovalParams(const std::string& file) {
  const YAML::Node node = LoadYamlFile(file);
  kp::GroundRemovalParams p;
  p.sector_angle = ReadFloat(node, file, "sector_angle");
  p.max_range = ReadFloat(node, file, "max_range");
  p.min_range = ReadFloat(node, file, "min_range");
  p.bin_size = ReadFloat(node, file, "bin_size");
  p.ground_height = ReadFloat(node, file, "ground_height");
  p.max_fit_error = ReadFloat(node, file, "max_fit_error");
  p.max_slope = ReadFloat(node, file, "max_slope");
  p.seed_max_above = ReadFloat(node, file, "seed_max_above");
  p.seed_max_below = ReadFloat(node, file, "seed_max_below");
  p.ground_distance_threshold = ReadFloat(node, file, "ground_distance_threshold");
  p.max_height_jump = ReadFloat(node, file, "max_height_jump");
  p.near_zone_x_limit = ReadFloat(node, file, "near_zone_x_limit");
  p.near_zone_depth = ReadFloat(node, file, "near_zone_depth");
  p.max_point_height = ReadFloat(node, file, "max_point_height");
  p.split_distance = ReadFloat(node, file, "split_distance");
  p.outlier_sigma_factor = ReadFloat(node, file, "outlier_sigma_factor");
  try {
    kp::RemoveGroundLineFit::checkParams(p);
  } catch (const std::invalid_argument& error) {
    throw ConfigError(file + ": " + error.what());
  }
  return p;
}

kp::DynamicCloudDetectorParams ReadCloudDetectorParams(const std::string& file) {
  const YAML::Node node = LoadYamlFile(file);
  RequireDetectorKeys(node, file, {});
  return kp::DynamicCloudDetectorParams::FromYaml(node);
}

kp::DynamicLaserDetectorParams ReadLaserDetectorParams(const std::string& file) {
  const YAML::Node node = LoadYamlFile(file);
  RequireDetectorKeys(node, file, {"log_odds_sub_obstacle_scale"});
  return kp::DynamicLaserDetectorParams::FromYaml(node);
}

kp::CloudClusterPara ReadCloudClusterPara(const std::string& file) {
  const YAML::Node node = LoadYamlFile(file);
  kp::CloudClusterPara p;
  p.grid_step = ReadFloat(node, file, "grid_step");
  p.search_size = ReadInt(node, file, "search_size");
  p.point_threshold = ReadInt(node, file, "point_threshold");
  if (!(p.grid_step > 0.0f)) throw KeyError(file, "grid_step", "must be positive");
  return p;
}

CameraConfig ReadCamera(const std::string& file) {
  const YAML::Node node = LoadYamlFile(file);
  CameraConfig camera;
  camera.camera_id = ReadInt(node, file, "camera_id");
  camera.info.width = ReadInt(node, file, "width");
  camera.info.height = ReadInt(node, file, "height");
  if (camera.info.width < 1 || camera.info.height < 1) {
    throw ConfigError(file + ": keys \"width\" and \"height\" must be at least 1");
  }
  camera.info.intrinsic = ReadMatrix(node, file, "intrinsic", 3, 3);
  camera.info.extrinsic = ReadMatrix(node, file, "extrinsic", 4, 4);
  if (camera.info.intrinsic(0, 0) == 0.0f || camera.info.intrinsic(1, 1) == 0.0f) {
    throw KeyError(file, "intrinsic", "needs non-zero focal lengths");
  }
  return camera;
}

}  // namespace config
}  // namespace larkspur
