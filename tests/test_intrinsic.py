"""IntrinsicCalibrator.calibrate on rendered scenes of a known camera."""

import cv2
import numpy as np
import pytest

from intrinsic_support import CAMERA, TARGETS, blank, calibrator, check_agreement, images, scene


def corner_offsets(name, detections):
    """Detected minus true pixel position of every detected point."""
    offsets = []
    for k, index in enumerate(detections.successful_indices):
        truth, found = scene(name)[index].image_points.reshape(-1, 2), detections.image_points[k].reshape(-1, 2)
        board_points = TARGETS[name][0].object_points
        rows = [np.abs(board_points - point).sum(axis=1).argmin() for point in detections.object_points[k]]
        offsets.append(found - truth[rows])
        if name == "chessboard":  # read from either end: a valid view, though not the true ids
            offsets[-1] = min(offsets[-1], found[::-1] - truth[rows], key=lambda o: np.abs(o).max())
    return np.concatenate(offsets)


# Marker corners are not refined to sub-pixel (corner refinement is off): larger view errors.
@pytest.mark.parametrize("name, detector, largest_view_error", [
    ("chessboard", "Default", 0.5), ("chessboard", "Sector Based", 0.5), ("charuco", "Default", 0.5),
    ("aruco", "Default", 1.0),
])
def test_recovers_the_camera(name, detector, largest_view_error):
    calibration = calibrator(name, chessboard_corner_detector=detector)
    result = calibration.calibrate(images(name))
    assert result.successful_indices == result.low_view_error_indices == list(range(len(scene(name))))
    relative = np.abs(result.intrinsic_matrix[[0, 1, 0, 1], [0, 1, 2, 2]] / CAMERA.K[[0, 1, 0, 1], [0, 1, 2, 2]] - 1)
    assert np.all(relative < 0.005), relative
    assert max(result.per_view_errors) < largest_view_error
    # No offset for any target on any OpenCV version (ChArUco corners included).
    np.testing.assert_allclose(corner_offsets(name, calibration.detections()).mean(axis=0), [0.0, 0.0], atol=0.08)
    # A view's RMS is norm / sqrt(n); its contribution is norm / n (OpenCV's own projection: equal to rounding).
    counts = np.array([len(points) for points in result.image_points])
    expected = np.mean(np.array(result.per_view_errors) / np.sqrt(counts))
    assert result.reprojection_error == pytest.approx(expected, rel=1e-5)
    assert (result.distortion_coefficients.shape, result.std_deviations_intrinsics.shape,
            result.std_deviations_extrinsics.shape) == ((1, 5), (18, 1), (6 * len(counts), 1))
    check_agreement(calibration, result, CAMERA.size)
    third = sorted(result.per_view_errors)[2]  # the view filter is inclusive: the three best views
    filtered = calibrator(name, chessboard_corner_detector=detector, per_view_error_threshold=third)
    low = filtered.calibrate(images(name)).low_view_error_indices
    assert low == [k for k, error in enumerate(result.per_view_errors) if error <= third] and len(low) == 3


W, E = "[vantel][WARNING] [IntrinsicCalibrator] ", "[vantel][ERROR] [IntrinsicCalibrator] "
BELOW = W + "No view with reprojection error below {}. Returning intrinsics anyway with low_view_error_indices=[]."
NOT_FOUND, NO_CORNERS = W + "Chessboard not found in image {}", W + "No corners found. Check the images and try again."
ODD = W + "Image {} is 640x480, not 1280x960 like the calibrated views; skipping it."
NOT_ENOUGH = {"charuco": "[vantel][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image {}",
              "aruco": "[vantel][WARNING] [ArucoIntrinsicCalibrator] Not enough ArUco markers in image {}",
              "chessboard": NOT_FOUND}
ONE_CAMERA = E + "Image {} is {} but image {} is {}; all images must come from one camera."
PAD = ((0, 40), (0, 60), (0, 0))  # a grey border: the view is found again, but the image is of another size
# (target, options, batch made from the first six chessboard views, successful indices, calibrated, stderr)
LOGGED = [("chessboard", {"per_view_error_threshold": threshold}, lambda b: b, range(6), True, [BELOW.format(text)])
          for threshold, text in [(0.0, "0.000000"), (float("nan"), "nan"), (-1.5, "-1.500000")]]
# Nothing found is reported before the calibration method is checked.
LOGGED += [(name, {"calibrate_camera_method": "bogus"}, lambda b: [blank(), blank()], [], False,
            [NOT_ENOUGH[name].format(0), NOT_ENOUGH[name].format(1), NO_CORNERS]) for name in TARGETS]
LOGGED += [("chessboard", {}, lambda b, k=k: b[:k] + [blank()[:480, :640]] + b[k:], [i for i in range(7) if i != k],
            True, [NOT_FOUND.format(k), ODD.format(k)]) for k in (0, 3, 6)]
LOGGED += [
    ("chessboard", {}, lambda b: [blank()] + b, range(1, 7), True, [NOT_FOUND.format(0)]),
    ("chessboard", {}, lambda b: b + [np.pad(b[0], PAD, constant_values=128)], range(7), False,
     [ONE_CAMERA.format(6, "1340x1000", 0, "1280x960")]),
    ("chessboard", {}, lambda b: [blank()[:480, :640], np.pad(b[0], PAD, constant_values=128)] + b, range(1, 8),
     False, [NOT_FOUND.format(0), ONE_CAMERA.format(2, "1280x960", 1, "1340x1000")]),
]


@pytest.mark.parametrize("name, options, batch_of, successful, calibrated, stderr", LOGGED)
def test_failed_views_are_skipped_and_reported(name, options, batch_of, successful, calibrated, stderr, capsys):
    result = calibrator(name, **options).calibrate(batch_of(images("chessboard")[:6]))
    assert capsys.readouterr().err.splitlines() == stderr
    assert result.ok == calibrated and result.successful_indices == list(successful)
    if not calibrated:
        assert (result.intrinsic_matrix.shape, result.reprojection_error, result.per_view_errors,
                result.low_view_error_indices) == ((0, 0), 0.0, [], [])
        return
    # Positions among the calibrated views; the views left out change nothing.
    threshold = options.get("per_view_error_threshold", 1.0)
    assert result.low_view_error_indices == [k for k, e in enumerate(result.per_view_errors) if e <= threshold]
    reference = calibrator("chessboard").calibrate(images("chessboard")[:6])
    np.testing.assert_allclose(result.intrinsic_matrix, reference.intrinsic_matrix, rtol=1e-9)


DETECTOR = "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got '{}'"


@pytest.mark.parametrize("option, value, text", [("chessboard_corner_detector", value, DETECTOR.format(value))
                                                 for value in ["default", "Sector based", "", "Default "]] + [
    ("calibrate_camera_method", "Release object",
     "IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release Object', got 'Release object'"),
])
def test_unknown_option_values_are_refused_except_where_unused(option, value, text):
    chessboard = calibrator("chessboard", **{option: value})
    assert chessboard.find_corners([]).successful_indices == []  # checked with the first image
    with pytest.raises(ValueError) as error:
        chessboard.calibrate(images("chessboard")[:6])
    assert str(error.value) == text
    # A call that ends in an exception leaves the calibrator as it was, corners found before the check included.
    assert chessboard.detections().successful_indices == []
    assert calibrator("charuco", **{option: value}).calibrate(images("charuco")[:6]).ok


def test_intrinsic_guess_is_used_with_its_flag():
    guess = np.array([[1000.0, 0, 600], [0, 1000.0, 500], [0, 0, 1]])
    flags = cv2.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_FIX_FOCAL_LENGTH | cv2.CALIB_FIX_PRINCIPAL_POINT
    calibration = calibrator("chessboard", intrinsic_matrix_guess=guess, calibrate_camera_flags=flags)
    np.testing.assert_allclose(calibration.calibrate(images("chessboard")[:6]).intrinsic_matrix, guess)


# The calibrator reads its images in place: every layout NumPy can hand over must give the
# same result, a converted temporary must live through the call, and nothing may be written.
@pytest.mark.parametrize("layout", [
    lambda batch: np.stack(batch),
    lambda batch: tuple(np.asfortranarray(image) for image in batch),
    lambda batch: [np.ascontiguousarray(image[:, ::-1])[:, ::-1] for image in batch],
    lambda batch: [np.frombuffer(image.tobytes(), np.uint8).reshape(image.shape) for image in batch],
], ids=["stacked", "fortran", "reversed-view", "read-only"])
@pytest.mark.parametrize("name", list(TARGETS))
def test_any_image_layout_gives_the_same_calibration_and_stored_copies(name, layout):
    given = layout([blank()] + images(name)[:6])
    before = [np.array(image, copy=True) for image in given]
    calibration = calibrator(name)
    calibration.find_corners(given)  # stores nothing
    assert calibration.detections().successful_indices == [] and calibration.corner_images() == []
    expected = calibration.calibrate([blank(), blank()] + images(name)[:6])
    result = calibration.calibrate(given)  # replaces what the last call stored
    assert result.successful_indices == calibration.detections().successful_indices == list(range(1, 7))
    np.testing.assert_array_equal(result.intrinsic_matrix, expected.intrinsic_matrix)
    for image, copy in zip(given, before):
        np.testing.assert_array_equal(image, copy)
    corner_images = calibration.corner_images()
    assert len(corner_images) == 6 and not any(np.shares_memory(a, i) for a, i in zip(corner_images, given[1:]))
    corner_images[0][:] = 0
    assert calibration.corner_images()[0].any()


@pytest.mark.parametrize("bad, error", [
    ([np.zeros((4, 4, 3), np.int64)], TypeError), ([np.zeros((4, 4, 3), np.uint8), "image"], TypeError),
    (np.zeros((4, 4, 3), np.uint8).tobytes(), TypeError), ([np.zeros((100, 100, 2), np.uint8)], ValueError),
])
def test_images_without_a_matrix_form_or_one_three_or_four_channels_are_refused(bad, error):
    calibration = calibrator("charuco")
    for call in (calibration.calibrate, calibration.find_corners,
                 lambda batch: calibration.target().detect_and_annotate(batch[-1])):
        with pytest.raises(error):
            call(bad)
