// Drives the library frame by frame as a perception node would: the
// point-cloud path (groundRemove, Update, DivideCloud, obstacleCluster, a
// camera frame per cluster written into a SemanticPointCloud) and the laser
// path (Process), timing every library call.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "config.h"
#include "frame.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_protocol/msg/semantic_point_cloud.hpp"

namespace larkspur {
namespace replay {

// Wall-clock time of each library call of one frame, in milliseconds; no
// value when the call did not run (no cloud, no scan, no cluster).
struct CallTimes {
  std::optional<double> ground_remove;
  std::optional<double> update;
  std::optional<double> divide_cloud;
  std::optional<double> obstacle_cluster;
  std::optional<double> camera_frame;  // calculate + fillShapeToMsg, all clusters
  std::optional<double> process;
};

struct CloudOutput {
  std::shared_ptr<Cloud> ground = std::make_shared<Cloud>();
  std::shared_ptr<Cloud> nonground = std::make_shared<Cloud>();
  std::shared_ptr<Cloud> dynamic = std::make_shared<Cloud>();
  std::shared_ptr<Cloud> static_points = std::make_shared<Cloud>();
  std::vector<std::shared_ptr<Cloud>> clusters;
  // One message per cluster whose shape holds the camera frame's extremes:
  // smallest bearing, largest bearing, nearest, farthest.
  std::vector<larkspur_protocol::msg::SemanticPointCloud> shapes;
};

struct ScanOutput {
  std::shared_ptr<sensor_msgs::msg::LaserScan> dynamic_scan =
      std::make_shared<sensor_msgs::msg::LaserScan>();
  std::shared_ptr<sensor_msgs::msg::LaserScan> static_scan =
      std::make_shared<sensor_msgs::msg::LaserScan>();
};

struct FrameOutput {
  std::optional<CloudOutput> cloud;
  std::optional<ScanOutput> scan;
  CallTimes times;
};

class Pipeline {
 public:
  // Builds the library objects; a detector file the library refuses gives a
  // ConfigError naming the file.
  explicit Pipeline(const ReplayConfig& config);

  FrameOutput Run(const Frame& frame);

  const ReplayConfig& config() const { return config_; }
  const kestrel::perception::DynamicCloudDetector& cloud_detector() const {
    return *cloud_detector_;
  }
  const kestrel::perception::DynamicLaserDetector& laser_detector() const {
    return *laser_detector_;
  }

 private:
  CloudOutput RunCloud(const Frame& frame, CallTimes& times);
  ScanOutput RunScan(const Frame& frame, CallTimes& times);

  ReplayConfig config_;
  kestrel::perception::RemoveGroundLineFit ground_remover_;
  kestrel::perception::CloudCluster clusterer_;
  std::unique_ptr<kestrel::perception::DynamicCloudDetector> cloud_detector_;
  std::unique_ptr<kestrel::perception::DynamicLaserDetector> laser_detector_;
};

}  // namespace replay
}  // namespace larkspur
