"""Pictures of acquired data: volts (or counts) against seconds, one line per channel.

`python3 -m halvex plot` acquires from a board, or reads a CSV or .npy file that hxcli wrote or
an HDF5 recording (python3 -m halvex record), and saves a PNG. Rates are samples per second per channel, as hxcli's --rate; a file that
carries its rate is plotted with it, and one without a rate (nor --rate) against sample index.
"""

import argparse
import math
import sys
from pathlib import Path

from . import ranges as _ranges


TIME = "time (s)"
INDEX = "sample index"


def figure(t, data, title="", units="volts", labels=None, xlabel=TIME):
    """A matplotlib Figure with one line per column of data (shape (samples, channels)); t is
    seconds, or sample indices with xlabel=INDEX. The legend sits beside the axes, where it
    hides no data."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    data = np.asarray(data)
    if data.ndim == 1:
        data = data.reshape(-1, 1)
    fig, ax = plt.subplots(figsize=(10, 4.5), dpi=100)
    for column in range(data.shape[1]):
        label = labels[column] if labels else f"channel {column}"
        ax.plot(t, data[:, column], linewidth=1.0, label=label)
    ax.set_xlabel(xlabel)
    ax.set_ylabel({"volts": "volts (V)", "counts": "counts"}.get(units, units))
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    if data.shape[1] > 1 or labels:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize="small")
    fig.tight_layout()
    return fig


def save(fig, path):
    import matplotlib.pyplot as plt

    fig.savefig(path)
    plt.close(fig)


def read_csv(path):
    """(t, data, metadata) from an hxcli CSV: `# key: value` lines, a header, then rows of time
    in seconds and one column per channel."""
    import numpy as np

    metadata, header = {}, None
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.startswith("#"):
                key, _, value = line[1:].partition(":")
                metadata[key.strip()] = value.strip()
                continue
            header = line.strip().split(",")
            break
        if header is None or not header or header[0] != "time_s":
            raise ValueError(f"{path}: not an hxcli CSV (its first line after the metadata is not time_s,...)")
        values = np.loadtxt(file, delimiter=",", ndmin=2) if header else None
    if values.size == 0:
        values = np.empty((0, len(header)))
    return values[:, 0], values[:, 1:], metadata


def read_metadata(path):
    """The metadata hxcli wrote beside a .npy or raw file (`<path>.json`) as a dict, or None."""
    import json

    sidecar = Path(str(path) + ".json")
    if not sidecar.exists():
        return None
    with open(sidecar, encoding="utf-8") as file:
        return json.load(file)


def read_npy(path, rate):
    """(t, data, units) from an hxcli .npy: float volts, int32 counts or uint32 packed words
    (converted to volts). t is in seconds since the run started, from the rate in the metadata
    hxcli wrote beside the file, else from `rate` (samples per second per channel); without
    either it counts samples. A `rate` the metadata contradicts is refused (ValueError)."""
    t, data, units, _ = _load_npy(path, rate)
    return t, data, units


def _file_sample_rate(metadata, channels):
    """Samples per second per channel from hxcli's metadata; files of earlier versions had
    only rate_hz, the conversion rate over all channels."""
    for key, per in (("sample_rate_hz", 1), ("conversion_rate_hz", channels), ("rate_hz", channels)):
        if metadata.get(key) not in (None, ""):
            rate = float(metadata[key]) / per
            if not math.isfinite(rate) or rate <= 0:
                raise ValueError(f"its metadata's {key} is {metadata[key]}, not a rate")
            return rate
    return None


def _agreed_rate(path, given, found):
    if found is None:
        return given
    if given and not math.isclose(given, found, rel_tol=1e-6):
        raise ValueError(f"{path} was sampled at {found:g} samples/s per channel (its metadata), not the "
                         f"{given:g} given; leave the rate out")
    return found


def _load_npy(path, rate):
    """read_npy, and the rate the time axis was made with (None: sample indices)."""
    import numpy as np

    data = np.load(path, allow_pickle=False)
    if data.ndim == 1:
        data = data.reshape(-1, 1)
    if data.ndim != 2:
        raise ValueError(f"{path}: an array of shape {data.shape}, not (samples, channels)")
    metadata = read_metadata(path) or {}
    first = int(metadata.get("first_sample", 0) or 0)
    rate = _agreed_rate(path, rate, _file_sample_rate(metadata, data.shape[1]))
    if data.dtype == np.uint32:
        data, units = _ranges.volts(data), "volts"
    elif data.dtype.kind in "iu":
        units = "counts"
    else:
        units = "volts"
    t = (first + np.arange(len(data))) / rate if rate else np.arange(len(data), dtype=float)
    return t, data, units, rate


# Beyond this many rows a recording is drawn as each stretch's lowest and highest value, read a
# stretch at a time: an hours-long recording neither fills memory nor the picture.
MAX_POINTS = 200_000


def read_recording(path, max_points=MAX_POINTS):
    """(t, volts, title) of an HDF5 recording, also one whose recorder is running or died. A long
    one comes as the minimum and maximum of each of max_points / 2 stretches."""
    import numpy as np

    from .record import open_recording

    with open_recording(path) as run:
        n = len(run)
        if n <= max_points:
            t, data = run.times(), run.volts()
        else:
            stretches = max_points // 2
            edges = np.linspace(0, n, stretches + 1).astype(np.int64)
            t = np.empty(2 * stretches)
            data = np.empty((2 * stretches, run.channels))
            for k in range(stretches):
                part = run.volts(edges[k], edges[k + 1])
                times = run.times(edges[k], edges[k + 1])
                t[2 * k], t[2 * k + 1] = times[0], times[-1]
                data[2 * k], data[2 * k + 1] = np.nanmin(part, axis=0), np.nanmax(part, axis=0)
        board = f"{run.board['index']} ({int(run.board['device_id']):04X})"
        title = _title(board, run.sample_rate, run.channels, ",".join(run.ranges))
        if not run.complete:
            title += ", incomplete"
    return t, data, title


def _title(board, rate, channels, ranges):
    parts = [f"board {board}" if board is not None else "Halvex"]
    if rate:
        parts.append(f"{rate:g} samples/s per channel")
    if channels:
        parts.append(f"{channels} channel{'s' if int(channels) != 1 else ''}")
    if ranges:
        parts.append(f"ranges {ranges}")
    return ", ".join(parts)


def _parser():
    parser = argparse.ArgumentParser(
        prog="python3 -m halvex plot",
        description="Acquire from a board (or read an hxcli CSV or .npy file) and save a PNG of volts "
                    "against seconds, one line per channel.")
    parser.add_argument("--sine", type=float, default=None, metavar="HZ",
                        help="simulated boards: feed channel c a sine of HZ x (c+1) before acquiring, so the "
                             "picture shows a signal (the inputs are otherwise near 0 V)")
    parser.add_argument("input", nargs="?", help="a CSV or .npy file that hxcli wrote, or an HDF5 recording "
                                                 "(.h5); omitted: acquire now")
    parser.add_argument("-b", "--board", type=int, default=1, help="board index (default 1)")
    parser.add_argument("-s", "--sequencer", type=int, default=0, help="sequencer; only 0 acquires (default 0)")
    parser.add_argument("-c", "--channels", type=int, default=1, help="channels 0..N-1 (default 1)")
    parser.add_argument("-r", "--rate", type=float, default=None,
                        help="samples per second per channel, as hxcli's --rate (default 10000 when acquiring; "
                             "for a .npy file without hxcli's FILE.json beside it, the time axis)")
    parser.add_argument("-d", "--duration", type=float, default=0.1, help="seconds to acquire (default 0.1)")
    parser.add_argument("--range", default=None, help="input range, e.g. 10V (default: as set)")
    parser.add_argument("-o", "--output", default="halvex.png", help="PNG file to write (default halvex.png)")
    return parser


def _from_file(path, rate):
    """(t, data, units, title, x label) of an hxcli file or a recording."""
    if path.suffix in (".h5", ".hdf5"):
        if rate:
            raise ValueError("a recording carries its rate; leave --rate out")
        t, data, title = read_recording(path)
        return t, data, "volts", f"{title} ({path.name})", TIME
    if path.suffix == ".npy":
        t, data, units, rate = _load_npy(path, rate)
        title = _title(None, rate, data.shape[1], None)
        xlabel = TIME if rate else INDEX
    else:
        t, data, metadata = read_csv(path)
        units = metadata.get("units", "volts")
        found = _file_sample_rate(metadata, data.shape[1])
        _agreed_rate(path, rate, found)
        title = _title(metadata.get("board"), found, metadata.get("channels"), metadata.get("ranges"))
        xlabel = TIME  # the CSV's own time_s column
    return t, data, units, f"{title} ({path.name})", xlabel


def main(argv=None):
    parser = _parser()
    options = parser.parse_args(argv)
    if options.sequencer != 0:
        parser.error("only sequencer 0 acquires")
    if options.rate is not None and (not math.isfinite(options.rate) or options.rate <= 0):
        parser.error(f"--rate must be a positive number, not {options.rate:g}")
    if not options.duration > 0:
        parser.error(f"--duration must be positive, not {options.duration:g}")
    if options.channels < 1 or options.channels > 8:
        parser.error("--channels is 1 to 8")
    output = Path(options.output)
    if not output.parent.exists():
        parser.error(f"{output.parent} does not exist")

    if options.sine is not None and (not math.isfinite(options.sine) or options.sine <= 0):
        parser.error(f"--sine must be a positive number of hertz, not {options.sine:g}")

    xlabel = TIME
    if options.input:
        path = Path(options.input)
        from .record import part_path

        # A recording that rolled over is named as it was recorded: run.h5 for run_0000.h5, ...
        rolled = path.suffix in (".h5", ".hdf5") and part_path(path, 0).exists()
        if not path.exists() and not rolled:
            parser.error(f"{path} does not exist")
        if options.sine is not None:
            parser.error("--sine feeds a simulated board before acquiring; it does nothing for a file")
        try:
            t, data, units, title, xlabel = _from_file(path, options.rate)
        except (OSError, ValueError, KeyError, EOFError, ImportError) as error:
            # One line: a file that is not what hxcli writes is the caller's to fix, not a fault here.
            message = str(error) if str(path) in str(error) else f"{path}: {error}"
            print(f"halvex plot: {message}".splitlines()[0], file=sys.stderr)
            return 2
    else:
        from .board import Board
        from ._errors import HalvexError

        rate = options.rate or 10000.0
        samples = max(1, round(rate * options.duration))
        try:
            board = Board(options.board)
            if options.sine is not None:
                from . import sim

                span = _ranges.INPUT_RANGES[_ranges.input_range(options.range)][1] if options.range else 10.0
                for channel in range(options.channels):
                    sim.sine(board, channel, amplitude=min(2.0, 0.8 * span), hertz=options.sine * (channel + 1))
            acquired = board.acquire(samples, rate=rate, channels=options.channels, ranges=options.range)
        except (HalvexError, ValueError, RuntimeError) as error:
            print(f"halvex plot: {error}", file=sys.stderr)
            return 1
        t, data, units = acquired.t, acquired.data, "volts"
        ranges = _ranges.input_range_name(_ranges.input_range(options.range)) if options.range else "as set"
        title = _title(f"{board.index} ({board.device_id:04X})", acquired.sample_rate, options.channels, ranges)
    save(figure(t, data, title, units, xlabel=xlabel), output)
    print(f"wrote {output}: {data.shape[0]} samples x {data.shape[1]} channels")
    return 0
