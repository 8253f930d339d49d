"""The figures that say how good an intrinsic calibration is: RMS over all corners, image coverage, uncertainty."""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

# The order of OpenCV's intrinsic standard deviations.
INTRINSIC_NAMES = ["fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6", "s1", "s2", "s3", "s4",
                   "tx", "ty"]
# A coverage map this many cells wide (rows follow the image's aspect); a cell the views leave empty is marked.
COVERAGE_COLUMNS = 8
LOW_COVERAGE_PERCENT = 50.0
# Focal length and principal point: a deviation above this share of the value makes the calibration doubtful.
LARGE_RELATIVE_DEVIATION = 0.01


def rms_over_corners(per_view_rms, corner_counts) -> float:
    """The RMS reprojection error over every corner of every view, from each view's RMS and corner count."""
    rms = np.asarray(per_view_rms, dtype=float)
    counts = np.asarray(corner_counts, dtype=float)
    if rms.shape != counts.shape or not counts.size or counts.sum() <= 0:
        raise ValueError(f"rms_over_corners: {rms.size} view errors for {counts.size} corner counts")
    return float(np.sqrt(np.sum(rms**2 * counts) / counts.sum()))


def corner_counts(image_points) -> list[int]:
    return [int(np.asarray(points).reshape(-1, 2).shape[0]) for points in image_points]


@dataclass
class Coverage:
    """The share of the image that some view's board covers, and the cells of a coarse grid no view reaches."""

    percent: float
    mask: np.ndarray  # uint8, 255 where a board was seen, at the image's size
    empty_cells: list[tuple[int, int, int, int]]  # x, y, width, height in pixels
    cells: int


def coverage(image_points, image_size) -> Coverage:
    """Each view's board is the convex hull of its detected corners; the union of them is the covered area."""
    width, height = image_size
    mask = np.zeros((height, width), np.uint8)
    for points in image_points:
        xy = np.asarray(points, dtype=np.float32).reshape(-1, 2)
        if len(xy) >= 3:
            cv2.fillConvexPoly(mask, np.round(cv2.convexHull(xy)).astype(np.int32), 255)
    columns = COVERAGE_COLUMNS
    rows = max(1, round(columns * height / width))
    empty = []
    for row in range(rows):
        for column in range(columns):
            x0, x1 = column * width // columns, (column + 1) * width // columns
            y0, y1 = row * height // rows, (row + 1) * height // rows
            if not mask[y0:y1, x0:x1].any():
                empty.append((x0, y0, x1 - x0, y1 - y0))
    return Coverage(100.0 * np.count_nonzero(mask) / mask.size, mask, empty, rows * columns)


def intrinsic_values(intrinsic_matrix, distortion_coefficients) -> list[float]:
    """The calibrated values in the order of OpenCV's standard deviations."""
    K = np.asarray(intrinsic_matrix, dtype=float)
    return [K[0, 0], K[1, 1], K[0, 2], K[1, 2], *np.asarray(distortion_coefficients, dtype=float).ravel()]


def uncertainty_warnings(values, deviations, coverage_percent: float) -> list[str]:
    """Warnings for a camera whose parameters the views pin down poorly."""
    warnings = []
    deviations = np.asarray(deviations, dtype=float).ravel()
    loose = [(name, value, deviation) for name, value, deviation in zip(INTRINSIC_NAMES[:4], values, deviations)
             if deviation > LARGE_RELATIVE_DEVIATION * abs(value)]
    if loose:
        described = ", ".join(f"{name} ± {deviation:.2f} px ({100 * deviation / abs(value):.1f} %)"
                              for name, value, deviation in loose)
        warnings.append(f"warning: large uncertainty: {described}; add views at other angles and distances")
    distortion = zip(INTRINSIC_NAMES[4:], values[4:], deviations[4:])
    undetermined = [name for name, value, deviation in distortion if deviation > abs(value) and deviation > 0.01]
    if undetermined:
        one = len(undetermined) == 1
        warnings.append(f"warning: {', '.join(undetermined)} {'is' if one else 'are'} smaller than "
                        f"{'its' if one else 'their'} deviation: the views do not determine {'it' if one else 'them'}; "
                        f"add views with the board near the image corners")
    if coverage_percent < LOW_COVERAGE_PERCENT:
        warnings.append(f"warning: the views cover {coverage_percent:.0f} % of the image; distortion is "
                        f"extrapolated in the rest: add views with the board near the edges and corners")
    return warnings


def pnp_residuals(object_points, image_points, intrinsic_matrix, distortion_coefficients):
    """Each corner and its residual (detected minus projected), with each view's pose found again for the given
    camera: the pose that minimises the view's error, as a calibration leaves it. Views PnP cannot place are left
    out."""
    K = np.asarray(intrinsic_matrix, dtype=np.float64)
    D = np.asarray(distortion_coefficients, dtype=np.float64).ravel()
    corners, residuals = [], []
    for objects, points in zip(object_points, image_points):
        objects = np.asarray(objects, dtype=np.float64).reshape(-1, 3)
        points = np.asarray(points, dtype=np.float64).reshape(-1, 2)
        if len(points) < 4:
            continue
        ok, rotation, translation = cv2.solvePnP(objects, points, K, D)
        if not ok:
            continue
        projected, _ = cv2.projectPoints(objects, rotation, translation, K, D)
        corners.append(points)
        residuals.append(points - projected.reshape(-1, 2))
    if not corners:
        return np.empty((0, 2)), np.empty((0, 2))
    return np.concatenate(corners), np.concatenate(residuals)
