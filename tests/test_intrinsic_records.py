import numpy as np

import _vantel as v

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
    assert options.intrinsic_matrix_guess is None
    np.testing.assert_array_equal(calibrator.options().intrinsic_matrix_guess, guesses["intrinsic_matrix_guess"])
    assert calibrator.options().distortion_coefficients_guess is not None
    assert isinstance(calibrator.target(), v.ChessboardTarget) and calibrator.target().size == (9, 6)
    assert isinstance(v.IntrinsicCalibrator(v.ArucoTarget((4, 5), 0.04, 0.01)).target(), v.ArucoTarget)
    assert v.IntrinsicCalibrator(target).options().intrinsic_matrix_guess is None
