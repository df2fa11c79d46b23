#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "larkspur_perception_libs/remove_ground_linefit.h"
#include "logger.h"

namespace kestrel {
namespace perception {
namespace {

// The logger reads its level once, at the first statement of the process.
const int kDebugLevel = setenv("SPDLOG_LEVEL", "debug", 1);

// Keeps the function name and text of every statement.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> functions;
  std::vector<std::string> texts;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    functions.emplace_back(msg.source.funcname);
    texts.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}
};

struct RangeHeight {
  float r;
  float z;
};

class LineFittingTest : public ::testing::Test {
 protected:
  LineFittingTest() {
    params_.sector_angle = 0.1f;
    params_.max_range = 10.0f;
    params_.bin_size = 0.5f;
    params_.ground_height = -1.5f;
    params_.seed_max_above = 0.2f;
    params_.seed_max_below = 0.2f;
    params_.split_distance = 0.1f;
    params_.max_fit_error = 0.05f;
    params_.max_slope = 0.2f;
    params_.max_height_jump = 0.3f;
  }

  void SetUp() override {
    ASSERT_EQ(kDebugLevel, 0);
    larkspur::Logger::Instance().GetLogger()->sinks().push_back(sink_);
  }
  void TearDown() override { larkspur::Logger::Instance().GetLogger()->sinks().pop_back(); }

  // Prototypes with the azimuth 0.1 * (index + 1), to tell the ends apart.
  std::vector<STRU_Line> Fit(const std::vector<RangeHeight>& points) const {
    std::vector<PointPolarCoord> prototypes;
    for (const RangeHeight& p : points) {
      prototypes.emplace_back(p.r, p.z, 0.1f * static_cast<float>(prototypes.size() + 1));
    }
    std::vector<STRU_Line> lines;
    RemoveGroundLineFit(params_).incrementalLineFitting(prototypes, lines);
    return lines;
  }

  GroundRemovalParams params_;
  std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
};

void ExpectLine(const STRU_Line& line, float start_range, float start_height, float end_range,
                float end_height) {
  EXPECT_FLOAT_EQ(line.start_range, start_range);
  EXPECT_NEAR(line.start_height, start_height, 1e-5);
  EXPECT_FLOAT_EQ(line.end_range, end_range);
  EXPECT_NEAR(line.end_height, end_height, 1e-5);
}

TEST_F(LineFittingTest, FlatGroundGivesOneSegmentWithTheEndAzimuths) {
  const auto lines = Fit({{1, -1.5f}, {2, -1.5f}, {3, -1.5f}, {4, -1.5f}});
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], 1, -1.5f, 4, -1.5f);
  EXPECT_FLOAT_EQ(lines[0].start_angle, 0.1f);
  EXPECT_FLOAT_EQ(lines[0].end_angle, 0.4f);
}

TEST_F(LineFittingTest, StepSplitsAtTheKinkAndDropsTheJumpingPrototypes) {
  const auto lines = Fit({{1, -1.5f}, {2, -1.5f}, {3, -1.5f}, {4, -0.5f}, {5, -0.5f}});
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], 1, -1.5f, 3, -1.5f);
  EXPECT_FLOAT_EQ(lines[0].end_angle, 0.3f);
}

TEST_F(LineFittingTest, HighFirstPrototypeIsSkippedAndTheSeedHeightLogged) {
  const auto lines = Fit({{1, -0.9f}, {2, -1.45f}, {3, -1.45f}, {4, -1.45f}});
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], 2, -1.45f, 4, -1.45f);
  ASSERT_EQ(sink_->texts.size(), 1u);
  EXPECT_EQ(sink_->functions[0], "incrementalLineFitting");
  const std::string text = sink_->texts[0];
  const std::string expected = "[DEBUG] f_current_ground_height: -1.45";
  ASSERT_GE(text.size(), expected.size());
  EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
}

TEST_F(LineFittingTest, NoPrototypeNearTheGroundGivesNoSegmentAndNoLog) {
  EXPECT_TRUE(Fit({{1, -1.25f}, {2, -1.75f}, {3, -1.0f}}).empty());
  EXPECT_TRUE(sink_->texts.empty());
}

TEST_F(LineFittingTest, GentleRampIsOneSegment) {
  const auto lines = Fit({{1, -1.5f}, {2, -1.45f}, {3, -1.40f}, {4, -1.35f}, {5, -1.30f}});
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], 1, -1.5f, 5, -1.3f);
}

// A growing set must stay strictly below max_slope: the rise of 0.25 per unit
// range after the kink at range 3 is only kept when the limit exceeds it.
TEST_F(LineFittingTest, GrowingSetNeedsSlopeStrictlyBelowTheLimit) {
  const std::vector<RangeHeight> prototypes = {{1, -1.5f},  {2, -1.5f}, {3, -1.5f},
                                               {4, -1.25f}, {5, -1.0f}, {6, -0.75f}};
  params_.max_slope = 0.25f;
  ASSERT_EQ(Fit(prototypes).size(), 1u);
  params_.max_slope = 0.3f;
  const auto lines = Fit(prototypes);
  ASSERT_EQ(lines.size(), 2u);
  ExpectLine(lines[1], 3, -1.5f, 6, -0.75f);
}

// The rest after a split and a set closed by a jump may reach max_slope: the
// prototype at range 6 splits the set at range 3 and then jumps off the rest.
TEST_F(LineFittingTest, RestAfterSplitAndSetClosedByJumpMayReachTheSlopeLimit) {
  const std::vector<RangeHeight> prototypes = {{1, -1.5f},  {2, -1.5f}, {3, -1.5f},
                                               {4, -1.25f}, {5, -1.0f}, {6, -0.3f}};
  params_.split_distance = 0.3f;
  params_.max_fit_error = 0.1f;
  params_.max_slope = 0.25f;
  const auto lines = Fit(prototypes);
  ASSERT_EQ(lines.size(), 2u);
  ExpectLine(lines[0], 1, -1.5f, 3, -1.5f);
  ExpectLine(lines[1], 3, -1.5f, 5, -1.0f);
  params_.max_slope = 0.24f;
  EXPECT_EQ(Fit(prototypes).size(), 1u);
}

TEST_F(LineFittingTest, PointToLineDistanceTreatsNarrowChordsAsVertical) {
  const RemoveGroundLineFit remover(params_);
  EXPECT_DOUBLE_EQ(remover.point2LineDistance({3, 7, 0}, {1, 0, 0}, {1.04f, 5, 0}), 2.0);
  // Chord z = r - 1: distance 2 / sqrt(2).
  EXPECT_NEAR(remover.point2LineDistance({3, 0, 0}, {1, 0, 0}, {2, 1, 0}), std::sqrt(2.0), 1e-6);
}

TEST_F(LineFittingTest, LeastSquareFitOverAPrefix) {
  const RemoveGroundLineFit remover(params_);
  const std::vector<PointPolarCoord> points = {{1, 1, 0}, {3, 2, 0}, {5, 6, 0}};
  float intercept = 0.0f;
  float slope = 0.0f;
  remover.leastSquareFit(points, 1, intercept, slope);
  EXPECT_FLOAT_EQ(slope, 0.5f);
  EXPECT_FLOAT_EQ(intercept, 0.5f);
  remover.leastSquareFit(points, 2, intercept, slope);
  EXPECT_FLOAT_EQ(slope, 1.25f);  // s_rz 10 / s_rr 8
  EXPECT_FLOAT_EQ(intercept, 3.0f - 1.25f * 3.0f);

  const std::vector<PointPolarCoord> stacked = {{2, 1, 0}, {2, 3, 0}};
  remover.leastSquareFit(stacked, 1, intercept, slope);
  EXPECT_EQ(slope, std::numeric_limits<float>::max());
  EXPECT_EQ(intercept, std::numeric_limits<float>::max());
  EXPECT_THROW(remover.leastSquareFit(stacked, 2, intercept, slope), std::out_of_range);
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
