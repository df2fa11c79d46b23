// Six consecutive KITTI HDL-64 frames driven through Update and DivideCloud
// with the estimated poses. No object moves inside the grid (the moving
// motorcyclist is about 24.5 m ahead), so what any correct run must show is
// the static world turning static as the frames confirm it.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "datasets.h"
#include "kitti_camera.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = DynamicCloudDetector::Cloud;
namespace datasets = larkspur::datasets;

constexpr float kGroundCut = -1.4f;  // metres; the road lies near -1.73

std::optional<std::string> FramePath(const std::string& folder, int frame, const char* extension) {
  return datasets::SharedDataPath("kitti_hdl64/" + folder + "/00000" + std::to_string(frame) +
                                  extension);
}

double StaticShare(const DynamicCloudDetector& detector, const Cloud& cloud) {
  Cloud dynamic_cloud, static_cloud;
  detector.DivideCloud(cloud, dynamic_cloud, static_cloud);
  return static_cast<double>(static_cloud.size()) / static_cast<double>(cloud.size());
}

// The points of `raw` labelled `semantic_class` above the ground cut, moved by
// `motion`, that lie inside the grid and, if `in_view`, in the camera's image.
Cloud LabelledPoints(const Cloud& raw, const std::vector<std::uint32_t>& labels,
                     const Eigen::Matrix4f& motion, const CameraInfo& camera,
                     std::uint32_t semantic_class, bool in_view) {
  Cloud picked;
  for (size_t k = 0; k < raw.size(); ++k) {
    if ((labels[k] & 0xFFFFu) != semantic_class || raw.points[k].z <= kGroundCut) continue;
    const Eigen::Vector4f p = motion * raw.points[k].getVector4fMap();
    const Eigen::Vector3f pixel = camera.intrinsic * (camera.extrinsic.inverse() * p).head<3>();
    const float u = pixel.x() / pixel.z(), v = pixel.y() / pixel.z();
    const bool seen = pixel.z() > 0.0f && u >= 0.0f && u < static_cast<float>(camera.width) &&
                      v >= 0.0f && v < static_cast<float>(camera.height);
    if (std::abs(p.x()) < 10.0f && std::abs(p.y()) < 10.0f && (seen || !in_view)) {
      picked.push_back(pcl::PointXYZ(p.x(), p.y(), p.z()));
    }
  }
  return picked;
}

TEST(KittiScenarioTest, ParkedCarsAndBuildingsEndUpStatic) {
  const auto poses_path = datasets::SharedDataPath("kitti_hdl64/poses_estimated.txt");
  const CameraInfo camera = larkspur::support::KittiCamera();
  if (!poses_path) GTEST_SKIP() << "kitti_hdl64 recordings absent";
  const std::vector<Eigen::Matrix4f> poses = datasets::ReadKittiPoses(*poses_path);
  ASSERT_EQ(poses.size(), 6u);
  DynamicCloudDetector detector(
      YAML::Load("{resolution: 0.1, width: 20, occupancy_threshold: 0.0, log_odds_obstacle: 0.4, "
                 "log_odds_occlusion: 0.2, log_odds_free_space: -0.4}"));
  detector.Init(camera);
  std::vector<std::shared_ptr<Cloud>> raw;
  for (int frame = 0; frame < 6; ++frame) {
    const auto path = FramePath("velodyne", frame, ".bin");
    if (!path) GTEST_SKIP() << "kitti_hdl64 frame " << frame << " absent";
    raw.push_back(datasets::ReadKittiBin(*path));
    auto cloud = std::make_shared<Cloud>();
    for (const pcl::PointXYZ& p : *raw.back()) {
      if (p.z > kGroundCut) cloud->push_back(p);
    }
    detector.Update(cloud, poses[frame], false);
    // A fresh grid believes every cell free (-1): one hit leaves -0.6, two
    // -0.2; from the third frame on surfaces seen in every frame reach 0.2.
    EXPECT_TRUE(frame < 2 || StaticShare(detector, *cloud) > 0.9) << "frame " << frame;
  }

  // Labelled points, carried into the last frame. Points of small or partly
  // hidden surfaces may still miss, so most, not all, must be static. The
  // buildings inside the grid all lie beside the road, out of the camera's view.
  constexpr std::uint32_t kCar = 10, kBuilding = 50;
  for (const int labelled : {0, 1}) {
    const auto path = FramePath("labels", labelled, ".label");
    if (!path) GTEST_SKIP() << "labels of frame " << labelled << " absent";
    const auto labels = datasets::ReadSemanticKittiLabels(*path, raw[labelled]->size());
    for (const auto& [semantic_class, in_view] : std::vector<std::pair<std::uint32_t, bool>>{
             {kCar, true}, {kCar, false}, {kBuilding, false}}) {
      const Cloud points =
          LabelledPoints(*raw[labelled], labels, poses.back().inverse() * poses[labelled], camera,
                         semantic_class, in_view);
      SCOPED_TRACE(testing::Message() << "class " << semantic_class << (in_view ? " in view" : "")
                                      << " of frame " << labelled);
      ASSERT_GE(points.size(), 100u);
      EXPECT_GT(StaticShare(detector, points), 0.9);
    }
  }
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
