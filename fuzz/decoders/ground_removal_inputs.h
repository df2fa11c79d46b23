// Inputs of the ground-removal fuzz target: the parameter record and a
// sequence of calls on one RemoveGroundLineFit.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "io.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace larkspur {
namespace fuzz {

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

}  // namespace fuzz
}  // namespace larkspur
