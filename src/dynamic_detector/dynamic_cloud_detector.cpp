#include "larkspur_perception_libs/dynamic_cloud_detector.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "dynamic_detector/ego_grid.h"
#include "dynamic_detector/lidar_free_space.h"
#include "larkspur_perception_libs/logger.h"

namespace kestrel {
namespace perception {
namespace {

using Cloud = DynamicCloudDetector::Cloud;

// Height of a cell no point has marked in the current cloud.
constexpr float kUnmarked = -std::numeric_limits<float>::infinity();

// Depth to which the image corners are cast to bound the camera's footprint.
constexpr double kFootprintDepth = 5.0;

// Image pixel (u, v) as the camera-frame point at kFootprintDepth. The
// difference is single precision, the scaling double.
Eigen::Vector4f CastToFootprintDepth(const Eigen::Matrix3f& intrinsic, std::int64_t u,
                                     std::int64_t v) {
  const float fx = intrinsic(0, 0);
  const float fy = intrinsic(1, 1);
  const float cx = intrinsic(0, 2);
  const float cy = intrinsic(1, 2);
  const double du = static_cast<float>(u) - cx;
  const double dv = static_cast<float>(v) - cy;
  return {static_cast<float>(du * kFootprintDepth / fx),
          static_cast<float>(dv * kFootprintDepth / fy), static_cast<float>(kFootprintDepth), 1.0f};
}

// x and y of transform * point, summed column by column. Written out because
// Eigen's vectorised product fuses multiply and add on aarch64, which would put
// footprint edges on other cells than on x86-64.
Eigen::Vector2f PlanarTransform(const Eigen::Matrix4f& transform, const Eigen::Vector4f& point) {
  Eigen::Vector2f result;
  for (int row = 0; row < 2; ++row) {
    float sum = transform(row, 0) * point(0);
    for (int col = 1; col < 4; ++col) sum = sum + transform(row, col) * point(col);
    result(row) = sum;
  }
  return result;
}

bool AllFinite(const std::array<Eigen::Vector2f, 5>& points) {
  return std::all_of(points.begin(), points.end(),
                     [](const Eigen::Vector2f& p) { return p.allFinite(); });
}

cv::Vec3b StatusColour(int status) {
  switch (status) {
    case OCCUPIED:
      return {0, 255, 0};
    case FREE:
      return {255, 255, 255};
    case OCCLUDED:
      return {0, 0, 255};
    default:
      return {255, 0, 0};
  }
}

// Log-odds -1..1 as grey 0..255, truncated. Values outside that range, which
// the grid never holds, saturate instead of overflowing the byte.
std::uint8_t LogOddsGrey(float log_odds) {
  if (!(log_odds > -1.0f)) return 0;
  if (log_odds >= 1.0f) return 255;
  return static_cast<std::uint8_t>((static_cast<double>(log_odds) + 1.0) / 2.0 * 255.0);
}

// highgui's Qt back end aborts the process when it finds no display, so the
// windows are only opened when one is configured.
bool DisplayConfigured() {
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
  };
  return set("DISPLAY") || set("QT_QPA_PLATFORM");
}

// Whether a point lies inside the grid in a cell whose log-odds is below the
// threshold: a dynamic point.
class DynamicTest {
 public:
  DynamicTest(const OccupancyGridMap& grid, float threshold)
      : cells_(grid), log_odds_(grid.log_odds_map().ptr<float>(0)), threshold_(threshold) {}

  bool operator()(const pcl::PointXYZ& point) const {
    const int i = cells_.IndexOrMinusOne(point.x, point.y);
    return i >= 0 && log_odds_[i] < threshold_;
  }

 private:
  ego_grid::CellArithmetic cells_;
  const float* log_odds_;
  float threshold_;
};

}  // namespace

std::array<Eigen::Vector2f, 5> CameraGroundFootprint(const CameraInfo& camera_info) {
  // 64 bits: an image size of INT_MIN must not overflow.
  const std::int64_t last_u = std::int64_t{camera_info.width} - 1;
  const std::int64_t last_v = std::int64_t{camera_info.height} - 1;
  const std::array<std::pair<std::int64_t, std::int64_t>, 4> corners = {
      {{0, 0}, {0, last_v}, {last_u, last_v}, {last_u, 0}}};
  std::array<Eigen::Vector2f, 5> footprint;
  for (std::size_t k = 0; k < corners.size(); ++k) {
    const Eigen::Vector4f ray_end =
        CastToFootprintDepth(camera_info.intrinsic, corners[k].first, corners[k].second);
    footprint[k] = PlanarTransform(camera_info.extrinsic, ray_end);
  }
  footprint[4] = {camera_info.extrinsic(0, 3), camera_info.extrinsic(1, 3)};
  return footprint;
}

DynamicCloudDetectorParams DynamicCloudDetectorParams::FromYaml(const YAML::Node& config) {
  DynamicCloudDetectorParams params;
  static_cast<EgoGridParams&>(params) = ego_grid::ReadGridKeys(config);
  const YAML::Node lidar = config["lidar_free_space"];
  if (lidar.IsDefined()) params.lidar_free_space = LidarFreeSpaceParams::FromYaml(lidar);
  return params;
}

DynamicCloudDetector::DynamicCloudDetector(std::string config_path)
    : DynamicCloudDetector(YAML::LoadFile(config_path)) {}

DynamicCloudDetector::DynamicCloudDetector(YAML::Node config)
    : DynamicCloudDetector(DynamicCloudDetectorParams::FromYaml(config)) {}

DynamicCloudDetector::DynamicCloudDetector(const DynamicCloudDetectorParams& params)
    : occupancy_threshold_(params.occupancy_threshold),
      log_odds_obstacle_(params.log_odds_obstacle),
      log_odds_free_space_(params.log_odds_free_space),
      log_odds_occlusion_(params.log_odds_occlusion),
      grid_map_(ego_grid::NewGrid(ego_grid::ValidatedGridSide(params), params.resolution)) {
  if (params.lidar_free_space) CheckLidarFreeSpace(params);
  // Deliberate: texts as they are, underscores included (see README, Compatibility quirks).
  LARKSPUR_LOGF_INFO("occupancy_threshold: %f", occupancy_threshold_);
  LARKSPUR_LOGF_INFO("log_odds_obstacle: %f", log_odds_obstacle_);
  LARKSPUR_LOGF_INFO("log_odds_occlusion_: %f", log_odds_occlusion_);
  LARKSPUR_LOGF_INFO("log_odds_free_space_: %f", log_odds_free_space_);

  const std::size_t cells = static_cast<std::size_t>(grid_map_->grid_width()) *
                            static_cast<std::size_t>(grid_map_->grid_width());
  grid_status_.resize(cells, UNOBSERVED);
  grid_height_.resize(cells, default_height_);
  corner_in_roi_.resize(cells, 0);
  if (params.lidar_free_space) StartLidarFreeSpace(*params.lidar_free_space);
}

void DynamicCloudDetector::CheckLidarFreeSpace(const DynamicCloudDetectorParams& params) {
  params.lidar_free_space->Check();
  if (!(params.occupancy_threshold <= 0.0f)) {
    throw std::invalid_argument(
        "\"occupancy_threshold\" must be at most 0 with \"lidar_free_space\", got " +
        std::to_string(params.occupancy_threshold));
  }
}

void DynamicCloudDetector::StartLidarFreeSpace(const LidarFreeSpaceParams& params) {
  LARKSPUR_LOGF_INFO(
      "lidar free space: azimuth resolution %f, height band [%f, %f], max range %f, margin %f, "
      "sensor at (%f, %f, %f)",
      params.azimuth_resolution, params.min_height, params.max_height, params.max_range,
      params.free_margin, params.sensor_position.x(), params.sensor_position.y(),
      params.sensor_position.z());
  const int gw = grid_map_->grid_width();
  grid_map_->set_log_odds_map(cv::Mat(gw, gw, CV_32FC1, cv::Scalar(0.0)));
  lidar_free_space_ = std::make_shared<LidarFreeSpace>(params, *grid_map_);
}

void DynamicCloudDetector::Init(const CameraInfo& camera_info) {
  camera_info_ = camera_info;
  const int cells = grid_map_->grid_width() * grid_map_->grid_width();
  // Cleared, not only resized: a second camera replaces the first footprint.
  roi_mask_.assign(cells, 0);

  const std::array<Eigen::Vector2f, 5> footprint = CameraGroundFootprint(camera_info_);
  if (AllFinite(footprint)) {
    std::vector<cv::Point2f> corners;
    for (const Eigen::Vector2f& p : footprint) corners.emplace_back(p.x(), p.y());
    std::vector<cv::Point2f> hull;
    cv::convexHull(corners, hull, false, true);
    // A footprint collapsed to a point or a line encloses no cell, and
    // pointPolygonTest refuses the empty hull OpenCV may give for it.
    for (int i = 0; hull.size() >= 3 && i < cells; ++i) {
      const cv::Point2f corner(grid_map_->GetXFromIndex(i), grid_map_->GetYFromIndex(i));
      if (cv::pointPolygonTest(hull, corner, false) > 0) roi_mask_[i] = 1;
    }
  }

  for (int i = 0; i < cells; ++i) {
    corner_in_roi_[i] = IsInRoi(grid_map_->GetXFromIndex(i), grid_map_->GetYFromIndex(i));
  }
}

bool DynamicCloudDetector::IsInRoi(float x, float y) const {
  if (roi_mask_.empty() || !grid_map_->IsValidPoint(x, y)) return false;
  return roi_mask_[grid_map_->GetIndexFromXy(x, y)] > 0;
}

void DynamicCloudDetector::Update(std::shared_ptr<const Cloud> cloud, const Eigen::Matrix4f& pose,
                                  bool visualize) {
  Update(std::move(cloud), nullptr, pose, visualize);
}

void DynamicCloudDetector::Update(std::shared_ptr<const Cloud> cloud,
                                  std::shared_ptr<const Cloud> ground_cloud,
                                  const Eigen::Matrix4f& pose, bool visualize) {
  LARKSPUR_LOGF_DEBUG("received cloud size: %ld", static_cast<long>(cloud ? cloud->size() : 0));
  const auto t0 = std::chrono::system_clock::now();

  const ego_grid::PlanarPose current{{pose(0, 3), pose(1, 3)}, std::atan2(pose(1, 0), pose(0, 0))};
  const ego_grid::PlanarMotion motion =
      ego_grid::MotionBetween({last_position_, last_yaw_}, current, ego_grid::Arithmetic::kScalar);
  const Eigen::Vector2f& position = current.position;
  const float yaw = current.yaw;
  LARKSPUR_LOG_DEBUG("Current pose: {}, {}, {}", position.x(), position.y(), yaw);

  if (initialized_) {
    TransformOccupancyGridMap(-motion.translation, -motion.turn);
  } else {
    initialized_ = true;
  }
  // Stored before integrating: if the debug windows cannot be shown, grid and
  // stored pose still belong to the same frame.
  last_position_ = position;
  last_yaw_ = yaw;
  const auto t1 = std::chrono::system_clock::now();

  InputCloudToOccupancyGridMap(std::move(cloud), std::move(ground_cloud), visualize);
  const auto t2 = std::chrono::system_clock::now();

  LARKSPUR_LOG_DEBUG("transform runtime = {0:d}(us)", ego_grid::Microseconds(t1 - t0));
  LARKSPUR_LOG_DEBUG("gridmap runtime = {0:d}(us)", ego_grid::Microseconds(t2 - t1));
}

void DynamicCloudDetector::InputCloudToOccupancyGridMap(std::shared_ptr<const Cloud> cloud,
                                                        bool visualize) {
  InputCloudToOccupancyGridMap(std::move(cloud), nullptr, visualize);
}

void DynamicCloudDetector::InputCloudToOccupancyGridMap(std::shared_ptr<const Cloud> cloud,
                                                        std::shared_ptr<const Cloud> ground_cloud,
                                                        bool visualize) {
  std::fill(grid_height_.begin(), grid_height_.end(), kUnmarked);
  if (lidar_free_space_) {
    lidar_free_space_->Scan(cloud.get(), ground_cloud.get());
    if (cloud) MarkOccupiedCells(*cloud, lidar_free_space_->points_on_road());
  } else if (cloud) {
    MarkOccupiedCells(*cloud, {});
  }
  UpdateCells();
  if (lidar_free_space_) lidar_free_space_->KeepRoadCellsUnknown(*grid_map_);
  if (visualize) ShowDebugWindows();
}

void DynamicCloudDetector::MarkOccupiedCells(const Cloud& cloud,
                                             const std::vector<std::uint8_t>& skipped_points) {
  const ego_grid::CellArithmetic cells(*grid_map_);
  const float r = grid_map_->resolution();
  const float default_height = default_height_;
  float* const heights = grid_height_.data();
  // A cell's first mark starts its height at the default. Marked heights are
  // never below it, so raising the height to the default (unmarked cells hold
  // minus infinity) and then to z leaves marked heights as they would be,
  // without a branch on the loaded value. The marks live in the heights
  // alone, so that each probe touches one array.
  const auto mark = [&](int column, int row, float z) {
    if (column < 0 || row < 0) return;
    float& height = heights[cells.Index(column, row)];
    const float start = height < default_height ? default_height : height;
    height = start < z ? z : start;
  };
  const bool skipping = !skipped_points.empty();
  for (std::size_t k = 0; k < cloud.points.size(); ++k) {
    const pcl::PointXYZ& p = cloud.points[k];
    // x and y that are not finite fall outside the grid; a height that is not
    // finite is no measurement either.
    if (!std::isfinite(p.z)) continue;
    if (skipping && skipped_points[k]) continue;
    // The probes (x, y), (x - r, y), (x + r, y), (x, y - r), (x, y + r) share
    // their columns and rows.
    const int column = cells.Cell(p.x);
    const int row = cells.Cell(p.y);
    mark(column, row, p.z);
    mark(cells.Cell(p.x - r), row, p.z);
    mark(cells.Cell(p.x + r), row, p.z);
    mark(column, cells.Cell(p.y - r), p.z);
    mark(column, cells.Cell(p.y + r), p.z);
  }
}

void DynamicCloudDetector::UpdateCells() {
  OccupancyGridMap& grid = *grid_map_;
  const LidarFreeSpace* const lidar = lidar_free_space_.get();
  const std::size_t cells = grid_status_.size();
  for (std::size_t i = 0; i < cells; ++i) {
    const bool seen_free = lidar ? lidar->SeesFree(i) : corner_in_roi_[i] != 0;
    const int status = grid_height_[i] != kUnmarked ? OCCUPIED : seen_free ? FREE : UNOBSERVED;
    grid_status_[i] = status;
    switch (status) {
      case OCCUPIED:
        grid.SetHeight(i, grid_height_[i]);
        grid.AddLogOdds(i, log_odds_obstacle_);
        break;
      case FREE:
        grid.SetHeight(i, default_height_);
        grid.AddLogOdds(i, log_odds_free_space_);
        break;
      default:
        break;
    }
  }
}

DynamicCloudDetector::DebugImages DynamicCloudDetector::DrawDebugImages() const {
  const int gw = grid_map_->grid_width();
  cv::Mat status(gw, gw, CV_8UC3);
  cv::Mat log_odds(gw, gw, CV_8UC3);
  for (int i = 0; i < gw * gw; ++i) {
    const int row = grid_map_->GetYIndexFromIndex(i);
    const int col = grid_map_->GetXIndexFromIndex(i);
    status.at<cv::Vec3b>(row, col) = StatusColour(grid_status_[i]);
    const std::uint8_t grey = LogOddsGrey(grid_map_->GetOccupancy(i));
    log_odds.at<cv::Vec3b>(row, col) = cv::Vec3b(grey, grey, grey);
  }
  DebugImages images;
  // Row 0 holds the most negative y; flipped, +y points up on screen.
  cv::flip(status, images.occupancy, 0);
  cv::flip(log_odds, images.dynamic_static, 0);
  cv::addWeighted(images.occupancy, 0.5, images.dynamic_static, 0.5, 0.0, images.combined);
  return images;
}

void DynamicCloudDetector::ShowDebugWindows() const {
  if (!DisplayConfigured()) {
    LARKSPUR_LOG_DEBUG("debug windows not shown: neither DISPLAY nor QT_QPA_PLATFORM is set");
    return;
  }
  const DebugImages images = DrawDebugImages();
  cv::imshow("occupancy", images.occupancy);
  cv::waitKey(1);
  cv::imshow("dynamic_static", images.dynamic_static);
  cv::waitKey(1);
  cv::imshow("combined", images.combined);
  cv::waitKey(1);
}

void DynamicCloudDetector::DivideCloud(const Cloud& cloud, Cloud& dynamic_cloud,
                                       Cloud& static_cloud) const {
  if (&cloud == &dynamic_cloud || &cloud == &static_cloud) {
    // Emptying an output would empty the input: divide a copy.
    const Cloud input = cloud;
    DivideCloud(input, dynamic_cloud, static_cloud);
    return;
  }
  // clear and push_back keep width and height in step with the points, so
  // that a serialised output (toROSMsg) describes the points it carries.
  dynamic_cloud.clear();
  static_cloud.clear();
  const DynamicTest is_dynamic(*grid_map_, occupancy_threshold_);
  for (const pcl::PointXYZ& p : cloud.points) {
    (is_dynamic(p) ? dynamic_cloud : static_cloud).push_back(p);
  }
}

void DynamicCloudDetector::DivideCloud(const std::shared_ptr<Cloud>& cloud,
                                       std::shared_ptr<Cloud>& dynamic_cloud,
                                       std::shared_ptr<Cloud>& static_cloud) const {
  if (!dynamic_cloud || !static_cloud) return;
  if (!cloud) {
    dynamic_cloud->clear();
    static_cloud->clear();
    return;
  }
  DivideCloud(*cloud, *dynamic_cloud, *static_cloud);
}

void DynamicCloudDetector::DivideCloud(const Cloud& cloud,
                                       std::vector<std::uint8_t>& dynamic_flags) const {
  dynamic_flags.resize(cloud.size());
  const DynamicTest is_dynamic(*grid_map_, occupancy_threshold_);
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    dynamic_flags[i] = is_dynamic(cloud[i]) ? 1 : 0;
  }
}

void DynamicCloudDetector::TransformOccupancyGridMap(const Eigen::Vector2f& translation,
                                                     float angle) {
  // Once the motion is unknown, so is every cell.
  const ego_grid::GridMotionRule rule = {ego_grid::Arithmetic::kScalar,
                                         {cv::INTER_LINEAR, 0.0f},
                                         ego_grid::RasterWarp{cv::INTER_CUBIC, default_height_},
                                         false,
                                         ego_grid::NonFiniteMotion::kForgetGrid};
  ego_grid::MoveGrid(*grid_map_, translation, angle, rule);
}

}  // namespace perception
}  // namespace kestrel
