// The bytes as the YAML text of both detectors' configuration.
#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "checks.h"
#include "detector_checks.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/ego_grid_params.h"
#include "targets.h"

namespace larkspur {
namespace fuzz {
namespace {

// Whether `text` configures a grid that the detectors accept but that is
// larger than kMaxSequenceCellsPerSide: building one costs up to seconds
// under the sanitizers, and would stall the search for other faults. Grids
// refused for their size are still built (and refused) every time.
bool LargeAcceptedGrid(const std::string& text) {
  try {
    const YAML::Node node = YAML::Load(text);
    DetectorConfig config;
    config.resolution = node["resolution"].as<float>();
    config.width = node["width"].as<float>();
    const double cells = GridCellsPerSide(config);
    return cells > kMaxSequenceCellsPerSide && cells <= kestrel::perception::kMaxGridCellsPerSide;
  } catch (const YAML::Exception&) {
    return false;
  }
}

}  // namespace

// The bytes as the YAML text of both detectors' configuration. Only the
// documented exceptions may come out.
void RunDetectorConfig(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (LargeAcceptedGrid(text)) return;
  try {
    kestrel::perception::DynamicCloudDetector detector(YAML::Load(text));
    LARKSPUR_FUZZ_CHECK(detector.grid_map().grid_width() > 0);
  } catch (const YAML::Exception&) {
  } catch (const std::invalid_argument&) {
  }
  try {
    kestrel::perception::DynamicLaserDetector detector(YAML::Load(text));
    LARKSPUR_FUZZ_CHECK(detector.grid_map().grid_width() > 0);
  } catch (const YAML::Exception&) {
  } catch (const std::invalid_argument&) {
  }
}

}  // namespace fuzz
}  // namespace larkspur
