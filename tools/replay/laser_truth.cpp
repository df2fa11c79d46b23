#include "laser_truth.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace larkspur {
namespace replay {
namespace {

bool IsValidReading(const sensor_msgs::msg::LaserScan& scan, float r) {
  return std::isfinite(r) && r > scan.range_min && r < scan.range_max;
}

// Nearest-rank percentile: the smallest value with at least `p` of the
// values at or below it.
float Percentile(std::vector<float>& values, double p) {
  if (values.empty()) return std::numeric_limits<float>::quiet_NaN();
  const double rank = std::ceil(std::clamp(p, 0.0, 1.0) * static_cast<double>(values.size()));
  const auto k = static_cast<std::size_t>(std::max(rank, 1.0)) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

}  // namespace

std::string DescribeBackgroundRule(const BackgroundRule& rule) {
  return fmt::format(
      "a beam is truly moving when its reading is more than {:g} m shorter than its background, "
      "the {:g}th percentile of its valid readings",
      rule.margin, rule.percentile * 100.0);
}

std::vector<float> BackgroundRanges(const std::vector<const sensor_msgs::msg::LaserScan*>& scans,
                                    const BackgroundRule& rule) {
  std::size_t beams = 0;
  for (const auto* scan : scans) beams = std::max(beams, scan->ranges.size());
  std::vector<std::vector<float>> readings(beams);
  for (const auto* scan : scans) {
    for (std::size_t i = 0; i < scan->ranges.size(); ++i) {
      if (IsValidReading(*scan, scan->ranges[i])) readings[i].push_back(scan->ranges[i]);
    }
  }
  std::vector<float> background(beams);
  for (std::size_t i = 0; i < beams; ++i) background[i] = Percentile(readings[i], rule.percentile);
  return background;
}

std::vector<std::vector<PointTruth>> BackgroundTruth(
    const std::vector<const sensor_msgs::msg::LaserScan*>& scans, const BackgroundRule& rule) {
  const std::vector<float> background = BackgroundRanges(scans, rule);
  std::vector<std::vector<PointTruth>> truth;
  truth.reserve(scans.size());
  for (const auto* scan : scans) {
    std::vector<PointTruth>& beams = truth.emplace_back(scan->ranges.size());
    for (std::size_t i = 0; i < scan->ranges.size(); ++i) {
      const float r = scan->ranges[i];
      // A NaN background compares false: never moving.
      const bool moving = IsValidReading(*scan, r) && r < background[i] - rule.margin;
      beams[i].moving = moving ? Label::kYes : Label::kNo;
    }
  }
  return truth;
}

}  // namespace replay
}  // namespace larkspur
