// Splits point clouds into dynamic and static points with an ego-centred
// log-odds grid.
//
// Frames and units: clouds are in the robot frame (x forward, y left, z up,
// metres); the grid (OccupancyGridMap) is centred on the robot and aligned with
// its heading. Poses are the robot's pose in a fixed frame, yaw in radians.
//
// Per frame the caller hands the cloud and pose to Update, which carries the
// grid along with the motion since the previous frame and integrates the
// cloud: every cell holding a point, and its four neighbours, counts as seen
// occupied; every other cell inside the camera's ground footprint as seen free.
// DivideCloud then calls a point dynamic when its cell is still believed free.
// Nothing traces rays, and a cell gets at most one increment per cloud.
//
// LiDAR free-space mode (opt-in, the key "lidar_free_space"): free space is
// what the cloud's own rays show all around the sensor instead of the camera
// footprint (see LidarFreeSpaceParams); hits, the motion, the division and the
// debug images stay as above. Cells start unknown (log-odds 0, as cells that
// enter the grid while it moves), and a cloud's points mark their cells
// occupied before anything is freed, so a point the integration marked is
// dynamic only in a cell seen free in an earlier cloud: a fresh detector, or
// the first cloud after construction or a lost pose, calls none of them
// dynamic (one frame of warm-up). Init is not needed in this mode; it still
// sets the region IsInRoi reports, which the integration then does not use.
//
// One detector is driven from one thread.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "larkspur_perception_libs/ego_grid_params.h"
#include "larkspur_perception_libs/lidar_free_space_params.h"
#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel {
namespace perception {

// The camera whose view bounds the area the detector can see free.
struct CameraInfo {
  // Image size in pixels.
  std::int32_t width = 0;
  std::int32_t height = 0;
  // Camera matrix; fx = (0,0), fy = (1,1), cx = (0,2), cy = (1,2) are read.
  Eigen::Matrix3f intrinsic = Eigen::Matrix3f::Zero();
  // Camera-to-robot transform (the camera's pose in the robot frame).
  Eigen::Matrix4f extrinsic = Eigen::Matrix4f::Zero();
  // Carried along for the caller; not read by the detector.
  std::uint32_t reserved = 0;
};

// Status of a grid cell in one integration, stored as int.
enum GridStatus : int { UNOBSERVED = -1, OCCUPIED = 0, FREE = 1, OCCLUDED = 2 };

// The five ground-plane points (robot x, y in metres) whose convex hull is the
// camera's region of interest: the image corners (0, 0), (0, height - 1),
// (width - 1, height - 1), (width - 1, 0) cast to a depth of 5 m, then the
// camera's position. Entries are not finite when the camera matrix has a zero
// or non-finite focal length.
std::array<Eigen::Vector2f, 5> CameraGroundFootprint(const CameraInfo& camera_info);

// Configuration of a DynamicCloudDetector: the six grid values of
// EgoGridParams (units, ranges and checks documented there).
struct DynamicCloudDetectorParams : EgoGridParams {
  // Reads the float keys "resolution", "width", "occupancy_threshold",
  // "log_odds_obstacle", "log_odds_occlusion" and "log_odds_free_space", in
  // that order, without checking them. The yaml-cpp exceptions for a missing
  // key or a value that is not a number pass through unchanged.
  // The optional mapping "lidar_free_space" is read into lidar_free_space
  // (LidarFreeSpaceParams::FromYaml, whose errors name the key).
  static DynamicCloudDetectorParams FromYaml(const YAML::Node& config);

  // Set: the LiDAR free-space mode (see the class comment). That mode also
  // requires occupancy_threshold at most 0, so that unknown cells are not
  // free.
  std::optional<LidarFreeSpaceParams> lidar_free_space;
};

class LidarFreeSpace;

class DynamicCloudDetector {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;

  // The three debug images, named after their windows: cell status
  // (UNOBSERVED blue, OCCUPIED green, FREE white, OCCLUDED red), log-odds as
  // grey (black -1, white 1), and their even blend. grid_width square CV_8UC3,
  // flipped so that +y points up on screen (x to the right).
  struct DebugImages {
    cv::Mat occupancy;
    cv::Mat dynamic_static;
    cv::Mat combined;
  };

  // Builds the grid from `params` and logs the four log-odds values at info
  // level. Throws std::invalid_argument naming the key for a value out of
  // range (see EgoGridParams and LidarFreeSpaceParams::Check); nothing is
  // logged when it throws. The LiDAR free-space mode logs its parameters in
  // one more info line.
  explicit DynamicCloudDetector(const DynamicCloudDetectorParams& params);

  // The record read from the YAML mapping `config`
  // (DynamicCloudDetectorParams::FromYaml), then as the record constructor.
  explicit DynamicCloudDetector(YAML::Node config);

  // The YAML mapping in the file `config_path`, as the node constructor; an
  // unreadable file throws the yaml-cpp exception.
  explicit DynamicCloudDetector(std::string config_path);

  // The grid belongs to one detector: a copy would share it (and the raster
  // buffers) and each would move and update the other's belief.
  DynamicCloudDetector(const DynamicCloudDetector&) = delete;
  DynamicCloudDetector& operator=(const DynamicCloudDetector&) = delete;
  DynamicCloudDetector(DynamicCloudDetector&&) = default;
  DynamicCloudDetector& operator=(DynamicCloudDetector&&) = default;

  // Stores the camera and builds its region of interest: the grid cells whose
  // lower corner lies strictly inside the convex hull of
  // CameraGroundFootprint. A camera whose footprint is not finite sees no
  // cell. Call before the first Update; a later call replaces the region.
  void Init(const CameraInfo& camera_info);

  // Whether the cell holding the robot-frame point (x, y) lies in the region
  // of interest. False outside the grid and before Init.
  bool IsInRoi(float x, float y) const;

  // Moves the grid by the motion from the previous pose to `pose` (ignored on
  // the first call), then integrates `cloud`. Only the translation (0,3),
  // (1,3) and the yaw atan2((1,0), (0,0)) of `pose` are read. A pose that is
  // not finite leaves every cell unknown (log-odds 0, height 0.3 m), and so
  // does the next pose after it, the motion between them being unknown too.
  // `visualize` shows the debug windows "occupancy", "dynamic_static" and
  // "combined" from the calling thread. highgui would abort the process
  // without a display, so they are skipped (with a debug line) unless DISPLAY
  // or QT_QPA_PLATFORM is set. A null cloud counts as empty.
  void Update(std::shared_ptr<const Cloud> cloud, const Eigen::Matrix4f& pose, bool visualize);
  // The same with the ground returns that were split off `cloud` (same frame;
  // may be null). The LiDAR free-space mode takes them as evidence of free
  // space in directions without an obstacle; the camera mode ignores them.
  void Update(std::shared_ptr<const Cloud> cloud, std::shared_ptr<const Cloud> ground_cloud,
              const Eigen::Matrix4f& pose, bool visualize);

  // Folds one cloud (robot frame) into the grid at its current placement.
  // Points with a non-finite coordinate are skipped. A null cloud counts as
  // empty.
  void InputCloudToOccupancyGridMap(std::shared_ptr<const Cloud> cloud, bool visualize);
  // The same with the ground returns split off `cloud` (see Update).
  void InputCloudToOccupancyGridMap(std::shared_ptr<const Cloud> cloud,
                                    std::shared_ptr<const Cloud> ground_cloud, bool visualize);

  // Empties both outputs and appends every input point, in order, to
  // `dynamic_cloud` when it lies inside the grid in a cell whose log-odds is
  // below "occupancy_threshold", to `static_cloud` otherwise. The outputs
  // come back unorganised (width = point count, height 1); their header and
  // is_dense stay as they were. An output may be the input itself.
  void DivideCloud(const Cloud& cloud, Cloud& dynamic_cloud, Cloud& static_cloud) const;
  // The same on shared clouds. A null input counts as empty; with a null
  // output nothing is done.
  void DivideCloud(const std::shared_ptr<Cloud>& cloud, std::shared_ptr<Cloud>& dynamic_cloud,
                   std::shared_ptr<Cloud>& static_cloud) const;
  // The same division as one flag per input point, 1 where DivideCloud puts
  // the point into `dynamic_cloud` and 0 where it puts it into
  // `static_cloud`; `dynamic_flags` gets the size of `cloud`.
  void DivideCloud(const Cloud& cloud, std::vector<std::uint8_t>& dynamic_flags) const;

  // Moves the grid's content by `translation` (metres, grid axes), then turns
  // it counter-clockwise by `angle` (radians, applied as angle * pi / 3.14)
  // about the centre of cell (grid_width / 2, grid_width / 2), bilinear for
  // log-odds and bicubic for heights. Cells coming in from outside get
  // log-odds 0 and height 0.3 m. A translation or angle that is not finite,
  // or a translation of more than four grid sides along either axis, leaves
  // every cell that way.
  void TransformOccupancyGridMap(const Eigen::Vector2f& translation, float angle);

  // The images of the last integration (see DebugImages).
  DebugImages DrawDebugImages() const;

  const OccupancyGridMap& grid_map() const { return *grid_map_; }
  // Status of every cell in the last integration (GridStatus values).
  const std::vector<int>& grid_status() const { return grid_status_; }

 private:
  static void CheckLidarFreeSpace(const DynamicCloudDetectorParams& params);
  void StartLidarFreeSpace(const LidarFreeSpaceParams& params);
  // Marks the cells of the points of `cloud`, but for those whose entry in
  // `skipped_points` is 1 (none when it is empty).
  void MarkOccupiedCells(const Cloud& cloud, const std::vector<std::uint8_t>& skipped_points);
  // One pass over the cells: each becomes OCCUPIED where a point marked it,
  // otherwise FREE where the camera footprint (LiDAR free-space mode: the
  // cloud's rays) shows free space, UNOBSERVED elsewhere; its height and
  // log-odds then follow that status. The integration assigns no OCCLUDED
  // cell, so the occlusion increment is not applied.
  void UpdateCells();
  void ShowDebugWindows() const;

  float occupancy_threshold_ = 0.0f;
  float log_odds_obstacle_ = 0.0f;
  float log_odds_free_space_ = 0.0f;
  float log_odds_occlusion_ = 0.0f;
  Eigen::Vector2f last_position_ = Eigen::Vector2f::Zero();
  float last_yaw_ = 0.0f;
  bool initialized_ = false;
  float default_height_ = 0.3f;
  CameraInfo camera_info_;
  // 1 for the cells whose lower corner lies inside the camera footprint.
  std::vector<int> roi_mask_;
  std::shared_ptr<OccupancyGridMap> grid_map_;
  std::vector<int> grid_status_;
  // Highest z (at least default_height_) of the points marking each cell in
  // the last integration; minus infinity for cells no point marked.
  std::vector<float> grid_height_;
  // IsInRoi of each cell's lower corner. The corner taken back to a cell can
  // land one cell lower (see OccupancyGridMap), so this differs from
  // roi_mask_ in places; cached by Init so integration looks it up per cell.
  std::vector<std::uint8_t> corner_in_roi_;
  // Set in the LiDAR free-space mode only.
  std::shared_ptr<LidarFreeSpace> lidar_free_space_;
};

}  // namespace perception
}  // namespace kestrel
