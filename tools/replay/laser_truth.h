// Moving-beam truth derived from a recording of a laser at rest, where no
// labels exist: what stands still is seen at the same range scan after scan,
// so each beam's background is the range it reports most of the time, and a
// reading clearly shorter than that is something in front of the background.
//
// Rule: the background range of beam i is the `percentile` (nearest rank) of
// beam i's valid readings over the whole recording; a reading is valid when
// it is finite and range_min < r < range_max. Beam i of a scan is moving when
// its reading is valid and shorter than the background by more than
// `margin`. Readings that are not valid (inf: no return, NaN, out of limits)
// are never moving; a beam with no valid reading has no background.
//
// Limits, none of which labels would have:
// - The background is the far end of what a beam reports: a person standing
//   in front of a beam stays moving unless the beam sees past them in fewer
//   than (1 - percentile) of the scans. A door or chair moved once is moving
//   in every scan that sees it in its nearer place.
// - A beam that mostly sees no return (open space beyond range_max) takes its
//   background from what does cross it, mostly passers-by: people at or
//   beyond that beam's usual crossing distance are not called moving there.
// - A beam at the edge of a static object that sometimes reaches the wall
//   behind it (in more than 1 - percentile of the scans) calls the object's
//   edge moving.
// - Within `margin` of the background (feet close to a wall, a person
//   brushing along it) nothing is moving.
// - The laser must not move: the rule compares beams across scans by index.
#pragma once

#include <string>
#include <vector>

#include "sensor_msgs/msg/laser_scan.hpp"
#include "truth.h"

namespace larkspur {
namespace replay {

struct BackgroundRule {
  double percentile = 0.9;  // in (0, 1]
  float margin = 0.3f;      // metres, >= 0
};

// The rule in words, for reports.
std::string DescribeBackgroundRule(const BackgroundRule& rule);

// Background range per beam index (as many as the longest scan); NaN for a
// beam without a valid reading.
std::vector<float> BackgroundRanges(const std::vector<const sensor_msgs::msg::LaserScan*>& scans,
                                    const BackgroundRule& rule);

// Truth of every reading of every scan, in the scans' order; moving is kYes
// or kNo, ground kUnknown.
std::vector<std::vector<PointTruth>> BackgroundTruth(
    const std::vector<const sensor_msgs::msg::LaserScan*>& scans, const BackgroundRule& rule);

}  // namespace replay
}  // namespace larkspur
