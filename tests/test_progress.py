"""Progress of long calls and Ctrl-C between their steps (run in child processes: real signals)."""

import textwrap

from intrinsic_support import run_child

PRELUDE = """
import json, os, signal
import numpy as np, _vantel
seen = []
def interrupt_at(step):
    def callback(what, done, total):
        seen.append([what, done, total])
        if done == step:
            os.kill(os.getpid(), signal.SIGINT)  # as Ctrl-C: the call notices it at its next step
    return callback
blank = [np.zeros((48, 64, 3), np.uint8)] * 20
"""


def test_ctrl_c_ends_a_long_call_at_the_next_image_after_progress_in_order():
    outcome = run_child(PRELUDE + textwrap.dedent("""
        calibrator = _vantel.IntrinsicCalibrator(_vantel.ChessboardTarget((9, 6), 0.03))
        _vantel.set_progress_callback(interrupt_at(5))
        try:
            calibrator.calibrate(blank)
            raised = None
        except KeyboardInterrupt:
            raised = "KeyboardInterrupt"
        _vantel.set_progress_callback(None)
        again = calibrator.calibrate(blank[:2])  # the module stays usable
        print(json.dumps({"raised": raised, "seen": seen, "again": again.ok}))
    """))
    assert outcome == {"raised": "KeyboardInterrupt", "seen": [["Finding corners", k, 20] for k in range(1, 6)],
                       "again": False}


def test_an_interrupted_rig_calibration_keeps_the_previous_record():
    outcome = run_child(PRELUDE + textwrap.dedent("""
        calibrator = _vantel.MultiCameraCalibrator(_vantel.ChessboardTarget((9, 6), 0.03), 2)
        first = calibrator.calibrate([blank, blank], [np.eye(3)] * 2, [np.zeros(5)] * 2)
        _vantel.set_progress_callback(interrupt_at(3))
        try:
            calibrator.calibrate([blank, blank], [2 * np.eye(3)] * 2, [np.zeros(5)] * 2)
        except KeyboardInterrupt:
            pass
        kept = calibrator.last_result().intrinsic_matrices[0]
        print(json.dumps({"kept_first": bool(np.array_equal(kept, np.eye(3))), "ok": first.ok}))
    """))
    assert outcome == {"kept_first": True, "ok": False}
