#include "score.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

namespace larkspur {
namespace replay {
namespace {

struct PointKey {
  std::uint32_t x, y, z;
  bool operator==(const PointKey& other) const {
    return x == other.x && y == other.y && z == other.z;
  }
};

struct PointKeyHash {
  std::size_t operator()(const PointKey& k) const {
    std::uint64_t h = k.x;
    h = h * 0x9E3779B97F4A7C15ULL ^ k.y;
    h = h * 0x9E3779B97F4A7C15ULL ^ k.z;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

PointKey KeyOf(const pcl::PointXYZ& p) {
  PointKey key{};
  std::memcpy(&key.x, &p.x, sizeof(float));
  std::memcpy(&key.y, &p.y, sizeof(float));
  std::memcpy(&key.z, &p.z, sizeof(float));
  return key;
}

// Input indices by coordinates; each index is handed out once, so that
// duplicate points in the input are matched one to one.
class PointIndex {
 public:
  explicit PointIndex(const Cloud& cloud) {
    index_.reserve(cloud.points.size());
    for (std::size_t i = cloud.points.size(); i-- > 0;) {
      index_[KeyOf(cloud.points[i])].push_back(i);
    }
  }

  // Indices of the points of `part`, in its order; points not found in the
  // input (which the library never produces) are skipped.
  std::vector<std::size_t> Take(const Cloud& part) {
    std::vector<std::size_t> taken;
    taken.reserve(part.points.size());
    for (const auto& p : part.points) {
      auto it = index_.find(KeyOf(p));
      if (it == index_.end() || it->second.empty()) continue;
      taken.push_back(it->second.back());
      it->second.pop_back();
    }
    return taken;
  }

 private:
  std::unordered_map<PointKey, std::vector<std::size_t>, PointKeyHash> index_;
};

void ScoreCloud(const Frame& frame, const CloudOutput& out,
                const std::function<bool(float, float)>& observable, FrameScore& score) {
  const auto& truth = frame.cloud_truth;
  if (truth.size() != frame.cloud->points.size()) return;
  const std::vector<PointFate> fates = PointFates(*frame.cloud, out);
  for (std::size_t i = 0; i < truth.size(); ++i) {
    const PointFate fate = fates[i];
    const bool dynamic = fate == PointFate::kDynamic;
    score.ground.Add(truth[i].ground, fate == PointFate::kGround);
    if (dynamic || fate == PointFate::kStatic) score.dynamic_points.Add(truth[i].moving, dynamic);
    score.moving_points.Add(truth[i].moving, dynamic);
    const auto& p = frame.cloud->points[i];
    if (observable && observable(p.x, p.y)) {
      score.moving_points_observable.Add(truth[i].moving, dynamic);
    }
  }
  // Points dropped as read never reach the library: neither ground nor dynamic.
  for (const PointTruth& dropped : frame.dropped_truth) {
    score.ground.Add(dropped.ground, false);
    score.dynamic_points.Add(dropped.moving, false);
    score.moving_points.Add(dropped.moving, false);
  }
}

void ScoreScan(const Frame& frame, const ScanOutput& out,
               const std::function<bool(float, float)>& observable, FrameScore& score) {
  const auto& scan = *frame.scan;
  const auto& truth = frame.scan_truth;
  if (truth.size() != scan.ranges.size()) return;
  const std::size_t n = std::min(ClassifiedBeams(scan), out.dynamic_scan->ranges.size());
  for (std::size_t i = 0; i < n; ++i) {
    const bool dynamic = IsDynamicBeam(*out.dynamic_scan, i);
    score.dynamic_beams.Add(truth[i].moving, dynamic);
    // The end point as the detector places it, in single precision.
    const float r = scan.ranges[i];
    const float bearing = scan.angle_min + static_cast<float>(i) * scan.angle_increment;
    const float x = r * std::cos(bearing), y = r * std::sin(bearing);
    if (observable && std::isfinite(x) && std::isfinite(y) && observable(x, y)) {
      score.dynamic_beams_observable.Add(truth[i].moving, dynamic);
    }
  }
}

}  // namespace

std::size_t ClassifiedBeams(const sensor_msgs::msg::LaserScan& scan) {
  const float n = (scan.angle_max - scan.angle_min) / scan.angle_increment;
  if (!(n >= 1.0f)) return 0;
  const double bounded = std::min<double>(std::trunc(n), static_cast<double>(scan.ranges.size()));
  return static_cast<std::size_t>(bounded);
}

bool IsDynamicBeam(const sensor_msgs::msg::LaserScan& dynamic_scan, std::size_t i) {
  return i < dynamic_scan.ranges.size() &&
         dynamic_scan.ranges[i] != std::numeric_limits<float>::max();
}

std::vector<PointFate> PointFates(const Cloud& input, const CloudOutput& output) {
  PointIndex index(input);
  std::vector<PointFate> fates(input.points.size(), PointFate::kDropped);
  for (const std::size_t i : index.Take(*output.ground)) fates[i] = PointFate::kGround;
  // The dynamic and static clouds split the non-ground cloud, whose points
  // are the input's own.
  for (const std::size_t i : index.Take(*output.dynamic)) fates[i] = PointFate::kDynamic;
  for (const std::size_t i : index.Take(*output.static_points)) fates[i] = PointFate::kStatic;
  return fates;
}

ObservableRegions ObservableRegionsOf(const Pipeline& pipeline) {
  const auto& cloud_detector = pipeline.cloud_detector();
  const auto& laser_grid = pipeline.laser_detector().grid_map();
  if (LidarFreeSpaceMode(pipeline.config())) {
    const auto& cloud_grid = cloud_detector.grid_map();
    return {[&cloud_grid](float x, float y) { return cloud_grid.IsValidPoint(x, y); },
            [&laser_grid](float x, float y) { return laser_grid.IsValidPoint(x, y); }};
  }
  return {[&cloud_detector](float x, float y) { return cloud_detector.IsInRoi(x, y); },
          [&laser_grid](float x, float y) { return laser_grid.IsValidPoint(x, y); }};
}

FrameScore ScoreFrame(const Frame& frame, const FrameOutput& output,
                      const ObservableRegions& observable) {
  FrameScore score;
  if (frame.cloud && output.cloud) ScoreCloud(frame, *output.cloud, observable.cloud, score);
  if (frame.scan && output.scan) ScoreScan(frame, *output.scan, observable.scan, score);
  return score;
}

}  // namespace replay
}  // namespace larkspur
