"""`vantel rig`: a multi-camera rig from synchronised cam_* folders; per-camera files, the transforms, plots, page."""

from __future__ import annotations

import contextlib
import io
import pathlib

import cv2
import numpy as np

import _vantel

from . import calibration_quality as quality
from . import camera_files, camera_models, plots, report_page
from .arguments import CommandError, subset_sizes, target_argument
from .folder_layouts import read_image_folder, read_rig_folder, require_folder
from .run_outputs import output_folder, record_kept_if_good, without_log_lines, write_json

MODULE_REPORT = "rig_report.txt"
SAVED_LINE = "[vantel][SUCCESS] Saved multi-camera calibration to "


def _rig_options(args) -> _vantel.IntrinsicOptions:
    options = _vantel.MultiCameraCalibrator.default_options()
    options.calibrate_camera_flags = options.calibrate_camera_flags | camera_models.calibration_flags(args)
    return options


def rig(args) -> int:
    target = target_argument(args.target)
    sizes = subset_sizes(args.subsets) if args.subsets else None
    require_folder(args.dataset, "dataset")
    if args.intrinsics:
        require_folder(args.intrinsics, "intrinsics folder")
    frames = read_rig_folder(args.dataset)
    names, count = frames.camera_names, len(frames.camera_names)
    if not 0 <= args.reference < count:
        raise CommandError(f"--reference must be a camera index from 0 to {count - 1}, got {args.reference}")
    if sizes and max(sizes) > count:
        raise CommandError(f"--subsets: the rig has {count} cameras, got '{args.subsets}'")
    options = _rig_options(args)
    intrinsics = _own_intrinsics(args.intrinsics, names, target, options) if args.intrinsics else ([], [])
    output = output_folder(args, "vantel-rig")
    calibrator = _vantel.MultiCameraCalibrator(target, count, args.reference, options)
    print(f"Rig of {count} cameras ({', '.join(names)}), {len(frames.frame_names)} frames, reference "
          f"{names[args.reference]}")
    module_report = io.StringIO()
    with record_kept_if_good(output, "multi_camera_calibration") as written:
        # The record is written to a scratch folder first: its log line would name that folder.
        with contextlib.redirect_stdout(module_report), without_log_lines(SAVED_LINE):
            result = calibrator.calibrate(frames.image_lists, *intrinsics, output_path=written.folder,
                                          refine=args.refine)
        written.good = result.ok
    triangulation = calibrator.last_triangulation()
    refinement = calibrator.last_refinement()
    rows = _camera_rows(target, options, frames, result)
    table = _table(rows, names[args.reference])
    print(table)
    lines = _triangulation_lines(triangulation, names) + _refinement_lines(refinement)
    for line in lines:
        print(line)
    if sizes:
        # The module's subset reports number each subset's cameras from 0; the lines below use the rig's names.
        with contextlib.redirect_stdout(io.StringIO()):
            subsets = calibrator.calibrate_subsets(frames.image_lists, sizes, refine=args.refine)
        for line in _subset_lines(subsets, names):
            print(line)
    report_path = output / MODULE_REPORT
    report_path.write_text(module_report.getvalue())
    print(f"{written.kind}: {written.path}")

    files = (_write_camera_files(output, result, frames, names, args.reference, options.calibrate_camera_flags)
             if result.ok else [])
    summary = write_json(output / "rig_summary.json", {
        "ok": result.ok, "reference": names[args.reference], "cameras": rows, "frames": frames.frame_names,
        "missing_frames": {names[c]: keys for c, keys in frames.missing.items()},
        "frames_meaning": "reference_T_camera maps camera coordinates into the reference camera's coordinates"})
    layout = plots.rig_layout(output / "rig_layout.png", result.reference_T_camera_list, names,
                              None if triangulation is None else triangulation.points_3d,
                              None if refinement is None else refinement.start_reference_T_camera_list)
    page = report_page.ReportPage(
        title="Rig calibration", headline_label="Worst camera RMS reprojection error over all corners (px)",
        headline_value=_worst_rms(rows), summary=[f"{count} cameras, reference {names[args.reference]}", *lines],
        tables=[report_page.Table("Cameras", ["camera", "frames with board", "corners", "RMS (px)", "fx", "fy",
                                              "cx", "cy", "stereo RMS (px)", "baseline (m)", "rotation (deg)"],
                                  [_row_cells(row) for row in rows],
                                  {k for k, row in enumerate(rows) if not row["placed"]})],
        figures=[("Rig layout", layout)], record_text=[("Module report", module_report.getvalue())])
    page_path = report_page.write_report(output / "report.html", page)
    if files:
        print(f"Camera files: {', '.join(str(p) for p in files)}")
    print(f"Summary: {summary}")
    print(f"Full report: {report_path}")
    print(f"Plots: {layout}")
    print(f"Report: {page_path}")
    return 0 if result.ok else 1


def _camera_rows(target, options, frames, result) -> list[dict]:
    """Per camera: how often the board was seen, the RMS of its intrinsics over all its corners (each frame's pose
    found again for the calibrated camera) and its pose against the reference."""
    rows = []
    for c, name in enumerate(frames.camera_names):
        row = {"camera": name, "placed": np.asarray(result.reference_T_camera_list[c]).size == 16
               if c < len(result.reference_T_camera_list) else False}
        # The calibration logged each image without a board already.
        with without_log_lines("[vantel][WARNING]"):
            detections = _vantel.IntrinsicCalibrator(target, options).find_corners(frames.image_lists[c])
        row["frames_with_board"] = len(detections.successful_indices)
        K = np.asarray(result.intrinsic_matrices[c]) if c < len(result.intrinsic_matrices) else np.empty(0)
        if K.size == 9:
            corners, residuals = quality.pnp_residuals(detections.object_points, detections.image_points, K,
                                                       result.distortion_coefficients[c])
            row["corners"] = len(corners)
            row["rms_px"] = float(np.sqrt(np.mean(np.sum(residuals**2, axis=1)))) if len(corners) else None
            row["camera_matrix"] = K
            row["distortion_coefficients"] = np.asarray(result.distortion_coefficients[c]).ravel()
        if row["placed"]:
            T = np.asarray(result.reference_T_camera_list[c])
            row["reference_T_camera"] = T
            row["baseline_m"] = float(np.linalg.norm(T[:3, 3]))
            row["rotation_deg"] = float(np.degrees(np.linalg.norm(cv2.Rodrigues(T[:3, :3])[0])))
            pair = result.pair_reprojection_errors[c]
            row["stereo_rms_px"] = None if np.isnan(pair) else float(pair)
        rows.append(row)
    return rows


def _number(value, digits: int) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def _row_cells(row: dict) -> list[str]:
    K = row.get("camera_matrix")
    intrinsics = ["-"] * 4 if K is None else [f"{K[0, 0]:.1f}", f"{K[1, 1]:.1f}", f"{K[0, 2]:.1f}", f"{K[1, 2]:.1f}"]
    return [row["camera"], str(row["frames_with_board"]), str(row.get("corners", "-")),
            _number(row.get("rms_px"), 3), *intrinsics, _number(row.get("stereo_rms_px"), 3),
            _number(row.get("baseline_m"), 3), _number(row.get("rotation_deg"), 2)]


def _table(rows: list[dict], reference: str) -> str:
    header = ["camera", "board in", "corners", "RMS px", "fx", "fy", "cx", "cy", "stereo RMS px", "baseline m",
              "rotation deg"]
    cells = [_row_cells(row) for row in rows]
    widths = [max(len(header[k]), *(len(r[k]) for r in cells)) for k in range(len(header))]
    lines = ["  ".join(h.rjust(w) if k else h.ljust(w) for k, (h, w) in enumerate(zip(header, widths)))]
    for row, cell in zip(rows, cells):
        line = "  ".join(c.rjust(w) if k else c.ljust(w) for k, (c, w) in enumerate(zip(cell, widths)))
        if row["camera"] == reference:
            line += "  (reference)"
        elif not row["placed"]:
            line += "  NOT PLACED: too few corners shared with the reference"
        lines.append(line)
    lines.append("RMS px: each camera's reprojection error over all its corners; stereo RMS: its pair with the "
                 "reference; baseline and rotation: its pose in the reference camera's frame")
    return "\n".join(lines)


def _worst_rms(rows) -> str:
    values = [row["rms_px"] for row in rows if row.get("rms_px") is not None]
    return f"{max(values):.4f}" if values else "none"


def _triangulation_lines(triangulation, names) -> list[str]:
    if triangulation is None:
        return []
    seen = [f"{names[c]} {rms:.3f} px over {n} corners" for c, (rms, n) in
            enumerate(zip(triangulation.rms_per_camera, triangulation.counts_per_camera)) if n]
    return [f"Triangulation of frame {triangulation.frame_index}: board flatness "
            f"{1000 * triangulation.plane_thickness_m:.2f} mm; reprojection RMS {', '.join(seen)}"]


def _refinement_lines(refinement) -> list[str]:
    if refinement is None:
        return []
    return [f"Joint refinement: RMS {refinement.overall_rms_before:.4f} -> {refinement.overall_rms:.4f} px over "
            f"{refinement.corners} corners in {refinement.frames} frames"]


def _subset_lines(subsets, names) -> list[str]:
    lines = []
    for entry in subsets:
        cameras = [names[c] for c in entry.subset]
        text = f"Subset ({', '.join(cameras)}): {'ok' if entry.result.ok else 'FAILED'}"
        pairs = [f"{cameras[k]} {entry.result.pair_reprojection_errors[k]:.3f} px"
                 for k in range(len(cameras)) if k != entry.result.reference_index
                 and not np.isnan(entry.result.pair_reprojection_errors[k])]
        if pairs:
            text += f"; stereo RMS vs {cameras[entry.result.reference_index]}: {', '.join(pairs)}"
        if entry.has_triangulation:
            text += f"; board flatness {1000 * entry.triangulation.plane_thickness_m:.2f} mm"
        lines.append(text)
    return lines


def _write_camera_files(output, result, frames, names, reference, flags) -> list[pathlib.Path]:
    written = []
    for c, name in enumerate(names):
        image = next(image for image in frames.image_lists[c] if image.any())
        size = (image.shape[1], image.shape[0])
        K = result.intrinsic_matrices[c]
        D = camera_models.model_coefficients(result.distortion_coefficients[c], flags)
        written.append(camera_files.write_opencv_camera(output / f"{name}.yaml", K, D, size))
        ros = camera_files.write_ros_camera_info(output / f"{name}_camera_info.yaml", name, K, D, size)
        if ros:
            written.append(ros)
    placed = {f"reference_T_{name}": T for name, T in zip(names, result.reference_T_camera_list)
              if np.asarray(T).size == 16}
    written.append(camera_files.write_opencv_transforms(
        output / "rig.yaml", placed,
        {"reference_camera": names[reference],
         "meaning": "reference_T_<camera> maps that camera's coordinates into the reference camera's coordinates "
                    "(metres)",
         "not_placed": " ".join(n for n, T in zip(names, result.reference_T_camera_list) if np.asarray(T).size != 16)}))
    return written


def _own_intrinsics(folder: pathlib.Path, names, target, options) -> tuple[list, list]:
    """Each camera calibrated from its own images in folder/<camera name>, with the rig's options."""
    matrices, distortions = [], []
    for name in names:
        images, _ = read_image_folder(folder / name)
        result = _vantel.IntrinsicCalibrator(target, options).calibrate(images)
        if not result.ok:
            raise CommandError(f"cannot calibrate camera {name} from {folder / name}: the target "
                               f"was found in {len(result.successful_indices)} of {len(images)} images")
        rms = quality.rms_over_corners(result.per_view_errors, quality.corner_counts(result.image_points))
        print(f"{name}: intrinsics from {len(result.successful_indices)} of {len(images)} images, RMS reprojection "
              f"error {rms:.4f} px")
        matrices.append(result.intrinsic_matrix)
        distortions.append(result.distortion_coefficients)
    return matrices, distortions

