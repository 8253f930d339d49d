"""The eye-in-hand calibration written directly over cv2, timing its own work.

Does what EyeInHandCalibrator.calibrate does with a ChArUco board, no camera model and no poses
given: the intrinsic calibration of cv2_intrinsic.py, the views whose error is within 1 px (all
found views when none is), ChArUco re-detection and solvePnP (iterative) in each of those views,
then calibrateHandEye. Not timed here: the module's annotated copies, mean view error, target
consistency and report. Runs under any interpreter with cv2 and numpy.

Usage: python3 cv2_hand_eye.py JOB.json [--runs N] [--flags F] [--method NAME] [--warm-up N]
JOB.json is a cached job of bench_child.py whose views archive also holds "robot_T_tcp". Prints
one JSON object: wall and CPU seconds per run, the frames used and tcp_T_camera.
"""

import argparse
import json
import pathlib
import sys

import cv2
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_child  # noqa: E402
import cv2_intrinsic  # noqa: E402

PER_VIEW_THRESHOLD = 1.0
MIN_PAIRS = 4


def calibrate(images, robot_T_tcp, job, flags, method):
    """(frames used, tcp_T_camera), or (frames, None) when too few frames are left."""
    find = cv2_intrinsic.charuco_finder(job)
    indices, calibration = cv2_intrinsic.calibrate(images, job, flags=flags)
    if calibration is None:
        return [], None
    _, K, D = calibration[:3]
    kept = [k for k, error in zip(indices, calibration[7].ravel()) if error <= PER_VIEW_THRESHOLD] or indices
    if len(kept) < MIN_PAIRS:
        return kept, None
    frames, rotations, translations = [], [], []
    for k in kept:
        found = find(cv2.cvtColor(images[k], cv2.COLOR_BGR2GRAY))
        if found is None:
            continue
        solved, rvec, tvec = cv2.solvePnP(found[0], np.asarray(found[1], np.float32).reshape(-1, 1, 2), K, D,
                                          flags=cv2.SOLVEPNP_ITERATIVE)
        if solved:
            frames.append(k)
            rotations.append(cv2.Rodrigues(rvec)[0])
            translations.append(tvec)
    if len(frames) < MIN_PAIRS:
        return frames, None
    R, t = cv2.calibrateHandEye([robot_T_tcp[k][:3, :3] for k in frames], [robot_T_tcp[k][:3, 3] for k in frames],
                                rotations, translations, method=getattr(cv2, f"CALIB_HAND_EYE_{method}"))
    tcp_T_camera = np.eye(4)
    tcp_T_camera[:3, :3], tcp_T_camera[:3, 3] = R, t.ravel()
    return frames, tcp_T_camera


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("job")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--flags", type=int, default=cv2_intrinsic.CALIBRATE_FLAGS, help="calibrateCamera flags")
    parser.add_argument("--method", default="TSAI")
    parser.add_argument("--warm-up", type=int, default=None, help="frames of the warm-up run (default: all)")
    args = parser.parse_args()
    job, images, arrays = bench_child.cached_job(args.job)
    robot_T_tcp = arrays["robot_T_tcp"][:job["count"]]

    calibrate(images[:args.warm_up], robot_T_tcp, job, args.flags, args.method)  # warm-up
    seconds, cpu_seconds, (frames, tcp_T_camera) = bench_child.timed_runs(
        lambda: calibrate(images, robot_T_tcp, job, args.flags, args.method), args.runs)
    print(json.dumps({"cv2": cv2.__version__, "seconds": seconds, "cpu_seconds": cpu_seconds, "frames": frames,
                      "tcp_T_camera": None if tcp_T_camera is None else tcp_T_camera.tolist()}))


if __name__ == "__main__":
    main()
