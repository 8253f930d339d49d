"""The folders the commands read: a folder of one camera's images, a rig's cam_* folders, a hand-eye dataset."""

from __future__ import annotations

import pathlib
import re
from dataclasses import dataclass, field

import cv2
import numpy as np

import _vantel

from . import progress_display
from .arguments import CommandError
from .image_files import image_files

CAMERA_FOLDER = re.compile(r"cam_(\d+)$")
FRAME_NUMBER = re.compile(r"(\d+)(?!.*\d)")


def require_folder(folder: pathlib.Path, what: str) -> None:
    if not folder.is_dir():
        raise CommandError(f"{what} {folder} is not a folder")


def _read(paths: list[pathlib.Path], what: str) -> list:
    """The images in order, None for an unreadable one; progress shown while reading."""
    images = []
    for k, path in enumerate(paths):
        images.append(cv2.imread(str(path), cv2.IMREAD_COLOR))
        progress_display.step(what, k + 1, len(paths))
    return images


def read_images(paths: list[pathlib.Path]) -> list:
    """Every image of the list; each is paired with something (a robot pose), so an unreadable one is refused."""
    images = _read(paths, "Reading images")
    for path, image in zip(paths, images):
        if image is None:
            raise CommandError(f"{path} is not a readable image")
    return images


def read_image_folder(folder: pathlib.Path) -> tuple[list, list[str]]:
    """Every readable image of a folder in name order, and the names; the unreadable ones are named."""
    require_folder(folder, "image folder")
    files = image_files(folder)
    images, names = [], []
    for path, image in zip(files, _read(files, "Reading images")):
        if image is None:
            print(f"skipped {path.name}: not a readable image")
            continue
        images.append(image)
        names.append(path.name)
    if not images:
        raise CommandError(f"no readable images in {folder}")
    return images, names


def camera_folders(dataset: pathlib.Path) -> list[pathlib.Path]:
    """The cam_* folders of a rig capture, in camera-number order."""
    numbered = [(int(match.group(1)), p) for p in dataset.iterdir()
                if p.is_dir() and (match := CAMERA_FOLDER.match(p.name))]
    folders = [p for _, p in sorted(numbered)]
    if len(folders) < 2:
        raise CommandError(f"{dataset} holds {len(folders)} camera folder(s) cam_00, cam_01, ...; "
                           f"a rig needs at least 2")
    return folders


def frame_key(path: pathlib.Path) -> str:
    """What pairs the images of one capture across cameras: the last number in the name (left01.jpg with
    right01.jpg, image_7.png with image_07.png), or the whole name when it holds no number."""
    number = FRAME_NUMBER.search(path.stem)
    return str(int(number.group(1))) if number else path.stem


@dataclass
class RigFrames:
    """Synchronised frames of every camera: image_lists[camera][frame], a blank image where a camera has none."""

    camera_names: list[str]
    frame_names: list[str]
    image_lists: list[list[np.ndarray]]
    missing: dict[int, list[str]] = field(default_factory=dict)


def read_rig_folder(dataset: pathlib.Path) -> RigFrames:
    """Each cam_* folder's images, paired across cameras by frame_key. A frame a camera lacks (no file or an
    unreadable one) is a blank image there, so that camera leaves it out and the others still use it."""
    require_folder(dataset, "dataset")
    folders = camera_folders(dataset)
    per_camera = []
    for folder in folders:
        keyed: dict[str, pathlib.Path] = {}
        for path in image_files(folder):
            key = frame_key(path)
            if key in keyed:
                raise CommandError(f"{folder}: {keyed[key].name} and {path.name} are the same frame; "
                                   f"name each frame once")
            keyed[key] = path
        per_camera.append(keyed)
    keys = sorted(set().union(*per_camera), key=_natural_order)
    if not keys:
        raise CommandError(f"no images in the camera folders of {dataset}")
    frame_names = [_frame_name([keyed.get(key) for keyed in per_camera]) for key in keys]
    frames = RigFrames([f.name for f in folders], frame_names, [[] for _ in folders])
    for camera, (folder, keyed) in enumerate(zip(folders, per_camera)):
        paths = [keyed.get(key) for key in keys]
        present = [p for p in paths if p is not None]
        read = iter(_read(present, f"Reading {folder.name}"))
        images = [None if p is None else next(read) for p in paths]
        shape = next((image.shape for image in images if image is not None), None)
        if shape is None:
            raise CommandError(f"no readable images in {folder}")
        for key, name, file, image in zip(keys, frame_names, paths, images):
            if image is None:
                reason = "no image" if file is None else f"{file.name} is not a readable image"
                print(f"{folder.name}: {reason} for frame {key} ({name}); that camera leaves the frame out")
                frames.missing.setdefault(camera, []).append(key)
                image = np.zeros(shape, np.uint8)
            frames.image_lists[camera].append(image)
    return frames


def _natural_order(key: str):
    return (0, int(key), "") if key.isdigit() else (1, 0, key)


def _frame_name(paths) -> str:
    """A frame is named after its image in the first camera that has one."""
    return next(p for p in paths if p is not None).name


def load_hand_eye_inputs(dataset: pathlib.Path) -> tuple[list, list, list[str]]:
    """The images, the robot flange poses and the image names of an eye-in-hand dataset folder."""
    require_folder(dataset, "dataset")
    try:
        images, robot_T_tcp = _vantel.io.load_hand_eye_dataset(dataset)
    except (RuntimeError, ValueError) as error:
        raise CommandError(f"cannot read the dataset {dataset}: {error}") from None
    names = [f"image_{k:02d}.png" for k in range(len(images))]
    return images, robot_T_tcp, names
