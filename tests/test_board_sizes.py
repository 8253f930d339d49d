"""Board sizes that cannot describe a board fail with a ValueError wherever they are used.

Each case runs in a child process: before the check these sizes ended the process.
"""

import json
import subprocess
import sys

import pytest

CHILD = r"""
import json, sys
import numpy as np
import _vantel as v
from _vantel import tf

kind, size, use = sys.argv[1], tuple(json.loads(sys.argv[2])), sys.argv[3]
if kind == "chessboard":
    target = v.ChessboardTarget(size, 0.03)
elif kind == "charuco":
    target = v.CharucoTarget(size[0], size[1], 0.04, 0.03, 0)
else:
    target = v.ArucoTarget(size, 0.04, 0.01, 0)
image = np.full((240, 320, 3), 200, np.uint8)
try:
    if use == "object_points":
        target.object_points
    elif use == "find_corners":
        v.IntrinsicCalibrator(target).find_corners([image])
    elif use == "detect_and_annotate":
        target.detect_and_annotate(image)
    elif use == "hand_eye_given_poses":
        robots, cameras = [], []
        for k in range(6):
            camera = tf.pose_to_transformation_matrix([0.01 * k, 0.02, 0.5, 10 * k, -5 * k, 3 * k])
            robots.append(np.linalg.inv(camera))
            cameras.append(camera)
        v.EyeInHandCalibrator(target).calibrate(robots, [], camera_T_target_list=cameras)
    elif use == "hand_eye_images":
        v.EyeInHandCalibrator(target).calibrate([np.eye(4)] * 3, [image] * 3)
    print(json.dumps(["none", ""]))
except Exception as error:
    print(json.dumps([type(error).__name__, str(error)]))
"""

CHESSBOARD = "ChessboardTarget: size ({}, {}) must have positive sides and at most 2147483647 corners"
CHARUCO = "CharucoTarget: size ({}, {}) must have at least 2 squares per side and at most 2147483647 squares"
ARUCO = "ArucoTarget: size ({}, {}) must have positive sides and at most 536870911 markers"


def run_child(kind, size, use):
    child = subprocess.run([sys.executable, "-c", CHILD, kind, json.dumps(size), use], capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.splitlines()[-1])


@pytest.mark.parametrize("size", [(65536, 65537), (0, 0), (0, 6), (9, 0), (-3, 5), (2**31 - 1, 2)])
@pytest.mark.parametrize("use", ["object_points", "find_corners", "hand_eye_given_poses", "hand_eye_images"])
def test_unusable_chessboard_size_is_a_value_error(size, use):
    assert run_child("chessboard", size, use) == ["ValueError", CHESSBOARD.format(*size)]


@pytest.mark.parametrize("size", [(65536, 65537), (0, 0), (1, 7), (5, 0), (-2, 7)])
@pytest.mark.parametrize("use", ["find_corners", "detect_and_annotate", "hand_eye_given_poses"])
def test_unusable_charuco_size_is_a_value_error(size, use):
    assert run_child("charuco", size, use) == ["ValueError", CHARUCO.format(*size)]


@pytest.mark.parametrize("size", [(65536, 65537), (23171, 23171), (0, 4), (4, -1)])
@pytest.mark.parametrize("use", ["find_corners", "hand_eye_given_poses"])
def test_unusable_aruco_size_is_a_value_error(size, use):
    assert run_child("aruco", size, use) == ["ValueError", ARUCO.format(*size)]


@pytest.mark.parametrize("kind, size, use", [
    ("chessboard", (1, 1), "object_points"), ("chessboard", (3, 3), "find_corners"),
    ("charuco", (2, 2), "find_corners"), ("aruco", (1, 1), "find_corners"),
])
def test_smallest_boards_are_accepted(kind, size, use):
    assert run_child(kind, size, use) == ["none", ""]
