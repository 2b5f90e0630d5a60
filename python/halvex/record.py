"""Recording streams to HDF5 files that survive the recorder's crash, and reading them back.

    summary = board.record("run.h5", rate=100_000, channels=2, seconds=60)
    with halvex.open_recording("run.h5") as run:
        t, volts = run.times(), run.volts()          # shape (samples,), (samples, channels)

The file is written in HDF5's single-writer/multiple-reader (SWMR) mode and flushed (and
fsync'd) every `flush_interval` seconds, so a reader can follow it while it grows and a
recorder that dies leaves a file holding everything up to its last flush. The layout, which
needs nothing of Halvex to read, is described in the README ("Recording to HDF5").

Why the file stays readable when the disk fills: HDF5 that fails to write part way through a
flush is left in a state where even closing the file crashes the process, so the recorder
never lets it reach that point. Before a block goes to HDF5, the space it (and the metadata
after it) can take is reserved with posix_fallocate; a reservation that fails ends the
recording there, and the file is closed cleanly inside the space already reserved. A clean
close gives back what was reserved and not used.

Why the chunk table is written only at a flush, after the samples it describes: the samples'
extent may reach the disk between flushes (HDF5 evicts metadata when it likes), but a table
row only exists once its samples are on disk, so the table is what a reader trusts.
"""

import dataclasses
import datetime
import math
import os
import socket
import struct
import sys
import time
import warnings
from pathlib import Path

from . import ranges as _ranges

FORMAT = "halvex-recording"
FORMAT_VERSION = 1
UNITS = ("counts", "volts")
COMPRESSION = (None, "gzip", "lzf")
DEFAULT_FLUSH_INTERVAL = 0.5
# What HDF5 may add besides samples between two reservations: chunk index, object headers,
# the table rows of a flush. Generous, so a reservation never falls short.
METADATA_ALLOWANCE = 1 << 20
# Reserve this much beyond the next block at once: one fallocate a second or so, not one a block.
RESERVE_AHEAD = 16 << 20
CHUNK_BYTES = 256 << 10
CHUNK_INFO_DTYPE = [("sequence", "<u8"), ("first_sample", "<u8"), ("count", "<u4"), ("completed_ns", "<u8"),
                    ("flags", "<u4")]
IRREGULAR_DTYPE = [("row", "<u8"), ("channel", "<u2"), ("word", "<u4")]
NO_SAMPLE = 0x80000000
# The start/stop and range registers of sequencer 0 on the boards that stream (32-bit
# start/stop): no library call reads back the mode or the ranges, so the registers are read.
START_STOP_REGISTER = 56
RANGE_REGISTER = 24
SINGLE_ENDED_BIT = 1 << 11
READ_FAILED = 0xAA55AA55
# Space errors: the disk (or a quota, or the process's file size limit) refuses to grow the file.
SPACE_ERRORS = {28, 27, 122}  # ENOSPC, EFBIG, EDQUOT


def _h5py():
    try:
        import h5py
    except ImportError as missing:
        raise ImportError(f"recording needs h5py, which this Python ({sys.executable}) cannot import ({missing}): "
                          f"install the Debian package python3-h5py (apt install python3-h5py) or the pip "
                          f"package h5py") from None
    return h5py


class RecordingError(OSError):
    """The recording stopped because its file could not be written (a full disk, a file size
    limit, a part that could not be created). What was written before is in the files, which
    open normally; `summary` says how much."""

    def __init__(self, errno, message, summary=None):
        super().__init__(errno, message)
        self.summary = summary

    def __str__(self):
        return self.strerror


@dataclasses.dataclass
class Summary:
    """What a recording holds. Samples are per channel.

    samples         rows recorded (flushed is how many of them are on disk so far)
    seconds         samples / sample_rate
    dropped         samples per channel missing between blocks (the stream dropped them unread)
    overruns        samples the board lost to FIFO overruns (simulated boards; known at the end)
    short_transfers transfers that came back short (their samples are all recorded)
    no_sample       words without a sample (NaN in volts(); listed in the file's `irregular`)
    """

    path: Path
    files: list
    channels: int
    sample_rate: float
    samples: int = 0
    flushed: int = 0
    dropped: int = 0
    overruns: int = 0
    short_transfers: int = 0
    no_sample: int = 0
    elapsed: float = 0.0
    bytes: int = 0
    complete: bool = False

    @property
    def seconds(self):
        return self.samples / self.sample_rate if self.sample_rate else 0.0

    @property
    def lost(self):
        """Samples per channel the recording does not hold that the run produced."""
        return self.dropped + self.overruns

    @property
    def ok(self):
        return self.lost == 0 and self.no_sample == 0

    def __str__(self):
        where = str(self.files[0]) if len(self.files) == 1 else f"{len(self.files)} files {self.files[0]} .. {self.files[-1]}"
        losses = [f"{self.dropped} dropped", f"{self.overruns} overrun"]
        if self.short_transfers:
            losses.append(f"{self.short_transfers} short transfers")
        if self.no_sample:
            losses.append(f"{self.no_sample} words without a sample")
        return (f"{where}: {self.samples} samples x {self.channels} channels, {self.seconds:.3f} s at "
                f"{self.sample_rate:g} samples/s per channel, {_size(self.bytes)} on disk, "
                f"{self.samples * self.channels / max(self.elapsed, 1e-9) / 1e6:.2f} MS/s; lost: {', '.join(losses)}")


def _size(n):
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024


def part_path(path, part):
    """The file of part `part` (0, 1, ...) of a recording that rolls over: run.h5 -> run_0000.h5."""
    path = Path(path)
    return path.with_name(f"{path.stem}_{part:04d}{path.suffix}")


def _parts(path):
    """The part files of a recording named `path`, in order (stopping at the first missing)."""
    found, part = [], 0
    while part_path(path, part).exists():
        found.append(part_path(path, part))
        part += 1
    return found


def _check_target(path, overwrite, rolls):
    """Refuses a file that cannot be written before anything starts, naming why."""
    path = Path(path)
    folder = path.parent if str(path.parent) else Path(".")
    if not folder.exists():
        raise FileNotFoundError(2, f"cannot record to {path}: the folder {folder} does not exist")
    if not folder.is_dir():
        raise NotADirectoryError(20, f"cannot record to {path}: {folder} is not a folder")
    targets = [part_path(path, 0)] + _parts(path)[1:] if rolls else [path]
    for target in targets:
        if target.is_dir():
            raise IsADirectoryError(21, f"cannot record to {target}: it is a folder")
        if target.exists() and not overwrite:
            raise FileExistsError(17, f"cannot record to {target}: the file exists (overwrite=True, or --overwrite, "
                                      f"replaces it)")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(13, f"cannot record to {path}: the folder {folder} is not writable")


def _trim(path):
    """Gives back space reserved past the end HDF5 recorded in the superblock (versions 2 and 3,
    which every file written with libver="latest" has)."""
    try:
        with open(path, "rb+") as file:
            head = file.read(48)
            if len(head) < 36 or head[:8] != b"\x89HDF\r\n\x1a\n" or head[8] not in (2, 3) or head[9] != 8:
                return
            base, end = struct.unpack_from("<Q", head, 12)[0], struct.unpack_from("<Q", head, 28)[0]
            size = os.fstat(file.fileno()).st_size
            if base == 0 and 0 < end < size:
                file.truncate(end)
    except OSError:
        pass  # the file is whole either way; it only keeps its reserve


def _iso(dt):
    return dt.astimezone(datetime.timezone.utc).isoformat(timespec="microseconds").replace("+00:00", "Z")


def _board_facts(board):
    """Differential mode and the range code per channel, from sequencer 0's registers (None where
    the board could not be read)."""
    from ._library import library

    lib = library()
    start_stop = lib.PIO_In32(board.index, START_STOP_REGISTER)
    range_word = lib.PIO_In32(board.index, RANGE_REGISTER)
    differential = None if start_stop == READ_FAILED else not start_stop & SINGLE_ENDED_BIT
    codes = None if range_word == READ_FAILED else [(range_word >> (4 * c)) & 0xF for c in range(8)]
    return differential, codes


class _Part:
    """One open file of a recording."""

    def __init__(self, path, overwrite, h5py):
        self.path = Path(path)
        try:
            self.file = h5py.File(self.path, "w" if overwrite else "w-", libver="latest",
                                  rdcc_nbytes=16 * CHUNK_BYTES, rdcc_nslots=1009)
        except FileExistsError:
            raise FileExistsError(17, f"cannot record to {self.path}: the file exists (overwrite=True, or --overwrite, "
                                      f"replaces it)") from None
        except OSError as error:
            raise OSError(error.errno, f"cannot create {self.path}: {error}") from None
        self.fd = None
        self.reserved = 0
        self.reserving = True
        self.samples = self.table = self.irregular = None
        self.rows = 0  # rows written
        self.flushed_rows = 0
        self.unflushed_bytes = 0
        self.pending_chunks = []
        self.pending_irregular = []
        self.table_rows = 0
        self.irregular_rows = 0

    def reserve(self, more):
        """Makes sure the file can grow by `more` bytes (and HDF5's metadata) without a write
        failing. Raises OSError with a space errno when the disk will not give it."""
        if not self.reserving:
            return
        # HDF5 places chunks in the file only when they leave its cache (at a flush, mostly):
        # the samples written since the last flush are not in its size yet.
        used = self.file.id.get_filesize() + self.unflushed_bytes
        need = used + more + METADATA_ALLOWANCE
        if need <= self.reserved:
            return
        if self.fd is None:
            self.fd = os.open(self.path, os.O_WRONLY)
        for size in (need + RESERVE_AHEAD, need):
            try:
                os.posix_fallocate(self.fd, 0, size)
                self.reserved = size
                return
            except OSError as error:
                if error.errno not in SPACE_ERRORS:
                    # A file system that cannot reserve: write without (a full disk there is
                    # still reported, though the file may then need h5clear).
                    self.reserving = False
                    return
                failure = error
        raise failure

    def close(self):
        try:
            self.file.close()
        finally:
            if self.fd is not None:
                os.close(self.fd)
                self.fd = None
        _trim(self.path)


class Recorder:
    """Writes the blocks of a stream to an HDF5 file (or numbered files, rolling over).

        with board.stream(rate=10_000, channels=2, units="raw") as stream, \\
             halvex.Recorder("run.h5", stream) as recorder:
            for block in stream.blocks():
                recorder.write(block)          # and look at block.data as it comes
                if recorder.samples >= 100_000:
                    break

    The stream may give volts, counts or raw words; the file holds counts (units="volts": volts
    as float64) with each channel's range and volts per count. Give write() every block, in
    order: a block that does not follow on from the last (samples dropped by the stream) is
    recorded with the gap in the chunk table and counted in `dropped`.

    compression       None, "gzip" (or ("gzip", level)) or "lzf"
    rollover_bytes    start a new file when this many bytes of samples are in one (before
                      compression); rollover_seconds: after this many seconds of samples.
                      Files are then PATH_0000.h5, PATH_0001.h5, ...; a block is split at the
                      boundary, so every sample is in exactly one file.
    flush_interval    seconds between flushes (and fsyncs): at most this much (plus the block
                      under way) is lost if the recorder dies. write() and tick() flush when due.
    progress          called with the Summary after every flush
    """

    def __init__(self, path, stream, units="counts", compression=None, rollover_bytes=None, rollover_seconds=None,
                 overwrite=False, flush_interval=DEFAULT_FLUSH_INTERVAL, fsync=True, progress=None, _first=None):
        h5py = _h5py()
        if units not in UNITS:
            raise ValueError(f"units are one of {', '.join(UNITS)}, not {units!r}")
        level = None
        if isinstance(compression, (tuple, list)):
            compression, level = compression
        if compression not in COMPRESSION:
            raise ValueError(f"compression is None, 'gzip' or 'lzf', not {compression!r}")
        flush_interval = float(flush_interval)
        if not 0 < flush_interval <= 60:
            raise ValueError(f"flush_interval is a number of seconds above 0, at most 60, not {flush_interval:g}")
        for name, value in (("rollover_bytes", rollover_bytes), ("rollover_seconds", rollover_seconds)):
            if value is not None and not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise ValueError(f"{name} must be a positive number or None, not {value!r}")
        self._h5py = h5py
        self.path = Path(path)
        self.stream = stream
        self.units = units
        self.channels = stream.channels
        self.sample_rate = stream.sample_rate
        self.compression = compression
        self.compression_level = level
        self.flush_interval = flush_interval
        self.fsync = fsync
        self.progress = progress
        self.overwrite = overwrite
        itemsize = 2 if units == "counts" else 8
        row_bytes = itemsize * self.channels
        limits = []
        if rollover_bytes is not None:
            limits.append(int(rollover_bytes) // row_bytes)
        if rollover_seconds is not None:
            limits.append(int(round(rollover_seconds * self.sample_rate)))
        self.rows_per_file = max(1, min(limits)) if limits else None
        self._row_bytes = row_bytes
        self._dtype = "<i2" if units == "counts" else "<f8"
        self._chunk_rows = max(1, min(CHUNK_BYTES // row_bytes, max(4096, int(self.sample_rate))))
        if _first is None:
            _check_target(self.path, overwrite, self.rows_per_file is not None)
            _first = _Part(self._part_name(0), overwrite, h5py)
        self._part = _first
        self._part_index = 0
        self._files = [self._part.path]
        self._next = None  # the sample index the next block should start at
        self._codes = None  # range code per channel
        self._board = stream.board
        self._differential, self._register_codes = _board_facts(stream.board)
        self._started = time.monotonic()
        self._last_flush = self._started
        self._failed = None
        self._closed = False
        self.summary = Summary(self.path, self._files, self.channels, self.sample_rate)

    # ---- properties -------------------------------------------------------------------------

    @property
    def samples(self):
        """Samples per channel recorded so far."""
        return self.summary.samples

    @property
    def files(self):
        return list(self._files)

    def _part_name(self, index):
        return part_path(self.path, index) if self.rows_per_file is not None else self.path

    # ---- writing ----------------------------------------------------------------------------

    def write(self, block):
        """Records a Block of the stream (from stream.blocks()); flushes when one is due."""
        self._usable()
        if len(block) == 0:
            return
        if block.data.ndim != 2 or block.data.shape[1] != self.channels:
            raise ValueError(f"a block of shape {block.data.shape} is not one of this recording's {self.channels} "
                             f"channels")
        if self._next is not None:
            gap = block.first_sample - self._next
            if gap < 0:
                raise ValueError(f"the block starting at sample {block.first_sample} repeats samples already "
                                 f"recorded (up to {self._next - 1}): give write() each block once, in order")
            self.summary.dropped += gap
        counts, irregular = self._samples_of(block)
        if block.short:
            self.summary.short_transfers += 1
        self._next = block.first_sample + len(block)
        done = 0
        while done < len(block):
            if self._part.samples is None:
                self._start_part(block, block.first_sample + done)
            room = len(block) - done
            if self.rows_per_file is not None:
                room = min(room, self.rows_per_file - self._part.rows)
            self._append(block, counts, irregular, done, done + room)
            done += room
            if self.rows_per_file is not None and self._part.rows >= self.rows_per_file and done < len(block):
                self._roll()
        if self.rows_per_file is not None and self._part.rows >= self.rows_per_file:
            self._roll()  # a boundary that falls at the block's end: the next part starts with the next block
        self.tick()

    def _samples_of(self, block):
        """The block as the file stores it, and the words that are not a sample of their
        channel's range: (row, channel, word) for the `irregular` table."""
        import numpy as np

        data = block.data
        units = self.stream.units
        if self._codes is None:
            self._codes = self._find_codes(data, units)
        irregular = None
        if units == "raw":
            expected = (np.array(self._codes, dtype=np.uint32) << 16)
            odd = (data & np.uint32(NO_SAMPLE | 0x70000)) != expected
            if odd.any():
                rows, columns = np.nonzero(odd)
                irregular = (rows, columns, data[rows, columns])
            if self.units == "counts":
                return _ranges.counts(data), irregular
            return _ranges.volts(data), irregular
        if units == "counts":
            stored = data if self.units == "counts" else data * self._volts_per_count()
            return stored, None
        # volts: counts again, exactly (every volts per count divides its counts' product back
        # to the same whole number); NaN is a word without a sample
        if self.units == "volts":
            return data, None
        scaled = data / self._volts_per_count()
        missing = np.isnan(scaled)
        if missing.any():
            rows, columns = np.nonzero(missing)
            irregular = (rows, columns, np.full(len(rows), NO_SAMPLE, dtype=np.uint32))
            scaled = np.where(missing, 0, scaled)
        return np.rint(scaled).astype(np.int16), irregular

    def _find_codes(self, data, units):
        codes = list(self._register_codes[: self.channels]) if self._register_codes else [None] * self.channels
        if units == "raw":
            for c in range(self.channels):
                column = data[:, c]
                sampled = column[(column & NO_SAMPLE) == 0]
                if len(sampled):
                    codes[c] = int(sampled[0] >> 16 & 7)
        missing = [c for c, code in enumerate(codes) if code is None or code not in _ranges.INPUT_RANGES]
        if missing:
            raise ValueError(f"the input range of channel{'s' if len(missing) > 1 else ''} "
                             f"{', '.join(map(str, missing))} cannot be known; record a stream of units='raw'")
        return codes

    def _volts_per_count(self):
        import numpy as np

        return np.array([_ranges.INPUT_RANGES[c][2] for c in self._codes])

    def _start_part(self, block, first_sample):
        """Creates the datasets and the run's attributes, then turns on SWMR writing (after which
        HDF5 adds no new objects)."""
        import numpy as np

        from . import __version__
        from .board import version

        part = self._part
        f = part.file
        stream = self.stream
        filters = {}
        if self.compression is not None:
            filters = {"compression": self.compression, "shuffle": True}
            if self.compression_level is not None:
                filters["compression_opts"] = self.compression_level
        part.samples = f.create_dataset("samples", (0, self.channels), dtype=self._dtype,
                                        maxshape=(None, self.channels), chunks=(self._chunk_rows, self.channels),
                                        **filters)
        part.table = f.create_dataset("chunks", (0,), dtype=np.dtype(CHUNK_INFO_DTYPE), maxshape=(None,),
                                      chunks=(1024,))
        part.irregular = f.create_dataset("irregular", (0,), dtype=np.dtype(IRREGULAR_DTYPE), maxshape=(None,),
                                          chunks=(1024,))
        vpc = [_ranges.INPUT_RANGES[c][2] for c in self._codes]
        started_utc = stream.started_utc
        if started_utc is None:  # a block without the library's chunk information
            started_utc = datetime.datetime.now(datetime.timezone.utc)
        board = self._board
        attrs = {
            "format": FORMAT, "format_version": FORMAT_VERSION,
            "units": self.units,
            "sample_rate_hz": float(self.sample_rate), "conversion_rate_hz": float(self.sample_rate * self.channels),
            "channels": self.channels,
            "range_codes": np.array(self._codes, dtype=np.uint8),
            "ranges": np.array([_ranges.input_range_name(c) for c in self._codes], dtype=self._h5py.string_dtype()),
            "volts_per_count": np.array(vpc, dtype=np.float64),
            "start_utc": _iso(started_utc),
            "start_monotonic_ns": np.uint64(block.started_ns if block.started_ns is not None else 0),
            "monotonic_clock": "time.perf_counter_ns" if sys.platform == "win32" else "CLOCK_MONOTONIC",
            "board_index": board.index, "device_id": board.device_id, "device_id_hex": f"{board.device_id:04X}",
            "board_name": board.name or "", "layout": board.layout, "sequencer": 0,
            "library_version": "%d.%d.%d" % version(), "package_version": __version__,
            "h5py_version": self._h5py.version.version, "hdf5_version": self._h5py.version.hdf5_version,
            "host": socket.gethostname(),
            "part": self._part_index,
            "first_sample": np.uint64(first_sample),
            "flush_interval_s": self.flush_interval,
            "complete": False,
        }
        if self._differential is not None:
            attrs["differential"] = bool(self._differential)
        for key, value in attrs.items():
            f.attrs[key] = value
        for key in ("units", "range_codes", "ranges", "volts_per_count"):
            part.samples.attrs[key] = attrs[key]
        f.flush()
        f.swmr_mode = True

    def _append(self, block, counts, irregular, start, stop):
        import numpy as np

        part = self._part
        n = stop - start
        try:
            part.reserve(n * self._row_bytes + 2 * self._chunk_rows * self._row_bytes)
        except OSError as error:
            self._fail(error)
        rows = part.rows
        try:
            part.samples.resize(rows + n, axis=0)
            part.samples[rows:rows + n] = counts[start:stop]
        except Exception as error:  # noqa: BLE001: HDF5's own failures come as several types
            self._fail(error, broken=True)
        part.pending_chunks.append((block.sequence, block.first_sample + start, n, block.completed_ns, block.flags))
        if irregular is not None:
            where = (irregular[0] >= start) & (irregular[0] < stop)
            if where.any():
                r, c, w = irregular[0][where], irregular[1][where], irregular[2][where]
                self.summary.no_sample += int(np.count_nonzero(w & NO_SAMPLE))
                entries = np.empty(len(r), dtype=np.dtype(IRREGULAR_DTYPE))
                entries["row"], entries["channel"], entries["word"] = rows + r - start, c, w
                part.pending_irregular.append(entries)
        part.rows += n
        part.unflushed_bytes += n * self._row_bytes
        self.summary.samples += n

    def tick(self):
        """Flushes if the flush interval has passed; call it when no block came for a while."""
        self._usable()
        now = time.monotonic()
        if now - self._last_flush >= self.flush_interval:
            self.flush()

    def flush(self):
        """Puts everything written so far on disk: the samples first, then the chunk table
        rows that describe them, then an fsync."""
        self._usable()
        part = self._part
        self._last_flush = time.monotonic()
        if part.samples is not None:
            try:
                part.reserve(METADATA_ALLOWANCE)
            except OSError as error:
                self._fail(error)
            try:
                self._flush_part(part)
            except Exception as error:  # noqa: BLE001
                self._fail(error, broken=True)
        self._note_progress()
        if self.progress is not None:
            self.progress(self.summary)

    def _flush_part(self, part):
        import numpy as np

        part.samples.flush()
        for pending, dataset, counter, dtype in ((part.pending_chunks, part.table, "table_rows", CHUNK_INFO_DTYPE),
                                                 (part.pending_irregular, part.irregular, "irregular_rows", None)):
            if not pending:
                continue
            rows = np.array(pending, dtype=np.dtype(dtype)) if dtype else np.concatenate(pending)
            have = getattr(part, counter)
            dataset.resize(have + len(rows), axis=0)
            dataset[have:] = rows
            setattr(part, counter, have + len(rows))
            pending.clear()
        part.file.flush()
        if self.fsync:
            os.fsync(part.file.id.get_vfd_handle())
        self.summary.flushed += part.rows - part.flushed_rows
        part.flushed_rows = part.rows
        part.unflushed_bytes = 0

    def _note_progress(self):
        self.summary.elapsed = time.monotonic() - self._started
        total = 0
        for path in self._files:
            if self._part is not None and path == self._part.path and self._part.file:
                total += self._part.file.id.get_filesize()  # without the space reserved ahead
                continue
            try:
                total += os.stat(path).st_size
            except OSError:
                pass
        self.summary.bytes = total

    def _roll(self):
        """Closes the full part and opens the next; its first block starts it."""
        self._finish_part(complete=True)
        self._part_index += 1
        try:
            self._part = _Part(self._part_name(self._part_index), self.overwrite, self._h5py)
        except OSError as error:
            self._part = None
            self._fail(error)
        self._files.append(self._part.path)

    def _finish_part(self, complete):
        part = self._part
        if part.samples is not None:
            self.flush()
            attrs = part.file.attrs
            # In SWMR mode attributes can be written; new objects cannot. A file whose recorder
            # died keeps complete=False and has no samples or end_utc.
            attrs["samples"] = int(part.rows)
            attrs["end_utc"] = _iso(datetime.datetime.now(datetime.timezone.utc))
            attrs["complete"] = bool(complete)
            part.file.flush()
        part.close()

    def _fail(self, error, broken=False):
        """Ends the recording at a write that failed, keeping what is on disk readable."""
        errno = getattr(error, "errno", None) or 5
        part = self._part
        if self._failed is None:
            self._failed = error
            self._closed = True
            if part is not None and not broken:
                # The reservation failed before HDF5 was given anything: the file is whole, and
                # what was written goes out and closes inside the space already reserved.
                try:
                    if part.samples is not None:
                        self._flush_part(part)
                        part.file.attrs["samples"] = int(part.rows)
                        part.file.attrs["end_utc"] = _iso(datetime.datetime.now(datetime.timezone.utc))
                    self._note_progress()
                    part.close()
                except Exception:  # noqa: BLE001
                    pass
            # A file HDF5 failed to write is not closed: closing it could crash the process. Its
            # last flush stands, and it opens in SWMR mode.
            self.summary.elapsed = time.monotonic() - self._started
        cause = "the disk is full" if errno == 28 else (
            "the file size limit was reached" if errno == 27 else
            "the disk quota was reached" if errno == 122 else str(error))
        where = part.path if part is not None else self._part_name(self._part_index)
        raise RecordingError(errno, f"recording to {where} stopped: {cause}; the files hold the "
                                    f"{self.summary.flushed} samples per channel recorded before it", self.summary) \
            from error

    def _usable(self):
        if self._failed is not None:
            raise RecordingError(getattr(self._failed, "errno", None) or 5,
                                 f"the recording to {self.path} already stopped: {self._failed}", self.summary)
        if self._closed:
            raise ValueError(f"the recording to {self.path} is closed")

    def close(self, overruns=None):
        """Flushes and closes the file; returns the Summary. `overruns`: the board's count to
        note in the summary (record() gives it once the stream has closed)."""
        if self._closed:
            return self.summary
        if overruns:
            self.summary.overruns += int(overruns)
        try:
            if self._part.samples is not None:
                self._part.file.attrs["overruns"] = int(self.summary.overruns)
                self._part.file.attrs["dropped"] = int(self.summary.dropped)
            self._finish_part(complete=True)
        finally:
            self._closed = True
        self.summary.complete = True
        self._note_progress()
        return self.summary

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if self._failed is None:
            self.close()


def record(board, path, rate, channels=1, seconds=None, ranges=None, chunk=None, units="counts",
           compression=None, rollover_bytes=None, rollover_seconds=None, overwrite=False,
           flush_interval=DEFAULT_FLUSH_INTERVAL, fsync=True, stop=None, progress=None,
           max_backlog_seconds=10.0):
    """Records a stream of `board` to `path`: exactly `seconds` x the achieved rate samples per
    channel, or until `stop` (a threading.Event) is set or Ctrl-C. Returns the Summary. The file
    is checked before the board starts; see Recorder for the rest.

    Samples the stream drops because the recorder fell behind, FIFO overruns and short transfers
    do not stop the recording: they are in the summary (and the chunk table). A file that can no
    longer be written raises RecordingError, with everything flushed before it readable."""
    from .stream import _channel_count, _sample_rate

    h5py = _h5py()
    rate = _sample_rate(rate)
    channels = _channel_count(channels)
    if seconds is not None:
        seconds = float(seconds)
        if not math.isfinite(seconds) or seconds <= 0:
            raise ValueError(f"seconds must be a positive number of seconds or None, not {seconds:g}")
    rolls = rollover_bytes is not None or rollover_seconds is not None
    _check_target(path, overwrite, rolls)
    first = recorder = stream = None
    try:
        stream = board.stream(rate, channels, chunk=chunk, units="raw", ranges=ranges,
                              max_backlog_seconds=max_backlog_seconds)
        # Created once the board runs, so that a board that cannot leaves an existing file as it was.
        first = _Part(part_path(path, 0) if rolls else path, overwrite, h5py)
        recorder = Recorder(path, stream, units, compression, rollover_bytes, rollover_seconds, overwrite,
                            flush_interval, fsync, progress, _first=first)
        _run(stream, recorder, seconds, stop)
    except KeyboardInterrupt as interrupt:
        # Ctrl-C is how a recording without `seconds` is meant to end: the file is finished
        # as at any other end. One with `seconds` ends early, and says so by raising.
        _end(stream, recorder)
        if recorder is None:
            raise
        if seconds is None:
            return recorder.summary
        interrupt.summary = recorder.summary
        raise
    except BaseException:
        if recorder is None and first is not None:
            first.close()
            try:
                os.unlink(first.path)  # nothing was recorded in it
            except OSError:
                pass
        _end(stream, recorder)
        raise
    _end(stream, recorder)
    return recorder.summary


def _run(stream, recorder, seconds, stop):
    from ._errors import HalvexDataLost

    wanted = None if seconds is None else max(1, round(seconds * stream.sample_rate))
    blocks = stream.blocks(timeout=min(0.2, recorder.flush_interval / 2))
    while stop is None or not stop.is_set():
        try:
            block = next(blocks)
        except StopIteration:
            return
        except TimeoutError:
            recorder.tick()
            continue
        except HalvexDataLost:
            continue  # the next block's first sample shows the gap, which the recorder counts
        if wanted is not None:
            # The run's first `wanted` samples, by index: a gap does not make the run longer.
            left = wanted - block.first_sample
            if left <= 0:
                return
            if len(block) > left:
                block = dataclasses.replace(block, data=block.data[:left])
        recorder.write(block)
        if wanted is not None and block.first_sample + len(block) >= wanted:
            return


def _end(stream, recorder):
    """Closes the stream, then the recorder with the board's overruns; keeps the first error."""
    error = None
    if stream is not None:
        try:
            stream.close()
        except Exception as e:  # noqa: BLE001
            error = e
        stream._drain()  # what came after the end: up to the backlog bound, freed now, not at a collection
    if recorder is not None and recorder._failed is None:
        try:
            recorder.close(overruns=stream.overruns if stream is not None else None)
        except Exception as e:  # noqa: BLE001
            error = error or e
    if error is not None and sys.exc_info()[0] is None:
        raise error


# ---- reading ------------------------------------------------------------------------------------

def _text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


class _ReadPart:
    """One file of a recording, opened for reading while it may still grow."""

    def __init__(self, path, h5py):
        self.path = Path(path)
        try:
            # SWMR read mode opens a file whose writer is running or died (a plain open refuses
            # it: "file is already open for write") as well as a closed one.
            self.file = h5py.File(self.path, "r", libver="latest", swmr=True)
        except OSError as error:
            if "already open for write" in str(error):
                raise OSError(error.errno, f"{self.path}: the file is open for writing without SWMR (its recorder "
                                           f"has not started recording yet, or it was not written by Halvex's "
                                           f"recorder); when no writer runs, h5clear -s {self.path} clears the "
                                           f"flag") from None
            raise OSError(error.errno, f"{self.path}: not an HDF5 file that can be read ({error})") from None
        attrs = self.file.attrs
        if "samples" not in self.file and _text(attrs.get("format", "")) in ("", FORMAT):
            self.file.close()
            raise ValueError(f"{self.path}: holds no samples (its recorder stopped before the board gave any)")
        if _text(attrs.get("format", "")) != FORMAT:
            self.file.close()
            raise ValueError(f"{self.path}: not a Halvex recording (its format attribute is not {FORMAT!r})")
        if int(attrs["format_version"]) > FORMAT_VERSION:
            self.file.close()
            raise ValueError(f"{self.path}: a recording of format version {int(attrs['format_version'])}, newer than "
                             f"this package reads ({FORMAT_VERSION})")
        self.load()

    def load(self):
        """Takes in what the writer has flushed since: the rows the chunk table vouches for."""
        import numpy as np

        f = self.file
        for name in ("samples", "chunks", "irregular"):
            if f.swmr_mode:
                f[name].refresh()
        extent = f["samples"].shape[0]
        table = f["chunks"][:]
        counts = table["count"].astype(np.int64)
        ends = np.cumsum(counts)
        firsts = table["first_sample"].astype(np.int64)
        good = (counts > 0) & (ends <= extent)
        if len(table) > 1:
            good[1:] &= firsts[1:] >= firsts[:-1] + counts[:-1]
        valid = len(table) if good.all() else int(np.argmin(good))
        self.table = table[:valid]
        self.row_starts = np.concatenate([[0], ends[:valid]])[:-1] if valid else np.zeros(0, dtype=np.int64)
        self.rows = int(ends[valid - 1]) if valid else 0
        irregular = f["irregular"][:]
        self.irregular = irregular[irregular["row"] < self.rows]
        self.complete = bool(f.attrs.get("complete", False))

    def sample_index(self, start, stop):
        import numpy as np

        rows = np.arange(start, stop, dtype=np.int64)
        k = np.searchsorted(self.row_starts, rows, side="right") - 1
        return self.table["first_sample"].astype(np.int64)[k] + rows - self.row_starts[k]


class Recording:
    """A recording read back: one file, or the numbered files of one that rolled over.

    rate (= sample_rate)  samples per second per channel the board achieved
    channels              channel count; ranges, range_codes, volts_per_count per channel
    started_utc           the run's start (datetime, UTC); started_ns on the library's monotonic clock
    units                 what the file stores: "counts" (int16) or "volts" (float64)
    chunks                the chunk table: sequence, first_sample, count, completed_ns, flags
    complete              False when the recorder stopped without closing (a crash, a power cut)
    attrs                 every attribute of the first file, as a dict

    volts(), counts(), times() and sample_index() take an optional row range [start, stop).
    Rows are those the chunk table vouches for; refresh() takes in what a running recorder has
    flushed since (and any file it rolled over to).
    """

    def __init__(self, path):
        h5py = _h5py()
        self._h5py = h5py
        self.path = Path(path)
        if self.path.exists():
            names, self._rolls = [self.path], False
        else:
            names, self._rolls = _parts(self.path), True
            if not names:
                raise FileNotFoundError(2, f"{self.path}: no such recording (nor {part_path(self.path, 0).name}, "
                                           f"the first file of one that rolled over)")
        self._parts = []
        try:
            for name in names:
                self._parts.append(_ReadPart(name, h5py))
        except BaseException:
            self.close()
            raise
        attrs = self._parts[0].file.attrs
        self.attrs = {key: (_text(value) if isinstance(value, bytes) else value) for key, value in attrs.items()}
        self.sample_rate = float(attrs["sample_rate_hz"])
        self.conversion_rate = float(attrs["conversion_rate_hz"])
        self.channels = int(attrs["channels"])
        self.units = _text(attrs["units"])
        self.range_codes = [int(c) for c in attrs["range_codes"]]
        self.ranges = [_text(r) for r in attrs["ranges"]]
        self.volts_per_count = [float(v) for v in attrs["volts_per_count"]]
        self.started_utc = datetime.datetime.fromisoformat(_text(attrs["start_utc"]).replace("Z", "+00:00"))
        self.started_ns = int(attrs["start_monotonic_ns"])
        self.differential = bool(attrs["differential"]) if "differential" in attrs else None
        self.board = {key: self.attrs[name] for key, name in (("index", "board_index"), ("device_id", "device_id"),
                                                            ("name", "board_name"), ("layout", "layout"))}

    @property
    def rate(self):
        return self.sample_rate

    @property
    def files(self):
        return [part.path for part in self._parts]

    @property
    def complete(self):
        return all(part.complete for part in self._parts)

    @property
    def chunks(self):
        import numpy as np

        return np.concatenate([part.table for part in self._parts])

    def __len__(self):
        return sum(part.rows for part in self._parts)

    @property
    def samples(self):
        """Samples per channel (rows)."""
        return len(self)

    @property
    def seconds(self):
        return len(self) / self.sample_rate

    def refresh(self):
        """Takes in what the recorder flushed since this was opened (or last refreshed)."""
        for part in self._parts:
            if not part.complete:
                part.load()
        if self._rolls:
            for name in _parts(self.path)[len(self._parts):]:
                try:
                    self._parts.append(_ReadPart(name, self._h5py))
                except (OSError, KeyError):
                    break  # a part its recorder is still setting up
        return self

    def _pieces(self, start, stop):
        """(part, local start, local stop) covering rows [start, stop)."""
        total = len(self)
        start = 0 if start is None else (start + total if start < 0 else start)
        stop = total if stop is None else (stop + total if stop < 0 else stop)
        start, stop = max(0, min(start, total)), max(0, min(stop, total))
        offset = 0
        for part in self._parts:
            a, b = max(start - offset, 0), min(stop - offset, part.rows)
            if a < b:
                yield part, a, b
            offset += part.rows

    def _gather(self, start, stop, read, dtype):
        import numpy as np

        pieces = [read(part, a, b) for part, a, b in self._pieces(start, stop)]
        if not pieces:
            return np.empty((0, self.channels), dtype=dtype) if read is not _index_of else np.empty(0, dtype=dtype)
        return np.concatenate(pieces)

    def counts(self, start=None, stop=None):
        """The samples as acquired, int16 counts, shape (rows, channels). A word without a
        sample (see `irregular`) holds whatever its counts field held."""
        if self.units != "counts":
            raise ValueError(f"{self.path} holds volts, not counts (it was recorded with units='volts')")
        return self._gather(start, stop, lambda part, a, b: part.file["samples"][a:b], "<i2")

    def volts(self, start=None, stop=None):
        """Volts, float64, shape (rows, channels): counts x each channel's volts per count, NaN
        where the board gave no sample."""
        return self._gather(start, stop, self._volts_of, "<f8")

    def _volts_of(self, part, a, b):
        import numpy as np

        data = part.file["samples"][a:b]
        if self.units == "volts":
            return data
        values = data * np.array(self.volts_per_count)
        odd = part.irregular[(part.irregular["row"] >= a) & (part.irregular["row"] < b)]
        if len(odd):
            values[odd["row"].astype(np.int64) - a, odd["channel"]] = _ranges.volts(odd["word"])
        return values

    def sample_index(self, start=None, stop=None):
        """Each row's sample index since the run started (per channel)."""
        return self._gather(start, stop, _index_of, "<i8")

    def times(self, start=None, stop=None):
        """Seconds since the run started, one per row (gaps, if any, show as jumps)."""
        return self.sample_index(start, stop) / self.sample_rate

    @property
    def irregular(self):
        """Words that were not a sample of their channel's range, as (row, channel, word)."""
        import numpy as np

        rows, offset = [], 0
        for part in self._parts:
            entries = part.irregular.copy()
            entries["row"] += offset
            rows.append(entries)
            offset += part.rows
        return np.concatenate(rows) if rows else np.empty(0, dtype=np.dtype(IRREGULAR_DTYPE))

    def close(self):
        for part in self._parts:
            try:
                part.file.close()
            except Exception:  # noqa: BLE001
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return (f"<Recording {self.path}: {len(self)} samples x {self.channels} channels at {self.sample_rate:g} "
                f"samples/s per channel, started {_iso(self.started_utc)}{'' if self.complete else ', incomplete'}>")


def _index_of(part, a, b):
    return part.sample_index(a, b)


def open_recording(path):
    """Opens a recording made by Recorder or record(): a file, or the name of one that rolled
    over (run.h5 for run_0000.h5, run_0001.h5, ...). Opens a file whose recorder is still
    running or died, too."""
    return Recording(path)


# ---- python3 -m halvex record ---------------------------------------------------------------------

EXIT_OK, EXIT_LIBRARY, EXIT_USAGE, EXIT_NO_H5PY, EXIT_LOST, EXIT_WRITE = 0, 1, 2, 3, 4, 5


def _parser():
    import argparse

    parser = argparse.ArgumentParser(
        prog="python3 -m halvex record",
        description="Record a stream to an HDF5 file (16-bit counts with each channel's range; SWMR, flushed "
                    "every --flush-interval seconds, so the file survives the recorder's crash). Exit codes: 0 "
                    "done, 1 library error, 2 bad command line or output file, 3 h5py missing, 4 samples lost, "
                    "5 the file could not be written completely (e.g. a full disk).")
    parser.add_argument("output", help="the HDF5 file (with rollover: OUTPUT_0000.h5, OUTPUT_0001.h5, ...)")
    parser.add_argument("-b", "--board", type=int, default=1, help="board index (default 1)")
    parser.add_argument("-r", "--rate", type=float, required=True, help="samples per second per channel")
    parser.add_argument("-c", "--channels", type=int, default=1, help="channels 0..N-1 (default 1)")
    parser.add_argument("-s", "--seconds", type=float, default=None,
                        help="seconds of samples to record (default: until Ctrl-C)")
    parser.add_argument("--range", default=None, help="input range, e.g. 10V (default: as set)")
    parser.add_argument("--chunk", type=int, default=None, help="samples per channel per transfer")
    parser.add_argument("--volts", action="store_true", help="store float64 volts instead of 16-bit counts")
    parser.add_argument("--compress", choices=("gzip", "lzf"), default=None, help="compress the samples")
    parser.add_argument("--rollover-mb", type=float, default=None, metavar="MB",
                        help="start a new numbered file after this many MB (10^6 bytes) of samples")
    parser.add_argument("--rollover-seconds", type=float, default=None, metavar="S",
                        help="start a new numbered file after this many seconds of samples")
    parser.add_argument("--flush-interval", type=float, default=DEFAULT_FLUSH_INTERVAL, metavar="S",
                        help=f"seconds between flushes to disk (default {DEFAULT_FLUSH_INTERVAL})")
    parser.add_argument("--overwrite", action="store_true", help="replace existing files")
    parser.add_argument("--sine", type=float, default=None, metavar="HZ",
                        help="simulated boards: feed channel c a sine of HZ x (c+1) first")
    parser.add_argument("--free-running", action="store_true",
                        help="simulated boards: deliver samples as fast as they are taken, not at the rate")
    return parser


def main(argv=None):
    parser = _parser()
    options = parser.parse_args(argv)
    for name in ("rate", "seconds", "rollover_mb", "rollover_seconds", "flush_interval", "sine"):
        value = getattr(options, name)
        if value is not None and not (math.isfinite(value) and value > 0):
            parser.error(f"--{name.replace('_', '-')} must be a positive number, not {value:g}")
    try:
        _h5py()
    except ImportError as error:
        print(f"halvex record: {error}", file=sys.stderr)
        return EXIT_NO_H5PY
    from ._errors import HalvexError, HalvexWarning
    from .board import Board

    tty = sys.stderr.isatty()
    shown = [0.0]

    def progress(summary):
        if tty and time.monotonic() - shown[0] >= 0.5:
            shown[0] = time.monotonic()
            print(f"\r{summary.seconds:9.1f} s  {summary.samples:>13,} samples  {_size(summary.bytes):>10}  "
                  f"lost {summary.lost}", end="", file=sys.stderr, flush=True)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", HalvexWarning)
        code, summary = EXIT_OK, None
        try:
            board = Board(options.board)
            if options.sine is not None or options.free_running:
                from . import sim

                for channel in range(options.channels if options.sine is not None else 0):
                    sim.sine(board, channel, amplitude=2.0, hertz=options.sine * (channel + 1))
                if options.free_running:
                    sim.set_pacing(board, "free-running")
            summary = record(board, options.output, options.rate, options.channels, options.seconds,
                             ranges=options.range, chunk=options.chunk,
                             units="volts" if options.volts else "counts",
                             compression=options.compress, overwrite=options.overwrite,
                             rollover_bytes=None if options.rollover_mb is None else options.rollover_mb * 1e6,
                             rollover_seconds=options.rollover_seconds, flush_interval=options.flush_interval,
                             progress=progress)
        except KeyboardInterrupt as interrupt:
            summary, code = getattr(interrupt, "summary", None), 130
        except RecordingError as error:
            summary, code = error.summary, EXIT_WRITE
            _say(tty, f"halvex record: {error}")
        except ValueError as error:
            _say(tty, f"halvex record: {error}")
            return EXIT_USAGE
        except OSError as error:  # the file could not be made: nothing was recorded
            _say(tty, f"halvex record: {error.strerror or error}")
            return EXIT_USAGE
        except HalvexError as error:
            _say(tty, f"halvex record: {error}")
            code = EXIT_LIBRARY
    if tty:
        print(file=sys.stderr)
    for warning in caught:
        print(f"halvex record: warning: {warning.message}", file=sys.stderr)
    if summary is not None:
        print(summary)
        if code == EXIT_OK and not summary.ok:
            code = EXIT_LOST
    return code


def _say(tty, message):
    print(("\n" if tty else "") + message, file=sys.stderr)
