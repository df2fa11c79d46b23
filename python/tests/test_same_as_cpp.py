"""The module's indices and masks select what the C++ library's cloud and scan
outputs hold, on a shared KITTI frame and on both laser recordings."""
import struct

import numpy as np
import pytest

import larkspur_perception as lp
from conftest import GROUND_FIELDS, kitti_frame, read_points, recording

NOT_IN_THIS_SCAN = np.float32(3.4028235e38)


def assert_same_points(picked, expected):
    assert picked.shape == expected.shape
    # Bitwise: NaN or signed zeros would not slip through.
    assert np.array_equal(picked.view(np.uint32), expected.view(np.uint32))


def test_ground_indices_pick_the_cpp_clouds(reference, tmp_path, kitti_ground_params):
    fit, split = kitti_frame(0), kitti_frame(1)
    fit_xyz, split_xyz = np.ascontiguousarray(fit[:, :3]), np.ascontiguousarray(split[:, :3])
    fit_xyz.tofile(tmp_path / "fit.f32")
    split_xyz.tofile(tmp_path / "split.f32")
    fields = [repr(float(getattr(kitti_ground_params, f))) for f in GROUND_FIELDS]
    out = reference("ground", tmp_path / "fit.f32", tmp_path / "split.f32", tmp_path, *fields)

    remover = lp.RemoveGroundLineFit(kitti_ground_params)
    nonground, ground = remover.ground_remove(fit)  # the intensity column is ignored
    assert_same_points(fit_xyz[nonground], read_points(out / "nonground.f32"))
    assert_same_points(fit_xyz[ground], read_points(out / "ground.f32"))

    remover.set_input_cloud(fit)
    nonground, ground, below = remover.ground_remove_kept(split)
    assert_same_points(split_xyz[nonground], read_points(out / "kept_nonground.f32"))
    assert_same_points(split_xyz[ground], read_points(out / "kept_ground.f32"))
    assert_same_points(split_xyz[below], read_points(out / "kept_below.f32"))
    assert len(below) > 0


def test_cluster_ids_name_the_cpp_clusters(reference, tmp_path):
    frame = kitti_frame(0)
    xyz = frame[:, :3]
    obstacles = np.ascontiguousarray(
        xyz[(xyz[:, 2] > np.float32(-1.4)) & (np.abs(xyz[:, 0]) < np.float32(30.0))
            & (np.abs(xyz[:, 1]) < np.float32(30.0))])
    obstacles.tofile(tmp_path / "obstacles.f32")
    out = reference("cluster", tmp_path / "obstacles.f32", 0.15, 3, 2, tmp_path)
    count = int((out / "count.txt").read_text())

    ids = lp.CloudCluster(lp.CloudClusterPara(0.15, 3, 2)).cluster(obstacles)
    assert ids.dtype == np.int32 and ids.shape == (len(obstacles),)
    assert count > 10 and ids.max() == count - 1 and ids.min() == -1
    for k in range(count):
        members = {tuple(p) for p in obstacles[ids == k].view(np.uint32)}
        cluster = read_points(out / f"cluster_{k}.f32")
        # Every point of the C++ cluster cloud carries id k in the module.
        assert all(tuple(p) in members for p in cluster.view(np.uint32)), f"cluster {k}"


def read_laser_reference(path):
    scans = []
    with open(path, "rb") as f:
        while header := f.read(5 * 4 + 7 * 8 + 4):
            angle_min, angle_max, increment, range_min, range_max = struct.unpack_from("<5f", header)
            pose = np.array(struct.unpack_from("<7d", header, 20))
            (n,) = struct.unpack_from("<I", header, 76)
            ranges, dynamic, static = (np.frombuffer(f.read(4 * n), dtype=np.float32)
                                       for _ in range(3))
            scans.append((lp.LaserScan(ranges.copy(), angle_min, angle_max, increment, range_min,
                                       range_max), pose, dynamic, static))
    return scans


@pytest.mark.parametrize("relative", ["laser_people/scans.txt", "laser_intel/intel_excerpt.clf"])
def test_laser_masks_match_the_cpp_scans(reference, tmp_path, laser_config, relative):
    path = recording(relative)
    reference("laser", path, laser_config, 300, tmp_path / "laser.bin")
    detector = lp.DynamicLaserDetector(str(laser_config))
    dynamic_beams = 0
    for k, (scan, pose, dynamic, static) in enumerate(read_laser_reference(tmp_path / "laser.bin")):
        mask = detector.process(scan, pose)
        assert mask.dtype == np.bool_ and mask.shape == dynamic.shape
        expected = (dynamic != NOT_IN_THIS_SCAN) & (static == NOT_IN_THIS_SCAN)
        assert np.array_equal(mask, expected), f"scan {k}"
        dynamic_beams += int(mask.sum())
    assert dynamic_beams > 0
