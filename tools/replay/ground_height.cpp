#include "ground_height.h"

#include <algorithm>
#include <cmath>

namespace larkspur {
namespace replay {
namespace {

constexpr double kLowest = -10.0;
constexpr double kBin = 0.05;
constexpr int kBins = 400;  // up to +10 m
constexpr double kRefineWindow = 0.15;
constexpr std::size_t kFewestPoints = 200;

// Heights of the points in the ring around the origin.
std::vector<float> RingHeights(const std::vector<const pcl::PointCloud<pcl::PointXYZ>*>& clouds) {
  std::vector<float> heights;
  for (const auto* cloud : clouds) {
    for (const pcl::PointXYZ& p : cloud->points) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
      if (p.x == 0.0f && p.y == 0.0f && p.z == 0.0f) continue;
      const double range = std::hypot(static_cast<double>(p.x), static_cast<double>(p.y));
      if (range >= kRingInner && range <= kRingOuter) heights.push_back(p.z);
    }
  }
  return heights;
}

int BinOf(double z) { return static_cast<int>(std::floor((z - kLowest) / kBin)); }

}  // namespace

void ShiftGroundHeights(kestrel::perception::GroundRemovalParams& params, float ground_z) {
  const float shift = ground_z - params.ground_height;
  params.ground_height = ground_z;
  params.max_point_height += shift;
}

std::optional<GroundEstimate> EstimateGroundHeight(
    const std::vector<const pcl::PointCloud<pcl::PointXYZ>*>& clouds) {
  const std::vector<float> heights = RingHeights(clouds);
  if (heights.size() < kFewestPoints) return std::nullopt;
  std::vector<std::size_t> counts(kBins, 0);
  for (const float z : heights) {
    const int bin = BinOf(z);
    if (bin >= 0 && bin < kBins) ++counts[static_cast<std::size_t>(bin)];
  }
  const std::size_t fullest = *std::max_element(counts.begin(), counts.end());
  if (fullest == 0) return std::nullopt;
  const auto ground_bin = static_cast<std::size_t>(
      std::find_if(counts.begin(), counts.end(), [&](std::size_t c) { return 2 * c >= fullest; }) -
      counts.begin());
  const double centre = kLowest + (static_cast<double>(ground_bin) + 0.5) * kBin;
  std::vector<float> near;
  for (const float z : heights) {
    if (std::fabs(z - centre) <= kRefineWindow) near.push_back(z);
  }
  const auto middle = near.begin() + static_cast<std::ptrdiff_t>(near.size() / 2);
  std::nth_element(near.begin(), middle, near.end());
  return GroundEstimate{*middle, heights.size()};
}

}  // namespace replay
}  // namespace larkspur
