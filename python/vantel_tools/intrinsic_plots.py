"""PNG plots of one camera's calibration that answer "should I recapture?"."""

from __future__ import annotations

import cv2
import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402

from .plots import save_figure  # noqa: E402

# Beyond this many views the bars are sorted and unnamed; past BARS_AT_MOST a histogram replaces them.
NAMED_BARS_AT_MOST = 40
BARS_AT_MOST = 400


def per_view_errors(path, names, errors, threshold, rms):
    """Each view's RMS error against the RMS over all corners and the per-view threshold; views above it in red."""
    errors = np.asarray(errors, dtype=float)
    above = errors > threshold
    count = len(errors)
    label = f"{int(above.sum())} of {count} views above the {threshold:g} px threshold, in red"
    if count > BARS_AT_MOST:
        figure, axes = plt.subplots(figsize=(9, 4.5))
        bins = np.linspace(0, max(errors.max(initial=0.0), threshold) * 1.05, 50)
        axes.hist(errors[~above], bins=bins, color="tab:blue", label="at or below the threshold")
        axes.hist(errors[above], bins=bins, color="tab:red", label="above the threshold")
        axes.axvline(rms, color="tab:green", label=f"RMS over all corners {rms:.3f} px")
        axes.axvline(threshold, color="black", linestyle="--", label=f"per-view threshold {threshold:g} px")
        axes.set_xlabel("per-view RMS reprojection error (px)")
        axes.set_ylabel("views")
    else:
        order = np.argsort(errors)[::-1] if count > NAMED_BARS_AT_MOST else np.arange(count)
        figure, axes = plt.subplots(figsize=(min(14.0, max(6.0, 0.3 * count + 2)), 4.5))
        axes.bar(range(count), errors[order], color=np.where(above[order], "tab:red", "tab:blue"),
                 width=0.8 if count <= NAMED_BARS_AT_MOST else 1.0)
        axes.axhline(rms, color="tab:green", label=f"RMS over all corners {rms:.3f} px")
        axes.axhline(threshold, color="black", linestyle="--", label=f"per-view threshold {threshold:g} px")
        if count <= NAMED_BARS_AT_MOST:
            axes.set_xticks(range(count), names, rotation=90, fontsize=7)
            axes.set_xlabel("view")
        else:
            worst = [names[k] for k in order[:3]]
            axes.set_xlabel(f"{count} views, worst first ({', '.join(worst)}, ...)")
        axes.set_ylabel("per-view RMS reprojection error (px)")
        axes.set_ylim(0, 1.3 * max(threshold, errors.max(initial=0.0)))  # room for the legend above the bars
    axes.set_title(f"Per-view reprojection error ({label})", fontsize=10)
    axes.legend(loc="upper right", fontsize=8)
    return save_figure(figure, path)


def corner_coverage(path, image_points, flagged, image_size, coverage):
    """How many views' boards cover each part of the image, every corner, flagged views' corners as red crosses,
    and the grid cells no board reaches."""
    width, height = image_size
    seen = np.zeros((height, width), np.float32)
    for points in image_points:
        xy = np.asarray(points, dtype=np.float32).reshape(-1, 2)
        if len(xy) >= 3:
            hull = np.zeros((height, width), np.uint8)
            cv2.fillConvexPoly(hull, np.round(cv2.convexHull(xy)).astype(np.int32), 1)
            seen += hull
    figure, axes = plt.subplots(figsize=(8, 8 * height / width + 0.8))
    shown = axes.imshow(seen, cmap="viridis", extent=(-0.5, width - 0.5, height - 0.5, -0.5), vmin=0)
    figure.colorbar(shown, ax=axes, fraction=0.046, pad=0.04, label="views whose board covers the pixel")
    for points, is_flagged in zip(image_points, flagged):
        xy = np.asarray(points, dtype=float).reshape(-1, 2)
        if is_flagged:
            axes.scatter(xy[:, 0], xy[:, 1], s=14, marker="x", color="red", linewidths=0.8)
        else:
            axes.scatter(xy[:, 0], xy[:, 1], s=2, color="white")
    for k, (x, y, w, h) in enumerate(coverage.empty_cells):
        axes.add_patch(Rectangle((x, y), w, h, fill=False, hatch="//", edgecolor="orange", linewidth=1,
                                 label="no board seen" if k == 0 else None))
    if any(flagged):
        axes.scatter([], [], marker="x", color="red", label="corners of views above the threshold")
    if coverage.empty_cells or any(flagged):
        axes.legend(loc="upper right", fontsize=8, framealpha=0.8)
    axes.set_xlim(-0.5, width - 0.5)
    axes.set_ylim(height - 0.5, -0.5)
    axes.set_xlabel("x (px)")
    axes.set_ylabel("y (px)")
    corners = sum(len(np.asarray(p).reshape(-1, 2)) for p in image_points)
    axes.set_title(f"Coverage {coverage.percent:.0f} % of the image: {corners} corners in {len(image_points)} views; "
                   f"{len(coverage.empty_cells)} empty cells hatched", fontsize=10)
    return save_figure(figure, path)


def residuals(path, corners, residual_vectors, image_size, rms):
    """Residual vectors (detected minus projected corner) over the image, and their size as a heat map."""
    width, height = image_size
    corners = np.asarray(corners, dtype=float).reshape(-1, 2)
    vectors = np.asarray(residual_vectors, dtype=float).reshape(-1, 2)
    lengths = np.linalg.norm(vectors, axis=1)
    figure, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5 * height / width + 1.2))
    scale = 0.04 * width / max(float(np.percentile(lengths, 95)) if lengths.size else 1.0, 1e-9)
    left.quiver(corners[:, 0], corners[:, 1], vectors[:, 0] * scale, vectors[:, 1] * scale, lengths,
                angles="xy", scale_units="xy", scale=1, cmap="plasma", width=0.002)
    left.set_title(f"Residual vectors, drawn {scale:.0f}x longer", fontsize=10)
    columns, rows = 16, max(1, round(16 * height / width))
    total, _, _ = np.histogram2d(corners[:, 1], corners[:, 0], bins=(rows, columns),
                                 range=((0, height), (0, width)), weights=lengths**2)
    counts, _, _ = np.histogram2d(corners[:, 1], corners[:, 0], bins=(rows, columns), range=((0, height), (0, width)))
    with np.errstate(invalid="ignore", divide="ignore"):
        cell_rms = np.sqrt(total / counts)
    heat = right.imshow(cell_rms, extent=(0, width, height, 0), cmap="magma", interpolation="nearest")
    figure.colorbar(heat, ax=right, fraction=0.046, pad=0.04, label="RMS of the corners in the cell (px)")
    right.set_title(f"Residual heat map (RMS over all corners {rms:.3f} px; blank: no corner)", fontsize=10)
    for axes in (left, right):
        axes.set_xlim(0, width)
        axes.set_ylim(height, 0)
        axes.set_aspect("equal")
        axes.set_xlabel("x (px)")
        axes.set_ylabel("y (px)")
    return save_figure(figure, path)


def undistorted_view(path, image, name, intrinsic_matrix, distortion_coefficients):
    """One view as taken and undistorted with the calibration: straight edges should come out straight."""
    undistorted = cv2.undistort(image, np.asarray(intrinsic_matrix), np.asarray(distortion_coefficients))
    height, width = image.shape[:2]
    figure, axes = plt.subplots(1, 2, figsize=(12, 6 * height / width + 0.8))
    for plot, shown, title in zip(axes, (image, undistorted), (f"{name} as taken", f"{name} undistorted")):
        plot.imshow(cv2.cvtColor(shown, cv2.COLOR_BGR2RGB) if shown.ndim == 3 else shown, cmap="gray")
        plot.set_title(title, fontsize=10)
        plot.axis("off")
    return save_figure(figure, path)
