"""The module frame: submodules, log lines, output routing, exception translation, the interpreter check."""

import glob
import io
import os
import subprocess
import sys

import pytest

import _vantel
import _vantel_testhooks as hooks

TEXT = "io: something went wrong"
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
import importlib.util, sys
try:
    importlib.util.module_from_spec(importlib.util.spec_from_file_location('_vantel', {_vantel.__file__!r}))
except ImportError as error:
    print(error, sys.version, sep="\\n")
"""


@pytest.mark.parametrize("name", ["_vantel.tf", "_vantel.diagnostics", "_vantel.io"])
def test_submodules_are_registered_as_parts_of_the_library(name):
    # Docstrings, names and keywords are pinned by the shipped stubs (test_stubs.py).
    module = sys.modules[name]
    assert module is getattr(_vantel, name.split(".")[1]) and module.__name__ == name
    assert module.__file__ == _vantel.__file__


@pytest.mark.parametrize("level, message, line", [
    *[(level, "x", f"[vantel][{tag}] x") for level, tag in [
        (0, "DEBUG"), (1, "INFO"), (2, "WARNING"), (3, "ERROR"), (4, "SUCCESS"), (7, "INFO"), (-1, "INFO")]],
    (3, "[Tag] failed: r\u00e9sum\u00e9", "[vantel][ERROR] [Tag] failed: r\u00e9sum\u00e9"),
    # File names on disk need not be UTF-8; the line still arrives, with replacement characters.
    (1, b"cannot read /data/\xff.png", "[vantel][INFO] cannot read /data/\ufffd.png"),
])
def test_log_lines_go_to_standard_error_and_reports_to_standard_output(capfd, level, message, line):
    hooks.log(level, message)
    hooks.print_report("==== title ====\n")
    assert capfd.readouterr() == ("==== title ====\n", line + "\n")


@pytest.mark.parametrize("replacement", [io.StringIO(), None, object()], ids=["replaced", "none", "without-write"])
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
    *[(kind, TEXT, host_type, rf"^{TEXT}\Z") for kind, host_type in [
        ("invalid_argument", ValueError), ("domain_error", ValueError), ("length_error", ValueError),
        ("range_error", ValueError), ("out_of_range", IndexError), ("overflow_error", OverflowError),
        ("runtime_error", RuntimeError), ("other", RuntimeError)]],
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
    built_for, checked = "%d.%d" % sys.version_info[:2], 0
    for minor in range(sys.version_info.minor + 1, 30):
        found = glob.glob(os.path.expanduser(f"~/.pyenv/versions/3.{minor}.*/bin/python3.{minor}"))
        found += glob.glob(f"/usr/bin/python3.{minor}")
        if not found:
            continue
        result = subprocess.run([found[0], "-c", IMPORT_PROBE], capture_output=True, text=True, timeout=60)
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
