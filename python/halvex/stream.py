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
it). Samples the board lost to a FIFO overrun, transfers that came back short and readings
beyond their input range are warned of when the stream closes; a reader or callback that falls
behind the board is warned of as soon as it does.

Once close() is asked for, chunks still queued for a stream's callback are dropped (and
counted in `discarded`) instead of fed to it, so a close behind a slow callback waits for the
call in progress only. A stream whose library session ended under it (halvex.sim.use_boards
restarts the library) gives what it had queued, then raises HalvexStreamEnded.
"""

import atexit
import collections
import ctypes
import dataclasses
import datetime
import functools
import math
import numbers
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field

from . import _library
from . import ranges as _ranges
from ._errors import HalvexDataLost, HalvexError, HalvexStreamEnded, HalvexWarning, check
from ._library import (HX_ACQUIRE_STATUS, HX_CHUNK_INFO, HX_CHUNK_LAST, HX_CHUNK_SHORT, HXSIM_STREAM_STATUS,
                       RAW_CALLBACK, has_simulator, library)

ADC_CALLBACK_RAW = 0x00776152
ADC_CALLBACK_NONE = 0xFFFFFFFF
ERROR_NOT_READY = 21
ERROR_BUSY = 170
ERROR_INVALID_INDEX = 1413
ERROR_TIMEOUT = 1460
UNITS = ("volts", "counts", "raw")
ON_LOSS = ("raise", "warn")
DEFAULT_BACKLOG_SECONDS = 10.0
# Each chunk costs a trip through ctypes and numpy on the library's thread: past about a
# thousand a second that thread cannot keep up, and chunks pile up in the library unseen.
MAX_TRANSFERS_PER_SECOND = 1000
# A consumer whose oldest unhandled data is this old is warned of (or at half the backlog
# bound, when that is sooner: the warning must come before anything is dropped).
BEHIND_SECONDS = 5.0

_open_streams = set()
# The stream that last started on each board, by (library session, board index): a stream
# whose board was taken over by a newer one must not end or wait for the newer run.
_owners = {}
# Callbacks whose last call could not be waited for (the board went on to a newer run before
# the stream's close could wait): kept for the life of the process rather than freed under a
# library thread.
_kept_callbacks = []

# The clock the library stamps chunks with.
_monotonic_ns = time.perf_counter_ns if sys.platform == "win32" else time.monotonic_ns


def _sample_rate(rate):
    """A rate argument as samples per second per channel, refused unless positive and finite."""
    try:
        value = float(rate)
    except (TypeError, ValueError):
        raise ValueError(f"rate must be a number of samples per second per channel, not {rate!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"rate must be a positive number of samples per second per channel, not {value:g}"
                         + (" (0 would stop the board's clock)" if value == 0 else ""))
    return value


@functools.cache
def _max_chunk_bytes():
    """The most bytes a transfer takes, as the library says."""
    most = _library.DWORD()
    check(library().HX_GetChunkLimits(None, ctypes.byref(most)), "HX_GetChunkLimits")
    return most.value


def _channel_count(channels):
    try:
        count = int(channels)
    except (TypeError, ValueError):
        count = None
    if isinstance(channels, bool) or count != channels or not 1 <= count <= 8:
        raise ValueError(f"channels must be 1 to 8 (channels 0 to channels-1 are scanned), not {channels!r}")
    return count


def _chunk_scans(rate, channels, chunk, block_scans=None):
    """Samples per channel per transfer: `chunk`, or about a tenth of a second of them. A chunk
    too small for the rate is raised to MAX_TRANSFERS_PER_SECOND, with a warning; one beyond a
    transfer's 64 MiB is refused."""
    most = _max_chunk_bytes() // (4 * channels)
    if chunk is None:
        return min(max(1, round(rate / 10)), most)
    if isinstance(chunk, bool) or not isinstance(chunk, numbers.Real) or int(chunk) != chunk or chunk < 1:
        raise ValueError(f"chunk must be a positive whole number of samples per channel, not {chunk!r}")
    scans = int(chunk)
    if scans > most:
        raise ValueError(f"chunk={scans} samples per channel on {channels} channel{'s' if channels != 1 else ''} is "
                         f"{4 * scans * channels} bytes per transfer; a transfer holds at most 64 MiB: chunk 1 to {most}")
    fewest = math.ceil(rate / MAX_TRANSFERS_PER_SECOND)
    if block_scans is not None:
        fewest = min(fewest, block_scans)  # a block that fits in one chunk is one transfer anyway
    if scans < fewest:
        warnings.warn(f"chunk={scans} at {rate:g} samples/s per channel would be {rate / scans:.0f} transfers a second, "
                      f"more than Python keeps up with ({MAX_TRANSFERS_PER_SECOND}); using chunk={fewest}",
                      HalvexWarning, stacklevel=4)
        scans = fewest
    return scans


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
        block = self._stream._next_block(deadline, "blocks")
        if block is None:
            raise StopIteration
        return block


class Stream:
    """An acquisition on sequencer 0 of a board, delivering arrays of shape (samples, channels).

    rate      samples per second per channel (the board converts at rate x channels)
    channels  channels 0 to channels-1 are scanned (1 to 8)
    chunk     samples per channel in one transfer; None: about ten transfers a second. A chunk
              that would make more than 1000 transfers a second is raised to that, with a warning
    units     "volts" (float64, NaN for empty slots), "counts" (int16) or "raw" (uint32 words)
    ranges    input range(s) to set first (see halvex.ranges); None keeps those set
    callback  None: iterate over the stream. Else called on the library's thread with each
              array; an exception it raises is kept and raised in the caller's thread by the
              next call on the stream or at its end. Such a stream cannot also be read: read(),
              iteration and blocks() raise RuntimeError. It may close itself from the callback.
    max_backlog_seconds  the most data kept unread, in seconds of the stream (default 10);
              beyond it the oldest blocks are dropped and the loss reported. None: no bound.
    on_loss   what the next read does after a drop: "raise" (HalvexDataLost, the default) or
              "warn" (HalvexWarning, and the block after the gap has `gap` set)

    Iterating gives arrays; blocks() gives Block objects that also say where their samples sit
    in the run; read(n) gives exactly n rows. After the first chunk, `started_ns` and
    `started_utc` say when the run started. `sample_rate` (samples per second per channel;
    `rate` is the same) and `conversion_rate` (over all channels) are the achieved rates.
    `beyond_range` counts, per channel, readings beyond their input range; `dropped` the
    samples per channel dropped unread, `discarded` those a closing stream did not give its
    callback.

    Use it as a context manager, or call close(): the acquisition runs until then. close() may
    be called again at any time; it finishes what an interrupted close left.
    """

    def __init__(self, board, rate, channels=1, chunk=None, units="volts", ranges=None, callback=None,
                 samples=None, max_backlog_seconds=DEFAULT_BACKLOG_SECONDS, on_loss="raise"):
        import numpy as np

        if units not in UNITS:
            raise ValueError(f"units are one of {', '.join(UNITS)}, not {units!r}")
        if on_loss not in ON_LOSS:
            raise ValueError(f"on_loss is one of {', '.join(ON_LOSS)}, not {on_loss!r}")
        rate = _sample_rate(rate)
        channels = _channel_count(channels)
        if max_backlog_seconds is not None:
            max_backlog_seconds = float(max_backlog_seconds)
            if not math.isfinite(max_backlog_seconds) or max_backlog_seconds <= 0:
                raise ValueError(f"max_backlog_seconds must be a positive number of seconds or None, "
                                 f"not {max_backlog_seconds:g}")
        index = board.index
        if not board.can_stream:
            from .board import boards

            able = ", ".join(str(b.index) for b in boards() if b.can_stream) or "none"
            raise HalvexError(66, "ADC_AcquireStream", f"board {index} ({board.device_id:04X}) cannot stream: its "
                              f"start/stop registers are 16-bit; boards that can: {able}")
        slowest, fastest = board.conversion_rate_limits()
        if board.base_clock and not slowest <= rate * channels <= fastest:
            plural = "s" if channels != 1 else ""
            raise ValueError(f"rate={rate:.10g} samples/s per channel on {channels} channel{plural} is "
                             f"{rate * channels:.10g} conversions/s, beyond board {index}'s clock: {slowest:.3g} to "
                             f"{fastest:.10g} conversions/s, {slowest / channels:.3g} to {fastest / channels:.10g} "
                             f"samples/s per channel on {channels} channel{plural}")
        block_scans = None if samples is None else -(-int(samples) // channels)
        scans = _chunk_scans(rate, channels, chunk, block_scans)
        self.board = board
        self.channels = channels
        self.units = units
        self.ranges = ranges
        self.on_loss = on_loss
        self.max_backlog_seconds = max_backlog_seconds
        self.started_ns = None
        self.started_utc = None
        self.dropped = 0  # samples per channel dropped unread
        self.discarded_chunks = 0  # chunks a closing stream did not give its callback
        self._discarded_conversions = 0
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
        self._closing = False  # close was asked for: a callback gets nothing more
        self._end_asked = False  # ADC_AcquireEnd was called for this run
        self._closed = False  # the run has ended and its callback returned for the last time
        self._gone = None  # why the library session this stream ran in is gone
        self._session = _library.session
        self._final = None  # the run's status, overruns and short transfers as it ended
        self._failure_raised = False
        self._losses_warned = False
        self._behind_warned = False
        self._lock = threading.Lock()
        self._beyond = np.zeros(channels, dtype=np.int64)
        lib = library()

        if ranges is not None:
            board.set_ranges(ranges)
        board.set_channels(channels)
        self.sample_rate = board.set_conversion_rate(rate * channels) / channels
        self.conversion_rate = self.sample_rate * channels
        rate = self.sample_rate
        self.max_backlog = None if max_backlog_seconds is None else max(1, math.ceil(max_backlog_seconds * rate))
        behind = BEHIND_SECONDS if max_backlog_seconds is None else min(BEHIND_SECONDS, max_backlog_seconds / 2)
        self._behind_ns = int(behind * 1e9)
        self.chunk_bytes = 4 * scans * channels
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
        _owners[(self._session, index)] = self
        _open_streams.add(self)

    @property
    def rate(self):
        """The achieved samples per second per channel: the same as sample_rate."""
        return self.sample_rate

    @property
    def closed(self):
        """True once close() was asked for (from any thread, or the stream's own callback)."""
        return self._closing

    @property
    def discarded(self):
        """Samples per channel a closing stream did not give its callback."""
        return self._discarded_conversions // self.channels

    @property
    def beyond_range(self):
        """Per channel, the readings so far beyond their input range (over 16000 counts)."""
        with self._lock:
            return self._beyond.copy()

    # ---- the library's thread ---------------------------------------------------------------

    def _on_chunk(self, _context, board, sequencer, count, words):
        import numpy as np

        try:
            if count == 0:
                return
            if self._closing and self._user_callback is not None:
                # Once a close is asked for, what is still queued is not wanted: fed to a slow
                # callback it would hold the close (and a Ctrl-C) for as long as it took.
                self.discarded_chunks += 1
                self._discarded_conversions += count
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
                rate = self.sample_rate
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
            rows = raw[:whole].reshape(-1, self.channels)
            beyond = _ranges.beyond_range(rows).sum(axis=0)
            with self._lock:
                self._beyond += beyond
            block = Block(self._convert(rows), (first - carried) // self.channels,
                          sequence, completed, self.started_ns, rate, flags)
            if self._user_callback is not None:
                self._user_callback(block.data)
                # After the call: a warning turned into an error must not cost the callback its data.
                self._check_behind(completed, "callback", "make the callback faster, or give it more at a time "
                                                          "(a larger chunk=)", stacklevel=1)
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

    def _check_behind(self, completed_ns, who, advice, stacklevel):
        """Warns, once, when data is handled this long after the board delivered it."""
        if self._behind_warned or self.started_ns is None:
            return
        lag_ns = _monotonic_ns() - completed_ns
        if lag_ns > self._behind_ns:
            self._behind_warned = True
            warnings.warn(f"board {self.board.index}: the stream's {who} is {lag_ns / 1e9:.2g} s behind the board; "
                          f"{advice}", HalvexWarning, stacklevel=stacklevel)

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

    def _owns_board(self):
        """True while the board's latest run in the library is this stream's."""
        return self._session == _library.session and _owners.get((self._session, self.board.index)) is self

    def _lose_session(self, why):
        if self._gone is None and not self._closed:
            self._gone = why

    def _ended(self, call, have=None, n=None):
        """The error for a stream with nothing more to give."""
        board = f"board {self.board.index}"
        asked = "" if n is None else f"; {have} of the {n} samples per channel asked for were left to read"
        if self._gone is not None:
            return HalvexStreamEnded(call, "session", f"{board}: the stream ended because {self._gone}; a stream "
                                                      f"does not outlive the library session it ran in{asked}")
        if self._closing:
            return HalvexStreamEnded(call, "closed", f"{board}: the stream is closed{asked}")
        return HalvexStreamEnded(call, "ended", f"{board}: the run has ended{asked}")

    def _refuse_if_callback(self, call):
        if self._user_callback is not None:
            raise RuntimeError(f"Stream.{call}: the stream on board {self.board.index} gives its data to its "
                               f"callback=; read(), iteration and blocks() are for a stream without a callback")

    def status(self):
        """The library's status record of this acquisition as a dict (as it ended, once closed)."""
        if self._final is not None:
            return dict(self._final[0])
        if not self._owns_board() or self._gone is not None:
            raise self._ended("Stream.status")
        return self._library_status()

    def _library_status(self):
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
        if self._final is not None:
            return self._final[1]
        if not self._owns_board() or self._gone is not None:
            return 0  # the board's counters belong to another run now
        return self._sim_overruns() - self._overruns_before

    @property
    def short_transfers(self):
        """Transfers of this run that came back with fewer samples than a chunk holds."""
        return self.status()["ShortTransfers"]

    def _run_over(self):
        """True once the run has ended and its callback has returned for the last time; notes a
        session that is gone (the library no longer knows the run)."""
        if self._session != _library.session:
            self._lose_session("the library was restarted")
            return True
        if not self._owns_board():
            return True
        code = library().HX_AcquireWait(self.board.index, 0, 0)
        if code in (ERROR_NOT_READY, ERROR_INVALID_INDEX):
            self._lose_session("the library no longer knows its run (the library was restarted)")
        return code != ERROR_TIMEOUT

    def _raise_failure(self):
        if self._failure_raised or self._gone is not None or (self._final is None and not self._owns_board()):
            return
        status = self.status()
        if status["FailedTransfers"]:
            self._failure_raised = True
            raise HalvexError(status["LastFailure"], "a streaming transfer",
                              f"board {self.board.index}: the run ended after {status['SamplesDelivered']} samples")

    def _loss_message(self, loss, board=True):
        bound = (f"the stream keeps at most {self.max_backlog_seconds:g} s ({self.max_backlog} samples per "
                 f"channel) unread")
        prefix = f"board {self.board.index}: " if board else ""
        return (f"{prefix}{loss.scans} samples per channel were dropped unread, samples {loss.first} to "
                f"{loss.first + loss.scans - 1} since the run started; {bound}: read faster or give a larger "
                f"max_backlog_seconds")

    def _announce(self, loss):
        message = self._loss_message(loss)
        if self.on_loss == "raise":
            raise HalvexDataLost(loss.scans, loss.first, message)
        warnings.warn(message, HalvexWarning, stacklevel=4)

    def _next_block(self, deadline=None, call="__next__"):
        """The next queued Block; None once the run has ended and everything was delivered.
        A loss not yet reported is raised (or warned of) where it sits in the queue."""
        self._refuse_if_callback(call)
        while True:
            self._raise_kept()
            loss = None
            with self._ready:
                if not self._items:
                    self._ready.wait(0.05)
                head = self._items[0] if self._items else None
            if isinstance(head, Block) and not self._behind_warned:
                # Before the block is taken: a warning turned into an error must not lose it.
                self._check_behind(head.completed_ns, "reader", "read more often or more at a time; past "
                                   "max_backlog_seconds the oldest samples are dropped", stacklevel=4)
            with self._ready:
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
            if self._closing or self._gone is not None or self._run_over():
                with self._ready:
                    if self._items:
                        continue
                self._raise_kept()
                if self._gone is not None:
                    raise self._ended(f"Stream.{call}")
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
        """The next array; StopIteration once the run has ended (or the stream was closed) and
        everything was delivered; HalvexStreamEnded once its library session is gone."""
        block = self._next_block()
        if block is None:
            raise StopIteration
        return block.data

    def blocks(self, timeout=None):
        """Iterates over Block objects: each block's samples with its first sample's index, its
        time axis (Block.times()), its chunk's number, flags and completion time, and any gap
        before it. `timeout`: seconds to wait for each block before TimeoutError; None waits
        until the run ends."""
        self._refuse_if_callback("blocks")
        return _Blocks(self, timeout)

    def read(self, n, timeout=None):
        """Exactly n samples per channel from the stream (what is left over stays queued).
        TimeoutError when they have not arrived within `timeout` seconds; what was read then
        stays queued, as it does when a loss is raised. HalvexStreamEnded when the stream ends
        (or was closed) before n were there."""
        import numpy as np

        self._refuse_if_callback("read")
        if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 0:
            raise ValueError(f"n must be a whole number of samples per channel, 0 or more, not {n!r}")
        n = int(n)
        deadline = None if timeout is None else _now() + timeout
        parts, have = [], 0
        try:
            while have < n:
                block = self._next_block(deadline, "read")
                if block is None:
                    break
                parts.append(block)
                have += len(block)
        except BaseException:
            self._put_back(parts)
            raise
        if have < n:
            self._put_back(parts)
            raise self._ended("Stream.read", have, n)
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
            if self._closed:
                return
            if self._session != _library.session:
                self._lose_session("the library was restarted")
            if self._gone is not None:
                raise self._ended("Stream.wait")
            if not self._owns_board():
                return
            code = library().HX_AcquireWait(self.board.index, 0, 100)
            if code == 0:
                return
            if code in (ERROR_NOT_READY, ERROR_INVALID_INDEX):
                self._lose_session("the library no longer knows its run (the library was restarted)")
                continue
            if code != ERROR_TIMEOUT:
                raise HalvexError(code, "HX_AcquireWait", f"board {self.board.index}")
            if deadline is not None and _now() > deadline:
                raise TimeoutError(f"the acquisition on board {self.board.index} did not end within {timeout} s")

    def close(self):
        """Ends the acquisition and waits for its last callback. Raises what a callback raised,
        a failed transfer, and warns of samples lost to an overrun, of transfers that came back
        short, of readings beyond their range and of samples dropped unread that no read has
        reported yet. Called from the stream's own callback it returns at once (the callback
        gets nothing more); a later close() finishes the rest. Calling it again does nothing."""
        self._end()
        if not self._closed:
            return  # from the stream's own callback: it cannot wait for itself
        self._raise_kept()
        self._raise_failure()
        self._warn_of_losses(stacklevel=3)

    def _warn_of_losses(self, stacklevel):
        if self._losses_warned:
            return
        self._losses_warned = True
        problems = []
        if self._final is not None:
            _, lost, short = self._final
            if lost:
                problems.append(f"{lost} samples lost to FIFO overruns")
            if short:
                problems.append(f"{short} transfer{'s' if short != 1 else ''} came back short (fewer samples than a "
                                f"chunk holds; see Block.short)")
        beyond = self.beyond_range
        if beyond.any():
            per_channel = ", ".join(f"channel {c}: {int(k)}" for c, k in enumerate(beyond) if k)
            problems.append(f"{int(beyond.sum())} readings beyond their input range, over "
                            f"{_ranges.FULL_SCALE_COUNTS} counts ({per_channel}): choose a wider range")
        with self._ready:
            unreported = [item for item in self._items if isinstance(item, _Loss) and not item.announced]
            for item in unreported:
                item.announced = True
        problems += [self._loss_message(item, board=False) for item in unreported]
        if problems:
            warnings.warn(f"board {self.board.index}: " + "; ".join(problems), HalvexWarning, stacklevel=stacklevel)

    def _end(self):
        """Ends the run and waits for its last callback. Interrupted (a Ctrl-C during the wait),
        it can be called again and goes on from where it was."""
        if self._closed:
            return
        self._closing = True
        if self._session != _library.session:
            self._lose_session("the library was restarted")
        if self._gone is not None or not self._owns_board():
            # The library ended the run with its session, or the board went on to a newer run:
            # nothing here to end or wait for, and the callback may still be referenced.
            _kept_callbacks.append(self._callback)
            self._finish()
            return
        lib = library()
        index = self.board.index
        if not self._end_asked:
            ended = lib.ADC_AcquireEnd(index, 0)
            if ended == ERROR_INVALID_INDEX:
                self._lose_session("its board is no longer in the library (the library was restarted)")
                return self._end()
            if ended not in (0, ERROR_NOT_READY):
                raise HalvexError(ended, "ADC_AcquireEnd", f"board {index}")
            self._end_asked = True
        while True:
            # Short waits, so that a Ctrl-C is seen at once; the chunks still queued are
            # dropped meanwhile, so only the call in progress is waited for.
            code = lib.HX_AcquireWait(index, 0, 100)
            if code == 0:
                break
            if code == ERROR_BUSY:
                return  # from this stream's own callback: a later close() or the process's end waits
            if code in (ERROR_NOT_READY, ERROR_INVALID_INDEX):
                self._lose_session("the library no longer knows its run (the library was restarted)")
                return self._end()
            if code != ERROR_TIMEOUT:
                raise HalvexError(code, "HX_AcquireWait", f"board {index}")
        status = self._library_status()
        self._final = (status, self._sim_overruns() - self._overruns_before, status["ShortTransfers"])
        if lib.ADC_SetCallback(index, 0, ADC_CALLBACK_NONE, None) == 0:
            self._callback = None
        self._finish()

    def _finish(self):
        self._closed = True
        _open_streams.discard(self)
        if _owners.get((self._session, self.board.index)) is self:
            del _owners[(self._session, self.board.index)]

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None:
            self.close()
        else:
            self._end()  # the exception already leaving the block is the one to see


def _now():
    return time.monotonic()


def _end_all(why):
    """Ends every open stream before the library session they run in goes: each gives what it
    had queued, then raises HalvexStreamEnded saying `why`."""
    for stream in list(_open_streams):
        was_closing = stream._closing
        try:
            stream._end()
        except Exception:
            pass
        if not was_closing:
            stream._gone = why


@dataclass
class Acquisition:
    """What acquire returns: `t` in seconds and `data` of shape (n, channels); unpacks as
    `t, data = board.acquire(...)`. `sample_rate`: the achieved samples per second per channel
    (`rate` is the same; `conversion_rate` over all channels). `started_utc`: when the run
    started (None if no chunk came). `beyond_range`: per channel, readings beyond their range."""

    t: object
    data: object
    sample_rate: float
    channels: int
    units: str
    board: object
    ranges: object = None
    overruns: int = field(default=0)
    started_utc: object = None
    short_transfers: int = 0
    beyond_range: object = None

    @property
    def rate(self):
        return self.sample_rate

    @property
    def conversion_rate(self):
        return self.sample_rate * self.channels

    def __iter__(self):
        return iter((self.t, self.data))


def acquire(board, n, rate, channels=1, units="volts", ranges=None, chunk=None, timeout=None):
    """Exactly n samples per channel at `rate` samples per second per channel, with a time axis
    from 0 (the run's start). A block acquisition: the board stops by itself once enough has
    arrived."""
    import numpy as np

    if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 1:
        raise ValueError(f"n must be a whole number of samples per channel, at least 1, not {n!r}")
    n = int(n)
    rate = _sample_rate(rate)
    channels = _channel_count(channels)
    total = n * channels
    if total > 0xFFFFFFFF:
        raise ValueError(f"n={n} samples on {channels} channels is more than one block holds (4294967295 in all)")
    if chunk is None:
        chunk = min(max(1, round(rate / 10)), n)
    if timeout is None:
        timeout = 2 * n / rate + 10
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
        raise HalvexStreamEnded("acquire", "ended", f"board {board.index}: the block ended after {len(data)} of {n} "
                                                    f"samples per channel")
    return Acquisition(np.arange(n) / stream.sample_rate, data[:n], stream.sample_rate, channels, units, board,
                       ranges, overruns, stream.started_utc, short, stream.beyond_range)


@atexit.register
def _end_open_streams():
    # Before the interpreter shuts down: a library thread must not call into Python after that.
    for stream in list(_open_streams):
        try:
            stream._end()
        except Exception:
            pass
