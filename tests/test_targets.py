import numpy as np
import pytest

import _vantel as v

DICTIONARY_NAMES = ("DICT_4X4_50 DICT_4X4_100 DICT_4X4_250 DICT_4X4_1000 DICT_5X5_50 DICT_5X5_100 DICT_5X5_250 "
                    "DICT_5X5_1000 DICT_6X6_50 DICT_6X6_100 DICT_6X6_250 DICT_6X6_1000 DICT_7X7_50 DICT_7X7_100 "
                    "DICT_7X7_250 DICT_7X7_1000 DICT_ARUCO_ORIGINAL DICT_APRILTAG_16H5 DICT_APRILTAG_25H9 "
                    "DICT_APRILTAG_36H10 DICT_APRILTAG_36H11 DICT_ARUCO_MIP_36H12").split()


def test_dictionary_map_is_the_full_table_in_key_order_and_a_fresh_copy():
    table = v.aruco_dictionary_id_map()
    assert list(table.items()) == sorted((name, k) for k, name in enumerate(DICTIONARY_NAMES))
    table["DICT_4X4_50"] = 99
    del table["DICT_5X5_50"]
    assert v.aruco_dictionary_id_map() == {name: k for k, name in enumerate(DICTIONARY_NAMES)}
    assert [v.aruco_dictionary_id_from_name(name) for name in DICTIONARY_NAMES] == list(range(22))


@pytest.mark.parametrize("make, name", [(v.aruco_dictionary_id_from_name, name) for name in
                                        ["DICT_APRILTAG_36h11", "dict_4x4_50", " DICT_4X4_50", "DICT_4X4_50 ", ""]]
                         + [(lambda name: v.CharucoTarget(5, 7, 0.04, 0.03, name), "DICT_6x6_250"),
                            (lambda name: v.ArucoTarget((4, 5), 0.04, 0.01, name), "nope")])
def test_unknown_dictionary_name_is_quoted_exactly(make, name):
    with pytest.raises(ValueError) as error:
        make(name)
    assert str(error.value) == f"Unknown aruco_dict_id '{name}'"


def test_target_constructors_take_an_id_or_a_name():
    charucos = [v.CharucoTarget(5, 7, 0.04, 0.03), v.CharucoTarget(5, 7, 0.04, 0.03, "DICT_6X6_250"),
                v.CharucoTarget(5, 7, 0.04, 0.03, aruco_dict_id=12)]
    arucos = [v.ArucoTarget((4, 5), 0.04, 0.01), v.ArucoTarget((4, 5), 0.04, 0.01, "DICT_APRILTAG_36H11")]
    assert [target.aruco_dict_id for target in charucos + arucos] == [3, 10, 12, 3, 20]


@pytest.mark.parametrize("target, text", [
    (v.ChessboardTarget((9, 6), 0.025), "ChessboardTarget(size=(9, 6), square_size=0.025000)"),
    (v.CharucoTarget(5, 7, 0.04, 0.03), "CharucoTarget(squares_x=5, squares_y=7, square_length=0.040000, "
                                        "marker_length=0.030000, aruco_dict_id=3)"),
    (v.ArucoTarget((4, 3), 0.05, 0.01, 0), "ArucoTarget(board_size=(4, 3), marker_length=0.050000, "
                                           "marker_separation=0.010000, aruco_dict_id=0)"),
    # Stored as given: the sizes are checked where a board is built (test_board_sizes.py).
    (v.ChessboardTarget((-1, 0), 1234.5678905), "ChessboardTarget(size=(-1, 0), square_size=1234.567890)"),
])
def test_repr(target, text):
    assert repr(target) == text


def test_chessboard_object_points():
    points = v.ChessboardTarget((9, 6), 0.025).object_points
    assert points.dtype == np.float32
    np.testing.assert_array_equal(points, np.float32([[j * 0.025, i * 0.025, 0] for i in range(6) for j in range(9)]))
