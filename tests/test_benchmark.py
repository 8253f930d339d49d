"""Seeded cross-validation, the hand-eye round trip, the table, the JSON file; the plain cv2 benchmark scripts."""

import json
import math
import os
import pathlib
import re
import runpy
import shutil
import subprocess
import sys

import cv2
import numpy as np
import pytest

import _vantel
import _vantel_testhooks as hooks
from vantel_tools.rendering import defaults, hand_eye_scene, intrinsic_views

CHESSBOARD = _vantel.ChessboardTarget((9, 6), defaults.CHESSBOARD.square)
TIMESTAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00"
MASK = 0xFFFFFFFF
WARNING = "[vantel][WARNING] [Benchmark] "
MISSING = WARNING + "hand_eye_roundtrip: camera_T_target_list missing  -  cannot recover base_T_board; skipping.\n"


def shuffled(count, seed):
    """Fisher-Yates with std::mt19937 draws (numpy's legacy seeding is the standard's) and rejection sampling."""
    order = list(range(count))
    draws = iter(np.random.RandomState(seed).randint(0, 2**32, 2 * count + 8, dtype=np.uint32).tolist())
    for i in range(1, count):
        bound, r = i + 1, next(draws)
        while r // bound >= MASK // bound and MASK % bound != bound - 1:
            r = next(draws)
        order[i], order[r % bound] = order[r % bound], order[i]
    return order


def folds(count, n_splits, seed):
    """(training, held-out) image indices per fold, both in shuffled order."""
    order, size = shuffled(count, seed), max(1, count // max(n_splits, 1))
    return [(order[:k * size] + order[(k + 1) * size:], order[k * size:(k + 1) * size])
            for k in range(max(n_splits, 0)) if k * size < count]


def test_reference_generator_is_the_standard_one():
    # The 10000th draw from a default-seeded std::mt19937, as the C++ standard requires.
    assert np.random.RandomState(5489).randint(0, 2**32, 10000, dtype=np.uint32)[-1] == 4123659995


# One fold holds out the whole shuffled order.
@pytest.mark.parametrize("count, n_splits, seed", [
    (10, 3, 0), (6, 5, 0), (4, 2, 11), (24, 5, 3), (7, 7, 5), (5, 9, 2), (100, 7, 123456), (10, 0, 0), (10, -2, 0),
    (0, 1, 0), (1, 1, 7), (2, 1, 2**31), (1000, 1, 1), (1000, 1, 2**32 - 1),
])
def test_folds_shuffle_as_the_given_procedure(count, n_splits, seed):
    ours = [tuple(map(list, fold)) for fold in hooks.cross_validation_folds(count, n_splits, seed)]
    assert ours == folds(count, n_splits, seed)
    assert hooks.shuffled_image_order(count, seed) == shuffled(count, seed)


def result_fields(name="OpenCV", rpe=0.25, held=0.5, roundtrip=-1.0, camera_matrix=np.eye(3),
                  dist=np.zeros((1, 5)), timestamp="2026-01-02T03:04:05.000006+00:00", count=12):
    return (name, rpe, held, roundtrip, camera_matrix, dist, timestamp, count)


@pytest.mark.parametrize("results, rows", [
    ([], ""),
    ([result_fields(held=math.inf, roundtrip=math.inf)], "OpenCV                        0.25   inf   inf\n"),
    ([result_fields(name="B" * 30, rpe=123.456, held=0.1234567, roundtrip=0.0)], "B" * 30 + "123.46  0.12  0.00\n"),
    ([result_fields(name="second"), result_fields(name="first", roundtrip=1.005)],
     "second                        0.25  0.50     -\nfirst                         0.25  0.50  1.00\n"),
], ids=["empty", "infinite", "wide", "list-order"])
def test_table(results, rows):
    top = f"{'=' * 64}\nBENCHMARK SUMMARY\n{'=' * 64}\nBackend                        RPE  Held    RT\n{'-' * 64}\n"
    assert hooks.format_benchmark_results(results) == top + rows + "-" * 64 + "\n"


# 2.5e-6 * 1e6 is 2.5 exactly in double: halves go away from zero, where banker's rounding would give 2e-6.
@pytest.mark.parametrize("value, written", [
    (0.1234567, 0.123457), (2.5e-6, 3e-6), (-2.5e-6, -3e-6), (1e300, 1e300), (math.inf, None), (math.nan, None),
])
def test_json_numbers(tmp_path, value, written):
    hooks.save_benchmark_json([result_fields(rpe=value, held=value)], tmp_path / "bench.json")
    entry = json.loads((tmp_path / "bench.json").read_text())["results"][0]
    assert (entry["reprojection_error"], entry["held_out_reprojection_error"]) == (written, written)


def test_json_document(tmp_path, capsys):
    path = tmp_path / "bench.json"
    hooks.save_benchmark_json([], path)
    assert re.fullmatch(r'\{\n  "results": \[\],\n  "run_timestamp": "' + TIMESTAMP + r'"\n\}', path.read_text())
    path.write_text("x" * 100000)
    hooks.save_benchmark_json([
        result_fields(camera_matrix=np.array([[800, 0, 320], [0, 801, 240], [0, 0, 1]], np.float32),
                      dist=np.array([[0.1], [-0.2], [0.0], [0.0], [0.05]])),
        result_fields(name="second", roundtrip=0.3333333, camera_matrix=np.zeros((0, 0)), dist=np.zeros((0, 0)),
                      count=0)], path)
    assert capsys.readouterr().err == f"[vantel][INFO] [Benchmark] Results written to {path}\n" * 2
    assert [p.name for p in tmp_path.iterdir()] == ["bench.json"]  # replaced whole, no temporary file left behind
    one, two = json.loads(path.read_text())["results"]
    assert one == {"backend_name": "OpenCV", "hand_eye_roundtrip_error": None,
                   "camera_matrix": [[800.0, 0.0, 320.0], [0.0, 801.0, 240.0], [0.0, 0.0, 1.0]],
                   "dist_coeffs": [0.1, -0.2, 0.0, 0.0, 0.05], "held_out_reprojection_error": 0.5, "image_count": 12,
                   "reprojection_error": 0.25, "timestamp": "2026-01-02T03:04:05.000006+00:00"}
    assert (two["camera_matrix"], two["dist_coeffs"], two["image_count"], two["hand_eye_roundtrip_error"]) == (
        [], [], 0, 0.333333)


@pytest.mark.parametrize("where", ["no/bench.json", "file/bench.json", "folder"])
def test_json_that_cannot_be_opened_leaves_everything_as_it_was(tmp_path, capsys, where):
    (tmp_path / "file").write_text("keep")
    (tmp_path / "folder").mkdir()
    path, before = tmp_path / where, sorted(tmp_path.rglob("*"))
    with pytest.raises(RuntimeError, match=f"^{re.escape(f'[Benchmark] cannot open {path} for writing')}$"):
        _vantel.CalibrationBenchmark.save_json([], str(path))
    assert sorted(tmp_path.rglob("*")) == before and (tmp_path / "file").read_text() == "keep"
    assert capsys.readouterr().err == ""


@pytest.fixture(scope="module")
def robot_scene():
    scene = hand_eye_scene(defaults.CHESSBOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                           n_poses=10, seed=2, max_angle_deg=35, position_noise_px=0.1)
    return [view.image for view in scene.views], scene.robot_T_tcp


def benchmark_line(result):
    roundtrip = "n/a" if result.hand_eye_roundtrip_error < 0 else f"{result.hand_eye_roundtrip_error:f}"
    return (f"[vantel][INFO] [Benchmark] {result.backend_name}: rpe={result.reprojection_error:f}px  "
            f"held-out={result.held_out_reprojection_error:f}px  roundtrip={roundtrip}\n")


def held_out_errors(images, target, view):
    """The benchmark's held-out error and the same over the given procedure's folds, posed and projected with cv2."""
    errors = []
    for training, held_out in folds(len(images), 3, 8):
        fold = _vantel.IntrinsicCalibrator(target).calibrate([images[i] for i in training])
        K, D = fold.intrinsic_matrix, fold.distortion_coefficients
        for objects, corners in map(view, held_out):
            _, rvec, tvec = cv2.solvePnP(objects, corners, K, D)
            projected = cv2.projectPoints(objects, rvec, tvec, K, D)[0]
            errors.append(np.linalg.norm(corners.reshape(-1, 2) - projected.reshape(-1, 2)) / len(objects))
    held = _vantel.CalibrationBenchmark().cross_validate(images, target, _vantel.IntrinsicOptions(), 3, 8)
    return held, np.mean(errors)


def test_held_out_error_is_the_norm_over_the_point_count(robot_scene):
    images, _ = robot_scene
    objects = np.float32([[x, y, 0] for y in range(6) for x in range(9)]) * defaults.CHESSBOARD.square

    def view(index):  # found with cv2 and the benchmark's detection flags
        grey = cv2.cvtColor(images[index], cv2.COLOR_BGR2GRAY)
        corners = cv2.findChessboardCorners(grey, (9, 6), flags=3)[1]
        return objects, cv2.cornerSubPix(grey, corners, (11, 11), (-1, -1), (3, 30, 0.001))

    held, reference = held_out_errors(images, CHESSBOARD, view)
    assert held == pytest.approx(reference, rel=0.02)  # an RMS would be sqrt(54) times larger


def test_held_out_charuco_corners_are_the_calibrators_corners():
    images = [view.image for view in intrinsic_views(defaults.CHARUCO, defaults.CAMERA, n_views=9, seed=2)]
    target = _vantel.CharucoTarget(7, 5, 0.04, 0.03, 0)
    found = _vantel.IntrinsicCalibrator(target).find_corners(images)
    views = dict(zip(found.successful_indices, zip(found.object_points, found.image_points)))
    # The held-out pose takes up most of a uniform offset, not all of it. Measured: 2e-5 apart (pip's
    # solvePnP), 5e-3 with the half-pixel offset left in the benchmark's corners.
    held, reference = held_out_errors(images, target, views.__getitem__)
    assert held == pytest.approx(reference, rel=1e-3)


@pytest.mark.parametrize("eye_in_hand, blanks, roundtrip_lines", [
    ("same", 0, ""), ("same", 2, MISSING), ("threshold", 0, MISSING), ("detector", 1, MISSING), (None, 1, ""),
], ids=["same-options", "same-options-with-blanks", "other-threshold", "other-detector", "no-hand-eye"])
def test_run_is_accurate_and_prints_as_the_naive_procedure(robot_scene, capsys, eye_in_hand, blanks, roundtrip_lines):
    images, robot_T_tcp = robot_scene
    images = images[:4] + [np.full_like(images[0], 128)] * blanks + images[4:]
    robot_T_tcp = robot_T_tcp[:4] + [np.eye(4)] * blanks + robot_T_tcp[4:]
    options, hand_eye_options = _vantel.IntrinsicOptions(), _vantel.IntrinsicOptions() if eye_in_hand else None
    if eye_in_hand == "threshold":  # drops views: the pose list comes out short
        errors = _vantel.IntrinsicCalibrator(CHESSBOARD).calibrate(images).per_view_errors
        hand_eye_options.per_view_error_threshold = float(np.median(errors))
    elif eye_in_hand == "detector":
        hand_eye_options.chessboard_flags = cv2.CALIB_CB_ADAPTIVE_THRESH
    capsys.readouterr()
    result = _vantel.CalibrationBenchmark().run(images, CHESSBOARD, options, robot_T_tcp, hand_eye_options,
                                                "naive", 4, 6)
    ours = capsys.readouterr()
    # Everything run() calibrates, with separately constructed calibrators doing all the work again.
    for training in [range(len(images))] + [training for training, _ in folds(len(images), 4, 6)]:
        _vantel.IntrinsicCalibrator(CHESSBOARD, options).calibrate([images[i] for i in training])
    if eye_in_hand:
        assert _vantel.EyeInHandCalibrator(CHESSBOARD, hand_eye_options).calibrate(robot_T_tcp, images, "TSAI").ok
    theirs = capsys.readouterr()
    assert ours.out == theirs.out
    assert ours.err == ("[vantel][INFO] [Benchmark] Running backend: naive\n" + theirs.err + roundtrip_lines
                        + benchmark_line(result))
    assert blanks == 0 or "[IntrinsicCalibrator] Chessboard not found in image 4\n" in ours.err
    assert (result.backend_name, result.image_count, result.dist_coeffs.shape) == ("naive", 10 + blanks, (1, 5))
    assert re.fullmatch(TIMESTAMP, result.timestamp) and 0 < result.reprojection_error < 0.1
    np.testing.assert_allclose(result.camera_matrix, defaults.CAMERA.K, rtol=5e-3)
    assert result.held_out_reprojection_error == pytest.approx(result.reprojection_error, rel=0.2)
    # The same folds and numbers as cross_validate on its own.
    held = _vantel.CalibrationBenchmark().cross_validate(images, CHESSBOARD, options, 4, 6)
    assert held == result.held_out_reprojection_error
    if roundtrip_lines or not eye_in_hand:
        assert result.hand_eye_roundtrip_error == (math.inf if roundtrip_lines else -1.0)
    else:
        assert 0 < result.hand_eye_roundtrip_error < 1.0


def test_too_few_images_for_a_fold_reach_the_table_and_the_file_as_missing(robot_scene, tmp_path, capsys):
    short = _vantel.CalibrationBenchmark().run(robot_scene[0][:4], CHESSBOARD, _vantel.IntrinsicOptions(),
                                               backend_name="four", n_splits=2)
    assert capsys.readouterr().err.endswith(
        WARNING + "cross_validate: no held-out errors computed.\n" + benchmark_line(short))
    table = _vantel.CalibrationBenchmark.format_results([short])
    assert f"\nfour                        {short.reprojection_error:6.2f}   inf     -\n" in table
    _vantel.CalibrationBenchmark.save_json([short], str(tmp_path / "bench.json"))
    entry = json.loads((tmp_path / "bench.json").read_text())["results"][0]
    assert (entry["held_out_reprojection_error"], entry["hand_eye_roundtrip_error"], entry["image_count"]) == (
        None, None, 4) and entry["reprojection_error"] == math.floor(short.reprojection_error * 1e6 + 0.5) / 1e6


def test_round_trip_measures_only_frames_with_images(robot_scene, capsys):
    images, robot_T_tcp = robot_scene
    truth = [np.linalg.inv(defaults.TCP_T_CAMERA) @ np.linalg.inv(pose) @ defaults.WORLD_T_TARGET
             for pose in robot_T_tcp]
    roundtrip = _vantel.CalibrationBenchmark().hand_eye_roundtrip
    args = (defaults.TCP_T_CAMERA, defaults.CAMERA.K, defaults.CAMERA.dist, CHESSBOARD)
    all_frames = roundtrip(images, robot_T_tcp, *args, truth)
    fewer_images = roundtrip(images[:8], robot_T_tcp, *args, truth)
    assert 0 < all_frames < 0.1 and 0 < fewer_images < 0.1 and fewer_images != all_frames
    assert capsys.readouterr().err == ""
    assert roundtrip(images, robot_T_tcp, *args, truth[:9]) == math.inf
    assert roundtrip([np.zeros_like(images[0])] * 10, robot_T_tcp, *args, truth) == math.inf
    assert capsys.readouterr().err == MISSING + WARNING + "hand_eye_roundtrip: no valid frames.\n"


BOGUS = "IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release Object', got 'bogus'"
STARTED = "[vantel][INFO] [Benchmark] Running backend: OpenCV\n"


@pytest.mark.parametrize("call, blank, error, log", [
    ("run", True, "[Benchmark] OpenCV calibration failed.", STARTED + "".join(
        f"[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image {k}\n" for k in range(10))
     + "[vantel][WARNING] [IntrinsicCalibrator] No corners found. Check the images and try again.\n"),
    ("run", False, BOGUS, STARTED),
    ("cross_validate", False, BOGUS, ""),
], ids=["no-corners", "run-bad-method", "folds-bad-method"])
def test_calibration_errors_reach_the_caller(robot_scene, capsys, call, blank, error, log):
    images, options = robot_scene[0], _vantel.IntrinsicOptions()
    if blank:
        images = [np.zeros_like(image) for image in images]
    else:
        options.calibrate_camera_method = "bogus"
    with pytest.raises(RuntimeError if blank else ValueError, match=f"^{re.escape(error)}$"):
        getattr(_vantel.CalibrationBenchmark(), call)(images, CHESSBOARD, options)
    assert capsys.readouterr().err == log


NAN_POSE, NAN_K, ROUNDTRIP = np.full((4, 4), np.nan), np.diag([800.0, 800.0, np.nan]), "hand_eye_roundtrip: "
FOUR = [np.zeros((8, 8, 3), np.uint8)] * 4


@pytest.mark.parametrize("call, message", [
    *[(lambda b, n=n: b.run(FOUR, CHESSBOARD, _vantel.IntrinsicOptions(), n_splits=n),
       f"n_splits must be at least 2, got {n}") for n in (1, 0, -3)],
    *[(lambda b, n=n: b.cross_validate(FOUR, CHESSBOARD, _vantel.IntrinsicOptions(), n),
       f"n_splits must be at least 2, got {n}") for n in (1, 0, -3)],
    # Pose i goes with image i: a pose without its image used to end the round trip at +inf.
    *[(lambda b, n=n: b.run(FOUR, CHESSBOARD, _vantel.IntrinsicOptions(), [np.eye(4)] * n, _vantel.IntrinsicOptions()),
       f"robot_poses must hold one pose per image, got {n} for 4 images") for n in (5, 3)],
    # NaN anywhere in the chain made the round trip NaN.
    *[(lambda b, args=args: b.hand_eye_roundtrip(FOUR, *args, CHESSBOARD, [np.eye(4)] * 4), ROUNDTRIP + message)
      for args, message in [
        (([np.eye(4)] * 4, NAN_POSE, np.eye(3), np.zeros(5)), "tcp_T_camera must be a finite 4x4 matrix"),
        (([np.eye(4)] * 4, np.eye(3), np.eye(3), np.zeros(5)), "tcp_T_camera must be a finite 4x4 matrix"),
        (([np.eye(4)] * 4, np.eye(4), NAN_K, np.zeros(5)), "intrinsic_matrix must be a finite 3x3 matrix"),
        (([np.eye(4)] * 4, np.eye(4), np.eye(2), np.zeros(5)), "intrinsic_matrix must be a finite 3x3 matrix"),
        (([np.eye(4)] * 4, np.eye(4), np.eye(3), np.full(5, np.nan)),
         "distortion_coefficients must hold 0, 4, 5, 8, 12 or 14 finite values"),
        (([np.eye(4)] * 4, np.eye(4), np.eye(3), np.zeros(3)),
         "distortion_coefficients must hold 0, 4, 5, 8, 12 or 14 finite values"),
        (([np.eye(4)] * 3 + [NAN_POSE], np.eye(4), np.eye(3), np.zeros(5)),
         "robot_poses[3] must be a finite 4x4 matrix"),
    ]],
    (lambda b: b.hand_eye_roundtrip(FOUR, [np.eye(4)] * 4, np.eye(4), np.eye(3), np.zeros(5), CHESSBOARD,
                                    [np.eye(4), NAN_POSE, np.eye(4), np.eye(4)]),
     ROUNDTRIP + "camera_T_target_list[1] must be a finite 4x4 matrix"),
])
def test_bad_arguments_are_refused_before_anything_runs(capsys, call, message):
    with pytest.raises(ValueError) as refused:
        call(_vantel.CalibrationBenchmark())
    assert str(refused.value) == "[Benchmark] " + message and capsys.readouterr().err == ""


def test_a_board_without_corners_and_no_images_gives_the_empty_outcome(capsys):
    bench, options = _vantel.CalibrationBenchmark(), _vantel.IntrinsicOptions()
    zero = _vantel.ChessboardTarget((0, 6), 0.03)
    assert bench.cross_validate([], zero, options) == math.inf
    assert bench.hand_eye_roundtrip([], [], np.eye(4), np.eye(3), np.zeros(5), zero, []) == math.inf
    with pytest.raises(RuntimeError, match=r"^\[Benchmark\] OpenCV calibration failed\.$"):
        bench.run([], zero, options)
    assert capsys.readouterr().err == (
        WARNING + "cross_validate: no held-out errors computed.\n" + MISSING + STARTED
        + "[vantel][WARNING] [IntrinsicCalibrator] No corners found. Check the images and try again.\n")


ODD_INPUTS = """
import numpy as np, _vantel
b, t, options = _vantel.CalibrationBenchmark(), _vantel.ChessboardTarget((9, 6), 0.03), _vantel.IntrinsicOptions()
grid, charuco, pose = _vantel.ArucoTarget((5, 4), 0.04, 0.01, 0), _vantel.CharucoTarget(7, 5, 0.04, 0.03, 0), np.eye(4)
image, K, D, bad = np.zeros((480, 640, 3), np.uint8), np.eye(3), np.zeros(5), _vantel.IntrinsicOptions()
bad.chessboard_corner_detector = "default"
calls = {
    "no-images": lambda: b.cross_validate([], t, options),
    "grey-images": lambda: b.cross_validate([image[..., 0]] * 8, t, options, 2),
    "huge-splits": lambda: b.cross_validate([image] * 5, t, options, 2**31 - 1, 2**32 - 1),
    "3x3-poses": lambda: b.hand_eye_roundtrip([image], [np.eye(3)], np.eye(3), K, D, t, [np.eye(3)]),
    "float32-poses": lambda: b.hand_eye_roundtrip([image], [np.float32(pose)], pose, K, D, grid, [pose]),
    "charuco-blank": lambda: b.hand_eye_roundtrip([image], [pose], pose, K, D, charuco, [pose]),
    "bad-detector": lambda: b.run([image] * 5, t, bad),
}
for name, call in calls.items():
    try:
        print(name, repr(call()))
    except Exception as error:
        print(name, type(error).__name__)
"""


def test_odd_inputs_fail_with_errors_not_crashes():
    completed = subprocess.run([sys.executable, "-c", ODD_INPUTS], capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == ["no-images inf", "grey-images inf", "huge-splits inf",
                                             "3x3-poses ValueError", "float32-poses inf", "charuco-blank inf",
                                             "bad-detector ValueError"]


def test_an_image_no_detector_reads_is_refused_before_any_fold(robot_scene, capsys):
    # Grey images are searched; a two-channel one is refused by name before the first detection.
    blank = np.full_like(robot_scene[0][0], 128)
    images = robot_scene[0][:3] + [blank, np.dstack([blank[..., 0]] * 2)] + robot_scene[0][3:]
    with pytest.raises(ValueError) as raised:
        _vantel.CalibrationBenchmark().cross_validate(images, CHESSBOARD, _vantel.IntrinsicOptions(), 3, 3)
    height, width = blank.shape[:2]
    assert str(raised.value) == (f"[Benchmark] image 4 is uint8 {height}x{width}x2; "
                                 "images must be 8-bit grey or BGR (or BGRA)")
    assert capsys.readouterr().err == ""


BENCHMARKS = pathlib.Path(__file__).resolve().parents[1] / "benchmarks"
SYSTEM_PYTHON = "/usr/bin/python3"
RIG_TARGET = _vantel.CharucoTarget(9, 7, 0.03, 0.022, 0)
SCRIPT_TARGETS = {
    "chessboard": (defaults.CHESSBOARD, CHESSBOARD,
                   {"target": "chessboard", "size": [9, 6], "square": defaults.CHESSBOARD.square}),
    "charuco": (defaults.CHARUCO, _vantel.CharucoTarget(7, 5, 0.04, 0.03, 0),
                {"target": "charuco", "squares": [7, 5], "square": 0.04, "marker": 0.03, "dictionary": 0}),
    "grid": (defaults.GRID, _vantel.ArucoTarget((5, 4), 0.04, 0.01, 0),
             {"target": "grid", "markers": [5, 4], "length": 0.04, "separation": 0.01, "dictionary": 0}),
}
SYSTEM_CV2 = pytest.mark.skipif(not os.access(SYSTEM_PYTHON, os.X_OK) or subprocess.run(
    [SYSTEM_PYTHON, "-c", "import cv2"], capture_output=True).returncode != 0, reason="python3-opencv not installed")


def builds(pip_tolerance, system_tolerance=1e-9):
    """The system build is the module's own OpenCV: results must match to rounding, or to where its stop on
    eps ends short of the minimum the module reaches. pip's cv2 is another version."""
    return [pytest.param(sys.executable, pip_tolerance, id="pip-cv2"),
            pytest.param(SYSTEM_PYTHON, system_tolerance, id="system-cv2", marks=SYSTEM_CV2)]


def run_script(interpreter, name, *args):
    completed = subprocess.run([interpreter, str(BENCHMARKS / name), *args], capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


@pytest.fixture(scope="module")
def jobs(tmp_path_factory):
    """Per target: (job file, module result). A blank frame among the views must be skipped by both."""
    made, folder = {}, tmp_path_factory.mktemp("jobs")
    for name, (board, target, job) in SCRIPT_TARGETS.items():
        images = [v.image for v in intrinsic_views(board, defaults.SMALL_CAMERA, n_views=8, seed=5, supersample=2)]
        images.insert(3, np.full_like(images[0], 128))
        np.savez(folder / f"{name}.npz", job=json.dumps(job), **{f"image_{k:04d}": im for k, im in enumerate(images)})
        made[name] = folder / f"{name}.npz", _vantel.IntrinsicCalibrator(target).calibrate(images)
    return made


# pip's cv2: its ChArUco and marker corners differ by up to a pixel, so on these few small views only
# the same views and a camera matrix within 1 % are expected there.
@pytest.mark.parametrize("interpreter, tolerance", builds(1e-2, 2e-4))
@pytest.mark.parametrize("name", SCRIPT_TARGETS)
def test_intrinsic_script_matches_module(jobs, name, interpreter, tolerance):
    path, result = jobs[name]
    report = run_script(interpreter, "cv2_intrinsic.py", str(path), "--runs", "2")
    assert result.ok and 3 not in report["indices"] and len(report["seconds"]) == 2
    assert report["indices"] == list(result.successful_indices)
    np.testing.assert_allclose(report["camera_matrix"], result.intrinsic_matrix, rtol=tolerance)


@pytest.mark.parametrize("interpreter, tolerance_m", builds(2e-3, 1e-7))
def test_multi_camera_script_places_the_cameras_as_the_module(charuco_rig, tmp_path, interpreter, tolerance_m):
    job = {"target": "charuco", "squares": [9, 7], "square": 0.03, "marker": 0.022, "dictionary": 0}
    np.savez(tmp_path / "rig.npz", job=json.dumps(job), images=np.array(charuco_rig.image_lists()))
    report = run_script(interpreter, "cv2_multi_camera.py", str(tmp_path / "rig.npz"))
    result = _vantel.MultiCameraCalibrator(RIG_TARGET, 4).calibrate(charuco_rig.image_lists())
    for ours, theirs in zip(result.reference_T_camera_list, report["transforms"], strict=True):
        np.testing.assert_allclose(np.asarray(theirs)[:3, 3], ours[:3, 3], atol=tolerance_m)


@pytest.mark.parametrize("interpreter, chosen, reason", [
    ("/nonexistent/python3", None, "not found"),
    (sys.executable, None, "no shared core"),  # pip's cv2 carries its own OpenCV
    pytest.param(SYSTEM_PYTHON, SYSTEM_PYTHON, None, marks=SYSTEM_CV2),
])
def test_same_build_comparison_takes_only_the_modules_opencv(interpreter, chosen, reason):
    driver = runpy.run_path(str(BENCHMARKS / "intrinsic.py"), run_name="bench_driver")
    core = driver["module_opencv_core"]()
    found, _, why = driver["system_interpreter"](core, interpreter)
    assert found == chosen and (reason in why if reason else why is None and "libopencv_core" in core)


# On the same build the camera calibration's stop on eps 0.001 leaves micrometres to the module's minimum.
@pytest.mark.parametrize("interpreter, tolerance_m", builds(2e-3, 5e-5))
def test_hand_eye_script_places_the_camera_as_the_module(tmp_path, interpreter, tolerance_m):
    scene = hand_eye_scene(defaults.CHARUCO, defaults.SMALL_CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                           n_poses=10, seed=3, position_noise_px=0.2, supersample=2)
    images = [view.image for view in scene.views]
    np.savez(tmp_path / "views.npz", grey=np.stack([image[..., 0] for image in images]),
             robot_T_tcp=np.stack(scene.robot_T_tcp))
    job = {**SCRIPT_TARGETS["charuco"][2], "views": str(tmp_path / "views.npz"), "count": 10}
    (tmp_path / "job.json").write_text(json.dumps(job))
    report = run_script(interpreter, "cv2_hand_eye.py", str(tmp_path / "job.json"))
    result = _vantel.EyeInHandCalibrator(SCRIPT_TARGETS["charuco"][1]).calibrate(scene.robot_T_tcp, images)
    assert result.ok and len(report["frames"]) == len(result.valid_robot_T_tcp_list) >= 4
    np.testing.assert_allclose(np.asarray(report["tcp_T_camera"])[:3, 3], result.tcp_T_camera[:3, 3], atol=tolerance_m)


GROWTH_ROWS = [(label, what, size) for label, kind, sizes in (
    ("chessboard 9x6", "intrinsic", (6, 12)), ("charuco 7x5", "intrinsic", (6, 12)),
    ("rig 4 cameras", "rig", (6, 8)), ("hand-eye TSAI", "hand-eye", (6, 12)))
    for size in sizes for what in (("detect + solve", "solve") if kind == "intrinsic" else ("calibrate",))]


@pytest.mark.skipif(shutil.which("ldd") is None, reason="the benchmark finds the module's OpenCV with ldd")
def test_growth_benchmark_prints_every_path_with_finite_ratios_and_the_same_work_on_each_side(tmp_path):
    completed = subprocess.run([sys.executable, str(BENCHMARKS / "growth.py"), "--quick", "--runs", "1", "--cache",
                                str(tmp_path), "--json", str(tmp_path / "growth.json")],
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    same_build = "same build: cv2 " in completed.stdout
    cells = [[cell.strip() for cell in line.strip("|").split("|")] for line in completed.stdout.splitlines()
             if line.startswith("| ") and not line.startswith(("| path", "| target"))]
    timings = [row for row in cells if len(row) == 8]
    assert [(path.split(": ")[0], path.split(": ")[1], int(size)) for path, size, *_ in timings] == GROWTH_ROWS
    for _, _, module, same, pypi, over_same, over_pypi, found in timings:
        used = found.split(" / ")
        # Each side must have worked with the same views (the same-build side is "-" when skipped).
        assert used[0] == used[2] and used[1] == (used[0] if same_build else "-") and int(used[0]) > 0
        for value in (module, pypi, over_pypi) + ((same, over_same) if same_build else ()):
            assert math.isfinite(float(value)) and float(value) > 0
    summary = json.loads((tmp_path / "growth.json").read_text())
    assert {row["path"] for row in summary["growth"]} == {f"{label}: {what}" for label, what, _ in GROWTH_ROWS}
    assert all(math.isfinite(row["module"]) and math.isfinite(row["pypi"]) for row in summary["growth"])
    assert [row["target"] for row in summary["memory"]] == ["chessboard 9x6", "charuco 7x5"]
    assert all(row["peak_mib"]["module"] > 0 and row["work_mib"]["module"] >= 0 for row in summary["memory"])
