"""Accuracy and time of the rig's joint refinement on rendered four-camera rigs.

For each frame count and seed: the worst of cameras 1-3 against the truth (degrees, millimetres)
for today's pairwise result, the joint refinement (calibrate(refine=True)) and the refinement
with the true intrinsics supplied; then the time of the refinement alone (the development build's
refine_rig hook on the detected corners, every camera chained from the reference) with its growth
exponent over the frame counts.

Usage: .venv/bin/python benchmarks/rig_refinement.py [--frames 18,60,120] [--seeds 1,2,3] [--noise 0.2]
"""

import argparse
import contextlib
import io
import math
import os
import statistics
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import _vantel as v  # noqa: E402
from vantel_tools.rendering import defaults, rig_scene  # noqa: E402

TARGET = v.CharucoTarget(9, 7, 0.03, 0.022, 0)


def worst(transforms):
    """Largest rotation (degrees) and translation (mm) error of cameras 1-3."""
    degrees, millimetres = 0.0, 0.0
    for c in (1, 2, 3):
        truth = defaults.RIG_REFERENCE_T_CAMERA[c]
        cosine = (np.trace(transforms[c][:3, :3].T @ truth[:3, :3]) - 1) / 2
        degrees = max(degrees, math.degrees(math.acos(min(1.0, max(-1.0, cosine)))))
        millimetres = max(millimetres, 1000 * np.linalg.norm(transforms[c][:3, 3] - truth[:3, 3]))
    return degrees, millimetres


def calibrated(lists, refine, intrinsics=([], [])):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return v.MultiCameraCalibrator(TARGET, 4).calibrate(lists, *intrinsics, refine=refine)


def refinement_seconds(lists, result, runs=3):
    from _vantel_testhooks import refine_rig

    found = [v.IntrinsicCalibrator(TARGET).find_corners(images) for images in lists]
    arguments = ([list(f.successful_indices) for f in found], [list(f.object_points) for f in found],
                 [list(f.image_points) for f in found], result.intrinsic_matrices, result.distortion_coefficients,
                 [np.eye(4)] + [np.empty((0, 0))] * 3, False)
    seconds = []
    with contextlib.redirect_stderr(io.StringIO()):
        for _ in range(runs):
            start = time.perf_counter()
            refine_rig(*arguments)
            seconds.append(time.perf_counter() - start)
    return statistics.median(seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", default="18,60,120")
    parser.add_argument("--seeds", default="1")
    parser.add_argument("--noise", type=float, default=0.2)
    args = parser.parse_args()
    frame_counts = [int(n) for n in args.frames.split(",")]
    seeds = [int(s) for s in args.seeds.split(",")]
    print(f"four-camera rigs (defaults.RIG_*), {args.noise} px, seeds {seeds}; worst of cameras 1-3, mean over seeds; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores\n")
    print("| frames | pairwise | joint refinement | refinement, true intrinsics | refinement s |")
    print("|---|---|---|---|---|")
    times = []
    for frames in frame_counts:
        rows = {"pairwise": [], "joint": [], "true": []}
        seconds = []
        for seed in seeds:
            rig = rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA,
                            n_frames=frames, seed=seed, position_noise_px=args.noise, supersample=2)
            lists = rig.image_lists()
            truth = ([c.K for c in rig.cameras], [c.dist.reshape(1, -1) for c in rig.cameras])
            rows["pairwise"].append(worst(calibrated(lists, False).reference_T_camera_list))
            joint = calibrated(lists, True)
            rows["joint"].append(worst(joint.reference_T_camera_list))
            rows["true"].append(worst(calibrated(lists, True, truth).reference_T_camera_list))
            seconds.append(refinement_seconds(lists, joint))
        cells = [f"{np.mean([r[0] for r in rows[k]]):.3f}° / {np.mean([r[1] for r in rows[k]]):.2f} mm"
                 for k in ("pairwise", "joint", "true")]
        times.append(statistics.median(seconds))
        print(f"| {frames} | {' | '.join(cells)} | {times[-1]:.3f} |", flush=True)
    if len(frame_counts) > 1:
        slope = np.polyfit(np.log(frame_counts), np.log(times), 1)[0]
        print(f"\ngrowth exponent of the refinement time over {frame_counts} frames: {slope:.2f}")


if __name__ == "__main__":
    main()
