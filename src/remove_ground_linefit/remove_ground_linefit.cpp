// Segmentation into azimuth sectors and range bins, prototype selection and
// classification of the ground removal.
#include "larkspur_perception_libs/remove_ground_linefit.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace perception {
namespace {

using Cloud = RemoveGroundFramework::Cloud;
using CloudPtr = RemoveGroundFramework::CloudPtr;

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

// Sector of a point: its single-precision azimuth from the negative x axis,
// counter-clockwise, divided by the sector width. That azimuth matters only
// near a border between sectors; elsewhere an estimate in double precision,
// far closer to the true azimuth than the single-precision one, decides the
// same sector for a fraction of atan2's cost.
class SectorLocator {
 public:
  SectorLocator(float sector_angle, std::uint32_t sector_count)
      : sector_angle_(sector_angle),
        last_sector_(static_cast<float>(sector_count - 1)),
        per_radian_(1.0 / static_cast<double>(sector_angle)),
        border_margin_(kBorderMargin / static_cast<double>(sector_angle)) {}

  // The estimated azimuth from the negative x axis in sector widths of the
  // points 0 to `count` - 1, computed two at a time; the entry after an odd
  // `count` is overwritten too. Meaningless for the origin.
  void EstimateTurns(const double* x, const double* y, std::size_t count, double* turns) const {
    for (std::size_t k = 0; k < count; k += 2) {
      Pair px;
      Pair py;
      std::memcpy(&px, x + k, sizeof(Pair));
      std::memcpy(&py, y + k, sizeof(Pair));
      const Pair pair = (AzimuthEstimate(px, py) + kPi) * per_radian_;
      std::memcpy(turns + k, &pair, sizeof(Pair));
    }
  }

  // The sector of (x, y) from its EstimateTurns value.
  std::uint32_t SectorOf(float x, float y, double turns) const {
    if (x == 0.0f && y == 0.0f) return Exact(x, y);
    // Truncation: a slightly negative estimate lies within the margin of 0.
    const auto below = static_cast<double>(static_cast<std::int64_t>(turns));
    const bool clear_of_border =
        turns - below > border_margin_ && below + 1.0 - turns > border_margin_;
    if (!clear_of_border) return Exact(x, y);
    return static_cast<std::uint32_t>(std::min(static_cast<float>(below), last_sector_));
  }

 private:
  // The single-precision azimuth differs from the true one by a few units in
  // the last place (below 1e-6 rad), its shift by pi and its division by the
  // width add as much again, and the estimate is within 1e-8 rad: a point
  // farther than this from a border lies in the same sector either way.
  static constexpr double kBorderMargin = 1e-4;

  std::uint32_t Exact(float x, float y) const {
    const float azimuth = static_cast<float>(static_cast<double>(std::atan2(y, x)) + kPi);
    // -pi in float lies just below -pi, so a point with x < 0 and y = -0
    // comes out at a tiny negative azimuth: it belongs to sector 0. 2pi may
    // be a whole multiple of the sector width in float: the point straight
    // behind then lands one past the last sector and joins it. Within these
    // limits the floor of the non-negative quotient is its truncation.
    return static_cast<std::uint32_t>(
        std::min(std::max(azimuth / sector_angle_, 0.0f), last_sector_));
  }

  // Two doubles in one vector register (SSE2 on x86-64, NEON on Arm), with
  // lane masks of all ones or zeros for the choices below.
  using Pair = double __attribute__((vector_size(16)));
  using Mask = std::int64_t __attribute__((vector_size(16)));

  static Pair Choose(Mask mask, Pair when_set, Pair otherwise) {
    return mask ? when_set : otherwise;
  }

  // atan2(y, x) within 1e-8 rad, for (x, y) not both zero. With t the ratio
  // of the smaller to the larger coordinate magnitude, atan(t) = pi/6 +
  // atan((sqrt(3) t - 1) / (sqrt(3) + t)) brings the argument below
  // tan(pi/12), where the alternating series of atan up to u^11 is off by
  // less than u^13 / 13. Either argument takes one division. Lane choices
  // rather than branches, which the point order cannot predict.
  static Pair AzimuthEstimate(Pair x, Pair y) {
    constexpr double kSqrt3 = 1.7320508075688772;
    constexpr double kTanPiBy12 = 0.2679491924311227;
    const Mask sign = {std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::min()};
    const Pair ax = reinterpret_cast<Pair>(reinterpret_cast<Mask>(x) & ~sign);
    const Pair ay = reinterpret_cast<Pair>(reinterpret_cast<Mask>(y) & ~sign);
    const Mask steep = ay > ax;
    const Pair small = Choose(steep, ax, ay);
    const Pair large = Choose(steep, ay, ax);
    const Mask shifted = small > kTanPiBy12 * large;
    const Pair u = Choose(shifted, kSqrt3 * small - large, small) /
                   Choose(shifted, kSqrt3 * large + small, large);
    const Pair u2 = u * u;
    Pair angle =
        u *
        (1.0 + u2 * (-1.0 / 3.0 +
                     u2 * (1.0 / 5.0 + u2 * (-1.0 / 7.0 + u2 * (1.0 / 9.0 + u2 * (-1.0 / 11.0))))));
    angle = Choose(shifted, angle + kPi / 6.0, angle);
    angle = Choose(steep, kPi / 2.0 - angle, angle);
    // For x = -0 the angle is pi/2 with or without the reflection.
    angle = Choose(x < 0.0, kPi - angle, angle);
    // The angle is not negative here: y's sign bit makes it atan2's, which
    // is -pi for y = -0 behind.
    return reinterpret_cast<Pair>(reinterpret_cast<Mask>(angle) |
                                  (reinterpret_cast<Mask>(y) & sign));
  }

  float sector_angle_;
  float last_sector_;
  double per_radian_;
  double border_margin_;
};

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

// kFitForKeptSplit is the fit's segmentation made so that the kept-segment
// split of the same cloud can reuse it: it admits points as that split does
// and leaves the points only the split takes (the deep near zone) out of the
// range bins, so that the fit passes over them.
enum class Entry { kFit, kClassifyWithOwnFit, kClassifyWithKeptFit, kFitForKeptSplit };
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
  if ((entry == Entry::kFit || entry == Entry::kClassifyWithOwnFit) && InDeepNearZone(p, params)) {
    return Admission::kDrop;
  }
  return Admission::kWork;
}

// Whether every point the fit admits is also admitted by the kept-segment
// split, so that one segmentation serves both. Only a negative
// max_point_height, below its own 0.7 share, lets the fit take points that
// the split drops.
bool FitAdmitsNoMoreThanKeptSplit(const GroundRemovalParams& params) {
  return !(params.max_point_height < 0.0f);
}

// A segmented point as the prototype selection and the classification read
// it, small enough that a sector's points fill few cache lines.
struct SegmentedRecord {
  std::uint32_t index;  // into the input cloud
  float range;
  float height;
  std::int32_t bin;
};

// The segmented points of one call, sector after sector and in input order
// within a sector (a stable counting sort).
class Segmentation {
 public:
  // Range bin of the points the fit passes over.
  static constexpr std::int32_t kNoFitBin = -1;
  // Even: the sector estimate runs over pairs.
  static constexpr std::size_t kBlock = 256;

  // Sorts the admitted points inside the range window into sectors and lists
  // the high points. Returns whether any point was admitted (for
  // kFitForKeptSplit: by the kept-segment split); the sectors are left as
  // they were when none was.
  bool Segment(const Cloud& input, const GroundRemovalParams& params, const Geometry& geometry,
               Entry entry) {
    CollectCandidates(input, params, geometry, entry);
    if (!admitted_any_) return false;
    SortIntoSectors();
    return true;
  }

  // Whether the last Segment admitted any point to the fit.
  bool admitted_to_fit() const { return admitted_to_fit_; }
  std::uint32_t SectorBegin(std::uint32_t s) const { return sector_start_[s]; }
  std::uint32_t SectorEnd(std::uint32_t s) const { return sector_start_[s + 1]; }
  const SegmentedRecord& operator[](std::size_t j) const { return sorted_[j]; }
  // Input indices of the high points (non-ground without classification),
  // in input order.
  const std::uint32_t* HighBegin() const { return high_.data(); }
  const std::uint32_t* HighEnd() const { return high_.data() + high_count_; }

 private:
  // The points inside the range window in input order, with their ranges,
  // bins and sectors, and the number of points per sector. The lists are
  // sized for every point up front (and never shrunk, so that a call does not
  // clear them anew), which keeps the loop free of capacity checks.
  void CollectCandidates(const Cloud& input, const GroundRemovalParams& params,
                         const Geometry& geometry, Entry entry) {
    const SectorLocator locator(params.sector_angle, geometry.sector_count);
    const bool fit_drops_near_zone = entry == Entry::kFitForKeptSplit;
    admitted_any_ = false;
    admitted_to_fit_ = false;
    GrowTo(high_, input.size());
    GrowTo(candidates_, input.size());
    GrowTo(candidate_sector_, input.size());
    sector_start_.assign(std::size_t{geometry.sector_count} + 1, 0);
    std::uint32_t* const high = high_.data();
    SegmentedRecord* const candidates = candidates_.data();
    std::uint32_t* const candidate_sector = candidate_sector_.data();
    std::uint32_t* const sector_size = sector_start_.data() + 1;
    std::size_t high_count = 0;
    std::size_t count = 0;
    // Blocks of points: the window test fills the coordinate arrays that the
    // sector estimate then runs over in one vectorised loop.
    std::array<double, kBlock> x{};
    std::array<double, kBlock> y{};
    std::array<double, kBlock> turns{};
    for (std::size_t block = 0; block < input.size(); block += kBlock) {
      const std::size_t block_end = std::min(input.size(), block + kBlock);
      std::size_t in_block = 0;
      for (std::size_t i = block; i < block_end; ++i) {
        const pcl::PointXYZ& p = input[i];
        const Admission admission = Admit(p, params, entry);
        if (admission == Admission::kDrop) continue;
        if (admission == Admission::kHigh) {
          high[high_count++] = static_cast<std::uint32_t>(i);
          continue;
        }
        admitted_any_ = true;
        const bool fitted = !(fit_drops_near_zone && InDeepNearZone(p, params));
        admitted_to_fit_ = admitted_to_fit_ || fitted;
        if (IsOrigin(p)) continue;
        const float range = HorizontalRange(p);
        if (!(params.min_range <= range && range <= params.max_range)) continue;
        // In the window the range lies at or above min_range, so the same
        // holds for the bin: its floor is its truncation.
        const float bin = (range - params.min_range) / params.bin_size;
        candidates[count + in_block] = {static_cast<std::uint32_t>(i), range, p.z,
                                        fitted ? static_cast<std::int32_t>(bin) : kNoFitBin};
        x[in_block] = p.x;
        y[in_block] = p.y;
        ++in_block;
      }
      locator.EstimateTurns(x.data(), y.data(), in_block, turns.data());
      for (std::size_t k = 0; k < in_block; ++k) {
        const std::uint32_t sector =
            locator.SectorOf(static_cast<float>(x[k]), static_cast<float>(y[k]), turns[k]);
        candidate_sector[count + k] = sector;
        ++sector_size[sector];
      }
      count += in_block;
    }
    high_count_ = high_count;
    candidate_count_ = count;
  }

  // Enlarges `list` to `size` elements, never shrinking its storage.
  template <typename T>
  static void GrowTo(std::vector<T>& list, std::size_t size) {
    if (list.size() < size) list.resize(size);
  }

  void SortIntoSectors() {
    for (std::size_t s = 1; s < sector_start_.size(); ++s) sector_start_[s] += sector_start_[s - 1];
    GrowTo(sorted_, candidate_count_);
    // Filled from each sector's start, which this pass moves along; the
    // starts are restored afterwards.
    for (std::size_t c = 0; c < candidate_count_; ++c) {
      sorted_[sector_start_[candidate_sector_[c]]++] = candidates_[c];
    }
    for (std::size_t s = sector_start_.size() - 1; s > 0; --s)
      sector_start_[s] = sector_start_[s - 1];
    sector_start_[0] = 0;
  }

  bool admitted_any_ = false;
  bool admitted_to_fit_ = false;
  std::size_t high_count_ = 0;
  std::size_t candidate_count_ = 0;
  std::vector<std::uint32_t> high_;
  std::vector<SegmentedRecord> candidates_;  // input order
  std::vector<std::uint32_t> candidate_sector_;
  std::vector<std::uint32_t> sector_start_;  // sector_count + 1 offsets
  std::vector<SegmentedRecord> sorted_;      // sector order
};

// The points of one sector of a Segmentation, as the prototype selection
// reads them.
class SectorPoints {
 public:
  SectorPoints(const Segmentation& segmentation, const Cloud& input, std::uint32_t sector)
      : segmentation_(segmentation),
        input_(input),
        begin_(segmentation.SectorBegin(sector)),
        size_(segmentation.SectorEnd(sector) - begin_) {}

  std::size_t size() const { return size_; }
  float height(std::size_t j) const { return segmentation_[begin_ + j].height; }
  std::int32_t bin(std::size_t j) const { return segmentation_[begin_ + j].bin; }
  const pcl::PointXYZ& point(std::size_t j) const {
    return input_[segmentation_[begin_ + j].index];
  }

 private:
  const Segmentation& segmentation_;
  const Cloud& input_;
  std::size_t begin_;
  std::size_t size_;
};

// A caller's list of segmented points, read the same way.
class SegmentedPoints {
 public:
  explicit SegmentedPoints(const std::vector<STRU_SegmentedPoint>& points) : points_(points) {}

  std::size_t size() const { return points_.size(); }
  float height(std::size_t j) const { return points_[j].point.z; }
  std::int32_t bin(std::size_t j) const { return points_[j].bin_index; }
  const pcl::PointXYZ& point(std::size_t j) const { return points_[j].point; }

 private:
  const std::vector<STRU_SegmentedPoint>& points_;
};

// Whether prototypes carry their azimuth. Only segments that are kept and
// shown need it; the one-call split measures distances in range and height
// alone, and spares the atan2 per prototype.
enum class Azimuths { kWith, kWithout };

// Prototype selection, one sector at a time. The per-bin tables live as long
// as the selector and only the bins a sector occupied are reset after it, so
// a call pays for the occupied bins rather than for every bin of every sector.
//
// The outlier bound of a bin comes from running statistics whose mean is
// updated with one division per point, each waiting for the one before: a
// chain through every point of the bin. The selector first estimates the
// bound from plain sums instead, whose chains are single additions, together
// with a bound on how far the estimate can lie from the exact value. Only a
// height within that distance of the estimate can fall on the other side of
// the exact bound; a sector holding one is selected again with the running
// statistics, so the outcome is always theirs.
class PrototypeSelector {
 public:
  // Sizes the tables for `bin_count` bins; keeps them when they already are.
  void Prepare(std::size_t bin_count, double sigma_factor) {
    if (bins_.size() != bin_count) {
      bins_.assign(bin_count, Bin{});
      occupied_.assign((bin_count + 63) / 64, 0);
    }
    sigma_factor_ = sigma_factor;
  }

  // Appends one prototype per occupied bin, in bin order: the lowest point
  // that is not a low outlier. The low outliers (reflections under the road)
  // go to `trace`. Points whose bin lies outside the table are ignored.
  // Without azimuths the prototypes' angles are 0.
  template <typename Points>
  void Select(const Points& points, Cloud& trace, std::vector<PointPolarCoord>& prototypes,
              Azimuths azimuths) {
    if (!SelectWithEstimatedBounds(points)) {
      ForEachOccupied([](Bin& bin) { bin = Bin{}; });
      SelectWithExactBounds(points);
    }
    for (const std::size_t i : outliers_) trace.push_back(points.point(i));
    ForEachOccupied([&points, &prototypes, azimuths](Bin& bin) {
      if (bin.chosen != kNoneChosen) {
        prototypes.push_back(PrototypeOf(points.point(bin.chosen), azimuths));
      }
      bin = Bin{};
    });
    std::fill(occupied_.begin(), occupied_.end(), 0);
  }

 private:
  static constexpr std::size_t kNoneChosen = std::numeric_limits<std::size_t>::max();

  struct Bin {
    std::uint64_t count = 0;
    double sum = 0.0;  // of the heights
    // Apart from the sum, so that the two are not stored together: the sum
    // is ready long before the squared step, which waits for a division.
    StreamWelFord heights;       // the exact statistics, kept only when needed
    double squared_steps = 0.0;  // of each height's step from the mean before it
    double outlier_bound = 0.0;  // mean - k * standard deviation
    double bound_error = 0.0;    // of an estimated bound; negative when exact
    float lowest = std::numeric_limits<float>::max();
    std::size_t chosen = kNoneChosen;
  };

  // Selects with estimated bounds. Returns false, with the bins filled, when
  // a height lies too near its bin's estimate (or the estimate is not
  // finite) for the estimate to decide.
  template <typename Points>
  bool SelectWithEstimatedBounds(const Points& points) {
    const std::size_t count = points.size();
    double largest = 0.0;  // magnitude of the sector's heights
    for (std::size_t i = 0; i < count; ++i) {
      // The prototypes are read from the input cloud, far apart in it; so is
      // every point once classified.
      __builtin_prefetch(&points.point(i));
      if (Bin* bin = BinOf(points.bin(i))) {
        if (bin->count == 0) MarkOccupied(static_cast<std::size_t>(points.bin(i)));
        const auto z = static_cast<double>(points.height(i));
        // The running mean starts at 0, so the first step is the height itself.
        const double mean_before =
            bin->sum / static_cast<double>(std::max<std::uint64_t>(bin->count, 1));
        const double step = z - mean_before;
        ++bin->count;
        bin->sum += z;
        bin->squared_steps += step * step;
        largest = std::max(largest, std::fabs(z));
      }
    }
    bool finite = std::isfinite(largest);
    ForEachOccupied([this, largest, &finite](Bin& bin) {
      const auto n = static_cast<double>(bin.count);
      const double variance = bin.count < 2 ? 0.0 : bin.squared_steps / (n - 1.0);
      bin.outlier_bound = bin.sum / n - sigma_factor_ * std::sqrt(variance);
      // One height: the mean is that height and the deviation 0 either way.
      bin.bound_error = bin.count < 2 ? -1.0 : BoundError(n, largest);
      finite = finite && std::isfinite(bin.outlier_bound) && std::isfinite(bin.bound_error);
    });
    if (!finite) return false;
    outliers_.clear();
    bool undecided = false;
    for (std::size_t i = 0; i < count; ++i) {
      Bin* bin = BinOf(points.bin(i));
      if (bin == nullptr) continue;
      const float z = points.height(i);
      undecided |= std::fabs(static_cast<double>(z) - bin->outlier_bound) <= bin->bound_error;
      Decide(*bin, bin->count, z, i);
    }
    return !undecided;
  }

  template <typename Points>
  void SelectWithExactBounds(const Points& points) {
    const std::size_t count = points.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (Bin* bin = BinOf(points.bin(i))) {
        // Marked once per bin, not per point: no chain through the bit words.
        if (bin->heights.getCount() == 0) MarkOccupied(static_cast<std::size_t>(points.bin(i)));
        bin->heights.update(static_cast<double>(points.height(i)));
      }
    }
    ForEachOccupied([this](Bin& bin) {
      bin.outlier_bound = bin.heights.getMean() - sigma_factor_ * bin.heights.getStddev();
    });
    outliers_.clear();
    for (std::size_t i = 0; i < count; ++i) {
      if (Bin* bin = BinOf(points.bin(i)))
        Decide(*bin, bin->heights.getCount(), points.height(i), i);
    }
  }

  // Files point i, of height z in a bin of `count` points, as a low outlier
  // or as the bin's lowest point so far.
  void Decide(Bin& bin, std::uint64_t count, float z, std::size_t i) {
    if (count > 1 && static_cast<double>(z) < bin.outlier_bound) outliers_.push_back(i);
    // Selects rather than a branch: whether a point is lower than the ones
    // before it follows no pattern the branch predictor could learn.
    const bool lower = (z < bin.lowest) & (static_cast<double>(z) >= bin.outlier_bound);
    bin.lowest = lower ? z : bin.lowest;
    bin.chosen = lower ? i : bin.chosen;
  }

  // How far the estimated bound of a bin of n >= 2 heights, none larger than
  // `largest` in magnitude, can lie from the exact one. Each of the n steps
  // of either computation rounds its mean by a few units of the last place
  // of `largest` and its squared step by a few of its square; the variances
  // then differ by at most about 200 n units of `largest` squared, and the
  // deviations by the square root of that. Twice that, to cover the rounding
  // of this sum as well.
  double BoundError(double n, double largest) const {
    constexpr double kUnit = std::numeric_limits<double>::epsilon() / 2.0;
    return 2.0 * largest * (1.0 + std::fabs(sigma_factor_)) *
           (std::sqrt(256.0 * n * kUnit) + 32.0 * n * kUnit);
  }

  static PointPolarCoord PrototypeOf(const pcl::PointXYZ& p, Azimuths azimuths) {
    const auto x = static_cast<double>(p.x);
    const auto y = static_cast<double>(p.y);
    return {static_cast<float>(std::sqrt(x * x + y * y)), p.z,
            azimuths == Azimuths::kWith ? std::atan2(p.y, p.x) : 0.0f};
  }

  Bin* BinOf(std::int32_t bin) {
    const bool inside = bin >= 0 && static_cast<std::size_t>(bin) < bins_.size();
    return inside ? &bins_[static_cast<std::size_t>(bin)] : nullptr;
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
  std::vector<std::size_t> outliers_;    // of the sector, in list order
  double sigma_factor_ = 0.0;
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

// Of equally near lines the earlier one decides.
float NearestSignedDistance(const GroundLine* begin, const GroundLine* end, double range,
                            double height) {
  float best = std::numeric_limits<float>::max();
  for (const GroundLine* line = begin; line != end; ++line) {
    if (!line->Covers(range)) continue;
    const double distance = line->SignedDistance(range, height);
    if (std::fabs(static_cast<double>(best)) > std::fabs(distance)) {
      best = static_cast<float>(distance);
    }
  }
  return best == std::numeric_limits<float>::max() ? kNoSegment : best;
}

// The ground lines of a call, sector after sector in one list.
class SectorGroundLines {
 public:
  void Clear() {
    lines_.clear();
    sector_start_.assign(1, 0);
  }

  // Appends the lines of the next sector.
  void AddSector(const std::vector<STRU_Line>& segments, double margin) {
    for (const STRU_Line& segment : segments) lines_.emplace_back(segment, margin);
    sector_start_.push_back(lines_.size());
  }

  // Throws std::out_of_range for a sector that has no list.
  float Distance(std::uint32_t sector, double range, double height) const {
    if (std::size_t{sector} + 1 >= sector_start_.size()) {
      throw std::out_of_range(fmt::format("no ground segment list for sector {} of {}", sector,
                                          sector_start_.size() - 1));
    }
    const GroundLine* lines = lines_.data();
    return NearestSignedDistance(lines + sector_start_[sector], lines + sector_start_[sector + 1],
                                 range, height);
  }

 private:
  std::vector<GroundLine> lines_;
  std::vector<std::size_t> sector_start_;  // offsets into lines_, one past each sector
};

// Distance to the lines of the point's own sector or, when none covers it,
// to the nearer of the two adjacent sectors (the next one on a tie). The
// sectors at azimuth -pi and +pi are not adjacent.
float SectorDistance(const SectorGroundLines& lines, double range, double height,
                     std::uint32_t sector, std::uint32_t sector_count) {
  const float own = lines.Distance(sector, range, height);
  if (own != kNoSegment) return own;

  double next = kNoSegment;
  double previous = kNoSegment;
  if (sector + 1 < sector_count) next = lines.Distance(sector + 1, range, height);
  if (sector >= 1) previous = lines.Distance(sector - 1, range, height);
  float distance = own;
  if (next != kNoSegment) distance = static_cast<float>(next);
  if (previous != kNoSegment &&
      (distance == kNoSegment || std::fabs(previous) < std::fabs(static_cast<double>(distance)))) {
    distance = static_cast<float>(previous);
  }
  return distance;
}

// Class of a segmented point from its distance to the ground. The one-call
// split files points far below the ground as ground.
POINT_TYPE ClassOf(float distance, float threshold, bool below_is_ground) {
  if (distance == kNoSegment) return NON_GROUND;
  const float magnitude = std::fabs(distance);
  if (magnitude < threshold) return GROUND;
  if (magnitude >= threshold && distance < 0.0f) return below_is_ground ? GROUND : BELOW_GROUND;
  return NON_GROUND;
}

// Receivers of a split: one gets the points as clouds, the other their input
// indices. Both are fed by the same classification, point by point. A null
// target discards its points.
template <typename Target>
struct Targets {
  Target* nonground;
  Target* ground;
  Target* below_ground;

  Target* Of(POINT_TYPE type) const {
    if (type == GROUND) return ground;
    return type == BELOW_GROUND ? below_ground : nonground;
  }
};

struct CloudTargets : Targets<Cloud> {
  void Add(const Cloud& input, std::uint32_t index, POINT_TYPE type) const {
    if (Cloud* target = Of(type)) target->push_back(input[index]);
  }
};

struct IndexTargets : Targets<pcl::Indices> {
  void Add(const Cloud& /*input*/, std::uint32_t index, POINT_TYPE type) const {
    if (pcl::Indices* target = Of(type)) target->push_back(static_cast<pcl::index_t>(index));
  }
};

// Files the high points, in input order, ahead of every classified point.
template <typename Sink>
void AddHighPoints(const Segmentation& segmentation, const Cloud& input, const Sink& sink) {
  for (const std::uint32_t* index = segmentation.HighBegin(); index != segmentation.HighEnd();
       ++index) {
    sink.Add(input, *index, NON_GROUND);
  }
}

// Classifies the points of sector `s` in order. Throws std::out_of_range,
// before any point is filed, when `lines` has no list for the sector.
template <typename Sink>
void ClassifySector(const SectorGroundLines& lines, std::uint32_t s, std::uint32_t sector_count,
                    const Segmentation& segmentation, const Cloud& input, float threshold,
                    bool below_is_ground, const Sink& sink) {
  // How far ahead the input points to be filed are fetched: the sector's
  // points lie far apart in the input cloud.
  constexpr std::uint32_t kFetchAhead = 16;
  const std::uint32_t end = segmentation.SectorEnd(s);
  for (std::uint32_t j = segmentation.SectorBegin(s); j < end; ++j) {
    if (j + kFetchAhead < end) __builtin_prefetch(&input[segmentation[j + kFetchAhead].index]);
    const SegmentedRecord& point = segmentation[j];
    const float distance = SectorDistance(lines, static_cast<double>(point.range),
                                          static_cast<double>(point.height), s, sector_count);
    sink.Add(input, point.index, ClassOf(distance, threshold, below_is_ground));
  }
}

// Prototype selection and line fitting of one sector; its segments replace
// `segments`.
template <typename Points>
void FitSector(const RemoveGroundLineFit& remover, const Points& points, Azimuths azimuths,
               Cloud& trace, PrototypeSelector& selector, std::vector<PointPolarCoord>& prototypes,
               std::vector<STRU_Line>& segments) {
  prototypes.clear();
  selector.Select(points, trace, prototypes, azimuths);
  segments.clear();
  if (prototypes.size() > 1) remover.incrementalLineFitting(prototypes, segments);
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

// Working storage of the calls, reused from call to call.
struct RemoveGroundLineFit::Workspace {
  // Segments `input` afresh for `entry`. A set_input_cloud segmentation that
  // the kept-segment split may reuse is remembered with a copy of its
  // points, since the caller may change the cloud in place between the calls.
  bool Segment(const Cloud& input, const GroundRemovalParams& params, const Geometry& geometry,
               Entry entry) {
    const bool admitted = segmentation.Segment(input, params, geometry, entry);
    reusable_for_kept_split = entry == Entry::kFitForKeptSplit;
    if (reusable_for_kept_split) {
      segmented_points.assign(input.begin(), input.end());
      admitted_to_kept_split = admitted;
    }
    return admitted;
  }

  // Whether `segmentation` is that of `input` for the kept-segment split.
  bool HoldsKeptSplitOf(const Cloud& input) const {
    return reusable_for_kept_split && segmented_points.size() == input.size() &&
           std::memcmp(segmented_points.data(), input.data(),
                       input.size() * sizeof(pcl::PointXYZ)) == 0;
  }

  Segmentation segmentation;
  bool reusable_for_kept_split = false;
  bool admitted_to_kept_split = false;
  Cloud::VectorType segmented_points;
  PrototypeSelector selector;
  std::vector<PointPolarCoord> prototypes;
  std::vector<STRU_Line> segments;
  SectorGroundLines ground_lines;
  // The kept segment lists of an earlier call, held for their storage while
  // the remover keeps none.
  std::vector<std::vector<STRU_Line>> spare_sector_lines;
};

RemoveGroundLineFit::RemoveGroundLineFit(const GroundRemovalParams& params) : params_(params) {
  checkParams(params_);
}

RemoveGroundLineFit::~RemoveGroundLineFit() = default;

RemoveGroundLineFit::RemoveGroundLineFit(const RemoveGroundLineFit& other)
    : RemoveGroundFramework(other),
      params_(other.params_),
      sector_lines_(other.sector_lines_),
      trace_cloud_(other.trace_cloud_) {}

RemoveGroundLineFit& RemoveGroundLineFit::operator=(const RemoveGroundLineFit& other) {
  params_ = other.params_;
  sector_lines_ = other.sector_lines_;
  trace_cloud_ = other.trace_cloud_;
  // The storage stays, but a segmentation made with the old parameters must
  // not serve the next split.
  if (workspace_) workspace_->reusable_for_kept_split = false;
  return *this;
}

RemoveGroundLineFit::RemoveGroundLineFit(RemoveGroundLineFit&& other) noexcept = default;
RemoveGroundLineFit& RemoveGroundLineFit::operator=(RemoveGroundLineFit&& other) noexcept = default;

RemoveGroundLineFit::Workspace& RemoveGroundLineFit::workspace() {
  if (!workspace_) workspace_ = std::make_unique<Workspace>();
  return *workspace_;
}

void RemoveGroundLineFit::set_input_cloud(CloudPtr input_cloud) {
  Workspace& work = workspace();
  work.spare_sector_lines.swap(sector_lines_);
  sector_lines_.clear();
  if (!input_cloud || input_cloud->empty()) return;

  const Geometry geometry(params_);
  const Cloud& input = *input_cloud;
  // Segmented once for the fit and the kept-segment split of the same cloud
  // that usually follows.
  work.Segment(input, params_, geometry,
               FitAdmitsNoMoreThanKeptSplit(params_) ? Entry::kFitForKeptSplit : Entry::kFit);
  if (!work.segmentation.admitted_to_fit()) return;

  // Every list is refilled below; reusing them spares their allocation.
  sector_lines_.swap(work.spare_sector_lines);
  sector_lines_.resize(geometry.sector_count);
  trace_cloud_.clear();
  work.selector.Prepare(geometry.bin_count, static_cast<double>(params_.outlier_sigma_factor));
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    FitSector(*this, SectorPoints(work.segmentation, input, s), Azimuths::kWith, trace_cloud_,
              work.selector, work.prototypes, sector_lines_[s]);
  }
}

void RemoveGroundLineFit::findPrototypePoints(std::vector<STRU_SegmentedPoint> points,
                                              std::uint32_t bin_count,
                                              std::vector<PointPolarCoord>& prototypes) {
  PrototypeSelector selector;
  selector.Prepare(CompactBins(points, bin_count),
                   static_cast<double>(params_.outlier_sigma_factor));
  selector.Select(SegmentedPoints(points), trace_cloud_, prototypes, Azimuths::kWith);
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud,
                                       CloudPtr ground_cloud) {
  const auto input = StableInput(input_cloud, {&nonground_cloud, &ground_cloud});
  Reset(nonground_cloud);
  Reset(ground_cloud);
  if (!input) return;
  SplitWithOwnFit(*input, CloudTargets{{nonground_cloud.get(), ground_cloud.get(), nullptr}});
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, pcl::Indices& nonground_indices,
                                       pcl::Indices& ground_indices) {
  nonground_indices.clear();
  ground_indices.clear();
  if (!input_cloud) return;
  SplitWithOwnFit(*input_cloud, IndexTargets{{&nonground_indices, &ground_indices, nullptr}});
}

template <typename Sink>
void RemoveGroundLineFit::SplitWithOwnFit(const Cloud& input, const Sink& sink) {
  if (input.empty()) return;

  const Geometry geometry(params_);
  Workspace& work = workspace();
  const Segmentation& segmentation = work.segmentation;
  const bool admitted = work.Segment(input, params_, geometry, Entry::kClassifyWithOwnFit);
  AddHighPoints(segmentation, input, sink);
  if (!admitted) return;

  trace_cloud_.clear();
  work.selector.Prepare(geometry.bin_count, static_cast<double>(params_.outlier_sigma_factor));
  work.ground_lines.Clear();
  const auto fit = [&](std::uint32_t s) {
    // These segments are neither kept nor shown: their ends need no azimuth.
    FitSector(*this, SectorPoints(segmentation, input, s), Azimuths::kWithout, trace_cloud_,
              work.selector, work.prototypes, work.segments);
    work.ground_lines.AddSector(work.segments, CoverMargin(params_));
  };
  // Each sector is classified as soon as its successor, which its neighbour
  // search may consult, is fitted, while its points are still in cache.
  fit(0);
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    if (s + 1 < geometry.sector_count) fit(s + 1);
    ClassifySector(work.ground_lines, s, geometry.sector_count, segmentation, input,
                   params_.ground_distance_threshold, /*below_is_ground=*/true, sink);
  }
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud,
                                       CloudPtr ground_cloud, CloudPtr below_ground_cloud) {
  const auto input =
      StableInput(input_cloud, {&nonground_cloud, &ground_cloud, &below_ground_cloud});
  Reset(nonground_cloud);
  Reset(ground_cloud);
  Reset(below_ground_cloud);
  if (!input) return;
  SplitWithKeptFit(
      *input, CloudTargets{{nonground_cloud.get(), ground_cloud.get(), below_ground_cloud.get()}});
}

void RemoveGroundLineFit::groundRemove(CloudPtr input_cloud, pcl::Indices& nonground_indices,
                                       pcl::Indices& ground_indices,
                                       pcl::Indices& below_ground_indices) {
  nonground_indices.clear();
  ground_indices.clear();
  below_ground_indices.clear();
  if (!input_cloud) return;
  SplitWithKeptFit(*input_cloud,
                   IndexTargets{{&nonground_indices, &ground_indices, &below_ground_indices}});
}

template <typename Sink>
void RemoveGroundLineFit::SplitWithKeptFit(const Cloud& input, const Sink& sink) {
  if (input.empty()) return;

  const Geometry geometry(params_);
  Workspace& work = workspace();
  const bool admitted = work.HoldsKeptSplitOf(input)
                            ? work.admitted_to_kept_split
                            : work.Segment(input, params_, geometry, Entry::kClassifyWithKeptFit);
  AddHighPoints(work.segmentation, input, sink);
  if (!admitted) return;

  work.ground_lines.Clear();
  for (const std::vector<STRU_Line>& segments : sector_lines_) {
    work.ground_lines.AddSector(segments, CoverMargin(params_));
  }
  // Without kept lines the first sector holding points throws, so the outputs
  // then hold the high points alone.
  for (std::uint32_t s = 0; s < geometry.sector_count; ++s) {
    ClassifySector(work.ground_lines, s, geometry.sector_count, work.segmentation, input,
                   params_.ground_distance_threshold, /*below_is_ground=*/false, sink);
  }
}

float RemoveGroundLineFit::point2LineSegmentDist(const pcl::PointXYZ& query,
                                                 const std::vector<STRU_Line>& segments) const {
  std::vector<GroundLine> lines;
  lines.reserve(segments.size());
  for (const STRU_Line& segment : segments) lines.emplace_back(segment, CoverMargin(params_));
  return NearestSignedDistance(lines.data(), lines.data() + lines.size(),
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
