// Checks of a replay's outputs against what its configuration makes
// plausible. A setting that does not fit the input (a ground set tuned for
// another sensor height, a laser's beam layout read wrongly) still gives
// results, only wrong ones; these checks say so at the end of the run, name
// the likely cause and the option that fixes it. They read the outputs and
// never change them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pipeline.h"
#include "sources.h"

namespace larkspur {
namespace replay {

class Plausibility {
 public:
  // A frame is implausible for the ground set when fewer than this share of
  // its points within kGroundRadius metres (horizontal range, at least
  // kGroundFewestPoints of them) come out as ground.
  static constexpr double kGroundShare = 0.10;
  static constexpr double kGroundRadius = 20.0;
  static constexpr std::size_t kGroundFewestPoints = 100;
  // More than a third of the classified beams dynamic in this many scans in
  // a row, after the laser detector's warm-up.
  static constexpr std::size_t kDynamicRun = 50;

  // `ground_height`: of the ground set in use (metres, z in the cloud's
  // frame); `laser_warmup_frames`: scans in which a fresh laser grid still
  // calls everything dynamic.
  Plausibility(float ground_height, int laser_warmup_frames);

  void Observe(const Frame& frame, const FrameOutput& output);

  // The warnings, one paragraph each; none when everything looked plausible.
  std::vector<std::string> Warnings() const;
  // The summary's section: points dropped as read, then the warnings.
  std::string Summary() const;

 private:
  void ObserveCloud(const Frame& frame, const CloudOutput& output);
  void ObserveScan(const Frame& frame, const ScanOutput& output);

  float ground_height_;
  std::size_t laser_warmup_frames_;

  std::size_t cloud_frames_ = 0;
  std::size_t dropped_points_ = 0;
  std::size_t frames_with_dropped_points_ = 0;
  std::size_t little_ground_frames_ = 0;
  std::size_t first_little_ground_frame_ = 0;
  double first_little_ground_share_ = 0.0;

  std::size_t scans_ = 0;
  std::size_t dynamic_run_ = 0;  // current run of mostly dynamic scans
  std::size_t dynamic_runs_ = 0;
  std::size_t first_dynamic_run_start_ = 0;
  std::size_t longest_dynamic_run_ = 0;
  std::size_t wide_scans_ = 0;
  std::size_t first_wide_scan_ = 0;
  double first_wide_span_ = 0.0;
  std::size_t first_wide_beams_ = 0;
};

}  // namespace replay
}  // namespace larkspur
