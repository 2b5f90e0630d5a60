"""Streams and blocks: exact counts, order across chunks, failures, callbacks and their end."""

import os
import subprocess
import sys
import threading
import time
import warnings
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

import halvex


def indices(counts):
    """Counts of an index-source stream as sample indices (modulo 65536)."""
    return np.asarray(counts).astype(np.int64).ravel() & 0xFFFF


def test_acquire_returns_exactly_n_in_order_with_a_time_axis(board):
    halvex.sim.set_index_source(board)
    halvex.sim.set_pacing(board, "free-running")
    # The first transfer brings 20 bytes, a scan and two samples of three channels: from then on
    # every chunk ends mid-scan. 77-scan chunks, so the last one is trimmed.
    halvex.sim.short_transfer(board, 20)
    with pytest.warns(halvex.HalvexWarning, match="1 transfer came back short"):
        acquired = board.acquire(1234, rate=20_000, channels=3, units="counts", chunk=77)
    t, counts = acquired
    assert counts.shape == (1234, 3) and counts.dtype == np.int16
    np.testing.assert_array_equal(indices(counts), np.arange(1234 * 3) & 0xFFFF)
    # The clock divides 40 MHz: 60 kHz over three channels comes out at 40e6 / 667 / 3.
    assert acquired.sample_rate == acquired.rate == pytest.approx(40e6 / 667 / 3)
    assert acquired.short_transfers == 1 and acquired.conversion_rate == pytest.approx(40e6 / 667)
    np.testing.assert_allclose(np.diff(t), 1 / acquired.sample_rate)
    assert t[0] == 0


def test_stream_reads_continue_where_the_last_one_stopped(board):
    halvex.sim.set_index_source(board)
    halvex.sim.set_pacing(board, "free-running")
    # A block run read only once it has ended: every chunk is queued when the reads begin, so a
    # partly read chunk's remainder must go back in front of them.
    stream = halvex.Stream(board, rate=50_000, channels=2, chunk=300, units="raw", samples=2 * 3000)
    with stream:
        stream.wait(timeout=60)
        parts = [stream.read(n) for n in (250, 1000, 1, 1749)]
        assert parts[0].dtype == np.uint32
        with pytest.raises(halvex.HalvexStreamEnded, match="the run has ended; 0 of the 1 samples"):
            stream.read(1)
    words = np.concatenate(parts)
    np.testing.assert_array_equal(indices(words), np.arange(6000))
    np.testing.assert_array_equal((words >> 20) & 0xF, np.tile([0, 1], (3000, 1)))


def test_streamed_volts_match_their_sources(board):
    halvex.sim.constant(board, 0, 1.5)
    halvex.sim.constant(board, 1, -0.25)
    with board.stream(rate=10_000, channels=2, ranges="5V") as stream:
        volts = next(iter(stream))
    assert volts.shape[1] == 2 and len(volts) == 1000  # about a tenth of a second per chunk
    np.testing.assert_allclose(volts, np.tile([1.5, -0.25], (len(volts), 1)), atol=0.0003125)


def test_an_exception_in_a_callback_reaches_the_caller_and_the_board_stays_usable(board):
    calls = []

    def callback(block):
        calls.append(len(block))
        if len(calls) == 2:
            raise ZeroDivisionError("from the callback")

    stream = board.stream(rate=100_000, chunk=500, callback=callback)
    deadline = time.monotonic() + 10
    while len(calls) < 3 and time.monotonic() < deadline:
        time.sleep(0.005)
    assert len(calls) >= 3, "the stream goes on after the callback raised"
    with pytest.raises(ZeroDivisionError, match="from the callback"):
        stream.close()  # raised once the stream has ended: nothing left running
    stream.close()
    t, volts = board.acquire(100, rate=10_000)
    assert volts.shape == (100, 1)


def test_no_callback_runs_after_the_stream_has_closed(board):
    calls = []
    returned = threading.Event()

    def slow(block):
        time.sleep(0.002)  # chunks queue up behind a slow callback
        calls.append(threading.get_ident())
        returned.set()

    with board.stream(rate=200_000, chunk=200, callback=slow) as stream:
        assert returned.wait(10)
    after_close = len(calls)
    time.sleep(0.2)
    assert len(calls) == after_close
    assert stream.status()["ChunksQueued"] == 0
    assert threading.get_ident() not in calls  # never on the caller's thread


def test_a_stream_closed_from_its_own_callback_gets_nothing_more(board):
    calls, box = [], {}
    returned = threading.Event()

    def callback(block):
        calls.append(len(block))
        time.sleep(0.005)  # slower than the chunks come: some are queued when it closes
        if len(calls) == 3:
            box["stream"].close()  # cannot wait for itself: returns
            returned.set()

    box["stream"] = stream = board.stream(rate=200_000, chunk=200, callback=callback)
    assert returned.wait(10), "close() from the callback returned"
    assert stream.closed
    assert stream.close() is None and stream.close() is None  # the run ended and its last call returned
    assert calls == [200] * 3 and stream.discarded_chunks > 0
    assert halvex.library().HX_AcquireWait(board.index, 0, 0) == 0


def test_a_close_behind_a_slow_callback_drops_what_is_queued(board):
    after_close = []

    def slow(block):
        if stream.closed:
            after_close.append(len(block))
        time.sleep(0.02)

    stream = board.stream(rate=200_000, chunk=200, callback=slow)
    deadline = time.monotonic() + 10
    while stream.status()["ChunksQueued"] < 20 and time.monotonic() < deadline:
        time.sleep(0.01)
    queued = stream.status()["ChunksQueued"]
    assert queued >= 20, "a backlog formed behind the callback"
    stream.close()
    assert len(after_close) <= 1  # at most the call already under way when the close came
    assert stream.discarded_chunks >= queued and stream.discarded == 200 * stream.discarded_chunks
    assert stream.status()["ChunksQueued"] == 0


def test_a_consumer_that_falls_behind_is_told(board):
    with pytest.warns(halvex.HalvexWarning, match="chunk=1 at 100000 samples/s per channel would be 100000 transfers "
                                                  "a second.*using chunk=100"):
        stream = board.stream(rate=100_000, chunk=1)
    with stream:
        assert stream.chunk_bytes == 400
    # Warned at half the backlog bound, before anything is dropped.
    with board.stream(rate=10_000, chunk=100, max_backlog_seconds=0.6, on_loss="warn") as stream:
        time.sleep(0.45)
        with pytest.warns(halvex.HalvexWarning, match="the stream's reader is .* s behind the board"):
            stream.read(10)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            stream.read(10)  # once is enough


def test_a_failed_transfer_is_raised_after_the_data_before_it(board):
    with board.stream(rate=100_000, chunk=1000) as stream:
        first = next(iter(stream))
        halvex.sim.fail_requests(board, "dma-in", error=23)
        with pytest.raises(halvex.HalvexError) as caught:
            for _ in stream:
                pass
    assert len(first) == 1000
    assert caught.value.code == 23 and "streaming transfer" in str(caught.value)

    halvex.sim.fail_requests(board, "dma-in", error=31)
    with pytest.raises(halvex.HalvexError, match="ERROR_GEN_FAILURE"):
        board.acquire(5000, rate=100_000, chunk=1000)


def test_samples_lost_to_an_overrun_are_reported(board):
    halvex.sim.set_fifo_depth(board, 0)  # every sample made between transfers is lost
    with pytest.warns(halvex.HalvexWarning, match="lost to FIFO overruns"):
        with board.stream(rate=1_000_000, chunk=1000) as stream:
            stream.read(5000)
    assert stream.overruns > 0


def test_blocks_say_where_they_sit_in_the_run_across_short_transfers(board):
    halvex.sim.set_index_source(board)
    before = datetime.now(timezone.utc)
    blocks = []

    def read_until(condition):
        for _ in range(500):
            if condition():
                return
            blocks.append(next(feed))
        pytest.fail("the injected short transfer never came")

    with pytest.warns(halvex.HalvexWarning, match="2 transfers came back short"):
        with board.stream(rate=50_000, channels=2, chunk=300, units="counts") as stream:
            feed = stream.blocks(timeout=10)
            read_until(lambda: len(blocks) >= 2)
            # Mid-stream: 12 bytes (a scan and a half on two channels), then a transfer with none.
            for returned, count in ((12, 1), (0, 2)):
                halvex.sim.short_transfer(board, returned)
                read_until(lambda: stream.short_transfers == count)
            read = len(blocks)
            read_until(lambda: len(blocks) >= read + 3)
    after = datetime.now(timezone.utc)

    assert [b.sequence for b in blocks] == list(range(len(blocks)))
    assert [b.first_sample for b in blocks] == [sum(map(len, blocks[:i])) for i in range(len(blocks))]
    counts = np.concatenate([b.data for b in blocks])
    np.testing.assert_array_equal(indices(counts), np.arange(counts.size) & 0xFFFF)  # nothing stale or missing
    assert [len(b) for b in blocks if b.short] == [1]  # its half scan went with the next chunk
    assert all(b.gap == 0 and not b.last and b.first_conversion == 2 * b.first_sample for b in blocks)

    completed = [b.completed_ns for b in blocks]
    assert completed == sorted(completed) and stream.started_ns <= completed[0] <= completed[-1] <= time.monotonic_ns()
    assert {b.started_ns for b in blocks} == {stream.started_ns}
    assert before - timedelta(milliseconds=1) <= stream.started_utc <= after
    assert blocks[0].sample_rate_hz == stream.rate == stream.conversion_rate / 2 == 50_000
    np.testing.assert_allclose(np.concatenate([b.times() for b in blocks]), np.arange(len(counts)) / 50_000)


@pytest.mark.filterwarnings("ignore:.*beyond their input range")  # the index source's counts are not volts
@pytest.mark.filterwarnings("ignore:.*behind the board")
@pytest.mark.parametrize("on_loss", ["raise", "warn"])
def test_a_stream_nobody_reads_keeps_its_bound_and_reports_what_it_dropped(board, on_loss):
    halvex.sim.set_index_source(board)
    halvex.sim.set_pacing(board, "free-running")
    scans = 20_000
    # A block run: once it has ended, what is queued no longer changes.
    stream = halvex.Stream(board, rate=100_000, channels=2, chunk=100, units="counts", samples=2 * scans,
                           max_backlog_seconds=0.01, on_loss=on_loss)
    with stream:
        stream.wait(timeout=60)
        if on_loss == "raise":
            with pytest.raises(halvex.HalvexDataLost) as caught:
                next(stream)
            lost = caught.value.lost
            assert caught.value.first_lost == 0 and isinstance(caught.value, halvex.HalvexError)
            assert f"{lost} samples per channel were dropped unread, samples 0 to {lost - 1}" in str(caught.value)
            kept = list(stream.blocks())  # reading on after the error is the caller's choice
        else:
            with pytest.warns(halvex.HalvexWarning, match="samples per channel were dropped unread, samples 0 to"):
                kept = list(stream.blocks())
            lost = kept[0].gap
    assert lost == stream.dropped == kept[0].gap == kept[0].first_sample > 0
    assert sum(map(len, kept)) == scans - lost <= stream.max_backlog == 1000
    assert all(b.gap == 0 for b in kept[1:])
    np.testing.assert_array_equal(indices(np.concatenate([b.data for b in kept])),
                                  np.arange(2 * lost, 2 * scans) & 0xFFFF)


def test_stream_arguments_are_checked_before_anything_starts(board):
    # Each refusal names the argument, the value and what is allowed.
    for arguments, message in (
            ({"rate": 0}, "rate must be a positive number of samples per second per channel, not 0"),
            ({"rate": -5}, "rate must be .* not -5"),
            ({"rate": 1000, "channels": -1}, "channels must be 1 to 8 .* not -1"),
            ({"rate": 1000, "channels": 9}, "channels must be 1 to 8"),
            ({"rate": 30e6, "channels": 2}, "rate=30000000 samples/s per channel on 2 channels is 60000000 "
                                            "conversions/s, beyond board 1's clock: .* to 40000000 conversions/s"),
            ({"rate": 1000, "units": "millivolts"}, "units are one of volts, counts, raw, not 'millivolts'"),
            ({"rate": 1000, "chunk": 0}, "chunk must be .* not 0"),
            ({"rate": 1000, "chunk": 2.5}, "chunk must be .* not 2.5"),
            ({"rate": 1000, "chunk": 1 << 24, "channels": 2}, "chunk=16777216 .* at most 64 MiB: chunk 1 to 8388608"),
            ({"rate": 1000, "ranges": 3}, r"input range 3: not one of"),
            ({"rate": 1000, "on_loss": "ignore"}, "on_loss"),
            ({"rate": 1000, "max_backlog_seconds": 0}, "max_backlog_seconds")):
        with pytest.raises(ValueError, match=message):
            board.stream(**arguments)
    for n, rate in ((0, 1000), (10, 0), (10, float("nan"))):
        with pytest.raises(ValueError, match="n must be|rate must be"):  # never a ZeroDivisionError
            board.acquire(n, rate=rate)
    stream = board.stream(rate=1000)
    assert stream.close() is None  # nothing was left running
    with pytest.raises(halvex.HalvexStreamEnded, match="board 1: the stream is closed; 0 of the 5 samples"):
        stream.read(5)
    assert list(stream) == []


CALLS_THAT_USED_TO_HANG = """
import signal, time
import halvex
from halvex._library import library

def ends(call, error, match):
    try:
        call()
    except error as caught:
        assert match in str(caught), caught
    else:
        raise AssertionError(f"{call} did not raise {error.__name__}")

board = halvex.sim.use_default_boards()[1]
stream = board.stream(rate=10_000, channels=2, chunk=100)
assert len(next(stream)) == 100
halvex.sim.use_default_boards()
ends(lambda: stream.read(100_000), halvex.HalvexStreamEnded, "use_default_boards restarted the library")
# What the failed read put back comes first, then the end.
ends(lambda: list(stream), halvex.HalvexStreamEnded, "restarted the library")
stream.close(); stream.close()

# A session ended from C, behind the package's back.
other = halvex.boards()[2].stream(rate=10_000, chunk=100)
assert len(next(other)) == 100
library().HXSIM_LibraryDetach(); library().HXSIM_LibraryStart()
ends(lambda: [b for b in other.blocks()], halvex.HalvexStreamEnded, "no longer knows its run")
other.close(); other.close()

board = halvex.boards()[1]
with board.stream(rate=10_000, callback=lambda block: None) as stream:
    for call in (lambda: stream.read(1), lambda: next(stream), stream.blocks):
        ends(call, RuntimeError, "gives its data to its callback=")

# Ctrl-C in the middle of a stream whose callback is slow: the close drops what is queued.
stream = board.stream(rate=200_000, chunk=200, callback=lambda block: time.sleep(0.02))
try:
    with stream:
        while stream.status()["ChunksQueued"] < 20:
            time.sleep(0.01)
        signal.raise_signal(signal.SIGINT)
except KeyboardInterrupt:
    pass
assert stream.discarded_chunks >= 20, stream.discarded_chunks
stream.close()
print("ended", flush=True)
"""


def test_calls_that_used_to_hang_end_with_a_clear_error():
    # In a child: were one of them to hang again, the time-out ends it.
    environment = dict(os.environ, PYTHONPATH=str(os.path.dirname(os.path.dirname(halvex.__file__))))
    result = subprocess.run([sys.executable, "-c", CALLS_THAT_USED_TO_HANG], env=environment, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0 and "ended" in result.stdout, result.stderr
