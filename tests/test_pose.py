"""Pose vectors <-> 4x4 transforms and the mean of several transforms."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _vantel import tf


def rotation_x(deg):
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


def rotation_y(deg):
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])


def rotation_z(deg):
    c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])


def transform(rotation, translation):
    result = np.eye(4)
    result[:3, :3] = rotation
    result[:3, 3] = translation
    return result


def angle_difference(a, b):
    return abs((a - b + 180.0) % 360.0 - 180.0)


lengths = st.floats(-5.0, 5.0, allow_nan=False)
angles = st.floats(-179.999, 180.0, allow_nan=False)
tilts = st.floats(-89.9, 89.9, allow_nan=False)


@settings(max_examples=400, deadline=None)
@given(x=lengths, y=lengths, z=lengths, rx=angles, ry=tilts, rz=angles)
def test_pose_matrix_is_extrinsic_xyz_and_round_trips(x, y, z, rx, ry, rz):
    matrix = tf.pose_to_transformation_matrix([x, y, z, rx, ry, rz])
    assert matrix.dtype == np.float64 and matrix.shape == (4, 4)
    np.testing.assert_allclose(matrix, transform(rotation_z(rz) @ rotation_y(ry) @ rotation_x(rx), [x, y, z]),
                               atol=1e-12)

    back = tf.transformation_matrix_to_pose(matrix)
    assert len(back) == 6
    np.testing.assert_allclose(back[:3], [x, y, z], atol=1e-12)
    for recovered, original in zip(back[3:], [rx, ry, rz]):
        assert -180.0 < recovered <= 180.0
        assert angle_difference(recovered, original) < 1e-6


@pytest.mark.parametrize("pose, rotation, translation", [
    ([0, 0, 0, 0, 0, 0], np.eye(3), [0, 0, 0]),
    ([1, 2, 3, 0, 0, 90], [[0, -1, 0], [1, 0, 0], [0, 0, 1]], [1, 2, 3]),
    ([0, 0, 0, 90, 0, 0], [[1, 0, 0], [0, 0, -1], [0, 1, 0]], [0, 0, 0]),
])
def test_known_poses(pose, rotation, translation):
    np.testing.assert_allclose(tf.pose_to_transformation_matrix(pose), transform(rotation, translation),
                               atol=1e-15)


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


@pytest.mark.parametrize("entry, ry", [(-(1 + 1e-15), 90.0), (1 + 1e-15, -90.0)])
def test_rounding_past_one_is_clamped(entry, ry):
    matrix = tf.pose_to_transformation_matrix([0, 0, 0, 0, ry, 0])
    matrix[2, 0] = entry
    back = tf.transformation_matrix_to_pose(matrix)
    assert not any(math.isnan(v) for v in back)
    assert back[4] == ry


@pytest.mark.parametrize("dtype", [np.float32, np.int32, np.uint8])
def test_any_supported_dtype_is_converted_by_value(dtype):
    matrix = np.eye(4, dtype=dtype)
    matrix[:3, 3] = [1, 2, 3]
    assert tf.transformation_matrix_to_pose(matrix) == [1.0, 2.0, 3.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize("matrix", [np.eye(3), np.eye(4)[:, :3], np.eye(4)[:3], np.zeros((4, 4, 3)),
                                    np.zeros((0, 0))],
                         ids=["3x3", "4x3", "3x4", "4x4x3", "empty"])
def test_matrix_to_pose_wants_a_4x4(matrix):
    with pytest.raises(ValueError) as caught:
        tf.transformation_matrix_to_pose(matrix)
    assert str(caught.value) == "transformationMatrixToPose: expected a 4x4 matrix"


@pytest.mark.parametrize("pose", [[0] * 5, [0] * 7, []])
def test_pose_needs_six_values(pose):
    with pytest.raises(ValueError) as caught:
        tf.pose_to_transformation_matrix(pose)
    assert str(caught.value) == "poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]"


def test_pose_accepts_a_numpy_vector():
    np.testing.assert_allclose(tf.pose_to_transformation_matrix(np.array([1.0, 2, 3, 0, 0, 0]))[:3, 3], [1, 2, 3])


def test_average_of_two_opposite_rotations():
    poses = [transform(rotation_z(10), [0, 0, 0]), transform(rotation_z(-10), [2, 0, 0])]
    for argument in (poses, np.stack(poses)):
        np.testing.assert_allclose(tf.average_pose(argument), transform(np.eye(3), [1, 0, 0]), atol=1e-12)


def test_average_of_one_pose_reorthonormalises_it():
    exact = transform(rotation_y(25) @ rotation_x(-40), [0.1, 0.2, 0.3])
    skewed = exact.copy()
    skewed[:3, :3] += np.random.default_rng(1).normal(0, 1e-4, (3, 3))
    mean = tf.average_pose([skewed])
    np.testing.assert_allclose(mean[:3, :3] @ mean[:3, :3].T, np.eye(3), atol=1e-12)
    np.testing.assert_allclose(mean, exact, atol=1e-3)
    np.testing.assert_array_equal(mean[3], [0, 0, 0, 1])


def test_average_of_noisy_repeats_is_close_to_the_true_pose():
    rng = np.random.default_rng(3)
    truth = [0.4, -0.2, 0.7, 40, -20, 110]
    repeats = [tf.pose_to_transformation_matrix(np.add(truth, rng.normal(0, [1e-3] * 3 + [0.5] * 3)))
               for _ in range(200)]
    mean = tf.transformation_matrix_to_pose(tf.average_pose(repeats))
    np.testing.assert_allclose(mean[:3], truth[:3], atol=3e-4)
    np.testing.assert_allclose(mean[3:], truth[3:], atol=0.15)


def test_average_is_a_proper_rotation_even_for_a_reflection():
    reflection = transform(np.diag([1.0, 1.0, -1.0]), [0, 0, 0])
    assert np.linalg.det(tf.average_pose([reflection])[:3, :3]) == pytest.approx(1.0)


def test_average_reads_only_the_top_three_rows():
    pose = tf.pose_to_transformation_matrix([1, 2, 3, 10, 20, 30])
    np.testing.assert_allclose(tf.average_pose([pose[:3]]), pose, atol=1e-12)


@pytest.mark.parametrize("poses", [[], [np.eye(3)], [np.eye(4), np.zeros((2, 4))], [np.zeros((4, 4, 2))]],
                         ids=["empty", "3x3", "2x4", "two-channel"])
def test_average_rejects_what_it_cannot_read(poses):
    with pytest.raises(ValueError) as caught:
        tf.average_pose(poses)
    assert str(caught.value).startswith("averagePose: ")
