// Where the ground lies in a cloud's frame. The ground-removal parameters
// measure some heights from the cloud's origin (the ground's own z, the
// ceiling above which points are dropped) and others from the ground (seed
// window, near-zone depth, distance threshold). A cloud published in
// another frame than the set was tuned for, say a base frame on the road
// instead of the sensor's, needs the first kind moved and the second kept.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace replay {

// Moves every height of `params` measured from the origin by the same
// amount, so that `ground_height` becomes `ground_z` (metres, z of the ground
// in the cloud's frame): `ground_height` and `max_point_height`. The heights
// measured from the ground stay. The remover's shortcut for high points, 0.7
// times `max_point_height`, is measured from the origin and so moves by 0.7
// times the shift; points between it and `max_point_height` are non-ground
// either way.
void ShiftGroundHeights(kestrel::perception::GroundRemovalParams& params, float ground_z);

struct GroundEstimate {
  float height = 0.0f;     // metres, z in the cloud's frame
  std::size_t points = 0;  // points the estimate was taken from
};

// Points taken for the estimate: finite, not all-zero (a driver's "no
// return"), at a horizontal range from kRingInner to kRingOuter metres.
inline constexpr double kRingInner = 2.0;
inline constexpr double kRingOuter = 20.0;

// The ground's height in clouds from one sensor mount: the dominant low
// height of the points in the ring around the origin. Their heights are
// counted in 5 cm bins from -10 m to 10 m; the ground is the lowest bin that
// holds at least half as many points as the fullest bin (flat ground is the
// strongest level surface near a sensor; ceilings, roofs and table tops lie
// above it, walls and people spread over many bins, reflections below the
// ground are sparse), refined to the median height of the points within
// 0.15 m of that bin. Nothing when fewer than 200 points lie in the ring.
std::optional<GroundEstimate> EstimateGroundHeight(
    const std::vector<const pcl::PointCloud<pcl::PointXYZ>*>& clouds);

}  // namespace replay
}  // namespace larkspur
