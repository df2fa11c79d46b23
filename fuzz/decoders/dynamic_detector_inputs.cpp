#include "dynamic_detector_inputs.h"

#include <cmath>

namespace larkspur {
namespace fuzz {

YAML::Node ToYaml(const DetectorConfig& config) {
  YAML::Node node;
  node["resolution"] = config.resolution;
  node["width"] = config.width;
  node["occupancy_threshold"] = config.occupancy_threshold;
  node["log_odds_obstacle"] = config.log_odds_obstacle;
  node["log_odds_occlusion"] = config.log_odds_occlusion;
  node["log_odds_free_space"] = config.log_odds_free_space;
  if (config.has_sub_obstacle_scale) {
    node["log_odds_sub_obstacle_scale"] = config.log_odds_sub_obstacle_scale;
  }
  return node;
}

double GridCellsPerSide(const DetectorConfig& config) {
  if (!(config.resolution > 0.0f) || !(config.width >= 0.0f) || !std::isfinite(config.width)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return std::trunc(static_cast<double>(std::trunc(config.width) / config.resolution) + 0.5);
}

Eigen::Matrix4f PoseMatrix::Matrix() const {
  if (!planar) return matrix;
  Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
  pose(0, 0) = std::cos(yaw);
  pose(0, 1) = -std::sin(yaw);
  pose(1, 0) = std::sin(yaw);
  pose(1, 1) = std::cos(yaw);
  pose(0, 3) = x;
  pose(1, 3) = y;
  return pose;
}

}  // namespace fuzz
}  // namespace larkspur
