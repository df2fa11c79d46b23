// Small seeded random source whose sequence is fixed by its algorithm
// (SplitMix64 and Box-Muller), unlike the standard distributions, whose
// output differs between standard libraries. The built-in scene must come
// out the same on every machine for a given seed.
#pragma once

#include <cmath>
#include <cstdint>

namespace larkspur {
namespace replay {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Uniform in [lo, hi), 53 random bits.
  double Uniform(double lo, double hi) {
    const double unit = static_cast<double>(Next() >> 11) * 0x1.0p-53;
    return lo + (hi - lo) * unit;
  }

  // Standard normal.
  double Normal() {
    constexpr double kTwoPi = 6.283185307179586;
    const double u1 = 1.0 - Uniform(0.0, 1.0);  // in (0, 1]: the logarithm stays finite
    const double u2 = Uniform(0.0, 1.0);
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
  }

 private:
  std::uint64_t state_;
};

}  // namespace replay
}  // namespace larkspur
