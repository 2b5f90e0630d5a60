"""How fast the HDF5 recorder writes a simulated board's stream, at what CPU, disk and memory cost.

    uptime; HALVEX_LIBRARY=build/py/libhalvex.so PYTHONPATH=python /usr/bin/python3 bench/record_bench.py

Records board 1 for --seconds (30 by default) to a file in --folder (a temporary one by default,
removed after) and prints one line of figures per run: sustained samples per second, CPU seconds
per second per MS/s, bytes per sample on disk, the recorder's resident memory at the first flush
and at the end (and its peak between), samples lost. --pacing free-running lets the board give
samples as fast as the library's callback thread can hand them over (which on a loaded two-core
machine takes the CPU the recorder needs); real-time paces them at the rate asked (whether the
recorder keeps up with a board at that rate); none gives the Recorder blocks of index-source
words made here, without the board: what the recorder alone sustains.
"""

import argparse
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

import halvex  # noqa: E402


def resident_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class _Made:
    """Just enough of a stream for a Recorder: blocks come from writer_only()."""

    def __init__(self, board, rate, channels):
        import datetime

        self.board, self.sample_rate, self.channels, self.units = board, rate, channels, "raw"
        self.started_utc = datetime.datetime.now(datetime.timezone.utc)


def writer_only(board, path, rate, channels, seconds, compression, progress):
    """Blocks of a tenth of a second, as a stream gives them, straight to a Recorder."""
    import numpy as np

    rows = int(rate / 10)
    words = (np.arange(rows * channels, dtype=np.uint32) & 0xFFFF | (7 << 16)).reshape(rows, channels)
    stream = _Made(board, rate, channels)
    with halvex.Recorder(path, stream, compression=compression, overwrite=True, progress=progress) as recorder:
        for k in range(int(round(seconds * 10))):
            recorder.write(halvex.Block(words, k * rows, k, time.monotonic_ns(), 0, rate))
    return recorder.summary


def run(board, folder, rate, channels, seconds, compression, pacing):
    if pacing != "none":
        halvex.sim.set_pacing(board, pacing)
    halvex.sim.set_index_source(board)
    path = Path(folder) / f"bench-{pacing}-{channels}ch-{compression or 'plain'}.h5"
    memory = []

    def progress(summary):
        memory.append(resident_mib())

    before = resident_mib()
    cpu, wall = cpu_seconds(), time.monotonic()
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", halvex.HalvexWarning)  # the index source is beyond every range
        if pacing == "none":
            summary = writer_only(board, path, rate, channels, seconds, compression, progress)
        else:
            summary = board.record(path, rate=rate, channels=channels, seconds=seconds, compression=compression,
                                   overwrite=True, progress=progress)
    wall, cpu = time.monotonic() - wall, cpu_seconds() - cpu
    size = os.path.getsize(path)
    os.unlink(path)
    total = summary.samples * channels
    ms_per_s = total / wall / 1e6
    return {
        "pacing": pacing, "channels": channels, "compression": compression or "none",
        "MS/s": ms_per_s, "seconds": wall,
        "CPU s/s per MS/s": cpu / wall / ms_per_s if ms_per_s else float("nan"),
        "bytes/sample": size / total if total else float("nan"),
        "RSS MiB start/first flush/peak/end": (before, memory[0] if memory else before, max(memory or [before]),
                                               resident_mib()),
        "dropped by the stream": summary.dropped, "board overruns": summary.overruns,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--channels", type=int, default=1)
    parser.add_argument("--rate", type=float, default=None,
                        help="samples/s per channel (default: 10 MS/s over the channels, one board's full rate)")
    parser.add_argument("--pacing", choices=("none", "real-time", "free-running", "all"), default="all")
    parser.add_argument("--compression", choices=("gzip", "lzf"), default=None)
    parser.add_argument("--folder", default=None, help="where the file goes (default: a temporary folder)")
    options = parser.parse_args()
    board = halvex.boards()[1]
    rate = options.rate or 10e6 / options.channels
    pacings = ("none", "real-time", "free-running") if options.pacing == "all" else (options.pacing,)
    print(f"board {board}, {rate:g} samples/s per channel asked, {options.seconds:g} s; load average "
          f"{os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}, {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory(dir=options.folder) as folder:
        for pacing in pacings:
            figures = run(board, folder, rate, options.channels, options.seconds, options.compression, pacing)
            rss = "/".join(f"{m:.0f}" for m in figures.pop("RSS MiB start/first flush/peak/end"))
            print(", ".join(f"{k} {v:.3g}" if isinstance(v, float) else f"{k} {v}" for k, v in figures.items())
                  + f", RSS MiB start/first flush/peak/end {rss}", flush=True)


if __name__ == "__main__":
    main()
