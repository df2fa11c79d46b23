// The id form of the clustering against its cloud form: the points of one
// id, thinned to the highest point per cell, are that cluster's cloud.
#include <gtest/gtest.h>
#include <pcl/common/common.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/cloud_cluster.h"

namespace kestrel::perception {
namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

using Key = std::tuple<float, float, float>;
Key KeyOf(const pcl::PointXYZ& p) { return {p.x, p.y, p.z}; }

// Obstacle points of a KITTI frame: above the road, within 30 m.
CloudPtr KittiObstacles(int frame) {
  const auto path = larkspur::datasets::SharedDataPath("kitti_hdl64/velodyne/00000" +
                                                       std::to_string(frame) + ".bin");
  if (!path) return nullptr;
  const CloudPtr frame_points = larkspur::datasets::ReadKittiBin(*path);
  auto obstacles = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : *frame_points) {
    if (p.z > -1.4f && std::fabs(p.x) < 30.0f && std::fabs(p.y) < 30.0f) obstacles->push_back(p);
  }
  return obstacles;
}

TEST(CloudClusterIdsTest, IdsNameTheClusterCloudsOfKittiObstacles) {
  const CloudPtr cloud = KittiObstacles(0);
  if (!cloud) GTEST_SKIP() << "kitti_hdl64 recordings absent";
  const CloudCluster clustering(CloudClusterPara{0.15f, 3, 2});
  int count = 0;
  std::vector<CloudPtr> clusters;
  clustering.obstacleCluster(cloud, count, clusters);
  std::vector<std::int32_t> ids;
  ASSERT_EQ(clustering.obstacleCluster(cloud, ids), count);
  ASSERT_GT(count, 10);
  ASSERT_EQ(ids.size(), cloud->size());

  // Highest point per cell among the points of each id, cells told apart by
  // the clustering's own grid (origin at the cloud's smallest x and y).
  pcl::PointXYZ min_point, max_point;
  pcl::getMinMax3D(*cloud, min_point, max_point);
  std::vector<std::map<std::pair<int, int>, pcl::PointXYZ>> top(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    ASSERT_GE(ids[i], -1);
    ASSERT_LT(ids[i], count);
    if (ids[i] < 0) continue;
    const pcl::PointXYZ& p = (*cloud)[i];
    const std::pair<int, int> cell{
        static_cast<int>(std::floor(static_cast<double>((p.x - min_point.x) / 0.15f))),
        static_cast<int>(std::floor(static_cast<double>((p.y - min_point.y) / 0.15f)))};
    auto [it, added] = top[static_cast<std::size_t>(ids[i])].emplace(cell, p);
    if (!added && it->second.z < p.z) it->second = p;
  }
  for (int k = 0; k < count; ++k) {
    std::vector<Key> expected, actual;
    for (const auto& [cell, p] : top[static_cast<std::size_t>(k)]) {
      // The cloud form leaves out points lying below 0.0001 in all of x, y
      // and z (signed), the default point of cells only the dilation reached.
      const auto below = [](float v) { return static_cast<double>(v) < 0.0001; };
      if (!(below(p.x) && below(p.y) && below(p.z))) expected.push_back(KeyOf(p));
    }
    for (const pcl::PointXYZ& p : *clusters[static_cast<std::size_t>(k)])
      actual.push_back(KeyOf(p));
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    ASSERT_EQ(actual, expected) << "cluster " << k;
  }
}

TEST(CloudClusterIdsTest, DegenerateInputGivesNoCluster) {
  const CloudCluster clustering;
  std::vector<std::int32_t> ids{5};
  EXPECT_EQ(clustering.obstacleCluster(nullptr, ids), 0);
  EXPECT_TRUE(ids.empty());
  auto single = std::make_shared<Cloud>();
  single->push_back({1.0f, 1.0f, 1.0f});
  EXPECT_EQ(clustering.obstacleCluster(single, ids), 0);
  EXPECT_EQ(ids, std::vector<std::int32_t>{-1});
}

// Three points in one cell form a cluster; a point with a NaN x has no cell.
TEST(CloudClusterIdsTest, PointsWithoutACellGetMinusOne) {
  auto cloud = std::make_shared<Cloud>();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const pcl::PointXYZ& p :
       {pcl::PointXYZ{1.0f, 1.0f, 0.5f}, pcl::PointXYZ{nan, 1.0f, 0.5f},
        pcl::PointXYZ{1.001f, 1.0f, 0.6f}, pcl::PointXYZ{1.002f, 1.0f, 0.7f},
        pcl::PointXYZ{3.0f, 1.0f, 0.5f}}) {
    cloud->push_back(p);
  }
  cloud->is_dense = false;
  std::vector<std::int32_t> ids;
  EXPECT_EQ(CloudCluster().obstacleCluster(cloud, ids), 1);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{0, -1, 0, 0, -1}));
}

}  // namespace
}  // namespace kestrel::perception
