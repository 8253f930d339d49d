"""Rendered scenes of a known camera, calibrators and the solver check shared by the intrinsic tests."""

import functools

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import calibrate_camera, opencv_version
from vantel_tools.rendering import Camera, defaults, intrinsic_views

CAMERA = Camera(K=np.array([[1100.0, 0.0, 652.5], [0.0, 1096.0, 471.0], [0.0, 0.0, 1.0]]),
                dist=np.array([-0.18, 0.06, 0.0006, -0.0004, -0.01]), size=(1280, 960))
TARGETS = {"chessboard": (defaults.CHESSBOARD, v.ChessboardTarget((9, 6), 0.03)),
           "charuco": (defaults.RIG_CHARUCO, v.CharucoTarget(9, 7, 0.03, 0.022, 0)),
           "aruco": (defaults.GRID, v.ArucoTarget((5, 4), 0.04, 0.01, 0))}


@functools.cache
def scene(name):
    """20 rendered views of the named board with about 0.2 px of corner noise, made once per session."""
    # Two samples per pixel and axis keep rendering quick.
    return intrinsic_views(TARGETS[name][0], CAMERA, n_views=20, seed=3, position_noise_px=0.2, intensity_noise=2.0,
                           blur_sigma=0.6, supersample=2)


def images(name):
    return [view.image for view in scene(name)]


def blank():
    return np.full((CAMERA.size[1], CAMERA.size[0], 3), 128, np.uint8)


def calibrator(target, **options):
    """An IntrinsicCalibrator of a target (or of a rendered board's name) with the given options."""
    values = v.IntrinsicOptions()
    for field, value in options.items():
        setattr(values, field, value)
    return v.IntrinsicCalibrator(TARGETS[target][1] if isinstance(target, str) else target, values)


# OpenCV's own solve run to its minimum: the reference for the calibrator's solver.
TO_THE_MINIMUM = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 300, 1e-15)


def assert_same_calibration(result, reference, rtol=1e-6, distortion_atol=1e-6):
    _, matrix, distortion, per_view = reference[:4]
    np.testing.assert_allclose(result.intrinsic_matrix, matrix, rtol=rtol)
    # Coefficients beyond 1 (k3 of -12 on narrow views) are determined only to relative digits.
    np.testing.assert_allclose(result.distortion_coefficients, distortion, rtol=0,
                               atol=distortion_atol * max(1.0, np.abs(distortion).max()))
    np.testing.assert_allclose(result.per_view_errors, per_view.ravel(), rtol=rtol)


def check_agreement(calibration, result, size, flags=0):
    """The calibrator's solve ends where OpenCV's ends when run to its minimum, deviations included."""
    assert result.ok
    objects, points = calibration.detections().object_points, calibration.detections().image_points
    reference = calibrate_camera(objects, points, size, flags | cv2.CALIB_USE_LU, criteria=TO_THE_MINIMUM)
    assert_same_calibration(result, reference)
    # OpenCV before 4.10 took the noise from the point count, not the coordinate count (about sqrt(2) more).
    count, free = sum(len(p) for p in points), 9 + 6 * len(objects)
    overstated = np.sqrt((2 * count - free) / (count - free)) if opencv_version() < (4, 10) else 1.0
    np.testing.assert_allclose(result.std_deviations_intrinsics * overstated, reference[4], rtol=1e-3, atol=1e-12)
    np.testing.assert_allclose(result.std_deviations_extrinsics * overstated, reference[5], rtol=1e-3, atol=1e-12)
