// Inputs of the dynamic detectors' fuzz targets: the YAML keys both
// detectors read, and sequences of calls on each detector.
#pragma once

#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "io.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace larkspur {
namespace fuzz {

// The keys of both detectors' YAML configuration.
struct DetectorConfig {
  float resolution = 0.1f;
  float width = 10.0f;
  float occupancy_threshold = 0.0f;
  float log_odds_obstacle = 0.4f;
  float log_odds_occlusion = 0.0f;
  float log_odds_free_space = -0.4f;
  bool has_sub_obstacle_scale = false;
  float log_odds_sub_obstacle_scale = 0.5f;
};

template <typename Io>
void Transfer(Io& io, DetectorConfig& config) {
  io.Float(config.resolution);
  io.Float(config.width);
  io.Float(config.occupancy_threshold);
  io.Float(config.log_odds_obstacle);
  io.Float(config.log_odds_occlusion);
  io.Float(config.log_odds_free_space);
  io.Bool(config.has_sub_obstacle_scale);
  if (config.has_sub_obstacle_scale) io.Float(config.log_odds_sub_obstacle_scale);
}

// yaml-cpp writes floats with all their digits, NaN as ".nan" and infinities
// as ".inf", so the detectors read back exactly these values.
YAML::Node ToYaml(const DetectorConfig& config);

// Cells per side the configuration gives, as the grid rounds it; NaN when
// the detectors refuse the values.
double GridCellsPerSide(const DetectorConfig& config);

// A robot pose as the cloud detector takes it: either planar (x, y, yaw) or
// all sixteen entries of the matrix.
struct PoseMatrix {
  bool planar = true;
  float x = 0.0f;
  float y = 0.0f;
  float yaw = 0.0f;
  Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();

  Eigen::Matrix4f Matrix() const;
};

template <typename Io>
void Transfer(Io& io, PoseMatrix& pose) {
  io.Bool(pose.planar);
  if (pose.planar) {
    io.Float(pose.x);
    io.Float(pose.y);
    io.Float(pose.yaw);
  } else {
    Transfer(io, pose.matrix);
  }
}

template <typename Io>
void Transfer(Io& io, kestrel::perception::CameraInfo& camera) {
  io.Int(camera.width, std::numeric_limits<std::int32_t>::min(),
         std::numeric_limits<std::int32_t>::max());
  io.Int(camera.height, std::numeric_limits<std::int32_t>::min(),
         std::numeric_limits<std::int32_t>::max());
  Transfer(io, camera.intrinsic);
  Transfer(io, camera.extrinsic);
}

// One call on a DynamicCloudDetector.
struct CloudDetectorStep {
  enum Op : std::uint8_t {
    kUpdate,
    kUpdateNullCloud,
    kDivide,
    kDivideShared,
    kDivideInPlace,
    kIntegrate,
    kTransform,
    kInit,
    kIsInRoi,
    kDrawDebugImages,
    kOpCount
  };
  std::uint8_t op = kUpdate;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  PoseMatrix pose;
  kestrel::perception::CameraInfo camera;
  // Translation of kTransform and query point of kIsInRoi.
  Eigen::Vector2f xy = Eigen::Vector2f::Zero();
  float angle = 0.0f;
};

template <typename Io>
void Transfer(Io& io, CloudDetectorStep& step) {
  io.Int(step.op, std::uint8_t{0}, std::uint8_t{CloudDetectorStep::kOpCount - 1});
  switch (step.op) {
    case CloudDetectorStep::kUpdate:
      Transfer(io, step.cloud);
      Transfer(io, step.pose);
      break;
    case CloudDetectorStep::kUpdateNullCloud:
      Transfer(io, step.pose);
      break;
    case CloudDetectorStep::kDivide:
    case CloudDetectorStep::kDivideShared:
    case CloudDetectorStep::kDivideInPlace:
    case CloudDetectorStep::kIntegrate:
      Transfer(io, step.cloud);
      break;
    case CloudDetectorStep::kTransform:
      Transfer(io, step.xy);
      io.Float(step.angle);
      break;
    case CloudDetectorStep::kInit:
      Transfer(io, step.camera);
      break;
    case CloudDetectorStep::kIsInRoi:
      Transfer(io, step.xy);
      break;
    default:
      break;
  }
}

struct CloudDetectorInput {
  DetectorConfig config;
  kestrel::perception::CameraInfo camera;
  std::vector<CloudDetectorStep> steps;
};

template <typename Io>
void Transfer(Io& io, CloudDetectorInput& input) {
  Transfer(io, input.config);
  Transfer(io, input.camera);
  TransferSize(io, input.steps, 1, kMaxSteps);
  for (CloudDetectorStep& step : input.steps) Transfer(io, step);
}

struct ScanInput {
  float angle_min = 0.0f;
  float angle_max = 0.0f;
  float angle_increment = 0.0f;
  float time_increment = 0.0f;
  float scan_time = 0.0f;
  float range_min = 0.0f;
  float range_max = 0.0f;
  std::vector<float> ranges;
};

template <typename Io>
void Transfer(Io& io, ScanInput& scan) {
  io.Float(scan.angle_min);
  io.Float(scan.angle_max);
  io.Float(scan.angle_increment);
  io.Float(scan.time_increment);
  io.Float(scan.scan_time);
  io.Float(scan.range_min);
  io.Float(scan.range_max);
  TransferSize(io, scan.ranges, 0, kMaxScanRanges);
  for (float& range : scan.ranges) io.Float(range);
}

// A pose message: planar (x, y, yaw turned into a unit quaternion about z),
// or a position and a quaternion of any values.
struct PoseMessage {
  bool planar = true;
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
  float yaw = 0.0f;
  std::array<float, 4> quaternion = {0.0f, 0.0f, 0.0f, 1.0f};
};

template <typename Io>
void Transfer(Io& io, PoseMessage& pose) {
  io.Bool(pose.planar);
  io.Float(pose.x);
  io.Float(pose.y);
  if (pose.planar) {
    io.Float(pose.yaw);
  } else {
    io.Float(pose.z);
    for (float& component : pose.quaternion) io.Float(component);
  }
}

// One call on a DynamicLaserDetector. The two output scans live across the
// steps, as a node keeps its messages; kProcess may first resize them.
struct LaserDetectorStep {
  enum Op : std::uint8_t {
    kProcess,
    kProcessSameOutputs,
    kProcessNullScan,
    kProcessNullOutput,
    kIntegrate,
    kDivide,
    kTransform,
    kOpCount
  };
  std::uint8_t op = kProcess;
  ScanInput scan;
  PoseMessage pose;
  bool resize_outputs = false;
  std::uint32_t dynamic_size = 0;
  std::uint32_t static_size = 0;
  Eigen::Vector2f translation = Eigen::Vector2f::Zero();
  float angle = 0.0f;
};

template <typename Io>
void Transfer(Io& io, LaserDetectorStep& step) {
  io.Int(step.op, std::uint8_t{0}, std::uint8_t{LaserDetectorStep::kOpCount - 1});
  switch (step.op) {
    case LaserDetectorStep::kProcess:
    case LaserDetectorStep::kProcessSameOutputs:
    case LaserDetectorStep::kProcessNullOutput:
      Transfer(io, step.scan);
      Transfer(io, step.pose);
      io.Bool(step.resize_outputs);
      if (step.resize_outputs) {
        io.Int(step.dynamic_size, std::uint32_t{0}, kMaxScanRanges);
        io.Int(step.static_size, std::uint32_t{0}, kMaxScanRanges);
      }
      break;
    case LaserDetectorStep::kProcessNullScan:
      Transfer(io, step.pose);
      break;
    case LaserDetectorStep::kIntegrate:
    case LaserDetectorStep::kDivide:
      Transfer(io, step.scan);
      break;
    case LaserDetectorStep::kTransform:
      Transfer(io, step.translation);
      io.Float(step.angle);
      break;
    default:
      break;
  }
}

struct LaserDetectorInput {
  DetectorConfig config;
  std::vector<LaserDetectorStep> steps;
};

template <typename Io>
void Transfer(Io& io, LaserDetectorInput& input) {
  Transfer(io, input.config);
  TransferSize(io, input.steps, 1, kMaxSteps);
  for (LaserDetectorStep& step : input.steps) Transfer(io, step);
}

}  // namespace fuzz
}  // namespace larkspur
