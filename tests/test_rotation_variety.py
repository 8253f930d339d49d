"""Rotation variety of captured camera poses."""

import cv2
import numpy as np
import pytest

from _vantel import diagnostics

HEADER = f"{'=' * 60}\nROTATION VARIETY OF CAPTURED CAMERA POSES\n{'=' * 60}\n"
HEALTHY = "  >>> Rotation variety is healthy.\n"
XYZ = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]


def chain(axes, angles):
    """Poses whose consecutive relative motions turn by the given angles about the given axes."""
    poses = [np.eye(4)]
    for axis, degrees in zip(axes, angles):
        motion = np.eye(4)
        motion[:3, :3] = cv2.Rodrigues(np.asarray(axis, float) / np.linalg.norm(axis) * np.radians(degrees))[0]
        poses.append(poses[-1] @ motion)
    return poses


@pytest.mark.parametrize("poses, min_rotation_deg", [
    ([], (0.5,)),
    (chain(XYZ[:1], [30]), (0.5,)),
    (chain(XYZ, [0.4, 0.4, 0.4]), ()),
    (chain(XYZ, [10, 10, 0.3]), (0.5,)),
    (chain(XYZ, [2, 2, 2]), (3.0,)),
], ids=["empty", "two", "all-small-by-default", "two-kept", "below-the-given-minimum"])
def test_too_few_motions_give_no_record(poses, min_rotation_deg):
    assert diagnostics.analyze_rotation_variety(poses, *min_rotation_deg) is None
    assert diagnostics.format_rotation_variety(None) == HEADER + "  Not enough motions to analyze.\n"


@pytest.mark.parametrize("poses, min_rotation_deg, verdict", [
    # Mean 12.3456 deg: the report rounds it to 12.35.
    (chain(XYZ + [[1, 1, 0], [0, 1, 1]], [20.0, 15.0, 10.0, 8.0, 8.728]), 0.5, HEALTHY),
    (chain(XYZ + [[1, 1, 1]], [40, 30, 25, 1.5]), 2.0, HEALTHY),  # the last motion is below the given minimum
    (chain([[1, 0, 0], [0, 1, 0], [1, 1, 0], [1, -1, 0]], [20] * 4), 0.5,
     "  >>> POOR rotation variety  -  motions cluster in a plane.\n"
     "  >>> Hand-eye is poorly observable in one axis; expect bias.\n"),
    (chain(XYZ, [20, 20, 5]), 0.5, "  >>> Marginal rotation variety  -  possible bias in one axis.\n"),
], ids=["designed", "given-minimum", "planar", "one-axis-weak"])
def test_statistics_and_report_match_an_independent_computation(poses, min_rotation_deg, verdict):
    motions = [cv2.Rodrigues((np.linalg.inv(a) @ b)[:3, :3])[0].ravel() for a, b in zip(poses, poses[1:])]
    rvecs = np.array([rvec for rvec in motions if np.linalg.norm(rvec) > np.radians(min_rotation_deg)])
    s = np.linalg.svd(rvecs, compute_uv=False)
    angles = np.degrees(np.linalg.norm(rvecs, axis=1))
    stats = diagnostics.analyze_rotation_variety(poses, min_rotation_deg)
    np.testing.assert_allclose(stats.singular_values, s, rtol=1e-9, atol=1e-12)  # planar: the last is ~0
    np.testing.assert_allclose([stats.angle_mean_deg, stats.angle_max_deg], [angles.mean(), angles.max()])
    assert stats.num_motions == len(angles) and stats.axis_span_ratio == pytest.approx(s[2] / s[0])
    assert diagnostics.format_rotation_variety(stats) == (
        HEADER
        + f"  Inter-frame motions analyzed: {len(angles)}\n"
        + f"  Mean inter-frame rotation:    {angles.mean():.2f} deg\n"
        + f"  Max  inter-frame rotation:    {angles.max():.2f} deg\n"
        + f"  Singular values of rvecs:     [{s[0]:.3f}, {s[1]:.3f}, {s[2]:.3f}]\n"
        + f"  Axis-spread ratio (sv_min/sv_max): {s[2] / s[0]:.3f}\n"
        + verdict
    )


def test_matrices_too_small_for_a_rotation_are_an_error():
    with pytest.raises(RuntimeError):
        diagnostics.analyze_rotation_variety([np.eye(2)] * 4)
