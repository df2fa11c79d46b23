#include "datasets.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/console/print.h>
#include <pcl/conversions.h>
#include <pcl/io/pcd_io.h>
#include <sys/stat.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "text_fields.h"

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

std::uint64_t PcdNumber(const std::string& where, const std::string& key, const std::string& text,
                        std::uint64_t largest) {
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
      value = std::stoull(text, &used);
    }
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value > largest) {
    throw DatasetError(where + key + " holds '" + text + "', not a whole number up to " +
                       std::to_string(largest));
  }
  return value;
}

// A binary_compressed block starts with its compressed and uncompressed
// sizes (little-endian 32-bit). PCL unpacks the fields by the header's sizes
// into a buffer of the stated uncompressed size, and reads past its end when
// the two disagree; the compressed data must be present in full.
void CheckCompressedSizes(std::ifstream& file, const std::string& where, std::uint64_t cloud_bytes,
                          std::uint64_t available) {
  unsigned char sizes[8] = {};
  file.read(reinterpret_cast<char*>(sizes), sizeof(sizes));
  const auto little_endian = [&](int at) {
    return std::uint64_t{sizes[at]} | std::uint64_t{sizes[at + 1]} << 8 |
           std::uint64_t{sizes[at + 2]} << 16 | std::uint64_t{sizes[at + 3]} << 24;
  };
  const std::uint64_t compressed = little_endian(0);
  const std::uint64_t uncompressed = little_endian(4);
  if (!file || uncompressed != cloud_bytes) {
    throw DatasetError(where + "binary_compressed data unpacks to " + std::to_string(uncompressed) +
                       " bytes, the header announces " + std::to_string(cloud_bytes));
  }
  if (compressed > available - 8) {
    throw DatasetError(where + "binary_compressed data shorter than it announces (" +
                       std::to_string(available - 8) + " of " + std::to_string(compressed) +
                       " bytes)");
  }
}

const std::set<std::string> kPcdKeys = {"VERSION", "FIELDS", "SIZE",      "TYPE",   "COUNT",
                                        "WIDTH",   "HEIGHT", "VIEWPOINT", "POINTS", "DATA"};

// PCL's reader goes on reading header lines after the DATA line (skipping
// empty lines and comments) while they start with a header word, so data that
// starts with one redefines the fields it then reads the data with.
void RefuseHeaderAfterData(std::ifstream& file, const std::string& where) {
  const std::streampos data_start = file.tellg();
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    for (const std::string& key : kPcdKeys) {
      if (line.compare(0, key.size(), key) == 0) {
        throw DatasetError(where + "'" + key + "' after the DATA line");
      }
    }
    if (line.compare(0, 7, "COLUMNS") == 0) {
      throw DatasetError(where + "'COLUMNS' after the DATA line");
    }
    break;
  }
  file.clear();
  file.seekg(data_start);
}

// PCL's reader trusts the header, and a garbled one can crash it; the header
// is checked here first so that a bad file gets a message instead.
void CheckPcdHeader(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw DatasetError(path + ": cannot open file");
  std::map<std::string, std::vector<std::string>> header;
  std::string line;
  for (std::size_t line_number = 1; !header.count("DATA") && std::getline(file, line);
       ++line_number) {
    // PCL skips empty lines but trips over lines of blanks (a lone "\r").
    if (!line.empty() && line.find_first_not_of(" \t\r") == std::string::npos) {
      throw DatasetError(path + ":" + std::to_string(line_number) +
                         ": not a readable PCD file: a blank line in the header");
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (kPcdKeys.count(key) == 0) {
      throw DatasetError(path + ":" + std::to_string(line_number) +
                         ": not a readable PCD file: unexpected '" + key.substr(0, 40) +
                         "' in the header");
    }
    std::vector<std::string>& values = header[key];
    for (std::string value; fields >> value;) values.push_back(value);
  }
  const std::string where = path + ": not a readable PCD file: ";
  if (!header.count("DATA") || header["DATA"].size() != 1) {
    throw DatasetError(where + "no DATA line ending the header");
  }
  const std::vector<std::string>& names = header["FIELDS"];
  if (names.empty()) throw DatasetError(where + "no FIELDS");
  std::vector<std::string> counts = header["COUNT"];
  if (counts.empty()) counts.assign(names.size(), "1");
  if (header["SIZE"].size() != names.size() || header["TYPE"].size() != names.size() ||
      counts.size() != names.size()) {
    throw DatasetError(where + "FIELDS, SIZE, TYPE and COUNT differ in length");
  }
  std::uint64_t point_bytes = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::uint64_t size = PcdNumber(where, "SIZE", header["SIZE"][i], 8);
    const std::string& type = header["TYPE"][i];
    if ((size != 1 && size != 2 && size != 4 && size != 8) ||
        (type != "I" && type != "U" && type != "F")) {
      throw DatasetError(where + "field '" + names[i] + "' has an unknown SIZE or TYPE");
    }
    const std::uint64_t count = PcdNumber(where, "COUNT", counts[i], 1000000);
    // PCL mistakes the data of a field counted 0 times for more header.
    if (count == 0) throw DatasetError(where + "field '" + names[i] + "' has COUNT 0");
    point_bytes += size * count;
  }
  if (header["WIDTH"].size() != 1 || header["HEIGHT"].size() != 1) {
    throw DatasetError(where + "WIDTH and HEIGHT need one value each");
  }
  constexpr std::uint64_t kMostPoints = 200000000;
  const std::uint64_t points = PcdNumber(where, "WIDTH", header["WIDTH"][0], kMostPoints) *
                               PcdNumber(where, "HEIGHT", header["HEIGHT"][0], kMostPoints);
  if (points > kMostPoints) throw DatasetError(where + "more than 200 million points");
  if (header.count("POINTS") &&
      (header["POINTS"].size() != 1 ||
       PcdNumber(where, "POINTS", header["POINTS"][0], kMostPoints) != points)) {
    throw DatasetError(where + "POINTS differs from WIDTH x HEIGHT");
  }
  const std::string& data = header["DATA"][0];
  if (data != "ascii" && data != "binary" && data != "binary_compressed") {
    throw DatasetError(where + "unknown DATA kind '" + data.substr(0, 40) + "'");
  }
  RefuseHeaderAfterData(file, where);
  const auto data_start = static_cast<std::uint64_t>(std::max<std::streamoff>(file.tellg(), 0));
  const std::uint64_t file_size = std::filesystem::file_size(path);
  const std::uint64_t available = file_size > data_start ? file_size - data_start : 0;
  const std::uint64_t needed =
      data == "binary" ? points * point_bytes : (data == "binary_compressed" ? 8 : 0);
  if (available < needed) {
    throw DatasetError(where + "data shorter than the header announces (" +
                       std::to_string(available) + " of " + std::to_string(needed) + " bytes)");
  }
  if (data == "binary_compressed")
    CheckCompressedSizes(file, where, points * point_bytes, available);
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

std::shared_ptr<Cloud> ReadPcd(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) throw DatasetError(path + ": cannot open file");
  CheckPcdHeader(path);
  // PCL's reader prints its own complaints; ours name the file instead.
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  pcl::PCLPointCloud2 blob;
  pcl::PCDReader reader;
  int status = -1;
  try {
    status = reader.read(path, blob);
  } catch (const std::exception& error) {
    // Some malformed files make PCL's header parser throw (an index past the
    // fields of a line) instead of reporting a failure.
    throw DatasetError(path + ": not a readable PCD file: " + error.what());
  }
  if (status < 0) {
    throw DatasetError(path +
                       ": not a readable PCD file (bad header, or data shorter than "
                       "the header announces)");
  }
  for (const char* field : {"x", "y", "z"}) {
    const bool found = std::any_of(blob.fields.begin(), blob.fields.end(),
                                   [&](const pcl::PCLPointField& f) { return f.name == field; });
    if (!found) throw DatasetError(path + ": PCD file has no '" + field + "' field");
  }
  auto cloud = std::make_shared<Cloud>();
  // PCL's conversion indexes the first point even of an empty cloud.
  if (blob.width == 0 || blob.height == 0) return cloud;
  pcl::fromPCLPointCloud2(blob, *cloud);
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

std::optional<Eigen::Matrix4f> FindKittiVeloToCam(const std::string& path) {
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
  return std::nullopt;
}

Eigen::Matrix4f ReadKittiVeloToCam(const std::string& path) {
  if (const std::optional<Eigen::Matrix4f> transform = FindKittiVeloToCam(path)) return *transform;
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
    record.stamp = ReadStamp(fields, where, "stamp");
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
