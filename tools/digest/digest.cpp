// Prints a digest of every output of the library over the recorded data and
// the replay tool's built-in scene, one line per output and frame:
//
//   <sequence>/<frame> <output> <element count> <FNV-1a 64 of the values> <sum>
//
// Two builds (say x86-64 and aarch64) that compute bit for bit the same
// results print the same text, so comparing the files shows whether, and from
// which frame and output on, they disagree. Values are hashed as their bit
// patterns; every NaN is hashed as the same quiet NaN, since the sign and
// payload of a NaN the hardware makes differ between architectures and mean
// nothing here. The sum (double, NaNs left out) lets outputs whose values may
// differ slightly between CPUs be compared within a bound.
//
// Usage: larkspur_digest OUTPUT_FILE [--dump SUBSTRING]
//        larkspur_digest --check GOLDEN_FILE
//   The digest goes to OUTPUT_FILE, apart from the library's own log lines.
//   --dump adds, after the digest line of every output whose
//   "<sequence>/<frame> <output>" contains SUBSTRING, its values in hex float
//   notation, to find the first value that differs.
//   --check compares with a committed digest instead (the golden baseline):
//   every line must be identical, except that on CPUs other than x86-64 the
//   outputs README.md's "Platform notes" list may differ within their bounds.
//   Sequences whose recordings are absent are left out of the comparison.
//
// Parameters: the pinned files in test/golden/config (kitti_hdl64/ for the
// KITTI recordings, the folder itself for the rest), not config/, which is
// retuned from time to time.
//
// Sequences (each skipped with a note on standard error when absent):
//   scene                 the built-in street scene, seed 1, 40 frames: cloud
//                         path and laser path
//   kitti_hdl64           six frames with their estimated poses
//   kitti_sequences/NN    03, 04 and 08, ten frames each, LiDAR poses from
//                         the camera poses and calib.txt's Tr
//   kitti_objects         two single frames at the identity pose
//   laser_people, laser_intel  the laser detector over every scan
// The cloud path of every frame: ground removal (one call, and kept ground
// with below-ground points, segments and trace), the cloud detector over the
// non-ground points, clustering and camera frames of the non-ground points.
// On the KITTI recordings also a cloud detector in the LiDAR free-space mode
// (test/golden/config/kitti_hdl64/dynamic_cloud_detector_lidar.yaml; outputs
// "lidar_..."), given the ground cloud too except on kitti_hdl64.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "carmen.h"
#include "datasets.h"
#include "larkspur_perception_libs/camera_frame.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"
#include "larkspur_protocol/msg/semantic_point_cloud.hpp"
#include "sources.h"
#include "tool_config.h"

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
    if (!std::isnan(value)) {
      std::memcpy(&bits, &value, sizeof bits);
      sum_ += static_cast<double>(value);
    }
    Mix(bits, 4);
    if (listed_) std::fprintf(file_, "  %a\n", static_cast<double>(value));
    ++count_;
  }
  void Add(double value) {
    std::uint64_t bits = 0x7ff8000000000000u;
    if (!std::isnan(value)) {
      std::memcpy(&bits, &value, sizeof bits);
      sum_ += value;
    }
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
  double sum() const { return sum_; }

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
  double sum_ = 0.0;
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
    std::fprintf(file_, "%s %llu %016llx %.17g\n", key.c_str(),
                 static_cast<unsigned long long>(digest.count()),
                 static_cast<unsigned long long>(digest.hash()), digest.sum());
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

// The records of a run.
struct DigestConfig {
  kp::DynamicCloudDetectorParams cloud_detector;
  // The KITTI runs also drive a second cloud detector in the LiDAR
  // free-space mode.
  std::optional<kp::DynamicCloudDetectorParams> lidar_detector;
  kp::DynamicLaserDetectorParams laser_detector;
  kp::GroundRemovalParams ground;
  kp::CloudClusterPara cluster;
  kp::CameraInfo camera;
};

// Whether the LiDAR free-space detector is also given the ground cloud.
enum class GroundAsFree { kNo, kYes };

// The point-cloud path as a node drives it, digesting every output.
class CloudChain {
 public:
  explicit CloudChain(const DigestConfig& config, GroundAsFree ground_as_free = GroundAsFree::kNo)
      : remover_(config.ground),
        detector_(config.cloud_detector),
        clusterer_(config.cluster),
        camera_(config.camera.extrinsic),
        ground_as_free_(ground_as_free) {
    detector_.Init(config.camera);
    if (config.lidar_detector) lidar_detector_.emplace(*config.lidar_detector);
  }

  void Run(const std::string& frame, const std::shared_ptr<Cloud>& cloud,
           const Eigen::Matrix4f& pose, Printer& out) {
    auto ground = NewCloud();
    auto nonground = NewCloud();
    remover_.groundRemove(cloud, nonground, ground);
    out.Print(frame, "ground", [&](Digest& d) { d.Add(*ground); });
    out.Print(frame, "nonground", [&](Digest& d) { d.Add(*nonground); });
    DigestKeptGround(frame, cloud, out);
    DigestDetector(detector_, "", frame, nonground, nullptr, pose, out);
    if (lidar_detector_) {
      const auto seen_free = ground_as_free_ == GroundAsFree::kYes ? ground : nullptr;
      DigestDetector(*lidar_detector_, "lidar_", frame, nonground, seen_free, pose, out);
    }
    DigestClusters(frame, nonground, out);
  }

 private:
  void DigestKeptGround(const std::string& frame, const std::shared_ptr<Cloud>& cloud,
                        Printer& out) {
    remover_.set_input_cloud(cloud);
    out.Print(frame, "segments", [&](Digest& d) {
      for (const Cloud& segment : remover_.getAllLineFitPoints()) d.Add(segment);
    });
    out.Print(frame, "trace", [&](Digest& d) { d.Add(remover_.getAllTracePoints()); });
    auto kept_ground = NewCloud();
    auto kept_nonground = NewCloud();
    auto below_ground = NewCloud();
    remover_.groundRemove(cloud, kept_nonground, kept_ground, below_ground);
    out.Print(frame, "kept_ground", [&](Digest& d) { d.Add(*kept_ground); });
    out.Print(frame, "kept_nonground", [&](Digest& d) { d.Add(*kept_nonground); });
    out.Print(frame, "below_ground", [&](Digest& d) { d.Add(*below_ground); });
  }

  // Outputs of the camera-mode detector are named without a prefix (their
  // grid as "cloud_grid"), those of the LiDAR one with "lidar_".
  static void DigestDetector(kp::DynamicCloudDetector& detector, const std::string& prefix,
                             const std::string& frame, const std::shared_ptr<Cloud>& nonground,
                             const std::shared_ptr<Cloud>& ground, const Eigen::Matrix4f& pose,
                             Printer& out) {
    if (ground) {
      detector.Update(nonground, ground, pose, false);
    } else {
      detector.Update(nonground, pose, false);
    }
    const std::string grid = prefix.empty() ? "cloud_grid" : prefix + "grid";
    out.Print(frame, grid + "_log_odds",
              [&](Digest& d) { d.Add(detector.grid_map().log_odds_map()); });
    out.Print(frame, grid + "_height", [&](Digest& d) { d.Add(detector.grid_map().height_map()); });
    Cloud dynamic;
    Cloud static_points;
    detector.DivideCloud(*nonground, dynamic, static_points);
    out.Print(frame, prefix + "dynamic", [&](Digest& d) { d.Add(dynamic); });
    out.Print(frame, prefix + "static", [&](Digest& d) { d.Add(static_points); });
  }

  void DigestClusters(const std::string& frame, const std::shared_ptr<Cloud>& nonground,
                      Printer& out) {
    int count = 0;
    std::vector<std::shared_ptr<Cloud>> clusters;
    clusterer_.obstacleCluster(nonground, count, clusters);
    out.Print(frame, "clusters", [&](Digest& d) {
      for (const auto& cluster : clusters) {
        d.Separate(cluster->size());
        d.Add(*cluster);
      }
    });
    out.Print(frame, "camera_frames", [&](Digest& d) {
      for (const auto& cluster : clusters) {
        larkspur_protocol::msg::SemanticPointCloud message;
        const bool valid = camera_.calculate(cluster) && camera_.fillShapeToMsg(message);
        d.Separate(valid ? message.shape.size() : 0);
        for (const auto& p : message.shape) {
          d.Add(p.x);
          d.Add(p.y);
          d.Add(p.z);
        }
      }
    });
  }

  kp::RemoveGroundLineFit remover_;
  kp::DynamicCloudDetector detector_;
  kp::CloudCluster clusterer_;
  CameraFrame camera_;
  std::optional<kp::DynamicCloudDetector> lidar_detector_;
  GroundAsFree ground_as_free_;
};

// The laser path: one detector over a sequence of scans.
class ScanChain {
 public:
  explicit ScanChain(const DigestConfig& config) : detector_(config.laser_detector) {}

  void Run(const std::string& frame, const sensor_msgs::msg::LaserScan& scan,
           const geometry_msgs::msg::Pose& pose, Printer& out) {
    auto input = std::make_shared<const sensor_msgs::msg::LaserScan>(scan);
    auto dynamic = std::make_shared<sensor_msgs::msg::LaserScan>();
    auto static_scan = std::make_shared<sensor_msgs::msg::LaserScan>();
    detector_.Process(input, pose, dynamic, static_scan);
    out.Print(frame, "laser_grid_log_odds",
              [&](Digest& d) { d.Add(detector_.grid_map().log_odds_map()); });
    out.Print(frame, "dynamic_scan", [&](Digest& d) {
      for (float r : dynamic->ranges) d.Add(r);
    });
    out.Print(frame, "static_scan", [&](Digest& d) {
      for (float r : static_scan->ranges) d.Add(r);
    });
  }

 private:
  kp::DynamicLaserDetector detector_;
};

DigestConfig LoadPinnedConfig(bool kitti) {
  const fs::path pinned = LARKSPUR_GOLDEN_CONFIG_DIR;
  std::vector<std::string> folders;
  if (kitti) folders.push_back((pinned / "kitti_hdl64").string());
  folders.push_back(pinned.string());
  const larkspur::config::ConfigFiles files = larkspur::config::FindConfigFiles(folders);
  larkspur::config::RequireAll(files);
  DigestConfig config;
  config.cloud_detector = larkspur::config::ReadCloudDetectorParams(files.cloud_detector);
  config.laser_detector = larkspur::config::ReadLaserDetectorParams(files.laser_detector);
  config.ground = larkspur::config::ReadGroundRemovalParams(files.ground);
  config.cluster = larkspur::config::ReadCloudClusterPara(files.cluster);
  config.camera = larkspur::config::ReadCamera(files.camera).info;
  if (kitti) {
    config.lidar_detector = larkspur::config::ReadCloudDetectorParams(
        (pinned / "kitti_hdl64" / "dynamic_cloud_detector_lidar.yaml").string());
  }
  return config;
}

void DigestScene(Printer& out) {
  constexpr std::uint32_t kSeed = 1;
  constexpr std::size_t kFrames = 40;
  const DigestConfig config = LoadPinnedConfig(false);
  CloudChain clouds(config);
  ScanChain scans(config);
  const std::unique_ptr<larkspur::replay::FrameSource> source =
      larkspur::replay::MakeSceneSource(kSeed, kFrames);
  for (std::size_t i = 0; i < source->size(); ++i) {
    const larkspur::replay::Frame frame = source->Load(i);
    // The simulated input itself: the ray casting runs through Eigen, whose
    // vectorised arithmetic differs between CPUs, so the outputs of a frame
    // are only comparable when its input is the same.
    out.Print(FrameName("scene", i), "input", [&](Digest& d) {
      d.Add(*frame.cloud);
      for (float r : frame.scan->ranges) d.Add(r);
    });
    clouds.Run(FrameName("scene", i), frame.cloud, frame.cloud_pose, out);
    scans.Run(FrameName("scene", i), *frame.scan, frame.scan_pose, out);
  }
}

// Frames velodyne/000000.bin ... of `folder`, each with its pose.
void DigestKittiFrames(const std::string& sequence, const fs::path& folder,
                       const std::vector<Eigen::Matrix4f>& poses, GroundAsFree ground_as_free,
                       Printer& out) {
  CloudChain chain(LoadPinnedConfig(true), ground_as_free);
  for (std::size_t i = 0; i < poses.size(); ++i) {
    const std::string bin = (folder / "velodyne" / (FrameNumber(i) + ".bin")).string();
    chain.Run(FrameName(sequence, i), ds::ReadKittiBin(bin), poses[i], out);
  }
}

void DigestKitti(Printer& out) {
  if (const auto folder = ds::SharedDataPath("kitti_hdl64")) {
    // The LiDAR free-space detector without the ground here, with it on the
    // sequences below.
    DigestKittiFrames("kitti_hdl64", *folder, ds::ReadKittiPoses(*folder + "/poses_estimated.txt"),
                      GroundAsFree::kNo, out);
  } else {
    std::cerr << "kitti_hdl64 not found: skipped\n";
  }
  for (const char* number : {"03", "04", "08"}) {
    const std::string sequence = std::string("kitti_sequences/") + number;
    const auto folder = ds::SharedDataPath(sequence);
    if (!folder) {
      std::cerr << sequence << " not found: skipped\n";
      continue;
    }
    // Camera poses to LiDAR poses: T_lidar = Tr^-1 * T_camera * Tr.
    const Eigen::Matrix4f tr = ds::ReadKittiVeloToCam(*folder + "/calib.txt");
    std::vector<Eigen::Matrix4f> poses = ds::ReadKittiPoses(*folder + "/poses.txt");
    for (Eigen::Matrix4f& pose : poses) pose = tr.inverse() * pose * tr;
    DigestKittiFrames(sequence, *folder, poses, GroundAsFree::kYes, out);
  }
  if (const auto folder = ds::SharedDataPath("kitti_objects")) {
    // Unrelated single frames: each gets a fresh chain at the identity pose.
    for (std::size_t i = 0; i < 2; ++i) {
      CloudChain chain(LoadPinnedConfig(true), GroundAsFree::kYes);
      const std::string bin = *folder + "/velodyne/" + FrameNumber(i) + ".bin";
      chain.Run(FrameName("kitti_objects", i), ds::ReadKittiBin(bin), Eigen::Matrix4f::Identity(),
                out);
    }
  } else {
    std::cerr << "kitti_objects not found: skipped\n";
  }
}

void DigestScans(const std::string& sequence, const std::vector<ds::ScanRecord>& records,
                 Printer& out) {
  ScanChain chain(LoadPinnedConfig(false));
  for (std::size_t i = 0; i < records.size(); ++i) {
    chain.Run(FrameName(sequence, i), records[i].scan, records[i].pose, out);
  }
}

void DigestLaser(Printer& out) {
  if (const auto file = ds::SharedDataPath("laser_people/scans.txt")) {
    DigestScans("laser_people", ds::ReadLaserPeople(*file), out);
  } else {
    std::cerr << "laser_people not found: skipped\n";
  }
  if (const auto file = ds::SharedDataPath("laser_intel/intel_excerpt.clf")) {
    DigestScans("laser_intel", ds::ReadCarmenLog(*file), out);
  } else {
    std::cerr << "laser_intel not found: skipped\n";
  }
}

void DigestAll(Printer& out) {
  DigestScene(out);
  DigestKitti(out);
  DigestLaser(out);
}

// One digest line split into its fields.
struct Line {
  std::string key;  // "<sequence>/<frame> <output>"
  std::string sequence;
  std::string output;
  unsigned long long count = 0;
  std::string hash;
  double sum = 0.0;
};

std::optional<Line> ParseLine(const std::string& text) {
  std::istringstream in(text);
  std::string frame;
  std::string sum;
  Line line;
  if (!(in >> frame >> line.output >> line.count >> line.hash >> sum)) return std::nullopt;
  // strtod, unlike a stream, reads the "inf" a sum over infinite ranges gives.
  line.sum = std::strtod(sum.c_str(), nullptr);
  line.key = frame + " " + line.output;
  line.sequence = frame.substr(0, frame.rfind('/'));
  return line;
}

std::vector<Line> ParseDigest(std::istream& in, const std::string& name) {
  std::vector<Line> lines;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    const std::optional<Line> line = ParseLine(text);
    if (!line) {
      throw std::runtime_error(name + " line " + std::to_string(number) + ": not a digest line");
    }
    lines.push_back(*line);
  }
  return lines;
}

// Largest difference per value that README.md's "Platform notes" allow for an
// output between x86-64 and arm64 (the measured bounds with a margin, since
// the scene and the KITTI sequences add frames to the measurement); zero for
// every output the library hands back.
double AllowedDifference(const std::string& output) {
#if defined(__x86_64__)
  (void)output;
  return 0.0;
#else
  static const std::map<std::string, double> bounds = {
      {"cloud_grid_log_odds", 1e-5}, {"cloud_grid_height", 1e-5},   {"lidar_grid_log_odds", 1e-5},
      {"lidar_grid_height", 1e-5},   {"laser_grid_log_odds", 1e-4}, {"segments", 1e-3}};
  const auto bound = bounds.find(output);
  return bound == bounds.end() ? 0.0 : bound->second;
#endif
}

// Whether the built-in scene's simulated input may differ from the
// baseline's: its ray casting is not part of the library, and Eigen's
// vectorised arithmetic rounds differently on other CPUs.
constexpr bool kSimulationMayDiffer =
#if defined(__x86_64__)
    false;
#else
    true;
#endif

bool Matches(const Line& golden, const Line& now) {
  if (golden.key != now.key || golden.count != now.count) return false;
  if (golden.hash == now.hash) return true;
  const double allowed = AllowedDifference(golden.output);
  return allowed > 0.0 &&
         std::abs(golden.sum - now.sum) <= allowed * static_cast<double>(golden.count);
}

int Check(const std::string& golden_file) {
  std::ifstream golden_stream(golden_file);
  if (!golden_stream) {
    std::cerr << "cannot read " << golden_file << "\n";
    return 1;
  }
  std::vector<Line> golden = ParseDigest(golden_stream, golden_file);

  std::FILE* file = std::tmpfile();
  if (file == nullptr) {
    std::cerr << "cannot create a temporary file\n";
    return 1;
  }
  Printer printer(file, std::nullopt);
  DigestAll(printer);
  std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  const std::size_t read = std::fread(text.data(), 1, text.size(), file);
  std::fclose(file);
  text.resize(read);
  std::istringstream now_stream(text);
  const std::vector<Line> now = ParseDigest(now_stream, "the new digest");

  // Sequences whose recordings are absent here are not compared.
  std::set<std::string> present;
  for (const Line& line : now) present.insert(line.sequence);
  std::vector<Line> expected;
  for (const Line& line : golden) {
    if (present.count(line.sequence) != 0) expected.push_back(line);
  }
  if (expected.size() != now.size()) {
    std::cerr << now.size() << " output digests computed, " << expected.size() << " expected\n";
    return 1;
  }
  // A sequence whose simulated input differs from the baseline's (only
  // possible off x86-64) is not compared from that frame on: the detectors
  // carry their grids from frame to frame.
  std::set<std::string> diverged;
  std::map<std::string, std::size_t> differing_per_sequence;
  std::size_t differing = 0;
  std::size_t not_compared = 0;
  for (std::size_t i = 0; i < now.size(); ++i) {
    const Line& line = now[i];
    if (diverged.count(line.sequence) != 0) {
      ++not_compared;
      continue;
    }
    if (Matches(expected[i], line)) continue;
    if (kSimulationMayDiffer && line.output == "input" && expected[i].key == line.key) {
      diverged.insert(line.sequence);
      std::cout << line.sequence << ": the simulated input differs from " << line.key
                << " on; not compared from there\n";
      ++not_compared;
      continue;
    }
    ++differing_per_sequence[line.sequence];
    if (++differing <= 20)
      std::cerr << "differs: " << expected[i].key << " vs " << line.key << "\n";
  }
  for (const auto& [sequence, count] : differing_per_sequence) {
    std::cerr << sequence << ": " << count << " output digests differ\n";
  }
  std::cout << now.size() << " output digests computed, " << not_compared << " not compared, "
            << differing << " differ\n";
  if (differing != 0) {
    std::cerr << "The outputs differ from the golden baseline " << golden_file
              << ". If the change is intended, regenerate it in a commit of its own that says "
                 "what changed and why (larkspur_digest "
              << golden_file << ").\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::string(argv[1]) == "--check") return Check(argv[2]);
    std::optional<std::string> dump;
    if (argc == 4 && std::string(argv[2]) == "--dump") {
      dump = argv[3];
    } else if (argc != 2) {
      std::cerr << "usage: " << argv[0] << " OUTPUT_FILE [--dump SUBSTRING]\n"
                << "       " << argv[0] << " --check GOLDEN_FILE\n";
      return 2;
    }
    std::FILE* file = std::fopen(argv[1], "w");
    if (file == nullptr) {
      std::cerr << argv[0] << ": cannot write " << argv[1] << "\n";
      return 1;
    }
    Printer out(file, dump);
    DigestAll(out);
    return std::fclose(file) == 0 ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << argv[0] << ": " << error.what() << "\n";
    return 1;
  }
}
