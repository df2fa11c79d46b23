// DynamicLaserDetector::Process on a 200 x 200 grid (resolution 0.1 m):
// a synthetic 720-beam scan with and without a turn above 0.05 rad, and the
// recorded scans of laser_people (512 beams, standing robot) and laser_intel
// (180 beams, driving robot). The integration and the grid transform are
// also timed on their own. The Process benchmarks also report the blocks one
// further call allocates and its peak heap ("allocs_per_call", "peak_heap_MiB").
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "carmen.h"
#include "datasets.h"
#include "heap_counter.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "recorded_scan_detector.h"

namespace {

using kestrel::perception::DynamicLaserDetector;
using larkspur::datasets::ScanRecord;
using sensor_msgs::msg::LaserScan;

std::unique_ptr<DynamicLaserDetector> MakeDetector() {
  return larkspur::support::RecordedScanLaserDetector(20);
}

// A full turn of 720 beams inside an 8 m x 6 m room with a pillar, every
// 50th reading missing.
std::shared_ptr<const LaserScan> SyntheticScan() {
  constexpr int kBeams = 720;
  auto scan = std::make_shared<LaserScan>();
  scan->angle_increment = static_cast<float>(2.0 * M_PI / kBeams);
  scan->angle_min = static_cast<float>(-M_PI);
  scan->angle_max = scan->angle_min + static_cast<float>(kBeams) * scan->angle_increment;
  scan->range_min = 0.05f;
  scan->range_max = 30.0f;
  for (int beam = 0; beam < kBeams; ++beam) {
    const double bearing = scan->angle_min + beam * static_cast<double>(scan->angle_increment);
    const double to_wall =
        std::min(4.0 / std::fabs(std::cos(bearing)), 3.0 / std::fabs(std::sin(bearing)));
    const bool pillar = std::fabs(bearing - 0.6) < 0.08;
    const float reading = static_cast<float>(pillar ? 1.7 : to_wall);
    scan->ranges.push_back(beam % 50 == 0 ? std::numeric_limits<float>::quiet_NaN() : reading);
  }
  return scan;
}

// Poses alternate between two values, so every call moves the grid the same
// amount; with a turn it alternates by 0.06 rad, above the 0.05 rad at which
// the warp is wrapped in a dilation and erosion.
void BM_ProcessSynthetic(benchmark::State& state) {
  const bool turn = state.range(0) != 0;
  const auto detector = MakeDetector();
  const auto scan = SyntheticScan();
  auto dynamic_scan = std::make_shared<LaserScan>();
  auto static_scan = std::make_shared<LaserScan>();
  const geometry_msgs::msg::Pose poses[2] = {larkspur::datasets::PlanarPose(0.0, 0.0, 0.0),
                                             turn
                                                 ? larkspur::datasets::PlanarPose(0.0, 0.0, 0.06)
                                                 : larkspur::datasets::PlanarPose(0.05, 0.02, 0.0)};
  detector->Process(scan, poses[0], dynamic_scan, static_scan);
  std::size_t call = 1;
  for (auto _ : state) {
    detector->Process(scan, poses[call++ % 2], dynamic_scan, static_scan);
    benchmark::DoNotOptimize(dynamic_scan->ranges.data());
  }
  larkspur::bench::ReportHeap(
      state, larkspur::bench::MeasureHeap(
                 [&] { detector->Process(scan, poses[call++ % 2], dynamic_scan, static_scan); }));
}
BENCHMARK(BM_ProcessSynthetic)->ArgName("turn")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void ProcessRecords(benchmark::State& state, const std::string& relative, bool carmen) {
  const auto path = larkspur::datasets::SharedDataPath(relative);
  if (!path) {
    state.SkipWithError((relative + " is not in the shared data folder").c_str());
    return;
  }
  const std::vector<ScanRecord> records = carmen ? larkspur::datasets::ReadCarmenLog(*path)
                                                 : larkspur::datasets::ReadLaserPeople(*path);
  std::vector<std::shared_ptr<const LaserScan>> scans;
  for (const ScanRecord& record : records)
    scans.push_back(std::make_shared<LaserScan>(record.scan));
  const auto detector = MakeDetector();
  auto dynamic_scan = std::make_shared<LaserScan>();
  auto static_scan = std::make_shared<LaserScan>();
  std::size_t k = 0;
  for (auto _ : state) {
    detector->Process(scans[k], records[k].pose, dynamic_scan, static_scan);
    benchmark::DoNotOptimize(dynamic_scan->ranges.data());
    k = (k + 1) % records.size();
  }
  larkspur::bench::ReportHeap(
      state, larkspur::bench::MeasureHeap(
                 [&] { detector->Process(scans[k], records[k].pose, dynamic_scan, static_scan); }));
}

void BM_ProcessLaserPeople(benchmark::State& state) {
  ProcessRecords(state, "laser_people/scans.txt", false);
}
BENCHMARK(BM_ProcessLaserPeople)->Unit(benchmark::kMillisecond);

void BM_ProcessIntel(benchmark::State& state) {
  ProcessRecords(state, "laser_intel/intel_excerpt.clf", true);
}
BENCHMARK(BM_ProcessIntel)->Unit(benchmark::kMillisecond);

void BM_UpdateOccupancyGridMap(benchmark::State& state) {
  const auto detector = MakeDetector();
  const auto scan = SyntheticScan();
  for (auto _ : state) detector->UpdateOccupancyGridMap(scan);
}
BENCHMARK(BM_UpdateOccupancyGridMap)->Unit(benchmark::kMillisecond);

void BM_TransformOccupancyGridMap(benchmark::State& state) {
  const float angle = state.range(0) != 0 ? 0.06f : 0.0f;
  const auto detector = MakeDetector();
  detector->UpdateOccupancyGridMap(SyntheticScan());
  float sign = 1.0f;
  for (auto _ : state) {
    detector->TransformOccupancyGridMap(Eigen::Vector2f(0.05f * sign, 0.02f), sign * angle);
    sign = -sign;
  }
}
BENCHMARK(BM_TransformOccupancyGridMap)
    ->ArgName("turn")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // One core: OpenCV's worker threads would otherwise take part of the grid
  // transform off the measured thread.
  cv::setNumThreads(1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
