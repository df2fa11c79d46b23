// Obstacle clustering by connected components on a Cartesian grid.
//
// The cloud is rasterised onto a grid in the x-y plane (cell edge grid_step,
// origin at the smallest x and y of the cloud). A cell holding more than
// point_threshold points is occupied together with its eight neighbours;
// occupied cells within a search_size x search_size window of each other form
// one cluster. Each cluster comes back as its own cloud holding the highest
// point of every cell of the cluster, so the output is a grid-thinned,
// height-preserving copy of the input. Results depend on nothing but the
// call's own input: each calling thread keeps only the storage of its working
// grids between calls, so that clustering frame after frame allocates little
// more than the clouds it returns.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace kestrel {
namespace perception {

struct CloudClusterPara {
  // Edge of one grid cell in metres; expected positive.
  float grid_step = 0.01f;
  // Side, in cells, of the window within which occupied cells join one
  // cluster. 3 joins the eight neighbours, 5 cells up to two apart; an even
  // side reaches one cell further back than forward; 0 or less makes every
  // occupied cell a cluster of its own.
  std::int32_t search_size = 3;
  // A cell is occupied when it holds more points than this.
  std::int32_t point_threshold = 2;
};

class CloudCluster {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  using CloudPtr = std::shared_ptr<Cloud>;

  // Largest grid, in cells, that obstacleCluster builds: three entries per
  // cell (count, point, label) make this about 400 MB, e.g. 40 m x 40 m at
  // the default step. A larger grid (a step too small for the extent of the
  // cloud, or a step of zero) is refused. Every thread that calls
  // obstacleCluster keeps the storage of the largest grid it has built, up to
  // 2^21 cells (48 MiB), until the thread ends; a larger grid's storage is
  // given back after its call.
  static constexpr std::int64_t kMaxGridCells = std::int64_t{1} << 24;

  // Largest incoming `count` that obstacleCluster continues. Every label
  // below it becomes an empty cloud in `clusters`, so the incoming count
  // alone decides that allocation (about 170 MB at this bound).
  static constexpr int kMaxIncomingCount = 1 << 20;

  // grid_step 0.01 m, search_size 3, point_threshold 2.
  CloudCluster();
  explicit CloudCluster(const CloudClusterPara& para);
  ~CloudCluster();

  // Clusters `cloud` (metres, any frame with z up). Labels continue from the
  // incoming `count` (normally 0): on return `count` is increased by the
  // number of clusters found, `clusters` has `count` entries, the ones before
  // the incoming value replaced by empty clouds, and entry k - 1 holds the
  // points of cluster k. Points with a non-finite x or y belong to no cell.
  //
  // Degenerate input is logged at debug level and leaves `count` and
  // `clusters` untouched: a null cloud or one with fewer than 2 points, a
  // cloud without a finite point, a grid_step that is not positive for the
  // extent of the cloud, a grid of more than kMaxGridCells cells, and an
  // incoming `count` that is negative, above kMaxIncomingCount or too large
  // to be continued within int. Throws only std::bad_alloc.
  void obstacleCluster(CloudPtr cloud, int& count, std::vector<CloudPtr>& clusters) const;

  // The same clustering as one cluster id per input point: `cluster_ids`
  // gets the size of `cloud`, and point i gets k - 1 when its cell belongs to
  // cluster k of a call with `count` 0 (that is, the entry of `clusters` its
  // cell contributes to), -1 when its cell belongs to no cluster or the point
  // has a non-finite x or y. Every point of a cell gets the id, not only the
  // cell's highest point that the clouds carry. Returns the number of
  // clusters; degenerate input (see above) gives 0 and every id -1.
  int obstacleCluster(CloudPtr cloud, std::vector<std::int32_t>& cluster_ids) const;

 private:
  // Working grids of one call, indexed [column][row]; the column follows x.
  // Both are defined with the algorithm.
  template <typename T>
  class Grid;
  // The labelled grid of one call, with the scratch space of its steps.
  struct Labelling;
  // The calling thread's labelling, reused by each of its calls so that its
  // storage outlives the call.
  static Labelling& threadLabelling();
  // Builds and labels the grid of `cloud`, labels continuing from `count`.
  // False, with the reason logged, for the degenerate input of the public
  // calls, whose name it shares so that its log lines carry that name.
  bool obstacleCluster(const CloudPtr& cloud, int& count, Labelling& labelling) const;

  void mapCartesianGrid(CloudPtr cloud, int cols, int rows, float min_x, float min_y,
                        Grid<std::int32_t>& point_count, Grid<pcl::PointXYZ>& top_point,
                        Grid<std::int32_t>& label) const;
  // `pending` is scratch space, its content ignored.
  void findComponent(Grid<std::int32_t>& label, int cols, int rows, int& count,
                     std::vector<std::pair<int, int>>& pending) const;
  void search_adj(Grid<std::int32_t>& label, int& count, int cols, int rows, int c, int r,
                  std::vector<std::pair<int, int>>& pending) const;
  // Fills `clusters` from the labelled grid, using its scratch space.
  void getClusteredPoints(Labelling& labelling, std::vector<CloudPtr>& clusters) const;

  float grid_step_ = 0.01f;
  std::int32_t search_size_ = 3;
  std::int32_t point_threshold_ = 2;
};

}  // namespace perception
}  // namespace kestrel
