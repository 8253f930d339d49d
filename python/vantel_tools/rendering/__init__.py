"""Ground-truth images of calibration boards as a known camera sees them.

Independent of the extension module: only numpy and the PyPI build of cv2.
"""

from .boards import BoardTexture, CharucoBoard, Chessboard, GridBoard
from .camera import Camera
from .render import View, project_board, ray_grid, render
from .rigs import RigScene, rig_scene
from .scenes import (
    Framing, HandEyeScene, StationaryHandEyeScene, detectable, hand_eye_scene, intrinsic_views, invert, rotation,
    stationary_hand_eye_scene, transform, whole_board_visible,
)

__all__ = [
    "BoardTexture", "Camera", "CharucoBoard", "Chessboard", "Framing", "GridBoard", "HandEyeScene", "RigScene",
    "StationaryHandEyeScene", "View", "detectable", "hand_eye_scene", "intrinsic_views", "invert", "project_board",
    "ray_grid", "render", "rig_scene", "rotation", "stationary_hand_eye_scene", "transform", "whole_board_visible",
]
