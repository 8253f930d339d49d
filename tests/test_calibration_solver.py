"""The calibrations solve with the view poses eliminated in every step and end where OpenCV's own
solve ends when it is run to its minimum; flags the solver does not take keep OpenCV's solve."""

import functools
import pickle
import subprocess
import sys

import cv2
import numpy as np
import pytest

import _vantel as v
from _vantel_testhooks import (calibrate_camera, calibrate_camera_as_the_calibrator, initial_camera_matrices,
                               opencv_version, projections, stereo_calibrate)
from intrinsic_support import CAMERA, TO_THE_MINIMUM, TARGETS, calibrator, images
from measures import quietly
from vantel_tools.rendering import defaults, intrinsic_views

EMPTY = np.empty((0, 0))
GUESS = np.array([[500.0, 0.0, 320.0], [0.0, 500.0, 240.0], [0.0, 0.0, 1.0]])
DISTORTION_GUESS = np.array([-0.1, 0.01, 0.0, 0.0, 0.0])


@functools.cache
def charuco_points(n_views=40, noise=0.2, seed=7):
    """Exact projections of the visible ChArUco corners of posed views, with Gaussian noise."""
    views = intrinsic_views(defaults.CHARUCO, defaults.SMALL_CAMERA, n_views=n_views, seed=seed, render=False)
    rng = np.random.default_rng(1)
    objects = [np.float32(defaults.CHARUCO.object_points[view.inside]) for view in views]
    points = [np.float32(view.image_points[view.inside] + rng.normal(0, noise, (view.inside.sum(), 2))).reshape(-1, 1, 2)
              for view in views]
    return objects, points


def deviation_scale(points, free):
    """OpenCV before 4.10 took the noise from the point count, not the coordinate count."""
    count = sum(len(p) for p in points) if opencv_version() < (4, 10) else None
    return 1.0 if count is None else np.sqrt((2 * count - free) / (count - free))


# name, flags, camera-matrix guess, distortion guess, iterations, whether the data determine every term
DETERMINED, FLAT = True, False
FLAG_CASES = [
    ("plain", 0, EMPTY, EMPTY, 30, DETERMINED),
    ("fixed principal point", cv2.CALIB_FIX_PRINCIPAL_POINT, EMPTY, EMPTY, 30, DETERMINED),
    ("fixed aspect ratio", cv2.CALIB_FIX_ASPECT_RATIO, EMPTY, EMPTY, 30, DETERMINED),
    ("aspect ratio of a matrix", cv2.CALIB_FIX_ASPECT_RATIO, GUESS * [[1], [1.04], [1]], EMPTY, 100, DETERMINED),
    ("no tangential terms", cv2.CALIB_ZERO_TANGENT_DIST, EMPTY, EMPTY, 30, DETERMINED),
    ("fixed tangential terms", cv2.CALIB_FIX_TANGENT_DIST, EMPTY, DISTORTION_GUESS + [0, 0, 1e-3, 0, 0], 30,
     DETERMINED),
    ("fixed k1 k2", cv2.CALIB_FIX_K1 | cv2.CALIB_FIX_K2, EMPTY, EMPTY, 30, DETERMINED),
    ("fixed k3", cv2.CALIB_FIX_K3, EMPTY, EMPTY, 30, DETERMINED),
    ("fixed focal length", cv2.CALIB_FIX_FOCAL_LENGTH, EMPTY, EMPTY, 30, DETERMINED),
    ("guess", cv2.CALIB_USE_INTRINSIC_GUESS, GUESS, DISTORTION_GUESS, 30, DETERMINED),
    ("guess with fixed k1", cv2.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_FIX_K1, GUESS, DISTORTION_GUESS, 30,
     DETERMINED),
    ("four-term guess", cv2.CALIB_USE_INTRINSIC_GUESS, GUESS, DISTORTION_GUESS[:4], 30, DETERMINED),
    ("distortion without guess flag", cv2.CALIB_FIX_K1, EMPTY, DISTORTION_GUESS, 30, DETERMINED),
    ("QR", cv2.CALIB_USE_QR, EMPTY, EMPTY, 30, DETERMINED),
    ("thin prism, fixed", cv2.CALIB_THIN_PRISM_MODEL | cv2.CALIB_FIX_S1_S2_S3_S4, EMPTY, EMPTY, 30, DETERMINED),
    ("thin prism", cv2.CALIB_THIN_PRISM_MODEL, EMPTY, EMPTY, 100, FLAT),
    ("rational", cv2.CALIB_RATIONAL_MODEL, EMPTY, EMPTY, 300, FLAT),
    ("rational and thin prism", cv2.CALIB_RATIONAL_MODEL | cv2.CALIB_THIN_PRISM_MODEL, EMPTY, EMPTY, 300, FLAT),
    ("tilted", cv2.CALIB_TILTED_MODEL, EMPTY, EMPTY, 300, FLAT),
]


@pytest.mark.parametrize("name, flags, guess, distortion, iterations, determined", FLAG_CASES,
                         ids=[case[0] for case in FLAG_CASES])
def test_same_minimum_as_opencv(name, flags, guess, distortion, iterations, determined):
    objects, points = charuco_points()
    size = defaults.SMALL_CAMERA.size
    ours = calibrate_camera_as_the_calibrator(objects, points, size, flags, criteria=(3, iterations, 1e-3),
                                              guess=guess, distortion_guess=distortion)
    theirs = calibrate_camera(objects, points, size, flags | cv2.CALIB_USE_LU, criteria=TO_THE_MINIMUM, guess=guess,
                              distortion_guess=distortion)
    assert ours[0] == pytest.approx(theirs[0], abs=1e-6)
    np.testing.assert_allclose(ours[3], theirs[3], rtol=0, atol=1e-6)
    assert ours[2].shape == theirs[2].shape
    if not determined:
        # Rational, thin-prism and tilt terms trade against each other in flat valleys: compare what they
        # predict, the reprojection of every corner.
        for k in range(len(objects)):
            mine = cv2.projectPoints(objects[k], ours[6][k], ours[7][k], ours[1], ours[2])[0]
            reference = cv2.projectPoints(objects[k], theirs[6][k], theirs[7][k], theirs[1], theirs[2])[0]
            np.testing.assert_allclose(mine, reference, rtol=0, atol=2e-3)
        return
    np.testing.assert_allclose(ours[1], theirs[1], rtol=1e-6)
    np.testing.assert_allclose(ours[2], theirs[2], rtol=0, atol=1e-6)
    np.testing.assert_allclose(np.hstack(ours[6] + ours[7]), np.hstack(theirs[6] + theirs[7]), rtol=0, atol=1e-6)
    free = np.count_nonzero(theirs[4]) + 6 * len(objects)
    scale = deviation_scale(points, free)
    np.testing.assert_array_equal(ours[4] > 0, theirs[4] > 0)
    np.testing.assert_allclose(ours[4] * scale, theirs[4], rtol=1e-3)
    np.testing.assert_allclose(ours[5] * scale, theirs[5], rtol=1e-3)


@pytest.mark.parametrize("distortion", [[-0.15, 0.03, 5e-4, -3e-4], [-0.15, 0.03, 5e-4, -3e-4, 0.01],
                                        [-0.15, 0.03, 5e-4, -3e-4, 0.01, 0.1, -0.02, 0.003],
                                        [-0.15, 0.03, 5e-4, -3e-4, 0.01, 0.1, -0.02, 0.003, 1e-3, -2e-3, 1.5e-3, 7e-4],
                                        [-0.15, 0.03, 5e-4, -3e-4, 0.01, 0, 0, 0, 0, 0, 0, 0, 0.01, -0.02]],
                         ids=["4 terms", "5 terms", "rational", "thin prism", "tilted"])
def test_projections_and_jacobian_are_opencvs(distortion):
    objects = np.random.default_rng(0).uniform(-0.2, 0.2, (30, 3)) * [1, 1, 0]
    ours, our_jacobian, theirs, their_jacobian = projections(objects, [0.1, -0.2, 0.3], [0.05, -0.02, 0.6],
                                                             defaults.SMALL_CAMERA.K, np.array(distortion))
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-10)
    np.testing.assert_allclose(our_jacobian, their_jacobian, rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("aspect_ratio", [0.0, 1.0, 0.97])
def test_starts_from_opencvs_camera_matrix(aspect_ratio):
    objects, points = charuco_points(n_views=12)
    ours, opencv = initial_camera_matrices(objects, points, defaults.SMALL_CAMERA.size, aspect_ratio)
    np.testing.assert_allclose(ours, opencv, rtol=1e-12)


def noise_free_stall():
    """Exact projections where OpenCV's stop (relative change of all parameters below eps 0.001)
    ends about 14 px from the true fx of 520."""
    views = intrinsic_views(defaults.CHARUCO, defaults.SMALL_CAMERA, n_views=480, seed=7, render=False)[:120]
    objects = [np.float32(defaults.CHARUCO.object_points[view.inside]) for view in views]
    points = [np.float32(view.image_points[view.inside]).reshape(-1, 1, 2) for view in views]
    return objects, points


def test_stops_at_the_minimum_whatever_the_epsilon():
    objects, points = noise_free_stall()
    size = defaults.SMALL_CAMERA.size
    opencv = calibrate_camera(objects, points, size, cv2.CALIB_USE_LU, deviations=False)[1]
    assert abs(opencv[0, 0] - 520.0) > 5.0  # the scene still stalls OpenCV's solve
    fx = {eps: calibrate_camera_as_the_calibrator(objects, points, size, criteria=(3, 30, eps))[1][0, 0]
          for eps in (1e-12, 1e-10, 1e-8, 1e-6, 1e-4, 1e-3)}
    assert fx[1e-10] == pytest.approx(520.0, rel=1e-6)
    for eps, value in fx.items():
        assert value == pytest.approx(fx[1e-10], rel=1e-4), eps


def test_the_iteration_count_caps_the_solve():
    objects, points = charuco_points()
    size = defaults.SMALL_CAMERA.size
    one = calibrate_camera_as_the_calibrator(objects, points, size, criteria=(v.TERM_CRITERIA_COUNT, 1, 0.0))
    done = calibrate_camera_as_the_calibrator(objects, points, size, criteria=(v.TERM_CRITERIA_EPS, 0, 1e-12))
    reference = calibrate_camera(objects, points, size, cv2.CALIB_USE_LU, criteria=TO_THE_MINIMUM)
    assert one[0] > done[0]
    np.testing.assert_allclose(done[1], reference[1], rtol=1e-6)


# Flags the block solver does not take, and the object-releasing method: OpenCV's solve (LU), bit for bit.
OPENCV_PATH = [(cv2.CALIB_SAME_FOCAL_LENGTH, -1), (cv2.CALIB_ZERO_DISPARITY, -1), (cv2.CALIB_FIX_INTRINSIC, -1),
               (1 << 30, -1), (0, 8), (cv2.CALIB_USE_QR | cv2.CALIB_FIX_K3, 8)]


@pytest.mark.parametrize("flags, fixed_point", OPENCV_PATH)
def test_other_flags_keep_opencvs_solve(flags, fixed_point):
    calibration = calibrator("chessboard", calibrate_camera_flags=flags, index_of_fixed_3d_point=max(fixed_point, 0),
                             calibrate_camera_method="Default" if fixed_point < 0 else "Release Object")
    result = calibration.calibrate(images("chessboard"))
    objects, points = calibration.detections().object_points, calibration.detections().image_points
    ran = flags if flags & (cv2.CALIB_USE_QR | cv2.CALIB_USE_LU) else flags | cv2.CALIB_USE_LU
    opencv = calibrate_camera(objects, points, CAMERA.size, ran, fixed_point)
    np.testing.assert_array_equal(result.intrinsic_matrix, opencv[1])
    np.testing.assert_array_equal(result.distortion_coefficients, opencv[2])
    np.testing.assert_array_equal(result.per_view_errors, opencv[3].ravel())


def on_a_line(objects, points, view):
    """The view's corners of the board's first row only: no homography, no pose."""
    row = np.flatnonzero(np.isclose(objects[view][:, 1], objects[view][:, 1].min()))
    return objects[:view] + [objects[view][row]] + objects[view + 1:], points[:view] + [points[view][row]] + points[view + 1:]


@pytest.mark.parametrize("bad_view", ["three points", "points on a line"])
def test_views_the_solver_cannot_start_from_reach_opencvs_error(bad_view):
    objects, points = charuco_points()
    if bad_view == "three points":
        objects, points = [objects[0][:3]], [points[0][:3]]
    else:
        objects, points = on_a_line(objects[:8], points[:8], 7)
    size = defaults.SMALL_CAMERA.size
    with pytest.raises(RuntimeError) as opencv:
        calibrate_camera(objects, points, size, cv2.CALIB_USE_LU)
    # In a child: the view used to crash the process.
    script = ("import sys, pickle; from _vantel_testhooks import calibrate_camera_as_the_calibrator as c\n"
              "objects, points, size = pickle.load(sys.stdin.buffer)\n"
              "try:\n    c(objects, points, size)\nexcept RuntimeError as e:\n    print(e)\n")
    child = subprocess.run([sys.executable, "-c", script], input=pickle.dumps((objects, points, size)),
                           capture_output=True, timeout=120)
    assert child.returncode == 0 and child.stdout.decode().strip() == str(opencv.value).strip()


RIG_TARGET = TARGETS["charuco"][1]  # the board of the conftest's charuco_rig


def pair_inputs(image_lists, camera):
    """Every frame both cameras detected, on the corner ids both saw (15 or more), as the rig pairs them."""
    seen = []
    for images_of_camera in (image_lists[0], image_lists[camera]):
        found = v.IntrinsicCalibrator(RIG_TARGET).find_corners(images_of_camera)
        seen.append({frame: {i: (o, p) for i, o, p in zip(ids.ravel(), objects, points.reshape(-1, 2))}
                     for frame, ids, objects, points in zip(found.successful_indices, found.point_ids,
                                                            found.object_points, found.image_points)})
    objects, points_r, points_k = [], [], []
    for frame in sorted(set(seen[0]) & set(seen[1])):
        shared = sorted(set(seen[0][frame]) & set(seen[1][frame]))
        if len(shared) >= 15:
            objects.append(np.float32([seen[0][frame][i][0] for i in shared]))
            points_r.append(np.float32([seen[0][frame][i][1] for i in shared]).reshape(-1, 1, 2))
            points_k.append(np.float32([seen[1][frame][i][1] for i in shared]).reshape(-1, 1, 2))
    return objects, points_r, points_k


# With USE_INTRINSIC_GUESS later pairs start from the reference intrinsics the first pair refined: first pair only.
@pytest.mark.parametrize("flags, cameras", [(v.CALIB_FIX_INTRINSIC, [1, 2, 3]),
                                            (v.CALIB_USE_INTRINSIC_GUESS, [1]),
                                            (v.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_FIX_K3, [1])])
def test_stereo_pairs_end_at_opencvs_minimum(charuco_rig, flags, cameras):
    matrices = [camera.K for camera in charuco_rig.cameras]
    distortions = [camera.dist.reshape(1, -1) for camera in charuco_rig.cameras]
    image_lists = charuco_rig.image_lists()
    result = quietly(v.MultiCameraCalibrator(RIG_TARGET, 4, stereo_calibrate_flags=flags).calibrate,
                     image_lists, matrices, distortions)
    size = image_lists[0][0].shape[1::-1]
    for camera in cameras:
        inputs = pair_inputs(image_lists, camera)
        arguments = (*inputs, matrices[0], distortions[0], matrices[camera], distortions[camera], size, flags)
        opencv = stereo_calibrate(*arguments, criteria=TO_THE_MINIMUM)
        assert result.pair_reprojection_errors[camera] == pytest.approx(opencv[0], rel=1e-9)
        np.testing.assert_allclose(result.intrinsic_matrices[camera], opencv[3], rtol=1e-6)
        np.testing.assert_allclose(result.distortion_coefficients[camera], opencv[4], rtol=0, atol=1e-6)
        camera_T_reference = np.vstack([np.hstack([opencv[5], opencv[6].reshape(3, 1)]), [0, 0, 0, 1]])
        np.testing.assert_allclose(result.reference_T_camera_list[camera], np.linalg.inv(camera_T_reference),
                                   rtol=0, atol=1e-9)


def test_stereo_flags_the_solver_does_not_take_keep_opencvs_solve(charuco_rig):
    flags = v.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_SAME_FOCAL_LENGTH
    matrices = [camera.K for camera in charuco_rig.cameras]
    distortions = [camera.dist.reshape(1, -1) for camera in charuco_rig.cameras]
    image_lists = charuco_rig.image_lists()
    inputs = pair_inputs(image_lists, 1)
    arguments = (*inputs, matrices[0], distortions[0], matrices[1], distortions[1], image_lists[0][0].shape[1::-1])
    ours = stereo_calibrate(*arguments, flags, block_solver=True)
    opencv = stereo_calibrate(*arguments, flags | cv2.CALIB_USE_LU)
    for mine, theirs in zip(ours, opencv):
        np.testing.assert_array_equal(mine, theirs)
