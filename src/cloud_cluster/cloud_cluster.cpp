#include "larkspur_perception_libs/cloud_cluster.h"

#include <pcl/common/common.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "larkspur_perception_libs/logger.h"

namespace kestrel {
namespace perception {

namespace {

constexpr std::int32_t kNotOccupied = 0;
constexpr std::int32_t kUnlabelled = -1;

// Number of cells covering `extent` at `step`: floor of the single-precision
// quotient and the added cell in double, truncated toward zero. Values beyond
// the int32 range are clamped to just outside it, NaN gives 0, so the result
// always converts without overflow and a bad step is refused afterwards.
std::int64_t GridDimension(float extent, float step) {
  constexpr double kBeyondInt32 = 2147483648.0;
  const double cells = std::floor(static_cast<double>(extent / step)) + 1.0;
  if (std::isnan(cells)) return 0;
  return static_cast<std::int64_t>(std::clamp(cells, -kBeyondInt32, kBeyondInt32));
}

// Cell of `coordinate` along one axis, or -1 when it falls outside the
// `size` cells; a non-finite coordinate falls outside.
int CellIndex(float coordinate, float min, float step, int size) {
  const double cell = std::floor(static_cast<double>((coordinate - min) / step));
  return (cell >= 0.0 && cell < size) ? static_cast<int>(cell) : -1;
}

// Cells [first, last] of an axis of `size` cells reached from `centre` by a
// window of `side` cells starting `side / 2` cells back. Empty (first > last)
// for a side of 0 or less. Computed in 64 bits so that no side overflows.
std::pair<int, int> WindowSpan(int centre, std::int32_t side, int size) {
  const std::int64_t start = std::int64_t{centre} - side / 2;
  const std::int64_t first = std::max<std::int64_t>(start, 0);
  const std::int64_t last = std::min<std::int64_t>(start + side - 1, size - 1);
  return {static_cast<int>(first), static_cast<int>(std::max(last, first - 1))};
}

// Whether `p` is taken for the default point of a cell occupied only by the
// dilation. The test is signed, so real points with all three coordinates
// below the bound go as well.
// Deliberate: signed, not |p| (see README, Compatibility quirks).
bool IsEmptyCellPoint(const pcl::PointXYZ& p) {
  constexpr double kEmptyBound = 0.0001;
  return static_cast<double>(p.x) < kEmptyBound && static_cast<double>(p.y) < kEmptyBound &&
         static_cast<double>(p.z) < kEmptyBound;
}

}  // namespace

CloudCluster::CloudCluster() = default;

CloudCluster::CloudCluster(const CloudClusterPara& para)
    : grid_step_(para.grid_step),
      search_size_(para.search_size),
      point_threshold_(para.point_threshold) {}

CloudCluster::~CloudCluster() = default;

// Column-major cells in one block. Sizing it anew keeps the block of any
// larger grid before it, so a thread's grids stop allocating once they have
// grown to its largest frame.
template <typename T>
class CloudCluster::Grid {
 public:
  // cols x rows cells, each set to `value`.
  void assign(int cols, int rows, const T& value) {
    rows_ = static_cast<std::size_t>(rows);
    cells_.assign(static_cast<std::size_t>(cols) * rows_, value);
  }
  // cols x rows cells whose values are left to the caller to set before use.
  void resize(int cols, int rows) {
    rows_ = static_cast<std::size_t>(rows);
    cells_.resize(static_cast<std::size_t>(cols) * rows_);
  }
  // Gives the storage back.
  void release() {
    std::vector<T>().swap(cells_);
    rows_ = 0;
  }
  T* operator[](int c) { return cells_.data() + static_cast<std::size_t>(c) * rows_; }
  const T* operator[](int c) const { return cells_.data() + static_cast<std::size_t>(c) * rows_; }

 private:
  std::vector<T> cells_;
  std::size_t rows_ = 0;
};

struct CloudCluster::Labelling {
  int cols = 0;
  int rows = 0;
  float min_x = 0.0f;
  float min_y = 0.0f;
  Grid<std::int32_t> point_count;
  // Set where the point count is not 0; elsewhere it stands for the default
  // point and may hold whatever an earlier call left.
  Grid<pcl::PointXYZ> top_point;
  Grid<std::int32_t> label;
  std::vector<std::pair<int, int>> pending;       // cells the flood fill has still to visit
  std::vector<std::pair<int, int>> contributing;  // cells giving a point to a cluster
  std::vector<std::size_t> cluster_sizes;         // points of each returned cloud

  // A thread keeps the grids of an ordinary frame; one far larger (a cloud
  // with stray points kilometres away) gives its storage back after the call
  // instead of holding hundreds of megabytes for the rest of the thread.
  void releaseIfLarge() {
    constexpr std::int64_t kKeptCells = std::int64_t{1} << 21;  // 48 MiB of grids
    if (std::int64_t{cols} * rows <= kKeptCells) return;
    point_count.release();
    top_point.release();
    label.release();
  }
};

CloudCluster::Labelling& CloudCluster::threadLabelling() {
  // One per thread: concurrent calls on one object never share it, and every
  // call sets each cell it reads, so no result depends on an earlier call.
  thread_local Labelling labelling;
  return labelling;
}

void CloudCluster::obstacleCluster(CloudPtr cloud, int& count,
                                   std::vector<CloudPtr>& clusters) const {
  Labelling& grid = threadLabelling();
  if (obstacleCluster(cloud, count, grid)) {
    clusters.resize(static_cast<std::size_t>(count));
    for (CloudPtr& cluster : clusters) cluster = std::make_shared<Cloud>();
    getClusteredPoints(grid, clusters);
  }
  grid.releaseIfLarge();
}

int CloudCluster::obstacleCluster(CloudPtr cloud, std::vector<std::int32_t>& cluster_ids) const {
  cluster_ids.assign(cloud ? cloud->size() : 0, -1);
  int count = 0;
  Labelling& grid = threadLabelling();
  if (!obstacleCluster(cloud, count, grid)) return 0;
  for (std::size_t i = 0; i < cloud->size(); ++i) {
    const pcl::PointXYZ& p = (*cloud)[i];
    const int c = CellIndex(p.x, grid.min_x, grid_step_, grid.cols);
    const int r = CellIndex(p.y, grid.min_y, grid_step_, grid.rows);
    if (c >= 0 && r >= 0) cluster_ids[i] = grid.label[c][r] - 1;
  }
  grid.releaseIfLarge();
  return count;
}

bool CloudCluster::obstacleCluster(const CloudPtr& cloud, int& count, Labelling& labelling) const {
  if (!cloud || cloud->size() < 2) {
    LARKSPUR_LOG_DEBUG("The input cloud's size for cluster is too small");
    return false;
  }
  pcl::PointXYZ min_point;
  pcl::PointXYZ max_point;
  pcl::getMinMax3D(*cloud, min_point, max_point);
  const std::int64_t cols = GridDimension(max_point.x - min_point.x, grid_step_);
  const std::int64_t rows = GridDimension(max_point.y - min_point.y, grid_step_);
  LARKSPUR_LOG_DEBUG(
      "ymax = {0:05.4f}, ymin = {1:05.4f}, xmax = {2:05.4f}, xmin = {3:05.4f}, grid_step_ = "
      "{4:05.4f}, cols = {5:d}, rows = {6:d}",
      max_point.x, min_point.x, max_point.y, min_point.y, grid_step_, cols, rows);
  if (cols <= 0 || rows <= 0) {
    LARKSPUR_LOG_DEBUG("The range of input cloud for cluster is too small");
    return false;
  }
  const std::int64_t cells = cols * rows;
  if (cells > kMaxGridCells) {
    LARKSPUR_LOG_DEBUG("The grid for cluster would need {0:d} cells, more than {1:d}", cells,
                       kMaxGridCells);
    return false;
  }
  // Every cell may start a cluster, so the labels must stay positive and
  // within int for any grid.
  if (count < 0 || count > kMaxIncomingCount || count > std::numeric_limits<int>::max() - cells) {
    LARKSPUR_LOG_DEBUG("The cluster count {0:d} cannot be continued", count);
    return false;
  }

  labelling.cols = static_cast<int>(cols);
  labelling.rows = static_cast<int>(rows);
  labelling.min_x = min_point.x;
  labelling.min_y = min_point.y;
  labelling.point_count.assign(labelling.cols, labelling.rows, 0);
  labelling.top_point.resize(labelling.cols, labelling.rows);
  labelling.label.assign(labelling.cols, labelling.rows, kNotOccupied);

  mapCartesianGrid(cloud, labelling.cols, labelling.rows, labelling.min_x, labelling.min_y,
                   labelling.point_count, labelling.top_point, labelling.label);
  findComponent(labelling.label, labelling.cols, labelling.rows, count, labelling.pending);
  return true;
}

void CloudCluster::mapCartesianGrid(CloudPtr cloud, int cols, int rows, float min_x, float min_y,
                                    Grid<std::int32_t>& point_count, Grid<pcl::PointXYZ>& top_point,
                                    Grid<std::int32_t>& label) const {
  for (const pcl::PointXYZ& p : cloud->points) {
    const int c = CellIndex(p.x, min_x, grid_step_, cols);
    const int r = CellIndex(p.y, min_y, grid_step_, rows);
    if (c < 0 || r < 0) continue;
    const std::int32_t points_in_cell = ++point_count[c][r];
    if (points_in_cell == 1 || top_point[c][r].z < p.z) top_point[c][r] = p;
  }

  // Occupied cells grow by one cell in every direction, independently of
  // the search window, so that sparse returns beside an obstacle join it.
  for (int c = 0; c < cols; ++c) {
    for (int r = 0; r < rows; ++r) {
      if (point_count[c][r] <= point_threshold_) continue;
      const auto [first_c, last_c] = WindowSpan(c, 3, cols);
      const auto [first_r, last_r] = WindowSpan(r, 3, rows);
      for (int nc = first_c; nc <= last_c; ++nc) {
        std::fill(label[nc] + first_r, label[nc] + last_r + 1, kUnlabelled);
      }
    }
  }
}

void CloudCluster::findComponent(Grid<std::int32_t>& label, int cols, int rows, int& count,
                                 std::vector<std::pair<int, int>>& pending) const {
  for (int c = 0; c < cols; ++c) {
    for (int r = 0; r < rows; ++r) {
      if (label[c][r] != kUnlabelled) continue;
      ++count;
      search_adj(label, count, cols, rows, c, r, pending);
    }
  }
}

void CloudCluster::search_adj(Grid<std::int32_t>& label, int& count, int cols, int rows, int c,
                              int r, std::vector<std::pair<int, int>>& pending) const {
  // Depth-first over an explicit stack: one cluster may cover the whole grid,
  // far deeper than the call stack allows. A cell is labelled when pushed, so
  // it is pushed once; the cells reached, and so the labels, are the same as
  // for a recursive visit.
  pending.assign(1, {c, r});
  label[c][r] = count;
  while (!pending.empty()) {
    const auto [cell_c, cell_r] = pending.back();
    pending.pop_back();
    const auto [first_c, last_c] = WindowSpan(cell_c, search_size_, cols);
    const auto [first_r, last_r] = WindowSpan(cell_r, search_size_, rows);
    for (int nc = first_c; nc <= last_c; ++nc) {
      for (int nr = first_r; nr <= last_r; ++nr) {
        if (label[nc][nr] != kUnlabelled) continue;
        label[nc][nr] = count;
        pending.emplace_back(nc, nr);
      }
    }
  }
}

void CloudCluster::getClusteredPoints(Labelling& labelling, std::vector<CloudPtr>& clusters) const {
  const Grid<std::int32_t>& label = labelling.label;
  const Grid<std::int32_t>& point_count = labelling.point_count;
  const Grid<pcl::PointXYZ>& top_point = labelling.top_point;
  // A cell without points holds the default point, which never contributes.
  labelling.contributing.clear();
  labelling.cluster_sizes.assign(clusters.size(), 0);
  for (int c = 0; c < labelling.cols; ++c) {
    for (int r = 0; r < labelling.rows; ++r) {
      const std::int32_t k = label[c][r];
      if (k == kNotOccupied || point_count[c][r] == 0 || IsEmptyCellPoint(top_point[c][r])) {
        continue;
      }
      labelling.contributing.emplace_back(c, r);
      ++labelling.cluster_sizes[static_cast<std::size_t>(k - 1)];
    }
  }
  // Sized first so that each cloud allocates its points once.
  for (std::size_t k = 0; k < clusters.size(); ++k) {
    clusters[k]->reserve(labelling.cluster_sizes[k]);
  }
  for (const auto& [c, r] : labelling.contributing) {
    clusters[static_cast<std::size_t>(label[c][r] - 1)]->emplace_back(top_point[c][r]);
  }
}

}  // namespace perception
}  // namespace kestrel
