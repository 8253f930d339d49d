"""The calibrations run OpenCV's LU solver unless the caller picks one: it solves the same
normal equations as the default SVD, with the same result, many times faster on many views."""

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import calibrate_camera, stereo_calibrate
from intrinsic_support import CAMERA, DISTORTION_RTOL, TARGETS, assert_same_calibration, calibrator, images
from measures import quietly

# The choice on default options is checked with the rendered (test_intrinsic.py) and real calibrations.
CHOSEN = [cv2.CALIB_USE_QR | cv2.CALIB_FIX_K3, cv2.CALIB_USE_LU | cv2.CALIB_FIX_K3]


@pytest.mark.parametrize("flags, fixed_point", [(0, 8)] + [(flags, fixed) for flags in CHOSEN for fixed in (-1, 8)])
def test_lu_unless_the_caller_chose_a_solver(flags, fixed_point):
    calibration = calibrator("chessboard", calibrate_camera_flags=flags, index_of_fixed_3d_point=max(fixed_point, 0),
                             calibrate_camera_method="Default" if fixed_point < 0 else "Release Object")
    result = calibration.calibrate(images("chessboard"))
    objects, points = calibration.detections().object_points, calibration.detections().image_points
    ran = flags if flags & (cv2.CALIB_USE_QR | cv2.CALIB_USE_LU) else flags | cv2.CALIB_USE_LU
    assert_same_calibration(result, calibrate_camera(objects, points, CAMERA.size, ran, fixed_point), 0, 0)
    if not flags:
        default = calibrate_camera(objects, points, CAMERA.size, 0, fixed_point)
        assert_same_calibration(result, default, 1e-6, DISTORTION_RTOL)
        np.testing.assert_allclose(result.intrinsic_matrix, CAMERA.K, rtol=0.01)


RIG_TARGET = TARGETS["charuco"][1]  # the board of the conftest's charuco_rig


def pair_inputs(image_lists, camera):
    """Every frame both cameras detected, on the corner ids both saw (15 or more), as the rig pairs them."""
    seen = []
    for images_of_camera in (image_lists[0], image_lists[camera]):
        found = v.IntrinsicCalibrator(RIG_TARGET).find_corners(images_of_camera)
        seen.append({frame: {i: (o, p) for i, o, p in zip(ids.ravel(), objects, points.reshape(-1, 2))}
                     for frame, ids, objects, points in zip(found.successful_indices, found.point_ids,
                                                            found.object_points, found.image_points)})
    objects, points_r, points_k = [], [], []
    for frame in sorted(set(seen[0]) & set(seen[1])):
        shared = sorted(set(seen[0][frame]) & set(seen[1][frame]))
        if len(shared) >= 15:
            objects.append(np.float32([seen[0][frame][i][0] for i in shared]))
            points_r.append(np.float32([seen[0][frame][i][1] for i in shared]).reshape(-1, 1, 2))
            points_k.append(np.float32([seen[1][frame][i][1] for i in shared]).reshape(-1, 1, 2))
    return objects, points_r, points_k


# With USE_INTRINSIC_GUESS later pairs start from the reference intrinsics the first pair refined: first pair only.
@pytest.mark.parametrize("flags, cameras", [(v.CALIB_FIX_INTRINSIC, [1, 2, 3]),
                                            (v.CALIB_USE_INTRINSIC_GUESS, [1])])
def test_stereo_pairs_use_lu_with_the_default_solvers_result(charuco_rig, flags, cameras):
    matrices = [camera.K for camera in charuco_rig.cameras]
    distortions = [camera.dist.reshape(1, -1) for camera in charuco_rig.cameras]
    image_lists = charuco_rig.image_lists()
    result = quietly(v.MultiCameraCalibrator(RIG_TARGET, 4, stereo_calibrate_flags=flags).calibrate,
                     image_lists, matrices, distortions)
    size = image_lists[0][0].shape[1::-1]
    for camera in cameras:
        inputs = pair_inputs(image_lists, camera)
        arguments = (*inputs, matrices[0], distortions[0], matrices[camera], distortions[camera], size)
        lu = stereo_calibrate(*arguments, flags | cv2.CALIB_USE_LU)
        default = stereo_calibrate(*arguments, flags)
        camera_T_reference = np.vstack([np.hstack([lu[5], lu[6].reshape(3, 1)]), [0, 0, 0, 1]])
        assert result.pair_reprojection_errors[camera] == lu[0]
        np.testing.assert_array_equal(result.intrinsic_matrices[camera], lu[3])
        np.testing.assert_array_equal(result.distortion_coefficients[camera], lu[4])
        np.testing.assert_allclose(result.reference_T_camera_list[camera], np.linalg.inv(camera_T_reference),
                                   rtol=0, atol=1e-14)
        assert lu[0] == pytest.approx(default[0], rel=1e-6)
        for ours, theirs in zip(lu[1:], default[1:]):
            np.testing.assert_allclose(ours, theirs, rtol=1e-6, atol=1e-9)
