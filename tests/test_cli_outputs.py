"""What the `vantel` commands print and write, checked against the module and read back as the next tool reads it."""

import json
import re
import shutil
import subprocess
from types import SimpleNamespace

import cv2
import numpy as np
import pytest
import yaml

import _vantel
from vantel_tools import calibration_quality, camera_files, cli, method_comparison
from vantel_tools.target_text import parse_target

RMS_LINE = re.compile(r"RMS reprojection error (\d+\.\d+) px over (\d+) corners")


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    root = tmp_path_factory.mktemp("scenes")
    for kind, views in [("intrinsic", 12), ("hand-eye", 10), ("rig", 5)]:
        assert cli.main(["simulate", kind, str(root / kind), "--views", str(views), "--seed", "5"]) == 0
    return root


def target_of(folder):
    return json.loads((folder / "truth.json").read_text())["target"]


def run(capsys, *argv):
    status = cli.main([str(part) for part in argv])
    out = capsys.readouterr().out
    return status, out


def module_calibration(folder, threshold=1.0, flags=0):
    images = [cv2.imread(str(p)) for p in sorted(folder.glob("image_*.png"))]
    options = _vantel.IntrinsicOptions()
    options.per_view_error_threshold = threshold
    options.calibrate_camera_flags = flags
    calibrator = _vantel.IntrinsicCalibrator(parse_target(target_of(folder)), options)
    return calibrator.calibrate(images), calibrator, images


def test_intrinsic_headline_is_the_rms_over_all_corners(scenes, tmp_path, capsys):
    folder = scenes / "intrinsic"
    status, out = run(capsys, "intrinsic", folder, "--target", target_of(folder), "-o", tmp_path)
    assert status == 0
    printed, corners = RMS_LINE.search(out.splitlines()[0]).groups()
    result, calibrator, _ = module_calibration(folder)
    counts = [len(points) for points in result.image_points]
    squares = sum(error**2 * count for error, count in zip(result.per_view_errors, counts))
    assert int(corners) == sum(counts) and float(printed) == pytest.approx(np.sqrt(squares / sum(counts)), abs=1e-4)
    # The same figure from a plain OpenCV calibration of the same corners.
    detections = calibrator.detections()
    rms = cv2.calibrateCamera(detections.object_points, detections.image_points, (1280, 960), None, None,
                              criteria=(cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 100, 1e-12))[0]
    assert float(printed) == pytest.approx(rms, rel=2e-3)
    # The record's per-view mean is another measure; it must not pass for the RMS.
    assert result.reprojection_error < 0.5 * float(printed)
    summary = json.loads((tmp_path / "calibration_summary.json").read_text())
    assert f"{summary['rms_reprojection_error_px']:.4f}" == printed
    assert [view["corners"] for view in summary["per_view"]] == counts
    # Each view's pose found again for the calibrated camera gives the calibration's residuals.
    corners_xy, residuals = calibration_quality.pnp_residuals(detections.object_points, detections.image_points,
                                                              result.intrinsic_matrix, result.distortion_coefficients)
    assert np.sqrt(np.mean(np.sum(residuals**2, axis=1))) == pytest.approx(float(printed), abs=2e-4)
    assert len(corners_xy) == sum(counts)


def test_intrinsics_are_printed_with_their_deviations(scenes, tmp_path, capsys):
    folder = scenes / "intrinsic"
    status, out = run(capsys, "intrinsic", folder, "--target", target_of(folder), "-o", tmp_path)
    result, _, _ = module_calibration(folder)
    deviations = np.asarray(result.std_deviations_intrinsics).ravel()
    assert status == 0
    assert f"fx = {result.intrinsic_matrix[0, 0]:.2f} ± {deviations[0]:.2f} px" in out
    assert f"k3 = {result.distortion_coefficients.ravel()[4]:.4f} ± {deviations[8]:.4f}" in out
    assert re.search(r"Coverage: the boards cover \d+ % of the image; \d+ of 48 grid cells show no board", out)


@pytest.mark.parametrize("values, deviations, coverage, expected", [
    ([1000, 1000, 640, 480, 0.1], [1, 1, 1, 1, 0.001], 80, []),
    ([1000, 1000, 640, 480, 0.1], [30, 1, 1, 1, 0.001], 80,
     ["warning: large uncertainty: fx ± 30.00 px (3.0 %); add views at other angles and distances"]),
    ([1000, 1000, 640, 480, 0.1, 0.02], [1, 1, 1, 1, 0.3, 0.01], 80,
     ["warning: k1 is smaller than its deviation: the views do not determine it; add views with the board near "
      "the image corners"]),
    ([1000, 1000, 640, 480], [1, 1, 1, 1], 30,
     ["warning: the views cover 30 % of the image; distortion is extrapolated in the rest: add views with the "
      "board near the edges and corners"]),
])
def test_uncertainty_warnings(values, deviations, coverage, expected):
    assert calibration_quality.uncertainty_warnings(values, deviations, coverage) == expected


def test_coverage_marks_the_cells_no_board_reaches():
    # One board filling the left half of a 800x600 image: 8x6 cells, the right 4 columns empty.
    board = np.array([[0, 0], [399, 0], [399, 599], [0, 599]], np.float32)
    coverage = calibration_quality.coverage([board], (800, 600))
    assert coverage.percent == pytest.approx(50, abs=0.5) and coverage.cells == 48
    assert sorted({x for x, _, _, _ in coverage.empty_cells}) == [400, 500, 600, 700]
    assert len(coverage.empty_cells) == 24


def read_storage(path):
    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_READ)
    assert storage.isOpened(), path
    return storage


DEBIAN_PYTHON = "/usr/bin/python3"
READ_WITH_DEBIAN_OPENCV = """
import sys, cv2
storage = cv2.FileStorage(sys.argv[1], cv2.FILE_STORAGE_READ)
print(cv2.__version__, int(storage.getNode("image_width").real()), int(storage.getNode("image_height").real()),
      *storage.getNode("camera_matrix").mat().ravel().tolist())
"""


def check_with_debian_opencv(path, K, size):
    """The file as the OpenCV the module links reads it (Debian's Python bindings, when installed)."""
    probe = subprocess.run([DEBIAN_PYTHON, "-c", READ_WITH_DEBIAN_OPENCV, str(path)], capture_output=True, text=True)
    if probe.returncode != 0 and "No module named 'cv2'" in probe.stderr:
        return
    assert probe.returncode == 0, probe.stderr
    version, width, height, *matrix = probe.stdout.split()
    assert version.startswith("4.") and (int(width), int(height)) == size
    np.testing.assert_allclose([float(v) for v in matrix], np.ravel(K), rtol=1e-15)


def check_camera_files(opencv_path, ros_path, K, D, size, name):
    storage = read_storage(opencv_path)
    assert (int(storage.getNode("image_width").real()), int(storage.getNode("image_height").real())) == size
    np.testing.assert_array_equal(storage.getNode("camera_matrix").mat(), K)
    np.testing.assert_array_equal(storage.getNode("distortion_coefficients").mat().ravel(), np.ravel(D))
    storage.release()
    text = opencv_path.read_text()
    assert text.startswith("%YAML")
    check_with_debian_opencv(opencv_path, K, size)
    # A plain YAML parser reads the document once OpenCV's directive and type tags are set aside.
    plain = yaml.safe_load(re.sub(r"!!opencv-matrix", "", text.split("\n", 1)[1]))
    np.testing.assert_array_equal(np.reshape(plain["camera_matrix"]["data"], (3, 3)), K)
    info = yaml.safe_load(ros_path.read_text())
    assert (info["image_width"], info["image_height"], info["camera_name"]) == (*size, name)
    assert info["distortion_model"] == "plumb_bob"
    np.testing.assert_array_equal(np.reshape(info["camera_matrix"]["data"], (3, 3)), K)
    np.testing.assert_array_equal(info["distortion_coefficients"]["data"], np.ravel(D))
    np.testing.assert_array_equal(np.reshape(info["rectification_matrix"]["data"], (3, 3)), np.eye(3))
    np.testing.assert_array_equal(np.reshape(info["projection_matrix"]["data"], (3, 4)),
                                  np.hstack([K, np.zeros((3, 1))]))


def test_intrinsic_camera_files_read_back(scenes, tmp_path, capsys):
    folder = scenes / "intrinsic"
    assert run(capsys, "intrinsic", folder, "--target", target_of(folder), "-o", tmp_path)[0] == 0
    record = _vantel.io.load_multi_camera_calibration(tmp_path / "intrinsic_calibration.json")
    check_camera_files(tmp_path / "camera.yaml", tmp_path / "camera_info.yaml", record.intrinsic_matrices[0],
                       record.distortion_coefficients[0], (1280, 960), "camera")


def test_rig_writes_a_camera_file_per_camera_and_the_transforms(scenes, tmp_path, capsys):
    folder = scenes / "rig"
    status, out = run(capsys, "rig", folder, "--target", target_of(folder), "-o", tmp_path)
    assert status == 0
    record = _vantel.io.load_multi_camera_calibration(tmp_path)
    sizes = [tuple(camera["size"]) for camera in json.loads((folder / "truth.json").read_text())["cameras"]]
    for k, size in enumerate(sizes):
        check_camera_files(tmp_path / f"cam_{k:02d}.yaml", tmp_path / f"cam_{k:02d}_camera_info.yaml",
                           record.intrinsic_matrices[k], record.distortion_coefficients[k], size, f"cam_{k:02d}")
    storage = read_storage(tmp_path / "rig.yaml")
    assert storage.getNode("reference_camera").string() == "cam_00"
    for k, transform in enumerate(record.reference_T_camera_list):
        np.testing.assert_array_equal(storage.getNode(f"reference_T_cam_{k:02d}").mat(), transform)


@pytest.mark.parametrize("flags, check", [
    (["--model", "rational"], lambda K, D, info: D.size == 8 and info["distortion_model"] == "rational_polynomial"),
    (["--model", "thin-prism"], lambda K, D, info: D.size == 12 and info is None),
    (["--model", "tilted"], lambda K, D, info: D.size == 14 and info is None),
    (["--fix-aspect-ratio"], lambda K, D, info: K[0, 0] == K[1, 1]),
    (["--zero-tangent"], lambda K, D, info: D[2] == 0 and D[3] == 0 and K[0, 0] != K[1, 1]),
    (["--fix-principal-point"], lambda K, D, info: (K[0, 2], K[1, 2]) == (639.5, 479.5)),
    (["--fix-k3", "--zero-tangent"], lambda K, D, info: D[4] == 0 and D[2] == 0),
], ids=lambda value: " ".join(value) if isinstance(value, list) else "")
def test_camera_models_and_fixed_parameters(scenes, tmp_path, capsys, flags, check):
    folder = scenes / "intrinsic"
    status, out = run(capsys, "intrinsic", folder, "--target", target_of(folder), "-o", tmp_path, *flags)
    assert status == 0
    storage = read_storage(tmp_path / "camera.yaml")
    K, D = storage.getNode("camera_matrix").mat(), storage.getNode("distortion_coefficients").mat().ravel()
    info = yaml.safe_load((tmp_path / "camera_info.yaml").read_text()) if (tmp_path / "camera_info.yaml").exists() \
        else None
    assert check(K, D, info), (K, D)
    if info is None:
        assert f"no ROS camera_info: ROS names no model of {D.size} coefficients" in out


def flagged_threshold(folder):
    """A threshold between the two worst views, so that exactly one is above it."""
    result, _, _ = module_calibration(folder)
    worst = np.sort(result.per_view_errors)[-2:]
    return float(worst.mean())


@pytest.mark.parametrize("drop", [False, True], ids=["kept", "dropped"])
def test_views_above_the_threshold(scenes, tmp_path, capsys, drop):
    folder = scenes / "intrinsic"
    threshold = flagged_threshold(folder)
    argv = ["intrinsic", folder, "--target", target_of(folder), "-o", tmp_path, "--threshold", threshold]
    status, out = run(capsys, *argv, *(["--drop-flagged"] if drop else []))
    assert status == 0
    result, _, images = module_calibration(folder, threshold)
    names = sorted(p.name for p in folder.glob("image_*.png"))
    flagged = [names[result.successful_indices[k]] for k in range(len(result.per_view_errors))
               if k not in result.low_view_error_indices]
    assert len(flagged) == 1 and "rejected" not in out
    record = _vantel.io.load_multi_camera_calibration(tmp_path / "intrinsic_calibration.json")
    summary = json.loads((tmp_path / "calibration_summary.json").read_text())
    if not drop:
        assert f"Views above the {threshold:g} px per-view threshold (still in the calibration; " in out
        np.testing.assert_allclose(record.intrinsic_matrices[0], result.intrinsic_matrix)
        assert "dropped" not in summary
        return
    assert f"Dropped 1 view above the {threshold:g} px per-view threshold: {flagged[0]}\n" in out
    kept = [images[names.index(name)] for name in names if name != flagged[0]]
    again = _vantel.IntrinsicCalibrator(parse_target(target_of(folder))).calibrate(kept)
    np.testing.assert_allclose(record.intrinsic_matrices[0], again.intrinsic_matrix)
    assert f"fx {result.intrinsic_matrix[0, 0]:.2f} -> {again.intrinsic_matrix[0, 0]:.2f}" in out
    assert summary["dropped"] == flagged and summary["views"] == len(kept)
    assert summary["before_dropping"]["views"] == len(kept) + 1


def rig_with_own_names(scenes, tmp_path, missing=None):
    """The rendered rig in cam_N folders whose files are named shot_<frame>.jpg (any names pair by number)."""
    folder = tmp_path / "rig"
    for camera in range(4):
        source, target = scenes / "rig" / f"cam_{camera:02d}", folder / f"cam_{camera}"
        target.mkdir(parents=True)
        for path in sorted(source.glob("image_*.png")):
            frame = int(path.stem.split("_")[1])
            if (camera, frame) != missing:
                shutil.copy(path, target / f"shot_{frame + 1}{'.PNG' if camera == 3 else '.png'}")
    return folder


def test_rig_folders_with_any_names_and_a_missing_frame(scenes, tmp_path, capsys):
    folder = rig_with_own_names(scenes, tmp_path, missing=(2, 3))
    status, out = run(capsys, "rig", folder, "--target", target_of(scenes / "rig"), "-o", tmp_path / "out")
    assert status == 0
    assert "cam_2: no image for frame 4 (shot_4.png); that camera leaves the frame out\n" in out
    summary = json.loads((tmp_path / "out" / "rig_summary.json").read_text())
    assert [camera["frames_with_board"] for camera in summary["cameras"]] == [5, 5, 4, 5]
    assert summary["missing_frames"] == {"cam_2": ["4"]}
    assert all(camera["placed"] for camera in summary["cameras"])


def test_two_files_of_one_frame_are_refused(scenes, tmp_path, capsys):
    folder = rig_with_own_names(scenes, tmp_path)
    shutil.copy(folder / "cam_1" / "shot_1.png", folder / "cam_1" / "shot_01.png")
    assert cli.main(["rig", str(folder), "--target", target_of(scenes / "rig")]) == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"vantel rig: error: {folder / 'cam_1'}: shot_01.png and shot_1.png are the same frame; name each frame once")


def quaternion_matrix(x, y, z, w):
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


@pytest.mark.parametrize("angle_deg", [0.0, 30.0, 179.0])
def test_quaternions_give_back_the_rotation(angle_deg):
    transform = np.eye(4)
    transform[:3, :3] = cv2.Rodrigues(np.radians(angle_deg) * np.array([[0.6], [-0.8], [0.0]]))[0]
    transform[:3, 3] = [0.1, -0.2, 0.3]
    translation, quaternion = camera_files.translation_and_quaternion(transform)
    assert translation == pytest.approx([0.1, -0.2, 0.3]) and np.linalg.norm(quaternion) == pytest.approx(1)
    np.testing.assert_allclose(quaternion_matrix(*quaternion), transform[:3, :3], atol=1e-12)


def test_hand_eye_transform_as_matrix_and_quaternion(scenes, tmp_path, capsys):
    folder = scenes / "hand-eye"
    status, out = run(capsys, "hand-eye", folder, "--target", target_of(folder), "-o", tmp_path)
    assert status == 0
    record = _vantel.io.load_hand_eye_result(tmp_path)
    storage = read_storage(tmp_path / "tcp_T_camera.yaml")
    assert (storage.getNode("parent_frame").string(), storage.getNode("child_frame").string()) == ("tcp", "camera")
    matrix = storage.getNode("tcp_T_camera").mat()
    np.testing.assert_array_equal(matrix, record.tcp_T_camera_list[0])
    np.testing.assert_allclose(storage.getNode("translation_xyz_m").mat().ravel(), matrix[:3, 3])
    np.testing.assert_allclose(quaternion_matrix(*storage.getNode("rotation_quaternion_xyzw").mat().ravel()),
                               matrix[:3, :3], atol=1e-9)
    x, y, z = matrix[:3, 3]
    assert f"tcp_T_camera: x {x:.4f} m, y {y:.4f} m, z {z:.4f} m; quaternion" in out
    assert re.search(r"as a pose: x \S+ m, y \S+ m, z \S+ m, rx \S+ deg, ry \S+ deg, rz \S+ deg", out)
    summary = json.loads((tmp_path / "hand_eye_summary.json").read_text())
    assert summary["images_used"] == [f"image_{k:02d}.png" for k in range(10)]


def solved(translation, angle_deg=0.0):
    transform = np.eye(4)
    transform[:3, :3] = cv2.Rodrigues(np.array([[0.0], [0.0], [np.radians(angle_deg)]]))[0]
    transform[:3, 3] = translation
    return SimpleNamespace(tcp_T_camera=transform, pose_deg=[*translation, 0.0, 0.0, angle_deg])


BASE = [0.01, -0.1, -0.08]
SHIFTED = [0.01 + 0.034, -0.1, -0.08]


@pytest.mark.parametrize("moved, expected_agree, verdict", [
    ({}, True, "The 5 methods agree: each is within 5 mm and 1.5 deg of their median"),
    # Same rotation, 34 mm apart: a rotation-only comparison calls this agreement.
    ({"ANDREFF": solved(SHIFTED)}, False, "4 of 5 methods agree within 5 mm and 1.5 deg of their median; "
                                          "ANDREFF 34.0 mm and 0.00 deg away"),
    ({"ANDREFF": solved(SHIFTED), "PARK": solved(BASE, 5.0)}, False, "The methods disagree: from their median "
                                                                     "ANDREFF 34.0 mm and 0.00 deg, PARK 0.0 mm "
                                                                     "and 5.00 deg"),
    ({"TSAI": None}, True, "The 4 methods agree (TSAI failed)"),
])
def test_method_comparison_judges_translation_and_rotation(moved, expected_agree, verdict):
    results = {name: solved(BASE) for name in ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]}
    results.update(moved)
    comparison = method_comparison.compare(results)
    assert comparison["agree"] is expected_agree and comparison["verdict"].startswith(verdict)
    table = method_comparison.table(comparison).splitlines()
    assert [line.split()[0] for line in table[3:8]] == ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
    assert table[-1].startswith("spread (largest difference between two methods): translation ")
