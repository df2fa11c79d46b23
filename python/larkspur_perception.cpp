// Python module larkspur_perception: the library's units on NumPy arrays.
//
// Every call copies its points once into the library's cloud type, releases
// the GIL for the library's work and holds the object's own lock meanwhile,
// so that threads sharing one object take turns. Results come back as NumPy
// arrays that own the library's result vectors (no further copy).
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "larkspur_perception_libs/camera_frame.h"
#include "larkspur_perception_libs/cloud_cluster.h"
#include "larkspur_perception_libs/dynamic_cloud_detector.h"
#include "larkspur_perception_libs/dynamic_laser_detector.h"
#include "larkspur_perception_libs/remove_ground_linefit.h"

namespace py = pybind11;
namespace kp = kestrel::perception;

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;
using CloudPtr = std::shared_ptr<Cloud>;
using LaserScan = sensor_msgs::msg::LaserScan;

constexpr const char* kLoggingNote =
    "\n\nLogging goes to the library's logger, configured as in C++ by the environment "
    "variables SPDLOG_LEVEL, SPDLOG_STDOUT and SPDLOG_SYSTEMD, read once at the first log "
    "statement of the process.";

std::string WithLoggingNote(const char* doc) { return std::string(doc) + kLoggingNote; }

// ---------------------------------------------------------------------------
// Input checks of the binding's own kind: ValueError naming the argument.

[[noreturn]] void BadArgument(const std::string& name, const std::string& expected,
                              const py::handle& got) {
  std::string what =
      "an object of type " + std::string(py::str(py::type::of(got).attr("__name__")));
  if (py::isinstance<py::array>(got)) {
    const auto array = py::reinterpret_borrow<py::array>(got);
    what = "an array of dtype " + std::string(py::str(array.dtype())) + " and shape " +
           std::string(py::str(py::tuple(
               py::cast(std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim())))));
  }
  throw py::value_error(name + ": expected " + expected + ", got " + what);
}

// Runs `work` on a bound object without the GIL and under the object's lock;
// the lock is let go before the GIL is taken back.
template <typename Work>
auto Serialised(std::mutex& mutex, Work&& work) {
  py::gil_scoped_release unlocked;
  const std::lock_guard<std::mutex> lock(mutex);
  return work();
}

// A read-only view of an (N, >=3) float32 array, strides honoured.
class PointsView {
 public:
  PointsView(const py::handle& object, const std::string& name) {
    if (!py::isinstance<py::array>(object)) {
      BadArgument(name, "a NumPy array of shape (N, 3) or (N, >=3) and dtype float32", object);
    }
    array_ = py::reinterpret_borrow<py::array>(object);
    if (!array_.dtype().is(py::dtype::of<float>()) || array_.ndim() != 2 || array_.shape(1) < 3) {
      BadArgument(name, "a NumPy array of shape (N, 3) or (N, >=3) and dtype float32", object);
    }
    rows_ = static_cast<std::size_t>(array_.shape(0));
    row_stride_ = array_.strides(0);
    column_stride_ = array_.strides(1);
    data_ = static_cast<const char*>(array_.data());
  }

  // The one copy into the library's cloud; runs without the GIL. The cloud
  // is marked dense only when every coordinate is finite, as the library's
  // calls expect of a dense cloud.
  CloudPtr ToCloud() const {
    auto cloud = std::make_shared<Cloud>();
    cloud->resize(rows_);
    bool dense = true;
    for (std::size_t i = 0; i < rows_; ++i) {
      const char* row = data_ + static_cast<py::ssize_t>(i) * row_stride_;
      pcl::PointXYZ& p = (*cloud)[i];
      p.x = *reinterpret_cast<const float*>(row);
      p.y = *reinterpret_cast<const float*>(row + column_stride_);
      p.z = *reinterpret_cast<const float*>(row + 2 * column_stride_);
      dense = dense && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    }
    cloud->is_dense = dense;
    return cloud;
  }

 private:
  py::array array_;  // keeps the buffer alive while the view is used
  std::size_t rows_ = 0;
  py::ssize_t row_stride_ = 0;
  py::ssize_t column_stride_ = 0;
  const char* data_ = nullptr;
};

// A float array of exactly `shape`, converted to double (any real dtype).
py::array_t<double> FloatArray(const py::handle& object, const std::string& name,
                               const std::vector<py::ssize_t>& shape, const std::string& expected) {
  if (!py::isinstance<py::array>(object) && !py::isinstance<py::sequence>(object)) {
    BadArgument(name, expected, object);
  }
  const py::array any = py::array::ensure(object);
  if (!any || any.dtype().kind() == 'O' || any.dtype().kind() == 'U' || any.dtype().kind() == 'S' ||
      any.dtype().kind() == 'c') {
    BadArgument(name, expected, object);
  }
  auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(any);
  if (!array || static_cast<std::size_t>(array.ndim()) != shape.size()) {
    BadArgument(name, expected, any);
  }
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (array.shape(static_cast<py::ssize_t>(d)) != shape[d]) BadArgument(name, expected, any);
  }
  return array;
}

template <int Rows, int Cols>
Eigen::Matrix<float, Rows, Cols> FloatMatrix(const py::handle& object, const std::string& name) {
  const std::string expected =
      "an array of shape (" + std::to_string(Rows) + ", " + std::to_string(Cols) + ")";
  const auto array = FloatArray(object, name, {Rows, Cols}, expected);
  const auto view = array.unchecked<2>();
  Eigen::Matrix<float, Rows, Cols> m;
  for (int r = 0; r < Rows; ++r) {
    for (int c = 0; c < Cols; ++c) m(r, c) = static_cast<float>(view(r, c));
  }
  return m;
}

// A pose as (x, y, z, qx, qy, qz, qw) or as a 4 x 4 homogeneous matrix.
struct PoseInput {
  Eigen::Vector3d position;
  Eigen::Quaterniond orientation;  // as given, not normalised
  Eigen::Matrix4f matrix;
};

constexpr const char* kPoseExpected =
    "a pose as (x, y, z, qx, qy, qz, qw) of shape (7,) or a 4 x 4 homogeneous matrix";

PoseInput ReadPose(const py::handle& object) {
  if (!py::isinstance<py::array>(object) && !py::isinstance<py::sequence>(object)) {
    BadArgument("pose", kPoseExpected, object);
  }
  const py::array any = py::array::ensure(object);
  PoseInput pose;
  if (any && any.ndim() == 1) {
    const auto array = FloatArray(object, "pose", {7}, kPoseExpected);
    const double* v = array.data();
    pose.position = {v[0], v[1], v[2]};
    pose.orientation = Eigen::Quaterniond(v[6], v[3], v[4], v[5]);
    // A zero or non-finite quaternion stays as it is: the library handles it.
    const double norm = pose.orientation.norm();
    const Eigen::Matrix3d rotation =
        norm > 0.0 ? Eigen::Quaterniond(pose.orientation.coeffs() / norm).toRotationMatrix()
                   : Eigen::Matrix3d::Identity();
    pose.matrix.setIdentity();
    pose.matrix.topLeftCorner<3, 3>() = rotation.cast<float>();
    pose.matrix.topRightCorner<3, 1>() = pose.position.cast<float>();
    return pose;
  }
  pose.matrix = FloatMatrix<4, 4>(object, "pose");
  pose.position = pose.matrix.topRightCorner<3, 1>().cast<double>();
  pose.orientation = Eigen::Quaterniond(pose.matrix.topLeftCorner<3, 3>().cast<double>());
  return pose;
}

geometry_msgs::msg::Pose PoseMessage(const PoseInput& input) {
  geometry_msgs::msg::Pose pose;
  pose.position.x = input.position.x();
  pose.position.y = input.position.y();
  pose.position.z = input.position.z();
  pose.orientation.x = input.orientation.x();
  pose.orientation.y = input.orientation.y();
  pose.orientation.z = input.orientation.z();
  pose.orientation.w = input.orientation.w();
  return pose;
}

// ---------------------------------------------------------------------------
// Results: arrays that take over the library's vectors.

template <typename T>
py::array OwningArray(std::vector<T>&& values, const py::dtype& dtype) {
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array(dtype, {static_cast<py::ssize_t>(owned->size())}, {sizeof(T)}, owned->data(),
                   owner);
}

py::array IndexArray(pcl::Indices&& indices) {
  return OwningArray(std::move(indices), py::dtype::of<pcl::index_t>());
}

py::array MaskArray(std::vector<std::uint8_t>&& flags) {
  return OwningArray(std::move(flags), py::dtype("bool"));
}

py::array PointsArray(const Cloud& cloud) {
  py::array_t<float> points({static_cast<py::ssize_t>(cloud.size()), py::ssize_t{3}});
  auto out = points.mutable_unchecked<2>();
  for (std::size_t i = 0; i < cloud.size(); ++i) {
    const auto row = static_cast<py::ssize_t>(i);
    out(row, 0) = cloud[i].x;
    out(row, 1) = cloud[i].y;
    out(row, 2) = cloud[i].z;
  }
  return points;
}

// Takes over a cloned (continuous CV_32F) raster as a read-only array.
py::array ReadOnlyArray(cv::Mat&& copy) {
  auto* owned = new cv::Mat(std::move(copy));
  py::capsule owner(owned, [](void* p) { delete static_cast<cv::Mat*>(p); });
  py::array array(py::dtype::of<float>(), {owned->rows, owned->cols},
                  {static_cast<py::ssize_t>(owned->step[0]), py::ssize_t{sizeof(float)}},
                  owned->ptr<float>(), owner);
  array.attr("flags").attr("writeable") = false;
  return array;
}

// ---------------------------------------------------------------------------
// YAML parameter files read by the binding itself.

YAML::Node LoadMapping(const std::string& path) {
  YAML::Node node;
  try {
    node = YAML::LoadFile(path);
  } catch (const YAML::BadFile&) {
    PyErr_SetString(PyExc_OSError, (path + ": cannot be read").c_str());
    throw py::error_already_set();
  }
  if (!node.IsMap()) throw py::value_error(path + ": expected a mapping of keys to values");
  return node;
}

float ReadFloatKey(const YAML::Node& node, const std::string& path, const char* key) {
  const YAML::Node value = node[key];
  if (!value) throw py::key_error(path + ": key \"" + key + "\" is missing");
  try {
    return value.as<float>();
  } catch (const YAML::Exception&) {
    throw py::value_error(path + ": key \"" + key + "\" is not a number");
  }
}

kp::GroundRemovalParams ReadGroundParams(const std::string& path) {
  const YAML::Node node = LoadMapping(path);
  kp::GroundRemovalParams p;
  const auto read = [&](const char* key, float& field) { field = ReadFloatKey(node, path, key); };
  read("sector_angle", p.sector_angle);
  read("max_range", p.max_range);
  read("min_range", p.min_range);
  read("bin_size", p.bin_size);
  read("ground_height", p.ground_height);
  read("max_fit_error", p.max_fit_error);
  read("max_slope", p.max_slope);
  read("seed_max_above", p.seed_max_above);
  read("seed_max_below", p.seed_max_below);
  read("ground_distance_threshold", p.ground_distance_threshold);
  read("max_height_jump", p.max_height_jump);
  read("near_zone_x_limit", p.near_zone_x_limit);
  read("near_zone_depth", p.near_zone_depth);
  read("max_point_height", p.max_point_height);
  read("split_distance", p.split_distance);
  read("outlier_sigma_factor", p.outlier_sigma_factor);
  return p;
}

// A detector record from a YAML file. The required keys are checked first,
// so that a missing key raises KeyError naming it rather than the YAML
// library's error; the values are then read by the library.
template <typename Params>
Params ReadDetectorParams(const std::string& path) {
  const YAML::Node node = LoadMapping(path);
  for (const char* key : {"resolution", "width", "occupancy_threshold", "log_odds_obstacle",
                          "log_odds_occlusion", "log_odds_free_space"}) {
    ReadFloatKey(node, path, key);
  }
  if (node["log_odds_sub_obstacle_scale"]) ReadFloatKey(node, path, "log_odds_sub_obstacle_scale");
  return Params::FromYaml(node);
}

// ---------------------------------------------------------------------------
// The bound objects: the library's object and the lock that serialises the
// calls of several Python threads on it.

class GroundRemover {
 public:
  explicit GroundRemover(const kp::GroundRemovalParams& params) : remover_(params) {}

  py::tuple GroundRemove(const py::handle& points) {
    const PointsView view(points, "points");
    pcl::Indices nonground, ground;
    {
      py::gil_scoped_release unlocked;
      const CloudPtr cloud = view.ToCloud();
      const std::lock_guard<std::mutex> lock(mutex_);
      remover_.groundRemove(cloud, nonground, ground);
    }
    return py::make_tuple(IndexArray(std::move(nonground)), IndexArray(std::move(ground)));
  }

  void SetInputCloud(const py::handle& points) {
    const PointsView view(points, "points");
    py::gil_scoped_release unlocked;
    const CloudPtr cloud = view.ToCloud();
    const std::lock_guard<std::mutex> lock(mutex_);
    remover_.set_input_cloud(cloud);
  }

  py::tuple GroundRemoveKept(const py::handle& points) {
    const PointsView view(points, "points");
    pcl::Indices nonground, ground, below;
    {
      py::gil_scoped_release unlocked;
      const CloudPtr cloud = view.ToCloud();
      const std::lock_guard<std::mutex> lock(mutex_);
      remover_.groundRemove(cloud, nonground, ground, below);
    }
    return py::make_tuple(IndexArray(std::move(nonground)), IndexArray(std::move(ground)),
                          IndexArray(std::move(below)));
  }

  py::list LineFitPoints() {
    std::vector<Cloud> segments;
    {
      py::gil_scoped_release unlocked;
      const std::lock_guard<std::mutex> lock(mutex_);
      segments = remover_.getAllLineFitPoints();
    }
    py::list result;
    for (const Cloud& segment : segments) result.append(PointsArray(segment));
    return result;
  }

  py::array TracePoints() {
    return PointsArray(Serialised(mutex_, [this] { return remover_.getAllTracePoints(); }));
  }

 private:
  kp::RemoveGroundLineFit remover_;
  std::mutex mutex_;
};

class CloudDetector {
 public:
  explicit CloudDetector(const kp::DynamicCloudDetectorParams& params) : detector_(params) {}

  void Init(const kp::CameraInfo& camera) {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> lock(mutex_);
    detector_.Init(camera);
  }

  py::array Update(const py::handle& points, const py::handle& pose, bool visualize) {
    const PointsView view(points, "points");
    const PoseInput robot = ReadPose(pose);
    std::vector<std::uint8_t> dynamic;
    {
      py::gil_scoped_release unlocked;
      const CloudPtr cloud = view.ToCloud();
      const std::lock_guard<std::mutex> lock(mutex_);
      detector_.Update(cloud, robot.matrix, visualize);
      detector_.DivideCloud(*cloud, dynamic);
    }
    return MaskArray(std::move(dynamic));
  }

  py::array Divide(const py::handle& points) {
    const PointsView view(points, "points");
    std::vector<std::uint8_t> dynamic;
    {
      py::gil_scoped_release unlocked;
      const CloudPtr cloud = view.ToCloud();
      const std::lock_guard<std::mutex> lock(mutex_);
      detector_.DivideCloud(*cloud, dynamic);
    }
    return MaskArray(std::move(dynamic));
  }

  py::array LogOdds() {
    return ReadOnlyArray(
        Serialised(mutex_, [this] { return detector_.grid_map().log_odds_map().clone(); }));
  }

  py::array Heights() {
    return ReadOnlyArray(
        Serialised(mutex_, [this] { return detector_.grid_map().height_map().clone(); }));
  }

  float Resolution() {
    return Serialised(mutex_, [this] { return detector_.grid_map().resolution(); });
  }

  int GridWidth() {
    return Serialised(mutex_, [this] { return detector_.grid_map().grid_width(); });
  }

 private:
  kp::DynamicCloudDetector detector_;
  std::mutex mutex_;
};

class LaserDetector {
 public:
  explicit LaserDetector(const kp::DynamicLaserDetectorParams& params) : detector_(params) {}

  py::array Process(const std::shared_ptr<LaserScan>& scan, const py::handle& pose) {
    if (!scan) throw py::value_error("scan: expected a LaserScan, got None");
    const geometry_msgs::msg::Pose robot = PoseMessage(ReadPose(pose));
    std::vector<std::uint8_t> dynamic;
    {
      py::gil_scoped_release unlocked;
      const std::lock_guard<std::mutex> lock(mutex_);
      detector_.Process(scan, robot, dynamic);
    }
    return MaskArray(std::move(dynamic));
  }

  py::array LogOdds() {
    return ReadOnlyArray(
        Serialised(mutex_, [this] { return detector_.grid_map().log_odds_map().clone(); }));
  }

  float Resolution() {
    return Serialised(mutex_, [this] { return detector_.grid_map().resolution(); });
  }

  int GridWidth() {
    return Serialised(mutex_, [this] { return detector_.grid_map().grid_width(); });
  }

 private:
  kp::DynamicLaserDetector detector_;
  std::mutex mutex_;
};

class Clustering {
 public:
  explicit Clustering(const kp::CloudClusterPara& para) : clustering_(para) {}

  py::array Cluster(const py::handle& points) {
    const PointsView view(points, "points");
    std::vector<std::int32_t> ids;
    {
      py::gil_scoped_release unlocked;
      const CloudPtr cloud = view.ToCloud();
      const std::lock_guard<std::mutex> lock(mutex_);
      clustering_.obstacleCluster(cloud, ids);
    }
    return OwningArray(std::move(ids), py::dtype::of<std::int32_t>());
  }

 private:
  kp::CloudCluster clustering_;
  std::mutex mutex_;
};

class Frame {
 public:
  explicit Frame(const Eigen::Matrix4f& extrinsic) : frame_(extrinsic) {}

  py::array Calculate(const py::handle& points) {
    const PointsView view(points, "points");
    Eigen::Matrix<float, 3, 4> extremes;
    {
      py::gil_scoped_release unlocked;
      const CloudPtr cloud = view.ToCloud();
      const std::lock_guard<std::mutex> lock(mutex_);
      frame_.calculate(cloud);
      extremes = frame_.data().points;
    }
    py::array_t<float> result({py::ssize_t{4}, py::ssize_t{3}});
    auto out = result.mutable_unchecked<2>();
    for (int point = 0; point < 4; ++point) {
      for (int axis = 0; axis < 3; ++axis) out(point, axis) = extremes(axis, point);
    }
    return result;
  }

  Eigen::Vector3f Position() {
    return Serialised(mutex_, [this] { return Eigen::Vector3f(frame_.position()); });
  }

 private:
  CameraFrame frame_;
  std::mutex mutex_;
};

std::vector<float> RangesFrom(const py::handle& object) {
  if (!py::isinstance<py::array>(object)) {
    BadArgument("ranges", "a one-dimensional NumPy array of dtype float32", object);
  }
  const auto array = py::reinterpret_borrow<py::array>(object);
  if (!array.dtype().is(py::dtype::of<float>()) || array.ndim() != 1) {
    BadArgument("ranges", "a one-dimensional NumPy array of dtype float32", object);
  }
  const auto view = array.unchecked<float, 1>();
  std::vector<float> ranges(static_cast<std::size_t>(view.shape(0)));
  for (py::ssize_t i = 0; i < view.shape(0); ++i) ranges[static_cast<std::size_t>(i)] = view(i);
  return ranges;
}

#define LARKSPUR_FIELD(cls, field, doc) def_readwrite(#field, &cls::field, doc)

void BindGroundRemoval(py::module_& m) {
  using P = kp::GroundRemovalParams;
  py::class_<P>(m, "GroundRemovalParams",
                "Parameters of RemoveGroundLineFit. Lengths and heights in metres in the cloud's "
                "frame (z up), angles in radians. All fields start at 0.")
      .def(py::init<>())
      .def_static("from_yaml", &ReadGroundParams, py::arg("path"),
                  "Reads every field but reserved_1 and reserved_2 from the YAML mapping in "
                  "`path` (keys are the field names, values in metres and radians). Raises "
                  "KeyError naming a missing key, ValueError naming a key that is not a number "
                  "and OSError for a file that cannot be read.")
      .LARKSPUR_FIELD(P, sector_angle, "Angular width of one azimuth sector, radians (> 0).")
      .LARKSPUR_FIELD(P, max_range, "Largest horizontal range that is segmented, metres.")
      .LARKSPUR_FIELD(P, min_range, "Smallest horizontal range that is segmented, metres.")
      .LARKSPUR_FIELD(P, bin_size, "Radial width of one range bin, metres (> 0).")
      .LARKSPUR_FIELD(P, ground_height, "Nominal ground height (z of the cloud's frame), metres.")
      .LARKSPUR_FIELD(P, max_fit_error, "Largest mean absolute residual per prototype, metres.")
      .LARKSPUR_FIELD(P, reserved_1, "Carried along; never read.")
      .LARKSPUR_FIELD(P, max_slope, "Largest absolute segment slope (metres per metre).")
      .LARKSPUR_FIELD(P, seed_max_above, "Seed prototype at most this above ground_height, m.")
      .LARKSPUR_FIELD(P, seed_max_below, "Seed prototype less than this below ground_height, m.")
      .LARKSPUR_FIELD(P, ground_distance_threshold, "Ground when nearer to a segment, metres.")
      .LARKSPUR_FIELD(P, reserved_2, "Carried along; never read.")
      .LARKSPUR_FIELD(P, max_height_jump, "Largest jump that keeps a segment growing, metres.")
      .LARKSPUR_FIELD(P, near_zone_x_limit, "Near zone: |x| below this, metres.")
      .LARKSPUR_FIELD(P, near_zone_depth, "Near-zone points deeper below ground are dropped, m.")
      .LARKSPUR_FIELD(P, max_point_height, "Points above this z appear in no output, metres.")
      .LARKSPUR_FIELD(P, split_distance, "Split a segment farther than this from its chord, m.")
      .LARKSPUR_FIELD(P, outlier_sigma_factor, "k of the low-outlier bound mean - k * sigma.");

  py::class_<GroundRemover>(
      m, "RemoveGroundLineFit",
      WithLoggingNote(
          "Ground removal by incremental line fitting of height against range in azimuth sectors "
          "around the origin of the cloud's frame (z up, metres). Results are int32 index arrays "
          "into the given points, in the order in which the library's cloud outputs hold the "
          "points: high points (above 0.7 * max_point_height) first, then sector by sector. "
          "Points that are not finite, above max_point_height, outside the range window or deep "
          "in the near zone are in no array.")
          .c_str())
      .def(py::init<const kp::GroundRemovalParams&>(), py::arg("params"),
           "From a parameter record. Raises ValueError naming the field when sector_angle or "
           "bin_size is not positive and finite, max_range is not above min_range, or they give "
           "more than 65536 sectors or bins.")
      .def(py::init([](const std::string& path) {
             return std::make_unique<GroundRemover>(ReadGroundParams(path));
           }),
           py::arg("config_path"),
           "From a YAML file of GroundRemovalParams fields (see GroundRemovalParams.from_yaml).")
      .def("ground_remove", &GroundRemover::GroundRemove, py::arg("points"),
           "Fits the ground of `points` for this call and splits them. `points`: (N, 3) float32 "
           "array, x y z in metres in a frame whose z points up (extra columns are ignored). "
           "Returns (nonground, ground), int32 index arrays into `points`; points lying far "
           "below their ground segment count as ground. Replaces the trace points.")
      .def("set_input_cloud", &GroundRemover::SetInputCloud, py::arg("points"),
           "Fits and keeps the ground segments of `points` ((N, 3) float32, metres, z up) for "
           "ground_remove_kept. No point passing the filter leaves no segments.")
      .def("ground_remove_kept", &GroundRemover::GroundRemoveKept, py::arg("points"),
           "Splits `points` ((N, 3) float32, metres, z up) against the segments kept by "
           "set_input_cloud, without the near-zone filter. Returns (nonground, ground, "
           "below_ground) int32 index arrays; below_ground holds the points lying more than "
           "ground_distance_threshold below their segment. Raises IndexError when no segments "
           "are kept and a point lies in the range window.")
      .def("line_fit_points", &GroundRemover::LineFitPoints,
           "The kept segments as a list of (2, 3) float32 arrays (start and end point, metres, "
           "in the cloud's frame), in sector order and then range order.")
      .def("trace_points", &GroundRemover::TracePoints,
           "Copy of the low outliers (M, 3) float32 (metres, cloud's frame) found by the last "
           "set_input_cloud or ground_remove.");
}

constexpr const char* kDetectorYaml =
    "`config_path`: YAML mapping with the float keys \"resolution\" (cell edge, metres), "
    "\"width\" (grid side, metres, truncated to whole metres), \"occupancy_threshold\", "
    "\"log_odds_obstacle\", \"log_odds_occlusion\" and \"log_odds_free_space\" (log-odds "
    "units, within [-1, 1]). Raises KeyError naming a missing key, ValueError naming a key "
    "that is not a number, OSError for a file that cannot be read, and ValueError (from the "
    "library) naming a key out of range.";

template <typename Params>
py::class_<Params> BindDetectorParams(py::module_& m, const char* name, const char* doc) {
  py::class_<Params> params(m, name, doc);
  params.def(py::init<>())
      .def_static("from_yaml", &ReadDetectorParams<Params>, py::arg("path"), kDetectorYaml)
      .LARKSPUR_FIELD(Params, resolution, "Edge of one grid cell, metres.")
      .LARKSPUR_FIELD(Params, width, "Side of the square grid, metres (truncated to whole metres).")
      .LARKSPUR_FIELD(Params, occupancy_threshold,
                      "Log-odds below which a cell is free and what lies in it dynamic.")
      .LARKSPUR_FIELD(Params, log_odds_obstacle, "Log-odds increment of a cell seen occupied.")
      .LARKSPUR_FIELD(Params, log_odds_occlusion, "Log-odds increment of an occluded cell.")
      .LARKSPUR_FIELD(Params, log_odds_free_space, "Log-odds increment of a cell seen free.");
  return params;
}

void BindDetectors(py::module_& m) {
  BindDetectorParams<kp::DynamicCloudDetectorParams>(
      m, "DynamicCloudDetectorParams",
      "Configuration of DynamicCloudDetector (metres and log-odds units); all fields start at 0.");
  BindDetectorParams<kp::DynamicLaserDetectorParams>(
      m, "DynamicLaserDetectorParams",
      "Configuration of DynamicLaserDetector (metres and log-odds units); all fields start at 0 "
      "but log_odds_sub_obstacle_scale, 0.5.")
      .LARKSPUR_FIELD(kp::DynamicLaserDetectorParams, log_odds_sub_obstacle_scale,
                      "Factor of log_odds_obstacle for the four cells next to a beam end point.");

  py::class_<kp::CameraInfo>(m, "CameraInfo",
                             "The camera whose ground footprint bounds the cloud detector's "
                             "region of interest (pixels, and metres in the robot frame).")
      .def(py::init(
               [](int width, int height, const py::handle& intrinsic, const py::handle& extrinsic) {
                 kp::CameraInfo camera;
                 camera.width = width;
                 camera.height = height;
                 camera.intrinsic = FloatMatrix<3, 3>(intrinsic, "intrinsic");
                 camera.extrinsic = FloatMatrix<4, 4>(extrinsic, "extrinsic");
                 return camera;
               }),
           py::arg("width"), py::arg("height"), py::arg("intrinsic"), py::arg("extrinsic"),
           "`width`, `height`: image size in pixels. `intrinsic`: 3 x 3 camera matrix (fx, fy, "
           "cx, cy in pixels). `extrinsic`: 4 x 4 camera-to-robot transform (the camera's pose "
           "in the robot frame, metres). Raises ValueError naming a matrix of the wrong shape.")
      .def_readwrite("width", &kp::CameraInfo::width, "Image width in pixels.")
      .def_readwrite("height", &kp::CameraInfo::height, "Image height in pixels.")
      .def_property_readonly(
          "intrinsic", [](const kp::CameraInfo& c) { return Eigen::Matrix3f(c.intrinsic); },
          "3 x 3 camera matrix (pixels), a copy.")
      .def_property_readonly(
          "extrinsic", [](const kp::CameraInfo& c) { return Eigen::Matrix4f(c.extrinsic); },
          "4 x 4 camera-to-robot transform (metres), a copy.");

  py::class_<CloudDetector>(
      m, "DynamicCloudDetector",
      WithLoggingNote(
          "Splits point clouds (robot frame: x forward, y left, z up, metres) into dynamic and "
          "static points with a robot-centred log-odds grid carried along with the robot's "
          "motion. Call init(camera) once, then update(points, pose) per frame.")
          .c_str())
      .def(py::init<const kp::DynamicCloudDetectorParams&>(), py::arg("params"),
           "From a parameter record; raises ValueError naming the field for a value out of "
           "range. Logs the four log-odds values at info level.")
      .def(py::init([](const std::string& path) {
             return std::make_unique<CloudDetector>(
                 ReadDetectorParams<kp::DynamicCloudDetectorParams>(path));
           }),
           py::arg("config_path"), kDetectorYaml)
      .def("init", &CloudDetector::Init, py::arg("camera"),
           "Stores the camera and builds the region of interest: the grid cells inside the "
           "ground footprint of its view up to 5 m deep. Call once before the first update.")
      .def("update", &CloudDetector::Update, py::arg("points"), py::arg("pose"),
           py::arg("visualize") = false,
           "Moves the grid by the robot's motion since the previous pose, integrates `points` "
           "((N, 3) float32, robot frame, metres) and returns the dynamic mask of these points "
           "((N,) bool, True where the point's cell is still believed free). `pose`: the "
           "robot's pose in a fixed frame, (x, y, z, qx, qy, qz, qw) (metres, unit quaternion; "
           "normalised here) or a 4 x 4 matrix; only x, y and the yaw are used. A non-finite "
           "pose is handled as in C++ (the grid becomes unknown). `visualize` shows the debug "
           "windows when a display is available.")
      .def("divide", &CloudDetector::Divide, py::arg("points"),
           "Dynamic mask ((N,) bool) of `points` ((N, 3) float32, robot frame, metres) against "
           "the current grid, without integrating them.")
      .def("log_odds", &CloudDetector::LogOdds,
           "Read-only copy of the grid's log-odds, (grid_width, grid_width) float32 within "
           "[-1, 1]; row = cell y index, column = cell x index, the robot in the centre cell.")
      .def("heights", &CloudDetector::Heights,
           "Read-only copy of the grid's cell heights in metres, laid out like log_odds().")
      .def_property_readonly("resolution", &CloudDetector::Resolution, "Cell edge in metres.")
      .def_property_readonly("grid_width", &CloudDetector::GridWidth, "Cells per grid side.");

  py::class_<LaserScan, std::shared_ptr<LaserScan>>(
      m, "LaserScan", "A planar laser scan in the robot frame (angles in radians, ranges in m).")
      .def(py::init([](const py::handle& ranges, float angle_min, float angle_max,
                       float angle_increment, float range_min, float range_max) {
             auto scan = std::make_shared<LaserScan>();
             scan->ranges = RangesFrom(ranges);
             scan->angle_min = angle_min;
             scan->angle_max = angle_max;
             scan->angle_increment = angle_increment;
             scan->range_min = range_min;
             scan->range_max = range_max;
             return scan;
           }),
           py::arg("ranges"), py::arg("angle_min"), py::arg("angle_max"),
           py::arg("angle_increment"), py::arg("range_min"), py::arg("range_max"),
           "`ranges`: (n,) float32 readings in metres (inf and NaN allowed). Beam i has bearing "
           "angle_min + i * angle_increment, counter-clockwise from the robot's x axis; beams "
           "0 .. trunc((angle_max - angle_min) / angle_increment) - 1 are used. Readings "
           "strictly between range_min and range_max (metres) mark obstacles. Raises ValueError "
           "naming `ranges` when it is not a one-dimensional float32 array.")
      .def_property_readonly(
          "ranges",
          [](const LaserScan& s) { return py::array_t<float>(s.ranges.size(), s.ranges.data()); },
          "Copy of the readings, metres.")
      .def_readonly("angle_min", &LaserScan::angle_min, "Bearing of beam 0, radians.")
      .def_readonly("angle_max", &LaserScan::angle_max, "Bearing of the last beam, radians.")
      .def_readonly("angle_increment", &LaserScan::angle_increment, "Beam step, radians.")
      .def_readonly("range_min", &LaserScan::range_min, "Shortest valid reading, metres.")
      .def_readonly("range_max", &LaserScan::range_max, "Longest valid reading, metres.");

  py::class_<LaserDetector>(
      m, "DynamicLaserDetector",
      WithLoggingNote(
          "Splits planar laser scans into dynamic and static beams with a robot-centred "
          "log-odds grid carried along with the robot's motion (the scan's frame is the "
          "robot frame, metres and radians).")
          .c_str())
      .def(py::init<const kp::DynamicLaserDetectorParams&>(), py::arg("params"),
           "From a parameter record; raises ValueError naming the field for a value out of "
           "range.")
      .def(
          py::init([](const std::string& path) {
            return std::make_unique<LaserDetector>(
                ReadDetectorParams<kp::DynamicLaserDetectorParams>(path));
          }),
          py::arg("config_path"),
          (std::string(kDetectorYaml) + " Optional: \"log_odds_sub_obstacle_scale\" (default 0.5).")
              .c_str())
      .def("process", &LaserDetector::Process, py::arg("scan"), py::arg("pose"),
           "Moves the grid by the robot's motion since the previous pose, integrates `scan` and "
           "returns its dynamic mask ((n,) bool over the scan's readings, True where the beam's "
           "end point lies in a cell still believed free; False for unused readings and on the "
           "first call). `pose`: the robot's pose in a fixed frame, (x, y, z, qx, qy, qz, qw) "
           "(metres) or a 4 x 4 matrix; only x, y and the yaw are used. A non-finite pose "
           "moves nothing and is not remembered, as in C++.")
      .def("log_odds", &LaserDetector::LogOdds,
           "Read-only copy of the grid's log-odds, (grid_width, grid_width) float32 within "
           "[-1, 1]; row = cell y index, column = cell x index, the robot in the centre cell.")
      .def_property_readonly("resolution", &LaserDetector::Resolution, "Cell edge in metres.")
      .def_property_readonly("grid_width", &LaserDetector::GridWidth, "Cells per grid side.");
}

void BindClusteringAndFrame(py::module_& m) {
  using C = kp::CloudClusterPara;
  py::class_<C>(m, "CloudClusterPara", "Parameters of CloudCluster.")
      .def(py::init([](float grid_step, std::int32_t search_size, std::int32_t point_threshold) {
             return C{grid_step, search_size, point_threshold};
           }),
           py::arg("grid_step") = 0.01f, py::arg("search_size") = 3, py::arg("point_threshold") = 2,
           "`grid_step`: cell edge in metres (> 0); `search_size`: side in cells of the window "
           "joining occupied cells; `point_threshold`: a cell is occupied when it holds more "
           "points than this.")
      .LARKSPUR_FIELD(C, grid_step, "Cell edge in metres.")
      .LARKSPUR_FIELD(C, search_size, "Side in cells of the joining window.")
      .LARKSPUR_FIELD(C, point_threshold, "Occupied above this many points.");

  py::class_<Clustering>(
      m, "CloudCluster",
      WithLoggingNote("Clusters obstacle points by connected components of occupied cells on a "
                      "grid in the x-y plane (any frame with z up, metres).")
          .c_str())
      .def(py::init<const kp::CloudClusterPara&>(), py::arg("params") = kp::CloudClusterPara{},
           "From a parameter record; the default is grid_step 0.01 m, search_size 3, "
           "point_threshold 2.")
      .def("cluster", &Clustering::Cluster, py::arg("points"),
           "Cluster id per point of `points` ((N, 3) float32, metres): k for the points whose "
           "cell belongs to cluster k (0 .. count - 1, count = ids.max() + 1), -1 for the "
           "others and for points with a non-finite x or y. (N,) int32. Degenerate input "
           "(fewer than 2 points, no finite point, a grid over 2**24 cells) gives all -1.");

  py::class_<Frame>(
      m, "CameraFrame",
      "The extent of a cloud as seen from one camera: four extreme points (metres, in the "
      "frame of the camera's extrinsic, z up).")
      .def(py::init([](const py::handle& extrinsic) {
             return std::make_unique<Frame>(FloatMatrix<4, 4>(extrinsic, "extrinsic"));
           }),
           py::arg("extrinsic"),
           "`extrinsic`: 4 x 4 camera-to-cloud-frame transform (metres); only the x and y of "
           "its translation are used, as the camera's position. Raises ValueError naming "
           "`extrinsic` when it is not 4 x 4.")
      .def("calculate", &Frame::Calculate, py::arg("points"),
           "The four extreme points of `points` ((N, 3) float32, metres, the extrinsic's "
           "frame) as a (4, 3) float32 array: smallest bearing and largest bearing seen from "
           "the camera position (relative to the first point), nearest and farthest in the x-y "
           "plane from the frame's origin. Non-finite points are ignored; no finite point "
           "gives four zero points.")
      .def_property_readonly("position", &Frame::Position,
                             "Camera position (3,) float32 in metres in the cloud's frame.");
}

}  // namespace

PYBIND11_MODULE(larkspur_perception, m) {
  m.doc() = WithLoggingNote(
      "Python bindings of liblarkspur_perception_libs: ground removal, dynamic-obstacle "
      "detection from point clouds and laser scans, obstacle clustering and camera frames, on "
      "NumPy arrays. Points are (N, 3) float32 arrays (x, y, z in metres; extra columns "
      "ignored), copied once into the library's cloud. The GIL is released during the "
      "library's work; calls on one object from several threads take turns.");
  BindGroundRemoval(m);
  BindDetectors(m);
  BindClusteringAndFrame(m);
}
