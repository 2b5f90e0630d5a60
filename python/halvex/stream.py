"""Streaming and block acquisitions delivered to Python as numpy arrays.

The library calls back on a thread of its own once per chunk. The callback here copies the
chunk, cuts it into whole scans (a scan is one sample of each channel) and either queues it for
the caller's thread or hands it to the caller's own callback. A stream holds the callback object
until the library's wait says the last call has returned, so the library never calls into a
freed Python object.
"""

import atexit
import ctypes
import math
import queue
import threading
import warnings
from dataclasses import dataclass, field

from . import ranges as _ranges
from ._errors import HalvexError, HalvexWarning, check
from ._library import HX_ACQUIRE_STATUS, HXSIM_STREAM_STATUS, RAW_CALLBACK, has_simulator, library

ADC_CALLBACK_RAW = 0x00776152
ADC_CALLBACK_NONE = 0xFFFFFFFF
ERROR_BUSY = 170
ERROR_TIMEOUT = 1460
UNITS = ("volts", "counts", "raw")
MAX_CHUNK_BYTES = 64 << 20

_open_streams = set()
# Callbacks whose last call could not be waited for (a stream closed from its own callback):
# kept for the life of the process rather than freed under a library thread.
_kept_callbacks = []


def _chunk_bytes(rate, channels, chunk):
    """Bytes per transfer: `chunk` scans, or about a tenth of a second of them."""
    scans = chunk if chunk is not None else max(1, round(rate / 10))
    if int(scans) != scans or scans < 1:
        raise ValueError(f"chunk must be a positive whole number of samples per channel, not {chunk}")
    return min(4 * int(scans) * channels, MAX_CHUNK_BYTES // (4 * channels) * 4 * channels)


class Stream:
    """An acquisition on sequencer 0 of a board, delivering arrays of shape (samples, channels).

    rate      samples per second per channel (the board converts at rate x channels)
    channels  channels 0 to channels-1 are scanned
    chunk     samples per channel in one transfer; None: about ten transfers a second
    units     "volts" (float64, NaN for empty slots), "counts" (int16) or "raw" (uint32 words)
    ranges    input range(s) to set first (see halvex.ranges); None keeps those set
    callback  None: iterate over the stream. Else called on the library's thread with each
              array; an exception it raises is kept and raised in the caller's thread by the
              next call on the stream or at its end.

    Use it as a context manager, or call close(): the acquisition runs until then.
    """

    def __init__(self, board, rate, channels=1, chunk=None, units="volts", ranges=None, callback=None,
                 samples=None):
        if units not in UNITS:
            raise ValueError(f"units are one of {', '.join(UNITS)}, not {units!r}")
        rate = float(rate)
        if not math.isfinite(rate) or rate <= 0:
            raise ValueError(f"rate must be a positive number of samples per second, not {rate:g}")
        channels = int(channels)
        self.board = board
        self.channels = channels
        self.units = units
        self.ranges = ranges
        self._user_callback = callback
        self._queue = queue.SimpleQueue()
        self._carry = None
        self._error = None
        self._closed = False
        self._failure_raised = False
        self._lock = threading.Lock()
        lib = library()
        index = board.index
        if not board.can_stream:
            from .board import boards

            able = ", ".join(str(b.index) for b in boards() if b.can_stream) or "none"
            raise HalvexError(66, "ADC_AcquireStream", f"board {index} ({board.device_id:04X}) cannot stream: its "
                              f"start/stop registers are 16-bit; boards that can: {able}")

        if ranges is not None:
            board.set_ranges(ranges)
        board.set_channels(channels)
        self.rate = board.set_conversion_rate(rate * channels) / channels
        self.chunk_bytes = _chunk_bytes(rate, channels, chunk)
        check(lib.HX_SetChunkSize(index, 0, self.chunk_bytes), "HX_SetChunkSize", f"board {index}")

        self._overruns_before = self._sim_overruns()
        self._callback = RAW_CALLBACK(self._on_chunk)
        check(lib.HX_SetCallbackContext(index, 0, ADC_CALLBACK_RAW, ctypes.cast(self._callback, ctypes.c_void_p),
                                        None), "HX_SetCallbackContext", f"board {index}")
        if samples is None:
            started, call = lib.ADC_AcquireStream(index, 0), "ADC_AcquireStream"
        else:
            started, call = lib.ADC_AcquireBlock(index, 0, samples), "ADC_AcquireBlock"
        if started != 0:
            lib.ADC_SetCallback(index, 0, ADC_CALLBACK_NONE, None)
            raise HalvexError(started, call, f"board {index}")
        _open_streams.add(self)

    # ---- the library's thread ---------------------------------------------------------------

    def _on_chunk(self, _context, _board, _sequencer, count, words):
        import numpy as np

        try:
            raw = np.ctypeslib.as_array(words, shape=(count,)).copy()
            if self._carry is not None and len(self._carry):
                raw = np.concatenate([self._carry, raw])
            whole = len(raw) // self.channels * self.channels
            self._carry = raw[whole:]
            if whole == 0:
                return
            block = self._convert(raw[:whole].reshape(-1, self.channels))
            if self._user_callback is not None:
                self._user_callback(block)
            else:
                self._queue.put(block)
        except BaseException as error:  # kept for the caller's thread: nothing may leave a callback
            with self._lock:
                if self._error is None:
                    self._error = error

    def _convert(self, rows):
        if self.units == "volts":
            return _ranges.volts(rows)
        if self.units == "counts":
            return _ranges.counts(rows)
        return rows

    # ---- the caller's thread ------------------------------------------------------------------

    def _raise_kept(self):
        with self._lock:
            error, self._error = self._error, None
        if error is not None:
            raise error

    def status(self):
        """The library's status record of this acquisition as a dict."""
        record = HX_ACQUIRE_STATUS()
        record.Size = ctypes.sizeof(record)
        check(library().HX_AcquireStatus(self.board.index, 0, ctypes.byref(record)), "HX_AcquireStatus")
        return {name: getattr(record, name) for name, _ in record._fields_ if name != "Size"}

    def _sim_overruns(self):
        if not has_simulator():
            return 0
        record = HXSIM_STREAM_STATUS()
        record.Size = ctypes.sizeof(record)
        if library().HXSIM_GetStreamStatus(self.board.index, ctypes.byref(record)) != 0:
            return 0
        return record.Overruns

    @property
    def overruns(self):
        """Samples the board lost because its FIFO overflowed since the start (simulated boards)."""
        return self._sim_overruns() - self._overruns_before

    def _delivered_all(self):
        """True once the run has ended and its callback has returned for the last time."""
        return library().HX_AcquireWait(self.board.index, 0, 0) == 0

    def _raise_failure(self):
        if self._failure_raised:
            return
        status = self.status()
        if status["FailedTransfers"]:
            self._failure_raised = True
            raise HalvexError(status["LastFailure"], "a streaming transfer",
                              f"board {self.board.index}: the run ended after {status['SamplesDelivered']} samples")

    def __iter__(self):
        return self

    def __next__(self):
        """The next array; StopIteration once the run has ended and everything was delivered."""
        while True:
            self._raise_kept()
            try:
                return self._queue.get(timeout=0.05)
            except queue.Empty:
                pass
            if self._closed or self._delivered_all():
                if not self._queue.empty():
                    continue
                self._raise_kept()
                self._raise_failure()
                raise StopIteration

    def read(self, n, timeout=None):
        """Exactly n samples per channel from the stream (what is left over stays queued)."""
        import numpy as np

        parts, have = [], 0
        for block in self:
            parts.append(block)
            have += len(block)
            if have >= n:
                break
        if have < n:
            raise HalvexError(13, "Stream.read", f"the run ended after {have} of {n} samples per channel")
        data = np.concatenate(parts)
        if have > n:
            self._queue_front(data[n:])
        return data[:n]

    def _queue_front(self, rest):
        # Put what was read beyond n back before anything queued later.
        later = []
        while not self._queue.empty():
            later.append(self._queue.get())
        self._queue.put(rest)
        for block in later:
            self._queue.put(block)

    def wait(self, timeout=None):
        """Waits until the run has ended and its callback returned for the last time (a block
        completes by itself; a stream ends with close() or a failed transfer)."""
        deadline = None if timeout is None else _now() + timeout
        while True:
            self._raise_kept()
            code = library().HX_AcquireWait(self.board.index, 0, 100)
            if code == 0:
                return
            if code != ERROR_TIMEOUT:
                raise HalvexError(code, "HX_AcquireWait", f"board {self.board.index}")
            if deadline is not None and _now() > deadline:
                raise TimeoutError(f"the acquisition on board {self.board.index} did not end within {timeout} s")

    def close(self):
        """Ends the acquisition and waits for its last callback. Raises what a callback raised,
        a failed transfer, and warns of samples lost to an overrun."""
        self._end()
        self._raise_kept()
        self._raise_failure()
        lost = self.overruns
        if lost:
            warnings.warn(f"board {self.board.index}: {lost} samples lost to FIFO overruns", HalvexWarning,
                          stacklevel=2)

    def _end(self):
        if self._closed:
            return
        self._closed = True
        lib = library()
        index = self.board.index
        ended = lib.ADC_AcquireEnd(index, 0)
        if ended not in (0, 21):
            raise HalvexError(ended, "ADC_AcquireEnd", f"board {index}")
        while True:
            code = lib.HX_AcquireWait(index, 0, 1000)
            if code == 0:
                break
            if code == ERROR_BUSY:  # closed from this stream's own callback: it cannot wait for itself
                _kept_callbacks.append(self._callback)
                break
            if code != ERROR_TIMEOUT:
                raise HalvexError(code, "HX_AcquireWait", f"board {index}")
        if lib.ADC_SetCallback(index, 0, ADC_CALLBACK_NONE, None) == 0:
            self._callback = None
        _open_streams.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None:
            self.close()
        else:
            self._end()  # the exception already leaving the block is the one to see


def _now():
    import time

    return time.monotonic()


@dataclass
class Acquisition:
    """What acquire returns: `t` in seconds and `data` of shape (n, channels); unpacks as
    `t, data = board.acquire(...)`."""

    t: object
    data: object
    rate: float
    channels: int
    units: str
    board: object
    ranges: object = None
    overruns: int = field(default=0)

    def __iter__(self):
        return iter((self.t, self.data))


def acquire(board, n, rate, channels=1, units="volts", ranges=None, chunk=None, timeout=None):
    """Exactly n samples per channel at `rate` samples per second per channel, with a time axis
    from 0. A block acquisition: the board stops by itself once enough has arrived."""
    import numpy as np

    n = int(n)
    if n < 1:
        raise ValueError(f"n must be at least 1, not {n}")
    total = n * int(channels)
    if total > 0xFFFFFFFF:
        raise ValueError(f"{n} samples on {channels} channels is more than one block can hold")
    if chunk is None:
        chunk = min(max(1, round(float(rate) / 10)), n)
    if timeout is None:
        timeout = 2 * n / float(rate) + 10
    with Stream(board, rate, channels, chunk, units, ranges, samples=total) as stream:
        stream.wait(timeout)
        parts = []
        while not stream._queue.empty():
            parts.append(stream._queue.get())
        stream._raise_kept()
        stream._raise_failure()
        overruns = stream.overruns
    if overruns:
        warnings.warn(f"board {board.index}: {overruns} samples lost to FIFO overruns", HalvexWarning, stacklevel=2)
    data = np.concatenate(parts) if parts else np.empty((0, channels))
    if len(data) < n:
        raise HalvexError(13, "acquire", f"the block ended after {len(data)} of {n} samples per channel")
    return Acquisition(np.arange(n) / stream.rate, data[:n], stream.rate, int(channels), units, board, ranges,
                       overruns)


@atexit.register
def _end_open_streams():
    # Before the interpreter shuts down: a library thread must not call into Python after that.
    for stream in list(_open_streams):
        try:
            stream._end()
        except Exception:
            pass
