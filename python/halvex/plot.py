"""Pictures of acquired data: volts (or counts) against seconds, one line per channel.

`python3 -m halvex plot` acquires from a board, or reads a CSV or .npy file that hxcli wrote,
and saves a PNG.
"""

import argparse
import math
import sys
from pathlib import Path

from . import ranges as _ranges


def figure(t, data, title="", units="volts", labels=None):
    """A matplotlib Figure with one line per column of data (shape (samples, channels))."""
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
    ax.set_xlabel("time (s)")
    ax.set_ylabel({"volts": "volts (V)", "counts": "counts"}.get(units, units))
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    if data.shape[1] > 1 or labels:
        ax.legend(loc="upper right")
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
    (converted to volts). t is in seconds since the run started: from `rate` (samples per second
    per channel) when given, else from the metadata hxcli wrote beside the file; without either
    it counts samples."""
    import numpy as np

    first = 0
    if not rate:
        metadata = read_metadata(path)
        if metadata:
            rate, first = metadata.get("sample_rate_hz"), metadata.get("first_sample", 0)
    data = np.load(path)
    if data.ndim == 1:
        data = data.reshape(-1, 1)
    if data.dtype == np.uint32:
        data, units = _ranges.volts(data), "volts"
    elif data.dtype.kind in "iu":
        units = "counts"
    else:
        units = "volts"
    t = (first + np.arange(len(data))) / rate if rate else np.arange(len(data), dtype=float)
    return t, data, units


def _title(board, rate, channels, ranges):
    parts = [f"board {board}" if board is not None else "Halvex"]
    if rate:
        parts.append(f"{rate:g} S/s per channel")
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
    parser.add_argument("input", nargs="?", help="a CSV or .npy file that hxcli wrote; omitted: acquire now")
    parser.add_argument("-b", "--board", type=int, default=1, help="board index (default 1)")
    parser.add_argument("-s", "--sequencer", type=int, default=0, help="sequencer; only 0 acquires (default 0)")
    parser.add_argument("-c", "--channels", type=int, default=1, help="channels 0..N-1 (default 1)")
    parser.add_argument("-r", "--rate", type=float, default=None,
                        help="samples per second per channel (default 10000 when acquiring; for .npy input "
                             "it gives the time axis when hxcli's FILE.json beside it does not)")
    parser.add_argument("-d", "--duration", type=float, default=0.1, help="seconds to acquire (default 0.1)")
    parser.add_argument("--range", default=None, help="input range, e.g. 10V (default: as set)")
    parser.add_argument("-o", "--output", default="halvex.png", help="PNG file to write (default halvex.png)")
    return parser


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

    if options.input:
        path = Path(options.input)
        if not path.exists():
            parser.error(f"{path} does not exist")
        if path.suffix == ".npy":
            t, data, units = read_npy(path, options.rate)
            title = _title(None, options.rate, data.shape[1], None) + f" ({path.name})"
        else:
            t, data, metadata = read_csv(path)
            units = metadata.get("units", "volts")
            # rate_hz: the conversion rate's name in files of earlier hxcli versions
            rate = metadata.get("conversion_rate_hz") or metadata.get("rate_hz")
            title = _title(metadata.get("board"), None, metadata.get("channels"), metadata.get("ranges"))
            if rate:
                title += f", {float(rate):g} conversions/s"
            title += f" ({path.name})"
    else:
        from .board import Board
        from ._errors import HalvexError

        rate = options.rate or 10000.0
        samples = max(1, round(rate * options.duration))
        try:
            board = Board(options.board)
            acquired = board.acquire(samples, rate=rate, channels=options.channels, ranges=options.range)
        except (HalvexError, ValueError) as error:
            print(f"halvex plot: {error}", file=sys.stderr)
            return 1
        t, data, units = acquired.t, acquired.data, "volts"
        ranges = _ranges.input_range_name(_ranges.input_range(options.range)) if options.range else "as set"
        title = _title(f"{board.index} ({board.device_id:04X})", acquired.rate, options.channels, ranges)
    save(figure(t, data, title, units), output)
    print(f"wrote {output}: {data.shape[0]} samples x {data.shape[1]} channels")
    return 0
