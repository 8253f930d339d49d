"""Which files of a folder count as images, and their order."""

from __future__ import annotations

import pathlib

IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"}


def image_files(folder: pathlib.Path) -> list[pathlib.Path]:
    """The image files of `folder` (by suffix, any case), sorted by name."""
    return sorted(path for path in folder.iterdir() if path.suffix.lower() in IMAGE_SUFFIXES and path.is_file())
