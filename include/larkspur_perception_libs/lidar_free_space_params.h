// Configuration of DynamicCloudDetector's LiDAR free-space mode: the grid
// learns free space from the cloud's own rays instead of a camera footprint.
#pragma once

#include <yaml-cpp/yaml.h>

#include <Eigen/Core>

namespace kestrel {
namespace perception {

// Lengths in metres, angles in radians, heights along the cloud frame's z.
//
// Per cloud, every in-band point (z - sensor z within [min_height,
// max_height]) is a return of its azimuth bin around the sensor; the nearest
// one per bin is the bin's obstacle. Cells of the bin nearer to the sensor
// (horizontal distance of the cell centre) than that return minus
// free_margin are seen free; cells at or behind it are not observed. A bin
// without an in-band return is free up to its farthest ground return when a
// ground cloud is given, and not observed otherwise. Nothing beyond max_range
// is seen free.
struct LidarFreeSpaceParams {
  // Width of one azimuth bin; in [1e-4, pi]. About the sensor's horizontal
  // spacing of columns, or coarser.
  float azimuth_resolution = 0.0087266f;  // 0.5 degrees
  // Height band relative to the sensor; min_height below max_height. Points
  // outside the band still mark their cells occupied, but block no ray: the
  // band leaves out the road and what the sensor sees over.
  float min_height = 0.0f;
  float max_height = 0.0f;
  // Horizontal distance from the sensor beyond which no cell is seen free;
  // positive.
  float max_range = 0.0f;
  // What the nearest return costs the free space in front of it: covers the
  // depth of the cell and of the object's near face. Non-negative.
  float free_margin = 0.4f;
  // Ground the caller's ground removal missed: a grid cell whose points (of
  // this cloud) all lie below road_max_height (relative to the sensor) and
  // span less than road_max_extent in height is taken for road. Its points
  // block no ray and mark nothing occupied, and the cell is kept at least
  // unknown (log-odds 0), so that they are never dynamic. A negative extent
  // turns this off.
  float road_max_height = 0.0f;
  float road_max_extent = -1.0f;
  // The sensor's origin in the cloud's (robot) frame.
  Eigen::Vector3f sensor_position = Eigen::Vector3f::Zero();

  // Reads the mapping under the key "lidar_free_space": the required float
  // keys "min_height", "max_height" and "max_range", and the optional
  // "azimuth_resolution", "free_margin", "road_max_height",
  // "road_max_extent" and "sensor_position" (a list of three numbers), without
  // checking their ranges. Throws std::invalid_argument naming the key (for
  // example "lidar_free_space.max_range") when one is missing or is not a
  // number, or when "lidar_free_space" is not a mapping.
  static LidarFreeSpaceParams FromYaml(const YAML::Node& mapping);

  // Throws std::invalid_argument naming the key (as above) of the first
  // value out of the ranges documented here.
  void Check() const;
};

}  // namespace perception
}  // namespace kestrel
