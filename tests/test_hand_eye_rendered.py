"""Eye-in-hand calibration from rendered images of boards seen by a known camera on a known flange."""

import functools
import re

import numpy as np
import pytest

import _vantel
from hand_eye_cases import BOARD, METHODS, TARGET
from measures import quietly, transform_error
from vantel_tools.rendering import defaults, hand_eye_scene

SCENES = {"charuco": (BOARD, TARGET, {"n_poses": 20, "seed": 3, "position_noise_px": 0.2}),
          "chessboard": (defaults.CHESSBOARD, _vantel.ChessboardTarget((9, 6), 0.03), {"n_poses": 10, "seed": 5}),
          "grid": (defaults.GRID, _vantel.ArucoTarget((5, 4), 0.04, 0.01, 0), {"n_poses": 10, "seed": 5})}


@functools.lru_cache
def scene(name):
    board, _, options = SCENES[name]
    rendered = hand_eye_scene(board, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                              max_angle_deg=40, **options)
    return rendered.robot_T_tcp, [view.image for view in rendered.views], rendered.camera_T_target


# The camera's rotation is only as good as its principal point: given, calibrated from the ChArUco board's noisy
# corners (1-3 px off), or from ten noise-free views of the other targets, which check re-detection and pairing.
@pytest.mark.parametrize("target, method, camera_model, max_rotation", [
    *[("charuco", method, (defaults.CAMERA.K, defaults.CAMERA.dist), 0.1) for method in METHODS],
    *[("charuco", method, (), 0.15) for method in METHODS],
    ("chessboard", "TSAI", (), 0.25), ("grid", "TSAI", (), 0.25),
])
def test_accuracy_and_report(target, method, camera_model, max_rotation, capsys):
    robots, images, _ = scene(target)
    calibrator = _vantel.EyeInHandCalibrator(SCENES[target][1])
    result = calibrator.calibrate(robots, images, method, [], *camera_model)
    assert result.ok and result.consistency.max_translation_m < 3e-3
    np.testing.assert_array_equal(result.valid_robot_T_tcp_list, robots)
    np.testing.assert_allclose(result.intrinsic_matrix, defaults.CAMERA.K, rtol=1e-2, atol=1e-9)
    translation, rotation = transform_error(result.tcp_T_camera, defaults.TCP_T_CAMERA)
    assert translation < 1e-3 and rotation < max_rotation
    if camera_model:
        return
    # A calibrated camera's report is in fixed notation from the reprojection error on.
    report = calibrator.format_results()
    assert capsys.readouterr().out == report and len(calibrator.corner_images()) == len(images)
    assert f"\nReprojection Error: {result.reprojection_error:.4f} px\n" in report
    frame_lines = [line for line in report.splitlines() if line.startswith("  Frame ")]
    assert len(frame_lines) == len(images)
    number = r"-?\d+\.\d{4}"
    for i, line in enumerate(frame_lines):
        assert re.fullmatch(rf"  Frame {i}: trans={number}mm rot={number}deg dist={number}mm "
                            rf"center=\({number}, {number}\)", line), line


@pytest.mark.parametrize("images, robots", [(2, 3), (3, 2)])
def test_camera_poses_pair_images_with_robot_poses_by_position(capfd, images, robots):
    robot_T_tcp, image_list, camera_T_target = scene("charuco")
    aligned = _vantel.EyeInHandCalibrator(TARGET).compute_camera_T_target_list(
        image_list[:images], robot_T_tcp[:robots], defaults.CAMERA.K, defaults.CAMERA.dist)
    assert capfd.readouterr().err == f"[vantel][INFO] compute_camera_T_target_list: 2/{images} frames passed\n"
    np.testing.assert_array_equal(aligned.valid_image_list, image_list[:2])
    np.testing.assert_array_equal(aligned.valid_robot_T_tcp_list, robot_T_tcp[:2])
    assert len(aligned.camera_T_target_list) == 2
    for estimate, truth in zip(aligned.camera_T_target_list, camera_T_target):
        translation, rotation = transform_error(estimate, truth)
        assert translation < 2e-3 and rotation < 0.2


def test_given_camera_poses_of_a_batch_are_those_of_its_frames_one_by_one(capsys, progress):
    robots, images, _ = scene("charuco")
    blank = np.full_like(images[0], 128)
    frames = images[:4] + [blank] + images[4:9] + [blank] + images[9:12]
    calibrator, camera_model = _vantel.EyeInHandCalibrator(TARGET), (defaults.CAMERA.K, defaults.CAMERA.dist)
    alone = [calibrator.compute_camera_T_target_list([frame], [robot], *camera_model).camera_T_target_list
             for frame, robot in zip(frames, robots)]
    capsys.readouterr()
    progress.clear()
    together = calibrator.compute_camera_T_target_list(frames, robots, *camera_model)
    assert capsys.readouterr().err.splitlines() == [
        "[vantel][WARNING] frame 4: ChArUco detection failed  -  skipping",
        "[vantel][WARNING] frame 10: ChArUco detection failed  -  skipping",
        "[vantel][INFO] compute_camera_T_target_list: 12/14 frames passed"]
    assert progress == [("Solving target poses", i, len(frames)) for i in range(len(frames))]
    np.testing.assert_array_equal(together.camera_T_target_list, sum(alone, []))
    np.testing.assert_array_equal(together.valid_robot_T_tcp_list, [r for r, poses in zip(robots, alone) if poses])


def left_quarter_hidden(image):
    hidden = image.copy()
    hidden[:, :image.shape[1] // 4] = 128
    return hidden


# The full pipeline takes the intrinsic stage's ChArUco corners for the poses of the frames it keeps: they
# must be the poses that detecting the board again in those frames gives. Every other frame shows only part
# of the board, so that views differ in their corners.
@pytest.mark.parametrize("kept_views", ["all", "better half"])
def test_full_pipeline_poses_are_those_of_a_new_detection(kept_views):
    robots, images, _ = scene("charuco")
    images = [left_quarter_hidden(image) if k % 2 else image for k, image in enumerate(images)]
    blank = np.full_like(images[0], 128)
    frames, frame_robots = images[:3] + [blank] + images[3:], robots[:3] + [robots[0]] + robots[3:]
    options = _vantel.IntrinsicOptions()
    if kept_views == "better half":
        errors = _vantel.IntrinsicCalibrator(TARGET).calibrate(frames).per_view_errors
        options.per_view_error_threshold = float(np.median(errors))
    intrinsic = _vantel.IntrinsicCalibrator(TARGET, options).calibrate(frames)
    kept_frames = [intrinsic.successful_indices[k] for k in intrinsic.low_view_error_indices]
    kept = len(images) if kept_views == "all" else len(images) // 2
    result = quietly(_vantel.EyeInHandCalibrator(TARGET, options).calibrate, frame_robots, frames)
    assert result.ok and len(result.camera_T_target_list) == len(kept_frames) == kept
    np.testing.assert_array_equal(result.valid_robot_T_tcp_list, [frame_robots[i] for i in kept_frames])
    redetected = _vantel.EyeInHandCalibrator(TARGET).compute_camera_T_target_list(
        result.valid_image_list, result.valid_robot_T_tcp_list, result.intrinsic_matrix,
        result.distortion_coefficients)
    assert len(redetected.camera_T_target_list) == kept
    for pose, expected in zip(result.camera_T_target_list, redetected.camera_T_target_list):
        np.testing.assert_allclose(pose, expected, rtol=0, atol=1e-12)


def test_a_call_that_ends_in_an_exception_leaves_the_calibrator_as_it_was(progress):
    robots, images, _ = scene("chessboard")
    calibrator = _vantel.EyeInHandCalibrator(SCENES["chessboard"][1])
    good = quietly(calibrator.calibrate, robots, images)
    corners = calibrator.corner_images()

    def stop_after_the_intrinsic_stage(what, done, total):
        if what == "Solving target poses":
            raise KeyboardInterrupt

    _vantel.set_progress_callback(stop_after_the_intrinsic_stage)
    with pytest.raises(KeyboardInterrupt):
        quietly(calibrator.calibrate, robots[:6], images[:6])
    _vantel.set_progress_callback(None)
    assert len(calibrator.corner_images()) == len(corners) == len(images)
    np.testing.assert_array_equal(calibrator.corner_images()[0], corners[0])
    np.testing.assert_array_equal(calibrator.last_result().tcp_T_camera, good.tcp_T_camera)
