"""Multi-camera calibration of real captures, against a plain cv2 script doing the same steps."""

import json
import re

import cv2
import numpy as np
import pytest

import _vantel
from measures import quietly

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 1e-6)


def read_folder(folder, pattern):
    return [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(folder.glob(pattern))]


def test_stereo_chessboard_pair_matches_a_cv2_script(shared_data):
    folder = shared_data / "opencv_stereo_chessboard_9x6"
    lists = [read_folder(folder / "left", "left*.jpg"), read_folder(folder / "right", "right*.jpg")]
    result = quietly(_vantel.MultiCameraCalibrator(_vantel.ChessboardTarget((9, 6), 0.025), 2).calibrate, lists)
    assert result.ok
    # The script: detect, calibrate each camera, keep the views under the per-view threshold (3 px), then a
    # stereo calibration with the intrinsics fixed.
    object_points = np.float32([[x, y, 0] for y in range(6) for x in range(9)]) * 0.025
    cameras = []
    for images in lists:
        found = {}
        for index, image in enumerate(images):
            grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
            ok, corners = cv2.findChessboardCorners(grey, (9, 6), flags=0)
            if ok:
                found[index] = cv2.cornerSubPix(grey, corners, (11, 11), (-1, -1), CRITERIA)
        _, K, dist, _, _, _, _, per_view = cv2.calibrateCameraExtended(
            [object_points] * len(found), list(found.values()), grey.shape[::-1], None, None, criteria=CRITERIA)
        cameras.append((found, {index for index, error in zip(found, per_view.ravel()) if error <= 3.0}, K, dist))
    (left, left_kept, K1, D1), (right, right_kept, K2, D2) = cameras
    frames = sorted(left_kept & right_kept)
    rms, *_, T, _, _ = cv2.stereoCalibrate(
        [object_points] * len(frames), [left[f] for f in frames], [right[f] for f in frames], K1, D1, K2, D2,
        lists[0][0].shape[1::-1], flags=cv2.CALIB_FIX_INTRINSIC, criteria=CRITERIA)
    ours = np.linalg.norm(result.reference_T_camera_list[1][:3, 3])
    assert ours == pytest.approx(np.linalg.norm(T), rel=0.01) and ours == pytest.approx(0.0836, rel=0.01)
    assert result.pair_reprojection_errors[1] == pytest.approx(rms, rel=0.05)


def test_a_board_with_twelve_corners_cannot_place_any_camera(shared_data, tmp_path, capfd):
    """Pairs need 15 shared ChArUco corners per frame; this 4x5 board has 12."""
    folder = shared_data / "caliscope_charuco_4cam"
    lists = [read_folder(folder / f"cam_0{c}", "image_*.jpg") for c in range(4)]
    calibrator = _vantel.MultiCameraCalibrator(_vantel.CharucoTarget(4, 5, 0.054, 0.0405, 3), 4)
    result = calibrator.calibrate(lists, output_path=tmp_path)
    lines = capfd.readouterr().err.splitlines()
    assert not result.ok and calibrator.last_triangulation() is None
    for k in (1, 2, 3):
        dropped = [line for line in lines if re.fullmatch(
            rf"\[vantel\]\[WARNING\] \[MultiCameraCalibrator\] Frame \d+: only (\d+) corners shared between ref "
            rf"\(cam 0\) and cam {k}; dropping from pair\.", line)]
        error = ("[vantel][ERROR] [MultiCameraCalibrator] No usable frames after per-corner intersection between "
                 f"reference camera 0 and camera {k}; skipping pair.")
        assert len(dropped) == 16 and lines.index(error) == lines.index(dropped[-1]) + 1
    saved = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert saved["reference_T_camera_list"][1:] == [None] * 3 and saved["pair_reprojection_errors"] == [None] * 4
    assert all(len(row) == 3 for K in saved["intrinsic_matrices"] for row in K)
