#include "sources.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

#include "carmen.h"
#include "datasets.h"
#include "laser_truth.h"
#include "scene.h"
#include "unusable_points.h"

namespace larkspur {
namespace replay {
namespace {

namespace fs = std::filesystem;
using datasets::DatasetError;

class SceneSource : public FrameSource {
 public:
  SceneSource(std::uint32_t seed, std::size_t frames)
      : scene_(Scene::Street(seed)), seed_(seed), frames_(frames) {}

  std::size_t size() const override { return frames_; }

  Frame Load(std::size_t index) override {
    const int frame_number = static_cast<int>(index);
    SimulatedCloud cloud = scene_.Cloud(frame_number);
    SimulatedScan scan = scene_.Scan(frame_number);
    Frame frame;
    frame.index = index;
    frame.name = "scene frame " + std::to_string(index);
    frame.cloud = std::move(cloud.cloud);
    frame.cloud_pose = cloud.pose;
    frame.cloud_truth = std::move(cloud.truth);
    frame.scan = std::make_shared<sensor_msgs::msg::LaserScan>(std::move(scan.scan));
    frame.scan_pose = datasets::PlanarPose(scan.pose.x, scan.pose.y, scan.pose.yaw);
    frame.scan_truth = std::move(scan.truth);
    return frame;
  }

  std::string Describe() const override {
    return "built-in street scene, seed " + std::to_string(seed_) + ", " + std::to_string(frames_) +
           " frames at 10 Hz";
  }

 private:
  Scene scene_;
  std::uint32_t seed_;
  std::size_t frames_;
};

std::vector<fs::path> ListFiles(const fs::path& folder, const std::string& extension) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_regular_file() && entry.path().extension() == extension) {
      files.push_back(entry.path());
    }
  }
  if (error) throw DatasetError(folder.string() + ": cannot list folder: " + error.message());
  std::sort(files.begin(), files.end());
  return files;
}

fs::path FirstExisting(const std::vector<fs::path>& candidates) {
  for (const auto& candidate : candidates) {
    if (fs::exists(candidate)) return candidate;
  }
  return {};
}

class KittiSource : public FrameSource {
 public:
  explicit KittiSource(const KittiInput& input) : folder_(input.folder) {
    if (!fs::is_directory(folder_)) throw DatasetError(folder_.string() + ": not a folder");
    const fs::path velodyne = folder_ / "velodyne";
    bins_ = ListFiles(fs::is_directory(velodyne) ? velodyne : folder_, ".bin");
    if (bins_.empty()) {
      throw DatasetError(folder_.string() + ": no .bin frames (in the folder or its velodyne/)");
    }
    ReadPoses(input);
    const fs::path labels = input.labels.empty() ? folder_ / "labels" : fs::path(input.labels);
    if (!input.labels.empty() && !fs::is_directory(labels)) {
      throw DatasetError(input.labels + ": labels folder not found");
    }
    if (fs::is_directory(labels)) labels_ = labels;
  }

  std::size_t size() const override { return bins_.size(); }

  Frame Load(std::size_t index) override {
    Frame frame;
    frame.index = index;
    frame.name = bins_[index].string();
    frame.cloud = datasets::ReadKittiBin(frame.name);
    frame.cloud_pose = poses_[index];
    const fs::path label_file = LabelFile(index);
    if (!label_file.empty()) {
      const auto labels =
          datasets::ReadSemanticKittiLabels(label_file.string(), frame.cloud->points.size());
      frame.cloud_truth.reserve(labels.size());
      for (const std::uint32_t label : labels) {
        frame.cloud_truth.push_back(TruthOfSemanticKittiLabel(label));
      }
    }
    DropUnusablePoints(frame);
    return frame;
  }

  std::string Describe() const override {
    std::size_t labelled = 0;
    for (std::size_t i = 0; i < bins_.size(); ++i) labelled += LabelFile(i).empty() ? 0 : 1;
    return "KITTI folder " + folder_.string() + " (" + std::to_string(bins_.size()) +
           " frames, poses " + poses_file_ + ", labels for " + std::to_string(labelled) + ")";
  }

  std::vector<std::string> Notices() const override { return notices_; }

 private:
  void ReadPoses(const KittiInput& input) {
    const fs::path poses_path =
        input.poses.empty()
            ? FirstExisting({folder_ / "poses.txt", folder_ / "poses_estimated.txt"})
            : fs::path(input.poses);
    if (poses_path.empty()) {
      poses_file_ = "none";
      poses_.assign(bins_.size(), Eigen::Matrix4f::Identity());
      notices_.push_back(folder_.string() +
                         ": no poses file (poses.txt or poses_estimated.txt; --poses names "
                         "one): every frame is taken at the identity pose, so the dynamic "
                         "detection is only meaningful for a sensor at rest");
      return;
    }
    poses_file_ = poses_path.string();
    poses_ = datasets::ReadKittiPoses(poses_file_);
    if (poses_.size() < bins_.size()) {
      throw DatasetError(poses_file_ + ": " + std::to_string(poses_.size()) + " poses for " +
                         std::to_string(bins_.size()) + " frames; frame " +
                         bins_[poses_.size()].filename().string() + " has no pose");
    }
    std::optional<Eigen::Matrix4f> tr;
    if (!input.calibration.empty()) {
      tr = datasets::ReadKittiVeloToCam(input.calibration);
      poses_file_ += " (camera poses, turned into LiDAR poses with " + input.calibration + ")";
    } else if (input.poses.empty() && poses_path.filename() == "poses.txt" &&
               fs::is_regular_file(folder_ / "calib.txt")) {
      // SemanticKITTI's poses.txt holds camera-0 poses; forgetting the
      // conversion would move the grid along the wrong path without a word.
      const std::string calibration = (folder_ / "calib.txt").string();
      tr = datasets::FindKittiVeloToCam(calibration);
      poses_file_ += tr ? " (camera poses, turned into LiDAR poses with " + calibration + ")"
                        : " (taken as LiDAR poses: " + calibration + " has no Tr entry)";
    }
    if (tr) {
      // Camera poses to LiDAR poses: T_lidar = Tr^-1 * T_camera * Tr.
      const Eigen::Matrix4f tr_inverse = tr->inverse();
      for (auto& pose : poses_) pose = tr_inverse * pose * *tr;
    }
  }

  fs::path LabelFile(std::size_t index) const {
    if (labels_.empty()) return {};
    fs::path file = labels_ / bins_[index].filename();
    file.replace_extension(".label");
    return fs::exists(file) ? file : fs::path();
  }

  fs::path folder_;
  std::vector<fs::path> bins_;
  std::vector<Eigen::Matrix4f> poses_;
  std::string poses_file_;
  fs::path labels_;
  std::vector<std::string> notices_;
};

class PcdSource : public FrameSource {
 public:
  explicit PcdSource(std::vector<std::string> files) : files_(std::move(files)) {}

  std::size_t size() const override { return files_.size(); }

  Frame Load(std::size_t index) override {
    Frame frame;
    frame.index = index;
    frame.name = files_[index];
    frame.cloud = datasets::ReadPcd(frame.name);
    DropUnusablePoints(frame);
    return frame;
  }

  std::string Describe() const override {
    return std::to_string(files_.size()) + " PCD file(s), identity poses";
  }

 private:
  std::vector<std::string> files_;
};

class ScanListSource : public FrameSource {
 public:
  ScanListSource(std::string file, std::string kind, std::vector<datasets::ScanRecord> records,
                 std::vector<std::string> notices = {})
      : file_(std::move(file)),
        kind_(std::move(kind)),
        records_(std::move(records)),
        notices_(std::move(notices)) {
    if (records_.empty()) throw DatasetError(file_ + ": no scans in the file");
    if (AtRest()) {
      std::vector<const sensor_msgs::msg::LaserScan*> scans;
      for (const auto& record : records_) scans.push_back(&record.scan);
      truth_ = BackgroundTruth(scans, BackgroundRule{});
    }
  }

  std::size_t size() const override { return records_.size(); }

  Frame Load(std::size_t index) override {
    Frame frame;
    frame.index = index;
    frame.name = file_ + " scan " + std::to_string(index);
    frame.scan = std::make_shared<sensor_msgs::msg::LaserScan>(records_[index].scan);
    frame.scan_pose = records_[index].pose;
    if (!truth_.empty()) frame.scan_truth = truth_[index];
    return frame;
  }

  std::string Describe() const override {
    return kind_ + " " + file_ + " (" + std::to_string(records_.size()) + " scans" +
           (truth_.empty()
                ? ")"
                : "; the laser is at rest: " + DescribeBackgroundRule(BackgroundRule{}) + ")");
  }

  std::vector<std::string> Notices() const override { return notices_; }

 private:
  // Every scan taken at the first scan's pose: beams can be compared by index.
  bool AtRest() const {
    const auto same = [&](const geometry_msgs::msg::Pose& a) {
      const geometry_msgs::msg::Pose& b = records_.front().pose;
      return a.position.x == b.position.x && a.position.y == b.position.y &&
             a.position.z == b.position.z && a.orientation.x == b.orientation.x &&
             a.orientation.y == b.orientation.y && a.orientation.z == b.orientation.z &&
             a.orientation.w == b.orientation.w;
    };
    return std::all_of(records_.begin(), records_.end(),
                       [&](const datasets::ScanRecord& r) { return same(r.pose); });
  }

  std::string file_;
  std::string kind_;
  std::vector<datasets::ScanRecord> records_;
  std::vector<std::vector<PointTruth>> truth_;  // empty unless the laser is at rest
  std::vector<std::string> notices_;
};

}  // namespace

std::unique_ptr<FrameSource> MakeSceneSource(std::uint32_t seed, std::size_t frames) {
  return std::make_unique<SceneSource>(seed, frames);
}

std::unique_ptr<FrameSource> MakeKittiSource(const KittiInput& input) {
  return std::make_unique<KittiSource>(input);
}

std::unique_ptr<FrameSource> MakePcdSource(const std::vector<std::string>& files) {
  return std::make_unique<PcdSource>(files);
}

std::unique_ptr<FrameSource> MakeCarmenSource(const std::string& file) {
  datasets::CarmenLog log = datasets::ReadCarmen(file);
  std::vector<std::string> notices;
  if (log.rear_laser_lines > 0) {
    notices.push_back(file + ": " + std::to_string(log.rear_laser_lines) +
                      " rear-laser lines (RLASER, ROBOTLASER2) not replayed: only the front "
                      "laser feeds the laser detector");
  }
  return std::make_unique<ScanListSource>(file, "CARMEN log (" + log.front_laser_lines + " lines)",
                                          std::move(log.scans), std::move(notices));
}

std::unique_ptr<FrameSource> MakeLaserTextSource(const std::string& file) {
  return std::make_unique<ScanListSource>(file, "laser scan text", datasets::ReadLaserPeople(file));
}

PointTruth TruthOfSemanticKittiLabel(std::uint32_t label) {
  const std::uint32_t semantic = label & 0xFFFFu;
  PointTruth truth;
  if (semantic == 0 || semantic == 1) return truth;
  const bool ground = semantic == 40 || semantic == 44 || semantic == 48 || semantic == 49 ||
                      semantic == 60 || semantic == 72;
  truth.ground = semantic == 70 ? Label::kUnknown : (ground ? Label::kYes : Label::kNo);
  truth.moving = semantic >= 252 && semantic <= 259 ? Label::kYes : Label::kNo;
  return truth;
}

}  // namespace replay
}  // namespace larkspur
