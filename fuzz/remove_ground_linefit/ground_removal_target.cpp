// A sequence of calls on one RemoveGroundLineFit, its public fitting steps
// included.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "checks.h"
#include "ground_removal_inputs.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

void CheckGroundOutputs(const Cloud& input, const std::vector<const Cloud*>& outputs,
                        float max_point_height) {
  PointMultiset points(input);
  for (const Cloud* output : outputs) {
    if (output == nullptr) continue;
    CheckUnorganised(*output);
    points.Take(*output);
    for (const pcl::PointXYZ& point : *output) LARKSPUR_FUZZ_CHECK(!(point.z > max_point_height));
  }
}

void RunGroundRemovalStep(kestrel::perception::RemoveGroundLineFit& remover,
                          const kestrel::perception::GroundRemovalParams& params,
                          const GroundRemovalStep& step) {
  using Step = GroundRemovalStep;
  auto cloud_or_null = [&](std::uint8_t bit, CloudPtr cloud) {
    return (step.null_clouds & bit) != 0 ? nullptr : cloud;
  };
  const CloudPtr input = cloud_or_null(Step::kNullInput, std::make_shared<Cloud>(step.cloud));
  const CloudPtr nonground = cloud_or_null(Step::kNullNonground, std::make_shared<Cloud>());
  const CloudPtr ground = cloud_or_null(Step::kNullGround, std::make_shared<Cloud>());
  const CloudPtr below = cloud_or_null(Step::kNullBelow, std::make_shared<Cloud>());
  const Cloud& input_points = input ? *input : Cloud();
  switch (step.op) {
    case Step::kSetInputCloud:
      remover.set_input_cloud(input);
      break;
    case Step::kGroundRemove:
      remover.groundRemove(input, nonground, ground);
      CheckGroundOutputs(input_points, {nonground.get(), ground.get()}, params.max_point_height);
      break;
    case Step::kGroundRemoveKept:
      try {
        remover.groundRemove(input, nonground, ground, below);
      } catch (const std::out_of_range&) {
        LARKSPUR_FUZZ_CHECK(remover.getAllLineFitPoints().empty());
      }
      CheckGroundOutputs(input_points, {nonground.get(), ground.get(), below.get()},
                         params.max_point_height);
      break;
    case Step::kReadBack:
      for (const Cloud& segment : remover.getAllLineFitPoints()) {
        LARKSPUR_FUZZ_CHECK(segment.size() == 2);
      }
      static_cast<void>(remover.getAllTracePoints().size());
      break;
    case Step::kFindPrototypes: {
      std::vector<kestrel::perception::STRU_SegmentedPoint> points;
      for (std::size_t i = 0; i < step.cloud.size(); ++i) {
        points.emplace_back(step.cloud[i], step.bin_indices[i], kestrel::perception::NON_GROUND);
      }
      std::vector<kestrel::perception::PointPolarCoord> prototypes;
      remover.findPrototypePoints(points, step.bin_count, prototypes);
      LARKSPUR_FUZZ_CHECK(prototypes.size() <= points.size());
      break;
    }
    case Step::kLineFitting: {
      // The fit takes one sector's prototypes in increasing range; NaN ranges
      // go last so that the order is a strict weak one.
      std::vector<kestrel::perception::PointPolarCoord> prototypes = step.prototypes;
      std::stable_sort(prototypes.begin(), prototypes.end(), [](const auto& a, const auto& b) {
        return std::make_tuple(std::isnan(a.range), std::isnan(a.range) ? 0.0f : a.range) <
               std::make_tuple(std::isnan(b.range), std::isnan(b.range) ? 0.0f : b.range);
      });
      std::vector<kestrel::perception::STRU_Line> lines;
      remover.incrementalLineFitting(prototypes, lines);
      std::int32_t index = 0;
      double distance = 0.0;
      remover.diluting(prototypes, index, distance);
      LARKSPUR_FUZZ_CHECK(index >= 0 && static_cast<std::size_t>(index) <= prototypes.size());
      break;
    }
    case Step::kLeastSquareFit: {
      float intercept = 0.0f;
      float slope = 0.0f;
      try {
        remover.leastSquareFit(step.prototypes, step.last, intercept, slope);
      } catch (const std::out_of_range&) {
        LARKSPUR_FUZZ_CHECK(step.last < 0 ||
                            static_cast<std::size_t>(step.last) >= step.prototypes.size());
      }
      break;
    }
    case Step::kSegmentDistance: {
      std::vector<kestrel::perception::STRU_Line> segments;
      for (std::size_t i = 1; i < step.prototypes.size(); i += 2) {
        const auto& a = step.prototypes[i - 1];
        const auto& b = step.prototypes[i];
        segments.emplace_back(a.range, a.height, a.angle, b.range, b.height, b.angle);
      }
      for (const auto& query : step.prototypes) {
        static_cast<void>(remover.point2LineSegmentDist(
            pcl::PointXYZ(query.range, query.height, 0.0f), segments));
        if (!segments.empty()) {
          static_cast<void>(
              remover.point2LineDistance(query, step.prototypes.front(), step.prototypes.back()));
        }
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

void RunGroundRemoval(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  GroundRemovalInput input;
  Transfer(reader, input);
  std::unique_ptr<kestrel::perception::RemoveGroundLineFit> remover;
  try {
    remover = std::make_unique<kestrel::perception::RemoveGroundLineFit>(input.params);
  } catch (const std::invalid_argument&) {
    return;
  }
  for (const GroundRemovalStep& step : input.steps) {
    RunGroundRemovalStep(*remover, input.params, step);
  }
}

}  // namespace fuzz
}  // namespace larkspur
