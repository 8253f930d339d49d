"""The calibrations run OpenCV's LU solver unless the caller picks one: it solves the same
normal equations as the default SVD, with the same result, many times faster on many views."""

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import calibrate_camera, opencv_version, stereo_calibrate
from measures import quietly
from vantel_tools.rendering import intrinsic_views
from vantel_tools.rendering.defaults import CAMERA, CHARUCO, CHESSBOARD, GRID


def real_set(folder, pattern, target, step=1):
    def load(shared_data):
        paths = sorted((shared_data / folder).glob(pattern))[::step]
        assert paths, f"no images in {folder}"
        return target, [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in paths]
    return load


def rendered_set(board, target):
    images = []

    def load(_):
        if not images:
            images.extend(view.image for view in intrinsic_views(board, CAMERA, n_views=18, seed=1,
                                                                 position_noise_px=0.2))
        return target, images
    return load


REAL = {
    "stereo_left_9x6": real_set("opencv_stereo_chessboard_9x6/left", "left*.jpg", v.ChessboardTarget((9, 6), 0.025)),
    "robot_24x17": real_set("rwhe_kuka2_eye_in_hand", "image_*.png", v.ChessboardTarget((24, 17), 0.015), step=2),
    "charuco_tutorial": real_set("opencv_charuco_5x7_tutorial/images", "img_*.jpg",
                                 v.CharucoTarget(5, 7, 0.04, 0.02, "DICT_6X6_250")),
    "charuco_wide": real_set("caliscope_charuco_4x5_intrinsic_cam0/images", "frame_*.jpg",
                             v.CharucoTarget(4, 5, 0.054, 0.0405, 3)),
    "aruco_grid": real_set("aruco_gridboard_4x5_abakisita/images", "*.jpg",
                           v.ArucoTarget((4, 5), 0.0375, 0.0057, "DICT_6X6_1000")),
}
RENDERED = {
    "rendered_chessboard": rendered_set(CHESSBOARD, v.ChessboardTarget((9, 6), CHESSBOARD.square)),
    "rendered_charuco": rendered_set(CHARUCO, v.CharucoTarget(7, 5, 0.04, 0.03, 0)),
    "rendered_grid": rendered_set(GRID, v.ArucoTarget((5, 4), 0.04, 0.01, 0)),
}


def calibrated(target, images, **options):
    values = v.IntrinsicOptions()
    for field, value in options.items():
        setattr(values, field, value)
    calibrator = v.IntrinsicCalibrator(target, values)
    result = calibrator.calibrate(images)
    assert result.ok
    detections = calibrator.detections()
    return result, detections.object_points, detections.image_points, images[0].shape[1::-1]


def assert_same_calibration(result, reference, rtol, distortion_rtol=None):
    rms, matrix, distortion, per_view = reference[:4]
    np.testing.assert_allclose(result.intrinsic_matrix, matrix, rtol=rtol)
    tolerance = rtol if distortion_rtol is None else distortion_rtol
    # Relative to the largest coefficient: a coefficient near zero has no relative digits to match.
    np.testing.assert_allclose(result.distortion_coefficients, distortion, rtol=tolerance,
                               atol=tolerance * np.abs(distortion).max())
    np.testing.assert_allclose(result.per_view_errors, per_view.ravel(), rtol=rtol)


# The default solver's SVD drops the weakest directions of the normal equations, LU and QR
# do not: on the real ChArUco sets (4 and 20 views, k3 barely determined) the distortion
# differs by up to 6e-6 relative on OpenCV 4.6 and, on 4.10, by 8e-7 on a k2 of -0.014 (6e-5 of
# it, 2.4e-6 of the largest coefficient); K, per-view errors and RMS agree within 2e-7.
DISTORTION_RTOL = 1e-5


def check_lu_and_agreement(target, images):
    result, objects, points, size = calibrated(target, images)
    lu = calibrate_camera(objects, points, size, cv2.CALIB_USE_LU)
    default = calibrate_camera(objects, points, size, 0)
    # What the calibrator ran, bit for bit ...
    assert_same_calibration(result, lu, rtol=0)
    # ... with the deviations OpenCV derives from the inverse of the whole normal-equation matrix,
    # which the calibrator inverts through its blocks instead. OpenCV takes that matrix from its
    # last iteration, not at the solution, and inverts it by SVD: on the weakly determined ChArUco
    # sets the two differ by up to 1.1e-4 relative, elsewhere by 1e-6 ...
    # OpenCV before 4.10 estimated the noise from the point count instead of the coordinate count,
    # which overstates every deviation by about sqrt(2).
    count = sum(len(p) for p in points)
    free = 9 + 6 * len(objects)
    overstated = np.sqrt((2 * count - free) / (count - free)) if opencv_version() < (4, 10) else 1.0
    np.testing.assert_allclose(result.std_deviations_intrinsics * overstated, lu[4], rtol=1e-3, atol=1e-12)
    np.testing.assert_allclose(result.std_deviations_extrinsics * overstated, lu[5], rtol=1e-3, atol=1e-12)
    # ... gives what the default solver gives.
    assert_same_calibration(result, default, rtol=1e-6, distortion_rtol=DISTORTION_RTOL)
    assert lu[0] == pytest.approx(default[0], rel=1e-6)


@pytest.mark.parametrize("name", list(REAL))
def test_real_sets_use_lu_with_the_default_solvers_result(name, shared_data):
    check_lu_and_agreement(*REAL[name](shared_data))


@pytest.mark.parametrize("name", list(RENDERED))
def test_rendered_scenes_use_lu_with_the_default_solvers_result(name):
    check_lu_and_agreement(*RENDERED[name](None))


@pytest.mark.parametrize("solver", [cv2.CALIB_USE_QR, cv2.CALIB_USE_LU])
@pytest.mark.parametrize("method", ["Default", "Release Object"])
def test_a_solver_the_caller_chose_is_kept(solver, method):
    target, images = RENDERED["rendered_chessboard"](None)
    flags = solver | cv2.CALIB_FIX_K3
    fixed = 8 if method == "Release Object" else -1
    result, objects, points, size = calibrated(target, images[:10], calibrate_camera_flags=flags,
                                               calibrate_camera_method=method, index_of_fixed_3d_point=max(fixed, 0))
    assert_same_calibration(result, calibrate_camera(objects, points, size, flags, fixed), rtol=0)


def test_release_object_runs_lu_too():
    target, images = RENDERED["rendered_chessboard"](None)
    result, objects, points, size = calibrated(target, images[:10], calibrate_camera_method="Release Object",
                                               index_of_fixed_3d_point=8)
    assert_same_calibration(result, calibrate_camera(objects, points, size, cv2.CALIB_USE_LU, 8), rtol=0)
    assert_same_calibration(result, calibrate_camera(objects, points, size, 0, 8), rtol=1e-6,
                            distortion_rtol=DISTORTION_RTOL)


TARGET_9X7 = v.CharucoTarget(9, 7, 0.03, 0.022, 0)


def pair_inputs(image_lists, reference, camera):
    """Every frame both cameras detected, with the corner ids both saw, as the rig pairs them."""
    found = [v.IntrinsicCalibrator(TARGET_9X7).find_corners(images) for images in image_lists]
    views = []
    for detections in (found[reference], found[camera]):
        views.append({index: (ids.ravel(), objects, points.reshape(-1, 2)) for index, ids, objects, points in zip(
            detections.successful_indices, detections.point_ids, detections.object_points, detections.image_points)})
    objects, points_r, points_k = [], [], []
    for frame in sorted(set(views[0]) & set(views[1])):
        rows = [{i: k for k, i in enumerate(view[frame][0])} for view in views]
        shared = sorted(set(rows[0]) & set(rows[1]))
        if len(shared) < 15:
            continue
        objects.append(np.float32([views[0][frame][1][rows[0][i]] for i in shared]))
        points_r.append(np.float32([views[0][frame][2][rows[0][i]] for i in shared]).reshape(-1, 1, 2))
        points_k.append(np.float32([views[1][frame][2][rows[1][i]] for i in shared]).reshape(-1, 1, 2))
    return objects, points_r, points_k


# With USE_INTRINSIC_GUESS later pairs start from the reference intrinsics the first pair
# refined, so only the first pair is rebuilt here.
@pytest.mark.parametrize("flags, cameras", [(v.CALIB_FIX_INTRINSIC, [1, 2, 3]),
                                            (v.CALIB_USE_INTRINSIC_GUESS, [1])])
def test_stereo_pairs_use_lu_with_the_default_solvers_result(charuco_rig, flags, cameras):
    matrices = [camera.K for camera in charuco_rig.cameras]
    distortions = [camera.dist.reshape(1, -1) for camera in charuco_rig.cameras]
    image_lists = charuco_rig.image_lists()
    result = quietly(v.MultiCameraCalibrator(TARGET_9X7, 4, stereo_calibrate_flags=flags).calibrate,
                     image_lists, matrices, distortions)
    size = image_lists[0][0].shape[1::-1]
    for camera in cameras:
        inputs = pair_inputs(image_lists, 0, camera)
        arguments = (*inputs, matrices[0], distortions[0], matrices[camera], distortions[camera], size)
        lu = stereo_calibrate(*arguments, flags | cv2.CALIB_USE_LU)
        default = stereo_calibrate(*arguments, flags)
        camera_T_reference = np.eye(4)
        camera_T_reference[:3, :3], camera_T_reference[:3, 3] = lu[5], lu[6].ravel()
        assert result.pair_reprojection_errors[camera] == lu[0]
        np.testing.assert_array_equal(result.intrinsic_matrices[camera], lu[3])
        np.testing.assert_array_equal(result.distortion_coefficients[camera], lu[4])
        np.testing.assert_allclose(result.reference_T_camera_list[camera], np.linalg.inv(camera_T_reference),
                                   rtol=0, atol=1e-14)
        assert lu[0] == pytest.approx(default[0], rel=1e-6)
        for ours, theirs in zip(lu[1:], default[1:]):
            np.testing.assert_allclose(ours, theirs, rtol=1e-6, atol=1e-9)
