"""The JSON records of hand-eye and multi-camera calibrations: exact documents, paths and malformed input."""

import json
import math
import os
import pathlib

import numpy as np
import pytest

from _vantel import io


def test_default_hand_eye_record_document_and_round_trip(tmp_path, capsys):
    path = io.save_hand_eye_result(tmp_path, io.HandEyeResultRecord())
    assert isinstance(path, pathlib.Path) and path == tmp_path / "hand_eye.json"
    assert capsys.readouterr().err == f"[vantel][SUCCESS] Saved hand-eye result to {path}\n"
    assert path.read_text() == json.dumps({"method": None, "num_cameras": 0, "num_frames_total": None,
                                           "num_frames_used": None, "reference_index": 0, "tcp_T_camera_list": []},
                                          indent=2)
    record = io.load_hand_eye_result(tmp_path)
    assert (record.method, record.num_frames_used, record.num_frames_total) == ("", -1, -1)
    assert (record.reference_index, record.num_cameras, record.tcp_T_camera_list) == (0, 0, [])
    assert capsys.readouterr().err == ""


def awkward_pose(seed):
    rng = np.random.default_rng(seed)
    pose = np.eye(4)
    pose[:3, :3] = np.linalg.qr(rng.normal(size=(3, 3)))[0]
    pose[:3, 3] = [0.1, -1e-17, 123456.789]
    return pose


def test_hand_eye_document_is_exact_and_round_trips(tmp_path):
    record = io.HandEyeResultRecord()
    record.method, record.num_frames_used, record.num_frames_total = "PARK – Martín", 9, 12
    record.num_cameras, record.reference_index = 2, 1
    values = np.random.default_rng(3).normal(scale=1e3, size=(4, 4)) ** 3
    record.tcp_T_camera_list = [awkward_pose(1), np.zeros((0, 0)), values, np.full((2, 2), np.nan)]
    path = io.save_hand_eye_result(tmp_path / "h.json", record)
    expected = {"method": "PARK – Martín", "num_cameras": 2, "num_frames_total": 12, "num_frames_used": 9,
                "reference_index": 1,
                "tcp_T_camera_list": [awkward_pose(1).tolist(), None, values.tolist(), [[None, None]] * 2]}
    # Python's own encoder gives the same text: indent 2, shortest round-trip floats, UTF-8 as is.
    assert path.read_bytes() == json.dumps(expected, indent=2, ensure_ascii=False).encode()

    loaded = io.load_hand_eye_result(path)
    assert loaded.method == record.method and (loaded.num_frames_used, loaded.num_frames_total) == (9, 12)
    assert (loaded.num_cameras, loaded.reference_index) == (2, 1)
    assert np.array_equal(loaded.tcp_T_camera_list[0], awkward_pose(1))
    assert loaded.tcp_T_camera_list[1].shape == (0, 0)
    assert np.array_equal(loaded.tcp_T_camera_list[2], values)
    assert np.isnan(loaded.tcp_T_camera_list[3]).all()


def test_multi_camera_document_is_exact_and_round_trips(tmp_path, capsys):
    record = io.MultiCameraCalibrationRecord()
    record.num_cameras, record.reference_index = 2, 0
    camera_matrix = np.array([[812.5, 0.0, 320.25], [0.0, 811.0, 240.0], [0.0, 0.0, 1.0]])
    pose = awkward_pose(2).astype(np.float32)
    record.intrinsic_matrices = [camera_matrix, np.zeros((0, 0))]
    record.distortion_coefficients = [np.array([[0.1], [-0.2], [1e-3], [0.0], [2.5]]), np.zeros((0, 0))]
    record.reference_T_camera_list = [np.eye(4), pose]
    record.intrinsic_reprojection_errors = [0.25, 0.3125]
    record.pair_reprojection_errors = [float("nan"), 0.5]
    path = io.save_multi_camera_calibration(tmp_path / "m.json", record)
    assert capsys.readouterr().err == f"[vantel][SUCCESS] Saved multi-camera calibration to {path}\n"
    expected = {"distortion_coefficients": [[0.1, -0.2, 1e-3, 0.0, 2.5], []],
                "intrinsic_matrices": [camera_matrix.tolist(), []], "intrinsic_reprojection_errors": [0.25, 0.3125],
                "num_cameras": 2, "pair_reprojection_errors": [None, 0.5],
                "reference_T_camera_list": [np.eye(4).tolist(), pose.astype(float).tolist()], "reference_index": 0}
    assert path.read_bytes() == json.dumps(expected, indent=2).encode()

    loaded = io.load_multi_camera_calibration(path)
    assert np.array_equal(loaded.intrinsic_matrices[0], camera_matrix)
    assert loaded.intrinsic_matrices[1].shape == (0, 0)
    assert loaded.distortion_coefficients[0].shape == (1, 5)
    assert loaded.distortion_coefficients[0].ravel().tolist() == [0.1, -0.2, 1e-3, 0.0, 2.5]
    assert loaded.reference_T_camera_list[0].dtype == np.float64
    assert np.array_equal(loaded.reference_T_camera_list[1], pose)
    assert math.isnan(loaded.pair_reprojection_errors[0]) and loaded.pair_reprojection_errors[1] == 0.5


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


def multi_camera_document(**changes):
    document = {"distortion_coefficients": [], "intrinsic_matrices": [], "num_cameras": 1,
                "reference_T_camera_list": [], "reference_index": 0}
    document.update(changes)
    return json.dumps({key: value for key, value in document.items() if value is not ...})


def test_empty_and_absent_members(tmp_path):
    """An empty matrix may be null or []; the error lists are optional."""
    path = tmp_path / "m.json"
    path.write_text(multi_camera_document(intrinsic_matrices=[np.eye(3).tolist(), None, []]))
    record = io.load_multi_camera_calibration(path)
    assert np.array_equal(record.intrinsic_matrices[0], np.eye(3))
    assert [matrix.shape for matrix in record.intrinsic_matrices[1:]] == [(0, 0), (0, 0)]
    assert record.intrinsic_reprojection_errors == [] and record.pair_reprojection_errors == []
    path.write_text(multi_camera_document(pair_reprojection_errors=None))
    assert io.load_multi_camera_calibration(path).pair_reprojection_errors == []


TYPE_ERROR = "[json.exception.type_error.302] type must be {}, but is {}"
UNEQUAL_ROWS = "io: rows of unequal length in a JSON matrix"
NOT_32_BITS = "io: 'num_cameras' is not a 32-bit integer"


@pytest.mark.parametrize("load, document, message", [
    *[(io.load_multi_camera_calibration, multi_camera_document(**changes), message) for changes, message in [
        ({"intrinsic_matrices": ...}, "[json.exception.out_of_range.403] key 'intrinsic_matrices' not found"),
        ({"intrinsic_matrices": [[[1.0, 2.0], [3.0]]]}, UNEQUAL_ROWS),
        ({"reference_T_camera_list": [[[1.0], [2.0, 3.0]]]}, UNEQUAL_ROWS),
        ({"intrinsic_matrices": [[[1.0, "2"]]]}, TYPE_ERROR.format("number", "string")),
        ({"intrinsic_matrices": [[[1.0, True]]]}, TYPE_ERROR.format("number", "boolean")),
        ({"intrinsic_matrices": [[[1.0], 5.0]]}, "io: a row of a JSON matrix is not an array"),
        ({"distortion_coefficients": [5.0]}, TYPE_ERROR.format("array", "number")),
        ({"num_cameras": 1e20}, NOT_32_BITS),
        ({"num_cameras": 2**40}, NOT_32_BITS),
        ({"reference_index": "0"}, TYPE_ERROR.format("number", "string")),
        ({"pair_reprojection_errors": ["x"]}, TYPE_ERROR.format("number", "string")),
    ]],
    (io.load_hand_eye_result, '{"num_cameras": 1, "reference_index": 0, "method": 3, "tcp_T_camera_list": []}',
     TYPE_ERROR.format("string", "number")),
    (io.load_hand_eye_result, '{"num_cameras": 1,', "[json.exception.parse_error.101] parse error at line 1, "
     "column 19: syntax error while parsing object key - unexpected end of input; expected string literal"),
])
def test_malformed_documents_are_refused(tmp_path, load, document, message):
    (tmp_path / "d.json").write_text(document)
    with pytest.raises(RuntimeError) as error:
        load(tmp_path / "d.json")
    assert str(error.value) == message


def test_a_missing_file_is_refused(tmp_path):
    with pytest.raises(RuntimeError) as error:
        io.load_hand_eye_result(tmp_path / "run1")
    assert str(error.value) == f"io: cannot open {tmp_path / 'run1'} for reading"


def test_a_method_that_is_not_utf8_is_refused_when_assigned():
    record = io.HandEyeResultRecord()
    record.method = "Martín".encode()
    assert record.method == "Martín"
    with pytest.raises(ValueError, match=r"^HandEyeResultRecord: method must be UTF-8 text$"):
        record.method = b"PARK\xff"
    assert record.method == "Martín"
