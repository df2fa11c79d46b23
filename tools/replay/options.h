// Command line of larkspur_replay.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace larkspur {
namespace replay {

// A command line that cannot be understood; exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class InputKind { kScene, kKitti, kPcd, kCarmen, kLaserText };

struct Options {
  InputKind input = InputKind::kScene;
  std::uint32_t seed = 1;
  std::size_t scene_frames = 120;
  std::string kitti_folder;
  std::string poses;
  std::string labels;
  std::string calibration;
  std::vector<std::string> pcd_files;
  std::string scan_file;  // CARMEN log or laser text

  std::size_t first_frame = 0;
  std::optional<std::size_t> max_frames;

  std::string config_folder;  // overlay on the default configuration
  std::string sensor;         // parameter set of config/sensors/sensors.yaml
  // The ground's z in the cloud's frame; shifts the ground set's heights.
  std::optional<double> ground_height;
  std::string cloud_detector_file, laser_detector_file, ground_file, cluster_file, camera_file;

  std::string out_folder = "out";
  std::optional<std::size_t> picture_count;  // evenly spaced frames
  std::vector<std::size_t> picture_frames;   // explicit frame numbers
  std::optional<double> view_range;          // metres; default per input
  bool help = false;
};

Options ParseOptions(int argc, const char* const argv[]);
std::string UsageText();

}  // namespace replay
}  // namespace larkspur
