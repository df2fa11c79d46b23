// Segmentation into azimuth sectors and range bins, prototype selection and
// classification of the ground removal.
#include "larkspur_perception_libs/remove_ground_linefit.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace perception {
namespace {

using Cloud = RemoveGroundFramework::Cloud;
using CloudPtr = RemoveGroundFramework::CloudPtr;
using Sector = std::vector<STRU_SegmentedPoint>;
using SectorLines = std::vector<std::vector<STRU_Line>>;

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Distance of a point that no segment covers.
constexpr float kNoSegment = std::numeric_limits<float>::min();

// Share of max_point_height above which points take no part in the fit.
constexpr double kFitHeightShare = 0.7;

// Five bins of range margin let a segment cover points beyond its ends.
constexpr float kCoverMarginBins = 5.0f;

double SectorCountOf(const GroundRemovalParams& params) {
  return std::floor(kTwoPi / static_cast<double>(params.sector_angle)) + 1.0;
}

float BinCountOf(const GroundRemovalParams& params) {
  return (params.max_range - params.min_range) / params.bin_size + 1.0f;
}

void CheckGeometry(const GroundRemovalParams& params) {
  if (!(std::isfinite(params.sector_angle) && params.sector_angle > 0.0f)) {
    throw std::invalid_argument(
        fmt::format("GroundRemovalParams.sector_angle must be positive and finite, got {}",
                    params.sector_angle));
  }
  if (!(std::isfinite(params.bin_size) && params.bin_size > 0.0f)) {
    throw std::invalid_argument(fmt::format(
        "GroundRemovalParams.bin_size must be positive and finite, got {}", params.bin_size));
  }
  if (!(params.max_range > params.min_range)) {
    throw std::invalid_argument(
        fmt::format("GroundRemovalParams.max_range ({}) must be above min_range ({})",
                    params.max_range, params.min_range));
  }
  if (SectorCountOf(params) > RemoveGroundLineFit::kMaxSectorCount) {
    throw std::invalid_argument(fmt::format(
        "GroundRemovalParams.sector_angle {} gives {} sectors, more than {}", params.sector_angle,
        SectorCountOf(params), RemoveGroundLineFit::kMaxSectorCount));
  }
  // Negated so that an infinite or NaN count is refused too.
  if (!(static_cast<double>(BinCountOf(params)) <= RemoveGroundLineFit::kMaxBinCount)) {
    throw std::invalid_argument(fmt::format(
        "GroundRemovalParams.bin_size {} gives {} range bins from min_range {} to max_range {}, "
        "more than {}",
        params.bin_size, BinCountOf(params), params.min_range, params.max_range,
        RemoveGroundLineFit::kMaxBinCount));
  }
}

// Sector and bin counts; in range once the constructor has checked the params.
struct Geometry {
  explicit Geometry(const GroundRemovalParams& params)
      : sector_count(static_cast<std::uint32_t>(SectorCountOf(params))),
        bin_count(static_cast<std::uint32_t>(static_cast<std::int32_t>(BinCountOf(params)))) {}

  std::uint32_t sector_count;
  std::uint32_t bin_count;
};

float HorizontalRange(const pcl::PointXYZ& p) { return std::sqrt(p.x * p.x + p.y * p.y); }

// Azimuth from the negative x axis, counter-clockwise, in sectors.
std::uint32_t SectorIndex(const pcl::PointXYZ& p, float sector_angle, std::uint32_t sector_count) {
  const auto azimuth = static_cast<float>(static_cast<double>(std::atan2(p.y, p.x)) + kPi);
  const float sector = std::floor(azimuth / sector_angle);
  // -pi in float lies just below -pi, so a point with x < 0 and y = -0 comes
  // out at a tiny negative azimuth; it belongs to sector 0.
  if (!(sector > 0.0f)) return 0;
  // 2pi may be a whole multiple of the sector width in float: the point
  // straight behind then lands one past the last sector and joins it.
  if (sector >= static_cast<float>(sector_count)) return sector_count - 1;
  return static_cast<std::uint32_t>(sector);
}

std::int32_t BinIndex(float range, const GroundRemovalParams& params) {
  return static_cast<std::int32_t>(std::floor((range - params.min_range) / params.bin_size));
}

bool IsFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

bool IsOrigin(const pcl::PointXYZ& p) { return p.x == 0.0f && p.y == 0.0f && p.z == 0.0f; }

bool AboveFitHeight(const pcl::PointXYZ& p, const GroundRemovalParams& params) {
  return static_cast<double>(p.z) > kFitHeightShare * static_cast<double>(params.max_point_height);
}

// Close to the sensor along x and deeper than the road can be: reflections of
// the vehicle's own body.
bool InDeepNearZone(const pcl::PointXYZ& p, const GroundRemovalParams& params) {
  return std::fabs(p.x) < params.near_zone_x_limit &&
         params.ground_height - p.z > params.near_zone_depth;
}

enum class Entry { kFit, kClassifyWithOwnFit, kClassifyWithKeptFit };
enum class Admission { kDrop, kHigh, kWork };

// The prefilter of each entry point. The fit alone drops high points; the
// classifications pass them on as non-ground, and only the calls that fit
// drop the deep near zone.
Admission Admit(const pcl::PointXYZ& p, const GroundRemovalParams& params, Entry entry) {
  if (!IsFinite(p)) return Admission::kDrop;
  if (entry == Entry::kFit) {
    if (AboveFitHeight(p, params)) return Admission::kDrop;
  } else {
    if (p.z > params.max_point_height) return Admission::kDrop;
    if (AboveFitHeight(p, params)) return Admission::kHigh;
  }
  if (entry != Entry::kClassifyWithKeptFit && InDeepNearZone(p, params)) return Admission::kDrop;
  return Admission::kWork;
}

struct Segmentation {
  bool admitted_any = false;  // some point passed the prefilter
  std::vector<Sector> sectors;
};

// Sorts the admitted points inside the range window into sectors, keeping
// input order within a sector; high points go to `high_points` when present.
// The sectors stay empty when no point was admitted.
Segmentation Segment(const Cloud& input, const GroundRemovalParams& params,
                     const Geometry& geometry, Entry entry, Cloud* high_points) {
  struct Placement {
    std::size_t index;
    std::uint32_t sector;
    std::int32_t bin;
  };
  std::vector<Placement> placements;
  placements.reserve(input.size());
  std::vector<std::size_t> sector_sizes(geometry.sector_count, 0);
  Segmentation result;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const pcl::PointXYZ& p = input[i];
    const Admission admission = Admit(p, params, entry);
    if (admission == Admission::kDrop) continue;
    if (admission == Admission::kHigh) {
      if (high_points != nullptr) high_points->push_back(p);
      continue;
    }
    result.admitted_any = true;
    if (IsOrigin(p)) continue;
    const float range = HorizontalRange(p);
    if (!(params.min_range <= range && range <= params.max_range)) continue;
    const std::uint32_t sector = SectorIndex(p, params.sector_angle, geometry.sector_count);
    placements.push_back({i, sector, BinIndex(range, params)});
    ++sector_sizes[sector];
  }
  if (!result.admitted_any) return result;

  result.sectors.resize(geometry.sector_count);
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    result.sectors[s].reserve(sector_sizes[s]);
  }
  for (const Placement& placement : placements) {
    result.sectors[placement.sector].emplace_back(input[placement.index], placement.bin,
                                                  NON_GROUND);
  }
  return result;
}

// Working state of one range bin during prototype selection.
struct BinState {
  StreamWelFord heights;
  double outlier_bound = 0.0;  // mean - k * standard deviation
  float lowest = std::numeric_limits<float>::max();
  std::size_t chosen = kNoneChosen;

  static constexpr std::size_t kNoneChosen = std::numeric_limits<std::size_t>::max();
};

// One prototype per bin: the lowest point that is not a low outlier. Low
// outliers (reflections under the road) go to `trace`.
void SelectPrototypes(const Sector& points, std::uint32_t bin_count, double sigma_factor,
                      Cloud& trace, std::vector<PointPolarCoord>& prototypes) {
  std::vector<BinState> bins(bin_count);
  const auto bin_of = [&bins, bin_count](const STRU_SegmentedPoint& p) -> BinState* {
    const bool inside = p.bin_index >= 0 && static_cast<std::uint32_t>(p.bin_index) < bin_count;
    return inside ? &bins[static_cast<std::size_t>(p.bin_index)] : nullptr;
  };

  for (const STRU_SegmentedPoint& p : points) {
    if (BinState* bin = bin_of(p)) bin->heights.update(static_cast<double>(p.point.z));
  }
  for (BinState& bin : bins) {
    bin.outlier_bound = bin.heights.getMean() - sigma_factor * bin.heights.getStddev();
  }
  for (const STRU_SegmentedPoint& p : points) {
    const BinState* bin = bin_of(p);
    if (bin != nullptr && bin->heights.getCount() > 1 &&
        static_cast<double>(p.point.z) < bin->outlier_bound) {
      trace.push_back(p.point);
    }
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    const float z = points[i].point.z;
    BinState* bin = bin_of(points[i]);
    if (bin != nullptr && z < bin->lowest && static_cast<double>(z) >= bin->outlier_bound) {
      bin->lowest = z;
      bin->chosen = i;
    }
  }
  for (const BinState& bin : bins) {
    if (bin.chosen == BinState::kNoneChosen) continue;
    const pcl::PointXYZ& p = points[bin.chosen].point;
    const auto x = static_cast<double>(p.x);
    const auto y = static_cast<double>(p.y);
    prototypes.emplace_back(static_cast<float>(std::sqrt(x * x + y * y)), p.z,
                            std::atan2(p.y, p.x));
  }
}

SectorLines FitSectors(const RemoveGroundLineFit& remover, const std::vector<Sector>& sectors,
                       std::uint32_t bin_count, double sigma_factor, Cloud& trace) {
  SectorLines lines(sectors.size());
  std::vector<PointPolarCoord> prototypes;
  for (std::size_t s = 0; s < sectors.size(); ++s) {
    // An empty sector has no prototype; skipping it saves the per-bin tables.
    if (sectors[s].empty()) continue;
    prototypes.clear();
    SelectPrototypes(sectors[s], bin_count, sigma_factor, trace, prototypes);
    if (prototypes.size() > 1) remover.incrementalLineFitting(prototypes, lines[s]);
  }
  return lines;
}

// Distance to the segments of the point's own sector or, when none covers it,
// to the nearer of the two adjacent sectors (the next one on a tie). The
// sectors at azimuth -pi and +pi are not adjacent.
float SectorDistance(const RemoveGroundLineFit& remover, const pcl::PointXYZ& query,
                     const SectorLines& lines, std::uint32_t sector, std::uint32_t sector_count) {
  const float own = remover.point2LineSegmentDist(query, lines.at(sector));
  if (own != kNoSegment) return own;

  double next = kNoSegment;
  double previous = kNoSegment;
  if (sector + 1 < sector_count) next = remover.point2LineSegmentDist(query, lines.at(sector + 1));
  if (sector >= 1) previous = remover.point2LineSegmentDist(query, lines.at(sector - 1));
  float distance = own;
  if (next != kNoSegment) distance = static_cast<float>(next);
  if (previous != kNoSegment &&
      (distance == kNoSegment || std::fabs(previous) < std::fabs(static_cast<double>(distance)))) {
    distance = static_cast<float>(previous);
  }
  return distance;
}

POINT_TYPE TypeFromDistance(float distance, float threshold, bool below_is_ground) {
  if (distance == kNoSegment) return NON_GROUND;
  const float magnitude = std::fabs(distance);
  if (magnitude < threshold) return GROUND;
  if (magnitude >= threshold && distance < 0.0f) return below_is_ground ? GROUND : BELOW_GROUND;
  return NON_GROUND;
}

// Sets the type of every segmented point. Throws std::out_of_range when
// `lines` has no list for a sector that holds points.
void Classify(const RemoveGroundLineFit& remover, const SectorLines& lines, float threshold,
              bool below_is_ground, std::vector<Sector>& sectors) {
  const auto sector_count = static_cast<std::uint32_t>(sectors.size());
  for (std::uint32_t s = 0; s < sector_count; ++s) {
    for (STRU_SegmentedPoint& p : sectors[s]) {
      const pcl::PointXYZ query(HorizontalRange(p.point), p.point.z, 0.0f);
      const float distance = SectorDistance(remover, query, lines, s, sector_count);
      p.type = TypeFromDistance(distance, threshold, below_is_ground);
    }
  }
}

void Append(Cloud* cloud, const pcl::PointXYZ& p) {
  if (cloud != nullptr) cloud->push_back(p);
}

void Distribute(const std::vector<Sector>& sectors, Cloud* nonground, Cloud* ground,
                Cloud* below_ground) {
  for (const Sector& sector : sectors) {
    for (const STRU_SegmentedPoint& p : sector) {
      switch (p.type) {
        case GROUND:
          Append(ground, p.point);
          break;
        case BELOW_GROUND:
          Append(below_ground, p.point);
          break;
        default:
          Append(nonground, p.point);
          break;
      }
    }
  }
}

void Reset(const CloudPtr& cloud) {
  if (cloud) cloud->clear();
}

// The input as it stands before the outputs are emptied: a copy when the
// caller passed the input also as an output, so that it is not lost.
std::shared_ptr<const Cloud> StableInput(const CloudPtr& input,
                                         std::initializer_list<const CloudPtr*> outputs) {
  const bool aliased =
      input && std::any_of(outputs.begin(), outputs.end(),
                           [&input](const CloudPtr* out) { return *out == input; });
  if (aliased) return std::make_shared<const Cloud>(*input);
  return input;
}

pcl::PointXYZ PolarToPoint(float range, float angle, float height) {
  const auto r = static_cast<double>(range);
  const auto a = static_cast<double>(angle);
  return {static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)), height};
}

}  // namespace

RemoveGroundLineFit::RemoveGroundLineFit(const GroundRemovalParams& params) : params_(params) {
  CheckGeometry(params_);
}

RemoveGroundLineFit::~RemoveGroundLineFit() = default;

void RemoveGroundLineFit::set_input_cloud(CloudPtr input_cloud) {
  sector_lines_.clear();
  if (!input_cloud || input_cloud->empty()) return;

  const Geometry geometry(params_);
  const Segmentation segmentation = Segment(*input_cloud, params_, geometry, Entry::kFit, nullptr);
  if (!segmentation.admitted_any) return;

  trace_cloud_.clear();
  sector_lines_ = FitSectors(*this, segmentation.sectors, geometry.bin_count,
                             static_cast<double>(params_.outlier_sigma_factor), trace_cloud_);
}

void RemoveGroundLineFit::findPrototypePoints(std::vector<STRU_SegmentedPoint> points,
                                              std::uint32_t bin_count,
                                              std::vector<PointPolarCoord>& prototypes) {
  SelectPrototypes(points, bin_count, static_cast<double>(params_.outlier_sigma_factor),
                   trace_cloud_, prototypes);
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud,
                                       CloudPtr ground_cloud) {
  const auto input = StableInput(input_cloud, {&nonground_cloud, &ground_cloud});
  Reset(nonground_cloud);
  Reset(ground_cloud);
  if (!input || input->empty()) return;

  const Geometry geometry(params_);
  Segmentation segmentation =
      Segment(*input, params_, geometry, Entry::kClassifyWithOwnFit, nonground_cloud.get());
  if (!segmentation.admitted_any) return;

  trace_cloud_.clear();
  const SectorLines lines =
      FitSectors(*this, segmentation.sectors, geometry.bin_count,
                 static_cast<double>(params_.outlier_sigma_factor), trace_cloud_);
  Classify(*this, lines, params_.ground_distance_threshold, /*below_is_ground=*/true,
           segmentation.sectors);
  Distribute(segmentation.sectors, nonground_cloud.get(), ground_cloud.get(), nullptr);
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud,
                                       CloudPtr ground_cloud, CloudPtr below_ground_cloud) {
  const auto input =
      StableInput(input_cloud, {&nonground_cloud, &ground_cloud, &below_ground_cloud});
  Reset(nonground_cloud);
  Reset(ground_cloud);
  Reset(below_ground_cloud);
  if (!input || input->empty()) return;

  const Geometry geometry(params_);
  Segmentation segmentation =
      Segment(*input, params_, geometry, Entry::kClassifyWithKeptFit, nonground_cloud.get());
  if (!segmentation.admitted_any) return;

  // Every type is decided before anything is appended: a missing fit throws
  // with only the high points in the outputs.
  Classify(*this, sector_lines_, params_.ground_distance_threshold, /*below_is_ground=*/false,
           segmentation.sectors);
  Distribute(segmentation.sectors, nonground_cloud.get(), ground_cloud.get(),
             below_ground_cloud.get());
}

float RemoveGroundLineFit::point2LineSegmentDist(const pcl::PointXYZ& query,
                                                 const std::vector<STRU_Line>& segments) const {
  const auto range = static_cast<double>(query.x);
  const auto height = static_cast<double>(query.y);
  const auto margin = static_cast<double>(kCoverMarginBins * params_.bin_size);
  float best = std::numeric_limits<float>::max();
  for (const STRU_Line& line : segments) {
    const bool covers = static_cast<double>(line.start_range) - margin < range &&
                        range < static_cast<double>(line.end_range) + margin;
    if (!covers) continue;
    const double slope = static_cast<double>(line.end_height - line.start_height) /
                         static_cast<double>(line.end_range - line.start_range);
    const double intercept =
        static_cast<double>(line.start_height) - static_cast<double>(line.start_range) * slope;
    const double distance = (height - (range * slope + intercept)) / std::sqrt(slope * slope + 1.0);
    if (std::fabs(static_cast<double>(best)) > std::fabs(distance)) {
      best = static_cast<float>(distance);
    }
  }
  return best == std::numeric_limits<float>::max() ? kNoSegment : best;
}

std::vector<RemoveGroundFramework::Cloud> RemoveGroundLineFit::getAllLineFitPoints() const {
  std::vector<Cloud> segments;
  for (const std::vector<STRU_Line>& lines : sector_lines_) {
    for (const STRU_Line& line : lines) {
      Cloud segment;
      segment.push_back(PolarToPoint(line.start_range, line.start_angle, line.start_height));
      segment.push_back(PolarToPoint(line.end_range, line.end_angle, line.end_height));
      segments.push_back(std::move(segment));
    }
  }
  return segments;
}

const RemoveGroundFramework::Cloud& RemoveGroundLineFit::getAllTracePoints() const {
  return trace_cloud_;
}

}  // namespace perception
}  // namespace kestrel
