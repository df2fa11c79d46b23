#include "larkspur_perception_libs/camera_frame.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

bool IsFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

const pcl::PointXYZ* FirstFinitePoint(const std::shared_ptr<Cloud>& cloud) {
  if (!cloud) return nullptr;
  const auto found = std::find_if(cloud->begin(), cloud->end(), IsFinite);
  return found == cloud->end() ? nullptr : &*found;
}

// Bearing seen from the camera, unwrapped around the direction of a reference
// point: the angle relative to that direction lies in [-pi, pi] and is added
// to the direction's own angle, so there is no jump except straight behind.
class BearingFromCamera {
 public:
  BearingFromCamera(const Eigen::Vector3f& camera, const pcl::PointXYZ& reference)
      : camera_x_(camera.x()),
        camera_y_(camera.y()),
        dx_(reference.x - camera_x_),
        dy_(reference.y - camera_y_),
        base_(std::atan2(dy_, dx_)) {}

  float operator()(const pcl::PointXYZ& p) const {
    const float vx = p.x - camera_x_;
    const float vy = p.y - camera_y_;
    return base_ + std::atan2(dx_ * vy - dy_ * vx, dx_ * vx + dy_ * vy);
  }

 private:
  float camera_x_;
  float camera_y_;
  float dx_;
  float dy_;
  float base_;
};

float DistanceFromOrigin(const pcl::PointXYZ& p) { return std::sqrt(p.x * p.x + p.y * p.y); }

// Running smallest and largest value of one measure. Both start at the first
// point, so both always name a point, and strict tests keep the earliest of
// equal candidates.
struct Extremes {
  Extremes(float value, const pcl::PointXYZ& p)
      : smallest(value), largest(value), smallest_point(&p), largest_point(&p) {}

  void Update(float value, const pcl::PointXYZ& p) {
    if (value < smallest) {
      smallest = value;
      smallest_point = &p;
    }
    if (value > largest) {
      largest = value;
      largest_point = &p;
    }
  }

  float smallest;
  float largest;
  const pcl::PointXYZ* smallest_point;
  const pcl::PointXYZ* largest_point;
};

void SetColumn(Eigen::Matrix<float, 3, Eigen::Dynamic>& points, int column,
               const pcl::PointXYZ& p) {
  points.col(column) << p.x, p.y, p.z;
}

}  // namespace

FrameData::FrameData()
    : valid(false), points(Eigen::Matrix<float, 3, Eigen::Dynamic>::Zero(3, 4)) {}

FrameData::~FrameData() = default;

void FrameData::clear() { valid = false; }

CameraFrame::CameraFrame(const Eigen::Matrix4f& extrinsic)
    : position_(extrinsic.block<3, 1>(0, 3)) {}

CameraFrame::~CameraFrame() = default;

bool CameraFrame::calculate(const std::shared_ptr<Cloud>& cloud) {
  if (data_.valid) data_.clear();
  const pcl::PointXYZ* first = FirstFinitePoint(cloud);
  if (first == nullptr) {
    data_.points.setZero();
  } else {
    const BearingFromCamera bearing(position_, *first);
    Extremes bearings(bearing(*first), *first);
    Extremes distances(DistanceFromOrigin(*first), *first);
    for (const pcl::PointXYZ& p : cloud->points) {
      if (!IsFinite(p)) continue;
      bearings.Update(bearing(p), p);
      distances.Update(DistanceFromOrigin(p), p);
    }
    SetColumn(data_.points, 0, *bearings.smallest_point);
    SetColumn(data_.points, 1, *bearings.largest_point);
    SetColumn(data_.points, 2, *distances.smallest_point);
    SetColumn(data_.points, 3, *distances.largest_point);
  }
  data_.valid = true;
  // Deliberate: true whatever the cloud held (see README, Compatibility quirks).
  return true;
}

bool CameraFrame::fillShapeToMsg(larkspur_protocol::msg::SemanticPointCloud& msg) {
  if (!data_.valid) return false;
  msg.shape.resize(4);
  for (int i = 0; i < 4; ++i) {
    msg.shape[i].x = data_.points(0, i);
    msg.shape[i].y = data_.points(1, i);
    msg.shape[i].z = data_.points(2, i);
  }
  return true;
}

std::vector<std::shared_ptr<CameraFrame>> CameraFrameInstance::cache_(6);
std::mutex CameraFrameInstance::mutex_;

std::shared_ptr<CameraFrame> CameraFrameInstance::get(int id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (id < 0 || static_cast<std::size_t>(id) >= cache_.size()) return nullptr;
  return cache_[id];
}

bool CameraFrameInstance::load(int id, const Eigen::Matrix4f& extrinsic) {
  if (id < 0 || id >= kMaxSlots) return false;
  auto frame = std::make_shared<CameraFrame>(extrinsic);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<std::size_t>(id) >= cache_.size()) cache_.resize(id + 1);
  cache_[id] = std::move(frame);
  return true;
}
