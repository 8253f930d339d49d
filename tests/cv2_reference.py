"""The intrinsic calibration written directly with pip's cv2: the reference for the module.

Each *_views generator yields (image index, object points, image points) for every image in
which the target is found, as the module's corner finding does.
"""

import cv2
import numpy as np

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)


def cv2_version():
    return tuple(int(part) for part in cv2.__version__.split(".")[:2])


def charuco_corner_bias(opencv_version):
    """Where OpenCV puts ChArUco corners, minus the true corner, in pixels along x and y: before
    4.14 its interpolation puts them half a pixel right and down (measured up to 4.13)."""
    return 0.5 if tuple(opencv_version) < (4, 14) else 0.0


def refine_parameters():
    return cv2.aruco.RefineParameters(10.0, 3.0, True)


def chessboard_views(images, size, square):
    object_points = np.zeros((size[0] * size[1], 3), np.float32)
    object_points[:, :2] = np.mgrid[0:size[0], 0:size[1]].T.reshape(-1, 2) * square
    for index, image in enumerate(images):
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        found, corners = cv2.findChessboardCorners(grey, size, flags=0)
        if found:
            yield index, object_points, cv2.cornerSubPix(grey, corners, (11, 11), (-1, -1), CRITERIA)


def charuco_views(images, squares, square, marker, dict_id):
    board = cv2.aruco.CharucoBoard(squares, square, marker, cv2.aruco.getPredefinedDictionary(dict_id))
    parameters = cv2.aruco.CharucoParameters()
    parameters.minMarkers = 2
    detector = cv2.aruco.CharucoDetector(board, parameters, cv2.aruco.DetectorParameters(), refine_parameters())
    for index, image in enumerate(images):
        corners, ids, _, _ = detector.detectBoard(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        if ids is not None and len(ids) >= 4:
            yield index, board.getChessboardCorners()[ids.ravel()], corners


def grid_views(images, markers, length, separation, dict_id):
    dictionary = cv2.aruco.getPredefinedDictionary(dict_id)
    board = cv2.aruco.GridBoard(markers, length, separation, dictionary)
    detector = cv2.aruco.ArucoDetector(dictionary, cv2.aruco.DetectorParameters(), refine_parameters())
    board_points = board.getObjPoints()
    for index, image in enumerate(images):
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        corners, ids, rejected = detector.detectMarkers(grey)
        if ids is None or len(ids) < 4:
            continue
        corners, ids, _, _ = detector.refineDetectedMarkers(grey, board, corners, ids, rejected)
        yield (index, np.concatenate([board_points[i] for i in ids.ravel()]),
               np.concatenate([c.reshape(4, 2) for c in corners]))


def calibrate(views, image_size, criteria=CRITERIA):
    """(RMS, camera matrix) of cv2.calibrateCamera over (index, object points, image points) views."""
    _, object_points, image_points = zip(*views)
    rms, matrix, _, _, _ = cv2.calibrateCamera(
        [np.float32(o) for o in object_points], [np.float32(p).reshape(-1, 1, 2) for p in image_points],
        image_size, None, None, flags=0, criteria=criteria)
    return rms, matrix
