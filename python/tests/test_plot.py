"""Pictures: from an acquisition, from hxcli's files, and the command line."""

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


def test_an_acquisition_plots_one_line_per_channel(board, tmp_path):
    halvex.sim.sine(board, 0, amplitude=1, hertz=100)
    acquired = board.acquire(200, rate=10_000, channels=3)
    fig = plot.figure(acquired.t, acquired.data, "title")
    assert lines_and_labels(fig) == (3, "time (s)", "volts (V)")
    np.testing.assert_array_equal(fig.axes[0].lines[0].get_xdata(), acquired.t)
    plot.save(fig, tmp_path / "a.png")
    assert (tmp_path / "a.png").read_bytes().startswith(PNG)


def test_the_command_line_acquires_and_writes_a_png(boards, tmp_path, capsys):
    output = tmp_path / "cli.png"
    assert plot.main(["-b", "2", "-c", "2", "-r", "5000", "-d", "0.02", "--range", "10V", "-o", str(output)]) == 0
    assert output.read_bytes().startswith(PNG)
    assert "100 samples x 2 channels" in capsys.readouterr().out
    assert plot.main(["-b", "0", "-o", str(output)]) == 1
    assert "cannot stream" in capsys.readouterr().err
    for bad in (["-r", "-5"], ["-s", "1"], ["-c", "9"], ["-d", "0"], ["-o", str(tmp_path / "no" / "x.png")]):
        with pytest.raises(SystemExit) as caught:
            plot.main(bad)
        assert caught.value.code == 2


def test_hxcli_files_are_read_back(tmp_path):
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
    np.save(tmp_path / "counts.npy", np.arange(6, dtype=np.int32).reshape(3, 2))
    t, data, units = plot.read_npy(tmp_path / "counts.npy", rate=None)
    assert units == "counts" and list(t) == [0, 1, 2]
    assert plot.main([str(tmp_path / "counts.npy"), "-r", "100", "-o", str(tmp_path / "n.png")]) == 0
    (tmp_path / "bad.csv").write_text("# board: 1\nnot,a,header\n")
    with pytest.raises(ValueError, match="not an hxcli CSV"):
        plot.read_csv(tmp_path / "bad.csv")


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
    assert (metadata["sample_rate_hz"], metadata["conversion_rate_hz"], metadata["first_sample"]) == (
        "10000", "20000", "0")
    np.testing.assert_allclose(t, np.arange(500) / 10000)  # the conversion rate is over both channels
    block("--npy", str(tmp_path / "b.npy"))
    t, from_npy, units = plot.read_npy(tmp_path / "b.npy", rate=None)  # the rate from b.npy.json
    assert from_npy.shape == (500, 2) and units == "volts"
    np.testing.assert_allclose(t, np.arange(500) / 10000)
    sidecar = plot.read_metadata(tmp_path / "b.npy")
    assert sidecar["shape"] == [500, 2] and sidecar["start"].endswith("Z")
