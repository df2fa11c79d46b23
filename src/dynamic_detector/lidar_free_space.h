// The virtual scan behind DynamicCloudDetector's LiDAR free-space mode: per
// azimuth bin around the sensor, how far the cloud's rays show free space,
// and the grid cells that scan observes free.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/lidar_free_space_params.h"
#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel {
namespace perception {

class LidarFreeSpace {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;

  // Tabulates, for every cell of `grid` whose centre lies within max_range
  // of the sensor, its azimuth bin and distance. The grid moves with the
  // robot and so does the sensor, so the table holds for every cloud.
  // `params` must have passed Check().
  LidarFreeSpace(const LidarFreeSpaceParams& params, const OccupancyGridMap& grid);

  // Builds the virtual scan of one cloud: `obstacles` are the non-ground
  // points, `ground` (may be null) the ground returns. Points with a
  // non-finite coordinate are left out.
  void Scan(const Cloud* obstacles, const Cloud* ground);

  // Whether the last scan sees cell `i` free (within max_range and nearer to
  // the sensor than its bin's free range).
  bool SeesFree(std::size_t i) const {
    return cell_distances_[i] < free_range_[static_cast<std::size_t>(cell_bins_[i])];
  }

  // Per point of the last scan's obstacle cloud, 1 when its cell was taken
  // for road (see LidarFreeSpaceParams::road_max_extent); empty when that is
  // turned off.
  const std::vector<std::uint8_t>& points_on_road() const { return points_on_road_; }

  // Raises every road cell of the last scan that is below 0 to 0.
  void KeepRoadCellsUnknown(OccupancyGridMap& grid) const;

 private:
  void FindRoad(const Cloud* obstacles);

  // Bin of the horizontal offset (dx, dy) from the sensor.
  std::int32_t BinOf(float dx, float dy) const;

  LidarFreeSpaceParams params_;
  const OccupancyGridMap& grid_;
  std::int32_t bins_ = 0;
  float bins_per_radian_ = 0.0f;
  // Per cell, the azimuth bin and distance of its centre from the sensor;
  // infinite distance (and bin 0) beyond max_range.
  std::vector<std::int32_t> cell_bins_;
  std::vector<float> cell_distances_;
  // Per bin, squared horizontal distance of the nearest in-band return
  // (infinite without one) and of the farthest ground return (negative
  // without one).
  std::vector<float> nearest_squared_;
  std::vector<float> farthest_ground_squared_;
  // Per bin, distance below which cells are free; negative: none.
  std::vector<float> free_range_;
  // Lowest and highest z of a cell's points.
  struct HeightSpan {
    float lowest;
    float highest;
  };
  // Per cell, the span of the last scan's points (lowest infinite and highest
  // minus infinite for cells without one; lowest minus infinite marks a road
  // cell; kept together so a point touches one cache line), the cells holding
  // points, and the road cells among them.
  std::vector<HeightSpan> spans_;
  std::vector<std::int32_t> touched_cells_;
  std::vector<std::int32_t> road_cells_;
  // Per obstacle point, its cell (-1 outside the grid) and points_on_road().
  std::vector<std::int32_t> point_cells_;
  std::vector<std::uint8_t> points_on_road_;
};

}  // namespace perception
}  // namespace kestrel
