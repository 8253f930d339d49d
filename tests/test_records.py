import json
import math
import os
import pathlib

import numpy as np
import pytest

import _vantel

io = _vantel.io

DEFAULT_HAND_EYE_DOCUMENT = """{
  "method": null,
  "num_cameras": 0,
  "num_frames_total": null,
  "num_frames_used": null,
  "reference_index": 0,
  "tcp_T_camera_list": []
}"""


def test_default_hand_eye_record_document_and_round_trip(tmp_path, capsys):
    path = io.save_hand_eye_result(tmp_path / "r.json", io.HandEyeResultRecord())
    assert isinstance(path, pathlib.Path) and path == tmp_path / "r.json"
    assert path.read_bytes() == DEFAULT_HAND_EYE_DOCUMENT.encode()
    assert capsys.readouterr().err == f"[vantel][SUCCESS] Saved hand-eye result to {path}\n"
    record = io.load_hand_eye_result(path)
    assert (record.method, record.num_frames_used, record.num_frames_total) == ("", -1, -1)
    assert (record.reference_index, record.num_cameras, record.tcp_T_camera_list) == (0, 0, [])
    assert capsys.readouterr().err == ""


def awkward_pose(seed):
    rng = np.random.default_rng(seed)
    pose = np.eye(4)
    pose[:3, :3] = np.linalg.qr(rng.normal(size=(3, 3)))[0]
    pose[:3, 3] = [0.1, -1e-17, 123456.789]
    return pose


def test_hand_eye_document_is_exact(tmp_path):
    record = io.HandEyeResultRecord()
    record.method, record.num_frames_used, record.num_frames_total = "PARK – Martín", 9, 12
    record.num_cameras, record.reference_index = 2, 1
    record.tcp_T_camera_list = [awkward_pose(1), np.zeros((0, 0))]
    path = io.save_hand_eye_result(tmp_path / "h.json", record)
    expected = {"method": "PARK – Martín", "num_cameras": 2, "num_frames_total": 12, "num_frames_used": 9,
                "reference_index": 1, "tcp_T_camera_list": [awkward_pose(1).tolist(), None]}
    # Python's own encoder gives the same text: indent 2, shortest round-trip floats, UTF-8 as is.
    assert path.read_bytes() == json.dumps(expected, indent=2, ensure_ascii=False).encode()

    loaded = io.load_hand_eye_result(path)
    assert loaded.method == record.method and (loaded.num_frames_used, loaded.num_frames_total) == (9, 12)
    assert np.array_equal(loaded.tcp_T_camera_list[0], awkward_pose(1))
    assert loaded.tcp_T_camera_list[1].shape == (0, 0)


def test_multi_camera_document_is_exact_and_round_trips(tmp_path):
    record = io.MultiCameraCalibrationRecord()
    record.num_cameras, record.reference_index = 2, 0
    camera_matrix = np.array([[812.5, 0.0, 320.25], [0.0, 811.0, 240.0], [0.0, 0.0, 1.0]])
    record.intrinsic_matrices = [camera_matrix, np.zeros((0, 0))]
    record.distortion_coefficients = [np.array([[0.1], [-0.2], [1e-3], [0.0], [2.5]]), np.zeros((0, 0))]
    record.reference_T_camera_list = [np.eye(4), awkward_pose(2).astype(np.float32)]
    record.intrinsic_reprojection_errors = [0.25, 0.3125]
    record.pair_reprojection_errors = [float("nan"), 0.5]
    path = io.save_multi_camera_calibration(tmp_path / "m.json", record)

    expected = {
        "distortion_coefficients": [[0.1, -0.2, 1e-3, 0.0, 2.5], []],
        "intrinsic_matrices": [camera_matrix.tolist(), []],
        "intrinsic_reprojection_errors": [0.25, 0.3125],
        "num_cameras": 2,
        "pair_reprojection_errors": [None, 0.5],
        "reference_T_camera_list": [np.eye(4).tolist(), awkward_pose(2).astype(np.float32).astype(float).tolist()],
        "reference_index": 0,
    }
    assert path.read_bytes() == json.dumps(expected, indent=2).encode()

    loaded = io.load_multi_camera_calibration(path)
    assert np.array_equal(loaded.intrinsic_matrices[0], camera_matrix)
    assert loaded.intrinsic_matrices[1].shape == (0, 0)
    assert loaded.distortion_coefficients[0].shape == (1, 5)
    assert loaded.distortion_coefficients[0].ravel().tolist() == [0.1, -0.2, 1e-3, 0.0, 2.5]
    assert loaded.reference_T_camera_list[0].dtype == np.float64
    assert np.array_equal(loaded.reference_T_camera_list[1], awkward_pose(2).astype(np.float32))
    assert math.isnan(loaded.pair_reprojection_errors[0]) and loaded.pair_reprojection_errors[1] == 0.5


def test_random_doubles_survive_exactly(tmp_path):
    values = np.random.default_rng(3).normal(scale=1e3, size=(4, 4)) ** 3
    record = io.HandEyeResultRecord()
    record.tcp_T_camera_list = [values, np.full((4, 4), np.nan)]
    loaded = io.load_hand_eye_result(io.save_hand_eye_result(tmp_path, record))
    assert np.array_equal(loaded.tcp_T_camera_list[0], values)
    assert np.isnan(loaded.tcp_T_camera_list[1]).all()


@pytest.mark.parametrize("given, written", [
    ("existing", "existing/multi_camera_calibration.json"),
    ("out/cal", "out/cal/multi_camera_calibration.json"),
    ("out/cal.txt", "out/cal.txt"),
])
@pytest.mark.parametrize("as_path", [str, os.fsencode, pathlib.Path])
def test_output_path_rules(tmp_path, given, written, as_path):
    (tmp_path / "existing").mkdir()
    record = io.MultiCameraCalibrationRecord()
    record.num_cameras = 3
    path = io.save_multi_camera_calibration(as_path(tmp_path / given), record)
    assert path == tmp_path / written and isinstance(path, pathlib.Path) and path.is_file()
    assert io.load_multi_camera_calibration(as_path(tmp_path / given)).num_cameras == 3


def test_loading_paths(tmp_path):
    io.save_hand_eye_result(tmp_path, io.HandEyeResultRecord())
    assert io.load_hand_eye_result(tmp_path).num_frames_used == -1
    with pytest.raises(RuntimeError) as error:
        io.load_hand_eye_result(tmp_path / "run1")
    assert str(error.value) == f"io: cannot open {tmp_path / 'run1'} for reading"


def written_document(tmp_path, **changes):
    document = {"distortion_coefficients": [], "intrinsic_matrices": [], "num_cameras": 1,
                "reference_T_camera_list": [], "reference_index": 0}
    document.update(changes)
    path = tmp_path / "m.json"
    path.write_text(json.dumps({key: value for key, value in document.items() if value is not ...}))
    return path


@pytest.mark.parametrize("empty", [None, []])
def test_an_empty_intrinsic_matrix_may_be_written_as_null_or_empty_list(tmp_path, empty):
    identity = np.eye(3).tolist()
    record = io.load_multi_camera_calibration(written_document(tmp_path, intrinsic_matrices=[identity, empty]))
    assert np.array_equal(record.intrinsic_matrices[0], np.eye(3))
    assert record.intrinsic_matrices[1].shape == (0, 0)


def test_optional_members_may_be_absent(tmp_path):
    record = io.load_multi_camera_calibration(written_document(tmp_path))
    assert record.intrinsic_reprojection_errors == [] and record.pair_reprojection_errors == []
    record = io.load_multi_camera_calibration(written_document(tmp_path, pair_reprojection_errors=None))
    assert record.pair_reprojection_errors == []


@pytest.mark.parametrize("changes, message", [
    ({"intrinsic_matrices": ...}, "[json.exception.out_of_range.403] key 'intrinsic_matrices' not found"),
    ({"intrinsic_matrices": [[[1.0, 2.0], [3.0]]]}, "io: rows of unequal length in a JSON matrix"),
    ({"reference_T_camera_list": [[[1.0], [2.0, 3.0]]]}, "io: rows of unequal length in a JSON matrix"),
    ({"intrinsic_matrices": [[[1.0, "2"]]]}, "[json.exception.type_error.302] type must be number, but is string"),
    ({"intrinsic_matrices": [[[1.0, True]]]}, "[json.exception.type_error.302] type must be number, but is boolean"),
    ({"intrinsic_matrices": [[[1.0], 5.0]]}, "io: a row of a JSON matrix is not an array"),
    ({"distortion_coefficients": [5.0]}, "[json.exception.type_error.302] type must be array, but is number"),
    ({"num_cameras": 1e20}, "io: 'num_cameras' is not a 32-bit integer"),
    ({"num_cameras": 2**40}, "io: 'num_cameras' is not a 32-bit integer"),
    ({"reference_index": "0"}, "[json.exception.type_error.302] type must be number, but is string"),
    ({"pair_reprojection_errors": ["x"]}, "[json.exception.type_error.302] type must be number, but is string"),
])
def test_malformed_documents_are_refused(tmp_path, changes, message):
    with pytest.raises(RuntimeError) as error:
        io.load_multi_camera_calibration(written_document(tmp_path, **changes))
    assert str(error.value) == message


def test_unparsable_documents_raise_the_library_error(tmp_path):
    path = tmp_path / "hand_eye.json"
    path.write_text('{"num_cameras": 1,')
    with pytest.raises(RuntimeError, match=r"^\[json\.exception\.parse_error\.101\]"):
        io.load_hand_eye_result(tmp_path)
    path.write_text('{"num_cameras": 1, "reference_index": 0, "method": 3, "tcp_T_camera_list": []}')
    with pytest.raises(RuntimeError, match=r"^\[json\.exception\.type_error\.302\] type must be string, but is number$"):
        io.load_hand_eye_result(path)


def test_a_method_that_is_not_utf8_is_refused_when_assigned():
    record = io.HandEyeResultRecord()
    record.method = "Martín".encode()
    assert record.method == "Martín"
    with pytest.raises(ValueError, match=r"^HandEyeResultRecord: method must be UTF-8 text$"):
        record.method = b"PARK\xff"
    assert record.method == "Martín"
