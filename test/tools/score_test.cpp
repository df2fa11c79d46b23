// Scoring of the replay tool: output clouds are matched back to input points
// by coordinates, beams by the dynamic scan's marker, and medians and
// warm-up frames are counted as the summary states.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

#include "report.h"
#include "score.h"
#include "sources.h"

namespace larkspur {
namespace replay {
namespace {

constexpr PointTruth kGround{Label::kYes, Label::kNo};
constexpr PointTruth kStatic{Label::kNo, Label::kNo};
constexpr PointTruth kMoving{Label::kNo, Label::kYes};
constexpr PointTruth kUnlabelled{Label::kUnknown, Label::kUnknown};

std::shared_ptr<Cloud> MakeCloud(std::initializer_list<pcl::PointXYZ> points) {
  auto cloud = std::make_shared<Cloud>();
  for (const auto& p : points) cloud->points.push_back(p);
  return cloud;
}

TEST(ScoreTest, MatchesDuplicatePointsOneToOne) {
  // Two identical ground points of which the remover put one in the ground
  // cloud: one is found, the other counts as missed.
  Frame frame;
  frame.cloud = MakeCloud({{1, 0, -1}, {1, 0, -1}, {2, 0, 0.5}, {3, 0, 0.5}, {4, 0, 9}});
  frame.cloud_truth = {kGround, kGround, kStatic, kMoving, kUnlabelled};
  FrameOutput output;
  output.cloud.emplace();
  output.cloud->ground = MakeCloud({{1, 0, -1}});
  output.cloud->nonground = MakeCloud({{2, 0, 0.5}, {3, 0, 0.5}});
  output.cloud->dynamic = MakeCloud({{2, 0, 0.5}, {3, 0, 0.5}});
  output.cloud->static_points = MakeCloud({});

  const FrameScore score = ScoreFrame(frame, output);
  // Ground: 4 labelled points; 1 of the 2 ground points found; the dropped
  // duplicate counts as predicted non-ground.
  EXPECT_EQ(score.ground.true_positive, 1);
  EXPECT_EQ(score.ground.false_negative, 1);
  EXPECT_EQ(score.ground.false_positive, 0);
  EXPECT_EQ(score.ground.true_negative, 2);
  // Dynamic: over the two non-ground points only.
  EXPECT_EQ(score.dynamic_points.true_positive, 1);
  EXPECT_EQ(score.dynamic_points.false_positive, 1);
  EXPECT_EQ(score.dynamic_points.scored(), 2);
  EXPECT_DOUBLE_EQ(*score.dynamic_points.precision(), 0.5);
  EXPECT_DOUBLE_EQ(*score.dynamic_points.recall(), 1.0);
}

TEST(ScoreTest, BeamsScoredUpToTheClassifiedCount) {
  Frame frame;
  frame.scan = std::make_shared<sensor_msgs::msg::LaserScan>();
  frame.scan->angle_min = 0.0f;
  frame.scan->angle_increment = 0.5f;
  frame.scan->angle_max = 1.5f;  // three classified beams of the four readings
  frame.scan->ranges = {1.0f, 2.0f, 3.0f, 4.0f};
  frame.scan_truth = {kMoving, kStatic, PointTruth{}, kMoving};
  FrameOutput output;
  output.scan.emplace();
  const float marker = std::numeric_limits<float>::max();
  output.scan->dynamic_scan->ranges = {1.0f, 2.0f, marker, 4.0f};
  EXPECT_EQ(ClassifiedBeams(*frame.scan), 3u);
  const FrameScore score = ScoreFrame(frame, output);
  EXPECT_EQ(score.dynamic_beams.true_positive, 1);
  EXPECT_EQ(score.dynamic_beams.false_positive, 1);
  EXPECT_EQ(score.dynamic_beams.scored(), 2);
}

TEST(ScoreTest, NoBeamsForDegenerateGeometry) {
  sensor_msgs::msg::LaserScan scan;
  scan.ranges = {1.0f, 2.0f};
  scan.angle_increment = 0.0f;
  EXPECT_EQ(ClassifiedBeams(scan), 0u);
  scan.angle_increment = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(ClassifiedBeams(scan), 0u);
  scan.angle_increment = 1e-30f;
  scan.angle_max = 1.0f;
  EXPECT_EQ(ClassifiedBeams(scan), 2u);  // bounded by the readings present
}

TEST(ReportTest, MedianOfOddEvenAndEmpty) {
  EXPECT_EQ(Median({3.0, 1.0, 2.0}), 2.0);
  EXPECT_EQ(Median({4.0, 1.0, 3.0, 2.0}), 2.5);
  EXPECT_FALSE(Median({}).has_value());
}

TEST(ReportTest, DynamicScoringSkipsTheWarmUpFrames) {
  const std::string csv = ::testing::TempDir() + "report_test_frames.csv";
  Report report(csv, 2, 0);
  for (std::size_t i = 0; i < 3; ++i) {
    FrameRow row;
    row.frame = i;
    row.points = 10.0;
    row.score.dynamic_points.Add(Label::kNo, true);  // one false positive per frame
    row.score.ground.Add(Label::kYes, true);
    report.Add(row);
  }
  // Frames 0 and 1 are the warm-up: one frame's false positive is scored;
  // the ground is scored on all three.
  EXPECT_NE(report.AccuracyCsv().find("dynamic_points,0.0000,,0,1,0,1"), std::string::npos)
      << report.AccuracyCsv();
  EXPECT_NE(report.AccuracyCsv().find("ground,1.0000,1.0000,3,0,0,3"), std::string::npos)
      << report.AccuracyCsv();
  std::remove(csv.c_str());
}

}  // namespace
}  // namespace replay
}  // namespace larkspur
