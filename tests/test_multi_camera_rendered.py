"""Multi-camera calibration of rendered rigs: accuracy against the true rig, exact log lines, subsets."""

import math

import numpy as np
import pytest

import _vantel
from measures import quietly, transform_error
from vantel_tools.rendering import CharucoBoard, GridBoard, defaults, rig_scene

TARGET = _vantel.CharucoTarget(9, 7, 0.03, 0.022, 0)
SQUARE = 0.03


def true_intrinsics(scene):
    return [camera.K for camera in scene.cameras], [camera.dist for camera in scene.cameras]


def placement_errors(result, scene):
    """Per non-reference camera: (mm, degrees) of reference_T_camera against the truth."""
    return [tuple(np.multiply(transform_error(ours, truth), (1000, 1)))
            for ours, truth in zip(result.reference_T_camera_list[1:], scene.reference_T_camera[1:])]


def test_true_intrinsics_place_every_camera(charuco_rig, tmp_path):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4)
    result = quietly(calibrator.calibrate, charuco_rig.image_lists(), *true_intrinsics(charuco_rig),
                     output_path=tmp_path / "rig")
    assert result.ok
    np.testing.assert_array_equal(result.reference_T_camera_list[0], np.eye(4))
    for millimetres, degrees in placement_errors(result, charuco_rig):
        assert millimetres < 1.0 and degrees < 0.1
    assert all(0.1 < rms < 0.5 for rms in result.pair_reprojection_errors[1:])

    report = calibrator.last_triangulation()
    distances = np.array(report.neighbor_distances_m)
    assert abs(distances.mean() / SQUARE - 1) < 0.002 and np.abs(distances / SQUARE - 1).max() < 0.02
    # The thickness is a root of a sum of squares: per point it is the RMS distance from the plane.
    assert report.plane_thickness_m / math.sqrt(len(report.ids)) < 0.3e-3
    # Every camera sees the whole board: all 48 corners, each neighbour pair once per direction.
    np.testing.assert_array_equal(report.ids.ravel(), np.arange(48))
    assert report.counts_per_camera == [48] * 4 and len(distances) == 7 * 6 + 8 * 5
    assert all(rms < 0.5 for rms in report.rms_per_camera)

    saved = _vantel.io.load_multi_camera_calibration(tmp_path / "rig")
    for ours, loaded in zip(result.reference_T_camera_list, saved.reference_T_camera_list):
        np.testing.assert_array_equal(ours, loaded)
    assert saved.pair_reprojection_errors[1:] == result.pair_reprojection_errors[1:]


@pytest.mark.parametrize("flags, max_mm, max_deg", [
    # The calibrated principal points limit the fixed-intrinsic placement (measured 2-7 mm, 0.1-0.8 deg).
    (_vantel.CALIB_FIX_INTRINSIC, 10.0, 1.0),
    # Refining the intrinsics in each pair brings it close to the true-intrinsic result (measured < 1 mm, 0.25 deg).
    (_vantel.CALIB_USE_INTRINSIC_GUESS, 1.5, 0.3),
])
def test_calibrated_intrinsics(charuco_rig, flags, max_mm, max_deg):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, stereo_calibrate_flags=flags)
    result = quietly(calibrator.calibrate, charuco_rig.image_lists())
    assert result.ok
    for millimetres, degrees in placement_errors(result, charuco_rig):
        assert millimetres < max_mm and degrees < max_deg
    # The board stays near the middle of the images, so the principal points are the weak part (up to 13 px off).
    for c, camera in enumerate(charuco_rig.cameras):
        K = result.intrinsic_matrices[c]
        np.testing.assert_allclose(np.diag(K)[:2], np.diag(camera.K)[:2], rtol=0.02)
        np.testing.assert_allclose(K[:2, 2], camera.K[:2, 2], atol=25)
    per_camera = [quietly(_vantel.IntrinsicCalibrator(TARGET, _vantel.MultiCameraCalibrator.default_options())
                          .calibrate, images) for images in charuco_rig.image_lists()]
    assert result.intrinsic_reprojection_errors == [r.reprojection_error for r in per_camera]
    refined = flags != _vantel.CALIB_FIX_INTRINSIC
    for ours, alone in zip(result.intrinsic_matrices, per_camera):
        assert np.array_equal(ours, alone.intrinsic_matrix) != refined
    assert all(d.shape == (1, 5) for d in result.distortion_coefficients)


def expected_log(scene, options, reference, result):
    """The log of a calibration whose per-camera steps are recomputed here, camera by camera."""
    lines = ["[vantel][INFO] [MultiCameraCalibrator] Running per-camera intrinsic calibration."]
    accepted, detected = [], []
    for c, images in enumerate(scene.image_lists()):
        alone = quietly(_vantel.IntrinsicCalibrator(TARGET, options).calibrate, images)
        kept = sorted(alone.successful_indices[j] for j in alone.low_view_error_indices)
        accepted.append(kept)
        detected.append(alone.successful_indices)
        lines.append(f"[vantel][INFO] [MultiCameraCalibrator] Camera {c}: reprojection error "
                     f"{alone.reprojection_error:f}px over {len(alone.successful_indices)} frames "
                     f"({len(kept)} pass per-view filter)")
    for k in range(len(scene.cameras)):
        if k == reference:
            continue
        both = sorted(set(detected[reference]) & set(detected[k]))
        frames = sorted(set(both) & set(accepted[reference]) & set(accepted[k]))
        if len(frames) != len(both):
            lines.append(f"[vantel][INFO] [MultiCameraCalibrator] Pair (ref={reference}, cam={k}): {len(both)} frames "
                         f"detected in both cameras -> {len(frames)} after per-view intrinsic-error filter")
        lines.append(f"[vantel][INFO] [MultiCameraCalibrator] Stereo pair (ref={reference}, cam={k}): RMS error "
                     f"{result.pair_reprojection_errors[k]:f}px over {len(frames)} frames")
    return lines


def test_log_lines_of_a_filtered_run_with_another_reference(charuco_rig, capfd):
    """A per-view threshold that drops some views of each camera; camera 1 as the reference."""
    options = _vantel.MultiCameraCalibrator.default_options()
    options.per_view_error_threshold = 0.31
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, 1, options)
    result = calibrator.calibrate(charuco_rig.image_lists())
    err = capfd.readouterr().err.splitlines()
    expected = expected_log(charuco_rig, options, 1, result)
    assert err == expected
    assert sum("after per-view intrinsic-error filter" in line for line in err) == 3
    assert math.isnan(result.pair_reprojection_errors[1]) and result.reference_index == 1
    np.testing.assert_array_equal(result.reference_T_camera_list[1], np.eye(4))
    truth = np.linalg.inv(charuco_rig.reference_T_camera[1]) @ charuco_rig.reference_T_camera[0]
    millimetres, degrees = transform_error(result.reference_T_camera_list[0], truth)
    assert millimetres < 0.01 and degrees < 1.0


def subset_lists(scene, subset):
    lists = scene.image_lists()
    return [lists[c] for c in subset]


def assert_same_result(ours, fresh):
    assert (ours.ok, ours.reference_index) == (fresh.ok, fresh.reference_index)
    for field in ["reference_T_camera_list", "intrinsic_matrices", "distortion_coefficients"]:
        for a, b in zip(getattr(ours, field), getattr(fresh, field), strict=True):
            np.testing.assert_array_equal(a, b)
    for field in ["intrinsic_reprojection_errors", "pair_reprojection_errors"]:
        np.testing.assert_array_equal(getattr(ours, field), getattr(fresh, field))


def assert_same_triangulation(ours, fresh):
    for field in ["frame_index", "neighbor_distances_m", "plane_thickness_m", "rms_per_camera", "counts_per_camera"]:
        np.testing.assert_array_equal(getattr(ours, field), getattr(fresh, field))
    np.testing.assert_array_equal(ours.points_3d, fresh.points_3d)
    np.testing.assert_array_equal(ours.ids, fresh.ids)


@pytest.mark.parametrize("flags", [_vantel.CALIB_FIX_INTRINSIC, _vantel.CALIB_USE_INTRINSIC_GUESS])
def test_subsets_equal_fresh_calibrators_of_each_subset(charuco_rig, capfd, flags):
    """Shared work must not show: every result, log line and report as fresh calibrators give them."""
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, stereo_calibrate_flags=flags)
    results = calibrator.calibrate_subsets(charuco_rig.image_lists(), [3, 2], frame_index=5)
    ours = capfd.readouterr()

    subsets = [(0, 1, 2), (0, 1, 3), (0, 2, 3), (1, 2, 3), (0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    assert [tuple(entry.subset) for entry in results] == subsets
    expected_out, expected_err = "", ""
    for entry, subset in zip(results, subsets):
        fresh = _vantel.MultiCameraCalibrator(TARGET, len(subset), stereo_calibrate_flags=flags)
        lists = subset_lists(charuco_rig, subset)
        fresh_result = fresh.calibrate(lists)
        fresh_triangulation = fresh.triangulate(lists, 5)
        out, err = capfd.readouterr()
        expected_out += out
        expected_err += f"[vantel][INFO] Calibrating subset of size {len(subset)}\n" + err
        assert_same_result(entry.result, fresh_result)
        assert entry.has_triangulation
        assert_same_triangulation(entry.triangulation, fresh_triangulation)
    assert (ours.out, ours.err) == (expected_out, expected_err)

    summary = calibrator.format_results().split("SUBSET SUMMARY\n" + "=" * 90 + "\n")[1]
    assert summary == "".join(f"({', '.join(f'cam_{c}' for c in entry.subset)}): ok=yes  plane_thickness_mm="
                              f"{entry.triangulation.plane_thickness_m * 1000:g}\n" for entry in results)


def two_camera_rig(board, n_frames=5, seed=7):
    return rig_scene(board, defaults.RIG_CAMERAS[:2], defaults.RIG_REFERENCE_T_CAMERA[:2], n_frames=n_frames,
                     seed=seed, spread_m=0.05)


@pytest.mark.parametrize("squares, corners, used", [((6, 4), 15, True), ((3, 8), 14, False)])
def test_frames_need_fifteen_shared_corner_ids(squares, corners, used, capfd):
    board = CharucoBoard(squares_x=squares[0], squares_y=squares[1], square_length=0.04, marker_length=0.03,
                         dict_id=0)
    scene = two_camera_rig(board)
    target = _vantel.CharucoTarget(*squares, 0.04, 0.03, 0)
    result = quietly(_vantel.MultiCameraCalibrator(target, 2).calibrate, scene.image_lists(), *true_intrinsics(scene))
    err = capfd.readouterr().err
    assert result.ok == used
    dropped = [f"[vantel][WARNING] [MultiCameraCalibrator] Frame {f}: only {corners} corners shared between ref "
               "(cam 0) and cam 1; dropping from pair.\n" for f in range(5)]
    if used:
        assert err.startswith("[vantel][INFO] [MultiCameraCalibrator] Stereo pair (ref=0, cam=1): RMS error ")
        assert err.split("\n")[0].endswith("px over 5 frames")
    else:
        assert err == "".join(dropped) + (
            "[vantel][ERROR] [MultiCameraCalibrator] No usable frames after per-corner intersection between reference "
            "camera 0 and camera 1; skipping pair.\n")


def test_count_mode_drops_frames_whose_point_counts_differ(capfd):
    board = GridBoard(markers_x=5, markers_y=4, marker_length=0.04, marker_separation=0.01, dict_id=0)
    scene = two_camera_rig(board, n_frames=6)
    lists = scene.image_lists()
    # Cover marker 0 in camera 1's frame 2: that frame has four points fewer than the reference's.
    corners = scene.views[1][2].image_points[:4]
    lists[1][2] = lists[1][2].copy()
    low, high = corners.min(axis=0).astype(int) - 3, corners.max(axis=0).astype(int) + 4
    lists[1][2][low[1]:high[1], low[0]:high[0]] = 128
    target = _vantel.ArucoTarget((5, 4), 0.04, 0.01, 0)
    result = quietly(_vantel.MultiCameraCalibrator(target, 2).calibrate, lists, *true_intrinsics(scene))
    err = capfd.readouterr().err.splitlines()
    assert err[0] == ("[vantel][WARNING] [MultiCameraCalibrator] Frame 2: ref has 80 pts, cam 1 has 76 pts; "
                      "dropping from pair.")
    assert err[1].endswith("px over 5 frames") and result.ok
    millimetres, degrees = transform_error(result.reference_T_camera_list[1], scene.reference_T_camera[1])
    assert millimetres < 1.0 and degrees < 0.1


def test_a_camera_without_the_board_in_the_checked_frame(charuco_rig, capfd):
    lists = charuco_rig.image_lists()
    lists[1][0] = np.full_like(lists[1][0], 128)
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4)
    quietly(calibrator.calibrate, lists, *true_intrinsics(charuco_rig))
    assert "[vantel][WARNING] cam_1: detection failed on frame 0\n" in capfd.readouterr().err
    report = calibrator.last_triangulation()
    assert report.counts_per_camera == [48, 0, 48, 48] and math.isnan(report.rms_per_camera[1])
    assert "  Reprojection RMS (cam_1): no observations\n" in calibrator.format_results()


def test_too_few_shared_frames(charuco_rig, capfd):
    lists = [images[:5] for images in charuco_rig.image_lists()]
    lists[2][1] = lists[2][3] = np.full_like(lists[2][1], 128)
    result = quietly(_vantel.MultiCameraCalibrator(TARGET, 4).calibrate, lists,
                     *true_intrinsics(charuco_rig))
    err = capfd.readouterr().err
    assert ("[vantel][ERROR] [MultiCameraCalibrator] Only 3 shared detections between reference camera 0 and camera "
            "2; skipping pair.\n") in err
    assert not result.ok and result.reference_T_camera_list[2].shape == (0, 0)
    assert all(result.reference_T_camera_list[k].shape == (4, 4) for k in (0, 1, 3))


def matrix_text(matrix):
    """A float64 matrix as OpenCV's default formatter prints it."""
    if matrix.size == 0:
        return "[]"
    return "[" + ";\n ".join(", ".join(format(x, ".16g") for x in row) for row in np.atleast_2d(matrix)) + "]"


def test_report_of_a_calibrated_rig(charuco_rig, capsys):
    calibrator = _vantel.MultiCameraCalibrator(TARGET, 4, 2)
    result = calibrator.calibrate(charuco_rig.image_lists(), *true_intrinsics(charuco_rig))
    printed = capsys.readouterr().out
    rule = "=" * 70
    expected = f"\n{rule}\nPER-CAMERA INTRINSICS\n{rule}\n"
    for i in range(4):
        expected += (f"\n[cam_{i}]  intrinsic RPE: nan px\nK =\n{matrix_text(result.intrinsic_matrices[i])}\n"
                     f"d = {matrix_text(result.distortion_coefficients[i])}\n")
    expected += f"\n{rule}\nEXTRINSICS  -  reference_T_camera  (reference = cam_2)\n{rule}\n"
    for i in range(4):
        expected += ("\n[cam_2]  identity (reference)\n" if i == 2 else
                     f"\n[cam_{i}]  stereo RMS vs reference: {result.pair_reprojection_errors[i]:g} px\n"
                     f"reference_T_cam_{i} =\n{matrix_text(result.reference_T_camera_list[i])}\n")
    report = calibrator.last_triangulation()
    expected += (f"\n{rule}\nTRIANGULATION VALIDATION  (frame 0)\n{rule}\n  Expected square length: 30 mm\n"
                 f"  Co-planarity (3rd SV):  {report.plane_thickness_m * 1000:g} mm\n")
    expected += "".join(f"  Reprojection RMS (cam_{c}): {report.rms_per_camera[c]:g} px over 48 corners\n"
                        for c in range(4))
    assert printed == expected == calibrator.format_results()
