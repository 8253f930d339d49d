"""Data shared by the hand-eye tests: exact synthetic pose pairs and the board of the rendered scenes."""

import numpy as np

import _vantel
from _vantel import tf
from vantel_tools.rendering import CharucoBoard

METHODS = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
TCP_T_CAMERA = tf.pose_to_transformation_matrix([0.03, -0.02, 0.1, 5, -3, 90])
WORLD_T_TARGET = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 30])
# A denser board than the default one: the full pipeline calibrates the camera from these views too.
BOARD = CharucoBoard(squares_x=10, squares_y=8, square_length=0.03, marker_length=0.022, dict_id=0)
TARGET = _vantel.CharucoTarget(10, 8, 0.03, 0.022, 0)
NOT_PAIRED = ("EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 5 (robot) vs "
              "4 (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.")


def synthetic_poses(count, seed=0):
    """Robot and camera poses that satisfy robot_T_tcp @ tcp_T_camera @ camera_T_target == world_T_target."""
    rng = np.random.default_rng(seed)
    robots, cameras = [], []
    for _ in range(count):
        camera_T_target = tf.pose_to_transformation_matrix(
            [*rng.uniform(-0.1, 0.1, 2), rng.uniform(0.4, 0.6), *rng.uniform(-30, 30, 3)])
        robots.append(WORLD_T_TARGET @ np.linalg.inv(camera_T_target) @ np.linalg.inv(TCP_T_CAMERA))
        cameras.append(camera_T_target)
    return robots, cameras
