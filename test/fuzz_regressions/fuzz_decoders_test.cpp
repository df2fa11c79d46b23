// The seed encoder (Writer) must produce bytes that the fuzz decoder (Reader)
// turns back into the very same input, special floats included; otherwise
// the generated seeds would not be the scenes they describe.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "decoders.h"

namespace larkspur {
namespace fuzz {
namespace {

template <typename Input>
Input RoundTrip(Input& input) {
  Writer writer;
  Transfer(writer, input);
  const std::vector<std::uint8_t> bytes = writer.Bytes();
  Reader reader(bytes.data(), bytes.size());
  Input decoded;
  Transfer(reader, decoded);
  return decoded;
}

void ExpectSameBits(float expected, float actual) {
  EXPECT_EQ(BitsFromFloat(expected), BitsFromFloat(actual)) << expected << " vs " << actual;
}

void ExpectSameCloud(const pcl::PointCloud<pcl::PointXYZ>& expected,
                     const pcl::PointCloud<pcl::PointXYZ>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  EXPECT_EQ(expected.is_dense, actual.is_dense);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ExpectSameBits(expected[i].x, actual[i].x);
    ExpectSameBits(expected[i].y, actual[i].y);
    ExpectSameBits(expected[i].z, actual[i].z);
  }
}

TEST(FuzzDecoders, IntegersAtTheEndsOfTheirRangesRoundTrip) {
  Writer writer;
  writer.Int<std::int32_t>(std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max());
  writer.Int<std::int32_t>(-1, -4, 70000);
  writer.Int<std::uint8_t>(3, 0, 3);
  writer.Int<std::uint32_t>(5, 5, 5);  // a range of one value takes no byte
  writer.Int<std::uint32_t>(4294967295u, 0, 4294967295u);
  const std::vector<std::uint8_t> bytes = writer.Bytes();
  EXPECT_EQ(bytes.size(), 4u + 3u + 1u + 0u + 4u);

  Reader reader(bytes.data(), bytes.size());
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::uint8_t c = 0;
  std::uint32_t d = 0;
  std::uint32_t e = 0;
  reader.Int(a, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
  reader.Int(b, -4, 70000);
  reader.Int(c, std::uint8_t{0}, std::uint8_t{3});
  reader.Int(d, 5u, 5u);
  reader.Int(e, 0u, 4294967295u);
  EXPECT_EQ(a, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(b, -1);
  EXPECT_EQ(c, 3);
  EXPECT_EQ(d, 5u);
  EXPECT_EQ(e, 4294967295u);
}

TEST(FuzzDecoders, CloudDetectorInputRoundTrips) {
  CloudDetectorInput input;
  input.config.resolution = std::numeric_limits<float>::quiet_NaN();
  input.config.width = -std::numeric_limits<float>::infinity();
  input.config.has_sub_obstacle_scale = true;
  input.config.log_odds_sub_obstacle_scale = std::numeric_limits<float>::denorm_min();
  input.camera.width = -7;
  input.camera.height = 480;
  input.camera.intrinsic(1, 2) = 240.5f;
  input.camera.extrinsic(0, 3) = -0.0f;
  CloudDetectorStep update;
  update.cloud.push_back({1.0f, std::numeric_limits<float>::quiet_NaN(), -3.0f});
  update.cloud.push_back({1.0f, 2.0f, 3.0f});
  update.cloud.is_dense = false;
  update.pose.x = 12.5f;
  update.pose.yaw = -3.1f;
  CloudDetectorStep transform;
  transform.op = CloudDetectorStep::kTransform;
  transform.xy = {0.25f, std::numeric_limits<float>::max()};
  transform.angle = 0.06f;
  input.steps = {update, transform};

  const CloudDetectorInput decoded = RoundTrip(input);
  ExpectSameBits(input.config.resolution, decoded.config.resolution);
  ExpectSameBits(input.config.width, decoded.config.width);
  EXPECT_TRUE(decoded.config.has_sub_obstacle_scale);
  ExpectSameBits(input.config.log_odds_sub_obstacle_scale,
                 decoded.config.log_odds_sub_obstacle_scale);
  EXPECT_EQ(decoded.camera.width, -7);
  EXPECT_EQ(decoded.camera.height, 480);
  EXPECT_EQ(decoded.camera.intrinsic, input.camera.intrinsic);
  ExpectSameBits(-0.0f, decoded.camera.extrinsic(0, 3));
  ASSERT_EQ(decoded.steps.size(), 2u);
  EXPECT_EQ(decoded.steps[0].op, CloudDetectorStep::kUpdate);
  ExpectSameCloud(update.cloud, decoded.steps[0].cloud);
  EXPECT_EQ(decoded.steps[0].pose.Matrix(), update.pose.Matrix());
  EXPECT_EQ(decoded.steps[1].op, CloudDetectorStep::kTransform);
  EXPECT_EQ(decoded.steps[1].xy, transform.xy);
  ExpectSameBits(0.06f, decoded.steps[1].angle);
}

TEST(FuzzDecoders, LaserAndGroundInputsRoundTrip) {
  LaserDetectorInput laser;
  LaserDetectorStep process;
  process.scan.angle_increment = 0.0f;
  process.scan.ranges = {1.0f, std::numeric_limits<float>::infinity(), 0.5f};
  process.pose.planar = false;
  process.pose.quaternion = {0.0f, 0.0f, 2.0f, 0.0f};
  process.resize_outputs = true;
  process.dynamic_size = 2048;
  laser.steps = {process};
  const LaserDetectorInput laser_decoded = RoundTrip(laser);
  ASSERT_EQ(laser_decoded.steps.size(), 1u);
  EXPECT_EQ(laser_decoded.steps[0].scan.ranges, process.scan.ranges);
  EXPECT_FALSE(laser_decoded.steps[0].pose.planar);
  EXPECT_EQ(laser_decoded.steps[0].pose.quaternion, process.pose.quaternion);
  EXPECT_EQ(laser_decoded.steps[0].dynamic_size, 2048u);

  GroundRemovalInput ground;
  ground.params.bin_size = 0.3f;
  ground.params.outlier_sigma_factor = std::numeric_limits<float>::lowest();
  GroundRemovalStep find;
  find.op = GroundRemovalStep::kFindPrototypes;
  find.cloud.push_back({2.0f, 0.0f, -1.7f});
  find.bin_indices = {-5};
  find.bin_count = 4000000000u;
  ground.steps = {find};
  const GroundRemovalInput ground_decoded = RoundTrip(ground);
  ExpectSameBits(0.3f, ground_decoded.params.bin_size);
  ExpectSameBits(ground.params.outlier_sigma_factor, ground_decoded.params.outlier_sigma_factor);
  ASSERT_EQ(ground_decoded.steps.size(), 1u);
  ExpectSameCloud(find.cloud, ground_decoded.steps[0].cloud);
  EXPECT_EQ(ground_decoded.steps[0].bin_indices, find.bin_indices);
  EXPECT_EQ(ground_decoded.steps[0].bin_count, 4000000000u);
}

// Points may be spelt as copies of an earlier point; a copy of a point that
// does not exist reads fresh coordinates instead.
TEST(FuzzDecoders, RepeatedPointsCopyEarlierOnes) {
  Writer writer;
  writer.Bool(true);  // is_dense
  writer.Int<std::uint32_t>(3, 0, kMaxCloudPoints);
  writer.Int<std::uint8_t>(2, 0, kMaxRepeatDistance);  // nothing 2 back: fresh point
  for (float v : {1.0f, 2.0f, 3.0f}) writer.Float(v);
  writer.Int<std::uint8_t>(0, 0, kMaxRepeatDistance);
  for (float v : {4.0f, 5.0f, 6.0f}) writer.Float(v);
  writer.Int<std::uint8_t>(2, 0, kMaxRepeatDistance);  // copy of point 0
  const std::vector<std::uint8_t> bytes = writer.Bytes();
  Reader reader(bytes.data(), bytes.size());
  pcl::PointCloud<pcl::PointXYZ> cloud;
  Transfer(reader, cloud);
  ASSERT_EQ(cloud.size(), 3u);
  EXPECT_EQ(cloud[0].x, 1.0f);
  EXPECT_EQ(cloud[1].z, 6.0f);
  EXPECT_EQ(cloud[2].x, 1.0f);
  EXPECT_EQ(cloud[2].y, 2.0f);
  EXPECT_EQ(cloud[2].z, 3.0f);
}

}  // namespace
}  // namespace fuzz
}  // namespace larkspur
