// larkspur_replay: runs the perception library on the built-in scene or on
// recorded data and writes a per-frame table, a summary and pictures.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "datasets.h"
#include "ground_height.h"
#include "moving_score.h"
#include "options.h"
#include "pictures.h"
#include "pipeline.h"
#include "progress.h"
#include "report.h"
#include "score.h"
#include "sensors.h"
#include "sources.h"
#include "warnings.h"

#ifndef LARKSPUR_SOURCE_CONFIG_DIR
#define LARKSPUR_SOURCE_CONFIG_DIR ""
#endif
#ifndef LARKSPUR_INSTALLED_CONFIG_SUBDIR
#define LARKSPUR_INSTALLED_CONFIG_SUBDIR "share/larkspur_perception_libs/config"
#endif

namespace larkspur {
namespace replay {
namespace {

namespace fs = std::filesystem;

// The configuration shipped with the tool: beside the installed program
// (<prefix>/bin/../share/...), else the source tree it was built from.
std::string DefaultConfigFolder() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  std::vector<fs::path> candidates;
  if (!error)
    candidates.push_back(program.parent_path().parent_path() / LARKSPUR_INSTALLED_CONFIG_SUBDIR);
  candidates.emplace_back(LARKSPUR_SOURCE_CONFIG_DIR);
  for (const fs::path& folder : candidates) {
    if (!folder.empty() && fs::exists(folder / "dynamic_cloud_detector.yaml"))
      return folder.string();
  }
  return {};
}

ConfigFiles ChooseConfigFiles(const Options& options) {
  std::vector<std::string> folders;
  if (!options.config_folder.empty()) {
    if (!fs::is_directory(options.config_folder)) {
      throw ConfigError(options.config_folder + ": configuration folder not found");
    }
    folders.push_back(options.config_folder);
  }
  const std::string defaults = DefaultConfigFolder();
  if (!options.sensor.empty()) folders.push_back(SensorConfigFolder(defaults, options.sensor));
  // Recorded HDL-64E frames need their own ground and camera parameters.
  if (options.input == InputKind::kKitti && !defaults.empty()) {
    folders.push_back((fs::path(defaults) / "kitti_hdl64").string());
  }
  folders.push_back(defaults);
  ConfigFiles files = FindConfigFiles(folders);
  const auto override_with = [](std::string& file, const std::string& given) {
    if (given.empty()) return;
    if (!fs::is_regular_file(given)) throw ConfigError(given + ": configuration file not found");
    file = given;
  };
  override_with(files.cloud_detector, options.cloud_detector_file);
  override_with(files.laser_detector, options.laser_detector_file);
  override_with(files.ground, options.ground_file);
  override_with(files.cluster, options.cluster_file);
  override_with(files.camera, options.camera_file);
  return files;
}

// Whether the ground set is the tool's default, tuned for its built-in scene,
// rather than one the user chose for the input.
bool DefaultGroundSet(const Options& options) {
  const bool in_config_folder =
      !options.config_folder.empty() &&
      fs::exists(fs::path(options.config_folder) / "remove_ground_linefit.yaml");
  return options.ground_file.empty() && options.sensor.empty() && !in_config_folder;
}

// Puts the ground set's heights where the input's ground is: at
// --ground-height when given; for PCD input with the default set, at the
// height estimated from the first frames. Returns a notice for the user.
std::optional<std::string> PlaceGround(const Options& options, FrameSource& source,
                                       ReplayConfig& config) {
  auto& params = config.ground;
  if (options.ground_height) {
    ShiftGroundHeights(params, static_cast<float>(*options.ground_height));
    return std::nullopt;
  }
  if (options.input != InputKind::kPcd || !DefaultGroundSet(options)) return std::nullopt;
  constexpr std::size_t kEstimateFrames = 3;
  const std::size_t end = std::min(source.size(), options.first_frame + kEstimateFrames);
  std::vector<Frame> frames;
  std::vector<const Cloud*> clouds;
  for (std::size_t i = options.first_frame; i < end; ++i) frames.push_back(source.Load(i));
  for (const Frame& frame : frames) clouds.push_back(frame.cloud.get());
  const std::optional<GroundEstimate> estimate = EstimateGroundHeight(clouds);
  const std::string frame_range = fmt::format("frames {}-{}", options.first_frame, end - 1);
  if (!estimate) {
    return fmt::format(
        "ground height: no estimate (fewer than 200 points {:.0f}-{:.0f} m around the origin in "
        "{}); the default ground set's ground_height {:.2f} m is used. Give --ground-height "
        "METRES or --sensor NAME.",
        kRingInner, kRingOuter, frame_range, params.ground_height);
  }
  const float shift = estimate->height - params.ground_height;
  ShiftGroundHeights(params, estimate->height);
  return fmt::format(
      "ground height: {:.2f} m, estimated from {} (the dominant low height of {} points "
      "{:.0f}-{:.0f} m around the origin); the default ground set's heights are shifted by "
      "{:+.2f} m. Give --ground-height METRES or --sensor NAME to set it.",
      estimate->height, frame_range, estimate->points, kRingInner, kRingOuter, shift);
}

std::unique_ptr<FrameSource> OpenSource(const Options& options) {
  switch (options.input) {
    case InputKind::kScene:
      return MakeSceneSource(options.seed, options.scene_frames);
    case InputKind::kKitti:
      return MakeKittiSource(
          {options.kitti_folder, options.poses, options.labels, options.calibration});
    case InputKind::kPcd:
      return MakePcdSource(options.pcd_files);
    case InputKind::kCarmen:
      return MakeCarmenSource(options.scan_file);
    case InputKind::kLaserText:
      return MakeLaserTextSource(options.scan_file);
  }
  throw UsageError("unknown input");
}

// Frames to draw: the ones asked for, else `count` evenly spaced frames of
// those processed, the last among them.
std::set<std::size_t> PictureFrames(const Options& options, std::size_t first, std::size_t end) {
  std::set<std::size_t> frames;
  if (!options.picture_frames.empty()) {
    for (const std::size_t f : options.picture_frames) {
      if (f >= first && f < end) frames.insert(f);
    }
    return frames;
  }
  const std::size_t count = std::min(options.picture_count.value_or(4), end - first);
  for (std::size_t k = 1; k <= count; ++k)
    frames.insert(first + (k * (end - first) + count - 1) / count - 1);
  return frames;
}

class Replay {
 public:
  Replay(const Options& options, const ReplayConfig& config, FrameSource& source,
         std::vector<std::string> notices)
      : options_(options),
        config_(config),
        source_(source),
        out_(options.out_folder),
        pipeline_(config),
        observable_(ObservableRegionsOf(pipeline_)),
        report_((out_ / "frames.csv").string(), config.cloud_warmup_frames,
                config.laser_warmup_frames),
        plausibility_(config.ground.ground_height, config.laser_warmup_frames),
        notices_(std::move(notices)) {
    const double default_range = options.input == InputKind::kKitti ? 40.0 : 25.0;
    view_range_ = options.view_range.value_or(default_range);
    // A planar laser sees the nearby scene; its pictures zoom in by default.
    laser_view_range_ = options.view_range.value_or(15.0);
  }

  void Run(std::size_t first, std::size_t end) {
    const std::set<std::size_t> drawn = PictureFrames(options_, first, end);
    ProgressBar progress(end - first, ProgressBar::StderrIsTerminal());
    for (std::size_t index = first; index < end; ++index) {
      const Frame frame = source_.Load(index);
      const FrameOutput output = pipeline_.Run(frame);
      report_.Add(MakeRow(frame, output, ScoreFrame(frame, output, observable_)));
      plausibility_.Observe(frame, output);
      if (drawn.count(index) > 0) DrawPictures(frame, output);
      progress.Step();
    }
    progress.Finish();
  }

  std::vector<std::string> Warnings() const { return plausibility_.Warnings(); }

  std::string Finish() {
    std::string summary = report_.Summary(source_.Describe());
    if (!notices_.empty()) {
      summary += "\nNotes:\n";
      for (const std::string& notice : notices_) summary += "  - " + notice + "\n";
    }
    summary += plausibility_.Summary();
    WriteText(out_ / "summary.txt", summary);
    WriteText(out_ / "accuracy.csv", report_.AccuracyCsv());
    SaveMovingScores("points", report_.moving_points());
    SaveMovingScores("beams", report_.moving_beams());
    std::string text = summary + "\nOutput:\n";
    text += fmt::format("  table     {}\n", (out_ / "frames.csv").string());
    text += fmt::format("  summary   {}, {}\n", (out_ / "summary.txt").string(),
                        (out_ / "accuracy.csv").string());
    if (pictures_.empty()) {
      text += "  pictures  none\n";
    } else {
      text += fmt::format("  pictures  {} PNG files in {}, e.g. {}\n", pictures_.size(),
                          out_.string(), pictures_.front());
    }
    return text;
  }

 private:
  void DrawPictures(const Frame& frame, const FrameOutput& output) {
    const std::string stem = fmt::format("{:06d}.png", frame.index);
    if (output.cloud) {
      Save("birds_eye_" + stem, DrawBirdsEye(frame, *output.cloud, config_, view_range_));
      if (!frame.cloud_truth.empty()) {
        Save("moving_truth_" + stem, DrawMovingTruth(frame, *output.cloud, config_, view_range_));
      }
      Save("cloud_grid_" + stem,
           DrawGrid(pipeline_.cloud_detector().grid_map(), config_.cloud_occupancy_threshold,
                    fmt::format("Frame {}: log-odds grid of DynamicCloudDetector after Update",
                                frame.index),
                    LidarFreeSpaceMode(config_) ? nullptr : &config_.camera));
    }
    if (output.scan) {
      Save("laser_" + stem, DrawLaser(frame, *output.scan, laser_view_range_));
      Save("laser_grid_" + stem,
           DrawGrid(pipeline_.laser_detector().grid_map(), config_.laser_occupancy_threshold,
                    fmt::format("Frame {}: log-odds grid of DynamicLaserDetector after Process",
                                frame.index),
                    nullptr));
    }
  }

  // Per-frame figures of the moving class as a table and a plot over time.
  void SaveMovingScores(const std::string& what, const MovingTally& tally) {
    if (!tally.has_truth()) return;
    WriteText(out_ / ("moving_" + what + ".csv"), tally.FrameCsv());
    Save("moving_" + what + "_over_time.png",
         DrawScoresOverTime(tally,
                            fmt::format("Moving {}: precision, recall, IoU per frame", what)));
  }

  void Save(const std::string& name, const cv::Mat& image) {
    const std::string path = (out_ / name).string();
    SavePng(path, image);
    pictures_.push_back(path);
  }

  static void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    if (!file) throw std::runtime_error(path.string() + ": cannot write file");
  }

  const Options& options_;
  const ReplayConfig& config_;
  FrameSource& source_;
  fs::path out_;
  Pipeline pipeline_;
  ObservableRegions observable_;
  Report report_;
  Plausibility plausibility_;
  std::vector<std::string> notices_;
  double view_range_ = 30.0;
  double laser_view_range_ = 15.0;
  std::vector<std::string> pictures_;
};

// The library's logger reads these once; a tool run should not begin with
// notices about unset variables. Values the user set are kept.
void QuietLoggerDefaults() {
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  ::setenv("SPDLOG_LEVEL", "info", 0);
}

int Main(int argc, const char* const argv[]) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "larkspur_replay: " << error.what() << '\n';
    return 2;
  }
  if (options.help) {
    std::cout << UsageText();
    return 0;
  }
  QuietLoggerDefaults();
  try {
    ReplayConfig config = LoadConfig(ChooseConfigFiles(options));
    const std::unique_ptr<FrameSource> source = OpenSource(options);
    if (options.first_frame >= source->size()) {
      throw std::runtime_error(fmt::format("--first {}: the input has only {} frames",
                                           options.first_frame, source->size()));
    }
    std::vector<std::string> notices = source->Notices();
    if (auto notice = PlaceGround(options, *source, config)) notices.push_back(std::move(*notice));
    for (const std::string& notice : notices)
      std::cerr << "larkspur_replay: note: " << notice << '\n';
    const std::size_t available = source->size() - options.first_frame;
    const std::size_t end =
        options.first_frame + std::min(available, options.max_frames.value_or(available));
    std::error_code error;
    fs::create_directories(options.out_folder, error);
    if (error)
      throw std::runtime_error(options.out_folder + ": cannot create folder: " + error.message());
    Replay replay(options, config, *source, std::move(notices));
    replay.Run(options.first_frame, end);
    std::cout << '\n' << replay.Finish() << std::flush;
    for (const std::string& warning : replay.Warnings()) {
      std::cerr << "larkspur_replay: warning: " << warning << '\n';
    }
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "\nlarkspur_replay: error: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace
}  // namespace replay
}  // namespace larkspur

int main(int argc, char* argv[]) { return larkspur::replay::Main(argc, argv); }
