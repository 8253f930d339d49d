"""Multi-camera calibrator: input checks, the whole report text, accuracy on rendered rigs, log lines, subsets."""

import json
import math
import subprocess
import sys

import numpy as np
import pytest

import _vantel
from measures import quietly, transform_error
from vantel_tools.rendering import CharucoBoard, defaults, rig_scene

TARGET = _vantel.CharucoTarget(9, 7, 0.03, 0.022, 0)
BLANK = np.zeros((48, 64, 3), np.uint8)
INFO, WARNING, ERROR = (f"[vantel][{level}] [MultiCameraCalibrator] " for level in ("INFO", "WARNING", "ERROR"))


def true_intrinsics(scene):
    return [camera.K for camera in scene.cameras], [camera.dist for camera in scene.cameras]


def report_text(calibrator):
    """The printed report, rebuilt from the calibrator's records (boards with 30 mm squares)."""
    def matrix_text(matrix):  # as OpenCV's default formatter prints a float64 matrix
        rows = np.atleast_2d(matrix) if matrix.size else []
        return "[" + ";\n ".join(", ".join(format(x, ".16g") for x in row) for row in rows) + "]"

    result, ref, rule = calibrator.last_result(), calibrator.reference_index(), "=" * 70
    text = f"\n{rule}\nPER-CAMERA INTRINSICS\n{rule}\n" + "".join(
        f"\n[cam_{i}]  intrinsic RPE: {rpe:g} px\nK =\n{matrix_text(K)}\nd = {matrix_text(d)}\n" for i, (rpe, K, d)
        in enumerate(zip(result.intrinsic_reprojection_errors, result.intrinsic_matrices,
                         result.distortion_coefficients, strict=True)))
    text += f"\n{rule}\nEXTRINSICS  -  reference_T_camera  (reference = cam_{ref})\n{rule}\n"
    for i, (T, rms) in enumerate(zip(result.reference_T_camera_list, result.pair_reprojection_errors, strict=True)):
        text += (f"\n[cam_{i}]  identity (reference)\n" if i == ref else
                 f"\n[cam_{i}]  FAILED  -  too few shared detections with cam_{ref}\n" if T.size == 0 else
                 f"\n[cam_{i}]  stereo RMS vs reference: {rms:g} px\nreference_T_cam_{i} =\n{matrix_text(T)}\n")
    if (report := calibrator.last_triangulation()) is not None:
        text += (f"\n{rule}\nTRIANGULATION VALIDATION  (frame 0)\n{rule}\n  Expected square length: 30 mm\n"
                 f"  Co-planarity (3rd SV):  {report.plane_thickness_m * 1000:g} mm\n")
        for c, (rms, n) in enumerate(zip(report.rms_per_camera, report.counts_per_camera, strict=True)):
            text += f"  Reprojection RMS (cam_{c}): " + (f"{rms:g} px over {n} corners\n" if n else "no observations\n")
    return text


def test_default_options_differ_from_the_plain_defaults_in_two_values():
    ours, plain = _vantel.MultiCameraCalibrator.default_options(), _vantel.IntrinsicOptions()
    assert (ours.criteria.type, ours.criteria.max_count, ours.criteria.epsilon) == (3, 30, 1e-6)
    assert (ours.per_view_error_threshold, plain.per_view_error_threshold) == (3.0, 1.0)
    rest = [f for f in dir(plain) if not f.startswith("_") and f not in ("criteria", "per_view_error_threshold")]
    assert len(rest) == 9 and [getattr(ours, f) for f in rest] == [getattr(plain, f) for f in rest]


SKIPPED_4 = "[vantel][WARNING] Skipping subsets of size 4: only 3 cameras.\n[vantel][INFO] Calibrating subset of size "
LISTS, KS, DS = [[BLANK] * 2] * 3, [np.eye(3)] * 3, [np.zeros(5)] * 3
BAD_K = "intrinsic_matrices[{}] must be a finite 3x3 matrix"
BAD_D = "distortion_coefficients[{}] must hold 0, 4, 5, 8, 12 or 14 finite values"
NOT_K = "intrinsic_matrices[{}] must be a camera matrix: positive fx and fy, K[2,2] = 1, zeros below the diagonal"


def camera_matrix(**entries):
    K = np.array([[500.0, 0, 32], [0, 500, 24], [0, 0, 1]])
    for (r, c), value in ((divmod(int(key[1:]), 10), v) for key, v in entries.items()):
        K[r, c] = value
    return K


@pytest.mark.parametrize("call, message, log", [
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, 1), "num_cameras must be >= 2, got 1", ""),
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, -4), "num_cameras must be >= 2, got -4", ""),
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, 3, 3), "reference_index out of range for 3 cameras", ""),
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, 2, -1), "reference_index out of range for 2 cameras", ""),
    (lambda c: c.calibrate(LISTS[:2]), "expected 3 image lists, got 2", ""),
    (lambda c: c.calibrate(LISTS[:2] + [[BLANK]]), "all cameras must have the same number of frames", ""),
    (lambda c: c.calibrate([[], [], []]), "empty image lists", ""),
    # Supplied intrinsics pass straight through the stereo stage: NaN or a wrong shape would come back placed.
    (lambda c: c.calibrate(LISTS, KS, DS[:2]), "expected 3 intrinsic matrices/distortion coefficient sets", ""),
    (lambda c: c.calibrate(LISTS, [KS[0], np.eye(2), KS[0]], DS), BAD_K.format(1), ""),
    (lambda c: c.calibrate(LISTS, KS[:2] + [np.full((3, 3), np.nan)], DS), BAD_K.format(2), ""),
    *[(lambda c, K=K: c.calibrate(LISTS, KS[:2] + [K], DS), NOT_K.format(2), "") for K in (
        np.zeros((3, 3)), camera_matrix(k00=-500), camera_matrix(k11=0), camera_matrix(k22=0),
        camera_matrix(k22=2), camera_matrix(k10=1), camera_matrix(k20=1e-3), camera_matrix(k21=-1))],
    (lambda c: c.calibrate(LISTS, [np.zeros((3, 3))] * 3, DS), NOT_K.format(0), ""),
    (lambda c: c.calibrate(LISTS, KS, [DS[0], np.zeros(6), DS[0]]), BAD_D.format(1), ""),
    (lambda c: c.calibrate(LISTS, KS, DS[:2] + [np.array([0.1, np.inf, 0, 0, 0])]), BAD_D.format(2), ""),
    *[(lambda c, n=n: c.calibrate_subsets(LISTS, [4, n]), f"num_cameras must be >= 2, got {n}", SKIPPED_4 + f"{n}\n")
      for n in (-1, 0, 1)],
])
def test_refused_before_any_image_is_looked_at(call, message, log, capfd):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 3)
    with pytest.raises(ValueError) as caught:
        call(calibrator)
    assert str(caught.value) == "MultiCameraCalibrator: " + message
    assert capfd.readouterr() == ("", log) and calibrator.last_subset_results() == []


@pytest.mark.parametrize("cameras, reference", [(2, 0), (3, 1)])
def test_report_of_a_fresh_calibrator(cameras, reference, capsys):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, cameras, reference)
    calibrator.print_results()
    report = capsys.readouterr().out
    assert report == calibrator.format_results() == report_text(calibrator)
    assert (report.count("RPE: nan px\nK =\n[]\nd = []\n"), report.count("FAILED")) == (cameras, cameras - 1)
    with pytest.raises(RuntimeError, match=r"^MultiCameraCalibrator: run calibrate\(\) before triangulate\(\)\.$"):
        calibrator.triangulate([[BLANK]] * cameras)
    assert calibrator.last_triangulation() is None and calibrator.last_subset_results() == []


CHILD = """
import numpy as np, _vantel
lists = [list(images) for images in np.load("rig.npz")["images"]]
calibrator = _vantel.MultiCameraCalibrator(_vantel.CharucoTarget(9, 7, 0.03, 0.022, 0), 4)
calibrator.calibrate(lists)
for call in (calibrator.triangulate, lambda lists, frame: calibrator.calibrate_subsets(lists, [2], frame)):
    for frame, count in ((4, 4), (-1, 4), (0, 3)):
        try:
            call(lists[:count], frame)
        except ValueError as error:
            print(error)
"""


def test_bad_frame_indices_and_list_counts_are_refused(charuco_rig, tmp_path):
    np.savez(tmp_path / "rig.npz", images=[images[:4] for images in charuco_rig.image_lists()])
    child = subprocess.run([sys.executable, "-c", CHILD], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    outside = "MultiCameraCalibrator: frame_index {} is outside the image lists (list lengths [4, 4, 4, 4])"
    assert child.stdout.splitlines()[-6:] == [outside.format(4), outside.format(-1), (
        "MultiCameraCalibrator: expected 4 image lists, got 3 (frame_index 0, list lengths [4, 4, 4])")] * 2


def placement_errors(result, scene):
    """Per camera: (mm, degrees) of reference_T_camera against the truth."""
    reference_T_world = np.linalg.inv(scene.reference_T_camera[result.reference_index])
    return [tuple(np.multiply(transform_error(ours, reference_T_world @ truth), (1000, 1)))
            for ours, truth in zip(result.reference_T_camera_list, scene.reference_T_camera, strict=True)]


def test_true_intrinsics_place_every_camera_then_a_camera_blind_in_the_checked_frame_is_reported(charuco_rig, capfd):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, 2)
    result = quietly(calibrator.calibrate, charuco_rig.image_lists(), *true_intrinsics(charuco_rig))
    assert result.ok and np.array_equal(result.reference_T_camera_list[2], np.eye(4))
    assert all(mm < 1.0 and deg < 0.1 for mm, deg in placement_errors(result, charuco_rig))
    assert all(0.1 < rms < 0.5 for camera, rms in enumerate(result.pair_reprojection_errors) if camera != 2)
    report = calibrator.last_triangulation()
    distances = np.array(report.neighbor_distances_m)
    assert abs(distances.mean() / 0.03 - 1) < 0.002 and np.abs(distances / 0.03 - 1).max() < 0.02  # 30 mm squares
    # The thickness is a root of a sum of squares: per point it is the RMS distance from the plane.
    assert report.plane_thickness_m / math.sqrt(len(report.ids)) < 0.3e-3
    # Every camera sees the whole board: all 48 corners, each neighbour pair once per direction.
    np.testing.assert_array_equal(report.ids.ravel(), np.arange(48))
    assert report.counts_per_camera == [48] * 4 and len(distances) == 7 * 6 + 8 * 5
    assert all(rms < 0.5 for rms in report.rms_per_camera)
    np.testing.assert_equal(calibrator.triangulate(charuco_rig.image_lists()).points_3d, report.points_3d)

    lists = charuco_rig.image_lists()
    lists[1][0] = np.full_like(lists[1][0], 128)
    capfd.readouterr()
    assert calibrator.calibrate(lists, *true_intrinsics(charuco_rig)).ok
    out, err = capfd.readouterr()
    assert "[vantel][WARNING] cam_1: detection failed on frame 0\n" in err
    report = calibrator.last_triangulation()
    assert report.counts_per_camera == [48, 0, 48, 48] and math.isnan(report.rms_per_camera[1])
    assert out == calibrator.format_results() == report_text(calibrator)


@pytest.fixture(scope="module")
def alone(charuco_rig):
    """Each camera calibrated on its own with the rig's default options."""
    options = _vantel.MultiCameraCalibrator.default_options()
    return [quietly(_vantel.IntrinsicCalibrator(TARGET, options).calibrate, images)
            for images in charuco_rig.image_lists()]


# The calibrated principal points limit the fixed-intrinsic placement (measured 2-7 mm, 0.1-0.8 deg); refining the
# intrinsics in each pair brings it close to the true-intrinsic result (measured < 1 mm, 0.25 deg).
@pytest.mark.parametrize("refined, max_mm, max_deg", [(False, 10.0, 1.0), (True, 1.5, 0.3)])
def test_calibrated_intrinsics_then_an_unplaced_camera(charuco_rig, alone, tmp_path, capfd, refined, max_mm, max_deg):
    flags = {"stereo_calibrate_flags": _vantel.CALIB_USE_INTRINSIC_GUESS} if refined else {}  # fixed by default
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, **flags)
    result = quietly(calibrator.calibrate, charuco_rig.image_lists())
    assert result.ok and all(mm < max_mm and deg < max_deg for mm, deg in placement_errors(result, charuco_rig))
    # The board stays near the middle of the images, so the principal points are the weak part (up to 13 px off).
    for K, camera, single in zip(result.intrinsic_matrices, charuco_rig.cameras, alone, strict=True):
        np.testing.assert_allclose(np.diag(K)[:2], np.diag(camera.K)[:2], rtol=0.02)
        np.testing.assert_allclose(K[:2, 2], camera.K[:2, 2], atol=25)
        assert np.array_equal(K, single.intrinsic_matrix) != refined
    assert result.intrinsic_reprojection_errors == [single.reprojection_error for single in alone]
    assert all(d.shape == (1, 5) for d in result.distortion_coefficients)

    # A camera the next run cannot place is reported failed, not with this run's transform.
    lists = [images[:5] for images in charuco_rig.image_lists()]
    lists[2][1] = lists[2][3] = np.full_like(lists[2][1], 128)  # three shared frames: one short of a pair
    capfd.readouterr()
    second = calibrator.calibrate(lists, *true_intrinsics(charuco_rig), output_path=tmp_path)
    out, err = capfd.readouterr()
    assert not second.ok and calibrator.last_triangulation() is None and out == report_text(calibrator)
    assert [T.shape for T in second.reference_T_camera_list] == [(4, 4), (4, 4), (0, 0), (4, 4)]
    assert math.isnan(second.pair_reprojection_errors[2]) and all(map(math.isnan, second.intrinsic_reprojection_errors))
    assert ERROR + "Only 3 shared detections between reference camera 0 and camera 2; skipping pair.\n" in err
    saved = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert saved["reference_T_camera_list"][2] is None and saved["intrinsic_reprojection_errors"] == [None] * 4
    np.testing.assert_array_equal(saved["reference_T_camera_list"][3], second.reference_T_camera_list[3])


def test_log_lines_of_a_filtered_run_with_another_reference(charuco_rig, alone, capfd):
    """A per-view threshold that drops some views of each camera; camera 1 as the reference."""
    options = _vantel.MultiCameraCalibrator.default_options()
    options.per_view_error_threshold = 0.31
    result = _vantel.MultiCameraCalibrator(TARGET, 4, 1, options).calibrate(charuco_rig.image_lists())
    expected = [INFO + "Running per-camera intrinsic calibration."]
    detected = [set(single.successful_indices) for single in alone]
    accepted = [{i for i, e in zip(single.successful_indices, single.per_view_errors) if e <= 0.31} for single in alone]
    expected += [f"{INFO}Camera {c}: reprojection error {single.reprojection_error:f}px over {len(detected[c])} frames "
                 f"({len(accepted[c])} pass per-view filter)" for c, single in enumerate(alone)]
    for k in (0, 2, 3):
        both = detected[1] & detected[k]
        frames = both & accepted[1] & accepted[k]
        assert len(frames) < len(both)
        expected += [f"{INFO}Pair (ref=1, cam={k}): {len(both)} frames detected in both cameras -> {len(frames)} "
                     "after per-view intrinsic-error filter",
                     f"{INFO}Stereo pair (ref=1, cam={k}): RMS error {result.pair_reprojection_errors[k]:f}px over "
                     f"{len(frames)} frames"]
    assert capfd.readouterr().err.splitlines() == expected
    assert math.isnan(result.pair_reprojection_errors[1]) and result.reference_index == 1
    np.testing.assert_array_equal(result.reference_T_camera_list[1], np.eye(4))
    assert all(mm < 10 and deg < 1.0 for mm, deg in placement_errors(result, charuco_rig))


@pytest.mark.parametrize("flags", [_vantel.CALIB_FIX_INTRINSIC, _vantel.CALIB_USE_INTRINSIC_GUESS])
def test_subsets_equal_fresh_calibrators_of_each_subset(charuco_rig, capfd, flags):
    """Shared work must not show: every result, log line and report as fresh calibrators give them."""
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, stereo_calibrate_flags=flags)
    results = calibrator.calibrate_subsets(charuco_rig.image_lists(), [3, 2], frame_index=5)
    ours = capfd.readouterr()
    subsets = [(0, 1, 2), (0, 1, 3), (0, 2, 3), (1, 2, 3), (0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    assert [(tuple(entry.subset), entry.has_triangulation) for entry in results] == [(s, True) for s in subsets]
    expected_out, expected_err = "", ""
    for entry, subset in zip(results, subsets):
        fresh = _vantel.MultiCameraCalibrator(TARGET, len(subset), stereo_calibrate_flags=flags)
        lists = [charuco_rig.image_lists()[c] for c in subset]
        fresh_result, fresh_triangulation = fresh.calibrate(lists), fresh.triangulate(lists, 5)
        out, err = capfd.readouterr()
        expected_out += out
        expected_err += f"[vantel][INFO] Calibrating subset of size {len(subset)}\n" + err
        for ours_record, fresh_record in ((entry.result, fresh_result), (entry.triangulation, fresh_triangulation)):
            for field in (f for f in dir(fresh_record) if not f.startswith("_")):
                np.testing.assert_equal(getattr(ours_record, field), getattr(fresh_record, field))
    assert (ours.out, ours.err) == (expected_out, expected_err)
    summary = calibrator.format_results().split("SUBSET SUMMARY\n" + "=" * 90 + "\n")[1]
    assert summary == "".join(f"({', '.join(f'cam_{c}' for c in entry.subset)}): ok=yes  plane_thickness_mm="
                              f"{entry.triangulation.plane_thickness_m * 1000:g}\n" for entry in results)


def two_camera_rig(board, n_frames=5):
    return rig_scene(board, defaults.RIG_CAMERAS[:2], defaults.RIG_REFERENCE_T_CAMERA[:2], n_frames=n_frames, seed=7,
                     spread_m=0.05)


@pytest.mark.parametrize("squares, corners, used", [((6, 4), 15, True), ((3, 8), 14, False)])
def test_frames_need_fifteen_shared_corner_ids(squares, corners, used, capfd):
    scene = two_camera_rig(CharucoBoard(*squares, 0.04, 0.03, 0))
    calibrator = _vantel.MultiCameraCalibrator(_vantel.CharucoTarget(*squares, 0.04, 0.03, 0), 2)
    result = quietly(calibrator.calibrate, scene.image_lists(), *true_intrinsics(scene))
    placed = f"{INFO}Stereo pair (ref=0, cam=1): RMS error {result.pair_reprojection_errors[1]:f}px over 5 frames\n"
    dropped = "".join(f"{WARNING}Frame {f}: only {corners} corners shared between ref (cam 0) and cam 1; dropping from "
                      "pair.\n" for f in range(5)) + ERROR + (
        "No usable frames after per-corner intersection between reference camera 0 and camera 1; skipping pair.\n")
    assert result.ok == used and capfd.readouterr().err == (placed if used else dropped)


def test_count_mode_drops_frames_whose_point_counts_differ_and_does_not_triangulate(capfd):
    scene = two_camera_rig(defaults.GRID, n_frames=6)
    lists = scene.image_lists()
    # Cover marker 0 in camera 1's frame 2: that frame has four points fewer than the reference's.
    corners = scene.views[1][2].image_points[:4]
    low, high = corners.min(axis=0).astype(int) - 3, corners.max(axis=0).astype(int) + 4
    lists[1][2][low[1]:high[1], low[0]:high[0]] = 128
    calibrator = _vantel.MultiCameraCalibrator(_vantel.ArucoTarget((5, 4), 0.04, 0.01, 0), 2)
    result = quietly(calibrator.calibrate, lists, *true_intrinsics(scene))
    message = "MultiCameraCalibrator::triangulate requires a CharucoTarget"
    assert capfd.readouterr().err.splitlines() == [
        WARNING + "Frame 2: ref has 80 pts, cam 1 has 76 pts; dropping from pair.",
        f"{INFO}Stereo pair (ref=0, cam=1): RMS error {result.pair_reprojection_errors[1]:f}px over 5 frames",
        WARNING + "Triangulation validation skipped: " + message]
    assert result.ok and calibrator.last_triangulation() is None
    # Markers come in detection order, which differs between the cameras: pairs match them by board point.
    assert all(mm < 1.0 and deg < 0.1 for mm, deg in placement_errors(result, scene))
    with pytest.raises(ValueError, match=f"^{message}$"):
        calibrator.triangulate(lists)


def test_a_call_that_raises_leaves_the_last_result_as_it_was(charuco_rig):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4)
    good = quietly(calibrator.calibrate, charuco_rig.image_lists(), refine=True)
    lists = charuco_rig.image_lists()
    lists[2] = [np.zeros_like(image) for image in lists[2]]  # no board: its intrinsic calibration fails
    with pytest.raises(RuntimeError, match="Intrinsic calibration failed for camera 2"):
        quietly(calibrator.calibrate, lists)
    kept = calibrator.last_result()
    assert kept.ok and calibrator.last_triangulation() is not None and calibrator.last_refinement() is not None
    for ours, theirs in zip(kept.reference_T_camera_list + kept.intrinsic_matrices,
                            good.reference_T_camera_list + good.intrinsic_matrices):
        np.testing.assert_array_equal(ours, theirs)
