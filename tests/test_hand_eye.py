"""Eye-in-hand calibration from given camera poses: the solve, its failures, consistency and the report."""

import json
import math

import cv2
import numpy as np
import pytest

import _vantel
from _vantel import diagnostics, tf
from hand_eye_cases import METHODS, NOT_PAIRED
from measures import quietly


def synthetic_poses(count, seed=0):
    """Robot and camera poses that satisfy robot_T_tcp @ tcp_T_camera @ camera_T_target == world_T_target."""
    rng = np.random.default_rng(seed)
    cameras = [tf.pose_to_transformation_matrix([*rng.uniform(-0.1, 0.1, 2), rng.uniform(0.4, 0.6),
                                                 *rng.uniform(-30, 30, 3)]) for _ in range(count)]
    return [WORLD_T_TARGET @ np.linalg.inv(c) @ np.linalg.inv(TCP_T_CAMERA) for c in cameras], cameras


TCP_T_CAMERA = tf.pose_to_transformation_matrix([0.03, -0.02, 0.1, 5, -3, 90])
WORLD_T_TARGET = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 30])
RULE = "=" * 60
CAMERA_MATRIX = np.array([[1000.0, 0, 640], [0, 1000.0, 480], [0, 0, 1]])
DISTORTION = np.array([[-0.2, 0.05, 0.001, -0.001, 0.0]])
BLANK = np.full((120, 160, 3), 200, np.uint8)
COLLECTED = "[vantel][INFO] Collected images {}\n[vantel][INFO] Collected poses {}\n"
NOT_A_ROTATION = "is not a rigid transform: its rotation block is not a rotation"
ROTATED = tf.pose_to_transformation_matrix([0.1, 0.2, 0.3, 30, 0, 0])
BAD_POSES = [
    (ROTATED + np.pad([[np.nan]], ((0, 3), (3, 0))), "holds a non-finite value"),
    (np.diag([1.0, 1.0, -1.0, 1.0]), NOT_A_ROTATION),  # a reflection
    (ROTATED + np.pad(np.full((3, 3), 2e-3), ((0, 1), (0, 1))), NOT_A_ROTATION),
    (np.vstack([ROTATED[:3], [0.5, 0, 0, 1]]), "is not a rigid transform: its last row is not 0 0 0 1"),
    (np.eye(3), "must be a 4x4 matrix, got 3x3x1"),
]
IDENTICAL = ("[vantel][WARNING] [EyeInHandCalibrator] All {0} poses have identical orientation! Hand-eye calibration "
             "requires varied rotations to solve uniquely.\n[vantel][ERROR] [EyeInHandCalibrator] Hand-eye solve "
             "rejected: the rotation between flange and camera cannot be observed without varied {0} orientations.\n")
NO_BOARD = "[vantel][WARNING] frame {}: ChArUco detection failed  -  skipping\n"
ROBOTS, CAMERAS = synthetic_poses(6)


@pytest.fixture
def calibrator():
    return _vantel.EyeInHandCalibrator(_vantel.CharucoTarget(7, 5, 0.04, 0.03))


@pytest.mark.parametrize("method, count", [("ANDREFF", 8), ("DANIILIDIS", 8), ("HORAUD", 8), ("PARK", 4), ("TSAI", 8)])
def test_exact_camera_poses_recover_the_transform(calibrator, method, count, tmp_path, monkeypatch):
    """Four pairs are enough; no camera model, no board centre; no output path, no file; results are copies."""
    assert _vantel.hand_eye_method_by_name_map()[method] == getattr(cv2, f"CALIB_HAND_EYE_{method}")
    monkeypatch.chdir(tmp_path)
    robots, cameras = synthetic_poses(count)
    result = quietly(calibrator.calibrate, robots, [], method, cameras)
    assert result.ok and result.has_consistency and list(tmp_path.iterdir()) == []
    np.testing.assert_allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)
    stats = result.consistency
    assert stats.max_translation_m < 1e-9 and stats.max_rotation_deg < 1e-5
    np.testing.assert_allclose(stats.distances_m, [np.linalg.norm(c[:3, 3]) for c in cameras])
    assert len(stats.board_us) == count and all(math.isnan(u) for u in stats.board_us + stats.board_vs)
    assert math.isnan(result.reprojection_error) and result.valid_image_list == []
    assert len(result.valid_robot_T_tcp_list) == len(result.camera_T_target_list) == count
    calibrator.last_result().tcp_T_camera[0, 0] = 99.0
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, result.tcp_T_camera)


def test_consistency_and_report_of_frames_that_stray(calibrator, capsys):
    """One frame strays far more than the rest, so means and maxima differ clearly."""
    assert calibrator.format_results() == f"\n{RULE}\nHAND-EYE RESULTS\n{RULE}\nCalibration failed.\n"
    robots, cameras = synthetic_poses(12, seed=7)
    rng = np.random.default_rng(7)
    noisy = [c @ tf.pose_to_transformation_matrix([*rng.normal(0, metres, 3), *rng.normal(0, degrees, 3)])
             for c, (metres, degrees) in zip(cameras, [(2e-4, 0.02)] * 11 + [(5e-3, 2.0)])]
    result = calibrator.calibrate(robots, [], "TSAI", noisy, CAMERA_MATRIX, DISTORTION)
    world_T_targets = [r @ result.tcp_T_camera @ c for r, c in zip(robots, noisy)]
    left, _, right = np.linalg.svd(sum(w[:3, :3] for w in world_T_targets))
    mean_rotation = left @ np.diag([1, 1, np.linalg.det(left @ right)]) @ right
    mean_translation = np.mean([w[:3, 3] for w in world_T_targets], axis=0)
    translations = np.array([np.linalg.norm(w[:3, 3] - mean_translation) for w in world_T_targets])
    rotations = np.degrees([np.arccos(np.clip((np.trace(w[:3, :3].T @ mean_rotation) - 1) / 2, -1, 1))
                            for w in world_T_targets])
    stats = result.consistency
    for expected, per_frame, mean, largest in [
            (rotations, stats.rotation_deviations_deg, stats.mean_rotation_deg, stats.max_rotation_deg),
            (translations, stats.translation_deviations_m, stats.mean_translation_m, stats.max_translation_m)]:
        assert expected.max() > 4 * expected.mean()
        np.testing.assert_allclose(per_frame, expected, rtol=1e-6)
        np.testing.assert_allclose([mean, largest], [expected.mean(), expected.max()], rtol=1e-6)
    centre = np.array([[3.5 * 0.04, 2.5 * 0.04, 0.0]])  # mean of the 6 x 4 inner corners of a 7 x 5 board
    centres = [cv2.projectPoints(centre, c[:3, :3], c[:3, 3], CAMERA_MATRIX, DISTORTION)[0].ravel() for c in noisy]
    np.testing.assert_allclose(np.transpose([stats.board_us, stats.board_vs]), centres, atol=1e-3)

    # Without a reprojection error the report never switches to fixed notation.
    def text(matrix):
        return "[" + ";\n ".join(", ".join("%.16g" % v for v in row) for row in np.atleast_2d(matrix)) + "]"
    frames = zip(stats.translation_deviations_m, stats.rotation_deviations_deg, stats.distances_m, stats.board_us,
                 stats.board_vs)
    pose = ", ".join("%g" % v for v in tf.transformation_matrix_to_pose(result.tcp_T_camera))
    report = (
        f"\n{RULE}\nHAND-EYE RESULTS\n{RULE}\n\nHand-Eye Transform (TCP -> Camera):\n{text(result.tcp_T_camera)}\n"
        f"\nPose [x, y, z, rx, ry, rz] (deg):\n  [{pose}]\n"
        f"\nIntrinsic Matrix:\n{text(CAMERA_MATRIX)}\n\nDistortion Coefficients:\n{text(DISTORTION)}\n"
        "\nReprojection Error: n/a\n\nTarget Consistency Residual:\n"
        f"  Translation - mean: {'%g' % (stats.mean_translation_m * 1000)} mm   "
        f"max: {'%g' % (stats.max_translation_m * 1000)} mm\n"
        f"  Rotation    - mean: {'%g' % stats.mean_rotation_deg} deg   max: {'%g' % stats.max_rotation_deg} deg\n"
        + "".join(f"  Frame {i}: trans={'%g' % (t * 1000)}mm rot={'%g' % r}deg dist={'%g' % (d * 1000)}mm "
                  f"center=({'%g' % u}, {'%g' % v})\n" for i, (t, r, d, u, v) in enumerate(frames))
        + "\n" + diagnostics.format_rotation_variety(diagnostics.analyze_rotation_variety(noisy, 0.5)))
    assert capsys.readouterr().out == report == calibrator.format_results()
    calibrator.print_results()
    assert capsys.readouterr().out == report


@pytest.mark.parametrize("robots, images, method, cameras, message", [
    *[(ROBOTS, 0, name, CAMERAS, f"Unknown hand-eye method '{name}'") for name in ["tsai", "Park", "NONE", ""]],
    (ROBOTS[:3], 5, "TSAI", [], "EyeInHandCalibrator: the full pipeline needs one robot pose per image. "
                                "Got 3 (robot) vs 5 (images)."),
    # Poses pair with images by position: a spare pose means some image lost its own.
    (ROBOTS, 5, "TSAI", [], "EyeInHandCalibrator: the full pipeline needs one robot pose per image. "
                            "Got 6 (robot) vs 5 (images)."),
    (ROBOTS[:5], 0, "TSAI", CAMERAS[:4], NOT_PAIRED),
    # Some solvers turned a NaN or a pose that is no rigid transform into a finite, meaningless answer.
    *[(ROBOTS[:4] + [pose] + ROBOTS[5:], 0, method, CAMERAS, f"EyeInHandCalibrator: robot_T_tcp_list[4] {problem}")
      for pose, problem in BAD_POSES for method in METHODS],
    *[(ROBOTS, 0, method, CAMERAS[:4] + [pose] + CAMERAS[5:], f"EyeInHandCalibrator: camera_T_target_list[4] {problem}")
      for pose, problem in BAD_POSES for method in METHODS],
])
def test_calls_that_are_refused(calibrator, capfd, robots, images, method, cameras, message):
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [BLANK] * images, method, cameras)
    assert str(caught.value) == message
    # Only the pairing is checked after the inputs are logged.
    assert capfd.readouterr() == ("", COLLECTED.format(0, 5) if message == NOT_PAIRED else "")


@pytest.mark.parametrize("robots, images, cameras, logged", [
    ([ROBOTS[0]] * 6, 0, CAMERAS, IDENTICAL.format("robot")),
    (ROBOTS, 0, [CAMERAS[0]] * 6, IDENTICAL.format("camera")),
    (ROBOTS[:3], 0, CAMERAS[:3],
     "[vantel][ERROR] Not enough valid poses for hand-eye calibration after filtering. Got 3, need at least 4.\n"),
    # A third image without a robot pose is not even tried.
    (ROBOTS[:2], 3, [], NO_BOARD.format(0) + NO_BOARD.format(1) + "[vantel][INFO] compute_camera_T_target_list: "
     "0/3 frames passed\n[vantel][ERROR] Only 0 valid frames after solvePnP  -  need at least 4.\n"),
], ids=["robot-orientations", "camera-orientations", "three-pairs", "no-board-seen"])
def test_failures_give_no_answer_and_keep_the_last_success(calibrator, capfd, tmp_path, robots, images, cameras,
                                                           logged):
    """The last success: poses rounded to float32, the default method; given camera poses, not images, are frames."""
    first = calibrator.calibrate([r.astype(np.float32) for r in ROBOTS], [BLANK] * 7, output_path=str(tmp_path),
                                 camera_T_target_list=[c.astype(np.float32) for c in CAMERAS])
    np.testing.assert_allclose(first.tcp_T_camera, TCP_T_CAMERA, atol=1e-4)
    record = (tmp_path / "hand_eye.json").read_text()
    assert json.loads(record) == {"method": "TSAI", "num_cameras": 1, "num_frames_total": 6, "num_frames_used": 6,
                                  "reference_index": 0, "tcp_T_camera_list": [first.tcp_T_camera.tolist()]}
    report = calibrator.format_results()
    capfd.readouterr()
    result = calibrator.calibrate(robots, [BLANK] * images, "TSAI", cameras, CAMERA_MATRIX, np.zeros(5),
                                  output_path=tmp_path)
    assert capfd.readouterr() == ("", COLLECTED.format(images, len(robots)) + logged)
    assert not result.ok and not result.has_consistency and result.tcp_T_camera.shape == (0, 0)
    assert len(result.valid_robot_T_tcp_list) == len(result.camera_T_target_list) == len(cameras)
    assert (tmp_path / "hand_eye.json").read_text() == record and len(list(tmp_path.iterdir())) == 1
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, first.tcp_T_camera)
    assert calibrator.format_results() == report


def test_camera_model_path_is_for_charuco_targets_only(capfd):
    calibrator = _vantel.EyeInHandCalibrator(_vantel.ChessboardTarget((9, 6), 0.025))
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(ROBOTS[:4], [BLANK] * 4, intrinsic_matrix=CAMERA_MATRIX)
    assert str(caught.value) == "EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget"
    assert capfd.readouterr().err == COLLECTED.format(4, 4)
