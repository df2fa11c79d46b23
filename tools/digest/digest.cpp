// Prints a digest of every output of the library over the recorded data, one
// line per output and frame:
//
//   <sequence>/<frame> <output> <element count> <FNV-1a 64 of the values>
//
// Two builds (say x86-64 and aarch64) that compute bit for bit the same
// results print the same text, so comparing the files shows whether, and from
// which frame and output on, the CPUs disagree. Values are hashed as their
// bit patterns; every NaN is hashed as the same quiet NaN, since the sign and
// payload of a NaN the hardware makes differ between architectures and mean
// nothing here.
//
// Usage: larkspur_digest OUTPUT_FILE [--dump SUBSTRING]
//   The digest goes to OUTPUT_FILE, apart from the library's own log lines.
//   --dump adds, after the digest line of every output whose
//   "<sequence>/<frame> <output>" contains SUBSTRING, its values in hex float
//   notation, to find the first value that differs.
//
// Sequences (each skipped with a note on standard error when absent):
//   kitti_hdl64  ground removal (one call, and kept ground with below-ground
//                points), the cloud detector over the frames with their
//                poses, clustering and camera frames of the non-ground points
//   laser_people, laser_intel  the laser detector over every scan
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "datasets.h"
#include "larkspur_perception_libs/camera_frame.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"
#include "larkspur_protocol/msg/semantic_point_cloud.hpp"

namespace {

namespace fs = std::filesystem;
namespace ds = larkspur::datasets;
namespace kp = kestrel::perception;

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// Digest of a sequence of values, with an optional listing of them.
class Digest {
 public:
  Digest(std::FILE* file, bool listed) : file_(file), listed_(listed) {}

  void Add(float value) {
    std::uint32_t bits = 0x7fc00000u;
    if (!std::isnan(value)) std::memcpy(&bits, &value, sizeof bits);
    Mix(bits, 4);
    if (listed_) std::fprintf(file_, "  %a\n", static_cast<double>(value));
    ++count_;
  }
  void Add(double value) {
    std::uint64_t bits = 0x7ff8000000000000u;
    if (!std::isnan(value)) std::memcpy(&bits, &value, sizeof bits);
    Mix(bits, 8);
    if (listed_) std::fprintf(file_, "  %a\n", value);
    ++count_;
  }
  // A boundary between parts (clusters of a frame) that counts no element.
  void Separate(std::uint64_t size) { Mix(size, 8); }

  void Add(const Cloud& cloud) {
    for (const pcl::PointXYZ& p : cloud.points) {
      Add(p.x);
      Add(p.y);
      Add(p.z);
    }
  }
  void Add(const cv::Mat& raster) {
    for (int r = 0; r < raster.rows; ++r) {
      for (int c = 0; c < raster.cols; ++c) Add(raster.at<float>(r, c));
    }
  }

  std::uint64_t count() const { return count_; }
  std::uint64_t hash() const { return hash_; }

 private:
  void Mix(std::uint64_t bits, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      hash_ ^= (bits >> (8 * i)) & 0xffu;
      hash_ *= 0x100000001b3u;
    }
  }

  std::FILE* file_;
  bool listed_;
  std::uint64_t count_ = 0;
  std::uint64_t hash_ = 0xcbf29ce484222325u;
};

class Printer {
 public:
  Printer(std::FILE* file, std::optional<std::string> dump) : file_(file), dump_(std::move(dump)) {}

  // Prints the digest line of `output` of `frame`; `fill` adds the values.
  template <typename Fill>
  void Print(const std::string& frame, const std::string& output, Fill fill) {
    const std::string key = frame + " " + output;
    const bool listed = dump_ && key.find(*dump_) != std::string::npos;
    if (listed) std::fprintf(file_, "%s:\n", key.c_str());
    Digest digest(file_, listed);
    fill(digest);
    std::fprintf(file_, "%s %llu %016llx\n", key.c_str(),
                 static_cast<unsigned long long>(digest.count()),
                 static_cast<unsigned long long>(digest.hash()));
  }

 private:
  std::FILE* file_;
  std::optional<std::string> dump_;
};

// Frame numbers as KITTI writes them: at least six digits.
std::string FrameNumber(std::size_t index) {
  char number[32];
  std::snprintf(number, sizeof number, "%06zu", index);
  return number;
}

std::string FrameName(const std::string& sequence, std::size_t index) {
  return sequence + "/" + FrameNumber(index);
}

std::shared_ptr<Cloud> NewCloud() { return std::make_shared<Cloud>(); }

void DigestKitti(const larkspur::replay::ReplayConfig& config, Printer& out) {
  const std::optional<std::string> folder = ds::SharedDataPath("kitti_hdl64");
  if (!folder) {
    std::cerr << "kitti_hdl64 not found: skipped\n";
    return;
  }
  const std::vector<Eigen::Matrix4f> poses = ds::ReadKittiPoses(*folder + "/poses_estimated.txt");
  kp::RemoveGroundLineFit remover(config.ground);
  kp::DynamicCloudDetector detector(config.files.cloud_detector);
  detector.Init(config.camera);
  const kp::CloudCluster clusterer(config.cluster);
  CameraFrame camera(config.camera.extrinsic);

  for (std::size_t i = 0; i < poses.size(); ++i) {
    const std::shared_ptr<Cloud> cloud =
        ds::ReadKittiBin(*folder + "/velodyne/" + FrameNumber(i) + ".bin");
    const std::string frame = FrameName("kitti_hdl64", i);

    auto ground = NewCloud();
    auto nonground = NewCloud();
    remover.groundRemove(cloud, nonground, ground);
    out.Print(frame, "ground", [&](Digest& d) { d.Add(*ground); });
    out.Print(frame, "nonground", [&](Digest& d) { d.Add(*nonground); });

    remover.set_input_cloud(cloud);
    out.Print(frame, "segments", [&](Digest& d) {
      for (const Cloud& segment : remover.getAllLineFitPoints()) d.Add(segment);
    });
    out.Print(frame, "trace", [&](Digest& d) { d.Add(remover.getAllTracePoints()); });
    auto kept_ground = NewCloud();
    auto kept_nonground = NewCloud();
    auto below_ground = NewCloud();
    remover.groundRemove(cloud, kept_nonground, kept_ground, below_ground);
    out.Print(frame, "kept_ground", [&](Digest& d) { d.Add(*kept_ground); });
    out.Print(frame, "kept_nonground", [&](Digest& d) { d.Add(*kept_nonground); });
    out.Print(frame, "below_ground", [&](Digest& d) { d.Add(*below_ground); });

    detector.Update(nonground, poses[i], false);
    out.Print(frame, "cloud_grid_log_odds",
              [&](Digest& d) { d.Add(detector.grid_map().log_odds_map()); });
    out.Print(frame, "cloud_grid_height",
              [&](Digest& d) { d.Add(detector.grid_map().height_map()); });
    Cloud dynamic;
    Cloud static_points;
    detector.DivideCloud(*nonground, dynamic, static_points);
    out.Print(frame, "dynamic", [&](Digest& d) { d.Add(dynamic); });
    out.Print(frame, "static", [&](Digest& d) { d.Add(static_points); });

    int count = 0;
    std::vector<std::shared_ptr<Cloud>> clusters;
    clusterer.obstacleCluster(nonground, count, clusters);
    out.Print(frame, "clusters", [&](Digest& d) {
      for (const auto& cluster : clusters) {
        d.Separate(cluster->size());
        d.Add(*cluster);
      }
    });
    out.Print(frame, "camera_frames", [&](Digest& d) {
      for (const auto& cluster : clusters) {
        larkspur_protocol::msg::SemanticPointCloud message;
        const bool valid = camera.calculate(cluster) && camera.fillShapeToMsg(message);
        d.Separate(valid ? message.shape.size() : 0);
        for (const auto& p : message.shape) {
          d.Add(p.x);
          d.Add(p.y);
          d.Add(p.z);
        }
      }
    });
  }
}

void DigestScans(const std::string& sequence, const std::vector<ds::ScanRecord>& records,
                 const larkspur::replay::ReplayConfig& config, Printer& out) {
  kp::DynamicLaserDetector detector(config.files.laser_detector);
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto scan = std::make_shared<const sensor_msgs::msg::LaserScan>(records[i].scan);
    auto dynamic = std::make_shared<sensor_msgs::msg::LaserScan>();
    auto static_scan = std::make_shared<sensor_msgs::msg::LaserScan>();
    detector.Process(scan, records[i].pose, dynamic, static_scan);
    const std::string frame = FrameName(sequence, i);
    out.Print(frame, "laser_grid_log_odds",
              [&](Digest& d) { d.Add(detector.grid_map().log_odds_map()); });
    out.Print(frame, "dynamic_scan", [&](Digest& d) {
      for (float r : dynamic->ranges) d.Add(r);
    });
    out.Print(frame, "static_scan", [&](Digest& d) {
      for (float r : static_scan->ranges) d.Add(r);
    });
  }
}

void DigestLaser(const larkspur::replay::ReplayConfig& config, Printer& out) {
  if (const auto file = ds::SharedDataPath("laser_people/scans.txt")) {
    DigestScans("laser_people", ds::ReadLaserPeople(*file), config, out);
  } else {
    std::cerr << "laser_people not found: skipped\n";
  }
  if (const auto file = ds::SharedDataPath("laser_intel/intel_excerpt.clf")) {
    DigestScans("laser_intel", ds::ReadCarmenLog(*file), config, out);
  } else {
    std::cerr << "laser_intel not found: skipped\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> dump;
  if (argc == 4 && std::string(argv[2]) == "--dump") {
    dump = argv[3];
  } else if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " OUTPUT_FILE [--dump SUBSTRING]\n";
    return 2;
  }
  std::FILE* file = std::fopen(argv[1], "w");
  if (file == nullptr) {
    std::cerr << argv[0] << ": cannot write " << argv[1] << "\n";
    return 1;
  }
  try {
    // The KITTI tuning where there is one, the general files otherwise.
    const fs::path config_dir = LARKSPUR_SOURCE_CONFIG_DIR;
    const larkspur::replay::ReplayConfig config = larkspur::replay::LoadConfig(
        larkspur::replay::FindConfigFiles({(config_dir / "kitti_hdl64").string(), config_dir}));
    Printer out(file, dump);
    DigestKitti(config, out);
    DigestLaser(config, out);
  } catch (const std::exception& error) {
    std::cerr << argv[0] << ": " << error.what() << "\n";
    std::fclose(file);
    return 1;
  }
  return std::fclose(file) == 0 ? 0 : 1;
}
