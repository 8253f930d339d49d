import cv2
import numpy as np
import pytest

import _vantel as v

DICTIONARY_IDS = {
    "DICT_4X4_50": 0, "DICT_4X4_100": 1, "DICT_4X4_250": 2, "DICT_4X4_1000": 3,
    "DICT_5X5_50": 4, "DICT_5X5_100": 5, "DICT_5X5_250": 6, "DICT_5X5_1000": 7,
    "DICT_6X6_50": 8, "DICT_6X6_100": 9, "DICT_6X6_250": 10, "DICT_6X6_1000": 11,
    "DICT_7X7_50": 12, "DICT_7X7_100": 13, "DICT_7X7_250": 14, "DICT_7X7_1000": 15,
    "DICT_ARUCO_ORIGINAL": 16, "DICT_APRILTAG_16H5": 17, "DICT_APRILTAG_25H9": 18,
    "DICT_APRILTAG_36H10": 19, "DICT_APRILTAG_36H11": 20, "DICT_ARUCO_MIP_36H12": 21,
}


def test_dictionary_map_is_the_full_table_in_key_order_and_a_fresh_copy():
    assert v.aruco_dictionary_id_from_name("DICT_APRILTAG_36H11") == 20
    table = v.aruco_dictionary_id_map()
    assert table == DICTIONARY_IDS
    assert list(table) == sorted(DICTIONARY_IDS)
    table["DICT_4X4_50"] = 99
    del table["DICT_5X5_50"]
    assert v.aruco_dictionary_id_map() == DICTIONARY_IDS


@pytest.mark.parametrize("name", ["DICT_APRILTAG_36h11", "dict_4x4_50", " DICT_4X4_50", "DICT_4X4_50 ", ""])
def test_unknown_dictionary_name_is_quoted_exactly(name):
    with pytest.raises(ValueError) as error:
        v.aruco_dictionary_id_from_name(name)
    assert str(error.value) == f"Unknown aruco_dict_id '{name}'"


def test_target_constructors_take_an_id_or_a_name():
    assert v.CharucoTarget(5, 7, 0.04, 0.03).aruco_dict_id == 3
    assert v.CharucoTarget(5, 7, 0.04, 0.03, "DICT_6X6_250").aruco_dict_id == 10
    assert v.CharucoTarget(5, 7, 0.04, 0.03, aruco_dict_id=12).aruco_dict_id == 12
    assert v.ArucoTarget((4, 5), 0.04, 0.01).aruco_dict_id == 3
    assert v.ArucoTarget((4, 5), 0.04, 0.01, "DICT_APRILTAG_36H11").aruco_dict_id == 20
    for make in (lambda: v.CharucoTarget(5, 7, 0.04, 0.03, "DICT_6x6_250"),
                 lambda: v.ArucoTarget((4, 5), 0.04, 0.01, "nope")):
        with pytest.raises(ValueError, match="^Unknown aruco_dict_id '"):
            make()


@pytest.mark.parametrize("target, text", [
    (v.ChessboardTarget((9, 6), 0.025), "ChessboardTarget(size=(9, 6), square_size=0.025000)"),
    (v.CharucoTarget(5, 7, 0.04, 0.03), "CharucoTarget(squares_x=5, squares_y=7, square_length=0.040000, "
                                        "marker_length=0.030000, aruco_dict_id=3)"),
    (v.ArucoTarget((4, 3), 0.05, 0.01, 0), "ArucoTarget(board_size=(4, 3), marker_length=0.050000, "
                                           "marker_separation=0.010000, aruco_dict_id=0)"),
    (v.ChessboardTarget((-1, 0), 1234.5678905), "ChessboardTarget(size=(-1, 0), square_size=1234.567890)"),
])
def test_repr(target, text):
    assert repr(target) == text


def test_fields_are_read_write_and_stored_unchanged():
    chessboard = v.ChessboardTarget((9, 6), 0.025)
    chessboard.size = (0, -3)
    chessboard.square_size = -1.0
    assert (chessboard.size, chessboard.square_size) == ((0, -3), -1.0)
    charuco = v.CharucoTarget(5, 7, 0.04, 0.03)
    charuco.squares_x, charuco.squares_y, charuco.square_length, charuco.marker_length, charuco.aruco_dict_id = 1, 2, 3.0, 4.0, 99
    assert repr(charuco) == ("CharucoTarget(squares_x=1, squares_y=2, square_length=3.000000, "
                             "marker_length=4.000000, aruco_dict_id=99)")
    aruco = v.ArucoTarget((4, 5), 0.04, 0.01)
    aruco.board_size, aruco.marker_separation = (2, 2), 0.5
    assert (aruco.board_size, aruco.marker_separation) == ((2, 2), 0.5)
    assert v.ChessboardTarget((9, 6), 0.025) != v.ChessboardTarget((9, 6), 0.025)


def test_chessboard_object_points():
    points = v.ChessboardTarget((9, 6), 0.025).object_points
    assert points.shape == (54, 3) and points.dtype == np.float32
    np.testing.assert_array_equal(points[[0, 1, 9, 53]],
                                  np.float32([[0, 0, 0], [0.025, 0, 0], [0, 0.025, 0], [0.2, 0.125, 0]]))
    expected = np.float32([[j * 0.025, i * 0.025, 0] for i in range(6) for j in range(9)])
    np.testing.assert_array_equal(points, expected)


def test_docstrings():
    assert v.ChessboardTarget.__doc__ == "Classic chessboard target: inner-corner grid + square size."
    assert v.CharucoTarget.__doc__ == "ChArUco target: chessboard + embedded ArUco markers."
    assert v.ArucoTarget.__doc__ == "ArUco grid-board target."
    assert v.ChessboardTarget.object_points.__doc__ == \
        "Board-frame 3D coordinates of all inner corners, (N, 3) float32."
    assert "size: (cols, rows) of inner corners. square_size: edge length in meters." in v.ChessboardTarget.__init__.__doc__
    assert v.CharucoTarget.detect_and_annotate.__doc__.endswith(
        "Detect ChArUco corners on `image` and draw them on a copy. "
        "Returns (annotated_image_bgr, num_charuco_corners).\n")
    assert v.aruco_dictionary_id_map.__doc__.endswith(
        'Map of predefined ArUco dictionary names ("DICT_4X4_50", ...) to their OpenCV ids.\n')
    assert v.aruco_dictionary_id_from_name.__doc__.endswith(
        'Resolve a dictionary name (e.g. "DICT_4X4_50") to its OpenCV id.\n')
