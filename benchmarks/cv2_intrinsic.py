"""The intrinsic calibration written directly over cv2, timing its own work.

Does what IntrinsicCalibrator.calibrate does on the OpenCV it runs with: grey conversion,
detection with the module's detector parameters, the same refinement and sub-pixel settings
(ChArUco corners without OpenCV's half-pixel offset before 4.14), calibrateCameraExtended with
the same flags and criteria. It runs under any interpreter with
cv2 and numpy (the venv's pip build, or /usr/bin/python3 with Debian's python3-opencv, the build
the module links), with either ArUco API: the 4.6 free functions or the 4.7+ classes.

Not in the timed runs: the module's annotated copy of each found view and its mean view error
(module work beyond plain cv2; --extras times them separately), and the board-fit check the
module adds on 4.6/4.7 (it changes nothing on a correctly described board).

Usage: python3 cv2_intrinsic.py JOB [--runs N] [--extras] [--flags F] [--warm-up N]
JOB is an .npz holding image_0000, image_0001, ... (BGR uint8) and "job", a JSON text describing
the target, or a cached job of bench_child.py (.json). Prints one JSON object: versions, wall and
CPU seconds per run and of the calibrateCamera call alone, detected views, the calibration and
the peak resident size after loading and at the end.
"""

import argparse
import json
import pathlib
import sys
import time

import cv2
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_child  # noqa: E402

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)
# The calibrator adds CALIB_USE_LU to the caller's flags 0: same result as the default solver,
# much faster on many views.
CALIBRATE_FLAGS = cv2.CALIB_USE_LU
SUB_PIXEL_WINDOW = (11, 11)
SUB_PIXEL_ZERO_ZONE = (-1, -1)
REFINE = {"minRepDistance": 10.0, "errorCorrectionRate": 3.0, "checkAllOrders": True}
CHARUCO_MIN_MARKERS = 2
MIN_CHARUCO_CORNERS = 4
MIN_ARUCO_MARKERS = 4
MARKER_COLOUR = (0, 255, 0)
CHARUCO_CORNER_COLOUR = (255, 0, 0)

# The 4.7+ classes; before that the ArUco module is a set of free functions.
CLASS_API = hasattr(cv2.aruco, "ArucoDetector")
# Before 4.14 OpenCV puts ChArUco corners half a pixel right and down; the module takes it off.
CHARUCO_CORNER_SHIFT = 0.5 if tuple(int(part) for part in cv2.__version__.split(".")[:2]) < (4, 14) else 0.0


def detector_parameters():
    if hasattr(cv2.aruco, "DetectorParameters_create"):
        parameters = cv2.aruco.DetectorParameters_create()
    else:
        parameters = cv2.aruco.DetectorParameters()
    parameters.adaptiveThreshWinSizeMin = 3
    parameters.adaptiveThreshWinSizeMax = 23
    parameters.adaptiveThreshWinSizeStep = 10
    parameters.adaptiveThreshConstant = 7
    parameters.minMarkerPerimeterRate = 0.03
    parameters.maxMarkerPerimeterRate = 4.0
    parameters.polygonalApproxAccuracyRate = 0.03
    parameters.minCornerDistanceRate = 0.05
    parameters.minDistanceToBorder = 3
    # The free-function detector drops the smaller of two close candidates instead of
    # grouping them; the module uses 0.05 there to find the same markers.
    parameters.minMarkerDistanceRate = 0.125 if CLASS_API else 0.05
    parameters.cornerRefinementMethod = cv2.aruco.CORNER_REFINE_NONE
    parameters.markerBorderBits = 1
    parameters.perspectiveRemovePixelPerCell = 4
    parameters.perspectiveRemoveIgnoredMarginPerCell = 0.13
    parameters.maxErroneousBitsInBorderRate = 0.35
    parameters.minOtsuStdDev = 5.0
    parameters.errorCorrectionRate = 0.6
    parameters.detectInvertedMarker = False
    if hasattr(parameters, "useAruco3Detection"):
        parameters.useAruco3Detection = False
    return parameters


def charuco_board(squares, square, marker, dictionary):
    if hasattr(cv2.aruco, "CharucoBoard_create"):
        board = cv2.aruco.CharucoBoard_create(squares[0], squares[1], square, marker, dictionary)
        return board, np.asarray(board.chessboardCorners, np.float32)
    board = cv2.aruco.CharucoBoard(tuple(squares), square, marker, dictionary)
    return board, np.asarray(board.getChessboardCorners(), np.float32)


def grid_board(markers, length, separation, dictionary):
    if hasattr(cv2.aruco, "GridBoard_create"):
        board = cv2.aruco.GridBoard_create(markers[0], markers[1], length, separation, dictionary)
        return board, [np.asarray(p, np.float32).reshape(-1, 3) for p in board.objPoints]
    board = cv2.aruco.GridBoard(tuple(markers), length, separation, dictionary)
    return board, [np.asarray(p, np.float32).reshape(-1, 3) for p in board.getObjPoints()]


def chessboard_finder(job):
    size = tuple(job["size"])
    object_points = np.zeros((size[0] * size[1], 3), np.float32)
    object_points[:, :2] = np.mgrid[0:size[0], 0:size[1]].T.reshape(-1, 2) * job["square"]

    def find(grey):
        found, corners = cv2.findChessboardCorners(grey, size, flags=0)
        if not found:
            return None
        corners = cv2.cornerSubPix(grey, corners, SUB_PIXEL_WINDOW, SUB_PIXEL_ZERO_ZONE, CRITERIA)
        return object_points, corners, lambda image: cv2.drawChessboardCorners(image, size, corners, True)

    return find


def charuco_finder(job):
    dictionary = cv2.aruco.getPredefinedDictionary(job["dictionary"])
    board, board_corners = charuco_board(job["squares"], job["square"], job["marker"], dictionary)

    if CLASS_API:
        charuco_parameters = cv2.aruco.CharucoParameters()
        charuco_parameters.minMarkers = CHARUCO_MIN_MARKERS
        charuco_parameters.tryRefineMarkers = False
        detector = cv2.aruco.CharucoDetector(board, charuco_parameters, detector_parameters(),
                                             cv2.aruco.RefineParameters(**REFINE))

        def detect(grey):
            return detector.detectBoard(grey)
    else:
        parameters = detector_parameters()

        def detect(grey):
            marker_corners, marker_ids, _ = cv2.aruco.detectMarkers(grey, dictionary, parameters=parameters)
            if marker_ids is None or len(marker_ids) == 0:
                return None, None, marker_corners, marker_ids
            _, corners, ids = cv2.aruco.interpolateCornersCharuco(
                marker_corners, marker_ids, grey, board, minMarkers=CHARUCO_MIN_MARKERS)
            return corners, ids, marker_corners, marker_ids

    def find(grey):
        corners, ids, marker_corners, marker_ids = detect(grey)
        if ids is None or len(ids) < MIN_CHARUCO_CORNERS:
            return None
        corners = corners - CHARUCO_CORNER_SHIFT

        def draw(image):
            if marker_ids is not None and len(marker_ids):
                cv2.aruco.drawDetectedMarkers(image, marker_corners, marker_ids, MARKER_COLOUR)
            cv2.aruco.drawDetectedCornersCharuco(image, corners.reshape(-1, 1, 2), ids, CHARUCO_CORNER_COLOUR)

        return board_corners[ids.ravel()], corners, draw

    return find


def grid_finder(job):
    dictionary = cv2.aruco.getPredefinedDictionary(job["dictionary"])
    board, board_markers = grid_board(job["markers"], job["length"], job["separation"], dictionary)
    parameters = detector_parameters()
    if CLASS_API:
        detector = cv2.aruco.ArucoDetector(dictionary, parameters, cv2.aruco.RefineParameters(**REFINE))
        detect = detector.detectMarkers

        def refine(grey, corners, ids, rejected):
            return detector.refineDetectedMarkers(grey, board, corners, ids, rejected)[:2]
    else:
        def detect(grey):
            return cv2.aruco.detectMarkers(grey, dictionary, parameters=parameters)

        def refine(grey, corners, ids, rejected):
            return cv2.aruco.refineDetectedMarkers(grey, board, corners, ids, rejected, parameters=parameters,
                                                   **REFINE)[:2]

    def on_board(ids):
        return [k for k, i in enumerate(ids.ravel()) if 0 <= i < len(board_markers)]

    def find(grey):
        corners, ids, rejected = detect(grey)
        if ids is None:
            return None
        # A marker of another board in view must neither count nor index past this board.
        keep = on_board(ids)
        if len(keep) < MIN_ARUCO_MARKERS:
            return None
        corners, ids = refine(grey, [corners[k] for k in keep], ids[keep], rejected)
        ids = ids.ravel()
        keep = on_board(ids)
        return (np.concatenate([board_markers[ids[k]][:4] for k in keep]),
                np.concatenate([corners[k].reshape(-1, 2)[:4] for k in keep]).reshape(-1, 1, 2),
                lambda image: cv2.aruco.drawDetectedMarkers(image, corners, ids.reshape(-1, 1), MARKER_COLOUR))

    return find


FINDERS = {"chessboard": chessboard_finder, "charuco": charuco_finder, "grid": grid_finder}


def mean_view_error(object_points, image_points, calibration):
    _, matrix, distortion, rvecs, tvecs = calibration[:5]
    errors = [cv2.norm(points, cv2.projectPoints(objects, rvec, tvec, matrix, distortion)[0], cv2.NORM_L2) / len(points)
              for objects, points, rvec, tvec in zip(object_points, image_points, rvecs, tvecs)]
    return sum(errors) / len(errors)


def calibrate(images, job, extras=None, flags=CALIBRATE_FLAGS, solve_times=None, plain=False):
    """(successful indices, calibrateCameraExtended's outputs) for one batch, detectors built once;
    plain: calibrateCamera's, without the deviations and per-view errors (what a plain script asks for).

    With an extras dict, also does the module's work beyond plain cv2 and adds its seconds there;
    with a solve_times list, appends the wall and CPU seconds of the calibrateCamera call.
    """
    find = FINDERS[job["target"]](job)
    indices, object_points, image_points = [], [], []
    annotated = []  # kept for the whole batch as the module keeps them: fresh memory each time
    for index, image in enumerate(images):
        found = find(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        if found is not None:
            indices.append(index)
            object_points.append(found[0])
            image_points.append(np.asarray(found[1], np.float32).reshape(-1, 1, 2))
            if extras is not None:
                start = time.perf_counter()
                annotated.append(image.copy())
                found[2](annotated[-1])
                extras["annotated copy"] += time.perf_counter() - start
    if not indices:
        return indices, None
    start, cpu_start = time.perf_counter(), time.process_time()
    solve = cv2.calibrateCamera if plain else cv2.calibrateCameraExtended
    calibration = solve(object_points, image_points, images[0].shape[1::-1], None, None, flags=flags,
                        criteria=CRITERIA)
    if solve_times is not None:
        solve_times.append((time.perf_counter() - start, time.process_time() - cpu_start))
    if extras is not None:
        start = time.perf_counter()
        mean_view_error(object_points, image_points, calibration)
        extras["mean view error"] += time.perf_counter() - start
    return indices, calibration


def load_job(path):
    if pathlib.Path(path).suffix == ".json":
        return bench_child.cached_job(path)[:2]
    with np.load(path, allow_pickle=False) as archive:
        job = json.loads(str(archive["job"]))
        images = [archive[name] for name in sorted(archive.files) if name.startswith("image_")]
    return job, images


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("job", help="npz with image_NNNN arrays and the JSON job description, or a cached job (.json)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--extras", action="store_true",
                        help="then time the module's extra work (annotated copies, mean view error) in more runs")
    parser.add_argument("--flags", type=int, default=CALIBRATE_FLAGS, help="calibrateCamera flags")
    parser.add_argument("--warm-up", type=int, default=None,
                        help="views of the warm-up run, from the first (default: all)")
    parser.add_argument("--plain", action="store_true",
                        help="calibrateCamera without the standard deviations and per-view errors")
    args = parser.parse_args()
    job, images = load_job(args.job)
    loaded_mib = bench_child.peak_rss_mib()

    calibrate(images[:args.warm_up], job, flags=args.flags, plain=args.plain)  # warm-up: thread pool, lazy start
    solve_times = []
    seconds, cpu_seconds, (indices, calibration) = bench_child.timed_runs(
        lambda: calibrate(images, job, flags=args.flags, solve_times=solve_times, plain=args.plain), args.runs)

    report = {"cv2": cv2.__version__, "aruco_api": "class" if CLASS_API else "functions",
              "calibrate_flags": args.flags, "seconds": seconds, "cpu_seconds": cpu_seconds,
              "solve_seconds": [wall for wall, _ in solve_times], "solve_cpu_seconds": [cpu for _, cpu in solve_times],
              "indices": indices, "rms": None, "camera_matrix": None,
              "peak_rss_mib": {"loaded": loaded_mib, "end": bench_child.peak_rss_mib()}}
    if calibration is not None:
        report["rms"] = float(calibration[0])
        report["camera_matrix"] = np.asarray(calibration[1]).tolist()
        report["per_view_errors"] = None if args.plain else np.asarray(calibration[7]).ravel().tolist()
    if args.extras:
        runs = []
        for _ in range(args.runs):
            extras = {"annotated copy": 0.0, "mean view error": 0.0}
            calibrate(images, job, extras, flags=args.flags)
            runs.append(extras)
        report["extras"] = {name: sorted(run[name] for run in runs)[len(runs) // 2] for name in runs[0]}
    print(json.dumps(report))


if __name__ == "__main__":
    main()
