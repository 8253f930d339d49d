"""Progress of long calls and Ctrl-C between their steps (in a child process: real signals)."""

import textwrap

from intrinsic_support import run_child

CHILD = textwrap.dedent("""
    import json, os, signal
    import numpy as np, _vantel
    seen, blank = [], [np.zeros((48, 64, 3), np.uint8)] * 20
    def interrupt_at(step):
        def callback(what, done, total):
            seen.append([what, done, total])
            if done == step:
                os.kill(os.getpid(), signal.SIGINT)  # as Ctrl-C: the call notices it at its next step
        return callback
    outcome = []
    calibrator = _vantel.IntrinsicCalibrator(_vantel.ChessboardTarget((9, 6), 0.03))
    _vantel.set_progress_callback(interrupt_at(5))
    try:
        calibrator.calibrate(blank)
    except KeyboardInterrupt:
        outcome.append("interrupted")
    _vantel.set_progress_callback(None)
    outcome += [list(seen), calibrator.calibrate(blank[:2]).ok]  # still usable, and no more progress
    rig = _vantel.MultiCameraCalibrator(_vantel.ChessboardTarget((9, 6), 0.03), 2)
    first = rig.calibrate([blank, blank], [np.eye(3)] * 2, [np.zeros(5)] * 2)
    _vantel.set_progress_callback(interrupt_at(3))
    try:
        rig.calibrate([blank, blank], [2 * np.eye(3)] * 2, [np.zeros(5)] * 2)
    except KeyboardInterrupt:
        outcome.append("interrupted")
    outcome += [first.ok, bool(np.array_equal(rig.last_result().intrinsic_matrices[0], np.eye(3)))]
    print(json.dumps(outcome))
""")


def test_ctrl_c_ends_a_long_call_at_the_next_step_and_keeps_the_previous_record():
    assert run_child(CHILD) == ["interrupted", [["Finding corners", k, 20] for k in range(1, 6)], False,
                                "interrupted", False, True]
