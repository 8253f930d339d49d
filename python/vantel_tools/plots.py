"""PNG plots of hand-eye and rig results (matplotlib, no display needed); intrinsic plots are in intrinsic_plots."""

from __future__ import annotations

import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def save_figure(figure, path: pathlib.Path) -> pathlib.Path:
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def target_consistency(path, stats, names, acceptable_mm, acceptable_deg):
    """Per image, how far the solved chain puts the fixed target from its mean pose, against what is acceptable."""
    translation = 1000 * np.asarray(stats.translation_deviations_m)
    rotation = np.asarray(stats.rotation_deviations_deg)
    frames = np.arange(len(translation))
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(max(7.0, 0.3 * len(frames) + 2), 6), sharex=True)
    top.bar(frames, translation, color=np.where(translation > acceptable_mm, "tab:red", "tab:blue"))
    top.axhline(acceptable_mm, color="black", linestyle="--", label=f"acceptable {acceptable_mm:g} mm")
    top.set_ylabel("translation (mm)")
    top.legend(loc="upper right", fontsize=8)
    top.set_title(f"Target consistency per image: deviation from the mean target pose "
                  f"(mean {1000 * stats.mean_translation_m:.2f} mm, {stats.mean_rotation_deg:.3f} deg)", fontsize=10)
    bottom.bar(frames, rotation, color=np.where(rotation > acceptable_deg, "tab:red", "tab:orange"))
    bottom.axhline(acceptable_deg, color="black", linestyle="--", label=f"acceptable {acceptable_deg:g} deg")
    bottom.set_ylabel("rotation (deg)")
    bottom.legend(loc="upper right", fontsize=8)
    bottom.set_xticks(frames, names, rotation=90, fontsize=7)
    bottom.set_xlabel("image used in the solve")
    return save_figure(figure, path)


def rotation_variety(path, camera_T_target_list, verdict):
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
    figure, axes = plt.subplots(1, 3, figsize=(11, 4.2))
    for plot, (i, j) in zip(axes, [(0, 1), (0, 2), (1, 2)]):
        plot.scatter(motions[:, i], motions[:, j], s=12)
        plot.axhline(0, color="grey", linewidth=0.5)
        plot.axvline(0, color="grey", linewidth=0.5)
        plot.set_xlabel(f"r{'xyz'[i]} (deg)")
        plot.set_ylabel(f"r{'xyz'[j]} (deg)")
        plot.set_aspect("equal", adjustable="datalim")
    figure.suptitle(f"Rotation variety of the camera poses between consecutive images\n{verdict}", fontsize=10)
    return save_figure(figure, path)


def method_comparison(path, rows, verdict, agreement_mm, agreement_deg):
    """Each hand-eye method's translation and rotation against the median of all methods, with the limits of
    agreement."""
    names = [row["method"] for row in rows if row["ok"]]
    translation = [row["translation_from_median_mm"] for row in rows if row["ok"]]
    rotation = [row["rotation_from_median_deg"] for row in rows if row["ok"]]
    figure, (left, right) = plt.subplots(1, 2, figsize=(10, 4.2))
    left.bar(names, translation, color="tab:blue")
    left.set_ylabel("translation from the median (mm)")
    right.bar(names, rotation, color="tab:orange")
    right.set_ylabel("rotation from the median (deg)")
    left.axhline(agreement_mm, color="black", linestyle="--", label=f"agreement {agreement_mm:g} mm")
    right.axhline(agreement_deg, color="black", linestyle="--", label=f"agreement {agreement_deg:g} deg")
    for plot in (left, right):
        plot.tick_params(axis="x", labelrotation=30)
        plot.legend(loc="upper right", fontsize=8)
    failed = [row["method"] for row in rows if not row["ok"]]
    figure.suptitle(verdict + (f"\nfailed: {', '.join(failed)}" if failed else ""), fontsize=10)
    return save_figure(figure, path)


def rig_layout(path, reference_T_camera_list, camera_names, points_3d=None, before=None):
    """Camera positions and viewing directions from above (x-z) and from the side (z-y), with the triangulated
    corners, in the reference camera's frame, with equal scales on both axes; `before` (the start of a joint
    refinement) is drawn hollow beside it; cameras that were not placed are named on the plot."""
    figure, axes = plt.subplots(1, 2, figsize=(12, 5.5))
    placed = [(k, np.asarray(T)) for k, T in enumerate(reference_T_camera_list) if np.asarray(T).size == 16]
    failed = [camera_names[k] for k, T in enumerate(reference_T_camera_list) if np.asarray(T).size != 16]
    spread = max([np.linalg.norm(T[:3, 3]) for _, T in placed] + [0.1])
    started = [(k, np.asarray(T)) for k, T in enumerate(before or []) if np.asarray(T).size == 16]
    points = None if points_3d is None or not np.asarray(points_3d).size else np.asarray(points_3d).reshape(-1, 3)
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
            plot.annotate(camera_names[k], (centre[i], centre[j]), textcoords="offset points", xytext=(4, 4))
        if points is not None:
            plot.scatter(points[:, i], points[:, j], s=4, color="black", label="triangulated corners")
        if started or points is not None:
            plot.legend(loc="best", fontsize=8)
        if failed:
            plot.text(0.02, 0.02, f"not placed: {', '.join(failed)}", transform=plot.transAxes, color="tab:red")
        plot.set_xlabel(f"{'xyz'[i]} (m)")
        plot.set_ylabel(f"{'xyz'[j]} (m)")
        if j == 1:
            plot.invert_yaxis()  # camera y points down
        plot.set_aspect("equal", adjustable="datalim")
        plot.set_title(f"Rig {title} (reference camera frame, equal scales)")
    return save_figure(figure, path)
