#include "carmen.h"

#include <cmath>
#include <optional>
#include <sstream>
#include <utility>

#include "text_fields.h"

namespace larkspur {
namespace datasets {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadiansPerDegree = kPi / 180.0;
// Logs that state no maximum range: SICK lasers report 81.8-81.9 m for no
// return, and every reading from 81 m on is taken for one.
constexpr double kDefaultMaxRange = 81.0;
// Bounds of plausible values; beyond them a line is corrupt.
constexpr double kLargestRange = 1.0e6;

// What PARAM lines have stated about the front laser so far.
struct FrontLaserParams {
  std::optional<double> field_of_view;  // radians
  std::optional<double> start_angle;    // radians
  std::optional<double> resolution;     // radians per beam
  std::optional<double> max_range;      // metres
};

// Reads a value in (0, highest], else throws naming the field.
double ReadPositive(std::istringstream& fields, const std::string& where, const char* what,
                    double highest) {
  const double value = ReadNumber(fields, where, what);
  if (!(value > 0.0 && value <= highest)) {
    throw DatasetError(where + what + " " + std::to_string(value) + " is out of range");
  }
  return value;
}

// Reads a value in [-limit, limit], else throws naming the field.
double ReadWithin(std::istringstream& fields, const std::string& where, const char* what,
                  double limit) {
  const double value = ReadNumber(fields, where, what);
  if (!(std::fabs(value) <= limit)) {
    throw DatasetError(where + what + " " + std::to_string(value) + " is out of range");
  }
  return value;
}

double ReadFinite(std::istringstream& fields, const std::string& where, const char* what) {
  const double value = ReadNumber(fields, where, what);
  if (!std::isfinite(value)) throw DatasetError(where + what + " is not a finite number");
  return value;
}

void ReadParam(std::istringstream& fields, const std::string& where, FrontLaserParams& params) {
  std::string name;
  if (!(fields >> name)) throw DatasetError(where + "PARAM line without a name");
  if (name == "laser_front_laser_fov") {
    params.field_of_view =
        ReadPositive(fields, where, "front laser field of view", 360.0) * kRadiansPerDegree;
  } else if (name == "laser_front_laser_start_angle") {
    params.start_angle =
        ReadWithin(fields, where, "front laser start angle", 360.0) * kRadiansPerDegree;
  } else if (name == "laser_front_laser_resolution") {
    params.resolution =
        ReadPositive(fields, where, "front laser resolution", 360.0) * kRadiansPerDegree;
  } else if (name == "robot_front_laser_max" || name == "laser_front_laser_max_range") {
    params.max_range = ReadPositive(fields, where, "front laser maximum range", kLargestRange);
  }
}

ScanRecord MakeRecord(double stamp, double angle_min, double increment, double max_range,
                      std::vector<float> ranges, double x, double y, double theta) {
  ScanRecord record;
  record.stamp = stamp;
  record.scan = MakeScan(stamp, static_cast<float>(angle_min), static_cast<float>(increment), 0.0f,
                         static_cast<float>(max_range), ranges.size());
  record.scan.ranges = std::move(ranges);
  record.pose = PlanarPose(x, y, theta);
  return record;
}

// FLASER n r_0 ... r_{n-1} x y theta odom_x odom_y odom_theta ipc_timestamp ...
ScanRecord ReadFlaser(std::istringstream& fields, const std::string& where,
                      const FrontLaserParams& params) {
  const std::size_t n = ReadCount(fields, where);
  std::vector<float> ranges;
  ReadRanges(fields, where, n, ranges);
  const double x = ReadFinite(fields, where, "laser x");
  const double y = ReadFinite(fields, where, "laser y");
  const double theta = ReadFinite(fields, where, "laser theta");
  for (const char* skipped : {"odom x", "odom y", "odom theta"}) {
    ReadNumber(fields, where, skipped);
  }
  const double stamp = ReadStamp(fields, where, "ipc timestamp");
  // Both ends of the field of view carry a beam when n is odd.
  const double field_of_view = params.field_of_view.value_or(kPi);
  const std::size_t steps = n % 2 == 1 ? n - 1 : n;
  const double increment = params.resolution.value_or(
      steps > 0 ? field_of_view / static_cast<double>(steps) : field_of_view);
  const double angle_min = params.start_angle.value_or(-field_of_view / 2.0);
  return MakeRecord(stamp, angle_min, increment, params.max_range.value_or(kDefaultMaxRange),
                    std::move(ranges), x, y, theta);
}

// ROBOTLASER1 laser_type start_angle field_of_view angular_resolution
// maximum_range accuracy remission_mode n r_0 ... r_{n-1} m v_0 ... v_{m-1}
// laser_x laser_y laser_theta robot_x robot_y robot_theta tv rv
// forward_safety_dist side_safety_dist turn_axis ipc_timestamp ...
ScanRecord ReadRobotLaser(std::istringstream& fields, const std::string& where) {
  ReadNumber(fields, where, "laser type");
  const double angle_min = ReadWithin(fields, where, "start angle", 2.0 * kPi);
  ReadNumber(fields, where, "field of view");
  const double increment = ReadPositive(fields, where, "angular resolution", 2.0 * kPi);
  const double max_range = ReadPositive(fields, where, "maximum range", kLargestRange);
  ReadNumber(fields, where, "accuracy");
  ReadNumber(fields, where, "remission mode");
  const std::size_t n = ReadCount(fields, where);
  std::vector<float> ranges;
  ReadRanges(fields, where, n, ranges);
  const std::size_t remissions = ReadCount(fields, where);
  for (std::size_t i = 0; i < remissions; ++i) ReadNumber(fields, where, "remission value");
  const double x = ReadFinite(fields, where, "laser x");
  const double y = ReadFinite(fields, where, "laser y");
  const double theta = ReadFinite(fields, where, "laser theta");
  for (const char* skipped : {"robot x", "robot y", "robot theta", "tv", "rv",
                              "forward safety distance", "side safety distance", "turn axis"}) {
    ReadNumber(fields, where, skipped);
  }
  const double stamp = ReadStamp(fields, where, "ipc timestamp");
  return MakeRecord(stamp, angle_min, increment, max_range, std::move(ranges), x, y, theta);
}

}  // namespace

CarmenLog ReadCarmen(const std::string& path) {
  std::ifstream file = OpenText(path);
  FrontLaserParams params;
  std::vector<ScanRecord> flaser;
  std::vector<ScanRecord> robot_laser;
  CarmenLog log;
  std::string line;
  for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
    std::istringstream fields(line);
    std::string kind;
    if (!(fields >> kind)) continue;
    if (kind == "PARAM") {
      ReadParam(fields, Where(path, line_number), params);
    } else if (kind == "FLASER") {
      flaser.push_back(ReadFlaser(fields, Where(path, line_number), params));
    } else if (kind == "ROBOTLASER1") {
      robot_laser.push_back(ReadRobotLaser(fields, Where(path, line_number)));
    } else if (kind == "RLASER" || kind == "ROBOTLASER2") {
      ++log.rear_laser_lines;
    }
  }
  log.front_laser_lines = robot_laser.empty() ? "FLASER" : "ROBOTLASER1";
  log.scans = robot_laser.empty() ? std::move(flaser) : std::move(robot_laser);
  return log;
}

std::vector<ScanRecord> ReadCarmenLog(const std::string& path) { return ReadCarmen(path).scans; }

}  // namespace datasets
}  // namespace larkspur
