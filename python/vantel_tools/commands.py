"""What each `vantel` command does: read the folder, call the module, write the record and plots."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import shutil
import tempfile

import cv2
import numpy as np

import _vantel

from . import plots
from .arguments import CommandError, positive_threshold, subset_sizes, target_argument

NO_RECORD = "No record written: a record of an earlier run stays as it was."
IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"}


def _output_folder(args, default: str) -> pathlib.Path:
    folder = args.output or pathlib.Path(default)
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot create the output folder {folder}: {error.strerror}") from None
    return folder


def _require_folder(folder: pathlib.Path, what: str) -> None:
    if not folder.is_dir():
        raise CommandError(f"{what} {folder} is not a folder")


def _json_ready(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    if isinstance(value, dict):
        return {k: _json_ready(v) for k, v in value.items()}
    return value


def write_json(path: pathlib.Path, document: dict) -> None:
    path.write_text(json.dumps(_json_ready(document), indent=2))


def _read_images(folder: pathlib.Path) -> tuple[list, list[str]]:
    """Every readable image of a folder in name order, and the names; the unreadable ones are named."""
    _require_folder(folder, "image folder")
    files = sorted(p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES and p.is_file())
    images, names = [], []
    for path in files:
        image = cv2.imread(str(path), cv2.IMREAD_COLOR)
        if image is None:
            print(f"skipped {path.name}: not a readable image")
            continue
        images.append(image)
        names.append(path.name)
    if not images:
        raise CommandError(f"no readable images in {folder}")
    return images, names


def intrinsic(args) -> int:
    target = target_argument(args.target)
    threshold = positive_threshold(args.threshold)
    images, names = _read_images(args.folder)
    output = _output_folder(args, "vantel-intrinsic")

    options = _vantel.IntrinsicOptions()
    options.per_view_error_threshold = threshold
    result = _vantel.IntrinsicCalibrator(target, options).calibrate(images)
    found = set(result.successful_indices)
    for k, name in enumerate(names):
        if k not in found:
            print(f"skipped {name}: target not found")
    if not result.ok:
        print(f"Calibration failed: the target was found in {len(found)} of {len(images)} images.")
        print(NO_RECORD)
        return 1

    record = _vantel.io.MultiCameraCalibrationRecord()
    record.num_cameras = 1
    record.intrinsic_matrices = [result.intrinsic_matrix]
    record.distortion_coefficients = [result.distortion_coefficients]
    record.reference_T_camera_list = [np.eye(4)]
    record.intrinsic_reprojection_errors = [result.reprojection_error]
    record.pair_reprojection_errors = [float("nan")]
    saved = _vantel.io.save_multi_camera_calibration(output / "intrinsic_calibration.json", record)

    used = [names[k] for k in result.successful_indices]
    rejected = [used[j] for j in range(len(used)) if j not in set(result.low_view_error_indices)]
    np.set_printoptions(precision=4, suppress=True)
    print(f"Calibrated from {len(used)} of {len(images)} images; mean view error {result.reprojection_error:.4f} px")
    print(f"K =\n{result.intrinsic_matrix}\ndistortion = {result.distortion_coefficients.ravel()}")
    if rejected:
        print(f"Views above the {args.threshold:g} px per-view threshold: {', '.join(rejected)}")
    plots.per_view_errors(output / "per_view_errors.png", used, result.per_view_errors, args.threshold)
    kept = [result.image_points[j] for j in result.low_view_error_indices] or list(result.image_points)
    plots.corner_coverage(output / "corner_coverage.png", kept, images[0].shape[1::-1])
    print(f"Record: {saved}\nPlots: {output}")
    return 0


def hand_eye(args) -> int:
    target = target_argument(args.target)
    _require_folder(args.dataset, "dataset")
    try:
        images, robot_T_tcp = _vantel.io.load_hand_eye_dataset(args.dataset)
    except (RuntimeError, ValueError) as error:
        raise CommandError(f"cannot read the dataset {args.dataset}: {error}") from None
    output = _output_folder(args, "vantel-hand-eye")
    if args.compare:
        results = _vantel.diagnostics.compare_hand_eye_methods(target, robot_T_tcp, images, [], np.empty((0, 0)),
                                                              np.empty((0, 0)))
        print(_vantel.diagnostics.format_method_comparison(results))
        write_json(output / "method_comparison.json",
                   {name: None if r is None else {"tcp_T_camera": r.tcp_T_camera, "pose_deg": r.pose_deg}
                    for name, r in results.items()})
        print(f"Comparison: {output / 'method_comparison.json'}")
        return 0 if any(r is not None for r in results.values()) else 1
    method = args.method.upper()
    if method not in _vantel.hand_eye_method_by_name_map():
        raise CommandError(f"--method must be one of {', '.join(sorted(_vantel.hand_eye_method_by_name_map()))}, "
                           f"got '{args.method}'")
    calibrator = _vantel.EyeInHandCalibrator(target)
    result = calibrator.calibrate(robot_T_tcp, images, method, output_path=output)
    if not result.ok:
        print("Calibration failed.")
        print(NO_RECORD)
        return 1
    if result.has_consistency:
        plots.target_consistency(output / "target_consistency.png", result.consistency)
    plots.rotation_variety(output / "rotation_variety.png", result.camera_T_target_list)
    print(f"Record: {output / 'hand_eye.json'}\nPlots: {output}")
    return 0


class _RecordPlace:
    folder: pathlib.Path
    path: pathlib.Path | None = None
    kind = "Record"
    good = False


@contextlib.contextmanager
def _record_kept_if_good(output: pathlib.Path, stem: str):
    """The module writes its record into a scratch folder; only a good one replaces output/stem.json.

    A failed run's record (written even when the calibration fails) goes beside it as stem.failed.json."""
    place = _RecordPlace()
    place.folder = pathlib.Path(tempfile.mkdtemp(prefix=f".{stem}-", dir=output))
    try:
        yield place
    finally:
        written = place.folder / f"{stem}.json"
        if written.exists():
            place.path = output / (f"{stem}.json" if place.good else f"{stem}.failed.json")
            place.kind = "Record" if place.good else "Failed record"
            os.replace(written, place.path)
        shutil.rmtree(place.folder, ignore_errors=True)


def _camera_count(dataset: pathlib.Path) -> int:
    count = 0
    while (dataset / f"cam_{count:02d}").is_dir():
        count += 1
    if count < 2:
        raise CommandError(f"{dataset} holds {count} camera folder(s) cam_00, cam_01, ...; a rig needs at least 2")
    return count


def rig(args) -> int:
    target = target_argument(args.target)
    sizes = subset_sizes(args.subsets) if args.subsets else None
    _require_folder(args.dataset, "dataset")
    if args.intrinsics:
        _require_folder(args.intrinsics, "intrinsics folder")
    count = _camera_count(args.dataset)
    if not 0 <= args.reference < count:
        raise CommandError(f"--reference must be a camera index from 0 to {count - 1}, got {args.reference}")
    if sizes and max(sizes) > count:
        raise CommandError(f"--subsets: the rig has {count} cameras, got '{args.subsets}'")
    try:
        lists = _vantel.io.load_multi_camera_dataset(args.dataset, count)
    except (RuntimeError, ValueError) as error:
        raise CommandError(f"cannot read the dataset {args.dataset}: {error}") from None
    intrinsics = _own_intrinsics(args.intrinsics, target, count) if args.intrinsics else ([], [])
    output = _output_folder(args, "vantel-rig")
    calibrator = _vantel.MultiCameraCalibrator(target, count, args.reference)
    with _record_kept_if_good(output, "multi_camera_calibration") as written:
        result = calibrator.calibrate(lists, *intrinsics, output_path=written.folder, refine=args.refine)
        written.good = result.ok
    print(f"{written.kind}: {written.path}")
    if sizes:
        calibrator.calibrate_subsets(lists, sizes, refine=args.refine)
        calibrator.print_results()
    triangulation = calibrator.last_triangulation()
    refinement = calibrator.last_refinement()
    plots.rig_layout(output / "rig_layout.png", result.reference_T_camera_list,
                     None if triangulation is None else triangulation.points_3d,
                     None if refinement is None else refinement.start_reference_T_camera_list)
    print(f"Plots: {output}")
    return 0 if result.ok else 1


def _own_intrinsics(folder: pathlib.Path, target, count: int) -> tuple[list, list]:
    """Each camera calibrated from its own images in folder/cam_NN, with the rig's options."""
    matrices, distortions = [], []
    for camera in range(count):
        images, _ = _read_images(folder / f"cam_{camera:02d}")
        result = _vantel.IntrinsicCalibrator(target, _vantel.MultiCameraCalibrator.default_options()).calibrate(images)
        if not result.ok:
            raise CommandError(f"cannot calibrate camera {camera} from {folder / f'cam_{camera:02d}'}: the target "
                               f"was found in {len(result.successful_indices)} of {len(images)} images")
        print(f"cam_{camera:02d}: intrinsics from {len(result.successful_indices)} of {len(images)} images, mean "
              f"view error {result.reprojection_error:.4f} px")
        matrices.append(result.intrinsic_matrix)
        distortions.append(result.distortion_coefficients)
    return matrices, distortions


def run(args) -> int:
    if args.command == "simulate":
        from . import simulate

        return simulate.run(args)
    return {"intrinsic": intrinsic, "hand-eye": hand_eye, "rig": rig}[args.command](args)
