#include "recorded_scan_detector.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace larkspur {
namespace support {

std::unique_ptr<kestrel::perception::DynamicLaserDetector> RecordedScanLaserDetector(int width) {
  const std::string path = std::filesystem::temp_directory_path().string() +
                           "/recorded_scan_laser_detector_" + std::to_string(::getpid()) + ".yaml";
  std::ofstream(path) << "resolution: 0.1\nwidth: " << width
                      << "\noccupancy_threshold: 0.0\nlog_odds_obstacle: 0.4\n"
                         "log_odds_occlusion: 0.0\nlog_odds_free_space: -0.2\n";
  auto detector = std::make_unique<kestrel::perception::DynamicLaserDetector>(path);
  std::remove(path.c_str());
  return detector;
}

}  // namespace support
}  // namespace larkspur
