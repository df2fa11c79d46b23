// Inputs of the camera-frame fuzz target: a sequence of calls on the
// registry and on frames of its own.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <vector>

#include "io.h"

namespace larkspur {
namespace fuzz {

// One call on the camera-frame registry or on a frame. Ids reach past both
// ends of the registry's range.
struct CameraFrameStep {
  enum Op : std::uint8_t { kLoad, kGet, kCalculate, kFill, kOwnFrame, kOpCount };
  static constexpr std::int32_t kMinId = -4;
  static constexpr std::int32_t kMaxId = 70000;

  std::uint8_t op = kLoad;
  std::int32_t id = 0;
  Eigen::Matrix4f extrinsic = Eigen::Matrix4f::Identity();
  pcl::PointCloud<pcl::PointXYZ> cloud;
  bool null_cloud = false;
  // Points the message's shape holds before fillShapeToMsg.
  std::uint8_t shape_size = 0;
};

template <typename Io>
void Transfer(Io& io, CameraFrameStep& step) {
  io.Int(step.op, std::uint8_t{0}, std::uint8_t{CameraFrameStep::kOpCount - 1});
  io.Int(step.id, CameraFrameStep::kMinId, CameraFrameStep::kMaxId);
  switch (step.op) {
    case CameraFrameStep::kLoad:
      Transfer(io, step.extrinsic);
      break;
    case CameraFrameStep::kCalculate:
    case CameraFrameStep::kOwnFrame:
      if (step.op == CameraFrameStep::kOwnFrame) Transfer(io, step.extrinsic);
      io.Bool(step.null_cloud);
      if (!step.null_cloud) Transfer(io, step.cloud);
      io.Int(step.shape_size, std::uint8_t{0}, std::uint8_t{8});
      break;
    case CameraFrameStep::kFill:
      io.Int(step.shape_size, std::uint8_t{0}, std::uint8_t{8});
      break;
    default:
      break;
  }
}

struct CameraFrameInput {
  std::vector<CameraFrameStep> steps;
};

template <typename Io>
void Transfer(Io& io, CameraFrameInput& input) {
  TransferSize(io, input.steps, 1, kMaxSteps);
  for (CameraFrameStep& step : input.steps) Transfer(io, step);
}

}  // namespace fuzz
}  // namespace larkspur
