// The ego-centred grid both dynamic-obstacle detectors keep: the planar motion
// between two poses, the warp that carries the grid along with it, the shared
// configuration keys and their checks.
//
// What the detectors do differently is a parameter (GridMotionRule): the
// interpolation of each raster, the laser detector's dilation and erosion
// around large turns, and what a motion that is not finite does.
#pragma once

#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

#include "larkspur_perception_libs/ego_grid_params.h"
#include "larkspur_perception_libs/occupancy_grid.h"

namespace kestrel {
namespace perception {
namespace ego_grid {

// Above this turn (radians) a plain warp would tear thin structures apart;
// a rule with close_turns wraps it in a 3 x 3 dilation and erosion.
constexpr double kMorphologyTurn = 0.05;

// A shift of more than this many grid sides (in either axis) leaves nothing
// of the old grid in view: every cell then takes its entering value without
// a warp. It also keeps OpenCV's fixed-point source coordinates within int.
constexpr float kMaxShiftInSides = 4.0f;

// The two detectors form the motion and the warp matrix with different
// arithmetic: scalar products (cloud detector), or Eigen's Rotation2D and
// OpenCV's cv::Mat product (laser detector). The library products fuse
// multiply and add on aarch64, so the two round differently there; each
// detector keeps its own so that its outputs stay as they were.
enum class Arithmetic { kScalar, kLibrary };

// A robot pose reduced to the plane: metres, yaw in radians.
struct PlanarPose {
  Eigen::Vector2f position = Eigen::Vector2f::Zero();
  float yaw = 0.0f;
};

// Motion from one pose to the next in the earlier robot frame: translation in
// metres, turn in radians within [-pi, pi].
struct PlanarMotion {
  Eigen::Vector2f translation;
  float turn;
};

// The cell arithmetic of OccupancyGridMap::IsValidPoint and GetIndexFromXy,
// split so that per-point loops divide each coordinate once and share it
// between probes, with the grid's constants held in locals (stores into
// float rasters would otherwise make the compiler reload them). Results are
// those of the grid's own operations, bit for bit.
class CellArithmetic {
 public:
  explicit CellArithmetic(const OccupancyGridMap& grid)
      : resolution_(grid.resolution()), centre_(CentreOf(grid)), width_(grid.grid_width()) {}

  // Column (of an x) or row (of a y) of the cell holding a coordinate, or -1
  // outside the grid. The grid adds the centre to the float floor of the
  // quotient and tests the sum as a float. Below 2^23 in magnitude the floor
  // and that sum are exact integers, so the same sum in int decides alike;
  // beyond (and for NaN and infinities) the coordinate is outside either way,
  // the grid being far narrower (kMaxGridCellsPerSide).
  int Cell(float coordinate) const {
    const float quotient = coordinate / resolution_;
    if (!(std::fabs(quotient) < kExactFloatIntegers)) return -1;
    const int truncated = static_cast<int>(quotient);
    const int floor = static_cast<float>(truncated) > quotient ? truncated - 1 : truncated;
    const int cell = floor + centre_;
    return cell >= 0 && cell < width_ ? cell : -1;
  }
  // Linear index of a cell; both must be Cell results other than -1.
  int Index(int column, int row) const { return row * width_ + column; }
  // IsValidPoint and GetIndexFromXy in one: the cell of (x, y), or -1 outside.
  int IndexOrMinusOne(float x, float y) const {
    const int column = Cell(x);
    const int row = Cell(y);
    return column >= 0 && row >= 0 ? Index(column, row) : -1;
  }

 private:
  static constexpr float kExactFloatIntegers = 8388608.0f;  // 2^23
  static_assert(kMaxGridCellsPerSide < (1 << 22), "cells and centre stay far below 2^23");

  // The grid's centre cell number: the origin lies in cell (c, c), whose
  // index is c * width + c.
  static int CentreOf(const OccupancyGridMap& grid) {
    return grid.GetIndexFromXy(0.0f, 0.0f) / (grid.grid_width() + 1);
  }

  float resolution_;
  int centre_;
  int width_;
};

PlanarMotion MotionBetween(const PlanarPose& previous, const PlanarPose& current,
                           Arithmetic arithmetic);

// How one raster follows the motion.
struct RasterWarp {
  int interpolation;     // cv::INTER_LINEAR or cv::INTER_CUBIC
  float entering_value;  // given to cells that come in from outside the grid
};

// What a translation or angle that is not finite does to the grid.
enum class NonFiniteMotion {
  kForgetGrid,  // every cell takes its entering value
  kKeepGrid,    // nothing changes
};

struct GridMotionRule {
  Arithmetic arithmetic;
  RasterWarp log_odds;
  // The height raster moves only when set.
  std::optional<RasterWarp> height;
  // Wrap the log-odds warp of turns above kMorphologyTurn in a 3 x 3 dilation
  // before and erosion after.
  bool close_turns;
  NonFiniteMotion non_finite;
};

// Working rasters of the dilation, warp and erosion around large turns, kept
// by the caller between moves so that they are allocated once.
struct MorphologyBuffers {
  cv::Mat kernel;  // the 3 x 3 square, made on first use
  cv::Mat dilated;
  cv::Mat warped;
};

// Moves the grid's content by `translation` (metres, grid axes), then turns
// it counter-clockwise by `angle` (radians, applied as angle * pi / 3.14)
// about the centre of cell (grid_width / 2, grid_width / 2), each raster with
// its rule. A shift beyond kMaxShiftInSides sides gives every cell its
// entering value. A rule with close_turns works in `buffers` when given.
void MoveGrid(OccupancyGridMap& grid, const Eigen::Vector2f& translation, float angle,
              const GridMotionRule& rule, MorphologyBuffers* buffers = nullptr);

// Reads the six shared keys in the order of EgoGridParams with as<float>();
// the yaml-cpp exceptions for a missing key or a value that is not a number
// pass through unchanged.
EgoGridParams ReadGridKeys(const YAML::Node& config);

// The checks documented with EgoGridParams; returns the grid side handed to
// OccupancyGridMap::Init ("width" truncated toward zero). Throws
// std::invalid_argument naming the key.
int ValidatedGridSide(const EgoGridParams& params);

// Throws std::invalid_argument naming `key` when `value` is not finite: a
// non-finite threshold or increment would stick in every cell it touches.
void RequireFinite(const char* key, float value);

// A grid of `side` metres per side (see ValidatedGridSide) and `resolution`.
std::shared_ptr<OccupancyGridMap> NewGrid(int side, float resolution);

// Whole microseconds of a runtime, for the detectors' debug lines.
std::int64_t Microseconds(std::chrono::system_clock::duration elapsed);

}  // namespace ego_grid
}  // namespace perception
}  // namespace kestrel
