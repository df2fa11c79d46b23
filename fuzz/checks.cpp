#include "checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "io.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {

void Fail(const char* expectation) {
  std::fprintf(stderr, "broken expectation: %s\n", expectation);
  std::abort();
}

void QuietLogger() {
  setenv("SPDLOG_LEVEL", "debug", 0);
  setenv("SPDLOG_STDOUT", "false", 0);
  setenv("SPDLOG_SYSTEMD", "false", 0);
}

std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> PointBits(const pcl::PointXYZ& p) {
  return {BitsFromFloat(p.x), BitsFromFloat(p.y), BitsFromFloat(p.z)};
}

PointMultiset::PointMultiset(const Cloud& cloud) {
  for (const pcl::PointXYZ& point : cloud) points_.push_back(PointBits(point));
  std::sort(points_.begin(), points_.end());
}

void PointMultiset::Take(const Cloud& cloud) {
  for (const pcl::PointXYZ& point : cloud) {
    const auto found = std::lower_bound(points_.begin(), points_.end(), PointBits(point));
    LARKSPUR_FUZZ_CHECK(found != points_.end() && *found == PointBits(point));
    points_.erase(found);
  }
}

bool SameBits(float a, float b) { return BitsFromFloat(a) == BitsFromFloat(b); }

void CheckUnorganised(const Cloud& output) {
  LARKSPUR_FUZZ_CHECK(output.width == output.size() && (output.height == 1 || output.empty()));
}

}  // namespace fuzz
}  // namespace larkspur
