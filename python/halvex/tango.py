"""Halvex boards as devices of a Tango control system (PyTango over the halvex package).

    python3 -m halvex.tango <instance>                          # devices from the Tango database
    python3 -m halvex.tango <instance> -nodb -ORBendPoint giop:tcp:127.0.0.1:45450
                                                                # no database: halvex/board/<index>

Each device of class HalvexBoard drives one board, chosen by its BoardIndex property, or by its
DeviceID property (the first board with that hexadecimal identifier), or else by the number that
ends its name (halvex/board/1 is board 1). Without a database and without -dlist, the server makes
one device per board the library opened, named halvex/board/<index>.

While it streams, the device pushes two events on LastChunk for every chunk: a change event
carrying the chunk itself (volts, one row per channel, time-stamped when its transfer ended), then
a data-ready event whose counter is the chunk's sequence number in the run (0, 1, 2, ...), so that
a client can tell a chunk it missed from one never sent. A refused write or command answers
DevFailed whose reason is the library's code name (ERROR_BUSY, ERROR_INVALID_DATA, ...) and whose
description carries the code, its meaning and what was wrong; nothing on the board changes then.

Everything is read and written per channel as the other tools do: SampleRate is samples per
second per channel (the board converts at SampleRate x Channels); a number is volts, never a range
code.
"""

import ctypes
import functools
import math
import sys
import threading
import time
import warnings

import numpy as np
import tango
from tango import AttrQuality, AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property

from . import ranges as _ranges
from ._errors import HalvexDataLost, HalvexError, HalvexStreamEnded
from ._library import library
from .board import Board, boards
from .record import _board_facts

SERVER = "HalvexBoard"
DOMAIN_FAMILY = "halvex/board"

# The library's codes the device answers with when it refuses a value before the library sees it.
ERROR_INVALID_DATA = 13  # a rate the board's clock cannot give, a value that is not a number
ERROR_INVALID_PARAMETER = 87  # a range that is not one of the board's, a sample count below 1
ERROR_BUSY = 170  # the board is streaming and the command needs it idle
ERROR_INVALID_INDEX = 1413  # a channel count or an output channel out of range
ERROR_NOT_READY = 21  # the device has no board
ERROR_BAD_DEV_TYPE = 66  # the board cannot stream

START_STOP_REGISTER = 56
SINGLE_ENDED_BIT = 1 << 11
STOP_CHANNEL_SHIFT = 12
# A chunk in LastChunk holds at most a transfer's 64 MiB of 32-bit words.
MAX_CHUNK_SAMPLES = 16 << 20
# Unpushed chunks the device keeps when its clients fall behind, in seconds of the stream.
BACKLOG_SECONDS = 5.0
# How often the pushing thread looks whether it is asked to stop.
POLL_SECONDS = 0.1
OUTPUTS = 4


class _Refused(Exception):
    """A value or command the device turns down with one of the library's codes."""

    def __init__(self, code, detail):
        super().__init__(detail)
        self.code = code
        self.detail = detail


def _throw(name, text, detail, origin):
    desc = f"{text}: {detail}" if detail else text
    tango.Except.throw_exception(name, desc.replace("±", "+-"), origin)


def _answers_devfailed(method):
    """Turns the library's errors, and the device's own refusals, into DevFailed whose reason is
    the code's name."""

    @functools.wraps(method)
    def wrapper(self, *arguments):
        try:
            return method(self, *arguments)
        except tango.DevFailed:
            raise
        except _Refused as refused:
            lib = library()
            name = lib.HX_ErrorName(refused.code).decode()
            text = lib.HX_ErrorText(refused.code).decode()
            _throw(name, f"{refused.code} ({name}) {text}", refused.detail, f"HalvexBoard.{method.__name__}")
        except HalvexError as error:
            _throw(error.name or "HALVEX_ERROR", f"{error.code} ({error.name}) {error.text}" if error.code is not None
                   else f"{error.name} {error.text}", str(error), f"HalvexBoard.{method.__name__}")

    return wrapper


class _Run:
    """One stream: the halvex stream, the thread pushing its chunks, and what it has seen."""

    def __init__(self, stream):
        self.stream = stream
        self.stop = threading.Event()
        self.thread = None
        self.samples = 0
        self.chunks = 0
        self.failure = None  # what ended the run by itself


class HalvexBoard(Device):
    """One Halvex board: its analog-input configuration, streams with an event per chunk, block
    acquisitions, immediate scans and analog outputs."""

    BoardIndex = device_property(dtype=int, default_value=-1,
                                 doc="The board's index in the library; -1: by DeviceID, or else the number "
                                     "ending the device's name")
    DeviceID = device_property(dtype=str, default_value="",
                               doc="The board's identifier in hexadecimal (805C): the first board with it, "
                                   "when BoardIndex is -1")

    # ---- life ---------------------------------------------------------------------------------

    def init_device(self):
        super().init_device()
        self._lock = threading.Lock()
        self._run = None
        self._board = None
        self._sample_rate = None  # per channel, as last written; None: as the board has it
        self._chunk = 0  # samples per channel per chunk; 0: about a tenth of a second
        self._output_ranges = ["unknown"] * OUTPUTS
        self._last = np.zeros((1, 0))
        self._sequence = -1
        self._first_sample = -1
        self._completed_ns = 0
        self._dropped = self._overruns = self._short = 0
        self._samples = 0
        self.set_change_event("LastChunk", True, False)
        self.set_data_ready_event("LastChunk", True)
        try:
            self._board = self._find_board()
        except (HalvexError, _Refused) as error:
            self._fault(error)
            return
        self._channels = self._channels_on_board()
        self._idle()

    def delete_device(self):
        self._end_run()

    def _find_board(self):
        if self.BoardIndex >= 0:
            return Board(self.BoardIndex)
        if self.DeviceID:
            try:
                wanted = int(self.DeviceID, 16)
            except ValueError:
                raise _Refused(ERROR_INVALID_PARAMETER, f"DeviceID {self.DeviceID!r} is not a hexadecimal "
                                                        f"identifier") from None
            for board in boards():
                if board.device_id == wanted:
                    return board
            raise _Refused(ERROR_NOT_READY, f"no board has the identifier {wanted:04X}")
        member = self.get_name().rsplit("/", 1)[-1]
        if member.isdigit():
            return Board(int(member))
        raise _Refused(ERROR_NOT_READY, f"{self.get_name()}: set the BoardIndex or DeviceID property, or end "
                                        f"the device's name with the board's index")

    def _channels_on_board(self):
        """The channel count sequencer 0 scans, from its start/stop register (no library call
        reads it back); 1 on a board that cannot stream."""
        if not self._board.can_stream:
            return 1
        word = library().PIO_In32(self._board.index, START_STOP_REGISTER)
        stop = (word >> STOP_CHANNEL_SHIFT) & 7
        return stop // 2 + 1 if not word & SINGLE_ENDED_BIT else stop + 1

    def _idle(self):
        self.set_state(DevState.ON)
        board = self._board
        self.set_status(f"board {board.index} ({board.device_id:04X}{', ' + board.name if board.name else ''}) "
                        f"is idle")

    def _fault(self, error):
        if isinstance(error, _Refused):
            lib = library()
            name, text, detail = lib.HX_ErrorName(error.code).decode(), lib.HX_ErrorText(error.code).decode(), \
                error.detail
        else:
            name, text, detail = error.name, error.text, str(error)
        self.set_state(DevState.FAULT)
        self.set_status(f"{name}: {text} ({detail})")

    def _need_board(self):
        if self._board is None:
            raise _Refused(ERROR_NOT_READY, f"{self.get_name()} has no board: {self.get_status()}")
        return self._board

    def _need_idle(self, what):
        board = self._need_board()
        self._settle()
        if self._run is not None:
            raise _Refused(ERROR_BUSY, f"{what} needs an idle board; board {board.index} is streaming: Stop first")
        return board

    # ---- configuration ------------------------------------------------------------------------

    def _checked_rate(self, per_channel, channels):
        board = self._board
        if not isinstance(per_channel, (int, float)) or not math.isfinite(per_channel) or per_channel <= 0:
            raise _Refused(ERROR_INVALID_DATA, f"SampleRate {per_channel!r}: a positive number of samples per "
                                               f"second per channel")
        slowest, fastest = board.conversion_rate_limits()
        if board.base_clock and not slowest <= per_channel * channels <= fastest:
            raise _Refused(ERROR_INVALID_DATA, f"SampleRate {per_channel:.10g} on {channels} channel(s) is "
                                               f"{per_channel * channels:.10g} conversions/s; board {board.index}'s "
                                               f"clock gives {slowest:.3g} to {fastest:.10g} conversions/s, "
                                               f"{slowest / channels:.3g} to {fastest / channels:.10g} per channel")
        return per_channel * channels

    @attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="Hz", format="%.10g",
               doc="Samples per second per channel: written as wanted, read back as the board's clock divisor "
                   "gives it (the board converts at SampleRate x Channels)")
    @_answers_devfailed
    def SampleRate(self):
        return self._need_board().conversion_rate() / self._channels

    @SampleRate.write
    @_answers_devfailed
    def SampleRate(self, value):
        board = self._need_idle("writing SampleRate")
        board.set_conversion_rate(self._checked_rate(value, self._channels))
        self._sample_rate = value

    @attribute(dtype=float, unit="Hz", format="%.10g",
               doc="Conversions per second over all scanned channels, as the board's clock gives them")
    @_answers_devfailed
    def ConversionRate(self):
        return self._need_board().conversion_rate()

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE,
               doc="Channels scanned, 0 to Channels-1 (1 to 8; 1 to 4 in differential mode). SampleRate per "
                   "channel stays as written")
    @_answers_devfailed
    def Channels(self):
        self._need_board()
        return self._channels

    @Channels.write
    @_answers_devfailed
    def Channels(self, value):
        board = self._need_idle("writing Channels")
        differential, _ = _board_facts(board)
        most = 4 if differential else 8
        if not 1 <= value <= most:
            raise _Refused(ERROR_INVALID_INDEX, f"Channels {value}: a scan covers 1 to {most} channels"
                                                f"{' in differential mode' if differential else ''}")
        conversion = None
        if self._sample_rate is not None:
            conversion = self._checked_rate(self._sample_rate, value)
        else:
            per_channel = board.conversion_rate() / self._channels
            if per_channel > 0:
                conversion = self._checked_rate(per_channel, value)
        board.set_channels(value)
        self._channels = value
        if conversion is not None:
            board.set_conversion_rate(conversion)

    @attribute(dtype=(str,), max_dim_x=8, access=AttrWriteType.READ_WRITE,
               doc="Input range of each of the eight channels of sequencer 0 (12V, 10V, 5V, 2.5V, 1.25V, "
                   "0.625V, 0.3125V, all bipolar: 5V is -5 V to +5 V). Write one range for all, or up to eight "
                   "(the last repeats)")
    @_answers_devfailed
    def InputRanges(self):
        _, codes = _board_facts(self._need_board())
        if codes is None:
            return []
        return [f"{_ranges.INPUT_RANGES[c][1]:g}V" if c in _ranges.INPUT_RANGES else f"code{c}" for c in codes]

    @InputRanges.write
    @_answers_devfailed
    def InputRanges(self, values):
        board = self._need_idle("writing InputRanges")
        try:
            codes = [_ranges.input_range(v) for v in values]
        except ValueError as error:
            raise _Refused(ERROR_INVALID_PARAMETER, str(error)) from None
        if not codes:
            raise _Refused(ERROR_INVALID_PARAMETER, "InputRanges: give one range, or up to eight")
        board.set_ranges([_ranges.Code(c) for c in codes])

    @attribute(dtype=bool, access=AttrWriteType.READ_WRITE,
               doc="Differential mode: the inputs pair up (0-1, 2-3, ...), and a scan covers 1 to 4 channels")
    @_answers_devfailed
    def Differential(self):
        differential, _ = _board_facts(self._need_board())
        return bool(differential)

    @Differential.write
    @_answers_devfailed
    def Differential(self, on):
        board = self._need_idle("writing Differential")
        if on and self._channels > 4:
            raise _Refused(ERROR_INVALID_INDEX, f"differential mode scans 1 to 4 channels, and Channels is "
                                                f"{self._channels}: write Channels first")
        board.set_differential(on)
        if board.can_stream:
            board.set_channels(self._channels)  # the stop channel's meaning changes with the mode

    @attribute(dtype=(str,), max_dim_x=OUTPUTS, access=AttrWriteType.READ_WRITE,
               doc="Range of each analog output (0-5V, 0-10V, and 5V, 10V, 2.5V, which are bipolar), as "
                   "this device last set it ('unknown' before). Write one for all four, or four ('' keeps one)")
    @_answers_devfailed
    def OutputRanges(self):
        self._need_board()
        return list(self._output_ranges)

    @OutputRanges.write
    @_answers_devfailed
    def OutputRanges(self, values):
        board = self._need_board()
        if len(values) not in (1, OUTPUTS):
            raise _Refused(ERROR_INVALID_PARAMETER, "OutputRanges: one range for all four outputs, or four")
        try:
            codes = [None if v == "" else _ranges.output_range(v) for v in values]
        except ValueError as error:
            raise _Refused(ERROR_INVALID_PARAMETER, str(error)) from None
        if len(codes) == 1:
            board.set_output_range(None, _ranges.Code(codes[0]))
            codes = codes * OUTPUTS
        else:
            board.set_output_ranges([None if c is None else _ranges.Code(c) for c in codes])
        for channel, code in enumerate(codes):
            if code is not None:
                _, low, high = _ranges.OUTPUT_RANGES[code]
                self._output_ranges[channel] = f"{low:g}-{high:g}V" if low == 0 else f"{high:g}V"

    @attribute(dtype=int, access=AttrWriteType.READ_WRITE, min_value=0,
               doc="Samples per channel in one chunk of a stream; 0: about a tenth of a second")
    @_answers_devfailed
    def ChunkSize(self):
        return self._chunk

    @ChunkSize.write
    @_answers_devfailed
    def ChunkSize(self, value):
        self._need_idle("writing ChunkSize")
        if not 0 <= value * self._channels <= MAX_CHUNK_SAMPLES:
            raise _Refused(ERROR_INVALID_PARAMETER, f"ChunkSize {value}: 0 (about a tenth of a second) to "
                                                    f"{MAX_CHUNK_SAMPLES // self._channels} samples per channel")
        self._chunk = value

    # ---- the latest chunk, and the run's counts -------------------------------------------------

    @attribute(dtype=((float,),), max_dim_x=MAX_CHUNK_SAMPLES, max_dim_y=8, unit="V",
               doc="The latest chunk of the stream in volts: one row per channel, one column per sample "
                   "(NaN where a word held no sample)")
    def LastChunk(self):
        with self._lock:
            return self._last

    @attribute(dtype="int64", doc="Sequence number in the run of the chunk in LastChunk (0, 1, 2, ...); -1 "
                                   "before the first")
    def ChunkSequence(self):
        return self._sequence

    @attribute(dtype="int64", doc="Index of LastChunk's first column since the run started, per channel")
    def ChunkFirstSample(self):
        return self._first_sample

    @attribute(dtype="int64", unit="ns",
               doc="When LastChunk's transfer ended, on the library's monotonic clock (CLOCK_MONOTONIC)")
    def ChunkCompletedNs(self):
        return self._completed_ns

    @attribute(dtype="int64", doc="Samples per channel the current (or last) run has delivered")
    def SamplesAcquired(self):
        self._update_counts()
        return self._samples

    @attribute(dtype="int64", doc="Samples per channel the device dropped because its clients fell more than "
                                   "a few seconds behind (their chunks' sequence numbers are missing)")
    def SamplesDropped(self):
        self._update_counts()
        return self._dropped

    @attribute(dtype="int64", doc="Samples the board lost to FIFO overruns in the current (or last) run")
    def Overruns(self):
        self._update_counts()
        return self._overruns

    @attribute(dtype="int64", doc="Transfers of the current (or last) run that came back short")
    def ShortTransfers(self):
        self._update_counts()
        return self._short

    def _update_counts(self, dropped=True):
        run = self._run
        if run is None:
            return
        self._samples = run.samples
        if dropped:
            self._dropped = run.stream.dropped
        try:
            self._overruns = run.stream.overruns
            self._short = run.stream.short_transfers
        except HalvexError:
            pass  # the run's session is gone: the last counts stand

    # ---- commands -----------------------------------------------------------------------------

    @command(doc_in="Starts a stream at SampleRate on Channels channels; an event on LastChunk per chunk")
    @_answers_devfailed
    def Start(self):
        board = self._need_idle("Start")
        if not board.can_stream:
            able = ", ".join(str(b.index) for b in boards() if b.can_stream) or "none"
            raise _Refused(ERROR_BAD_DEV_TYPE, f"board {board.index} ({board.device_id:04X}) cannot stream: its "
                                               f"start/stop registers are 16-bit; boards that can: {able}")
        per_channel = board.conversion_rate() / self._channels
        if self._sample_rate is not None:
            per_channel = self._sample_rate
        if per_channel <= 0:
            raise _Refused(ERROR_INVALID_DATA, f"board {board.index}'s conversion clock is stopped: write SampleRate "
                                               f"first")
        self._checked_rate(per_channel, self._channels)
        try:
            stream = board.stream(rate=per_channel, channels=self._channels, chunk=self._chunk or None,
                                  max_backlog_seconds=BACKLOG_SECONDS)
        except ValueError as error:
            raise _Refused(ERROR_INVALID_PARAMETER, str(error)) from None
        run = _Run(stream)
        with self._lock:
            self._last = np.zeros((self._channels, 0))
            self._sequence, self._first_sample, self._completed_ns = -1, -1, 0
        self._samples = self._dropped = self._overruns = self._short = 0
        run.thread = threading.Thread(target=self._push_chunks, args=(run,), name=f"halvex-tango-{board.index}",
                                      daemon=True)
        self._run = run
        run.thread.start()
        self.set_state(DevState.RUNNING)
        self.set_status(f"board {board.index} streams {self._channels} channel(s) at "
                        f"{stream.sample_rate:.10g} samples/s per channel")

    @command(doc_in="Stops the stream; LastChunk keeps its last chunk")
    @_answers_devfailed
    def Stop(self):
        self._need_board()
        if self._run is None:
            return
        failure = self._end_run()
        if failure is not None:
            self._fault(failure)
        else:
            self._idle()

    @command(dtype_in=int, doc_in="Samples per channel",
             dtype_out=(float,), doc_out="Exactly N samples per channel in volts, channel after channel: reshape "
                                         "to (Channels, N)")
    @_answers_devfailed
    def AcquireBlock(self, n):
        board = self._need_idle("AcquireBlock")
        if n < 1:
            raise _Refused(ERROR_INVALID_PARAMETER, f"AcquireBlock {n}: at least one sample per channel")
        per_channel = self._sample_rate or board.conversion_rate() / self._channels
        self._checked_rate(per_channel, self._channels)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                _, volts = board.acquire(n, rate=per_channel, channels=self._channels)
            except ValueError as error:
                raise _Refused(ERROR_INVALID_PARAMETER, str(error)) from None
        return np.ascontiguousarray(volts.T).ravel()

    @command(dtype_out=(float,), doc_out="Every input once in volts, eight per sequencer the board scans (NaN "
                                         "where no sample); the stream's configuration is kept")
    @_answers_devfailed
    def ReadScan(self):
        board = self._need_idle("ReadScan")
        conversion = board.conversion_rate()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                volts = board.scan()
            finally:
                # The scan stops sequencer 0's clock and rewrites its channel setup on boards that
                # take 32-bit commands: the configuration clients set is put back.
                if board.can_stream:
                    board.set_channels(self._channels)
                    if conversion > 0:
                        board.set_conversion_rate(conversion)
        return volts.ravel()

    @command(dtype_in=(float,), doc_in="[output, volts]: puts volts out on output 0-3, for its range")
    @_answers_devfailed
    def SetOutput(self, values):
        board = self._need_board()
        if len(values) != 2 or not float(values[0]).is_integer() or not 0 <= values[0] < OUTPUTS:
            raise _Refused(ERROR_INVALID_INDEX, f"SetOutput {list(values)}: give [output 0-3, volts]")
        if not math.isfinite(values[1]):
            raise _Refused(ERROR_INVALID_DATA, f"SetOutput: {values[1]} is not a number of volts")
        board.write(int(values[0]), values[1])

    @command(doc_in="Stops any stream and resets the board; the state goes back to ON")
    @_answers_devfailed
    def Reset(self):
        if self._board is None:
            self.init_device()
            return
        self._end_run()
        library().BRD_Reset.argtypes = [ctypes.c_uint64]
        library().BRD_Reset.restype = ctypes.c_uint32
        code = library().BRD_Reset(self._board.index)
        if code != 0:
            error = HalvexError(code, "BRD_Reset", f"board {self._board.index}")
            self._fault(error)
            raise error
        self._channels = self._channels_on_board()
        self._sample_rate = None
        self._output_ranges = ["unknown"] * OUTPUTS
        self._idle()

    # ---- the stream -----------------------------------------------------------------------------

    def _push_chunks(self, run):
        """Pushes every block of the stream as events, until the run ends or is asked to stop."""
        with tango.EnsureOmniThread():  # a thread of its own may then take the device's monitor
            blocks = run.stream.blocks(timeout=POLL_SECONDS)
            while not run.stop.is_set():
                try:
                    block = next(blocks)
                except TimeoutError:
                    continue
                except HalvexDataLost:
                    continue  # the next block's sequence number shows the gap; SamplesDropped counts it
                except StopIteration:
                    return
                except HalvexError as error:  # a failed transfer, a library session gone
                    run.failure = error
                    return
                except Exception as error:  # noqa: BLE001  (the thread must end, and say why)
                    run.failure = HalvexStreamEnded("HalvexBoard", "failed", f"the stream failed: {error!r}")
                    return
                # Under the device's monitor, as every push is: once Stop has asked for the end,
                # nothing more goes out.
                with tango.AutoTangoMonitor(self):
                    if run.stop.is_set():
                        return
                    self._publish(run, block)

    def _publish(self, run, block):
        volts = np.ascontiguousarray(block.data.T)
        started = run.stream.started_utc
        when = time.time()
        if started is not None and block.started_ns is not None:
            when = started.timestamp() + (block.completed_ns - block.started_ns) / 1e9
        with self._lock:
            self._last = volts
            self._sequence = block.sequence
            self._first_sample = block.first_sample
            self._completed_ns = block.completed_ns
        run.samples = block.first_sample + len(block)
        run.chunks += 1
        try:
            self.push_change_event("LastChunk", volts, when, AttrQuality.ATTR_VALID, volts.shape[1], volts.shape[0])
            self.push_data_ready_event("LastChunk", block.sequence & 0x7FFFFFFF)
        except tango.DevFailed:
            pass  # no client to take it now; the next chunk goes out as usual

    def _end_run(self):
        """Stops the pushing thread and the stream (called under the device's monitor); returns the
        failure that ended the run, if any."""
        run = self._run
        if run is None:
            return None
        run.stop.set()
        if run.thread.is_alive():
            # The pushing thread needs the monitor for its last push: let it have it meanwhile.
            with tango.AutoTangoAllowThreads(self):
                run.thread.join()
        failure = run.failure
        # What the stream drops from here on is what arrives while it ends, never to be pushed:
        # not a drop of the run's.
        self._update_counts()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                run.stream.close()
            except HalvexError as error:
                failure = failure or error
        self._update_counts(dropped=False)
        self._run = None
        return failure

    def _settle(self):
        """Takes down a run that ended by itself (a failed transfer, the board gone): FAULT with
        the library's error, or ON."""
        run = self._run
        if run is not None and not run.thread.is_alive():
            failure = self._end_run()
            if failure is not None:
                self._fault(failure)
            else:
                self._idle()

    def dev_state(self):
        self._settle()
        return super().dev_state()

    def dev_status(self):
        self._settle()
        return super().dev_status()


def _default_device_list(argv):
    """For -nodb without -dlist: one device per board, halvex/board/<index>."""
    if "-nodb" not in argv or "-dlist" in argv:
        return argv
    names = [f"{DOMAIN_FAMILY}/{board.index}" for board in boards()]
    return argv + ["-dlist", ",".join(names)] if names else argv


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv or argv[0] in ("-h", "--help"):
        print("usage: python3 -m halvex.tango INSTANCE [-nodb -ORBendPoint giop:tcp:HOST:PORT [-dlist NAMES]] "
              "[Tango options]\n"
              "  with a Tango database, the devices of server HalvexBoard/INSTANCE (class HalvexBoard)\n"
              "  with -nodb, one device per board, halvex/board/<index>, unless -dlist names them")
        return 0 if argv else 2
    from tango.server import run

    return run((HalvexBoard,), args=[SERVER] + _default_device_list(argv))


if __name__ == "__main__":
    sys.exit(main())
