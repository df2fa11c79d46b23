// A sequence of calls on one DynamicCloudDetector.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "checks.h"
#include "detector_checks.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

void CheckDivision(const Cloud& input, const Cloud& dynamic_cloud, const Cloud& static_cloud) {
  LARKSPUR_FUZZ_CHECK(dynamic_cloud.size() + static_cloud.size() == input.size());
  CheckUnorganised(dynamic_cloud);
  CheckUnorganised(static_cloud);
  PointMultiset points(input);
  points.Take(dynamic_cloud);
  points.Take(static_cloud);
}

void RunCloudDetectorStep(kestrel::perception::DynamicCloudDetector& detector,
                          const CloudDetectorStep& step) {
  using Step = CloudDetectorStep;
  const auto cloud = std::make_shared<Cloud>(step.cloud);
  switch (step.op) {
    case Step::kUpdate:
      detector.Update(cloud, step.pose.Matrix(), false);
      break;
    case Step::kUpdateNullCloud:
      detector.Update(nullptr, step.pose.Matrix(), false);
      break;
    case Step::kDivide: {
      Cloud dynamic_cloud;
      Cloud static_cloud;
      detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);
      CheckDivision(*cloud, dynamic_cloud, static_cloud);
      break;
    }
    case Step::kDivideShared: {
      auto dynamic_cloud = std::make_shared<Cloud>(step.cloud);
      auto static_cloud = std::make_shared<Cloud>();
      detector.DivideCloud(cloud, dynamic_cloud, static_cloud);
      CheckDivision(step.cloud, *dynamic_cloud, *static_cloud);
      break;
    }
    case Step::kDivideInPlace: {
      Cloud static_cloud;
      detector.DivideCloud(*cloud, *cloud, static_cloud);
      CheckDivision(step.cloud, *cloud, static_cloud);
      break;
    }
    case Step::kIntegrate:
      detector.InputCloudToOccupancyGridMap(cloud, false);
      break;
    case Step::kTransform:
      detector.TransformOccupancyGridMap(step.xy, step.angle);
      break;
    case Step::kInit:
      detector.Init(step.camera);
      break;
    case Step::kIsInRoi:
      static_cast<void>(detector.IsInRoi(step.xy.x(), step.xy.y()));
      break;
    case Step::kDrawDebugImages: {
      const auto images = detector.DrawDebugImages();
      const int width = detector.grid_map().grid_width();
      LARKSPUR_FUZZ_CHECK(images.combined.rows == width && images.combined.cols == width);
      break;
    }
    default:
      break;
  }
}

}  // namespace

void RunCloudDetector(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  CloudDetectorInput input;
  Transfer(reader, input);
  if (!SmallEnoughGrid(input.config)) return;
  std::unique_ptr<kestrel::perception::DynamicCloudDetector> detector;
  try {
    detector = std::make_unique<kestrel::perception::DynamicCloudDetector>(ToYaml(input.config));
  } catch (const std::invalid_argument&) {
    return;
  }
  detector->Init(input.camera);
  for (const CloudDetectorStep& step : input.steps) {
    RunCloudDetectorStep(*detector, step);
    const std::size_t cells = static_cast<std::size_t>(detector->grid_map().grid_width()) *
                              static_cast<std::size_t>(detector->grid_map().grid_width());
    LARKSPUR_FUZZ_CHECK(detector->grid_status().size() == cells);
    CheckGrid(detector->grid_map(), true);
  }
}

}  // namespace fuzz
}  // namespace larkspur
