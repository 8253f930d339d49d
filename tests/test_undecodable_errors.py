import os

import numpy as np
import pytest

import _vantel

io = _vantel.io


def intrinsic_calibrator_with(**options):
    settings = _vantel.IntrinsicOptions()
    for name, value in options.items():
        setattr(settings, name, value)
    return _vantel.IntrinsicCalibrator(_vantel.ChessboardTarget((7, 5), 0.02), settings)


def undecodable_failures(folder):
    """Per kind of failure, (call, host type, error text); each text holds bytes that are not UTF-8."""
    image = np.zeros((20, 20, 3), np.uint8)
    base = os.fsencode(folder)
    (folder / "blocker").write_bytes(b"")
    (folder / "bad_method.json").write_bytes(
        b'{"method": "PARK\xff", "num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": []}')
    return {
        "option holding bytes": (
            lambda: intrinsic_calibrator_with(chessboard_corner_detector=b"Sector\xff").calibrate([image]),
            ValueError,
            "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got 'Sector\ufffd'"),
        "bytes path": (
            lambda: io.load_hand_eye_result(base + b"/missing\xff.json"),
            RuntimeError,
            f"io: cannot open {folder}/missing\ufffd.json for reading"),
        "str path with an escaped byte": (
            lambda: io.load_multi_camera_calibration(os.fsdecode(base + b"/m\xfe.json")),
            RuntimeError,
            f"io: cannot open {folder}/m\ufffd.json for reading"),
        "archive path": (
            lambda: io.load_hand_eye_dataset(base + b"/d\xff"),
            RuntimeError,
            f"npz: cannot open {folder}/d\ufffd/calibration_data.npz for reading"),
        "file system error": (
            lambda: io.save_hand_eye_dataset(base + b"/blocker/sub\xff", [], []),
            RuntimeError,
            f"filesystem error: cannot create directories: Not a directory [{folder}/blocker/sub\ufffd]"),
        "method that is not UTF-8": (
            lambda: io.load_hand_eye_result(folder / "bad_method.json"),
            RuntimeError,
            "[json.exception.parse_error.101] parse error at line 1, column 17: syntax error while parsing value - "
            "invalid string: ill-formed UTF-8 byte; last read: '\"PARK\ufffd'"),
    }


@pytest.mark.parametrize("case", ["option holding bytes", "bytes path", "str path with an escaped byte",
                                  "archive path", "file system error", "method that is not UTF-8"])
def test_undecodable_bytes_in_an_error_are_replaced(tmp_path, case):
    call, host_type, message = undecodable_failures(tmp_path)[case]
    with pytest.raises(Exception) as error:
        call()
    assert type(error.value) is host_type and str(error.value) == message

