#include "kitti_camera.h"

#include "tool_config.h"

namespace larkspur {
namespace support {

kestrel::perception::CameraInfo KittiCamera() {
  return config::ReadCamera(LARKSPUR_SOURCE_CONFIG_DIR "/kitti_hdl64/camera.yaml").info;
}

kestrel::perception::GroundRemovalParams Hdl64GroundParams() {
  return config::ReadGroundRemovalParams(LARKSPUR_SOURCE_CONFIG_DIR
                                         "/kitti_hdl64/remove_ground_linefit.yaml");
}

}  // namespace support
}  // namespace larkspur
