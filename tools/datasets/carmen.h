// Reader of CARMEN logs (the text format of the CARMEN robot toolkit, as kept
// by the Radish repository): the front laser's scans with the laser's pose.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "datasets.h"

namespace larkspur {
namespace datasets {

// The front laser's scans of a CARMEN log, and what was left out.
//
// Scans come from one kind of line, in log order:
// - ROBOTLASER1 lines, when the log holds any: they state start angle, field
//   of view, angular resolution (radians) and maximum range themselves. Logs
//   that hold them often repeat each scan as an FLASER line, which is then
//   not read, so that no scan enters twice.
// - Otherwise FLASER lines: n readings over the field of view centred on the
//   heading, from -90 degrees; the increment is 180 / (n - 1) degrees when n
//   is odd (181, 361, 721 beams: both ends measured) and 180 / n when n is
//   even (180, 360: the older layout, which ends one step short of +90).
//   PARAM lines before a scan can state the front laser's layout, and then
//   win: "laser_front_laser_fov" (degrees; the scan is centred on the
//   heading), "laser_front_laser_start_angle" (degrees) and
//   "laser_front_laser_resolution" (degrees per beam).
// The rear laser (RLASER, ROBOTLASER2) is never mixed in; its lines are
// counted. A reading at or beyond the maximum range means no return:
// range_max is the maximum range the log states (ROBOTLASER1's own field, or
// a PARAM "robot_front_laser_max" or "laser_front_laser_max_range" in
// metres), else 81.0 m, below the 81.8-81.9 m that SICK lasers report for no
// return. Other lines are skipped. x y theta of a line are the laser's pose.
struct CarmenLog {
  std::vector<ScanRecord> scans;
  std::string front_laser_lines;  // "FLASER" or "ROBOTLASER1"
  std::size_t rear_laser_lines = 0;
};

// Throws DatasetError naming the file and line of a malformed line.
CarmenLog ReadCarmen(const std::string& path);

// The scans of ReadCarmen.
std::vector<ScanRecord> ReadCarmenLog(const std::string& path);

}  // namespace datasets
}  // namespace larkspur
