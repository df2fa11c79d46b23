#include "larkspur_perception_libs/camera_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;
using Msg = larkspur_protocol::msg::SemanticPointCloud;
using Xyz = std::vector<float>;
using ::testing::ElementsAre;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

CloudPtr MakeCloud(const std::vector<pcl::PointXYZ>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

Eigen::Matrix4f CameraAt(float x, float y, float z) {
  Eigen::Matrix4f extrinsic = Eigen::Matrix4f::Identity();
  // The rotation must not matter: only the translation is the position.
  extrinsic.topLeftCorner<3, 3>() << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  extrinsic.block<3, 1>(0, 3) << x, y, z;
  return extrinsic;
}

std::vector<Xyz> Columns(const FrameData& data) {
  std::vector<Xyz> columns;
  for (int i = 0; i < data.points.cols(); ++i) {
    columns.push_back({data.points(0, i), data.points(1, i), data.points(2, i)});
  }
  return columns;
}

std::vector<Xyz> Shape(const Msg& msg) {
  std::vector<Xyz> shape;
  for (const auto& p : msg.shape) shape.push_back({p.x, p.y, p.z});
  return shape;
}

pcl::PointXYZ Polar(float range, float angle, float z) {
  return {range * std::cos(angle), range * std::sin(angle), z};
}

Xyz AsXyz(const pcl::PointXYZ& p) { return {p.x, p.y, p.z}; }

// Runs first so that the registry is still as the library loaded it.
TEST(CameraFrameInstanceTest, StartsWithSixEmptySlotsAndGrowsOnLoad) {
  for (int id = -1; id <= 6; ++id) EXPECT_EQ(CameraFrameInstance::get(id), nullptr) << id;

  const Eigen::Matrix4f first = CameraAt(1, 2, 3);
  ASSERT_TRUE(CameraFrameInstance::load(9, first));
  for (int id = 6; id <= 8; ++id) EXPECT_EQ(CameraFrameInstance::get(id), nullptr) << id;
  EXPECT_EQ(CameraFrameInstance::get(10), nullptr);
  const std::shared_ptr<CameraFrame> before = CameraFrameInstance::get(9);
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(before->position(), Eigen::Vector3f(1, 2, 3));

  ASSERT_TRUE(CameraFrameInstance::load(9, CameraAt(4, 5, 6)));
  const std::shared_ptr<CameraFrame> after = CameraFrameInstance::get(9);
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after, before);
  EXPECT_EQ(after->position(), Eigen::Vector3f(4, 5, 6));
  EXPECT_EQ(before->position(), Eigen::Vector3f(1, 2, 3));
}

TEST(CameraFrameInstanceTest, RefusesIdsOutsideTheSlots) {
  const Eigen::Matrix4f extrinsic = CameraAt(1, 1, 1);
  for (const int id : {-1, std::numeric_limits<int>::min(), CameraFrameInstance::kMaxSlots,
                       std::numeric_limits<int>::max()}) {
    EXPECT_FALSE(CameraFrameInstance::load(id, extrinsic)) << id;
    EXPECT_EQ(CameraFrameInstance::get(id), nullptr) << id;
  }
  EXPECT_TRUE(CameraFrameInstance::load(CameraFrameInstance::kMaxSlots - 1, extrinsic));
}

TEST(CameraFrameInstanceTest, ConcurrentLoadsAndGetsSeeWholeFrames) {
  // Each id's frames carry the id as their x, so a torn or misplaced slot shows.
  constexpr int kFirstId = 100;
  constexpr int kIds = 64;
  constexpr int kThreads = 4;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 500; ++i) {
        // Ids rise, so loads keep growing the slots while others read them.
        const int id = kFirstId + (i * kIds / 500 + t) % kIds;
        if (t % 2 == 0 && !CameraFrameInstance::load(id, CameraAt(id, t, 0))) ++wrong;
        const auto frame = CameraFrameInstance::get(kFirstId + (i * 7 + t) % kIds);
        const int read_id = kFirstId + (i * 7 + t) % kIds;
        if (frame && frame->position().x() != static_cast<float>(read_id)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  for (int id = kFirstId; id < kFirstId + kIds; ++id) {
    const auto frame = CameraFrameInstance::get(id);
    ASSERT_NE(frame, nullptr) << id;
    EXPECT_EQ(frame->position().x(), static_cast<float>(id));
  }
}

TEST(FrameDataTest, ClearKeepsThePoints) {
  FrameData data;
  EXPECT_FALSE(data.valid);
  ASSERT_EQ(data.points.rows(), 3);
  ASSERT_EQ(data.points.cols(), 4);
  data.points(1, 2) = 7;
  data.valid = true;
  data.clear();
  EXPECT_FALSE(data.valid);
  EXPECT_EQ(data.points(1, 2), 7);
}

class CameraFrameTest : public ::testing::Test {
 protected:
  CameraFrame frame_{CameraAt(0, 0, 1.5f)};
  Msg msg_;
};

TEST_F(CameraFrameTest, NothingIsSentBeforeTheFirstCalculation) {
  msg_.header.frame_id = "base_link";
  msg_.shape.resize(2);
  msg_.shape[1].x = 5;
  EXPECT_FALSE(frame_.fillShapeToMsg(msg_));
  EXPECT_EQ(msg_.header.frame_id, "base_link");
  EXPECT_THAT(Shape(msg_), ElementsAre(Xyz{0, 0, 0}, Xyz{5, 0, 0}));
}

TEST_F(CameraFrameTest, CloudWithoutFinitePointGivesFourZeroPoints) {
  const CloudPtr clouds[] = {MakeCloud({}), nullptr, MakeCloud({{kNaN, 1, 1}, {1, 1, kNaN}})};
  for (const CloudPtr& cloud : clouds) {
    ASSERT_TRUE(frame_.calculate(MakeCloud({{3, 4, 5}})));
    EXPECT_TRUE(frame_.calculate(cloud));
    EXPECT_TRUE(frame_.data().valid);
    ASSERT_TRUE(frame_.fillShapeToMsg(msg_));
    EXPECT_THAT(Shape(msg_), ElementsAre(Xyz{0, 0, 0}, Xyz{0, 0, 0}, Xyz{0, 0, 0}, Xyz{0, 0, 0}));
  }
}

TEST_F(CameraFrameTest, FindsBearingAndDistanceExtremes) {
  // Bearings 0, -0.5, +0.5 rad relative to the first point; distances 2, 1, 3.
  const pcl::PointXYZ first = Polar(2, 0, 0.1f);
  const pcl::PointXYZ second = Polar(1, -0.5f, 0.2f);
  const pcl::PointXYZ third = Polar(3, 0.5f, 0.3f);
  ASSERT_TRUE(frame_.calculate(MakeCloud({first, second, third})));
  msg_.shape.resize(7);
  ASSERT_TRUE(frame_.fillShapeToMsg(msg_));
  EXPECT_THAT(Shape(msg_), ElementsAre(AsXyz(second), AsXyz(third), AsXyz(second), AsXyz(third)));
}

TEST_F(CameraFrameTest, BearingsAreSeenFromTheCameraDistancesFromTheOrigin) {
  // From the camera at (0, -10) the point at x = +1 lies clockwise of the
  // first point (0, 0), the one at x = -1 anticlockwise. Distances ignore z
  // and the camera: (0, 0, 100) is nearest.
  CameraFrame frame(CameraAt(0, -10, 0));
  ASSERT_TRUE(frame.calculate(MakeCloud({{0, 0, 100}, {1, 0, 0}, {-1, 0.5f, 0}})));
  EXPECT_THAT(Columns(frame.data()),
              ElementsAre(Xyz{1, 0, 0}, Xyz{-1, 0.5f, 0}, Xyz{0, 0, 100}, Xyz{-1, 0.5f, 0}));
}

TEST_F(CameraFrameTest, BearingsDoNotJumpBehindTheCamera) {
  // Either side of the -x axis: +3.0 rad and -3.0 rad, i.e. 3.28 rad when
  // unwrapped around the first point, which makes the second the largest.
  const pcl::PointXYZ first = Polar(2, 3.0f, 0);
  const pcl::PointXYZ second = Polar(2, -3.0f, 0);
  ASSERT_TRUE(frame_.calculate(MakeCloud({first, second})));
  const auto columns = Columns(frame_.data());
  EXPECT_EQ(columns[0], AsXyz(first));
  EXPECT_EQ(columns[1], AsXyz(second));
}

TEST_F(CameraFrameTest, EqualCandidatesKeepTheEarliestPoint) {
  ASSERT_TRUE(frame_.calculate(MakeCloud({{3, 4, 0}, {4, 3, 1}, {-5, 0, 2}})));
  const auto columns = Columns(frame_.data());
  EXPECT_EQ(columns[2], Xyz({3, 4, 0}));
  EXPECT_EQ(columns[3], Xyz({3, 4, 0}));
}

TEST_F(CameraFrameTest, EveryColumnIsRewrittenByEveryCalculation) {
  // After a wide cloud, one whose bearings only grow and whose distances
  // only fall from its first point: that point is both the smallest bearing
  // and the farthest point. A single point fills all four columns.
  ASSERT_TRUE(frame_.calculate(MakeCloud({Polar(9, -1, 0), Polar(1, 1, 0), Polar(20, 0, 0)})));
  const pcl::PointXYZ first = Polar(3, 0, 0.5f);
  const pcl::PointXYZ second = Polar(2, 0.1f, 0.5f);
  const pcl::PointXYZ third = Polar(1, 0.2f, 0.5f);
  ASSERT_TRUE(frame_.calculate(MakeCloud({first, second, third})));
  EXPECT_THAT(Columns(frame_.data()),
              ElementsAre(AsXyz(first), AsXyz(third), AsXyz(third), AsXyz(first)));

  ASSERT_TRUE(frame_.calculate(MakeCloud({{1, 2, 3}})));
  EXPECT_THAT(Columns(frame_.data()),
              ElementsAre(Xyz{1, 2, 3}, Xyz{1, 2, 3}, Xyz{1, 2, 3}, Xyz{1, 2, 3}));
}

TEST_F(CameraFrameTest, NonFinitePointsAreIgnored) {
  ASSERT_TRUE(frame_.calculate(MakeCloud({{kNaN, 0, 0}, {2, 0, 0}, {1, kNaN, 0}, {0, 1, 0}})));
  EXPECT_THAT(Columns(frame_.data()),
              ElementsAre(Xyz{2, 0, 0}, Xyz{0, 1, 0}, Xyz{0, 1, 0}, Xyz{2, 0, 0}));
}

}  // namespace
