"""Multi-camera calibrator: input checks, the whole report text and the faults it must not have."""

import subprocess
import sys

import numpy as np
import pytest

import _vantel

TARGET = _vantel.CharucoTarget(9, 7, 0.03, 0.022, 0)


def true_intrinsics(scene):
    return [camera.K for camera in scene.cameras], [camera.dist for camera in scene.cameras]


def blank(count):
    return [np.zeros((48, 64, 3), np.uint8) for _ in range(count)]


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
LISTS, KS, DS = [blank(2)] * 3, [np.eye(3)] * 3, [np.zeros(5)] * 3
BAD_K = "intrinsic_matrices[{}] must be a finite 3x3 matrix"
BAD_D = "distortion_coefficients[{}] must hold 0, 4, 5, 8, 12 or 14 finite values"


@pytest.mark.parametrize("call, message, log", [
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, 1), "num_cameras must be >= 2, got 1", ""),
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, -4), "num_cameras must be >= 2, got -4", ""),
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, 3, 3), "reference_index out of range for 3 cameras", ""),
    (lambda c: _vantel.MultiCameraCalibrator(TARGET, 2, -1), "reference_index out of range for 2 cameras", ""),
    (lambda c: c.calibrate(LISTS[:2]), "expected 3 image lists, got 2", ""),
    (lambda c: c.calibrate([blank(5), blank(5), blank(4)]), "all cameras must have the same number of frames", ""),
    (lambda c: c.calibrate([[], [], []]), "empty image lists", ""),
    # Supplied intrinsics pass straight through the stereo stage: NaN or a wrong shape would come back placed.
    (lambda c: c.calibrate(LISTS, KS, DS[:2]), "expected 3 intrinsic matrices/distortion coefficient sets", ""),
    (lambda c: c.calibrate(LISTS, [KS[0], np.eye(2), KS[0]], DS), BAD_K.format(1), ""),
    (lambda c: c.calibrate(LISTS, KS[:2] + [np.full((3, 3), np.nan)], DS), BAD_K.format(2), ""),
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
        calibrator.triangulate([blank(1)] * cameras)
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
