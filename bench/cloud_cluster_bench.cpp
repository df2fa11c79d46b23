// Grid clustering against PCL's Euclidean clustering on one KITTI frame.
//
// Input: the points of kitti_hdl64/velodyne/000000.bin above z = -1.4 m (a
// crude ground cut; the road lies near -1.73 m) within 20 m of the sensor in x
// and y. The baseline is what a user would otherwise reach for: a kd-tree,
// built per frame, and EuclideanClusterExtraction with a tolerance of two grid
// steps and at least 3 points per cluster.
//
// Besides the time, each benchmark reports for one call after the timed ones
// the blocks it allocates ("allocs_per_call") and its peak heap above what was
// in use before it ("peak_heap_MiB"), counted at the C allocator.
//
// The clustering keeps its working grids per thread, so after the first call
// it allocates only the clouds it returns. Their blocks, and those of the
// caller's vector, come from free heap that glibc either keeps ("heap:kept",
// a node clustering every frame) or has handed back to the system before the
// call ("heap:returned", so that the call faults those pages in anew).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pcl/search/kdtree.h>
#include <pcl/segmentation/extract_clusters.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "datasets.h"
#include "heap_counter.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "recorded_data.h"

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

CloudPtr ObstaclePoints(const std::string& path) {
  const auto scan = larkspur::datasets::ReadKittiBin(path);
  auto obstacles = std::make_shared<Cloud>();
  for (const pcl::PointXYZ& p : scan->points) {
    if (p.z > -1.4f && std::abs(p.x) <= 20.0f && std::abs(p.y) <= 20.0f) obstacles->push_back(p);
  }
  return obstacles;
}

void GridClustering(benchmark::State& state, const CloudPtr& cloud, float grid_step,
                    bool return_heap) {
  const kestrel::perception::CloudCluster clusterer({grid_step, 3, 2});
  int clusters_found = 0;
  const auto one_call = [&] {
    int count = 0;
    std::vector<CloudPtr> clusters;
    clusterer.obstacleCluster(cloud, count, clusters);
    benchmark::DoNotOptimize(clusters.data());
    clusters_found = count;
  };
  for (auto _ : state) {
    if (return_heap) {
      state.PauseTiming();
      malloc_trim(0);
      state.ResumeTiming();
    }
    one_call();
  }
  state.counters["clusters"] = clusters_found;
  state.counters["points"] = static_cast<double>(cloud->size());
  larkspur::bench::ReportHeap(state, larkspur::bench::MeasureHeap(one_call));
}

void PclEuclideanClustering(benchmark::State& state, const CloudPtr& cloud, float grid_step) {
  std::size_t clusters_found = 0;
  const auto one_call = [&] {
    auto tree = std::make_shared<pcl::search::KdTree<pcl::PointXYZ>>();
    tree->setInputCloud(cloud);
    pcl::EuclideanClusterExtraction<pcl::PointXYZ> extraction;
    extraction.setClusterTolerance(2.0 * grid_step);
    extraction.setMinClusterSize(3);
    extraction.setSearchMethod(tree);
    extraction.setInputCloud(cloud);
    std::vector<pcl::PointIndices> clusters;
    extraction.extract(clusters);
    benchmark::DoNotOptimize(clusters.data());
    clusters_found = clusters.size();
  };
  for (auto _ : state) one_call();
  state.counters["clusters"] = static_cast<double>(clusters_found);
  state.counters["points"] = static_cast<double>(cloud->size());
  larkspur::bench::ReportHeap(state, larkspur::bench::MeasureHeap(one_call));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const auto path = larkspur::bench::RecordedFile("kitti_hdl64/velodyne/000000.bin");
  if (!path) return 0;
  const CloudPtr cloud = ObstaclePoints(*path);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  // The grid clustering runs first: PCL's OpenMP worker threads keep spinning
  // after the baseline and would take the cores from whatever runs next.
  const auto name = [](const char* method, float step) {
    return std::string(method) + "/grid_step:" + std::to_string(step).substr(0, 4);
  };
  for (const float step : {0.1f, 0.05f}) {
    for (const bool return_heap : {false, true}) {
      const std::string heap = return_heap ? "/heap:returned" : "/heap:kept";
      benchmark::RegisterBenchmark((name("obstacleCluster", step) + heap).c_str(), GridClustering,
                                   cloud, step, return_heap)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (const float step : {0.1f, 0.05f}) {
    benchmark::RegisterBenchmark(name("PclEuclideanClusterExtraction", step).c_str(),
                                 PclEuclideanClustering, cloud, step)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
