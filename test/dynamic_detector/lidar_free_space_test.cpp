// DynamicCloudDetector's LiDAR free-space mode: the cells a virtual scan frees,
// a ray-cast street corner with a crossing and a parked box, fresh grids and
// configuration errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = DynamicCloudDetector::Cloud;

// 0.1 m cells, 200 per side (centre 100); free space up to 8 m.
YAML::Node LidarConfig(const char* overrides = "{}") {
  YAML::Node config = YAML::Load(
      "{resolution: 0.1, width: 20, occupancy_threshold: -0.1, log_odds_obstacle: 0.2, "
      "log_odds_occlusion: 0.0, log_odds_free_space: -0.4, lidar_free_space: {min_height: -1.0, "
      "max_height: 1.0, max_range: 8.0, free_margin: 0.4}}");
  for (const auto& entry : YAML::Load(overrides)) {
    const std::string key = entry.first.Scalar();
    if (entry.second.IsMap() && key == "lidar_free_space") {
      for (const auto& sub : entry.second) config[key][sub.first.Scalar()] = sub.second;
    } else {
      config[key] = entry.second;
    }
  }
  return config;
}

Eigen::Matrix4f Translation(float x, float y) {
  Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
  pose(0, 3) = x;
  pose(1, 3) = y;
  return pose;
}

// Points every 0.1 degrees at `radius` and height `z` between two bearings (degrees).
std::shared_ptr<Cloud> Arc(float radius, float from_degrees, float to_degrees, float z) {
  auto cloud = std::make_shared<Cloud>();
  for (float a = from_degrees; a <= to_degrees; a += 0.1f) {
    const float rad = a * static_cast<float>(M_PI) / 180.0f;
    cloud->push_back({radius * std::cos(rad), radius * std::sin(rad), z});
  }
  return cloud;
}

class VirtualScanTest : public testing::Test {
 protected:
  // Status of the cell at column, row after the last integration.
  int Status(int column, int row) const { return detector_.grid_status()[row * 200 + column]; }
  DynamicCloudDetector detector_{LidarConfig()};
};

TEST_F(VirtualScanTest, FreesUpToTheNearestReturnMinusTheMargin) {
  // A wall 5 m ahead across +-30 degrees, and a higher one 3 m ahead above the
  // band, which blocks no ray.
  auto cloud = Arc(5.0f, -30.0f, 30.0f, 0.0f);
  const auto above = Arc(3.0f, -30.0f, 30.0f, 1.5f);
  cloud->insert(cloud->end(), above->begin(), above->end());
  detector_.InputCloudToOccupancyGridMap(cloud, false);
  EXPECT_EQ(Status(150, 100), OCCUPIED);    // the wall's cell, x 5.0..5.1
  EXPECT_EQ(Status(130, 100), OCCUPIED);    // under the higher arc: hit, not free
  EXPECT_EQ(Status(120, 100), FREE);        // centre 2.05 m
  EXPECT_EQ(Status(145, 100), FREE);        // centre 4.55 m < 5 - 0.4
  EXPECT_EQ(Status(147, 100), UNOBSERVED);  // centre 4.75 m: within the margin
  EXPECT_EQ(Status(160, 100), UNOBSERVED);  // behind the wall
  EXPECT_EQ(Status(100, 140), UNOBSERVED);  // to the left: no return at all
  EXPECT_EQ(Status(60, 100), UNOBSERVED);   // behind the sensor likewise
  // A fresh cell holds 0, then one increment.
  EXPECT_FLOAT_EQ(detector_.grid_map().log_odds_map().at<float>(100, 120), -0.4f);
  EXPECT_FLOAT_EQ(detector_.grid_map().log_odds_map().at<float>(100, 150), 0.2f);
  EXPECT_EQ(detector_.grid_map().log_odds_map().at<float>(140, 100), 0.0f);
}

TEST_F(VirtualScanTest, GroundReturnsFreeDirectionsWithoutAnObstacle) {
  // Road 3 m behind the sensor; the obstacle ahead keeps its own bins.
  const auto ground = Arc(3.0f, 150.0f, 210.0f, -1.5f);
  const auto obstacles = Arc(5.0f, -30.0f, 30.0f, 0.0f);
  detector_.InputCloudToOccupancyGridMap(obstacles, false);
  EXPECT_EQ(Status(80, 100), UNOBSERVED);
  detector_.InputCloudToOccupancyGridMap(obstacles, ground, false);
  EXPECT_EQ(Status(80, 100), FREE);        // centre 1.95 m behind
  EXPECT_EQ(Status(72, 100), FREE);        // centre 2.75 m
  EXPECT_EQ(Status(65, 100), UNOBSERVED);  // centre 3.45 m: beyond the road seen
  EXPECT_EQ(Status(145, 100), FREE);
}

// A street corner cast with rays, the sensor 1 m above the ground: walls and
// boxes are vertical prisms, every ray that hits one gives points at the
// heights of the sensor's layers. The world is closed by walls 12 m away.
class StreetCornerTest : public testing::Test {
 protected:
  struct Box {
    float x0, y0, x1, y1;
  };

  // The cloud seen from (rx, ry), in the robot frame (the robot's yaw is 0).
  static std::shared_ptr<Cloud> Cast(float rx, float ry, const std::vector<Box>& boxes) {
    auto cloud = std::make_shared<Cloud>();
    for (int k = 0; k < 3600; ++k) {
      const float a = static_cast<float>(k) * 0.1f * static_cast<float>(M_PI) / 180.0f;
      const float dx = std::cos(a), dy = std::sin(a);
      float t = std::numeric_limits<float>::infinity();
      for (const Box& b : boxes) t = std::min(t, Hit(rx, ry, dx, dy, b));
      if (!std::isfinite(t)) continue;
      for (const float z : {-0.6f, -0.3f, 0.0f}) cloud->push_back({t * dx, t * dy, z});
    }
    return cloud;
  }

  // Distance along (dx, dy) from (rx, ry) to the box (slab test); infinite
  // when the ray misses it.
  static float Hit(float rx, float ry, float dx, float dy, const Box& b) {
    float near = 0.0f, far = std::numeric_limits<float>::infinity();
    const float origin[2] = {rx, ry}, dir[2] = {dx, dy}, lo[2] = {b.x0, b.y0}, hi[2] = {b.x1, b.y1};
    for (int axis = 0; axis < 2; ++axis) {
      if (std::abs(dir[axis]) < 1e-9f) {
        if (origin[axis] < lo[axis] || origin[axis] > hi[axis]) return far;
        continue;
      }
      float t0 = (lo[axis] - origin[axis]) / dir[axis], t1 = (hi[axis] - origin[axis]) / dir[axis];
      if (t0 > t1) std::swap(t0, t1);
      near = std::max(near, t0);
      far = std::min(far, t1);
    }
    return near <= far && near > 0.0f ? near : std::numeric_limits<float>::infinity();
  }

  static std::vector<Box> Enclosure() {
    return {
        {-12, -12.2f, 24, -12}, {-12, 12, 24, 12.2f}, {-12.2f, -12, -12, 12}, {24, -12, 24.2f, 12}};
  }

  // Whether the point of `cloud` lies inside `box` seen from (rx, ry).
  static bool OnBox(const pcl::PointXYZ& p, float rx, float ry, const Box& b) {
    const float x = p.x + rx, y = p.y + ry, e = 1e-3f;
    return x >= b.x0 - e && x <= b.x1 + e && y >= b.y0 - e && y <= b.y1 + e;
  }

  DynamicCloudDetector detector_{LidarConfig("{width: 30, lidar_free_space: {max_range: 12}}")};
  Cloud dynamic_, static_;
};

TEST_F(StreetCornerTest, BoxCrossingInFrontOfTheMovingRobotIsDynamic) {
  // The robot drives along x at 3 m/s; a 0.8 m box crosses its way 7 m
  // ahead at 4 m/s (frames of 0.1 s). From frame 3 on, the half of the box
  // that leads moves into cells seen free in at least two earlier frames.
  for (int frame = 0; frame < 12; ++frame) {
    const float rx = 0.3f * static_cast<float>(frame);
    const float by = -3.0f + 0.4f * static_cast<float>(frame);
    const Box box{7.0f, by, 7.8f, by + 0.8f};
    std::vector<Box> scene = Enclosure();
    scene.push_back(box);
    const auto cloud = Cast(rx, 0.0f, scene);
    detector_.Update(cloud, Translation(rx, 0.0f), false);
    detector_.DivideCloud(*cloud, dynamic_, static_);
    const auto on_box = [&](const pcl::PointXYZ& p) { return OnBox(p, rx, 0.0f, box); };
    const auto box_points = std::count_if(cloud->begin(), cloud->end(), on_box);
    const auto dynamic_box = std::count_if(dynamic_.begin(), dynamic_.end(), on_box);
    ASSERT_GT(box_points, 0) << frame;
    // Nothing else moves: every dynamic point is on the box.
    EXPECT_EQ(dynamic_box, static_cast<long>(dynamic_.size())) << frame;
    if (frame == 0) {
      EXPECT_EQ(dynamic_box, 0);
    } else if (frame >= 3) {
      EXPECT_GE(2 * dynamic_box, box_points) << frame;
    }
  }
}

TEST_F(StreetCornerTest, ParkedBoxRevealedBehindACornerIsNotDynamic) {
  // A wall along the left of the road (y 2 to 2.2, x 2 to 6) hides a box
  // parked at x 4.7 to 5.3, y 3.7 to 4.3 until the robot passes x of about
  // 7. Its cells were never seen free, so it stays static; the robot drives
  // on to x 10.5. Both are set 0.03 m off the cell edges: a face on an edge
  // would put its points into the free cell beside it.
  const Box parked{4.73f, 3.73f, 5.33f, 4.33f};
  std::vector<Box> scene = Enclosure();
  scene.push_back({2.03f, 2.03f, 6.03f, 2.23f});
  scene.push_back(parked);
  long seen = 0;
  for (int frame = 0; frame < 36; ++frame) {
    const float rx = 0.3f * static_cast<float>(frame);
    const auto cloud = Cast(rx, 0.0f, scene);
    detector_.Update(cloud, Translation(rx, 0.0f), false);
    detector_.DivideCloud(*cloud, dynamic_, static_);
    seen += std::count_if(cloud->begin(), cloud->end(),
                          [&](const pcl::PointXYZ& p) { return OnBox(p, rx, 0.0f, parked); });
    EXPECT_EQ(dynamic_.size(), 0u) << frame;
  }
  EXPECT_GT(seen, 0);  // it was revealed
}

TEST(LidarModeTest, FreshGridCallsNothingDynamicAndBadInputIsHandled) {
  DynamicCloudDetector detector(LidarConfig());
  // A ring of walls 5 m around, with points out of reach or without a position.
  auto cloud = Arc(5.0f, -180.0f, 179.9f, 0.0f);
  cloud->push_back({NAN, 1.0f, 0.0f});
  cloud->push_back({3e38f, -3e38f, 0.0f});
  Cloud dynamic_cloud, static_cloud;
  detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);
  EXPECT_TRUE(dynamic_cloud.empty());
  detector.Update(cloud, Translation(0, 0), false);
  detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);
  EXPECT_TRUE(dynamic_cloud.empty());
  EXPECT_EQ(static_cloud.size(), cloud->size());
  // A point without a height marks nothing: in a cell seen free it is
  // dynamic, as in the camera mode.
  cloud->push_back({1.05f, 1.05f, INFINITY});
  detector.Update(cloud, Translation(0, 0), false);
  detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);
  ASSERT_EQ(dynamic_cloud.size(), 1u);
  EXPECT_EQ(dynamic_cloud[0].x, 1.05f);
  // Missing clouds observe nothing; a lost pose forgets the grid (log-odds 0).
  detector.Update(nullptr, nullptr, Translation(0, 0), false);
  EXPECT_EQ(std::count(detector.grid_status().begin(), detector.grid_status().end(), FREE), 0);
  detector.Update(std::make_shared<Cloud>(), Translation(NAN, 0), false);
  EXPECT_EQ(cv::norm(detector.grid_map().log_odds_map(), cv::NORM_INF), 0.0);
}

// Each parameter overrides entries of the LiDAR configuration; the error must
// name the key given second.
class LidarConfigErrorTest : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(LidarConfigErrorTest, ThrowsNamingTheKey) {
  const auto [overrides, key] = GetParam();
  EXPECT_THAT([&] { DynamicCloudDetector detector(LidarConfig(overrides)); },
              testing::ThrowsMessage<std::invalid_argument>(
                  testing::HasSubstr('"' + std::string(key) + '"')));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LidarConfigErrorTest,
    testing::Values(
        std::pair("{lidar_free_space: 3}", "lidar_free_space"),
        std::pair("{lidar_free_space: {min_height: low}}", "lidar_free_space.min_height"),
        std::pair("{lidar_free_space: {max_height: -2}}", "lidar_free_space.max_height"),
        std::pair("{lidar_free_space: {max_range: 0}}", "lidar_free_space.max_range"),
        std::pair("{lidar_free_space: {azimuth_resolution: 0}}",
                  "lidar_free_space.azimuth_resolution"),
        std::pair("{lidar_free_space: {free_margin: -1}}", "lidar_free_space.free_margin"),
        std::pair("{lidar_free_space: {road_max_extent: .nan}}",
                  "lidar_free_space.road_max_extent"),
        std::pair("{lidar_free_space: {sensor_position: [1, 2]}}",
                  "lidar_free_space.sensor_position"),
        std::pair("{occupancy_threshold: 0.1}", "occupancy_threshold")));

TEST(LidarConfigTest, MissingBandKeyIsNamed) {
  YAML::Node config = LidarConfig();
  config["lidar_free_space"].remove("max_range");
  EXPECT_THAT([&] { DynamicCloudDetector detector(config); },
              testing::ThrowsMessage<std::invalid_argument>(
                  testing::HasSubstr("\"lidar_free_space.max_range\" is missing")));
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
