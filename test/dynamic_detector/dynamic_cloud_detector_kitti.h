// Camera 0 of the recorded KITTI HDL-64 frames, shared by the scenario test
// and the benchmark.
#pragma once

#include <Eigen/Dense>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "datasets.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace larkspur_test {

// Twelve numbers after `key` in KITTI's calib.txt, row-major 3 x 4.
inline std::optional<Eigen::Matrix<float, 3, 4, Eigen::RowMajor>> ReadCalibRow(
    const std::string& path, const std::string& key) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    if (name != key) continue;
    Eigen::Matrix<float, 3, 4, Eigen::RowMajor> values;
    for (int k = 0; k < 12; ++k) fields >> values.data()[k];
    if (fields.fail()) return std::nullopt;
    return values;
  }
  return std::nullopt;
}

// Camera 0 in the velodyne (robot) frame: intrinsics from "P0:", extrinsic the
// inverse of "Tr:" (velodyne to camera). calib.txt has no image size; 1241 x
// 376 is that of KITTI odometry sequences 00 to 02. Nothing when the data is
// absent.
inline std::optional<kestrel::perception::CameraInfo> KittiCamera0() {
  const std::optional<std::string> path =
      larkspur::datasets::SharedDataPath("kitti_hdl64/calib.txt");
  if (!path) return std::nullopt;
  const auto projection = ReadCalibRow(*path, "P0:");
  const auto velodyne_to_camera = ReadCalibRow(*path, "Tr:");
  if (!projection || !velodyne_to_camera) return std::nullopt;
  kestrel::perception::CameraInfo camera;
  camera.width = 1241;
  camera.height = 376;
  camera.intrinsic = projection->leftCols<3>();
  Eigen::Matrix4f to_camera = Eigen::Matrix4f::Identity();
  to_camera.topRows<3>() = *velodyne_to_camera;
  camera.extrinsic = to_camera.inverse();
  return camera;
}

}  // namespace larkspur_test
