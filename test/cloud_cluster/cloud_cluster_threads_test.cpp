// Clustering keeps each thread's working storage between calls. Its results
// must not depend on what earlier calls on the thread left there, nor on
// other threads clustering with the same object at the same time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/cloud_cluster.h"

namespace kestrel::perception {
namespace {

using Cloud = CloudCluster::Cloud;
using CloudPtr = CloudCluster::CloudPtr;
using Xyz = std::vector<float>;

struct Outcome {
  int count = 0;
  std::vector<std::vector<Xyz>> points;  // of each cluster
  std::vector<std::int32_t> ids;

  bool operator==(const Outcome& other) const {
    return count == other.count && points == other.points && ids == other.ids;
  }
};

struct Case {
  std::string name;
  CloudClusterPara para;
  CloudPtr cloud;
};

Outcome Cluster(const CloudCluster& clustering, const CloudPtr& cloud) {
  Outcome outcome;
  std::vector<CloudPtr> clusters;
  clustering.obstacleCluster(cloud, outcome.count, clusters);
  for (const CloudPtr& cluster : clusters) {
    outcome.points.emplace_back();
    for (const pcl::PointXYZ& p : *cluster) outcome.points.back().push_back({p.x, p.y, p.z});
  }
  clustering.obstacleCluster(cloud, outcome.ids);
  return outcome;
}

// What a thread that has never clustered before makes of `c`.
Outcome OnFreshThread(const Case& c) {
  Outcome outcome;
  std::thread([&] { outcome = Cluster(CloudCluster(c.para), c.cloud); }).join();
  return outcome;
}

CloudPtr MakeCloud(const std::vector<pcl::PointXYZ>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

// `n` points spread evenly over [0, extent) x [0, extent) at heights up to
// 2 m: on a unit grid nearly every cell holds points.
CloudPtr RandomCloud(unsigned seed, float extent, int n) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> along(0.0f, extent);
  std::uniform_real_distribution<float> height(0.1f, 2.0f);
  auto cloud = std::make_shared<Cloud>();
  for (int i = 0; i < n; ++i) {
    const float x = along(generator);
    const float y = along(generator);
    cloud->push_back({x, y, height(generator)});
  }
  return cloud;
}

// One occupied cell in the corner of a 6 x 6 unit grid: its dilation reaches
// three cells that hold no point, and the single point far away makes a cell
// of its own that no occupied cell reaches.
CloudPtr CornerCell() {
  return MakeCloud(
      {{0.5f, 0.5f, 1.0f}, {0.6f, 0.5f, 1.5f}, {0.5f, 0.6f, 0.5f}, {5.5f, 5.5f, 1.0f}});
}

// Grids of different shapes and sizes, the later ones smaller than the
// earlier, so that each finds storage an earlier one filled.
std::vector<Case> Cases() {
  std::vector<Case> cases = {
      // 1,600 x 1,600 cells: a grid whose storage the thread gives back.
      {"stray points 800 m apart, step 0.5",
       {0.5f, 3, 1},
       MakeCloud({{0.1f, 0.1f, 1.0f}, {0.2f, 0.1f, 1.0f}, {799.9f, 799.9f, 1.0f}})},
      {"dense 40 m, step 0.5", {0.5f, 3, 2}, RandomCloud(7, 40.0f, 20000)},
      {"dense 40 m, step 1, window 5", {1.0f, 5, 2}, RandomCloud(8, 40.0f, 4000)},
      {"corner cell", {1.0f, 3, 2}, CornerCell()},
      {"sparse 12 m, step 0.25", {0.25f, 3, 1}, RandomCloud(9, 12.0f, 900)},
      {"corner cell, even window", {1.0f, 2, 2}, CornerCell()},
  };
  const auto frame = larkspur::datasets::SharedDataPath("kitti_hdl64/velodyne/000000.bin");
  if (frame) {
    const CloudPtr scan = larkspur::datasets::ReadKittiBin(*frame);
    auto obstacles = std::make_shared<Cloud>();
    for (const pcl::PointXYZ& p : *scan) {
      if (p.z > -1.4f && std::abs(p.x) <= 20.0f && std::abs(p.y) <= 20.0f) obstacles->push_back(p);
    }
    cases.insert(cases.begin(), {{"KITTI, step 0.05", {0.05f, 3, 2}, obstacles},
                                 {"KITTI, step 0.1", {0.1f, 3, 2}, obstacles}});
  }
  return cases;
}

TEST(CloudClusterThreadsTest, CornerCellGivesItsHighestPointOnly) {
  // Worked out by hand: the occupied cell (0, 0) with its dilation is one
  // cluster whose only point-holding cell is (0, 0); the cell (5, 5) holds a
  // single point and is not occupied.
  const Outcome outcome = OnFreshThread({"corner cell", {1.0f, 3, 2}, CornerCell()});
  EXPECT_EQ(outcome.count, 1);
  EXPECT_THAT(outcome.points,
              ::testing::ElementsAre(::testing::ElementsAre(Xyz{0.6f, 0.5f, 1.5f})));
  EXPECT_EQ(outcome.ids, (std::vector<std::int32_t>{0, 0, 0, -1}));
}

TEST(CloudClusterThreadsTest, ResultsDoNotDependOnEarlierCallsOfTheThread) {
  const std::vector<Case> cases = Cases();
  std::vector<Outcome> expected;
  for (const Case& c : cases) expected.push_back(OnFreshThread(c));
  // Every case after every other, with objects of different parameters
  // alternating on this thread.
  for (const Case& before : cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      Cluster(CloudCluster(before.para), before.cloud);
      EXPECT_TRUE(Cluster(CloudCluster(cases[i].para), cases[i].cloud) == expected[i])
          << cases[i].name << " after " << before.name;
    }
  }
}

TEST(CloudClusterThreadsTest, ThreadsShareOneObject) {
  const std::vector<Case> cases = Cases();
  const CloudCluster clustering(cases.front().para);
  std::vector<Outcome> expected;
  for (const Case& c : cases)
    expected.push_back(OnFreshThread({c.name, cases.front().para, c.cloud}));
  // Each thread walks the clouds from its own starting point, so that at any
  // moment the threads build grids of different sizes.
  constexpr std::size_t kThreads = 4;
  std::vector<std::vector<bool>> same(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t step = 0; step < 2 * cases.size(); ++step) {
        const std::size_t i = (t + step) % cases.size();
        same[t].push_back(Cluster(clustering, cases[i].cloud) == expected[i]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    EXPECT_THAT(same[t], ::testing::Each(true)) << "thread " << t;
  }
}

}  // namespace
}  // namespace kestrel::perception
