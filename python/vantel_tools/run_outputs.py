"""Where a run's files go and how they are written: the results folder, JSON files, the module's records."""

from __future__ import annotations

import contextlib
import io
import json
import math
import os
import pathlib
import shutil
import sys
import tempfile

import numpy as np

from .arguments import CommandError

NO_RECORD = "No record written: a record of an earlier run stays as it was."


def output_folder(args, default: str) -> pathlib.Path:
    folder = args.output or pathlib.Path(default)
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot create the output folder {folder}: {error.strerror}") from None
    return folder


def json_ready(value):
    if isinstance(value, np.ndarray):
        return json_ready(value.tolist())
    if isinstance(value, (list, tuple)):
        return [json_ready(v) for v in value]
    if isinstance(value, dict):
        return {k: json_ready(v) for k, v in value.items()}
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None  # JSON has no NaN
    if isinstance(value, np.integer):
        return int(value)
    return value


def write_json(path: pathlib.Path, document: dict) -> pathlib.Path:
    path.write_text(json.dumps(json_ready(document), indent=2))
    return path


@contextlib.contextmanager
def without_log_lines(*beginnings: str):
    """Drops the module's log lines that start with one of `beginnings` (what the command says itself);
    every other line still reaches standard error."""
    captured = io.StringIO()
    with contextlib.redirect_stderr(captured):
        try:
            yield
        finally:
            kept = [line for line in captured.getvalue().splitlines(keepends=True)
                    if not any(line.startswith(beginning) for beginning in beginnings)]
            sys.stderr.write("".join(kept))


class RecordPlace:
    folder: pathlib.Path
    path: pathlib.Path | None = None
    kind = "Record"
    good = False


@contextlib.contextmanager
def record_kept_if_good(output: pathlib.Path, stem: str):
    """The module writes its record into a scratch folder; only a good one replaces output/stem.json.

    A failed run's record (written even when the calibration fails) goes beside it as stem.failed.json."""
    place = RecordPlace()
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
