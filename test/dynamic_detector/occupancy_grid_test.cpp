// Cell arithmetic of the robot-centred grid, checked against hand-worked
// single-precision numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel {
namespace perception {
namespace {

TEST(OccupancyGridTest, CellsAndCentreOfTheWorkedSizes) {
  // 3.33 cells round to 3; an odd count puts its centre one cell above the middle.
  for (const auto& [width, resolution, cells, centre] :
       std::vector<std::tuple<int, float, int, int>>{
           {20, 0.1f, 200, 100}, {5, 0.1f, 50, 25}, {3, 0.2f, 15, 8}, {1, 0.3f, 3, 2}}) {
    OccupancyGridMap grid;
    grid.Init(width, resolution);
    EXPECT_EQ(grid.log_odds_map().size(), cv::Size(cells, cells)) << width << " / " << resolution;
    // The robot sits at the lower corner of the centre cell.
    EXPECT_EQ(grid.GetIndexFromXy(0.0f, 0.0f), centre * cells + centre);
    EXPECT_EQ(grid.GetXFromIndex(centre * cells + centre), 0.0f);
  }
}

TEST(OccupancyGridTest, CellsOfTheWorkedGrid) {
  OccupancyGridMap grid;
  grid.Init(20, 0.1f);
  EXPECT_EQ(grid.GetIndexFromXy(-10.0f, 9.99f), 199 * 200);
  EXPECT_EQ(grid.GetIndexFromXy(-0.0001f, 0.0f), 100 * 200 + 99);  // floor, not truncation
  for (const float outside : {10.0f, -10.001f, NAN, -INFINITY, 3e38f}) {
    EXPECT_FALSE(grid.IsValidPoint(outside, 0.0f) || grid.IsValidPoint(0.0f, outside)) << outside;
  }
  // Corners taken back to a cell land one column lower at these offsets from
  // the centre: e.g. -13 * 0.1f is -1.30000007, and that over 0.1f just below -13.
  const std::set<int> lower = {-99, -94, -89, -84, -62, -57, -52, -47, -42, -31, -26, -21, -13};
  for (int index = 20000; index < 20200; ++index) {
    const int back = grid.GetIndexFromXy(grid.GetXFromIndex(index), grid.GetYFromIndex(index));
    EXPECT_EQ(back, lower.count(index - 20100) ? index - 1 : index) << "offset " << index - 20100;
  }
  // Rows follow y, columns x; log-odds saturate at -1 and 1.
  const int index = grid.GetIndexFromXy(1.05f, -0.35f);  // column 110, row 96
  grid.SetHeight(index, 1.25f);
  EXPECT_EQ(grid.height_map().at<float>(96, 110), 1.25f);
  grid.AddLogOdds(index, -0.4f);  // a fresh cell holds -1
  EXPECT_EQ(grid.GetOccupancy(index), -1.0f);
  grid.set_log_odds_map(cv::Mat(200, 200, CV_32FC1, cv::Scalar(0.9)));
  grid.AddLogOdds(index, 0.4f);
  EXPECT_EQ(grid.log_odds_map().at<float>(96, 110), 1.0f);
#ifndef NDEBUG
  EXPECT_DEATH(grid.GetOccupancy(40000), "i < log_odds_map_.total\\(\\)");
  EXPECT_DEATH(grid.AddLogOdds(40000, 0.1f), "i < log_odds_map_.total\\(\\)");
  EXPECT_DEATH(grid.SetHeight(40000, 0.1f), "i < height_map_.total\\(\\)");
#endif
}

}  // namespace
}  // namespace perception
}  // namespace kestrel
