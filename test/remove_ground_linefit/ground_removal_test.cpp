#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace kestrel::perception {
namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

constexpr float kPi = 3.14159265f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

CloudPtr MakeCloud(const std::vector<pcl::PointXYZ>& points = {}) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

pcl::PointXYZ AtAzimuth(float angle, float range, float z) {
  return {range * std::cos(angle), range * std::sin(angle), z};
}

using Key = std::tuple<float, float, float>;
std::vector<Key> SortedPoints(const std::vector<const Cloud*>& clouds) {
  std::vector<Key> keys;
  for (const Cloud* cloud : clouds) {
    for (const pcl::PointXYZ& p : *cloud) keys.emplace_back(p.x, p.y, p.z);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Parameters of the line-fitting cases.
GroundRemovalParams LineFitParams() {
  GroundRemovalParams p;
  p.sector_angle = 0.1f;
  p.max_range = 10.0f;
  p.min_range = 0.0f;
  p.bin_size = 0.5f;
  p.ground_height = -1.5f;
  p.max_fit_error = 0.05f;
  p.max_slope = 0.2f;
  p.seed_max_above = 0.2f;
  p.seed_max_below = 0.2f;
  p.ground_distance_threshold = 0.2f;
  p.max_height_jump = 0.3f;
  p.near_zone_x_limit = 0.0f;
  p.near_zone_depth = 0.0f;
  p.max_point_height = 10.0f;
  p.split_distance = 0.1f;
  p.outlier_sigma_factor = 1.0f;
  return p;
}

class GroundRemovalTest : public ::testing::Test {
 protected:
  // Segments of prototypes given as (range, height), each as (start range,
  // height, azimuth, end range, height, azimuth); prototype i has azimuth
  // 0.1 * (i + 1), to tell the ends apart.
  std::vector<std::vector<float>> Fit(const std::vector<std::pair<float, float>>& rz) {
    std::vector<PointPolarCoord> prototypes;
    for (const auto& [r, z] : rz) prototypes.emplace_back(r, z, 0.1f * (prototypes.size() + 1));
    std::vector<STRU_Line> lines;
    RemoveGroundLineFit(params_).incrementalLineFitting(prototypes, lines);
    std::vector<std::vector<float>> ends;
    for (const STRU_Line& l : lines) {
      ends.push_back(
          {l.start_range, l.start_height, l.start_angle, l.end_range, l.end_height, l.end_angle});
    }
    return ends;
  }

  // A flat road 1.73 m below the sensor on a polar grid: 314 azimuths 0.02
  // rad apart, `rings` rings 0.1 m apart from 3 m; sectors of 0.05 rad over
  // 2 m to 30 m.
  CloudPtr PolarRoad(int rings) {
    params_.sector_angle = 0.05f;
    params_.max_range = 30.0f;
    params_.min_range = 2.0f;
    params_.ground_height = -1.73f;
    auto cloud = MakeCloud();
    for (int a = 0; a < 314; ++a) {
      for (int r = 0; r < rings; ++r) {
        cloud->push_back(AtAzimuth(a * 0.02f, 3.0f + r * 0.1f, -1.73f));
      }
    }
    return cloud;
  }

  // Fits ground points at ranges 1.5 to 9.5 along each (azimuth, height)
  // ray, then classifies `queries` with the kept fit.
  void Classify(const std::vector<std::pair<float, float>>& rays,
                const std::vector<pcl::PointXYZ>& queries) {
    auto ground = MakeCloud();
    for (const auto& [angle, z] : rays) {
      for (int r = 1; r <= 9; ++r) ground->push_back(AtAzimuth(angle, r + 0.5f, z));
    }
    RemoveGroundLineFit remover(params_);
    remover.set_input_cloud(ground);
    remover.groundRemove(MakeCloud(queries), nonground_, ground_, below_);
  }

  GroundRemovalParams params_ = LineFitParams();
  CloudPtr nonground_ = MakeCloud();
  CloudPtr ground_ = MakeCloud();
  CloudPtr below_ = MakeCloud();
};

TEST(StreamWelFordTest, VarianceSquaresTheInnovationAgainstTheOldMean) {
  StreamWelFord stats;
  stats.update(1.0);
  EXPECT_EQ(stats.getVariance(), 0.0);
  stats.update(3.0);
  EXPECT_EQ(stats.getMean(), 2.0);
  EXPECT_EQ(stats.getVariance(), 5.0);  // 1 + 4, not 2
}

TEST_F(GroundRemovalTest, ConstructorRejectsParamsWithoutAResultNamingTheField) {
  const struct {
    const char* field;
    float GroundRemovalParams::*member;
    float value;
  } cases[] = {{"sector_angle", &GroundRemovalParams::sector_angle, 0.0f},
               {"sector_angle", &GroundRemovalParams::sector_angle, 1e-5f},  // 628,000 sectors
               {"bin_size", &GroundRemovalParams::bin_size, 1e-4f},          // 100,001 bins
               {"bin_size", &GroundRemovalParams::max_range, kInf},
               {"max_range", &GroundRemovalParams::max_range, 0.0f},  // = min_range
               {"max_range", &GroundRemovalParams::min_range, kNaN}};
  for (const auto& bad : cases) {
    GroundRemovalParams params = params_;
    params.*bad.member = bad.value;
    EXPECT_THAT([&params] { RemoveGroundLineFit remover(params); },
                ::testing::ThrowsMessage<std::invalid_argument>(::testing::HasSubstr(bad.field)));
  }
}

TEST_F(GroundRemovalTest, PrototypeIsTheLowestPointAboveTheOutlierBound) {
  params_.outlier_sigma_factor = 0.5f;
  RemoveGroundLineFit remover(params_);
  // Bin 0: mean -1.5, variance 5/3, bound about -2.145; bin 1 holds 0 and
  // 10: bound 5 - 0.5 * 10 = 0, met by the lower point.
  std::vector<STRU_SegmentedPoint> points = {
      {{1, 0, -1}, 0, NON_GROUND}, {{2, 0, -1}, 0, NON_GROUND},  {{3, 0, -1}, 0, NON_GROUND},
      {{4, 0, -3}, 0, NON_GROUND}, {{8, 0, -1}, 2, NON_GROUND},  {{6, 0, 0}, 1, NON_GROUND},
      {{7, 0, 10}, 1, NON_GROUND}, {{9, 0, -9}, -1, NON_GROUND}, {{9, 0, -9}, 3, NON_GROUND}};
  std::vector<PointPolarCoord> prototypes;
  remover.findPrototypePoints(points, 3, prototypes);
  ASSERT_EQ(prototypes.size(), 3u);
  EXPECT_EQ(std::make_pair(prototypes[0].range, prototypes[0].height), std::make_pair(1.0f, -1.0f));
  EXPECT_EQ(prototypes[1].range, 6.0f);
  EXPECT_EQ(prototypes[2].range, 8.0f);
  ASSERT_EQ(remover.getAllTracePoints().size(), 1u);
  EXPECT_EQ(remover.getAllTracePoints()[0].z, -3.0f);
}

::testing::Matcher<std::vector<float>> Near(const std::vector<float>& expected) {
  return ::testing::Pointwise(::testing::FloatNear(1e-5f), expected);
}
// Seven heights whose exact mean is the second of them, -1.03095937: the
// running mean rounds one unit of its last place above it, so with a bound of
// mean - 0 * deviation that point is a low outlier, and the prototype is the
// lowest height above it. A mean taken as sum / count would keep the point.
TEST_F(GroundRemovalTest, OutlierBoundIsTheRunningMeanToItsLastBit) {
  params_.outlier_sigma_factor = 0.0f;
  RemoveGroundLineFit remover(params_);
  const std::vector<float> heights = {-0.968846917f, -1.03095937f, -1.50191855f, -1.30926776f,
                                      -0.560000181f, -1.09307182f, -0.752650976f};
  StreamWelFord running;
  std::vector<STRU_SegmentedPoint> points;
  for (const float z : heights) {
    running.update(z);
    points.emplace_back(pcl::PointXYZ(static_cast<float>(points.size() + 1), 0.0f, z), 0,
                        NON_GROUND);
  }
  ASSERT_GT(running.getMean(), static_cast<double>(heights[1]));

  std::vector<PointPolarCoord> prototypes;
  remover.findPrototypePoints(points, 1, prototypes);
  ASSERT_EQ(prototypes.size(), 1u);
  EXPECT_EQ(prototypes[0].height, heights[0]);
  std::vector<float> trace;
  for (const pcl::PointXYZ& p : remover.getAllTracePoints()) trace.push_back(p.z);
  EXPECT_EQ(trace, (std::vector<float>{heights[1], heights[2], heights[3], heights[5]}));
}

TEST_F(GroundRemovalTest, LineFittingFlatStepRampAndSkippedSeed) {
  using ::testing::ElementsAre;
  EXPECT_THAT(Fit({{1, -1.5f}, {2, -1.5f}, {3, -1.5f}, {4, -1.5f}}),
              ElementsAre(Near({1, -1.5f, 0.1f, 4, -1.5f, 0.4f})));
  // Split at the third prototype; the fourth and fifth jump off the rest.
  EXPECT_THAT(Fit({{1, -1.5f}, {2, -1.5f}, {3, -1.5f}, {4, -0.5f}, {5, -0.5f}}),
              ElementsAre(Near({1, -1.5f, 0.1f, 3, -1.5f, 0.3f})));
  EXPECT_THAT(Fit({{1, -1.5f}, {2, -1.45f}, {3, -1.40f}, {4, -1.35f}, {5, -1.30f}}),
              ElementsAre(Near({1, -1.5f, 0.1f, 5, -1.3f, 0.5f})));
  // The first prototype lies 0.6 above the ground: the seed is the second.
  EXPECT_THAT(Fit({{1, -0.9f}, {2, -1.45f}, {3, -1.45f}, {4, -1.45f}}),
              ElementsAre(Near({2, -1.45f, 0.2f, 4, -1.45f, 0.4f})));
  EXPECT_THAT(Fit({{1, -1.25f}, {2, -1.75f}, {3, -1.0f}}), ::testing::IsEmpty());
}

// A rise of 0.25 per metre after a kink at range 3, at and around a max_slope
// of 0.25: the growing set needs a slope strictly below the limit, the rest
// after a split and a set closed by a jump may reach it.
TEST_F(GroundRemovalTest, AcceptanceTestsTreatEqualityDifferently) {
  const struct {
    float max_slope, last_height, split_distance, max_fit_error;
    std::size_t segments;
  } cases[] = {{0.25f, -0.75f, 0.1f, 0.05f, 1},  // growing set: strict
               {0.3f, -0.75f, 0.1f, 0.05f, 2},
               {0.25f, -0.3f, 0.3f, 0.1f, 2},  // rest after the split, closed by a jump
               {0.24f, -0.3f, 0.3f, 0.1f, 1}};
  for (const auto& c : cases) {
    params_.max_slope = c.max_slope;
    params_.split_distance = c.split_distance;
    params_.max_fit_error = c.max_fit_error;
    EXPECT_EQ(Fit({{1, -1.5f}, {2, -1.5f}, {3, -1.5f}, {4, -1.25f}, {5, -1.0f}, {6, c.last_height}})
                  .size(),
              c.segments)
        << c.max_slope << " " << c.last_height;
  }
}

// Chord from (0, 0) to (4, 2): slope 0.5, so (1, 1.5) and (2, 0) both lie
// 1 / sqrt(1.25) from it, (3, 1.5) on it.
TEST_F(GroundRemovalTest, SplitSearchKeepsTheFirstOfTheFarthestInteriorPoints) {
  const RemoveGroundLineFit remover(params_);
  const std::vector<PointPolarCoord> set = {
      {0, 0, 0}, {1, 1.5f, 0}, {2, 0, 0}, {3, 1.5f, 0}, {4, 2, 0}};
  const double farthest = 1.0 / std::sqrt(1.25);
  std::int32_t index = -1;
  double distance = std::numeric_limits<double>::min();
  remover.diluting(set, index, distance);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(distance, farthest);
  // A distance found before wins unless strictly exceeded.
  index = -1;
  remover.diluting(set, index, distance);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(distance, farthest);
  distance = std::nextafter(farthest, 0.0);
  remover.diluting(set, index, distance);
  EXPECT_EQ(index, 1);
}

TEST_F(GroundRemovalTest, ChordDistanceAndSegmentDistance) {
  const RemoveGroundLineFit chords(params_);
  // Ends 0.04 apart: vertical, the horizontal distance counts.
  EXPECT_DOUBLE_EQ(chords.point2LineDistance({3, 7, 0}, {1, 0, 0}, {1.04f, 5, 0}), 2.0);
  // Ends 1 apart on z = r - 1: the perpendicular distance 2 / sqrt(2).
  EXPECT_NEAR(chords.point2LineDistance({3, 0, 0}, {1, 0, 0}, {2, 1, 0}), std::sqrt(2.0), 1e-6);
  params_.bin_size = 0.2f;  // segments cover five bins, 1 m, beyond their ends
  const RemoveGroundLineFit remover(params_);
  const std::vector<STRU_Line> flat = {{2, -1.5f, 0, 6, -1.5f, 0}};
  EXPECT_NEAR(remover.point2LineSegmentDist({4, -1.3f, 0}, flat), 0.2, 1e-6);
  EXPECT_NEAR(remover.point2LineSegmentDist({6.9f, -1.7f, 0}, flat), -0.2, 1e-6);
  EXPECT_EQ(remover.point2LineSegmentDist({7.0f, -1.5f, 0}, flat),
            std::numeric_limits<float>::min());
  const std::vector<STRU_Line> sloped = {{2, -1.5f, 0, 6, -1.1f, 0}};
  EXPECT_NEAR(remover.point2LineSegmentDist({4, -1.0f, 0}, sloped), 0.3 / std::sqrt(1.01), 1e-6);
}

// Four sectors; ground in sectors 1 (previous) and 3 (next), the query at
// range 4 in sector 2, which has none.
TEST_F(GroundRemovalTest, NearerNeighbourSectorDecidesAndTheNextOneOnATie) {
  params_.sector_angle = 1.5707964f;
  params_.seed_max_above = 0.6f;
  const struct {
    float query_z;
    const Cloud* output;
  } cases[] = {{-1.4f, ground_.get()},   // previous, 0.1 away
               {-1.25f, below_.get()},   // tie: next, -0.25
               {-1.1f, ground_.get()}};  // next, 0.1 away
  for (const auto& c : cases) {
    Classify({{-kPi / 4, -1.5f}, {3 * kPi / 4, -1.0f}}, {AtAzimuth(kPi / 4, 4, c.query_z)});
    EXPECT_EQ(c.output->size(), 1u) << c.query_z;
    EXPECT_EQ(nonground_->size() + ground_->size() + below_->size(), 1u);
  }
}

// y = +0 on the negative x axis is sector 62, the last of 63, and y = -0
// sector 0: the two are not neighbours.
TEST_F(GroundRemovalTest, SectorsAtMinusAndPlusPiAreNotNeighbours) {
  Classify({{3.1f, -1.5f}}, {{-5.0f, 0.0f, -1.5f}, {-5.0f, -0.0f, -1.5f}});
  ASSERT_EQ(ground_->size(), 1u);
  EXPECT_FALSE(std::signbit((*ground_)[0].y));
  ASSERT_EQ(nonground_->size(), 1u);
  EXPECT_TRUE(std::signbit((*nonground_)[0].y));
}

TEST_F(GroundRemovalTest, HeightLimitsDecideWhatIsClassified) {
  params_.max_point_height = 2.0f;
  Classify({{0.3f, -1.5f}}, {AtAzimuth(0.3f, 5, 1.3f), AtAzimuth(0.3f, 5, 1.5f),
                             AtAzimuth(0.3f, 5, 2.5f), AtAzimuth(0.3f, 5, -1.5f)});
  // 1.5 skips the classification and so comes first; 2.5 goes nowhere.
  ASSERT_EQ(nonground_->size(), 2u);
  EXPECT_EQ((*nonground_)[0].z, 1.5f);
  EXPECT_EQ((*nonground_)[1].z, 1.3f);
  EXPECT_EQ(ground_->size(), 1u);
}

TEST_F(GroundRemovalTest, DegenerateCloudsGiveEmptyOutputs) {
  RemoveGroundLineFit remover(params_);
  for (const CloudPtr& input :
       {MakeCloud({{kNaN, 1, -1.5f}, {1, kInf, -1.5f}, {1, 1, -kInf}, {0, 0, 0}}), MakeCloud(),
        CloudPtr()}) {
    remover.set_input_cloud(input);
    EXPECT_TRUE(remover.getAllLineFitPoints().empty());
    remover.groundRemove(input, nonground_, ground_);
    EXPECT_TRUE(nonground_->empty() && ground_->empty());
  }
}

// A flat road 1.73 m below the sensor on a polar grid, with three boxes whose
// faces stand 0.4 m to 1.5 m above it: the road is ground, the boxes are not.
TEST_F(GroundRemovalTest, FlatPlaneWithBoxesIsSplitExactly) {
  auto cloud = PolarRoad(170);
  params_.outlier_sigma_factor = 2.0f;
  const std::size_t road_points = cloud->size();
  for (const auto& [x, y] : {std::pair{7.5f, 3.0f}, {-12.0f, -6.0f}, {5.0f, -10.0f}}) {
    for (int h = 0; h < 5; ++h) {
      for (int w = 0; w < 5; ++w) cloud->push_back({x, y - 0.5f + w * 0.25f, -1.33f + h * 0.275f});
    }
  }
  RemoveGroundLineFit(params_).groundRemove(cloud, nonground_, ground_);
  EXPECT_EQ(ground_->size(), road_points);
  ASSERT_EQ(nonground_->size(), 75u);
  for (const pcl::PointXYZ& p : *nonground_) EXPECT_GE(p.z, -1.34f);
  for (const pcl::PointXYZ& p : *ground_) EXPECT_EQ(p.z, -1.73f);
}

// The split against kept segments classifies the cloud as it stands at the
// call: also the deep near-zone points the fit left out, and points the
// caller moved in place after set_input_cloud.
TEST_F(GroundRemovalTest, KeptSplitClassifiesTheCloudAsItStandsAtTheCall) {
  auto cloud = PolarRoad(60);
  params_.near_zone_x_limit = 2.0f;
  params_.near_zone_depth = 0.3f;
  const std::size_t road_points = cloud->size();
  cloud->push_back({1.0f, 5.0f, -2.5f});  // 0.77 m under the road, close along x
  RemoveGroundLineFit remover(params_);
  remover.set_input_cloud(cloud);
  auto below_ground = MakeCloud();
  remover.groundRemove(cloud, nonground_, ground_, below_ground);
  EXPECT_EQ(ground_->size(), road_points);
  EXPECT_TRUE(nonground_->empty());
  ASSERT_EQ(below_ground->size(), 1u);
  EXPECT_EQ((*below_ground)[0].z, -2.5f);

  (*cloud)[100].z = -0.73f;   // a metre above the road
  (*cloud)[5000].z = -2.73f;  // a metre below it
  remover.groundRemove(cloud, nonground_, ground_, below_ground);
  EXPECT_EQ(ground_->size(), road_points - 2);
  ASSERT_EQ(nonground_->size(), 1u);
  EXPECT_EQ((*nonground_)[0].z, -0.73f);
  EXPECT_EQ(below_ground->size(), 2u);
}

// A remover given other parameters by assignment splits with them, also a
// cloud it fitted under its old ones: with the range window from 5.95 m only
// the 30 farther rings of the road are segmented.
TEST_F(GroundRemovalTest, AssignedRemoverSplitsWithItsNewParameters) {
  auto cloud = PolarRoad(60);
  RemoveGroundLineFit remover(params_);
  remover.set_input_cloud(cloud);
  params_.min_range = 5.95f;
  RemoveGroundLineFit far_only(params_);
  far_only.set_input_cloud(cloud);
  remover = far_only;
  auto below_ground = MakeCloud();
  remover.groundRemove(cloud, nonground_, ground_, below_ground);
  EXPECT_EQ(ground_->size(), 314u * 30u);
  EXPECT_TRUE(nonground_->empty());
  EXPECT_TRUE(below_ground->empty());
}

// Every point that passes the filter of the one-call overload lands,
// unchanged, in exactly one output.
TEST_F(GroundRemovalTest, RealFrameIsPartitionedIntoUnchangedInputPoints) {
  const auto path = larkspur::datasets::SharedDataPath("kitti_hdl64/velodyne/000000.bin");
  if (!path) GTEST_SKIP() << "shared data kitti_hdl64 not found";
  const CloudPtr frame = larkspur::datasets::ReadKittiBin(*path);
  params_.sector_angle = 0.02f;
  params_.max_range = 80.0f;
  params_.min_range = 2.5f;
  params_.ground_height = -1.73f;
  params_.seed_max_above = 0.6f;
  params_.seed_max_below = 0.6f;
  params_.near_zone_x_limit = 3.0f;
  params_.near_zone_depth = 0.5f;
  params_.max_point_height = 2.0f;
  Cloud expected;
  for (const pcl::PointXYZ& p : *frame) {
    const float r = std::sqrt(p.x * p.x + p.y * p.y);
    const bool in_window = r >= 2.5f && r <= 80.0f && !(p.x == 0 && p.y == 0 && p.z == 0);
    const bool deep_near = std::fabs(p.x) < 3.0f && -1.73f - p.z > 0.5f;
    const bool high = static_cast<double>(p.z) > 0.7 * 2.0;
    if (p.z <= 2.0f && (high || (in_window && !deep_near))) expected.push_back(p);
  }
  RemoveGroundLineFit(params_).groundRemove(frame, nonground_, ground_);
  EXPECT_GT(ground_->size(), frame->size() / 4);
  EXPECT_EQ(SortedPoints({nonground_.get(), ground_.get()}), SortedPoints({&expected}));
}

}  // namespace
}  // namespace kestrel::perception
