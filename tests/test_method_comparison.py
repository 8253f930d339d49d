"""All hand-eye methods on the same data, and the consensus verdict on their rz angles."""

import numpy as np
import pytest

import _vantel
from _vantel import diagnostics
from hand_eye_cases import BOARD, METHODS, NOT_PAIRED, TARGET
from vantel_tools.rendering import defaults, hand_eye_scene

DASHES = "  " + "-" * 58 + "\n"
HEADER = (f"{'=' * 60}\nHAND-EYE CROSS-METHOD COMPARISON\n{'=' * 60}\n"
          "  Method         x (m)   y (m)   z (m)     rx     ry     rz\n" + DASHES)
EMPTY = np.zeros((0, 0))


def entry(name, rz, x=0.03, y=-0.01):
    return diagnostics.HandEyeMethodResult(name, np.eye(4), [x, y, 0.08, 1.0, -2.0, rz])


def rows(*rz_by_name):
    """Table rows of methods solved at x, y, z = 0.03, -0.01, 0.08 and rx, ry = 1, -2."""
    return "".join(f"  {name:<12}  0.0300 -0.0100  0.0800   1.00  -2.00 {rz:6.2f}\n" if rz is not None
                   else f"  {name:<12}(failed)\n" for name, rz in rz_by_name) + DASHES


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
OUTLIER_TEXT = rows(("ANDREFF", 10.0), ("DANIILIDIS", 10.5), ("HORAUD", 11.0), ("PARK", 20.0), ("TSAI", None)) + """\
  rz total spread:      10.00 deg (median rz = 10.75 deg)
  translation spread:   0.00 mm
  >>> 3-of-4 methods cluster near 10.75 deg; outlier(s): PARK.
      Trust the consensus value (10.75 deg). The
      outlier likely hit a local optimum specific to its formulation.
"""
SPLIT_TEXT = rows(("ANDREFF", 0.0), ("HORAUD", 5.0), ("PARK", 10.0)) + """\
  rz total spread:      10.00 deg (median rz = 5.00 deg)
  translation spread:   0.00 mm
  >>> No consensus  -  methods split into clusters with >2.00 deg spread.
      Solution is under-determined; capture more axis-diverse poses.
"""


@pytest.mark.parametrize("results, threshold, body", [
    # Rows in name order whatever the dict order; 1.5 deg from the median still agrees.
    ({"TSAI": entry("TSAI", 13.0, x=0.0303, y=-0.0096), "PARK": entry("PARK", 10.0)}, (), AGREE_TEXT),
    ({"ANDREFF": entry("ANDREFF", 10.0), "DANIILIDIS": entry("DANIILIDIS", 10.5), "HORAUD": entry("HORAUD", 11.0),
      "PARK": entry("PARK", 20.0), "TSAI": None}, (), OUTLIER_TEXT),
    ({"ANDREFF": entry("ANDREFF", 0.0), "HORAUD": entry("HORAUD", 5.0), "PARK": entry("PARK", 10.0)}, (2.0,),
     SPLIT_TEXT),
    ({"PARK": None, "TSAI": entry("TSAI", 90.0)}, (),
     "  PARK        (failed)\n  TSAI          0.0300 -0.0100  0.0800   1.00  -2.00  90.00\n"),
], ids=["all-agree-inclusive", "one-outlier-even-median", "no-consensus", "one-success"])
def test_verdicts(results, threshold, body):
    """An empty threshold is the default one."""
    assert diagnostics.format_method_comparison(results, *threshold) == HEADER + body


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


@pytest.mark.parametrize("camera_model", [(EMPTY, EMPTY), (defaults.CAMERA.K, defaults.CAMERA.dist)],
                         ids=["full-pipeline", "given-camera-model"])
def test_each_method_equals_its_own_calibration(weak_scene, capsys, camera_model):
    robot_T_tcp, images = weak_scene
    compared = diagnostics.compare_hand_eye_methods(TARGET, robot_T_tcp, images, [], *camera_model, 0.8)
    ours = capsys.readouterr()
    options = _vantel.IntrinsicOptions()
    options.per_view_error_threshold = 0.8
    # A fresh calibrator per method, in name order: the same lines and reports in the same order.
    direct = {method: _vantel.EyeInHandCalibrator(TARGET, options).calibrate(robot_T_tcp, images, method, [],
                                                                             *camera_model) for method in METHODS}
    theirs = capsys.readouterr()
    assert ours == theirs and ours.out.count("HAND-EYE RESULTS") == 5 and list(compared) == METHODS
    for method in METHODS:
        assert compared[method].method_name == method
        np.testing.assert_array_equal(compared[method].tcp_T_camera, direct[method].tcp_T_camera)
        np.testing.assert_allclose(compared[method].pose_deg,
                                   _vantel.tf.transformation_matrix_to_pose(direct[method].tcp_T_camera))
    translations = np.array([compared[method].tcp_T_camera[:3, 3] for method in METHODS])
    assert np.ptp(translations, axis=0).max() > 1e-3  # the data really separates the solvers


def test_a_failed_preparation_gives_five_empty_entries(weak_scene, capsys):
    robot_T_tcp, image_list = weak_scene
    compared = diagnostics.compare_hand_eye_methods(TARGET, robot_T_tcp[:3], image_list[:3], [], EMPTY, EMPTY)
    assert compared == dict.fromkeys(METHODS)
    # What the preparation logged comes again with each method, as separate runs would log it.
    logged = ("[vantel][INFO] Collected images 3\n[vantel][INFO] Collected poses 3\n"
              "[vantel][ERROR] Not enough valid images for extrinsic calibration. Need at least 4!\n")
    assert capsys.readouterr() == ("", logged * 5)


UNEQUAL = "EyeInHandCalibrator: the full pipeline needs one robot pose per image. Got {} (robot) vs {} (images)."


@pytest.mark.parametrize("robots, images, cameras, message", [
    (5, 8, 0, UNEQUAL.format(5, 8)), (8, 5, 0, UNEQUAL.format(8, 5)), (5, 0, 4, NOT_PAIRED),
], ids=["fewer-poses", "more-poses", "unpaired-poses"])
def test_input_the_calibrator_refuses_is_refused_alike(weak_scene, capsys, robots, images, cameras, message):
    robot_T_tcp, image_list = weak_scene
    args = (robot_T_tcp[:robots], image_list[:images], robot_T_tcp[:cameras], EMPTY, EMPTY)
    with pytest.raises(ValueError) as ours:
        diagnostics.compare_hand_eye_methods(TARGET, *args)
    logged = capsys.readouterr()
    with pytest.raises(ValueError) as theirs:
        _vantel.EyeInHandCalibrator(TARGET).calibrate(args[0], args[1], "TSAI", *args[2:])
    assert str(ours.value) == str(theirs.value) == message and logged == capsys.readouterr()
