// Parameter sets of LiDAR models (--sensor NAME). config/sensors/sensors.yaml
// maps each name to a folder, relative to that file, whose parameter files
// replace the defaults; a set owned elsewhere (the KITTI HDL-64E one) is
// named there by its own folder rather than copied.
#pragma once

#include <string>

namespace larkspur {
namespace replay {

// The folder of sensor `name`'s set, under the configuration folder
// `config_folder`. Throws ConfigError naming the index file when it cannot be
// read, and listing the known names when `name` is not among them.
std::string SensorConfigFolder(const std::string& config_folder, const std::string& name);

}  // namespace replay
}  // namespace larkspur
