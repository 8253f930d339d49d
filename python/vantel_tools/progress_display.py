"""A progress bar on standard error for the module's long calls, shown only on a terminal."""

from __future__ import annotations

import contextlib
import sys

import _vantel


class _Bars:
    """One tqdm bar per stage ("Finding corners", "Placing cameras", ...), replaced when the stage changes."""

    def __init__(self):
        from tqdm import tqdm

        self._tqdm = tqdm
        self._bar = None
        self._what = None

    def __call__(self, what: str, done: int, total: int) -> None:
        if what != self._what or self._bar is None or done < self._bar.n:
            self.close()
            self._bar = self._tqdm(total=total, desc=what, file=sys.stderr, leave=False, dynamic_ncols=True)
            self._what = what
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


@contextlib.contextmanager
def progress_on_terminal():
    """Shows progress while the block runs when standard error is a terminal; otherwise adds nothing."""
    if not sys.stderr.isatty():
        yield
        return
    bars = _Bars()
    _vantel.set_progress_callback(bars)
    try:
        yield
    finally:
        _vantel.set_progress_callback(None)
        bars.close()
