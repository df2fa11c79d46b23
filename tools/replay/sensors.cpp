#include "sensors.h"

#include <yaml-cpp/yaml.h>

#include <filesystem>

#include "config.h"

namespace larkspur {
namespace replay {

std::string SensorConfigFolder(const std::string& config_folder, const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path index = fs::path(config_folder) / "sensors" / "sensors.yaml";
  YAML::Node sensors;
  try {
    sensors = YAML::LoadFile(index.string());
  } catch (const YAML::Exception& error) {
    throw ConfigError(index.string() + ": cannot read the sensor list: " + error.what());
  }
  std::string known;
  for (const auto& entry : sensors) {
    const std::string key = entry.first.Scalar();
    if (key == name && entry.second.IsScalar()) {
      const fs::path folder = index.parent_path() / entry.second.Scalar();
      if (!fs::is_directory(folder)) {
        throw ConfigError(index.string() + ": folder of sensor \"" + name +
                          "\" not found: " + folder.string());
      }
      return folder.lexically_normal().string();
    }
    known += (known.empty() ? "" : ", ") + key;
  }
  throw ConfigError("--sensor " + name + ": unknown sensor (" + index.string() + " lists " + known +
                    ")");
}

}  // namespace replay
}  // namespace larkspur
