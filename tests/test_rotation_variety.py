"""Rotation variety of captured camera poses."""

import cv2
import numpy as np
import pytest

from _vantel import diagnostics, tf

RULE = "=" * 60
HEADER = f"{RULE}\nROTATION VARIETY OF CAPTURED CAMERA POSES\n{RULE}\n"


def rotation(axis, degrees):
    axis = np.asarray(axis, float)
    rvec = axis / np.linalg.norm(axis) * np.radians(degrees)
    matrix = np.eye(4)
    matrix[:3, :3] = cv2.Rodrigues(rvec)[0]
    return matrix


def chain(motions, start=None):
    """Poses whose consecutive relative motions are the given transforms."""
    poses = [np.eye(4) if start is None else start]
    for motion in motions:
        poses.append(poses[-1] @ motion)
    return poses


def reference_analysis(poses, min_rotation_deg=0.5):
    rvecs = []
    for previous, current in zip(poses, poses[1:]):
        rvec = cv2.Rodrigues((np.linalg.inv(previous) @ current)[:3, :3])[0].ravel()
        if np.linalg.norm(rvec) > np.radians(min_rotation_deg):
            rvecs.append(rvec)
    rvecs = np.array(rvecs)
    angles = np.degrees(np.linalg.norm(rvecs, axis=1))
    return np.linalg.svd(rvecs, compute_uv=False), angles


@pytest.mark.parametrize("poses", [
    [],
    [np.eye(4)],
    [np.eye(4), rotation([1, 0, 0], 30)],
    chain([rotation([1, 0, 0], 0.4), rotation([0, 1, 0], 0.4), rotation([0, 0, 1], 0.4)]),
    chain([rotation([1, 0, 0], 10), rotation([0, 1, 0], 10), rotation([0, 0, 1], 0.3)]),
], ids=["empty", "one", "two", "all-small", "two-kept"])
def test_too_few_motions_give_no_record(poses):
    assert diagnostics.analyze_rotation_variety(poses) is None
    assert diagnostics.format_rotation_variety(None) == HEADER + "  Not enough motions to analyze.\n"


def test_minimum_rotation_is_an_argument():
    poses = chain([rotation([1, 0, 0], 2), rotation([0, 1, 0], 2), rotation([0, 0, 1], 2)])
    assert diagnostics.analyze_rotation_variety(poses).num_motions == 3
    assert diagnostics.analyze_rotation_variety(poses, min_rotation_deg=3.0) is None


def test_three_orthogonal_axes_are_healthy():
    poses = chain([rotation([1, 0, 0], 20), rotation([0, 1, 0], 20), rotation([0, 0, 1], 20)],
                  start=tf.pose_to_transformation_matrix([0.1, 0.2, 0.5, 170, 10, -30]))
    stats = diagnostics.analyze_rotation_variety(poses)
    assert stats.num_motions == 3
    np.testing.assert_allclose(stats.singular_values, [np.radians(20)] * 3, rtol=1e-9)
    assert stats.axis_span_ratio == pytest.approx(1.0)
    assert stats.angle_mean_deg == pytest.approx(20.0) and stats.angle_max_deg == pytest.approx(20.0)
    text = diagnostics.format_rotation_variety(stats)
    assert "  Axis-spread ratio (sv_min/sv_max): 1.000\n" in text
    assert text.endswith("  >>> Rotation variety is healthy.\n")


@pytest.mark.parametrize("axes, angles, low, high, verdict", [
    ([[1, 0, 0], [0, 1, 0], [1, 1, 0], [1, -1, 0]], [20, 20, 20, 20], 0.0, 0.15,
     "  >>> POOR rotation variety  -  motions cluster in a plane.\n"
     "  >>> Hand-eye is poorly observable in one axis; expect bias.\n"),
    ([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [20, 20, 5], 0.15, 0.35,
     "  >>> Marginal rotation variety  -  possible bias in one axis.\n"),
], ids=["planar", "one-axis-weak"])
def test_verdict_follows_the_axis_spread(axes, angles, low, high, verdict):
    stats = diagnostics.analyze_rotation_variety(chain([rotation(a, d) for a, d in zip(axes, angles)]))
    assert low <= stats.axis_span_ratio < high
    text = diagnostics.format_rotation_variety(stats)
    assert text.endswith(verdict)
    assert "healthy" not in text


def test_report_numbers_and_layout():
    angles = [20.0, 15.0, 10.0, 8.0, 8.728]  # mean 12.3456
    axes = [[1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 0], [0, 1, 1]]
    poses = chain([rotation(a, d) for a, d in zip(axes, angles)])
    stats = diagnostics.analyze_rotation_variety(poses)
    singular, reference_angles = reference_analysis(poses)
    np.testing.assert_allclose(stats.singular_values, singular, rtol=1e-9)
    assert stats.angle_mean_deg == pytest.approx(reference_angles.mean())
    assert stats.axis_span_ratio == pytest.approx(singular[2] / singular[0])
    s0, s1, s2 = singular
    assert diagnostics.format_rotation_variety(stats) == (
        HEADER
        + "  Inter-frame motions analyzed: 5\n"
        + "  Mean inter-frame rotation:    12.35 deg\n"
        + "  Max  inter-frame rotation:    20.00 deg\n"
        + f"  Singular values of rvecs:     [{s0:.3f}, {s1:.3f}, {s2:.3f}]\n"
        + f"  Axis-spread ratio (sv_min/sv_max): {s2 / s0:.3f}\n"
        + "  >>> Rotation variety is healthy.\n"
    )


def test_random_poses_match_an_independent_computation():
    rng = np.random.default_rng(11)
    poses = [tf.pose_to_transformation_matrix(np.concatenate([rng.normal(0, 0.2, 3), rng.uniform(-60, 60, 3)]))
             for _ in range(12)]
    stats = diagnostics.analyze_rotation_variety(poses, min_rotation_deg=1.0)
    singular, angles = reference_analysis(poses, 1.0)
    assert stats.num_motions == len(angles)
    np.testing.assert_allclose(stats.singular_values, singular, rtol=1e-9)
    assert stats.angle_max_deg == pytest.approx(angles.max())


def test_records_are_read_only_and_not_constructible():
    stats = diagnostics.analyze_rotation_variety(
        chain([rotation([1, 0, 0], 5), rotation([0, 1, 0], 5), rotation([0, 0, 1], 5)]))
    with pytest.raises(AttributeError):
        stats.num_motions = 7
    with pytest.raises(TypeError):
        diagnostics.RotationVarietyStats()


def test_matrices_too_small_for_a_rotation_are_an_error():
    with pytest.raises(RuntimeError):
        diagnostics.analyze_rotation_variety([np.eye(2)] * 4)
