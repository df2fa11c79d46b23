// One time step of a replay, as every stage after the source sees it: a
// cloud, a scan, or both, with their poses and ground truth. Deliberately
// free of the scene generator, so scoring, pictures and the pipeline do not
// depend on how a frame was made.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "geometry_msgs/msg/pose.hpp"
#include "sensor_msgs/msg/laser_scan.hpp"
#include "truth.h"

namespace larkspur {
namespace replay {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// Truth vectors are empty when the source has no ground truth for the frame.
struct Frame {
  std::size_t index = 0;
  std::string name;  // file or line the frame came from, for messages
  std::shared_ptr<Cloud> cloud;
  Eigen::Matrix4f cloud_pose = Eigen::Matrix4f::Identity();  // sensor pose, fixed frame
  std::vector<PointTruth> cloud_truth;
  // Points dropped as read (no return: all-zero or non-finite) and the truth
  // of those that had one (DropUnusablePoints).
  std::size_t dropped_points = 0;
  std::vector<PointTruth> dropped_truth;
  std::shared_ptr<sensor_msgs::msg::LaserScan> scan;
  geometry_msgs::msg::Pose scan_pose;
  std::vector<PointTruth> scan_truth;
};

}  // namespace replay
}  // namespace larkspur
