// Moving-beam truth of a laser at rest, on a synthetic recording: a static
// room, and a person crossing it in front of the laser.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "laser_truth.h"

namespace larkspur {
namespace replay {
namespace {

using Scan = sensor_msgs::msg::LaserScan;

constexpr int kScans = 100;
constexpr int kBeams = 90;
constexpr float kWall = 4.0f;

// The room: every beam reads the wall at 4 m. The person: 1.5 m from the
// laser, three beams wide, one beam further on each scan from scan 20 to 79,
// so that no beam sees them in more than 3 of the 100 scans.
class CrossingPerson : public testing::Test {
 protected:
  CrossingPerson() : scans_(kScans) {
    for (int k = 0; k < kScans; ++k) {
      Scan& scan = scans_[k];
      scan.angle_min = -1.5f;
      scan.angle_increment = 0.03f;
      scan.angle_max = scan.angle_min + (kBeams - 1) * scan.angle_increment;
      scan.range_min = 0.05f;
      scan.range_max = 10.0f;
      scan.ranges.assign(kBeams, kWall);
      if (k >= 20 && k < 80) {
        for (int b = k - 20; b < k - 17; ++b) Set(k, b, 1.5f, true);
      }
    }
  }

  // Reading `r` for beam `b` of scan `k`, and whether it is moving.
  void Set(int k, int b, float r, bool moving) {
    scans_[k].ranges[b] = r;
    if (moving)
      expected_.insert({k, b});
    else
      expected_.erase({k, b});
  }

  std::vector<std::vector<PointTruth>> Truth(const BackgroundRule& rule = {}) const {
    std::vector<const Scan*> pointers;
    for (const Scan& scan : scans_) pointers.push_back(&scan);
    return BackgroundTruth(pointers, rule);
  }

  void ExpectTruth() const {
    const auto truth = Truth();
    ASSERT_EQ(truth.size(), static_cast<std::size_t>(kScans));
    for (int k = 0; k < kScans; ++k) {
      ASSERT_EQ(truth[k].size(), static_cast<std::size_t>(kBeams));
      for (int b = 0; b < kBeams; ++b) {
        const Label expected = expected_.count({k, b}) ? Label::kYes : Label::kNo;
        EXPECT_EQ(truth[k][b].moving, expected) << "scan " << k << " beam " << b;
        EXPECT_EQ(truth[k][b].ground, Label::kUnknown);
      }
    }
  }

  std::vector<Scan> scans_;
  std::set<std::pair<int, int>> expected_;
};

TEST_F(CrossingPerson, OnlyThePersonIsMoving) {
  std::vector<const Scan*> pointers;
  for (const Scan& scan : scans_) pointers.push_back(&scan);
  for (const float background : BackgroundRanges(pointers, {})) EXPECT_EQ(background, kWall);
  EXPECT_EQ(expected_.size(), 180u);
  ExpectTruth();
}

TEST_F(CrossingPerson, InvalidReadingsAreNeverMoving) {
  const float inf = std::numeric_limits<float>::infinity();
  Set(30, 11, inf, false);  // where the person stands: no return
  Set(31, 12, std::numeric_limits<float>::quiet_NaN(), false);
  Set(32, 13, 0.01f, false);  // below range_min
  Set(50, 0, inf, false);
  ExpectTruth();
}

TEST_F(CrossingPerson, OnlyReadingsShorterThanTheMarginBeforeTheWallAreMoving) {
  // The wall at 4 m and the 0.3 m margin: 3.69 m is in front of it, 3.75 m
  // (say, feet close to the wall) is not.
  Set(5, 80, 3.69f, true);
  Set(6, 80, 3.75f, false);
  ExpectTruth();
}

TEST_F(CrossingPerson, APersonStandingMostOfTheRecordingStaysMovingUntilTheWallIsRarelySeen) {
  // Beam 85: a person stands 2 m away in 89 of 100 scans; the wall, seen in
  // 11, still is the 90th percentile.
  for (int k = 0; k < 89; ++k) Set(k, 85, 2.0f, true);
  ExpectTruth();
  // In 91 of 100 scans the person becomes the background: nothing moves.
  for (int k = 89; k < 91; ++k) Set(k, 85, 2.0f, true);
  for (int k = 0; k < 91; ++k) Set(k, 85, 2.0f, false);
  ExpectTruth();
}

TEST_F(CrossingPerson, ABeamWithoutAnyReturnHasNoBackground) {
  for (int k = 0; k < kScans; ++k) Set(k, 89, std::numeric_limits<float>::infinity(), false);
  std::vector<const Scan*> pointers;
  for (const Scan& scan : scans_) pointers.push_back(&scan);
  EXPECT_TRUE(std::isnan(BackgroundRanges(pointers, {}).at(89)));
  ExpectTruth();
}

TEST(BackgroundRangesTest, ScansOfDifferentLengthsAndAnEmptyRecording) {
  EXPECT_TRUE(BackgroundRanges({}, {}).empty());
  EXPECT_TRUE(BackgroundTruth({}, {}).empty());
  Scan short_scan, long_scan;
  for (Scan* s : {&short_scan, &long_scan}) {
    s->range_min = 0.0f;
    s->range_max = 10.0f;
  }
  short_scan.ranges = {1.0f};
  long_scan.ranges = {2.0f, 3.0f};
  // Nearest rank of the 90th percentile: the larger of two readings.
  const std::vector<float> background = BackgroundRanges({&short_scan, &long_scan}, {});
  ASSERT_EQ(background.size(), 2u);
  EXPECT_EQ(background[0], 2.0f);
  EXPECT_EQ(background[1], 3.0f);
  const auto truth = BackgroundTruth({&short_scan, &long_scan}, {});
  EXPECT_EQ(truth[0][0].moving, Label::kYes);  // 1 m < 2 m - 0.3 m
  EXPECT_EQ(truth[1][0].moving, Label::kNo);
}

}  // namespace
}  // namespace replay
}  // namespace larkspur
