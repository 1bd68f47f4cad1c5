"""A waveform record as the reads return it."""
from __future__ import annotations

from typing import Any

import numpy
import numpy.typing as npt


class Waveform:
    """A record: `y` the samples (a numpy array), `x0` the time of the first, `dx` the time
    between two; `t` the times of all (made on use)."""
    __slots__ = ("y", "x0", "dx")

    def __init__(self, y: npt.NDArray[Any], x0: float, dx: float) -> None:
        self.y, self.x0, self.dx = y, x0, dx

    @property
    def t(self) -> npt.NDArray[numpy.float64]:
        return self.x0 + self.dx * numpy.arange(len(self.y), dtype=numpy.float64)

    def __len__(self) -> int:
        return len(self.y)

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> npt.NDArray[Any]:
        return self.y if dtype is None else self.y.astype(dtype)

    def __repr__(self) -> str:
        return f"Waveform({len(self.y)} points, x0={self.x0:g}, dx={self.dx:g})"
