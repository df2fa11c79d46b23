// Extreme points of 100,000 points of a KITTI frame (kitti_hdl64 000000), as
// seen from a camera 0.3 m ahead of and 0.5 m below the scanner.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "datasets.h"
#include "larkspur_perception_libs/camera_frame.h"
#include "recorded_data.h"

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

void Calculate(benchmark::State& state, const std::shared_ptr<Cloud>& cloud) {
  Eigen::Matrix4f extrinsic = Eigen::Matrix4f::Identity();
  extrinsic.block<3, 1>(0, 3) << 0.3f, 0.0f, -0.5f;
  CameraFrame frame(extrinsic);
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame.calculate(cloud));
    benchmark::DoNotOptimize(frame.data().points.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cloud->size()));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const auto path = larkspur::bench::RecordedFile("kitti_hdl64/velodyne/000000.bin");
  if (!path) return 0;
  const auto scan = larkspur::datasets::ReadKittiBin(*path);
  constexpr std::size_t kPoints = 100000;
  auto cloud = std::make_shared<Cloud>();
  cloud->points.assign(scan->points.begin(),
                       scan->points.begin() + std::min(kPoints, scan->points.size()));
  cloud->width = static_cast<std::uint32_t>(cloud->points.size());
  cloud->height = 1;
  benchmark::RegisterBenchmark("CameraFrame::calculate/points:100000", Calculate, cloud)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
