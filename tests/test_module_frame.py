"""The module frame: docstrings, submodules, log lines, output routing, exception translation."""

import glob
import io
import os
import pathlib
import subprocess
import sys
import types

import pytest

import _vantel
import _vantel_testhooks as hooks

MODULE_DOC = ("Compiled C++ core of parvance-vantel: targets, calibration, geometry, quality, io. "
              "Not meant to be imported directly  -  use the parvance.vantel Python package.")

SUBMODULE_DOCS = {
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


def test_module_docstring():
    assert _vantel.__doc__ == MODULE_DOC


@pytest.mark.parametrize("name", sorted(SUBMODULE_DOCS))
def test_submodules_are_child_modules(name):
    sub = getattr(_vantel, name)
    assert isinstance(sub, types.ModuleType)
    assert sub.__name__ == f"_vantel.{name}"
    assert sub.__doc__ == SUBMODULE_DOCS[name]
    assert sub.__file__ == _vantel.__file__
    assert sys.modules[f"_vantel.{name}"] is sub


@pytest.mark.parametrize("name", sorted(TF_FUNCTIONS))
def test_tf_functions_have_their_names_and_docstrings(name):
    argument, doc = TF_FUNCTIONS[name]
    function = getattr(_vantel.tf, name)
    # pybind11 puts the signature line first, then the docstring.
    assert function.__doc__.splitlines()[0].startswith(f"{name}({argument}:")
    assert function.__doc__.rstrip().endswith(doc)
    assert not hasattr(_vantel, name), "pose functions live in tf only"


def test_tf_accepts_keyword_arguments():
    matrix = _vantel.tf.pose_to_transformation_matrix(pose_xyzrpy_deg=[0, 0, 0, 0, 0, 0])
    assert _vantel.tf.transformation_matrix_to_pose(transformation=matrix) == [0.0] * 6
    assert _vantel.tf.average_pose(poses=[matrix]).shape == (4, 4)


@pytest.mark.parametrize("level, tag", [
    (0, "DEBUG"), (1, "INFO"), (2, "WARNING"), (3, "ERROR"), (4, "SUCCESS"),
    (7, "INFO"), (-1, "INFO"),
])
def test_log_line_format_on_file_descriptor_2(capfd, level, tag):
    hooks.log(level, "x")
    out, err = capfd.readouterr()
    assert err == f"[vantel][{tag}] x\n"
    assert out == ""


def test_log_and_report_reach_replaced_host_streams_in_order(monkeypatch):
    shared = io.StringIO()
    monkeypatch.setattr(sys, "stdout", shared)
    monkeypatch.setattr(sys, "stderr", shared)
    hooks.log(1, "[Tag] before")
    hooks.print_report("report body\n")
    hooks.log(4, "[Tag] after")
    assert shared.getvalue() == "[vantel][INFO] [Tag] before\nreport body\n[vantel][SUCCESS] [Tag] after\n"


def test_capsys_sees_log_and_report(capsys):
    hooks.log(3, "[Tag] failed: r\u00e9sum\u00e9")
    hooks.print_report("==== title ====\n")
    out, err = capsys.readouterr()
    assert err == "[vantel][ERROR] [Tag] failed: r\u00e9sum\u00e9\n"
    assert out == "==== title ====\n"


class _BrokenStream:
    def write(self, text):
        raise OSError("stream closed")

    def flush(self):
        raise OSError("stream closed")


@pytest.mark.parametrize("replacement", [None, _BrokenStream()], ids=["none", "raising"])
def test_unusable_host_stream_falls_back_to_the_process_stream(capfd, monkeypatch, replacement):
    monkeypatch.setattr(sys, "stderr", replacement)
    monkeypatch.setattr(sys, "stdout", replacement)
    hooks.log(2, "still here")
    hooks.print_report("report\n")
    out, err = capfd.readouterr()
    assert err == "[vantel][WARNING] still here\n"
    assert out == "report\n"


INTERRUPTING_STREAM = """
import sys, numpy as np, _vantel
from _vantel import tf
stream_name, error, trigger = sys.argv[1], {"KeyboardInterrupt": KeyboardInterrupt, "SystemExit": SystemExit,
                                          "OSError": OSError}[sys.argv[2]], sys.argv[3]

class Stream:
    def write(self, text):
        if trigger in text:
            raise error("raised by the stream")
    def flush(self):
        pass

setattr(sys, stream_name, Stream())
robots, cameras = [], []
for k in range(6):
    camera = tf.pose_to_transformation_matrix([0.05 * k, 0.02, 0.5, 10 * k, -5 * k, 3 * k])
    cameras.append(camera)
    robots.append(np.linalg.inv(camera))
calibrator = _vantel.EyeInHandCalibrator(_vantel.ChessboardTarget((9, 6), 0.03))
try:
    result = calibrator.calibrate(robots, [], "TSAI", cameras)
    outcome = f"returned ok={result.ok}"
except BaseException as caught:
    outcome = f"raised {type(caught).__name__}: {caught}"
print(outcome, file=sys.__stdout__)
"""


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


def test_invalid_utf8_in_a_message_does_not_lose_the_line(capsys):
    # File names on disk need not be UTF-8; the line still arrives, with replacement characters.
    hooks.log(1, b"cannot read /data/\xff.png")
    assert capsys.readouterr().err == "[vantel][INFO] cannot read /data/\ufffd.png\n"


@pytest.mark.parametrize("kind, host_type", [
    ("invalid_argument", ValueError),
    ("domain_error", ValueError),
    ("length_error", ValueError),
    ("range_error", ValueError),
    ("out_of_range", IndexError),
    ("overflow_error", OverflowError),
    ("runtime_error", RuntimeError),
    ("filesystem", RuntimeError),
    ("other", RuntimeError),
])
def test_exception_translation_keeps_the_text(kind, host_type):
    with pytest.raises(host_type) as caught:
        hooks.raise_exception(kind, "io: something went wrong")
    assert type(caught.value) is host_type
    assert "io: something went wrong" in str(caught.value)
    if kind not in ("filesystem",):
        assert str(caught.value) == "io: something went wrong"


def test_bad_alloc_becomes_memory_error():
    with pytest.raises(MemoryError):
        hooks.raise_exception("bad_alloc", "")


@pytest.mark.parametrize("kind, text, fragment", [
    ("cv", "bad board", "bad board"),
    ("json", "{not json", "parse error"),
])
def test_library_exceptions_reach_the_host_as_runtime_error(kind, text, fragment):
    with pytest.raises(RuntimeError) as caught:
        hooks.raise_exception(kind, text)
    assert type(caught.value) is RuntimeError
    assert fragment in str(caught.value)


def test_real_operation_raises_value_error_with_exact_text():
    with pytest.raises(ValueError) as caught:
        _vantel.tf.average_pose([])
    assert str(caught.value) == "averagePose: poses must be non-empty"


def _newer_interpreters():
    # Older interpreters cannot even load the library (missing C API symbols).
    here = sys.version_info[:2]
    found = {}
    for candidate in sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*"))
                            + glob.glob("/usr/bin/python3.*")):
        name = pathlib.Path(candidate).name
        version = name.removeprefix("python")
        parts = version.split(".")
        if len(parts) == 2 and all(p.isdigit() for p in parts) and tuple(map(int, parts)) > here:
            found.setdefault(version, candidate)
    return list(found.values())


IMPORT_PROBE = (
    "import importlib.machinery, importlib.util, sys\n"
    f"loader = importlib.machinery.ExtensionFileLoader('_vantel', {_vantel.__file__!r})\n"
    "loader_spec = importlib.util.spec_from_loader('_vantel', loader)\n"
    "try:\n"
    "    importlib.util.module_from_spec(loader_spec)\n"
    "except ImportError as error:\n"
    "    print(str(error)); print(sys.version)\n"
    "else:\n"
    "    print('imported')\n"
)


def test_import_on_another_interpreter_version_fails_with_the_mismatch_message():
    built_for = f"{sys.version_info.major}.{sys.version_info.minor}"
    checked = 0
    for interpreter in _newer_interpreters():
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
