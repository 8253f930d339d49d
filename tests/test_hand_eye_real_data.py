"""Eye-in-hand calibration of a real robot dataset, against the same computation done directly with cv2."""

import cv2
import numpy as np

import _vantel
from cv2_reference import CRITERIA, chessboard_views
from hand_eye_cases import METHODS
from measures import quietly, transform_error

BOARD = (24, 17)
SQUARE = 0.015


def test_full_pipeline_matches_cv2_and_the_methods_agree_except_andreff(robot_dataset):
    images, robot_T_tcp = robot_dataset
    calibrator = _vantel.EyeInHandCalibrator(_vantel.ChessboardTarget(BOARD, SQUARE))
    result = quietly(calibrator.calibrate, robot_T_tcp, images, "TSAI")
    # Plain cv2: detect, calibrate, keep views at or below 1 px, PnP per kept view, then the hand-eye solve.
    found = list(chessboard_views(images, BOARD, SQUARE))
    object_points = found[0][1]
    _, K, dist, _, _, _, _, per_view = cv2.calibrateCameraExtended(
        [object_points] * len(found), [c for _, _, c in found], images[0].shape[1::-1], None, None,
        criteria=CRITERIA)
    kept = [(index, corners) for (index, _, corners), error in zip(found, per_view.ravel()) if error <= 1.0]
    rvecs, tvecs = zip(*(cv2.solvePnP(object_points, corners, K, dist)[1:] for _, corners in kept))
    robots = [robot_T_tcp[index] for index, _ in kept]
    rotation, translation = cv2.calibrateHandEye([r[:3, :3] for r in robots], [r[:3, 3] for r in robots], rvecs,
                                                 tvecs, method=cv2.CALIB_HAND_EYE_TSAI)
    assert result.ok and len(robots) >= 20
    np.testing.assert_array_equal(result.valid_robot_T_tcp_list, robots)
    np.testing.assert_allclose(result.intrinsic_matrix, K, rtol=2e-3)
    reference = np.vstack([np.hstack([rotation, translation]), [0, 0, 0, 1]])
    translation_error, rotation_error = transform_error(result.tcp_T_camera, reference)
    assert translation_error < 5e-4 and rotation_error < 0.05
    # Measured once with plain cv2 on this data: the target stays put in the robot frame to about a millimetre.
    np.testing.assert_allclose(result.tcp_T_camera[:3, 3], [0.0145, -0.1080, -0.0819], atol=1e-3)
    assert result.consistency.max_translation_m < 2e-3 and result.consistency.max_rotation_deg < 0.3

    solved = {method: quietly(calibrator.calibrate, result.valid_robot_T_tcp_list, [], method,
                              result.camera_T_target_list, result.intrinsic_matrix,
                              result.distortion_coefficients).tcp_T_camera[:3, 3] for method in METHODS}
    for method in ("PARK", "HORAUD", "DANIILIDIS"):
        assert np.linalg.norm(solved[method] - solved["TSAI"]) < 1.5e-3
    # The linear method is known to land about 3 cm away on this data.
    assert np.linalg.norm(solved["ANDREFF"] - solved["TSAI"]) > 1e-2
