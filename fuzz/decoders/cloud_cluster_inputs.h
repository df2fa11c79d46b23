// Inputs of the clustering fuzz target: the parameters and a sequence of
// obstacleCluster calls on one CloudCluster.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "io.h"

namespace larkspur {
namespace fuzz {

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

}  // namespace fuzz
}  // namespace larkspur
