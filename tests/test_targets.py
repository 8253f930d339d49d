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


def test_constructors_take_a_dictionary_id_or_name_and_chessboard_points():
    charucos = [v.CharucoTarget(5, 7, 0.04, 0.03), v.CharucoTarget(5, 7, 0.04, 0.03, "DICT_6X6_250"),
                v.CharucoTarget(5, 7, 0.04, 0.03, aruco_dict_id=12)]
    arucos = [v.ArucoTarget((4, 5), 0.04, 0.01), v.ArucoTarget((4, 5), 0.04, 0.01, "DICT_APRILTAG_36H11")]
    assert [target.aruco_dict_id for target in charucos + arucos] == [3, 10, 12, 3, 20]
    points = v.ChessboardTarget((9, 6), 0.025).object_points
    assert points.dtype == np.float32
    np.testing.assert_array_equal(points, np.float32([[j * 0.025, i * 0.025, 0] for i in range(6) for j in range(9)]))


@pytest.mark.parametrize("size", [(0, 6), (9, 0), (0, 0)])
def test_a_chessboard_with_a_zero_side_has_no_points(size):
    points = v.ChessboardTarget(size, 0.025).object_points
    assert (points.dtype, points.shape) == (np.float64, (0, 0))


@pytest.mark.parametrize("target, text", [
    (v.ChessboardTarget((9, 6), 0.025), "ChessboardTarget(size=(9, 6), square_size=0.025000)"),
    (v.CharucoTarget(5, 7, 0.04, 0.03), "CharucoTarget(squares_x=5, squares_y=7, square_length=0.040000, "
                                        "marker_length=0.030000, aruco_dict_id=3)"),
    (v.ArucoTarget((4, 3), 0.05, 0.01, 0), "ArucoTarget(board_size=(4, 3), marker_length=0.050000, "
                                           "marker_separation=0.010000, aruco_dict_id=0)"),
    # Stored as given: the sizes are checked where a board is built (test_board_sizes_and_interrupts.py).
    (v.ChessboardTarget((-1, 0), 1234.5678905), "ChessboardTarget(size=(-1, 0), square_size=1234.567890)"),
])
def test_repr(target, text):
    assert repr(target) == text


DEFAULTS = dict(chessboard_corner_detector="Default", chessboard_flags=0, sub_pixel_detection_window_size=11,
                sub_pixel_detection_zero_zone_size=-1, calibrate_camera_method="Default", calibrate_camera_flags=0,
                index_of_fixed_3d_point=0, intrinsic_matrix_guess=None, distortion_coefficients_guess=None,
                per_view_error_threshold=1.0)


# Signatures, read-only records and constants are pinned by the stub comparison (test_stubs.py).
def test_options_defaults_and_criteria():
    options = v.IntrinsicOptions()
    assert {name: getattr(options, name) for name in DEFAULTS} == DEFAULTS
    assert (options.criteria.type, options.criteria.max_count, options.criteria.epsilon) == (3, 30, 0.001)
    criteria = options.criteria
    criteria.max_count = 50
    options.criteria.epsilon = 0.5
    assert (options.criteria.max_count, options.criteria.epsilon) == (50, 0.5)
    del options
    assert criteria.max_count == 50  # the options' own member, alive through the reference
    options, given = v.IntrinsicOptions(), v.TermCriteria(1, 5, 0.0)
    options.criteria = given
    given.max_count = 99
    assert (options.criteria.type, options.criteria.max_count, options.criteria.epsilon) == (1, 5, 0.0)


def test_options_and_calibrator_hold_copies():
    options, target = v.IntrinsicOptions(), v.ChessboardTarget((9, 6), 0.025)
    guesses = {"intrinsic_matrix_guess": np.array([[800.0, 0, 320], [0, 800, 240], [0, 0, 1]]),
               "distortion_coefficients_guess": np.array([[0.1, -0.2, 0.0, 0.0, 0.05]])}
    for field, value in guesses.items():
        given = value.copy()
        setattr(options, field, given)
        given[0, 0] = -1.0
        getattr(options, field)[0, 1] = 123.0
        np.testing.assert_array_equal(getattr(options, field), value)
    calibrator = v.IntrinsicCalibrator(target, options)
    options.intrinsic_matrix_guess = None
    calibrator.options().distortion_coefficients_guess = None
    target.size = (3, 3)
    calibrator.target().size = (4, 4)
    assert options.intrinsic_matrix_guess is None and calibrator.options().distortion_coefficients_guess is not None
    np.testing.assert_array_equal(calibrator.options().intrinsic_matrix_guess, guesses["intrinsic_matrix_guess"])
    assert isinstance(calibrator.target(), v.ChessboardTarget) and calibrator.target().size == (9, 6)
    assert isinstance(v.IntrinsicCalibrator(v.ArucoTarget((4, 5), 0.04, 0.01)).target(), v.ArucoTarget)
    assert v.IntrinsicCalibrator(target).options().intrinsic_matrix_guess is None
