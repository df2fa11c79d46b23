"""Shared fixtures: the recordings, the C++ reference program and parameters."""
import os
import pathlib
import subprocess

import numpy as np
import pytest

SOURCE_DIR = pathlib.Path(
    os.environ.get("LARKSPUR_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
DATA_DIR = pathlib.Path(
    os.environ.get("LARKSPUR_SHARED_DATA", SOURCE_DIR.parent / "shared" / "data"))

# Field order of GroundRemovalParams, as the reference program takes them.
GROUND_FIELDS = (
    "sector_angle", "max_range", "min_range", "bin_size", "ground_height", "max_fit_error",
    "reserved_1", "max_slope", "seed_max_above", "seed_max_below", "ground_distance_threshold",
    "reserved_2", "max_height_jump", "near_zone_x_limit", "near_zone_depth",
    "max_point_height", "split_distance", "outlier_sigma_factor")


def recording(relative):
    """Path of a shared recording, or skip the test when it is absent."""
    path = DATA_DIR / relative
    if not path.exists():
        pytest.skip(f"{relative} is not in the shared data folder {DATA_DIR}")
    return path


def kitti_frame(frame):
    """(N, 4) float32 x y z intensity of a KITTI HDL-64 frame (metres)."""
    path = recording(f"kitti_hdl64/velodyne/{frame:06d}.bin")
    return np.fromfile(path, dtype=np.float32).reshape(-1, 4)


@pytest.fixture
def reference(tmp_path):
    """Runs the C++ reference program; returns its output folder."""
    program = os.environ.get("LARKSPUR_PYTHON_REFERENCE")
    if not program:
        pytest.skip("LARKSPUR_PYTHON_REFERENCE is not set (run the suite through CTest)")

    def run(*args):
        subprocess.run([program, *map(str, args)], check=True, env={**os.environ,
                                                                    "SPDLOG_STDOUT": "false"})
        return tmp_path

    return run


def read_points(path):
    return np.fromfile(path, dtype=np.float32).reshape(-1, 3)


@pytest.fixture
def kitti_ground_params():
    import larkspur_perception as lp
    return lp.GroundRemovalParams.from_yaml(
        str(SOURCE_DIR / "config" / "kitti_hdl64" / "remove_ground_linefit.yaml"))


@pytest.fixture
def laser_config(tmp_path):
    """The laser detector parameters of the recorded-scan tests."""
    path = tmp_path / "laser.yaml"
    path.write_text("resolution: 0.1\nwidth: 16\noccupancy_threshold: 0.0\n"
                    "log_odds_obstacle: 0.4\nlog_odds_occlusion: 0.0\n"
                    "log_odds_free_space: -0.2\n")
    return path
