"""Cameras, boards and a robot set-up shared by the tests."""

import numpy as np

from .boards import CharucoBoard, Chessboard, GridBoard
from .camera import Camera
from .scenes import rotation, transform

DICT_4X4_50 = 0

# Slightly unequal focal lengths and an off-centre principal point, so swapped or rounded
# parameters show up in recovered intrinsics.
CAMERA = Camera(
    K=np.array([[1000.0, 0.0, 641.5], [0.0, 1002.0, 478.25], [0.0, 0.0, 1.0]]),
    dist=np.array([-0.2, 0.05, 0.0008, -0.0005, 0.0]),
    size=(1280, 960),
)

# For tests where accuracy is not the point.
SMALL_CAMERA = Camera(
    K=np.array([[520.0, 0.0, 321.0], [0.0, 521.0, 238.5], [0.0, 0.0, 1.0]]),
    dist=np.array([-0.15, 0.03, 0.0005, -0.0003, 0.0]),
    size=(640, 480),
)

# Each fills a good part of CAMERA's image at 0.4-0.8 m.
CHESSBOARD = Chessboard(inner_cols=9, inner_rows=6, square=0.03)
CHARUCO = CharucoBoard(squares_x=7, squares_y=5, square_length=0.04, marker_length=0.03, dict_id=DICT_4X4_50)
GRID = GridBoard(markers_x=5, markers_y=4, marker_length=0.04, marker_separation=0.01, dict_id=DICT_4X4_50)

# Camera 8 cm ahead of the flange and 3 cm aside, turned a little off the flange axes.
TCP_T_CAMERA = transform(rotation([3.0, -2.0, 90.0]), [0.03, -0.01, 0.08])
# Target on the floor in front of the robot, turned about the vertical.
WORLD_T_TARGET = transform(rotation([180.0, 0.0, 0.0]) @ rotation([0.0, 0.0, 20.0]), [0.7, 0.1, 0.0])



def _looking_at(eye, centre, up=(0.0, 0.0, 1.0)) -> np.ndarray:
    """robot_T_camera of a camera at `eye` whose optical axis passes through `centre`, its image
    rows running down along -`up`."""
    eye, centre, up = (np.asarray(v, dtype=np.float64) for v in (eye, centre, up))
    z = (centre - eye) / np.linalg.norm(centre - eye)
    y = -(up - (up @ z) * z)
    y /= np.linalg.norm(y)
    return transform(np.column_stack([np.cross(y, z), y, z]), eye)

# Eye-to-hand: a camera on a stand beside and above the robot, looking at the working area in front
# of the robot, where the flange presents the board.
ROBOT_T_CAMERA = _looking_at([1.3, 0.5, 1.0], [0.6, 0.0, 0.35])
# Board on the flange, printed side facing along the tool axis, a few cm off the flange centre
# and turned a little about the flange axes.
TCP_T_TARGET = transform(rotation([180.0, 0.0, 0.0]) @ rotation([4.0, -3.0, 25.0]), [0.03, -0.02, 0.05])

# A rig of four different cameras, the reference first, each turned a little towards the board
# in front of the reference camera.
RIG_CAMERAS = [
    Camera(K=np.array([[900.0, 0.0, 481.5], [0.0, 902.0, 358.25], [0.0, 0.0, 1.0]]),
           dist=np.array([-0.2, 0.05, 0.0006, -0.0004, 0.0]), size=(960, 720)),
    Camera(K=np.array([[820.0, 0.0, 476.0], [0.0, 818.5, 365.5], [0.0, 0.0, 1.0]]),
           dist=np.array([-0.12, 0.02, -0.0005, 0.0003, 0.0]), size=(960, 720)),
    Camera(K=np.array([[1010.0, 0.0, 488.0], [0.0, 1012.0, 352.0], [0.0, 0.0, 1.0]]),
           dist=np.array([-0.25, 0.09, 0.0002, 0.0007, 0.0]), size=(960, 720)),
    Camera(K=np.array([[760.0, 0.0, 470.5], [0.0, 761.0, 362.0], [0.0, 0.0, 1.0]]),
           dist=np.array([-0.08, 0.01, 0.0, 0.0, 0.0]), size=(960, 720)),
]
RIG_REFERENCE_T_CAMERA = [
    np.eye(4),
    transform(rotation([0.0, -22.0, 1.0]), [0.3, 0.01, 0.05]),
    transform(rotation([2.0, 20.0, -2.0]), [-0.28, 0.03, 0.04]),
    transform(rotation([-20.0, 2.0, 3.0]), [0.03, -0.26, 0.05]),
]
RIG_CHARUCO = CharucoBoard(squares_x=9, squares_y=7, square_length=0.03, marker_length=0.022, dict_id=DICT_4X4_50)
