// Clustering findings of the fuzz target, checked on the behaviour the fix
// restored (the saved inputs themselves are replayed by fuzz_replay_test).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "larkspur_perception_libs/cloud_cluster.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = CloudCluster::Cloud;
using CloudPtr = CloudCluster::CloudPtr;

// Three points in one 0.01 m cell: one cluster with the default parameters.
CloudPtr OneCluster() {
  auto cloud = std::make_shared<Cloud>();
  for (float z : {0.1f, 0.2f, 0.3f}) cloud->push_back({0.001f, 0.001f, z});
  cloud->push_back({0.5f, 0.5f, 0.0f});
  return cloud;
}

// An incoming count of 1.5 billion made obstacleCluster resize `clusters` to
// that many entries and give each an empty cloud: hundreds of gigabytes.
TEST(ObstacleClusterRegression, HugeIncomingCountIsRefused) {
  const CloudCluster cluster;
  const auto kept = std::make_shared<Cloud>();
  std::vector<CloudPtr> clusters = {kept};
  int count = 1574821341;
  cluster.obstacleCluster(OneCluster(), count, clusters);
  EXPECT_EQ(count, 1574821341);
  ASSERT_EQ(clusters.size(), 1u);
  EXPECT_EQ(clusters[0], kept);

  count = CloudCluster::kMaxIncomingCount + 1;
  cluster.obstacleCluster(OneCluster(), count, clusters);
  EXPECT_EQ(count, CloudCluster::kMaxIncomingCount + 1);
  EXPECT_EQ(clusters.size(), 1u);
}

TEST(ObstacleClusterRegression, IncomingCountAtTheBoundIsContinued) {
  const CloudCluster cluster;
  std::vector<CloudPtr> clusters;
  int count = CloudCluster::kMaxIncomingCount;
  cluster.obstacleCluster(OneCluster(), count, clusters);
  ASSERT_EQ(count, CloudCluster::kMaxIncomingCount + 1);
  ASSERT_EQ(clusters.size(), static_cast<std::size_t>(count));
  EXPECT_TRUE(clusters.front()->empty());
  ASSERT_EQ(clusters.back()->size(), 1u);
  EXPECT_FLOAT_EQ(clusters.back()->front().z, 0.3f);
}

// A cloud 36 m by 128 m wide made a grid of 46 million cells at the default
// step: about 1.1 GB and 20 s per call under the sanitizers. Grids beyond
// kMaxGridCells (41 m square at 0.01 m: 4101 x 4101 cells) are refused.
TEST(ObstacleClusterRegression, GridBeyondTheCellBoundIsRefused) {
  const CloudCluster cluster;
  const CloudPtr cloud = OneCluster();
  cloud->push_back({41.0f, 41.0f, 0.0f});
  std::vector<CloudPtr> clusters;
  int count = 0;
  cluster.obstacleCluster(cloud, count, clusters);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(clusters.empty());
  EXPECT_LT(CloudCluster::kMaxGridCells, std::int64_t{4101} * 4101);
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
