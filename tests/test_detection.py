"""Corner finding and detect_and_annotate on flat, pixel-aligned board images drawn with pip's cv2."""

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import opencv_version
from cv2_reference import CRITERIA
from intrinsic_support import blank, calibrator

MARGIN_PX = 20
CHESSBOARD = v.ChessboardTarget((9, 6), 0.025)
CHARUCO = v.CharucoTarget(5, 7, 0.04, 0.03)
GRID = v.ArucoTarget((4, 5), 0.04, 0.01, 0)


def chessboard_image(square_px=40):
    """The board of CHESSBOARD, with a white margin of one square."""
    cells = (np.add.outer(np.arange(7), np.arange(10)) % 2 == 0).astype(np.uint8) * 255
    board = np.pad(np.kron(cells, np.ones((square_px, square_px), np.uint8)), square_px, constant_values=255)
    return cv2.cvtColor(board, cv2.COLOR_GRAY2BGR)


def charuco_image(dict_id=3, keep_markers=None):
    """The board of CHARUCO; markers whose id is not in keep_markers are painted white."""
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    grey = cv2.aruco.CharucoBoard((5, 7), 0.04, 0.03, dictionary).generateImage((500, 700), marginSize=MARGIN_PX)
    if keep_markers is not None:
        corners, ids, _ = cv2.aruco.ArucoDetector(dictionary).detectMarkers(grey)
        for quad, marker_id in zip(corners, ids.ravel()):
            if marker_id not in keep_markers:
                polygon = np.round(quad.reshape(4, 2)).astype(np.int32)
                cv2.fillConvexPoly(grey, polygon, 255)
                cv2.polylines(grey, [polygon], True, 255, 5)
    return cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)


def grid_image(dict_id=0, keep_markers=range(20), stray_ids=()):
    """The board of GRID (80 px markers, 20 px apart) with markers of stray_ids drawn beside it."""
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    grey = cv2.aruco.GridBoard((4, 5), 0.04, 0.01, dictionary).generateImage((420, 520), marginSize=MARGIN_PX)
    strip = np.full((520, 100 * max(len(stray_ids), 1) + MARGIN_PX), 255, np.uint8)
    for k, marker_id in enumerate(stray_ids):
        x = MARGIN_PX + 100 * k
        strip[MARGIN_PX:MARGIN_PX + 80, x:x + 80] = cv2.aruco.generateImageMarker(dictionary, marker_id, 80)
    for marker_id in set(range(20)) - set(keep_markers):
        y, x = MARGIN_PX + 100 * (marker_id // 4), MARGIN_PX + 100 * (marker_id % 4)
        grey[y:y + 80, x:x + 80] = 255
    return cv2.cvtColor(np.hstack([grey, strip]), cv2.COLOR_GRAY2BGR)


@pytest.mark.parametrize("image, fewest, most", [(charuco_image(), 24, 24), (charuco_image()[:350].copy(), 4, 23),
                                                 (blank(), 0, 0)], ids=["whole", "upper-half", "none"])
def test_board_corners_and_markers_are_drawn_on_a_copy(image, fewest, most):
    before = image.copy()
    annotated, count = CHARUCO.detect_and_annotate(image)
    assert fewest <= count <= most
    np.testing.assert_array_equal(image, before)
    # Green corners and blue markers; an exact copy when nothing is found.
    drawn = [np.all(annotated == np.uint8(bgr), axis=2).any() for bgr in [(0, 255, 0), (255, 0, 0)]]
    assert drawn == [count > 0] * 2 and (count > 0 or np.array_equal(annotated, image))
    assert [ids.shape for ids in calibrator(CHARUCO).find_corners([image]).point_ids] == ([(count, 1)] if count else [])


def test_dictionary_21_works_from_opencv_4_7_and_fails_clearly_before():
    target = v.CharucoTarget(5, 7, 0.04, 0.03, "DICT_ARUCO_MIP_36H12")
    if opencv_version() >= (4, 7):
        assert target.detect_and_annotate(charuco_image(dict_id=21))[1] == 24
        return
    with pytest.raises(RuntimeError) as raised:
        target.detect_and_annotate(blank())
    assert str(raised.value).startswith("aruco: dictionary id 21 (DICT_ARUCO_MIP_36H12) needs OpenCV 4.7 or newer")


@pytest.mark.parametrize("dict_id", [99, -1, 22, 2**31 - 1])
@pytest.mark.parametrize("use", [
    lambda i: v.CharucoTarget(5, 7, 0.04, 0.03, i).detect_and_annotate(charuco_image(dict_id=0)),
    lambda i: calibrator(v.CharucoTarget(5, 7, 0.04, 0.03, i)).find_corners([charuco_image(dict_id=0)]),
    lambda i: calibrator(v.ArucoTarget((4, 5), 0.04, 0.01, i)).find_corners([grid_image(dict_id=0)]),
    lambda i: v.EyeInHandCalibrator(v.CharucoTarget(5, 7, 0.04, 0.03, i)).compute_camera_T_target_list(
        [charuco_image(dict_id=0)], [np.eye(4)], np.eye(3), np.zeros(5)),
], ids=["charuco_detect", "charuco_corners", "grid_corners", "charuco_poses"])
def test_unknown_dictionary_id_is_refused_not_replaced(dict_id, use):
    # Id 0 is what an unknown id used to become: the 4x4_50 board in view was then found.
    with pytest.raises(RuntimeError) as raised:
        use(dict_id)
    last = 21 if opencv_version() >= (4, 7) else 20
    assert str(raised.value) == f"aruco: unknown dictionary id {dict_id}; valid ids are 0 to {last}"


def test_charuco_corners_and_poses_are_unbiased():
    # charuco_image fits whole-pixel squares into the margin, centred; pixel centres are at whole coordinates.
    square_px = min((500 - 2 * MARGIN_PX) // 5, (700 - 2 * MARGIN_PX) // 7)
    left, top = (500 - square_px * 5) // 2 - 0.5, (700 - square_px * 7) // 2 - 0.5
    # OpenCV before 4.14 adds half a pixel to each corner; the module takes it off.
    detections = calibrator(CHARUCO).find_corners([charuco_image()])
    ids = detections.point_ids[0].ravel()
    truth = np.stack([left + square_px * (1 + ids % 4), top + square_px * (1 + ids // 4)], axis=1)
    assert len(ids) == 24 and np.abs(detections.image_points[0].reshape(-1, 2) - truth).max() < 0.05
    # A pinhole of focal length f sees the flat image: the board lies at z = f * 0.04 m / square px.
    focal, centre = 1000.0, np.array([250.0, 350.0])
    depth = focal * 0.04 / square_px
    matrix = np.array([[focal, 0, centre[0]], [0, focal, centre[1]], [0, 0, 1]])
    pose = v.EyeInHandCalibrator(CHARUCO).compute_camera_T_target_list([charuco_image()], [np.eye(4)], matrix,
                                                                       np.zeros(5)).camera_T_target_list[0]
    np.testing.assert_allclose(pose[:3, :3], np.eye(3), atol=1e-4)
    # The board origin is the outer corner of the first square; 0.05 px of tolerance.
    expected = [(left - centre[0]) * depth / focal, (top - centre[1]) * depth / focal, depth]
    np.testing.assert_allclose(pose[:3, 3], expected, atol=0.05 * depth / focal)


@pytest.mark.parametrize("target", [CHESSBOARD, CHARUCO, GRID])
def test_empty_batch_gives_empty_lists_and_no_log(target, capsys):
    detections = calibrator(target).find_corners([])
    assert [detections.successful_indices, detections.image_points, detections.object_points,
            detections.point_ids, detections.annotated_images] == [[]] * 5 and capsys.readouterr().err == ""


def test_sub_pixel_window_is_a_half_size():
    noise = np.random.default_rng(1).normal(0, 12, (270, 360, 1))
    image = np.clip(cv2.GaussianBlur(chessboard_image(square_px=30), (0, 0), 2.0) + noise, 0, 255).astype(np.uint8)
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    _, raw = cv2.findChessboardCorners(grey, (9, 6), flags=0)
    corners = {}
    for window in (2, 11):
        calibration = calibrator(CHESSBOARD, sub_pixel_detection_window_size=window)
        corners[window] = calibration.find_corners([image]).image_points[0].reshape(-1, 2)
        expected = cv2.cornerSubPix(grey, raw.copy(), (window, window), (-1, -1), CRITERIA).reshape(-1, 2)
        # The unrefined corners of pip's cv2 may differ a little, which a 2 px window keeps.
        assert np.mean(np.abs(corners[window] - expected) < 0.02) > 0.95
    assert np.abs(corners[2] - corners[11]).max() > 0.05


BGRA = cv2.COLOR_BGR2BGRA
# (target, image, corners or markers found, accepted)
FOUND = [(v.CharucoTarget(*size, 0.04, 0.03), charuco_image(), 0, False) for size in [(7, 5), (6, 7), (4, 7), (6, 8)]]
FOUND += [
    (CHARUCO, charuco_image(keep_markers=range(4)), 3, False), (CHARUCO, charuco_image(keep_markers=range(5)), 4, True),
    (CHARUCO, cv2.cvtColor(charuco_image(), BGRA), 24, True), (CHESSBOARD, chessboard_image(), 54, True),
    (CHESSBOARD, cv2.cvtColor(chessboard_image(), BGRA), 54, True), (GRID, cv2.cvtColor(grid_image(), BGRA), 20, True),
    (GRID, grid_image(stray_ids=(30, 49)), 20, True), (GRID, grid_image(keep_markers=range(3)), 3, False),
    (GRID, grid_image(keep_markers=range(4), stray_ids=(30,)), 4, True),
    (GRID, grid_image(keep_markers=range(3), stray_ids=(30, 31)), 3, False),
]


@pytest.mark.parametrize("target, image, found, accepted", FOUND)
def test_views_with_enough_of_the_board_give_board_points_and_their_pixels(target, image, found, accepted):
    """Four ChArUco corners or ArUco markers of the board make a view; stray markers do not count;
    four-channel images are read as BGRA and annotated in BGR."""
    detections = calibrator(target).find_corners([image])
    assert detections.successful_indices == ([0] if accepted else [])
    rows = found * 4 if isinstance(target, v.ArucoTarget) else found
    for image_points, object_points, annotated in zip(detections.image_points, detections.object_points,
                                                      detections.annotated_images):
        assert image_points.shape == (rows, 1, 2) and image_points.dtype == np.float32
        assert object_points.shape == (rows, 3) and annotated.shape == image.shape[:2] + (3,)
        assert not np.array_equal(annotated, image[..., :3])  # the points are drawn
        if rows > 4:  # Each row pair is a board corner and its pixel: one homography maps them all.
            homography, _ = cv2.findHomography(object_points[:, :2], image_points)
            mapped = cv2.perspectiveTransform(object_points[None, :, :2].astype(np.float64), homography)[0]
            np.testing.assert_allclose(mapped, image_points.reshape(-1, 2), atol=1.0)
    if isinstance(target, v.CharucoTarget):
        annotated, count = target.detect_and_annotate(image)
        assert count == found and annotated.shape == image.shape[:2] + (3,)
        for ids, object_points in zip(detections.point_ids, detections.object_points):
            assert ids.shape == (rows, 1) and ids.dtype == np.int32
            truth = [[0.04 * (1 + i % 4), 0.04 * (1 + i // 4), 0] for i in ids.ravel()]
            np.testing.assert_allclose(object_points, truth, atol=1e-7)
    elif isinstance(target, v.ChessboardTarget):
        # Corners sit where four squares meet, in either of the grid's two reading directions.
        grid = np.float32([[40 * j - 0.5, 40 * i - 0.5] for i in range(2, 8) for j in range(2, 11)])
        points = detections.image_points[0].reshape(-1, 2)
        assert min(np.abs(points - grid).max(), np.abs(points[::-1] - grid).max()) < 0.15
        np.testing.assert_array_equal(detections.object_points[0], target.object_points)
    assert isinstance(target, v.CharucoTarget) or detections.point_ids == []


@pytest.mark.parametrize("target, image", [(CHESSBOARD, chessboard_image()), (CHARUCO, charuco_image()),
                                           (GRID, grid_image())], ids=["chessboard", "charuco", "grid"])
@pytest.mark.parametrize("shape", ["hw", "hw1"])
def test_grey_images_are_searched_like_their_colour_copy(target, image, shape):
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    grey = grey[..., None] if shape == "hw1" else grey
    found, expected = calibrator(target).find_corners([grey]), calibrator(target).find_corners([image])
    assert found.successful_indices == [0]
    np.testing.assert_array_equal(found.image_points[0], expected.image_points[0])
    # Drawn in colour on a colour copy of the grey image.
    np.testing.assert_array_equal(found.annotated_images[0], expected.annotated_images[0])
    if target is CHARUCO:
        annotated, count = target.detect_and_annotate(grey)
        assert count == 24 and np.array_equal(annotated, target.detect_and_annotate(image)[0])


BAD_IMAGES = {"uint16": (np.zeros((60, 80, 3), np.uint16), "uint16 60x80x3"),
              "float": (np.zeros((60, 80), np.float32), "float32 60x80"),
              "2ch": (np.zeros((60, 80, 2), np.uint8), "uint8 60x80x2"),
              "5ch": (np.zeros((60, 80, 5), np.uint8), "uint8 60x80x5"),
              "empty": (np.zeros((0, 80, 3), np.uint8), "empty")}
POSES = [np.eye(4)] * 2
# Each call gets a blank image first and the bad one second: refused before the blank is searched.
IMAGE_CALLS = {
    "find_corners": (lambda pair: calibrator(CHESSBOARD).find_corners(pair), "IntrinsicCalibrator: image 1"),
    "calibrate": (lambda pair: calibrator(CHESSBOARD).calibrate(pair), "IntrinsicCalibrator: image 1"),
    "detect_and_annotate": (lambda pair: CHARUCO.detect_and_annotate(pair[1]),
                            "CharucoTarget.detect_and_annotate: image"),
    "hand_eye": (lambda pair: v.EyeInHandCalibrator(CHARUCO).calibrate(POSES, pair), "EyeInHandCalibrator: image 1"),
    "eye_to_hand": (lambda pair: v.EyeToHandCalibrator(CHARUCO).calibrate(POSES, pair), "EyeToHandCalibrator: image 1"),
    "target_poses": (lambda pair: v.EyeInHandCalibrator(CHARUCO).compute_camera_T_target_list(
        pair, POSES, np.eye(3), np.zeros(5)), "EyeInHandCalibrator: image 1"),
    "rig": (lambda pair: v.MultiCameraCalibrator(CHARUCO, 2).calibrate([pair[:1] * 2, pair]),
            "MultiCameraCalibrator: camera 1 image 1"),
    "subsets": (lambda pair: v.MultiCameraCalibrator(CHARUCO, 2).calibrate_subsets([pair[:1] * 2, pair], [2]),
                "MultiCameraCalibrator: camera 1 image 1"),
    "benchmark": (lambda pair: v.CalibrationBenchmark().cross_validate(pair, CHARUCO, v.IntrinsicOptions(), 2),
                  "[Benchmark] image 1"),
    "compare_methods": (lambda pair: v.diagnostics.compare_hand_eye_methods(CHARUCO, POSES, pair, [], np.empty((0, 0)),
                                                                            np.empty((0, 0))),
                        "compare_hand_eye_methods: image 1"),
}


@pytest.mark.parametrize("bad", list(BAD_IMAGES))
@pytest.mark.parametrize("call", list(IMAGE_CALLS))
def test_unusable_images_are_named_before_any_search(bad, call, capsys):
    image, described = BAD_IMAGES[bad]
    use, name = IMAGE_CALLS[call]
    with pytest.raises(ValueError) as raised:
        use([blank(), image])
    assert str(raised.value) == f"{name} is {described}; images must be 8-bit grey or BGR (or BGRA)"
    assert capsys.readouterr().err == ""
