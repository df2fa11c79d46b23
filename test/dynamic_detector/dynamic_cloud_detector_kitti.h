// Camera 0 of the recorded KITTI HDL-64 frames, shared by the scenario test
// and the benchmark.
#pragma once

#include <Eigen/Dense>
#include <optional>
#include <string>

#include "datasets.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace larkspur_test {

// Camera 0 in the velodyne (robot) frame: the extrinsic is the inverse of
// calib.txt's "Tr:" (velodyne to camera); intrinsics and image size are those
// of KITTI odometry sequences 00 to 02 (calib.txt's "P0:", 1241 x 376, as the
// file holds no image size). Nothing when the data is absent.
inline std::optional<kestrel::perception::CameraInfo> KittiCamera0() {
  const auto path = larkspur::datasets::SharedDataPath("kitti_hdl64/calib.txt");
  if (!path) return std::nullopt;
  kestrel::perception::CameraInfo camera{1241, 376};
  camera.intrinsic << 718.856f, 0.0f, 607.1928f, 0.0f, 718.856f, 185.2157f, 0.0f, 0.0f, 1.0f;
  camera.extrinsic = larkspur::datasets::ReadKittiVeloToCam(*path).inverse();
  return camera;
}

}  // namespace larkspur_test
