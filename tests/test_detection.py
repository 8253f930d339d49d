import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import opencv_version
from flat_boards import MARGIN_PX, blank_image, charuco_image, chessboard_image, grid_image

CHARUCO = v.CharucoTarget(5, 7, 0.04, 0.03)
GRID = v.ArucoTarget((4, 5), 0.04, 0.01, 0)


def warnings(text):
    return [line for line in text.splitlines() if line.startswith("[vantel][WARNING]")]


def count_colour(image, bgr):
    return int(np.all(image == np.uint8(bgr), axis=2).sum())


# --- detect_and_annotate ---------------------------------------------------------------

def test_no_board_gives_an_exact_copy_and_zero():
    image = blank_image()
    annotated, count = CHARUCO.detect_and_annotate(image)
    assert count == 0
    np.testing.assert_array_equal(annotated, image)


def test_board_corners_and_markers_are_drawn_on_a_copy():
    image = charuco_image()
    before = image.copy()
    annotated, count = CHARUCO.detect_and_annotate(image)
    assert count == 24
    np.testing.assert_array_equal(image, before)
    assert count_colour(annotated, (0, 255, 0)) > 0 and count_colour(annotated, (255, 0, 0)) > 0


def test_partly_visible_board_counts_the_interpolated_corners():
    image = charuco_image()
    part = image[: image.shape[0] // 2].copy()
    annotated, count = CHARUCO.detect_and_annotate(part)
    assert 0 < count < 24
    assert count_colour(annotated, (0, 255, 0)) > 0 and count_colour(annotated, (255, 0, 0)) > 0
    calibrator = v.IntrinsicCalibrator(CHARUCO)
    assert calibrator.find_corners([part]).point_ids[0].shape == (count, 1)


@pytest.mark.parametrize("target, image", [
    (CHARUCO, charuco_image()),
    (GRID, grid_image()),
    (v.ChessboardTarget((9, 6), 0.025), chessboard_image()),
])
def test_four_channel_image_is_read_as_bgra_and_annotated_in_bgr(target, image):
    bgra = cv2.cvtColor(image, cv2.COLOR_BGR2BGRA)
    detections = v.IntrinsicCalibrator(target).find_corners([bgra])
    assert detections.successful_indices == [0]
    assert detections.annotated_images[0].shape == image.shape
    if target is CHARUCO:
        annotated, count = CHARUCO.detect_and_annotate(bgra)
        assert count == 24 and annotated.shape == image.shape


@pytest.mark.parametrize("image", [np.zeros((100, 100), np.uint8), np.zeros((100, 100, 2), np.uint8)])
def test_image_without_three_or_four_channels_raises(image):
    with pytest.raises(RuntimeError):
        CHARUCO.detect_and_annotate(image)
    with pytest.raises(RuntimeError):
        v.IntrinsicCalibrator(CHARUCO).find_corners([image])


@pytest.mark.parametrize("described", [(7, 5), (6, 7), (4, 7), (6, 8)])
def test_board_described_with_the_wrong_size_yields_no_corners(described, capsys):
    image = charuco_image((5, 7))
    target = v.CharucoTarget(*described, 0.04, 0.03)
    assert target.detect_and_annotate(image)[1] == 0
    assert v.IntrinsicCalibrator(target).find_corners([image]).successful_indices == []
    assert warnings(capsys.readouterr().err) == [
        "[vantel][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image 0"]


def test_dictionary_21_works_from_opencv_4_7_and_fails_clearly_before():
    target = v.CharucoTarget(5, 7, 0.04, 0.03, "DICT_ARUCO_MIP_36H12")
    if opencv_version() >= (4, 7):
        assert target.detect_and_annotate(charuco_image(dict_id=21))[1] == 24
    else:
        with pytest.raises(RuntimeError) as raised:
            target.detect_and_annotate(blank_image())
        assert str(raised.value).startswith(
            "aruco: dictionary id 21 (DICT_ARUCO_MIP_36H12) needs OpenCV 4.7 or newer")


def last_dictionary_id():
    return 21 if opencv_version() >= (4, 7) else 20


@pytest.mark.parametrize("dict_id", [99, -1, 22, 2**31 - 1])
@pytest.mark.parametrize("use", [
    lambda i: v.CharucoTarget(5, 7, 0.04, 0.03, i).detect_and_annotate(charuco_image(dict_id=0)),
    lambda i: v.IntrinsicCalibrator(v.CharucoTarget(5, 7, 0.04, 0.03, i)).find_corners([charuco_image(dict_id=0)]),
    lambda i: v.IntrinsicCalibrator(v.ArucoTarget((4, 5), 0.04, 0.01, i)).find_corners([grid_image(dict_id=0)]),
    lambda i: v.EyeInHandCalibrator(v.CharucoTarget(5, 7, 0.04, 0.03, i)).compute_camera_T_target_list(
        [charuco_image(dict_id=0)], [np.eye(4)], np.eye(3), np.zeros(5)),
], ids=["charuco_detect", "charuco_corners", "grid_corners", "charuco_poses"])
def test_unknown_dictionary_id_is_refused_not_replaced(dict_id, use):
    # Id 0 is what an unknown id used to become: the 4x4_50 board in view was then found.
    with pytest.raises(RuntimeError) as raised:
        use(dict_id)
    assert str(raised.value) == (f"aruco: unknown dictionary id {dict_id}; "
                                 f"valid ids are 0 to {last_dictionary_id()}")


def flat_charuco_truth(ids, squares=(5, 7), size=(500, 700)):
    """Pixel position of each ChArUco corner id on charuco_image: the board is fitted into the
    margin with whole-pixel squares and centred, pixel centres at whole coordinates."""
    square = min((size[0] - 2 * MARGIN_PX) // squares[0], (size[1] - 2 * MARGIN_PX) // squares[1])
    left = (size[0] - square * squares[0]) // 2 - 0.5
    top = (size[1] - square * squares[1]) // 2 - 0.5
    columns = squares[0] - 1
    return square, left, top, np.array([[left + square * (1 + i % columns), top + square * (1 + i // columns)]
                                        for i in np.ravel(ids)])


def test_charuco_corners_sit_on_the_true_corners():
    # OpenCV before 4.14 adds half a pixel to each; the module takes it off.
    detections = v.IntrinsicCalibrator(CHARUCO).find_corners([charuco_image()])
    found = detections.image_points[0].reshape(-1, 2)
    _, _, _, truth = flat_charuco_truth(detections.point_ids[0])
    assert len(found) == 24
    assert np.abs(found - truth).max() < 0.05


def test_charuco_poses_are_unbiased():
    # A pinhole of focal length f sees the flat image: the board lies at z = f * 0.04 m / square px.
    focal, centre = 1000.0, np.array([250.0, 350.0])
    square_px, left, top, _ = flat_charuco_truth([0])
    depth = focal * 0.04 / square_px
    matrix = np.array([[focal, 0, centre[0]], [0, focal, centre[1]], [0, 0, 1]])
    poses = v.EyeInHandCalibrator(CHARUCO).compute_camera_T_target_list([charuco_image()], [np.eye(4)], matrix,
                                                                        np.zeros(5))
    pose = poses.camera_T_target_list[0]
    np.testing.assert_allclose(pose[:3, :3], np.eye(3), atol=1e-4)
    # The board origin is the outer corner of the first square; 0.05 px of tolerance.
    expected = [(left - centre[0]) * depth / focal, (top - centre[1]) * depth / focal, depth]
    np.testing.assert_allclose(pose[:3, 3], expected, atol=0.05 * depth / focal)


# --- find_corners ------------------------------------------------------------------------

@pytest.mark.parametrize("target", [v.ChessboardTarget((9, 6), 0.025), CHARUCO, GRID])
def test_empty_batch_gives_empty_lists_and_no_log(target, capsys):
    detections = v.IntrinsicCalibrator(target).find_corners([])
    assert [detections.successful_indices, detections.image_points, detections.object_points,
            detections.point_ids, detections.annotated_images] == [[]] * 5
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("detector", ["Default", "Sector Based"])
def test_chessboard_only_in_the_second_image(detector, capsys):
    options = v.IntrinsicOptions()
    options.chessboard_corner_detector = detector
    board = chessboard_image()
    detections = v.IntrinsicCalibrator(v.ChessboardTarget((9, 6), 0.025), options).find_corners(
        [blank_image(), board, blank_image()])
    assert detections.successful_indices == [1]
    assert detections.point_ids == []
    points = detections.image_points[0]
    assert points.shape == (54, 1, 2) and points.dtype == np.float32
    # Corners sit where four squares meet, in either of the grid's two reading directions.
    grid = np.float32([[40 + 40 * j - 0.5, 40 + 40 * i - 0.5] for i in range(1, 7) for j in range(1, 10)])
    found = points.reshape(-1, 2)
    assert np.abs(found - grid).max() < 0.15 or np.abs(found[::-1] - grid).max() < 0.15
    np.testing.assert_array_equal(detections.object_points[0], v.ChessboardTarget((9, 6), 0.025).object_points)
    assert detections.annotated_images[0].shape == board.shape
    assert not np.array_equal(detections.annotated_images[0], board)
    assert warnings(capsys.readouterr().err) == [
        "[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image 0",
        "[vantel][WARNING] [IntrinsicCalibrator] Chessboard not found in image 2"]


def test_sub_pixel_window_is_a_half_size():
    noise = np.random.default_rng(1).normal(0, 12, (270, 360, 1))
    image = np.clip(cv2.GaussianBlur(chessboard_image(square_px=30), (0, 0), 2.0) + noise, 0, 255).astype(np.uint8)
    corners = {}
    for window in (2, 11):
        options = v.IntrinsicOptions()
        options.sub_pixel_detection_window_size = window
        corners[window] = v.IntrinsicCalibrator(v.ChessboardTarget((9, 6), 0.025), options).find_corners(
            [image]).image_points[0]
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    found, raw = cv2.findChessboardCorners(grey, (9, 6), flags=0)
    assert found
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)
    for window, points in corners.items():
        expected = cv2.cornerSubPix(grey, raw.copy(), (window, window), (-1, -1), criteria)
        # The unrefined corners of pip's cv2 may differ a little, which a 2 px window keeps.
        assert np.mean(np.abs(points.reshape(-1, 2) - expected.reshape(-1, 2)) < 0.02) > 0.95
    assert np.abs(corners[2] - corners[11]).max() > 0.05


@pytest.mark.parametrize("value", ["default", "Sector based", "", "Default "])
def test_unknown_chessboard_detector(value):
    options = v.IntrinsicOptions()
    options.chessboard_corner_detector = value
    calibrator = v.IntrinsicCalibrator(v.ChessboardTarget((9, 6), 0.025), options)
    assert calibrator.find_corners([]).successful_indices == []
    with pytest.raises(ValueError) as error:
        calibrator.find_corners([blank_image()])
    assert str(error.value) == ("IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or "
                                f"'Sector Based', got '{value}'")


@pytest.mark.parametrize("kept_markers, accepted", [(4, False), (5, True)])
def test_charuco_needs_four_corners(kept_markers, accepted, capsys):
    image = charuco_image(keep_markers=set(range(kept_markers)))
    detections = v.IntrinsicCalibrator(CHARUCO).find_corners([image])
    if not accepted:
        assert CHARUCO.detect_and_annotate(image)[1] == 3
        assert detections.successful_indices == []
        assert warnings(capsys.readouterr().err) == [
            "[vantel][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image 0"]
        return
    assert detections.successful_indices == [0]
    ids = detections.point_ids[0]
    assert ids.shape == (4, 1) and ids.dtype == np.int32
    board = cv2.aruco.CharucoBoard((5, 7), 0.04, 0.03, cv2.aruco.getPredefinedDictionary(3))
    np.testing.assert_allclose(detections.object_points[0], board.getChessboardCorners()[ids.ravel()], atol=1e-7)
    assert detections.image_points[0].shape == (4, 1, 2)


@pytest.mark.parametrize("kept, strays, accepted_rows", [
    (range(20), (), 80),
    (range(20), (30, 49), 80),
    (range(4), (30,), 16),
    (range(3), (), None),
    (range(3), (30, 31), None),
])
def test_grid_board_counts_and_uses_only_its_own_markers(kept, strays, accepted_rows, capsys):
    image = grid_image(keep_markers=set(kept), stray_ids=strays)
    detections = v.IntrinsicCalibrator(GRID).find_corners([image])
    if accepted_rows is None:
        assert detections.successful_indices == []
        assert warnings(capsys.readouterr().err) == [
            "[vantel][WARNING] [ArucoIntrinsicCalibrator] Not enough ArUco markers in image 0"]
        return
    assert detections.successful_indices == [0] and detections.point_ids == []
    image_points = detections.image_points[0]
    object_points = detections.object_points[0]
    assert image_points.shape == (accepted_rows, 1, 2) and object_points.shape == (accepted_rows, 3)
    board = cv2.aruco.GridBoard((4, 5), 0.04, 0.01, cv2.aruco.getPredefinedDictionary(0))
    all_points = np.concatenate(board.getObjPoints())
    # Every row pair is a board corner and its pixel: one homography maps them all.
    homography, _ = cv2.findHomography(object_points[:, :2], image_points.reshape(-1, 2))
    mapped = cv2.perspectiveTransform(object_points[None, :, :2].astype(np.float64), homography)[0]
    np.testing.assert_allclose(mapped, image_points.reshape(-1, 2), atol=1.0)
    assert all(any(np.allclose(row, point) for point in all_points) for row in object_points)
