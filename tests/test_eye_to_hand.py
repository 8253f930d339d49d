"""Eye-to-hand calibration (camera fixed in the cell, target on the flange) and the check of the data's conventions."""

import functools
import json

import numpy as np
import pytest

import _vantel
from _vantel import tf
from hand_eye_cases import BOARD, TARGET
from measures import quietly, transform_error
from vantel_tools.rendering import defaults, hand_eye_scene, invert, stationary_hand_eye_scene

STATIONARY_TARGET = _vantel.CharucoTarget(7, 5, 0.04, 0.03, 0)


@functools.lru_cache
def stationary(noise, seed=0):
    scene = stationary_hand_eye_scene(defaults.CHARUCO, defaults.CAMERA, defaults.ROBOT_T_CAMERA,
                                      defaults.TCP_T_TARGET, n_poses=15, seed=seed, position_noise_px=noise)
    return scene.robot_T_tcp, [view.image for view in scene.views]


@pytest.mark.parametrize("noise, camera_model, max_mm, max_deg", [
    (0.2, "given", 1.0, 0.1),
    # The camera calibrated from the same 15 views: its principal point limits the rotation.
    (0.2, "calibrated", 2.5, 0.25),
    (1.0, "given", 3.0, 0.3),
])
def test_recovers_camera_and_target_poses(noise, camera_model, max_mm, max_deg, tmp_path):
    robots, images = stationary(noise)
    model = (defaults.CAMERA.K, defaults.CAMERA.dist) if camera_model == "given" else ()
    calibrator = _vantel.EyeToHandCalibrator(STATIONARY_TARGET)
    result = quietly(calibrator.calibrate, robots, images, "TSAI", [], *model, output_path=tmp_path)
    assert result.ok and result.convention_warnings == []
    for estimate, truth in [(result.robot_T_camera, defaults.ROBOT_T_CAMERA),
                            (result.tcp_T_target, defaults.TCP_T_TARGET)]:
        translation, rotation = transform_error(estimate, truth)
        assert translation * 1000 < max_mm and rotation < max_deg
    # The poses come back as given, not in the inverted form the solve uses.
    np.testing.assert_array_equal(result.valid_robot_T_tcp_list, robots)
    assert result.consistency.mean_translation_m < max_mm * 1e-3

    record = _vantel.io.load_stationary_hand_eye_result(tmp_path / "hand_eye_stationary.json")
    np.testing.assert_allclose(record.robot_T_camera, result.robot_T_camera, atol=1e-12)
    np.testing.assert_allclose(record.tcp_T_target, result.tcp_T_target, atol=1e-12)
    assert (record.method, record.num_frames_used, record.num_frames_total) == ("TSAI", 15, 15)
    assert json.loads((tmp_path / "hand_eye_stationary.json").read_text())["camera_mounting"] == "stationary"
    report = calibrator.format_results()
    assert "HAND-EYE RESULTS (STATIONARY CAMERA)" in report and "robot_T_camera: Camera -> Base" in report


@pytest.mark.parametrize("call, error, message", [
    (lambda c, r, i: c.calibrate(r, i, "tsai"), ValueError, "Unknown hand-eye method 'tsai'"),
    (lambda c, r, i: c.calibrate(r[:4], i), ValueError,
     "EyeToHandCalibrator: the full pipeline needs one robot pose per image. Got 4 (robot) vs 15 (images)."),
    (lambda c, r, i: c.calibrate([np.full((4, 4), np.nan)] + r[1:], i), ValueError,
     "EyeToHandCalibrator: robot_T_tcp_list[0] holds a non-finite value"),
    (lambda c, r, i: c.calibrate(r, [i[0][:, :, 0].astype(np.float32)] + i[1:]), ValueError, "EyeToHandCalibrator: "),
])
def test_the_same_inputs_meet_the_same_checks(call, error, message):
    robots, images = stationary(0.2)
    calibrator = _vantel.EyeToHandCalibrator(STATIONARY_TARGET)
    with pytest.raises(error) as raised:
        quietly(call, calibrator, list(robots), list(images))
    assert str(raised.value).startswith(message)
    assert not calibrator.last_result().ok and "Calibration failed." in calibrator.format_results()


# Each data set as (calibrator, robot poses, camera poses) with camera poses found by a calibration of its images.
@functools.lru_cache
def posed(name):
    if name == "real":
        from conftest import SHARED_DATA
        import cv2

        folder = SHARED_DATA / "rwhe_kuka2_eye_in_hand"
        if not folder.is_dir():
            pytest.skip("eye-in-hand dataset not present")
        images = [cv2.imread(str(path), cv2.IMREAD_COLOR) for path in sorted(folder.glob("image_*.png"))]
        robots = list(np.load(folder / "calibration_data.npz")["robot_T_tcp_list"])
        calibrator, target = _vantel.EyeInHandCalibrator, _vantel.ChessboardTarget((24, 17), 0.015)
    elif name == "turning in place":
        # Exact poses of a flange that turns by tens of degrees but moves under a millimetre: the camera, on a
        # 15 cm lever, moves a hundred times farther than the flange without any unit mistake.
        rng = np.random.default_rng(5)
        tcp_T_camera = tf.pose_to_transformation_matrix([0.05, -0.03, 0.15, 10, -5, 90])
        world_T_target = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 30])
        robots = [tf.pose_to_transformation_matrix([*(np.array([0.5, 0.0, 0.5]) + rng.uniform(-5e-4, 5e-4, 3)),
                                                    *rng.uniform(-25, 25, 3)]) for _ in range(12)]
        cameras = [np.linalg.inv(tcp_T_camera) @ np.linalg.inv(robot) @ world_T_target for robot in robots]
        return _vantel.EyeInHandCalibrator, TARGET, robots, cameras
    elif name.startswith("on flange"):
        scene = hand_eye_scene(BOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET, n_poses=15,
                               seed=3, position_noise_px=float(name.split()[-1]), max_angle_deg=40)
        robots, images, calibrator, target = scene.robot_T_tcp, [v.image for v in scene.views], \
            _vantel.EyeInHandCalibrator, TARGET
    else:
        robots, images = stationary(float(name.split()[-1]))
        calibrator, target = _vantel.EyeToHandCalibrator, STATIONARY_TARGET
    result = quietly(calibrator(target).calibrate, robots, images)
    assert result.ok and result.convention_warnings == []
    return calibrator, target, list(result.valid_robot_T_tcp_list), list(result.camera_T_target_list)


def scaled(poses, factor):
    out = [np.array(pose, copy=True) for pose in poses]
    for pose in out:
        pose[:3, 3] *= factor
    return out


MISTAKES = {
    "none": (lambda robots, cameras: (robots, cameras), None),
    # With both lists given either inversion makes the data consistent: the line names both.
    "robot poses inverted": (lambda robots, cameras: ([invert(p) for p in robots], cameras),
                             "The robot poses or the camera-to-target poses look inverted"),
    "robot poses in mm": (lambda robots, cameras: (scaled(robots, 1000), cameras),
                          "The robot translations look like millimetres"),
    "board lengths in mm": (lambda robots, cameras: (robots, scaled(cameras, 1000)),
                            "The target's lengths look like millimetres"),
    "camera poses inverted": (lambda robots, cameras: (robots, [invert(p) for p in cameras]),
                              "The robot poses or the camera-to-target poses look inverted"),
}


@pytest.mark.parametrize("data", ["real", "on flange 0.2", "on flange 1.0", "stationary 0.2", "stationary 1.0",
                                  "turning in place"])
@pytest.mark.parametrize("mistake", list(MISTAKES))
def test_convention_check_names_each_mistake_and_is_silent_on_correct_data(data, mistake, capfd):
    calibrator, target, robots, cameras = posed(data)
    make, expected = MISTAKES[mistake]
    robots, cameras = make(robots, cameras)
    capfd.readouterr()
    result = calibrator(target).calibrate(robots, [], "TSAI", cameras)
    logged = capfd.readouterr().err
    assert result.ok
    if expected is None:
        assert result.convention_warnings == [] and "[vantel][WARNING]" not in logged
        return
    assert len(result.convention_warnings) == 1 and result.convention_warnings[0].startswith(
        f"[{calibrator.__name__}] {expected}")
    assert ("inverted" if "inverted" in mistake else "millimetres") in result.convention_warnings[0]
    assert f"[vantel][WARNING] {result.convention_warnings[0]}\n" in logged


def test_inverted_robot_poses_are_named_in_the_full_pipeline_too(capfd):
    _, target, robots, _ = posed("real")
    from conftest import SHARED_DATA
    import cv2

    images = [cv2.imread(str(p), cv2.IMREAD_COLOR) for p in sorted((SHARED_DATA / "rwhe_kuka2_eye_in_hand").glob("*.png"))]
    result = _vantel.EyeInHandCalibrator(target).calibrate([invert(p) for p in robots], images)
    assert result.ok and len(result.convention_warnings) == 1
    assert "inverted" in result.convention_warnings[0] and "use EyeToHandCalibrator" in result.convention_warnings[0]
