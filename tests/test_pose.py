"""Pose vectors <-> 4x4 transforms and the mean of several transforms."""

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _vantel import tf


def transform(axes_and_degrees, translation):
    """Rotations about the x (0), y (1) or z (2) axis, applied right to left."""
    result = np.eye(4)
    for axis, degrees in axes_and_degrees:
        result[:3, :3] = result[:3, :3] @ cv2.Rodrigues(np.radians(degrees) * np.eye(3)[axis])[0]
    result[:3, 3] = translation
    return result


lengths = st.floats(-5.0, 5.0, allow_nan=False)
angles = st.floats(-179.999, 180.0, allow_nan=False)
UNREADABLE = "averagePose: each pose must be a single-channel matrix of at least 3 rows and 4 columns"


@settings(max_examples=400, deadline=None)
@given(x=lengths, y=lengths, z=lengths, rx=angles, ry=st.floats(-89.9, 89.9, allow_nan=False), rz=angles)
def test_pose_matrix_is_extrinsic_xyz_and_round_trips(x, y, z, rx, ry, rz):
    matrix = tf.pose_to_transformation_matrix(np.array([x, y, z, rx, ry, rz]))
    assert matrix.dtype == np.float64
    np.testing.assert_allclose(matrix, transform([(2, rz), (1, ry), (0, rx)], [x, y, z]), atol=1e-12)
    back = tf.transformation_matrix_to_pose(matrix)
    np.testing.assert_allclose(back[:3], [x, y, z], atol=1e-12)
    for recovered, original in zip(back[3:], [rx, ry, rz]):
        assert -180.0 < recovered <= 180.0
        assert abs((recovered - original + 180.0) % 360.0 - 180.0) < 1e-6


@pytest.mark.parametrize("pose, expected", [
    ([0, 0, 0, 30, 90, 0], [0, 0, 0, 0, 90, -30]),
    ([0, 0, 0, 30, -90, 0], [0, 0, 0, 0, -90, 30]),
    ([0.5, 0, 0, 20, 90, 50], [0.5, 0, 0, 0, 90, 30]),
])
def test_gimbal_lock_puts_the_free_angle_into_rz(pose, expected):
    matrix = tf.pose_to_transformation_matrix(pose)
    back = tf.transformation_matrix_to_pose(matrix)
    np.testing.assert_allclose(back, expected, atol=1e-9)
    np.testing.assert_allclose(tf.pose_to_transformation_matrix(back), matrix, atol=1e-12)


@pytest.mark.parametrize("matrix, pose", [
    # Rounding past one is clamped, not turned into NaN.
    (np.array([[0, 0, 1, 0], [0, 1, 0, 0], [-1 - 1e-15, 0, 0, 0], [0, 0, 0, 1]]), [0, 0, 0, 0, 90.0, 0]),
    (np.array([[0, 0, -1, 0], [0, 1, 0, 0], [1 + 1e-15, 0, 0, 0], [0, 0, 0, 1]]), [0, 0, 0, 0, -90.0, 0]),
    # Any supported dtype is converted by value.
    *[(transform([], [1, 2, 3]).astype(t), [1.0, 2.0, 3.0, 0.0, 0.0, 0.0]) for t in [np.float32, np.int32, np.uint8]],
])
def test_exact_conversions(matrix, pose):
    assert tf.transformation_matrix_to_pose(matrix) == pose


@pytest.mark.parametrize("call, argument, message", [
    *[(tf.transformation_matrix_to_pose, m, "transformationMatrixToPose: expected a 4x4 matrix")
      for m in [np.eye(3), np.eye(4)[:, :3], np.eye(4)[:3], np.zeros((4, 4, 3)), np.zeros((0, 0))]],
    *[(tf.pose_to_transformation_matrix, p, "poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]")
      for p in [[0] * 5, [0] * 7, []]],
    *[(tf.average_pose, p, UNREADABLE) for p in [[np.eye(3)], [np.eye(4), np.zeros((2, 4))], [np.zeros((4, 4, 2))]]],
])
def test_what_cannot_be_read_is_refused(call, argument, message):
    with pytest.raises(ValueError) as caught:
        call(argument)
    assert str(caught.value) == message


def test_average_is_a_proper_rotation_and_the_mean_translation_close_to_the_truth():
    poses = [transform([(2, 10)], [0, 0, 0]), transform([(2, -10)], [2, 0, 0])]
    # Listed or stacked, and only the top three rows are read.
    for argument in (poses, np.stack(poses), [pose[:3] for pose in poses]):
        np.testing.assert_allclose(tf.average_pose(argument), transform([], [1, 0, 0]), atol=1e-12)
    exact = transform([(1, 25), (0, -40)], [0.1, 0.2, 0.3])
    mean = tf.average_pose([exact + np.pad(np.random.default_rng(1).normal(0, 1e-4, (3, 3)), ((0, 1), (0, 1)))])
    np.testing.assert_allclose(mean[:3, :3] @ mean[:3, :3].T, np.eye(3), atol=1e-12)
    np.testing.assert_allclose(mean, exact, atol=1e-3)
    np.testing.assert_array_equal(mean[3], [0, 0, 0, 1])
    reflection = np.diag([1.0, 1.0, -1.0, 1.0])
    assert np.linalg.det(tf.average_pose([reflection])[:3, :3]) == pytest.approx(1.0)
    rng = np.random.default_rng(3)
    truth = [0.4, -0.2, 0.7, 40, -20, 110]
    repeats = [tf.pose_to_transformation_matrix(np.add(truth, rng.normal(0, [1e-3] * 3 + [0.5] * 3)))
               for _ in range(200)]
    mean = tf.transformation_matrix_to_pose(tf.average_pose(repeats))
    np.testing.assert_allclose(mean[:3], truth[:3], atol=3e-4)
    np.testing.assert_allclose(mean[3:], truth[3:], atol=0.15)
