// Readers of the recorded data formats used by the tests, benchmarks and the
// replay tool. Every reader throws DatasetError with the file name and the
// line or frame at fault; none of them crashes on malformed input.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry_msgs/msg/pose.hpp"
#include "sensor_msgs/msg/laser_scan.hpp"

namespace larkspur {
namespace datasets {

class DatasetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// KITTI velodyne frame: little-endian float32 x y z intensity per point, in
// the sensor frame (x forward, y left, z up, metres). Intensity is dropped.
std::shared_ptr<Cloud> ReadKittiBin(const std::string& path);

// PCD file (ascii, binary or binary_compressed) with at least the fields x, y
// and z, read with PCL's reader after a check of the header: PCL trusts the
// header, and a garbled one could crash it.
std::shared_ptr<Cloud> ReadPcd(const std::string& path);

// SemanticKITTI labels: one uint32 per point (low 16 bits class, high 16 bits
// instance). Throws when the count differs from `expected_points`.
std::vector<std::uint32_t> ReadSemanticKittiLabels(const std::string& path,
                                                   std::size_t expected_points);

// KITTI pose file: one row-major 3 x 4 matrix per line, returned as 4 x 4.
std::vector<Eigen::Matrix4f> ReadKittiPoses(const std::string& path);

// The velodyne-to-camera-0 transform of a KITTI calibration file: the "Tr:"
// entry of an odometry calib.txt or the "Tr_velo_to_cam:" entry of an object
// calib file (row-major 3 x 4), returned as 4 x 4.
Eigen::Matrix4f ReadKittiVeloToCam(const std::string& path);
// The same entry, or nothing when the file holds neither key.
std::optional<Eigen::Matrix4f> FindKittiVeloToCam(const std::string& path);

// A planar scan with the pose of the robot when it was taken.
struct ScanRecord {
  double stamp = 0.0;
  sensor_msgs::msg::LaserScan scan;
  geometry_msgs::msg::Pose pose;
};

// One scan per line after '#' comments:
//   stamp angle_min angle_increment range_min range_max n r_0 ... r_{n-1}
// Readings may be "inf" or "nan"; a line with more or fewer than n readings is
// an error. The pose is the identity. angle_max is set
// to angle_min + (n - 1) * angle_increment, as a driver would.
std::vector<ScanRecord> ReadLaserPeople(const std::string& path);

// CARMEN logs: carmen.h.

// Planar pose message from x, y and yaw.
geometry_msgs::msg::Pose PlanarPose(double x, double y, double yaw);

// Path of `relative` inside the shared recordings folder (environment variable
// LARKSPUR_SHARED_DATA, else the folder beside the source tree), or nothing
// when that file or folder does not exist.
std::optional<std::string> SharedDataPath(const std::string& relative);

}  // namespace datasets
}  // namespace larkspur
