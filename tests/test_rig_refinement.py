"""Joint refinement of a rig: every camera's intrinsics and pose and every frame's board pose in one problem."""

import contextlib
import io
import json
import tomllib

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import refine_rig
from measures import quietly, transform_error
from vantel_tools.rendering import defaults

TARGET = v.CharucoTarget(9, 7, 0.03, 0.022, 0)  # the board of the conftest's charuco_rig
TRUTH = defaults.RIG_REFERENCE_T_CAMERA


def worst_error(transforms):
    """Largest translation (mm) and rotation (degrees) error of cameras 1-3 against the truth."""
    errors = [transform_error(transforms[c], TRUTH[c]) for c in (1, 2, 3)]
    return max(e[0] for e in errors) * 1000, max(e[1] for e in errors)


def true_intrinsics(rig):
    return [camera.K for camera in rig.cameras], [camera.dist.reshape(1, -1) for camera in rig.cameras]


# 18 frames at 0.2 px: the pairwise result is worse than 0.5 deg / 6 mm.
@pytest.mark.parametrize("supplied, millimetres, degrees", [(False, 1.0, 0.2), (True, 0.3, 0.03)],
                         ids=["own intrinsics", "true intrinsics"])
def test_refined_rig_is_near_the_truth_and_is_what_the_record_holds(charuco_rig, tmp_path, supplied, millimetres,
                                                                     degrees):
    intrinsics = true_intrinsics(charuco_rig) if supplied else ([], [])
    calibrator = v.MultiCameraCalibrator(TARGET, 4)
    result = quietly(calibrator.calibrate, charuco_rig.image_lists(), *intrinsics, output_path=tmp_path, refine=True)
    assert result.ok
    error_mm, error_deg = worst_error(result.reference_T_camera_list)
    assert error_mm <= millimetres and error_deg <= degrees
    refinement = calibrator.last_refinement()
    assert refinement.cameras_left_out == [] and refinement.chained_cameras == []
    assert refinement.overall_rms < refinement.overall_rms_before and refinement.overall_rms < 0.35
    for ours, theirs in zip(result.reference_T_camera_list, refinement.reference_T_camera_list):
        np.testing.assert_array_equal(ours, theirs)
    saved = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    np.testing.assert_allclose(saved["reference_T_camera_list"][2], result.reference_T_camera_list[2], rtol=1e-12)
    np.testing.assert_allclose(saved["intrinsic_matrices"][1], result.intrinsic_matrices[1], rtol=1e-12)
    if supplied:
        for ours, given in zip(result.intrinsic_matrices + result.distortion_coefficients, sum(intrinsics, [])):
            np.testing.assert_array_equal(ours, given)
    # The triangulation check projects with the refined rig.
    assert max(calibrator.last_triangulation().rms_per_camera) < 0.5
    report = calibrator.format_results()
    section = report[report.index("JOINT REFINEMENT"):]
    assert "[cam_0]  RMS " in section and "(reference)" in section and " deg, " in section
    assert f"over {refinement.corners} corners in 18 frames" in section


def test_without_refinement_nothing_changes(charuco_rig):
    plain, unrefined = v.MultiCameraCalibrator(TARGET, 4), v.MultiCameraCalibrator(TARGET, 4)
    first = quietly(plain.calibrate, charuco_rig.image_lists())
    second = quietly(unrefined.calibrate, charuco_rig.image_lists(), refine=False)
    for ours, theirs in zip(first.reference_T_camera_list + first.intrinsic_matrices,
                            second.reference_T_camera_list + second.intrinsic_matrices):
        np.testing.assert_array_equal(ours, theirs)
    assert plain.format_results() == unrefined.format_results() and "JOINT" not in plain.format_results()
    assert unrefined.last_refinement() is None


def detected(rig):
    """Per camera: frames, object points and image points of every view the module detects."""
    found = [v.IntrinsicCalibrator(TARGET).find_corners(images) for images in rig.image_lists()]
    return ([list(f.successful_indices) for f in found], [list(f.object_points) for f in found],
            [[p.copy() for p in f.image_points] for f in found])


def test_a_corner_off_by_twenty_pixels_does_not_pull_the_rig(charuco_rig):
    frames, objects, points = detected(charuco_rig)
    matrices, distortions = true_intrinsics(charuco_rig)
    start = [np.eye(4)] + [np.empty((0, 0))] * 3  # every other camera placed through shared frames
    clean = refine_rig(frames, objects, points, matrices, distortions, start, True)[0]
    points[2][3][5] += np.float32([20.0, 0.0])
    points[1][0][0] += np.float32([0.0, -20.0])
    pulled = refine_rig(frames, objects, points, matrices, distortions, start, True)[0]
    error_mm, error_deg = worst_error(pulled)
    assert error_mm <= 0.3 and error_deg <= 0.03
    for c in (1, 2, 3):
        moved_m, moved_deg = transform_error(pulled[c], clean[c])
        assert moved_m < 1e-4 and moved_deg < 0.01


def test_a_camera_that_never_sees_the_board_is_left_out(charuco_rig, capfd):
    lists = charuco_rig.image_lists()
    lists[3] = [np.zeros_like(image) for image in lists[3]]
    calibrator = v.MultiCameraCalibrator(TARGET, 4)
    result = calibrator.calibrate(lists, *true_intrinsics(charuco_rig), refine=True)
    out, err = capfd.readouterr()
    assert not result.ok and result.reference_T_camera_list[3].size == 0
    assert calibrator.last_refinement().cameras_left_out == [3]
    assert ("[vantel][WARNING] [MultiCameraCalibrator] Camera 3 shares no frame with a placed camera; left out of "
            "the joint refinement.") in err.splitlines()
    assert "[cam_3]  not placed  -  shares no frame with a placed camera" in out
    assert worst_error(result.reference_T_camera_list[:3] + [TRUTH[3]])[1] <= 0.03


def test_subsets_are_refined_too(charuco_rig):
    calibrator = v.MultiCameraCalibrator(TARGET, 4)
    plain = quietly(calibrator.calibrate_subsets, charuco_rig.image_lists(), [3], refine=False)
    refined = quietly(calibrator.calibrate_subsets, charuco_rig.image_lists(), [3], refine=True)
    for before, after in zip(plain, refined):
        assert before.subset == after.subset and after.result.ok
        reference = TRUTH[after.subset[0]]
        errors = [[transform_error(entry.result.reference_T_camera_list[k],
                                   np.linalg.inv(reference) @ TRUTH[camera])[0]
                   for k, camera in enumerate(entry.subset[1:], start=1)] for entry in (before, after)]
        assert max(errors[1]) < max(errors[0]) and max(errors[1]) < 1.5e-3


REAL_BASELINES = [1.132, 0.550, 0.426]


def real_rig(shared_data):
    folder = shared_data / "caliscope_charuco_4cam"
    if not folder.is_dir():
        pytest.skip("4-camera set not present")
    lists = [[cv2.imread(str(p)) for p in sorted((folder / f"cam_0{c}").glob("image_*.jpg"))] for c in range(4)]
    reference = np.loadtxt(folder / "reference" / "reference_T_camera_from_toml.csv", delimiter=",", skiprows=1,
                           usecols=range(1, 17)).reshape(-1, 4, 4)
    cameras = tomllib.loads((folder / "reference" / "camera_array.toml").read_text())["cameras"]
    intrinsics = ([np.array(cameras[str(c)]["matrix"]) for c in range(4)],
                  [np.array(cameras[str(c)]["distortions"]).reshape(1, -1) for c in range(4)])
    return lists, reference, intrinsics


# Twelve corners per board: no pair shares the 15 the pairwise step needs; every camera is chained.
@pytest.mark.parametrize("supplied, baseline_tolerance, degrees", [(False, 0.10, None), (True, 0.05, 2.0)],
                         ids=["own intrinsics", "reference intrinsics"])
def test_real_rig_is_placed_near_the_published_one(shared_data, supplied, baseline_tolerance, degrees):
    lists, reference, intrinsics = real_rig(shared_data)
    calibrator = v.MultiCameraCalibrator(v.CharucoTarget(4, 5, 0.054, 0.0405, 3), 4)
    with contextlib.redirect_stdout(io.StringIO()):
        result = calibrator.calibrate(lists, *(intrinsics if supplied else ([], [])), refine=True)
    assert result.ok and calibrator.last_refinement().chained_cameras == [1, 2, 3]
    for camera, baseline in zip((1, 2, 3), REAL_BASELINES):
        transform = result.reference_T_camera_list[camera]
        assert np.linalg.norm(transform[:3, 3]) == pytest.approx(baseline, rel=baseline_tolerance)
        if degrees:
            assert transform_error(transform, reference[camera])[1] <= degrees
