// Extent of a cloud in the view of one camera, and the registry of cameras.
//
// A CameraFrame reduces a cloud to four points: the points of smallest and
// largest bearing seen from the camera's position, and the points nearest to
// and farthest from the origin of the cloud's frame. They are sent as the
// `shape` of a larkspur_protocol::msg::SemanticPointCloud. The registry
// CameraFrameInstance keeps one frame per camera id for the whole process.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <Eigen/Core>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "larkspur_protocol/msg/semantic_point_cloud.hpp"

struct FrameData {
  // `points` is 3 x 4 and zero until the first calculation.
  FrameData();
  ~FrameData();

  // Marks the data as not calculated; `points` keeps its values.
  void clear();

  bool valid;
  // Columns, each (x, y, z) in metres in the cloud's frame: 0 smallest
  // bearing, 1 largest bearing, 2 nearest, 3 farthest.
  Eigen::Matrix<float, 3, Eigen::Dynamic> points;
};

class CameraFrame {
 public:
  // `extrinsic`: camera-to-cloud-frame transform; only the x and y of its
  // translation (column 3) are used, as the camera's position.
  explicit CameraFrame(const Eigen::Matrix4f& extrinsic);
  ~CameraFrame();

  // Finds the four extreme points of `cloud` and marks the data valid.
  // Bearings are measured at the camera position relative to the direction
  // of the first point, so they lie within pi of that direction; distances
  // are in the x-y plane from the cloud frame's origin. Of equal candidates
  // the earliest point is kept. Points with a non-finite coordinate are
  // ignored; a null or empty cloud, or one without a finite point, gives four
  // points at (0, 0, 0). Always returns true.
  bool calculate(const std::shared_ptr<pcl::PointCloud<pcl::PointXYZ>>& cloud);

  // Writes the four points, in column order, as the whole `shape` of `msg`
  // and returns true; returns false and leaves `msg` untouched before the
  // first calculation. No other field of `msg` is touched.
  bool fillShapeToMsg(larkspur_protocol::msg::SemanticPointCloud& msg);

  // Camera position in the cloud's frame (metres).
  const Eigen::Vector3f& position() const { return position_; }
  const FrameData& data() const { return data_; }

 private:
  Eigen::Vector3f position_;
  FrameData data_;
};

// Process-wide frames by camera id. The registry holds 6 empty slots from
// program start and grows to fit the largest id loaded. Safe for concurrent
// callers; a frame itself must be used by one thread at a time.
class CameraFrameInstance {
 public:
  // Ids from 0 up to, not including, this bound can be loaded.
  static constexpr int kMaxSlots = 65536;

  // The frame of `id`, or an empty pointer when `id` is negative, beyond the
  // slots, or was never loaded.
  static std::shared_ptr<CameraFrame> get(int id);

  // Creates a new frame for `id`, replacing any earlier one (holders of the
  // earlier frame keep it). False, with nothing changed, for an id outside
  // [0, kMaxSlots).
  static bool load(int id, const Eigen::Matrix4f& extrinsic);

 private:
  static std::vector<std::shared_ptr<CameraFrame>> cache_;
  static std::mutex mutex_;
};
