#include "pipeline.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#include "larkspur_perception_libs/camera_frame.h"

namespace larkspur {
namespace replay {
namespace {

// Runs `call` and returns its duration in milliseconds.
template <typename Call>
double TimeMs(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  std::forward<Call>(call)();
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(end - start).count();
}

// Builds a detector from the record read from `file`; the library's
// complaint about a value comes back naming the file.
template <typename Detector, typename Params>
std::unique_ptr<Detector> MakeDetector(const Params& params, const std::string& file) {
  try {
    return std::make_unique<Detector>(params);
  } catch (const std::invalid_argument& error) {
    throw ConfigError(file + ": " + error.what());
  }
}

}  // namespace

Pipeline::Pipeline(const ReplayConfig& config)
    : config_(config),
      ground_remover_(config.ground),
      clusterer_(config.cluster),
      cloud_detector_(MakeDetector<kestrel::perception::DynamicCloudDetector>(
          config.cloud_detector, config.files.cloud_detector)),
      laser_detector_(MakeDetector<kestrel::perception::DynamicLaserDetector>(
          config.laser_detector, config.files.laser_detector)) {
  cloud_detector_->Init(config.camera);
  if (!CameraFrameInstance::load(config.camera_id, config.camera.extrinsic)) {
    throw ConfigError(config.files.camera + ": \"camera_id\" " + std::to_string(config.camera_id) +
                      " cannot be registered");
  }
}

FrameOutput Pipeline::Run(const Frame& frame) {
  FrameOutput output;
  if (frame.cloud) output.cloud = RunCloud(frame, output.times);
  if (frame.scan) output.scan = RunScan(frame, output.times);
  return output;
}

CloudOutput Pipeline::RunCloud(const Frame& frame, CallTimes& times) {
  CloudOutput out;
  times.ground_remove =
      TimeMs([&] { ground_remover_.groundRemove(frame.cloud, out.nonground, out.ground); });
  // The LiDAR free-space mode also takes the ground as seen free; the
  // camera mode is driven as a node drives it.
  const auto ground = LidarFreeSpaceMode(config_) ? out.ground : nullptr;
  times.update =
      TimeMs([&] { cloud_detector_->Update(out.nonground, ground, frame.cloud_pose, false); });
  times.divide_cloud =
      TimeMs([&] { cloud_detector_->DivideCloud(out.nonground, out.dynamic, out.static_points); });
  int count = 0;
  times.obstacle_cluster =
      TimeMs([&] { clusterer_.obstacleCluster(out.nonground, count, out.clusters); });
  out.shapes.resize(out.clusters.size());
  times.camera_frame = TimeMs([&] {
    const std::shared_ptr<CameraFrame> camera = CameraFrameInstance::get(config_.camera_id);
    for (std::size_t i = 0; i < out.clusters.size(); ++i) {
      camera->calculate(out.clusters[i]);
      camera->fillShapeToMsg(out.shapes[i]);
    }
  });
  return out;
}

ScanOutput Pipeline::RunScan(const Frame& frame, CallTimes& times) {
  ScanOutput out;
  times.process = TimeMs([&] {
    laser_detector_->Process(frame.scan, frame.scan_pose, out.dynamic_scan, out.static_scan);
  });
  return out;
}

}  // namespace replay
}  // namespace larkspur
