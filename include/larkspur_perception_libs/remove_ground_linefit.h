// Ground removal by incremental line fitting.
//
// The cloud (metres, any frame whose z axis points up) is cut into azimuth
// sectors around the origin and, within a sector, into range bins of
// horizontal distance. The lowest point of each bin that is not a low outlier
// (the bin's prototype) feeds a line fit in the plane of horizontal range
// against height: consecutive prototypes that stay on one straight line form a
// ground segment. Every point is then sorted by its signed height distance to
// the nearest segment of its sector (or of a neighbouring sector) into
// non-ground, ground or below-ground points.
//
// Outputs are caller-owned clouds: their point lists are emptied and refilled,
// their width and height describe the new point list (width = point count,
// height 1) and their header and density flag are left as the caller set them.
// Every output point is an input point with x, y and z unchanged.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/types.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestrel {
namespace perception {

// Parameters of RemoveGroundLineFit: eighteen 4-byte fields in this order.
// Lengths and heights are in the cloud's unit (metres), heights are z values of
// the cloud's frame, angles are in radians. The constructor of
// RemoveGroundLineFit checks the fields that define the sector and bin
// geometry; the others are used as given.
struct GroundRemovalParams {
  // Angular width of one azimuth sector; positive and finite.
  float sector_angle = 0.0f;
  // Window of horizontal range that takes part in the segmentation, both
  // bounds inclusive; max_range above min_range. min_range is also the origin
  // of the range bins.
  float max_range = 0.0f;
  float min_range = 0.0f;
  // Radial width of one range bin; positive and finite. Five bins are the
  // range margin by which a segment also covers points beyond its ends.
  float bin_size = 0.0f;
  // Nominal height of the ground (for a sensor 1.73 m above the road, -1.73).
  float ground_height = 0.0f;
  // Largest mean absolute height residual per prototype of an accepted segment.
  float max_fit_error = 0.0f;
  // Carried for the caller; never read.
  float reserved_1 = 0.0f;
  // Largest absolute slope (height change per unit of range) of a segment.
  float max_slope = 0.0f;
  // The first prototype of a sector that seeds the fit lies less than
  // seed_max_above above and less than seed_max_below below ground_height.
  float seed_max_above = 0.0f;
  float seed_max_below = 0.0f;
  // A point nearer than this to its ground segment is ground.
  float ground_distance_threshold = 0.0f;
  // Carried for the caller; never read.
  float reserved_2 = 0.0f;
  // Largest height difference between a new prototype and the current ground
  // line that keeps a segment growing.
  float max_height_jump = 0.0f;
  // Points with |x| below near_zone_x_limit that lie more than near_zone_depth
  // below ground_height are dropped by set_input_cloud and by the
  // three-cloud groundRemove (reflections of the vehicle itself).
  float near_zone_x_limit = 0.0f;
  float near_zone_depth = 0.0f;
  // Points above this height appear in no output; points above 0.7 times it
  // take no part in the fit and are non-ground without classification.
  float max_point_height = 0.0f;
  // A working segment whose farthest interior prototype lies more than this
  // from its chord is split at that prototype.
  float split_distance = 0.0f;
  // Factor k of the low-outlier bound (mean - k * standard deviation of the
  // heights of a range bin); points below it are trace points.
  float outlier_sigma_factor = 0.0f;
};

// Class of a segmented point, stored in 32 bits.
enum POINT_TYPE : std::int32_t { NON_GROUND = 0, GROUND = 1, BELOW_GROUND = 2 };

// One point of a sector with its range bin.
struct STRU_SegmentedPoint {
  STRU_SegmentedPoint(pcl::PointXYZ point, int bin_index, POINT_TYPE type)
      : point(point), bin_index(bin_index), type(type) {}

  pcl::PointXYZ point;
  std::int32_t bin_index;
  POINT_TYPE type;
};

// A prototype point in the range-height plane: horizontal range, z and the
// azimuth atan2(y, x) in [-pi, pi].
struct PointPolarCoord {
  PointPolarCoord(float range, float height, float angle)
      : range(range), height(height), angle(angle) {}

  float range;
  float height;
  float angle;
};

// A ground segment of a sector from its nearer end (start) to its farther end.
// The heights are those of the fitted line at the two ranges; the azimuths
// only serve to turn the segment back into 3-D points. Note that the
// constructor takes each end's azimuth right after its height, unlike the
// member order.
// Deliberate: callers pass the arguments in this order (see README, Compatibility quirks).
struct STRU_Line {
  STRU_Line(float start_range, float start_height, float start_angle, float end_range,
            float end_height, float end_angle)
      : start_range(start_range),
        start_height(start_height),
        end_range(end_range),
        end_height(end_height),
        start_angle(start_angle),
        end_angle(end_angle) {}

  float start_range;
  float start_height;
  float end_range;
  float end_height;
  float start_angle;
  float end_angle;
};

// Deliberate: the innovation rule below is relied on (see README, Compatibility quirks).
// Running mean and variance of a stream of values. The squared-innovation
// sum adds (x - mean before x)^2 for every value, so it is not the textbook
// Welford sum: after 1.0 and 3.0 the variance is 5.0.
class StreamWelFord {
 public:
  void update(double x) {
    ++count_;
    const double delta = x - mean_;
    mean_ += delta / static_cast<double>(count_);
    m2_ += delta * delta;
  }
  double getMean() const { return mean_; }
  // Zero for fewer than two values.
  double getVariance() const { return count_ < 2 ? 0.0 : m2_ / static_cast<double>(count_ - 1); }
  double getStddev() const { return std::sqrt(getVariance()); }
  std::uint64_t getCount() const { return count_; }

 private:
  std::uint64_t count_ = 0;
  double mean_ = 0.0;
  double m2_ = 0.0;
};

// Interface of the ground removers. Clouds are passed as shared pointers.
class RemoveGroundFramework {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  using CloudPtr = std::shared_ptr<Cloud>;

  RemoveGroundFramework() = default;
  virtual ~RemoveGroundFramework() = default;

  // The ground segments kept by the last set_input_cloud, one two-point cloud
  // per segment; none by default.
  virtual std::vector<Cloud> getAllLineFitPoints() const { return {}; }
  // The remover's own cloud of low-outlier points (not a copy).
  virtual const Cloud& getAllTracePoints() const = 0;
  // Fits and keeps the ground of `input_cloud` for the four-cloud groundRemove.
  virtual void set_input_cloud(CloudPtr input_cloud) = 0;
  // Fits the ground of `input_cloud` and splits it in one call.
  virtual void groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud,
                            CloudPtr ground_cloud) = 0;
  // Splits `input_cloud` against the ground kept by set_input_cloud.
  virtual void groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud, CloudPtr ground_cloud,
                            CloudPtr below_ground_cloud) = 0;
};

class RemoveGroundLineFit : public RemoveGroundFramework {
 public:
  // Largest sector and bin counts the constructor accepts: every call keeps
  // one list per sector and statistics for every bin.
  static constexpr double kMaxSectorCount = 65536.0;
  static constexpr double kMaxBinCount = 65536.0;

  // Throws std::invalid_argument, naming the field, when sector_angle or
  // bin_size is not positive and finite, when max_range is not above
  // min_range, or when they give more than kMaxSectorCount sectors or
  // kMaxBinCount range bins. The constructor's check; callers that read a
  // record ahead of building the remover use it instead of their own limits.
  static void checkParams(const GroundRemovalParams& params);

  // Throws as checkParams.
  explicit RemoveGroundLineFit(const GroundRemovalParams& params);
  ~RemoveGroundLineFit() override;
  // Copies carry the parameters, kept segments and trace points; each object
  // keeps its own working storage.
  RemoveGroundLineFit(const RemoveGroundLineFit& other);
  RemoveGroundLineFit& operator=(const RemoveGroundLineFit& other);
  RemoveGroundLineFit(RemoveGroundLineFit&& other) noexcept;
  RemoveGroundLineFit& operator=(RemoveGroundLineFit&& other) noexcept;

  // One cloud of two points (start, end of the segment at its fitted
  // heights) per kept segment, in sector order and then range order.
  std::vector<Cloud> getAllLineFitPoints() const override;
  // The trace points of the last set_input_cloud or three-cloud groundRemove
  // that reached the prototype selection.
  const Cloud& getAllTracePoints() const override;

  // Segments `input_cloud`, fits the ground segments of every sector and keeps
  // them. Non-finite points, points above 0.7 * max_point_height and deep
  // near-zone points take no part. An empty or null cloud, or one of which no
  // point passes that filter, leaves no segments at all (and the trace points
  // of the previous call).
  void set_input_cloud(CloudPtr input_cloud) override;

  // Fits the ground of `input_cloud` for this call only (the kept segments are
  // neither read nor changed) and splits it: points above 0.7 *
  // max_point_height go to `nonground_cloud` first, in input order; then
  // every segmented point goes, sector by sector, to `ground_cloud` when it
  // lies within ground_distance_threshold of its segment or below it, else to
  // `nonground_cloud`. A null `ground_cloud` discards the ground points, a
  // null `nonground_cloud` the others; a null `input_cloud` counts as empty.
  void groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud, CloudPtr ground_cloud) override;

  // The same split as input indices instead of clouds: the indices come in
  // the order in which the cloud outputs would hold the points, so that
  // point i of the non-ground output is input point nonground_indices[i].
  // Lets the caller carry fields the split does not know (intensity, labels)
  // along. A null `input_cloud` counts as empty.
  void groundRemove(CloudPtr input_cloud, pcl::Indices& nonground_indices,
                    pcl::Indices& ground_indices);

  // Splits `input_cloud` against the segments kept by set_input_cloud (no
  // near-zone filter, no fit): as above, except that points lying more than
  // ground_distance_threshold below their segment go to `below_ground_cloud`.
  // A null output discards its points. Throws std::out_of_range, after the
  // high points have been appended to `nonground_cloud`, when no segments
  // are kept (no set_input_cloud yet, or the last one left none) and a point
  // lies in the range window.
  void groundRemove(CloudPtr input_cloud, CloudPtr nonground_cloud, CloudPtr ground_cloud,
                    CloudPtr below_ground_cloud) override;

  // The same split as input indices instead of clouds, in the order of the
  // cloud outputs (see the three-argument index overload). Throws like the
  // cloud overload, with the high points' indices already in
  // `nonground_indices`.
  void groundRemove(CloudPtr input_cloud, pcl::Indices& nonground_indices,
                    pcl::Indices& ground_indices, pcl::Indices& below_ground_indices);

  // Appends to `prototypes` the lowest point of every bin of `points` that is
  // not a low outlier, in bin order, and appends the low outliers to the trace
  // points. Points whose bin_index lies outside [0, bin_count) are ignored;
  // the working tables grow with the bins that hold points, not with
  // `bin_count`.
  void findPrototypePoints(std::vector<STRU_SegmentedPoint> points, std::uint32_t bin_count,
                           std::vector<PointPolarCoord>& prototypes);

  // Replaces `lines` with the ground segments through `prototypes` (one
  // sector's prototypes in increasing range). Logs the seeding height at
  // debug level.
  void incrementalLineFitting(const std::vector<PointPolarCoord>& prototypes,
                              std::vector<STRU_Line>& lines) const;

  // Interior index of `points` farthest from the chord of its first and last
  // point, when farther than the incoming `distance`; `index` and `distance`
  // are left unchanged otherwise.
  void diluting(const std::vector<PointPolarCoord>& points, std::int32_t& index,
                double& distance) const;

  // Distance of `point` from the line through `line_start` and `line_end` in
  // the range-height plane; ends closer than 0.05 in range make a vertical
  // line.
  double point2LineDistance(PointPolarCoord point, PointPolarCoord line_start,
                            PointPolarCoord line_end) const;

  // Least-squares line height = slope * range + intercept through points 0 to
  // `last`. Two or more points at one range give the largest finite float as
  // both values. Throws std::out_of_range when `last` is past the end.
  void leastSquareFit(const std::vector<PointPolarCoord>& points, std::int32_t last,
                      float& intercept, float& slope) const;

  // Signed distance (positive above) of `query` (x = horizontal range,
  // y = height) to the nearest segment that covers its range, or the smallest
  // positive normal float when none does.
  float point2LineSegmentDist(const pcl::PointXYZ& query,
                              const std::vector<STRU_Line>& segments) const;

 private:
  // Sector lists, bin tables and segment lists of a call, kept from call to
  // call so that a call on a frame no larger than the earlier ones allocates
  // none of them anew. It also keeps a copy of the points of the last
  // set_input_cloud (16 bytes a point), so that the four-cloud groundRemove
  // of the same points reuses that call's sectors and range bins.
  struct Workspace;
  Workspace& workspace();
  // The bodies of the one-call and the kept-segment split, handing every
  // point to `sink` as clouds or as indices.
  template <typename Sink>
  void SplitWithOwnFit(const Cloud& input, const Sink& sink);
  template <typename Sink>
  void SplitWithKeptFit(const Cloud& input, const Sink& sink);

  GroundRemovalParams params_;
  std::vector<std::vector<STRU_Line>> sector_lines_;
  Cloud trace_cloud_;
  std::unique_ptr<Workspace> workspace_;
};

}  // namespace perception
}  // namespace kestrel
