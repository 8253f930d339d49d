"""Cross-validation with a seeded shuffle, the hand-eye round trip, the summary table and the JSON file."""

import json
import math
import os
import re
import subprocess
import sys
import textwrap

import cv2
import numpy as np
import pytest

import _vantel
import _vantel_testhooks as hooks
from vantel_tools.rendering import defaults, hand_eye_scene, intrinsic_views
from vantel_tools.rendering.render import render
from vantel_tools.rendering.scenes import rotation, transform

CHESSBOARD = _vantel.ChessboardTarget((9, 6), defaults.CHESSBOARD.square)
TIMESTAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00"


class MersenneTwister:
    """The 32-bit Mersenne Twister as the C++ standard defines std::mt19937."""

    def __init__(self, seed):
        self.state = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            previous = self.state[-1]
            self.state.append((1812433253 * (previous ^ (previous >> 30)) + i) & 0xFFFFFFFF)
        self.index = 624

    def __call__(self):
        if self.index == 624:
            for i in range(624):
                y = (self.state[i] & 0x80000000) | (self.state[(i + 1) % 624] & 0x7FFFFFFF)
                self.state[i] = self.state[(i + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
            self.index = 0
        y = self.state[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        return y ^ (y >> 18)


def shuffled(count, seed):
    generator = MersenneTwister(seed)
    order = list(range(count))
    for i in range(1, count):
        bound = i + 1
        while True:
            r = generator()
            if r // bound < 0xFFFFFFFF // bound or 0xFFFFFFFF % bound == bound - 1:
                break
        j = r % bound
        order[i], order[j] = order[j], order[i]
    return order


def folds(count, n_splits, seed):
    """(training, held-out) image indices per fold, both in shuffled order."""
    order = shuffled(count, seed)
    if n_splits < 1:
        return []
    size = max(1, count // n_splits)
    result = []
    for k in range(n_splits):
        start, end = k * size, min((k + 1) * size, count)
        if start >= count:
            break
        result.append((order[:start] + order[end:], order[start:end]))
    return result


def test_reference_generator_is_the_standard_one():
    generator = MersenneTwister(5489)
    for _ in range(9999):
        generator()
    assert generator() == 4123659995  # the value the C++ standard requires of std::mt19937


@pytest.mark.parametrize("seed", [0, 1, 7, 2**31, 2**32 - 1])
@pytest.mark.parametrize("count", [0, 1, 2, 6, 10, 24, 1000])
def test_shuffle_is_the_given_procedure(seed, count):
    assert hooks.shuffled_image_order(count, seed) == shuffled(count, seed)


@pytest.mark.parametrize("count, n_splits, seed", [
    (10, 3, 0), (6, 5, 0), (4, 2, 11), (24, 5, 3), (7, 7, 5), (5, 9, 2), (100, 7, 123456), (10, 0, 0), (10, -2, 0),
])
def test_folds(count, n_splits, seed):
    ours = [tuple(map(list, fold)) for fold in hooks.cross_validation_folds(count, n_splits, seed)]
    assert ours == folds(count, n_splits, seed)
    if n_splits >= 1:
        size = max(1, count // n_splits)
        never_held_out = shuffled(count, seed)[n_splits * size:]
        for training, held_out in ours:
            assert set(never_held_out) <= set(training) and not set(never_held_out) & set(held_out)


def result_fields(name="OpenCV", rpe=0.25, held=0.5, roundtrip=-1.0, camera_matrix=np.eye(3),
                  dist=np.zeros((1, 5)), timestamp="2026-01-02T03:04:05.000006+00:00", count=12):
    return (name, rpe, held, roundtrip, camera_matrix, dist, timestamp, count)


TABLE_TOP = "=" * 64 + "\nBENCHMARK SUMMARY\n" + "=" * 64 + "\nBackend                        RPE  Held    RT\n" + "-" * 64 + "\n"


@pytest.mark.parametrize("results, rows", [
    ([], ""),
    ([result_fields()], "OpenCV                        0.25  0.50     -\n"),
    ([result_fields(held=math.inf, roundtrip=math.inf)], "OpenCV                        0.25   inf   inf\n"),
    ([result_fields(name="B" * 30, rpe=123.456, held=0.1234567, roundtrip=0.0)],
     "B" * 30 + "123.46  0.12  0.00\n"),
    ([result_fields(name="second"), result_fields(name="first", roundtrip=1.005)],
     "second                        0.25  0.50     -\nfirst                         0.25  0.50  1.00\n"),
], ids=["empty", "not-run", "infinite", "wide", "list-order"])
def test_table(results, rows):
    assert hooks.format_benchmark_results(results) == TABLE_TOP + rows + "-" * 64 + "\n"


def rounded(value):
    """Half away from zero at six decimals, as the file promises."""
    scaled = value * 1e6
    return math.copysign(math.floor(abs(scaled) + 0.5), scaled) / 1e6


@pytest.mark.parametrize("held, written", [
    (0.1234567, 0.123457), (2.5e-6, rounded(2.5e-6)), (-2.5e-6, rounded(-2.5e-6)), (1e300, 1e300),
    (math.inf, None), (math.nan, None),
])
def test_json_numbers(tmp_path, held, written):
    path = tmp_path / "bench.json"
    hooks.save_benchmark_json([result_fields(held=held)], path)
    assert json.loads(path.read_text())["results"][0]["held_out_reprojection_error"] == written


def test_json_halves_round_away_from_zero(tmp_path):
    path = tmp_path / "bench.json"
    # 0.0000025 * 1e6 is 2.5 exactly in double: banker's rounding would give 2e-6.
    assert 2.5e-6 * 1e6 == 2.5
    hooks.save_benchmark_json([result_fields(rpe=2.5e-6, held=-2.5e-6)], path)
    entry = json.loads(path.read_text())["results"][0]
    assert (entry["reprojection_error"], entry["held_out_reprojection_error"]) == (3e-6, -3e-6)


def test_json_document(tmp_path, capsys):
    path = tmp_path / "bench.json"
    first = result_fields(roundtrip=-1.0, camera_matrix=np.array([[800, 0, 320], [0, 801, 240], [0, 0, 1]], np.float32),
                          dist=np.array([[0.1], [-0.2], [0.0], [0.0], [0.05]]))
    second = result_fields(name="second", roundtrip=0.3333333, camera_matrix=np.zeros((0, 0)), dist=np.zeros((0, 0)),
                           count=0)
    hooks.save_benchmark_json([first, second], path)
    text = path.read_text()
    assert not text.endswith("\n") and text.startswith('{\n  "results": [\n    {\n      "backend_name": "OpenCV",')
    assert capsys.readouterr().err == f"[vantel][INFO] [Benchmark] Results written to {path}\n"
    document = json.loads(text)
    assert list(document) == ["results", "run_timestamp"] and re.fullmatch(TIMESTAMP, document["run_timestamp"])
    assert [list(entry) for entry in document["results"]] == [[
        "backend_name", "camera_matrix", "dist_coeffs", "hand_eye_roundtrip_error", "held_out_reprojection_error",
        "image_count", "reprojection_error", "timestamp"]] * 2
    one, two = document["results"]
    assert one["camera_matrix"] == [[800.0, 0.0, 320.0], [0.0, 801.0, 240.0], [0.0, 0.0, 1.0]]
    assert one["dist_coeffs"] == [0.1, -0.2, 0.0, 0.0, 0.05]
    assert one["hand_eye_roundtrip_error"] is None and two["hand_eye_roundtrip_error"] == 0.333333
    assert (two["camera_matrix"], two["dist_coeffs"], two["image_count"]) == ([], [], 0)
    assert one["timestamp"] == "2026-01-02T03:04:05.000006+00:00"


def test_json_of_no_results(tmp_path):
    path = tmp_path / "bench.json"
    hooks.save_benchmark_json([], path)
    assert re.fullmatch(r'\{\n  "results": \[\],\n  "run_timestamp": "' + TIMESTAMP + r'"\n\}', path.read_text())


@pytest.mark.parametrize("where", ["missing-folder", "parent-is-a-file", "existing-folder"])
def test_json_that_cannot_be_opened_leaves_everything_as_it_was(tmp_path, capsys, where):
    (tmp_path / "file").write_text("keep")
    (tmp_path / "folder").mkdir()
    path = {"missing-folder": tmp_path / "no" / "bench.json", "parent-is-a-file": tmp_path / "file" / "bench.json",
            "existing-folder": tmp_path / "folder"}[where]
    before = sorted(p.name for p in tmp_path.rglob("*"))
    with pytest.raises(RuntimeError, match=f"^{re.escape(f'[Benchmark] cannot open {path} for writing')}$"):
        _vantel.CalibrationBenchmark.save_json([], str(path))
    assert sorted(p.name for p in tmp_path.rglob("*")) == before and (tmp_path / "file").read_text() == "keep"
    assert capsys.readouterr().err == ""


def test_json_replaces_an_existing_file_whole(tmp_path):
    path = tmp_path / "bench.json"
    path.write_text("x" * 100000)
    hooks.save_benchmark_json([result_fields()], path)
    assert json.loads(path.read_text())["results"][0]["backend_name"] == "OpenCV"
    assert [p.name for p in tmp_path.iterdir()] == ["bench.json"]  # no temporary file left behind


@pytest.fixture(scope="module")
def robot_scene():
    """Light-noise chessboard views from a robot, with the flange poses."""
    scene = hand_eye_scene(defaults.CHESSBOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET,
                           n_poses=10, seed=2, max_angle_deg=35, position_noise_px=0.1)
    return [view.image for view in scene.views], scene.robot_T_tcp


def benchmark_line(result):
    roundtrip = "n/a" if result.hand_eye_roundtrip_error < 0 else f"{result.hand_eye_roundtrip_error:f}"
    return (f"[vantel][INFO] [Benchmark] {result.backend_name}: rpe={result.reprojection_error:f}px  "
            f"held-out={result.held_out_reprojection_error:f}px  roundtrip={roundtrip}\n")


def test_run_on_good_data(robot_scene, capsys):
    images, robot_T_tcp = robot_scene
    result = _vantel.CalibrationBenchmark().run(images, CHESSBOARD, _vantel.IntrinsicOptions(), robot_T_tcp,
                                                _vantel.IntrinsicOptions(), "rendered", 5, 3)
    err = capsys.readouterr().err
    assert err.startswith("[vantel][INFO] [Benchmark] Running backend: rendered\n")
    assert err.endswith(benchmark_line(result))
    assert result.backend_name == "rendered" and result.image_count == 10
    assert re.fullmatch(TIMESTAMP, result.timestamp)
    np.testing.assert_allclose(result.camera_matrix, defaults.CAMERA.K, rtol=5e-3)
    assert result.dist_coeffs.shape == (1, 5)
    assert 0 < result.reprojection_error < 0.1
    assert result.held_out_reprojection_error == pytest.approx(result.reprojection_error, rel=0.2)
    assert 0 < result.hand_eye_roundtrip_error < 1.0
    # The same folds and numbers as cross_validate on its own.
    assert _vantel.CalibrationBenchmark().cross_validate(images, CHESSBOARD, _vantel.IntrinsicOptions(), 5, 3) == \
        result.held_out_reprojection_error


def held_out_reference(images, n_splits, seed):
    """The held-out error from the folds of the given procedure, detected and measured with cv2."""
    object_points = np.zeros((54, 3), np.float32)
    object_points[:, :2] = np.mgrid[0:9, 0:6].T.reshape(-1, 2) * defaults.CHESSBOARD.square
    errors = []
    for training, held_out in folds(len(images), n_splits, seed):
        fold = _vantel.IntrinsicCalibrator(CHESSBOARD).calibrate([images[i] for i in training])
        for index in held_out:
            grey = cv2.cvtColor(images[index], cv2.COLOR_BGR2GRAY)
            found, corners = cv2.findChessboardCorners(grey, (9, 6), flags=3)
            corners = cv2.cornerSubPix(grey, corners, (11, 11), (-1, -1), (3, 30, 0.001))
            _, rvec, tvec = cv2.solvePnP(object_points, corners, fold.intrinsic_matrix, fold.distortion_coefficients)
            projected, _ = cv2.projectPoints(object_points, rvec, tvec, fold.intrinsic_matrix,
                                             fold.distortion_coefficients)
            errors.append(np.linalg.norm(corners.reshape(-1, 2) - projected.reshape(-1, 2)) / len(object_points))
    return np.mean(errors)


def test_held_out_error_is_the_norm_over_the_point_count(robot_scene, capsys):
    images, _ = robot_scene
    held = _vantel.CalibrationBenchmark().cross_validate(images, CHESSBOARD, _vantel.IntrinsicOptions(), 3, 8)
    # An RMS would be sqrt(54) times larger.
    assert held == pytest.approx(held_out_reference(images, 3, 8), rel=0.02)


def test_held_out_charuco_corners_are_the_calibrators_corners(capsys):
    # The benchmark finds held-out ChArUco corners with its own detection: they must be the
    # calibrator's corners. The held-out pose takes up most of a uniform offset, not all of it.
    images = [view.image for view in intrinsic_views(defaults.CHARUCO, defaults.CAMERA, n_views=9, seed=2)]
    target = _vantel.CharucoTarget(7, 5, 0.04, 0.03, 0)
    held = _vantel.CalibrationBenchmark().cross_validate(images, target, _vantel.IntrinsicOptions(), 3, 8)
    found = _vantel.IntrinsicCalibrator(target).find_corners(images)
    views = dict(zip(found.successful_indices, zip(found.object_points, found.image_points)))
    errors = []
    for training, held_out in folds(len(images), 3, 8):
        fold = _vantel.IntrinsicCalibrator(target).calibrate([images[i] for i in training])
        for index in held_out:
            objects, corners = views[index]
            _, rvec, tvec = cv2.solvePnP(objects, corners, fold.intrinsic_matrix, fold.distortion_coefficients)
            projected, _ = cv2.projectPoints(objects, rvec, tvec, fold.intrinsic_matrix, fold.distortion_coefficients)
            errors.append(np.linalg.norm(corners.reshape(-1, 2) - projected.reshape(-1, 2)) / len(objects))
    # Measured: 2e-5 apart (pip's solvePnP), 5e-3 with the offset left in the benchmark's corners.
    assert held == pytest.approx(np.mean(errors), rel=1e-3)


def centre_view(k):
    """A small, nearly frontal board in the image centre, where distortion hardly shows."""
    board = defaults.CHESSBOARD
    R = rotation([(-1) ** k * 12.0, 8.0 * (k - 1.5), 5.0 * k])
    return render(board, defaults.CAMERA, transform(R, [0, 0, 1.0] - R @ board.texture.outline.mean(axis=0)),
                  seed=[9, k]).image


def test_held_out_error_grows_when_training_folds_cannot_constrain_the_camera(capsys):
    edge = [view.image for view in intrinsic_views(defaults.CHESSBOARD, defaults.CAMERA, n_views=4, seed=3)]
    centre = [centre_view(k) for k in range(4)]
    # Two folds: one trains on the centre views only and is tested on views reaching the corners.
    images = [None] * 8
    for position, index in enumerate(shuffled(8, 0)):
        images[index] = (edge + centre)[position]
    benchmark = _vantel.CalibrationBenchmark()
    weak = benchmark.run(images, CHESSBOARD, _vantel.IntrinsicOptions(), n_splits=2)
    strong = benchmark.run(images, CHESSBOARD, _vantel.IntrinsicOptions(), n_splits=8)
    assert strong.held_out_reprojection_error == pytest.approx(strong.reprojection_error, rel=0.2)
    assert weak.held_out_reprojection_error > 5 * weak.reprojection_error


def naive_run(images, target, options, robot_T_tcp, eye_in_hand_options, name, n_splits, seed):
    """Everything run() calibrates, with separately constructed calibrators doing all the work again."""
    _vantel.IntrinsicCalibrator(target, options).calibrate(images)
    for training, _ in folds(len(images), n_splits, seed):
        if len(training) >= 4:
            _vantel.IntrinsicCalibrator(target, options).calibrate([images[i] for i in training])
    if robot_T_tcp and eye_in_hand_options is not None:
        return _vantel.EyeInHandCalibrator(target, eye_in_hand_options).calibrate(robot_T_tcp, images, "TSAI")
    return None


@pytest.fixture(scope="module")
def median_view_error(robot_scene):
    images, _ = robot_scene
    return float(np.median(_vantel.IntrinsicCalibrator(CHESSBOARD).calibrate(images).per_view_errors))


def eye_in_hand_variant(kind, threshold=None):
    options = _vantel.IntrinsicOptions()
    if kind == "threshold":
        options.per_view_error_threshold = threshold  # drops views: the round trip finds the pose list short
    elif kind == "detector":
        options.chessboard_flags = cv2.CALIB_CB_ADAPTIVE_THRESH
    return None if kind == "none" else options


MISSING = ("[vantel][WARNING] [Benchmark] hand_eye_roundtrip: camera_T_target_list missing  -  cannot recover "
           "base_T_board; skipping.\n")


@pytest.mark.parametrize("eye_in_hand, blanks, roundtrip_lines", [
    ("same", 0, ""), ("same", 2, MISSING), ("threshold", 0, MISSING), ("detector", 1, MISSING), ("none", 1, ""),
], ids=["same-options", "same-options-with-blanks", "other-threshold", "other-detector", "no-hand-eye"])
def test_run_logs_and_prints_what_the_naive_procedure_does(robot_scene, median_view_error, capsys, eye_in_hand,
                                                           blanks, roundtrip_lines):
    images, robot_T_tcp = robot_scene
    blank = np.full_like(images[0], 128)
    images = images[:4] + [blank] * blanks + images[4:]
    robot_T_tcp = robot_T_tcp[:4] + [np.eye(4)] * blanks + robot_T_tcp[4:]
    options = _vantel.IntrinsicOptions()
    eye_in_hand_options = eye_in_hand_variant(eye_in_hand, median_view_error)
    capsys.readouterr()
    result = _vantel.CalibrationBenchmark().run(images, CHESSBOARD, options, robot_T_tcp, eye_in_hand_options,
                                                "naive", 4, 6)
    ours = capsys.readouterr()
    hand_eye = naive_run(images, CHESSBOARD, options, robot_T_tcp, eye_in_hand_options, "naive", 4, 6)
    theirs = capsys.readouterr()
    assert ours.out == theirs.out
    assert ours.err == ("[vantel][INFO] [Benchmark] Running backend: naive\n" + theirs.err + roundtrip_lines
                        + benchmark_line(result))
    if blanks:
        assert "[IntrinsicCalibrator] Chessboard not found in image 4\n" in ours.err
    if roundtrip_lines:
        assert result.hand_eye_roundtrip_error == math.inf
    elif hand_eye is not None:
        assert hand_eye.ok and 0 < result.hand_eye_roundtrip_error < 1.0
    else:
        assert result.hand_eye_roundtrip_error == -1.0 and ours.err.endswith("px  roundtrip=n/a\n")


def test_infinite_and_missing_errors_reach_the_table_and_the_file(robot_scene, median_view_error, tmp_path, capsys):
    images, robot_T_tcp = robot_scene
    benchmark = _vantel.CalibrationBenchmark()
    capsys.readouterr()
    short = benchmark.run(images[:4], CHESSBOARD, _vantel.IntrinsicOptions(), backend_name="four", n_splits=2)
    assert short.held_out_reprojection_error == math.inf and short.hand_eye_roundtrip_error == -1.0
    err = capsys.readouterr().err
    assert "[vantel][WARNING] [Benchmark] cross_validate: no held-out errors computed.\n" in err
    assert err.endswith("held-out=infpx  roundtrip=n/a\n")
    no_frames = benchmark.run(images, CHESSBOARD, _vantel.IntrinsicOptions(), robot_T_tcp,
                              eye_in_hand_variant("threshold", median_view_error), "short-list")
    assert no_frames.hand_eye_roundtrip_error == math.inf
    table = _vantel.CalibrationBenchmark.format_results([short, no_frames])
    assert f"four                        {short.reprojection_error:6.2f}   inf     -\n" in table
    assert re.search(r"\nshort-list +\d\.\d\d  \d\.\d\d   inf\n", table)
    path = tmp_path / "bench.json"
    _vantel.CalibrationBenchmark.save_json([short, no_frames], str(path))
    first, second = json.loads(path.read_text())["results"]
    assert first["held_out_reprojection_error"] is None and first["hand_eye_roundtrip_error"] is None
    assert second["hand_eye_roundtrip_error"] is None and second["image_count"] == 10
    assert second["reprojection_error"] == rounded(no_frames.reprojection_error)


def test_round_trip_measures_only_frames_with_images(robot_scene, capsys):
    images, robot_T_tcp = robot_scene
    truth = [np.linalg.inv(defaults.TCP_T_CAMERA) @ np.linalg.inv(pose) @ defaults.WORLD_T_TARGET
             for pose in robot_T_tcp]
    benchmark = _vantel.CalibrationBenchmark()
    args = (defaults.TCP_T_CAMERA, defaults.CAMERA.K, defaults.CAMERA.dist, CHESSBOARD)
    all_frames = benchmark.hand_eye_roundtrip(images, robot_T_tcp, *args, truth)
    fewer_images = benchmark.hand_eye_roundtrip(images[:8], robot_T_tcp, *args, truth)
    assert 0 < all_frames < 0.1 and 0 < fewer_images < 0.1 and fewer_images != all_frames
    assert capsys.readouterr().err == ""
    assert benchmark.hand_eye_roundtrip(images, robot_T_tcp, *args, truth[:9]) == math.inf
    assert benchmark.hand_eye_roundtrip([np.zeros_like(images[0])] * 10, robot_T_tcp, *args, truth) == math.inf
    assert capsys.readouterr().err == MISSING + "[vantel][WARNING] [Benchmark] hand_eye_roundtrip: no valid frames.\n"


def test_calibration_failure_on_all_images_is_an_error(capsys):
    blank = np.zeros((480, 640, 3), np.uint8)
    with pytest.raises(RuntimeError, match=r"^\[Benchmark\] empty calibration failed\.$"):
        _vantel.CalibrationBenchmark().run([blank] * 3, CHESSBOARD, _vantel.IntrinsicOptions(), backend_name="empty")
    assert capsys.readouterr().err.endswith("[vantel][WARNING] [IntrinsicCalibrator] No corners found. "
                                            "Check the images and try again.\n")


def test_odd_inputs_fail_with_errors_not_crashes(tmp_path):
    script = textwrap.dedent("""
        import numpy as np, _vantel
        b, t = _vantel.CalibrationBenchmark(), _vantel.ChessboardTarget((9, 6), 0.03)
        grid, charuco = _vantel.ArucoTarget((5, 4), 0.04, 0.01, 0), _vantel.CharucoTarget(7, 5, 0.04, 0.03, 0)
        image, K, D = np.zeros((480, 640, 3), np.uint8), np.eye(3), np.zeros(5)
        calls = {
            "no-images": lambda: b.cross_validate([], t, _vantel.IntrinsicOptions()),
            "grey-images": lambda: b.cross_validate([image[..., 0]] * 8, t, _vantel.IntrinsicOptions(), 2),
            "huge-splits": lambda: b.cross_validate([image] * 5, t, _vantel.IntrinsicOptions(), 2**31 - 1, 2**32 - 1),
            "3x3-poses": lambda: b.hand_eye_roundtrip([image], [np.eye(3)], np.eye(3), K, D, t, [np.eye(3)]),
            "float32-poses": lambda: b.hand_eye_roundtrip([image], [np.eye(4, dtype=np.float32)], np.eye(4), K, D,
                                                          grid, [np.eye(4)]),
            "charuco-blank": lambda: b.hand_eye_roundtrip([image], [np.eye(4)], np.eye(4), K, D, charuco, [np.eye(4)]),
            "bad-detector": lambda: b.run([image] * 5, t, bad),
        }
        bad = _vantel.IntrinsicOptions()
        bad.chessboard_corner_detector = "default"
        for name, call in calls.items():
            try:
                print(name, repr(call()))
            except Exception as error:
                print(name, type(error).__name__)
    """)
    completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                               env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [
        "no-images inf", "grey-images RuntimeError", "huge-splits inf", "3x3-poses ValueError",
        "float32-poses inf", "charuco-blank inf", "bad-detector ValueError"]


@pytest.mark.parametrize("call", ["run", "cross_validate"])
def test_a_calibration_error_in_the_folds_reaches_the_caller(robot_scene, capsys, call):
    images, _ = robot_scene
    options = _vantel.IntrinsicOptions()
    options.calibrate_camera_method = "bogus"
    benchmark = _vantel.CalibrationBenchmark()
    with pytest.raises(ValueError, match="^IntrinsicCalibrator: calibrate_camera_method must be 'Default' or "
                                         "'Release Object', got 'bogus'$"):
        getattr(benchmark, call)(images, CHESSBOARD, options)
    assert capsys.readouterr().err == ("[vantel][INFO] [Benchmark] Running backend: OpenCV\n" if call == "run" else "")


def test_an_image_that_breaks_detection_fails_where_the_naive_procedure_does(robot_scene, capsys):
    images, _ = robot_scene
    blank = np.full_like(images[0], 128)
    images = images[:3] + [blank, blank[..., 0]] + images[3:]
    with pytest.raises(RuntimeError) as ours:
        _vantel.CalibrationBenchmark().cross_validate(images, CHESSBOARD, _vantel.IntrinsicOptions(), 3, 3)
    ours_err = capsys.readouterr().err
    training, _ = folds(len(images), 3, 3)[0]
    with pytest.raises(RuntimeError) as theirs:
        _vantel.IntrinsicCalibrator(CHESSBOARD).calibrate([images[i] for i in training])
    assert str(ours.value) == str(theirs.value)
    assert ours_err == capsys.readouterr().err
    # Seed 3: the first fold meets the blank image (training position 5) before the grey one (7).
    assert training.index(3) == 5 and training.index(4) == 7
    assert ours_err == "[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image 5\n"
