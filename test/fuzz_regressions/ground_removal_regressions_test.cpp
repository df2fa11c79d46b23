// Ground-removal findings of the fuzz target, checked on the behaviour the
// fix restored (the saved inputs themselves are replayed by fuzz_replay_test).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace kestrel {
namespace perception {
namespace {

GroundRemovalParams ValidParams() {
  GroundRemovalParams params;
  params.sector_angle = 0.1f;
  params.max_range = 30.0f;
  params.min_range = 2.0f;
  params.bin_size = 0.5f;
  params.outlier_sigma_factor = 10.0f;  // no point is a low outlier below
  return params;
}

// findPrototypePoints used to size its per-bin tables by the caller's
// bin_count: four billion bins asked for about 200 GB. Only bins holding a
// point matter, and their prototypes still come out in bin order.
TEST(FindPrototypePointsRegression, HugeBinCountCostsOnlyTheOccupiedBins) {
  RemoveGroundLineFit remover(ValidParams());
  const std::vector<STRU_SegmentedPoint> points = {
      {pcl::PointXYZ(3.0f, 4.0f, -1.0f), 2000000000, NON_GROUND},
      {pcl::PointXYZ(6.0f, 8.0f, -1.4f), 5, NON_GROUND},
      {pcl::PointXYZ(0.0f, 2.0f, -1.5f), 5, NON_GROUND},
      {pcl::PointXYZ(1.0f, 1.0f, -9.0f), -1, NON_GROUND},           // no bin
      {pcl::PointXYZ(1.0f, 1.0f, -9.0f), 2000000001, NON_GROUND}};  // past bin_count
  std::vector<PointPolarCoord> prototypes;
  remover.findPrototypePoints(points, 2000000001u, prototypes);

  // Bin 5: the lower of its two points, at range 2; then bin 2e9 at range 5.
  ASSERT_EQ(prototypes.size(), 2u);
  EXPECT_FLOAT_EQ(prototypes[0].range, 2.0f);
  EXPECT_FLOAT_EQ(prototypes[0].height, -1.5f);
  EXPECT_FLOAT_EQ(prototypes[1].range, 5.0f);
  EXPECT_FLOAT_EQ(prototypes[1].height, -1.0f);
  EXPECT_TRUE(remover.getAllTracePoints().empty());

  prototypes.clear();
  remover.findPrototypePoints(points, std::numeric_limits<std::uint32_t>::max(), prototypes);
  EXPECT_EQ(prototypes.size(), 3u);
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
