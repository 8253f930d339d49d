"""`vantel intrinsic`: one camera from a folder of images; the record, camera files, plots and report page."""

from __future__ import annotations

import numpy as np

import _vantel

from . import calibration_quality as quality
from . import camera_files, camera_models, intrinsic_plots, report_page
from .arguments import positive_threshold, target_argument
from .folder_layouts import read_image_folder
from .hints import target_not_found_hint
from .intrinsic_run import IntrinsicRun, calibrate, intrinsic_options
from .run_outputs import NO_RECORD, output_folder, write_json, without_log_lines

PLOTS = ["per_view_errors.png", "corner_coverage.png", "residuals.png", "undistorted.png"]


def camera_lines(run: IntrinsicRun) -> list[str]:
    """Each intrinsic with its standard deviation, two a line."""
    names, values, deviations = quality.INTRINSIC_NAMES, run.values, run.deviations
    lines = [f"  fx = {values[0]:.2f} ± {deviations[0]:.2f} px   fy = {values[1]:.2f} ± {deviations[1]:.2f} px",
             f"  cx = {values[2]:.2f} ± {deviations[2]:.2f} px   cy = {values[3]:.2f} ± {deviations[3]:.2f} px"]
    terms = [f"{names[k]} = {values[k]:.4f} ± {deviations[k]:.4f}" for k in range(4, len(values))]
    lines += ["  " + "   ".join(terms[k:k + 4]) for k in range(0, len(terms), 4)]
    return lines


def headline(run: IntrinsicRun, image_count: int) -> str:
    return (f"Calibrated from {len(run.names)} of {image_count} images: RMS reprojection error {run.rms:.4f} px "
            f"over {sum(run.counts)} corners")


def _summary(run: IntrinsicRun) -> dict:
    coverage = run.coverage()
    return {
        "rms_reprojection_error_px": run.rms,
        "corners": sum(run.counts),
        "views": len(run.names),
        "image_size": list(run.image_size),
        "camera_matrix": run.intrinsic_matrix,
        "distortion_coefficients": run.distortion,
        "standard_deviations": dict(zip(quality.INTRINSIC_NAMES, run.deviations.tolist())),
        "coverage_percent": coverage.percent,
        "empty_coverage_cells": len(coverage.empty_cells),
        "coverage_cells": coverage.cells,
        "per_view_threshold_px": run.threshold,
        "per_view": [{"image": name, "corners": count, "rms_px": error, "above_threshold": flag}
                     for name, count, error, flag in zip(run.names, run.counts, run.errors, run.flagged)],
        # The record's reprojection_error: the mean over views of each view's residual norm / corner count.
        "mean_view_error_px": run.result.reprojection_error,
    }


def intrinsic(args) -> int:
    target = target_argument(args.target)
    threshold = positive_threshold(args.threshold)
    images, names = read_image_folder(args.folder)
    output = output_folder(args, "vantel-intrinsic")
    options = intrinsic_options(threshold, camera_models.calibration_flags(args))

    result, run = calibrate(target, options, images, names)
    found = set(result.successful_indices)
    for k, name in enumerate(names):
        if k not in found:
            print(f"skipped {name}: target not found")
    if run is None:
        print(f"Calibration failed: the target was found in {len(found)} of {len(images)} images.")
        hint = target_not_found_hint(target, images, names, len(found))
        if hint:
            print(hint)
        print(NO_RECORD)
        return 1

    print(headline(run, len(images)) + f" ({camera_models.describe(args)})")
    first = run
    dropped: list[str] = []
    if args.drop_flagged and run.flagged_names:
        run, dropped = _without_flagged(run, target, options)
    summary = _summary(run)
    if dropped:
        summary["dropped"] = dropped
        summary["before_dropping"] = {"rms_reprojection_error_px": first.rms, "views": len(first.names),
                                      "camera_matrix": first.intrinsic_matrix,
                                      "distortion_coefficients": first.distortion}
    print("\n".join(camera_lines(run)))
    print(f"Coverage: the boards cover {summary['coverage_percent']:.0f} % of the image; "
          f"{summary['empty_coverage_cells']} of {summary['coverage_cells']} grid cells show no board")
    warnings = quality.uncertainty_warnings(run.values, run.deviations, summary["coverage_percent"])
    for warning in warnings:
        print(warning)
    if run.flagged_names:
        print(f"Views above the {threshold:g} px per-view threshold (still in the calibration; --drop-flagged "
              f"calibrates again without them): {', '.join(run.flagged_names)}")

    files = _write_files(output, run, summary)
    plots = _write_plots(output, run, first if dropped else run)
    page = _page(run, summary, warnings, plots, dropped, first)
    report = report_page.write_report(output / "report.html", page)
    print(f"Record: {files['record']}")
    print(f"Camera files: {files['opencv']} (OpenCV FileStorage)" +
          (f", {files['ros']} (ROS camera_info)" if files["ros"] else
           f"; no ROS camera_info: ROS names no model of {run.distortion.size} coefficients"))
    print(f"Summary: {files['summary']}")
    print(f"Plots: {', '.join(str(p) for p in plots.values())}")
    print(f"Report: {report}")
    return 0


def _without_flagged(run: IntrinsicRun, target, options) -> tuple[IntrinsicRun, list[str]]:
    """The calibration again on the views at or below the threshold; the first one when that is not possible."""
    flagged = run.flagged_names
    kept = [(image, name) for image, name, flag in zip(run.images, run.names, run.flagged) if not flag]
    print(f"Dropped {_views(len(flagged))} above the {run.threshold:g} px per-view threshold: {', '.join(flagged)}")
    if not kept:
        print("No view is at or below the threshold: the calibration from all views stays.")
        return run, []
    _, second = calibrate(target, options, [image for image, _ in kept], [name for _, name in kept])
    if second is None:
        print(f"Calibrating the {len(kept)} remaining views failed: the calibration from all views stays.")
        return run, []
    before, after = run.values, second.values
    print(f"Without them: RMS reprojection error {second.rms:.4f} px over {sum(second.counts)} corners in "
          f"{len(second.names)} views; fx {before[0]:.2f} -> {after[0]:.2f}, fy {before[1]:.2f} -> {after[1]:.2f}, "
          f"cx {before[2]:.2f} -> {after[2]:.2f}, cy {before[3]:.2f} -> {after[3]:.2f} px")
    return second, flagged


def _write_files(output, run: IntrinsicRun, summary: dict) -> dict:
    record = _vantel.io.MultiCameraCalibrationRecord()
    record.num_cameras = 1
    record.intrinsic_matrices = [run.intrinsic_matrix]
    record.distortion_coefficients = [run.result.distortion_coefficients]
    record.reference_T_camera_list = [np.eye(4)]
    record.intrinsic_reprojection_errors = [run.result.reprojection_error]
    record.pair_reprojection_errors = [float("nan")]
    # The command names the file itself; the module's line speaks of a multi-camera calibration.
    with without_log_lines("[vantel][INFO] Saved multi-camera calibration"):
        saved = _vantel.io.save_multi_camera_calibration(output / "intrinsic_calibration.json", record)
    return {
        "record": saved,
        "opencv": camera_files.write_opencv_camera(output / "camera.yaml", run.intrinsic_matrix, run.distortion,
                                                   run.image_size),
        "ros": camera_files.write_ros_camera_info(output / "camera_info.yaml", "camera", run.intrinsic_matrix,
                                                  run.distortion, run.image_size),
        "summary": write_json(output / "calibration_summary.json", summary),
    }


def _write_plots(output, run: IntrinsicRun, all_views: IntrinsicRun) -> dict:
    corners, residuals = run.residuals()
    # The first view at or below the threshold shows the calibration at its best.
    shown = next((k for k, flag in enumerate(run.flagged) if not flag), 0)
    return {
        "per_view_errors": intrinsic_plots.per_view_errors(output / PLOTS[0], all_views.names, all_views.errors,
                                                           all_views.threshold, all_views.rms),
        "corner_coverage": intrinsic_plots.corner_coverage(output / PLOTS[1], all_views.result.image_points,
                                                           all_views.flagged, run.image_size, all_views.coverage()),
        "residuals": intrinsic_plots.residuals(output / PLOTS[2], corners, residuals, run.image_size, run.rms),
        "undistorted": intrinsic_plots.undistorted_view(output / PLOTS[3], run.images[shown], run.names[shown],
                                                        run.intrinsic_matrix, run.distortion),
    }


def _page(run, summary, warnings, plots, dropped, first) -> report_page.ReportPage:
    lines = [f"{len(run.names)} views, {sum(run.counts)} corners, images {run.image_size[0]}x{run.image_size[1]}",
             f"Coverage: {summary['coverage_percent']:.0f} % of the image",
             *[line.strip() for line in camera_lines(run)]]
    if dropped:
        lines.insert(0, f"Dropped {_views(len(dropped))} above the {run.threshold:g} px threshold: "
                        f"{', '.join(dropped)} (RMS with them {first.rms:.4f} px)")
    table = report_page.Table("Per-view errors", ["image", "corners", "RMS (px)", "above threshold"],
                              [[name, count, f"{error:.4f}", "yes" if flag else "no"]
                               for name, count, error, flag in zip(run.names, run.counts, run.errors, run.flagged)],
                              {k for k, flag in enumerate(run.flagged) if flag})
    captions = {"per_view_errors": "Per-view RMS error" + (" (all views, before dropping)" if dropped else ""),
                "corner_coverage": "Coverage of the image by the boards" + (" (all views)" if dropped else ""),
                "residuals": "Residuals over the image", "undistorted": "One view undistorted"}
    return report_page.ReportPage(
        title="Intrinsic calibration", headline_label="RMS reprojection error over all corners (px)",
        headline_value=f"{run.rms:.4f}", summary=lines, warnings=warnings, tables=[table],
        figures=[(captions[key], path) for key, path in plots.items()],
        record_text=[("Camera matrix and distortion", f"camera_matrix =\n{np.array2string(run.intrinsic_matrix)}\n"
                                                      f"distortion = {np.array2string(run.distortion)}")])


def _views(count: int) -> str:
    return f"{count} view" if count == 1 else f"{count} views"
