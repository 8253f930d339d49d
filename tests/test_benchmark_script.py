"""The benchmark's plain cv2 script does the module's work: same views found, same calibration."""

import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import _vantel as v
from vantel_tools.rendering import intrinsic_views
from vantel_tools.rendering.defaults import CHARUCO, CHESSBOARD, GRID, SMALL_CAMERA

SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "benchmarks" / "cv2_intrinsic.py"
SYSTEM_PYTHON = "/usr/bin/python3"

TARGETS = {
    "chessboard": (CHESSBOARD, v.ChessboardTarget((9, 6), CHESSBOARD.square),
                   {"target": "chessboard", "size": [9, 6], "square": CHESSBOARD.square}),
    "charuco": (CHARUCO, v.CharucoTarget(7, 5, 0.04, 0.03, 0),
                {"target": "charuco", "squares": [7, 5], "square": 0.04, "marker": 0.03, "dictionary": 0}),
    "grid": (GRID, v.ArucoTarget((5, 4), 0.04, 0.01, 0),
             {"target": "grid", "markers": [5, 4], "length": 0.04, "separation": 0.01, "dictionary": 0}),
}


def system_cv2_available():
    try:
        return subprocess.run([SYSTEM_PYTHON, "-c", "import cv2"], capture_output=True).returncode == 0
    except OSError:
        return False


# The system build is the module's own OpenCV: results must match to rounding. pip's cv2 is
# another version whose ChArUco and marker corners differ by up to a pixel, so on these few
# small views only the same views and a camera matrix within 1 % are expected there.
INTERPRETERS = [
    pytest.param(sys.executable, 1e-2, id="pip-cv2"),
    pytest.param(SYSTEM_PYTHON, 1e-9, id="system-cv2",
                 marks=pytest.mark.skipif(not system_cv2_available(), reason="python3-opencv not installed")),
]


@pytest.fixture(scope="module")
def jobs(tmp_path_factory):
    """Per target: (job file, module result). A blank frame among the views must be skipped by both."""
    made = {}
    folder = tmp_path_factory.mktemp("jobs")
    for name, (board, target, job) in TARGETS.items():
        images = [view.image for view in intrinsic_views(board, SMALL_CAMERA, n_views=8, seed=5, supersample=2)]
        images.insert(3, np.full_like(images[0], 128))
        path = folder / f"{name}.npz"
        np.savez(path, job=json.dumps(job), **{f"image_{k:04d}": image for k, image in enumerate(images)})
        made[name] = path, v.IntrinsicCalibrator(target).calibrate(images)
    return made


@pytest.mark.parametrize("interpreter, tolerance", INTERPRETERS)
@pytest.mark.parametrize("name", TARGETS)
def test_script_matches_module(jobs, name, interpreter, tolerance):
    path, result = jobs[name]
    completed = subprocess.run([interpreter, str(SCRIPT), str(path), "--runs", "2"], capture_output=True,
                               text=True, check=True)
    report = json.loads(completed.stdout)
    assert result.ok
    assert report["indices"] == list(result.successful_indices)
    assert 3 not in report["indices"]
    assert len(report["seconds"]) == 2
    np.testing.assert_allclose(report["camera_matrix"], result.intrinsic_matrix, rtol=tolerance)


def load_driver():
    import importlib.util
    driver_spec = importlib.util.spec_from_file_location("bench_driver", SCRIPT.with_name("intrinsic.py"))
    driver = importlib.util.module_from_spec(driver_spec)
    driver_spec.loader.exec_module(driver)
    return driver


@pytest.mark.parametrize("interpreter, reason", [
    ("/nonexistent/python3", "not found"),
    (sys.executable, "no shared core"),  # pip's cv2 carries its own OpenCV
])
def test_same_build_comparison_refuses_another_opencv(interpreter, reason):
    driver = load_driver()
    found, _, why = driver.system_interpreter(driver.module_opencv_core(), interpreter)
    assert found is None and reason in why


@pytest.mark.skipif(not system_cv2_available(), reason="python3-opencv not installed")
def test_system_cv2_is_the_module_build():
    driver = load_driver()
    core = driver.module_opencv_core()
    assert "libopencv_core" in core
    assert driver.system_interpreter(core)[0] == SYSTEM_PYTHON


@pytest.mark.parametrize("interpreter, tolerance_m", [
    pytest.param(sys.executable, 2e-3, id="pip-cv2"),
    pytest.param(SYSTEM_PYTHON, 1e-9, id="system-cv2",
                 marks=pytest.mark.skipif(not system_cv2_available(), reason="python3-opencv not installed")),
])
def test_multi_camera_script_places_the_cameras_as_the_module(charuco_rig, tmp_path, interpreter, tolerance_m):
    job = {"target": "charuco", "squares": [9, 7], "square": 0.03, "marker": 0.022, "dictionary": 0}
    path = tmp_path / "rig.npz"
    np.savez(path, job=json.dumps(job), images=np.array(charuco_rig.image_lists()))
    completed = subprocess.run([interpreter, str(SCRIPT.with_name("cv2_multi_camera.py")), str(path)],
                               capture_output=True, text=True, check=True)
    report = json.loads(completed.stdout)
    calibrator = v.MultiCameraCalibrator(v.CharucoTarget(9, 7, 0.03, 0.022, 0), 4)
    result = calibrator.calibrate(charuco_rig.image_lists())
    for ours, theirs in zip(result.reference_T_camera_list, report["transforms"], strict=True):
        np.testing.assert_allclose(np.asarray(theirs)[:3, 3], ours[:3, 3], atol=tolerance_m)
