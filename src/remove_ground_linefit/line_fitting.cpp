// Ground segments of one sector: prototypes in increasing range are grown
// into a working set while they stay on one line of height against range; the
// set is split at its sharpest kink and closed at a height jump.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "larkspur_perception_libs/logger.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace kestrel {
namespace perception {
namespace {

// Chord ends closer than this in range make a vertical chord.
constexpr double kVerticalChordRange = 0.05;

// Start value of the split search: any interior point off the chord beats it.
constexpr double kNoSplitDistance = std::numeric_limits<double>::min();

// The first prototype near the nominal ground seeds the sector's fit; lower
// ones (reflections below the road) and higher ones (obstacles) do not.
bool SeedsFit(const PointPolarCoord& prototype, const GroundRemovalParams& params) {
  const float dz = prototype.height - params.ground_height;
  return (dz >= 0.0f && dz < params.seed_max_above) ||
         (dz < 0.0f && params.ground_height - prototype.height < params.seed_max_below);
}

// The line through two prototypes in the range-height plane. Ends closer
// than kVerticalChordRange in range make a vertical line, measured in range.
class Chord {
 public:
  Chord(const PointPolarCoord& start, const PointPolarCoord& end)
      : start_range_(start.range),
        vertical_(static_cast<double>(std::fabs(start.range - end.range)) <= kVerticalChordRange),
        slope_(vertical_
                   ? 0.0
                   : static_cast<double>((start.height - end.height) / (start.range - end.range))),
        intercept_(static_cast<double>(start.height) - static_cast<double>(start.range) * slope_),
        norm_(std::sqrt(slope_ * slope_ + 1.0)) {}

  double DistanceOf(const PointPolarCoord& p) const {
    if (vertical_) return static_cast<double>(std::fabs(p.range - start_range_));
    return Offset(p) / norm_;
  }

  // Whether DistanceOf(p) exceeds `distance`, and then that distance. A
  // point whose offset is clearly below distance * norm cannot exceed it
  // (the rounded quotient goes no higher than `distance`), and the division
  // is spared; the search for the farthest point finds few that exceed the
  // farthest so far.
  bool Exceeds(const PointPolarCoord& p, double distance, double& to_chord) const {
    if (!vertical_ && Offset(p) < distance * norm_ * kClearlyBelow) return false;
    to_chord = DistanceOf(p);
    return to_chord > distance;
  }

 private:
  // Covers the two roundings of the product it scales.
  static constexpr double kClearlyBelow = 1.0 - 0x1p-50;

  double Offset(const PointPolarCoord& p) const {
    return std::fabs(static_cast<double>(p.range) * slope_ - static_cast<double>(p.height) +
                     intercept_);
  }

  float start_range_;
  bool vertical_;
  double slope_;
  double intercept_;
  double norm_;
};

struct Line {
  float intercept;
  float slope;
};

// Sum of absolute height residuals of points 0 to `last` against `line`.
float ResidualSum(const std::vector<PointPolarCoord>& points, std::size_t last, const Line& line) {
  float sum = 0.0f;
  for (std::size_t i = 0; i <= last; ++i) {
    sum += std::fabs((points[i].height - line.intercept) - points[i].range * line.slope);
  }
  return sum;
}

// Storage of the working set, kept per thread: once the first sectors have
// sized it, fitting a sector allocates nothing.
std::vector<PointPolarCoord>& EmptyWorkingSet() {
  thread_local std::vector<PointPolarCoord> working_set;
  working_set.clear();
  return working_set;
}

// The working set of one sector and the segments emitted from it.
class SegmentGrower {
 public:
  SegmentGrower(const RemoveGroundLineFit& remover, const GroundRemovalParams& params,
                float ground_height, std::vector<STRU_Line>& lines)
      : remover_(remover),
        params_(params),
        lines_(lines),
        working_(EmptyWorkingSet()),
        fit_{ground_height, 0.0f},
        current_{ground_height, 0.0f} {}

  void Add(const PointPolarCoord& prototype) {
    working_.push_back(prototype);
    if (working_.size() > 2) SplitAtKink(prototype);
    if (JumpsOffCurrentLine(prototype)) {
      CloseAtJump();
    } else {
      Grow();
    }
  }

  void Finish() {
    if (working_.size() > 1 && AcceptsStrictly(FitUpTo(working_.size() - 1))) {
      Emit(working_.back());
    }
  }

 private:
  void SplitAtKink(const PointPolarCoord& newest) {
    std::int32_t split = -1;
    double distance = kNoSplitDistance;
    remover_.diluting(working_, split, distance);
    if (split < 0 || !(static_cast<double>(params_.split_distance) < distance)) return;

    const auto at = static_cast<std::size_t>(split);
    if (AcceptsStrictly(FitUpTo(at))) Emit(working_[at]);
    // The split point stays: it ends one segment and starts the next.
    working_.erase(working_.begin(), working_.begin() + split);
    if (working_.size() == 2) current_ = {working_.front().height, 0.0f};
    if (working_.size() > 2) {
      // Judge the rest without the newest prototype, which caused the split.
      if (AcceptsInclusively(FitUpTo(working_.size() - 2))) {
        current_ = fit_;
      } else {
        working_.assign(1, newest);
      }
    }
  }

  bool JumpsOffCurrentLine(const PointPolarCoord& prototype) const {
    const float predicted = prototype.range * current_.slope + current_.intercept;
    return std::fabs(static_cast<double>(predicted) - static_cast<double>(prototype.height)) >
           static_cast<double>(params_.max_height_jump);
  }

  // The jumping prototype starts nothing: the current line keeps predicting.
  void CloseAtJump() {
    working_.pop_back();
    if (working_.size() > 1 && AcceptsInclusively(FitUpTo(working_.size() - 1))) {
      Emit(working_.back());
    }
    working_.clear();
  }

  void Grow() {
    if (working_.size() < 2) return;
    if (AcceptsStrictly(FitUpTo(working_.size() - 1))) {
      current_ = fit_;
    } else {
      working_.clear();
    }
  }

  // Fits points 0 to `last` into fit_ and returns their residual sum.
  float FitUpTo(std::size_t last) {
    remover_.leastSquareFit(working_, static_cast<std::int32_t>(last), fit_.intercept, fit_.slope);
    return ResidualSum(working_, last, fit_);
  }

  // The residual limit grows with the whole working set, also when only a
  // prefix of it was fitted.
  float ResidualLimit() const {
    return params_.max_fit_error * static_cast<float>(working_.size());
  }
  bool AcceptsStrictly(float residual) const {
    return residual < ResidualLimit() && std::fabs(fit_.slope) < params_.max_slope;
  }
  bool AcceptsInclusively(float residual) const {
    return residual <= ResidualLimit() && std::fabs(fit_.slope) <= params_.max_slope;
  }

  void Emit(const PointPolarCoord& end) {
    const PointPolarCoord& start = working_.front();
    lines_.emplace_back(start.range, start.range * fit_.slope + fit_.intercept, start.angle,
                        end.range, end.range * fit_.slope + fit_.intercept, end.angle);
    current_ = fit_;
  }

  const RemoveGroundLineFit& remover_;
  const GroundRemovalParams& params_;
  std::vector<STRU_Line>& lines_;
  std::vector<PointPolarCoord>& working_;
  Line fit_;      // written by every fit
  Line current_;  // the last accepted line; predicts the next prototype
};

}  // namespace

void RemoveGroundLineFit::incrementalLineFitting(const std::vector<PointPolarCoord>& prototypes,
                                                 std::vector<STRU_Line>& lines) const {
  lines.clear();
  const auto seed = std::find_if(
      prototypes.begin(), prototypes.end(),
      [this](const PointPolarCoord& prototype) { return SeedsFit(prototype, params_); });
  if (seed == prototypes.end()) return;

  const float ground_height = seed->height;
  LARKSPUR_LOG_DEBUG("f_current_ground_height: {}", ground_height);
  SegmentGrower grower(*this, params_, ground_height, lines);
  std::for_each(seed, prototypes.end(),
                [&grower](const PointPolarCoord& prototype) { grower.Add(prototype); });
  grower.Finish();
}

void RemoveGroundLineFit::diluting(const std::vector<PointPolarCoord>& points, std::int32_t& index,
                                   double& distance) const {
  if (points.size() < 3) return;
  const Chord chord(points.front(), points.back());
  for (std::size_t j = 1; j + 1 < points.size(); ++j) {
    double to_chord = 0.0;
    if (chord.Exceeds(points[j], distance, to_chord)) {
      index = static_cast<std::int32_t>(j);
      distance = to_chord;
    }
  }
}

double RemoveGroundLineFit::point2LineDistance(PointPolarCoord point, PointPolarCoord line_start,
                                               PointPolarCoord line_end) const {
  return Chord(line_start, line_end).DistanceOf(point);
}

void RemoveGroundLineFit::leastSquareFit(const std::vector<PointPolarCoord>& points,
                                         std::int32_t last, float& intercept, float& slope) const {
  const std::int64_t end = std::int64_t{last} + 1;
  const auto count = static_cast<float>(end);
  float range_sum = 0.0f;
  float height_sum = 0.0f;
  for (std::int64_t i = 0; i < end; ++i) {
    const PointPolarCoord& p = points.at(static_cast<std::size_t>(i));
    range_sum += p.range;
    height_sum += p.height;
  }
  const float mean_range = range_sum / count;
  const float mean_height = height_sum / count;

  float range_height = 0.0f;
  float range_range = 0.0f;
  for (std::int64_t i = 0; i < end; ++i) {
    const PointPolarCoord& p = points.at(static_cast<std::size_t>(i));
    const float dr = p.range - mean_range;
    range_height += dr * (p.height - mean_height);
    range_range += dr * dr;
  }
  if (range_range == 0.0f) {
    // Points stacked at one range: a value that fails every slope test.
    slope = std::numeric_limits<float>::max();
    intercept = std::numeric_limits<float>::max();
    return;
  }
  slope = range_height / range_range;
  intercept = mean_height - slope * mean_range;
}

}  // namespace perception
}  // namespace kestrel
