// Ground truth of the replay tool's built-in scene: a flat floor is all
// ground, a person walking across is dynamic.
#include <gtest/gtest.h>

#include <cmath>

#include "scene.h"

namespace larkspur {
namespace replay {
namespace {

// A robot standing at the origin with noiseless sensors.
Scene StandingScene(World world) {
  LidarModel lidar;
  lidar.range_noise = 0.0;
  lidar.dropout = 0.0;
  LaserModel laser;
  laser.range_noise = 0.0;
  Trajectory robot;
  robot.speed = 0.0;
  robot.amplitude = 0.0;
  return Scene(std::move(world), robot, lidar, laser, 10.0, 1);
}

TEST(SceneTest, FlatFloorIsAllGround) {
  const SimulatedCloud cloud = StandingScene(World(Ground::Flat(0.0))).Cloud(0);
  // Rings at -24 + k * 32/31 degrees, 1.2 m up: k = 0..22 reach the floor
  // within 60 m (k = 22 at -1.29 degrees lands at 53 m, k = 23 at 266 m).
  ASSERT_EQ(cloud.cloud->points.size(), 23u * 900u);
  ASSERT_EQ(cloud.truth.size(), cloud.cloud->points.size());
  for (std::size_t i = 0; i < cloud.truth.size(); ++i) {
    EXPECT_EQ(cloud.truth[i].ground, Label::kYes);
    EXPECT_EQ(cloud.truth[i].moving, Label::kNo);
    EXPECT_NEAR(cloud.cloud->points[i].z, -1.2f, 1e-4f);
  }
}

TEST(SceneTest, PersonWalkingAcrossIsDynamic) {
  // 0.5 m wide, 1.75 m tall, crossing 3 m ahead along +y at 1.4 m/s.
  SceneObject person;
  person.shape = SceneObject::Shape::kCylinder;
  person.kind = "person";
  person.length = 0.5;
  person.width = 0.5;
  person.height = 1.75;
  person.motion.start = Eigen::Vector2d(3.0, -14.0);
  person.motion.velocity = Eigen::Vector2d(0.0, 1.4);
  person.motion.t_start = -10.0;
  person.motion.t_end = 10.0;
  World world(Ground::Flat(0.0));
  world.Add(person);
  const Scene scene = StandingScene(std::move(world));

  // Beam 270 looks straight ahead (-135 + 270 * 0.5 degrees) and meets the
  // person's front at 3 - 0.25 m; beam 0 misses everything.
  const SimulatedScan scan = scene.Scan(0);
  ASSERT_EQ(scan.scan.ranges.size(), 541u);
  EXPECT_NEAR(scan.scan.ranges[270], 2.75f, 1e-5f);
  EXPECT_EQ(scan.truth[270].moving, Label::kYes);
  EXPECT_EQ(scan.truth[0].moving, Label::kUnknown);

  // Every LiDAR point labelled moving lies on the person's surface, about
  // 24 azimuth steps (9.5 degrees at 3 m) by several rings.
  const SimulatedCloud cloud = scene.Cloud(0);
  std::size_t moving = 0;
  for (std::size_t i = 0; i < cloud.truth.size(); ++i) {
    if (cloud.truth[i].moving != Label::kYes) continue;
    const auto& p = cloud.cloud->points[i];
    ++moving;
    EXPECT_LE(std::hypot(p.x - 3.0, p.y), 0.25 + 1e-4);
    EXPECT_LE(p.z + 1.2, 1.75 + 1e-4);
  }
  EXPECT_GT(moving, 100u);
}

}  // namespace
}  // namespace replay
}  // namespace larkspur
