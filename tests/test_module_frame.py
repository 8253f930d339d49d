"""The module frame: docstrings, submodules, log lines, output routing, exception translation."""

import glob
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest

import _vantel
import _vantel_testhooks as hooks

DOCS = {
    "": "Compiled C++ core of parvance-vantel: targets, calibration, geometry, quality, io. "
        "Not meant to be imported directly  -  use the parvance.vantel Python package.",
    "tf": "SE(3) pose <-> 4x4 transformation matrix conversions.",
    "diagnostics": "Diagnostics for hand-eye calibration data and solvers.",
    "io": "On-disk persistence for calibration datasets and results.",
}
TF_FUNCTIONS = {
    "pose_to_transformation_matrix": (
        "pose_xyzrpy_deg", "Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix."),
    "transformation_matrix_to_pose": (
        "transformation", "Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees)."),
    "average_pose": (
        "poses", "Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD."),
}
TEXT = "io: something went wrong"
WHOLE = rf"^{TEXT}\Z"
# A calibration in a child process whose host stream raises when one given line is written.
INTERRUPTING_STREAM = """
import sys, numpy as np, _vantel
stream_name, error, trigger = sys.argv[1], getattr(__builtins__, sys.argv[2]), sys.argv[3]

class Stream:
    def write(self, text):
        if trigger in text:
            raise error("raised by the stream")
    flush = lambda self: None

setattr(sys, stream_name, Stream())
cameras = [_vantel.tf.pose_to_transformation_matrix([0.05 * k, 0.02, 0.5, 10 * k, -5 * k, 3 * k]) for k in range(6)]
calibrator = _vantel.EyeInHandCalibrator(_vantel.ChessboardTarget((9, 6), 0.03))
try:
    outcome = f"returned ok={calibrator.calibrate([np.linalg.inv(c) for c in cameras], [], 'TSAI', cameras).ok}"
except BaseException as caught:
    outcome = f"raised {type(caught).__name__}: {caught}"
print(outcome, file=sys.__stdout__)
"""
# Loads the built library on another interpreter.
IMPORT_PROBE = f"""
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader('_vantel', {_vantel.__file__!r})
try:
    importlib.util.module_from_spec(importlib.util.spec_from_loader('_vantel', loader))
except ImportError as error:
    print(error, sys.version, sep="\\n")
else:
    print('imported')
"""


@pytest.mark.parametrize("name", sorted(DOCS))
def test_module_and_submodule_docstrings(name):
    module = getattr(_vantel, name) if name else _vantel
    assert module.__doc__ == DOCS[name]
    if name:
        assert module.__name__ == f"_vantel.{name}" and sys.modules[module.__name__] is module
        assert module.__file__ == _vantel.__file__


@pytest.mark.parametrize("name", sorted(TF_FUNCTIONS))
def test_tf_functions_have_their_keywords_and_docstrings(name):
    argument, doc = TF_FUNCTIONS[name]
    function = getattr(_vantel.tf, name)
    # pybind11 puts the signature line first, then the docstring.
    assert function.__doc__.splitlines()[0].startswith(f"{name}({argument}:")
    assert function.__doc__.rstrip().endswith(doc)
    assert not hasattr(_vantel, name), "pose functions live in tf only"


@pytest.mark.parametrize("level, message, line", [
    (0, "x", "[vantel][DEBUG] x"), (1, "x", "[vantel][INFO] x"), (2, "x", "[vantel][WARNING] x"),
    (3, "x", "[vantel][ERROR] x"), (4, "x", "[vantel][SUCCESS] x"), (7, "x", "[vantel][INFO] x"),
    (-1, "x", "[vantel][INFO] x"),
    (3, "[Tag] failed: r\u00e9sum\u00e9", "[vantel][ERROR] [Tag] failed: r\u00e9sum\u00e9"),
    # File names on disk need not be UTF-8; the line still arrives, with replacement characters.
    (1, b"cannot read /data/\xff.png", "[vantel][INFO] cannot read /data/\ufffd.png"),
])
def test_log_lines_go_to_standard_error_and_reports_to_standard_output(capfd, level, message, line):
    hooks.log(level, message)
    hooks.print_report("==== title ====\n")
    assert capfd.readouterr() == ("==== title ====\n", line + "\n")


class _BrokenStream:
    def write(self, *text):
        raise OSError("stream closed")

    flush = write


@pytest.mark.parametrize("replacement", [io.StringIO(), None, _BrokenStream()], ids=["replaced", "none", "raising"])
def test_log_and_report_reach_the_host_streams_in_order_or_else_the_process_streams(capfd, monkeypatch, replacement):
    monkeypatch.setattr(sys, "stdout", replacement)
    monkeypatch.setattr(sys, "stderr", replacement)
    hooks.log(1, "[Tag] before")
    hooks.print_report("report body\n")
    hooks.log(4, "[Tag] after")
    lines = ["[vantel][INFO] [Tag] before\n", "report body\n", "[vantel][SUCCESS] [Tag] after\n"]
    if isinstance(replacement, io.StringIO):
        assert replacement.getvalue() == "".join(lines) and capfd.readouterr() == ("", "")
    else:
        assert capfd.readouterr() == (lines[1], lines[0] + lines[2])


@pytest.mark.parametrize("stream, trigger", [("stderr", "Collected poses"), ("stdout", "HAND-EYE RESULTS")])
@pytest.mark.parametrize("error, outcome", [
    ("KeyboardInterrupt", "raised KeyboardInterrupt: raised by the stream"),
    ("SystemExit", "raised SystemExit: raised by the stream"),
    ("OSError", "returned ok=True"),
])
def test_ctrl_c_and_exit_raised_by_a_host_stream_end_the_call(stream, trigger, error, outcome):
    """Ctrl-C in a notebook or under a tee lands in the stream's write; it must reach the caller."""
    child = subprocess.run([sys.executable, "-c", INTERRUPTING_STREAM, stream, error, trigger],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == outcome
    # Any other error of the host stream falls back to the process stream: the line is not lost.
    assert (trigger in child.stdout + child.stderr) == (error == "OSError")


@pytest.mark.parametrize("kind, text, host_type, pattern", [
    ("invalid_argument", TEXT, ValueError, WHOLE), ("domain_error", TEXT, ValueError, WHOLE),
    ("length_error", TEXT, ValueError, WHOLE), ("range_error", TEXT, ValueError, WHOLE),
    ("out_of_range", TEXT, IndexError, WHOLE), ("overflow_error", TEXT, OverflowError, WHOLE),
    ("runtime_error", TEXT, RuntimeError, WHOLE), ("other", TEXT, RuntimeError, WHOLE),
    ("filesystem", TEXT, RuntimeError, TEXT), ("bad_alloc", "", MemoryError, None),
    ("cv", "bad board", RuntimeError, "bad board"), ("json", "{not json", RuntimeError, "parse error"),
])
def test_exception_translation_keeps_the_text(kind, text, host_type, pattern):
    with pytest.raises(host_type, match=pattern) as caught:
        hooks.raise_exception(kind, text)
    assert type(caught.value) is host_type


def test_real_operation_raises_value_error_with_exact_text():
    with pytest.raises(ValueError, match=r"^averagePose: poses must be non-empty\Z"):
        _vantel.tf.average_pose([])


def test_import_on_a_newer_interpreter_fails_with_the_mismatch_message():
    # Older interpreters cannot even load the library (missing C API symbols).
    newer = {}
    for path in sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*"))
                       + glob.glob("/usr/bin/python3.*")):
        version = pathlib.Path(path).name.removeprefix("python")
        if re.fullmatch(r"3\.\d+", version) and int(version[2:]) > sys.version_info.minor:
            newer.setdefault(version, path)
    built_for, checked = "%d.%d" % sys.version_info[:2], 0
    for interpreter in newer.values():
        result = subprocess.run([interpreter, "-c", IMPORT_PROBE], capture_output=True, text=True, timeout=60)
        message, _, version = result.stdout.partition("\n")
        # 3.13 dropped private C API symbols that a build for an older version links to: the
        # loader refuses the library before the module's own check can run.
        if "undefined symbol: _Py" in message and message.startswith(_vantel.__file__):
            continue
        assert message == (f"Python version mismatch: module was compiled for Python {built_for}, "
                           f"but the interpreter version is incompatible: {version.rstrip(chr(10))}.")
        checked += 1
    if not checked:
        pytest.skip("no newer interpreter on this machine that can load the library")
