// Byte encoding of the fuzz targets' structured inputs.
//
// Each input type has one Transfer function that lists its fields in order.
// With a Reader it decodes the fuzzer's bytes (through FuzzedDataProvider, so
// any byte string decodes to some input); with a Writer it encodes a
// hand-made input into bytes that a Reader turns back into the same input,
// which is how the seed corpora are made. The regression tests decode their
// saved inputs with the same functions. Each unit's input types are in
// <unit>_inputs.h beside this file.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace larkspur {
namespace fuzz {

// Bounds that keep one input fast enough for thousands of runs per second.
constexpr std::uint32_t kMaxSteps = 6;
constexpr std::uint32_t kMaxCloudPoints = 1024;
constexpr std::uint32_t kMaxScanRanges = 2048;

// Values that the arithmetic of the library has to survive.
constexpr std::array<float, 16> kSpecialFloats = {0.0f,
                                                  -0.0f,
                                                  1.0f,
                                                  -1.0f,
                                                  0.5f,
                                                  std::numeric_limits<float>::quiet_NaN(),
                                                  std::numeric_limits<float>::infinity(),
                                                  -std::numeric_limits<float>::infinity(),
                                                  std::numeric_limits<float>::max(),
                                                  std::numeric_limits<float>::lowest(),
                                                  std::numeric_limits<float>::min(),
                                                  std::numeric_limits<float>::denorm_min(),
                                                  std::numeric_limits<float>::epsilon(),
                                                  1e-30f,
                                                  1e30f,
                                                  2147483648.0f};

// How a float is spelt in the bytes: its raw bits (every float, NaN payloads
// included), a fixed-point value in [-128, 128) with 1/256 steps (plausible
// metres and radians), or one of kSpecialFloats.
enum FloatForm : std::uint8_t { kBitsForm = 0, kFixedForm = 1, kSpecialForm = 2 };

float FloatFromBits(std::uint32_t bits);
std::uint32_t BitsFromFloat(float value);

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : input_(data, size) {}

  template <typename T>
  void Int(T& value, T min, T max) {
    value = input_.ConsumeIntegralInRange<T>(min, max);
  }
  void Bool(bool& value) { value = input_.ConsumeBool(); }
  void Float(float& value) {
    switch (input_.ConsumeIntegralInRange<std::uint8_t>(kBitsForm, kSpecialForm)) {
      case kBitsForm:
        value = FloatFromBits(input_.ConsumeIntegral<std::uint32_t>());
        break;
      case kFixedForm:
        value = static_cast<float>(input_.ConsumeIntegral<std::int16_t>()) / 256.0f;
        break;
      default:
        value = input_.PickValueInArray(kSpecialFloats);
        break;
    }
  }

 private:
  FuzzedDataProvider input_;
};

// Mirror of FuzzedDataProvider: integers are taken from the end of the data,
// most significant byte first, in as many bytes as their range needs.
class Writer {
 public:
  template <typename T>
  void Int(const T& value, T min, T max) {
    const std::uint64_t range = static_cast<std::uint64_t>(max) - min;
    const std::uint64_t offset_value = static_cast<std::uint64_t>(value) - min;
    int byte_count = 0;
    for (std::size_t bit = 0; bit < sizeof(T) * 8 && (range >> bit) > 0; bit += 8) ++byte_count;
    for (int byte = byte_count - 1; byte >= 0; --byte) {
      consumed_.push_back(static_cast<std::uint8_t>(offset_value >> (8 * byte)));
    }
  }
  void Bool(const bool& value) {
    Int<std::uint8_t>(value ? 1 : 0, 0, std::numeric_limits<std::uint8_t>::max());
  }
  void Float(const float& value) {
    Int<std::uint8_t>(kBitsForm, kBitsForm, kSpecialForm);
    Int<std::uint32_t>(BitsFromFloat(value), 0, std::numeric_limits<std::uint32_t>::max());
  }

  std::vector<std::uint8_t> Bytes() const { return {consumed_.rbegin(), consumed_.rend()}; }

 private:
  // In the order the reader consumes them, i.e. the data read backwards.
  std::vector<std::uint8_t> consumed_;
};

// Sizes a container from a count in [min, max]: the reader takes the count
// from the bytes, the writer records the container's own size.
template <typename Io, typename Container>
void TransferSize(Io& io, Container& container, std::uint32_t min, std::uint32_t max,
                  const typename Container::value_type& fill = {}) {
  std::uint32_t size = static_cast<std::uint32_t>(container.size());
  io.Int(size, min, max);
  container.resize(size, fill);
}

template <typename Io, int Rows, int Cols>
void Transfer(Io& io, Eigen::Matrix<float, Rows, Cols>& matrix) {
  for (int row = 0; row < Rows; ++row) {
    for (int col = 0; col < Cols; ++col) io.Float(matrix(row, col));
  }
}

// How a point is given: its own coordinates, or as a copy of the point one to
// three places before it (clouds of real sensors repeat points).
constexpr std::uint8_t kMaxRepeatDistance = 3;

template <typename Io>
void Transfer(Io& io, pcl::PointCloud<pcl::PointXYZ>& cloud) {
  io.Bool(cloud.is_dense);
  std::uint32_t size = static_cast<std::uint32_t>(cloud.size());
  io.Int(size, std::uint32_t{0}, kMaxCloudPoints);
  cloud.resize(size);
  for (std::uint32_t i = 0; i < size; ++i) {
    std::uint8_t repeat = 0;
    io.Int(repeat, std::uint8_t{0}, kMaxRepeatDistance);
    if (repeat > 0 && i >= repeat) {
      cloud[i] = cloud[i - repeat];
    } else {
      io.Float(cloud[i].x);
      io.Float(cloud[i].y);
      io.Float(cloud[i].z);
    }
  }
}

}  // namespace fuzz
}  // namespace larkspur
