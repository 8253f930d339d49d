"""The `vantel` commands on real photographs: their figures against plain OpenCV and the sets' measured values."""

import json
import re

import cv2
import numpy as np
import pytest

import _vantel
from vantel_tools import cli
from vantel_tools.target_text import parse_target

RMS_LINE = re.compile(r"Calibrated from (\d+) of (\d+) images: RMS reprojection error (\d+\.\d+) px over (\d+) corners")
CONVERGED = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 200, 1e-12)

# folder, target, the RMS measured on the set with plain OpenCV (PROVENANCE.md)
SETS = {
    "charuco_tutorial": ("opencv_charuco_5x7_tutorial/images", "charuco:5x7:0.04:0.02:DICT_6X6_250", 0.1838),
    "robot": ("rwhe_kuka2_eye_in_hand", "chessboard:24x17:0.015", 0.142),
    "aruco_grid": ("aruco_gridboard_4x5_abakisita/images", "aruco:4x5:0.0375:0.005:DICT_6X6_1000", 0.918),
    "stereo_left": ("opencv_stereo_chessboard_9x6/left", "chessboard:9x6:0.025", 0.4087),
}


def folder_of(shared_data, relative):
    folder = shared_data / relative
    if not folder.is_dir():
        pytest.skip(f"{relative} not present")
    return folder


@pytest.mark.parametrize("name", list(SETS))
def test_intrinsic_rms_matches_plain_opencv(shared_data, tmp_path, capsys, name):
    relative, target, measured = SETS[name]
    folder = folder_of(shared_data, relative)
    assert cli.main(["intrinsic", str(folder), "--target", target, "-o", str(tmp_path)]) == 0
    used, total, printed, corners = RMS_LINE.search(capsys.readouterr().out).groups()
    images = [cv2.imread(str(p)) for p in sorted(folder.iterdir()) if p.suffix.lower() in (".png", ".jpg")]
    detections = _vantel.IntrinsicCalibrator(parse_target(target)).find_corners(images)
    assert (int(used), int(total)) == (len(detections.successful_indices), len(images))
    assert int(corners) == sum(len(points) for points in detections.image_points)
    size = images[0].shape[1::-1]
    rms = cv2.calibrateCamera(detections.object_points, detections.image_points, size, None, None,
                              criteria=CONVERGED)[0]
    assert float(printed) == pytest.approx(rms, rel=2e-3)
    assert float(printed) == pytest.approx(measured, rel=0.02)
    assert json.loads((tmp_path / "calibration_summary.json").read_text())["rms_reprojection_error_px"] == \
        pytest.approx(float(printed), abs=5e-5)


def test_stereo_pair_in_folders_of_its_own_names(shared_data, tmp_path, capsys):
    source = folder_of(shared_data, "opencv_stereo_chessboard_9x6")
    rig = tmp_path / "rig"
    rig.mkdir()
    # left01.jpg pairs with right01.jpg: by the number in the name.
    (rig / "cam_00").symlink_to(source / "left")
    (rig / "cam_01").symlink_to(source / "right")
    assert cli.main(["rig", str(rig), "--target", "chessboard:9x6:0.025", "-o", str(tmp_path / "out")]) == 0
    summary = json.loads((tmp_path / "out" / "rig_summary.json").read_text())
    left, right = summary["cameras"]
    assert (left["rms_px"], right["rms_px"]) == (pytest.approx(0.4087, abs=3e-3), pytest.approx(0.4586, abs=3e-3))
    assert right["stereo_rms_px"] == pytest.approx(0.4478, abs=3e-3)
    assert right["baseline_m"] == pytest.approx(0.0836, abs=5e-4) and right["rotation_deg"] < 0.5
    out = capsys.readouterr().out
    assert re.search(rf"^cam_01 +13 +702 +{right['rms_px']:.3f} ", out, re.MULTILINE)


def test_four_camera_rig_reads_its_jpeg_folders(shared_data, tmp_path, capsys):
    folder = folder_of(shared_data, "caliscope_charuco_4cam")
    status = cli.main(["rig", str(folder), "--target", "charuco:4x5:0.054:0.0405:DICT_4X4_1000", "-o",
                       str(tmp_path)])
    out = capsys.readouterr().out
    summary = json.loads((tmp_path / "rig_summary.json").read_text())
    # Each camera's RMS over its 16 frames, as plain OpenCV measured it on this set.
    assert [camera["rms_px"] for camera in summary["cameras"]] == pytest.approx([0.120, 0.180, 0.355, 0.382], abs=6e-3)
    unplaced = [camera["camera"] for camera in summary["cameras"] if not camera["placed"]]
    assert status == (1 if unplaced else 0)
    for name in unplaced:
        assert re.search(rf"^{name} .* NOT PLACED: too few corners shared with the reference$", out, re.MULTILINE)


@pytest.fixture
def robot_set(shared_data):
    return folder_of(shared_data, "rwhe_kuka2_eye_in_hand")


def test_hand_eye_on_the_robot_set(robot_set, tmp_path, capsys):
    assert cli.main(["hand-eye", str(robot_set), "--target", "chessboard:24x17:0.015", "-o", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert out.startswith("Solved with TSAI from 24 of 24 images: camera RMS reprojection error 0.14")
    summary = json.loads((tmp_path / "hand_eye_summary.json").read_text())
    # tcp_T_camera measured on this set with plain OpenCV (TSAI).
    np.testing.assert_allclose(summary["translation_m"], [0.014529, -0.107956, -0.081936], atol=2e-4)


def test_method_comparison_on_the_robot_set_judges_translation(robot_set, tmp_path, capsys):
    argv = ["hand-eye", str(robot_set), "--target", "chessboard:24x17:0.015", "--compare", "-o", str(tmp_path)]
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    comparison = json.loads((tmp_path / "method_comparison.json").read_text())
    # The rotations agree to a tenth of a degree while one method is over 30 mm away.
    assert comparison["rotation_spread_deg"] < 0.1 and comparison["translation_spread_mm"] > 30
    assert comparison["agree"] is False and comparison["verdict"] in out and "The 5 methods agree" not in out
    assert "4 of 5 methods agree" in comparison["verdict"] and "ANDREFF 3" in comparison["verdict"]
    assert len(out.splitlines()) < 20


@pytest.mark.parametrize("target, hint", [
    ("charuco:5x7:0.04:0.02:DICT_4X4_50", "hint: the markers are DICT_6X6_50 or DICT_6X6_100 or DICT_6X6_250 or "
                                          "DICT_6X6_1000"),
    ("charuco:7x5:0.04:0.02:DICT_6X6_250", "hint: the board is 5x7 squares, not 7x5: swap the two counts"),
])
def test_charuco_mistakes_on_real_photographs(shared_data, tmp_path, capsys, target, hint):
    folder = folder_of(shared_data, "opencv_charuco_5x7_tutorial/images")
    assert cli.main(["intrinsic", str(folder), "--target", target, "-o", str(tmp_path)]) == 1
    assert hint in capsys.readouterr().out
