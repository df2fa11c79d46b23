#include "larkspur_perception_libs/dynamic_laser_detector.h"

#include <yaml-cpp/yaml.h>

#include <Eigen/Geometry>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/quaternion_yaw.h"
#include "dynamic_detector/grid_config.h"
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

// Above this turn (radians) the warp alone would tear thin structures apart,
// so it is wrapped in a 3 x 3 dilation and erosion.
constexpr double kMorphologyTurn = 0.05;

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

void Warp(const cv::Mat& source, const cv::Mat& motion, int width, cv::Mat& result) {
  cv::warpAffine(source, result, motion, cv::Size(width, width), cv::INTER_CUBIC,
                 cv::BORDER_CONSTANT, cv::Scalar(0.0));
}

long long Microseconds(Clock::duration elapsed) {
  return std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

}  // namespace

DynamicLaserDetector::DynamicLaserDetector(const std::string& config_path) {
  const YAML::Node config = YAML::LoadFile(config_path);
  const auto resolution = config["resolution"].as<float>();
  const auto width = config["width"].as<float>();
  occupancy_threshold_ = config["occupancy_threshold"].as<float>();
  log_odds_obstacle_ = config["log_odds_obstacle"].as<float>();
  log_odds_occlusion_ = config["log_odds_occlusion"].as<float>();
  log_odds_free_space_ = config["log_odds_free_space"].as<float>();
  if (config["log_odds_sub_obstacle_scale"].IsDefined()) {
    log_odds_sub_obstacle_scale_ = config["log_odds_sub_obstacle_scale"].as<float>();
  }
  const int side = grid_config::GridSideFromConfig(width, resolution);
  grid_config::RequireFinite("occupancy_threshold", occupancy_threshold_);
  grid_config::RequireFinite("log_odds_obstacle", log_odds_obstacle_);
  grid_config::RequireFinite("log_odds_occlusion", log_odds_occlusion_);
  grid_config::RequireFinite("log_odds_free_space", log_odds_free_space_);
  grid_config::RequireFinite("log_odds_sub_obstacle_scale", log_odds_sub_obstacle_scale_);
  grid_map_ = std::make_shared<OccupancyGridMap>();
  grid_map_->Init(side, resolution);
}

DynamicLaserDetector::~DynamicLaserDetector() = default;

void DynamicLaserDetector::Process(LaserScanConstPtr scan, const geometry_msgs::msg::Pose& pose,
                                   LaserScanPtr dynamic_scan, LaserScanPtr static_scan) {
  const Clock::time_point start = Clock::now();
  if (!scan || !dynamic_scan || !static_scan) return;
  const Eigen::Vector2f position(static_cast<float>(pose.position.x),
                                 static_cast<float>(pose.position.y));
  const auto yaw = static_cast<float>(larkspur::QuaternionYaw(pose.orientation));
  LARKSPUR_LOG_DEBUG("Current pose: {}, {}, {}", position.x(), position.y(), yaw);

  if (!initialized_) {
    InitializeOutputScans(scan, dynamic_scan, static_scan);
    std::fill(dynamic_scan->ranges.begin(), dynamic_scan->ranges.end(), kNotInThisScan);
    static_scan->ranges = scan->ranges;
    UpdateOccupancyGridMap(scan);
    RememberPose(position, yaw);
    return;
  }

  // Motion since the previous scan, in the previous robot frame.
  const Eigen::Vector2f motion = Eigen::Rotation2D<float>(-last_yaw_) * (position - last_position_);
  const float turn_raw = yaw - last_yaw_;
  const float turn = std::atan2(std::sin(turn_raw), std::cos(turn_raw));
  // The world moves against the robot: the grid stays centred on it and
  // aligned with its heading.
  TransformOccupancyGridMap(-motion, -turn);
  const Clock::time_point transformed = Clock::now();
  UpdateOccupancyGridMap(scan);
  const Clock::time_point integrated = Clock::now();
  LARKSPUR_LOG_DEBUG("transform runtime = {0:d}(us)", Microseconds(transformed - start));
  LARKSPUR_LOG_DEBUG("gridmap runtime = {0:d}(us)", Microseconds(integrated - transformed));
  Divide(scan, dynamic_scan, static_scan);
  RememberPose(position, yaw);
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
  if (!translation.allFinite() || !std::isfinite(angle)) return;
  const float resolution = grid_map_->resolution();
  const int width = grid_map_->grid_width();
  // Any shift of four grid widths already moves every cell out of the grid;
  // bounding it keeps OpenCV's fixed-point source coordinates within int.
  const float reach = 4.0f * static_cast<float>(width);
  const float shift_x = std::clamp(translation.x() / resolution, -reach, reach);
  const float shift_y = std::clamp(translation.y() / resolution, -reach, reach);
  const cv::Point2f center(static_cast<float>(width / 2), static_cast<float>(width / 2));
  // 3.14 rather than pi: the grids of both detectors turn alike.
  const double degrees = static_cast<double>(-angle * 180.0f) / 3.14;

  const cv::Mat rotation = cv::getRotationMatrix2D(center, degrees, 1.0);
  const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, shift_x, 0, 1, shift_y, 0, 0, 1);
  const cv::Mat motion = rotation * shift;

  cv::Mat moved;
  if (static_cast<double>(std::fabs(angle)) > kMorphologyTurn) {
    const cv::Mat kernel =
        cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3), cv::Point(-1, -1));
    cv::Mat dilated;
    cv::dilate(grid_map_->log_odds_map(), dilated, kernel, cv::Point(-1, -1), 1,
               cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    cv::Mat warped;
    Warp(dilated, motion, width, warped);
    cv::erode(warped, moved, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
  } else {
    Warp(grid_map_->log_odds_map(), motion, width, moved);
  }
  grid_map_->set_log_odds_map(moved);
}

void DynamicLaserDetector::UpdateOccupancyGridMap(LaserScanConstPtr scan) {
  if (!scan) return;
  OccupancyGridMap& grid = *grid_map_;
  const std::size_t beam_count = UsedBeamCount(*scan);
  const int width = grid.grid_width();
  const int cell_count = width * width;
  const float resolution = grid.resolution();
  std::vector<std::int32_t> labels(static_cast<std::size_t>(cell_count), kUnobserved);
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
  OccupancyGridMap& grid = *grid_map_;
  const std::size_t beam_count = UsedBeamCount(*scan);
  for (std::size_t beam = 0; beam < beam_count; ++beam) {
    const float range = scan->ranges[beam];
    const Eigen::Vector2f end = EndPoint(laser_to_grid_, Bearing(*scan, beam), range);
    const bool dynamic =
        grid.IsValidPoint(end.x(), end.y()) &&
        grid.GetOccupancy(static_cast<std::size_t>(grid.GetIndexFromXy(end.x(), end.y()))) <
            occupancy_threshold_;
    dynamic_scan->ranges[beam] = dynamic ? range : kNotInThisScan;
    static_scan->ranges[beam] = dynamic ? kNotInThisScan : range;
  }
}

}  // namespace perception
}  // namespace kestrel
