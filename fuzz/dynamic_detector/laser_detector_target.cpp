// A sequence of calls on one DynamicLaserDetector.
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>

#include "checks.h"
#include "detector_checks.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

using LaserScan = sensor_msgs::msg::LaserScan;
using LaserScanPtr = std::shared_ptr<LaserScan>;

constexpr float kOtherClassRange = std::numeric_limits<float>::max();

LaserScanPtr MakeScan(const ScanInput& input) {
  auto scan = std::make_shared<LaserScan>();
  scan->angle_min = input.angle_min;
  scan->angle_max = input.angle_max;
  scan->angle_increment = input.angle_increment;
  scan->time_increment = input.time_increment;
  scan->scan_time = input.scan_time;
  scan->range_min = input.range_min;
  scan->range_max = input.range_max;
  scan->ranges = input.ranges;
  return scan;
}

geometry_msgs::msg::Pose MakePose(const PoseMessage& input) {
  geometry_msgs::msg::Pose pose;
  pose.position.x = input.x;
  pose.position.y = input.y;
  pose.position.z = input.z;
  if (input.planar) {
    pose.orientation.z = std::sin(0.5 * static_cast<double>(input.yaw));
    pose.orientation.w = std::cos(0.5 * static_cast<double>(input.yaw));
  } else {
    pose.orientation.x = input.quaternion[0];
    pose.orientation.y = input.quaternion[1];
    pose.orientation.z = input.quaternion[2];
    pose.orientation.w = input.quaternion[3];
  }
  return pose;
}

// Number of beams the detector uses: the truncated single-precision quotient
// of the angular span and the increment, none when it is not a count.
std::size_t UsedBeams(const LaserScan& scan) {
  const float quotient = (scan.angle_max - scan.angle_min) / scan.angle_increment;
  if (!std::isfinite(quotient) || quotient < 1.0f) return 0;
  const float available = static_cast<float>(scan.ranges.size());
  return quotient >= available ? scan.ranges.size() : static_cast<std::size_t>(quotient);
}

// Each used beam went to exactly one output with its reading, the other
// holding the largest finite float; both outputs got the scan's metadata.
void CheckScanDivision(const LaserScan& scan, const LaserScan& dynamic_scan,
                       const LaserScan& static_scan) {
  for (const LaserScan* output : {&dynamic_scan, &static_scan}) {
    LARKSPUR_FUZZ_CHECK(output->ranges.size() == scan.ranges.size());
    LARKSPUR_FUZZ_CHECK(SameBits(output->angle_increment, scan.angle_increment));
    LARKSPUR_FUZZ_CHECK(SameBits(output->range_max, scan.range_max));
  }
  const std::size_t beams = UsedBeams(scan);
  for (std::size_t i = 0; i < beams; ++i) {
    const float range = scan.ranges[i];
    const bool dynamic_beam = SameBits(dynamic_scan.ranges[i], range) &&
                              SameBits(static_scan.ranges[i], kOtherClassRange);
    const bool static_beam = SameBits(static_scan.ranges[i], range) &&
                             SameBits(dynamic_scan.ranges[i], kOtherClassRange);
    if (!dynamic_beam && !static_beam) {
      std::fprintf(stderr, "beam %zu of %zu: reading %g, dynamic %g, static %g\n", i, beams,
                   static_cast<double>(range), static_cast<double>(dynamic_scan.ranges[i]),
                   static_cast<double>(static_scan.ranges[i]));
    }
    LARKSPUR_FUZZ_CHECK(dynamic_beam || static_beam);
  }
}

void RunLaserDetectorStep(kestrel::perception::DynamicLaserDetector& detector,
                          const LaserDetectorStep& step, LaserScanPtr& dynamic_scan,
                          LaserScanPtr& static_scan) {
  using Step = LaserDetectorStep;
  const LaserScanPtr scan = MakeScan(step.scan);
  if (step.resize_outputs) {
    dynamic_scan->ranges.resize(step.dynamic_size, 1.0f);
    static_scan->ranges.resize(step.static_size, 2.0f);
  }
  switch (step.op) {
    case Step::kProcess:
      detector.Process(scan, MakePose(step.pose), dynamic_scan, static_scan);
      CheckScanDivision(*scan, *dynamic_scan, *static_scan);
      break;
    case Step::kProcessSameOutputs:
      detector.Process(scan, MakePose(step.pose), dynamic_scan, dynamic_scan);
      LARKSPUR_FUZZ_CHECK(dynamic_scan->ranges.size() == scan->ranges.size());
      break;
    case Step::kProcessNullScan:
      detector.Process(nullptr, MakePose(step.pose), dynamic_scan, static_scan);
      break;
    case Step::kProcessNullOutput:
      detector.Process(scan, MakePose(step.pose), dynamic_scan, nullptr);
      break;
    case Step::kIntegrate:
      detector.UpdateOccupancyGridMap(scan);
      break;
    case Step::kDivide:
      detector.Divide(scan, dynamic_scan, static_scan);
      CheckScanDivision(*scan, *dynamic_scan, *static_scan);
      break;
    case Step::kTransform:
      detector.TransformOccupancyGridMap(step.translation, step.angle);
      break;
    default:
      break;
  }
}

}  // namespace

void RunLaserDetector(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  LaserDetectorInput input;
  Transfer(reader, input);
  if (!SmallEnoughGrid(input.config)) return;
  std::unique_ptr<kestrel::perception::DynamicLaserDetector> detector;
  try {
    detector = std::make_unique<kestrel::perception::DynamicLaserDetector>(ToYaml(input.config));
  } catch (const std::invalid_argument&) {
    return;
  }
  auto dynamic_scan = std::make_shared<LaserScan>();
  auto static_scan = std::make_shared<LaserScan>();
  for (const LaserDetectorStep& step : input.steps) {
    RunLaserDetectorStep(*detector, step, dynamic_scan, static_scan);
    // Bicubic moves may overshoot [-1, 1] a little, but never leave the numbers.
    CheckGrid(detector->grid_map(), false);
  }
}

}  // namespace fuzz
}  // namespace larkspur
