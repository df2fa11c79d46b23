// The fuzz targets' bodies: decode the bytes (decoders.h), drive the entry
// points through a sequence of calls on one object, and check what every
// caller relies on after each call. A broken expectation aborts with a
// message, which the fuzzer reports like a crash. Shared by the libFuzzer
// programs and by the regression tests, which replay saved inputs.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "decoders.h"
#include "larkspur_perception_libs/camera_frame.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/occupancy_grid.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

#define LARKSPUR_FUZZ_STRINGIFY_(x) #x
#define LARKSPUR_FUZZ_STRINGIFY(x) LARKSPUR_FUZZ_STRINGIFY_(x)
#define LARKSPUR_FUZZ_CHECK(condition) \
  ((condition)                         \
       ? static_cast<void>(0)          \
       : ::larkspur::fuzz::Fail(__FILE__ ":" LARKSPUR_FUZZ_STRINGIFY(__LINE__) ": " #condition))

namespace larkspur {
namespace fuzz {

[[noreturn]] inline void Fail(const char* expectation) {
  std::fprintf(stderr, "broken expectation: %s\n", expectation);
  std::abort();
}

// Log statements stay on (their formatting is exercised) but write nowhere;
// values already in the environment win.
inline void QuietLogger() {
  setenv("SPDLOG_LEVEL", "debug", 0);
  setenv("SPDLOG_STDOUT", "false", 0);
  setenv("SPDLOG_SYSTEMD", "false", 0);
}

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;

// Bit patterns of a point, so that NaN coordinates compare equal to themselves.
inline std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> PointBits(const pcl::PointXYZ& p) {
  return {BitsFromFloat(p.x), BitsFromFloat(p.y), BitsFromFloat(p.z)};
}

// Checks that the outputs together hold at most the input's points, each at
// most as often as the input does, with coordinates unchanged.
class PointMultiset {
 public:
  explicit PointMultiset(const Cloud& cloud) {
    for (const pcl::PointXYZ& point : cloud) points_.push_back(PointBits(point));
    std::sort(points_.begin(), points_.end());
  }
  void Take(const Cloud& cloud) {
    for (const pcl::PointXYZ& point : cloud) {
      const auto found = std::lower_bound(points_.begin(), points_.end(), PointBits(point));
      LARKSPUR_FUZZ_CHECK(found != points_.end() && *found == PointBits(point));
      points_.erase(found);
    }
  }
  std::size_t size() const { return points_.size(); }

 private:
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> points_;
};

inline bool SameBits(float a, float b) { return BitsFromFloat(a) == BitsFromFloat(b); }

// Every log-odds value of the grid is a number; `saturated` also requires the
// range [-1, 1] that the bilinear moves and saturating updates keep.
inline void CheckGrid(const kestrel::perception::OccupancyGridMap& grid, bool saturated) {
  const cv::Mat& map = grid.log_odds_map();
  const std::size_t cells =
      static_cast<std::size_t>(grid.grid_width()) * static_cast<std::size_t>(grid.grid_width());
  LARKSPUR_FUZZ_CHECK(map.isContinuous() && map.type() == CV_32FC1 && map.total() == cells);
  const float* values = map.ptr<float>(0);
  for (std::size_t i = 0; i < cells; ++i) {
    LARKSPUR_FUZZ_CHECK(std::isfinite(values[i]));
    if (saturated) LARKSPUR_FUZZ_CHECK(values[i] >= -1.0f && values[i] <= 1.0f);
  }
}

// Grids larger than this per side are left to the configuration target:
// their whole-grid passes would slow the sequence targets to a crawl.
constexpr double kMaxSequenceCellsPerSide = 600.0;

inline bool SmallEnoughGrid(const DetectorConfig& config) {
  const double cells = GridCellsPerSide(config);
  return std::isnan(cells) || cells <= kMaxSequenceCellsPerSide;
}

// A file that the laser detector reads its configuration from, removed at exit.
class ConfigFile {
 public:
  ConfigFile() {
    char name[] = "/tmp/larkspur_fuzz_config_XXXXXX";
    const int fd = mkstemp(name);
    LARKSPUR_FUZZ_CHECK(fd >= 0);
    close(fd);
    path_ = name;
  }
  ~ConfigFile() { unlink(path_.c_str()); }
  const std::string& Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    return path_;
  }

 private:
  std::string path_;
};

inline const std::string& WriteConfigFile(const std::string& text) {
  static ConfigFile file;
  return file.Write(text);
}

// ---------------------------------------------------------------- configuration

// Whether `text` configures a grid that the detectors accept but that is
// larger than kMaxSequenceCellsPerSide: building one costs up to seconds
// under the sanitizers, and would stall the search for other faults. Grids
// refused for their size are still built (and refused) every time.
inline bool LargeAcceptedGrid(const std::string& text) {
  try {
    const YAML::Node node = YAML::Load(text);
    DetectorConfig config;
    config.resolution = node["resolution"].as<float>();
    config.width = node["width"].as<float>();
    const double cells = GridCellsPerSide(config);
    return cells > kMaxSequenceCellsPerSide && cells <= kestrel::perception::kMaxGridCellsPerSide;
  } catch (const YAML::Exception&) {
    return false;
  }
}

// The bytes as the YAML text of both detectors' configuration. Only the
// documented exceptions may come out.
inline void RunDetectorConfig(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (LargeAcceptedGrid(text)) return;
  try {
    kestrel::perception::DynamicCloudDetector detector(YAML::Load(text));
    LARKSPUR_FUZZ_CHECK(detector.grid_map().grid_width() > 0);
  } catch (const YAML::Exception&) {
  } catch (const std::invalid_argument&) {
  }
  try {
    kestrel::perception::DynamicLaserDetector detector(WriteConfigFile(text));
    LARKSPUR_FUZZ_CHECK(detector.grid_map().grid_width() > 0);
  } catch (const YAML::Exception&) {
  } catch (const std::invalid_argument&) {
  }
}

// ---------------------------------------------------------------- cloud detector

// A refilled output is unorganised; an emptied one may keep PCL's 0 x 0 shape.
inline void CheckUnorganised(const Cloud& output) {
  LARKSPUR_FUZZ_CHECK(output.width == output.size() && (output.height == 1 || output.empty()));
}

inline void CheckDivision(const Cloud& input, const Cloud& dynamic_cloud,
                          const Cloud& static_cloud) {
  LARKSPUR_FUZZ_CHECK(dynamic_cloud.size() + static_cloud.size() == input.size());
  CheckUnorganised(dynamic_cloud);
  CheckUnorganised(static_cloud);
  PointMultiset points(input);
  points.Take(dynamic_cloud);
  points.Take(static_cloud);
}

inline void RunCloudDetectorStep(kestrel::perception::DynamicCloudDetector& detector,
                                 const CloudDetectorStep& step) {
  using Step = CloudDetectorStep;
  const auto cloud = std::make_shared<Cloud>(step.cloud);
  switch (step.op) {
    case Step::kUpdate:
      detector.Update(cloud, step.pose.Matrix(), false);
      break;
    case Step::kUpdateNullCloud:
      detector.Update(nullptr, step.pose.Matrix(), false);
      break;
    case Step::kDivide: {
      Cloud dynamic_cloud;
      Cloud static_cloud;
      detector.DivideCloud(*cloud, dynamic_cloud, static_cloud);
      CheckDivision(*cloud, dynamic_cloud, static_cloud);
      break;
    }
    case Step::kDivideShared: {
      auto dynamic_cloud = std::make_shared<Cloud>(step.cloud);
      auto static_cloud = std::make_shared<Cloud>();
      detector.DivideCloud(cloud, dynamic_cloud, static_cloud);
      CheckDivision(step.cloud, *dynamic_cloud, *static_cloud);
      break;
    }
    case Step::kDivideInPlace: {
      Cloud static_cloud;
      detector.DivideCloud(*cloud, *cloud, static_cloud);
      CheckDivision(step.cloud, *cloud, static_cloud);
      break;
    }
    case Step::kIntegrate:
      detector.InputCloudToOccupancyGridMap(cloud, false);
      break;
    case Step::kTransform:
      detector.TransformOccupancyGridMap(step.xy, step.angle);
      break;
    case Step::kInit:
      detector.Init(step.camera);
      break;
    case Step::kIsInRoi:
      static_cast<void>(detector.IsInRoi(step.xy.x(), step.xy.y()));
      break;
    case Step::kDrawDebugImages: {
      const auto images = detector.DrawDebugImages();
      const int width = detector.grid_map().grid_width();
      LARKSPUR_FUZZ_CHECK(images.combined.rows == width && images.combined.cols == width);
      break;
    }
    default:
      break;
  }
}

inline void RunCloudDetector(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  CloudDetectorInput input;
  Transfer(reader, input);
  if (!SmallEnoughGrid(input.config)) return;
  std::unique_ptr<kestrel::perception::DynamicCloudDetector> detector;
  try {
    detector = std::make_unique<kestrel::perception::DynamicCloudDetector>(ToYaml(input.config));
  } catch (const std::invalid_argument&) {
    return;
  }
  detector->Init(input.camera);
  for (const CloudDetectorStep& step : input.steps) {
    RunCloudDetectorStep(*detector, step);
    const std::size_t cells = static_cast<std::size_t>(detector->grid_map().grid_width()) *
                              static_cast<std::size_t>(detector->grid_map().grid_width());
    LARKSPUR_FUZZ_CHECK(detector->grid_status().size() == cells);
    CheckGrid(detector->grid_map(), true);
  }
}

// ---------------------------------------------------------------- laser detector

using LaserScan = sensor_msgs::msg::LaserScan;
using LaserScanPtr = std::shared_ptr<LaserScan>;

inline constexpr float kOtherClassRange = std::numeric_limits<float>::max();

inline LaserScanPtr MakeScan(const ScanInput& input) {
  auto scan = std::make_shared<LaserScan>();
  scan->angle_min = input.angle_min;
  scan->angle_max = input.angle_max;
  scan->angle_increment = input.angle_increment;
  scan->time_increment = input.time_increment;
  scan->scan_time = input.scan_time;
  scan->range_min = input.range_min;
  scan->range_max = input.range_max;
  scan->ranges = input.ranges;
  return scan;
}

inline geometry_msgs::msg::Pose MakePose(const PoseMessage& input) {
  geometry_msgs::msg::Pose pose;
  pose.position.x = input.x;
  pose.position.y = input.y;
  pose.position.z = input.z;
  if (input.planar) {
    pose.orientation.z = std::sin(0.5 * static_cast<double>(input.yaw));
    pose.orientation.w = std::cos(0.5 * static_cast<double>(input.yaw));
  } else {
    pose.orientation.x = input.quaternion[0];
    pose.orientation.y = input.quaternion[1];
    pose.orientation.z = input.quaternion[2];
    pose.orientation.w = input.quaternion[3];
  }
  return pose;
}

// Number of beams the detector uses: the truncated single-precision quotient
// of the angular span and the increment, none when it is not a count.
inline std::size_t UsedBeams(const LaserScan& scan) {
  const float quotient = (scan.angle_max - scan.angle_min) / scan.angle_increment;
  if (!std::isfinite(quotient) || quotient < 1.0f) return 0;
  const float available = static_cast<float>(scan.ranges.size());
  return quotient >= available ? scan.ranges.size() : static_cast<std::size_t>(quotient);
}

// Each used beam went to exactly one output with its reading, the other
// holding the largest finite float; both outputs got the scan's metadata.
inline void CheckScanDivision(const LaserScan& scan, const LaserScan& dynamic_scan,
                              const LaserScan& static_scan) {
  for (const LaserScan* output : {&dynamic_scan, &static_scan}) {
    LARKSPUR_FUZZ_CHECK(output->ranges.size() == scan.ranges.size());
    LARKSPUR_FUZZ_CHECK(SameBits(output->angle_increment, scan.angle_increment));
    LARKSPUR_FUZZ_CHECK(SameBits(output->range_max, scan.range_max));
  }
  const std::size_t beams = UsedBeams(scan);
  for (std::size_t i = 0; i < beams; ++i) {
    const float range = scan.ranges[i];
    const bool dynamic_beam = SameBits(dynamic_scan.ranges[i], range) &&
                              SameBits(static_scan.ranges[i], kOtherClassRange);
    const bool static_beam = SameBits(static_scan.ranges[i], range) &&
                             SameBits(dynamic_scan.ranges[i], kOtherClassRange);
    if (!dynamic_beam && !static_beam) {
      std::fprintf(stderr, "beam %zu of %zu: reading %g, dynamic %g, static %g\n", i, beams,
                   static_cast<double>(range), static_cast<double>(dynamic_scan.ranges[i]),
                   static_cast<double>(static_scan.ranges[i]));
    }
    LARKSPUR_FUZZ_CHECK(dynamic_beam || static_beam);
  }
}

inline void RunLaserDetectorStep(kestrel::perception::DynamicLaserDetector& detector,
                                 const LaserDetectorStep& step, LaserScanPtr& dynamic_scan,
                                 LaserScanPtr& static_scan) {
  using Step = LaserDetectorStep;
  const LaserScanPtr scan = MakeScan(step.scan);
  if (step.resize_outputs) {
    dynamic_scan->ranges.resize(step.dynamic_size, 1.0f);
    static_scan->ranges.resize(step.static_size, 2.0f);
  }
  switch (step.op) {
    case Step::kProcess:
      detector.Process(scan, MakePose(step.pose), dynamic_scan, static_scan);
      CheckScanDivision(*scan, *dynamic_scan, *static_scan);
      break;
    case Step::kProcessSameOutputs:
      detector.Process(scan, MakePose(step.pose), dynamic_scan, dynamic_scan);
      LARKSPUR_FUZZ_CHECK(dynamic_scan->ranges.size() == scan->ranges.size());
      break;
    case Step::kProcessNullScan:
      detector.Process(nullptr, MakePose(step.pose), dynamic_scan, static_scan);
      break;
    case Step::kProcessNullOutput:
      detector.Process(scan, MakePose(step.pose), dynamic_scan, nullptr);
      break;
    case Step::kIntegrate:
      detector.UpdateOccupancyGridMap(scan);
      break;
    case Step::kDivide:
      detector.Divide(scan, dynamic_scan, static_scan);
      CheckScanDivision(*scan, *dynamic_scan, *static_scan);
      break;
    case Step::kTransform:
      detector.TransformOccupancyGridMap(step.translation, step.angle);
      break;
    default:
      break;
  }
}

inline void RunLaserDetector(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  LaserDetectorInput input;
  Transfer(reader, input);
  if (!SmallEnoughGrid(input.config)) return;
  YAML::Emitter yaml;
  yaml << ToYaml(input.config);
  std::unique_ptr<kestrel::perception::DynamicLaserDetector> detector;
  try {
    detector =
        std::make_unique<kestrel::perception::DynamicLaserDetector>(WriteConfigFile(yaml.c_str()));
  } catch (const std::invalid_argument&) {
    return;
  }
  auto dynamic_scan = std::make_shared<LaserScan>();
  auto static_scan = std::make_shared<LaserScan>();
  for (const LaserDetectorStep& step : input.steps) {
    RunLaserDetectorStep(*detector, step, dynamic_scan, static_scan);
    // Bicubic moves may overshoot [-1, 1] a little, but never leave the numbers.
    CheckGrid(detector->grid_map(), false);
  }
}

// ---------------------------------------------------------------- ground removal

inline void CheckGroundOutputs(const Cloud& input, const std::vector<const Cloud*>& outputs,
                               float max_point_height) {
  PointMultiset points(input);
  for (const Cloud* output : outputs) {
    if (output == nullptr) continue;
    CheckUnorganised(*output);
    points.Take(*output);
    for (const pcl::PointXYZ& point : *output) LARKSPUR_FUZZ_CHECK(!(point.z > max_point_height));
  }
}

inline void RunGroundRemovalStep(kestrel::perception::RemoveGroundLineFit& remover,
                                 const kestrel::perception::GroundRemovalParams& params,
                                 const GroundRemovalStep& step) {
  using Step = GroundRemovalStep;
  auto cloud_or_null = [&](std::uint8_t bit, CloudPtr cloud) {
    return (step.null_clouds & bit) != 0 ? nullptr : cloud;
  };
  const CloudPtr input = cloud_or_null(Step::kNullInput, std::make_shared<Cloud>(step.cloud));
  const CloudPtr nonground = cloud_or_null(Step::kNullNonground, std::make_shared<Cloud>());
  const CloudPtr ground = cloud_or_null(Step::kNullGround, std::make_shared<Cloud>());
  const CloudPtr below = cloud_or_null(Step::kNullBelow, std::make_shared<Cloud>());
  const Cloud& input_points = input ? *input : Cloud();
  switch (step.op) {
    case Step::kSetInputCloud:
      remover.set_input_cloud(input);
      break;
    case Step::kGroundRemove:
      remover.groundRemove(input, nonground, ground);
      CheckGroundOutputs(input_points, {nonground.get(), ground.get()}, params.max_point_height);
      break;
    case Step::kGroundRemoveKept:
      try {
        remover.groundRemove(input, nonground, ground, below);
      } catch (const std::out_of_range&) {
        LARKSPUR_FUZZ_CHECK(remover.getAllLineFitPoints().empty());
      }
      CheckGroundOutputs(input_points, {nonground.get(), ground.get(), below.get()},
                         params.max_point_height);
      break;
    case Step::kReadBack:
      for (const Cloud& segment : remover.getAllLineFitPoints()) {
        LARKSPUR_FUZZ_CHECK(segment.size() == 2);
      }
      static_cast<void>(remover.getAllTracePoints().size());
      break;
    case Step::kFindPrototypes: {
      std::vector<kestrel::perception::STRU_SegmentedPoint> points;
      for (std::size_t i = 0; i < step.cloud.size(); ++i) {
        points.emplace_back(step.cloud[i], step.bin_indices[i], kestrel::perception::NON_GROUND);
      }
      std::vector<kestrel::perception::PointPolarCoord> prototypes;
      remover.findPrototypePoints(points, step.bin_count, prototypes);
      LARKSPUR_FUZZ_CHECK(prototypes.size() <= points.size());
      break;
    }
    case Step::kLineFitting: {
      // The fit takes one sector's prototypes in increasing range; NaN ranges
      // go last so that the order is a strict weak one.
      std::vector<kestrel::perception::PointPolarCoord> prototypes = step.prototypes;
      std::stable_sort(prototypes.begin(), prototypes.end(), [](const auto& a, const auto& b) {
        return std::make_tuple(std::isnan(a.range), std::isnan(a.range) ? 0.0f : a.range) <
               std::make_tuple(std::isnan(b.range), std::isnan(b.range) ? 0.0f : b.range);
      });
      std::vector<kestrel::perception::STRU_Line> lines;
      remover.incrementalLineFitting(prototypes, lines);
      std::int32_t index = 0;
      double distance = 0.0;
      remover.diluting(prototypes, index, distance);
      LARKSPUR_FUZZ_CHECK(index >= 0 && static_cast<std::size_t>(index) <= prototypes.size());
      break;
    }
    case Step::kLeastSquareFit: {
      float intercept = 0.0f;
      float slope = 0.0f;
      try {
        remover.leastSquareFit(step.prototypes, step.last, intercept, slope);
      } catch (const std::out_of_range&) {
        LARKSPUR_FUZZ_CHECK(step.last < 0 ||
                            static_cast<std::size_t>(step.last) >= step.prototypes.size());
      }
      break;
    }
    case Step::kSegmentDistance: {
      std::vector<kestrel::perception::STRU_Line> segments;
      for (std::size_t i = 1; i < step.prototypes.size(); i += 2) {
        const auto& a = step.prototypes[i - 1];
        const auto& b = step.prototypes[i];
        segments.emplace_back(a.range, a.height, a.angle, b.range, b.height, b.angle);
      }
      for (const auto& query : step.prototypes) {
        static_cast<void>(remover.point2LineSegmentDist(
            pcl::PointXYZ(query.range, query.height, 0.0f), segments));
        if (!segments.empty()) {
          static_cast<void>(
              remover.point2LineDistance(query, step.prototypes.front(), step.prototypes.back()));
        }
      }
      break;
    }
    default:
      break;
  }
}

inline void RunGroundRemoval(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  GroundRemovalInput input;
  Transfer(reader, input);
  std::unique_ptr<kestrel::perception::RemoveGroundLineFit> remover;
  try {
    remover = std::make_unique<kestrel::perception::RemoveGroundLineFit>(input.params);
  } catch (const std::invalid_argument&) {
    return;
  }
  for (const GroundRemovalStep& step : input.steps) {
    RunGroundRemovalStep(*remover, input.params, step);
  }
}

// ---------------------------------------------------------------- clustering

// The flood fill scans each cell's search window, so its work grows with
// cells x window; a wide window over a large grid takes minutes under the
// sanitizers, which a fuzzing run would report as a hang. Such inputs are left
// to the unit tests.
inline bool ClusterWorkTooSlowToFuzz(const Cloud& cloud, float grid_step, int search_size) {
  float min_x = std::numeric_limits<float>::max(), max_x = std::numeric_limits<float>::lowest();
  float min_y = min_x, max_y = max_x;
  for (const pcl::PointXYZ& p : cloud) {
    min_x = std::min(min_x, p.x), max_x = std::max(max_x, p.x);
    min_y = std::min(min_y, p.y), max_y = std::max(max_y, p.y);
  }
  const double cols = (static_cast<double>(max_x) - min_x) / grid_step + 1.0;
  const double rows = (static_cast<double>(max_y) - min_y) / grid_step + 1.0;
  const double side = std::fabs(static_cast<double>(search_size)) + 3.0;
  const double window = std::min(cols, side) * std::min(rows, side);
  return cols * rows > static_cast<double>(1 << 20) || cols * rows * window > 1e8;
}

inline void RunCloudCluster(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  ClusterInput input;
  Transfer(reader, input);
  kestrel::perception::CloudClusterPara para;
  para.grid_step = input.grid_step;
  para.search_size = input.search_size;
  para.point_threshold = input.point_threshold;
  kestrel::perception::CloudCluster cluster(para);
  int count = 0;
  for (const ClusterStep& step : input.steps) {
    if (step.set_count) count = step.count;
    if (!step.null_cloud &&
        ClusterWorkTooSlowToFuzz(step.cloud, input.grid_step, input.search_size))
      continue;
    const CloudPtr cloud = step.null_cloud ? nullptr : std::make_shared<Cloud>(step.cloud);
    std::vector<CloudPtr> clusters(step.prefilled,
                                   step.prefilled_null ? nullptr : std::make_shared<Cloud>());
    const int count_before = count;
    cluster.obstacleCluster(cloud, count, clusters);
    if (count == count_before && clusters.size() == step.prefilled) continue;
    // Something was found: `count` grew and `clusters` holds one entry per label.
    LARKSPUR_FUZZ_CHECK(count >= count_before && count_before >= 0);
    LARKSPUR_FUZZ_CHECK(clusters.size() == static_cast<std::size_t>(count));
    PointMultiset points(*cloud);
    for (std::size_t k = 0; k < clusters.size(); ++k) {
      LARKSPUR_FUZZ_CHECK(clusters[k] != nullptr);
      if (k < static_cast<std::size_t>(count_before)) LARKSPUR_FUZZ_CHECK(clusters[k]->empty());
      points.Take(*clusters[k]);
    }
  }
}

// ---------------------------------------------------------------- camera frame

inline void CheckShape(CameraFrame& frame, std::uint8_t shape_size) {
  larkspur_protocol::msg::SemanticPointCloud message;
  message.shape.resize(shape_size);
  const bool filled = frame.fillShapeToMsg(message);
  LARKSPUR_FUZZ_CHECK(filled == frame.data().valid);
  if (!filled) {
    LARKSPUR_FUZZ_CHECK(message.shape.size() == shape_size);
    return;
  }
  LARKSPUR_FUZZ_CHECK(message.shape.size() == 4);
  for (const auto& point : message.shape) {
    LARKSPUR_FUZZ_CHECK(std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z));
  }
}

inline void RunCameraFrame(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  CameraFrameInput input;
  Transfer(reader, input);
  for (const CameraFrameStep& step : input.steps) {
    const CloudPtr cloud = step.null_cloud ? nullptr : std::make_shared<Cloud>(step.cloud);
    const bool id_in_range = step.id >= 0 && step.id < CameraFrameInstance::kMaxSlots;
    switch (step.op) {
      case CameraFrameStep::kLoad:
        LARKSPUR_FUZZ_CHECK(CameraFrameInstance::load(step.id, step.extrinsic) == id_in_range);
        if (id_in_range) LARKSPUR_FUZZ_CHECK(CameraFrameInstance::get(step.id) != nullptr);
        break;
      case CameraFrameStep::kGet:
        if (!id_in_range) LARKSPUR_FUZZ_CHECK(CameraFrameInstance::get(step.id) == nullptr);
        break;
      case CameraFrameStep::kCalculate:
        if (const auto frame = CameraFrameInstance::get(step.id)) {
          LARKSPUR_FUZZ_CHECK(frame->calculate(cloud));
          CheckShape(*frame, step.shape_size);
        }
        break;
      case CameraFrameStep::kFill:
        if (const auto frame = CameraFrameInstance::get(step.id)) {
          CheckShape(*frame, step.shape_size);
        }
        break;
      case CameraFrameStep::kOwnFrame: {
        CameraFrame frame(step.extrinsic);
        CheckShape(frame, step.shape_size);
        LARKSPUR_FUZZ_CHECK(frame.calculate(cloud));
        CheckShape(frame, step.shape_size);
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace fuzz
}  // namespace larkspur
