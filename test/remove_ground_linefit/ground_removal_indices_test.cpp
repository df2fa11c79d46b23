// The index form of both splits against their cloud form: on the recorded
// KITTI frames the clouds picked by the indices are the cloud outputs, point
// for point and in order.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "datasets.h"
#include "kitti_camera.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace kestrel::perception {
namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

CloudPtr KittiFrame(int frame) {
  const auto path = larkspur::datasets::SharedDataPath("kitti_hdl64/velodyne/00000" +
                                                       std::to_string(frame) + ".bin");
  return path ? larkspur::datasets::ReadKittiBin(*path) : nullptr;
}

// Bitwise, so that a NaN or a signed zero would not pass unnoticed.
void ExpectPicks(const Cloud& input, const pcl::Indices& indices, const Cloud& expected,
                 const char* what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(indices.size(), expected.size());
  for (std::size_t i = 0; i < indices.size(); ++i) {
    ASSERT_GE(indices[i], 0);
    ASSERT_LT(static_cast<std::size_t>(indices[i]), input.size());
    const pcl::PointXYZ& picked = input[static_cast<std::size_t>(indices[i])];
    ASSERT_EQ(std::memcmp(picked.data, expected[i].data, 3 * sizeof(float)), 0) << "output " << i;
  }
}

TEST(GroundRemovalIndicesTest, OneCallSplitPicksTheCloudOutputsOnKittiFrames) {
  for (const int frame : {0, 3}) {
    const CloudPtr input = KittiFrame(frame);
    if (!input) GTEST_SKIP() << "kitti_hdl64 recordings absent";
    SCOPED_TRACE("frame " + std::to_string(frame));
    RemoveGroundLineFit remover(larkspur::support::Hdl64GroundParams());
    auto nonground = std::make_shared<Cloud>();
    auto ground = std::make_shared<Cloud>();
    remover.groundRemove(input, nonground, ground);
    pcl::Indices nonground_indices{7, 7}, ground_indices{1};  // replaced, not appended to
    remover.groundRemove(input, nonground_indices, ground_indices);
    ASSERT_GT(ground->size(), 10000u);
    ExpectPicks(*input, nonground_indices, *nonground, "non-ground");
    ExpectPicks(*input, ground_indices, *ground, "ground");
  }
}

TEST(GroundRemovalIndicesTest, SplitAgainstKeptSegmentsPicksTheCloudOutputsOnKittiFrames) {
  const CloudPtr fitted = KittiFrame(0);
  const CloudPtr input = KittiFrame(1);
  if (!fitted || !input) GTEST_SKIP() << "kitti_hdl64 recordings absent";
  RemoveGroundLineFit remover(larkspur::support::Hdl64GroundParams());
  remover.set_input_cloud(fitted);
  auto nonground = std::make_shared<Cloud>();
  auto ground = std::make_shared<Cloud>();
  auto below = std::make_shared<Cloud>();
  remover.groundRemove(input, nonground, ground, below);
  pcl::Indices nonground_indices, ground_indices, below_indices;
  remover.groundRemove(input, nonground_indices, ground_indices, below_indices);
  ASSERT_GT(below->size(), 0u);
  ExpectPicks(*input, nonground_indices, *nonground, "non-ground");
  ExpectPicks(*input, ground_indices, *ground, "ground");
  ExpectPicks(*input, below_indices, *below, "below ground");
}

// A flat road at -1.73 m from 3 to 20 m ahead, with a point on it, one
// 0.5 m below it, one high above the fit (above 0.7 * max_point_height,
// filed first), one above max_point_height (no output) and a NaN (none).
TEST(GroundRemovalIndicesTest, HighPointsComeFirstAndDroppedPointsNowhere) {
  auto input = std::make_shared<Cloud>();
  input->push_back({0.0f, 0.0f, std::numeric_limits<float>::quiet_NaN()});  // 0: dropped
  for (int i = 0; i < 35; ++i) input->push_back({3.0f + 0.5f * i, 0.1f, -1.73f});
  input->push_back({10.05f, 0.1f, -1.7f});  // 36: ground
  input->push_back({10.05f, 0.1f, -2.3f});  // 37: below the road
  input->push_back({10.05f, 0.1f, 4.0f});   // 38: high, not classified
  input->push_back({10.05f, 0.1f, 6.0f});   // 39: above max_point_height
  RemoveGroundLineFit remover(larkspur::support::Hdl64GroundParams());
  pcl::Indices nonground, ground;
  remover.groundRemove(input, nonground, ground);
  EXPECT_EQ(nonground, pcl::Indices{38});
  EXPECT_EQ(ground.size(), 37u);  // the road, the point on it and the one below

  remover.set_input_cloud(input);
  pcl::Indices below;
  remover.groundRemove(input, nonground, ground, below);
  EXPECT_EQ(nonground, pcl::Indices{38});
  EXPECT_EQ(below, pcl::Indices{37});
  EXPECT_EQ(ground.size(), 36u);
}

TEST(GroundRemovalIndicesTest, NullEmptyAndUnfittedInputs) {
  RemoveGroundLineFit remover(larkspur::support::Hdl64GroundParams());
  pcl::Indices nonground{1}, ground{2}, below{3};
  remover.groundRemove(nullptr, nonground, ground);
  EXPECT_TRUE(nonground.empty() && ground.empty());
  remover.groundRemove(std::make_shared<Cloud>(), nonground, ground, below);
  EXPECT_TRUE(nonground.empty() && ground.empty() && below.empty());

  // Without kept segments the split fails as the cloud form does, after the
  // high point has been filed.
  auto input = std::make_shared<Cloud>();
  input->push_back({10.0f, 0.0f, 4.0f});
  input->push_back({10.0f, 0.0f, -1.73f});
  EXPECT_THROW(remover.groundRemove(input, nonground, ground, below), std::out_of_range);
  EXPECT_EQ(nonground, pcl::Indices{0});
}

}  // namespace
}  // namespace kestrel::perception
