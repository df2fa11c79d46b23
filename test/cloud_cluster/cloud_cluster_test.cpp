#include "larkspur_perception_libs/cloud_cluster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "datasets.h"

namespace kestrel::perception {
namespace {

using Cloud = CloudCluster::Cloud;
using CloudPtr = CloudCluster::CloudPtr;
using Xyz = std::vector<float>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The debug lines are part of the behaviour; the logger reads these once.
const bool kDebugOnStdout =
    setenv("SPDLOG_LEVEL", "debug", 1) == 0 && setenv("SPDLOG_STDOUT", "true", 1) == 0;

CloudPtr MakeCloud(const std::vector<pcl::PointXYZ>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

// Three points make a cell occupied under the default threshold of 2.
std::vector<pcl::PointXYZ> OccupiedCell(float x, float y, float top_z,
                                        std::vector<pcl::PointXYZ> more = {}) {
  more.insert(more.end(), {{x, y, top_z - 0.5f}, {x, y, top_z}, {x, y, top_z - 0.25f}});
  return more;
}

struct Result {
  int count;
  std::vector<CloudPtr> clusters;
  std::vector<std::vector<Xyz>> points;  // of each cluster
  std::vector<std::string> debug;        // without the count and level prefix
};

Result ClusterOf(const CloudClusterPara& para, const CloudPtr& cloud, int count = 0,
                 std::vector<CloudPtr> clusters = {}) {
  EXPECT_TRUE(kDebugOnStdout);
  Result result{count, std::move(clusters), {}, {}};
  ::testing::internal::CaptureStdout();
  CloudCluster(para).obstacleCluster(cloud, result.count, result.clusters);
  std::istringstream output(::testing::internal::GetCapturedStdout());
  for (std::string line; std::getline(output, line);) {
    const std::size_t tag = line.find("[DEBUG] ");
    if (tag != std::string::npos) result.debug.push_back(line.substr(tag + 8));
  }
  for (const CloudPtr& cluster : result.clusters) {
    result.points.emplace_back();
    for (const pcl::PointXYZ& p : cluster->points) result.points.back().push_back({p.x, p.y, p.z});
  }
  return result;
}

const CloudClusterPara kUnitGrid{1.0f, 3, 2};

TEST(CloudClusterTest, DegenerateInputIsLoggedAndLeavesTheOutputsAlone) {
  auto all_nan = MakeCloud({{kNaN, 1, 1}, {1, kNaN, 1}});
  all_nan->is_dense = false;
  const auto apart = MakeCloud({{0, 0, 1}, {100, 50, 1}});
  const char* const kTooFew = "The input cloud's size for cluster is too small";
  const char* const kNoRange = "The range of input cloud for cluster is too small";
  const char* const kTooLarge = "The grid for cluster would need";
  const struct {
    CloudClusterPara para;
    CloudPtr cloud;
    const char* message;
  } cases[] = {{{}, nullptr, kTooFew},
               {{}, MakeCloud({}), kTooFew},
               {{}, MakeCloud({{1, 2, 3}}), kTooFew},
               {{}, all_nan, kNoRange},
               {{kNaN, 3, 2}, apart, kNoRange},
               {{0.0f, 3, 2}, apart, kTooLarge},
               {{0.001f, 3, 2}, apart, kTooLarge}};
  for (const auto& c : cases) {
    const auto kept = std::make_shared<Cloud>();
    const Result result = ClusterOf(c.para, c.cloud, 5, {kept});
    EXPECT_THAT(result.debug, ::testing::Contains(::testing::StartsWith(c.message)));
    EXPECT_EQ(result.count, 5);
    EXPECT_THAT(result.clusters, ElementsAre(kept));
  }
}

TEST(CloudClusterTest, TwoPointsInOneCellMakeNoCluster) {
  // 0.005 m apart (3-4-5): one cell of the default grid, not above the threshold.
  const Result result = ClusterOf({}, MakeCloud({{1.0f, 2.0f, 0.5f}, {1.003f, 2.004f, 0.5f}}), 0,
                                  {std::make_shared<Cloud>()});
  EXPECT_EQ(result.count, 0);
  EXPECT_THAT(result.clusters, IsEmpty());
  // The box line names the x extent "y" and the y extent "x".
  EXPECT_THAT(result.debug, ElementsAre("ymax = 1.0030, ymin = 1.0000, xmax = 2.0040, "
                                        "xmin = 2.0000, grid_step_ = 0.0100, cols = 1, rows = 1"));
}

TEST(CloudClusterTest, ThreePointsInOneCellGiveTheHighestOne) {
  const Result result = ClusterOf(
      {}, MakeCloud({{1.001f, 1.001f, 0.2f}, {1.002f, 1.002f, 0.7f}, {1.003f, 1.003f, 0.4f}}));
  EXPECT_EQ(result.count, 1);
  EXPECT_THAT(result.points, ElementsAre(ElementsAre(Xyz{1.002f, 1.002f, 0.7f})));
}

// Two occupied cells in one row with one, two or three empty cells between;
// the far one comes first in the cloud, so labels follow the scan.
TEST(CloudClusterTest, DilatedAreasThatTouchJoin) {
  for (const int gap : {1, 2, 3}) {
    const Xyz near = {0.5f, 0.5f, 1};
    const Xyz far = {gap + 1.5f, 0.5f, 2};
    const Result result =
        ClusterOf(kUnitGrid, MakeCloud(OccupiedCell(0.5f, 0.5f, 1, OccupiedCell(far[0], 0.5f, 2))));
    EXPECT_EQ(result.count, gap <= 2 ? 1 : 2);
    using Clusters = std::vector<std::vector<Xyz>>;
    const Clusters expected = gap <= 2 ? Clusters{{near, far}} : Clusters{{near}, {far}};
    EXPECT_EQ(result.points, expected) << gap;
  }
}

TEST(CloudClusterTest, LabelsContinueFromTheIncomingCount) {
  const auto stale = MakeCloud({{9, 9, 9}});
  const Result result =
      ClusterOf(kUnitGrid, MakeCloud(OccupiedCell(0.5f, 0.5f, 1)), 2, {stale, stale});
  EXPECT_EQ(result.count, 3);
  EXPECT_THAT(result.points, ElementsAre(IsEmpty(), IsEmpty(), ElementsAre(Xyz{0.5f, 0.5f, 1})));
  EXPECT_EQ(stale->size(), 1u);
}

TEST(CloudClusterTest, ClusterCoveringTheWholeGridNeedsNoDeepRecursion) {
  // A negative threshold occupies every cell: one cluster of about a million
  // cells, of which only the two with points contribute.
  const Result result = ClusterOf({0.1f, 3, -1}, MakeCloud({{0, 0, 1}, {100, 100, 2}}));
  EXPECT_THAT(result.points, ElementsAre(ElementsAre(Xyz{0, 0, 1}, Xyz{100, 100, 2})));
}

TEST(CloudClusterTest, NonFiniteXOrYBelongsToNoCell) {
  auto cloud = MakeCloud(OccupiedCell(0.5f, 0.5f, 1, {{kNaN, 0.5f, 9}, {0.5f, kNaN, 9}}));
  cloud->is_dense = false;
  EXPECT_THAT(ClusterOf(kUnitGrid, cloud).points, ElementsAre(ElementsAre(Xyz{0.5f, 0.5f, 1})));
}

// The 3 x `cols` matrix of the calibration line `key`, made homogeneous.
Eigen::Matrix4f Calibration(const std::string& path, const std::string& key, int cols) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line) && line.rfind(key + ":", 0) != 0) {
  }
  std::istringstream numbers(line.substr(key.size() + 1));
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  for (int i = 0; i < 3 * cols; ++i) numbers >> m(i / cols, i % cols);
  return m;
}

// The pedestrian of KITTI object frame 000000, boxed in label_2, as a
// vertical cylinder around its box in the sensor frame.
TEST(CloudClusterTest, KittiPedestrianIsOneCluster) {
  const auto velodyne = larkspur::datasets::SharedDataPath("kitti_objects/velodyne/000000.bin");
  const auto label = larkspur::datasets::SharedDataPath("kitti_objects/label_2/000000.txt");
  const auto calib = larkspur::datasets::SharedDataPath("kitti_objects/calib/000000.txt");
  if (!velodyne || !label || !calib) GTEST_SKIP() << "kitti_objects frame 000000 not available";
  std::ifstream label_file(*label);
  std::string type;
  float skip, h, w, l, x, y, z;
  label_file >> type >> skip >> skip >> skip >> skip >> skip >> skip >> skip >> h >> w >> l >> x >>
      y >> z;
  ASSERT_EQ(type, "Pedestrian");
  // Rectified camera coordinates (y down) to the sensor frame (z up).
  const Eigen::Vector4f bottom = Calibration(*calib, "Tr_velo_to_cam", 4).inverse() *
                                 Calibration(*calib, "R0_rect", 3).inverse() *
                                 Eigen::Vector4f(x, y, z, 1);
  const auto near_box = [&](const pcl::PointXYZ& p, float margin) {
    return std::hypot(p.x - bottom.x(), p.y - bottom.y()) <= std::hypot(l, w) / 2 + margin &&
           p.z >= bottom.z() && p.z <= bottom.z() + h;
  };

  // Obstacle points: above a crude ground cut 0.2 m over the box's bottom.
  auto obstacles = std::make_shared<Cloud>();
  const CloudPtr scan = larkspur::datasets::ReadKittiBin(*velodyne);
  for (const pcl::PointXYZ& p : scan->points) {
    if (p.z >= bottom.z() + 0.2f && std::abs(p.x) <= 20 && std::abs(p.y) <= 20)
      obstacles->push_back(p);
  }
  int touching = 0;
  for (const CloudPtr& cluster : ClusterOf({0.1f, 3, 2}, obstacles).clusters) {
    int inside = 0;
    int beyond = 0;
    for (const pcl::PointXYZ& p : cluster->points) {
      inside += near_box(p, 0) ? 1 : 0;
      beyond += near_box(p, 0.3f) ? 0 : 1;
    }
    if (inside == 0) continue;
    ++touching;
    EXPECT_GE(inside, 5);
    EXPECT_EQ(beyond, 0) << "the pedestrian's cluster reaches beyond its box";
  }
  EXPECT_EQ(touching, 1);
}

}  // namespace
}  // namespace kestrel::perception
