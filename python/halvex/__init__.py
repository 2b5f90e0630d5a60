"""Halvex data-acquisition boards from Python.

    import halvex
    board = halvex.boards()[1]
    with board.stream(rate=10_000, channels=2) as stream:
        for block in stream:          # numpy arrays of shape (samples, channels), in volts
            ...
    with board.stream(rate=10_000, channels=2) as stream:
        for block in stream.blocks(): # the same with where they came from
            t = block.times()         # seconds since the run started, one per row
            ...
    t, volts = board.acquire(1000, rate=1000, channels=2)
    board.record("run.h5", rate=10_000, channels=2, seconds=60)    # HDF5, needs h5py
    volts = halvex.open_recording("run.h5").volts()

The native library is found through HALVEX_LIBRARY, beside the package, in the install prefix
recorded by `cmake --install`, or by the system loader, in that order. On Linux its boards are
simulated; halvex.sim chooses them and what feeds their inputs.
"""

try:
    import numpy as _numpy  # noqa: F401  (every array the package gives is one)
except ImportError as _missing:
    raise ImportError(f"halvex needs numpy, which this Python ({__import__('sys').executable}) cannot import "
                      f"({_missing}): install the Debian package python3-numpy (apt install python3-numpy) or "
                      f"the pip package numpy (python3 -m pip install numpy)") from None

from . import ranges, sim
from ._errors import HalvexDataLost, HalvexError, HalvexStreamEnded, HalvexWarning
from ._library import LibraryNotFound, library
from .board import Board, boards, version
from .record import Recorder, Recording, RecordingError, open_recording
from .stream import Acquisition, Block, Stream, acquire

__version__ = "0.1.0"


__all__ = ["Acquisition", "Block", "Board", "HalvexDataLost", "HalvexError", "HalvexStreamEnded", "HalvexWarning",
           "LibraryNotFound", "Recorder", "Recording", "RecordingError", "Stream", "acquire", "boards", "library",
           "open_recording", "ranges", "sim", "version"]
