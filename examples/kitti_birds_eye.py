#!/usr/bin/env python3
"""Ground removal and the cloud detector over a KITTI folder, drawn from above.

    PYTHONPATH=build/python python3 examples/kitti_birds_eye.py ../shared/data/kitti_hdl64 out/kitti_birds_eye.png

The folder holds velodyne/NNNNNN.bin (KITTI frames), calib.txt (P0 and Tr,
velodyne to camera 0) and the sensor's poses: poses_estimated.txt (LiDAR
poses) or poses.txt (SemanticKITTI camera-0 poses, turned into LiDAR poses
with Tr). Every frame is split into ground and non-ground points
(config/kitti_hdl64/remove_ground_linefit.yaml) and the non-ground points are
fed to the cloud detector (config/dynamic_cloud_detector.yaml) with camera 0
as its camera. The picture shows the last frame around the car (ground grey,
static obstacles black, dynamic points red) beside the detector's log-odds
grid.
"""
import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import larkspur_perception as lp  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
# KITTI odometry images of camera 0 are 1241 x 376 pixels.
IMAGE_SIZE = (1241, 376)


def read_calib(path):
    entries = {}
    for line in path.read_text().splitlines():
        key, _, values = line.partition(":")
        if values.strip():
            entries[key.strip()] = np.array(values.split(), dtype=np.float64)
    homogeneous = np.eye(4)
    homogeneous[:3, :] = entries["Tr"].reshape(3, 4)
    return entries["P0"].reshape(3, 4)[:, :3], homogeneous


def read_poses(folder, velo_to_cam):
    def load(path):
        rows = np.loadtxt(path, ndmin=2).reshape(-1, 3, 4)
        poses = np.tile(np.eye(4), (len(rows), 1, 1))
        poses[:, :3, :] = rows
        return poses

    if (folder / "poses_estimated.txt").exists():
        return load(folder / "poses_estimated.txt")
    cam_to_velo = np.linalg.inv(velo_to_cam)
    return np.array([cam_to_velo @ pose @ velo_to_cam for pose in load(folder / "poses.txt")])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", type=pathlib.Path, help="KITTI folder (velodyne/, calib.txt)")
    parser.add_argument("png", type=pathlib.Path, help="picture to write")
    parser.add_argument("--extent", type=float, default=25.0, help="half side of the view, m")
    args = parser.parse_args()

    intrinsic, velo_to_cam = read_calib(args.folder / "calib.txt")
    poses = read_poses(args.folder, velo_to_cam)
    frames = sorted((args.folder / "velodyne").glob("*.bin"))[:len(poses)]

    remover = lp.RemoveGroundLineFit(str(ROOT / "config/kitti_hdl64/remove_ground_linefit.yaml"))
    detector = lp.DynamicCloudDetector(str(ROOT / "config/dynamic_cloud_detector.yaml"))
    detector.init(lp.CameraInfo(*IMAGE_SIZE, intrinsic, np.linalg.inv(velo_to_cam)))
    for path, pose in zip(frames, poses):
        points = np.fromfile(path, dtype=np.float32).reshape(-1, 4)
        nonground, ground = remover.ground_remove(points)
        obstacles = points[nonground]
        dynamic = detector.update(obstacles, pose)
        print(f"{path.name}: {len(points)} points, {len(ground)} ground, "
              f"{int(dynamic.sum())} dynamic of {len(obstacles)} non-ground")

    figure, (top, grid) = plt.subplots(1, 2, figsize=(14, 7))
    for cloud, colour, label in ((points[ground], "0.75", "ground"),
                                 (obstacles[~dynamic], "black", "static"),
                                 (obstacles[dynamic], "red", "dynamic")):
        top.scatter(cloud[:, 0], cloud[:, 1], s=0.3, c=colour, label=label, linewidths=0)
    top.set(xlim=(-args.extent, args.extent), ylim=(-args.extent, args.extent), aspect="equal",
            xlabel="x (m, forward)", ylabel="y (m, left)", title=frames[-1].name)
    top.legend(loc="upper right", markerscale=20)
    half = detector.grid_width * detector.resolution / 2
    image = grid.imshow(detector.log_odds(), origin="lower", cmap="RdYlGn_r", vmin=-1, vmax=1,
                        extent=(-half, half, -half, half))
    grid.set(xlabel="x (m)", ylabel="y (m)", title="cloud detector log-odds")
    figure.colorbar(image, ax=grid, shrink=0.8)
    args.png.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(args.png, dpi=120, bbox_inches="tight")
    print(f"bird's-eye picture: {args.png}")


if __name__ == "__main__":
    main()
