"""Each case in a child process, so that a crash fails one test: board sizes that cannot describe a board
(which used to end the process) fail with a ValueError wherever they are used; Ctrl-C between steps."""

import json
import subprocess
import sys

import pytest


def run_child(script, *args):
    """The last line the script printed, read as JSON."""
    child = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.splitlines()[-1])


CHILD = r"""
import json, sys
import numpy as np
import _vantel as v
from _vantel import tf

kind, (x, y), use = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
# Targets store their sizes unchecked: building all three is safe.
target = {"chessboard": v.ChessboardTarget((x, y), 0.03), "charuco": v.CharucoTarget(x, y, 0.04, 0.03, 0),
          "aruco": v.ArucoTarget((x, y), 0.04, 0.01, 0)}[kind]
image = np.full((240, 320, 3), 200, np.uint8)
cameras = [tf.pose_to_transformation_matrix([0.01 * k, 0.02, 0.5, 10 * k, -5 * k, 3 * k]) for k in range(6)]
uses = {"object_points": lambda: target.object_points,
        "find_corners": lambda: v.IntrinsicCalibrator(target).find_corners([image]),
        "detect_and_annotate": lambda: target.detect_and_annotate(image),
        "hand_eye_given_poses": lambda: v.EyeInHandCalibrator(target).calibrate(
            [np.linalg.inv(camera) for camera in cameras], [], camera_T_target_list=cameras),
        "hand_eye_images": lambda: v.EyeInHandCalibrator(target).calibrate([np.eye(4)] * 3, [image] * 3)}
try:
    uses[use]()
    print(json.dumps(["none", ""]))
except Exception as error:
    print(json.dumps([type(error).__name__, str(error)]))
"""
# (kind, sizes, uses, message)
UNUSABLE = [
    ("chessboard", [(65536, 65537), (-3, 5), (2**31 - 1, 2)],
     ["object_points", "find_corners", "hand_eye_given_poses", "hand_eye_images"],
     "ChessboardTarget: size ({}, {}) must have positive sides and at most 2147483647 corners"),
    # A zero side has no points (an empty matrix), but nothing can be found or posed with it.
    ("chessboard", [(0, 0), (0, 6), (9, 0)], ["find_corners", "hand_eye_given_poses", "hand_eye_images"],
     "ChessboardTarget: size ({}, {}) must have positive sides and at most 2147483647 corners"),
    ("charuco", [(65536, 65537), (0, 0), (1, 7), (5, 0), (-2, 7)], ["find_corners", "detect_and_annotate",
                                                                     "hand_eye_given_poses"],
     "CharucoTarget: size ({}, {}) must have at least 2 squares per side and at most 2147483647 squares"),
    ("aruco", [(65536, 65537), (23171, 23171), (0, 4), (4, -1)], ["find_corners", "hand_eye_given_poses"],
     "ArucoTarget: size ({}, {}) must have positive sides and at most 536870911 markers"),
]


@pytest.mark.parametrize("kind, size, use, outcome", [
    (kind, size, use, ["ValueError", message.format(*size)])
    for kind, sizes, uses, message in UNUSABLE for size in sizes for use in uses
] + [
    ("chessboard", (1, 1), "object_points", ["none", ""]), ("chessboard", (0, 6), "object_points", ["none", ""]),
    ("chessboard", (3, 3), "find_corners", ["none", ""]),
    ("charuco", (2, 2), "find_corners", ["none", ""]), ("aruco", (1, 1), "find_corners", ["none", ""]),
])
def test_unusable_board_size_is_a_value_error_and_the_smallest_boards_work(kind, size, use, outcome):
    assert run_child(CHILD, kind, json.dumps(size), use) == outcome


PROGRESS = r"""
import json, os, signal
import numpy as np, _vantel
seen, blank = [], [np.zeros((48, 64, 3), np.uint8)] * 20
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job starts with Ctrl-C ignored
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
    rig.calibrate([blank, blank], [np.diag([2.0, 2.0, 1.0])] * 2, [np.zeros(5)] * 2)
except KeyboardInterrupt:
    outcome.append("interrupted")
outcome += [first.ok, bool(np.array_equal(rig.last_result().intrinsic_matrices[0], np.eye(3)))]
print(json.dumps(outcome))
"""


def test_ctrl_c_ends_a_long_call_at_the_next_step_and_keeps_the_previous_record():
    assert run_child(PROGRESS) == ["interrupted", [["Finding corners", k, 20] for k in range(1, 6)], False,
                                "interrupted", False, True]
