// Checks of the grid keys shared by both dynamic-obstacle detectors.
#pragma once

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel {
namespace perception {
namespace grid_config {

// Side length handed to OccupancyGridMap::Init: "width" truncated toward zero.
// Throws std::invalid_argument naming the key when "resolution" is not
// positive and finite, when "width" is negative or not finite, or when the
// grid would hold no cell or more than kMaxGridCellsPerSide cells per side.
inline int GridSideFromConfig(float width, float resolution) {
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
                                std::to_string(resolution) +
                                " gives more than 10000 cells per side");
  }
  return static_cast<int>(side);
}

// Thresholds and increments: a non-finite value would stick in every cell it
// touches. Throws std::invalid_argument naming the key.
inline void RequireFinite(const char* key, float value) {
  if (!std::isfinite(value)) {
    throw std::invalid_argument("\"" + std::string(key) + "\" must be finite, got " +
                                std::to_string(value));
  }
}

}  // namespace grid_config
}  // namespace perception
}  // namespace kestrel
