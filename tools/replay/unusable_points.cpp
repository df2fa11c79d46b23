#include "unusable_points.h"

#include <cmath>
#include <utility>

namespace larkspur {
namespace replay {
namespace {

bool IsUnusable(const pcl::PointXYZ& p) {
  const bool finite = std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
  return !finite || (p.x == 0.0f && p.y == 0.0f && p.z == 0.0f);
}

}  // namespace

void DropUnusablePoints(Frame& frame) {
  if (!frame.cloud) return;
  auto& points = frame.cloud->points;
  const bool with_truth = frame.cloud_truth.size() == points.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (IsUnusable(points[i])) {
      ++frame.dropped_points;
      if (with_truth) frame.dropped_truth.push_back(frame.cloud_truth[i]);
      continue;
    }
    points[kept] = points[i];
    if (with_truth) frame.cloud_truth[kept] = frame.cloud_truth[i];
    ++kept;
  }
  if (frame.dropped_points == 0) return;
  points.resize(kept);
  if (with_truth) frame.cloud_truth.resize(kept);
  frame.cloud->width = static_cast<std::uint32_t>(kept);
  frame.cloud->height = 1;
  frame.cloud->is_dense = true;
}

}  // namespace replay
}  // namespace larkspur
