// DynamicCloudDetector on a 200 x 200 grid (0.1 m cells, 20 m side) with a
// real KITTI HDL-64 cloud: the points of frame 000000 above z = -1.4 m (a crude
// ground cut) inside the grid, and camera 0 of the recording. The pose
// alternates between those of frames 0 and 1, so every Update warps the grid
// by a real frame-to-frame motion (0.68 m, 0.2 degrees). OpenCV runs on one
// thread, as the target is set for one core. Each benchmark also reports the
// blocks one further call allocates and its peak heap ("allocs_per_call",
// "peak_heap_MiB").
//
// The 60 m cases compare the camera mode with the LiDAR free-space mode on a
// 300 x 300 grid (0.2 m cells) and the whole frame's points above z = -1.4 m
// (about 50,000), with the HDL-64 configuration of the LiDAR mode.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include "datasets.h"
#include "heap_counter.h"
#include "kitti_camera.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"

namespace {

using kestrel::perception::CameraInfo;
using kestrel::perception::DynamicCloudDetector;
using Cloud = DynamicCloudDetector::Cloud;
namespace datasets = larkspur::datasets;

struct Recording {
  std::shared_ptr<Cloud> cloud;
  // The same cut over the whole frame, for the 60 m grid.
  std::shared_ptr<Cloud> wide_cloud;
  std::vector<Eigen::Matrix4f> poses;
  CameraInfo camera;
};

std::optional<Recording> LoadRecording() {
  const auto bin = datasets::SharedDataPath("kitti_hdl64/velodyne/000000.bin");
  const auto poses = datasets::SharedDataPath("kitti_hdl64/poses_estimated.txt");
  if (!bin || !poses) return std::nullopt;
  Recording recording;
  recording.cloud = std::make_shared<Cloud>();
  recording.wide_cloud = std::make_shared<Cloud>();
  const std::shared_ptr<Cloud> frame = datasets::ReadKittiBin(*bin);
  for (const pcl::PointXYZ& p : frame->points) {
    if (p.z <= -1.4f) continue;
    recording.wide_cloud->push_back(p);
    if (p.x >= -10.0f && p.x < 10.0f && p.y >= -10.0f && p.y < 10.0f) recording.cloud->push_back(p);
  }
  recording.poses = datasets::ReadKittiPoses(*poses);
  recording.camera = larkspur::support::KittiCamera();
  if (recording.poses.size() < 2) return std::nullopt;
  return recording;
}

const std::optional<Recording>& SharedRecording() {
  static const std::optional<Recording> recording = LoadRecording();
  return recording;
}

DynamicCloudDetector MakeDetector(const CameraInfo& camera) {
  DynamicCloudDetector detector(
      YAML::Load("{resolution: 0.1, width: 20, occupancy_threshold: 0.0, log_odds_obstacle: 0.4, "
                 "log_odds_occlusion: 0.2, log_odds_free_space: -0.4}"));
  detector.Init(camera);
  return detector;
}

// Runs `step(detector, recording, iteration)` once per iteration.
template <typename Step>
void RunOnRecording(benchmark::State& state, Step step) {
  const std::optional<Recording>& recording = SharedRecording();
  if (!recording) {
    state.SkipWithError("kitti_hdl64 recordings absent");
    return;
  }
  cv::setNumThreads(1);
  DynamicCloudDetector detector = MakeDetector(recording->camera);
  std::size_t iteration = 0;
  for (auto _ : state) step(detector, *recording, iteration++);
  larkspur::bench::ReportHeap(
      state, larkspur::bench::MeasureHeap([&] { step(detector, *recording, iteration++); }));
  state.counters["points"] = static_cast<double>(recording->cloud->size());
}

void BM_UpdateAndDivideCloud(benchmark::State& state) {
  Cloud dynamic_cloud, static_cloud;
  RunOnRecording(state, [&](DynamicCloudDetector& detector, const Recording& recording,
                            std::size_t iteration) {
    detector.Update(recording.cloud, recording.poses[iteration % 2], false);
    detector.DivideCloud(*recording.cloud, dynamic_cloud, static_cloud);
    benchmark::DoNotOptimize(dynamic_cloud.points.data());
  });
}
BENCHMARK(BM_UpdateAndDivideCloud)->Unit(benchmark::kMicrosecond);

void BM_Update(benchmark::State& state) {
  RunOnRecording(
      state, [](DynamicCloudDetector& detector, const Recording& recording, std::size_t iteration) {
        detector.Update(recording.cloud, recording.poses[iteration % 2], false);
      });
}
BENCHMARK(BM_Update)->Unit(benchmark::kMicrosecond);

void BM_DivideCloud(benchmark::State& state) {
  Cloud dynamic_cloud, static_cloud;
  RunOnRecording(state,
                 [&](DynamicCloudDetector& detector, const Recording& recording, std::size_t) {
                   detector.DivideCloud(*recording.cloud, dynamic_cloud, static_cloud);
                   benchmark::DoNotOptimize(dynamic_cloud.points.data());
                 });
}
BENCHMARK(BM_DivideCloud)->Unit(benchmark::kMicrosecond);

// The 60 m grid in the camera mode (range 0) or the LiDAR free-space mode (1).
void BM_UpdateAndDivideCloud60m(benchmark::State& state) {
  const std::optional<Recording>& recording = SharedRecording();
  if (!recording) {
    state.SkipWithError("kitti_hdl64 recordings absent");
    return;
  }
  cv::setNumThreads(1);
  YAML::Node config = YAML::Load(
      "{resolution: 0.2, width: 60, occupancy_threshold: -0.1, log_odds_obstacle: 0.2, "
      "log_odds_occlusion: 0.0, log_odds_free_space: -0.4}");
  if (state.range(0) == 1) {
    config["lidar_free_space"] = YAML::Load(
        "{min_height: -1.4, max_height: 0.5, max_range: 40, free_margin: 0.6, "
        "road_max_height: -1.2, road_max_extent: 0.25}");
  }
  DynamicCloudDetector detector(config);
  detector.Init(recording->camera);
  Cloud dynamic_cloud, static_cloud;
  std::size_t iteration = 0;
  const auto step = [&] {
    detector.Update(recording->wide_cloud, recording->poses[iteration++ % 2], false);
    detector.DivideCloud(*recording->wide_cloud, dynamic_cloud, static_cloud);
    benchmark::DoNotOptimize(dynamic_cloud.points.data());
  };
  for (auto _ : state) step();
  larkspur::bench::ReportHeap(state, larkspur::bench::MeasureHeap(step));
  state.counters["points"] = static_cast<double>(recording->wide_cloud->size());
}
BENCHMARK(BM_UpdateAndDivideCloud60m)
    ->ArgName("lidar")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

void BM_Init(benchmark::State& state) {
  RunOnRecording(state, [](DynamicCloudDetector& detector, const Recording& recording,
                           std::size_t) { detector.Init(recording.camera); });
}
BENCHMARK(BM_Init)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
