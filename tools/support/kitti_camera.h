// The recorded KITTI HDL-64E frames' camera 0 and ground-removal set, as
// config/kitti_hdl64 describes them: the one definition the tests and
// benchmarks share.
#pragma once

#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace support {

// Image size, intrinsics and camera-to-velodyne extrinsic read from the
// source tree's config/kitti_hdl64/camera.yaml. Throws
// larkspur::config::ConfigError naming the file and key when it cannot.
kestrel::perception::CameraInfo KittiCamera();

// The HDL-64E ground-removal set of config/kitti_hdl64/remove_ground_linefit.yaml
// (the replay tool's set for KITTI input). Throws larkspur::config::ConfigError
// naming the file and key when it cannot be read.
kestrel::perception::GroundRemovalParams Hdl64GroundParams();

}  // namespace support
}  // namespace larkspur
