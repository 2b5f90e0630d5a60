"""Streaming and block acquisitions delivered to Python as numpy arrays.

The library calls back on a thread of its own once per chunk. The callback here copies the
chunk, asks the library where it came from (HX_GetChunkInfo), cuts it into whole scans (a scan
is one sample of each channel) and either queues it for the caller's thread or hands it to the
caller's own callback. A chunk that came back short may end part way through a scan: that part
waits for the next chunk, so every row is one whole scan and none is lost or doubled. A stream
holds the callback object until the library's wait says the last call has returned, so the
library never calls into a freed Python object.

Every block knows where it sits in the run, so a time axis needs no counting:

    with board.stream(rate=10_000, channels=2) as stream:
        for block in stream.blocks():
            t = block.times()            # seconds since the run started, one per row
            plot(t, block.data)          # block.data[:, c] is channel c
    when = stream.started_utc + datetime.timedelta(seconds=float(t[0]))

A stream nobody reads keeps at most `max_backlog_seconds` of data. Past that the oldest blocks
go, and the next read raises HalvexDataLost naming how many samples went and from which index
(or, with on_loss="warn", warns and the next block's `gap` says how many are missing before
it). Samples the board lost to a FIFO overrun and transfers that came back short are warned of
when the stream closes.
"""

import atexit
import collections
import ctypes
import dataclasses
import datetime
import math
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field

from . import ranges as _ranges
from ._errors import HalvexDataLost, HalvexError, HalvexWarning, check
from ._library import (HX_ACQUIRE_STATUS, HX_CHUNK_INFO, HX_CHUNK_LAST, HX_CHUNK_SHORT, HXSIM_STREAM_STATUS,
                       RAW_CALLBACK, has_simulator, library)

ADC_CALLBACK_RAW = 0x00776152
ADC_CALLBACK_NONE = 0xFFFFFFFF
ERROR_BUSY = 170
ERROR_TIMEOUT = 1460
UNITS = ("volts", "counts", "raw")
ON_LOSS = ("raise", "warn")
MAX_CHUNK_BYTES = 64 << 20
DEFAULT_BACKLOG_SECONDS = 10.0

_open_streams = set()
# Callbacks whose last call could not be waited for (a stream closed from its own callback):
# kept for the life of the process rather than freed under a library thread.
_kept_callbacks = []

# The clock the library stamps chunks with.
_monotonic_ns = time.perf_counter_ns if sys.platform == "win32" else time.monotonic_ns


def _chunk_bytes(rate, channels, chunk):
    """Bytes per transfer: `chunk` scans, or about a tenth of a second of them."""
    scans = chunk if chunk is not None else max(1, round(rate / 10))
    if int(scans) != scans or scans < 1:
        raise ValueError(f"chunk must be a positive whole number of samples per channel, not {chunk}")
    return min(4 * int(scans) * channels, MAX_CHUNK_BYTES // (4 * channels) * 4 * channels)


@dataclass(frozen=True)
class Block:
    """Samples of a stream and where they came from.

    data            array of shape (samples, channels) in the stream's units; each row is one scan
    first_sample    index of data's first row since the run started, per channel (a scan index);
                    the rows follow on from it without gaps
    sequence        the number in the run (0, 1, 2, ...) of the library chunk whose arrival
                    completed this block; a chunk too short to complete a scan makes no block of
                    its own, so its number is not seen
    completed_ns    when the library saw that chunk's transfer end, and
    started_ns      when the run started the board, both in nanoseconds of the monotonic clock
                    (time.monotonic_ns() on Linux, time.perf_counter_ns() on Windows)
    sample_rate_hz  the run's achieved samples per second per channel
    flags           the chunk's HX_CHUNK_SHORT (1) and HX_CHUNK_LAST (2)
    gap             samples per channel missing right before this block: 0, unless the stream
                    dropped some unread (on_loss="warn", or read on after HalvexDataLost)
    """

    data: object
    first_sample: int
    sequence: int
    completed_ns: int
    started_ns: object
    sample_rate_hz: float
    flags: int = 0
    gap: int = 0

    def __len__(self):
        return len(self.data)

    @property
    def channels(self):
        return self.data.shape[1]

    @property
    def first_conversion(self):
        """Index of data's first sample counting the conversions of every channel since the
        run started (the library's FirstSample): first_sample x channels."""
        return self.first_sample * self.channels

    @property
    def short(self):
        """True when the chunk's transfer came back with fewer samples than a chunk holds."""
        return bool(self.flags & HX_CHUNK_SHORT)

    @property
    def last(self):
        """True for the chunk that completed a block acquisition."""
        return bool(self.flags & HX_CHUNK_LAST)

    def times(self):
        """Seconds since the run started for each row: (first_sample + row) / sample_rate_hz."""
        import numpy as np

        return (self.first_sample + np.arange(len(self.data))) / self.sample_rate_hz


@dataclass
class _Loss:
    """Samples per channel dropped from the queue: `scans` of them from scan `first` on."""

    first: int
    scans: int
    announced: bool = False


def _merge(loss, more):
    """One loss covering both (what is dropped is always the oldest, so they adjoin)."""
    if loss is None:
        return _Loss(more.first, more.scans)
    return _Loss(min(loss.first, more.first), loss.scans + more.scans)


class _Blocks:
    """Iterator of a stream's Block objects. A HalvexDataLost it raises does not end it: the
    next call goes on with the block after the gap."""

    def __init__(self, stream, timeout):
        self._stream = stream
        self._timeout = timeout

    def __iter__(self):
        return self

    def __next__(self):
        deadline = None if self._timeout is None else _now() + self._timeout
        block = self._stream._next_block(deadline)
        if block is None:
            raise StopIteration
        return block


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
    max_backlog_seconds  the most data kept unread, in seconds of the stream (default 10);
              beyond it the oldest blocks are dropped and the loss reported. None: no bound.
    on_loss   what the next read does after a drop: "raise" (HalvexDataLost, the default) or
              "warn" (HalvexWarning, and the block after the gap has `gap` set)

    Iterating gives arrays; blocks() gives Block objects that also say where their samples sit
    in the run; read(n) gives exactly n rows. After the first chunk, `started_ns` and
    `started_utc` say when the run started; `rate` and `conversion_rate` are the achieved rates.

    Use it as a context manager, or call close(): the acquisition runs until then.
    """

    def __init__(self, board, rate, channels=1, chunk=None, units="volts", ranges=None, callback=None,
                 samples=None, max_backlog_seconds=DEFAULT_BACKLOG_SECONDS, on_loss="raise"):
        import numpy as np

        if units not in UNITS:
            raise ValueError(f"units are one of {', '.join(UNITS)}, not {units!r}")
        if on_loss not in ON_LOSS:
            raise ValueError(f"on_loss is one of {', '.join(ON_LOSS)}, not {on_loss!r}")
        rate = float(rate)
        if not math.isfinite(rate) or rate <= 0:
            raise ValueError(f"rate must be a positive number of samples per second, not {rate:g}")
        if max_backlog_seconds is not None:
            max_backlog_seconds = float(max_backlog_seconds)
            if not math.isfinite(max_backlog_seconds) or max_backlog_seconds <= 0:
                raise ValueError(f"max_backlog_seconds must be a positive number of seconds or None, "
                                 f"not {max_backlog_seconds:g}")
        channels = int(channels)
        self.board = board
        self.channels = channels
        self.units = units
        self.ranges = ranges
        self.on_loss = on_loss
        self.max_backlog_seconds = max_backlog_seconds
        self.started_ns = None
        self.started_utc = None
        self.dropped = 0  # samples per channel dropped unread
        self._user_callback = callback
        self._items = collections.deque()  # Block and _Loss, oldest first
        self._queued = 0  # rows of the queued blocks
        self._queued_blocks = 0
        self._ready = threading.Condition()
        self._pending = None  # a loss the reader has passed: its size goes on the next block
        self._carry = np.empty(0, dtype=np.uint32)
        self._next_conversion = 0
        self._next_sequence = 0
        self._info = HX_CHUNK_INFO()
        self._error = None
        self._closed = False
        self._failure_raised = False
        self._losses_warned = False
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
        self.conversion_rate = self.rate * channels
        self.max_backlog = None if max_backlog_seconds is None else max(1, math.ceil(max_backlog_seconds * self.rate))
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

    def _on_chunk(self, _context, board, sequencer, count, words):
        import numpy as np

        try:
            if count == 0:
                return
            info = self._info
            info.Size = ctypes.sizeof(info)
            if library().HX_GetChunkInfo(board, sequencer, ctypes.byref(info)) == 0:
                first, sequence, completed, flags = info.FirstSample, info.Sequence, info.CompletedNs, info.Flags
                rate = info.SampleRateHz
                if self.started_ns is None:
                    self._note_start(info.StartedNs)
            else:  # counted here instead: the samples are the same either way
                first, sequence, completed, flags = self._next_conversion, self._next_sequence, _monotonic_ns(), 0
                rate = self.rate
            self._next_conversion = first + count
            self._next_sequence = sequence + 1
            raw = np.ctypeslib.as_array(words, shape=(count,)).copy()
            carried = len(self._carry)
            if carried:
                raw = np.concatenate([self._carry, raw])
            whole = len(raw) // self.channels * self.channels
            self._carry = raw[whole:]
            if whole == 0:
                return
            block = Block(self._convert(raw[:whole].reshape(-1, self.channels)), (first - carried) // self.channels,
                          sequence, completed, self.started_ns, rate, flags)
            if self._user_callback is not None:
                self._user_callback(block.data)
            else:
                self._enqueue(block)
        except BaseException as error:  # kept for the caller's thread: nothing may leave a callback
            with self._lock:
                if self._error is None:
                    self._error = error

    def _note_start(self, started_ns):
        # The wall clock now, less the time since the start on the library's clock.
        since = _monotonic_ns() - started_ns
        utc_ns = time.time_ns() - since
        self.started_utc = datetime.datetime.fromtimestamp(utc_ns // 1000 / 1e6, datetime.timezone.utc)
        self.started_ns = started_ns

    def _convert(self, rows):
        if self.units == "volts":
            return _ranges.volts(rows)
        if self.units == "counts":
            return _ranges.counts(rows)
        return rows

    def _enqueue(self, block):
        with self._ready:
            self._items.append(block)
            self._queued += len(block)
            self._queued_blocks += 1
            if self.max_backlog is not None and self._queued > self.max_backlog:
                self._drop_oldest()
            self._ready.notify_all()

    def _drop_oldest(self):
        # Under self._ready. The newest block always stays, however large.
        loss = None
        while self._queued > self.max_backlog and self._queued_blocks > 1:
            item = self._items.popleft()
            if isinstance(item, Block):
                self._queued -= len(item)
                self._queued_blocks -= 1
                self.dropped += len(item)
                item = _Loss(item.first_sample, len(item))
            loss = _merge(loss, item)
        if self._items and isinstance(self._items[0], _Loss):
            loss = _merge(loss, self._items.popleft())
        if loss is not None:
            self._items.appendleft(loss)

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

    @property
    def short_transfers(self):
        """Transfers of this run that came back with fewer samples than a chunk holds."""
        return self.status()["ShortTransfers"]

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

    def _loss_message(self, loss):
        bound = (f"the stream keeps at most {self.max_backlog_seconds:g} s ({self.max_backlog} samples per "
                 f"channel) unread")
        return (f"board {self.board.index}: {loss.scans} samples per channel were dropped unread, samples "
                f"{loss.first} to {loss.first + loss.scans - 1} since the run started; {bound}: read faster "
                f"or give a larger max_backlog_seconds")

    def _announce(self, loss):
        message = self._loss_message(loss)
        if self.on_loss == "raise":
            raise HalvexDataLost(loss.scans, loss.first, message)
        warnings.warn(message, HalvexWarning, stacklevel=4)

    def _next_block(self, deadline=None):
        """The next queued Block; None once the run has ended and everything was delivered.
        A loss not yet reported is raised (or warned of) where it sits in the queue."""
        while True:
            self._raise_kept()
            loss = None
            with self._ready:
                if not self._items:
                    self._ready.wait(0.05)
                if self._items:
                    item = self._items.popleft()
                    if isinstance(item, Block):
                        self._queued -= len(item)
                        self._queued_blocks -= 1
                        if self._pending is not None:
                            item = dataclasses.replace(item, gap=item.gap + self._pending.scans)
                            self._pending = None
                        return item
                    self._pending = _merge(self._pending, item)
                    self._pending.announced = True
                    if not item.announced:
                        loss = item
                    else:
                        continue
            if loss is not None:
                self._announce(loss)
                continue
            if self._closed or self._delivered_all():
                with self._ready:
                    if self._items:
                        continue
                self._raise_kept()
                self._raise_failure()
                return None
            if deadline is not None and _now() > deadline:
                raise TimeoutError(f"no samples from board {self.board.index} in time")

    def _put_back(self, blocks):
        """Returns blocks taken by a read that did not complete to the front of the queue,
        before any gap the read had passed."""
        with self._ready:
            if self._pending is not None:
                self._items.appendleft(self._pending)
                self._pending = None
            for block in reversed(blocks):
                self._items.appendleft(block)
                self._queued += len(block)
                self._queued_blocks += 1

    def __iter__(self):
        return self

    def __next__(self):
        """The next array; StopIteration once the run has ended and everything was delivered."""
        block = self._next_block()
        if block is None:
            raise StopIteration
        return block.data

    def blocks(self, timeout=None):
        """Iterates over Block objects: each block's samples with its first sample's index, its
        time axis (Block.times()), its chunk's number, flags and completion time, and any gap
        before it. `timeout`: seconds to wait for each block before TimeoutError; None waits
        until the run ends."""
        return _Blocks(self, timeout)

    def read(self, n, timeout=None):
        """Exactly n samples per channel from the stream (what is left over stays queued).
        TimeoutError when they have not arrived within `timeout` seconds; what was read then
        stays queued, as it does when a loss is raised."""
        import numpy as np

        n = int(n)
        if n < 0:
            raise ValueError(f"n must be 0 or more, not {n}")
        deadline = None if timeout is None else _now() + timeout
        parts, have = [], 0
        try:
            while have < n:
                block = self._next_block(deadline)
                if block is None:
                    break
                parts.append(block)
                have += len(block)
        except BaseException:
            self._put_back(parts)
            raise
        if have < n:
            self._put_back(parts)
            raise HalvexError(13, "Stream.read", f"the run ended after {have} of {n} samples per channel")
        if not parts:
            dtype = {"volts": np.float64, "counts": np.int16, "raw": np.uint32}[self.units]
            return np.empty((0, self.channels), dtype=dtype)
        data = np.concatenate([part.data for part in parts])
        if have > n:
            last = parts[-1]
            kept = len(last) - (have - n)
            self._put_back([dataclasses.replace(last, data=last.data[kept:], first_sample=last.first_sample + kept,
                                                gap=0)])
        return data[:n]

    def _drain(self):
        """Every queued block's data, at once."""
        with self._ready:
            blocks = [item.data for item in self._items if isinstance(item, Block)]
            self._items.clear()
            self._queued = self._queued_blocks = 0
        return blocks

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
        a failed transfer, and warns of samples lost to an overrun, of transfers that came back
        short and of samples dropped unread that no read has reported yet."""
        self._end()
        self._raise_kept()
        self._raise_failure()
        self._warn_of_losses(stacklevel=3)

    def _warn_of_losses(self, stacklevel):
        if self._losses_warned:
            return
        self._losses_warned = True
        problems = []
        lost = self.overruns
        if lost:
            problems.append(f"{lost} samples lost to FIFO overruns")
        short = self.short_transfers
        if short:
            problems.append(f"{short} transfer{'s' if short != 1 else ''} came back short (fewer samples than a "
                            f"chunk holds; see Block.short)")
        with self._ready:
            unreported = [item for item in self._items if isinstance(item, _Loss) and not item.announced]
            for item in unreported:
                item.announced = True
        problems += [self._loss_message(item) for item in unreported]
        if problems:
            warnings.warn(f"board {self.board.index}: " + "; ".join(problems), HalvexWarning, stacklevel=stacklevel)

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
    return time.monotonic()


@dataclass
class Acquisition:
    """What acquire returns: `t` in seconds and `data` of shape (n, channels); unpacks as
    `t, data = board.acquire(...)`. `started_utc`: when the run started (None if no chunk came)."""

    t: object
    data: object
    rate: float
    channels: int
    units: str
    board: object
    ranges: object = None
    overruns: int = field(default=0)
    started_utc: object = None
    short_transfers: int = 0

    def __iter__(self):
        return iter((self.t, self.data))


def acquire(board, n, rate, channels=1, units="volts", ranges=None, chunk=None, timeout=None):
    """Exactly n samples per channel at `rate` samples per second per channel, with a time axis
    from 0 (the run's start). A block acquisition: the board stops by itself once enough has
    arrived."""
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
    # Everything the block holds is wanted: nothing is dropped however long it takes.
    stream = Stream(board, rate, channels, chunk, units, ranges, samples=total, max_backlog_seconds=None)
    try:
        stream.wait(timeout)
    finally:
        stream._end()
    parts = stream._drain()
    stream._raise_kept()
    stream._raise_failure()
    overruns, short = stream.overruns, stream.short_transfers
    stream._warn_of_losses(stacklevel=3)
    data = np.concatenate(parts) if parts else np.empty((0, channels))
    if len(data) < n:
        raise HalvexError(13, "acquire", f"the block ended after {len(data)} of {n} samples per channel")
    return Acquisition(np.arange(n) / stream.rate, data[:n], stream.rate, int(channels), units, board, ranges,
                       overruns, stream.started_utc, short)


@atexit.register
def _end_open_streams():
    # Before the interpreter shuts down: a library thread must not call into Python after that.
    for stream in list(_open_streams):
        try:
            stream._end()
        except Exception:
            pass
