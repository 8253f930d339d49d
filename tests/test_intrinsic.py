"""IntrinsicCalibrator.calibrate on rendered scenes of a known camera."""

import cv2
import numpy as np
import pytest

import _vantel as v
from vantel_tools.rendering import Camera, CharucoBoard, Chessboard, GridBoard, intrinsic_views

CAMERA = Camera(K=np.array([[1100.0, 0.0, 652.5], [0.0, 1096.0, 471.0], [0.0, 0.0, 1.0]]),
                dist=np.array([-0.18, 0.06, 0.0006, -0.0004, -0.01]), size=(1280, 960))
# About 0.2 px of corner noise; two samples per pixel and axis keep rendering quick.
RENDERING = dict(position_noise_px=0.2, intensity_noise=2.0, blur_sigma=0.6, supersample=2)

CHESSBOARD = Chessboard(inner_cols=9, inner_rows=6, square=0.03)
CHARUCO = CharucoBoard(squares_x=9, squares_y=7, square_length=0.03, marker_length=0.022, dict_id=0)
GRID = GridBoard(markers_x=5, markers_y=4, marker_length=0.04, marker_separation=0.01, dict_id=0)
TARGETS = {
    "chessboard": (CHESSBOARD, v.ChessboardTarget((9, 6), 0.03)),
    "charuco": (CHARUCO, v.CharucoTarget(9, 7, 0.03, 0.022, 0)),
    "aruco": (GRID, v.ArucoTarget((5, 4), 0.04, 0.01, 0)),
}
SEED = 3
_scenes = {}


def scene(name):
    """Rendered views of the named board, made once per session."""
    if name not in _scenes:
        _scenes[name] = intrinsic_views(TARGETS[name][0], CAMERA, n_views=20, seed=SEED, **RENDERING)
    return _scenes[name]


def images(name):
    return [view.image for view in scene(name)]


def calibrator(name, **options):
    values = v.IntrinsicOptions()
    for field, value in options.items():
        setattr(values, field, value)
    return v.IntrinsicCalibrator(TARGETS[name][1], values)


def blank():
    return np.full((CAMERA.size[1], CAMERA.size[0], 3), 128, np.uint8)


def corner_offsets(name, detections):
    """Detected minus true pixel position of every detected point."""
    board = TARGETS[name][0]
    offsets = []
    for k, index in enumerate(detections.successful_indices):
        truth = scene(name)[index].image_points.reshape(-1, 2)
        found = detections.image_points[k].reshape(-1, 2)
        rows = [np.flatnonzero(np.all(np.isclose(board.object_points, point, atol=1e-6), axis=1))[0]
                for point in detections.object_points[k]]
        offset = found - truth[rows]
        if name == "chessboard":
            # A chessboard may be read from either end: a valid view, though not the true ids.
            offset = min(offset, found[::-1] - truth[rows], key=lambda o: np.abs(o).max())
        offsets.append(offset)
    return np.concatenate(offsets)


# Marker corners are not refined to sub-pixel (corner refinement is off): larger view errors.
@pytest.mark.parametrize("name, detector, largest_view_error", [
    ("chessboard", "Default", 0.5), ("chessboard", "Sector Based", 0.5), ("charuco", "Default", 0.5),
    ("aruco", "Default", 1.0),
])
def test_recovers_the_camera(name, detector, largest_view_error, record_property):
    calibration = calibrator(name, chessboard_corner_detector=detector)
    result = calibration.calibrate(images(name))
    assert result.ok
    assert result.successful_indices == list(range(len(scene(name))))
    found = result.intrinsic_matrix[[0, 1, 0, 1], [0, 1, 2, 2]]
    truth = CAMERA.K[[0, 1, 0, 1], [0, 1, 2, 2]]
    relative = np.abs(found / truth - 1)
    assert np.all(relative < 0.005), relative
    assert max(result.per_view_errors) < largest_view_error
    assert result.low_view_error_indices == list(range(len(scene(name))))
    offsets = corner_offsets(name, calibration.detections())
    bias = offsets.mean(axis=0)
    record_property("relative_intrinsics_error", relative.round(5).tolist())
    record_property("corner_bias_px", bias.round(3).tolist())
    record_property("corner_rms_px", float(np.sqrt(np.mean(np.sum((offsets - bias) ** 2, axis=1)))))
    # No offset for any target on any OpenCV version (ChArUco corners included).
    np.testing.assert_allclose(bias, [0.0, 0.0], atol=0.08)


def test_reprojection_error_is_the_mean_of_view_norms_over_point_counts():
    result = calibrator("charuco").calibrate(images("charuco"))
    counts = np.array([len(points) for points in result.image_points])
    # A view's RMS is norm / sqrt(n); its contribution is norm / n (OpenCV's own projection: equal to rounding).
    expected = np.mean(np.array(result.per_view_errors) / np.sqrt(counts))
    assert result.reprojection_error == pytest.approx(expected, rel=1e-5)
    assert result.distortion_coefficients.shape == (1, 5)
    assert result.std_deviations_intrinsics.shape == (18, 1)
    assert result.std_deviations_extrinsics.shape == (6 * len(counts), 1)


def test_view_filter_is_inclusive_and_counts_positions_among_calibrated_views(capsys):
    batch = images("chessboard")[:8]
    batch = [batch[0], blank(), batch[1], blank(), blank()] + batch[2:]
    errors = calibrator("chessboard").calibrate(batch).per_view_errors
    assert len(errors) == 8
    best = int(np.argmin(errors))
    capsys.readouterr()

    result = calibrator("chessboard", per_view_error_threshold=errors[best]).calibrate(batch)
    assert result.successful_indices == [0, 2, 5, 6, 7, 8, 9, 10]
    assert result.per_view_errors == errors
    assert result.low_view_error_indices == [best]

    third = sorted(errors)[2]
    result = calibrator("chessboard", per_view_error_threshold=third).calibrate(batch)
    assert result.low_view_error_indices == [k for k, error in enumerate(errors) if error <= third]
    assert len(result.low_view_error_indices) == 3


@pytest.mark.parametrize("threshold, printed", [(0.0, "0.000000"), (float("nan"), "nan"), (-1.5, "-1.500000")])
def test_no_view_below_the_threshold_still_returns_the_calibration(threshold, printed, capsys):
    result = calibrator("chessboard", per_view_error_threshold=threshold).calibrate(images("chessboard")[:6])
    assert result.ok and result.low_view_error_indices == []
    assert result.intrinsic_matrix.shape == (3, 3)
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"[vantel][WARNING] [IntrinsicCalibrator] No view with reprojection error below {printed}. "
        "Returning intrinsics anyway with low_view_error_indices=[].")


@pytest.mark.parametrize("name", list(TARGETS))
def test_batch_without_target_is_reported_not_raised(name, capsys):
    calibration = calibrator(name, calibrate_camera_method="bogus")
    result = calibration.calibrate([blank(), blank()])
    assert not result.ok
    assert (result.successful_indices, result.image_points, result.per_view_errors) == ([], [], [])
    assert result.intrinsic_matrix.shape == (0, 0) and result.reprojection_error == 0.0
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 3
    assert lines[-1] == "[vantel][WARNING] [IntrinsicCalibrator] No corners found. Check the images and try again."


def test_calibration_method_is_checked_except_for_charuco():
    charuco = calibrator("charuco", calibrate_camera_method="Release object").calibrate(images("charuco")[:6])
    assert charuco.ok
    chessboard = calibrator("chessboard", calibrate_camera_method="Release object")
    with pytest.raises(ValueError) as error:
        chessboard.calibrate(images("chessboard")[:6])
    assert str(error.value) == ("IntrinsicCalibrator: calibrate_camera_method must be 'Default' or "
                                "'Release Object', got 'Release object'")
    assert chessboard.detections().successful_indices == list(range(6))


def test_release_object_calibration():
    batch = images("chessboard")
    result = calibrator("chessboard", calibrate_camera_method="Release Object",
                        index_of_fixed_3d_point=8).calibrate(batch)
    assert result.ok
    np.testing.assert_allclose(result.intrinsic_matrix, CAMERA.K, rtol=0.01)


def test_intrinsic_guess_is_used_with_its_flag():
    guess = np.array([[1000.0, 0, 600], [0, 1000.0, 500], [0, 0, 1]])
    flags = cv2.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_FIX_FOCAL_LENGTH | cv2.CALIB_FIX_PRINCIPAL_POINT
    result = calibrator("chessboard", intrinsic_matrix_guess=guess, calibrate_camera_flags=flags).calibrate(
        images("chessboard")[:6])
    np.testing.assert_allclose(result.intrinsic_matrix, guess)


def log_lines(text, level):
    return [line for line in text.splitlines() if line.startswith(f"[vantel][{level}]")]


def padded(image):
    """The same view with a grey border: detected again, but of another size."""
    return cv2.copyMakeBorder(image, 0, 40, 0, 60, cv2.BORDER_CONSTANT, value=(128, 128, 128))


@pytest.mark.parametrize("odd_position", [0, 3, 6])
def test_odd_sized_image_without_a_view_is_named_and_left_out(odd_position, capsys):
    batch = images("chessboard")[:6]
    mixed = batch[:odd_position] + [blank()[:480, :640]] + batch[odd_position:]
    result = calibrator("chessboard").calibrate(mixed)
    assert result.ok
    assert result.successful_indices == [i for i in range(7) if i != odd_position]
    assert log_lines(capsys.readouterr().err, "WARNING") == [
        f"[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image {odd_position}",
        f"[vantel][WARNING] [IntrinsicCalibrator] Image {odd_position} is 640x480, not 1280x960 "
        "like the calibrated views; skipping it."]
    reference = calibrator("chessboard").calibrate(batch)
    np.testing.assert_allclose(result.intrinsic_matrix, reference.intrinsic_matrix, rtol=1e-9)


@pytest.mark.parametrize("batch_of, expected", [
    (lambda batch: batch + [padded(batch[0])], "Image 6 is 1340x1000 but image 0 is 1280x960"),
    (lambda batch: [blank()[:480, :640], padded(batch[0])] + batch,
     "Image 2 is 1280x960 but image 1 is 1340x1000"),
])
def test_view_of_another_size_refuses_the_calibration(batch_of, expected, capsys):
    result = calibrator("chessboard").calibrate(batch_of(images("chessboard")[:6]))
    assert not result.ok and result.intrinsic_matrix.shape == (0, 0)
    assert log_lines(capsys.readouterr().err, "ERROR") == [
        f"[vantel][ERROR] [IntrinsicCalibrator] {expected}; all images must come from one camera."]


def test_same_sized_image_without_a_view_gives_no_size_warning(capsys):
    result = calibrator("chessboard").calibrate([blank()] + images("chessboard")[:6])
    assert result.ok and result.successful_indices == list(range(1, 7))
    assert log_lines(capsys.readouterr().err, "WARNING") == [
        "[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image 0"]


def test_stored_detections_follow_the_last_calibrate_only():
    calibration = calibrator("aruco")
    batch = images("aruco")
    calibration.find_corners(batch[:3])
    assert calibration.detections().successful_indices == [] and calibration.corner_images() == []
    calibration.calibrate(batch[:6])
    calibration.calibrate([blank()] + batch[6:12])
    detections = calibration.detections()
    assert detections.successful_indices == list(range(1, 7))
    corner_images = calibration.corner_images()
    assert len(corner_images) == 6 and corner_images[0].shape == batch[0].shape
    corner_images[0][:] = 0
    assert calibration.corner_images()[0].any()


# The calibrator reads its images in place: every layout NumPy can hand over must give the
# same result, a converted temporary must live through the call, and nothing may be written.
@pytest.mark.parametrize("layout", [
    lambda batch: np.stack(batch),
    lambda batch: tuple(np.asfortranarray(image) for image in batch),
    lambda batch: [np.ascontiguousarray(image[:, ::-1])[:, ::-1] for image in batch],
    lambda batch: [np.frombuffer(image.tobytes(), np.uint8).reshape(image.shape) for image in batch],
], ids=["stacked", "fortran", "reversed-view", "read-only"])
@pytest.mark.parametrize("name", list(TARGETS))
def test_any_image_layout_gives_the_same_calibration(name, layout):
    batch = [blank()] + images(name)[:6]
    expected = calibrator(name).calibrate(batch)
    given = layout(batch)
    before = [np.array(image, copy=True) for image in given]
    calibration = calibrator(name)
    result = calibration.calibrate(given)
    assert result.successful_indices == expected.successful_indices == list(range(1, 7))
    np.testing.assert_array_equal(result.intrinsic_matrix, expected.intrinsic_matrix)
    for image, copy in zip(given, before):
        np.testing.assert_array_equal(image, copy)
    for k, annotated in enumerate(calibration.corner_images()):
        assert not np.shares_memory(annotated, given[k + 1])


@pytest.mark.parametrize("bad", [
    [np.zeros((4, 4, 3), np.int64)],
    [np.zeros((4, 4, 3), np.uint8), "image"],
    np.zeros((4, 4, 3), np.uint8).tobytes(),
])
def test_images_without_a_matrix_form_are_a_type_error(bad):
    for method in ("calibrate", "find_corners"):
        with pytest.raises(TypeError):
            getattr(calibrator("chessboard"), method)(bad)
