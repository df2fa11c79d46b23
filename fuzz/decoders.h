// Structured inputs of the fuzz targets and their byte encoding.
//
// Each input type has one Transfer function that lists its fields in order.
// With a Reader it decodes the fuzzer's bytes (through FuzzedDataProvider, so
// any byte string decodes to some input); with a Writer it encodes a
// hand-made input into bytes that a Reader turns back into the same input,
// which is how the seed corpora are made. The regression tests decode their
// saved inputs with the same functions.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace fuzz {

// Bounds that keep one input fast enough for thousands of runs per second.
constexpr std::uint32_t kMaxSteps = 6;
constexpr std::uint32_t kMaxCloudPoints = 1024;
constexpr std::uint32_t kMaxScanRanges = 2048;

// Values that the arithmetic of the library has to survive.
constexpr std::array<float, 16> kSpecialFloats = {0.0f,
                                                  -0.0f,
                                                  1.0f,
                                                  -1.0f,
                                                  0.5f,
                                                  std::numeric_limits<float>::quiet_NaN(),
                                                  std::numeric_limits<float>::infinity(),
                                                  -std::numeric_limits<float>::infinity(),
                                                  std::numeric_limits<float>::max(),
                                                  std::numeric_limits<float>::lowest(),
                                                  std::numeric_limits<float>::min(),
                                                  std::numeric_limits<float>::denorm_min(),
                                                  std::numeric_limits<float>::epsilon(),
                                                  1e-30f,
                                                  1e30f,
                                                  2147483648.0f};

// How a float is spelt in the bytes: its raw bits (every float, NaN payloads
// included), a fixed-point value in [-128, 128) with 1/256 steps (plausible
// metres and radians), or one of kSpecialFloats.
enum FloatForm : std::uint8_t { kBitsForm = 0, kFixedForm = 1, kSpecialForm = 2 };

inline float FloatFromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

inline std::uint32_t BitsFromFloat(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : input_(data, size) {}

  template <typename T>
  void Int(T& value, T min, T max) {
    value = input_.ConsumeIntegralInRange<T>(min, max);
  }
  void Bool(bool& value) { value = input_.ConsumeBool(); }
  void Float(float& value) {
    switch (input_.ConsumeIntegralInRange<std::uint8_t>(kBitsForm, kSpecialForm)) {
      case kBitsForm:
        value = FloatFromBits(input_.ConsumeIntegral<std::uint32_t>());
        break;
      case kFixedForm:
        value = static_cast<float>(input_.ConsumeIntegral<std::int16_t>()) / 256.0f;
        break;
      default:
        value = input_.PickValueInArray(kSpecialFloats);
        break;
    }
  }

 private:
  FuzzedDataProvider input_;
};

// Mirror of FuzzedDataProvider: integers are taken from the end of the data,
// most significant byte first, in as many bytes as their range needs.
class Writer {
 public:
  template <typename T>
  void Int(const T& value, T min, T max) {
    const std::uint64_t range = static_cast<std::uint64_t>(max) - min;
    const std::uint64_t offset_value = static_cast<std::uint64_t>(value) - min;
    int byte_count = 0;
    for (std::size_t bit = 0; bit < sizeof(T) * 8 && (range >> bit) > 0; bit += 8) ++byte_count;
    for (int byte = byte_count - 1; byte >= 0; --byte) {
      consumed_.push_back(static_cast<std::uint8_t>(offset_value >> (8 * byte)));
    }
  }
  void Bool(const bool& value) {
    Int<std::uint8_t>(value ? 1 : 0, 0, std::numeric_limits<std::uint8_t>::max());
  }
  void Float(const float& value) {
    Int<std::uint8_t>(kBitsForm, kBitsForm, kSpecialForm);
    Int<std::uint32_t>(BitsFromFloat(value), 0, std::numeric_limits<std::uint32_t>::max());
  }

  std::vector<std::uint8_t> Bytes() const { return {consumed_.rbegin(), consumed_.rend()}; }

 private:
  // In the order the reader consumes them, i.e. the data read backwards.
  std::vector<std::uint8_t> consumed_;
};

// Sizes a container from a count in [min, max]: the reader takes the count
// from the bytes, the writer records the container's own size.
template <typename Io, typename Container>
void TransferSize(Io& io, Container& container, std::uint32_t min, std::uint32_t max,
                  const typename Container::value_type& fill = {}) {
  std::uint32_t size = static_cast<std::uint32_t>(container.size());
  io.Int(size, min, max);
  container.resize(size, fill);
}

template <typename Io, int Rows, int Cols>
void Transfer(Io& io, Eigen::Matrix<float, Rows, Cols>& matrix) {
  for (int row = 0; row < Rows; ++row) {
    for (int col = 0; col < Cols; ++col) io.Float(matrix(row, col));
  }
}

// ---------------------------------------------------------------- clouds

// How a point is given: its own coordinates, or as a copy of the point one to
// three places before it (clouds of real sensors repeat points).
constexpr std::uint8_t kMaxRepeatDistance = 3;

template <typename Io>
void Transfer(Io& io, pcl::PointCloud<pcl::PointXYZ>& cloud) {
  io.Bool(cloud.is_dense);
  std::uint32_t size = static_cast<std::uint32_t>(cloud.size());
  io.Int(size, std::uint32_t{0}, kMaxCloudPoints);
  cloud.resize(size);
  for (std::uint32_t i = 0; i < size; ++i) {
    std::uint8_t repeat = 0;
    io.Int(repeat, std::uint8_t{0}, kMaxRepeatDistance);
    if (repeat > 0 && i >= repeat) {
      cloud[i] = cloud[i - repeat];
    } else {
      io.Float(cloud[i].x);
      io.Float(cloud[i].y);
      io.Float(cloud[i].z);
    }
  }
}

// ---------------------------------------------------------------- detectors

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
inline YAML::Node ToYaml(const DetectorConfig& config) {
  YAML::Node node;
  node["resolution"] = config.resolution;
  node["width"] = config.width;
  node["occupancy_threshold"] = config.occupancy_threshold;
  node["log_odds_obstacle"] = config.log_odds_obstacle;
  node["log_odds_occlusion"] = config.log_odds_occlusion;
  node["log_odds_free_space"] = config.log_odds_free_space;
  if (config.has_sub_obstacle_scale) {
    node["log_odds_sub_obstacle_scale"] = config.log_odds_sub_obstacle_scale;
  }
  return node;
}

// Cells per side the configuration gives, as the grid rounds it; NaN when
// the detectors refuse the values.
inline double GridCellsPerSide(const DetectorConfig& config) {
  if (!(config.resolution > 0.0f) || !(config.width >= 0.0f) || !std::isfinite(config.width)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return std::trunc(static_cast<double>(std::trunc(config.width) / config.resolution) + 0.5);
}

// A robot pose as the cloud detector takes it: either planar (x, y, yaw) or
// all sixteen entries of the matrix.
struct PoseMatrix {
  bool planar = true;
  float x = 0.0f;
  float y = 0.0f;
  float yaw = 0.0f;
  Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();

  Eigen::Matrix4f Matrix() const {
    if (!planar) return matrix;
    Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
    pose(0, 0) = std::cos(yaw);
    pose(0, 1) = -std::sin(yaw);
    pose(1, 0) = std::sin(yaw);
    pose(1, 1) = std::cos(yaw);
    pose(0, 3) = x;
    pose(1, 3) = y;
    return pose;
  }
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

// ---------------------------------------------------------------- ground removal

template <typename Io>
void Transfer(Io& io, kestrel::perception::GroundRemovalParams& params) {
  io.Float(params.sector_angle);
  io.Float(params.max_range);
  io.Float(params.min_range);
  io.Float(params.bin_size);
  io.Float(params.ground_height);
  io.Float(params.max_fit_error);
  io.Float(params.reserved_1);
  io.Float(params.max_slope);
  io.Float(params.seed_max_above);
  io.Float(params.seed_max_below);
  io.Float(params.ground_distance_threshold);
  io.Float(params.reserved_2);
  io.Float(params.max_height_jump);
  io.Float(params.near_zone_x_limit);
  io.Float(params.near_zone_depth);
  io.Float(params.max_point_height);
  io.Float(params.split_distance);
  io.Float(params.outlier_sigma_factor);
}

template <typename Io>
void Transfer(Io& io, kestrel::perception::PointPolarCoord& point) {
  io.Float(point.range);
  io.Float(point.height);
  io.Float(point.angle);
}

// One call on a RemoveGroundLineFit. The public steps of the fit are driven
// directly too, with the same kind of values.
struct GroundRemovalStep {
  enum Op : std::uint8_t {
    kSetInputCloud,
    kGroundRemove,
    kGroundRemoveKept,
    kReadBack,
    kFindPrototypes,
    kLineFitting,
    kLeastSquareFit,
    kSegmentDistance,
    kOpCount
  };
  // Bits of `null_clouds`: which of input, non-ground, ground and
  // below-ground cloud are passed as null pointers.
  enum NullCloud : std::uint8_t {
    kNullInput = 1,
    kNullNonground = 2,
    kNullGround = 4,
    kNullBelow = 8
  };

  std::uint8_t op = kSetInputCloud;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  std::uint8_t null_clouds = 0;
  // kFindPrototypes: bin index per point of `cloud` and the bin count.
  std::vector<std::int32_t> bin_indices;
  std::uint32_t bin_count = 0;
  // kLineFitting and kLeastSquareFit: prototypes; kSegmentDistance: each
  // prototype's range and height form the query, consecutive pairs of the
  // others the segments.
  std::vector<kestrel::perception::PointPolarCoord> prototypes;
  std::int32_t last = 0;
};

template <typename Io>
void Transfer(Io& io, GroundRemovalStep& step) {
  io.Int(step.op, std::uint8_t{0}, std::uint8_t{GroundRemovalStep::kOpCount - 1});
  switch (step.op) {
    case GroundRemovalStep::kSetInputCloud:
    case GroundRemovalStep::kGroundRemove:
    case GroundRemovalStep::kGroundRemoveKept:
      Transfer(io, step.cloud);
      io.Int(step.null_clouds, std::uint8_t{0}, std::uint8_t{15});
      break;
    case GroundRemovalStep::kFindPrototypes:
      Transfer(io, step.cloud);
      step.bin_indices.resize(step.cloud.size());
      for (std::int32_t& bin : step.bin_indices) {
        io.Int(bin, std::numeric_limits<std::int32_t>::min(),
               std::numeric_limits<std::int32_t>::max());
      }
      io.Int(step.bin_count, std::uint32_t{0}, std::numeric_limits<std::uint32_t>::max());
      break;
    case GroundRemovalStep::kLineFitting:
    case GroundRemovalStep::kLeastSquareFit:
    case GroundRemovalStep::kSegmentDistance:
      TransferSize(io, step.prototypes, 0, kMaxCloudPoints, {0.0f, 0.0f, 0.0f});
      for (kestrel::perception::PointPolarCoord& point : step.prototypes) Transfer(io, point);
      io.Int(step.last, std::numeric_limits<std::int32_t>::min(),
             std::numeric_limits<std::int32_t>::max());
      break;
    default:
      break;
  }
}

struct GroundRemovalInput {
  kestrel::perception::GroundRemovalParams params;
  std::vector<GroundRemovalStep> steps;
};

template <typename Io>
void Transfer(Io& io, GroundRemovalInput& input) {
  Transfer(io, input.params);
  TransferSize(io, input.steps, 1, kMaxSteps);
  for (GroundRemovalStep& step : input.steps) Transfer(io, step);
}

// ---------------------------------------------------------------- clustering

// One obstacleCluster call. The running cluster count is carried from the
// previous call unless `set_count` gives a new one; `clusters` starts with
// `prefilled` entries (null pointers when `prefilled_null`).
struct ClusterStep {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  bool null_cloud = false;
  bool set_count = false;
  std::int32_t count = 0;
  std::uint8_t prefilled = 0;
  bool prefilled_null = false;
};

template <typename Io>
void Transfer(Io& io, ClusterStep& step) {
  io.Bool(step.null_cloud);
  if (!step.null_cloud) Transfer(io, step.cloud);
  io.Bool(step.set_count);
  if (step.set_count) {
    io.Int(step.count, std::numeric_limits<std::int32_t>::min(),
           std::numeric_limits<std::int32_t>::max());
  }
  io.Int(step.prefilled, std::uint8_t{0}, std::uint8_t{4});
  io.Bool(step.prefilled_null);
}

struct ClusterInput {
  float grid_step = 0.01f;
  std::int32_t search_size = 3;
  std::int32_t point_threshold = 2;
  std::vector<ClusterStep> steps;
};

template <typename Io>
void Transfer(Io& io, ClusterInput& input) {
  io.Float(input.grid_step);
  io.Int(input.search_size, std::numeric_limits<std::int32_t>::min(),
         std::numeric_limits<std::int32_t>::max());
  io.Int(input.point_threshold, std::numeric_limits<std::int32_t>::min(),
         std::numeric_limits<std::int32_t>::max());
  TransferSize(io, input.steps, 1, kMaxSteps);
  for (ClusterStep& step : input.steps) Transfer(io, step);
}

// ---------------------------------------------------------------- camera frame

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
