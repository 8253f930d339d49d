"""Eye-in-hand calibration from rendered images of boards seen by a known camera on a known flange."""

import re

import numpy as np
import pytest

import _vantel
from _vantel import diagnostics
from hand_eye_cases import BOARD, METHODS, TARGET
from measures import quietly, transform_error
from vantel_tools.rendering import defaults, hand_eye_scene


@pytest.fixture(scope="module")
def scene():
    scene = hand_eye_scene(BOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET, n_poses=20,
                           seed=3, max_angle_deg=40, position_noise_px=0.2)
    return scene.robot_T_tcp, [view.image for view in scene.views], scene


@pytest.mark.parametrize("method", METHODS)
def test_known_camera_model(scene, method):
    robots, images, _ = scene
    result = quietly(_vantel.EyeInHandCalibrator(TARGET).calibrate, robots, images, method, [],
                     defaults.CAMERA.K, defaults.CAMERA.dist)
    assert result.ok and len(result.camera_T_target_list) == 20
    translation, rotation = transform_error(result.tcp_T_camera, defaults.TCP_T_CAMERA)
    assert translation < 1e-3 and rotation < 0.1
    assert result.consistency.max_translation_m < 3e-3


@pytest.mark.parametrize("method", METHODS)
def test_full_pipeline_and_its_report(scene, method, capsys):
    robots, images, _ = scene
    calibrator = _vantel.EyeInHandCalibrator(TARGET)
    result = calibrator.calibrate(robots, images, method)
    assert result.ok and len(calibrator.corner_images()) == 20
    np.testing.assert_allclose(result.intrinsic_matrix, defaults.CAMERA.K, rtol=1e-2, atol=1e-9)
    translation, rotation = transform_error(result.tcp_T_camera, defaults.TCP_T_CAMERA)
    # The camera's rotation is only as good as the calibrated principal point (1-3 px at this noise).
    assert translation < 1e-3 and rotation < 0.15

    report = calibrator.format_results()
    assert capsys.readouterr().out == report
    assert f"\nReprojection Error: {result.reprojection_error:.4f} px\n" in report
    frame_lines = [line for line in report.splitlines() if line.startswith("  Frame ")]
    assert len(frame_lines) == len(result.camera_T_target_list)
    number = r"-?\d+\.\d{4}"
    for i, line in enumerate(frame_lines):
        assert re.fullmatch(rf"  Frame {i}: trans={number}mm rot={number}deg dist={number}mm "
                            rf"center=\({number}, {number}\)", line), line
    assert report.endswith(diagnostics.format_rotation_variety(
        diagnostics.analyze_rotation_variety(result.camera_T_target_list, 0.5)))


@pytest.mark.parametrize("board, target", [
    (defaults.CHESSBOARD, _vantel.ChessboardTarget((9, 6), 0.03)),
    (defaults.GRID, _vantel.ArucoTarget((5, 4), 0.04, 0.01, 0)),
], ids=["chessboard", "grid"])
def test_full_pipeline_redetects_every_target_type(board, target):
    scene = hand_eye_scene(board, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET, n_poses=10,
                           seed=5, max_angle_deg=40)
    result = quietly(_vantel.EyeInHandCalibrator(target).calibrate, scene.robot_T_tcp,
                     [view.image for view in scene.views], "TSAI")
    assert result.ok and len(result.camera_T_target_list) == 10
    for ours, truth in zip(result.valid_robot_T_tcp_list, scene.robot_T_tcp):
        np.testing.assert_array_equal(ours, truth)
    translation, rotation = transform_error(result.tcp_T_camera, defaults.TCP_T_CAMERA)
    # Ten noise-free views: this checks the re-detection and pairing, the principal point limits the rotation.
    assert translation < 1e-3 and rotation < 0.25


@pytest.mark.parametrize("images, robots", [(2, 3), (3, 2)])
def test_camera_poses_pair_images_with_robot_poses_by_position(scene, capfd, images, robots):
    robot_T_tcp, image_list, truth = scene
    aligned = _vantel.EyeInHandCalibrator(TARGET).compute_camera_T_target_list(
        image_list[:images], robot_T_tcp[:robots], defaults.CAMERA.K, defaults.CAMERA.dist)
    assert capfd.readouterr().err == f"[vantel][INFO] compute_camera_T_target_list: 2/{images} frames passed\n"
    assert len(aligned.camera_T_target_list) == len(aligned.valid_image_list) == 2
    for k in range(2):
        np.testing.assert_array_equal(aligned.valid_image_list[k], image_list[k])
        np.testing.assert_array_equal(aligned.valid_robot_T_tcp_list[k], robot_T_tcp[k])
        pose = aligned.camera_T_target_list[k]
        np.testing.assert_allclose(pose[:3, :3] @ pose[:3, :3].T, np.eye(3), atol=1e-12)
        assert np.linalg.det(pose[:3, :3]) == pytest.approx(1.0)
        translation, rotation = transform_error(pose, truth.camera_T_target[k])
        assert translation < 2e-3 and rotation < 0.2
