#include "text_fields.h"

#include <cmath>
#include <cstdint>
#include <exception>

#include "datasets.h"

namespace larkspur {
namespace datasets {

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

double ReadStamp(std::istringstream& fields, const std::string& where, const char* what) {
  const double stamp = ReadNumber(fields, where, what);
  if (!(stamp >= -2147483648.0 && stamp < 2147483648.0)) {
    throw DatasetError(where + what + " " + std::to_string(stamp) + " is not a time in seconds");
  }
  return stamp;
}

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

}  // namespace datasets
}  // namespace larkspur
