// Where the ground lies in a cloud's frame: the estimate from the clouds
// themselves, the shift of the ground set's heights, and the sensor sets on
// clouds of their own sensor's geometry.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ground_height.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"
#include "scene.h"
#include "sensors.h"
#include "tool_config.h"

namespace larkspur {
namespace replay {
namespace {

SceneObject Box(const char* kind, double x, double y, double length, double width, double height,
                double clearance = 0.0) {
  SceneObject object;
  object.kind = kind;
  object.length = length;
  object.width = width;
  object.height = height;
  object.clearance = clearance;
  object.motion.start = Eigen::Vector2d(x, y);
  return object;
}

// A courtyard on flat ground at z = 0: building walls on two sides, parked
// cars (level roofs), people and a bench.
World Courtyard() {
  World world(Ground::Flat(0.0));
  world.Add(Box("wall", 0.0, 8.0, 40.0, 0.3, 6.0));
  world.Add(Box("wall", 0.0, -8.0, 40.0, 0.3, 6.0));
  world.Add(Box("parked car", 6.0, -5.0, 4.5, 1.8, 1.3, 0.2));
  world.Add(Box("parked car", -7.0, 5.0, 4.5, 1.8, 1.3, 0.2));
  world.Add(Box("van", 11.0, 4.5, 5.5, 2.0, 2.2, 0.25));
  world.Add(Box("bench", -3.0, -4.0, 2.0, 0.6, 0.5));
  for (const auto& [x, y] : {std::pair{4.0, 2.0}, {-2.5, -2.0}, {9.0, -1.5}}) {
    SceneObject person = Box("person", x, y, 0.5, 0.5, 1.75);
    person.shape = SceneObject::Shape::kCylinder;
    world.Add(person);
  }
  return world;
}

// A robot standing at the origin with the sensor `lidar.mount_height` above
// the ground, two frames; z moved by `lift`.
std::vector<SimulatedCloud> StandingClouds(World world, LidarModel lidar, double lift) {
  Trajectory robot;
  robot.speed = 0.0;
  const Scene scene(std::move(world), robot, lidar, LaserModel(), 10.0, 7);
  std::vector<SimulatedCloud> clouds = {scene.Cloud(0), scene.Cloud(1)};
  for (SimulatedCloud& cloud : clouds) {
    for (auto& p : cloud.cloud->points) p.z += static_cast<float>(lift);
  }
  return clouds;
}

struct GroundCase {
  const char* name;
  double ground_z;      // where the ground lies in the cloud's frame
  double mount_height;  // of the LiDAR above the ground
};

void PrintTo(const GroundCase& c, std::ostream* out) { *out << c.name; }

class GroundEstimateTest : public testing::TestWithParam<GroundCase> {};

TEST_P(GroundEstimateTest, ComesBackWithin5Centimetres) {
  LidarModel lidar;
  lidar.mount_height = GetParam().mount_height;
  lidar.range_noise = 0.02;
  const std::vector<SimulatedCloud> frames =
      StandingClouds(Courtyard(), lidar, GetParam().ground_z + GetParam().mount_height);
  std::vector<const pcl::PointCloud<pcl::PointXYZ>*> clouds;
  for (const SimulatedCloud& frame : frames) clouds.push_back(frame.cloud.get());
  const std::optional<GroundEstimate> estimate = EstimateGroundHeight(clouds);
  ASSERT_TRUE(estimate.has_value());
  EXPECT_NEAR(estimate->height, GetParam().ground_z, 0.05);
  EXPECT_GE(estimate->points, 1000u);
}

// KITTI's sensor frame, a small robot's sensor frame, a base frame on the
// road under a sensor mounted 1.8 m up.
INSTANTIATE_TEST_SUITE_P(Frames, GroundEstimateTest,
                         testing::Values(GroundCase{"KittiSensorFrame", -1.73, 1.73},
                                         GroundCase{"LowSensorFrame", -0.5, 0.5},
                                         GroundCase{"BaseFrameOnTheRoad", 0.0, 1.8}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GroundEstimate, NeedsPointsAroundTheOrigin) {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  // Unusable, too near, too far: none counts.
  for (int i = 0; i < 500; ++i) {
    cloud.push_back({0.0f, 0.0f, 0.0f});
    cloud.push_back({1.0f, 0.5f, -1.0f});
    cloud.push_back({30.0f, 0.0f, -1.0f});
  }
  EXPECT_FALSE(EstimateGroundHeight({&cloud}).has_value());
  EXPECT_FALSE(EstimateGroundHeight({}).has_value());
}

TEST(ShiftGroundHeights, MovesOnlyTheHeightsMeasuredFromTheOrigin) {
  kestrel::perception::GroundRemovalParams params;
  params.ground_height = -1.2f;
  params.max_point_height = 2.0f;
  params.near_zone_depth = 0.3f;
  params.seed_max_above = 0.3f;
  params.seed_max_below = 0.25f;
  params.ground_distance_threshold = 0.15f;
  ShiftGroundHeights(params, 0.0f);
  EXPECT_FLOAT_EQ(params.ground_height, 0.0f);
  EXPECT_FLOAT_EQ(params.max_point_height, 3.2f);
  EXPECT_FLOAT_EQ(params.near_zone_depth, 0.3f);
  EXPECT_FLOAT_EQ(params.seed_max_above, 0.3f);
  EXPECT_FLOAT_EQ(params.seed_max_below, 0.25f);
  EXPECT_FLOAT_EQ(params.ground_distance_threshold, 0.15f);
}

// A sensor set on a standing robot's frames with that sensor's beam layout,
// mounted as the set assumes: the floor is ground, the walls, cars and
// people are not.
struct SensorCase {
  const char* name;
  int rings;
  double lowest_deg, highest_deg;
  int azimuth_steps;
  double max_range;
};

void PrintTo(const SensorCase& c, std::ostream* out) { *out << c.name; }

class SensorSetTest : public testing::TestWithParam<SensorCase> {};

TEST_P(SensorSetTest, SplitsGroundOnItsOwnSensorsGeometry) {
  const std::string folder = SensorConfigFolder(LARKSPUR_SOURCE_CONFIG_DIR, GetParam().name);
  const kestrel::perception::GroundRemovalParams params =
      config::ReadGroundRemovalParams(folder + "/remove_ground_linefit.yaml");
  LidarModel lidar;
  lidar.rings = GetParam().rings;
  lidar.lowest_deg = GetParam().lowest_deg;
  lidar.highest_deg = GetParam().highest_deg;
  lidar.azimuth_steps = GetParam().azimuth_steps;
  lidar.max_range = GetParam().max_range;
  lidar.mount_height = -params.ground_height;
  const std::vector<SimulatedCloud> frames = StandingClouds(Courtyard(), lidar, 0.0);
  const SimulatedCloud& frame = frames.front();
  kestrel::perception::RemoveGroundLineFit remover(params);
  auto nonground = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  auto ground = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  remover.groundRemove(frame.cloud, nonground, ground);
  // Ground points lie at z = -mount height (plus noise), nothing else does.
  std::size_t truth_ground = 0;
  for (const PointTruth& truth : frame.truth) truth_ground += truth.ground == Label::kYes;
  std::size_t found = 0;
  for (const auto& p : ground->points) found += std::abs(p.z + lidar.mount_height) < 0.1;
  EXPECT_GE(found, 0.95 * static_cast<double>(truth_ground));
  EXPECT_GE(found, 0.95 * static_cast<double>(ground->size()));
}

INSTANTIATE_TEST_SUITE_P(Sets, SensorSetTest,
                         testing::Values(SensorCase{"vlp16", 16, -15.0, 15.0, 1800, 100.0},
                                         SensorCase{"hdl32", 32, -30.67, 10.67, 2170, 100.0},
                                         SensorCase{"os128", 128, -22.5, 22.5, 1024, 120.0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace replay
}  // namespace larkspur
