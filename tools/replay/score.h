// Scores one frame's outputs against its ground truth. The library returns
// copies of input points in its output clouds, not indices, so outputs are
// matched back to input points by their exact coordinates.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

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
  // Moving-object segmentation over every input point with known truth:
  // predicted moving means "in the dynamic cloud"; ground points and points
  // the ground remover dropped count as predicted static.
  Confusion moving_points;
  // The same over the points inside the region where the cloud detector
  // observes free space.
  Confusion moving_points_observable;
  // Dynamic detection over the beams the laser detector classifies.
  Confusion dynamic_beams;
  // The same over the beams whose end point lies inside the laser grid.
  Confusion dynamic_beams_observable;
};

// Where each detector can observe free space, as a test of a point (x, y) in
// its sensor frame, metres. An empty test leaves the observable counts at 0.
struct ObservableRegions {
  std::function<bool(float x, float y)> cloud;
  std::function<bool(float x, float y)> scan;
};

// The cloud detector's camera region of interest (inside its grid), or its
// whole grid in the LiDAR free-space mode, and the laser detector's grid.
ObservableRegions ObservableRegionsOf(const Pipeline& pipeline);

FrameScore ScoreFrame(const Frame& frame, const FrameOutput& output,
                      const ObservableRegions& observable = {});

// What became of each input point of a frame's cloud.
enum class PointFate : std::uint8_t { kDropped, kGround, kStatic, kDynamic };
std::vector<PointFate> PointFates(const Cloud& input, const CloudOutput& output);

// Beams the laser detector classifies: trunc((angle_max - angle_min) /
// angle_increment) in single precision, bounded by the readings present.
std::size_t ClassifiedBeams(const sensor_msgs::msg::LaserScan& scan);

// Whether beam i of the dynamic output scan carries a reading (the other
// class holds the largest finite float).
bool IsDynamicBeam(const sensor_msgs::msg::LaserScan& dynamic_scan, std::size_t i);

}  // namespace replay
}  // namespace larkspur
