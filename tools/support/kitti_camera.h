// Camera 0 of the recorded KITTI HDL-64 frames, as config/kitti_hdl64/camera.yaml
// describes it: the one definition the tests and benchmarks share.
#pragma once

#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace larkspur {
namespace support {

// Image size, intrinsics and camera-to-velodyne extrinsic read from the
// source tree's config/kitti_hdl64/camera.yaml. Throws
// larkspur::config::ConfigError naming the file and key when it cannot.
kestrel::perception::CameraInfo KittiCamera();

}  // namespace support
}  // namespace larkspur
