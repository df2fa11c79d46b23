#include "pictures.h"

#include <fmt/format.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "score.h"

namespace larkspur {
namespace replay {
namespace {

constexpr int kSide = 800;  // drawing area, pixels
constexpr int kTitleHeight = 34;
constexpr int kLegendRow = 24;
const cv::Scalar kBackground(255, 255, 255);
const cv::Scalar kText(30, 30, 30);
const cv::Scalar kGroundColour(185, 185, 185);
const cv::Scalar kStaticColour(180, 110, 30);
const cv::Scalar kDynamicColour(30, 30, 225);
const cv::Scalar kClusterColour(0, 150, 255);
const cv::Scalar kBearingColour(200, 0, 200);
const cv::Scalar kNearColour(0, 150, 0);
const cv::Scalar kRobotColour(20, 20, 20);
const cv::Scalar kRoiColour(60, 170, 60);
const cv::Scalar kTruthColour(0, 0, 0);
// Prediction against moving truth.
const cv::Scalar kFoundColour(0, 160, 0);
const cv::Scalar kMissedColour(200, 0, 200);
const cv::Scalar kFalseAlarmColour(0, 140, 255);

enum class Marker { kDot, kSquare, kRing, kDiamond, kLine, kTriangle, kOutline };

struct LegendEntry {
  cv::Scalar colour;
  Marker marker;
  std::string text;
};

// A picture in the robot frame: forward (x) up, left (y) left, centred on the
// robot, `range` metres to each side; title above, legend below.
class Canvas {
 public:
  Canvas(const std::string& title, double range, int legend_rows)
      : range_(range), scale_(kSide / (2.0 * range)) {
    image_ =
        cv::Mat(kTitleHeight + kSide + legend_rows * kLegendRow + 8, kSide, CV_8UC3, kBackground);
    cv::putText(image_, title, {10, 23}, cv::FONT_HERSHEY_SIMPLEX, 0.55, kText, 1, cv::LINE_AA);
    cv::line(image_, {0, kTitleHeight - 1}, {kSide, kTitleHeight - 1}, {200, 200, 200});
    cv::line(image_, {0, kTitleHeight + kSide}, {kSide, kTitleHeight + kSide}, {200, 200, 200});
  }

  cv::Point ToPixel(double x, double y) const {
    const double u = kSide / 2.0 - y * scale_;
    const double v = kTitleHeight + kSide / 2.0 - x * scale_;
    return {static_cast<int>(std::lround(std::clamp(u, -1e6, 1e6))),
            static_cast<int>(std::lround(std::clamp(v, -1e6, 1e6)))};
  }

  bool Inside(double x, double y) const { return std::abs(x) < range_ && std::abs(y) < range_; }

  void Points(const Cloud& cloud, const cv::Scalar& colour, int size) {
    for (const auto& p : cloud.points) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !Inside(p.x, p.y)) continue;
      const cv::Point c = ToPixel(p.x, p.y);
      cv::rectangle(image_, {c.x - size / 2, c.y - size / 2},
                    {c.x + (size - 1) / 2, c.y + (size - 1) / 2}, colour, cv::FILLED);
    }
  }

  void Mark(double x, double y, const cv::Scalar& colour, Marker marker, int size = 5) {
    if (!Inside(x, y)) return;
    DrawMarker(ToPixel(x, y), colour, marker, size);
  }

  void Line(double x0, double y0, double x1, double y1, const cv::Scalar& colour,
            int thickness = 1) {
    cv::line(image_, ToPixel(x0, y0), ToPixel(x1, y1), colour, thickness, cv::LINE_AA);
  }

  void Polygon(const std::vector<cv::Point2d>& corners, const cv::Scalar& colour, int thickness) {
    std::vector<cv::Point> pixels;
    for (const auto& c : corners) pixels.push_back(ToPixel(c.x, c.y));
    cv::polylines(image_, pixels, true, colour, thickness, cv::LINE_AA);
  }

  // The robot as a triangle pointing forward, 0.8 m long (at least 12 px).
  void Robot() {
    const double length = std::max(0.8, 12.0 / scale_);
    Polygon({{length * 0.6, 0.0}, {-length * 0.4, length * 0.35}, {-length * 0.4, -length * 0.35}},
            kRobotColour, 2);
  }

  void ScaleBar() {
    const double metres = range_ > 20.0 ? 10.0 : (range_ > 5.0 ? 2.0 : 1.0);
    const int pixels = static_cast<int>(std::lround(metres * scale_));
    const int y = kTitleHeight + kSide - 16;
    cv::line(image_, {14, y}, {14 + pixels, y}, kText, 2);
    cv::putText(image_, fmt::format("{:.0f} m", metres), {18 + pixels, y + 5},
                cv::FONT_HERSHEY_SIMPLEX, 0.45, kText, 1, cv::LINE_AA);
  }

  void Legend(const std::vector<LegendEntry>& entries) {
    const int columns = 2;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const int x = 14 + static_cast<int>(i % columns) * (kSide / columns);
      const int y = kTitleHeight + kSide + 18 + static_cast<int>(i / columns) * kLegendRow;
      DrawMarker({x + 6, y - 4}, entries[i].colour, entries[i].marker, 7);
      cv::putText(image_, entries[i].text, {x + 22, y}, cv::FONT_HERSHEY_SIMPLEX, 0.45, kText, 1,
                  cv::LINE_AA);
    }
  }

  cv::Mat& image() { return image_; }
  double scale() const { return scale_; }

 private:
  void DrawMarker(const cv::Point& c, const cv::Scalar& colour, Marker marker, int size) {
    switch (marker) {
      case Marker::kDot:
        cv::circle(image_, c, size / 2 + 1, colour, cv::FILLED, cv::LINE_AA);
        break;
      case Marker::kSquare:
        cv::rectangle(image_, {c.x - size / 2, c.y - size / 2}, {c.x + size / 2, c.y + size / 2},
                      colour, cv::FILLED);
        break;
      case Marker::kRing:
        cv::circle(image_, c, size / 2 + 1, colour, 1, cv::LINE_AA);
        break;
      case Marker::kDiamond:
        cv::drawMarker(image_, c, colour, cv::MARKER_DIAMOND, size + 2, 1, cv::LINE_AA);
        break;
      case Marker::kLine:
        cv::line(image_, {c.x - size, c.y}, {c.x + size, c.y}, colour, 2, cv::LINE_AA);
        break;
      case Marker::kTriangle:
        cv::drawMarker(image_, c, colour, cv::MARKER_TRIANGLE_UP, size + 5, 2, cv::LINE_AA);
        break;
      case Marker::kOutline:
        cv::rectangle(image_, {c.x - size / 2 - 1, c.y - size / 2 - 1},
                      {c.x + size / 2 + 1, c.y + size / 2 + 1}, colour, 2);
        break;
    }
  }

  double range_;
  double scale_;
  cv::Mat image_;
};

// The cloud detector's region of interest: the convex hull of the camera's
// position and its image corners cast 5 m deep, as the detector builds it.
std::vector<cv::Point2d> RoiOutline(const kestrel::perception::CameraInfo& camera) {
  std::vector<cv::Point2f> corners;
  for (const Eigen::Vector2f& p : kestrel::perception::CameraGroundFootprint(camera)) {
    if (std::isfinite(p.x()) && std::isfinite(p.y())) corners.emplace_back(p.x(), p.y());
  }
  std::vector<cv::Point2f> hull;
  if (corners.size() >= 3) cv::convexHull(corners, hull, false, true);
  return std::vector<cv::Point2d>(hull.begin(), hull.end());
}

// Where the cloud detector sees free space: the camera's region of interest,
// or in the LiDAR free-space mode its whole grid.
struct ObservedRegion {
  std::vector<cv::Point2d> outline;
  const char* name;
};

ObservedRegion CloudObservedRegion(const ReplayConfig& config) {
  if (!LidarFreeSpaceMode(config)) return {RoiOutline(config.camera), "camera region of interest"};
  const double half = std::trunc(static_cast<double>(config.cloud_detector.width)) / 2.0;
  return {{{-half, -half}, {half, -half}, {half, half}, {-half, half}}, "grid (LiDAR free space)"};
}

void DrawClusters(Canvas& canvas, const CloudOutput& output) {
  for (std::size_t i = 0; i < output.clusters.size(); ++i) {
    const Cloud& cluster = *output.clusters[i];
    if (cluster.points.empty()) continue;
    double min_x = std::numeric_limits<double>::max(), min_y = min_x;
    double max_x = -min_x, max_y = -min_x;
    for (const auto& p : cluster.points) {
      min_x = std::min<double>(min_x, p.x);
      max_x = std::max<double>(max_x, p.x);
      min_y = std::min<double>(min_y, p.y);
      max_y = std::max<double>(max_y, p.y);
    }
    if (!canvas.Inside(min_x, min_y) && !canvas.Inside(max_x, max_y)) continue;
    canvas.Polygon({{min_x, min_y}, {max_x, min_y}, {max_x, max_y}, {min_x, max_y}}, kClusterColour,
                   1);
    if (i >= output.shapes.size() || output.shapes[i].shape.size() != 4) continue;
    const auto& shape = output.shapes[i].shape;
    canvas.Mark(shape[0].x, shape[0].y, kBearingColour, Marker::kDiamond);
    canvas.Mark(shape[1].x, shape[1].y, kBearingColour, Marker::kDiamond);
    canvas.Mark(shape[2].x, shape[2].y, kNearColour, Marker::kDot, 3);
    canvas.Mark(shape[3].x, shape[3].y, kNearColour, Marker::kRing, 6);
  }
}

// Consecutive frames summed in groups, so that at most `most` remain; each
// group is placed at its first frame.
std::vector<MovingTally::FrameCounts> Pooled(const std::vector<MovingTally::FrameCounts>& frames,
                                             std::size_t most) {
  const std::size_t group = std::max<std::size_t>(1, (frames.size() + most - 1) / most);
  std::vector<MovingTally::FrameCounts> pooled;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i % group == 0) {
      pooled.push_back({frames[i].frame, {}, {}});
    }
    pooled.back().all += frames[i].all;
    pooled.back().observable += frames[i].observable;
  }
  return pooled;
}

}  // namespace

cv::Mat DrawBirdsEye(const Frame& frame, const CloudOutput& output, const ReplayConfig& config,
                     double view_range) {
  Canvas canvas(fmt::format("Frame {}: point-cloud path, bird's-eye view ({} points, {} clusters)",
                            frame.index, frame.cloud->points.size(), output.clusters.size()),
                view_range, 5);
  const int size = view_range > 40.0 ? 2 : 3;
  canvas.Points(*output.ground, kGroundColour, size);
  canvas.Points(*output.static_points, kStaticColour, size);
  const ObservedRegion observed = CloudObservedRegion(config);
  canvas.Polygon(observed.outline, kRoiColour, 1);
  DrawClusters(canvas, output);
  // Dynamic points last: they are what the picture is for.
  canvas.Points(*output.dynamic, kDynamicColour, size + 1);
  canvas.Robot();
  const Eigen::Vector3f camera = config.camera.extrinsic.block<3, 1>(0, 3);
  canvas.Mark(camera.x(), camera.y(), kRoiColour, Marker::kTriangle, 4);
  canvas.ScaleBar();
  canvas.Legend({{kGroundColour, Marker::kSquare, "ground (groundRemove)"},
                 {kStaticColour, Marker::kSquare, "non-ground, static (DivideCloud)"},
                 {kDynamicColour, Marker::kSquare, "non-ground, dynamic (DivideCloud)"},
                 {kClusterColour, Marker::kOutline, "cluster extent (obstacleCluster)"},
                 {kBearingColour, Marker::kDiamond, "camera frame: smallest / largest bearing"},
                 {kNearColour, Marker::kDot, "camera frame: nearest point"},
                 {kNearColour, Marker::kRing, "camera frame: farthest point"},
                 {kRoiColour, Marker::kLine, fmt::format("{}, camera", observed.name)},
                 {kRobotColour, Marker::kTriangle, "robot (LiDAR origin)"}});
  return canvas.image();
}

cv::Mat DrawGrid(const kestrel::perception::OccupancyGridMap& grid, float threshold,
                 const std::string& title, const kestrel::perception::CameraInfo* roi_camera) {
  const int width = grid.grid_width();
  const double range = width * static_cast<double>(grid.resolution()) / 2.0;
  Canvas canvas(title, range, 3);
  const cv::Mat& log_odds = grid.log_odds_map();
  if (width > 0 && log_odds.rows == width && log_odds.cols == width &&
      log_odds.type() == CV_32FC1) {
    // Cell (ix, iy) -> picture row (width - 1 - ix), column (width - 1 - iy):
    // forward up, left left. Free (-1) white, unknown (0) grey, occupied black.
    cv::Mat cells(width, width, CV_8UC3);
    for (int iy = 0; iy < width; ++iy) {
      const float* row = log_odds.ptr<float>(iy);
      for (int ix = 0; ix < width; ++ix) {
        const float v = std::clamp(row[ix], -1.0f, 1.0f);
        const auto grey = static_cast<std::uint8_t>(std::lround((1.0f - v) / 2.0f * 255.0f));
        const bool below = row[ix] < threshold;
        // Cells below the threshold (a point there is dynamic) get a blue tint.
        cells.at<cv::Vec3b>(width - 1 - ix, width - 1 - iy) =
            below ? cv::Vec3b(255, grey, grey) : cv::Vec3b(grey, grey, grey);
      }
    }
    // The picture's centre is the robot: for an even width the lower corner
    // of the grid's centre cell; for an odd one it is off by half a cell.
    cv::Mat area = canvas.image()(cv::Rect(0, kTitleHeight, kSide, kSide));
    cv::resize(cells, area, area.size(), 0, 0, cv::INTER_NEAREST);
  }
  if (roi_camera != nullptr) canvas.Polygon(RoiOutline(*roi_camera), kRoiColour, 2);
  canvas.Robot();
  canvas.ScaleBar();
  canvas.Legend({{cv::Scalar(190, 190, 190), Marker::kOutline, "log-odds -1 (free) ... white"},
                 {cv::Scalar(128, 128, 128), Marker::kSquare, "log-odds 0 (unknown) ... grey"},
                 {cv::Scalar(0, 0, 0), Marker::kSquare, "log-odds +1 (occupied) ... black"},
                 {cv::Scalar(255, 150, 150), Marker::kSquare,
                  fmt::format("blue tint: below occupancy_threshold {:.2f}", threshold)},
                 {kRoiColour, Marker::kLine, roi_camera ? "camera region of interest" : "-"},
                 {kRobotColour, Marker::kTriangle, "robot"}});
  return canvas.image();
}

cv::Mat DrawLaser(const Frame& frame, const ScanOutput& output, double view_range) {
  const auto& scan = *frame.scan;
  const double range = std::max(2.0, std::min<double>(view_range, scan.range_max * 1.05));
  const std::size_t classified = ClassifiedBeams(scan);
  std::size_t dynamic = 0;
  for (std::size_t i = 0; i < classified; ++i) dynamic += IsDynamicBeam(*output.dynamic_scan, i);
  const bool has_truth = frame.scan_truth.size() == scan.ranges.size();
  Canvas canvas(fmt::format("Frame {}: laser path, {} of {} beams dynamic (Process)", frame.index,
                            dynamic, classified),
                range, has_truth ? 4 : 2);
  struct BeamEnd {
    std::size_t index;
    double x, y;
    bool dynamic;
  };
  std::vector<BeamEnd> ends;
  for (std::size_t i = 0; i < classified; ++i) {
    const float r = scan.ranges[i];
    if (!std::isfinite(r)) continue;
    const double bearing = scan.angle_min + static_cast<float>(i) * scan.angle_increment;
    ends.push_back(
        {i, r * std::cos(bearing), r * std::sin(bearing), IsDynamicBeam(*output.dynamic_scan, i)});
  }
  // All beams before any end mark, so that no beam hides a mark.
  for (const BeamEnd& end : ends) {
    canvas.Line(0.0, 0.0, end.x, end.y,
                end.dynamic ? cv::Scalar(170, 170, 255) : cv::Scalar(225, 225, 225));
  }
  for (const BeamEnd& end : ends) {
    // The truth ring first, so that the detector's colour stays visible.
    const Label truth = has_truth ? frame.scan_truth[end.index].moving : Label::kUnknown;
    if (truth == Label::kYes) canvas.Mark(end.x, end.y, kTruthColour, Marker::kRing, 9);
    cv::Scalar colour = end.dynamic ? kDynamicColour : kStaticColour;
    if (truth == Label::kYes) colour = end.dynamic ? kFoundColour : kMissedColour;
    if (truth == Label::kNo && end.dynamic) colour = kFalseAlarmColour;
    canvas.Mark(end.x, end.y, colour, Marker::kDot, end.dynamic || truth == Label::kYes ? 5 : 3);
  }
  canvas.Robot();
  canvas.ScaleBar();
  std::vector<LegendEntry> legend = {
      {kStaticColour, Marker::kDot, "static beam end (static_scan)"},
      {kDynamicColour, Marker::kDot, "dynamic beam end (dynamic_scan)"},
      {cv::Scalar(170, 170, 255), Marker::kLine, "dynamic beam"},
      {kRobotColour, Marker::kTriangle, "robot (laser origin)"}};
  if (has_truth) {
    legend.push_back({kTruthColour, Marker::kRing, "truly moving object (truth)"});
    legend.push_back({kFoundColour, Marker::kDot, "found: truly moving, dynamic"});
    legend.push_back({kMissedColour, Marker::kDot, "missed: truly moving, static"});
    legend.push_back({kFalseAlarmColour, Marker::kDot, "false alarm: not moving, dynamic"});
  }
  canvas.Legend(legend);
  return canvas.image();
}

cv::Mat DrawMovingTruth(const Frame& frame, const CloudOutput& output, const ReplayConfig& config,
                        double view_range) {
  const Cloud& cloud = *frame.cloud;
  const std::vector<PointFate> fates = PointFates(cloud, output);
  const auto& truth = frame.cloud_truth;
  const std::size_t n = std::min(truth.size(), cloud.points.size());
  const cv::Scalar unlabelled(225, 225, 225), static_truth(170, 150, 120);
  const cv::Scalar moving_truth(20, 20, 200), found = kFoundColour, missed = kMissedColour;
  const cv::Scalar false_alarm = kFalseAlarmColour;
  Confusion score;
  for (std::size_t i = 0; i < n; ++i) score.Add(truth[i].moving, fates[i] == PointFate::kDynamic);
  const int size = view_range > 40.0 ? 2 : 3;
  const ObservedRegion observed = CloudObservedRegion(config);
  // Static and unlabelled points first, so that none hides a moving one.
  const auto draw = [&](Canvas& canvas, auto colour_of) {
    for (const bool moving_pass : {false, true}) {
      for (std::size_t i = 0; i < n; ++i) {
        const auto& p = cloud.points[i];
        const std::optional<cv::Scalar> colour = colour_of(i);
        const bool emphasised =
            colour && *colour != unlabelled && *colour != static_truth && *colour != kGroundColour;
        if (!colour || emphasised != moving_pass || !std::isfinite(p.x) || !std::isfinite(p.y))
          continue;
        canvas.Mark(p.x, p.y, *colour, Marker::kSquare, emphasised ? size + 1 : size - 1);
      }
    }
    canvas.Polygon(observed.outline, kRoiColour, 1);
    canvas.Robot();
    canvas.ScaleBar();
  };

  Canvas left(fmt::format("Frame {}: truth, {} moving points (SemanticKITTI 252-259)", frame.index,
                          score.true_positive + score.false_negative),
              view_range, 2);
  draw(left, [&](std::size_t i) -> std::optional<cv::Scalar> {
    switch (truth[i].moving) {
      case Label::kYes:
        return moving_truth;
      case Label::kNo:
        return truth[i].ground == Label::kYes ? kGroundColour : static_truth;
      case Label::kUnknown:
        break;
    }
    return unlabelled;
  });
  left.Legend({{moving_truth, Marker::kSquare, "moving (label 252-259)"},
               {static_truth, Marker::kSquare, "not moving (ground: lighter)"},
               {unlabelled, Marker::kSquare, "unlabelled (not scored)"},
               {kRoiColour, Marker::kLine, observed.name}});

  Canvas right(fmt::format("DivideCloud against the truth: IoU {}, precision {}, recall {}",
                           score.iou() ? fmt::format("{:.2f}", *score.iou()) : "n/a",
                           score.precision() ? fmt::format("{:.2f}", *score.precision()) : "n/a",
                           score.recall() ? fmt::format("{:.2f}", *score.recall()) : "n/a"),
               view_range, 2);
  draw(right, [&](std::size_t i) -> std::optional<cv::Scalar> {
    const bool dynamic = fates[i] == PointFate::kDynamic;
    const bool moving = truth[i].moving == Label::kYes;
    if (truth[i].moving == Label::kUnknown)
      return dynamic ? std::optional(unlabelled) : std::nullopt;
    if (moving) return dynamic ? found : missed;
    if (dynamic) return false_alarm;
    return truth[i].ground == Label::kYes ? kGroundColour : static_truth;
  });
  right.Legend(
      {{found, Marker::kSquare, fmt::format("found: moving, dynamic ({})", score.true_positive)},
       {missed, Marker::kSquare,
        fmt::format("missed: moving, called static ({})", score.false_negative)},
       {false_alarm, Marker::kSquare,
        fmt::format("false alarm: static, called dynamic ({})", score.false_positive)},
       {static_truth, Marker::kSquare, "static, called static"}});
  cv::Mat both;
  cv::hconcat(left.image(), right.image(), both);
  cv::line(both, {kSide, 0}, {kSide, both.rows}, {120, 120, 120}, 1);
  return both;
}

cv::Mat DrawScoresOverTime(const MovingTally& tally, const std::string& title) {
  constexpr int kPlotHeight = 360, kLeft = 52, kRight = 20, kTop = 16, kBottom = 36;
  cv::Mat image(kTitleHeight + kPlotHeight + kLegendRow * 2 + 8, kSide, CV_8UC3, kBackground);
  // A long recording is drawn as sums over consecutive frames, at most
  // kMostPoints of them, so that the lines stay readable.
  constexpr std::size_t kMostPoints = 150;
  const std::vector<MovingTally::FrameCounts> frames = Pooled(tally.frames(), kMostPoints);
  const std::size_t pooled = (tally.frames().size() + kMostPoints - 1) / kMostPoints;
  cv::putText(image, pooled > 1 ? fmt::format("{} (sums of {} frames)", title, pooled) : title,
              {10, 23}, cv::FONT_HERSHEY_SIMPLEX, 0.5, kText, 1, cv::LINE_AA);
  const double first = frames.empty() ? 0.0 : static_cast<double>(frames.front().frame);
  const double last = frames.empty() ? 1.0 : static_cast<double>(frames.back().frame);
  const double span = std::max(last - first, 1.0);
  const int x0 = kLeft, x1 = kSide - kRight;
  const int y0 = kTitleHeight + kTop, y1 = kTitleHeight + kPlotHeight - kBottom;
  const auto px = [&](double frame) {
    return x0 + static_cast<int>(std::lround((frame - first) / span * (x1 - x0)));
  };
  const auto py = [&](double value) {
    return y1 - static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * (y1 - y0)));
  };
  // Frames before the fixed scored set.
  if (first < static_cast<double>(kFirstScoredFrame)) {
    const int edge = std::min(px(static_cast<double>(kFirstScoredFrame) - 0.5), x1);
    cv::rectangle(image, {x0, y0}, {edge, y1}, {235, 235, 235}, cv::FILLED);
  }
  for (int k = 0; k <= 4; ++k) {
    const int y = py(k / 4.0);
    cv::line(image, {x0, y}, {x1, y}, {215, 215, 215}, 1);
    cv::putText(image, fmt::format("{:.2f}", k / 4.0), {8, y + 4}, cv::FONT_HERSHEY_SIMPLEX, 0.4,
                kText, 1, cv::LINE_AA);
  }
  const int step = std::max(1, static_cast<int>(std::ceil(span / 10.0)));
  for (int f = static_cast<int>(first); f <= static_cast<int>(last); f += step) {
    cv::line(image, {px(f), y1}, {px(f), y1 + 4}, kText, 1);
    cv::putText(image, std::to_string(f), {px(f) - 8, y1 + 18}, cv::FONT_HERSHEY_SIMPLEX, 0.4,
                kText, 1, cv::LINE_AA);
  }
  cv::putText(image, "frame", {x1 - 40, y1 + 32}, cv::FONT_HERSHEY_SIMPLEX, 0.4, kText, 1,
              cv::LINE_AA);
  cv::rectangle(image, {x0, y0}, {x1, y1}, {150, 150, 150}, 1);

  const cv::Scalar precision(200, 90, 0), recall(0, 150, 0), iou(30, 30, 220);
  // Recall under IoU (equal when nothing is falsely dynamic): wider.
  const auto series = [&](const cv::Scalar& colour, int thickness, auto value_of) {
    std::optional<cv::Point> previous;
    for (const MovingTally::FrameCounts& f : frames) {
      const std::optional<double> v = value_of(f.all);
      if (!v) {
        previous.reset();  // undefined: the line breaks
        continue;
      }
      const cv::Point p(px(static_cast<double>(f.frame)), py(*v));
      if (previous) cv::line(image, *previous, p, colour, thickness, cv::LINE_AA);
      if (frames.size() <= 60) {
        cv::circle(image, p, thickness + 2, colour, cv::FILLED, cv::LINE_AA);
      }
      previous = p;
    }
  };
  series(recall, frames.size() <= 60 ? 4 : 2, [](const Confusion& c) { return c.recall(); });
  series(precision, 1, [](const Confusion& c) { return c.precision(); });
  series(iou, 1, [](const Confusion& c) { return c.iou(); });

  const std::pair<cv::Scalar, std::string> legend[] = {
      {precision, "precision"},
      {recall, "recall"},
      {iou, "IoU = TP / (TP + FP + FN)"},
      {cv::Scalar(215, 215, 215), fmt::format("frames before {}: not scored", kFirstScoredFrame)}};
  for (std::size_t i = 0; i < std::size(legend); ++i) {
    const int x = 14 + static_cast<int>(i % 2) * (kSide / 2);
    const int y = kTitleHeight + kPlotHeight + 14 + static_cast<int>(i / 2) * kLegendRow;
    cv::rectangle(image, {x, y - 8}, {x + 12, y + 2}, legend[i].first, cv::FILLED);
    cv::putText(image, legend[i].second, {x + 20, y}, cv::FONT_HERSHEY_SIMPLEX, 0.45, kText, 1,
                cv::LINE_AA);
  }
  return image;
}

void SavePng(const std::string& path, const cv::Mat& image) {
  bool written = false;
  try {
    written = cv::imwrite(path, image);
  } catch (const cv::Exception& error) {
    throw std::runtime_error(path + ": cannot write picture: " + error.what());
  }
  if (!written) throw std::runtime_error(path + ": cannot write picture");
}

}  // namespace replay
}  // namespace larkspur
