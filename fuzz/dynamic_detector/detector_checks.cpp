#include "detector_checks.h"

#include <cmath>

#include "checks.h"

namespace larkspur {
namespace fuzz {

void CheckGrid(const kestrel::perception::OccupancyGridMap& grid, bool saturated) {
  const cv::Mat& map = grid.log_odds_map();
  const std::size_t cells =
      static_cast<std::size_t>(grid.grid_width()) * static_cast<std::size_t>(grid.grid_width());
  LARKSPUR_FUZZ_CHECK(map.isContinuous() && map.type() == CV_32FC1 && map.total() == cells);
  const float* values = map.ptr<float>(0);
  for (std::size_t i = 0; i < cells; ++i) {
    LARKSPUR_FUZZ_CHECK(std::isfinite(values[i]));
    if (saturated) LARKSPUR_FUZZ_CHECK(values[i] >= -1.0f && values[i] <= 1.0f);
  }
}

bool SmallEnoughGrid(const DetectorConfig& config) {
  const double cells = GridCellsPerSide(config);
  return std::isnan(cells) || cells <= kMaxSequenceCellsPerSide;
}

}  // namespace fuzz
}  // namespace larkspur
