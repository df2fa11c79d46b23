// Scoring of moving objects on hand-made frames whose counts are known: every
// labelled point counts, wherever the pipeline left it; a fixed set of frames
// is scored for every parameter set.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <memory>
#include <vector>

#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "moving_score.h"
#include "score.h"

namespace larkspur {
namespace replay {
namespace {

PointTruth Moving(bool moving) { return {Label::kNo, moving ? Label::kYes : Label::kNo}; }
PointTruth Unlabelled() { return {}; }

void Append(Cloud& cloud, float x) { cloud.points.emplace_back(x, 0.0f, 0.0f); }

Confusion Counts(std::int64_t tp, std::int64_t fp, std::int64_t fn, std::int64_t tn) {
  Confusion c;
  c.true_positive = tp;
  c.false_positive = fp;
  c.false_negative = fn;
  c.true_negative = tn;
  return c;
}

void ExpectCounts(const Confusion& actual, const Confusion& expected) {
  EXPECT_EQ(actual.true_positive, expected.true_positive);
  EXPECT_EQ(actual.false_positive, expected.false_positive);
  EXPECT_EQ(actual.false_negative, expected.false_negative);
  EXPECT_EQ(actual.true_negative, expected.true_negative);
}

// Points along x, one per fate (outputs are matched to inputs by their
// coordinates, so no two share one); the observable region is x < 5.
class HandMadeFrame : public testing::Test {
 protected:
  enum Fate { kGround, kDynamic, kStatic, kDropped };

  void Add(float x, PointTruth truth, Fate fate) {
    Append(*frame_.cloud, x);
    frame_.cloud_truth.push_back(truth);
    switch (fate) {
      case kGround:
        Append(*output_.ground, x);
        break;
      case kDynamic:
        Append(*output_.nonground, x);
        Append(*output_.dynamic, x);
        break;
      case kStatic:
        Append(*output_.nonground, x);
        Append(*output_.static_points, x);
        break;
      case kDropped:
        break;
    }
  }

  FrameScore Score() const {
    FrameOutput output;
    output.cloud = output_;
    ObservableRegions observable;
    observable.cloud = [](float x, float) { return x < 5.0f; };
    return ScoreFrame(frame_, output, observable);
  }

  Frame frame_ = [] {
    Frame f;
    f.cloud = std::make_shared<Cloud>();
    return f;
  }();
  CloudOutput output_;
};

TEST_F(HandMadeFrame, GroundAndDroppedMovingPointsAreMissesAndUnlabelledPointsAreLeftOut) {
  Add(1, Moving(true), kDynamic);   // found
  Add(2, Moving(true), kStatic);    // missed by the detector
  Add(3, Moving(false), kDynamic);  // false alarm
  Add(4, Moving(true), kGround);    // missed: taken for ground
  Add(6, Moving(true), kDropped);   // missed: dropped by the ground removal
  Add(7, Moving(false), kStatic);
  Add(8, Moving(false), kGround);
  Add(9, Moving(false), kDropped);
  Add(1.5f, Unlabelled(), kDynamic);
  Add(9.5f, Unlabelled(), kStatic);
  const FrameScore score = Score();

  ExpectCounts(score.moving_points, Counts(1, 1, 3, 3));
  EXPECT_DOUBLE_EQ(*score.moving_points.iou(), 1.0 / 5.0);
  EXPECT_DOUBLE_EQ(*score.moving_points.precision(), 1.0 / 2.0);
  EXPECT_DOUBLE_EQ(*score.moving_points.recall(), 1.0 / 4.0);
  // Observable (x < 5): the first four labelled points.
  ExpectCounts(score.moving_points_observable, Counts(1, 1, 2, 0));
  // The non-ground score sees only what reached the detector.
  ExpectCounts(score.dynamic_points, Counts(1, 1, 1, 1));
}

TEST_F(HandMadeFrame, NothingMovingNorPredictedLeavesTheRatiosUndefined) {
  Add(1, Moving(false), kStatic);
  Add(2, Moving(false), kGround);
  const FrameScore score = Score();
  ExpectCounts(score.moving_points, Counts(0, 0, 0, 2));
  EXPECT_FALSE(score.moving_points.iou());
  EXPECT_FALSE(score.moving_points.precision());
  EXPECT_FALSE(score.moving_points.recall());
}

// A fresh detector on a 4 m grid believes every cell free (-1): whatever
// lands inside the grid is dynamic, whatever lies outside is static, and
// only the camera's footprint is observable.
TEST(MovingScoreOnDetector, PointsOutsideTheGridAreStaticAndUnobservable) {
  YAML::Node config;
  config["resolution"] = 0.1;
  config["width"] = 4;
  config["occupancy_threshold"] = 0.0;
  config["log_odds_obstacle"] = 0.2;
  config["log_odds_occlusion"] = 0.0;
  config["log_odds_free_space"] = -0.4;
  kestrel::perception::DynamicCloudDetector detector(config);
  kestrel::perception::CameraInfo camera;
  camera.width = 640;
  camera.height = 480;
  camera.intrinsic << 320, 0, 320, 0, 320, 240, 0, 0, 1;
  // Looking along +x from the origin: the footprint is the triangle
  // (0, 0), (5, 5), (5, -5), cut by the grid at x = 2.
  camera.extrinsic << 0, 0, 1, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 1;
  detector.Init(camera);

  Frame frame;
  frame.cloud = std::make_shared<Cloud>();
  const struct {
    float x, y;
    bool moving;
  } points[] = {
      {1.05f, 0.05f, true},    // in the footprint: found
      {-1.05f, 0.05f, true},   // behind the camera: found, not observable
      {-1.55f, 1.05f, false},  // behind the camera: false alarm, not observable
      {30.0f, 0.0f, true},     // outside the grid: static, missed
      {0.0f, -30.0f, false},   // outside the grid: static
  };
  for (const auto& p : points) {
    frame.cloud->points.emplace_back(p.x, p.y, 0.5f);
    frame.cloud_truth.push_back(Moving(p.moving));
  }
  FrameOutput output;
  output.cloud.emplace();
  *output.cloud->nonground = *frame.cloud;
  detector.Update(output.cloud->nonground, Eigen::Matrix4f::Identity(), false);
  detector.DivideCloud(output.cloud->nonground, output.cloud->dynamic, output.cloud->static_points);
  ObservableRegions observable;
  observable.cloud = [&](float x, float y) { return detector.IsInRoi(x, y); };
  const FrameScore score = ScoreFrame(frame, output, observable);

  ExpectCounts(score.moving_points, Counts(2, 1, 1, 1));
  ExpectCounts(score.moving_points_observable, Counts(1, 0, 0, 0));
}

TEST(MovingTallyTest, ScoresFixedFramesAndTalliesTheOwnWarmUpApart) {
  MovingTally tally("points", 2);
  // Frames 0-6: frame 2 has no truth; each frame finds 1 of 2 moving points
  // and raises frame-number false alarms.
  for (std::size_t frame = 0; frame < 7; ++frame) {
    const auto f = static_cast<std::int64_t>(frame);
    const Confusion counts = frame == 2 ? Confusion{} : Counts(1, f, 1, 10);
    tally.Add(frame, counts, Counts(1, 0, 0, 0));
  }
  // Scored: frames 4, 5 and 6.
  EXPECT_EQ(tally.scored_frames(), 3u);
  ExpectCounts(tally.all(), Counts(3, 15, 3, 30));
  ExpectCounts(tally.observable(), Counts(3, 0, 0, 0));
  EXPECT_DOUBLE_EQ(*tally.all().iou(), 3.0 / 21.0);
  EXPECT_DOUBLE_EQ(*tally.phantoms_per_frame(), 5.0);
  // After the own warm-up of two frames: frames 3 to 6 (2 has no truth).
  EXPECT_EQ(tally.after_warmup_frames(), 4u);
  ExpectCounts(tally.after_warmup(), Counts(4, 18, 4, 40));
  // Every frame with truth is kept for the plot, scored or not.
  ASSERT_EQ(tally.frames().size(), 6u);
  EXPECT_EQ(tally.frames().front().frame, 0u);
}

TEST(MovingTallyTest, ARecordingStartedLateIsScoredByFrameIndexAndWarmsUpByFramesSeen) {
  MovingTally tally("beams", 3);
  for (std::size_t frame = 3; frame < 6; ++frame) tally.Add(frame, Counts(1, 1, 0, 0), {});
  EXPECT_EQ(tally.scored_frames(), 2u);        // frames 4 and 5
  EXPECT_EQ(tally.after_warmup_frames(), 0u);  // three frames seen: all warm-up
  EXPECT_DOUBLE_EQ(*tally.phantoms_per_frame(), 1.0);
}

TEST(MovingTallyTest, NoScoredFrameGivesNoPhantomRate) {
  MovingTally tally("points", 0);
  tally.Add(0, Counts(1, 1, 0, 0), {});
  EXPECT_EQ(tally.scored_frames(), 0u);
  EXPECT_FALSE(tally.phantoms_per_frame());
  EXPECT_TRUE(tally.AccuracyRows("moving_points").empty());
}

}  // namespace
}  // namespace replay
}  // namespace larkspur
