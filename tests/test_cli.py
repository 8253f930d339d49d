"""The `vantel` command line on simulated folders: records, plots, exit status, one-line errors."""

import contextlib
import json
import os
import pty
import shutil
import subprocess
import sys
import termios

import cv2
import numpy as np
import pytest

import _vantel
from measures import transform_error
from vantel_tools import cli
from vantel_tools.target_text import TargetTextError, parse_target

SCRIPT = os.path.join(os.path.dirname(sys.executable), "vantel")
TARGET = ["--target", "chessboard:9x6:0.03"]


@pytest.mark.parametrize("text, kind, fields", [
    ("chessboard:9x6:0.025", _vantel.ChessboardTarget, {"size": (9, 6), "square_size": 0.025}),
    ("charuco:10x8:0.03:0.022:DICT_4X4_50", _vantel.CharucoTarget,
     {"squares_x": 10, "squares_y": 8, "square_length": 0.03, "marker_length": 0.022, "aruco_dict_id": 0}),
    ("aruco:5x4:0.04:0.01:DICT_6X6_250", _vantel.ArucoTarget,
     {"board_size": (5, 4), "marker_length": 0.04, "marker_separation": 0.01, "aruco_dict_id": 10}),
])
def test_target_arguments(text, kind, fields):
    target = parse_target(text)
    # Lengths cross as doubles: exactly the decimal read.
    assert type(target) is kind and {name: getattr(target, name) for name in fields} == fields


@pytest.mark.parametrize("text, message", [
    ("board:9x6:0.02", "target kind must be chessboard, charuco or aruco, got 'board'"),
    ("chessboard:9x6", "a chessboard target is chessboard:COLSxROWS:SQUARE (inner corners, metres), "
                       "got 'chessboard:9x6'"),
    ("chessboard:9by6:0.02", "corner grid must be two positive whole numbers like 9x6, got '9by6'"),
    ("chessboard:0x6:0.02", "corner grid must be two positive whole numbers like 9x6, got '0x6'"),
    ("chessboard:9x6:-1", "square size must be a positive length in metres, got '-1'"),
    ("charuco:10x8:0.03:nan:DICT_4X4_50", "marker size must be a positive length in metres, got 'nan'"),
    ("charuco:10x8:0.03:0.04:DICT_4X4_50", "marker size must be smaller than the square size, got '0.04'"),
    ("charuco:10x8:0.03:0.03:DICT_4X4_50", "marker size must be smaller than the square size, got '0.03'"),
    ("aruco:5x4:0.04:0.01:DICT_9X9", "dictionary must be one of "),
])
def test_bad_target_arguments_name_the_wrong_part(text, message, tmp_path, capsys):
    with pytest.raises(TargetTextError) as caught:
        parse_target(text)
    assert str(caught.value).startswith(message)
    assert cli.main(["intrinsic", str(tmp_path), "--target", text]) == 2
    assert capsys.readouterr().err == f"vantel intrinsic: error: --target: {caught.value}\n"


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    root = tmp_path_factory.mktemp("simulated")
    for kind, views, extra in [("intrinsic", 10, []), ("hand-eye", 10, []), ("rig", 6, ["--intrinsic-views", "8"])]:
        assert cli.main(["simulate", kind, str(root / kind), "--views", str(views), "--seed", "3", *extra]) == 0
    return root


def truth(folder):
    return json.loads((folder / "truth.json").read_text())


def assert_plots(folder, names):
    for name in names:
        image = cv2.imread(str(folder / name), cv2.IMREAD_GRAYSCALE)
        assert image is not None and image.shape[0] > 200 and image.std() > 10, name


def test_intrinsic_command_calibrates_and_names_the_images_it_skips(simulated, tmp_path, capsys):
    folder = shutil.copytree(simulated / "intrinsic", tmp_path / "images")
    (folder / "notes.txt").write_text("not an image")
    cv2.imwrite(str(folder / "image_05.png"), np.full((960, 1280, 3), 128, np.uint8))
    (folder / "image_99.png").write_bytes(b"not a png")
    assert cli.main(["intrinsic", str(folder), "--target", truth(folder)["target"], "-o", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "skipped image_99.png: not a readable image\n" in out and "skipped image_05.png: target not found\n" in out
    assert "Calibrated from 9 of 10 images: RMS reprojection error " in out and "Views above" not in out
    assert truth(folder)["noise_px"] == 0.2, "the simulator's documented default"
    record = _vantel.io.load_multi_camera_calibration(tmp_path / "intrinsic_calibration.json")
    np.testing.assert_allclose(record.intrinsic_matrices[0], truth(folder)["camera"]["K"], rtol=0.02)
    assert_plots(tmp_path, ["per_view_errors.png", "corner_coverage.png", "residuals.png", "undistorted.png"])


@pytest.mark.parametrize("extra", [[], ["--compare"]], ids=["method", "compare"])
def test_hand_eye_command(simulated, tmp_path, capsys, extra):
    folder = simulated / "hand-eye"
    assert cli.main(["hand-eye", str(folder), "--target", truth(folder)["target"], "-o", str(tmp_path)] + extra) == 0
    out = capsys.readouterr().out
    if extra:
        # One table, not the five single-method reports (those go to a file).
        assert out.startswith("tcp_T_camera by each method") and "The 5 methods agree" in out
        assert "HAND-EYE RESULTS" not in out and "HAND-EYE RESULTS" in (tmp_path / "method_reports.txt").read_text()
        assert set(json.loads((tmp_path / "method_comparison.json").read_text())["methods"]) == {
            "ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"}
        assert_plots(tmp_path, ["method_comparison.png"])
        return
    assert out.startswith("Solved with TSAI from 10 of 10 images: camera RMS reprojection error ")
    assert "HAND-EYE RESULTS" in (tmp_path / "hand_eye_report.txt").read_text()
    record = _vantel.io.load_hand_eye_result(tmp_path)
    translation, rotation = transform_error(record.tcp_T_camera_list[0], np.array(truth(folder)["tcp_T_camera"]))
    assert translation < 2e-3 and rotation < 0.3
    assert_plots(tmp_path, ["target_consistency.png", "rotation_variety.png"])


def test_rig_command(simulated, tmp_path, capsys):
    folder = simulated / "rig"
    assert cli.main(["rig", str(folder), "--target", truth(folder)["target"], "--subsets", "3", "-o",
                     str(tmp_path)]) == 0
    out = capsys.readouterr().out
    # The whole rig once; subsets named by the rig's own camera folders.
    assert "Triangulation of frame 0: board flatness " in out and out.count("(reference)") == 1
    assert out.count("Subset (cam_00, cam_01, cam_02): ok") == 1 and "Subset (cam_01, cam_02, cam_03): ok" in out
    record = _vantel.io.load_multi_camera_calibration(tmp_path)
    for ours, true in zip(record.reference_T_camera_list[1:], truth(folder)["reference_T_camera"][1:]):
        translation, rotation = transform_error(ours, np.array(true))
        assert translation < 0.01 and rotation < 1.0
    assert_plots(tmp_path, ["rig_layout.png"])


def test_rig_command_with_own_intrinsics_and_refinement(simulated, tmp_path, capsys):
    folder = simulated / "rig"
    assert cli.main(["rig", str(folder), "--target", truth(folder)["target"], "--refine", "--intrinsics",
                     str(folder / "intrinsics"), "-o", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert [line.split(":")[0] for line in out.splitlines() if "intrinsics from 8 of 8 images" in line] == [
        "cam_00", "cam_01", "cam_02", "cam_03"]
    assert "Joint refinement: RMS " in out
    record = _vantel.io.load_multi_camera_calibration(tmp_path)
    cameras = truth(folder)["cameras"]
    for ours, true in zip(record.intrinsic_matrices, cameras):
        np.testing.assert_allclose(ours, true["K"], atol=0.01 * true["K"][0][0])
    for ours, true in zip(record.reference_T_camera_list[1:], truth(folder)["reference_T_camera"][1:]):
        translation, rotation = transform_error(ours, np.array(true))
        assert translation < 5e-3 and rotation < 1.0
    assert_plots(tmp_path, ["rig_layout.png"])


@pytest.mark.parametrize("argv, message", [
    (["hand-eye", "{missing}", *TARGET], "dataset {missing} is not a folder"),
    (["rig", "{unsynced}", *TARGET, "--intrinsics", "{missing}"], "intrinsics folder {missing} is not a folder"),
    (["simulate", "intrinsic", "{empty}", "--intrinsic-views", "3"], "--intrinsic-views is for rig scenes only"),
    (["hand-eye", "{empty}", *TARGET], "cannot read the dataset {empty}: "),
    (["rig", "{empty}", *TARGET], "{empty} holds 0 camera folder(s) cam_00, cam_01, ...; a rig needs at least 2"),
    (["rig", "{empty}", *TARGET, "--subsets", "1,2"],
     "--subsets must be camera counts of at least 2 separated by commas, got '1,2'"),
    (["intrinsic", "{empty}", *TARGET], "no readable images in {empty}"),
    (["rig", "{unsynced}", *TARGET, "--reference", "2"], "--reference must be a camera index from 0 to 1, got 2"),
    (["simulate", "rig", "{empty}", "--views", "0"], "--views must be at least 1, got 0"),
    (["simulate", "rig", "{empty}", "--noise", "6"], "--noise must be between 0 and 5 px, got 6"),
    (["rig", "{unsynced}", *TARGET, "--subsets", "99999999999"], "--subsets: the rig has 2 cameras, got '99999999999'"),
    (["intrinsic", "{unsynced}/cam_00", *TARGET, "--threshold", "nan"],
     "--threshold must be a positive number of pixels, got 'nan'"),
    (["intrinsic", "{unsynced}/cam_00", "--target", "chessboard:99999x99999:0.03"],
     "ChessboardTarget: size (99999, 99999) must have positive sides and at most 2147483647 corners"),
])
def test_bad_folders_and_arguments_are_one_line_errors(tmp_path, capsys, argv, message):
    paths = {"missing": tmp_path / "missing", "empty": tmp_path / "empty", "unsynced": tmp_path / "unsynced"}
    paths["empty"].mkdir()
    frame = np.zeros((8, 8, 3), np.uint8)
    for index in (0, 1):
        _vantel.io.save_multi_camera_capture(paths["unsynced"], [frame, frame], index)
    (paths["unsynced"] / "cam_01" / "image_01.png").unlink()
    argv = [part.format(**paths) for part in argv]
    assert cli.main(argv) == 2
    # The module's own log lines may come first; the error is one line, the last.
    lines = capsys.readouterr().err.splitlines()
    assert lines[-1].startswith(f"vantel {argv[0]}: error: {message.format(**paths)}")
    assert sum(": error: " in line for line in lines) == 1


def test_progress_bar_on_a_terminal_only(simulated, tmp_path, capsys):
    argv = ["intrinsic", str(simulated / "intrinsic"), *TARGET, "-o", str(tmp_path), "--threshold", "0.001"]
    main, terminal = pty.openpty()
    termios.tcsetwinsize(terminal, (24, 100))
    status = subprocess.run([SCRIPT, *argv], stderr=terminal, stdout=subprocess.DEVNULL, timeout=120).returncode
    os.close(terminal)
    shown = b""
    # Reading past what the closed terminal holds raises instead of returning nothing.
    with contextlib.suppress(OSError):
        while chunk := os.read(main, 65536):
            shown += chunk
    os.close(main)
    assert status == 0 and b"Finding corners" in shown and b"/10" in shown and b"Reading images" in shown
    # Log lines written while a bar is shown start on a line of their own, never after the bar's text.
    starts = [k for k in range(len(shown)) if shown.startswith(b"[vantel]", k)]
    assert starts and all(shown[k - 1:k] in (b"\r", b"\n") for k in starts), shown
    assert cli.main(argv) == 0
    out, err = capsys.readouterr()
    assert "Finding corners" not in err
    names = ", ".join(f"image_{k:02d}.png" for k in range(10))
    assert (f"Views above the 0.001 px per-view threshold (still in the calibration; --drop-flagged calibrates "
            f"again without them): {names}\n") in out


def blanked_camera(simulated, tmp_path):
    folder = shutil.copytree(simulated / "rig", tmp_path / "rig")
    for path in (folder / "cam_01").glob("*.png"):
        cv2.imwrite(str(path), np.full_like(cv2.imread(str(path)), 128))
    return folder


def failing_plot(*args):
    raise OSError(28, "No space left on device", args[0])


# A calibration that raises, or a write that fails: one line and status 1, never a traceback.
@pytest.mark.parametrize("case, message", [
    ("no-board", "[MultiCameraCalibrator] Intrinsic calibration failed for camera 1"),
    ("mixed-sizes", "[MultiCameraCalibrator] Intrinsic calibration failed for camera 1"),
    ("full-disk", "No space left on device: {out}/rig_layout.png"),
])
def test_failed_calibrations_and_writes_are_one_line_errors(simulated, tmp_path, capsys, monkeypatch, case, message):
    folder = blanked_camera(simulated, tmp_path) if case == "no-board" else shutil.copytree(simulated / "rig",
                                                                                           tmp_path / "rig")
    if case == "mixed-sizes":
        path = str(folder / "cam_01" / "image_02.png")
        cv2.imwrite(path, cv2.resize(cv2.imread(path), None, fx=0.5, fy=0.5))
    if case == "full-disk":
        monkeypatch.setattr("vantel_tools.plots.rig_layout", failing_plot)
    out = tmp_path / "out"
    assert cli.main(["rig", str(folder), "--target", truth(folder)["target"], "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert err.splitlines()[-1] == f"vantel rig: error: {message.format(out=out)}" and "Traceback" not in err


def test_a_failed_rig_run_keeps_the_good_record(simulated, tmp_path, capsys):
    good, out = simulated / "rig", tmp_path / "out"
    argv = ["--target", truth(good)["target"], "--intrinsics", str(good / "intrinsics"), "-o", str(out)]
    assert cli.main(["rig", str(good), *argv]) == 0
    record = (out / "multi_camera_calibration.json").read_text()
    capsys.readouterr()
    # Camera 1 sees no board: with its intrinsics given it is left unplaced and the run fails.
    assert cli.main(["rig", str(blanked_camera(simulated, tmp_path)), *argv]) == 1
    failed = out / "multi_camera_calibration.failed.json"
    assert f"Failed record: {failed}\n" in capsys.readouterr().out
    assert (out / "multi_camera_calibration.json").read_text() == record
    assert sorted(p.name for p in out.iterdir() if "multi_camera" in p.name) == [
        "multi_camera_calibration.failed.json", "multi_camera_calibration.json"]
    assert not [p for p in out.iterdir() if p.name.startswith(".")], "no scratch folder is left"
    shapes = [[m.shape for m in _vantel.io.load_multi_camera_calibration(path).reference_T_camera_list]
              for path in (out / "multi_camera_calibration.json", failed)]
    assert shapes == [[(4, 4)] * 4, [(4, 4), (0, 0), (4, 4), (4, 4)]]
