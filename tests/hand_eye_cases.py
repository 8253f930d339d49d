"""Data shared by the hand-eye tests: method names, the board of the rendered scenes, a refusal text."""

import _vantel
from vantel_tools.rendering import CharucoBoard

METHODS = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
# A denser board than the default one: the full pipeline calibrates the camera from these views too.
BOARD = CharucoBoard(squares_x=10, squares_y=8, square_length=0.03, marker_length=0.022, dict_id=0)
TARGET = _vantel.CharucoTarget(10, 8, 0.03, 0.022, 0)
NOT_PAIRED = ("EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 5 (robot) vs "
              "4 (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.")
