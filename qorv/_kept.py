"""Memory that each thread keeps from one fit to the next.

Memory fresh from the system costs a page fault on first touch, about 2 ms
for the 4 MB that 100 000 rows of a cubic in one feature take here: as much
as the passes over them. A fit over many rows would pay it for its design
matrix and for the room of its reweighted rows, and so would every later
fit. Each thread keeps one array per purpose instead, grown as needed and
kept up to KEPT_BYTES: fits on several threads never share one, and a fit
writes every entry before it reads it.
"""

from __future__ import annotations

import threading

import numpy as np
from numpy.typing import NDArray

# The largest array a thread keeps for one purpose.
KEPT_BYTES = 32 * 2**20

_kept = threading.local()


def kept_memory(purpose: str, size: int) -> NDArray[np.float64]:
    """`size` doubles of unspecified content from the calling thread's array
    for `purpose`; a new array where that one is smaller, which takes its
    place when within KEPT_BYTES."""
    memory: NDArray[np.float64] | None = getattr(_kept, purpose, None)
    if memory is None or len(memory) < size:
        memory = np.empty(size)
        if 8 * size <= KEPT_BYTES:
            setattr(_kept, purpose, memory)
    return memory[:size]
