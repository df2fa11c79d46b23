// What the three dynamic-detector fuzz targets share: the grid check and the
// bound on grids worth driving through call sequences.
#pragma once

#include "dynamic_detector_inputs.h"
#include "larkspur_perception_libs/occupancy_grid.h"

namespace larkspur {
namespace fuzz {

// Every log-odds value of the grid is a number; `saturated` also requires the
// range [-1, 1] that the bilinear moves and saturating updates keep.
void CheckGrid(const kestrel::perception::OccupancyGridMap& grid, bool saturated);

// Grids larger than this per side are left to the configuration target:
// their whole-grid passes would slow the sequence targets to a crawl.
constexpr double kMaxSequenceCellsPerSide = 600.0;

bool SmallEnoughGrid(const DetectorConfig& config);

}  // namespace fuzz
}  // namespace larkspur
