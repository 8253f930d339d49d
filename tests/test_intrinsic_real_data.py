"""Real photographs: the module against the same computation done directly with pip's cv2."""

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import opencv_version
from cv2_reference import (CRITERIA, calibrate, charuco_corner_bias, charuco_views, chessboard_views, cv2_version,
                           grid_views)
from intrinsic_support import TO_THE_MINIMUM, calibrator, check_agreement

# Four views: 30 iterations stop short of convergence, where OpenCV versions differ by several percent.
CONVERGED = (v.TERM_CRITERIA_COUNT + v.TERM_CRITERIA_EPS, 100, 1e-6)
# images, every n-th, target, cv2's views, published RMS and (fx, fy, cx, cy)[, criteria, points per view]
SETS = {
    "stereo_left_9x6": ("opencv_stereo_chessboard_9x6/left/left*.jpg", 1, v.ChessboardTarget((9, 6), 0.025),
                        lambda i: chessboard_views(i, (9, 6), 0.025), 0.4087, [536.07, 536.02, 342.37, 235.54],
                        None, [54] * 13),
    "robot_24x17": ("rwhe_kuka2_eye_in_hand/image_*.png", 2, v.ChessboardTarget((24, 17), 0.015),
                    lambda i: chessboard_views(i, (24, 17), 0.015), 0.142, [1056.42, 1056.56, 958.78, 586.74]),
    # The marker detection of 4.9+ also finds the two edge corners of the third view that 4.6 misses.
    "charuco_tutorial": ("opencv_charuco_5x7_tutorial/images/img_*.jpg", 1,
                         v.CharucoTarget(5, 7, 0.04, 0.02, "DICT_6X6_250"),
                         lambda i: charuco_views(i, (5, 7), 0.04, 0.02, 10), 0.1823,
                         [452.511, 456.767, 317.703, 277.752], CONVERGED,
                         [24, 24, 24 if opencv_version() >= (4, 9) else 22, 24]),
    "charuco_wide": ("caliscope_charuco_4x5_intrinsic_cam0/images/frame_*.jpg", 1,
                     v.CharucoTarget(4, 5, 0.054, 0.0405, 3), lambda i: charuco_views(i, (4, 5), 0.054, 0.0405, 3),
                     0.268, [876.70, 882.35, 623.99, 373.30]),
    "aruco_grid": ("aruco_gridboard_4x5_abakisita/images/*.jpg", 1,
                   v.ArucoTarget((4, 5), 0.0375, 0.0057, "DICT_6X6_1000"),
                   lambda i: grid_views(i, (4, 5), 0.0375, 0.0057, 11), 0.568, [809.74, 809.97, 318.58, 242.17]),
}
# Module corners minus cv2's (99th percentile, maximum; px). ChArUco corners up to one shift per view: minus
# pip's version's bias. Marker corners are unrefined contour points: a few move by a pixel between versions.
CORNER_TOLERANCE = {v.ChessboardTarget: (0.01, 0.01), v.CharucoTarget: (0.25, 0.6), v.ArucoTarget: (0.05, 1.01)}


@pytest.mark.parametrize("name", list(SETS))
def test_same_views_points_and_calibration_as_cv2_near_the_published_figures(name, shared_data):
    pattern, step, target, views_of, published_rms, published, criteria, points = (SETS[name] + (None, None))[:8]
    images = [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(shared_data.glob(pattern))[::step]]
    assert images, f"no images {pattern}"
    calibration = calibrator(target, criteria=v.TermCriteria(*(criteria or CRITERIA)))
    result = calibration.calibrate(images)
    views = list(views_of(images))
    assert result.successful_indices == [index for index, _, _ in views]
    assert points is None or [len(p) for p in result.image_points] == points
    detections = calibration.detections()
    charuco = isinstance(target, v.CharucoTarget)
    # The module's ChArUco corners are unbiased; pip's cv2 has its version's bias.
    expected_shift = -charuco_corner_bias(cv2_version()) if charuco else 0.0
    residuals = []
    for k, (_, object_points, image_points) in enumerate(views):
        theirs = {tuple(np.round(o, 6)): p for o, p in zip(object_points, np.reshape(image_points, (-1, 2)))}
        ours = zip(detections.object_points[k], detections.image_points[k].reshape(-1, 2))
        offsets = np.array([p - theirs[tuple(np.round(o, 6))] for o, p in ours if tuple(np.round(o, 6)) in theirs])
        # Newer versions find a few more markers on hard views.
        assert len(offsets) >= 0.9 * len(detections.object_points[k])
        shift = np.median(offsets, axis=0) if charuco else np.zeros(2)
        assert np.all(np.abs(shift - expected_shift) < 0.1)
        residuals.append(np.abs(offsets - shift).ravel())
    percentile_99, largest = CORNER_TOLERANCE[type(target)]
    residuals = np.concatenate(residuals)
    assert np.percentile(residuals, 99) <= percentile_99 and residuals.max() <= largest
    # The module's solve ends at the minimum whatever the criteria: so does cv2's with tight ones.
    rms, matrix = calibrate(zip(detections.successful_indices, detections.object_points, detections.image_points),
                            images[0].shape[1::-1], TO_THE_MINIMUM)
    counts = np.array([len(p) for p in result.image_points])
    overall_rms = float(np.sqrt(np.sum(np.square(result.per_view_errors) * counts) / counts.sum()))
    assert overall_rms == pytest.approx(rms, rel=1e-6) and overall_rms == pytest.approx(published_rms, rel=0.1)
    np.testing.assert_allclose(result.intrinsic_matrix, matrix, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(result.intrinsic_matrix[[0, 1, 0, 1], [0, 1, 2, 2]], published,
                               atol=0.02 * published[0])
    # With the default options (30 iterations, eps 0.001) the calibrator still ends at the minimum.
    default = calibrator(target)
    check_agreement(default, default.calibrate(images), images[0].shape[1::-1])


# Every camera of the real sets: the calibrator's solve ends at OpenCV's minimum, deviations included. The
# rig's cameras see 12 corners in a narrow range of poses: their solve needs up to 60 iterations, not 30.
CAMERAS = [("opencv_stereo_chessboard_9x6/left/left*.jpg", v.ChessboardTarget((9, 6), 0.025), None),
           ("opencv_stereo_chessboard_9x6/right/right*.jpg", v.ChessboardTarget((9, 6), 0.025), None)] + [
    (f"caliscope_charuco_4cam/cam_0{c}/image_*.jpg", v.CharucoTarget(4, 5, 0.054, 0.0405, 3), CONVERGED)
    for c in range(4)]


@pytest.mark.parametrize("pattern, target, criteria", CAMERAS, ids=[case[0].split("/")[-2] for case in CAMERAS])
def test_every_real_camera_ends_at_opencvs_minimum(shared_data, pattern, target, criteria):
    images = [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(shared_data.glob(pattern))]
    if not images:
        pytest.skip(f"no images {pattern}")
    calibration = calibrator(target, **({"criteria": v.TermCriteria(*criteria)} if criteria else {}))
    check_agreement(calibration, calibration.calibrate(images), images[0].shape[1::-1])
