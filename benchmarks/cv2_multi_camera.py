"""The multi-camera calibration written directly over cv2, timing its own work.

Does what MultiCameraCalibrator.calibrate does with its default options on a ChArUco rig: per
camera the intrinsic calibration of cv2_intrinsic.py (criteria COUNT+EPS 30 1e-6) and the
3 px per-view filter, per camera against the reference the frames both kept, the corner ids both
saw (at least 15) and stereoCalibrate with fixed intrinsics (both with the LU solver the module
adds, unless --flags gives others), then the DLT triangulation of frame 0 with its neighbour
distances, plane thickness and per-camera reprojection. Like the module it reuses each camera's
detection of frame 0 for the triangulation. Runs under any interpreter with cv2 and numpy.

Usage: python3 cv2_multi_camera.py JOB [--runs N] [--flags F]
JOB is an .npz holding "images" (cameras x frames x H x W x 3, BGR uint8) and "job", the JSON target
description of cv2_intrinsic.py, or a cached rig job of bench_child.py (.json). Prints one JSON
object: wall and CPU seconds per run and the transforms found.
"""

import argparse
import json
import pathlib
import sys

import cv2
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_child  # noqa: E402
import cv2_intrinsic  # noqa: E402

cv2_intrinsic.CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 1e-6)
PER_VIEW_THRESHOLD = 3.0
MIN_SHARED_FRAMES = 4
MIN_SHARED_CORNERS = 15


def detect_and_calibrate(images, job, flags):
    """Per frame (ids, corners) or None, and (K, dist, kept frames)."""
    find = cv2_intrinsic.charuco_finder(job)
    found = []
    for image in images:
        view = find(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        found.append(None if view is None else (view[0], np.asarray(view[1], np.float32).reshape(-1, 1, 2)))
    indices = [k for k, view in enumerate(found) if view is not None]
    calibration = cv2.calibrateCameraExtended([found[k][0] for k in indices], [found[k][1] for k in indices],
                                              images[0].shape[1::-1], None, None, flags=flags,
                                              criteria=cv2_intrinsic.CRITERIA)
    kept = [k for k, error in zip(indices, calibration[7].ravel()) if error <= PER_VIEW_THRESHOLD]
    return found, calibration[1], calibration[2], kept or indices


def ids_of(board_corners, object_points):
    """ChArUco ids of a view's object points (rows of the board's corner table)."""
    lookup = {tuple(row): i for i, row in enumerate(board_corners)}
    return [lookup[tuple(row)] for row in object_points]


def stereo_pair(board_corners, reference, camera, flags):
    (found_r, K1, D1, kept_r), (found_k, K2, D2, kept_k) = reference, camera
    objects, points_r, points_k = [], [], []
    for frame in sorted(set(kept_r) & set(kept_k)):
        ids_r = dict(zip(ids_of(board_corners, found_r[frame][0]), found_r[frame][1].reshape(-1, 2)))
        ids_k = dict(zip(ids_of(board_corners, found_k[frame][0]), found_k[frame][1].reshape(-1, 2)))
        shared = sorted(set(ids_r) & set(ids_k))
        if len(shared) < MIN_SHARED_CORNERS:
            continue
        objects.append(board_corners[shared])
        points_r.append(np.float32([ids_r[i] for i in shared]).reshape(-1, 1, 2))
        points_k.append(np.float32([ids_k[i] for i in shared]).reshape(-1, 1, 2))
    if len(objects) < MIN_SHARED_FRAMES:
        return None
    rms, _, _, _, _, R, T, _, _ = cv2.stereoCalibrate(objects, points_r, points_k, K1, D1, K2, D2, (0, 0),
                                                      flags=cv2.CALIB_FIX_INTRINSIC | flags,
                                                      criteria=cv2_intrinsic.CRITERIA)
    camera_T_reference = np.eye(4)
    camera_T_reference[:3, :3], camera_T_reference[:3, 3] = R, T.ravel()
    return rms, np.linalg.inv(camera_T_reference)


def triangulate(board_corners, cameras, transforms, squares_x, frame=0):
    observations = {}
    for c, (found, K, D, _) in enumerate(cameras):
        if found[frame] is None:
            continue
        for i, pixel in zip(ids_of(board_corners, found[frame][0]), found[frame][1].reshape(-1, 2)):
            observations.setdefault(i, []).append((c, pixel.astype(np.float64)))
    observations = {i: seen for i, seen in sorted(observations.items()) if len(seen) >= 2}
    camera_T_reference = [np.linalg.inv(T) for T in transforms]
    projections = [K @ T[:3] for (_, K, _, _), T in zip(cameras, camera_T_reference)]
    points, ids = [], []
    for i, seen in observations.items():
        rows = []
        for c, pixel in seen:
            _, K, D, _ = cameras[c]
            u, v = cv2.undistortPoints(pixel.reshape(1, 1, 2), K, D, P=K).ravel()
            rows += [u * projections[c][2] - projections[c][0], v * projections[c][2] - projections[c][1]]
        X = np.linalg.svd(np.array(rows))[2][3]
        points.append(X[:3] / X[3])
        ids.append(i)
    points = np.array(points)
    row_of = {i: k for k, i in enumerate(ids)}
    cols = squares_x - 1
    distances = [np.linalg.norm(points[k] - points[row_of[j]]) for k, i in enumerate(ids)
                 for j in ((i + 1) if i % cols != cols - 1 else None, i + cols) if j in row_of]
    thickness = np.linalg.svd(points - points.mean(axis=0), compute_uv=False)[2]
    rms = []
    for c, (found, K, D, _) in enumerate(cameras):
        seen = [(row_of[i], pixel) for i, observed in observations.items() for cam, pixel in observed if cam == c]
        rvec, _ = cv2.Rodrigues(camera_T_reference[c][:3, :3])
        projected = cv2.projectPoints(np.float32([points[k] for k, _ in seen]), rvec, camera_T_reference[c][:3, 3],
                                      K, D)[0].reshape(-1, 2)
        rms.append(float(np.sqrt(np.mean(np.sum((projected - [p for _, p in seen]) ** 2, axis=1)))))
    return distances, thickness, rms


def calibrate(lists, job, reference=0, flags=cv2.CALIB_USE_LU):
    board_corners = cv2_intrinsic.charuco_board(job["squares"], job["square"], job["marker"],
                                                cv2.aruco.getPredefinedDictionary(job["dictionary"]))[1]
    cameras = [detect_and_calibrate(images, job, flags) for images in lists]
    transforms = [np.eye(4) if c == reference else None for c in range(len(lists))]
    for c in range(len(lists)):
        if c != reference:
            pair = stereo_pair(board_corners, cameras[reference], cameras[c], flags)
            transforms[c] = None if pair is None else pair[1]
    if all(T is not None for T in transforms):
        triangulate(board_corners, cameras, transforms, job["squares"][0])
    return transforms


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("job")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--flags", type=int, default=cv2.CALIB_USE_LU,
                        help="solver flags of calibrateCamera, and of stereoCalibrate beside CALIB_FIX_INTRINSIC")
    parser.add_argument("--warm-up", type=int, default=None, help="frames of the warm-up run (default: all)")
    args = parser.parse_args()
    if pathlib.Path(args.job).suffix == ".json":
        job, lists, _ = bench_child.cached_job(args.job)
    else:
        with np.load(args.job, allow_pickle=False) as archive:
            job = json.loads(str(archive["job"]))
            lists = [list(camera) for camera in archive["images"]]
    # warm-up: thread pool, lazy initialisation
    calibrate([images[:args.warm_up] for images in lists], job, flags=args.flags)
    seconds, cpu_seconds, transforms = bench_child.timed_runs(lambda: calibrate(lists, job, flags=args.flags),
                                                              args.runs)
    print(json.dumps({"cv2": cv2.__version__, "seconds": seconds, "cpu_seconds": cpu_seconds,
                      "transforms": [None if T is None else T.tolist() for T in transforms]}))


if __name__ == "__main__":
    main()
