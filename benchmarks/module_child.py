"""The module's side of growth.py: one calibration path on cached views, timing its own work.

A child process like the cv2 scripts, so that each side starts alike (fresh process, the same
views loaded the same way, a warm-up on the first views) and its peak memory is its own.
  intrinsic    IntrinsicCalibrator.calibrate, and the calibrator's solve alone on the views it
               found: through the development build's _vantel_testhooks, else (no hooks, or hooks
               of another signature) as calibrate minus find_corners, each timed once per run
  multi-camera MultiCameraCalibrator.calibrate with its default options
  hand-eye     EyeInHandCalibrator.calibrate (full pipeline) with the given method

Usage: .venv/bin/python module_child.py intrinsic|multi-camera|hand-eye JOB.json [--runs N] [--warm-up N]
Prints one JSON object (wall and CPU seconds per run, what was found, peak resident sizes); the
module's reports and log lines are swallowed.
"""

import argparse
import contextlib
import io
import json
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_child  # noqa: E402

import _vantel as v  # noqa: E402


def target_of(job):
    if job["target"] == "chessboard":
        return v.ChessboardTarget(tuple(job["size"]), job["square"])
    if job["target"] == "charuco":
        return v.CharucoTarget(*job["squares"], job["square"], job["marker"], job["dictionary"])
    return v.ArucoTarget(tuple(job["markers"]), job["length"], job["separation"], job["dictionary"])


def solver_hook(calibrator, size):
    """solve(detections): the calibrator's solve through the test hook, or None without a hook that takes them."""
    try:
        from _vantel_testhooks import calibrate_camera_as_the_calibrator
    except ImportError:
        return None

    def solve(found):
        return calibrate_camera_as_the_calibrator(found.object_points, found.image_points, size)

    try:
        solve(calibrator.detections())  # also its warm-up
    except (TypeError, RuntimeError):  # a hook of another signature, or too few views for it
        return None
    return solve


def intrinsic(job, images, runs, warm_up, report):
    calibrator = v.IntrinsicCalibrator(target_of(job))
    calibrator.calibrate(images[:warm_up])
    solve = solver_hook(calibrator, images[0].shape[1::-1])
    seconds, cpu_seconds, solve_seconds, solve_cpu_seconds, detect_seconds = [], [], [], [], []
    for _ in range(runs):
        wall, cpu, result = bench_child.timed_runs(lambda: calibrator.calibrate(images), 1)
        seconds += wall
        cpu_seconds += cpu
        # The calibration's own peak, before the solve below adds its copies.
        report["peak_rss_mib"].setdefault("end", bench_child.peak_rss_mib())
        if solve:
            found = calibrator.detections()
            wall, cpu, _ = bench_child.timed_runs(lambda: solve(found), 1)
            solve_seconds += wall
            solve_cpu_seconds += cpu
        else:
            detect_seconds += bench_child.timed_runs(lambda: calibrator.find_corners(images), 1)[0]
    if detect_seconds:
        # Two separate calls: on few views the difference is mostly the noise of the detection.
        solve_seconds = [total - detection for total, detection in zip(seconds, detect_seconds)]
    report.update(seconds=seconds, cpu_seconds=cpu_seconds, solve_seconds=solve_seconds,
                  solve_cpu_seconds=solve_cpu_seconds,
                  solve_timing="calibrate - find_corners" if detect_seconds else "test hook",
                  indices=list(result.successful_indices), ok=result.ok,
                  camera_matrix=result.intrinsic_matrix.tolist() if result.ok else None)


def multi_camera(job, lists, runs, warm_up, report):
    calibrator = v.MultiCameraCalibrator(target_of(job), len(lists))
    calibrator.calibrate([images[:warm_up] for images in lists])
    seconds, cpu_seconds, result = bench_child.timed_runs(lambda: calibrator.calibrate(lists), runs)
    report.update(seconds=seconds, cpu_seconds=cpu_seconds, ok=result.ok,
                  transforms=[T.tolist() if T.size else None for T in result.reference_T_camera_list])


def hand_eye(job, images, robot_T_tcp, runs, warm_up, method, report):
    calibrator = v.EyeInHandCalibrator(target_of(job))
    calibrator.calibrate(robot_T_tcp[:warm_up], images[:warm_up], method)
    seconds, cpu_seconds, result = bench_child.timed_runs(lambda: calibrator.calibrate(robot_T_tcp, images, method),
                                                          runs)
    report.update(seconds=seconds, cpu_seconds=cpu_seconds, ok=result.ok,
                  frames=len(result.valid_robot_T_tcp_list) if result.ok else 0,
                  tcp_T_camera=result.tcp_T_camera.tolist() if result.ok else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", choices=["intrinsic", "multi-camera", "hand-eye"])
    parser.add_argument("job")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--warm-up", type=int, default=None, help="views of the warm-up run (default: all)")
    parser.add_argument("--method", default="TSAI")
    args = parser.parse_args()
    job, images, arrays = bench_child.cached_job(args.job)
    report = {"module": os.path.realpath(v.__file__), "module_mtime": os.stat(v.__file__).st_mtime,
              "peak_rss_mib": {"loaded": bench_child.peak_rss_mib()}}
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        if args.path == "intrinsic":
            intrinsic(job, images, args.runs, args.warm_up, report)
        elif args.path == "multi-camera":
            multi_camera(job, images, args.runs, args.warm_up, report)
        else:
            robot_T_tcp = list(arrays["robot_T_tcp"][:job["count"]])
            hand_eye(job, images, robot_T_tcp, args.runs, args.warm_up, args.method, report)
    report["peak_rss_mib"].setdefault("end", bench_child.peak_rss_mib())
    print(json.dumps(report))


if __name__ == "__main__":
    main()
