#include "detector_checks.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "checks.h"

namespace larkspur {
namespace fuzz {

namespace {

// A file that the laser detector reads its configuration from, removed at exit.
class ConfigFile {
 public:
  ConfigFile() {
    char name[] = "/tmp/larkspur_fuzz_config_XXXXXX";
    const int fd = mkstemp(name);
    LARKSPUR_FUZZ_CHECK(fd >= 0);
    close(fd);
    path_ = name;
  }
  ~ConfigFile() { unlink(path_.c_str()); }
  const std::string& Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace

void CheckGrid(const kestrel::perception::OccupancyGridMap& grid, bool saturated) {
  const cv::Mat& map = grid.log_odds_map();
  const std::size_t cells =
      static_cast<std::size_t>(grid.grid_width()) * static_cast<std::size_t>(grid.grid_width());
  LARKSPUR_FUZZ_CHECK(map.isContinuous() && map.type() == CV_32FC1 && map.total() == cells);
  const float* values = map.ptr<float>(0);
  for (std::size_t i = 0; i < cells; ++i) {
    LARKSPUR_FUZZ_CHECK(std::isfinite(values[i]));
    if (saturated) LARKSPUR_FUZZ_CHECK(values[i] >= -1.0f && values[i] <= 1.0f);
  }
}

bool SmallEnoughGrid(const DetectorConfig& config) {
  const double cells = GridCellsPerSide(config);
  return std::isnan(cells) || cells <= kMaxSequenceCellsPerSide;
}

const std::string& WriteConfigFile(const std::string& text) {
  static ConfigFile file;
  return file.Write(text);
}

}  // namespace fuzz
}  // namespace larkspur
