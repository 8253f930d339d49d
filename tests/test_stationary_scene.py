"""The stationary-camera (eye-to-hand) scene and `vantel simulate hand-eye --stationary`."""

import json

import cv2
import numpy as np
import pytest

import _vantel
from measures import transform_error
from vantel_tools import cli
from vantel_tools.rendering import invert, stationary_hand_eye_scene, whole_board_visible
from vantel_tools.rendering.defaults import CAMERA, CHARUCO, ROBOT_T_CAMERA, TCP_T_TARGET
from vantel_tools.robot_poses import read_posed_images


def truth_chain(robot_T_tcp):
    return invert(ROBOT_T_CAMERA) @ robot_T_tcp @ TCP_T_TARGET


@pytest.mark.parametrize("axes", ["xyz", "y"])
def test_flange_poses_carry_the_board_in_front_of_the_fixed_camera(axes):
    scene = stationary_hand_eye_scene(CHARUCO, CAMERA, ROBOT_T_CAMERA, TCP_T_TARGET, n_poses=15, seed=2,
                                      rotation_axes=axes, render=False)
    for robot_T_tcp, camera_T_target, view in zip(scene.robot_T_tcp, scene.camera_T_target, scene.views, strict=True):
        assert np.abs(truth_chain(robot_T_tcp) - camera_T_target).max() < 1e-9
        assert view.inside.all() and whole_board_visible(CHARUCO, CAMERA, camera_T_target, 10)
        centre = camera_T_target[:3, :3] @ CHARUCO.texture.outline.mean(axis=0) + camera_T_target[:3, 3]
        assert 0.35 < np.linalg.norm(centre) < 0.7
    first = scene.robot_T_tcp[0][:3, :3]
    turns = np.array([cv2.Rodrigues(first.T @ T[:3, :3])[0].ravel() for T in scene.robot_T_tcp[1:]])
    if axes == "xyz":
        # Tens of degrees about several independent axes.
        assert np.degrees(np.linalg.norm(turns, axis=1)).max() > 40
        singular = np.linalg.svd(turns, compute_uv=False)
        assert singular[2] > 0.2 * singular[0]
    else:
        directions = turns / np.linalg.norm(turns, axis=1, keepdims=True)
        assert np.allclose(np.abs(directions[:, 1]), 1.0, atol=1e-9)
    positions = np.array([T[:3, 3] for T in scene.robot_T_tcp])
    assert np.linalg.norm(positions[:, None] - positions[None], axis=2)[np.triu_indices(15, 1)].min() > 1e-3


def test_board_poses_detected_in_the_rendered_views_match_the_truth_chain():
    scene = stationary_hand_eye_scene(CHARUCO, CAMERA, ROBOT_T_CAMERA, TCP_T_TARGET, n_poses=3, seed=5,
                                      position_noise_px=0.2)
    detector = cv2.aruco.CharucoDetector(CHARUCO.cv_board)
    for view, robot_T_tcp in zip(scene.views, scene.robot_T_tcp):
        corners, ids, _, _ = detector.detectBoard(cv2.cvtColor(view.image, cv2.COLOR_BGR2GRAY))
        assert ids is not None and len(ids) == len(CHARUCO.object_points)
        _, rvec, tvec = cv2.solvePnP(CHARUCO.object_points[ids.ravel()], corners, CAMERA.K, CAMERA.dist)
        detected = np.eye(4)
        detected[:3, :3], detected[:3, 3] = cv2.Rodrigues(rvec)[0], tvec.ravel()
        translation, rotation = transform_error(detected, truth_chain(robot_T_tcp))
        assert translation < 3e-3 and rotation < 1.0


def test_simulate_stationary_writes_a_dataset_with_its_truth(tmp_path, capsys):
    folder = tmp_path / "stationary"
    assert cli.main(["simulate", "hand-eye", str(folder), "--stationary", "--views", "3", "--seed", "1"]) == 0
    assert "--stationary" in capsys.readouterr().out
    truth = json.loads((folder / "truth.json").read_text())
    assert truth["stationary"] is True and truth["target"] == "charuco:7x5:0.04:0.03:DICT_4X4_50"
    robot_T_camera, tcp_T_target = np.array(truth["robot_T_camera"]), np.array(truth["tcp_T_target"])
    expected = [robot_T_camera @ np.array(pose) @ invert(tcp_T_target) for pose in truth["camera_T_target"]]
    images, poses = _vantel.io.load_hand_eye_dataset(folder)
    assert len(images) == 3 and images[0].shape == (960, 1280, 3)
    np.testing.assert_allclose(poses, expected, atol=1e-12)
    pairs = read_posed_images(folder / "robot_poses.csv", folder)
    assert [image.name for image, _ in pairs] == ["image_00.png", "image_01.png", "image_02.png"]
    np.testing.assert_allclose([T for _, T in pairs], poses, atol=1e-12)


def test_stationary_is_for_hand_eye_scenes_only(tmp_path, capsys):
    assert cli.main(["simulate", "intrinsic", str(tmp_path), "--stationary"]) == 2
    assert capsys.readouterr().err == "vantel simulate: error: --stationary is for hand-eye scenes only\n"
