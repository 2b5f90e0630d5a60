"""The demo's two pictures, on the simulated boards: a streamed sine and square on two channels,
and an analog-output step read back through a loopback input.

    python3 python/examples/demo_plots.py [output directory]
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import halvex  # noqa: E402
from halvex import plot  # noqa: E402


def sine_and_square(board, directory):
    halvex.sim.sine(board, 0, amplitude=2.0, hertz=50)
    halvex.sim.square(board, 1, amplitude=1.0, hertz=20, offset=0.5)
    rate = 20_000
    with board.stream(rate=rate, channels=2, ranges="5V") as stream:
        volts = stream.read(rate // 10)  # a tenth of a second per channel
    t = np.arange(len(volts)) / stream.sample_rate
    path = directory / "stream_sine_square.png"
    title = (f"board {board.index} ({board.device_id:04X}): 50 Hz sine and 20 Hz square, "
             f"{stream.sample_rate:g} samples/s per channel, ±5 V")
    plot.save(plot.figure(t, volts, title, labels=["channel 0: sine", "channel 1: square"]), path)
    return path


def output_step(board, directory):
    halvex.sim.loopback(board, 0, output=2)
    board.set_output_range(2, "10V")
    board.write(2, 0.0)
    rate = 10_000
    with board.stream(rate=rate, channels=1, chunk=100, ranges="5V") as stream:
        before = stream.read(rate // 20)
        board.write(2, 2.5)
        after = stream.read(rate // 10)
    volts = np.concatenate([before, after])
    t = np.arange(len(volts)) / stream.sample_rate
    path = directory / "output_step_loopback.png"
    title = (f"board {board.index}: output 2 steps 0 V -> 2.5 V, read back on input 0, "
             f"{stream.sample_rate:g} samples/s")
    plot.save(plot.figure(t, volts, title, labels=["input 0 (loopback of output 2)"]), path)
    return path


def main():
    directory = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    directory.mkdir(parents=True, exist_ok=True)
    board = next(b for b in halvex.boards() if b.can_stream)
    for path in (sine_and_square(board, directory), output_step(board, directory)):
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
