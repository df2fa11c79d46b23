// What every fuzz target body checks with: an expectation macro that aborts
// with a message (the fuzzer reports it like a crash), the logger kept quiet,
// and comparisons of clouds by bit pattern.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#define LARKSPUR_FUZZ_STRINGIFY_(x) #x
#define LARKSPUR_FUZZ_STRINGIFY(x) LARKSPUR_FUZZ_STRINGIFY_(x)
#define LARKSPUR_FUZZ_CHECK(condition) \
  ((condition)                         \
       ? static_cast<void>(0)          \
       : ::larkspur::fuzz::Fail(__FILE__ ":" LARKSPUR_FUZZ_STRINGIFY(__LINE__) ": " #condition))

namespace larkspur {
namespace fuzz {

[[noreturn]] void Fail(const char* expectation);

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

// Bit patterns of a point, so that NaN coordinates compare equal to themselves.
std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> PointBits(const pcl::PointXYZ& p);

// Checks that the outputs together hold at most the input's points, each at
// most as often as the input does, with coordinates unchanged.
class PointMultiset {
 public:
  explicit PointMultiset(const Cloud& cloud);
  void Take(const Cloud& cloud);
  std::size_t size() const { return points_.size(); }

 private:
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> points_;
};

bool SameBits(float a, float b);

// A refilled output is unorganised; an emptied one may keep PCL's 0 x 0 shape.
void CheckUnorganised(const Cloud& output);

}  // namespace fuzz
}  // namespace larkspur
