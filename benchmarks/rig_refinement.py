"""Accuracy and time of the rig's joint refinement on rendered four-camera rigs.

For each frame count and seed of rendered rigs: the worst of cameras 1-3 against the truth
(degrees, millimetres) for the pairwise result, the joint refinement (calibrate(refine=True)) and
the refinement with the true intrinsics supplied. Then the time of the refinement alone (the
development build's refine_rig hook: every camera chained from the reference, intrinsics free) on
the exact corners of posed, unrendered rigs with the same noise, and its growth exponent.

Usage: .venv/bin/python benchmarks/rig_refinement.py [--frames 18,60,120] [--seeds 1,2,3] [--noise 0.2]
                                                     [--timing-frames 30,120,240]
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


def refinement_seconds(frames, noise, runs=3):
    """Median seconds of the refinement on the visible corners of a posed rig, with Gaussian noise."""
    from _vantel_testhooks import refine_rig

    rig = rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA, n_frames=frames,
                    seed=1, render=False)
    rng = np.random.default_rng(0)
    views = [[(k, view) for k, view in enumerate(camera_views) if view.inside.sum() >= 4] for camera_views in rig.views]
    arguments = ([[k for k, _ in camera] for camera in views],
                 [[np.float32(defaults.RIG_CHARUCO.object_points[view.inside]) for _, view in camera]
                  for camera in views],
                 [[np.float32(view.image_points[view.inside] + rng.normal(0, noise, (view.inside.sum(), 2)))
                   for _, view in camera] for camera in views],
                 [camera.K for camera in rig.cameras], [camera.dist.reshape(1, -1) for camera in rig.cameras],
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
    parser.add_argument("--timing-frames", default="30,120,240")
    args = parser.parse_args()
    frame_counts = [int(n) for n in args.frames.split(",")]
    seeds = [int(s) for s in args.seeds.split(",")]
    print(f"four-camera rigs (defaults.RIG_*), {args.noise} px, seeds {seeds}; worst of cameras 1-3, mean over seeds; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores\n")
    print("| frames | pairwise | joint refinement | refinement, true intrinsics |")
    print("|---|---|---|---|")
    for frames in frame_counts:
        rows = {"pairwise": [], "joint": [], "true": []}
        for seed in seeds:
            rig = rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS, defaults.RIG_REFERENCE_T_CAMERA,
                            n_frames=frames, seed=seed, position_noise_px=args.noise, supersample=2)
            lists = rig.image_lists()
            truth = ([c.K for c in rig.cameras], [c.dist.reshape(1, -1) for c in rig.cameras])
            rows["pairwise"].append(worst(calibrated(lists, False).reference_T_camera_list))
            rows["joint"].append(worst(calibrated(lists, True).reference_T_camera_list))
            rows["true"].append(worst(calibrated(lists, True, truth).reference_T_camera_list))
        cells = [f"{np.mean([r[0] for r in rows[k]]):.3f}° / {np.mean([r[1] for r in rows[k]]):.2f} mm"
                 for k in ("pairwise", "joint", "true")]
        print(f"| {frames} | {' | '.join(cells)} |", flush=True)

    timing_frames = [int(n) for n in args.timing_frames.split(",")]
    times = [refinement_seconds(frames, args.noise) for frames in timing_frames]
    print("\n| frames | refinement s (4 cameras, intrinsics free, median of 3) |\n|---|---|")
    for frames, seconds in zip(timing_frames, times):
        print(f"| {frames} | {seconds:.3f} |")
    if len(timing_frames) > 1:
        slope = np.polyfit(np.log(timing_frames), np.log(times), 1)[0]
        print(f"\ngrowth exponent of the refinement time over {timing_frames} frames: {slope:.2f}")


if __name__ == "__main__":
    main()
