// Scores one frame's outputs against its ground truth. The library returns
// copies of input points in its output clouds, not indices, so outputs are
// matched back to input points by their exact coordinates.
#pragma once

#include "frame.h"
#include "pipeline.h"
#include "truth.h"

namespace larkspur {
namespace replay {

struct FrameScore {
  // Ground removal over every input point with known truth: predicted ground
  // means "in the ground cloud"; points the remover dropped count as
  // predicted non-ground.
  Confusion ground;
  // Dynamic detection over the points handed to the cloud detector (the
  // non-ground cloud).
  Confusion dynamic_points;
  // Dynamic detection over the beams the laser detector classifies.
  Confusion dynamic_beams;
};

FrameScore ScoreFrame(const Frame& frame, const FrameOutput& output);

// Beams the laser detector classifies: trunc((angle_max - angle_min) /
// angle_increment) in single precision, bounded by the readings present.
std::size_t ClassifiedBeams(const sensor_msgs::msg::LaserScan& scan);

// Whether beam i of the dynamic output scan carries a reading (the other
// class holds the largest finite float).
bool IsDynamicBeam(const sensor_msgs::msg::LaserScan& dynamic_scan, std::size_t i);

}  // namespace replay
}  // namespace larkspur
