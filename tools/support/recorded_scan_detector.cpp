#include "recorded_scan_detector.h"

namespace larkspur {
namespace support {

std::unique_ptr<kestrel::perception::DynamicLaserDetector> RecordedScanLaserDetector(int width) {
  kestrel::perception::DynamicLaserDetectorParams params;
  params.resolution = 0.1f;
  params.width = static_cast<float>(width);
  params.occupancy_threshold = 0.0f;
  params.log_odds_obstacle = 0.4f;
  params.log_odds_occlusion = 0.0f;
  params.log_odds_free_space = -0.2f;
  // log_odds_sub_obstacle_scale keeps its 0.5: +0.2 next to a hit.
  return std::make_unique<kestrel::perception::DynamicLaserDetector>(params);
}

}  // namespace support
}  // namespace larkspur
