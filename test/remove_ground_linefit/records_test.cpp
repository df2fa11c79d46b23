#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace kestrel {
namespace perception {
namespace {

TEST(GroundRemovalRecords, ParamsAreEighteenFourByteFieldsInOrder) {
  EXPECT_EQ(sizeof(GroundRemovalParams), 72u);
  EXPECT_EQ(offsetof(GroundRemovalParams, sector_angle), 0u);
  EXPECT_EQ(offsetof(GroundRemovalParams, bin_size), 12u);
  EXPECT_EQ(offsetof(GroundRemovalParams, reserved_1), 24u);
  EXPECT_EQ(offsetof(GroundRemovalParams, ground_distance_threshold), 40u);
  EXPECT_EQ(offsetof(GroundRemovalParams, reserved_2), 44u);
  EXPECT_EQ(offsetof(GroundRemovalParams, max_point_height), 60u);
  EXPECT_EQ(offsetof(GroundRemovalParams, outlier_sigma_factor), 68u);
  EXPECT_EQ(sizeof(POINT_TYPE), 4u);
  EXPECT_EQ(static_cast<int>(BELOW_GROUND), 2);
}

TEST(GroundRemovalRecords, LineConstructorTakesEachAngleAfterItsHeight) {
  const STRU_Line line(1, 2, 3, 4, 5, 6);
  EXPECT_EQ(line.start_range, 1);
  EXPECT_EQ(line.start_height, 2);
  EXPECT_EQ(line.end_range, 4);
  EXPECT_EQ(line.end_height, 5);
  EXPECT_EQ(line.start_angle, 3);
  EXPECT_EQ(line.end_angle, 6);
}

TEST(StreamWelFordTest, FewerThanTwoValuesHaveNoSpread) {
  StreamWelFord stats;
  EXPECT_EQ(stats.getVariance(), 0.0);
  stats.update(2.5);
  EXPECT_EQ(stats.getMean(), 2.5);
  EXPECT_EQ(stats.getVariance(), 0.0);
  EXPECT_EQ(stats.getStddev(), 0.0);
}

// The innovation is squared against the mean before the update: 1 + 4.
TEST(StreamWelFordTest, VarianceOfOneAndThreeIsFive) {
  StreamWelFord stats;
  stats.update(1.0);
  stats.update(3.0);
  EXPECT_EQ(stats.getCount(), 2u);
  EXPECT_EQ(stats.getMean(), 2.0);
  EXPECT_EQ(stats.getVariance(), 5.0);
  EXPECT_NEAR(stats.getStddev(), 2.2360680, 1e-6);
}

GroundRemovalParams ValidParams() {
  GroundRemovalParams params;
  params.sector_angle = 0.1f;
  params.min_range = 2.0f;
  params.max_range = 30.0f;
  params.bin_size = 0.3f;
  return params;
}

TEST(RemoveGroundLineFitTest, FreshRemoverHasNoSegmentsAndNoTracePoints) {
  const std::unique_ptr<RemoveGroundFramework> remover =
      std::make_unique<RemoveGroundLineFit>(ValidParams());
  EXPECT_TRUE(remover->getAllLineFitPoints().empty());
  EXPECT_TRUE(remover->getAllTracePoints().empty());
}

struct BadParams {
  const char* field;
  void (*spoil)(GroundRemovalParams&);
};

class ConstructorValidation : public ::testing::TestWithParam<BadParams> {};

TEST_P(ConstructorValidation, ThrowsNamingTheField) {
  GroundRemovalParams params = ValidParams();
  GetParam().spoil(params);
  try {
    RemoveGroundLineFit remover(params);
    FAIL() << "accepted parameters without a defined result";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().field), std::string::npos) << error.what();
  }
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    BadGeometry, ConstructorValidation,
    ::testing::Values(
        BadParams{"sector_angle", [](GroundRemovalParams& p) { p.sector_angle = 0.0f; }},
        BadParams{"sector_angle", [](GroundRemovalParams& p) { p.sector_angle = -0.1f; }},
        BadParams{"sector_angle", [](GroundRemovalParams& p) { p.sector_angle = kNaN; }},
        BadParams{"sector_angle", [](GroundRemovalParams& p) { p.sector_angle = kInf; }},
        // 2 pi / 1e-5 is about 628,000 sectors.
        BadParams{"sector_angle", [](GroundRemovalParams& p) { p.sector_angle = 1e-5f; }},
        BadParams{"bin_size", [](GroundRemovalParams& p) { p.bin_size = 0.0f; }},
        BadParams{"bin_size", [](GroundRemovalParams& p) { p.bin_size = kNaN; }},
        // 28 m in bins of 0.1 mm: 280,001 bins.
        BadParams{"bin_size", [](GroundRemovalParams& p) { p.bin_size = 1e-4f; }},
        BadParams{"bin_size", [](GroundRemovalParams& p) { p.max_range = kInf; }},
        BadParams{"max_range", [](GroundRemovalParams& p) { p.max_range = p.min_range; }},
        BadParams{"max_range", [](GroundRemovalParams& p) { p.max_range = 1.0f; }},
        BadParams{"max_range", [](GroundRemovalParams& p) { p.min_range = kNaN; }}));

}  // namespace
}  // namespace perception
}  // namespace kestrel
