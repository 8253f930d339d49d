"""NumPy array <-> matrix conversion at the module boundary."""

import multiprocessing
import pickle

import numpy as np
import pytest

import _vantel
import _vantel_testhooks as hooks
from _vantel import tf

# dtype -> OpenCV depth code
DEPTHS = {np.uint8: 0, np.int8: 1, np.uint16: 2, np.int16: 3, np.int32: 4, np.float32: 5, np.float64: 6}
CV_16F = 7
IMAGE = np.random.default_rng(0).integers(0, 255, (48, 64, 4), dtype=np.uint8)
FLOATS = np.arange(48, dtype=np.float32).reshape(6, 8)


@pytest.mark.parametrize("dtype", list(DEPTHS), ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("variant", [
    lambda a: a,
    lambda a: pickle.loads(pickle.dumps(a)),  # an equal dtype, but another object
    lambda a: a.astype(a.dtype.newbyteorder(">")),
    lambda a: a.astype(np.dtype(a.dtype, metadata={"unit": "px"})),
], ids=["plain", "unpickled", "big-endian", "with-metadata"])
def test_every_dtype_converts_both_ways_whatever_object_or_byte_order(dtype, variant):
    array = (np.arange(12) % 100).astype(dtype).reshape(3, 4)
    assert hooks.describe_mat(variant(array)) == (3, 4, DEPTHS[dtype], 1, True)
    back = hooks.echo_mat(variant(array))
    assert back.dtype == np.dtype(dtype) and back.shape == (3, 4)
    np.testing.assert_array_equal(back, array)
    out = hooks.counting_mat(DEPTHS[dtype], 2, 3, 3)
    assert out.dtype == np.dtype(dtype) and out.shape == (2, 3, 3)
    np.testing.assert_array_equal(out.ravel(), np.arange(18).astype(dtype))


def made_in_another_process(seed):
    """An image, a pose and a camera matrix, as a worker process hands them back."""
    image = np.random.default_rng(seed).integers(0, 255, (48, 64, 3), dtype=np.uint8)
    return image, tf.pose_to_transformation_matrix([1, 2, 3, 10, 20, 30]), np.diag([500.0, 500.0, 1.0])


def test_arrays_from_a_process_pool_are_accepted():
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        images, poses, matrices = (list(made) for made in zip(*pool.map(made_in_another_process, [0, 1])))
    assert tf.transformation_matrix_to_pose(poses[0]) == pytest.approx([1, 2, 3, 10, 20, 30])
    target = _vantel.CharucoTarget(7, 5, 0.04, 0.03)
    assert _vantel.IntrinsicCalibrator(target).find_corners(images).successful_indices == []
    aligned = _vantel.EyeInHandCalibrator(target).compute_camera_T_target_list(images, poses, matrices[0], np.zeros(5))
    assert aligned.camera_T_target_list == []


def name(value):
    if isinstance(value, np.ndarray):
        return f"{value.dtype}{list(value.shape)}"
    return value.__name__ if callable(value) else repr(value)


@pytest.mark.parametrize("value, described, shape", [
    *[(IMAGE[..., :n].copy(), (48, 64, 0, n), (48, 64) if n == 1 else (48, 64, n)) for n in (1, 2, 3, 4)],
    (np.arange(5.0), (5, 1, 6, 1), (5, 1)), ([[1.0, 2.0, 3.0]] * 3, (3, 3, 6, 1), (3, 3)),  # a column vector, a list
    # Non-contiguous input is converted by value.
    (np.asfortranarray(FLOATS), (6, 8, 5, 1), (6, 8)), (FLOATS[:, ::2], (6, 4, 5, 1), (6, 4)),
    (FLOATS[::-1], (6, 8, 5, 1), (6, 8)), (FLOATS.T, (8, 6, 5, 1), (8, 6)),
], ids=name)
def test_shapes_channels_and_strides(value, described, shape):
    """The last axis of a 3-d array is the channel count."""
    assert hooks.describe_mat(value)[:4] == described
    back = hooks.echo_mat(value)
    assert back.shape == shape
    np.testing.assert_array_equal(back.reshape(np.shape(value)), value)


@pytest.mark.parametrize("convert, value", [
    *[(hooks.echo_mat, value) for value in [
        np.zeros((3, 3), np.int64), np.zeros((3, 3), np.bool_), np.zeros((3, 3), np.uint32),
        np.zeros((3, 3), np.float16), np.zeros((3, 3), np.complex128), np.zeros((3, 3), object),
        np.zeros((3,), [("a", "f8"), ("b", "f8")]), np.zeros((4, 4, 5), np.uint8), np.zeros((2, 2, 2, 2)),
        np.float64(1.0), np.array(2.0), [[1, 2], [3, 4]], [[1.0, 2.0], [3.0]], "not an array", None]],
    *[(hooks.echo_mat_list, value) for value in ["abc", b"abc", [np.eye(2), np.zeros((2, 2), np.int64)]]],
    *[(hooks.echo_size, value) for value in [(1, 2, 3), (640,), "ab", (1.5, 2), 5]],
], ids=name)
def test_unsupported_input_is_a_type_error(convert, value):
    with pytest.raises(TypeError):
        convert(value)


def test_results_own_compact_memory_shared_in_neither_direction():
    original = np.eye(4)
    assert not np.shares_memory(hooks.echo_mat(original), original)
    hooks.store_mat(original)
    original[0, 0] = 42.0
    first = hooks.stored_mat()
    assert first[0, 0] == 1.0, "the stored matrix must not alias the argument"
    first[1, 1] = -7.0
    assert hooks.stored_mat()[1, 1] == 1.0, "a result must not alias the stored matrix"
    hooks.clear_stored_mat()
    np.testing.assert_array_equal(hooks.strided_mat(), np.arange(24, dtype=np.float32).reshape(4, 6)[:, 1:4])


def test_empty_matrices_are_empty_float64_arrays_and_half_floats_are_refused():
    empty = [hooks.empty_mat(*args) for args in [(5, 0, 3), (6, 0, 0), (0, 4, 0), (CV_16F, 0, 2)]]
    empty += [hooks.echo_mat(np.zeros(shape, np.float32)) for shape in [(0, 3), (0,), (4, 0)]]
    assert [(out.dtype, out.shape) for out in empty] == [(np.float64, (0, 0))] * 7
    with pytest.raises(RuntimeError, match=r"^vantel: unsupported cv::Mat depth for numpy conversion\Z"):
        hooks.counting_mat(CV_16F, 2, 2, 1)


def test_optional_matrix_matrix_lists_sizes_and_number_lists():
    assert hooks.echo_optional_mat(None) is None
    np.testing.assert_array_equal(hooks.echo_optional_mat(np.ones((2, 2))), np.ones((2, 2)))
    stacked = np.stack([np.eye(4) * k for k in range(3)])
    for value in (stacked, list(stacked), tuple(stacked)):
        out = hooks.echo_mat_list(value)
        assert isinstance(out, list) and len(out) == 3
        np.testing.assert_array_equal(np.stack(out), stacked)
    for size in [(640, 480), [640, 480], np.array([640, 480], np.int32)]:
        assert hooks.echo_size(size) == (640, 480)
    assert hooks.echo_doubles(np.array([1.0, 2.5])) == [1.0, 2.5] and hooks.echo_doubles((1, 2)) == [1.0, 2.0]
