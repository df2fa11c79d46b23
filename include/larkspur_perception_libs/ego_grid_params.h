// Configuration shared by both dynamic-obstacle detectors: the size of their
// ego-centred grid and the log-odds rule that updates it.
#pragma once

namespace kestrel {
namespace perception {

// Largest number of cells per side the detectors accept for their grid:
// 10,000 x 10,000 float cells already take 400 MB per raster.
constexpr int kMaxGridCellsPerSide = 10000;

// The six values both detectors read from the YAML keys of the same names.
// There are no defaults: a record left as constructed is refused for its
// resolution. The detectors' constructors check the record and throw
// std::invalid_argument naming the key when
//   - "resolution" is not positive and finite,
//   - "width" is negative or not finite,
//   - the grid would hold no cell or more than kMaxGridCellsPerSide cells per
//     side (width truncated to whole metres, over resolution, to the nearest cell),
//   - one of the four log-odds values is not finite.
struct EgoGridParams {
  // Edge of one grid cell, metres.
  float resolution = 0.0f;
  // Side of the square grid, metres; truncated toward zero to whole metres.
  float width = 0.0f;
  // Log-odds below which a cell counts as free and what lies in it as
  // dynamic. Cells hold log-odds in [-1, 1], so a threshold above 1 makes
  // everything dynamic and one at or below -1 nothing.
  float occupancy_threshold = 0.0f;
  // Log-odds increment of a cell seen occupied.
  float log_odds_obstacle = 0.0f;
  // Log-odds increment of a cell hidden behind what was seen.
  float log_odds_occlusion = 0.0f;
  // Log-odds increment of a cell seen free.
  float log_odds_free_space = 0.0f;
};

}  // namespace perception
}  // namespace kestrel
