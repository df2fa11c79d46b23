#include "dynamic_detector/ego_grid.h"

#include <Eigen/Geometry>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace kestrel {
namespace perception {
namespace ego_grid {
namespace {

// `v` turned by `angle`. The scalar form is written out because Eigen's
// vectorised product fuses multiply and add on aarch64.
Eigen::Vector2f Rotate(float angle, const Eigen::Vector2f& v, Arithmetic arithmetic) {
  if (arithmetic == Arithmetic::kLibrary) return Eigen::Rotation2D<float>(angle) * v;
  const float c = std::cos(angle);
  const float s = std::sin(angle);
  return {c * v.x() - s * v.y(), s * v.x() + c * v.y()};
}

// Shift by (dx, dy) cells, then the turn about the grid's centre.
cv::Matx23d WarpMatrix(int width, float dx, float dy, float angle, Arithmetic arithmetic) {
  const cv::Point2f centre(static_cast<float>(width / 2), static_cast<float>(width / 2));
  // Deliberate: 3.14, not pi (see README, Compatibility quirks): the grid turns pi / 3.14
  // (about 1.0005) times the requested angle.
  const double degrees = static_cast<double>(-angle * 180.0f) / 3.14;
  if (arithmetic == Arithmetic::kScalar) {
    const cv::Matx23d rotation = cv::getRotationMatrix2D_(centre, degrees, 1.0);
    const cv::Matx33d shift(1.0, 0.0, dx, 0.0, 1.0, dy, 0.0, 0.0, 1.0);
    return rotation * shift;
  }
  // The product of cv::Mat's operator*, cv::gemm, on matrix headers over
  // local storage, so that nothing is allocated.
  cv::Matx23d rotation = cv::getRotationMatrix2D_(centre, degrees, 1.0);
  cv::Matx33d shift(1.0, 0.0, dx, 0.0, 1.0, dy, 0.0, 0.0, 1.0);
  cv::Matx23d motion;
  cv::Mat product(2, 3, CV_64FC1, motion.val);
  cv::gemm(cv::Mat(2, 3, CV_64FC1, rotation.val), cv::Mat(3, 3, CV_64FC1, shift.val), 1.0,
           cv::Mat(), 1.0, product);
  return motion;
}

cv::Mat Warp(const cv::Mat& raster, const cv::Matx23d& motion, const RasterWarp& warp) {
  cv::Mat moved;
  cv::warpAffine(raster, moved, motion, raster.size(), warp.interpolation, cv::BORDER_CONSTANT,
                 cv::Scalar(warp.entering_value));
  return moved;
}

// The warp between a 3 x 3 dilation and erosion, so that thin structures
// survive a large turn.
cv::Mat WarpClosed(const cv::Mat& raster, const cv::Matx23d& motion, const RasterWarp& warp,
                   MorphologyBuffers& buffers) {
  if (buffers.kernel.empty()) {
    buffers.kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3), cv::Point(-1, -1));
  }
  cv::dilate(raster, buffers.dilated, buffers.kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
             cv::morphologyDefaultBorderValue());
  cv::warpAffine(buffers.dilated, buffers.warped, motion, raster.size(), warp.interpolation,
                 cv::BORDER_CONSTANT, cv::Scalar(warp.entering_value));
  cv::Mat moved;
  cv::erode(buffers.warped, moved, buffers.kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
            cv::morphologyDefaultBorderValue());
  return moved;
}

void FillWithEnteringValues(OccupancyGridMap& grid, const GridMotionRule& rule) {
  const int width = grid.grid_width();
  grid.set_log_odds_map(cv::Mat(width, width, CV_32FC1, cv::Scalar(rule.log_odds.entering_value)));
  if (rule.height) {
    grid.set_height_map(cv::Mat(width, width, CV_32FC1, cv::Scalar(rule.height->entering_value)));
  }
}

}  // namespace

PlanarMotion MotionBetween(const PlanarPose& previous, const PlanarPose& current,
                           Arithmetic arithmetic) {
  const float turn = current.yaw - previous.yaw;
  return {Rotate(-previous.yaw, current.position - previous.position, arithmetic),
          std::atan2(std::sin(turn), std::cos(turn))};
}

void MoveGrid(OccupancyGridMap& grid, const Eigen::Vector2f& translation, float angle,
              const GridMotionRule& rule, MorphologyBuffers* buffers) {
  if (!translation.allFinite() || !std::isfinite(angle)) {
    if (rule.non_finite == NonFiniteMotion::kForgetGrid) FillWithEnteringValues(grid, rule);
    return;
  }
  const int width = grid.grid_width();
  const float dx = translation.x() / grid.resolution();
  const float dy = translation.y() / grid.resolution();
  const float reach = kMaxShiftInSides * static_cast<float>(width);
  if (!(std::abs(dx) <= reach && std::abs(dy) <= reach)) {
    FillWithEnteringValues(grid, rule);
    return;
  }
  const cv::Matx23d motion = WarpMatrix(width, dx, dy, angle, rule.arithmetic);
  const bool closed = rule.close_turns && static_cast<double>(std::fabs(angle)) > kMorphologyTurn;
  if (closed) {
    MorphologyBuffers local;
    grid.set_log_odds_map(
        WarpClosed(grid.log_odds_map(), motion, rule.log_odds, buffers ? *buffers : local));
  } else {
    grid.set_log_odds_map(Warp(grid.log_odds_map(), motion, rule.log_odds));
  }
  if (rule.height) grid.set_height_map(Warp(grid.height_map(), motion, *rule.height));
}

EgoGridParams ReadGridKeys(const YAML::Node& config) {
  EgoGridParams params;
  params.resolution = config["resolution"].as<float>();
  params.width = config["width"].as<float>();
  params.occupancy_threshold = config["occupancy_threshold"].as<float>();
  params.log_odds_obstacle = config["log_odds_obstacle"].as<float>();
  params.log_odds_occlusion = config["log_odds_occlusion"].as<float>();
  params.log_odds_free_space = config["log_odds_free_space"].as<float>();
  return params;
}

int ValidatedGridSide(const EgoGridParams& params) {
  const float resolution = params.resolution;
  const float width = params.width;
  if (!(std::isfinite(resolution) && resolution > 0.0f)) {
    throw std::invalid_argument("\"resolution\" must be positive and finite, got " +
                                std::to_string(resolution));
  }
  if (!(std::isfinite(width) && width >= 0.0f)) {
    throw std::invalid_argument("\"width\" must be non-negative and finite, got " +
                                std::to_string(width));
  }
  // Same rounding as the grid: truncated width over resolution, to the nearest cell.
  const double side = std::trunc(static_cast<double>(width));
  if (side > static_cast<double>(std::numeric_limits<int>::max())) {
    throw std::invalid_argument("\"width\" " + std::to_string(width) +
                                " is beyond the grid's integer side length");
  }
  const double cells = std::trunc(static_cast<double>(static_cast<float>(side) / resolution) + 0.5);
  if (cells < 1.0) {
    throw std::invalid_argument("\"width\" " + std::to_string(width) +
                                " gives a grid without cells at \"resolution\" " +
                                std::to_string(resolution));
  }
  if (cells > kMaxGridCellsPerSide) {
    throw std::invalid_argument("\"width\" " + std::to_string(width) + " over \"resolution\" " +
                                std::to_string(resolution) + " gives more than " +
                                std::to_string(kMaxGridCellsPerSide) + " cells per side");
  }
  RequireFinite("occupancy_threshold", params.occupancy_threshold);
  RequireFinite("log_odds_obstacle", params.log_odds_obstacle);
  RequireFinite("log_odds_occlusion", params.log_odds_occlusion);
  RequireFinite("log_odds_free_space", params.log_odds_free_space);
  return static_cast<int>(side);
}

void RequireFinite(const char* key, float value) {
  if (!std::isfinite(value)) {
    throw std::invalid_argument("\"" + std::string(key) + "\" must be finite, got " +
                                std::to_string(value));
  }
}

std::shared_ptr<OccupancyGridMap> NewGrid(int side, float resolution) {
  auto grid = std::make_shared<OccupancyGridMap>();
  grid->Init(side, resolution);
  return grid;
}

std::int64_t Microseconds(std::chrono::system_clock::duration elapsed) {
  return static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

}  // namespace ego_grid
}  // namespace perception
}  // namespace kestrel
