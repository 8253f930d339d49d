"""Eye-in-hand calibration from given camera poses: the solve, its failures, consistency and the report."""

import json
import math

import cv2
import numpy as np
import pytest

import _vantel
from _vantel import diagnostics, tf
from hand_eye_cases import METHODS, NOT_PAIRED, TCP_T_CAMERA, synthetic_poses
from measures import quietly

RULE = "=" * 60
CAMERA_MATRIX = np.array([[1000.0, 0, 640], [0, 1000.0, 480], [0, 0, 1]])
BLANK = np.full((120, 160, 3), 200, np.uint8)
COLLECTED = "[vantel][INFO] Collected images {}\n[vantel][INFO] Collected poses {}\n"


@pytest.fixture
def calibrator():
    return _vantel.EyeInHandCalibrator(_vantel.CharucoTarget(7, 5, 0.04, 0.03))


def test_method_table():
    assert _vantel.hand_eye_method_by_name_map() == {
        "TSAI": 0, "PARK": 1, "HORAUD": 2, "ANDREFF": 3, "DANIILIDIS": 4}


@pytest.mark.parametrize("method, count", [("ANDREFF", 8), ("DANIILIDIS", 8), ("HORAUD", 8), ("PARK", 4), ("TSAI", 8)])
def test_exact_camera_poses_recover_the_transform(calibrator, method, count, capsys, tmp_path, monkeypatch):
    """Four pairs are enough; no camera model, no board centre; no output path, no file."""
    monkeypatch.chdir(tmp_path)
    robots, cameras = synthetic_poses(count)
    result = calibrator.calibrate(robots, [], method, cameras)
    assert result.ok and result.has_consistency
    np.testing.assert_allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)
    stats = result.consistency
    assert stats.max_translation_m < 1e-9 and stats.max_rotation_deg < 1e-5
    np.testing.assert_allclose(stats.distances_m, [np.linalg.norm(c[:3, 3]) for c in cameras])
    assert len(stats.board_us) == count and all(math.isnan(u) for u in stats.board_us + stats.board_vs)
    assert math.isnan(result.reprojection_error) and result.valid_image_list == []
    assert len(result.valid_robot_T_tcp_list) == len(result.camera_T_target_list) == count
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, result.tcp_T_camera)
    assert "HAND-EYE RESULTS" in capsys.readouterr().out and list(tmp_path.iterdir()) == []


def test_consistency_statistics_follow_the_frames(calibrator):
    """One frame strays far more than the rest, so means and maxima differ clearly."""
    robots, cameras = synthetic_poses(12, seed=7)
    rng = np.random.default_rng(7)
    noisy = [c @ tf.pose_to_transformation_matrix([*rng.normal(0, metres, 3), *rng.normal(0, degrees, 3)])
             for c, (metres, degrees) in zip(cameras, [(2e-4, 0.02)] * 11 + [(5e-3, 2.0)])]
    result = quietly(calibrator.calibrate, robots, [], "TSAI", noisy)
    world_T_targets = [r @ result.tcp_T_camera @ c for r, c in zip(robots, noisy)]
    u, _, vt = np.linalg.svd(sum(w[:3, :3] for w in world_T_targets))
    mean_rotation = u @ np.diag([1, 1, np.linalg.det(u @ vt)]) @ vt
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


def test_board_centre_is_projected_with_the_given_camera(calibrator):
    robots, cameras = synthetic_poses(6, seed=1)
    distortion = np.array([[-0.2, 0.05, 0.001, -0.001, 0.0]])
    result = quietly(calibrator.calibrate, robots, [], "PARK", cameras, CAMERA_MATRIX, distortion)
    centre = np.array([[3.5 * 0.04, 2.5 * 0.04, 0.0]])  # mean of the 6 x 4 inner corners of a 7 x 5 board
    for k, camera_T_target in enumerate(cameras):
        expected = cv2.projectPoints(centre, cv2.Rodrigues(camera_T_target[:3, :3])[0], camera_T_target[:3, 3],
                                     CAMERA_MATRIX, distortion)[0].ravel()
        assert result.consistency.board_us[k] == pytest.approx(expected[0], abs=1e-3)
        assert result.consistency.board_vs[k] == pytest.approx(expected[1], abs=1e-3)


@pytest.mark.parametrize("robots, images, method, cameras, message", [
    *[(6, 0, name, 6, f"Unknown hand-eye method '{name}'") for name in ["tsai", "Park", "NONE", ""]],
    (3, 5, "TSAI", 0, "EyeInHandCalibrator: the full pipeline needs one robot pose per image. "
                      "Got 3 (robot) vs 5 (images)."),
    (5, 0, "TSAI", 4, NOT_PAIRED),
])
def test_calls_that_are_refused(calibrator, capfd, robots, images, method, cameras, message):
    robot_poses, camera_poses = synthetic_poses(6)
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robot_poses[:robots], [BLANK] * images, method, camera_poses[:cameras])
    assert str(caught.value) == message
    # Only the pairing is checked after the inputs are logged.
    assert capfd.readouterr() == ("", COLLECTED.format(0, 5) if message == NOT_PAIRED else "")


def rotated(degrees):
    return tf.pose_to_transformation_matrix([0.1, 0.2, 0.3, degrees, 0, 0])


NOT_A_ROTATION = "is not a rigid transform: its rotation block is not a rotation"
NOT_LAST_ROW = "is not a rigid transform: its last row is not 0 0 0 1"
WITH_NAN = rotated(30)
WITH_NAN[0, 3] = np.nan


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("which", ["robot_T_tcp_list", "camera_T_target_list"])
@pytest.mark.parametrize("pose, problem", [
    (WITH_NAN, "holds a non-finite value"),
    (np.zeros((4, 4)), NOT_A_ROTATION),
    (np.diag([2.0, 2.0, 2.0, 1.0]), NOT_A_ROTATION),
    (np.diag([1.0, 1.0, -1.0, 1.0]), NOT_A_ROTATION),  # a reflection
    (rotated(30) + np.pad(np.full((3, 3), 2e-3), ((0, 1), (0, 1))), NOT_A_ROTATION),
    (rotated(30) + np.diag([0, 0, 0, 1.0]), NOT_LAST_ROW),
    (np.vstack([rotated(30)[:3], [0.5, 0, 0, 1]]), NOT_LAST_ROW),
    (np.eye(3), "must be a 4x4 matrix, got 3x3x1"),
], ids=["nan", "zero", "scaled", "reflection", "sheared", "last-row-2", "last-row-x", "3x3"])
def test_poses_that_are_no_rigid_transform_are_refused(calibrator, capfd, method, which, pose, problem):
    robots, cameras = synthetic_poses(6)
    {"robot_T_tcp_list": robots, "camera_T_target_list": cameras}[which][4] = pose
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [], method, cameras)
    assert str(caught.value) == f"EyeInHandCalibrator: {which}[4] {problem}"
    assert capfd.readouterr() == ("", "")


def test_poses_rounded_to_float32_are_rigid_enough(calibrator):
    robots, cameras = synthetic_poses(6)
    result = quietly(calibrator.calibrate, [r.astype(np.float32) for r in robots], [], "TSAI",
                     [c.astype(np.float32) for c in cameras])
    assert result.ok
    np.testing.assert_allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-4)


@pytest.mark.parametrize("which", ["camera", "robot"])
def test_identical_orientations_are_a_failure_not_an_answer(calibrator, capfd, tmp_path, which):
    poses = dict(zip(["robot", "camera"], synthetic_poses(6)))
    poses[which] = [poses[which][0]] * 6
    result = calibrator.calibrate(poses["robot"], [], "TSAI", poses["camera"], output_path=tmp_path)
    out, err = capfd.readouterr()
    assert err.endswith(
        f"[vantel][WARNING] [EyeInHandCalibrator] All {which} poses have identical orientation! Hand-eye "
        "calibration requires varied rotations to solve uniquely.\n[vantel][ERROR] [EyeInHandCalibrator] Hand-eye "
        f"solve rejected: the rotation between flange and camera cannot be observed without varied {which} "
        "orientations.\n")
    assert not result.ok and not result.has_consistency and result.tcp_T_camera.shape == (0, 0)
    assert out == "" and list(tmp_path.iterdir()) == []
    assert calibrator.last_result().tcp_T_camera.shape == (0, 0)


def test_too_few_pairs_fail_and_keep_the_last_success(calibrator, capfd):
    robots, cameras = synthetic_poses(6)
    first = calibrator.calibrate(robots, [], "TSAI", cameras)
    report = calibrator.format_results()
    capfd.readouterr()
    result = calibrator.calibrate(robots[:3], [], "TSAI", cameras[:3], CAMERA_MATRIX)
    assert not result.ok and not result.has_consistency and result.tcp_T_camera.shape == (0, 0)
    assert len(result.valid_robot_T_tcp_list) == len(result.camera_T_target_list) == 3
    assert capfd.readouterr() == ("", COLLECTED.format(0, 3) + "[vantel][ERROR] Not enough valid poses for "
                                  "hand-eye calibration after filtering. Got 3, need at least 4.\n")
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, first.tcp_T_camera)
    assert calibrator.format_results() == report


def test_camera_model_path_is_for_charuco_targets_only(capfd):
    calibrator = _vantel.EyeInHandCalibrator(_vantel.ChessboardTarget((9, 6), 0.025))
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(synthetic_poses(4)[0], [BLANK] * 4, "TSAI", [], CAMERA_MATRIX)
    assert str(caught.value) == "EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget"
    assert capfd.readouterr().err == COLLECTED.format(4, 4)
    with pytest.raises(ValueError):
        calibrator.compute_camera_T_target_list([], [], CAMERA_MATRIX, np.zeros(5))


def test_compute_camera_poses_skips_images_without_a_board(calibrator, capfd):
    aligned = calibrator.compute_camera_T_target_list([BLANK] * 3, synthetic_poses(2)[0], CAMERA_MATRIX, np.zeros(5))
    assert aligned.camera_T_target_list == aligned.valid_image_list == aligned.valid_robot_T_tcp_list == []
    assert capfd.readouterr().err == (
        "[vantel][WARNING] frame 0: ChArUco detection failed  -  skipping\n"
        "[vantel][WARNING] frame 1: ChArUco detection failed  -  skipping\n"
        "[vantel][INFO] compute_camera_T_target_list: 0/3 frames passed\n")


def matrix_text(matrix):
    rows = [", ".join("%.16g" % value for value in row) for row in np.atleast_2d(matrix)]
    return "[" + ";\n ".join(rows) + "]"


def test_report_after_given_poses_is_in_general_notation(calibrator, capsys):
    assert calibrator.format_results() == f"\n{RULE}\nHAND-EYE RESULTS\n{RULE}\nCalibration failed.\n"
    robots, cameras = synthetic_poses(6, seed=5)
    result = calibrator.calibrate(robots, [], "HORAUD", cameras)
    printed = capsys.readouterr().out
    stats = result.consistency
    pose = tf.transformation_matrix_to_pose(result.tcp_T_camera)
    expected = (
        f"\n{RULE}\nHAND-EYE RESULTS\n{RULE}\n"
        f"\nHand-Eye Transform (TCP -> Camera):\n{matrix_text(result.tcp_T_camera)}\n"
        "\nPose [x, y, z, rx, ry, rz] (deg):\n  [" + ", ".join("%g" % v for v in pose) + "]\n"
        "\nIntrinsic Matrix:\n[]\n\nDistortion Coefficients:\n[]\n\nReprojection Error: n/a\n"
        "\nTarget Consistency Residual:\n"
        f"  Translation - mean: {'%g' % (stats.mean_translation_m * 1000)} mm   "
        f"max: {'%g' % (stats.max_translation_m * 1000)} mm\n"
        f"  Rotation    - mean: {'%g' % stats.mean_rotation_deg} deg   max: {'%g' % stats.max_rotation_deg} deg\n"
        + "".join(
            f"  Frame {i}: trans={'%g' % (t * 1000)}mm rot={'%g' % r}deg dist={'%g' % (d * 1000)}mm center=(nan, nan)\n"
            for i, (t, r, d) in enumerate(zip(stats.translation_deviations_m, stats.rotation_deviations_deg,
                                              stats.distances_m)))
        + "\n" + diagnostics.format_rotation_variety(diagnostics.analyze_rotation_variety(cameras, 0.5))
    )
    assert calibrator.format_results() == expected
    assert printed.endswith(expected)
    calibrator.print_results()
    assert capsys.readouterr().out == expected


@pytest.mark.parametrize("images", [0, 7])
def test_record_counts_the_frames_of_the_solve(calibrator, tmp_path, images):
    """Given camera poses are the frames offered, whatever images come along."""
    robots, cameras = synthetic_poses(6)
    result = quietly(calibrator.calibrate, robots, [BLANK] * images, "PARK", cameras, output_path=str(tmp_path))
    document = json.loads((tmp_path / "hand_eye.json").read_text())
    assert document["method"] == "PARK" and document["num_cameras"] == 1 and document["reference_index"] == 0
    assert document["num_frames_used"] == document["num_frames_total"] == 6
    np.testing.assert_allclose(document["tcp_T_camera_list"][0], result.tcp_T_camera, atol=1e-15)


def test_results_are_read_only_copies(calibrator):
    robots, cameras = synthetic_poses(5)
    quietly(calibrator.calibrate, robots, [], "TSAI", cameras)
    copy = calibrator.last_result()
    copy.tcp_T_camera[0, 0] = 99.0
    assert calibrator.last_result().tcp_T_camera[0, 0] != 99.0
    with pytest.raises(AttributeError):
        copy.ok = False
    assert isinstance(calibrator.target(), _vantel.CharucoTarget)
