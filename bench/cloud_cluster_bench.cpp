// Grid clustering against PCL's Euclidean clustering on one KITTI frame.
//
// Input: the points of kitti_hdl64/velodyne/000000.bin above z = -1.4 m (a
// crude ground cut; the road lies near -1.73 m) within 20 m of the sensor in x
// and y. The baseline is what a user would otherwise reach for: a kd-tree,
// built per frame, and EuclideanClusterExtraction with a tolerance of two grid
// steps and at least 3 points per cluster.
//
// Besides the time, each benchmark reports the peak heap in use during one
// call above what was in use before it ("peak_heap_MiB"), counted by the
// allocation wrappers below.
//
// The grids are allocated afresh on every call. Whether their pages are still
// mapped from the previous call depends on when glibc hands free heap back to
// the system, which otherwise varies with unrelated allocations. So the heap
// is kept ("heap:kept", a node clustering every frame) or handed back before
// every call ("heap:returned", so that each call faults its pages in anew).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pcl/search/kdtree.h>
#include <pcl/segmentation/extract_clusters.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "datasets.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "recorded_data.h"

// glibc's own allocator entry points, wrapped to count the bytes in use.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<std::size_t> heap_in_use{0};
std::atomic<std::size_t> heap_peak{0};

void* Counted(void* pointer) {
  if (pointer != nullptr) {
    const std::size_t now = heap_in_use += malloc_usable_size(pointer);
    std::size_t peak = heap_peak.load(std::memory_order_relaxed);
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
    }
  }
  return pointer;
}

void Uncount(void* pointer) {
  if (pointer != nullptr) heap_in_use -= malloc_usable_size(pointer);
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept { return Counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) noexcept {
  return Counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, std::size_t size) noexcept {
  const std::size_t before = pointer != nullptr ? malloc_usable_size(pointer) : 0;
  void* moved = __libc_realloc(pointer, size);
  // On failure the old block stays; a zero size frees it.
  if (moved == nullptr && size != 0) return nullptr;
  heap_in_use -= before;
  return Counted(moved);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  return Counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  return Counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  void* pointer = Counted(__libc_memalign(alignment, size));
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}
void free(void* pointer) noexcept {
  Uncount(pointer);
  __libc_free(pointer);
}
}

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

// Peak heap above the level before `call`, in MiB.
template <typename Call>
double PeakHeapMiB(Call&& call) {
  const std::size_t before = heap_in_use.load();
  heap_peak = before;
  call();
  return static_cast<double>(heap_peak.load() - before) / (1024.0 * 1024.0);
}

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
  state.counters["peak_heap_MiB"] = PeakHeapMiB(one_call);
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
  state.counters["peak_heap_MiB"] = PeakHeapMiB(one_call);
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
