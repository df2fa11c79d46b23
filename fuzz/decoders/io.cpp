#include "io.h"

#include <cstring>

namespace larkspur {
namespace fuzz {

float FloatFromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

std::uint32_t BitsFromFloat(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

}  // namespace fuzz
}  // namespace larkspur
