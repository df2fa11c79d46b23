#include "datasets.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#ifndef LARKSPUR_SHARED_DATA_DIR
#define LARKSPUR_SHARED_DATA_DIR "../shared/data"
#endif

namespace larkspur {
namespace datasets {
namespace {

std::vector<char> ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw DatasetError(path + ": cannot open file");
  return std::vector<char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::ifstream OpenText(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw DatasetError(path + ": cannot open file");
  return file;
}

std::string Where(const std::string& path, std::size_t line_number) {
  return path + ":" + std::to_string(line_number) + ": ";
}

bool IsCommentOrBlank(const std::string& line) {
  const auto first = line.find_first_not_of(" \t\r");
  return first == std::string::npos || line[first] == '#';
}

// Reads one number (also "inf", "-inf" and "nan") or throws naming the field.
double ReadNumber(std::istringstream& fields, const std::string& where, const char* what) {
  std::string token;
  if (!(fields >> token)) throw DatasetError(where + "missing " + what);
  try {
    std::size_t used = 0;
    const double value = std::stod(token, &used);
    if (used == token.size()) return value;
  } catch (const std::exception&) {
  }
  throw DatasetError(where + "cannot read " + what + " from '" + token + "'");
}

// Reads a count of readings, bounded so that a corrupt line cannot ask for an
// absurd allocation.
std::size_t ReadCount(std::istringstream& fields, const std::string& where) {
  const double n = ReadNumber(fields, where, "beam count");
  if (!(n >= 0.0 && n <= 100000.0) || n != std::floor(n)) {
    throw DatasetError(where + "invalid beam count");
  }
  return static_cast<std::size_t>(n);
}

void ReadRanges(std::istringstream& fields, const std::string& where, std::size_t n,
                std::vector<float>& ranges) {
  ranges.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    ranges[i] = static_cast<float>(ReadNumber(fields, where, "range reading"));
  }
}

sensor_msgs::msg::LaserScan MakeScan(double stamp, float angle_min, float angle_increment,
                                     float range_min, float range_max, std::size_t n) {
  sensor_msgs::msg::LaserScan scan;
  const double seconds = std::floor(stamp);
  scan.header.stamp.sec = static_cast<std::int32_t>(seconds);
  scan.header.stamp.nanosec = static_cast<std::uint32_t>((stamp - seconds) * 1e9);
  scan.header.frame_id = "laser";
  scan.angle_min = angle_min;
  scan.angle_increment = angle_increment;
  scan.angle_max = angle_min + static_cast<float>(n == 0 ? 0 : n - 1) * angle_increment;
  scan.range_min = range_min;
  scan.range_max = range_max;
  return scan;
}

}  // namespace

std::shared_ptr<Cloud> ReadKittiBin(const std::string& path) {
  const std::vector<char> bytes = ReadBytes(path);
  constexpr std::size_t kPointBytes = 4 * sizeof(float);
  if (bytes.size() % kPointBytes != 0) {
    throw DatasetError(path + ": size " + std::to_string(bytes.size()) +
                       " bytes is not a whole number of 16-byte points");
  }
  auto cloud = std::make_shared<Cloud>();
  cloud->points.resize(bytes.size() / kPointBytes);
  for (std::size_t i = 0; i < cloud->points.size(); ++i) {
    float values[4];
    std::memcpy(values, bytes.data() + i * kPointBytes, kPointBytes);
    cloud->points[i] = pcl::PointXYZ(values[0], values[1], values[2]);
  }
  cloud->width = static_cast<std::uint32_t>(cloud->points.size());
  cloud->height = 1;
  cloud->is_dense = false;
  return cloud;
}

std::vector<std::uint32_t> ReadSemanticKittiLabels(const std::string& path,
                                                   std::size_t expected_points) {
  const std::vector<char> bytes = ReadBytes(path);
  if (bytes.size() != expected_points * sizeof(std::uint32_t)) {
    throw DatasetError(path + ": holds " + std::to_string(bytes.size() / 4) +
                       " labels for a frame of " + std::to_string(expected_points) + " points");
  }
  std::vector<std::uint32_t> labels(expected_points);
  if (!labels.empty()) std::memcpy(labels.data(), bytes.data(), bytes.size());
  return labels;
}

std::vector<Eigen::Matrix4f> ReadKittiPoses(const std::string& path) {
  std::ifstream file = OpenText(path);
  std::vector<Eigen::Matrix4f> poses;
  std::string line;
  for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
    if (IsCommentOrBlank(line)) continue;
    std::istringstream fields(line);
    const std::string where = Where(path, line_number);
    Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
    for (int row = 0; row < 3; ++row) {
      for (int col = 0; col < 4; ++col) {
        pose(row, col) = static_cast<float>(ReadNumber(fields, where, "pose entry"));
      }
    }
    poses.push_back(pose);
  }
  return poses;
}

Eigen::Matrix4f ReadKittiVeloToCam(const std::string& path) {
  std::ifstream file = OpenText(path);
  std::string line;
  for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
    std::istringstream fields(line);
    std::string key;
    if (!(fields >> key) || (key != "Tr:" && key != "Tr_velo_to_cam:")) continue;
    const std::string where = Where(path, line_number);
    Eigen::Matrix4f transform = Eigen::Matrix4f::Identity();
    for (int row = 0; row < 3; ++row) {
      for (int col = 0; col < 4; ++col) {
        transform(row, col) = static_cast<float>(ReadNumber(fields, where, "transform entry"));
      }
    }
    return transform;
  }
  throw DatasetError(path + ": no \"Tr:\" or \"Tr_velo_to_cam:\" entry");
}

std::vector<ScanRecord> ReadLaserPeople(const std::string& path) {
  std::ifstream file = OpenText(path);
  std::vector<ScanRecord> records;
  std::string line;
  for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
    if (IsCommentOrBlank(line)) continue;
    std::istringstream fields(line);
    const std::string where = Where(path, line_number);
    ScanRecord record;
    record.stamp = ReadNumber(fields, where, "stamp");
    const auto angle_min = static_cast<float>(ReadNumber(fields, where, "angle_min"));
    const auto increment = static_cast<float>(ReadNumber(fields, where, "angle_increment"));
    const auto range_min = static_cast<float>(ReadNumber(fields, where, "range_min"));
    const auto range_max = static_cast<float>(ReadNumber(fields, where, "range_max"));
    const std::size_t n = ReadCount(fields, where);
    record.scan = MakeScan(record.stamp, angle_min, increment, range_min, range_max, n);
    ReadRanges(fields, where, n, record.scan.ranges);
    std::string extra;
    if (fields >> extra) {
      throw DatasetError(where + "more readings than the count " + std::to_string(n));
    }
    record.pose = PlanarPose(0.0, 0.0, 0.0);
    records.push_back(std::move(record));
  }
  return records;
}

std::vector<ScanRecord> ReadCarmenLog(const std::string& path) {
  constexpr double kPi = 3.14159265358979323846;
  std::ifstream file = OpenText(path);
  std::vector<ScanRecord> records;
  std::string line;
  for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
    std::istringstream fields(line);
    std::string kind;
    if (!(fields >> kind) || kind != "FLASER") continue;
    const std::string where = Where(path, line_number);
    const std::size_t n = ReadCount(fields, where);
    ScanRecord record;
    ReadRanges(fields, where, n, record.scan.ranges);
    const double x = ReadNumber(fields, where, "laser x");
    const double y = ReadNumber(fields, where, "laser y");
    const double theta = ReadNumber(fields, where, "laser theta");
    for (const char* skipped : {"odom x", "odom y", "odom theta"}) {
      ReadNumber(fields, where, skipped);
    }
    record.stamp = ReadNumber(fields, where, "ipc timestamp");
    std::vector<float> ranges = std::move(record.scan.ranges);
    record.scan = MakeScan(record.stamp, static_cast<float>(-kPi / 2.0),
                           static_cast<float>(kPi / 180.0), 0.0f, 81.0f, n);
    record.scan.ranges = std::move(ranges);
    record.pose = PlanarPose(x, y, theta);
    records.push_back(std::move(record));
  }
  return records;
}

geometry_msgs::msg::Pose PlanarPose(double x, double y, double yaw) {
  geometry_msgs::msg::Pose pose;
  pose.position.x = x;
  pose.position.y = y;
  pose.position.z = 0.0;
  pose.orientation.x = 0.0;
  pose.orientation.y = 0.0;
  pose.orientation.z = std::sin(yaw / 2.0);
  pose.orientation.w = std::cos(yaw / 2.0);
  return pose;
}

std::unique_ptr<kestrel::perception::DynamicLaserDetector> RecordedScanLaserDetector(int width) {
  const std::string path = std::filesystem::temp_directory_path().string() +
                           "/recorded_scan_laser_detector_" + std::to_string(::getpid()) + ".yaml";
  std::ofstream(path) << "resolution: 0.1\nwidth: " << width
                      << "\noccupancy_threshold: 0.0\nlog_odds_obstacle: 0.4\n"
                         "log_odds_occlusion: 0.0\nlog_odds_free_space: -0.2\n";
  auto detector = std::make_unique<kestrel::perception::DynamicLaserDetector>(path);
  std::remove(path.c_str());
  return detector;
}

std::optional<std::string> SharedDataPath(const std::string& relative) {
  const char* from_environment = std::getenv("LARKSPUR_SHARED_DATA");
  const std::string root =
      from_environment != nullptr ? from_environment : LARKSPUR_SHARED_DATA_DIR;
  const std::string path = root + "/" + relative;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return path;
}

}  // namespace datasets
}  // namespace larkspur
