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
using Xyz = std::vector<float>;
using ::testing::ElementsAre;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::shared_ptr<Cloud> MakeCloud(const std::vector<pcl::PointXYZ>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

// The rotation must not matter: only the translation is the position.
Eigen::Matrix4f CameraAt(float x, float y, float z) {
  Eigen::Matrix4f extrinsic = Eigen::Matrix4f::Identity();
  extrinsic.topLeftCorner<3, 3>() << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  extrinsic.block<3, 1>(0, 3) << x, y, z;
  return extrinsic;
}

// The four columns, smallest and largest bearing, nearest and farthest
// point, through a message whose shape held 7 points.
std::vector<Xyz> Shape(CameraFrame& frame) {
  larkspur_protocol::msg::SemanticPointCloud msg;
  msg.shape.resize(7);
  EXPECT_TRUE(frame.fillShapeToMsg(msg));
  std::vector<Xyz> shape;
  for (const auto& p : msg.shape) shape.push_back({p.x, p.y, p.z});
  return shape;
}

// Runs first so that the registry is still as the library loaded it.
TEST(CameraFrameInstanceTest, StartsWithSixEmptySlotsAndGrowsOnLoad) {
  for (int id = -1; id <= 6; ++id) EXPECT_EQ(CameraFrameInstance::get(id), nullptr) << id;
  ASSERT_TRUE(CameraFrameInstance::load(9, CameraAt(1, 2, 3)));
  for (int id = 6; id <= 8; ++id) EXPECT_EQ(CameraFrameInstance::get(id), nullptr) << id;
  EXPECT_EQ(CameraFrameInstance::get(10), nullptr);
  const std::shared_ptr<CameraFrame> before = CameraFrameInstance::get(9);
  ASSERT_NE(before, nullptr);
  ASSERT_TRUE(CameraFrameInstance::load(9, CameraAt(4, 5, 6)));
  EXPECT_EQ(CameraFrameInstance::get(9)->position(), Eigen::Vector3f(4, 5, 6));
  EXPECT_EQ(before->position(), Eigen::Vector3f(1, 2, 3));
  for (const int id : {-1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    EXPECT_FALSE(CameraFrameInstance::load(id, CameraAt(1, 1, 1))) << id;
    EXPECT_EQ(CameraFrameInstance::get(id), nullptr) << id;
  }
}

TEST(CameraFrameInstanceTest, ConcurrentLoadsAndGetsSeeWholeFrames) {
  // Each id's frames carry the id as their x, so a torn or misplaced slot shows.
  constexpr int kFirstId = 100;
  constexpr int kIds = 64;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 500; ++i) {
        // Ids rise, so loads keep growing the slots while others read them.
        const int id = kFirstId + (i * kIds / 500 + t) % kIds;
        if (t % 2 == 0 && !CameraFrameInstance::load(id, CameraAt(id, t, 0))) ++wrong;
        const int read_id = kFirstId + (i * 7 + t) % kIds;
        const auto frame = CameraFrameInstance::get(read_id);
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

TEST(CameraFrameTest, BearingAndDistanceExtremesFillAShapeOfFour) {
  // Bearings 0, -0.5, +0.5 rad relative to the first point; distances 2, 1, 3.
  const Xyz second = {std::cos(-0.5f), std::sin(-0.5f), 0.2f};
  const Xyz third = {3 * std::cos(0.5f), 3 * std::sin(0.5f), 0.3f};
  CameraFrame frame(CameraAt(0, 0, 1.5f));
  ASSERT_TRUE(frame.calculate(MakeCloud(
      {{2, 0, 0.1f}, {second[0], second[1], second[2]}, {third[0], third[1], third[2]}})));
  EXPECT_THAT(Shape(frame), ElementsAre(second, third, second, third));
}

TEST(CameraFrameTest, ColumnsFollowTheCameraAndAreRewrittenEveryTime) {
  // From the camera at (0, -10) the point at x = +1 lies clockwise of the
  // first point, the one at x = -1 anticlockwise; distances ignore z and the
  // camera, so (0, 0, 100) is nearest.
  CameraFrame frame(CameraAt(0, -10, 0));
  ASSERT_TRUE(frame.calculate(MakeCloud({{0, 0, 100}, {1, 0, 0}, {-1, 0.5f, 0}})));
  EXPECT_THAT(Shape(frame),
              ElementsAre(Xyz{1, 0, 0}, Xyz{-1, 0.5f, 0}, Xyz{0, 0, 100}, Xyz{-1, 0.5f, 0}));
  // Equal distances keep the earlier point; a non-finite point is skipped.
  ASSERT_TRUE(frame.calculate(MakeCloud({{3, 4, 0}, {kNaN, 0, 0}, {-5, 0, 2}})));
  EXPECT_THAT(Shape(frame), ElementsAre(Xyz{3, 4, 0}, Xyz{-5, 0, 2}, Xyz{3, 4, 0}, Xyz{3, 4, 0}));
  ASSERT_TRUE(frame.calculate(MakeCloud({{1, 2, 3}})));
  EXPECT_THAT(Shape(frame), ::testing::Each(Xyz{1, 2, 3}));
  // Nothing finite: four zero points.
  for (const auto& cloud : {MakeCloud({}), std::shared_ptr<Cloud>(), MakeCloud({{kNaN, 1, 1}})}) {
    EXPECT_TRUE(frame.calculate(cloud));
    EXPECT_THAT(Shape(frame), ElementsAre(Xyz{0, 0, 0}, Xyz{0, 0, 0}, Xyz{0, 0, 0}, Xyz{0, 0, 0}));
  }
}

}  // namespace
