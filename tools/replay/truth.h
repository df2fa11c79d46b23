// Ground truth of one point or beam, and the counts that score a prediction
// against it.
#pragma once

#include <cstdint>
#include <optional>

namespace larkspur {
namespace replay {

// kUnknown takes no part in scoring (no return, unlabelled, or a class the
// usual protocol leaves out).
enum class Label : std::uint8_t { kUnknown, kNo, kYes };

struct PointTruth {
  Label ground = Label::kUnknown;
  Label moving = Label::kUnknown;
};

// Binary confusion counts of one class (ground, or dynamic).
struct Confusion {
  std::int64_t true_positive = 0;
  std::int64_t false_positive = 0;
  std::int64_t false_negative = 0;
  std::int64_t true_negative = 0;

  void Add(Label truth, bool predicted) {
    if (truth == Label::kUnknown) return;
    const bool actual = truth == Label::kYes;
    if (actual && predicted) ++true_positive;
    if (!actual && predicted) ++false_positive;
    if (actual && !predicted) ++false_negative;
    if (!actual && !predicted) ++true_negative;
  }
  Confusion& operator+=(const Confusion& other) {
    true_positive += other.true_positive;
    false_positive += other.false_positive;
    false_negative += other.false_negative;
    true_negative += other.true_negative;
    return *this;
  }
  std::int64_t scored() const {
    return true_positive + false_positive + false_negative + true_negative;
  }
  // Undefined (nothing predicted, or nothing to find) gives no value.
  std::optional<double> precision() const {
    const auto predicted = true_positive + false_positive;
    if (predicted == 0) return std::nullopt;
    return static_cast<double>(true_positive) / static_cast<double>(predicted);
  }
  std::optional<double> recall() const {
    const auto actual = true_positive + false_negative;
    if (actual == 0) return std::nullopt;
    return static_cast<double>(true_positive) / static_cast<double>(actual);
  }
  // Intersection over union of the positive class, TP / (TP + FP + FN).
  std::optional<double> iou() const {
    const auto either = true_positive + false_positive + false_negative;
    if (either == 0) return std::nullopt;
    return static_cast<double>(true_positive) / static_cast<double>(either);
  }
};

}  // namespace replay
}  // namespace larkspur
