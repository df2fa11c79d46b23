// A sequence of calls on the camera-frame registry and on frames of its own.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "camera_frame_inputs.h"
#include "checks.h"
#include "larkspur_perception_libs/camera_frame.h"
#include "larkspur_protocol/msg/semantic_point_cloud.hpp"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

void CheckShape(CameraFrame& frame, std::uint8_t shape_size) {
  larkspur_protocol::msg::SemanticPointCloud message;
  message.shape.resize(shape_size);
  const bool filled = frame.fillShapeToMsg(message);
  LARKSPUR_FUZZ_CHECK(filled == frame.data().valid);
  if (!filled) {
    LARKSPUR_FUZZ_CHECK(message.shape.size() == shape_size);
    return;
  }
  LARKSPUR_FUZZ_CHECK(message.shape.size() == 4);
  for (const auto& point : message.shape) {
    LARKSPUR_FUZZ_CHECK(std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z));
  }
}

}  // namespace

void RunCameraFrame(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  CameraFrameInput input;
  Transfer(reader, input);
  for (const CameraFrameStep& step : input.steps) {
    const CloudPtr cloud = step.null_cloud ? nullptr : std::make_shared<Cloud>(step.cloud);
    const bool id_in_range = step.id >= 0 && step.id < CameraFrameInstance::kMaxSlots;
    switch (step.op) {
      case CameraFrameStep::kLoad:
        LARKSPUR_FUZZ_CHECK(CameraFrameInstance::load(step.id, step.extrinsic) == id_in_range);
        if (id_in_range) LARKSPUR_FUZZ_CHECK(CameraFrameInstance::get(step.id) != nullptr);
        break;
      case CameraFrameStep::kGet:
        if (!id_in_range) LARKSPUR_FUZZ_CHECK(CameraFrameInstance::get(step.id) == nullptr);
        break;
      case CameraFrameStep::kCalculate:
        if (const auto frame = CameraFrameInstance::get(step.id)) {
          LARKSPUR_FUZZ_CHECK(frame->calculate(cloud));
          CheckShape(*frame, step.shape_size);
        }
        break;
      case CameraFrameStep::kFill:
        if (const auto frame = CameraFrameInstance::get(step.id)) {
          CheckShape(*frame, step.shape_size);
        }
        break;
      case CameraFrameStep::kOwnFrame: {
        CameraFrame frame(step.extrinsic);
        CheckShape(frame, step.shape_size);
        LARKSPUR_FUZZ_CHECK(frame.calculate(cloud));
        CheckShape(frame, step.shape_size);
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace fuzz
}  // namespace larkspur
