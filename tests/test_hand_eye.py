"""Eye-in-hand calibration from given camera poses: the solve, its failures, consistency and the report."""

import json
import math

import cv2
import numpy as np
import pytest

import _vantel
from _vantel import diagnostics, tf
from measures import quietly

METHODS = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
RULE = "=" * 60
TCP_T_CAMERA = tf.pose_to_transformation_matrix([0.03, -0.02, 0.1, 5, -3, 90])
WORLD_T_TARGET = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 30])
CAMERA_MATRIX = np.array([[1000.0, 0, 640], [0, 1000.0, 480], [0, 0, 1]])


def synthetic_poses(count, seed=0, rotation_spread=30.0):
    """Robot and camera poses that satisfy robot_T_tcp @ tcp_T_camera @ camera_T_target == world_T_target."""
    rng = np.random.default_rng(seed)
    robots, cameras = [], []
    for _ in range(count):
        camera_T_target = tf.pose_to_transformation_matrix(
            [*rng.uniform(-0.1, 0.1, 2), rng.uniform(0.4, 0.6), *rng.uniform(-rotation_spread, rotation_spread, 3)])
        robots.append(WORLD_T_TARGET @ np.linalg.inv(camera_T_target) @ np.linalg.inv(TCP_T_CAMERA))
        cameras.append(camera_T_target)
    return robots, cameras


@pytest.fixture
def calibrator():
    return _vantel.EyeInHandCalibrator(_vantel.CharucoTarget(7, 5, 0.04, 0.03))


def test_method_table():
    assert _vantel.hand_eye_method_by_name_map() == {
        "TSAI": 0, "PARK": 1, "HORAUD": 2, "ANDREFF": 3, "DANIILIDIS": 4}


@pytest.mark.parametrize("method", METHODS)
def test_exact_camera_poses_recover_the_transform(calibrator, method, capsys):
    robots, cameras = synthetic_poses(8)
    result = calibrator.calibrate(robots, [], method, cameras)
    assert result.ok
    np.testing.assert_allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)
    stats = result.consistency
    assert result.has_consistency
    assert stats.max_translation_m < 1e-9 and stats.max_rotation_deg < 1e-5
    assert len(stats.translation_deviations_m) == len(stats.distances_m) == len(stats.board_us) == 8
    np.testing.assert_allclose(stats.distances_m, [np.linalg.norm(c[:3, 3]) for c in cameras])
    # No camera model given: nothing to project the board centre with.
    assert all(math.isnan(u) for u in stats.board_us + stats.board_vs)
    assert math.isnan(result.reprojection_error)
    assert len(result.valid_robot_T_tcp_list) == len(result.camera_T_target_list) == 8
    assert result.valid_image_list == []
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, result.tcp_T_camera)
    assert "HAND-EYE RESULTS" in capsys.readouterr().out


def test_board_centre_is_projected_with_the_given_camera(calibrator):
    robots, cameras = synthetic_poses(6, seed=1)
    distortion = np.array([[-0.2, 0.05, 0.001, -0.001, 0.0]])
    result = calibrator.calibrate(robots, [], "PARK", cameras, CAMERA_MATRIX, distortion)
    centre = np.array([[3.5 * 0.04, 2.5 * 0.04, 0.0]])  # mean of the 6 x 4 inner corners of a 7 x 5 board
    for k, camera_T_target in enumerate(cameras):
        expected = cv2.projectPoints(centre, cv2.Rodrigues(camera_T_target[:3, :3])[0], camera_T_target[:3, 3],
                                     CAMERA_MATRIX, distortion)[0].ravel()
        assert result.consistency.board_us[k] == pytest.approx(expected[0], abs=1e-3)
        assert result.consistency.board_vs[k] == pytest.approx(expected[1], abs=1e-3)


@pytest.mark.parametrize("method", ["tsai", "Park", "NONE", ""])
def test_unknown_method_is_refused_before_anything_happens(calibrator, method, capfd):
    robots, cameras = synthetic_poses(5)
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [], method, cameras)
    assert str(caught.value) == f"Unknown hand-eye method '{method}'"
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("which", ["robot_T_tcp_list", "camera_T_target_list"])
def test_non_finite_poses_are_refused(calibrator, capfd, method, which):
    robots, cameras = synthetic_poses(6)
    poses = {"robot_T_tcp_list": robots, "camera_T_target_list": cameras}
    poses[which][2] = poses[which][2].copy()
    poses[which][2][0, 3] = np.nan
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [], method, cameras)
    assert str(caught.value) == f"EyeInHandCalibrator: {which}[2] holds a non-finite value"
    assert capfd.readouterr() == ("", "")


def rotated(degrees):
    return tf.pose_to_transformation_matrix([0.1, 0.2, 0.3, degrees, 0, 0])


NOT_A_ROTATION = "is not a rigid transform: its rotation block is not a rotation"


@pytest.mark.parametrize("which", ["robot_T_tcp_list", "camera_T_target_list"])
@pytest.mark.parametrize("pose, problem", [
    (np.zeros((4, 4)), NOT_A_ROTATION),
    (np.diag([2.0, 2.0, 2.0, 1.0]), NOT_A_ROTATION),
    (np.diag([1.0, 1.0, -1.0, 1.0]), NOT_A_ROTATION),  # a reflection
    (rotated(30) + np.pad(np.full((3, 3), 2e-3), ((0, 1), (0, 1))), NOT_A_ROTATION),
    (rotated(30) + np.diag([0, 0, 0, 1.0]), "is not a rigid transform: its last row is not 0 0 0 1"),
    (np.vstack([rotated(30)[:3], [0.5, 0, 0, 1]]), "is not a rigid transform: its last row is not 0 0 0 1"),
    (np.eye(3), "must be a 4x4 matrix, got 3x3x1"),
], ids=["zero", "scaled", "reflection", "sheared", "last-row-2", "last-row-x", "3x3"])
def test_poses_that_are_no_rigid_transform_are_refused(calibrator, capfd, which, pose, problem):
    robots, cameras = synthetic_poses(6)
    poses = {"robot_T_tcp_list": robots, "camera_T_target_list": cameras}
    poses[which][4] = pose
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [], "TSAI", cameras)
    assert str(caught.value) == f"EyeInHandCalibrator: {which}[4] {problem}"
    assert capfd.readouterr() == ("", "")


def test_poses_rounded_to_float32_are_rigid_enough(calibrator):
    robots, cameras = synthetic_poses(6)
    result = quietly(calibrator.calibrate, [r.astype(np.float32) for r in robots], [], "TSAI",
                     [c.astype(np.float32) for c in cameras])
    assert result.ok
    np.testing.assert_allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-4)


def test_identical_robot_orientations_are_a_failure_not_an_answer(calibrator, capfd, tmp_path):
    robots, cameras = synthetic_poses(6)
    robots = [robots[0]] * 6
    result = calibrator.calibrate(robots, [], "TSAI", cameras, output_path=tmp_path)
    out, err = capfd.readouterr()
    assert err.endswith(
        "[vantel][WARNING] [EyeInHandCalibrator] All robot poses have identical orientation! Hand-eye calibration "
        "requires varied rotations to solve uniquely.\n"
        "[vantel][ERROR] [EyeInHandCalibrator] Hand-eye solve rejected: the rotation between flange and camera "
        "cannot be observed without varied robot orientations.\n")
    assert not result.ok and result.tcp_T_camera.shape == (0, 0)
    assert out == "" and list(tmp_path.iterdir()) == []


def test_given_poses_must_be_paired(calibrator):
    robots, cameras = synthetic_poses(5)
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [], "TSAI", cameras[:4])
    assert str(caught.value) == (
        "EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 5 (robot) vs 4 "
        "(camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.")


def test_full_pipeline_needs_a_robot_pose_per_image(calibrator, capfd):
    images = [np.zeros((48, 64, 3), np.uint8)] * 5
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(synthetic_poses(3)[0], images)
    assert "Got 3 (robot) vs 5 (images)" in str(caught.value)
    assert capfd.readouterr() == ("", "")


def test_too_few_pairs_fail_and_keep_the_last_success(calibrator, capfd):
    robots, cameras = synthetic_poses(6)
    first = calibrator.calibrate(robots, [], "TSAI", cameras)
    report = calibrator.format_results()
    capfd.readouterr()

    result = calibrator.calibrate(robots[:3], [], "TSAI", cameras[:3], CAMERA_MATRIX)
    assert not result.ok and not result.has_consistency
    assert result.tcp_T_camera.shape == (0, 0)
    assert len(result.valid_robot_T_tcp_list) == len(result.camera_T_target_list) == 3
    out, err = capfd.readouterr()
    assert "[vantel][ERROR] Not enough valid poses for hand-eye calibration after filtering. Got 3, need at least 4.\n" in err
    assert out == ""
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, first.tcp_T_camera)
    assert calibrator.format_results() == report


def test_four_pairs_are_enough(calibrator):
    robots, cameras = synthetic_poses(4, seed=3)
    result = calibrator.calibrate(robots, [], "PARK", cameras, CAMERA_MATRIX)
    assert result.ok
    np.testing.assert_allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)


def test_identical_orientations_are_a_failure_not_an_answer(calibrator, capfd, tmp_path):
    robots, cameras = synthetic_poses(5, rotation_spread=0.0)
    result = calibrator.calibrate(robots, [], "TSAI", cameras, CAMERA_MATRIX, output_path=tmp_path)
    out, err = capfd.readouterr()
    assert ("[vantel][WARNING] [EyeInHandCalibrator] All camera poses have identical orientation! Hand-eye "
            "calibration requires varied rotations to solve uniquely.\n") in err
    assert "[vantel][ERROR] [EyeInHandCalibrator] Hand-eye solve rejected" in err
    assert not result.ok and result.tcp_T_camera.shape == (0, 0) and not result.has_consistency
    assert out == "" and list(tmp_path.iterdir()) == []
    assert calibrator.last_result().tcp_T_camera.shape == (0, 0)


def test_camera_model_path_is_for_charuco_targets_only(capfd):
    calibrator = _vantel.EyeInHandCalibrator(_vantel.ChessboardTarget((9, 6), 0.025))
    robots, _ = synthetic_poses(4)
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(robots, [np.zeros((48, 64, 3), np.uint8)] * 4, "TSAI", [], CAMERA_MATRIX)
    assert str(caught.value) == "EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget"
    assert capfd.readouterr().err == "[vantel][INFO] Collected images 4\n[vantel][INFO] Collected poses 4\n"
    with pytest.raises(ValueError):
        calibrator.compute_camera_T_target_list([], [], CAMERA_MATRIX, np.zeros(5))


def test_compute_camera_poses_on_images_without_a_board(calibrator, capfd):
    blank = np.full((120, 160, 3), 200, np.uint8)
    aligned = calibrator.compute_camera_T_target_list([blank] * 3, synthetic_poses(2)[0], CAMERA_MATRIX, np.zeros(5))
    assert aligned.camera_T_target_list == aligned.valid_image_list == aligned.valid_robot_T_tcp_list == []
    assert capfd.readouterr().err == (
        "[vantel][WARNING] frame 0: ChArUco detection failed  -  skipping\n"
        "[vantel][WARNING] frame 1: ChArUco detection failed  -  skipping\n"
        "[vantel][INFO] compute_camera_T_target_list: 0/3 frames passed\n")


def test_fresh_report(calibrator):
    assert calibrator.format_results() == f"\n{RULE}\nHAND-EYE RESULTS\n{RULE}\nCalibration failed.\n"


def matrix_text(matrix):
    rows = [", ".join("%.16g" % value for value in row) for row in np.atleast_2d(matrix)]
    return "[" + ";\n ".join(rows) + "]"


def test_report_after_given_poses_is_in_general_notation(calibrator, capsys):
    robots, cameras = synthetic_poses(6, seed=5)
    result = calibrator.calibrate(robots, [], "HORAUD", cameras)
    printed = capsys.readouterr().out
    stats = result.consistency
    pose = tf.transformation_matrix_to_pose(result.tcp_T_camera)
    expected = (
        f"\n{RULE}\nHAND-EYE RESULTS\n{RULE}\n"
        f"\nHand-Eye Transform (TCP -> Camera):\n{matrix_text(result.tcp_T_camera)}\n"
        "\nPose [x, y, z, rx, ry, rz] (deg):\n  [" + ", ".join("%g" % v for v in pose) + "]\n"
        "\nIntrinsic Matrix:\n[]\n"
        "\nDistortion Coefficients:\n[]\n"
        "\nReprojection Error: n/a\n"
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


@pytest.mark.parametrize("images", [0, 3, 7])
def test_record_counts_the_frames_of_the_solve(calibrator, tmp_path, images):
    """Given camera poses are the frames offered, whatever images come along."""
    robots, cameras = synthetic_poses(6)
    image_list = [np.zeros((8, 8, 3), np.uint8)] * images
    result = calibrator.calibrate(robots, image_list, "PARK", cameras, output_path=str(tmp_path))
    document = json.loads((tmp_path / "hand_eye.json").read_text())
    assert document["method"] == "PARK" and document["num_cameras"] == 1 and document["reference_index"] == 0
    assert document["num_frames_used"] == 6
    assert document["num_frames_total"] == 6
    np.testing.assert_allclose(document["tcp_T_camera_list"][0], result.tcp_T_camera, atol=1e-15)


def test_no_output_path_writes_nothing(calibrator, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    robots, cameras = synthetic_poses(5)
    assert calibrator.calibrate(robots, [], "TSAI", cameras).ok
    assert list(tmp_path.iterdir()) == []


def test_results_and_accessors_are_copies(calibrator):
    robots, cameras = synthetic_poses(5)
    calibrator.calibrate(robots, [], "TSAI", cameras)
    copy = calibrator.last_result()
    copy.tcp_T_camera[0, 0] = 99.0
    assert calibrator.last_result().tcp_T_camera[0, 0] != 99.0
    with pytest.raises(AttributeError):
        copy.ok = False
    for record in (_vantel.HandEyeResult, _vantel.TargetConsistencyStats, _vantel.AlignedTargetPoses):
        with pytest.raises(TypeError):
            record()
    assert isinstance(calibrator.target(), _vantel.CharucoTarget)
    assert calibrator.corner_images() == []
