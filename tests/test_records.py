"""The JSON records of hand-eye and multi-camera calibrations: exact documents, paths and malformed input."""

import json
import os
import pathlib

import numpy as np
import pytest

from _vantel import io


def multi_camera_document(**changes):
    document = {"distortion_coefficients": [[]], "intrinsic_matrices": [None], "num_cameras": 1,
                "reference_T_camera_list": [None], "reference_index": 0}
    document.update(changes)
    return json.dumps({key: value for key, value in document.items() if value is not ...})


KINDS = {
    "hand-eye": (io.HandEyeResultRecord, io.save_hand_eye_result, io.load_hand_eye_result, "hand_eye.json",
                 "hand-eye result"),
    "multi-camera": (io.MultiCameraCalibrationRecord, io.save_multi_camera_calibration,
                     io.load_multi_camera_calibration, "multi_camera_calibration.json", "multi-camera calibration"),
}
TYPE_ERROR = "[json.exception.type_error.302] type must be {}, but is {}"
NOT_32_BITS = "io: 'num_cameras' is not a 32-bit integer"
AWKWARD = np.eye(4)
AWKWARD[:3, :3] = np.linalg.qr(np.random.default_rng(1).normal(size=(3, 3)))[0]
AWKWARD[:3, 3] = [0.1, -1e-17, 123456.789]
CUBES = np.random.default_rng(3).normal(scale=1e3, size=(4, 4)) ** 3
CAMERA_MATRIX = np.array([[812.5, 0.0, 320.25], [0.0, 811.0, 240.0], [0.0, 0.0, 1.0]])
FLOAT32_POSE = AWKWARD.astype(np.float32)
NAN_2X2 = np.full((2, 2), np.nan)
EMPTY = np.zeros((0, 0))


@pytest.mark.parametrize("kind, fields, document", [
    ("hand-eye", {}, {"method": None, "num_cameras": 0, "num_frames_total": None, "num_frames_used": None,
                      "reference_index": 0, "tcp_T_camera_list": []}),
    ("hand-eye", {"method": "PARK – Martín", "num_frames_used": 9, "num_frames_total": 12, "num_cameras": 2,
                  "reference_index": 1, "tcp_T_camera_list": [AWKWARD, np.zeros((0, 0)), CUBES, NAN_2X2]},
     {"method": "PARK – Martín", "num_cameras": 2, "num_frames_total": 12, "num_frames_used": 9,
      "reference_index": 1, "tcp_T_camera_list": [AWKWARD.tolist(), None, CUBES.tolist(), [[None, None]] * 2]}),
    ("multi-camera", {"num_cameras": 2, "intrinsic_matrices": [CAMERA_MATRIX, np.zeros((0, 0))],
                      "distortion_coefficients": [np.array([[0.1, -0.2, 1e-3, 0.0, 2.5]]), np.zeros((0, 0))],
                      "reference_T_camera_list": [np.eye(4), FLOAT32_POSE],
                      "intrinsic_reprojection_errors": [0.25, 0.3125], "pair_reprojection_errors": [np.nan, 0.5]},
     {"distortion_coefficients": [[0.1, -0.2, 1e-3, 0.0, 2.5], []], "intrinsic_matrices": [CAMERA_MATRIX.tolist(), []],
      "intrinsic_reprojection_errors": [0.25, 0.3125], "num_cameras": 2, "pair_reprojection_errors": [None, 0.5],
      "reference_T_camera_list": [np.eye(4).tolist(), FLOAT32_POSE.astype(float).tolist()], "reference_index": 0}),
], ids=["default-hand-eye", "awkward-hand-eye", "multi-camera"])
def test_documents_are_exact_and_round_trip(tmp_path, capsys, kind, fields, document):
    """Python's own encoder gives the same text: indent 2, shortest round-trip floats, UTF-8 as is."""
    make, save, load, name, what = KINDS[kind]
    record = make()
    for field, value in fields.items():
        setattr(record, field, value)
    path = save(tmp_path, record)
    assert isinstance(path, pathlib.Path) and path == tmp_path / name
    assert capsys.readouterr().err == f"[vantel][SUCCESS] Saved {what} to {path}\n"
    assert path.read_bytes() == json.dumps(document, indent=2, ensure_ascii=False).encode()
    loaded = load(tmp_path)
    # NaN, empty matrices, shapes and nulls (a fresh record's -1 or "") come back as they went.
    for field in [f for f in dir(record) if not f.startswith("_")]:
        np.testing.assert_equal(getattr(loaded, field), getattr(record, field))
        if field.endswith(("_list", "_matrices", "_coefficients")):
            assert [m.shape for m in getattr(loaded, field)] == [m.shape for m in getattr(record, field)]
    assert capsys.readouterr().err == ""


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
    record.intrinsic_matrices = record.distortion_coefficients = record.reference_T_camera_list = [EMPTY] * 3
    path = io.save_multi_camera_calibration(as_path(tmp_path / given), record)
    assert path == tmp_path / written and isinstance(path, pathlib.Path) and path.is_file()
    assert io.load_multi_camera_calibration(as_path(tmp_path / given)).num_cameras == 3


def test_empty_and_absent_members(tmp_path):
    """An empty matrix may be null or []; the error lists are optional."""
    path = tmp_path / "m.json"
    path.write_text(multi_camera_document(num_cameras=3, intrinsic_matrices=[np.eye(3).tolist(), None, []],
                                          distortion_coefficients=[[]] * 3, reference_T_camera_list=[None] * 3))
    record = io.load_multi_camera_calibration(path)
    np.testing.assert_equal(record.intrinsic_matrices, [np.eye(3), EMPTY, EMPTY])
    assert record.intrinsic_reprojection_errors == [] and record.pair_reprojection_errors == []
    path.write_text(multi_camera_document(pair_reprojection_errors=None))
    assert io.load_multi_camera_calibration(path).pair_reprojection_errors == []


@pytest.mark.parametrize("load, document, message", [
    *[(io.load_multi_camera_calibration, multi_camera_document(**changes), message) for changes, message in [
        ({"intrinsic_matrices": ...}, "[json.exception.out_of_range.403] key 'intrinsic_matrices' not found"),
        ({"intrinsic_matrices": [[[1.0, 2.0], [3.0]]]}, "io: rows of unequal length in a JSON matrix"),
        ({"intrinsic_matrices": [[[1.0, "2"]]]}, TYPE_ERROR.format("number", "string")),
        ({"intrinsic_matrices": [[[1.0, True]]]}, TYPE_ERROR.format("number", "boolean")),
        ({"intrinsic_matrices": [[[1.0], 5.0]]}, "io: a row of a JSON matrix is not an array"),
        ({"distortion_coefficients": [5.0]}, TYPE_ERROR.format("array", "number")),
        ({"num_cameras": 2.5}, NOT_32_BITS),
        ({"num_cameras": 2**40}, NOT_32_BITS),
        ({"reference_index": "0"}, TYPE_ERROR.format("number", "string")),
        ({"pair_reprojection_errors": ["x"]}, TYPE_ERROR.format("number", "string")),
    ]],
    (io.load_hand_eye_result, '{"num_cameras": 1, "reference_index": 0, "method": 3, "tcp_T_camera_list": []}',
     TYPE_ERROR.format("string", "number")),
])
def test_malformed_documents_are_refused(tmp_path, load, document, message):
    (tmp_path / "d.json").write_text(document)
    with pytest.raises(RuntimeError) as error:
        load(tmp_path / "d.json")
    assert str(error.value) == message


def four_cameras(**changes):
    fields = {"num_cameras": 4, "reference_index": 1, "intrinsic_matrices": [CAMERA_MATRIX] * 3 + [EMPTY],
              "distortion_coefficients": [np.zeros(5)] * 3 + [EMPTY], "reference_T_camera_list": [np.eye(4)] * 4,
              "intrinsic_reprojection_errors": [0.25] * 4, "pair_reprojection_errors": [0.5] * 4}
    return fields | changes


def as_json(field, value):
    if field == "distortion_coefficients":
        return [m.ravel().tolist() for m in value]
    return [m.tolist() for m in value] if field.endswith(("_matrices", "_list")) else value


@pytest.mark.parametrize("change, message", [
    ({"num_cameras": -3}, "num_cameras must be at least 1, got -3"),
    ({"num_cameras": 0}, "num_cameras must be at least 1, got 0"),
    ({"reference_index": 99}, "reference_index 99 is out of range for 4 cameras"),
    ({"reference_index": -1}, "reference_index -1 is out of range for 4 cameras"),
    ({"num_cameras": 5}, "record for 5 cameras holds 4 intrinsic_matrices"),
    ({"intrinsic_matrices": [CAMERA_MATRIX]}, "record for 4 cameras holds 1 intrinsic_matrices"),
    ({"distortion_coefficients": [EMPTY] * 5}, "record for 4 cameras holds 5 distortion_coefficients"),
    ({"reference_T_camera_list": []}, "record for 4 cameras holds 0 reference_T_camera_list"),
    ({"pair_reprojection_errors": [0.5] * 3}, "record for 4 cameras holds 3 pair_reprojection_errors"),
    ({"intrinsic_matrices": [CAMERA_MATRIX, CAMERA_MATRIX, np.eye(2), EMPTY]},
     "intrinsic_matrices[2] must be 3x3 or empty, got 2x2"),
    ({"distortion_coefficients": [EMPTY, np.zeros(3), EMPTY, EMPTY]},
     "distortion_coefficients[1] must hold 0, 4, 5, 8, 12 or 14 values, got 3"),
    ({"reference_T_camera_list": [np.eye(4)] * 3 + [np.eye(4)[:3]]},
     "reference_T_camera_list[3] must be 4x4 or empty, got 3x4"),
])
def test_inconsistent_multi_camera_records_are_refused_on_save_and_load(tmp_path, capsys, change, message):
    record = io.MultiCameraCalibrationRecord()
    for field, value in four_cameras(**change).items():
        setattr(record, field, value)
    with pytest.raises(ValueError) as refused:
        io.save_multi_camera_calibration(tmp_path, record)
    path = tmp_path / "m.json"
    path.write_text(json.dumps({field: as_json(field, value) for field, value in four_cameras(**change).items()}))
    with pytest.raises(RuntimeError) as failed:
        io.load_multi_camera_calibration(path)
    assert str(refused.value) == str(failed.value) == "io: " + message
    assert [p.name for p in tmp_path.iterdir()] == ["m.json"] and capsys.readouterr().err == ""


def test_a_method_that_is_not_utf8_is_refused_when_assigned():
    record = io.HandEyeResultRecord()
    record.method = "Martín".encode()
    with pytest.raises(ValueError, match=r"^HandEyeResultRecord: method must be UTF-8 text$"):
        record.method = b"PARK\xff"
    assert record.method == "Martín"
