"""A progress bar on standard error for reading images and the module's long calls, shown only on a terminal."""

from __future__ import annotations

import contextlib
import sys

import _vantel

_shown = None


class _Bars:
    """One tqdm bar per stage ("Reading images", "Finding corners", ...), replaced when the stage changes."""

    def __init__(self, stream):
        from tqdm import tqdm

        self._tqdm = tqdm
        self._stream = stream
        self._bar = None
        self._what = None

    def __call__(self, what: str, done: int, total: int) -> None:
        if what != self._what or self._bar is None or done < self._bar.n:
            self.close()
            self._bar = self._tqdm(total=total, desc=what, file=self._stream, leave=False, dynamic_ncols=True)
            self._what = what
        self._bar.update(done - self._bar.n)

    def write(self, text: str) -> None:
        # Clears the bar, writes the text on lines of its own and draws the bar again below it.
        if self._bar is None:
            self._stream.write(text)
            return
        with self._tqdm.external_write_mode(file=self._stream):
            self._stream.write(text)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


class _ErrorsAboveTheBar:
    """Standard error while a bar is shown: log lines go above the bar, never onto its line."""

    def __init__(self, bars: _Bars, stream):
        self._bars = bars
        self._stream = stream

    def write(self, text: str) -> int:
        self._bars.write(text)
        return len(text)

    def flush(self) -> None:
        self._stream.flush()

    def isatty(self) -> bool:
        return True

    def __getattr__(self, name):
        return getattr(self._stream, name)


def step(what: str, done: int, total: int) -> None:
    """Progress of work done in Python (reading images), on the same bar as the module's."""
    if _shown is not None:
        _shown(what, done, total)


@contextlib.contextmanager
def progress_on_terminal():
    """Shows progress while the block runs when standard error is a terminal; otherwise adds nothing."""
    global _shown
    if not sys.stderr.isatty():
        yield
        return
    stream = sys.stderr
    bars = _Bars(stream)
    _shown = bars
    _vantel.set_progress_callback(bars)
    sys.stderr = _ErrorsAboveTheBar(bars, stream)
    try:
        yield
    finally:
        sys.stderr = stream
        _vantel.set_progress_callback(None)
        _shown = None
        bars.close()
