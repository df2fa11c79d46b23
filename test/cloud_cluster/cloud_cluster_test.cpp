#include "larkspur_perception_libs/cloud_cluster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pcl/common/point_tests.h>
#include <Eigen/Dense>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "datasets.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = CloudCluster::Cloud;
using CloudPtr = CloudCluster::CloudPtr;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The debug lines are part of the behaviour under test.
class DebugLogging : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("SPDLOG_LEVEL", "debug", 1);
    setenv("SPDLOG_STDOUT", "true", 1);
  }
};
const ::testing::Environment* const kDebugLogging =
    ::testing::AddGlobalTestEnvironment(new DebugLogging);

// Texts of the "[DEBUG]" lines `action` writes, without their count prefix.
std::vector<std::string> DebugLines(const std::function<void()>& action) {
  ::testing::internal::CaptureStdout();
  action();
  std::istringstream output(::testing::internal::GetCapturedStdout());
  const std::regex debug_line(R"(^[ 0-9]{3} \[DEBUG\] (.*)$)");
  std::vector<std::string> texts;
  std::smatch match;
  for (std::string line; std::getline(output, line);) {
    if (std::regex_match(line, match, debug_line)) texts.push_back(match[1]);
  }
  return texts;
}

CloudPtr MakeCloud(const std::vector<pcl::PointXYZ>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : points) cloud->push_back(p);
  return cloud;
}

// Three points make a cell occupied under the default threshold of 2.
std::vector<pcl::PointXYZ> OccupiedCell(float x, float y, float top_z) {
  return {{x, y, top_z - 0.5f}, {x, y, top_z}, {x, y, top_z - 0.25f}};
}

std::vector<pcl::PointXYZ> Join(std::vector<std::vector<pcl::PointXYZ>> parts) {
  std::vector<pcl::PointXYZ> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Cluster contents as (x, y, z) triples, for readable comparisons.
using Xyz = std::vector<float>;
std::vector<Xyz> Points(const CloudPtr& cluster) {
  std::vector<Xyz> points;
  for (const pcl::PointXYZ& p : cluster->points) points.push_back({p.x, p.y, p.z});
  return points;
}

CloudClusterPara UnitGrid(std::int32_t search_size = 3) { return {1.0f, search_size, 2}; }

struct Result {
  int count;
  std::vector<CloudPtr> clusters;
  std::vector<std::string> debug;
};

Result ClusterOf(const CloudClusterPara& para, const CloudPtr& cloud, int count = 0,
                 std::vector<CloudPtr> clusters = {}) {
  Result result{count, std::move(clusters), {}};
  const CloudCluster cluster(para);
  result.debug = DebugLines([&] { cluster.obstacleCluster(cloud, result.count, result.clusters); });
  return result;
}

// Degenerate input: a debug line and untouched outputs.
struct RefusedCase {
  const char* name;
  CloudClusterPara para;
  std::function<CloudPtr()> cloud;
  const char* message;
};

class RefusedInputTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedInputTest, LogsAndLeavesOutputsUntouched) {
  const auto kept = std::make_shared<Cloud>();
  const Result result = ClusterOf(GetParam().para, GetParam().cloud(), 5, {kept});
  ASSERT_FALSE(result.debug.empty());
  EXPECT_THAT(result.debug.back(), ::testing::StartsWith(GetParam().message));
  EXPECT_EQ(result.count, 5);
  EXPECT_THAT(result.clusters, ElementsAre(kept));
}

const char kTooSmall[] = "The input cloud's size for cluster is too small";
const char kRangeTooSmall[] = "The range of input cloud for cluster is too small";
const char kTooLarge[] = "The grid for cluster would need";

CloudPtr AllNonFinite() {
  auto cloud = MakeCloud({{kNaN, 1, 1}, {1, kInf, 1}, {1, 1, -kInf}});
  cloud->is_dense = false;
  return cloud;
}

// A cloud marked dense is taken at its word: the infinite y stretches the box.
CloudPtr DenseWithInfiniteY() { return MakeCloud({{1, kInf, 1}, {1, 1, 1}}); }

CloudPtr TwoPointsApart() { return MakeCloud({{0, 0, 1}, {100, 50, 1}}); }

INSTANTIATE_TEST_SUITE_P(
    DegenerateInput, RefusedInputTest,
    ::testing::Values(RefusedCase{"NullCloud", {}, [] { return CloudPtr(); }, kTooSmall},
                      RefusedCase{"NoPoint", {}, [] { return MakeCloud({}); }, kTooSmall},
                      RefusedCase{"OnePoint",
                                  {},
                                  [] {
                                    return MakeCloud({{1, 2, 3}});
                                  },
                                  kTooSmall},
                      RefusedCase{"AllNonFinite", {}, AllNonFinite, kRangeTooSmall},
                      RefusedCase{"NegativeStep", {-0.1f, 3, 2}, TwoPointsApart, kRangeTooSmall},
                      RefusedCase{"NaNStep", {kNaN, 3, 2}, TwoPointsApart, kRangeTooSmall},
                      RefusedCase{"ZeroStepZeroExtent",
                                  {0.0f, 3, 2},
                                  [] {
                                    return MakeCloud({{1, 1, 1}, {1, 1, 2}});
                                  },
                                  kRangeTooSmall},
                      RefusedCase{"ZeroStep", {0.0f, 3, 2}, TwoPointsApart, kTooLarge},
                      RefusedCase{
                          "StepTooSmallForExtent", {0.001f, 3, 2}, TwoPointsApart, kTooLarge},
                      RefusedCase{"InfiniteYInDenseCloud", {}, DenseWithInfiniteY, kTooLarge}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST(CloudClusterTest, CountThatCannotBeContinuedIsRefused) {
  for (const int count : {-1, std::numeric_limits<int>::max()}) {
    const auto kept = std::make_shared<Cloud>();
    const Result result = ClusterOf({}, MakeCloud(OccupiedCell(0, 0, 1)), count, {kept});
    EXPECT_EQ(result.count, count);
    EXPECT_THAT(result.clusters, ElementsAre(kept));
    ASSERT_FALSE(result.debug.empty());
    EXPECT_THAT(result.debug.back(), ::testing::StartsWith("The cluster count"));
  }
}

TEST(CloudClusterTest, TwoPointsInOneCellMakeNoCluster) {
  // 0.005 m apart (3-4-5): one cell of the default grid, not above the threshold.
  const auto stale = std::make_shared<Cloud>();
  const Result result =
      ClusterOf({}, MakeCloud({{1.0f, 2.0f, 0.5f}, {1.003f, 2.004f, 0.5f}}), 0, {stale, stale});
  EXPECT_EQ(result.count, 0);
  EXPECT_THAT(result.clusters, IsEmpty());
  // The box line names the x extent "y" and the y extent "x".
  EXPECT_THAT(result.debug, ElementsAre("ymax = 1.0030, ymin = 1.0000, xmax = 2.0040, "
                                        "xmin = 2.0000, grid_step_ = 0.0100, cols = 1, rows = 1"));
}

TEST(CloudClusterTest, ThreePointsInOneCellGiveTheHighestOne) {
  // Equal heights keep the earlier point; only a strictly higher one replaces it.
  const Result result = ClusterOf({}, MakeCloud({{1.001f, 1.001f, 0.2f},
                                                 {1.002f, 1.002f, 0.7f},
                                                 {1.003f, 1.003f, 0.7f},
                                                 {1.004f, 1.004f, 0.4f}}));
  EXPECT_EQ(result.count, 1);
  ASSERT_EQ(result.clusters.size(), 1u);
  EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{1.002f, 1.002f, 0.7f}));
  EXPECT_EQ(result.clusters[0]->width, 1u);
  EXPECT_EQ(result.clusters[0]->height, 1u);
}

// Two occupied cells in one row with `gap` empty cells between them; the
// second one comes first in the cloud, so labels follow the scan, not storage.
class GapTest : public ::testing::TestWithParam<int> {};

TEST_P(GapTest, DilatedAreasThatTouchJoin) {
  const int gap = GetParam();
  const float far_x = static_cast<float>(gap) + 1.5f;
  const Result result = ClusterOf(
      UnitGrid(), MakeCloud(Join({OccupiedCell(far_x, 0.5f, 2), OccupiedCell(0.5f, 0.5f, 1)})));
  if (gap <= 2) {
    EXPECT_EQ(result.count, 1);
    ASSERT_EQ(result.clusters.size(), 1u);
    EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}, Xyz{far_x, 0.5f, 2}));
  } else {
    EXPECT_EQ(result.count, 2);
    ASSERT_EQ(result.clusters.size(), 2u);
    EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}));
    EXPECT_THAT(Points(result.clusters[1]), ElementsAre(Xyz{far_x, 0.5f, 2}));
  }
}

INSTANTIATE_TEST_SUITE_P(EmptyCellsBetween, GapTest, ::testing::Values(1, 2, 3));

TEST(CloudClusterTest, SparseCellJoinsOnlyAnOccupiedNeighbour) {
  const auto occupied = OccupiedCell(0.5f, 0.5f, 1);
  const Result beside = ClusterOf(UnitGrid(), MakeCloud(Join({occupied, {{1.5f, 0.5f, 5}}})));
  ASSERT_EQ(beside.count, 1);
  EXPECT_THAT(Points(beside.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}, Xyz{1.5f, 0.5f, 5}));

  const Result alone = ClusterOf(UnitGrid(), MakeCloud(Join({occupied, {{3.5f, 0.5f, 5}}})));
  ASSERT_EQ(alone.count, 1);
  EXPECT_THAT(Points(alone.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}));
}

TEST(CloudClusterTest, PointsWithAllCoordinatesBelowTheBoundAreDropped) {
  // The test is signed: far negative points go as well, one positive
  // coordinate keeps a point.
  const Result dropped = ClusterOf(UnitGrid(), MakeCloud(OccupiedCell(-2.5f, -3.5f, -0.5f)));
  ASSERT_EQ(dropped.count, 1);
  EXPECT_THAT(Points(dropped.clusters[0]), IsEmpty());

  const Result kept = ClusterOf(UnitGrid(), MakeCloud(OccupiedCell(-2.5f, -3.5f, 0.5f)));
  ASSERT_EQ(kept.count, 1);
  EXPECT_THAT(Points(kept.clusters[0]), ElementsAre(Xyz{-2.5f, -3.5f, 0.5f}));
}

TEST(CloudClusterTest, LabelsContinueFromTheIncomingCount) {
  const auto stale = MakeCloud({{9, 9, 9}});
  const Result result =
      ClusterOf(UnitGrid(), MakeCloud(OccupiedCell(0.5f, 0.5f, 1)), 2, {stale, stale});
  EXPECT_EQ(result.count, 3);
  ASSERT_EQ(result.clusters.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(result.clusters[i], stale);
    EXPECT_THAT(Points(result.clusters[i]), IsEmpty());
  }
  EXPECT_THAT(Points(result.clusters[2]), ElementsAre(Xyz{0.5f, 0.5f, 1}));
  EXPECT_THAT(Points(stale), ElementsAre(Xyz{9, 9, 9}));
}

TEST(CloudClusterTest, CellIndexUsesSinglePrecisionQuotient) {
  // 0.5f / 0.1f rounds to 5 in float, while the double quotient is just
  // below 5: the point must land in cell 5, outside the dilation (cells 2 to
  // 4) of the occupied cell 3.
  const Result result = ClusterOf(
      {0.1f, 3, 2},
      MakeCloud(Join({{{0.0f, 0.0f, 1}, {0.5f, 0.0f, 7}}, OccupiedCell(0.35f, 0.0f, 1)})));
  ASSERT_EQ(result.count, 1);
  EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0.35f, 0.0f, 1}));
  ASSERT_FALSE(result.debug.empty());
  EXPECT_THAT(result.debug[0], ::testing::EndsWith("cols = 6, rows = 1"));
}

TEST(CloudClusterTest, NonFiniteXOrYBelongsToNoCell) {
  auto cloud = MakeCloud(
      Join({{{kNaN, 0.5f, 9}, {0.5f, kInf, 9}}, OccupiedCell(0.5f, 0.5f, 1), {{1.5f, 0.5f, 5}}}));
  cloud->is_dense = false;
  const Result result = ClusterOf(UnitGrid(), cloud);
  ASSERT_EQ(result.count, 1);
  EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}, Xyz{1.5f, 0.5f, 5}));

  // Marked dense, the NaN reaches the bounding box; whatever box results,
  // only finite points may come out.
  cloud->points.erase(cloud->points.begin() + 1);
  cloud->is_dense = true;
  for (const CloudPtr& cluster : ClusterOf(UnitGrid(), cloud).clusters) {
    for (const pcl::PointXYZ& p : cluster->points) EXPECT_TRUE(pcl::isFinite(p));
  }
}

// The occupied cell 0 and a single point in cell 1, which the dilation joins.
struct WindowCase {
  const char* name;
  std::int32_t search_size;
  int clusters;
};

class SearchWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(SearchWindowTest, JoinsCellsWithinTheWindow) {
  const Result result =
      ClusterOf(UnitGrid(GetParam().search_size),
                MakeCloud(Join({OccupiedCell(0.5f, 0.5f, 1), {{1.5f, 0.5f, 5}}})));
  ASSERT_EQ(result.count, GetParam().clusters);
  if (result.count == 1) {
    EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}, Xyz{1.5f, 0.5f, 5}));
  } else {
    EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0.5f, 0.5f, 1}));
    EXPECT_THAT(Points(result.clusters[1]), ElementsAre(Xyz{1.5f, 0.5f, 5}));
  }
}

// A side of 2 reaches one cell back only, so the scan's first cell cannot
// reach the next one; 0 or less keeps every cell on its own.
INSTANTIATE_TEST_SUITE_P(
    Sizes, SearchWindowTest,
    ::testing::Values(WindowCase{"Three", 3, 1}, WindowCase{"Two", 2, 2}, WindowCase{"Zero", 0, 2},
                      WindowCase{"MinusThree", -3, 2},
                      WindowCase{"Largest", std::numeric_limits<std::int32_t>::max(), 1},
                      WindowCase{"Smallest", std::numeric_limits<std::int32_t>::min(), 2}),
    [](const ::testing::TestParamInfo<WindowCase>& info) { return info.param.name; });

TEST(CloudClusterTest, ClusterCoveringTheWholeGridNeedsNoDeepRecursion) {
  // A negative threshold occupies every cell: one cluster of about a million
  // cells, of which only the two with points contribute.
  const Result result = ClusterOf({0.1f, 3, -1}, MakeCloud({{0, 0, 1}, {100, 100, 2}}));
  ASSERT_EQ(result.count, 1);
  EXPECT_THAT(Points(result.clusters[0]), ElementsAre(Xyz{0, 0, 1}, Xyz{100, 100, 2}));
}

// KITTI object frame 000000: one pedestrian, boxed in label_2.
class KittiPedestrianTest : public ::testing::Test {
 protected:
  // Oriented box in the sensor frame: bottom centre and unit axes.
  struct Box {
    Eigen::Vector3f centre;
    Eigen::Vector3f length_axis;
    Eigen::Vector3f width_axis;
    Eigen::Vector3f up_axis;
    float length;
    float width;
    float height;

    // Inside the footprint grown by `margin` and between the ground and the top.
    bool Contains(const pcl::PointXYZ& p, float margin) const {
      const Eigen::Vector3f d = p.getVector3fMap() - centre;
      const float up = d.dot(up_axis);
      return std::abs(d.dot(length_axis)) <= length / 2 + margin &&
             std::abs(d.dot(width_axis)) <= width / 2 + margin && up >= 0 && up <= height;
    }
  };

  static std::map<std::string, std::vector<float>> ReadCalib(const std::string& path) {
    std::map<std::string, std::vector<float>> rows;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
      std::istringstream fields(line);
      std::string key;
      fields >> key;
      if (key.empty()) continue;
      key.pop_back();  // the ':'
      float value;
      while (fields >> value) rows[key].push_back(value);
    }
    return rows;
  }

  // The box of the first label line, taken from rectified camera
  // coordinates (x right, y down, z forward) to the sensor frame.
  static Box ReadBox(const std::string& label_path, const std::string& calib_path) {
    std::ifstream label(label_path);
    std::string type;
    float skip, h, w, l, x, y, z, ry;
    label >> type >> skip >> skip >> skip >> skip >> skip >> skip >> skip >> h >> w >> l >> x >>
        y >> z >> ry;
    const auto calib = ReadCalib(calib_path);
    const auto& r0 = calib.at("R0_rect");
    const auto& tr = calib.at("Tr_velo_to_cam");
    Eigen::Matrix4f rect = Eigen::Matrix4f::Identity();
    Eigen::Matrix4f velo_to_cam = Eigen::Matrix4f::Identity();
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) rect(i, j) = r0[3 * i + j];
      for (int j = 0; j < 4; ++j) velo_to_cam(i, j) = tr[4 * i + j];
    }
    const Eigen::Matrix4f to_sensor = velo_to_cam.inverse() * rect.inverse();
    const Eigen::Matrix3f rotation = to_sensor.topLeftCorner<3, 3>();
    const float c = std::cos(ry);
    const float s = std::sin(ry);
    Box box;
    box.centre = (to_sensor * Eigen::Vector4f(x, y, z, 1)).head<3>();
    box.length_axis = (rotation * Eigen::Vector3f(c, 0, -s)).normalized();
    box.width_axis = (rotation * Eigen::Vector3f(s, 0, c)).normalized();
    box.up_axis = (rotation * Eigen::Vector3f(0, -1, 0)).normalized();
    box.length = l;
    box.width = w;
    box.height = h;
    return box;
  }
};

TEST_F(KittiPedestrianTest, PedestrianIsOneCluster) {
  const auto velodyne = larkspur::datasets::SharedDataPath("kitti_objects/velodyne/000000.bin");
  const auto label = larkspur::datasets::SharedDataPath("kitti_objects/label_2/000000.txt");
  const auto calib = larkspur::datasets::SharedDataPath("kitti_objects/calib/000000.txt");
  if (!velodyne || !label || !calib) GTEST_SKIP() << "kitti_objects frame 000000 not available";

  const Box box = ReadBox(*label, *calib);
  ASSERT_GT(box.centre.x(), 5.0f);  // about 8.4 m ahead

  // Obstacle points: above a crude ground cut 0.2 m over the box's bottom,
  // within 20 m of the sensor.
  const auto scan = larkspur::datasets::ReadKittiBin(*velodyne);
  auto obstacles = std::make_shared<Cloud>();
  int pedestrian_points = 0;
  for (const pcl::PointXYZ& p : scan->points) {
    if (p.z < box.centre.z() + 0.2f || std::abs(p.x) > 20 || std::abs(p.y) > 20) continue;
    obstacles->push_back(p);
    pedestrian_points += box.Contains(p, 0) ? 1 : 0;
  }
  ASSERT_GT(pedestrian_points, 50);

  const Result result = ClusterOf({0.1f, 3, 2}, obstacles);
  int touching = 0;
  for (const CloudPtr& cluster : result.clusters) {
    bool in_box = false;
    bool near_box = true;
    for (const pcl::PointXYZ& p : cluster->points) {
      in_box = in_box || box.Contains(p, 0);
      near_box = near_box && box.Contains(p, 0.3f);
    }
    if (!in_box) continue;
    ++touching;
    EXPECT_TRUE(near_box) << "the pedestrian's cluster reaches beyond its box";
  }
  EXPECT_EQ(touching, 1);
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
