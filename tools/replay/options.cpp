#include "options.h"

#include <cmath>
#include <optional>
#include <sstream>

namespace larkspur {
namespace replay {
namespace {

std::uint64_t ParseCount(const std::string& option, const std::string& text,
                         std::uint64_t largest) {
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    if (text.empty() || text[0] == '-' || text[0] == '+') throw std::invalid_argument(text);
    value = std::stoull(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value > largest) {
    throw UsageError(option + ": expected a whole number up to " + std::to_string(largest) +
                     ", got '" + text + "'");
  }
  return value;
}

// The finite number that the whole of `text` spells, if it spells one.
std::optional<double> FiniteNumber(const std::string& text) {
  std::size_t used = 0;
  double value = 0.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (used == 0 || used != text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

double ParsePositive(const std::string& option, const std::string& text) {
  const std::optional<double> value = FiniteNumber(text);
  if (!value || *value <= 0.0) {
    throw UsageError(option + ": expected a positive number, got '" + text + "'");
  }
  return *value;
}

double ParseFinite(const std::string& option, const std::string& text) {
  const std::optional<double> value = FiniteNumber(text);
  if (!value) throw UsageError(option + ": expected a number, got '" + text + "'");
  return *value;
}

std::vector<std::size_t> ParseFrameList(const std::string& option, const std::string& text) {
  std::vector<std::size_t> frames;
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    frames.push_back(static_cast<std::size_t>(ParseCount(option, item, 100000000)));
  }
  if (frames.empty()) throw UsageError(option + ": expected frame numbers like 10,20,30");
  return frames;
}

void SetInput(Options& options, InputKind kind, bool& chosen, const std::string& option) {
  if (chosen && options.input != kind) {
    throw UsageError(option + ": only one input can be replayed at a time");
  }
  chosen = true;
  options.input = kind;
}

}  // namespace

std::string UsageText() {
  return R"(Usage: larkspur_replay [input] [options]

Runs the perception library frame by frame as a robot's node would: ground
removal, dynamic-point detection, clustering and camera frames on point clouds;
dynamic-beam detection on laser scans. Writes a per-frame table, a summary and
pictures into the output folder.

Input (one of; default: the built-in scene):
  --scene                 built-in simulated street drive with ground truth
      --seed N            scene seed (default 1)
      --frames N          scene length in frames at 10 Hz (default 120)
  --kitti FOLDER          KITTI velodyne .bin frames (FOLDER or FOLDER/velodyne)
      --poses FILE        KITTI pose file, one 3x4 row-major pose per frame
                          (default FOLDER/poses.txt, else FOLDER/poses_estimated.txt,
                          else identity poses: a sensor at rest)
      --labels FOLDER     SemanticKITTI .label files (default FOLDER/labels);
                          labelled frames are scored
      --calib FILE        KITTI calib.txt: the poses are camera-0 poses, turned
                          into LiDAR poses with its "Tr" entry. Without it,
                          FOLDER/poses.txt beside a FOLDER/calib.txt holding
                          "Tr" is taken as SemanticKITTI's camera-0 poses and
                          turned into LiDAR poses (Tr^-1 * pose * Tr);
                          poses_estimated.txt and files named with --poses
                          are LiDAR poses, used as they are.
  --pcd FILE              a PCD file (repeat for more frames); identity poses
  --carmen FILE           CARMEN log: the front laser's FLASER or ROBOTLASER1
                          lines with the pose they carry, beam layout and
                          maximum range as the log states them
  --laser-text FILE       one scan per line: stamp angle_min angle_increment
                          range_min range_max n r_0 ... r_{n-1}

Frames:
  --first N               skip the first N frames of the input
  --max-frames N          process at most N frames

Configuration (YAML; see the documented examples in the config folder):
  --config FOLDER         take the files found in FOLDER, the rest from the
                          defaults (KITTI input starts from config/kitti_hdl64)
  --cloud-detector FILE   dynamic_cloud_detector.yaml
  --laser-detector FILE   dynamic_laser_detector.yaml
  --ground FILE           remove_ground_linefit.yaml
  --cluster FILE          cloud_cluster.yaml
  --camera FILE           camera.yaml
  --sensor NAME           the parameter set of a LiDAR (config/sensors):
                          vlp16, hdl32, hdl64 (KITTI), os128
  --ground-height METRES  the ground's z in the cloud's frame (KITTI -1.73, 0
                          for a cloud in a ground-level base frame): every
                          height of the ground set that is measured from the
                          origin moves with it. Without it, --pcd input with
                          no --ground, --sensor or ground file in --config
                          estimates it from the first frames (printed).

Output:
  --out FOLDER            output folder (default out)
  --pictures N            pictures of N evenly spaced frames (default 4, 0: none)
  --picture-frames LIST   pictures of these frames, e.g. 10,50,90
  --view-range METRES     half width of the pictures (default 25, KITTI 40,
                          laser pictures 15)
  --help                  this text

Truth and scores:
  Moving truth comes from SemanticKITTI labels (classes 252-259 move) or, for
  a laser that never moves (every scan at one pose), from the scans
  themselves: a beam is moving when its reading is valid and more than 0.3 m
  shorter than its background, the 90th percentile of its valid readings
  over the recording. Every point or beam with truth is scored from frame 4
  on, whatever the parameters: IoU = TP / (TP + FP + FN) of the moving class,
  precision, recall, false dynamic items per frame, also inside the region
  the detector observes (camera region of interest; laser grid).

Exit status: 0 on success, 1 when an input or configuration file is bad (the
message names the file and the line or frame), 2 for a bad command line.
)";
}

Options ParseOptions(int argc, const char* const argv[]) {
  Options options;
  bool input_chosen = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    std::optional<std::string> attached;
    if (const auto equals = option.find('=');
        option.rfind("--", 0) == 0 && equals != std::string::npos) {
      attached = option.substr(equals + 1);
      option = option.substr(0, equals);
    }
    const auto value = [&]() -> std::string {
      if (attached) return *attached;
      if (i + 1 >= argc) throw UsageError(option + ": missing value");
      return argv[++i];
    };
    if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--scene") {
      SetInput(options, InputKind::kScene, input_chosen, option);
    } else if (option == "--seed") {
      options.seed = static_cast<std::uint32_t>(ParseCount(option, value(), 0xFFFFFFFFu));
    } else if (option == "--frames") {
      options.scene_frames = static_cast<std::size_t>(ParseCount(option, value(), 1000000));
    } else if (option == "--kitti") {
      SetInput(options, InputKind::kKitti, input_chosen, option);
      options.kitti_folder = value();
    } else if (option == "--poses") {
      options.poses = value();
    } else if (option == "--labels") {
      options.labels = value();
    } else if (option == "--calib") {
      options.calibration = value();
    } else if (option == "--pcd") {
      SetInput(options, InputKind::kPcd, input_chosen, option);
      options.pcd_files.push_back(value());
    } else if (option == "--carmen") {
      SetInput(options, InputKind::kCarmen, input_chosen, option);
      options.scan_file = value();
    } else if (option == "--laser-text") {
      SetInput(options, InputKind::kLaserText, input_chosen, option);
      options.scan_file = value();
    } else if (option == "--first") {
      options.first_frame = static_cast<std::size_t>(ParseCount(option, value(), 100000000));
    } else if (option == "--max-frames") {
      options.max_frames = static_cast<std::size_t>(ParseCount(option, value(), 100000000));
    } else if (option == "--config") {
      options.config_folder = value();
    } else if (option == "--sensor") {
      options.sensor = value();
    } else if (option == "--ground-height") {
      options.ground_height = ParseFinite(option, value());
    } else if (option == "--cloud-detector") {
      options.cloud_detector_file = value();
    } else if (option == "--laser-detector") {
      options.laser_detector_file = value();
    } else if (option == "--ground") {
      options.ground_file = value();
    } else if (option == "--cluster") {
      options.cluster_file = value();
    } else if (option == "--camera") {
      options.camera_file = value();
    } else if (option == "--out") {
      options.out_folder = value();
    } else if (option == "--pictures") {
      options.picture_count = static_cast<std::size_t>(ParseCount(option, value(), 100000));
    } else if (option == "--picture-frames") {
      options.picture_frames = ParseFrameList(option, value());
    } else if (option == "--view-range") {
      options.view_range = ParsePositive(option, value());
    } else {
      throw UsageError("unknown option '" + option + "' (see --help)");
    }
  }
  if (options.out_folder.empty()) throw UsageError("--out: the folder name is empty");
  return options;
}

}  // namespace replay
}  // namespace larkspur
