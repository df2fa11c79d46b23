// A sequence of obstacleCluster calls on one CloudCluster.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "checks.h"
#include "cloud_cluster_inputs.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

// The flood fill scans each cell's search window, so its work grows with
// cells x window; a wide window over a large grid takes minutes under the
// sanitizers, which a fuzzing run would report as a hang. Such inputs are left
// to the unit tests.
bool ClusterWorkTooSlowToFuzz(const Cloud& cloud, float grid_step, int search_size) {
  float min_x = std::numeric_limits<float>::max(), max_x = std::numeric_limits<float>::lowest();
  float min_y = min_x, max_y = max_x;
  for (const pcl::PointXYZ& p : cloud) {
    min_x = std::min(min_x, p.x), max_x = std::max(max_x, p.x);
    min_y = std::min(min_y, p.y), max_y = std::max(max_y, p.y);
  }
  const double cols = (static_cast<double>(max_x) - min_x) / grid_step + 1.0;
  const double rows = (static_cast<double>(max_y) - min_y) / grid_step + 1.0;
  const double side = std::fabs(static_cast<double>(search_size)) + 3.0;
  const double window = std::min(cols, side) * std::min(rows, side);
  return cols * rows > static_cast<double>(1 << 20) || cols * rows * window > 1e8;
}

}  // namespace

void RunCloudCluster(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  ClusterInput input;
  Transfer(reader, input);
  kestrel::perception::CloudClusterPara para;
  para.grid_step = input.grid_step;
  para.search_size = input.search_size;
  para.point_threshold = input.point_threshold;
  kestrel::perception::CloudCluster cluster(para);
  int count = 0;
  for (const ClusterStep& step : input.steps) {
    if (step.set_count) count = step.count;
    if (!step.null_cloud &&
        ClusterWorkTooSlowToFuzz(step.cloud, input.grid_step, input.search_size))
      continue;
    const CloudPtr cloud = step.null_cloud ? nullptr : std::make_shared<Cloud>(step.cloud);
    std::vector<CloudPtr> clusters(step.prefilled,
                                   step.prefilled_null ? nullptr : std::make_shared<Cloud>());
    const int count_before = count;
    cluster.obstacleCluster(cloud, count, clusters);
    if (count == count_before && clusters.size() == step.prefilled) continue;
    // Something was found: `count` grew and `clusters` holds one entry per label.
    LARKSPUR_FUZZ_CHECK(count >= count_before && count_before >= 0);
    LARKSPUR_FUZZ_CHECK(clusters.size() == static_cast<std::size_t>(count));
    PointMultiset points(*cloud);
    for (std::size_t k = 0; k < clusters.size(); ++k) {
      LARKSPUR_FUZZ_CHECK(clusters[k] != nullptr);
      if (k < static_cast<std::size_t>(count_before)) LARKSPUR_FUZZ_CHECK(clusters[k]->empty());
      points.Take(*clusters[k]);
    }
  }
}

}  // namespace fuzz
}  // namespace larkspur
