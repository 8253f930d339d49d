"""`vantel hand-eye`: the camera on a robot flange (tcp_T_camera) from a dataset folder, or all methods compared."""

from __future__ import annotations

import contextlib
import io
import os
import pathlib
import shutil
import tempfile
from dataclasses import dataclass

import numpy as np

import _vantel

from . import calibration_quality as quality
from . import camera_files, camera_models, method_comparison, plots, report_page, robot_poses
from .arguments import CommandError, target_argument
from .folder_layouts import load_hand_eye_inputs, read_images, require_folder
from .intrinsic_run import intrinsic_options
from .run_outputs import NO_RECORD, output_folder, write_json

# How far a single image may put the fixed target from its mean pose before it casts doubt on the solve.
ACCEPTABLE_TARGET_MM = 2.0
ACCEPTABLE_TARGET_DEG = 0.2
MODULE_REPORT = "hand_eye_report.txt"
FRAMES = ("tcp_T_camera maps camera coordinates into robot flange (tcp) coordinates: "
          "parent frame tcp, child frame camera")
STATIONARY_FRAMES = ("robot_T_camera maps camera coordinates into robot base coordinates: "
                     "parent frame base, child frame camera")
TARGET_FRAMES = "tcp_T_target maps target coordinates into robot flange (tcp) coordinates: parent frame tcp, child frame target"
# Exit status of a run whose poses fail the convention check (without --accept-poses).
SUSPECT_POSES = 3
# The module's verdicts by axis-spread ratio.
POOR_RATIO, MARGINAL_RATIO = 0.15, 0.35


@dataclass(frozen=True)
class Mounting:
    """What differs between a camera on the flange and a camera fixed in the cell."""

    calibrator: str
    transform: str  # the transform solved for, a field of the result
    parent: str
    child: str
    frames: str
    record: str  # the module's JSON record
    target_moves: str


ON_FLANGE = Mounting("EyeInHandCalibrator", "tcp_T_camera", "tcp", "camera", FRAMES, "hand_eye.json",
                     "the fixed target moves")
STATIONARY = Mounting("EyeToHandCalibrator", "robot_T_camera", "base", "camera", STATIONARY_FRAMES,
                      "hand_eye_stationary.json", "the target moves on the flange")


def mounting(args) -> Mounting:
    return STATIONARY if args.stationary else ON_FLANGE


def load_inputs(args) -> tuple[list, list, list[str]]:
    """The images, the robot flange poses and the image names the command calibrates from: a dataset folder, or a
    folder of images with a pose file (--poses)."""
    if args.poses is None:
        return load_hand_eye_inputs(args.dataset)
    require_folder(args.dataset, "image folder")
    posed = robot_poses.read_posed_images(args.poses, args.dataset, args.pose_units)
    images = read_images([path for path, _ in posed])
    return images, [pose for _, pose in posed], [path.name for path, _ in posed]


def hand_eye(args) -> int:
    target = target_argument(args.target)
    images, robot_T_tcp, names = load_inputs(args)
    output = output_folder(args, "vantel-hand-eye")
    options = intrinsic_options(1.0, camera_models.calibration_flags(args))
    setup = mounting(args)
    if args.compare:
        return _compare(target, options, images, robot_T_tcp, output, setup)
    method = args.method.upper()
    if method not in _vantel.hand_eye_method_by_name_map():
        raise CommandError(f"--method must be one of {', '.join(sorted(_vantel.hand_eye_method_by_name_map()))}, "
                           f"got '{args.method}'")
    calibrator = getattr(_vantel, setup.calibrator)(target, options)
    module_report = io.StringIO()
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=".hand-eye-", dir=output))
    try:
        # The module's report goes to a file: its pose line mixes units and its error is not the RMS. Its record
        # waits in a scratch folder until the poses pass the convention check.
        with contextlib.redirect_stdout(module_report):
            result = calibrator.calibrate(robot_T_tcp, images, method, output_path=scratch)
        (output / MODULE_REPORT).write_text(module_report.getvalue())
        if not result.ok:
            print(f"Calibration failed (the module's report: {output / MODULE_REPORT}).")
            print(NO_RECORD)
            return 1
        suspect = bool(result.convention_warnings) and not args.accept_poses
        if not suspect:
            os.replace(scratch / setup.record, output / setup.record)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    transform = getattr(result, setup.transform)
    used = _used_names(result.valid_image_list, images, names)
    object_points, image_points = _corners(target, options, result.valid_image_list)
    corners, residuals = quality.pnp_residuals(object_points, image_points, result.intrinsic_matrix,
                                               result.distortion_coefficients)
    rms = float(np.sqrt(np.mean(np.sum(residuals**2, axis=1)))) if len(residuals) else float("nan")
    translation, quaternion = camera_files.translation_and_quaternion(transform)
    variety = _vantel.diagnostics.analyze_rotation_variety(result.camera_T_target_list)
    verdict = _variety_verdict(variety)

    print(f"Solved with {method} from {len(used)} of {len(images)} images: camera RMS reprojection error "
          f"{rms:.4f} px over {len(corners)} corners")
    _print_transform(setup.transform, transform)
    print(f"  ({setup.frames})")
    if setup is STATIONARY:
        _print_transform("tcp_T_target", result.tcp_T_target)
    if result.has_consistency:
        stats = result.consistency
        print(f"Target consistency: {setup.target_moves} {1000 * stats.mean_translation_m:.2f} mm and "
              f"{stats.mean_rotation_deg:.3f} deg on average between images (at most "
              f"{1000 * stats.max_translation_m:.2f} mm, {stats.max_rotation_deg:.3f} deg; acceptable "
              f"{ACCEPTABLE_TARGET_MM:g} mm, {ACCEPTABLE_TARGET_DEG:g} deg)")
    print(verdict)
    if suspect:
        # The module's WARNING above names the likely cause and the fix.
        print("The poses look wrong (see the WARNING), so this result is likely wrong too: no record or camera file "
              "written (a record of an earlier run stays as it was). Fix the poses, or pass --accept-poses to keep "
              "the result.")
        return SUSPECT_POSES
    image_size = (images[0].shape[1], images[0].shape[0])
    distortion = camera_models.model_coefficients(result.distortion_coefficients, options.calibrate_camera_flags)
    files = {
        "transform": camera_files.write_transform_with_quaternion(output / f"{setup.transform}.yaml", setup.transform,
                                                                  transform, setup.parent, setup.child, setup.frames),
        "opencv": camera_files.write_opencv_camera(output / "camera.yaml", result.intrinsic_matrix, distortion,
                                                   image_size),
        "ros": camera_files.write_ros_camera_info(output / "camera_info.yaml", "camera", result.intrinsic_matrix,
                                                  distortion, image_size),
    }
    summary = {"method": method, "images": len(images), "images_used": used, "rms_reprojection_error_px": rms,
               "corners": len(corners), setup.transform: transform, "translation_m": translation,
               "quaternion_xyzw": quaternion, "frames": setup.frames, "rotation_variety": verdict,
               "camera_matrix": result.intrinsic_matrix, "distortion_coefficients": distortion,
               "convention_warnings": list(result.convention_warnings)}
    if setup is STATIONARY:
        files["target"] = camera_files.write_transform_with_quaternion(
            output / "tcp_T_target.yaml", "tcp_T_target", result.tcp_T_target, "tcp", "target", TARGET_FRAMES)
        summary["tcp_T_target"] = result.tcp_T_target
    shown = {}
    if result.has_consistency:
        stats = result.consistency
        summary["target_consistency"] = {"image": used, "translation_mm": 1000 * np.asarray(
            stats.translation_deviations_m), "rotation_deg": stats.rotation_deviations_deg}
        shown["Target consistency per image"] = plots.target_consistency(
            output / "target_consistency.png", stats, used, ACCEPTABLE_TARGET_MM, ACCEPTABLE_TARGET_DEG)
    shown["Rotation variety"] = plots.rotation_variety(output / "rotation_variety.png", result.camera_T_target_list,
                                                       verdict)
    files["summary"] = write_json(output / "hand_eye_summary.json", summary)
    page = report_page.ReportPage(
        title=f"Hand-eye calibration ({method})", headline_label="Camera RMS reprojection error over all corners (px)",
        headline_value=f"{rms:.4f}",
        summary=[f"{len(used)} of {len(images)} images used", setup.frames,
                 f"translation (m): {', '.join(f'{v:.4f}' for v in translation)}",
                 f"quaternion x, y, z, w: {', '.join(f'{v:.6f}' for v in quaternion)}", verdict],
        warnings=list(result.convention_warnings),
        figures=list(shown.items()),
        record_text=[(setup.transform, np.array2string(np.asarray(transform), precision=6, suppress_small=True))])
    report = report_page.write_report(output / "report.html", page)
    print(f"Record: {output / setup.record}")
    print(f"Transform: {files['transform']} (4x4, x y z and quaternion)")
    if "target" in files:
        print(f"Target on the flange: {files['target']} (4x4, x y z and quaternion)")
    print(f"Camera files: {files['opencv']} (OpenCV FileStorage)"
          + (f", {files['ros']} (ROS camera_info)" if files["ros"] else ""))
    print(f"Summary: {files['summary']}")
    print(f"Full report: {output / MODULE_REPORT}")
    print(f"Plots: {', '.join(str(p) for p in shown.values())}")
    print(f"Report: {report}")
    return 0


def _print_transform(name: str, transform) -> None:
    translation, quaternion = camera_files.translation_and_quaternion(transform)
    print(f"{name}: x {translation[0]:.4f} m, y {translation[1]:.4f} m, z {translation[2]:.4f} m; quaternion "
          f"x {quaternion[0]:.6f}, y {quaternion[1]:.6f}, z {quaternion[2]:.6f}, w {quaternion[3]:.6f}")
    x, y, z, rx, ry, rz = _vantel.tf.transformation_matrix_to_pose(transform)
    print(f"  as a pose: x {x:.4f} m, y {y:.4f} m, z {z:.4f} m, rx {rx:.3f} deg, ry {ry:.3f} deg, rz {rz:.3f} deg")


def _used_names(valid_images, images, names) -> list[str]:
    """The names of the images the solve used (the module hands back copies, in input order)."""
    used, start = [], 0
    for valid in valid_images:
        for k in range(start, len(images)):
            if images[k].shape == valid.shape and np.array_equal(images[k], valid):
                used.append(names[k])
                start = k + 1
                break
    return used


def _corners(target, options, images) -> tuple[list, list]:
    # The images the solve used: the board was found in each.
    detections = _vantel.IntrinsicCalibrator(target, options).find_corners(images)
    return list(detections.object_points), list(detections.image_points)


def _variety_verdict(stats) -> str:
    if stats is None:
        return "Rotation variety: too few motions between images to judge."
    ratio = stats.axis_span_ratio
    judged = ("poor: the motions rotate about axes in nearly one plane; expect a bias in one axis"
              if ratio < POOR_RATIO else "marginal: possible bias in one axis" if ratio < MARGINAL_RATIO
              else "healthy")
    return (f"Rotation variety {judged} (axis spread {ratio:.3f}; {stats.num_motions} motions, "
            f"mean {stats.angle_mean_deg:.1f} deg)")


def _compare(target, options, images, robot_T_tcp, output, setup: Mounting) -> int:
    reports = io.StringIO()
    # A stationary camera is the camera on the flange with every robot pose inverted: the methods then solve
    # robot_T_camera.
    poses = robot_T_tcp if setup is ON_FLANGE else [np.linalg.inv(pose) for pose in robot_T_tcp]
    # Each method's run prints the full single-method report; they go to a file, the table to the terminal.
    with contextlib.redirect_stdout(reports):
        results = _vantel.diagnostics.compare_hand_eye_methods(target, poses, images, [], np.empty((0, 0)),
                                                              np.empty((0, 0)), options.per_view_error_threshold)
    comparison = method_comparison.compare(results, setup.transform)
    text = method_comparison.table(comparison, setup.transform)
    print(text)
    print(comparison["verdict"])
    (output / "method_reports.txt").write_text(reports.getvalue())
    document = {"frames": setup.frames, "agree": comparison["agree"], "verdict": comparison["verdict"],
                "translation_spread_mm": comparison.get("translation_spread_mm"),
                "rotation_spread_deg": comparison.get("rotation_spread_deg"),
                "agreement_mm": method_comparison.AGREEMENT_MM, "agreement_deg": method_comparison.AGREEMENT_DEG,
                "methods": {row["method"]: {k: v for k, v in row.items() if k not in ("method", "ok")} or None
                            for row in comparison["rows"]}}
    saved = write_json(output / "method_comparison.json", document)
    solved = [row for row in comparison["rows"] if row["ok"]]
    figures = []
    if solved:
        figures.append(("Methods against their median",
                        plots.method_comparison(output / "method_comparison.png", comparison["rows"],
                                                comparison["verdict"], method_comparison.AGREEMENT_MM,
                                                method_comparison.AGREEMENT_DEG)))
    page = report_page.ReportPage(
        title="Hand-eye method comparison", headline_label="Translation spread between methods (mm)",
        headline_value=f"{comparison.get('translation_spread_mm', float('nan')):.2f}",
        summary=[comparison["verdict"], setup.frames], figures=figures, record_text=[("Methods", text)])
    report = report_page.write_report(output / "report.html", page)
    print(f"Comparison: {saved}")
    if figures:
        print(f"Plot: {figures[0][1]}")
    print(f"Each method's report: {output / 'method_reports.txt'}")
    print(f"Report: {report}")
    return 0 if solved else 1
