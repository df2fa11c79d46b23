#!/usr/bin/env python3
"""Overhead of the Python module's ground_remove over the C++ call, on the
124,668-point KITTI frame kitti_hdl64/velodyne/000000.bin with the HDL-64E
parameters of config/kitti_hdl64 (as remove_ground_linefit_bench).

Not a test: it prints the medians and their ratio. Run it on an optimised
build (`make bench` builds one in build-release):

    python3 bench/python_binding_overhead.py build-release

It runs build-release/bench/remove_ground_linefit_bench for the C++ timings
(the cloud and the index form of the one-call groundRemove) and times
larkspur_perception.RemoveGroundLineFit.ground_remove from
build-release/python on the same frame; the module's call includes the one
copy of the (N, 4) array into the library's cloud and the wrapping of the
index vectors.
"""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

REPETITIONS = 30
ROOT = pathlib.Path(__file__).resolve().parents[1]


def cpp_medians(build, data, report_path):
    subprocess.run(
        [str(build / "bench" / "remove_ground_linefit_bench"),
         "--benchmark_filter=LineFit/groundRemove_3", "--benchmark_repetitions=10",
         "--benchmark_report_aggregates_only=true", f"--benchmark_out={report_path}",
         "--benchmark_out_format=json"],
        check=True, capture_output=True, text=True,
        env={**os.environ, "LARKSPUR_SHARED_DATA": str(data), "SPDLOG_STDOUT": "false"})
    report = json.loads(pathlib.Path(report_path).read_text())
    return {b["run_name"]: b["real_time"] for b in report["benchmarks"]
            if b.get("aggregate_name") == "median"}


def python_median(build, data):
    sys.path.insert(0, str(build / "python"))
    import larkspur_perception as lp
    remover = lp.RemoveGroundLineFit(str(ROOT / "config/kitti_hdl64/remove_ground_linefit.yaml"))
    points = np.fromfile(data / "kitti_hdl64/velodyne/000000.bin", dtype=np.float32).reshape(-1, 4)
    remover.ground_remove(points)  # warm-up
    times = []
    for _ in range(REPETITIONS):
        start = time.perf_counter()
        remover.ground_remove(points)
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times), len(points)


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build-release").resolve()
    data = pathlib.Path(os.environ.get("LARKSPUR_SHARED_DATA", ROOT.parent / "shared" / "data"))
    if not (data / "kitti_hdl64/velodyne/000000.bin").exists():
        print(f"kitti_hdl64/velodyne/000000.bin not found under {data}: nothing to measure")
        return
    os.environ.setdefault("SPDLOG_STDOUT", "false")
    with tempfile.TemporaryDirectory() as folder:
        cpp = cpp_medians(build, data, pathlib.Path(folder) / "report.json")
    module, points = python_median(build, data)
    clouds, indices = cpp["LineFit/groundRemove_3"], cpp["LineFit/groundRemove_3_indices"]
    print(f"{points} points, medians in ms")
    print(f"C++ groundRemove, cloud outputs:   {clouds:8.3f}")
    print(f"C++ groundRemove, index outputs:   {indices:8.3f}")
    print(f"Python ground_remove:              {module:8.3f}")
    print(f"overhead over the C++ index call:  {100 * (module / indices - 1):+7.1f} %")
    print(f"overhead over the C++ cloud call:  {100 * (module / clouds - 1):+7.1f} %")


if __name__ == "__main__":
    main()
