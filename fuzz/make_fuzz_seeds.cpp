// Writes the seed corpora of the fuzz targets: plausible scenes (a street
// ring, a room scan, two obstacle blobs, a walking person) encoded with the
// targets' own decoders, so that fuzzing starts from inputs that reach deep
// into every algorithm.
//
// Usage: make_fuzz_seeds OUTPUT_DIR
// writes OUTPUT_DIR/<fuzz target>/<seed name> for every target.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera_frame_inputs.h"
#include "cloud_cluster_inputs.h"
#include "dynamic_detector_inputs.h"
#include "ground_removal_inputs.h"
#include "io.h"

namespace {

namespace fs = std::filesystem;
using larkspur::fuzz::Writer;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;

constexpr float kPi = 3.14159265f;

void Save(const fs::path& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

template <typename Input>
void SaveInput(const fs::path& dir, const std::string& name, Input& input) {
  Writer writer;
  larkspur::fuzz::Transfer(writer, input);
  Save(dir, name, writer.Bytes());
}

// Square block of points, `step` apart, from `z0` to `z1` in height.
void AddBlock(Cloud& cloud, float x, float y, float side, float z0, float z1, float step) {
  for (float dx = 0.0f; dx <= side; dx += step) {
    for (float dy = 0.0f; dy <= side; dy += step) {
      for (float z = z0; z <= z1; z += 3.0f * step) cloud.push_back({x + dx, y + dy, z});
    }
  }
}

// Ground rings of a sensor `height` above a slightly sloping road, with a car.
Cloud StreetScene(float height) {
  Cloud cloud;
  for (float range = 3.0f; range < 25.0f; range += 3.0f) {
    for (float angle = -kPi; angle < kPi; angle += 0.1f) {
      const float x = range * std::cos(angle);
      cloud.push_back({x, range * std::sin(angle), -height + 0.02f * x});
    }
  }
  AddBlock(cloud, 6.0f, -1.0f, 1.5f, -height + 0.2f, -height + 1.4f, 0.25f);
  return cloud;
}

void DetectorConfigSeeds(const fs::path& dir) {
  const std::string keys =
      "resolution: 0.1\nwidth: 20\noccupancy_threshold: 0.0\nlog_odds_obstacle: 0.2\n"
      "log_odds_occlusion: 0.0\nlog_odds_free_space: -0.4\n";
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"complete", keys},
      {"sub_obstacle_scale", keys + "log_odds_sub_obstacle_scale: 0.25\n"},
      {"flow",
       "{resolution: 0.05, width: 5.5, occupancy_threshold: -0.1, log_odds_obstacle: "
       "0.4, log_odds_occlusion: 0.1, log_odds_free_space: -0.2}"},
      {"missing_key", "resolution: 0.1\nwidth: 20\noccupancy_threshold: 0.0\n"},
      {"not_a_number", keys + "width: wide\n"},
      {"special_values",
       "resolution: .inf\nwidth: -.nan\noccupancy_threshold: 1e40\n"
       "log_odds_obstacle: 0x10\nlog_odds_occlusion: ~\nlog_odds_free_space: []\n"},
      {"sequence", "- resolution\n- 0.1\n"},
  };
  for (const auto& [name, text] : texts) Save(dir, name, {text.begin(), text.end()});
}

kestrel::perception::CameraInfo ForwardCamera() {
  kestrel::perception::CameraInfo camera;
  camera.width = 640;
  camera.height = 480;
  camera.intrinsic << 400.0f, 0.0f, 320.0f, 0.0f, 400.0f, 240.0f, 0.0f, 0.0f, 1.0f;
  camera.extrinsic << 0.0f, 0.0f, 1.0f, 0.2f, -1.0f, 0.0f, 0.0f, 0.0f, 0.0f, -1.0f, 0.0f, -0.3f,
      0.0f, 0.0f, 0.0f, 1.0f;
  return camera;
}

// Obstacles above the ground plus a person walking across the view.
Cloud ObstacleScene(int frame) {
  Cloud cloud;
  AddBlock(cloud, 3.0f, -0.5f, 0.6f, 0.0f, 0.9f, 0.15f);
  AddBlock(cloud, 2.0f, 0.5f + 0.15f * static_cast<float>(frame), 0.3f, 0.0f, 1.7f, 0.1f);
  return cloud;
}

void CloudDetectorSeeds(const fs::path& dir) {
  using Step = larkspur::fuzz::CloudDetectorStep;
  larkspur::fuzz::CloudDetectorInput moving;
  moving.config.width = 10.0f;
  moving.camera = ForwardCamera();
  for (int frame = 0; frame < 4; ++frame) {
    Step step;
    step.op = Step::kUpdate;
    step.cloud = ObstacleScene(frame);
    step.pose.x = 0.1f * static_cast<float>(frame);
    step.pose.yaw = 0.03f * static_cast<float>(frame);
    moving.steps.push_back(step);
  }
  Step divide;
  divide.op = Step::kDivideShared;
  divide.cloud = ObstacleScene(4);
  moving.steps.push_back(divide);
  SaveInput(dir, "moving_robot", moving);

  larkspur::fuzz::CloudDetectorInput calls;
  calls.config.width = 6.0f;
  calls.config.resolution = 0.2f;
  calls.camera = ForwardCamera();
  for (std::uint8_t op = 0; op < Step::kOpCount; ++op) {
    Step step;
    step.op = op;
    step.cloud = ObstacleScene(op);
    step.camera = ForwardCamera();
    step.pose.x = 0.05f * op;
    step.xy = {0.3f, -0.2f};
    step.angle = 0.1f;
    calls.steps.push_back(step);
    if (calls.steps.size() == larkspur::fuzz::kMaxSteps) {
      SaveInput(dir, "calls_" + std::to_string(op), calls);
      calls.steps.clear();
    }
  }
  if (!calls.steps.empty()) SaveInput(dir, "calls_last", calls);
}

// A 4 m x 6 m room around the robot and a person at `person` (x, y).
larkspur::fuzz::ScanInput RoomScan(float person_x, float person_y) {
  larkspur::fuzz::ScanInput scan;
  scan.angle_min = -kPi;
  scan.angle_max = kPi;
  scan.angle_increment = 2.0f * kPi / 360.0f;
  scan.time_increment = 1e-4f;
  scan.scan_time = 0.1f;
  scan.range_min = 0.1f;
  scan.range_max = 8.0f;
  for (int i = 0; i <= 360; ++i) {
    const float bearing = scan.angle_min + static_cast<float>(i) * scan.angle_increment;
    const float c = std::cos(bearing);
    const float s = std::sin(bearing);
    const float to_x_wall = std::abs(c) > 1e-6f ? (c > 0 ? 3.0f : 1.0f) / std::abs(c) : 1e9f;
    const float to_y_wall = std::abs(s) > 1e-6f ? 2.0f / std::abs(s) : 1e9f;
    float range = std::min(to_x_wall, to_y_wall);
    const float across = std::abs(-s * person_x + c * person_y);
    const float along = c * person_x + s * person_y;
    if (across < 0.2f && along > 0.0f && along < range) range = along;
    scan.ranges.push_back(range);
  }
  return scan;
}

void LaserDetectorSeeds(const fs::path& dir) {
  using Step = larkspur::fuzz::LaserDetectorStep;
  larkspur::fuzz::LaserDetectorInput walking;
  walking.config.width = 10.0f;
  walking.config.log_odds_occlusion = 0.05f;
  for (int frame = 0; frame < 5; ++frame) {
    Step step;
    step.op = Step::kProcess;
    step.scan = RoomScan(1.5f, -1.0f + 0.3f * static_cast<float>(frame));
    step.pose.x = 0.05f * static_cast<float>(frame);
    step.pose.yaw = 0.02f * static_cast<float>(frame);
    walking.steps.push_back(step);
  }
  SaveInput(dir, "person_walking", walking);

  larkspur::fuzz::LaserDetectorInput calls;
  calls.config.resolution = 0.2f;
  calls.config.width = 8.0f;
  calls.config.has_sub_obstacle_scale = true;
  for (std::uint8_t op = 0; op < Step::kOpCount; ++op) {
    Step step;
    step.op = op;
    step.scan = RoomScan(1.0f, 0.2f * op);
    step.pose.x = 0.1f * op;
    step.pose.yaw = 0.1f * op;
    step.resize_outputs = op % 2 == 1;
    step.dynamic_size = 400;
    step.static_size = 10;
    step.translation = {0.2f, -0.1f};
    step.angle = 0.08f;
    calls.steps.push_back(step);
    if (calls.steps.size() == larkspur::fuzz::kMaxSteps) {
      SaveInput(dir, "calls_" + std::to_string(op), calls);
      calls.steps.clear();
    }
  }
  if (!calls.steps.empty()) SaveInput(dir, "calls_last", calls);
}

// A street of slopes up to 0.3 under a sensor 1.73 m high.
kestrel::perception::GroundRemovalParams StreetParams() {
  kestrel::perception::GroundRemovalParams p;
  p.sector_angle = 0.1f;
  p.max_range = 30.0f;
  p.min_range = 2.0f;
  p.bin_size = 0.5f;
  p.ground_height = -1.73f;
  p.max_fit_error = 0.05f;
  p.max_slope = 0.3f;
  p.seed_max_above = 0.4f;
  p.seed_max_below = 0.4f;
  p.ground_distance_threshold = 0.2f;
  p.max_height_jump = 0.3f;
  p.near_zone_x_limit = 2.5f;
  p.near_zone_depth = 0.5f;
  p.max_point_height = 3.0f;
  p.split_distance = 0.2f;
  p.outlier_sigma_factor = 2.0f;
  return p;
}

void GroundRemovalSeeds(const fs::path& dir) {
  using Step = larkspur::fuzz::GroundRemovalStep;
  larkspur::fuzz::GroundRemovalInput street;
  street.params = StreetParams();
  for (std::uint8_t op :
       {Step::kSetInputCloud, Step::kGroundRemoveKept, Step::kGroundRemove, Step::kReadBack}) {
    Step step;
    step.op = op;
    step.cloud = StreetScene(1.73f);
    street.steps.push_back(step);
  }
  SaveInput(dir, "street", street);

  larkspur::fuzz::GroundRemovalInput parts;
  parts.params = StreetParams();
  for (std::uint8_t op :
       {Step::kFindPrototypes, Step::kLineFitting, Step::kLeastSquareFit, Step::kSegmentDistance}) {
    Step step;
    step.op = op;
    for (int i = 0; i < 12; ++i) {
      const float range = 2.0f + 0.5f * static_cast<float>(i);
      const float height = -1.73f + (i < 8 ? 0.01f * range : 0.3f * (range - 5.5f));
      step.prototypes.emplace_back(range, height, 0.1f);
      step.cloud.push_back({range, 0.0f, height});
      step.bin_indices.push_back(i);
    }
    step.bin_count = 12;
    step.last = 7;
    parts.steps.push_back(step);
  }
  SaveInput(dir, "fitting_steps", parts);
}

void CloudClusterSeeds(const fs::path& dir) {
  larkspur::fuzz::ClusterInput blobs;
  blobs.grid_step = 0.1f;
  larkspur::fuzz::ClusterStep first;
  AddBlock(first.cloud, 0.0f, 0.0f, 0.3f, 0.0f, 1.0f, 0.05f);
  AddBlock(first.cloud, 2.0f, 1.0f, 0.3f, 0.0f, 0.5f, 0.05f);
  blobs.steps.push_back(first);
  larkspur::fuzz::ClusterStep continued = first;
  continued.set_count = true;
  continued.count = 2;
  continued.prefilled = 2;
  blobs.steps.push_back(continued);
  SaveInput(dir, "two_blobs", blobs);

  larkspur::fuzz::ClusterInput fine;
  fine.search_size = 5;
  larkspur::fuzz::ClusterStep step;
  AddBlock(step.cloud, 0.0f, 0.0f, 0.2f, 0.0f, 0.3f, 0.02f);
  fine.steps.push_back(step);
  SaveInput(dir, "fine_grid", fine);
}

void CameraFrameSeeds(const fs::path& dir) {
  using Step = larkspur::fuzz::CameraFrameStep;
  larkspur::fuzz::CameraFrameInput registry;
  Cloud cloud = ObstacleScene(0);
  for (std::uint8_t op :
       {Step::kLoad, Step::kGet, Step::kCalculate, Step::kFill, Step::kOwnFrame, Step::kLoad}) {
    Step step;
    step.op = op;
    step.id = op == Step::kLoad && !registry.steps.empty() ? 9 : 0;
    step.extrinsic = ForwardCamera().extrinsic;
    step.cloud = cloud;
    step.shape_size = 7;
    registry.steps.push_back(step);
  }
  SaveInput(dir, "registry", registry);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];
  DetectorConfigSeeds(out / "detector_config_fuzzer");
  CloudDetectorSeeds(out / "cloud_detector_fuzzer");
  LaserDetectorSeeds(out / "laser_detector_fuzzer");
  GroundRemovalSeeds(out / "ground_removal_fuzzer");
  CloudClusterSeeds(out / "cloud_cluster_fuzzer");
  CameraFrameSeeds(out / "camera_frame_fuzzer");
  return 0;
}
