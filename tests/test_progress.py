"""Progress of long calls and Ctrl-C between their steps (run in child processes: real signals)."""

import json
import subprocess
import sys
import textwrap

import numpy as np

import _vantel

CHILD_PRELUDE = textwrap.dedent("""
    import json, os, signal, sys
    import numpy as np, _vantel
    seen = []
    def interrupt_at(step):
        def callback(what, done, total):
            seen.append([what, done, total])
            if done == step:
                os.kill(os.getpid(), signal.SIGINT)  # as Ctrl-C: the call notices it at its next step
        return callback
    blank = [np.zeros((48, 64, 3), np.uint8)] * 20
""")


def run_child(body):
    child = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)], capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.splitlines()[-1])


def test_ctrl_c_ends_a_long_call_at_the_next_image():
    outcome = run_child("""
        calibrator = _vantel.IntrinsicCalibrator(_vantel.ChessboardTarget((9, 6), 0.03))
        _vantel.set_progress_callback(interrupt_at(5))
        try:
            calibrator.calibrate(blank)
            raised = None
        except KeyboardInterrupt:
            raised = "KeyboardInterrupt"
        _vantel.set_progress_callback(None)
        again = calibrator.calibrate(blank[:2])  # the module stays usable
        print(json.dumps({"raised": raised, "last": seen[-1], "steps": len(seen), "again": again.ok}))
    """)
    assert outcome == {"raised": "KeyboardInterrupt", "last": ["Finding corners", 5, 20], "steps": 5, "again": False}


def test_an_interrupted_rig_calibration_keeps_the_previous_record():
    outcome = run_child("""
        calibrator = _vantel.MultiCameraCalibrator(_vantel.ChessboardTarget((9, 6), 0.03), 2)
        first = calibrator.calibrate([blank, blank], [np.eye(3)] * 2, [np.zeros(5)] * 2)
        _vantel.set_progress_callback(interrupt_at(3))
        try:
            calibrator.calibrate([blank, blank], [2 * np.eye(3)] * 2, [np.zeros(5)] * 2)
        except KeyboardInterrupt:
            pass
        kept = calibrator.last_result().intrinsic_matrices[0]
        print(json.dumps({"kept_first": bool(np.array_equal(kept, np.eye(3))), "ok": first.ok}))
    """)
    assert outcome == {"kept_first": True, "ok": False}


def test_progress_reaches_the_callback_in_order(monkeypatch):
    seen = []
    _vantel.set_progress_callback(lambda what, done, total: seen.append((what, done, total)))
    try:
        _vantel.IntrinsicCalibrator(_vantel.ChessboardTarget((9, 6), 0.03)).calibrate(
            [np.zeros((48, 64, 3), np.uint8)] * 3)
    finally:
        _vantel.set_progress_callback(None)
    assert seen == [("Finding corners", k, 3) for k in (1, 2, 3)]
