#include "scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "random.h"

namespace larkspur {
namespace replay {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Rays start this far along before a surface counts, so that a ray never
// hits the surface it starts on.
constexpr double kMinDistance = 1e-6;
// Object bases sit this far below the lowest ground under them.
constexpr double kBaseSink = 0.1;
// Car bodies float this high over the ground (their wheels are left out).
constexpr double kCarClearance = 0.2;

Eigen::Vector2d Rotate(const Eigen::Vector2d& v, double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return {c * v.x() - s * v.y(), s * v.x() + c * v.y()};
}

// Slab test of a ray against the axis-aligned box [lo, hi] in the box's own
// frame; the entry distance, or nothing when the ray misses or starts inside.
std::optional<double> IntersectSlabs(const Eigen::Vector3d& origin,
                                     const Eigen::Vector3d& direction, const Eigen::Vector3d& lo,
                                     const Eigen::Vector3d& hi) {
  double enter = -std::numeric_limits<double>::infinity();
  double leave = std::numeric_limits<double>::infinity();
  for (int axis = 0; axis < 3; ++axis) {
    if (direction[axis] == 0.0) {
      if (origin[axis] < lo[axis] || origin[axis] > hi[axis]) return std::nullopt;
      continue;
    }
    double t0 = (lo[axis] - origin[axis]) / direction[axis];
    double t1 = (hi[axis] - origin[axis]) / direction[axis];
    if (t0 > t1) std::swap(t0, t1);
    enter = std::max(enter, t0);
    leave = std::min(leave, t1);
  }
  if (enter > leave || enter < kMinDistance) return std::nullopt;
  return enter;
}

std::optional<double> IntersectBox(const SceneObject& box, const Eigen::Vector2d& centre,
                                   double base, const Eigen::Vector3d& origin,
                                   const Eigen::Vector3d& direction) {
  const Eigen::Vector2d local_origin = Rotate(origin.head<2>() - centre, -box.yaw);
  const Eigen::Vector2d local_direction = Rotate(direction.head<2>(), -box.yaw);
  const Eigen::Vector3d o(local_origin.x(), local_origin.y(), origin.z());
  const Eigen::Vector3d d(local_direction.x(), local_direction.y(), direction.z());
  const Eigen::Vector3d half(box.length / 2.0, box.width / 2.0, 0.0);
  return IntersectSlabs(o, d, Eigen::Vector3d(-half.x(), -half.y(), base),
                        Eigen::Vector3d(half.x(), half.y(), base + box.height));
}

std::optional<double> IntersectCylinder(const SceneObject& cylinder, const Eigen::Vector2d& centre,
                                        double base, const Eigen::Vector3d& origin,
                                        const Eigen::Vector3d& direction) {
  const double radius = cylinder.width / 2.0;
  const double top = base + cylinder.height;
  const Eigen::Vector2d o = origin.head<2>() - centre;
  const Eigen::Vector2d d = direction.head<2>();
  std::optional<double> best;
  const double a = d.squaredNorm();
  if (a > 0.0) {
    const double b = 2.0 * o.dot(d);
    const double c = o.squaredNorm() - radius * radius;
    const double discriminant = b * b - 4.0 * a * c;
    if (discriminant >= 0.0) {
      const double t = (-b - std::sqrt(discriminant)) / (2.0 * a);
      const double z = origin.z() + t * direction.z();
      if (t > kMinDistance && z >= base && z <= top) best = t;
    }
  }
  // The top disc, seen from above.
  if (origin.z() > top && direction.z() < 0.0) {
    const double t = (top - origin.z()) / direction.z();
    if ((o + t * d).squaredNorm() <= radius * radius && (!best || t < *best)) best = t;
  }
  return best;
}

// Cheap rejection: whether the ray's horizontal path passes within `radius`
// of `centre` at a distance below max_distance.
bool MayHit(const Eigen::Vector2d& centre, double radius, const Eigen::Vector3d& origin,
            const Eigen::Vector3d& direction, double max_distance) {
  const Eigen::Vector2d to_centre = centre - origin.head<2>();
  const Eigen::Vector2d d = direction.head<2>();
  const double horizontal = d.norm();
  if (horizontal < 1e-12) return to_centre.norm() <= radius;
  const Eigen::Vector2d unit = d / horizontal;
  const double along = to_centre.dot(unit);
  if (along < -radius || along - radius > max_distance * horizontal) return false;
  const double across = std::abs(unit.x() * to_centre.y() - unit.y() * to_centre.x());
  return across <= radius || to_centre.norm() <= radius;
}

double BoundingRadius(const SceneObject& object) {
  if (object.shape == SceneObject::Shape::kCylinder) return object.width / 2.0;
  return 0.5 * std::hypot(object.length, object.width);
}

double BaseHeight(const Ground& ground, const SceneObject& object, const Eigen::Vector2d& centre) {
  const double r = BoundingRadius(object);
  return ground.LowestIn(centre.x() - r, centre.x() + r, centre.y() - r, centre.y() + r) -
         kBaseSink;
}

Eigen::Matrix4f PoseMatrix(const PlanarPose& pose, double z) {
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m(0, 0) = static_cast<float>(std::cos(pose.yaw));
  m(0, 1) = static_cast<float>(-std::sin(pose.yaw));
  m(1, 0) = static_cast<float>(std::sin(pose.yaw));
  m(1, 1) = static_cast<float>(std::cos(pose.yaw));
  m(0, 3) = static_cast<float>(pose.x);
  m(1, 3) = static_cast<float>(pose.y);
  m(2, 3) = static_cast<float>(z);
  return m;
}

// Independent noise streams per frame and sensor, so that any frame can be
// produced on its own and comes out the same.
Random FrameRandom(std::uint32_t seed, int frame, int sensor) {
  return Random((static_cast<std::uint64_t>(seed) << 32) ^
                (static_cast<std::uint64_t>(frame) << 2) ^ static_cast<std::uint64_t>(sensor));
}

SceneObject Box(std::string kind, double x, double y, double length, double width, double height,
                double yaw = 0.0) {
  SceneObject box;
  box.shape = SceneObject::Shape::kBox;
  box.kind = std::move(kind);
  box.length = length;
  box.width = width;
  box.height = height;
  box.yaw = yaw;
  box.motion.start = Eigen::Vector2d(x, y);
  return box;
}

SceneObject Cylinder(std::string kind, double x, double y, double radius, double height) {
  SceneObject cylinder;
  cylinder.shape = SceneObject::Shape::kCylinder;
  cylinder.kind = std::move(kind);
  cylinder.length = 2.0 * radius;
  cylinder.width = 2.0 * radius;
  cylinder.height = height;
  cylinder.motion.start = Eigen::Vector2d(x, y);
  return cylinder;
}

// Moves `object` from its start with `velocity` between t_start and t_end.
SceneObject Moving(SceneObject object, const Eigen::Vector2d& velocity, double t_start,
                   double t_end) {
  object.motion.velocity = velocity;
  object.motion.t_start = t_start;
  object.motion.t_end = t_end;
  return object;
}

// A pedestrian crossing the street along +y or -y so that it passes the
// robot's lane `ahead` metres in front of the robot at time t_cross.
SceneObject CrossingPerson(const Trajectory& robot, double t_cross, double ahead, double speed,
                           bool to_left) {
  constexpr double kKerb = 6.6;
  const double x = robot.x0 + robot.speed * t_cross + ahead;
  const double lane = robot.y0;
  const double from = to_left ? -kKerb : kKerb;
  const double to = -from;
  const double direction = to_left ? 1.0 : -1.0;
  const double t_start = t_cross - std::abs(lane - from) / speed;
  const double t_end = t_start + std::abs(to - from) / speed;
  return Moving(Cylinder("person", x, from, 0.25, 1.75), Eigen::Vector2d(0.0, direction * speed),
                t_start, t_end);
}

void AddBuildings(World& world) {
  // Fronts at |y| = 7; a side street opens on the left between x = 22 and 30.
  world.Add(Box("building", 30.0, -9.0, 140.0, 4.0, 8.0));
  world.Add(Box("building", -9.0, 9.0, 62.0, 4.0, 8.0));
  world.Add(Box("building", 65.0, 9.0, 70.0, 4.0, 8.0));
}

void AddStreetFurniture(World& world, Random& random) {
  for (double x = -30.0; x < 90.0; x += 9.0) {
    world.Add(Cylinder("pole", x + random.Uniform(-1.5, 1.5), 6.2, 0.12, 3.5));
    world.Add(Cylinder("pole", x + random.Uniform(-1.5, 1.5), -6.2, 0.12, 3.5));
  }
  for (double x = -20.0; x < 80.0; x += 17.0) {
    world.Add(Box("bin", x + random.Uniform(0.0, 6.0), -6.5, 0.6, 0.6, 1.0));
  }
}

void AddParkedCars(World& world, Random& random) {
  for (const double side : {-1.0, 1.0}) {
    double x = -25.0 + random.Uniform(0.0, 4.0);
    while (x < 80.0) {
      const double length = random.Uniform(3.9, 4.7);
      // Leave the side street clear.
      if (side < 0.0 || x + length < 22.0 || x > 30.0) {
        SceneObject car = Box("parked car", x + length / 2.0, side * 5.0, length, 1.8,
                              random.Uniform(1.2, 1.45), random.Uniform(-0.03, 0.03));
        car.clearance = kCarClearance;
        world.Add(std::move(car));
      }
      x += length + random.Uniform(0.8, 6.0);
    }
  }
}

void AddMovers(World& world, const Trajectory& robot, Random& random) {
  world.Add(CrossingPerson(robot, 3.0 + random.Uniform(0.0, 1.0), 4.0, 1.3, true));
  world.Add(CrossingPerson(robot, 8.0 + random.Uniform(0.0, 1.0), 3.5, 1.5, false));
  world.Add(Moving(Cylinder("person", 30.0 + random.Uniform(0.0, 4.0), 6.0, 0.25, 1.7),
                   Eigen::Vector2d(-1.2, 0.0), 0.0, 60.0));
  world.Add(Cylinder("standing person", 9.0 + random.Uniform(0.0, 3.0), -6.0, 0.25, 1.8));
  SceneObject car = Box("car", 70.0 + random.Uniform(0.0, 10.0), 2.0, 4.4, 1.8, 1.3, kPi);
  car.clearance = kCarClearance;
  world.Add(Moving(std::move(car), Eigen::Vector2d(-5.0, 0.0), 0.0, 60.0));
  const double t_cyclist = 6.5 + random.Uniform(0.0, 1.5);
  const double x_cyclist = robot.x0 + robot.speed * t_cyclist + 4.5;
  world.Add(Moving(Box("cyclist", x_cyclist, 6.5, 1.8, 0.6, 1.7, -kPi / 2.0),
                   Eigen::Vector2d(0.0, -4.0), t_cyclist - 2.0, t_cyclist + 1.5));
}

}  // namespace

Ground::Ground(std::vector<Eigen::Vector2d> profile, double cross_slope)
    : profile_(std::move(profile)), cross_slope_(cross_slope) {
  if (profile_.empty()) throw std::invalid_argument("ground profile needs at least one knot");
  for (std::size_t k = 1; k < profile_.size(); ++k) {
    if (!(profile_[k].x() > profile_[k - 1].x())) {
      throw std::invalid_argument("ground profile knots must have increasing x");
    }
  }
}

Ground Ground::Flat(double height) { return Ground({Eigen::Vector2d(0.0, height)}, 0.0); }

double Ground::HeightAt(double x, double y) const {
  double z = profile_.front().y();
  if (x >= profile_.back().x()) {
    z = profile_.back().y();
  } else {
    for (std::size_t k = 1; k < profile_.size(); ++k) {
      if (x < profile_[k].x() && x >= profile_[k - 1].x()) {
        const Eigen::Vector2d& a = profile_[k - 1];
        const Eigen::Vector2d& b = profile_[k];
        z = a.y() + (b.y() - a.y()) * (x - a.x()) / (b.x() - a.x());
        break;
      }
    }
  }
  return z - cross_slope_ * std::abs(y);
}

// The profile is linear between knots and the camber falls with |y|, so the
// lowest point lies at a corner or at a knot on an outer edge.
double Ground::LowestIn(double x0, double x1, double y0, double y1) const {
  double lowest = std::numeric_limits<double>::infinity();
  for (const double y : {y0, y1}) {
    lowest = std::min({lowest, HeightAt(x0, y), HeightAt(x1, y)});
    for (const Eigen::Vector2d& knot : profile_) {
      if (knot.x() > x0 && knot.x() < x1) lowest = std::min(lowest, HeightAt(knot.x(), y));
    }
  }
  return lowest;
}

// The ground is a set of planar patches: each profile segment (and the two
// flat extensions) on each side of y = 0. Being continuous, its first patch
// hit along the ray is its first surface.
std::optional<double> Ground::Intersect(const Eigen::Vector3d& origin,
                                        const Eigen::Vector3d& direction,
                                        double max_distance) const {
  constexpr double kEdge = 1e-9;
  const double infinity = std::numeric_limits<double>::infinity();
  std::optional<double> best;
  for (std::size_t k = 0; k <= profile_.size(); ++k) {
    const double lo = k == 0 ? -infinity : profile_[k - 1].x();
    const double hi = k == profile_.size() ? infinity : profile_[k].x();
    const Eigen::Vector2d& knot = profile_[k == 0 ? 0 : k - 1];
    double slope = 0.0;
    if (k > 0 && k < profile_.size()) {
      slope = (profile_[k].y() - knot.y()) / (profile_[k].x() - knot.x());
    }
    for (const double side : {1.0, -1.0}) {
      // Plane: z - knot.z - slope * (x - knot.x) + cross_slope * side * y = 0.
      const double at_origin = origin.z() - knot.y() - slope * (origin.x() - knot.x()) +
                               cross_slope_ * side * origin.y();
      const double rate =
          direction.z() - slope * direction.x() + cross_slope_ * side * direction.y();
      if (rate == 0.0) continue;
      const double t = -at_origin / rate;
      if (!(t > kMinDistance && t <= max_distance) || (best && t >= *best)) continue;
      const double x = origin.x() + t * direction.x();
      const double y = origin.y() + t * direction.y();
      if (x >= lo - kEdge && x <= hi + kEdge && side * y >= -kEdge) best = t;
    }
  }
  return best;
}

Eigen::Vector2d Motion::PositionAt(double t) const {
  const double moved = std::clamp(t, t_start, std::max(t_start, t_end)) - t_start;
  return start + velocity * moved;
}

bool Motion::MovingAt(double t) const {
  return velocity.squaredNorm() > 0.0 && t >= t_start && t < t_end;
}

std::optional<RayHit> World::Cast(const Eigen::Vector3d& origin, const Eigen::Vector3d& direction,
                                  double max_distance, double t) const {
  std::optional<RayHit> best;
  if (const auto d = ground_.Intersect(origin, direction, max_distance)) {
    best = RayHit{*d, PointTruth{Label::kYes, Label::kNo}};
  }
  for (const SceneObject& object : objects_) {
    const double limit = best ? best->distance : max_distance;
    const Eigen::Vector2d centre = object.motion.PositionAt(t);
    if (!MayHit(centre, BoundingRadius(object), origin, direction, limit)) continue;
    const double base = object.clearance > 0.0
                            ? ground_.HeightAt(centre.x(), centre.y()) + object.clearance
                            : BaseHeight(ground_, object, centre);
    const auto d = object.shape == SceneObject::Shape::kBox
                       ? IntersectBox(object, centre, base, origin, direction)
                       : IntersectCylinder(object, centre, base, origin, direction);
    if (d && *d <= limit) {
      const Label moving = object.motion.MovingAt(t) ? Label::kYes : Label::kNo;
      best = RayHit{*d, PointTruth{Label::kNo, moving}};
    }
  }
  return best;
}

Scene::Scene(World world, Trajectory trajectory, LidarModel lidar, LaserModel laser,
             double frame_rate, std::uint32_t seed)
    : world_(std::move(world)),
      trajectory_(trajectory),
      lidar_(lidar),
      laser_(laser),
      frame_rate_(frame_rate),
      seed_(seed) {
  if (!(frame_rate_ > 0.0)) throw std::invalid_argument("frame rate must be positive");
}

Scene Scene::Street(std::uint32_t seed) {
  Ground ground({{-200.0, 0.0}, {10.0, 0.0}, {28.0, 0.9}, {45.0, 0.9}, {63.0, 0.0}}, 0.02);
  World world(std::move(ground));
  Trajectory robot;
  robot.x0 = 0.0;
  robot.y0 = -1.5;
  robot.speed = 1.2;
  robot.amplitude = 0.6;
  robot.period = 10.0;
  Random random(seed);
  AddBuildings(world);
  AddStreetFurniture(world, random);
  AddParkedCars(world, random);
  AddMovers(world, robot, random);
  return Scene(std::move(world), robot, LidarModel{}, LaserModel{}, 10.0, seed);
}

PlanarPose Scene::RobotPoseAt(double t) const {
  const double omega = 2.0 * kPi / trajectory_.period;
  PlanarPose pose;
  pose.x = trajectory_.x0 + trajectory_.speed * t;
  pose.y = trajectory_.y0 + trajectory_.amplitude * std::sin(omega * t);
  const double lateral_speed = trajectory_.amplitude * omega * std::cos(omega * t);
  pose.yaw = std::atan2(lateral_speed, trajectory_.speed);
  return pose;
}

Eigen::Vector3d Scene::SensorOrigin(const PlanarPose& pose, double mount_height) const {
  return {pose.x, pose.y, world_.ground().HeightAt(pose.x, pose.y) + mount_height};
}

SimulatedCloud Scene::Cloud(int frame) const {
  const double t = TimeOf(frame);
  const PlanarPose pose = RobotPoseAt(t);
  const Eigen::Vector3d origin = SensorOrigin(pose, lidar_.mount_height);
  Random random = FrameRandom(seed_, frame, 0);

  SimulatedCloud out;
  out.cloud = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  out.pose = PoseMatrix(pose, origin.z());
  const double ring_step =
      lidar_.rings > 1 ? (lidar_.highest_deg - lidar_.lowest_deg) / (lidar_.rings - 1) : 0.0;
  for (int step = 0; step < lidar_.azimuth_steps; ++step) {
    const double azimuth = -kPi + 2.0 * kPi * step / lidar_.azimuth_steps;
    for (int ring = 0; ring < lidar_.rings; ++ring) {
      const double elevation = (lidar_.lowest_deg + ring * ring_step) * kPi / 180.0;
      const Eigen::Vector3d local(std::cos(elevation) * std::cos(azimuth),
                                  std::cos(elevation) * std::sin(azimuth), std::sin(elevation));
      const Eigen::Vector2d horizontal = Rotate(local.head<2>(), pose.yaw);
      const Eigen::Vector3d direction(horizontal.x(), horizontal.y(), local.z());
      const auto hit = world_.Cast(origin, direction, lidar_.max_range, t);
      // Both draws happen for every ray so that the noise of one ray does not
      // depend on whether its neighbours hit anything.
      const double noise = lidar_.range_noise * random.Normal();
      const bool lost = random.Uniform(0.0, 1.0) < lidar_.dropout;
      if (!hit || lost || hit->distance < lidar_.min_range) continue;
      const Eigen::Vector3d p = local * (hit->distance + noise);
      out.cloud->points.emplace_back(static_cast<float>(p.x()), static_cast<float>(p.y()),
                                     static_cast<float>(p.z()));
      out.truth.push_back(hit->truth);
    }
  }
  out.cloud->width = static_cast<std::uint32_t>(out.cloud->points.size());
  out.cloud->height = 1;
  out.cloud->is_dense = true;
  return out;
}

SimulatedScan Scene::Scan(int frame) const {
  const double t = TimeOf(frame);
  const PlanarPose pose = RobotPoseAt(t);
  const Eigen::Vector3d origin = SensorOrigin(pose, laser_.mount_height);
  Random random = FrameRandom(seed_, frame, 1);

  SimulatedScan out;
  out.pose = pose;
  auto& scan = out.scan;
  const double seconds = std::floor(t);
  scan.header.stamp.sec = static_cast<std::int32_t>(seconds);
  scan.header.stamp.nanosec =
      static_cast<std::uint32_t>(std::lround((t - seconds) * 1e9) % 1000000000);
  scan.header.frame_id = "laser";
  scan.angle_min = static_cast<float>(laser_.angle_min);
  scan.angle_increment = static_cast<float>(laser_.angle_increment);
  scan.angle_max =
      static_cast<float>(laser_.angle_min + (laser_.beams - 1) * laser_.angle_increment);
  scan.scan_time = static_cast<float>(1.0 / frame_rate_);
  scan.range_min = laser_.range_min;
  scan.range_max = laser_.range_max;
  scan.ranges.resize(static_cast<std::size_t>(laser_.beams));
  out.truth.resize(scan.ranges.size());
  for (int i = 0; i < laser_.beams; ++i) {
    const double bearing = laser_.angle_min + i * laser_.angle_increment + pose.yaw;
    const Eigen::Vector3d direction(std::cos(bearing), std::sin(bearing), 0.0);
    const auto hit = world_.Cast(origin, direction, laser_.range_max, t);
    const double noise = laser_.range_noise * random.Normal();
    const auto k = static_cast<std::size_t>(i);
    if (!hit) {
      scan.ranges[k] = std::numeric_limits<float>::infinity();
      continue;
    }
    scan.ranges[k] = static_cast<float>(std::max(hit->distance + noise, 0.0));
    out.truth[k] = hit->truth;
  }
  return out;
}

}  // namespace replay
}  // namespace larkspur
