"""Pictures: from an acquisition, from hxcli's files, and the command line."""

import json
import os
import subprocess

import numpy as np
import pytest

import halvex
from halvex import plot

PNG = b"\x89PNG\r\n\x1a\n"


def lines_and_labels(fig):
    axes = fig.axes[0]
    return len(axes.lines), axes.get_xlabel(), axes.get_ylabel()


@pytest.fixture
def figures(monkeypatch):
    """The figures plot.main draws, kept instead of saved."""
    kept = []
    monkeypatch.setattr(plot, "save", lambda fig, path: kept.append(fig))
    return kept


def test_an_acquisition_plots_one_line_per_channel(board, tmp_path):
    halvex.sim.sine(board, 0, amplitude=1, hertz=100)
    acquired = board.acquire(200, rate=10_000, channels=3)
    fig = plot.figure(acquired.t, acquired.data, "title")
    assert lines_and_labels(fig) == (3, "time (s)", "volts (V)")
    np.testing.assert_array_equal(fig.axes[0].lines[0].get_xdata(), acquired.t)
    fig.canvas.draw()
    legend, axes = fig.axes[0].get_legend().get_window_extent(), fig.axes[0].get_window_extent()
    assert not legend.overlaps(axes), "the legend hides no data"
    assert fig.bbox.contains(legend.x1 - 1, legend.y1 - 1), "and stays inside the picture"
    plot.save(fig, tmp_path / "a.png")
    assert (tmp_path / "a.png").read_bytes().startswith(PNG)


def test_the_command_line_acquires_and_writes_a_png(boards, tmp_path, capsys, figures):
    output = tmp_path / "cli.png"
    arguments = ["-b", "2", "-c", "2", "-r", "5000", "-d", "0.02", "--range", "10V", "-o", str(output)]
    assert plot.main(arguments + ["--sine", "50"]) == 0
    assert "100 samples x 2 channels" in capsys.readouterr().out
    axes = figures[0].axes[0]
    assert "5000 samples/s per channel" in axes.get_title()
    assert all(np.ptp(line.get_ydata()) > 1 for line in axes.lines)  # a signal, not flat lines
    assert plot.main(["-b", "0", "-o", str(output)]) == 1
    assert "cannot stream" in capsys.readouterr().err
    for bad in (["-r", "-5"], ["-s", "1"], ["-c", "9"], ["-d", "0"], ["-o", str(tmp_path / "no" / "x.png")],
                ["--sine", "0"]):
        with pytest.raises(SystemExit) as caught:
            plot.main(bad)
        assert caught.value.code == 2


def test_hxcli_files_are_read_back(tmp_path, figures, capsys):
    csv = tmp_path / "run.csv"
    csv.write_text("# halvex: 0.1.0\n# board: 1\n# device: 805C\n# sequencer: 0\n# rate_hz: 2000\n"
                   "# channels: 2\n# ranges: 10V,10V\n# units: volts\n# start: 2026-12-09T10:00:00Z\n"
                   "time_s,ch0,ch1\n0,0.5,-1\n0.001,0.25,-2\n0.002,0,-3\n")
    t, data, metadata = plot.read_csv(csv)
    np.testing.assert_array_equal(t, [0, 0.001, 0.002])
    np.testing.assert_array_equal(data, [[0.5, -1], [0.25, -2], [0, -3]])
    assert metadata["ranges"] == "10V,10V" and metadata["units"] == "volts"
    assert plot.main([str(csv), "-o", str(tmp_path / "csv.png")]) == 0

    # Packed words: 16000 counts on the ±10 V range of channel 1 is 10 V; a no-sample word is NaN.
    raw = np.array([[(7 << 16) | 16000, 0x80000000]], dtype=np.uint32)
    np.save(tmp_path / "raw.npy", raw)
    t, data, units = plot.read_npy(tmp_path / "raw.npy", rate=1000)
    assert units == "volts" and data[0, 0] == 10.0 and np.isnan(data[0, 1])
    counts = tmp_path / "counts.npy"
    np.save(counts, np.arange(6, dtype=np.int32).reshape(3, 2))
    t, data, units = plot.read_npy(counts, rate=None)
    assert units == "counts" and list(t) == [0, 1, 2]
    assert plot.main([str(counts), "-o", str(tmp_path / "n.png")]) == 0
    assert figures[-1].axes[0].get_xlabel() == "sample index"  # no rate: no seconds either
    assert plot.main([str(counts), "-r", "100", "-o", str(tmp_path / "n.png")]) == 0
    assert figures[-1].axes[0].get_xlabel() == "time (s)"

    # The file's own rate wins; files of earlier versions had only the conversion rate, rate_hz.
    for metadata, rate in (({"sample_rate_hz": 1000, "conversion_rate_hz": 2000, "first_sample": 4}, 1000),
                           ({"rate_hz": 2000}, 1000)):
        (tmp_path / "counts.npy.json").write_text(json.dumps(metadata))
        t, _, _ = plot.read_npy(counts, rate=None)
        np.testing.assert_allclose(t, (metadata.get("first_sample", 0) + np.arange(3)) / rate)
    assert plot.main([str(counts), "-r", "2000", "-o", str(tmp_path / "n.png")]) == 2
    assert "sampled at 1000 samples/s per channel (its metadata), not the 2000 given" in capsys.readouterr().err

    (tmp_path / "bad.csv").write_text("# board: 1\nnot,a,header\n")
    with pytest.raises(ValueError, match="not an hxcli CSV"):
        plot.read_csv(tmp_path / "bad.csv")
    (tmp_path / "bad.npy").write_bytes(b"not numpy at all")
    (tmp_path / "cut.csv").write_text("time_s,ch0\n0,1\n0.1\n")
    for bad in ("bad.csv", "bad.npy", "cut.csv"):
        assert plot.main([str(tmp_path / bad), "-o", str(tmp_path / "x.png")]) == 2
        err = capsys.readouterr().err
        assert err.startswith(f"halvex plot: {tmp_path / bad}") and err.count("\n") == 1, err


def test_the_module_lists_the_boards_and_refuses_unknown_commands(boards, capsys):
    from halvex.__main__ import main

    assert main(["boards"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("Halvex ") and out.count("<Board ") == 3
    assert main(["frobnicate"]) == 2 and "unknown command" in capsys.readouterr().err


@pytest.mark.skipif("HXCLI" not in os.environ, reason="hxcli is not built")
def test_files_hxcli_writes_are_what_the_plotter_reads(tmp_path):
    def block(*output):
        subprocess.run([os.environ["HXCLI"], "block", "--board", "1", "--rate", "20000", "--channels", "2",
                        "--samples", "500", "--quiet", *output], check=True, capture_output=True, timeout=60)

    block("--csv", str(tmp_path / "b.csv"))
    t, data, metadata = plot.read_csv(tmp_path / "b.csv")
    assert data.shape == (500, 2) and (metadata["board"], metadata["channels"]) == ("1", "2")
    # Per channel, or over both channels in hxcli versions whose --rate was the conversion rate.
    sample_rate = float(metadata["sample_rate_hz"])
    assert sample_rate in (10000, 20000) and float(metadata["conversion_rate_hz"]) == 2 * sample_rate
    assert metadata["first_sample"] == "0"
    np.testing.assert_allclose(t, np.arange(500) / sample_rate)
    block("--npy", str(tmp_path / "b.npy"))
    t, from_npy, units = plot.read_npy(tmp_path / "b.npy", rate=None)  # the rate from b.npy.json
    assert from_npy.shape == (500, 2) and units == "volts"
    np.testing.assert_allclose(t, np.arange(500) / sample_rate)
    sidecar = plot.read_metadata(tmp_path / "b.npy")
    assert sidecar["shape"] == [500, 2] and sidecar["start"].endswith("Z")
