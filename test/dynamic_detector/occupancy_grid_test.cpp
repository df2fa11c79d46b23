// Cell arithmetic of the robot-centred grid, checked against hand-worked
// single-precision numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "occupancy_grid.h"

namespace kestrel {
namespace perception {
namespace {

struct GridSize {
  int width;
  float resolution;
  int cells;
  int centre;
};

class GridSizeTest : public testing::TestWithParam<GridSize> {};

TEST_P(GridSizeTest, CellsAndCentre) {
  const GridSize size = GetParam();
  OccupancyGridMap grid;
  grid.Init(size.width, size.resolution);
  EXPECT_EQ(grid.grid_width(), size.cells);
  EXPECT_EQ(grid.log_odds_map().rows, size.cells);
  EXPECT_EQ(grid.height_map().cols, size.cells);
  // The robot sits at the lower corner of the centre cell.
  EXPECT_EQ(grid.GetIndexFromXy(0.0f, 0.0f), size.centre * size.cells + size.centre);
  EXPECT_EQ(grid.GetXFromIndex(size.centre * size.cells + size.centre), 0.0f);
}

// 3.33 cells round to 3; an odd count puts its centre one cell above the middle.
INSTANTIATE_TEST_SUITE_P(WorkedSizes, GridSizeTest,
                         testing::Values(GridSize{20, 0.1f, 200, 100}, GridSize{5, 0.1f, 50, 25},
                                         GridSize{3, 0.2f, 15, 8}, GridSize{1, 0.3f, 3, 2}));

class Grid200Test : public testing::Test {
 protected:
  void SetUp() override { grid_.Init(20, 0.1f); }
  int Column(float x) { return grid_.GetXIndexFromIndex(grid_.GetIndexFromXy(x, 0.0f)); }
  OccupancyGridMap grid_;
};

TEST_F(Grid200Test, FreshGridIsFreeAndFlat) {
  EXPECT_EQ(grid_.GetIndexFromXy(0.0f, 0.0f), 20100);
  EXPECT_EQ(grid_.log_odds_map().type(), CV_32FC1);
  EXPECT_TRUE(grid_.log_odds_map().isContinuous());
  double min = 0.0, max = 0.0;
  cv::minMaxLoc(grid_.log_odds_map(), &min, &max);
  EXPECT_EQ(min, -1.0);
  EXPECT_EQ(max, -1.0);
  cv::minMaxLoc(grid_.height_map(), &min, &max);
  EXPECT_EQ(min, 0.0);
  EXPECT_EQ(max, 0.0);
}

TEST_F(Grid200Test, EdgesOfTheCoveredSquare) {
  EXPECT_TRUE(grid_.IsValidPoint(-10.0f, 0.0f));
  EXPECT_EQ(Column(-10.0f), 0);
  EXPECT_TRUE(grid_.IsValidPoint(9.99f, 0.0f));
  EXPECT_EQ(Column(9.99f), 199);
  EXPECT_FALSE(grid_.IsValidPoint(10.0f, 0.0f));
  EXPECT_FALSE(grid_.IsValidPoint(0.0f, 10.0f));
  EXPECT_FALSE(grid_.IsValidPoint(-10.001f, 0.0f));
  // Floor, not truncation toward zero.
  EXPECT_EQ(Column(-0.0001f), 99);
  EXPECT_EQ(Column(0.0f), 100);
}

TEST_F(Grid200Test, NonFiniteAndFarCoordinatesAreOutside) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(grid_.IsValidPoint(nan, 0.0f));
  EXPECT_FALSE(grid_.IsValidPoint(0.0f, nan));
  EXPECT_FALSE(grid_.IsValidPoint(inf, 0.0f));
  EXPECT_FALSE(grid_.IsValidPoint(0.0f, -inf));
  EXPECT_FALSE(grid_.IsValidPoint(3.0e38f, 0.0f));
  EXPECT_FALSE(grid_.IsValidPoint(0.0f, -3.0e38f));
}

TEST_F(Grid200Test, IndexToRowColumnAndCorner) {
  EXPECT_EQ(grid_.GetXIndexFromIndex(20100), 100);
  EXPECT_EQ(grid_.GetYIndexFromIndex(20100), 100);
  EXPECT_EQ(grid_.GetXIndexFromIndex(401), 1);
  EXPECT_EQ(grid_.GetYIndexFromIndex(401), 2);
  EXPECT_EQ(grid_.GetXFromIndex(20100), 0.0f);
  EXPECT_EQ(grid_.GetYFromIndex(20100), 0.0f);
  EXPECT_EQ(grid_.GetXFromIndex(0), -10.0f);
  EXPECT_EQ(grid_.GetYFromIndex(0), -10.0f);
  // Row 2 lies 98 cells below the centre.
  EXPECT_FLOAT_EQ(grid_.GetYFromIndex(401), -9.8f);
}

// Corner coordinates taken back to a cell land one column lower at these
// offsets from the centre (worked out in single precision: e.g. -13 * 0.1f
// rounds to -1.30000007, and -1.30000007 / 0.1f to just below -13).
TEST_F(Grid200Test, CornerRoundTripLandsOneLowerAtKnownOffsets) {
  const std::set<int> lower = {-99, -94, -89, -84, -62, -57, -52, -47, -42, -31, -26, -21, -13};
  for (int column = 0; column < 200; ++column) {
    const int index = 100 * 200 + column;
    const int back = grid_.GetIndexFromXy(grid_.GetXFromIndex(index), grid_.GetYFromIndex(index));
    const int offset = column - 100;
    EXPECT_EQ(back, lower.count(offset) ? index - 1 : index) << "offset " << offset;
  }
}

TEST_F(Grid200Test, LogOddsSaturate) {
  grid_.set_log_odds_map(cv::Mat(200, 200, CV_32FC1, cv::Scalar(0.9)));
  grid_.AddLogOdds(20100, 0.4f);
  EXPECT_EQ(grid_.GetOccupancy(20100), 1.0f);
  grid_.AddLogOdds(20100, -0.5f);
  EXPECT_EQ(grid_.GetOccupancy(20100), 0.5f);

  grid_.Init(20, 0.1f);
  grid_.AddLogOdds(20100, -0.4f);
  EXPECT_EQ(grid_.GetOccupancy(20100), -1.0f);
  grid_.AddLogOdds(20100, 0.5f);
  EXPECT_EQ(grid_.GetOccupancy(20100), -0.5f);
}

TEST_F(Grid200Test, CellWritesLandInRowAndColumn) {
  const int index = grid_.GetIndexFromXy(1.05f, -0.35f);  // column 110, row 96
  grid_.SetHeight(index, 1.25f);
  grid_.AddLogOdds(index, 0.5f);
  EXPECT_EQ(grid_.height_map().at<float>(96, 110), 1.25f);
  EXPECT_EQ(grid_.log_odds_map().at<float>(96, 110), -0.5f);
}

TEST_F(Grid200Test, SettersShareTheBuffer) {
  cv::Mat replacement(200, 200, CV_32FC1, cv::Scalar(0.25));
  grid_.set_log_odds_map(replacement);
  grid_.AddLogOdds(0, 0.5f);
  EXPECT_EQ(replacement.at<float>(0, 0), 0.75f);
  EXPECT_EQ(grid_.log_odds_map().data, replacement.data);
}

TEST(OddGridTest, CellsBelowAndAboveTheOrigin) {
  OccupancyGridMap grid;
  grid.Init(3, 0.2f);
  // Cells 0..7 lie below the origin, 8..14 above it.
  EXPECT_FLOAT_EQ(grid.GetXFromIndex(0), -1.6f);
  EXPECT_TRUE(grid.IsValidPoint(-1.6f, -1.6f));
  EXPECT_FALSE(grid.IsValidPoint(-1.61f, 0.0f));
  EXPECT_TRUE(grid.IsValidPoint(1.39f, 1.39f));
  EXPECT_FALSE(grid.IsValidPoint(1.41f, 0.0f));
  EXPECT_FLOAT_EQ(grid.GetXFromIndex(14) + 0.2f, 1.4f);
}

TEST(OddGridTest, SecondInitDiscardsContents) {
  OccupancyGridMap grid;
  grid.Init(5, 0.1f);
  grid.AddLogOdds(7, 1.5f);
  grid.SetHeight(7, 2.0f);
  grid.Init(1, 0.3f);
  EXPECT_EQ(grid.grid_width(), 3);
  EXPECT_EQ(grid.GetOccupancy(7), -1.0f);
  EXPECT_EQ(grid.height_map().at<float>(2, 1), 0.0f);
}

TEST(EmptyGridTest, WidthBelowHalfACellHasNoCells) {
  OccupancyGridMap grid;
  grid.Init(0, 0.1f);
  EXPECT_EQ(grid.grid_width(), 0);
  EXPECT_EQ(grid.log_odds_map().total(), 0u);
  EXPECT_FALSE(grid.IsValidPoint(0.0f, 0.0f));
}

#ifndef NDEBUG
TEST(GridAssertionDeathTest, CellAccessBeyondTheRaster) {
  OccupancyGridMap grid;
  grid.Init(1, 0.3f);
  EXPECT_DEATH(grid.GetOccupancy(9),
               "float kestrel::perception::OccupancyGridMap::GetOccupancy\\(size_t\\).*"
               "i < log_odds_map_.total\\(\\)");
  EXPECT_DEATH(grid.AddLogOdds(9, 0.1f),
               "void kestrel::perception::OccupancyGridMap::AddLogOdds\\(size_t, float\\).*"
               "i < log_odds_map_.total\\(\\)");
  EXPECT_DEATH(grid.SetHeight(9, 0.1f),
               "void kestrel::perception::OccupancyGridMap::SetHeight\\(size_t, float\\).*"
               "i < height_map_.total\\(\\)");
}
#endif

}  // namespace
}  // namespace perception
}  // namespace kestrel
