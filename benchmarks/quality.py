"""What the diagnostics and the benchmark cost against the one calibration they are built on.

- diagnostics.compare_hand_eye_methods (full pipeline: detection, camera calibration and pose
  re-detection, then five solves with their reports) against one EyeInHandCalibrator.calibrate
  of the same data; 20 rendered 1280x960 ChArUco views. Goal: ratio <= 1.3.
- CalibrationBenchmark.run (5 folds) against one IntrinsicCalibrator.calibrate of the same
  images; 24 chessboard views of the real robot data set (rendered ones without it), with and
  without the robot poses (the round trip reuses the calibration on all images). Goal: <= 3.
  The five fold calibrations on 20 images each are the floor.

Runs are interleaved (A, B, A, B, ...) after one warm-up of each; ratios are of the medians,
of wall time and of CPU time. Reports and log lines are swallowed.

Usage: .venv/bin/python benchmarks/quality.py [--runs N] [--data DIR | --rendered]
(or benchmarks/run.sh quality [--runs N] ...)
"""

import argparse
import contextlib
import io
import os
import pathlib
import statistics
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import _vantel as v  # noqa: E402
from _vantel import diagnostics  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_DATA = ROOT.parent / "shared" / "data"

EMPTY = np.zeros((0, 0))
GOALS = {"comparison": 1.3, "benchmark run": 3.0, "benchmark run with round trip": 3.0}


def quietly(call):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return call()


def timed(call):
    start, cpu_start = time.perf_counter(), time.process_time()
    quietly(call)
    return time.perf_counter() - start, time.process_time() - cpu_start


def interleaved(first, second, runs):
    """Median wall and CPU seconds of each, alternating so that load changes hit both alike."""
    quietly(first)
    quietly(second)
    samples = {0: [], 1: []}
    for _ in range(runs):
        for key, call in enumerate((first, second)):
            samples[key].append(timed(call))
    return [(statistics.median(s[0] for s in samples[k]), statistics.median(s[1] for s in samples[k]))
            for k in (0, 1)]


def charuco_scene():
    from vantel_tools.rendering import CharucoBoard, defaults, hand_eye_scene

    board = CharucoBoard(squares_x=10, squares_y=8, square_length=0.03, marker_length=0.022, dict_id=0)
    scene = hand_eye_scene(board, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET, n_poses=20,
                           seed=3, max_angle_deg=40, position_noise_px=0.2)
    return v.CharucoTarget(10, 8, 0.03, 0.022, 0), [view.image for view in scene.views], scene.robot_T_tcp


def chessboard_views(data, rendered):
    folder = data / "rwhe_kuka2_eye_in_hand"
    if not rendered and folder.is_dir():
        images = [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(folder.glob("image_*.png"))]
        poses = list(np.load(folder / "calibration_data.npz")["robot_T_tcp_list"])
        return "24 x 1920x1200 real chessboard 24x17", v.ChessboardTarget((24, 17), 0.015), images, poses
    from vantel_tools.rendering import defaults, hand_eye_scene

    scene = hand_eye_scene(defaults.CHESSBOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                           n_poses=24, seed=2, max_angle_deg=35, position_noise_px=0.2)
    return ("24 x 1280x960 rendered chessboard 9x6", v.ChessboardTarget((9, 6), defaults.CHESSBOARD.square),
            [view.image for view in scene.views], scene.robot_T_tcp)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--rendered", action="store_true", help="rendered chessboard views, not the real data")
    args = parser.parse_args()

    print(f"OpenCV {cv2.__version__} (pip, for rendering); median of {args.runs} interleaved runs after a warm-up")
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    rows = []

    target, images, poses = charuco_scene()
    rows.append(("comparison", "20 x 1280x960 rendered ChArUco 10x8", interleaved(
        lambda: diagnostics.compare_hand_eye_methods(target, poses, images, [], EMPTY, EMPTY),
        lambda: v.EyeInHandCalibrator(target).calibrate(poses, images, "TSAI"), args.runs)))

    label, target, images, poses = chessboard_views(args.data, args.rendered)
    options = v.IntrinsicOptions()
    benchmark = v.CalibrationBenchmark()
    calibrate_once = lambda: v.IntrinsicCalibrator(target, options).calibrate(images)  # noqa: E731
    rows.append(("benchmark run", label, interleaved(
        lambda: benchmark.run(images, target, options, n_splits=5), calibrate_once, args.runs)))
    rows.append(("benchmark run with round trip", label, interleaved(
        lambda: benchmark.run(images, target, options, poses, options, n_splits=5), calibrate_once, args.runs)))

    print(f"{'what':32s} {'data':38s} {'s':>7s} {'one s':>7s} {'wall':>6s} {'CPU':>6s} {'goal':>6s}")
    for name, data, ((wall, cpu), (one_wall, one_cpu)) in rows:
        ratio = wall / one_wall
        verdict = "ok" if ratio <= GOALS[name] else "over"
        print(f"{name:32s} {data:38s} {wall:7.3f} {one_wall:7.3f} {ratio:6.2f} {cpu / one_cpu:6.2f} "
              f"{GOALS[name]:5.1f} {verdict}")


if __name__ == "__main__":
    main()
