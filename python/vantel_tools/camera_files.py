"""Camera and transform files in the formats other tools read: OpenCV FileStorage YAML and ROS camera_info YAML."""

from __future__ import annotations

import pathlib

import cv2
import numpy as np

# Distortion models of camera_info, by coefficient count; ROS names none for 12 or 14 coefficients.
ROS_DISTORTION_MODELS = {4: "plumb_bob", 5: "plumb_bob", 8: "rational_polynomial"}


def write_opencv_camera(path: pathlib.Path, intrinsic_matrix, distortion_coefficients, image_size) -> pathlib.Path:
    """A camera as cv::FileStorage reads it: image_width, image_height, camera_matrix, distortion_coefficients."""
    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_WRITE)
    if not storage.isOpened():
        raise OSError(f"cannot write {path}")
    storage.write("image_width", int(image_size[0]))
    storage.write("image_height", int(image_size[1]))
    storage.write("camera_matrix", np.asarray(intrinsic_matrix, dtype=np.float64))
    storage.write("distortion_coefficients", np.asarray(distortion_coefficients, dtype=np.float64).reshape(1, -1))
    storage.release()
    return path


def write_opencv_transforms(path: pathlib.Path, transforms: dict[str, np.ndarray],
                            notes: dict[str, str]) -> pathlib.Path:
    """4x4 transforms by name, with text entries saying which frame is which."""
    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_WRITE)
    if not storage.isOpened():
        raise OSError(f"cannot write {path}")
    for key, text in notes.items():
        storage.write(key, text)
    for key, transform in transforms.items():
        storage.write(key, np.asarray(transform, dtype=np.float64))
    storage.release()
    return path


def _matrix_block(name: str, matrix: np.ndarray) -> str:
    rows, cols = matrix.shape
    data = ", ".join(repr(float(value)) for value in matrix.ravel())
    return f"{name}:\n  rows: {rows}\n  cols: {cols}\n  data: [{data}]\n"


def ros_distortion_model(distortion_coefficients) -> str | None:
    return ROS_DISTORTION_MODELS.get(np.asarray(distortion_coefficients).size)


def write_ros_camera_info(path: pathlib.Path, camera_name: str, intrinsic_matrix, distortion_coefficients,
                          image_size) -> pathlib.Path | None:
    """The camera_info YAML of a ROS camera driver; None (nothing written) for a model ROS has no name for."""
    model = ros_distortion_model(distortion_coefficients)
    if model is None:
        return None
    K = np.asarray(intrinsic_matrix, dtype=float)
    D = np.asarray(distortion_coefficients, dtype=float).reshape(1, -1)
    if D.size == 4:
        D = np.append(D, 0.0).reshape(1, -1)  # plumb_bob has five terms; k3 is zero
    text = (f"image_width: {int(image_size[0])}\nimage_height: {int(image_size[1])}\ncamera_name: {camera_name}\n"
            + _matrix_block("camera_matrix", K)
            + f"distortion_model: {model}\n"
            + _matrix_block("distortion_coefficients", D)
            + _matrix_block("rectification_matrix", np.eye(3))
            + _matrix_block("projection_matrix", np.hstack([K, np.zeros((3, 1))])))
    path.write_text(text)
    return path


def translation_and_quaternion(transform) -> tuple[list[float], list[float]]:
    """x, y, z and the rotation as a unit quaternion x, y, z, w (w >= 0)."""
    T = np.asarray(transform, dtype=float)
    rotation_vector, _ = cv2.Rodrigues(T[:3, :3])
    angle = float(np.linalg.norm(rotation_vector))
    axis = rotation_vector.ravel() / angle if angle > 0 else np.zeros(3)
    quaternion = [*(axis * np.sin(angle / 2)), np.cos(angle / 2)]
    return [float(v) for v in T[:3, 3]], [float(v) for v in quaternion]


def write_transform_with_quaternion(path: pathlib.Path, name: str, transform, parent: str, child: str,
                                    meaning: str) -> pathlib.Path:
    """One transform as a 4x4 matrix and as x, y, z with a quaternion, naming the frames it links."""
    translation, quaternion = translation_and_quaternion(transform)
    storage = cv2.FileStorage(str(path), cv2.FILE_STORAGE_WRITE)
    if not storage.isOpened():
        raise OSError(f"cannot write {path}")
    storage.write("parent_frame", parent)
    storage.write("child_frame", child)
    storage.write("meaning", meaning)
    storage.write(name, np.asarray(transform, dtype=np.float64))
    storage.write("translation_xyz_m", np.array([translation]))
    storage.write("rotation_quaternion_xyzw", np.array([quaternion]))
    storage.release()
    return path
