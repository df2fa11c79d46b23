#include "config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

namespace larkspur {
namespace replay {
namespace {

namespace fs = std::filesystem;

YAML::Node LoadYaml(const std::string& file) {
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
  if (!value) throw ConfigError(file + ": key \"" + key + "\" is missing");
  try {
    const double number = value.as<double>();
    if (std::isfinite(number)) return number;
  } catch (const YAML::Exception&) {
  }
  throw ConfigError(file + ": key \"" + key + "\" is not a finite number");
}

float ReadFloat(const YAML::Node& node, const std::string& file, const std::string& key) {
  const double number = ReadNumber(node, file, key);
  if (std::abs(number) > std::numeric_limits<float>::max()) {
    throw ConfigError(file + ": key \"" + key + "\" is out of range");
  }
  return static_cast<float>(number);
}

int ReadInt(const YAML::Node& node, const std::string& file, const std::string& key) {
  const double number = ReadNumber(node, file, key);
  if (number != std::floor(number) || std::abs(number) > 1e9) {
    throw ConfigError(file + ": key \"" + key + "\" must be a whole number");
  }
  return static_cast<int>(number);
}

void RequirePositive(float value, const std::string& file, const std::string& key) {
  if (!(value > 0.0f)) throw ConfigError(file + ": key \"" + key + "\" must be positive");
}

kestrel::perception::GroundRemovalParams ReadGround(const std::string& file) {
  const YAML::Node node = LoadYaml(file);
  kestrel::perception::GroundRemovalParams p;
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
  // The remover assumes these; anything else gives it no defined result.
  RequirePositive(p.sector_angle, file, "sector_angle");
  RequirePositive(p.bin_size, file, "bin_size");
  if (!(p.max_range > p.min_range)) {
    throw ConfigError(file + ": key \"max_range\" must be above \"min_range\"");
  }
  // A million bins per sector is far beyond any sensor; it guards the
  // remover's per-sector tables against a mistyped bin size.
  if ((p.max_range - p.min_range) / p.bin_size > 1e6f) {
    throw ConfigError(file + ": key \"bin_size\" is too small for the range window");
  }
  return p;
}

kestrel::perception::CloudClusterPara ReadCluster(const std::string& file) {
  const YAML::Node node = LoadYaml(file);
  kestrel::perception::CloudClusterPara p;
  p.grid_step = ReadFloat(node, file, "grid_step");
  p.search_size = ReadInt(node, file, "search_size");
  p.point_threshold = ReadInt(node, file, "point_threshold");
  RequirePositive(p.grid_step, file, "grid_step");
  return p;
}

Eigen::MatrixXf ReadMatrix(const YAML::Node& node, const std::string& file, const std::string& key,
                           int rows, int cols) {
  const YAML::Node list = node[key];
  if (!list) throw ConfigError(file + ": key \"" + key + "\" is missing");
  if (!list.IsSequence() || list.size() != static_cast<std::size_t>(rows * cols)) {
    throw ConfigError(file + ": key \"" + key + "\" must be a list of " +
                      std::to_string(rows * cols) + " numbers (row-major)");
  }
  Eigen::MatrixXf m(rows, cols);
  for (int i = 0; i < rows * cols; ++i) {
    try {
      const double value = list[static_cast<std::size_t>(i)].as<double>();
      if (!std::isfinite(value)) throw ConfigError("");
      m(i / cols, i % cols) = static_cast<float>(value);
    } catch (const std::exception&) {
      throw ConfigError(file + ": key \"" + key + "\" entry " + std::to_string(i) +
                        " is not a finite number");
    }
  }
  return m;
}

void ReadCamera(const std::string& file, ReplayConfig& config) {
  const YAML::Node node = LoadYaml(file);
  config.camera_id = ReadInt(node, file, "camera_id");
  config.camera.width = ReadInt(node, file, "width");
  config.camera.height = ReadInt(node, file, "height");
  if (config.camera.width < 1 || config.camera.height < 1) {
    throw ConfigError(file + ": keys \"width\" and \"height\" must be at least 1");
  }
  config.camera.intrinsic = ReadMatrix(node, file, "intrinsic", 3, 3);
  config.camera.extrinsic = ReadMatrix(node, file, "extrinsic", 4, 4);
  if (config.camera.intrinsic(0, 0) == 0.0f || config.camera.intrinsic(1, 1) == 0.0f) {
    throw ConfigError(file + ": key \"intrinsic\" needs non-zero focal lengths");
  }
}

// A cell of a fresh grid starts at -1, and ceil((threshold + 1) / increment)
// integrations lift it to the threshold, so points seen from the first frame
// on are dynamic in the frames before that: those frames are the warm-up.
// The laser detector gives the cells next to a hit only the scaled
// increment, and the slower of the two decides. A detector that never
// reaches its threshold has no warm-up to skip.
int WarmupFrames(const std::string& file) {
  const YAML::Node node = LoadYaml(file);
  const double threshold = ReadNumber(node, file, "occupancy_threshold");
  double increment = ReadNumber(node, file, "log_odds_obstacle");
  for (const char* key : {"resolution", "width", "log_odds_occlusion", "log_odds_free_space"}) {
    ReadNumber(node, file, key);
  }
  if (node["log_odds_sub_obstacle_scale"]) {
    const double scale = ReadNumber(node, file, "log_odds_sub_obstacle_scale");
    if (scale > 0.0) increment = std::min(increment, increment * scale);
  }
  if (!(increment > 0.0) || threshold > 1.0) return 0;
  const double hits = std::ceil(std::max(threshold + 1.0, 0.0) / increment);
  return static_cast<int>(std::max(hits - 1.0, 0.0));
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

ReplayConfig LoadConfig(const ConfigFiles& files) {
  const auto require = [](const std::string& file, const char* name) {
    if (file.empty()) throw ConfigError(std::string(name) + ": configuration file not found");
  };
  require(files.cloud_detector, "dynamic_cloud_detector.yaml");
  require(files.laser_detector, "dynamic_laser_detector.yaml");
  require(files.ground, "remove_ground_linefit.yaml");
  require(files.cluster, "cloud_cluster.yaml");
  require(files.camera, "camera.yaml");
  ReplayConfig config;
  config.files = files;
  config.ground = ReadGround(files.ground);
  config.cluster = ReadCluster(files.cluster);
  ReadCamera(files.camera, config);
  config.cloud_warmup_frames = WarmupFrames(files.cloud_detector);
  config.laser_warmup_frames = WarmupFrames(files.laser_detector);
  config.cloud_occupancy_threshold =
      ReadFloat(LoadYaml(files.cloud_detector), files.cloud_detector, "occupancy_threshold");
  config.laser_occupancy_threshold =
      ReadFloat(LoadYaml(files.laser_detector), files.laser_detector, "occupancy_threshold");
  return config;
}

}  // namespace replay
}  // namespace larkspur
