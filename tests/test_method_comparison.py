"""All hand-eye methods on the same data, and the consensus verdict on their rz angles."""

import numpy as np
import pytest

import _vantel
from _vantel import diagnostics
from vantel_tools.rendering import CharucoBoard, defaults, hand_eye_scene

METHODS = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
RULE = "=" * 60
DASHES = "  " + "-" * 58 + "\n"
HEADER = (f"{RULE}\nHAND-EYE CROSS-METHOD COMPARISON\n{RULE}\n"
          "  Method         x (m)   y (m)   z (m)     rx     ry     rz\n" + DASHES)
BOARD = CharucoBoard(squares_x=10, squares_y=8, square_length=0.03, marker_length=0.022, dict_id=0)
TARGET = _vantel.CharucoTarget(10, 8, 0.03, 0.022, 0)
EMPTY = np.zeros((0, 0))


def entry(name, rz, x=0.03, y=-0.01, z=0.08, rx=1.0, ry=-2.0):
    return diagnostics.HandEyeMethodResult(name, np.eye(4), [x, y, z, rx, ry, rz])


AGREE_TEXT = """\
  PARK          0.0300 -0.0100  0.0800   1.00  -2.00  10.00
  TSAI          0.0303 -0.0096  0.0800   1.00  -2.00  13.00
""" + DASHES + """\
  rz total spread:      3.00 deg (median rz = 11.50 deg)
  translation spread:   0.50 mm
  >>> All 2 methods agree to within ~1.50 deg of median (11.50 deg).
      The data uniquely determines rz. If this differs from
      visual ground truth, the bias is in the *data* (robot
      kinematics or detection), not the solver.
"""

FOUR_ROWS = """\
  ANDREFF       0.0300 -0.0100  0.0800   1.00  -2.00  10.00
  DANIILIDIS    0.0300 -0.0100  0.0800   1.00  -2.00  10.50
  HORAUD        0.0300 -0.0100  0.0800   1.00  -2.00  11.00
  PARK          0.0300 -0.0100  0.0800   1.00  -2.00  20.00
  TSAI        (failed)
""" + DASHES + """\
  rz total spread:      10.00 deg (median rz = 10.75 deg)
  translation spread:   0.00 mm
"""

OUTLIER_TEXT = FOUR_ROWS + """\
  >>> 3-of-4 methods cluster near 10.75 deg; outlier(s): PARK.
      Trust the consensus value (10.75 deg). The
      outlier likely hit a local optimum specific to its formulation.
"""

# Threshold 0.25: DANIILIDIS and HORAUD sit exactly on it and agree, ANDREFF and PARK do not.
TIGHT_TEXT = FOUR_ROWS + """\
  >>> No consensus  -  methods split into clusters with >0.25 deg spread.
      Solution is under-determined; capture more axis-diverse poses.
"""

SPLIT_TEXT = """\
  ANDREFF       0.0300 -0.0100  0.0800   1.00  -2.00   0.00
  HORAUD        0.0300 -0.0100  0.0800   1.00  -2.00   5.00
  PARK          0.0300 -0.0100  0.0800   1.00  -2.00  10.00
""" + DASHES + """\
  rz total spread:      10.00 deg (median rz = 5.00 deg)
  translation spread:   0.00 mm
  >>> No consensus  -  methods split into clusters with >1.50 deg spread.
      Solution is under-determined; capture more axis-diverse poses.
"""

FOUR = {"ANDREFF": entry("ANDREFF", 10.0), "DANIILIDIS": entry("DANIILIDIS", 10.5),
        "HORAUD": entry("HORAUD", 11.0), "PARK": entry("PARK", 20.0), "TSAI": None}


@pytest.mark.parametrize("results, threshold, body", [
    ({"PARK": entry("PARK", 10.0), "TSAI": entry("TSAI", 13.0, x=0.0303, y=-0.0096)}, 1.5, AGREE_TEXT),
    (FOUR, 1.5, OUTLIER_TEXT),
    (FOUR, 0.25, TIGHT_TEXT),
    ({"ANDREFF": entry("ANDREFF", 0.0), "HORAUD": entry("HORAUD", 5.0), "PARK": entry("PARK", 10.0)}, 1.5,
     SPLIT_TEXT),
    ({"PARK": None, "TSAI": entry("TSAI", 90.0)}, 1.5,
     "  PARK        (failed)\n  TSAI          0.0300 -0.0100  0.0800   1.00  -2.00  90.00\n"),
    (dict.fromkeys(METHODS), 1.5, "".join(f"  {name:<12}(failed)\n" for name in METHODS)),
], ids=["all-agree-inclusive", "one-outlier-even-median", "tight-threshold", "no-consensus", "one-success",
        "none"])
def test_verdicts(results, threshold, body):
    assert diagnostics.format_method_comparison(results, threshold) == HEADER + body


def test_rows_come_in_name_order_whatever_the_dict_order():
    text = diagnostics.format_method_comparison({"TSAI": entry("TSAI", 1.0), "PARK": entry("PARK", 2.0)})
    assert text.index("  PARK ") < text.index("  TSAI ")


@pytest.mark.parametrize("pose", [[0.0] * 5, [0.0] * 5 + [float("nan")], [float("inf")] + [0.0] * 5])
def test_a_pose_that_is_not_six_finite_numbers_is_refused(pose):
    results = {"PARK": diagnostics.HandEyeMethodResult("PARK", np.eye(4), pose), "TSAI": entry("TSAI", 1.0)}
    with pytest.raises(ValueError, match="^format_method_comparison: the pose of PARK is not six finite numbers$"):
        diagnostics.format_method_comparison(results)


@pytest.fixture(scope="module")
def weak_scene():
    """Small rotations and noisy corners: the five solvers give measurably different answers."""
    scene = hand_eye_scene(BOARD, defaults.CAMERA, defaults.TCP_T_CAMERA, defaults.WORLD_T_TARGET, n_poses=8,
                           seed=4, max_angle_deg=6, position_noise_px=0.5)
    return scene.robot_T_tcp, [view.image for view in scene.views]


def naive_comparison(robot_T_tcp, images, *camera_model, threshold=1.0):
    """What the comparison must equal: a fresh calibrator per method, in name order."""
    options = _vantel.IntrinsicOptions()
    options.per_view_error_threshold = threshold
    results = {}
    for method in METHODS:
        results[method] = _vantel.EyeInHandCalibrator(TARGET, options).calibrate(
            robot_T_tcp, images, method, [], *camera_model)
    return results


@pytest.mark.parametrize("camera_model", [(EMPTY, EMPTY), (defaults.CAMERA.K, defaults.CAMERA.dist)],
                         ids=["full-pipeline", "given-camera-model"])
def test_each_method_equals_its_own_calibration(weak_scene, capsys, camera_model):
    robot_T_tcp, images = weak_scene
    compared = diagnostics.compare_hand_eye_methods(TARGET, robot_T_tcp, images, [], *camera_model, 0.8)
    ours = capsys.readouterr()
    direct = naive_comparison(robot_T_tcp, images, *camera_model, threshold=0.8)
    theirs = capsys.readouterr()
    # The same lines and reports in the same order as running every method from scratch.
    assert ours.err == theirs.err and ours.out == theirs.out
    assert ours.out.count("HAND-EYE RESULTS") == 5
    assert list(compared) == METHODS
    for method in METHODS:
        assert compared[method].method_name == method
        np.testing.assert_array_equal(compared[method].tcp_T_camera, direct[method].tcp_T_camera)
        np.testing.assert_allclose(compared[method].pose_deg,
                                   _vantel.tf.transformation_matrix_to_pose(direct[method].tcp_T_camera))
    translations = np.array([compared[method].tcp_T_camera[:3, 3] for method in METHODS])
    assert np.ptp(translations, axis=0).max() > 1e-3  # the data really separates the solvers


def test_too_few_views_give_five_empty_entries_without_warnings(weak_scene, capsys):
    robot_T_tcp, images = weak_scene
    compared = diagnostics.compare_hand_eye_methods(TARGET, robot_T_tcp[:3], images[:3], [], EMPTY, EMPTY)
    assert compared == dict.fromkeys(METHODS)
    err = capsys.readouterr().err
    assert err.count("[vantel][ERROR] Not enough valid images for extrinsic calibration. Need at least 4!\n") == 5
    assert "[diag]" not in err


CAMERA_MODEL_ONLY_FOR_CHARUCO = "EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget"
NOT_PAIRED = ("EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 3 (robot) vs "
              "4 (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.")


@pytest.mark.parametrize("target, robots, cameras, camera_model, logged_first, reason", [
    (_vantel.ChessboardTarget((9, 6), 0.03), 4, 0, (defaults.CAMERA.K, defaults.CAMERA.dist),
     "[vantel][INFO] Collected images 0\n[vantel][INFO] Collected poses 4\n", CAMERA_MODEL_ONLY_FOR_CHARUCO),
    (TARGET, 3, 4, (EMPTY, EMPTY),
     "[vantel][INFO] Collected images 0\n[vantel][INFO] Collected poses 3\n", NOT_PAIRED),
], ids=["camera-model-for-chessboard", "unpaired-poses"])
def test_every_run_throwing_gives_five_empty_entries_and_five_warnings(target, robots, cameras, camera_model,
                                                                       logged_first, reason, capsys):
    poses = [_vantel.tf.pose_to_transformation_matrix([0.1 * k, 0, 0.5, 10 * k, 5, 0]) for k in range(4)]
    compared = diagnostics.compare_hand_eye_methods(target, poses[:robots], [], poses[:cameras], *camera_model)
    assert compared == dict.fromkeys(METHODS)
    captured = capsys.readouterr()
    assert captured.err == "".join(
        f"{logged_first}[vantel][WARNING] [diag] method {method} failed: {reason}\n" for method in METHODS)
    assert captured.out == ""


def test_given_camera_poses_with_a_non_finite_value_fail_every_method(capsys):
    poses = [_vantel.tf.pose_to_transformation_matrix([0.1 * k, 0, 0.5, 10 * k, 5, 0]) for k in range(4)]
    broken = [pose.copy() for pose in poses]
    broken[2][0, 3] = np.nan
    compared = diagnostics.compare_hand_eye_methods(TARGET, poses, [], broken, EMPTY, EMPTY)
    assert compared == dict.fromkeys(METHODS)
    err = capsys.readouterr().err
    assert err == "".join(f"[vantel][WARNING] [diag] method {method} failed: EyeInHandCalibrator: "
                          "camera_T_target_list[2] holds a non-finite value\n" for method in METHODS)
