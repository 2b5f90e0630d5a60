"""The HDF5 recorder: every sample once and in order (the simulated index source proves it),
a file that survives its recorder's SIGKILL and a full disk, and a reader that follows it."""

import os
import resource
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import halvex

h5py = pytest.importorskip("h5py", reason="h5py is not installed (Debian: python3-h5py; scripts/setup.sh installs "
                                          "it): the recorder's tests are skipped")

PYTHON_DIR = str(Path(__file__).resolve().parents[1])
ENV = dict(os.environ, PYTHONPATH=PYTHON_DIR)
DEADLINE = 60
# The index source's counts run through the whole 16-bit span, beyond every range.
pytestmark = pytest.mark.filterwarnings("ignore:.*beyond their input range:halvex.HalvexWarning")


def assert_index_run(run, first=0):
    """The recording holds samples first, first+1, ... with no gap, each channel's counts being
    the index source's conversion index mod 65536."""
    index = run.sample_index()
    assert np.array_equal(index, np.arange(first, first + len(run)))
    conversions = index[:, None] * run.channels + np.arange(run.channels)
    assert np.array_equal(run.counts(), (conversions & 0xFFFF).astype(np.uint16).view(np.int16))


def cli(*args, timeout=DEADLINE, **kwargs):
    return subprocess.run([sys.executable, "-m", "halvex", *map(str, args)], env=ENV, capture_output=True,
                          text=True, timeout=timeout, **kwargs)


def test_round_trip_across_chunks_and_rollover(board, tmp_path):
    halvex.sim.set_index_source(board)
    path = tmp_path / "run.h5"
    # 0.37 s per file is 37000 rows: the boundaries fall inside the 10000-row blocks.
    summary = board.record(path, rate=100_000, channels=2, seconds=1.0, ranges="5V", rollover_seconds=0.37)
    assert (summary.samples, summary.flushed, summary.lost, summary.complete) == (100_000, 100_000, 0, True)
    assert [f.name for f in summary.files] == ["run_0000.h5", "run_0001.h5", "run_0002.h5"]
    assert not path.exists()

    with halvex.open_recording(path) as run:
        assert len(run) == 100_000 and run.complete
        assert_index_run(run)
        chunks = run.chunks
        assert np.array_equal(chunks["first_sample"][1:], chunks["first_sample"][:-1] + chunks["count"][:-1])
        # a block split at a boundary keeps its sequence number in both files
        assert len(chunks) == 10 + 2 and sorted(set(chunks["sequence"])) == list(range(10))
        assert (run.rate, run.channels, run.ranges, run.units) == (100_000.0, 2, ["±5V", "±5V"], "counts")
        assert run.volts_per_count == [0.0003125] * 2 and run.differential is False
        assert run.board == {"index": 1, "device_id": 0x805C, "name": board.name, "layout": 2}
        assert run.started_utc.tzinfo is not None and run.started_ns > 0
        assert np.array_equal(run.volts(5, 9), run.counts(5, 9) * 0.0003125)
        assert np.allclose(run.times(36_999, 37_002), [0.36999, 0.37, 0.37001])

    # Each part was closed cleanly: any HDF5 reader opens it without SWMR.
    firsts = []
    for name in summary.files:
        with h5py.File(name, "r") as f:
            assert f.attrs["complete"] and f["samples"].dtype == np.int16
            assert f.attrs["samples"] == f["samples"].shape[0] == f["chunks"]["count"].sum()
            firsts.append(int(f.attrs["first_sample"]))
    assert firsts == [0, 37_000, 74_000]


def test_recording_a_stream_being_read(board, tmp_path):
    """Volts from the user's own stream go to the file as the exact counts; blocks that do not
    follow on are recorded with the gap, and a repeated one is refused."""
    halvex.sim.set_index_source(board)
    path = tmp_path / "mine.h5"
    seen = []
    with board.stream(rate=20_000, channels=3, ranges="10V", chunk=1000) as stream, \
            halvex.Recorder(path, stream) as recorder:
        blocks = stream.blocks(timeout=10)
        for i, block in enumerate(blocks):
            if i == 3:
                continue  # as if the stream had dropped it
            recorder.write(block)
            seen.append(block)
            if len(seen) == 6:
                break
        with pytest.raises(ValueError, match="repeats samples"):
            recorder.write(seen[-1])
    assert recorder.summary.dropped == 1000
    with halvex.open_recording(path) as run:
        assert len(run) == 6000
        assert np.array_equal(run.volts(), np.concatenate([b.data for b in seen]))
        assert np.array_equal(run.sample_index()[2999:3001], [2999, 4000])
        assert run.attrs["dropped"] == 1000 and len(run.irregular) == 0


CHILD = """
import sys, halvex
board = halvex.boards()[1]
halvex.sim.set_index_source(board)
def progress(summary):
    print("flushed", summary.flushed, flush=True)
board.record(sys.argv[1], rate=50_000, channels=2, flush_interval=0.2, progress=progress)
"""


def test_reader_follows_a_recording_and_sigkill_keeps_what_was_flushed(tmp_path):
    path = tmp_path / "killed.h5"
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(path)], env=ENV, stdout=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + DEADLINE
        flushed, reports, run = 0, 0, None
        lengths = []
        while reports < 10 or len(set(lengths)) < 2:
            assert time.monotonic() < deadline, "the recorder did not report its flushes in time"
            ready, _, _ = select.select([child.stdout], [], [], 1.0)
            if ready:
                line = child.stdout.readline()
                assert line, "the recorder ended on its own"
                flushed, reports = int(line.split()[1]), reports + 1
            if run is None and flushed:
                run = halvex.open_recording(path)  # while the recorder writes it
            if run is not None:
                lengths.append(len(run.refresh()))
        assert lengths == sorted(lengths)
        run.close()
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=DEADLINE)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()

    with pytest.raises(OSError, match="already open for write"):
        h5py.File(path, "r")  # as HDF5 leaves it; open_recording opens it in SWMR read mode
    with halvex.open_recording(path) as run:
        assert not run.complete and len(run) >= flushed > 0
        assert_index_run(run)
    plotted = cli("plot", path, "-o", tmp_path / "killed.png")
    assert plotted.returncode == 0, plotted.stderr
    assert "incomplete" not in plotted.stderr


def test_errors_name_their_cause_and_keep_what_was_written(tmp_path):
    common = ["--rate", 50_000, "--channels", 2]
    done = cli("record", tmp_path / "a.h5", "--seconds", 0.2, *common)
    assert done.returncode == 0, done.stderr
    assert "10000 samples x 2 channels" in done.stdout

    exists = cli("record", tmp_path / "a.h5", "--seconds", 0.2, *common)
    assert exists.returncode == 2 and "exists" in exists.stderr and "--overwrite" in exists.stderr
    assert cli("record", tmp_path / "a.h5", "--seconds", 0.1, "--overwrite", *common).returncode == 0

    missing = cli("record", tmp_path / "nowhere" / "a.h5", "--seconds", 0.2, *common)
    assert missing.returncode == 2 and "does not exist" in missing.stderr
    (tmp_path / "plain").write_text("")
    not_folder = cli("record", tmp_path / "plain" / "a.h5", "--seconds", 0.2, *common)
    assert not_folder.returncode == 2 and "not a folder" in not_folder.stderr
    uncreatable = cli("record", "/proc/halvex.h5", "--seconds", 0.2, *common)
    assert uncreatable.returncode == 2 and "/proc/halvex.h5" in uncreatable.stderr

    no_h5py = subprocess.run([sys.executable, "-c", "import sys; sys.modules['h5py'] = None; "
                              "from halvex.__main__ import main; sys.exit(main(sys.argv[1:]))", "record",
                              str(tmp_path / "b.h5"), "--rate", "1000", "--seconds", "1"],
                             env=ENV, capture_output=True, text=True, timeout=DEADLINE)
    assert no_h5py.returncode == 3 and "python3-h5py" in no_h5py.stderr
    assert not (tmp_path / "b.h5").exists()

    # The process may not write past 4 MB: a full disk, as far as the recorder can tell.
    limit = 4_000_000
    full = cli("record", tmp_path / "full.h5", "--seconds", 30, "--free-running", *common,
               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
    assert full.returncode == 5, full.stderr
    assert "file size limit" in full.stderr
    recorded = int(full.stdout.split(" samples")[0].split()[-1])
    with h5py.File(tmp_path / "full.h5", "r") as f:  # closed cleanly: no SWMR needed
        assert not f.attrs["complete"]
    with halvex.open_recording(tmp_path / "full.h5") as run:
        assert len(run) == recorded > 100_000
        assert run.counts().shape == (recorded, 2)
    assert os.path.getsize(tmp_path / "full.h5") <= limit


def test_volts_compression_and_rollover_by_size(board, tmp_path):
    halvex.sim.set_index_source(board)
    path = tmp_path / "v.h5"
    summary = board.record(path, rate=40_000, channels=2, seconds=0.5, ranges="10V", units="volts",
                           compression="gzip", rollover_bytes=100_000)
    assert len(summary.files) == 4  # 6250 rows of two float64 per file, 20000 rows in all
    with halvex.open_recording(path) as run:
        assert run.units == "volts" and len(run) == 20_000
        index = run.sample_index()
        assert np.array_equal(index, np.arange(20_000))
        conversions = index[:, None] * 2 + np.arange(2)
        assert np.array_equal(run.volts(), (conversions & 0xFFFF).astype(np.uint16).view(np.int16) * 0.000625)
        with pytest.raises(ValueError, match="holds volts"):
            run.counts()
    with h5py.File(summary.files[0], "r") as f:
        assert f["samples"].compression == "gzip"


def test_ctrl_c_ends_a_recording_without_seconds_cleanly(tmp_path):
    path = tmp_path / "until.h5"
    child = subprocess.Popen([sys.executable, "-m", "halvex", "record", str(path), "--rate", "20000"], env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + DEADLINE
        while True:
            assert time.monotonic() < deadline and child.poll() is None, "the recording did not start"
            try:
                with halvex.open_recording(path) as run:
                    if len(run):
                        break
            except (OSError, ValueError, KeyError):
                pass  # not set up yet
            time.sleep(0.1)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=DEADLINE)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    with h5py.File(path, "r") as f:  # closed as at any other end
        assert f.attrs["complete"] and f.attrs["samples"] > 0
        assert f"{f.attrs['samples']} samples x 1 channels" in out
