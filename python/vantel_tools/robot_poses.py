"""Robot flange poses as robot controllers write them (CSV or JSON), read into robot_T_tcp transforms.

A pose is robot_T_tcp: it maps flange (TCP) coordinates into the robot base frame, which is how a
controller reports the flange pose in the base frame. Accepted files:

- CSV with a header naming its columns: x, y, z and either a unit quaternion qx, qy, qz, qw (in any
  column order, so both x,y,z,qx,qy,qz,qw and x,y,z,qw,qx,qy,qz work) or rx, ry, rz in degrees
  with R = Rz(rz) Ry(ry) Rx(rx); optionally a column `image` naming each pose's image file.
- JSON: a list of objects with those keys, or a list of 4x4 matrices (nested lists).

Data rows are counted from 1: in CSV the lines after the header (blank lines are skipped but
counted, so data row N is N lines below the header), in JSON the elements of the list.
"""

from __future__ import annotations

import csv
import json
import math
import os
import pathlib
from dataclasses import dataclass
from typing import cast

import cv2
import numpy as np

import _vantel

from .image_files import image_files

UNITS = {"m": 1.0, "mm": 1e-3}
# Controllers print quaternions to a few decimals; further off unit length is a wrong column or a typo.
QUATERNION_TOLERANCE = 1e-3
# Largest error of R^T R - I, and of the last row, that a printed 4x4 may carry.
RIGID_TOLERANCE = 1e-4
TRANSLATION = ("x", "y", "z")
QUATERNION = ("qx", "qy", "qz", "qw")
ANGLES = ("rx", "ry", "rz")
IMAGE = "image"
KNOWN_NAMES = {*TRANSLATION, *QUATERNION, *ANGLES, IMAGE}
EXPECTED_NAMES = "x, y, z and either qx, qy, qz, qw or rx, ry, rz (degrees), optionally image"
# Column orders the writer offers; the reader takes any order.
LAYOUTS = {
    "xyzw": ("x", "y", "z", "qx", "qy", "qz", "qw"),
    "wxyz": ("x", "y", "z", "qw", "qx", "qy", "qz"),
    "degrees": ("x", "y", "z", "rx", "ry", "rz"),
}
MATRIX_LAYOUT = "matrix"


class RobotPoseError(ValueError):
    """A pose file that cannot be used; the message names the file and, where one is at fault, the data row."""


@dataclass(frozen=True, eq=False)
class RobotPose:
    """One pose of a file: `row` is its data row (counted from 1), `image` the file it names, if any."""

    row: int
    robot_T_tcp: np.ndarray
    image: str | None


def unit_scale(units: str) -> float:
    """Metres per unit of a pose file's translations."""
    if units not in UNITS:
        raise ValueError(f"pose units must be 'm' or 'mm', got '{units}'")
    return UNITS[units]


def read_robot_poses(path, units: str = "m") -> list[RobotPose]:
    """The poses of a .csv or .json file, translations converted to metres. Raises RobotPoseError."""
    path = pathlib.Path(path)
    scale = unit_scale(units)
    readers = {".csv": _read_csv, ".json": _read_json}
    if path.suffix.lower() not in readers:
        raise RobotPoseError(f"{path}: unknown pose file type '{path.suffix}'; expected .csv or .json")
    try:
        text = path.read_text(encoding="utf-8-sig")
    except UnicodeDecodeError:
        raise RobotPoseError(f"{path}: not a text file") from None
    except OSError as error:
        raise RobotPoseError(f"{path}: cannot read it ({error.strerror})") from None
    poses = readers[path.suffix.lower()](path, text, scale)
    if not poses:
        raise RobotPoseError(f"{path}: no poses")
    _check_image_names(path, poses)
    return poses


def pair_with_images(path, poses: list[RobotPose], images_folder) -> list[tuple[pathlib.Path, np.ndarray]]:
    """(image file, robot_T_tcp) for every pose: the image each row names, or else the folder's
    images in name order, one per pose. `path` is the pose file, for messages."""
    folder = pathlib.Path(images_folder)
    _check_image_names(path, poses)
    if not folder.is_dir():
        raise RobotPoseError(f"{path}: image folder {folder} is not a folder")
    if poses and poses[0].image is not None:
        pairs = []
        for pose in poses:
            image = folder / cast(str, pose.image)
            if not image.is_file():
                raise RobotPoseError(f"{path}: data row {pose.row}: image '{pose.image}' not found in {folder}")
            pairs.append((image, pose.robot_T_tcp))
        return pairs
    images = image_files(folder)
    if len(images) != len(poses):
        raise RobotPoseError(
            f"{path}: {len(poses)} poses but {len(images)} images in {folder}; give one image per pose "
            f"(taken in name order) or name each pose's image in an '{IMAGE}' column"
        )
    return [(image, pose.robot_T_tcp) for image, pose in zip(images, poses)]


def read_posed_images(path, images_folder, units: str = "m") -> list[tuple[pathlib.Path, np.ndarray]]:
    """read_robot_poses, then pair_with_images."""
    return pair_with_images(path, read_robot_poses(path, units), images_folder)


def write_robot_poses(path, robot_T_tcp, images=None, *, layout: str = "xyzw", units: str = "m") -> None:
    """Writes poses in a form read_robot_poses reads: CSV or JSON objects with the columns of
    LAYOUTS[layout] (plus `image` when image names are given), or a JSON list of 4x4 matrices."""
    path = pathlib.Path(path)
    scale = unit_scale(units)
    suffix = path.suffix.lower()
    if suffix not in (".csv", ".json"):
        raise ValueError(f"pose files are .csv or .json, got '{path.suffix}'")
    if images is not None and len(images) != len(robot_T_tcp):
        raise ValueError(f"{len(robot_T_tcp)} poses but {len(images)} image names")
    transforms = [np.asarray(T, dtype=np.float64) for T in robot_T_tcp]
    if layout == MATRIX_LAYOUT:
        if suffix != ".json" or images is not None:
            raise ValueError("4x4 matrices are written to JSON only, without image names")
        matrices = []
        for T in transforms:
            T = T.copy()
            T[:3, 3] /= scale
            matrices.append(T.tolist())
        path.write_text(json.dumps(matrices, indent=1))
        return
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be one of {', '.join([*LAYOUTS, MATRIX_LAYOUT])}, got '{layout}'")
    columns = LAYOUTS[layout] + ((IMAGE,) if images is not None else ())
    rows = []
    for k, T in enumerate(transforms):
        row = dict(zip(TRANSLATION, (T[:3, 3] / scale).tolist()))
        if layout == "degrees":
            row.update(zip(ANGLES, _vantel.tf.transformation_matrix_to_pose(T)[3:]))
        else:
            row.update(zip(QUATERNION, _quaternion(T[:3, :3])))
        if images is not None:
            row[IMAGE] = str(images[k])
        rows.append({name: row[name] for name in columns})
    if suffix == ".json":
        path.write_text(json.dumps(rows, indent=1))
        return
    with path.open("w", newline="") as file:
        writer = csv.DictWriter(file, fieldnames=columns)
        writer.writeheader()
        writer.writerows(rows)


def _read_csv(path: pathlib.Path, text: str, scale: float) -> list[RobotPose]:
    reader = csv.reader(text.splitlines())
    poses = []
    try:
        header = next((row for row in reader if _has_values(row)), None)
        if header is None:
            raise RobotPoseError(f"{path}: no header line; expected one naming the columns, e.g. x,y,z,qx,qy,qz,qw")
        header_line = reader.line_num
        names = [cell.strip().lower() for cell in header]
        rotation = _rotation_names(names, f"{path}: header", "column")
        for cells in reader:
            if not _has_values(cells):
                continue
            row = reader.line_num - header_line
            where = f"{path}: data row {row}"
            if len(cells) < len(names):
                raise RobotPoseError(f"{where}: no value for column '{names[len(cells)]}'")
            if len(cells) > len(names):
                raise RobotPoseError(f"{where}: {len(cells)} values for {len(names)} columns")
            fields = dict(zip(names, cells))
            poses.append(RobotPose(row, _transform_from_fields(fields, rotation, scale, where),
                                   _image_name(fields, where)))
    except csv.Error as error:
        raise RobotPoseError(f"{path}: line {reader.line_num}: {error}") from None
    return poses


def _read_json(path: pathlib.Path, text: str, scale: float) -> list[RobotPose]:
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise RobotPoseError(f"{path}: not valid JSON: {error.msg} (line {error.lineno}, column {error.colno})") from None
    if not isinstance(document, list):
        raise RobotPoseError(f"{path}: expected a list of pose objects or 4x4 matrices, got a JSON {_json_type(document)}")
    poses = []
    for row, item in enumerate(document, 1):
        where = f"{path}: data row {row}"
        if isinstance(item, dict):
            names = [str(key).strip().lower() for key in item]
            rotation = _rotation_names(names, where, "key")
            fields = dict(zip(names, item.values()))
            poses.append(RobotPose(row, _transform_from_fields(fields, rotation, scale, where), _image_name(fields, where)))
        elif isinstance(item, list):
            poses.append(RobotPose(row, _transform_from_matrix(item, scale, where), None))
        else:
            raise RobotPoseError(f"{where}: expected a pose object or a 4x4 matrix, got a JSON {_json_type(item)}")
    return poses


def _has_values(cells: list[str]) -> bool:
    return any(cell.strip() for cell in cells)


def _rotation_names(names: list[str], where: str, noun: str) -> tuple[str, ...]:
    """QUATERNION or ANGLES, whichever the names hold; refuses unknown, repeated or missing names."""
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise RobotPoseError(f"{where}: {noun} '{name}' appears twice")
        if name not in KNOWN_NAMES:
            raise RobotPoseError(f"{where}: unknown {noun} '{name}'; expected {EXPECTED_NAMES}")
        seen.add(name)
    has_quaternion, has_angles = bool(seen & set(QUATERNION)), bool(seen & set(ANGLES))
    if has_quaternion and has_angles:
        raise RobotPoseError(f"{where}: both a quaternion (qx, qy, qz, qw) and angles (rx, ry, rz); give one rotation")
    if not has_quaternion and not has_angles:
        raise RobotPoseError(f"{where}: no rotation; expected {noun}s qx, qy, qz, qw or rx, ry, rz")
    rotation = QUATERNION if has_quaternion else ANGLES
    for name in TRANSLATION + rotation:
        if name not in seen:
            raise RobotPoseError(f"{where}: missing {noun} '{name}'")
    return rotation


def _number(value, name: str, where: str) -> float:
    if isinstance(value, str):
        if not value.strip():
            raise RobotPoseError(f"{where}: {name} is empty")
        try:
            number = float(value)
        except ValueError:
            raise RobotPoseError(f"{where}: {name} is '{value.strip()}', not a number") from None
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        number = float(value)
    else:
        raise RobotPoseError(f"{where}: {name} is {json.dumps(value)}, not a number")
    if not math.isfinite(number):
        raise RobotPoseError(f"{where}: {name} is {number}, not a finite number")
    return number


def _transform_from_fields(fields: dict, rotation: tuple[str, ...], scale: float, where: str) -> np.ndarray:
    x, y, z = (_number(fields[name], name, where) * scale for name in TRANSLATION)
    values = [_number(fields[name], name, where) for name in rotation]
    if rotation == ANGLES:
        return np.asarray(_vantel.tf.pose_to_transformation_matrix([x, y, z, *values]), dtype=np.float64)
    T = np.eye(4)
    T[:3, :3] = _quaternion_rotation(values, where)
    T[:3, 3] = x, y, z
    return T


def _quaternion_rotation(quaternion: list[float], where: str) -> np.ndarray:
    qx, qy, qz, qw = quaternion
    norm = math.sqrt(qx * qx + qy * qy + qz * qz + qw * qw)
    if abs(norm - 1.0) > QUATERNION_TOLERANCE:
        raise RobotPoseError(
            f"{where}: quaternion (qx, qy, qz, qw) has length {norm:.6g}, not 1 (tolerance {QUATERNION_TOLERANCE:g})"
        )
    vector = np.array([qx, qy, qz]) / norm
    sine = float(np.linalg.norm(vector))
    if sine == 0.0:
        return np.eye(3)
    angle = 2.0 * math.atan2(sine, qw / norm)
    R, _ = cv2.Rodrigues(vector * (angle / sine))
    return R


def _quaternion(R: np.ndarray) -> list[float]:
    """(qx, qy, qz, qw) of a rotation matrix, qw >= 0."""
    rotation_vector, _ = cv2.Rodrigues(np.ascontiguousarray(R))
    angle = float(np.linalg.norm(rotation_vector))
    axis = rotation_vector.ravel() / angle if angle > 0 else np.zeros(3)
    return [*(axis * math.sin(angle / 2)).tolist(), math.cos(angle / 2)]


def _transform_from_matrix(rows: list, scale: float, where: str) -> np.ndarray:
    if len(rows) != 4 or not all(isinstance(row, list) and len(row) == 4 for row in rows):
        raise RobotPoseError(f"{where}: not a rigid transform: expected 4 rows of 4 numbers")
    T = np.array([[_number(value, f"entry [{i}][{j}]", where) for j, value in enumerate(row)]
                  for i, row in enumerate(rows)])
    if np.abs(T[3] - (0.0, 0.0, 0.0, 1.0)).max() > RIGID_TOLERANCE:
        raise RobotPoseError(f"{where}: not a rigid transform: last row is {T[3].tolist()}, not [0, 0, 0, 1]")
    R = T[:3, :3]
    error = float(np.abs(R.T @ R - np.eye(3)).max())
    if error > RIGID_TOLERANCE:
        raise RobotPoseError(
            f"{where}: not a rigid transform: rotation part is not orthonormal (R^T R - I reaches {error:.3g})"
        )
    if np.linalg.det(R) < 0:
        raise RobotPoseError(f"{where}: not a rigid transform: rotation part is a reflection (determinant -1)")
    # The nearest rotation, as quaternions within tolerance are normalised.
    U, _, Vt = np.linalg.svd(R)
    T[:3, :3] = U @ Vt
    T[3] = 0.0, 0.0, 0.0, 1.0
    T[:3, 3] *= scale
    return T


def _image_name(fields: dict, where: str) -> str | None:
    if IMAGE not in fields:
        return None
    value = fields[IMAGE]
    if not isinstance(value, str):
        raise RobotPoseError(f"{where}: image is {json.dumps(value)}, not a file name")
    if not value.strip():
        raise RobotPoseError(f"{where}: image is empty")
    return value.strip()


def _check_image_names(path: pathlib.Path, poses: list[RobotPose]) -> None:
    """Images are named in every row or in none, and no image twice."""
    named = [pose for pose in poses if pose.image is not None]
    if named and len(named) != len(poses):
        unnamed = next(pose for pose in poses if pose.image is None)
        raise RobotPoseError(
            f"{path}: data row {unnamed.row} names no image, but data row {named[0].row} does; "
            "name one in every row or in none"
        )
    first_row: dict[str, int] = {}
    for pose in named:
        key = os.path.normpath(cast(str, pose.image))
        if key in first_row:
            raise RobotPoseError(
                f"{path}: data row {pose.row}: image '{pose.image}' is already named by data row {first_row[key]}"
            )
        first_row[key] = pose.row


def _json_type(value) -> str:
    if isinstance(value, dict):
        return "object"
    if isinstance(value, list):
        return "array"
    if isinstance(value, str):
        return "string"
    if isinstance(value, bool):
        return "boolean"
    return "null" if value is None else "number"
