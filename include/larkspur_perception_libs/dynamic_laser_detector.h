// Splits planar laser scans into a dynamic and a static scan.
//
// The detector keeps an ego-centred log-odds grid (OccupancyGridMap) in which
// static structure accumulates occupancy over many scans. Every scan first
// moves the grid by the robot's planar motion since the previous scan, is then
// integrated into it, and finally each beam is classified by the log-odds of
// the cell holding its end point: below "occupancy_threshold" the beam is
// dynamic, otherwise static.
//
// Frames and units: ranges, positions and grid lengths in metres, angles in
// radians counter-clockwise about z. The scan's frame is the grid's frame
// (laser_to_grid_ is the identity); the grid is centred on the robot and
// aligned with its heading.
//
// Beam geometry: n = trunc((angle_max - angle_min) / angle_increment) in single
// precision; beam i has bearing angle_min + i * angle_increment and only beams
// 0 .. n - 1 are used. A scan holding fewer than n readings uses the readings
// it holds; a quotient that is not finite (a zero or non-finite increment)
// uses no beam. Readings at index n and above are never read.
//
// Output scans: every used beam goes to exactly one of the two output scans
// with its reading; the other scan gets 3.4028235e38 (the largest finite
// float) for that beam. Entries at index n and above are left as they were.
//
// Not thread-safe: one detector is driven by one thread at a time.
#pragma once

#include <yaml-cpp/yaml.h>

#include <Eigen/Core>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "geometry_msgs/msg/pose.hpp"
#include "larkspur_perception_libs/ego_grid_params.h"
#include "sensor_msgs/msg/laser_scan.hpp"

namespace kestrel {
namespace perception {

// Defined in "larkspur_perception_libs/occupancy_grid.h".
class OccupancyGridMap;
namespace ego_grid {
struct MorphologyBuffers;
}

// Configuration of a DynamicLaserDetector: the six grid values of
// EgoGridParams (units, ranges and checks documented there) and the scale of
// the obstacle increment for the four cells next to a beam end point, which
// must be finite (std::invalid_argument naming
// "log_odds_sub_obstacle_scale" otherwise).
struct DynamicLaserDetectorParams : EgoGridParams {
  float log_odds_sub_obstacle_scale = 0.5f;

  // Reads the float keys "resolution", "width", "occupancy_threshold",
  // "log_odds_obstacle", "log_odds_occlusion" and "log_odds_free_space", in
  // that order, then "log_odds_sub_obstacle_scale" when the mapping has it,
  // without checking them. The yaml-cpp exceptions for a missing key or a
  // value that is not a number pass through unchanged.
  static DynamicLaserDetectorParams FromYaml(const YAML::Node& config);
};

class DynamicLaserDetector {
 public:
  using LaserScan = sensor_msgs::msg::LaserScan;
  using LaserScanPtr = std::shared_ptr<LaserScan>;
  using LaserScanConstPtr = std::shared_ptr<const LaserScan>;

  // Builds the grid from `params`; it starts at log-odds -1 everywhere.
  // Throws std::invalid_argument naming the key for a value out of range
  // (see DynamicLaserDetectorParams). Logs nothing.
  explicit DynamicLaserDetector(const DynamicLaserDetectorParams& params);

  // The record read from the YAML mapping `config`
  // (DynamicLaserDetectorParams::FromYaml), then as the record constructor:
  // required float keys
  //   "resolution"           cell edge (m), positive and finite
  //   "width"                grid side (m), truncated toward zero, >= 0 and finite
  //   "occupancy_threshold"  log-odds below which a beam's end cell is dynamic
  //   "log_odds_obstacle"    increment of a cell holding a beam end point
  //   "log_odds_occlusion"   increment of a cell behind the measured range
  //   "log_odds_free_space"  increment of a cell in front of the measured range
  // and the optional "log_odds_sub_obstacle_scale" (default 0.5), the factor
  // applied to "log_odds_obstacle" for the four cells next to a beam end point.
  explicit DynamicLaserDetector(const YAML::Node& config);

  // The YAML mapping in the file `config_path`, as the node constructor. An
  // unreadable or malformed file throws the yaml-cpp exception
  // (YAML::Exception).
  explicit DynamicLaserDetector(const std::string& config_path);
  ~DynamicLaserDetector();

  DynamicLaserDetector(const DynamicLaserDetector&) = delete;
  DynamicLaserDetector& operator=(const DynamicLaserDetector&) = delete;

  // One cycle per scan: moves the grid by the motion from the previous call's
  // pose to `pose` (position x, y and the yaw of the orientation; the rest is
  // ignored), integrates `scan` and divides it into the two output scans,
  // whose metadata and number of ranges become those of `scan`.
  //
  // The first call only integrates: every used beam goes to `static_scan`,
  // which receives a copy of all of the scan's ranges, and `dynamic_scan`
  // holds 3.4028235e38 in every entry. A pose whose x, y or yaw is not finite
  // moves nothing and is not remembered, so the next finite pose is measured
  // from the last finite one; calls before the first finite pose behave as
  // the first call. Null pointers make the call do nothing.
  // Logs the pose and, after the first call, the runtimes at debug level.
  void Process(LaserScanConstPtr scan, const geometry_msgs::msg::Pose& pose,
               LaserScanPtr dynamic_scan, LaserScanPtr static_scan);

  // The same cycle giving one flag per reading of `scan` instead of two
  // scans: 1 where Process puts the beam's reading into `dynamic_scan`, 0
  // where it goes to `static_scan` and for the readings at index n and above
  // (all 0 on the first call). `dynamic_beams` gets the number of ranges of
  // `scan`; a null `scan` empties it and does nothing else.
  void Process(LaserScanConstPtr scan, const geometry_msgs::msg::Pose& pose,
               std::vector<std::uint8_t>& dynamic_beams);

  // Shifts the content of the log-odds map by `translation` (metres, grid
  // frame) and then turns it counter-clockwise by `angle` (radians; degrees
  // are taken as angle * 180 / 3.14, so the turn is about 0.05 % larger) about
  // cell (grid_width / 2, grid_width / 2), with bicubic interpolation. For turns
  // above 0.05 rad the map is dilated before and eroded after the warp with a
  // 3 x 3 square. Cells entering from outside hold log-odds 0; a shift of
  // more than four grid sides along either axis leaves all cells at 0. A
  // non-finite argument leaves the grid unchanged.
  void TransformOccupancyGridMap(const Eigen::Vector2f& translation, float angle);

  // Integrates one scan into the grid. The end point of every finite reading
  // strictly between range_min and range_max marks its cell as hit and the
  // four cells next to it as sub-obstacle (later beams overwrite earlier
  // marks). Every other cell is compared with the finite reading of the beam
  // covering the bearing of its lower corner: nearer is free, as far or
  // farther is occluded, regardless of the range limits. Cells without such a
  // beam are left as they are. Each cell gets at most one increment.
  void UpdateOccupancyGridMap(LaserScanConstPtr scan);

  // Gives both output scans the header, angles, timing, range limits and
  // number of ranges of `scan`. Existing ranges keep their values, added ones
  // are 0; intensities are not touched.
  void InitializeOutputScans(LaserScanConstPtr scan, LaserScanPtr dynamic_scan,
                             LaserScanPtr static_scan);

  // Prepares the output scans and classifies every used beam by the current
  // grid. Readings are not screened: an end point outside the grid, including
  // the non-finite end point of a NaN or infinite reading, is static.
  void Divide(LaserScanConstPtr scan, LaserScanPtr dynamic_scan, LaserScanPtr static_scan);

  // The detector's grid, for inspection.
  const OccupancyGridMap& grid_map() const { return *grid_map_; }

 private:
  // Moves the grid by the motion to `pose` and integrates `scan`; true when
  // the beams are to be divided, false on the first call. Named like the
  // public calls so that its log lines carry their name.
  bool Process(const LaserScanConstPtr& scan, const geometry_msgs::msg::Pose& pose,
               std::chrono::system_clock::time_point start);
  // Whether the end point of `range` along `beam` lies in a cell believed free.
  bool IsDynamicBeam(const LaserScan& scan, std::size_t beam, float range) const;
  // Remembers a finite pose as the reference of the next call's motion.
  void RememberPose(const Eigen::Vector2f& position, float yaw);

  float occupancy_threshold_ = 0.0f;
  float log_odds_obstacle_ = 0.0f;
  float log_odds_free_space_ = 0.0f;
  float log_odds_occlusion_ = 0.0f;
  float log_odds_sub_obstacle_scale_ = 0.5f;
  Eigen::Matrix4f laser_to_grid_ = Eigen::Matrix4f::Identity();
  Eigen::Vector2f last_position_ = Eigen::Vector2f::Zero();
  float last_yaw_ = 0.0f;
  bool initialized_ = false;
  std::shared_ptr<OccupancyGridMap> grid_map_;
  // Working memory of one call, kept so that later calls reuse it: the cell
  // labels of UpdateOccupancyGridMap and the rasters around a large turn.
  std::vector<std::int32_t> labels_;
  std::unique_ptr<ego_grid::MorphologyBuffers> morphology_buffers_;
};

}  // namespace perception
}  // namespace kestrel
