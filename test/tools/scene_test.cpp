// Ground truth of the replay tool's built-in scene: surfaces are where the
// geometry puts them and carry the right labels.
#include <gtest/gtest.h>

#include <cmath>

#include "scene.h"

namespace larkspur {
namespace replay {
namespace {

constexpr double kPi = 3.14159265358979323846;

LidarModel NoiselessLidar() {
  LidarModel lidar;
  lidar.range_noise = 0.0;
  lidar.dropout = 0.0;
  return lidar;
}

LaserModel NoiselessLaser() {
  LaserModel laser;
  laser.range_noise = 0.0;
  return laser;
}

Trajectory StandingRobot() {
  Trajectory robot;
  robot.speed = 0.0;
  robot.amplitude = 0.0;
  return robot;
}

// A person (radius 0.25 m, 1.75 m tall) crossing 3 m ahead of the robot
// along +y at 1.4 m/s, passing y = 0 at t = 0.
SceneObject CrossingPerson() {
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
  return person;
}

Scene MakeScene(World world) {
  return Scene(std::move(world), StandingRobot(), NoiselessLidar(), NoiselessLaser(), 10.0, 1);
}

TEST(SceneGroundTest, FlatFloorIsAllGround) {
  const Scene scene = MakeScene(World(Ground::Flat(0.0)));
  const SimulatedCloud cloud = scene.Cloud(0);
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

TEST(SceneGroundTest, RampAndCamberHeights) {
  // Up 10 % from x = 0 to 10, then level; 2 % camber.
  const Ground ground({{0.0, 0.0}, {10.0, 1.0}}, 0.02);
  EXPECT_DOUBLE_EQ(ground.HeightAt(-5.0, 0.0), 0.0);
  EXPECT_NEAR(ground.HeightAt(5.0, 0.0), 0.5, 1e-12);
  EXPECT_NEAR(ground.HeightAt(5.0, -2.0), 0.46, 1e-12);
  EXPECT_NEAR(ground.HeightAt(20.0, 3.0), 0.94, 1e-12);
  // Lowest point of [4, 12] x [-1, 2]: at x = 4 and |y| = 2.
  EXPECT_NEAR(ground.LowestIn(4.0, 12.0, -1.0, 2.0), 0.36, 1e-12);
}

TEST(SceneGroundTest, RayMeetsTheRamp) {
  const Ground ground({{0.0, 0.0}, {10.0, 1.0}}, 0.0);
  // From (0, 0, 1) down at 45 degrees: 1 - s = 0.1 s at s = 1 / 1.1 along x.
  const Eigen::Vector3d direction = Eigen::Vector3d(1.0, 0.0, -1.0).normalized();
  const auto hit = ground.Intersect(Eigen::Vector3d(0.0, 0.0, 1.0), direction, 100.0);
  ASSERT_TRUE(hit.has_value());
  EXPECT_NEAR(*hit, std::sqrt(2.0) / 1.1, 1e-9);
  // Level at the height of the ramp's top, the ray grazes it at x = 10;
  // slightly upward, nothing is hit.
  const auto grazing =
      ground.Intersect(Eigen::Vector3d(0.0, 0.0, 1.0), Eigen::Vector3d(1.0, 0.0, 0.0), 100.0);
  ASSERT_TRUE(grazing.has_value());
  EXPECT_NEAR(*grazing, 10.0, 1e-9);
  EXPECT_FALSE(ground.Intersect(Eigen::Vector3d(0.0, 0.0, 1.0),
                                Eigen::Vector3d(1.0, 0.0, 0.01).normalized(), 100.0));
}

TEST(SceneObjectTest, PersonWalkingAcrossIsDynamic) {
  World world(Ground::Flat(0.0));
  world.Add(CrossingPerson());
  const Scene scene = MakeScene(std::move(world));

  // Laser beam 270 looks straight ahead (-135 + 270 * 0.5 degrees) and meets
  // the person's front at 3 - 0.25 m.
  const SimulatedScan scan = scene.Scan(0);
  ASSERT_EQ(scan.scan.ranges.size(), 541u);
  EXPECT_NEAR(scan.scan.ranges[270], 2.75f, 1e-5f);
  EXPECT_EQ(scan.truth[270].moving, Label::kYes);
  EXPECT_EQ(scan.truth[270].ground, Label::kNo);
  // Beams that miss everything read inf and carry no truth.
  EXPECT_TRUE(std::isinf(scan.scan.ranges[0]));
  EXPECT_EQ(scan.truth[0].moving, Label::kUnknown);

  // Every LiDAR point labelled moving lies on the person's surface.
  const SimulatedCloud cloud = scene.Cloud(0);
  std::size_t moving = 0;
  for (std::size_t i = 0; i < cloud.truth.size(); ++i) {
    const auto& p = cloud.cloud->points[i];
    if (cloud.truth[i].moving != Label::kYes) continue;
    ++moving;
    EXPECT_EQ(cloud.truth[i].ground, Label::kNo);
    EXPECT_LE(std::hypot(p.x - 3.0, p.y), 0.25 + 1e-4);
    EXPECT_LE(p.z + 1.2, 1.75 + 1e-4);
  }
  // About 0.5 m wide at 3 m (9.5 degrees, 24 azimuth steps) by 1.75 m tall.
  EXPECT_GT(moving, 100u);
}

TEST(SceneObjectTest, PersonIsStaticOutsideItsWalk) {
  World world(Ground::Flat(0.0));
  world.Add(CrossingPerson());
  const SceneObject& person = world.objects().front();
  EXPECT_TRUE(person.motion.MovingAt(0.0));
  EXPECT_FALSE(person.motion.MovingAt(10.0));
  EXPECT_FALSE(person.motion.MovingAt(-10.5));
  // Before its walk it stands at the start, after it at the end.
  EXPECT_TRUE(person.motion.PositionAt(-12.0).isApprox(Eigen::Vector2d(3.0, -14.0)));
  EXPECT_TRUE(person.motion.PositionAt(12.0).isApprox(Eigen::Vector2d(3.0, 14.0)));
}

TEST(SceneObjectTest, BoxHidesTheGroundBehindIt) {
  World world(Ground::Flat(0.0));
  SceneObject box;
  box.kind = "wall";
  box.length = 2.0;
  box.width = 10.0;
  box.height = 3.0;
  box.motion.start = Eigen::Vector2d(5.0, 0.0);
  world.Add(box);
  const Scene scene = MakeScene(std::move(world));
  const SimulatedScan scan = scene.Scan(0);
  // The box's near face is at x = 4; the beam 30 degrees left meets it at
  // 4 / cos(30 degrees).
  EXPECT_NEAR(scan.scan.ranges[270], 4.0f, 1e-5f);
  EXPECT_NEAR(scan.scan.ranges[330], 4.0 / std::cos(kPi / 6.0), 1e-4);
  EXPECT_EQ(scan.truth[330].moving, Label::kNo);
  EXPECT_EQ(scan.truth[330].ground, Label::kNo);
}

TEST(SceneStreetTest, SameSeedSameFramesOtherSeedOtherScene) {
  const Scene a = Scene::Street(7);
  const Scene b = Scene::Street(7);
  const Scene c = Scene::Street(8);
  const auto same = [](const SimulatedCloud& x, const SimulatedCloud& y) {
    if (x.cloud->points.size() != y.cloud->points.size()) return false;
    for (std::size_t i = 0; i < x.cloud->points.size(); ++i) {
      const auto& p = x.cloud->points[i];
      const auto& q = y.cloud->points[i];
      if (p.x != q.x || p.y != q.y || p.z != q.z) return false;
    }
    return true;
  };
  EXPECT_TRUE(same(a.Cloud(5), b.Cloud(5)));
  EXPECT_FALSE(same(a.Cloud(5), c.Cloud(5)));
}

TEST(SceneStreetTest, DriveHasGroundStaticAndMovingSurfaces) {
  const Scene scene = Scene::Street(1);
  std::size_t ground = 0, fixed = 0, moving = 0;
  for (const int frame : {0, 30, 60}) {
    const SimulatedCloud cloud = scene.Cloud(frame);
    for (const PointTruth& t : cloud.truth) {
      ground += t.ground == Label::kYes;
      fixed += t.ground == Label::kNo && t.moving == Label::kNo;
      moving += t.moving == Label::kYes;
    }
    // The pose follows the path: x advances 1.2 m/s at 10 frames/s.
    EXPECT_NEAR(cloud.pose(0, 3), 0.12f * static_cast<float>(frame), 1e-4f);
  }
  EXPECT_GT(ground, 0u);
  EXPECT_GT(fixed, 0u);
  EXPECT_GT(moving, 0u);
}

}  // namespace
}  // namespace replay
}  // namespace larkspur
