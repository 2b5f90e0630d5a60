"""Boards: what they are, their analog-input configuration, immediate reads and outputs."""

import ctypes
import math
import warnings

from . import ranges as _ranges
from ._errors import HalvexError, HalvexWarning, check
from ._library import DWORD, HX_BOARD_INFO, WORD, library

ALL = 0xFFFFFFFF
ERROR_BAD_DEV_TYPE = 66
ERROR_INVALID_INDEX = 1413
# The slowest clock divisor the library takes.
MAX_DIVISOR = 0xFFFFFFFF


def version():
    """The library's version as (major, minor, patch)."""
    packed = library().HX_GetVersion()
    return (packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF)


def boards():
    """Every board the library opened, in board-index order."""
    return [Board(index) for index in range(library().BRD_GetHighestBoardIndex() + 1)]


def _board_name(index):
    lib = library()
    length = DWORD()
    if lib.BRD_GetNameW(index, 0, None, ctypes.byref(length)) != 0:
        return None  # no board-name list: the board works without a name
    buffer = (WORD * (length.value + 1))()
    check(lib.BRD_GetNameW(index, len(buffer), buffer, ctypes.byref(length)), "BRD_GetNameW")
    return bytes(buffer)[: 2 * length.value].decode("utf-16-le", errors="replace")


def _channel(channel):
    return ALL if channel is None or channel == "all" else int(channel)


def _positive_number(value, what):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a positive number, not {value!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"{what} must be a positive number, not {value:g}")
    return value


def _warn_beyond(where, raw):
    """Warns of readings beyond their range: the volts look plausible but are not accurate."""
    beyond = _ranges.beyond_range(raw)
    if beyond.any():
        import numpy as np

        values = _ranges.volts(raw)
        shown = ", ".join(f"{where(i)} {values[i]:.4g} V ({_ranges.input_range_name(int(raw[i] >> 16 & 7))} range)"
                          for i in np.flatnonzero(beyond)[:8])
        warnings.warn(f"beyond the input range (over {_ranges.FULL_SCALE_COUNTS} counts): {shown}; choose a wider "
                      f"range", HalvexWarning, stacklevel=3)


class Board:
    """One board, by its library index. The facts are read when the object is made."""

    def __init__(self, index):
        lib = library()
        info = HX_BOARD_INFO()
        info.Size = ctypes.sizeof(info)
        code = lib.HX_GetBoardInfo(index, ctypes.byref(info))
        if code == ERROR_INVALID_INDEX:
            highest = lib.BRD_GetHighestBoardIndex()
            raise HalvexError(code, "HX_GetBoardInfo",
                              f"no board {index}: boards 0-{highest}" if highest >= 0 else f"no board {index}: no boards")
        check(code, "HX_GetBoardInfo", f"board {index}")
        self.index = index
        self.device_id = info.DeviceID
        self.layout = info.Layout
        self.can_stream = bool(info.CanStream)
        self.scan_rows = info.ScanRows
        self.base_clock = info.BaseClock
        self.name = _board_name(index)
        self.library_version = version()

    def __repr__(self):
        streams = "streams" if self.can_stream else "no streaming"
        name = f" {self.name!r}" if self.name else ""
        return f"<Board {self.index}: {self.device_id:04X}{name}, layout {self.layout}, {streams}>"

    def _call(self, function, *arguments, detail=None):
        check(getattr(library(), function)(self.index, *arguments), function,
              detail or f"board {self.index}")

    # ---- analog-input configuration -----------------------------------------------------------

    def set_ranges(self, ranges, sequencer=0):
        """One range for all eight channels, or a list of up to eight (the last one repeats);
        None in a list keeps that channel's range."""
        if isinstance(ranges, (list, tuple)):
            codes = [_ranges.KEEP if r is None else _ranges.input_range(r) for r in ranges][:8]
            array = (DWORD * len(codes))(*codes)
            self._call("ADC_SetRangeAll", sequencer, len(codes), array)
        else:
            self._call("ADC_SetRange1", sequencer, ALL, _ranges.input_range(ranges))

    def set_range(self, channel, range_, sequencer=0):
        self._call("ADC_SetRange1", sequencer, _channel(channel), _ranges.input_range(range_))

    def conversion_rate_limits(self):
        """The slowest and fastest conversion rates the board's clock divides down to."""
        return self.base_clock / MAX_DIVISOR, float(self.base_clock)

    def set_conversion_rate(self, hz, sequencer=0):
        """Sets the conversions per second over all scanned channels; returns the rate the
        board's clock divisor gives."""
        hz = _positive_number(hz, "the conversion rate")
        slowest, fastest = self.conversion_rate_limits()
        if self.base_clock and not slowest <= hz <= fastest:
            raise ValueError(f"a conversion rate of {hz:.10g}/s is beyond board {self.index}'s clock: "
                             f"{slowest:.3g} to {fastest:.10g} conversions per second")
        self._call("ADC_SetRate", sequencer, hz)
        return self.conversion_rate(sequencer)

    def conversion_rate(self, sequencer=0):
        hz = ctypes.c_double()
        self._call("ADC_GetRate", sequencer, ctypes.byref(hz))
        return hz.value

    def set_channels(self, count, sequencer=0):
        """Scans channels 0 to count-1 (in differential mode: count of the inputs 0, 2, 4, 6)."""
        self._call("ADC_SetChannelCount", sequencer, ALL if count == "all" else int(count),
                   detail=f"board {self.index}: channels={count}; a scan covers 1 to 8 channels (1 to 4 in "
                          f"differential mode)")

    def set_differential(self, on):
        self._call("ADC_SetDifferential", 1 if on else 0)

    # ---- immediate reads ----------------------------------------------------------------------

    @staticmethod
    def _range_code(range_):
        return _ranges.KEEP if range_ is None else _ranges.input_range(range_)

    def _read_word(self, function, sequencer, channel, range_, result):
        code = getattr(library(), function)(self.index, sequencer, ctypes.byref(result), channel,
                                            self._range_code(range_))
        if code == ERROR_BAD_DEV_TYPE and self.scan_rows <= int(sequencer) <= 1:
            raise HalvexError(code, function, f"board {self.index} ({self.device_id:04X}, layout {self.layout}): its "
                                              f"scans measure only sequencer 0, not sequencer {sequencer}")
        check(code, function, f"board {self.index}, sequencer {sequencer}, channel {channel}")
        return result.value

    def read(self, sequencer, channel, range=None):
        """One channel in volts (NaN for an empty slot); range None keeps the ranges set.
        Warns (HalvexWarning) of a reading beyond its range."""
        import numpy as np

        word = self._read_word("ADC_GetImmediateRaw", sequencer, channel, range, DWORD())
        raw = np.array([word], dtype=np.uint32)
        _warn_beyond(lambda i: f"board {self.index} sequencer {sequencer} channel {channel}", raw)
        return float(_ranges.volts(raw)[0])

    def read_raw(self, sequencer, channel, range=None):
        """One channel's packed sample."""
        return self._read_word("ADC_GetImmediateRaw", sequencer, channel, range, DWORD())

    def scan(self, range=None):
        """Every input once, in volts: shape (rows, 8), one row per sequencer the board scans,
        NaN in slots without a sample. Warns (HalvexWarning) of readings beyond their range."""
        raw = self.scan_raw(range).ravel()
        _warn_beyond(lambda i: f"board {self.index} sequencer {i // 8} channel {i % 8}", raw)
        return _ranges.volts(raw).reshape(self.scan_rows, 8)

    def scan_raw(self, range=None):
        """As scan, the packed samples (uint32)."""
        import numpy as np

        words = (DWORD * 16)()
        self._call("ADC_GetImmediateScanRaw", words, self._range_code(range))
        return np.array(words[: 8 * self.scan_rows], dtype=np.uint32).reshape(self.scan_rows, 8)

    # ---- analog outputs -----------------------------------------------------------------------

    def set_output_range(self, channel, range_):
        """Range of output channel 0-3, or of all four with channel None."""
        self._call("DAC_SetRange1", _channel(channel), _ranges.output_range(range_))

    def set_output_ranges(self, ranges):
        codes = [_ranges.KEEP if r is None else _ranges.output_range(r) for r in ranges]
        self._call("DAC_SetRangeAll", len(codes), (DWORD * len(codes))(*codes))

    def write(self, channel, volts):
        """Puts volts out on channel 0-3 (or all with None), converted for its range."""
        self._call("DAC_OutputV", _channel(channel), float(volts))

    def write_counts(self, channel, counts):
        if not 0 <= int(counts) <= 0xFFFF:
            raise ValueError(f"output counts are 0 to 65535, not {counts}")
        self._call("DAC_OutputCounts", _channel(channel), int(counts))

    # ---- acquisition ----------------------------------------------------------------------------

    def stream(self, rate, channels=1, chunk=None, units="volts", ranges=None, callback=None,
               max_backlog_seconds=10.0, on_loss="raise"):
        """Starts a stream on sequencer 0 at `rate` samples per second per channel; see
        halvex.stream.Stream."""
        from .stream import Stream

        return Stream(self, rate, channels, chunk, units, ranges, callback,
                      max_backlog_seconds=max_backlog_seconds, on_loss=on_loss)

    def acquire(self, n, rate, channels=1, units="volts", ranges=None, chunk=None, timeout=None):
        """Exactly n samples per channel at `rate` samples per second per channel; see
        halvex.stream.acquire."""
        from .stream import acquire

        return acquire(self, n, rate, channels, units, ranges, chunk, timeout)

    def record(self, path, rate, channels=1, seconds=None, **options):
        """Records a stream at `rate` samples per second per channel to the HDF5 file `path`,
        for `seconds` or until stopped; returns its Summary. See halvex.record.record."""
        from .record import record

        return record(self, path, rate, channels, seconds, **options)


__all__ = ["Board", "boards", "version", "HalvexError"]
