// Square, robot-centred log-odds grid shared by the dynamic-obstacle detectors.
//
// Frame: the robot frame, x forward, y left, metres. Column ix follows x and
// row iy follows y; cell (ix, iy) covers
//   x in [(ix - grid_center_) * resolution_, (ix - grid_center_ + 1) * resolution_)
// and y likewise, so the robot sits at the lower corner of cell
// (grid_center_, grid_center_). Linear index i = iy * grid_width_ + ix, which is
// element i of either raster read as one contiguous float array.
//
// Log-odds live in [-1, 1] (AddLogOdds saturates); a fresh grid holds -1
// everywhere and heights of 0 m. Cell accessors assert their index; the index
// arithmetic itself checks nothing: test IsValidPoint before GetIndexFromXy.
#pragma once

#include <opencv2/core.hpp>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>

namespace kestrel {
namespace perception {

class OccupancyGridMap {
 public:
  OccupancyGridMap() = default;
  ~OccupancyGridMap() = default;

  // Sizes the grid to cover `width` metres per side with cells of `resolution`
  // metres, and resets log-odds to -1 and heights to 0. A width below half a
  // cell gives a grid of no cells, on which no index operation may be used.
  void Init(int width, float resolution) {
    width_ = static_cast<float>(width);
    resolution_ = resolution;
    grid_width_ = static_cast<int>(static_cast<double>(width_ / resolution_) + 0.5);
    half_width_ = width_ / 2.0f;
    grid_center_ = static_cast<int>(static_cast<double>(grid_width_) / 2.0 + 0.5);
    log_odds_map_ = cv::Mat(grid_width_, grid_width_, CV_32FC1, cv::Scalar(-1.0));
    height_map_ = cv::Mat(grid_width_, grid_width_, CV_32FC1, cv::Scalar(0.0));
  }

  float resolution() const { return resolution_; }
  int grid_width() const { return grid_width_; }
  const cv::Mat& log_odds_map() const { return log_odds_map_; }
  const cv::Mat& height_map() const { return height_map_; }

  // Share the buffer of `map` (no pixel copy). Pass grid_width x grid_width
  // continuous CV_32FC1 matrices.
  void set_log_odds_map(const cv::Mat& map) { log_odds_map_ = map; }
  void set_height_map(const cv::Mat& map) { height_map_ = map; }

  // Linear index of the cell holding (x, y); no range check.
  int GetIndexFromXy(float x, float y) const { return CellOf(y) * grid_width_ + CellOf(x); }

  // Whether (x, y) lies inside the grid. Non-finite coordinates, and those so
  // far out that their cell number leaves the int range, are outside.
  bool IsValidPoint(float x, float y) const { return IsValidCell(x) && IsValidCell(y); }

  int GetXIndexFromIndex(int index) const { return index - (index / grid_width_) * grid_width_; }
  int GetYIndexFromIndex(int index) const { return index / grid_width_; }

  // Lower corner of the cell, not its centre.
  float GetXFromIndex(int index) const {
    return static_cast<float>(GetXIndexFromIndex(index) - grid_center_) * resolution_;
  }
  float GetYFromIndex(int index) const {
    return static_cast<float>(GetYIndexFromIndex(index) - grid_center_) * resolution_;
  }

  float GetOccupancy(size_t i) {
    assert(i < log_odds_map_.total());
    return log_odds_map_.ptr<float>(0)[i];
  }

  void SetHeight(size_t i, float height) {
    assert(i < height_map_.total());
    height_map_.ptr<float>(0)[i] = height;
  }

  // Adds `increment` and clamps the sum to [-1, 1].
  void AddLogOdds(size_t i, float increment) {
    assert(i < log_odds_map_.total());
    float& value = log_odds_map_.ptr<float>(0)[i];
    value = std::min(std::max(value + increment, -1.0f), 1.0f);
  }

 private:
  // Floor of the single-precision quotient, plus the centre as a float, truncated.
  float CellNumber(float coordinate) const {
    return std::floor(coordinate / resolution_) + static_cast<float>(grid_center_);
  }
  int CellOf(float coordinate) const { return static_cast<int>(CellNumber(coordinate)); }

  bool IsValidCell(float coordinate) const {
    // The cell number is integral, so testing the float is the same as testing
    // its truncation, and keeps NaN, infinities and values beyond the int range
    // away from the (undefined) float-to-int conversion.
    const float cell = CellNumber(coordinate);
    return cell >= 0.0f && cell < static_cast<float>(grid_width_);
  }

  cv::Mat log_odds_map_;
  cv::Mat height_map_;
  float resolution_ = 0.0f;
  float width_ = 0.0f;
  float half_width_ = 0.0f;
  int grid_width_ = 0;
  int grid_center_ = 0;
};

}  // namespace perception
}  // namespace kestrel
