"""Python bindings of liblarkspur_perception_libs on NumPy arrays.

Points are (N, 3) float32 arrays (x, y, z in metres; extra columns ignored).
Poses are (x, y, z, qx, qy, qz, qw) or 4 x 4 homogeneous matrices. Logging is
configured by SPDLOG_LEVEL, SPDLOG_STDOUT and SPDLOG_SYSTEMD, read once at the
first log statement of the process.
"""
from typing import List, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

Points = npt.NDArray[np.float32]
Pose = Union[npt.ArrayLike, Sequence[float]]
Indices = npt.NDArray[np.int32]
Mask = npt.NDArray[np.bool_]

class GroundRemovalParams:
    """Parameters of RemoveGroundLineFit (metres, radians, cloud frame with z up)."""
    sector_angle: float
    max_range: float
    min_range: float
    bin_size: float
    ground_height: float
    max_fit_error: float
    reserved_1: float
    max_slope: float
    seed_max_above: float
    seed_max_below: float
    ground_distance_threshold: float
    reserved_2: float
    max_height_jump: float
    near_zone_x_limit: float
    near_zone_depth: float
    max_point_height: float
    split_distance: float
    outlier_sigma_factor: float
    def __init__(self) -> None: ...
    @staticmethod
    def from_yaml(path: str) -> GroundRemovalParams:
        """Fields from a YAML mapping; KeyError / ValueError name the key."""

class RemoveGroundLineFit:
    """Ground removal by line fitting in azimuth sectors (metres, z up)."""
    def __init__(self, params: Union[GroundRemovalParams, str]) -> None: ...
    def ground_remove(self, points: Points) -> Tuple[Indices, Indices]:
        """(nonground, ground) indices into `points`, in the cloud outputs' order."""
    def set_input_cloud(self, points: Points) -> None:
        """Fits and keeps the ground segments of `points`."""
    def ground_remove_kept(self, points: Points) -> Tuple[Indices, Indices, Indices]:
        """(nonground, ground, below_ground) indices against the kept segments."""
    def line_fit_points(self) -> List[npt.NDArray[np.float32]]:
        """Kept segments as (2, 3) float32 arrays (metres)."""
    def trace_points(self) -> npt.NDArray[np.float32]:
        """Low outliers (M, 3) float32 of the last fit (metres)."""

class CameraInfo:
    """Camera of the cloud detector: image size (pixels), 3 x 3 intrinsic, 4 x 4
    camera-to-robot extrinsic (metres)."""
    width: int
    height: int
    def __init__(self, width: int, height: int, intrinsic: npt.ArrayLike,
                 extrinsic: npt.ArrayLike) -> None: ...
    @property
    def intrinsic(self) -> npt.NDArray[np.float32]: ...
    @property
    def extrinsic(self) -> npt.NDArray[np.float32]: ...

class DynamicCloudDetectorParams:
    """Cloud detector configuration (metres, log-odds units)."""
    resolution: float
    width: float
    occupancy_threshold: float
    log_odds_obstacle: float
    log_odds_occlusion: float
    log_odds_free_space: float
    def __init__(self) -> None: ...
    @staticmethod
    def from_yaml(path: str) -> DynamicCloudDetectorParams:
        """Keys from a YAML mapping; KeyError / ValueError name the key."""

class DynamicLaserDetectorParams:
    """Laser detector configuration (metres, log-odds units)."""
    resolution: float
    width: float
    occupancy_threshold: float
    log_odds_obstacle: float
    log_odds_occlusion: float
    log_odds_free_space: float
    log_odds_sub_obstacle_scale: float
    def __init__(self) -> None: ...
    @staticmethod
    def from_yaml(path: str) -> DynamicLaserDetectorParams:
        """Keys from a YAML mapping; KeyError / ValueError name the key."""

class DynamicCloudDetector:
    """Dynamic / static split of clouds in the robot frame (metres) with a
    robot-centred log-odds grid."""
    def __init__(self, config: Union[DynamicCloudDetectorParams, str]) -> None: ...
    def init(self, camera: CameraInfo) -> None:
        """Builds the region of interest from the camera's ground footprint."""
    def update(self, points: Points, pose: Pose, visualize: bool = False) -> Mask:
        """Moves the grid to `pose`, integrates `points`, returns their dynamic mask."""
    def divide(self, points: Points) -> Mask:
        """Dynamic mask of `points` against the current grid."""
    def log_odds(self) -> npt.NDArray[np.float32]:
        """Read-only copy of the grid's log-odds, (grid_width, grid_width)."""
    def heights(self) -> npt.NDArray[np.float32]:
        """Read-only copy of the grid's cell heights in metres."""
    @property
    def resolution(self) -> float: ...
    @property
    def grid_width(self) -> int: ...

class LaserScan:
    """A planar scan: ranges in metres, bearings in radians (robot frame)."""
    def __init__(self, ranges: npt.NDArray[np.float32], angle_min: float, angle_max: float,
                 angle_increment: float, range_min: float, range_max: float) -> None: ...
    @property
    def ranges(self) -> npt.NDArray[np.float32]: ...
    @property
    def angle_min(self) -> float: ...
    @property
    def angle_max(self) -> float: ...
    @property
    def angle_increment(self) -> float: ...
    @property
    def range_min(self) -> float: ...
    @property
    def range_max(self) -> float: ...

class DynamicLaserDetector:
    """Dynamic / static split of laser beams with a robot-centred log-odds grid."""
    def __init__(self, config: Union[DynamicLaserDetectorParams, str]) -> None: ...
    def process(self, scan: LaserScan, pose: Pose) -> Mask:
        """Moves the grid to `pose`, integrates `scan`, returns its dynamic beams."""
    def log_odds(self) -> npt.NDArray[np.float32]:
        """Read-only copy of the grid's log-odds, (grid_width, grid_width)."""
    @property
    def resolution(self) -> float: ...
    @property
    def grid_width(self) -> int: ...

class CloudClusterPara:
    """Clustering parameters: grid_step (metres), search_size and point_threshold."""
    grid_step: float
    search_size: int
    point_threshold: int
    def __init__(self, grid_step: float = 0.01, search_size: int = 3,
                 point_threshold: int = 2) -> None: ...

class CloudCluster:
    """Connected components of occupied cells on an x-y grid (metres)."""
    def __init__(self, params: CloudClusterPara = ...) -> None: ...
    def cluster(self, points: Points) -> npt.NDArray[np.int32]:
        """Cluster id per point (0 .. count - 1), -1 outside every cluster."""

class CameraFrame:
    """Four extreme points of a cloud seen from a camera (metres)."""
    def __init__(self, extrinsic: npt.ArrayLike) -> None: ...
    def calculate(self, points: Points) -> npt.NDArray[np.float32]:
        """(4, 3): smallest and largest bearing, nearest and farthest point."""
    @property
    def position(self) -> npt.NDArray[np.float32]: ...
