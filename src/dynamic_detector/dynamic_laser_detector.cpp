#include "larkspur_perception_libs/dynamic_laser_detector.h"

#include <Eigen/LU>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/quaternion_yaw.h"
#include "dynamic_detector/ego_grid.h"
#include "larkspur_perception_libs/logger.h"
#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel {
namespace perception {
namespace {

using LaserScan = sensor_msgs::msg::LaserScan;
using Clock = std::chrono::system_clock;

// Marks a beam in the output scan that did not receive it. Finite on purpose:
// consumers that drop non-finite readings would otherwise treat the marker
// like a real "no return".
constexpr float kNotInThisScan = std::numeric_limits<float>::max();

// Cell labels of one integration; a label other than kUnobserved indexes the
// increment table built in UpdateOccupancyGridMap.
constexpr std::int32_t kUnobserved = -1;
constexpr std::int32_t kHit = 0;
constexpr std::int32_t kFree = 1;
constexpr std::int32_t kOccluded = 2;
constexpr std::int32_t kSubObstacle = 3;

// Beams 0 .. count - 1 are used: n of the scan geometry, limited to the
// readings the scan holds. A quotient that is not finite (zero or non-finite
// increment or limits) yields no beam rather than an unbounded count.
std::size_t UsedBeamCount(const LaserScan& scan) {
  const float quotient = (scan.angle_max - scan.angle_min) / scan.angle_increment;
  if (!std::isfinite(quotient) || quotient < 1.0f) return 0;
  const double n = std::trunc(static_cast<double>(quotient));
  const std::size_t available = scan.ranges.size();
  return n < static_cast<double>(available) ? static_cast<std::size_t>(n) : available;
}

float Bearing(const LaserScan& scan, std::size_t beam) {
  return scan.angle_min + static_cast<float>(beam) * scan.angle_increment;
}

// End point of a reading in the grid's frame.
Eigen::Vector2f EndPoint(const Eigen::Matrix4f& laser_to_grid, float bearing, float range) {
  const Eigen::Vector4f in_scan(range * std::cos(bearing), range * std::sin(bearing), 0.0f, 1.0f);
  return (laser_to_grid * in_scan).head<2>();
}

// Reading of the used beam covering `bearing`, or NaN when none covers it.
float ReadingAt(const LaserScan& scan, std::size_t beam_count, float bearing) {
  constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
  const float beam = (bearing - scan.angle_min) / scan.angle_increment;
  // The index truncates toward zero, so bearings up to one increment before
  // angle_min still select beam 0.
  if (!(beam > -1.0f)) return kNone;
  const double index = std::trunc(static_cast<double>(beam));
  if (!(index < static_cast<double>(beam_count))) return kNone;
  return scan.ranges[static_cast<std::size_t>(index)];
}

void CopyScanLayout(const LaserScan& from, LaserScan& to) {
  to.header = from.header;
  to.angle_min = from.angle_min;
  to.angle_max = from.angle_max;
  to.angle_increment = from.angle_increment;
  to.time_increment = from.time_increment;
  to.scan_time = from.scan_time;
  to.range_min = from.range_min;
  to.range_max = from.range_max;
  to.ranges.resize(from.ranges.size());
}

// Bicubic log-odds, closed around large turns; an unknown motion moves nothing.
constexpr ego_grid::GridMotionRule kGridMotion = {ego_grid::Arithmetic::kLibrary,
                                                  {cv::INTER_CUBIC, 0.0f},
                                                  std::nullopt,
                                                  true,
                                                  ego_grid::NonFiniteMotion::kKeepGrid};

std::shared_ptr<OccupancyGridMap> CheckedGrid(const DynamicLaserDetectorParams& params) {
  const int side = ego_grid::ValidatedGridSide(params);
  ego_grid::RequireFinite("log_odds_sub_obstacle_scale", params.log_odds_sub_obstacle_scale);
  return ego_grid::NewGrid(side, params.resolution);
}

}  // namespace

DynamicLaserDetectorParams DynamicLaserDetectorParams::FromYaml(const YAML::Node& config) {
  DynamicLaserDetectorParams params;
  static_cast<EgoGridParams&>(params) = ego_grid::ReadGridKeys(config);
  if (config["log_odds_sub_obstacle_scale"].IsDefined()) {
    params.log_odds_sub_obstacle_scale = config["log_odds_sub_obstacle_scale"].as<float>();
  }
  return params;
}

DynamicLaserDetector::DynamicLaserDetector(const std::string& config_path)
    : DynamicLaserDetector(YAML::LoadFile(config_path)) {}

DynamicLaserDetector::DynamicLaserDetector(const YAML::Node& config)
    : DynamicLaserDetector(DynamicLaserDetectorParams::FromYaml(config)) {}

DynamicLaserDetector::DynamicLaserDetector(const DynamicLaserDetectorParams& params)
    : occupancy_threshold_(params.occupancy_threshold),
      log_odds_obstacle_(params.log_odds_obstacle),
      log_odds_free_space_(params.log_odds_free_space),
      log_odds_occlusion_(params.log_odds_occlusion),
      log_odds_sub_obstacle_scale_(params.log_odds_sub_obstacle_scale),
      grid_map_(CheckedGrid(params)),
      morphology_buffers_(std::make_unique<ego_grid::MorphologyBuffers>()) {}

DynamicLaserDetector::~DynamicLaserDetector() = default;

void DynamicLaserDetector::Process(LaserScanConstPtr scan, const geometry_msgs::msg::Pose& pose,
                                   LaserScanPtr dynamic_scan, LaserScanPtr static_scan) {
  const Clock::time_point start = Clock::now();
  if (!scan || !dynamic_scan || !static_scan) return;
  if (Process(scan, pose, start)) {
    Divide(scan, dynamic_scan, static_scan);
    return;
  }
  InitializeOutputScans(scan, dynamic_scan, static_scan);
  std::fill(dynamic_scan->ranges.begin(), dynamic_scan->ranges.end(), kNotInThisScan);
  static_scan->ranges = scan->ranges;
}

void DynamicLaserDetector::Process(LaserScanConstPtr scan, const geometry_msgs::msg::Pose& pose,
                                   std::vector<std::uint8_t>& dynamic_beams) {
  const Clock::time_point start = Clock::now();
  if (!scan) {
    dynamic_beams.clear();
    return;
  }
  dynamic_beams.assign(scan->ranges.size(), 0);
  if (!Process(scan, pose, start)) return;
  const std::size_t beam_count = UsedBeamCount(*scan);
  for (std::size_t beam = 0; beam < beam_count; ++beam) {
    dynamic_beams[beam] = IsDynamicBeam(*scan, beam, scan->ranges[beam]) ? 1 : 0;
  }
}

bool DynamicLaserDetector::Process(const LaserScanConstPtr& scan,
                                   const geometry_msgs::msg::Pose& pose, Clock::time_point start) {
  const Eigen::Vector2f position(static_cast<float>(pose.position.x),
                                 static_cast<float>(pose.position.y));
  const auto yaw = static_cast<float>(larkspur::QuaternionYaw(pose.orientation));
  LARKSPUR_LOG_DEBUG("Current pose: {}, {}, {}", position.x(), position.y(), yaw);

  if (!initialized_) {
    UpdateOccupancyGridMap(scan);
    RememberPose(position, yaw);
    return false;
  }

  const ego_grid::PlanarMotion motion = ego_grid::MotionBetween(
      {last_position_, last_yaw_}, {position, yaw}, ego_grid::Arithmetic::kLibrary);
  // The world moves against the robot: the grid stays centred on it and
  // aligned with its heading.
  TransformOccupancyGridMap(-motion.translation, -motion.turn);
  const Clock::time_point transformed = Clock::now();
  UpdateOccupancyGridMap(scan);
  const Clock::time_point integrated = Clock::now();
  LARKSPUR_LOG_DEBUG("transform runtime = {0:d}(us)", ego_grid::Microseconds(transformed - start));
  LARKSPUR_LOG_DEBUG("gridmap runtime = {0:d}(us)",
                     ego_grid::Microseconds(integrated - transformed));
  RememberPose(position, yaw);
  return true;
}

void DynamicLaserDetector::RememberPose(const Eigen::Vector2f& position, float yaw) {
  // A pose that is not finite would poison every later motion; skipping it
  // measures the next motion from the last pose that was known.
  if (!position.allFinite() || !std::isfinite(yaw)) return;
  last_position_ = position;
  last_yaw_ = yaw;
  initialized_ = true;
}

void DynamicLaserDetector::TransformOccupancyGridMap(const Eigen::Vector2f& translation,
                                                     float angle) {
  ego_grid::MoveGrid(*grid_map_, translation, angle, kGridMotion, morphology_buffers_.get());
}

void DynamicLaserDetector::UpdateOccupancyGridMap(LaserScanConstPtr scan) {
  if (!scan) return;
  OccupancyGridMap& grid = *grid_map_;
  const std::size_t beam_count = UsedBeamCount(*scan);
  const int width = grid.grid_width();
  const int cell_count = width * width;
  const float resolution = grid.resolution();
  labels_.assign(static_cast<std::size_t>(cell_count), kUnobserved);
  std::int32_t* const labels = labels_.data();
  const Eigen::Matrix4f grid_to_laser = laser_to_grid_.inverse();

  const auto mark = [&](float x, float y, std::int32_t label) {
    if (grid.IsValidPoint(x, y))
      labels[static_cast<std::size_t>(grid.GetIndexFromXy(x, y))] = label;
  };
  // Hits: the neighbours are marked even when the end point itself lies just
  // outside the grid.
  for (std::size_t beam = 0; beam < beam_count; ++beam) {
    const float range = scan->ranges[beam];
    if (!std::isfinite(range) || !(scan->range_min < range && range < scan->range_max)) continue;
    const Eigen::Vector2f end = EndPoint(laser_to_grid_, Bearing(*scan, beam), range);
    mark(end.x(), end.y(), kHit);
    mark(end.x() - resolution, end.y(), kSubObstacle);
    mark(end.x() + resolution, end.y(), kSubObstacle);
    mark(end.x(), end.y() - resolution, kSubObstacle);
    mark(end.x(), end.y() + resolution, kSubObstacle);
  }

  // Free space and occlusion, cell by cell rather than ray by ray, so the cost
  // does not depend on the ranges measured.
  for (int cell = 0; cell < cell_count; ++cell) {
    std::int32_t& label = labels[static_cast<std::size_t>(cell)];
    if (label != kUnobserved) continue;
    const Eigen::Vector4f in_scan =
        grid_to_laser *
        Eigen::Vector4f(grid.GetXFromIndex(cell), grid.GetYFromIndex(cell), 0.0f, 1.0f);
    const float reading = ReadingAt(*scan, beam_count, std::atan2(in_scan.y(), in_scan.x()));
    if (!std::isfinite(reading)) continue;
    const float distance = std::sqrt(in_scan.x() * in_scan.x() + in_scan.y() * in_scan.y());
    label = distance < reading ? kFree : kOccluded;
  }

  const float increments[] = {log_odds_obstacle_, log_odds_free_space_, log_odds_occlusion_,
                              log_odds_obstacle_ * log_odds_sub_obstacle_scale_};
  for (int cell = 0; cell < cell_count; ++cell) {
    const std::int32_t label = labels[static_cast<std::size_t>(cell)];
    if (label != kUnobserved) grid.AddLogOdds(static_cast<std::size_t>(cell), increments[label]);
  }
}

void DynamicLaserDetector::InitializeOutputScans(LaserScanConstPtr scan, LaserScanPtr dynamic_scan,
                                                 LaserScanPtr static_scan) {
  if (!scan || !dynamic_scan || !static_scan) return;
  CopyScanLayout(*scan, *dynamic_scan);
  CopyScanLayout(*scan, *static_scan);
}

void DynamicLaserDetector::Divide(LaserScanConstPtr scan, LaserScanPtr dynamic_scan,
                                  LaserScanPtr static_scan) {
  if (!scan || !dynamic_scan || !static_scan) return;
  InitializeOutputScans(scan, dynamic_scan, static_scan);
  const std::size_t beam_count = UsedBeamCount(*scan);
  for (std::size_t beam = 0; beam < beam_count; ++beam) {
    const float range = scan->ranges[beam];
    const bool dynamic = IsDynamicBeam(*scan, beam, range);
    dynamic_scan->ranges[beam] = dynamic ? range : kNotInThisScan;
    static_scan->ranges[beam] = dynamic ? kNotInThisScan : range;
  }
}

bool DynamicLaserDetector::IsDynamicBeam(const LaserScan& scan, std::size_t beam,
                                         float range) const {
  OccupancyGridMap& grid = *grid_map_;
  const Eigen::Vector2f end = EndPoint(laser_to_grid_, Bearing(scan, beam), range);
  return grid.IsValidPoint(end.x(), end.y()) &&
         grid.GetOccupancy(static_cast<std::size_t>(grid.GetIndexFromXy(end.x(), end.y()))) <
             occupancy_threshold_;
}

}  // namespace perception
}  // namespace kestrel
