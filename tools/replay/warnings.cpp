#include "warnings.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "score.h"

namespace larkspur {
namespace replay {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Single-precision angles of a full turn may round a hair above 2 pi.
constexpr double kTurnTolerance = 1e-4;

std::size_t WithinRadius(const Cloud& cloud, double radius) {
  return static_cast<std::size_t>(
      std::count_if(cloud.points.begin(), cloud.points.end(), [&](const pcl::PointXYZ& p) {
        return std::hypot(static_cast<double>(p.x), static_cast<double>(p.y)) <= radius;
      }));
}

}  // namespace

Plausibility::Plausibility(float ground_height, int laser_warmup_frames)
    : ground_height_(ground_height),
      laser_warmup_frames_(static_cast<std::size_t>(std::max(laser_warmup_frames, 0))) {}

void Plausibility::Observe(const Frame& frame, const FrameOutput& output) {
  if (frame.cloud && output.cloud) ObserveCloud(frame, *output.cloud);
  if (frame.scan && output.scan) ObserveScan(frame, *output.scan);
}

void Plausibility::ObserveCloud(const Frame& frame, const CloudOutput& output) {
  ++cloud_frames_;
  dropped_points_ += frame.dropped_points;
  frames_with_dropped_points_ += frame.dropped_points > 0 ? 1 : 0;
  const std::size_t near = WithinRadius(*frame.cloud, kGroundRadius);
  if (near < kGroundFewestPoints) return;
  const double share =
      static_cast<double>(WithinRadius(*output.ground, kGroundRadius)) / static_cast<double>(near);
  if (share >= kGroundShare) return;
  if (little_ground_frames_++ == 0) {
    first_little_ground_frame_ = frame.index;
    first_little_ground_share_ = share;
  }
}

void Plausibility::ObserveScan(const Frame& frame, const ScanOutput& output) {
  const auto& scan = *frame.scan;
  const double span = static_cast<double>(scan.angle_max) - static_cast<double>(scan.angle_min);
  if (span > 2.0 * kPi + kTurnTolerance && wide_scans_++ == 0) {
    first_wide_scan_ = frame.index;
    first_wide_span_ = span;
    first_wide_beams_ = scan.ranges.size();
  }
  if (scans_++ < laser_warmup_frames_) return;
  const std::size_t classified = ClassifiedBeams(scan);
  std::size_t dynamic = 0;
  for (std::size_t i = 0; i < classified; ++i) {
    dynamic += IsDynamicBeam(*output.dynamic_scan, i) ? 1 : 0;
  }
  if (classified == 0 || 3 * dynamic <= classified) {
    dynamic_run_ = 0;
    return;
  }
  if (++dynamic_run_ == kDynamicRun && dynamic_runs_++ == 0) {
    first_dynamic_run_start_ = frame.index + 1 - kDynamicRun;
  }
  longest_dynamic_run_ = std::max(longest_dynamic_run_, dynamic_run_);
}

std::vector<std::string> Plausibility::Warnings() const {
  std::vector<std::string> warnings;
  if (little_ground_frames_ > 0) {
    warnings.push_back(fmt::format(
        "ground removal: in {} of {} frames fewer than {:.0f} % of the points within {:.0f} m "
        "came out as ground (frame {}: {:.1f} %). The ground is likely not at the ground set's "
        "ground_height ({:.2f} m in the cloud's frame). Give --ground-height METRES (the "
        "ground's z in the cloud's frame) or --sensor NAME (the LiDAR's parameter set).",
        little_ground_frames_, cloud_frames_, 100.0 * kGroundShare, kGroundRadius,
        first_little_ground_frame_, 100.0 * first_little_ground_share_, ground_height_));
  }
  if (wide_scans_ > 0) {
    warnings.push_back(fmt::format(
        "laser scans: {} scans span more than one turn (scan {}: {:.0f} degrees over {} "
        "beams), so beams fold onto each other. The beam layout does not fit the laser: most "
        "likely a wrong angle_increment. State the layout in the input: a CARMEN log with "
        "PARAM laser_front_laser_fov and laser_front_laser_resolution lines before its scans, "
        "laser text with its angle_increment field.",
        wide_scans_, first_wide_scan_, first_wide_span_ * 180.0 / kPi, first_wide_beams_));
  }
  if (dynamic_runs_ > 0) {
    warnings.push_back(fmt::format(
        "laser detector: more than a third of the beams were dynamic in {} scans in a row "
        "(longest run {} scans, the first from scan {}; the first {} scans are the warm-up). "
        "Walls do not move: the beam layout likely does not fit the laser (a CARMEN log states "
        "it with PARAM laser_front_laser_fov and laser_front_laser_resolution lines), or the "
        "poses are not the laser's. If both are right, the detector calls cells dynamic too "
        "quickly for this robot: --laser-detector FILE with a larger log_odds_obstacle.",
        kDynamicRun, longest_dynamic_run_, first_dynamic_run_start_, laser_warmup_frames_));
  }
  return warnings;
}

std::string Plausibility::Summary() const {
  std::string text;
  if (cloud_frames_ > 0) {
    text += fmt::format(
        "\nPoints dropped as read (all-zero or non-finite: no return): {} in {} of {} frames\n"
        "  (not handed to the library; where labelled, scored as non-ground and static)\n",
        dropped_points_, frames_with_dropped_points_, cloud_frames_);
  }
  const std::vector<std::string> warnings = Warnings();
  if (!warnings.empty()) {
    text += "\nWarnings (the results above are as computed, but implausible):\n";
    for (const std::string& warning : warnings) text += "  - " + warning + "\n";
  }
  return text;
}

}  // namespace replay
}  // namespace larkspur
