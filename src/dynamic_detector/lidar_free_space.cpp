#include "dynamic_detector/lidar_free_space.h"

#include "dynamic_detector/ego_grid.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace kestrel {
namespace perception {
namespace {

constexpr float kPi = 3.14159265f;
constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr const char* kKey = "lidar_free_space";

std::invalid_argument KeyError(const char* key, const std::string& what) {
  return std::invalid_argument("\"" + std::string(kKey) + "." + key + "\" " + what);
}

float ReadFloat(const YAML::Node& mapping, const char* key) {
  try {
    return mapping[key].as<float>();
  } catch (const YAML::Exception&) {
    throw KeyError(key, mapping[key] ? "is not a number" : "is missing");
  }
}

void ReadOptionalFloat(const YAML::Node& mapping, const char* key, float& value) {
  if (mapping[key]) value = ReadFloat(mapping, key);
}

void ReadOptionalPosition(const YAML::Node& mapping, const char* key, Eigen::Vector3f& position) {
  const YAML::Node list = mapping[key];
  if (!list) return;
  if (!list.IsSequence() || list.size() != 3) throw KeyError(key, "must be a list of x, y, z");
  try {
    for (int k = 0; k < 3; ++k) position(k) = list[static_cast<std::size_t>(k)].as<float>();
  } catch (const YAML::Exception&) {
    throw KeyError(key, "must be a list of three numbers");
  }
}

// atan2 within about 1e-5 rad on [-pi, pi]. Points and cells go through the
// same function, so its error only shifts bin edges; unlike glibc's atan2f
// it gives the same bits on every CPU, and costs a third of it.
float Azimuth(float y, float x) {
  const float ax = std::abs(x);
  const float ay = std::abs(y);
  const float larger = std::max(ax, ay);
  if (larger == 0.0f) return 0.0f;
  const float a = std::min(ax, ay) / larger;
  const float s = a * a;
  float angle = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
  if (ay > ax) angle = 0.5f * kPi - angle;
  if (x < 0.0f) angle = kPi - angle;
  return y < 0.0f ? -angle : angle;
}

// Folds squared distances into per-bin extremes with `pick` (std::min or
// std::max). Successive points mostly share a bin, and each update of a bin
// would wait for the one before; a run of values in one bin is therefore
// folded in a local first. The squared distances are never NaN nor -0, so
// the extreme does not depend on the order of folding.
template <typename Pick>
class BinRun {
 public:
  BinRun(std::vector<float>& bins, Pick pick) : bins_(bins), pick_(pick) {}

  void Add(std::int32_t bin, float value) {
    if (bin == bin_) {
      value_ = pick_(value_, value);
      return;
    }
    Flush();
    bin_ = bin;
    value_ = value;
  }

  // Folds the current run into its bin.
  void Flush() {
    if (bin_ < 0) return;
    float& extreme = bins_[static_cast<std::size_t>(bin_)];
    extreme = pick_(extreme, value_);
    bin_ = -1;
  }

 private:
  std::vector<float>& bins_;
  Pick pick_;
  std::int32_t bin_ = -1;
  float value_ = 0.0f;
};

bool IsFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

}  // namespace

LidarFreeSpaceParams LidarFreeSpaceParams::FromYaml(const YAML::Node& mapping) {
  if (!mapping.IsMap())
    throw std::invalid_argument("\"" + std::string(kKey) + "\" must be a mapping");
  LidarFreeSpaceParams params;
  ReadOptionalFloat(mapping, "azimuth_resolution", params.azimuth_resolution);
  params.min_height = ReadFloat(mapping, "min_height");
  params.max_height = ReadFloat(mapping, "max_height");
  params.max_range = ReadFloat(mapping, "max_range");
  ReadOptionalFloat(mapping, "free_margin", params.free_margin);
  ReadOptionalFloat(mapping, "road_max_height", params.road_max_height);
  ReadOptionalFloat(mapping, "road_max_extent", params.road_max_extent);
  ReadOptionalPosition(mapping, "sensor_position", params.sensor_position);
  return params;
}

void LidarFreeSpaceParams::Check() const {
  if (!(azimuth_resolution >= 1e-4f && azimuth_resolution <= kPi)) {
    throw KeyError("azimuth_resolution",
                   "must lie in [1e-4, pi], got " + std::to_string(azimuth_resolution));
  }
  if (!std::isfinite(min_height)) throw KeyError("min_height", "must be finite");
  if (!(std::isfinite(max_height) && max_height > min_height)) {
    throw KeyError("max_height", "must be finite and above min_height");
  }
  if (!(std::isfinite(max_range) && max_range > 0.0f)) {
    throw KeyError("max_range", "must be positive and finite");
  }
  if (!(std::isfinite(free_margin) && free_margin >= 0.0f)) {
    throw KeyError("free_margin", "must be non-negative and finite");
  }
  if (!std::isfinite(road_max_height)) throw KeyError("road_max_height", "must be finite");
  if (!std::isfinite(road_max_extent)) throw KeyError("road_max_extent", "must be finite");
  if (!sensor_position.allFinite()) throw KeyError("sensor_position", "must be finite");
}

LidarFreeSpace::LidarFreeSpace(const LidarFreeSpaceParams& params, const OccupancyGridMap& grid)
    : params_(params),
      grid_(grid),
      bins_(static_cast<std::int32_t>(std::ceil(2.0 * M_PI / params.azimuth_resolution))),
      bins_per_radian_(1.0f / params.azimuth_resolution),
      nearest_squared_(bins_),
      farthest_ground_squared_(bins_),
      free_range_(bins_) {
  const int gw = grid.grid_width();
  const std::size_t cells = static_cast<std::size_t>(gw) * static_cast<std::size_t>(gw);
  spans_.resize(cells, {kInfinity, -kInfinity});
  cell_bins_.resize(cells, 0);
  cell_distances_.resize(cells, kInfinity);
  const float half_cell = 0.5f * grid.resolution();
  for (int i = 0; i < gw * gw; ++i) {
    const float dx = grid.GetXFromIndex(i) + half_cell - params_.sensor_position.x();
    const float dy = grid.GetYFromIndex(i) + half_cell - params_.sensor_position.y();
    const float distance = std::sqrt(dx * dx + dy * dy);
    if (distance <= params_.max_range) {
      cell_bins_[static_cast<std::size_t>(i)] = BinOf(dx, dy);
      cell_distances_[static_cast<std::size_t>(i)] = distance;
    }
  }
}

std::int32_t LidarFreeSpace::BinOf(float dx, float dy) const {
  const auto bin = static_cast<std::int32_t>((Azimuth(dy, dx) + kPi) * bins_per_radian_);
  return std::min(std::max(bin, 0), bins_ - 1);
}

void LidarFreeSpace::Scan(const Cloud* obstacles, const Cloud* ground) {
  const Eigen::Vector3f& sensor = params_.sensor_position;
  std::fill(nearest_squared_.begin(), nearest_squared_.end(), kInfinity);
  std::fill(farthest_ground_squared_.begin(), farthest_ground_squared_.end(), -1.0f);
  FindRoad(obstacles);
  if (obstacles) {
    const std::vector<pcl::PointXYZ, Eigen::aligned_allocator<pcl::PointXYZ>>& points =
        obstacles->points;
    BinRun nearest(nearest_squared_, [](float a, float b) { return std::min(a, b); });
    for (std::size_t k = 0; k < points.size(); ++k) {
      const pcl::PointXYZ& p = points[k];
      const float dz = p.z - sensor.z();
      if (!IsFinite(p) || dz < params_.min_height || dz > params_.max_height) continue;
      if (!points_on_road_.empty() && points_on_road_[k]) continue;
      const float dx = p.x - sensor.x();
      const float dy = p.y - sensor.y();
      nearest.Add(BinOf(dx, dy), dx * dx + dy * dy);
    }
    nearest.Flush();
  }
  if (ground) {
    BinRun farthest(farthest_ground_squared_, [](float a, float b) { return std::max(a, b); });
    for (const pcl::PointXYZ& p : ground->points) {
      if (!IsFinite(p)) continue;
      const float dx = p.x - sensor.x();
      const float dy = p.y - sensor.y();
      farthest.Add(BinOf(dx, dy), dx * dx + dy * dy);
    }
    farthest.Flush();
  }
  for (std::int32_t b = 0; b < bins_; ++b) {
    // A ray that reached the road passed over free cells, but beyond the
    // nearest obstacle the road seen may be another bin's.
    if (nearest_squared_[b] < kInfinity) {
      free_range_[b] = std::sqrt(nearest_squared_[b]) - params_.free_margin;
    } else {
      free_range_[b] =
          farthest_ground_squared_[b] >= 0.0f ? std::sqrt(farthest_ground_squared_[b]) : -1.0f;
    }
  }
}

void LidarFreeSpace::FindRoad(const Cloud* obstacles) {
  // Only the cells the previous cloud touched need resetting.
  for (const std::int32_t i : touched_cells_) {
    spans_[static_cast<std::size_t>(i)] = {kInfinity, -kInfinity};
  }
  touched_cells_.clear();
  road_cells_.clear();
  points_on_road_.clear();
  if (!obstacles || params_.road_max_extent < 0.0f) return;

  const ego_grid::CellArithmetic cells(grid_);
  const std::size_t count = obstacles->points.size();
  point_cells_.assign(count, -1);
  // Every point may touch a new cell. The cell is written in any case and
  // kept only when new, so that no branch waits for the loaded span.
  touched_cells_.resize(count);
  std::size_t touched = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const pcl::PointXYZ& p = obstacles->points[k];
    if (!IsFinite(p)) continue;
    const std::int32_t i = cells.IndexOrMinusOne(p.x, p.y);
    if (i < 0) continue;
    point_cells_[k] = i;
    HeightSpan& span = spans_[static_cast<std::size_t>(i)];
    touched_cells_[touched] = i;
    touched += span.lowest == kInfinity ? 1 : 0;
    span.lowest = std::min(span.lowest, p.z);
    span.highest = std::max(span.highest, p.z);
  }
  touched_cells_.resize(touched);

  const float road_top = params_.sensor_position.z() + params_.road_max_height;
  for (const std::int32_t i : touched_cells_) {
    HeightSpan& span = spans_[static_cast<std::size_t>(i)];
    const float highest = span.highest;
    if (highest < road_top && highest - span.lowest < params_.road_max_extent) {
      road_cells_.push_back(i);
      // Marks the cell for the points below; reset with the others next time.
      span.lowest = -kInfinity;
    }
  }
  points_on_road_.resize(point_cells_.size());
  for (std::size_t k = 0; k < point_cells_.size(); ++k) {
    points_on_road_[k] = point_cells_[k] >= 0 &&
                         spans_[static_cast<std::size_t>(point_cells_[k])].lowest == -kInfinity;
  }
}

void LidarFreeSpace::KeepRoadCellsUnknown(OccupancyGridMap& grid) const {
  for (const std::int32_t i : road_cells_) {
    const auto cell = static_cast<std::size_t>(i);
    if (grid.GetOccupancy(cell) < 0.0f) grid.AddLogOdds(cell, -grid.GetOccupancy(cell));
  }
}

}  // namespace perception
}  // namespace kestrel
