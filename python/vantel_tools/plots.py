"""PNG plots of calibration results (matplotlib, no display needed)."""

from __future__ import annotations

import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def _save(figure, path: pathlib.Path) -> pathlib.Path:
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def per_view_errors(path, names, errors, threshold):
    """Bars of each calibrated view's RMS error with the per-view threshold; views above it are rejected."""
    errors = np.asarray(errors, dtype=float)
    rejected = errors > threshold
    figure, axes = plt.subplots(figsize=(max(6.0, 0.35 * len(errors) + 2), 4))
    axes.bar(range(len(errors)), errors, color=np.where(rejected, "tab:red", "tab:blue"))
    axes.axhline(threshold, color="black", linestyle="--", label=f"per-view threshold {threshold:g} px")
    axes.set_xticks(range(len(errors)), names, rotation=90, fontsize=7)
    axes.set_xlabel("view")
    axes.set_ylabel("reprojection error RMS (px)")
    axes.set_title(f"Per-view reprojection error ({int(rejected.sum())} of {len(errors)} rejected, in red)")
    axes.set_ylim(0, 1.3 * max(threshold, errors.max(initial=0.0)))  # room for the legend above the bars
    axes.legend(loc="upper right")
    return _save(figure, path)


def corner_coverage(path, image_points, image_size):
    """Every detected corner of the kept views over the image frame: empty regions lack distortion data."""
    width, height = image_size
    figure, axes = plt.subplots(figsize=(7, 7 * height / width + 0.6))
    for points in image_points:
        xy = np.asarray(points, dtype=float).reshape(-1, 2)
        axes.scatter(xy[:, 0], xy[:, 1], s=3)
    axes.set_xlim(0, width)
    axes.set_ylim(height, 0)
    axes.set_aspect("equal")
    axes.set_xlabel("x (px)")
    axes.set_ylabel("y (px)")
    axes.set_title(f"Corner coverage: {sum(len(np.asarray(p).reshape(-1, 2)) for p in image_points)} corners, "
                   f"{len(image_points)} views")
    return _save(figure, path)


def target_consistency(path, stats):
    """Per frame, how far the solved chain puts the fixed target from its mean pose."""
    frames = np.arange(len(stats.translation_deviations_m))
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(7, 5), sharex=True)
    top.bar(frames, 1000 * np.asarray(stats.translation_deviations_m), color="tab:blue")
    top.set_ylabel("translation (mm)")
    top.set_title("Target consistency per frame (deviation from the mean target pose)")
    bottom.bar(frames, stats.rotation_deviations_deg, color="tab:orange")
    bottom.set_ylabel("rotation (deg)")
    bottom.set_xlabel("frame used in the solve")
    return _save(figure, path)


def rotation_variety(path, camera_T_target_list):
    """Rotation vectors of consecutive-frame motions: axes should spread in all three directions."""
    motions = []
    for before, after in zip(camera_T_target_list, camera_T_target_list[1:]):
        relative = np.linalg.inv(before) @ after
        angle = np.arccos(np.clip((np.trace(relative[:3, :3]) - 1) / 2, -1, 1))
        axis = np.array([relative[2, 1] - relative[1, 2], relative[0, 2] - relative[2, 0],
                         relative[1, 0] - relative[0, 1]])
        norm = np.linalg.norm(axis)
        motions.append(np.degrees(angle) * axis / norm if norm > 1e-12 else np.zeros(3))
    motions = np.array(motions).reshape(-1, 3)
    figure, axes = plt.subplots(1, 3, figsize=(10, 3.6))
    for plot, (i, j) in zip(axes, [(0, 1), (0, 2), (1, 2)]):
        plot.scatter(motions[:, i], motions[:, j], s=12)
        plot.axhline(0, color="grey", linewidth=0.5)
        plot.axvline(0, color="grey", linewidth=0.5)
        plot.set_xlabel(f"r{'xyz'[i]} (deg)")
        plot.set_ylabel(f"r{'xyz'[j]} (deg)")
        plot.set_aspect("equal", adjustable="datalim")
    figure.suptitle("Rotation variety: inter-frame rotation vectors of the camera poses")
    return _save(figure, path)


def rig_layout(path, reference_T_camera_list, points_3d=None, before=None):
    """Camera positions and viewing directions from above (x-z) and from the side (z-y), with the
    triangulated corners, in the reference camera's frame; `before` (the start of a joint
    refinement) is drawn hollow beside it."""
    figure, axes = plt.subplots(1, 2, figsize=(11, 5))
    placed = [(k, np.asarray(T)) for k, T in enumerate(reference_T_camera_list) if np.asarray(T).size == 16]
    spread = max([np.linalg.norm(T[:3, 3]) for _, T in placed] + [0.1])
    started = [(k, np.asarray(T)) for k, T in enumerate(before or []) if np.asarray(T).size == 16]
    for plot, (i, j), title in zip(axes, [(0, 2), (2, 1)], ["from above", "from the side"]):
        for k, T in started:
            centre, direction = T[:3, 3], T[:3, 2] * 0.3 * spread
            plot.plot(centre[i], centre[j], "o", markerfacecolor="none", color=f"C{k}",
                      label="before refinement" if k == started[-1][0] else None)
            plot.annotate("", xy=(centre[i] + direction[i], centre[j] + direction[j]), xytext=(centre[i], centre[j]),
                          arrowprops={"arrowstyle": "->", "color": f"C{k}", "linestyle": "dashed", "alpha": 0.5})
        for k, T in placed:
            centre, direction = T[:3, 3], T[:3, 2] * 0.3 * spread
            plot.plot(centre[i], centre[j], "o", color=f"C{k}")
            plot.annotate("", xy=(centre[i] + direction[i], centre[j] + direction[j]), xytext=(centre[i], centre[j]),
                          arrowprops={"arrowstyle": "->", "color": f"C{k}"})
            plot.annotate(f"cam_{k}", (centre[i], centre[j]), textcoords="offset points", xytext=(4, 4))
        if points_3d is not None and np.asarray(points_3d).size:
            points = np.asarray(points_3d).reshape(-1, 3)
            plot.scatter(points[:, i], points[:, j], s=4, color="black", label="triangulated corners")
        if started or (points_3d is not None and np.asarray(points_3d).size):
            plot.legend(loc="best", fontsize=8)
        plot.set_xlabel(f"{'xyz'[i]} (m)")
        plot.set_ylabel(f"{'xyz'[j]} (m)")
        if j == 1:
            plot.invert_yaxis()  # camera y points down
        plot.set_aspect("equal", adjustable="datalim")
        plot.set_title(f"Rig {title} (reference camera frame)")
    return _save(figure, path)
