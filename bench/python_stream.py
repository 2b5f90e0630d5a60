"""Streams a simulated board through the Python package with its defaults and says what the
board lost: the figure the benchmark README gives for Python.

    HALVEX_LIBRARY=build/rel/libhalvex.so PYTHONPATH=python python3 bench/python_stream.py [seconds] [rate]

One channel of board 1 at `rate` samples per second (default 5e6) for `seconds` (default 10),
iterating over the stream's blocks as a reader that keeps up does.
"""

import os
import resource
import sys
import time
import warnings

import halvex


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    rate = float(sys.argv[2]) if len(sys.argv) > 2 else 5e6
    board = halvex.boards()[1]
    rows = blocks = 0
    cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.monotonic()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with board.stream(rate=rate) as stream:
            for block in stream:
                rows += len(block)
                blocks += 1
                if time.monotonic() - t0 >= seconds:
                    break
        elapsed = time.monotonic() - t0
    cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
    print(f"python stream, 1 channel at {stream.sample_rate / 1e6:g} MS/s, chunk {stream.chunk_bytes} bytes, "
          f"{elapsed:.1f} s: {rows} rows in {blocks} blocks ({rows / elapsed / rate:.3f} of the rate), "
          f"lost to overruns {stream.overruns}, dropped unread {stream.dropped}, "
          f"process CPU {cpu / elapsed:.2f} of a processor")
    for warning in caught:
        print(f"warning: {warning.message}")
    return 1 if stream.overruns or stream.dropped else 0


if __name__ == "__main__":
    if not os.environ.get("HALVEX_LIBRARY"):
        sys.exit("set HALVEX_LIBRARY to the build's libhalvex.so")
    sys.exit(main())
