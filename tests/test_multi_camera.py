"""Multi-camera calibrator: construction, input checks, report text and the faults it must not have."""

import json
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _vantel
from measures import quietly
from vantel_tools.rendering import defaults, rig_scene

TARGET = _vantel.CharucoTarget(9, 7, 0.03, 0.022, 0)
RULE = "=" * 70


@pytest.fixture(scope="module")
def small_rig():
    """Three cameras, eight frames; noise-free, so each camera is placed from any four frames."""
    return rig_scene(defaults.RIG_CHARUCO, defaults.RIG_CAMERAS[:3], defaults.RIG_REFERENCE_T_CAMERA[:3],
                     n_frames=8, seed=2)


def true_intrinsics(scene):
    return [camera.K for camera in scene.cameras], [camera.dist for camera in scene.cameras]


@pytest.mark.parametrize("num_cameras, reference, message", [
    (1, 0, "MultiCameraCalibrator: num_cameras must be >= 2, got 1"),
    (-4, 0, "MultiCameraCalibrator: num_cameras must be >= 2, got -4"),
    (3, 3, "MultiCameraCalibrator: reference_index out of range for 3 cameras"),
    (2, -1, "MultiCameraCalibrator: reference_index out of range for 2 cameras"),
])
def test_construction_is_checked(num_cameras, reference, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _vantel.MultiCameraCalibrator(TARGET, num_cameras, reference)


def test_default_options_differ_from_the_plain_defaults_in_two_values():
    ours, plain = _vantel.MultiCameraCalibrator.default_options(), _vantel.IntrinsicOptions()
    fields = ["chessboard_corner_detector", "chessboard_flags", "sub_pixel_detection_window_size",
              "sub_pixel_detection_zero_zone_size", "calibrate_camera_method", "calibrate_camera_flags",
              "index_of_fixed_3d_point", "intrinsic_matrix_guess", "distortion_coefficients_guess"]
    assert [getattr(ours, f) for f in fields] == [getattr(plain, f) for f in fields]
    assert (ours.criteria.type, ours.criteria.max_count, ours.criteria.epsilon) == (3, 30, 1e-6)
    assert (ours.per_view_error_threshold, plain.per_view_error_threshold) == (3.0, 1.0)
    assert (_vantel.CALIB_FIX_INTRINSIC, _vantel.CALIB_USE_INTRINSIC_GUESS) == (256, 1)


def blank(count, shape=(48, 64, 3)):
    return [np.zeros(shape, np.uint8) for _ in range(count)]


@pytest.mark.parametrize("lists, intrinsics, message", [
    ([blank(2), blank(2)], ([], []), "MultiCameraCalibrator: expected 3 image lists, got 2"),
    ([blank(5), blank(5), blank(4)], ([], []), "MultiCameraCalibrator: all cameras must have the same number of frames"),
    ([[], [], []], ([], []), "MultiCameraCalibrator: empty image lists"),
    ([blank(2)] * 3, ([np.eye(3)] * 3, [np.zeros(5)] * 2),
     "MultiCameraCalibrator: expected 3 intrinsic matrices/distortion coefficient sets"),
    ([blank(2)] * 3, ([np.eye(3), np.eye(2), np.eye(3)], [np.zeros(5)] * 3),
     "MultiCameraCalibrator: intrinsic_matrices[1] must be a finite 3x3 matrix"),
    ([blank(2)] * 3, ([np.eye(3), np.eye(3), np.full((3, 3), np.nan)], [np.zeros(5)] * 3),
     "MultiCameraCalibrator: intrinsic_matrices[2] must be a finite 3x3 matrix"),
    ([blank(2)] * 3, ([np.eye(3)] * 3, [np.zeros(5), np.zeros(6), np.zeros(5)]),
     "MultiCameraCalibrator: distortion_coefficients[1] must hold 0, 4, 5, 8, 12 or 14 finite values"),
    ([blank(2)] * 3, ([np.eye(3)] * 3, [np.zeros(5), np.zeros(5), np.array([0.1, np.inf, 0, 0, 0])]),
     "MultiCameraCalibrator: distortion_coefficients[2] must hold 0, 4, 5, 8, 12 or 14 finite values"),
], ids=["lists", "frames", "empty", "intrinsics", "K-shape", "K-nan", "D-count", "D-inf"])
def test_calibrate_checks_its_input_before_looking_at_images(lists, intrinsics, message, capfd):
    # Supplied intrinsics that would pass straight through the stereo stage and come back as a
    # placed camera (NaN, a wrong shape) are refused with the rest.
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 3)
    with pytest.raises(ValueError) as caught:
        calibrator.calibrate(lists, *intrinsics)
    assert str(caught.value) == message
    assert capfd.readouterr() == ("", "")


def fresh_report(cameras, reference):
    text = f"\n{RULE}\nPER-CAMERA INTRINSICS\n{RULE}\n"
    text += "".join(f"\n[cam_{i}]  intrinsic RPE: nan px\nK =\n[]\nd = []\n" for i in range(cameras))
    text += f"\n{RULE}\nEXTRINSICS  -  reference_T_camera  (reference = cam_{reference})\n{RULE}\n"
    for i in range(cameras):
        text += (f"\n[cam_{i}]  identity (reference)\n" if i == reference
                 else f"\n[cam_{i}]  FAILED  -  too few shared detections with cam_{reference}\n")
    return text


@pytest.mark.parametrize("cameras, reference", [(2, 0), (3, 1)])
def test_report_of_a_fresh_calibrator(cameras, reference, capsys):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, cameras, reference)
    assert calibrator.format_results() == fresh_report(cameras, reference)
    calibrator.print_results()
    assert capsys.readouterr().out == fresh_report(cameras, reference)
    with pytest.raises(RuntimeError, match=r"^MultiCameraCalibrator: run calibrate\(\) before triangulate\(\)\.$"):
        calibrator.triangulate([blank(1)] * cameras)
    assert calibrator.last_triangulation() is None and calibrator.last_subset_results() == []


def test_a_later_run_reports_only_its_own_cameras(small_rig, tmp_path, capsys):
    """A camera the second run cannot place is reported failed, not with the first run's transform."""
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 3)
    first = quietly(calibrator.calibrate, small_rig.image_lists())
    assert first.ok and not math.isnan(first.intrinsic_reprojection_errors[2])

    lists = small_rig.image_lists()
    lists[2] = blank(8, lists[2][0].shape)
    capsys.readouterr()
    second = calibrator.calibrate(lists, *true_intrinsics(small_rig), output_path=tmp_path)
    out, err = capsys.readouterr()
    assert not second.ok and calibrator.last_triangulation() is None
    assert second.reference_T_camera_list[2].shape == (0, 0) and math.isnan(second.pair_reprojection_errors[2])
    assert all(math.isnan(e) for e in second.intrinsic_reprojection_errors)
    assert "[cam_2]  FAILED  -  too few shared detections with cam_0\n" in out
    assert ("[vantel][ERROR] [MultiCameraCalibrator] Only 0 shared detections between reference camera 0 and "
            "camera 2; skipping pair.\n") in err
    saved = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert saved["reference_T_camera_list"][2] is None and saved["intrinsic_reprojection_errors"] == [None] * 3


CHILD = textwrap.dedent("""
    import sys, numpy as np, _vantel
    data = np.load(sys.argv[1])
    lists = [list(data["images"][c]) for c in range(3)]
    calibrator = _vantel.MultiCameraCalibrator(_vantel.CharucoTarget(9, 7, 0.03, 0.022, 0), 3)
    calibrator.calibrate(lists, list(data["K"]), list(data["dist"]))
    call, frame, count = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    try:
        if call == "triangulate":
            calibrator.triangulate(lists[:count], frame)
        else:
            calibrator.calibrate_subsets(lists[:count], [2], frame)
    except ValueError as error:
        print(error)
""")


@pytest.mark.parametrize("call", ["triangulate", "calibrate_subsets"])
@pytest.mark.parametrize("frame, count, message", [
    (4, 3, "MultiCameraCalibrator: frame_index 4 is outside the image lists (list lengths [4, 4, 4])"),
    (-1, 3, "MultiCameraCalibrator: frame_index -1 is outside the image lists (list lengths [4, 4, 4])"),
    (0, 2, "MultiCameraCalibrator: expected 3 image lists, got 2 (frame_index 0, list lengths [4, 4])"),
])
def test_bad_frame_indices_and_list_counts_are_refused(small_rig, tmp_path, call, frame, count, message):
    archive = tmp_path / "rig.npz"
    K, dist = true_intrinsics(small_rig)
    np.savez(archive, images=np.array([images[:4] for images in small_rig.image_lists()]), K=K, dist=dist)
    child = subprocess.run([sys.executable, "-c", CHILD, str(archive), call, str(frame), str(count)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == message


@pytest.mark.parametrize("size", [-1, 0, 1])
def test_subset_sizes_below_two_end_the_call(small_rig, size, capfd):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 3)
    with pytest.raises(ValueError, match=f"^MultiCameraCalibrator: num_cameras must be >= 2, got {size}$"):
        calibrator.calibrate_subsets(small_rig.image_lists(), [4, size])
    assert capfd.readouterr().err == ("[vantel][WARNING] Skipping subsets of size 4: only 3 cameras.\n"
                                      f"[vantel][INFO] Calibrating subset of size {size}\n")
    assert calibrator.last_subset_results() == []


def test_non_charuco_targets_are_calibrated_but_not_triangulated(capfd):
    scene = rig_scene(defaults.CHESSBOARD, defaults.RIG_CAMERAS[:2], defaults.RIG_REFERENCE_T_CAMERA[:2],
                      n_frames=5, seed=4)
    calibrator = _vantel.MultiCameraCalibrator(_vantel.ChessboardTarget((9, 6), 0.03), 2)
    result = quietly(calibrator.calibrate, scene.image_lists(), *true_intrinsics(scene))
    assert result.ok and calibrator.last_triangulation() is None
    message = "MultiCameraCalibrator::triangulate requires a CharucoTarget"
    assert capfd.readouterr().err.endswith(
        f"[vantel][WARNING] [MultiCameraCalibrator] Triangulation validation skipped: {message}\n")
    with pytest.raises(ValueError, match=f"^{message}$"):
        calibrator.triangulate(scene.image_lists())
