#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

constexpr float kQuarterTurn = 1.5707964f;  // pi / 2 in float: four sectors
constexpr float kPi = 3.14159265f;
constexpr float kNoSegment = std::numeric_limits<float>::min();

CloudPtr MakeCloud(const std::vector<pcl::PointXYZ>& points = {}) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

// Ground points at ranges 1.5 to 9.5 along the azimuth `angle`, one in the
// middle of each 1 m bin.
void AddGroundRay(Cloud& cloud, float angle, float z) {
  for (int r = 1; r <= 9; ++r) {
    const float range = static_cast<float>(r) + 0.5f;
    cloud.push_back({range * std::cos(angle), range * std::sin(angle), z});
  }
}

pcl::PointXYZ AtAzimuth(float angle, float range, float z) {
  return {range * std::cos(angle), range * std::sin(angle), z};
}

bool Holds(const Cloud& cloud, const pcl::PointXYZ& p) {
  return std::any_of(cloud.begin(), cloud.end(), [&p](const pcl::PointXYZ& q) {
    return q.x == p.x && q.y == p.y && q.z == p.z;
  });
}

class GroundRemovalTest : public ::testing::Test {
 protected:
  GroundRemovalTest() {
    params_.sector_angle = kQuarterTurn;
    params_.max_range = 10.0f;
    params_.min_range = 0.0f;
    params_.bin_size = 1.0f;
    params_.ground_height = -1.5f;
    params_.max_fit_error = 0.05f;
    params_.max_slope = 0.2f;
    params_.seed_max_above = 0.6f;
    params_.seed_max_below = 0.6f;
    params_.ground_distance_threshold = 0.2f;
    params_.max_height_jump = 0.3f;
    params_.max_point_height = 10.0f;
    params_.split_distance = 0.1f;
    params_.outlier_sigma_factor = 1.0f;
  }

  // Fits `ground`, then classifies `queries` against the kept segments.
  void ClassifyAgainst(const CloudPtr& ground, const std::vector<pcl::PointXYZ>& queries) {
    RemoveGroundLineFit remover(params_);
    remover.set_input_cloud(ground);
    remover.groundRemove(MakeCloud(queries), nonground_, ground_, below_);
  }

  GroundRemovalParams params_;
  CloudPtr nonground_ = MakeCloud();
  CloudPtr ground_ = MakeCloud();
  CloudPtr below_ = MakeCloud();
};

TEST_F(GroundRemovalTest, PrototypeIsTheLowestPointAboveTheOutlierBound) {
  params_.outlier_sigma_factor = 0.5f;
  RemoveGroundLineFit remover(params_);
  // Bin 0: mean -1.5, variance 5/3, bound about -2.145.
  std::vector<STRU_SegmentedPoint> points = {
      {{1, 0, -1}, 0, NON_GROUND}, {{2, 0, -1}, 0, NON_GROUND},  {{3, 0, -1}, 0, NON_GROUND},
      {{4, 0, -3}, 0, NON_GROUND}, {{8, 0, -1}, 2, NON_GROUND},  {{6, 0, 0}, 1, NON_GROUND},
      {{7, 0, 10}, 1, NON_GROUND}, {{9, 0, -9}, -1, NON_GROUND}, {{9, 0, -9}, 3, NON_GROUND}};
  std::vector<PointPolarCoord> prototypes;
  remover.findPrototypePoints(points, 3, prototypes);
  ASSERT_EQ(prototypes.size(), 3u);
  EXPECT_EQ(prototypes[0].range, 1.0f);
  EXPECT_EQ(prototypes[0].height, -1.0f);
  // Bin 1 holds 0 and 10: bound 5 - 0.5 * 10 = 0, met by the lower point.
  EXPECT_EQ(prototypes[1].range, 6.0f);
  EXPECT_EQ(prototypes[2].range, 8.0f);
  ASSERT_EQ(remover.getAllTracePoints().size(), 1u);
  EXPECT_EQ(remover.getAllTracePoints()[0].z, -3.0f);
}

TEST_F(GroundRemovalTest, SegmentDistanceIsSignedAndCoversFiveBinsBeyondTheEnds) {
  params_.bin_size = 0.2f;
  const RemoveGroundLineFit remover(params_);
  const std::vector<STRU_Line> flat = {{2, -1.5f, 0, 6, -1.5f, 0}};
  EXPECT_NEAR(remover.point2LineSegmentDist({4, -1.3f, 0}, flat), 0.2f, 1e-6);
  EXPECT_NEAR(remover.point2LineSegmentDist({6.9f, -1.7f, 0}, flat), -0.2f, 1e-6);
  EXPECT_EQ(remover.point2LineSegmentDist({1.0f, -1.5f, 0}, flat), kNoSegment);
  EXPECT_EQ(remover.point2LineSegmentDist({7.0f, -1.5f, 0}, flat), kNoSegment);
  const std::vector<STRU_Line> sloped = {{2, -1.5f, 0, 6, -1.1f, 0}};
  EXPECT_NEAR(remover.point2LineSegmentDist({4, -1.0f, 0}, sloped), 0.3 / std::sqrt(1.01), 1e-6);
  // Of two covering segments the nearer decides.
  const std::vector<STRU_Line> two = {{2, -1.5f, 0, 6, -1.5f, 0}, {3, -1.2f, 0, 8, -1.2f, 0}};
  EXPECT_NEAR(remover.point2LineSegmentDist({4, -1.3f, 0}, two), -0.1f, 1e-6);
}

struct NeighbourCase {
  float previous_ground;  // sector 1
  float next_ground;      // sector 3
  float query_z;          // query in sector 2, which has no ground
  POINT_TYPE expected;
};

class NeighbourSearch : public GroundRemovalTest,
                        public ::testing::WithParamInterface<NeighbourCase> {};

TEST_P(NeighbourSearch, NearerNeighbourDecidesAndTheNextOneOnATie) {
  const NeighbourCase& c = GetParam();
  auto ground = MakeCloud();
  AddGroundRay(*ground, -kPi / 4, c.previous_ground);
  AddGroundRay(*ground, 3 * kPi / 4, c.next_ground);
  ClassifyAgainst(ground, {AtAzimuth(kPi / 4, 4, c.query_z)});
  EXPECT_EQ(ground_->size(), c.expected == GROUND ? 1u : 0u);
  EXPECT_EQ(below_->size(), c.expected == BELOW_GROUND ? 1u : 0u);
  EXPECT_EQ(nonground_->size(), c.expected == NON_GROUND ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sectors, NeighbourSearch,
    ::testing::Values(NeighbourCase{-1.5f, -1.0f, -1.4f, GROUND},         // previous 0.1 away
                      NeighbourCase{-1.5f, -1.0f, -1.25f, BELOW_GROUND},  // tie: next, -0.25
                      NeighbourCase{-1.5f, -1.0f, -1.1f, GROUND}));       // next 0.1 away

TEST_F(GroundRemovalTest, SectorsAtMinusAndPlusPiAreNotNeighbours) {
  params_.sector_angle = 0.1f;  // 63 sectors
  auto ground = MakeCloud();
  AddGroundRay(*ground, 3.1f, -1.5f);  // sector 62, the last
  // y = +0 on the negative x axis is sector 62, y = -0 sector 0.
  ClassifyAgainst(ground, {{-5.0f, 0.0f, -1.5f}, {-5.0f, -0.0f, -1.5f}});
  ASSERT_EQ(ground_->size(), 1u);
  EXPECT_FALSE(std::signbit((*ground_)[0].y));
  ASSERT_EQ(nonground_->size(), 1u);
  EXPECT_TRUE(std::signbit((*nonground_)[0].y));
}

TEST_F(GroundRemovalTest, AzimuthOfAWholeTurnJoinsTheLastSector) {
  auto ground = MakeCloud();
  AddGroundRay(*ground, 3 * kPi / 4, -1.5f);  // sector 3 of 4
  ClassifyAgainst(ground, {{-5.0f, 0.0f, -1.5f}});
  EXPECT_EQ(ground_->size(), 1u);
}

TEST_F(GroundRemovalTest, PointBelowTheGroundIsGroundInOneCallAndBelowGroundOtherwise) {
  params_.max_range = 12.0f;
  auto cloud = MakeCloud();
  AddGroundRay(*cloud, 0.3f, -1.5f);
  // Alone in its bin: it splits the set at 9.5 and jumps off the line there,
  // so the segment ends at 9.5 and still covers it.
  const pcl::PointXYZ deep = AtAzimuth(0.3f, 10.5f, -2.0f);
  cloud->push_back(deep);
  RemoveGroundLineFit remover(params_);
  remover.groundRemove(cloud, nonground_, ground_);
  EXPECT_EQ(ground_->size(), 10u);
  EXPECT_TRUE(nonground_->empty());

  remover.set_input_cloud(cloud);
  remover.groundRemove(cloud, nonground_, ground_, below_);
  EXPECT_EQ(ground_->size(), 9u);
  ASSERT_EQ(below_->size(), 1u);
  EXPECT_TRUE(Holds(*below_, deep));
}

TEST_F(GroundRemovalTest, HeightLimitsAndRangeWindowDecideWhatIsClassified) {
  params_.max_point_height = 2.0f;
  auto cloud = MakeCloud();
  AddGroundRay(*cloud, 0.3f, -1.5f);
  const pcl::PointXYZ classified = AtAzimuth(0.3f, 5, 1.3f);
  const pcl::PointXYZ high = AtAzimuth(0.3f, 5, 1.5f);
  const pcl::PointXYZ at_max_range = {10.0f, 0.0f, -1.5f};
  const pcl::PointXYZ at_min_range = {0.0f, 0.0f, -1.5f};
  for (const auto& p : std::vector<pcl::PointXYZ>{classified,
                                                  high,
                                                  at_max_range,
                                                  at_min_range,
                                                  {0, 0, 0},
                                                  {10.01f, 0, -1.5f},
                                                  AtAzimuth(0.3f, 5, 2.5f)}) {
    cloud->push_back(p);
  }
  RemoveGroundLineFit remover(params_);
  remover.groundRemove(cloud, nonground_, ground_);
  // High points come first, before the classified ones.
  ASSERT_EQ(nonground_->size(), 2u);
  EXPECT_EQ((*nonground_)[0].z, high.z);
  EXPECT_EQ((*nonground_)[1].z, classified.z);
  EXPECT_EQ(ground_->size(), 11u);
  EXPECT_TRUE(Holds(*ground_, at_max_range));
  EXPECT_TRUE(Holds(*ground_, at_min_range));
}

TEST_F(GroundRemovalTest, OnlyTheFittingCallsDropTheDeepNearZone) {
  params_.near_zone_x_limit = 2.0f;
  params_.near_zone_depth = 0.3f;
  auto cloud = MakeCloud();
  AddGroundRay(*cloud, 0.3f, -1.5f);
  const pcl::PointXYZ near_deep = {1, 5, -2.0f};
  const pcl::PointXYZ far_deep = {3, 0, -2.0f};
  cloud->push_back(near_deep);
  cloud->push_back(far_deep);
  RemoveGroundLineFit remover(params_);
  remover.groundRemove(cloud, nonground_, ground_);
  EXPECT_FALSE(Holds(*nonground_, near_deep) || Holds(*ground_, near_deep));
  EXPECT_TRUE(Holds(*nonground_, far_deep) || Holds(*ground_, far_deep));

  remover.set_input_cloud(cloud);
  remover.groundRemove(cloud, nonground_, ground_, below_);
  EXPECT_EQ(nonground_->size() + ground_->size() + below_->size(), cloud->size());
}

TEST_F(GroundRemovalTest, KeptSegmentsAreShownAsTwoPointClouds) {
  auto cloud = MakeCloud();
  AddGroundRay(*cloud, 0.3f, -1.5f);
  RemoveGroundLineFit remover(params_);
  remover.set_input_cloud(cloud);
  const auto segments = remover.getAllLineFitPoints();
  ASSERT_EQ(segments.size(), 1u);
  ASSERT_EQ(segments[0].size(), 2u);
  EXPECT_NEAR(std::hypot(segments[0][0].x, segments[0][0].y), 1.5, 1e-5);
  EXPECT_NEAR(std::hypot(segments[0][1].x, segments[0][1].y), 9.5, 1e-5);
  EXPECT_NEAR(std::atan2(segments[0][1].y, segments[0][1].x), 0.3, 1e-6);
  EXPECT_NEAR(segments[0][1].z, -1.5f, 1e-6);

  // The one-call overload keeps nothing; an empty cloud drops the kept fit.
  remover.groundRemove(MakeCloud({{0, 1, -1.5f}, {0, 2, -1.5f}}), nonground_, ground_);
  EXPECT_EQ(remover.getAllLineFitPoints().size(), 1u);
  remover.set_input_cloud(MakeCloud());
  EXPECT_TRUE(remover.getAllLineFitPoints().empty());
}

TEST_F(GroundRemovalTest, TracePointsAreThoseOfTheLastFit) {
  params_.outlier_sigma_factor = 0.5f;
  RemoveGroundLineFit remover(params_);
  const auto cloud_with_trace = [](float x) {
    return MakeCloud({{x, 0.1f, -1.5f},
                      {x + 0.1f, 0.1f, -1.5f},
                      {x + 0.2f, 0.1f, -1.5f},
                      {x + 0.3f, 0.1f, -3.5f}});
  };
  remover.groundRemove(cloud_with_trace(5.0f), nonground_, ground_);
  remover.groundRemove(cloud_with_trace(7.0f), nonground_, ground_);
  ASSERT_EQ(remover.getAllTracePoints().size(), 1u);
  EXPECT_NEAR(remover.getAllTracePoints()[0].x, 7.3f, 1e-5);

  // An empty cloud leaves the fit undone and the trace points in place.
  remover.set_input_cloud(MakeCloud());
  EXPECT_EQ(remover.getAllTracePoints().size(), 1u);
}

TEST_F(GroundRemovalTest, ClassifyingWithoutAKeptFitThrowsAfterTheHighPoints) {
  RemoveGroundLineFit remover(params_);
  const auto cloud = MakeCloud({{3, 0, -1.5f}, {4, 0, 9.0f}});
  EXPECT_THROW(remover.groundRemove(cloud, nonground_, ground_, below_), std::out_of_range);
  ASSERT_EQ(nonground_->size(), 1u);
  EXPECT_EQ((*nonground_)[0].z, 9.0f);
}

TEST_F(GroundRemovalTest, DegenerateCloudsNeverCrash) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  RemoveGroundLineFit remover(params_);
  const auto odd = MakeCloud({{kNaN, 1, -1.5f}, {1, kInf, -1.5f}, {1, 1, -kInf}, {0, 0, 0}});
  remover.set_input_cloud(odd);
  EXPECT_TRUE(remover.getAllLineFitPoints().empty());
  remover.groundRemove(odd, nonground_, ground_);
  EXPECT_TRUE(nonground_->empty() && ground_->empty());

  // One bin: one prototype, no segment, nothing is ground.
  const auto one_bin = MakeCloud({{3.1f, 0, -1.5f}, {3.2f, 0, -1.5f}, {3.3f, 0, -1.0f}});
  remover.groundRemove(one_bin, nonground_, nullptr);
  EXPECT_EQ(nonground_->size(), 3u);

  for (const CloudPtr& input : {MakeCloud(), CloudPtr()}) {
    remover.set_input_cloud(input);
    remover.groundRemove(input, nonground_, ground_);
    remover.groundRemove(input, nonground_, ground_, below_);
    EXPECT_TRUE(nonground_->empty());
  }
}

TEST_F(GroundRemovalTest, OutputsAreRefilledKeepingTheirHeader) {
  auto cloud = MakeCloud();
  AddGroundRay(*cloud, 0.3f, -1.5f);
  cloud->push_back(AtAzimuth(0.3f, 4.5f, 0.0f));
  ground_->header.frame_id = "velodyne";
  ground_->push_back({100, 100, 100});
  RemoveGroundLineFit remover(params_);
  remover.groundRemove(cloud, nonground_, ground_);
  EXPECT_EQ(ground_->header.frame_id, "velodyne");
  EXPECT_EQ(ground_->size(), 9u);
  EXPECT_EQ(ground_->width, 9u);
  EXPECT_EQ(ground_->height, 1u);

  // The input passed again as an output is read before it is emptied.
  remover.groundRemove(cloud, cloud, nullptr);
  ASSERT_EQ(cloud->size(), 1u);
  EXPECT_EQ((*cloud)[0].z, 0.0f);
}

// A flat road 1.73 m below the sensor, sampled on a polar grid, with three
// boxes standing 0.4 m to 1.5 m above it.
TEST_F(GroundRemovalTest, FlatPlaneWithBoxesIsSplitExactly) {
  params_.sector_angle = 0.05f;
  params_.min_range = 2.0f;
  params_.max_range = 30.0f;
  params_.bin_size = 0.5f;
  params_.ground_height = -1.73f;
  params_.seed_max_above = 0.2f;
  params_.seed_max_below = 0.2f;
  params_.outlier_sigma_factor = 2.0f;
  auto cloud = MakeCloud();
  for (int a = 0; a < 314; ++a) {
    for (int r = 0; r < 170; ++r) cloud->push_back(AtAzimuth(a * 0.02f, 3.0f + r * 0.1f, -1.73f));
  }
  const std::size_t plane_points = cloud->size();
  const std::array<std::array<float, 2>, 3> box_fronts = {
      {{7.5f, 3.0f}, {-12.0f, -6.0f}, {5.0f, -10.0f}}};
  for (const auto& front : box_fronts) {
    for (int h = 0; h < 5; ++h) {
      for (int w = 0; w < 5; ++w) {
        cloud->push_back({front[0], front[1] - 0.5f + w * 0.25f, -1.33f + h * 0.275f});
      }
    }
  }
  RemoveGroundLineFit remover(params_);
  remover.groundRemove(cloud, nonground_, ground_);
  EXPECT_EQ(ground_->size(), plane_points);
  ASSERT_EQ(nonground_->size(), 75u);
  for (const pcl::PointXYZ& p : *nonground_) EXPECT_GE(p.z, -1.34f);
  for (const pcl::PointXYZ& p : *ground_) EXPECT_EQ(p.z, -1.73f);
}

std::array<std::uint32_t, 3> Key(const pcl::PointXYZ& p) {
  std::array<std::uint32_t, 3> key{};
  std::memcpy(key.data(), p.data, sizeof(key));
  return key;
}

std::vector<std::array<std::uint32_t, 3>> SortedKeys(const std::vector<const Cloud*>& clouds) {
  std::vector<std::array<std::uint32_t, 3>> keys;
  for (const Cloud* cloud : clouds) {
    for (const pcl::PointXYZ& p : *cloud) keys.push_back(Key(p));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Every point that passes an entry point's filter lands, unchanged, in
// exactly one output.
TEST_F(GroundRemovalTest, RealFrameIsPartitionedIntoUnchangedInputPoints) {
  const auto path = larkspur::datasets::SharedDataPath("kitti_hdl64/velodyne/000000.bin");
  if (!path) GTEST_SKIP() << "shared data kitti_hdl64 not found";
  const CloudPtr frame = larkspur::datasets::ReadKittiBin(*path);
  params_.sector_angle = 0.02f;
  params_.min_range = 2.5f;
  params_.max_range = 80.0f;
  params_.bin_size = 0.5f;
  params_.ground_height = -1.73f;
  params_.near_zone_x_limit = 3.0f;
  params_.near_zone_depth = 0.5f;
  params_.max_point_height = 2.0f;
  RemoveGroundLineFit remover(params_);

  Cloud expected_one_call;
  Cloud expected_kept_fit;
  for (const pcl::PointXYZ& p : *frame) {
    const float r = std::sqrt(p.x * p.x + p.y * p.y);
    const bool in_window = r >= 2.5f && r <= 80.0f && !(p.x == 0 && p.y == 0 && p.z == 0);
    const bool high = static_cast<double>(p.z) > 0.7 * 2.0;
    if (p.z > 2.0f) continue;
    if (high || in_window) expected_kept_fit.push_back(p);
    const bool deep_near = std::fabs(p.x) < 3.0f && -1.73f - p.z > 0.5f;
    if (high || (in_window && !deep_near)) expected_one_call.push_back(p);
  }

  remover.groundRemove(frame, nonground_, ground_);
  EXPECT_GT(ground_->size(), frame->size() / 4);
  EXPECT_EQ(SortedKeys({nonground_.get(), ground_.get()}), SortedKeys({&expected_one_call}));

  remover.set_input_cloud(frame);
  remover.groundRemove(frame, nonground_, ground_, below_);
  EXPECT_FALSE(remover.getAllLineFitPoints().empty());
  EXPECT_EQ(SortedKeys({nonground_.get(), ground_.get(), below_.get()}),
            SortedKeys({&expected_kept_fit}));
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
