// Built-in simulated drive for the replay tool: a deterministic, seedable
// world (sloped ground, walls, parked obstacles, moving people and vehicles)
// seen by a multi-ring rotating LiDAR and a planar laser, both ray-cast, with
// the robot's true poses and per-point / per-beam ground truth.
//
// Frames: the world frame is fixed, x along the street, z up, metres. Each
// sensor frame sits at the robot's planar pose, lifted by the sensor's mount
// height above the ground under the robot, x forward, z up; the robot stays
// level on slopes (no roll or pitch). Clouds and scans are given in their
// sensor frame, as a driver would publish them.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sensor_msgs/msg/laser_scan.hpp"
#include "truth.h"

namespace larkspur {
namespace replay {

// Continuous ground height z(x, y) = profile(x) - cross_slope * |y|: a
// piecewise-linear profile along the street (constant beyond its end knots)
// and a camber falling toward both sides.
class Ground {
 public:
  // `profile`: knots (x, z) with strictly increasing x; at least one.
  Ground(std::vector<Eigen::Vector2d> profile, double cross_slope);
  static Ground Flat(double height);

  double HeightAt(double x, double y) const;
  // Lowest ground height over the axis-aligned rectangle [x0, x1] x [y0, y1].
  double LowestIn(double x0, double x1, double y0, double y1) const;
  // Distance along the ray (unit direction) to the first ground hit, if any
  // within max_distance.
  std::optional<double> Intersect(const Eigen::Vector3d& origin, const Eigen::Vector3d& direction,
                                  double max_distance) const;

 private:
  std::vector<Eigen::Vector2d> profile_;
  double cross_slope_;
};

// Planar straight-line motion: the object stands at `start` until `t_start`,
// moves with `velocity` until `t_end`, then stands again. Zero velocity is a
// static object.
struct Motion {
  Eigen::Vector2d start = Eigen::Vector2d::Zero();
  Eigen::Vector2d velocity = Eigen::Vector2d::Zero();
  double t_start = 0.0;
  double t_end = 0.0;

  Eigen::Vector2d PositionAt(double t) const;
  bool MovingAt(double t) const;
};

// A box (footprint length x width along its heading `yaw`) or an upright
// cylinder (radius in `width` / 2), standing on the ground: its base lies a
// little below the lowest ground under its footprint, so that no gap opens
// under it on slopes; the ground hides the part below it.
struct SceneObject {
  enum class Shape { kBox, kCylinder };
  Shape shape = Shape::kBox;
  std::string kind;  // "wall", "parked car", "person", ... for descriptions
  double length = 1.0;
  double width = 1.0;
  double height = 1.0;
  double yaw = 0.0;
  // Gap between the ground and the object's underside (a car body over its
  // wheels); 0 for objects standing on the ground.
  double clearance = 0.0;
  Motion motion;
};

struct RayHit {
  double distance = 0.0;
  PointTruth truth;
};

class World {
 public:
  explicit World(Ground ground) : ground_(std::move(ground)) {}

  void Add(SceneObject object) { objects_.push_back(std::move(object)); }
  const Ground& ground() const { return ground_; }
  const std::vector<SceneObject>& objects() const { return objects_; }

  // First surface hit by the ray at time t within max_distance.
  std::optional<RayHit> Cast(const Eigen::Vector3d& origin, const Eigen::Vector3d& direction,
                             double max_distance, double t) const;

 private:
  Ground ground_;
  std::vector<SceneObject> objects_;
};

// Robot path: x = x0 + speed * t, y = y0 + amplitude * sin(2 pi t / period),
// heading along the path's tangent.
struct Trajectory {
  double x0 = 0.0;
  double y0 = 0.0;
  double speed = 1.2;
  double amplitude = 0.0;
  double period = 12.0;
};

struct PlanarPose {
  double x = 0.0;
  double y = 0.0;
  double yaw = 0.0;
};

struct LidarModel {
  int rings = 32;
  double lowest_deg = -24.0;
  double highest_deg = 8.0;
  int azimuth_steps = 900;
  double mount_height = 1.2;
  double min_range = 0.5;
  double max_range = 60.0;
  double range_noise = 0.01;  // standard deviation, metres
  double dropout = 0.003;     // probability that a return is lost
};

struct LaserModel {
  int beams = 541;
  double angle_min = -2.356194490192345;          // -135 degrees
  double angle_increment = 0.008726646259971648;  // 0.5 degrees
  double mount_height = 0.35;
  float range_min = 0.05f;
  float range_max = 30.0f;
  double range_noise = 0.01;
};

struct SimulatedCloud {
  std::shared_ptr<pcl::PointCloud<pcl::PointXYZ>> cloud;
  std::vector<PointTruth> truth;  // one per point
  Eigen::Matrix4f pose;           // LiDAR pose in the world frame
};

struct SimulatedScan {
  sensor_msgs::msg::LaserScan scan;
  std::vector<PointTruth> truth;  // one per range; unknown without a return
  PlanarPose pose;                // laser pose in the world frame (planar)
};

class Scene {
 public:
  Scene(World world, Trajectory trajectory, LidarModel lidar, LaserModel laser, double frame_rate,
        std::uint32_t seed);

  // The default drive: a 14 m wide street between buildings, a 5 % ramp up
  // and down, a camber, parked cars, poles and bins; people crossing ahead of
  // the robot, one walking along the pavement, an oncoming car and a
  // cyclist. `seed` places the parked obstacles and times the movers and
  // drives the sensor noise.
  static Scene Street(std::uint32_t seed);

  double TimeOf(int frame) const { return frame / frame_rate_; }
  PlanarPose RobotPoseAt(double t) const;
  SimulatedCloud Cloud(int frame) const;
  SimulatedScan Scan(int frame) const;

  const World& world() const { return world_; }
  const LidarModel& lidar() const { return lidar_; }
  const LaserModel& laser() const { return laser_; }

 private:
  Eigen::Vector3d SensorOrigin(const PlanarPose& pose, double mount_height) const;

  World world_;
  Trajectory trajectory_;
  LidarModel lidar_;
  LaserModel laser_;
  double frame_rate_;
  std::uint32_t seed_;
};

}  // namespace replay
}  // namespace larkspur
