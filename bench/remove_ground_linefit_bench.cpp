// Ground removal on one KITTI HDL-64E frame (kitti_hdl64/velodyne/000000.bin,
// 124,668 points) against PCL's RANSAC plane fit, the baseline a user would
// otherwise reach for, and against the floor: one pass of single-precision
// atan2 and sqrt per point, the least work any sector-and-range ground
// segmentation of the frame must do.
//
// The parameters are the HDL-64E set of config/kitti_hdl64/remove_ground_linefit.yaml,
// read as the replay tool reads it for KITTI input; the file explains them.
//
// Before the timings the program prints precision, recall and F1 of the
// ground output of the three-cloud groundRemove against the SemanticKITTI
// labels of the 32 labelled frames of the shared recordings (kitti_hdl64
// 000000-000001, kitti_sequences 03, 04 and 08), per sequence and pooled. After
// them it prints each ground-removal time over the floor's time of the same
// run. The ground-removal benchmarks also report the heap blocks one call
// allocates after the timed ones ("allocs_per_call") and its peak heap
// ("peak_heap_MiB").
#include <benchmark/benchmark.h>
#include <pcl/ModelCoefficients.h>
#include <pcl/PointIndices.h>
#include <pcl/sample_consensus/method_types.h>
#include <pcl/sample_consensus/model_types.h>
#include <pcl/segmentation/sac_segmentation.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datasets.h"
#include "ground_scoring.h"
#include "heap_counter.h"
#include "kitti_camera.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"
#include "recorded_data.h"

namespace {

using kestrel::perception::GroundRemovalParams;
using kestrel::perception::RemoveGroundLineFit;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

GroundRemovalParams hdl64_params;
CloudPtr frame;  // 000000, shared by the timings

constexpr const char* kOneCall = "LineFit/groundRemove_3";
constexpr const char* kOneCallIndices = "LineFit/groundRemove_3_indices";
constexpr const char* kKept = "LineFit/set_input_cloud+groundRemove_4";
constexpr const char* kFloor = "Floor/atan2+sqrt";

void BM_LineFitOneCall(benchmark::State& state) {
  RemoveGroundLineFit remover(hdl64_params);
  auto nonground = std::make_shared<Cloud>();
  auto ground = std::make_shared<Cloud>();
  const auto one_call = [&] {
    remover.groundRemove(frame, nonground, ground);
    benchmark::DoNotOptimize(ground->data());
  };
  for (auto _ : state) one_call();
  larkspur::bench::ReportHeap(state, larkspur::bench::MeasureHeap(one_call));
  state.counters["ground_points"] = static_cast<double>(ground->size());
}

// The index form, which the Python module calls (bench/python_binding_overhead.py).
void BM_LineFitOneCallIndices(benchmark::State& state) {
  RemoveGroundLineFit remover(hdl64_params);
  pcl::Indices nonground, ground;
  for (auto _ : state) {
    remover.groundRemove(frame, nonground, ground);
    benchmark::DoNotOptimize(ground.data());
  }
  state.counters["ground_points"] = static_cast<double>(ground.size());
}

void BM_LineFitSetInputThenClassify(benchmark::State& state) {
  RemoveGroundLineFit remover(hdl64_params);
  auto nonground = std::make_shared<Cloud>();
  auto ground = std::make_shared<Cloud>();
  auto below_ground = std::make_shared<Cloud>();
  const auto fit = [&] { remover.set_input_cloud(frame); };
  const auto classify = [&] {
    remover.groundRemove(frame, nonground, ground, below_ground);
    benchmark::DoNotOptimize(ground->data());
  };
  for (auto _ : state) {
    fit();
    classify();
  }
  const larkspur::bench::HeapUse fitting = larkspur::bench::MeasureHeap(fit);
  const larkspur::bench::HeapUse classifying = larkspur::bench::MeasureHeap(classify);
  state.counters["allocs_set_input_cloud"] = fitting.allocations;
  state.counters["allocs_groundRemove_4"] = classifying.allocations;
  state.counters["ground_points"] = static_cast<double>(ground->size());
}

void BM_PclRansacPlane(benchmark::State& state) {
  pcl::PointIndices inliers;
  pcl::ModelCoefficients coefficients;
  for (auto _ : state) {
    pcl::SACSegmentation<pcl::PointXYZ> segmentation;
    segmentation.setModelType(pcl::SACMODEL_PLANE);
    segmentation.setMethodType(pcl::SAC_RANSAC);
    segmentation.setDistanceThreshold(0.2);
    segmentation.setMaxIterations(100);
    segmentation.setInputCloud(frame);
    segmentation.segment(inliers, coefficients);
    benchmark::DoNotOptimize(inliers.indices.data());
  }
  state.counters["ground_points"] = static_cast<double>(inliers.indices.size());
}

void BM_Atan2SqrtFloor(benchmark::State& state) {
  std::vector<float> azimuth(frame->size());
  std::vector<float> range(frame->size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < frame->size(); ++i) {
      const pcl::PointXYZ& p = (*frame)[i];
      azimuth[i] = std::atan2(p.y, p.x);
      range[i] = std::sqrt(p.x * p.x + p.y * p.y);
    }
    benchmark::DoNotOptimize(azimuth.data());
    benchmark::DoNotOptimize(range.data());
    benchmark::ClobberMemory();
  }
}

void PrintQuality() {
  const auto frames = larkspur::support::SharedLabelledFrames();
  if (!frames) {
    std::printf("labelled KITTI frames not in the shared data folder: no quality figures\n");
    return;
  }
  const larkspur::support::GroundScore score =
      larkspur::support::ScoreGroundRemoval(hdl64_params, *frames);
  const auto print = [](const std::string& name, const larkspur::support::GroundTally& tally) {
    std::printf("%-22s precision %.2f %%  recall %.2f %%  F1 %.2f %%\n", name.c_str(),
                tally.Precision(), tally.Recall(), tally.F1());
  };
  for (const auto& [sequence, tally] : score.sequences) print(sequence, tally);
  print("all 32 frames", score.pooled);
}

// The console output, followed by each ground removal's CPU time over the
// floor's (medians when repeated).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) cpu_time_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const double floor = Time(kFloor);
    if (!(floor > 0.0)) return;
    for (const char* name : {kOneCall, kKept}) {
      const double time = Time(name);
      if (time > 0.0) std::printf("%-40s time / floor %.2f\n", name, time / floor);
    }
  }

 private:
  double Time(const std::string& name) const {
    for (const std::string& key : {name + "_median", name}) {
      const auto found = cpu_time_.find(key);
      if (found != cpu_time_.end()) return found->second;
    }
    return 0.0;
  }

  std::map<std::string, double> cpu_time_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const auto path = larkspur::bench::RecordedFile("kitti_hdl64/velodyne/000000.bin");
  if (!path) return 0;
  hdl64_params = larkspur::support::Hdl64GroundParams();
  frame = larkspur::datasets::ReadKittiBin(*path);
  PrintQuality();
  benchmark::RegisterBenchmark(kOneCall, BM_LineFitOneCall)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(kOneCallIndices, BM_LineFitOneCallIndices)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(kKept, BM_LineFitSetInputThenClassify)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("PclRansacPlane", BM_PclRansacPlane)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(kFloor, BM_Atan2SqrtFloor)->Unit(benchmark::kMillisecond);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
