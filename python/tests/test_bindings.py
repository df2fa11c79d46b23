"""The module's own behaviour: bad input, results' types, logging-free paths,
concurrent callers."""
import threading

import numpy as np
import pytest

import larkspur_perception as lp
from conftest import SOURCE_DIR, kitti_frame

CAMERA_INTRINSIC = np.array([[320, 0, 320], [0, 320, 240], [0, 0, 1]], dtype=np.float32)
# Optical axis along robot x, camera x along robot -y, camera y along robot -z,
# mounted at (0.2, 0, 1.0).
CAMERA_EXTRINSIC = np.array([[0, 0, 1, 0.2], [-1, 0, 0, 0], [0, -1, 0, 1.0], [0, 0, 0, 1]],
                            dtype=np.float32)
IDENTITY_POSE = (0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0)


@pytest.fixture
def cloud_detector():
    detector = lp.DynamicCloudDetector(str(SOURCE_DIR / "config" / "dynamic_cloud_detector.yaml"))
    detector.init(lp.CameraInfo(640, 480, CAMERA_INTRINSIC, CAMERA_EXTRINSIC))
    return detector


@pytest.fixture
def remover(kitti_ground_params):
    return lp.RemoveGroundLineFit(kitti_ground_params)


@pytest.mark.parametrize("points", [
    np.zeros((5, 3), dtype=np.float64),          # dtype
    np.zeros((5, 2), dtype=np.float32),          # too few columns
    np.zeros(15, dtype=np.float32),              # one-dimensional
    np.zeros((5, 3, 1), dtype=np.float32),       # three-dimensional
    [[0.0, 0.0, 0.0]],                           # not an array
])
def test_points_of_the_wrong_kind_raise_value_error_naming_points(remover, cloud_detector,
                                                                  points):
    calls = [remover.ground_remove, remover.set_input_cloud, remover.ground_remove_kept,
             cloud_detector.divide, lp.CloudCluster().cluster,
             lp.CameraFrame(np.eye(4)).calculate,
             lambda p: cloud_detector.update(p, IDENTITY_POSE)]
    for call in calls:
        with pytest.raises(ValueError, match="^points: expected"):
            call(points)


@pytest.mark.parametrize("pose", [np.zeros(6), np.zeros((3, 4)), "pose", np.zeros((4, 4, 1)),
                                  np.array(["a"] * 7)])
def test_poses_of_the_wrong_kind_raise_value_error_naming_pose(cloud_detector, pose):
    points = np.zeros((3, 3), dtype=np.float32)
    with pytest.raises(ValueError, match="^pose: expected"):
        cloud_detector.update(points, pose)
    scan = lp.LaserScan(np.ones(10, dtype=np.float32), -0.5, 0.5, 0.1, 0.1, 10.0)
    laser = lp.DynamicLaserDetector(str(SOURCE_DIR / "config" / "dynamic_laser_detector.yaml"))
    with pytest.raises(ValueError, match="^pose: expected"):
        laser.process(scan, pose)


def test_matrices_and_ranges_of_the_wrong_kind_name_their_argument():
    with pytest.raises(ValueError, match="^intrinsic: expected"):
        lp.CameraInfo(640, 480, np.eye(4), CAMERA_EXTRINSIC)
    with pytest.raises(ValueError, match="^extrinsic: expected"):
        lp.CameraInfo(640, 480, CAMERA_INTRINSIC, np.eye(3))
    with pytest.raises(ValueError, match="^extrinsic: expected"):
        lp.CameraFrame(np.eye(3))
    with pytest.raises(ValueError, match="^ranges: expected"):
        lp.LaserScan(np.ones(10), -0.5, 0.5, 0.1, 0.1, 10.0)


@pytest.mark.parametrize("cls,text,key", [
    (lp.DynamicCloudDetector, "resolution: 0.1\nwidth: 20\n", "occupancy_threshold"),
    (lp.DynamicLaserDetector, "width: 20\n", "resolution"),
    (lambda path: lp.RemoveGroundLineFit(path), "sector_angle: 0.1\n", "max_range"),
])
def test_missing_yaml_keys_raise_key_error_naming_the_key(tmp_path, cls, text, key):
    path = tmp_path / "config.yaml"
    path.write_text(text)
    with pytest.raises(KeyError, match=f'key "{key}" is missing'):
        cls(str(path))


def test_yaml_values_and_files_that_cannot_be_read(tmp_path):
    path = tmp_path / "config.yaml"
    path.write_text("resolution: fine\n")
    with pytest.raises(ValueError, match='key "resolution" is not a number'):
        lp.DynamicLaserDetector(str(path))
    with pytest.raises(OSError, match="missing.yaml"):
        lp.GroundRemovalParams.from_yaml(str(tmp_path / "missing.yaml"))


def test_library_errors_pass_through_as_in_cpp(remover):
    params = lp.GroundRemovalParams()
    with pytest.raises(ValueError, match="sector_angle"):
        lp.RemoveGroundLineFit(params)
    # No kept segments: the C++ std::out_of_range.
    with pytest.raises(IndexError):
        remover.ground_remove_kept(np.array([[10.0, 0.0, -1.73]], dtype=np.float32))


def test_results_on_a_kitti_frame(remover):
    points = kitti_frame(0)
    nonground, ground = remover.ground_remove(points)
    assert nonground.dtype == np.int32 and ground.dtype == np.int32
    assert len(np.intersect1d(nonground, ground)) == 0
    assert len(nonground) + len(ground) <= len(points)
    # Strided input (a column slice) gives the same split as a contiguous copy.
    xyz = np.ascontiguousarray(points[:, :3])
    again = remover.ground_remove(xyz)
    assert np.array_equal(again[0], nonground) and np.array_equal(again[1], ground)
    assert len(remover.trace_points()) > 0


def test_cloud_detector_masks_and_grid(cloud_detector):
    # A box 3 m ahead, inside the camera's view.
    box = np.array([[3.0 + 0.05 * i, 0.05 * j, 0.5] for i in range(5) for j in range(5)],
                   dtype=np.float32)
    first = cloud_detector.update(box, IDENTITY_POSE)
    assert first.dtype == np.bool_ and first.shape == (25,)
    assert first.all()  # a fresh grid believes every cell free
    for _ in range(6):
        last = cloud_detector.update(box, np.eye(4))  # the 4 x 4 form of the same pose
    assert not last.any()
    assert np.array_equal(cloud_detector.divide(box), last)
    log_odds = cloud_detector.log_odds()
    assert log_odds.shape == (cloud_detector.grid_width,) * 2 and log_odds.dtype == np.float32
    assert not log_odds.flags.writeable
    assert log_odds.min() >= -1.0 and log_odds.max() <= 1.0
    assert cloud_detector.heights().max() == pytest.approx(0.5)


def test_nan_pose_is_handled_as_in_cpp(cloud_detector):
    box = np.ones((4, 3), dtype=np.float32)
    cloud_detector.update(box, IDENTITY_POSE)
    cloud_detector.update(box, np.full(7, np.nan))  # no exception: the grid becomes unknown
    assert np.all(cloud_detector.log_odds() >= -1.0)


def test_laser_detector_first_call_is_static_and_unused_beams_are_false():
    laser = lp.DynamicLaserDetector(str(SOURCE_DIR / "config" / "dynamic_laser_detector.yaml"))
    ranges = np.full(11, 2.0, dtype=np.float32)
    scan = lp.LaserScan(ranges, -0.5, 0.5, 0.1, 0.1, 10.0)
    assert not laser.process(scan, IDENTITY_POSE).any()
    mask = laser.process(scan, IDENTITY_POSE)
    assert mask.shape == (11,) and not mask[10]
    assert laser.log_odds().shape == (laser.grid_width,) * 2
    assert np.array_equal(scan.ranges, ranges)


def test_clusters_and_camera_frame():
    points = np.array([[1.0, 1.0, 0.5], [1.001, 1.0, 0.6], [1.002, 1.0, 0.7], [3.0, 1.0, 0.5],
                       [np.nan, 1.0, 0.5]], dtype=np.float32)
    ids = lp.CloudCluster().cluster(points)
    assert ids.tolist() == [0, 0, 0, -1, -1]
    assert lp.CloudCluster().cluster(points[:1]).tolist() == [-1]

    # Bearings seen from the camera at (0, 0) relative to the first point are
    # 0, -0.5 and +0.5 rad, distances 2, 1 and 3.
    frame = lp.CameraFrame(np.eye(4, dtype=np.float32))
    cloud = np.array([[2.0, 0.0, 0.0], [np.cos(-0.5), np.sin(-0.5), 0.1],
                      [3 * np.cos(0.5), 3 * np.sin(0.5), 0.2]], dtype=np.float32)
    extremes = frame.calculate(cloud)
    assert extremes.shape == (4, 3)
    assert np.array_equal(extremes, cloud[[1, 2, 1, 2]])
    assert frame.calculate(np.zeros((0, 3), dtype=np.float32)).tolist() == [[0.0] * 3] * 4


def test_threads_sharing_one_remover_get_the_single_threaded_results(remover):
    points = kitti_frame(0)
    expected = remover.ground_remove(points)
    results = [None] * 4

    def work(slot):
        results[slot] = remover.ground_remove(points)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for nonground, ground in results:
        assert np.array_equal(nonground, expected[0]) and np.array_equal(ground, expected[1])


def test_every_function_has_a_docstring_with_units():
    for cls in (lp.RemoveGroundLineFit, lp.DynamicCloudDetector, lp.DynamicLaserDetector,
                lp.CloudCluster, lp.CameraFrame, lp.LaserScan, lp.CameraInfo):
        assert "metres" in cls.__doc__ or "radians" in cls.__doc__, cls.__name__
        for name, member in vars(cls).items():
            if not name.startswith("_") and callable(member):
                assert member.__doc__ and len(member.__doc__) > 40, f"{cls.__name__}.{name}"
    assert "SPDLOG_LEVEL" in lp.DynamicCloudDetector.__doc__


@pytest.mark.parametrize("record,detector,config", [
    (lp.DynamicCloudDetectorParams, lp.DynamicCloudDetector, "dynamic_cloud_detector.yaml"),
    (lp.DynamicLaserDetectorParams, lp.DynamicLaserDetector, "dynamic_laser_detector.yaml"),
])
def test_detectors_from_a_record_equal_those_from_the_file(record, detector, config):
    path = str(SOURCE_DIR / "config" / config)
    params = record.from_yaml(path)
    by_hand = record()
    for field in ("resolution", "width", "occupancy_threshold", "log_odds_obstacle",
                  "log_odds_occlusion", "log_odds_free_space"):
        setattr(by_hand, field, getattr(params, field))
    from_record, from_file = detector(by_hand), detector(path)
    assert from_record.grid_width == from_file.grid_width
    assert np.array_equal(from_record.log_odds(), from_file.log_odds())
    by_hand.resolution = 0.0
    with pytest.raises(ValueError, match="resolution"):
        detector(by_hand)
