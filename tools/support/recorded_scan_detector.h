// The laser detector set-up shared by the tests and benchmarks that run the
// recorded planar scans.
#pragma once

#include <memory>

#include "larkspur_perception_libs/dynamic_laser_detector.h"

namespace larkspur {
namespace support {

// A laser detector suited to the recorded scans: 0.1 m cells over a grid
// `width` metres wide, hits +0.4 (+0.2 next to them), free space -0.2, no
// occlusion increment and threshold 0, so that a cell hit in a few
// consecutive scans turns static.
std::unique_ptr<kestrel::perception::DynamicLaserDetector> RecordedScanLaserDetector(int width);

}  // namespace support
}  // namespace larkspur
