// Writes the library's own cloud and scan outputs for the Python tests, which
// compare the module's indices and masks with them. Clouds are read and
// written as raw float32 x y z triples.
//
//   larkspur_python_reference ground FIT.f32 SPLIT.f32 OUT_DIR FIELD...(18)
//     one-call split of FIT: nonground.f32, ground.f32; fit of FIT kept and
//     split of SPLIT: kept_nonground.f32, kept_ground.f32, kept_below.f32
//   larkspur_python_reference cluster POINTS.f32 GRID_STEP SEARCH THRESHOLD OUT_DIR
//     cluster_<k>.f32 for every cluster k, and count.txt
//   larkspur_python_reference laser RECORDING CONFIG.yaml SCANS OUT.bin
//     per scan: float32 angle_min angle_max angle_increment range_min
//     range_max, float64 x y z qx qy qz qw, uint32 n, float32 ranges[n],
//     float32 dynamic ranges[n], float32 static ranges[n]
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "carmen.h"
#include "datasets.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace {

namespace kp = kestrel::perception;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;
using LaserScan = sensor_msgs::msg::LaserScan;

CloudPtr ReadPoints(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot be read");
  auto cloud = std::make_shared<Cloud>();
  float xyz[3];
  while (in.read(reinterpret_cast<char*>(xyz), sizeof xyz))
    cloud->push_back({xyz[0], xyz[1], xyz[2]});
  return cloud;
}

void WritePoints(const Cloud& cloud, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  for (const pcl::PointXYZ& p : cloud)
    out.write(reinterpret_cast<const char*>(p.data), 3 * sizeof(float));
  if (!out) throw std::runtime_error(path + ": cannot be written");
}

template <typename T>
void Write(std::ofstream& out, const T& value) {
  out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

void Ground(char** argv) {
  const CloudPtr fit = ReadPoints(argv[0]);
  const CloudPtr split = ReadPoints(argv[1]);
  const std::string out = argv[2];
  kp::GroundRemovalParams params;
  float* fields = &params.sector_angle;
  for (int i = 0; i < 18; ++i) fields[i] = std::stof(argv[3 + i]);
  kp::RemoveGroundLineFit remover(params);
  auto nonground = std::make_shared<Cloud>(), ground = std::make_shared<Cloud>(),
       below = std::make_shared<Cloud>();
  remover.groundRemove(fit, nonground, ground);
  WritePoints(*nonground, out + "/nonground.f32");
  WritePoints(*ground, out + "/ground.f32");
  remover.set_input_cloud(fit);
  remover.groundRemove(split, nonground, ground, below);
  WritePoints(*nonground, out + "/kept_nonground.f32");
  WritePoints(*ground, out + "/kept_ground.f32");
  WritePoints(*below, out + "/kept_below.f32");
}

void Cluster(char** argv) {
  const CloudPtr points = ReadPoints(argv[0]);
  const kp::CloudCluster clustering(
      kp::CloudClusterPara{std::stof(argv[1]), std::stoi(argv[2]), std::stoi(argv[3])});
  const std::string out = argv[4];
  int count = 0;
  std::vector<CloudPtr> clusters;
  clustering.obstacleCluster(points, count, clusters);
  for (int k = 0; k < count; ++k) {
    WritePoints(*clusters[static_cast<std::size_t>(k)],
                out + "/cluster_" + std::to_string(k) + ".f32");
  }
  std::ofstream(out + "/count.txt") << count << "\n";
}

void Laser(char** argv) {
  const std::string recording = argv[0];
  const auto records = recording.find(".clf") != std::string::npos
                           ? larkspur::datasets::ReadCarmenLog(recording)
                           : larkspur::datasets::ReadLaserPeople(recording);
  kp::DynamicLaserDetector detector(argv[1]);
  const auto scans = std::min<std::size_t>(std::stoul(argv[2]), records.size());
  std::ofstream out(argv[3], std::ios::binary);
  auto dynamic_scan = std::make_shared<LaserScan>(), static_scan = std::make_shared<LaserScan>();
  for (std::size_t k = 0; k < scans; ++k) {
    const auto scan = std::make_shared<const LaserScan>(records[k].scan);
    const geometry_msgs::msg::Pose& pose = records[k].pose;
    detector.Process(scan, pose, dynamic_scan, static_scan);
    for (const float value : {scan->angle_min, scan->angle_max, scan->angle_increment,
                              scan->range_min, scan->range_max}) {
      Write(out, value);
    }
    for (const double value :
         {pose.position.x, pose.position.y, pose.position.z, pose.orientation.x, pose.orientation.y,
          pose.orientation.z, pose.orientation.w}) {
      Write(out, value);
    }
    Write(out, static_cast<std::uint32_t>(scan->ranges.size()));
    for (const std::vector<float>* ranges : {&scan->ranges, &std::as_const(dynamic_scan->ranges),
                                             &std::as_const(static_scan->ranges)}) {
      out.write(reinterpret_cast<const char*>(ranges->data()),
                static_cast<std::streamsize>(ranges->size() * sizeof(float)));
    }
  }
  if (!out) throw std::runtime_error(std::string(argv[3]) + ": cannot be written");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ground" && argc == 2 + 3 + 18) {
      Ground(argv + 2);
    } else if (mode == "cluster" && argc == 2 + 5) {
      Cluster(argv + 2);
    } else if (mode == "laser" && argc == 2 + 4) {
      Laser(argv + 2);
    } else {
      std::cerr << "usage: see the head of reference_outputs.cpp\n";
      return 2;
    }
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  return 0;
}
