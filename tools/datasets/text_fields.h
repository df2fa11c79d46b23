// Field readers shared by the line-based recording formats (KITTI poses and
// calibration, laser scan text, CARMEN logs). Every failure throws
// DatasetError with the "file:line: " prefix the caller hands in.
#pragma once

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sensor_msgs/msg/laser_scan.hpp"

namespace larkspur {
namespace datasets {

// Opens a text file or throws naming it.
std::ifstream OpenText(const std::string& path);

// "path:line: ", the prefix of every message about that line.
std::string Where(const std::string& path, std::size_t line_number);

bool IsCommentOrBlank(const std::string& line);

// Reads one number (also "inf", "-inf" and "nan") or throws naming the field.
double ReadNumber(std::istringstream& fields, const std::string& where, const char* what);

// Reads a time stamp in seconds; it must be finite and within the range of
// a message stamp's whole seconds (a signed 32-bit count).
double ReadStamp(std::istringstream& fields, const std::string& where, const char* what);

// Reads a count of readings, bounded so that a corrupt line cannot ask for an
// absurd allocation.
std::size_t ReadCount(std::istringstream& fields, const std::string& where);

// Reads `n` readings into `ranges` (single precision, as the scan holds them).
void ReadRanges(std::istringstream& fields, const std::string& where, std::size_t n,
                std::vector<float>& ranges);

// A scan of `n` beams as a driver fills it: frame "laser", the stamp split
// into seconds and nanoseconds, angle_max = angle_min + (n - 1) *
// angle_increment in single precision; ranges left empty.
sensor_msgs::msg::LaserScan MakeScan(double stamp, float angle_min, float angle_increment,
                                     float range_min, float range_max, std::size_t n);

}  // namespace datasets
}  // namespace larkspur
