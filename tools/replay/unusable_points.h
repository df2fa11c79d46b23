// Points no sensor measured: drivers fill the cells of an organised cloud
// that got no return with (0, 0, 0) or NaN. Taken for real points, they pile
// up at the sensor's origin; the replay drops them as it reads a frame.
#pragma once

#include "sources.h"

namespace larkspur {
namespace replay {

// Removes the all-zero and non-finite points of `frame.cloud` (which then
// becomes unorganised, one row) and, when the frame has one truth per point,
// their truth too, keeping it in `frame.dropped_truth`: scoring counts those
// points as predicted non-ground and static. Sets `frame.dropped_points`.
void DropUnusablePoints(Frame& frame);

}  // namespace replay
}  // namespace larkspur
