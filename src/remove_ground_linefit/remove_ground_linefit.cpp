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

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Distance of a point that no segment covers.
constexpr float kNoSegment = std::numeric_limits<float>::min();

// Share of max_point_height above which points take no part in the fit.
constexpr double kFitHeightShare = 0.7;

// Five bins of range margin let a segment cover points beyond its ends.
constexpr float kCoverMarginBins = 5.0f;

double CoverMargin(const GroundRemovalParams& params) {
  return static_cast<double>(kCoverMarginBins * params.bin_size);
}

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

// Range and azimuth (atan2, in [-pi, pi]) of a point inside the range window;
// NaN range marks a point outside it.
struct Polar {
  float range;
  float azimuth;
};

constexpr std::uint32_t kNoSector = std::numeric_limits<std::uint32_t>::max();

struct Placement {
  std::uint32_t sector;  // kNoSector outside the range window
  std::int32_t bin;
};

// Sector (azimuth from the negative x axis, counter-clockwise) and bin of a
// point. Free of branches, so that a run of points is worked in parallel.
Placement Place(const Polar& polar, const GroundRemovalParams& params, std::uint32_t sector_count) {
  const bool inside = !std::isnan(polar.range);
  const float azimuth = static_cast<float>(static_cast<double>(polar.azimuth) + kPi);
  // -pi in float lies just below -pi, so a point with x < 0 and y = -0 comes
  // out at a tiny negative azimuth: it belongs to sector 0. 2pi may be a whole
  // multiple of the sector width in float: the point straight behind then
  // lands one past the last sector and joins it. Within these limits the floor
  // of the non-negative quotient is its truncation.
  const float sector =
      std::min(std::max(azimuth / params.sector_angle, 0.0f), static_cast<float>(sector_count - 1));
  // In the window the range lies at or above min_range, so the same holds for the bin.
  const float range = inside ? polar.range : params.min_range;
  const float bin = (range - params.min_range) / params.bin_size;
  return {inside ? static_cast<std::uint32_t>(sector) : kNoSector, static_cast<std::int32_t>(bin)};
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
  constexpr float kOutside = std::numeric_limits<float>::quiet_NaN();
  Segmentation result;
  // The atan2 pass stands alone: the arithmetic that follows it would
  // otherwise lengthen each point's chain of dependent steps.
  std::vector<Polar> polar(input.size(), Polar{kOutside, 0.0f});
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
    if (params.min_range <= range && range <= params.max_range) {
      polar[i] = {range, std::atan2(p.y, p.x)};
    }
  }
  if (!result.admitted_any) return result;

  std::vector<Placement> placements(input.size());
  for (std::size_t i = 0; i < input.size(); ++i) {
    placements[i] = Place(polar[i], params, geometry.sector_count);
  }
  // Each sector list is allocated once, at its final size.
  std::vector<std::size_t> sector_sizes(geometry.sector_count, 0);
  for (const Placement& placement : placements) {
    if (placement.sector != kNoSector) ++sector_sizes[placement.sector];
  }
  result.sectors.resize(geometry.sector_count);
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    result.sectors[s].reserve(sector_sizes[s]);
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (placements[i].sector == kNoSector) continue;
    result.sectors[placements[i].sector].emplace_back(input[i], placements[i].bin, NON_GROUND);
  }
  return result;
}

// Prototype selection, one sector at a time. The per-bin tables live as long
// as the selector and only the bins a sector occupied are reset after it, so
// a call pays for the occupied bins rather than for every bin of every sector.
class PrototypeSelector {
 public:
  PrototypeSelector(std::size_t bin_count, double sigma_factor)
      : bins_(bin_count), occupied_((bin_count + 63) / 64, 0), sigma_factor_(sigma_factor) {}

  // Appends one prototype per occupied bin, in bin order: the lowest point
  // that is not a low outlier. The low outliers (reflections under the road)
  // go to `trace`. Points whose bin lies outside the table are ignored.
  void Select(const Sector& points, Cloud& trace, std::vector<PointPolarCoord>& prototypes) {
    for (const STRU_SegmentedPoint& p : points) {
      if (Bin* bin = BinOf(p)) {
        // Marked once per bin, not per point: no chain through the bit words.
        if (bin->heights.getCount() == 0) MarkOccupied(static_cast<std::size_t>(p.bin_index));
        bin->heights.update(static_cast<double>(p.point.z));
      }
    }
    ForEachOccupied([this](Bin& bin) {
      bin.outlier_bound = bin.heights.getMean() - sigma_factor_ * bin.heights.getStddev();
    });
    for (std::size_t i = 0; i < points.size(); ++i) {
      Bin* bin = BinOf(points[i]);
      if (bin == nullptr) continue;
      const float z = points[i].point.z;
      if (bin->heights.getCount() > 1 && static_cast<double>(z) < bin->outlier_bound) {
        trace.push_back(points[i].point);
      }
      if (z < bin->lowest && static_cast<double>(z) >= bin->outlier_bound) {
        bin->lowest = z;
        bin->chosen = i;
      }
    }
    ForEachOccupied([&points, &prototypes](Bin& bin) {
      if (bin.chosen != kNoneChosen) prototypes.push_back(PrototypeOf(points[bin.chosen].point));
      bin = Bin{};
    });
    std::fill(occupied_.begin(), occupied_.end(), 0);
  }

 private:
  static constexpr std::size_t kNoneChosen = std::numeric_limits<std::size_t>::max();

  struct Bin {
    StreamWelFord heights;
    double outlier_bound = 0.0;  // mean - k * standard deviation
    float lowest = std::numeric_limits<float>::max();
    std::size_t chosen = kNoneChosen;
  };

  static PointPolarCoord PrototypeOf(const pcl::PointXYZ& p) {
    const auto x = static_cast<double>(p.x);
    const auto y = static_cast<double>(p.y);
    return {static_cast<float>(std::sqrt(x * x + y * y)), p.z, std::atan2(p.y, p.x)};
  }

  Bin* BinOf(const STRU_SegmentedPoint& p) {
    const bool inside = p.bin_index >= 0 && static_cast<std::size_t>(p.bin_index) < bins_.size();
    return inside ? &bins_[static_cast<std::size_t>(p.bin_index)] : nullptr;
  }

  void MarkOccupied(std::size_t bin) { occupied_[bin / 64] |= std::uint64_t{1} << (bin % 64); }

  template <typename Visit>
  void ForEachOccupied(Visit visit) {
    for (std::size_t word = 0; word < occupied_.size(); ++word) {
      for (std::uint64_t bits = occupied_[word]; bits != 0; bits &= bits - 1) {
        visit(bins_[word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))]);
      }
    }
  }

  std::vector<Bin> bins_;
  std::vector<std::uint64_t> occupied_;  // one bit per bin
  double sigma_factor_;
};

// Renumbers the bins below `bin_count` that hold points densely, in bin
// order, and marks the others as outside; returns the number of occupied
// bins. Keeps the tables of a caller's huge `bin_count` as small as the points.
std::size_t CompactBins(std::vector<STRU_SegmentedPoint>& points, std::uint32_t bin_count) {
  const auto inside = [bin_count](const STRU_SegmentedPoint& p) {
    return p.bin_index >= 0 && static_cast<std::uint32_t>(p.bin_index) < bin_count;
  };
  std::vector<std::int32_t> occupied;
  for (const STRU_SegmentedPoint& p : points) {
    if (inside(p)) occupied.push_back(p.bin_index);
  }
  std::sort(occupied.begin(), occupied.end());
  occupied.erase(std::unique(occupied.begin(), occupied.end()), occupied.end());
  for (STRU_SegmentedPoint& p : points) {
    p.bin_index = inside(p) ? static_cast<std::int32_t>(
                                  std::lower_bound(occupied.begin(), occupied.end(), p.bin_index) -
                                  occupied.begin())
                            : -1;
  }
  return occupied.size();
}

// Prototype selection and line fitting of the sectors of one call, in
// sector order.
class SectorFitter {
 public:
  SectorFitter(const RemoveGroundLineFit& remover, std::uint32_t bin_count,
               const GroundRemovalParams& params, Cloud& trace)
      : remover_(remover),
        selector_(bin_count, static_cast<double>(params.outlier_sigma_factor)),
        trace_(trace) {}

  std::vector<STRU_Line> Fit(const Sector& points) {
    prototypes_.clear();
    selector_.Select(points, trace_, prototypes_);
    std::vector<STRU_Line> lines;
    if (prototypes_.size() > 1) remover_.incrementalLineFitting(prototypes_, lines);
    return lines;
  }

 private:
  const RemoveGroundLineFit& remover_;
  PrototypeSelector selector_;
  Cloud& trace_;
  std::vector<PointPolarCoord> prototypes_;
};

// A segment in the form its distances need, worked out once per call.
struct GroundLine {
  GroundLine(const STRU_Line& line, double margin)
      : cover_from(static_cast<double>(line.start_range) - margin),
        cover_to(static_cast<double>(line.end_range) + margin),
        slope(static_cast<double>(line.end_height - line.start_height) /
              static_cast<double>(line.end_range - line.start_range)),
        intercept(static_cast<double>(line.start_height) -
                  static_cast<double>(line.start_range) * slope),
        norm(std::sqrt(slope * slope + 1.0)) {}

  // The line counts also within the margin beyond the segment's ends.
  bool Covers(double range) const { return cover_from < range && range < cover_to; }
  // Positive above the line.
  double SignedDistance(double range, double height) const {
    return (height - (range * slope + intercept)) / norm;
  }

  double cover_from;
  double cover_to;
  double slope;
  double intercept;
  double norm;
};

std::vector<GroundLine> ToGroundLines(const std::vector<STRU_Line>& segments, double margin) {
  std::vector<GroundLine> lines;
  lines.reserve(segments.size());
  for (const STRU_Line& segment : segments) lines.emplace_back(segment, margin);
  return lines;
}

// Of equally near lines the earlier one decides.
float NearestSignedDistance(const std::vector<GroundLine>& lines, double range, double height) {
  float best = std::numeric_limits<float>::max();
  for (const GroundLine& line : lines) {
    if (!line.Covers(range)) continue;
    const double distance = line.SignedDistance(range, height);
    if (std::fabs(static_cast<double>(best)) > std::fabs(distance)) {
      best = static_cast<float>(distance);
    }
  }
  return best == std::numeric_limits<float>::max() ? kNoSegment : best;
}

using SectorGroundLines = std::vector<std::vector<GroundLine>>;

// Distance to the lines of the point's own sector or, when none covers it,
// to the nearer of the two adjacent sectors (the next one on a tie). The
// sectors at azimuth -pi and +pi are not adjacent.
float SectorDistance(const SectorGroundLines& lines, double range, double height,
                     std::uint32_t sector, std::uint32_t sector_count) {
  const float own = NearestSignedDistance(lines.at(sector), range, height);
  if (own != kNoSegment) return own;

  double next = kNoSegment;
  double previous = kNoSegment;
  if (sector + 1 < sector_count) next = NearestSignedDistance(lines.at(sector + 1), range, height);
  if (sector >= 1) previous = NearestSignedDistance(lines.at(sector - 1), range, height);
  float distance = own;
  if (next != kNoSegment) distance = static_cast<float>(next);
  if (previous != kNoSegment &&
      (distance == kNoSegment || std::fabs(previous) < std::fabs(static_cast<double>(distance)))) {
    distance = static_cast<float>(previous);
  }
  return distance;
}

// Where the classified points of one call go; a null cloud discards its
// points. The one-call split files points far below the ground as ground.
struct Outputs {
  Cloud* nonground;
  Cloud* ground;
  Cloud* below_ground;
  float threshold;
  bool below_is_ground;

  void Add(const pcl::PointXYZ& p, float distance) const {
    Cloud* target = nonground;
    if (distance != kNoSegment) {
      const float magnitude = std::fabs(distance);
      if (magnitude < threshold) {
        target = ground;
      } else if (magnitude >= threshold && distance < 0.0f) {
        target = below_is_ground ? ground : below_ground;
      }
    }
    if (target != nullptr) target->push_back(p);
  }
};

// Classifies the points of sector `s` in order. Throws std::out_of_range,
// before any point is filed, when `lines` has no list for the sector.
void ClassifySector(const SectorGroundLines& lines, std::uint32_t s, std::uint32_t sector_count,
                    const Sector& points, const Outputs& outputs) {
  for (const STRU_SegmentedPoint& p : points) {
    const auto range = static_cast<double>(HorizontalRange(p.point));
    outputs.Add(p.point,
                SectorDistance(lines, range, static_cast<double>(p.point.z), s, sector_count));
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

void RemoveGroundLineFit::checkParams(const GroundRemovalParams& params) { CheckGeometry(params); }

RemoveGroundLineFit::RemoveGroundLineFit(const GroundRemovalParams& params) : params_(params) {
  checkParams(params_);
}

RemoveGroundLineFit::~RemoveGroundLineFit() = default;

void RemoveGroundLineFit::set_input_cloud(CloudPtr input_cloud) {
  sector_lines_.clear();
  if (!input_cloud || input_cloud->empty()) return;

  const Geometry geometry(params_);
  const Segmentation segmentation = Segment(*input_cloud, params_, geometry, Entry::kFit, nullptr);
  if (!segmentation.admitted_any) return;

  sector_lines_.resize(geometry.sector_count);
  trace_cloud_.clear();
  SectorFitter fitter(*this, geometry.bin_count, params_, trace_cloud_);
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    sector_lines_[s] = fitter.Fit(segmentation.sectors[s]);
  }
}

void RemoveGroundLineFit::findPrototypePoints(std::vector<STRU_SegmentedPoint> points,
                                              std::uint32_t bin_count,
                                              std::vector<PointPolarCoord>& prototypes) {
  PrototypeSelector selector(CompactBins(points, bin_count),
                             static_cast<double>(params_.outlier_sigma_factor));
  selector.Select(points, trace_cloud_, prototypes);
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud,
                                       CloudPtr ground_cloud) {
  const auto input = StableInput(input_cloud, {&nonground_cloud, &ground_cloud});
  Reset(nonground_cloud);
  Reset(ground_cloud);
  if (!input || input->empty()) return;

  const Geometry geometry(params_);
  const Segmentation segmentation =
      Segment(*input, params_, geometry, Entry::kClassifyWithOwnFit, nonground_cloud.get());
  if (!segmentation.admitted_any) return;

  trace_cloud_.clear();
  SectorFitter fitter(*this, geometry.bin_count, params_, trace_cloud_);
  SectorGroundLines lines(geometry.sector_count);
  const auto fit = [&](std::uint32_t s) {
    lines[s] = ToGroundLines(fitter.Fit(segmentation.sectors[s]), CoverMargin(params_));
  };
  const Outputs outputs{nonground_cloud.get(), ground_cloud.get(), nullptr,
                        params_.ground_distance_threshold, /*below_is_ground=*/true};
  // Each sector is classified as soon as its successor, which its neighbour
  // search may consult, is fitted, while its points are still in cache.
  fit(0);
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    if (s + 1 < geometry.sector_count) fit(s + 1);
    ClassifySector(lines, s, geometry.sector_count, segmentation.sectors[s], outputs);
  }
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
  const Segmentation segmentation =
      Segment(*input, params_, geometry, Entry::kClassifyWithKeptFit, nonground_cloud.get());
  if (!segmentation.admitted_any) return;

  SectorGroundLines lines;
  lines.reserve(sector_lines_.size());
  for (const std::vector<STRU_Line>& segments : sector_lines_) {
    lines.push_back(ToGroundLines(segments, CoverMargin(params_)));
  }
  // Without kept lines the first sector holding points throws, so the outputs
  // then hold the high points alone.
  const Outputs outputs{nonground_cloud.get(), ground_cloud.get(), below_ground_cloud.get(),
                        params_.ground_distance_threshold, /*below_is_ground=*/false};
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    ClassifySector(lines, s, geometry.sector_count, segmentation.sectors[s], outputs);
  }
}

float RemoveGroundLineFit::point2LineSegmentDist(const pcl::PointXYZ& query,
                                                 const std::vector<STRU_Line>& segments) const {
  return NearestSignedDistance(ToGroundLines(segments, CoverMargin(params_)),
                               static_cast<double>(query.x), static_cast<double>(query.y));
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
