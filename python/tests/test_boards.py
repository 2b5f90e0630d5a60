"""Boards, errors, ranges, immediate reads and outputs against the simulated boards."""

import math
import os
import warnings

import numpy as np
import pytest

import halvex
from halvex import ranges
from halvex.ranges import Code

VOLTS_PER_COUNT = {code: vpc for code, (_, _, vpc) in ranges.INPUT_RANGES.items()}


def test_boards_tell_what_each_board_is(boards):
    assert [(b.index, b.device_id, b.layout, b.can_stream, b.scan_rows) for b in boards] == [
        (0, 0x1100, 1, False, 2), (1, 0x805C, 2, True, 1), (2, 0x80E8, 3, True, 2)]
    assert all(b.name and b.base_clock == 40_000_000 for b in boards)
    assert ".".join(map(str, halvex.version())) == halvex.__version__
    assert "805C" in repr(boards[1]) and "streams" in repr(boards[1])


def test_errors_carry_code_name_text_and_call(boards):
    with pytest.raises(halvex.HalvexError) as caught:
        boards[1].read(1, 0)  # a layout-2 board's scans do not measure sequencer 1
    error = caught.value
    assert (error.code, error.name, error.call) == (66, "ERROR_BAD_DEV_TYPE", "ADC_GetImmediateRaw")
    assert error.text and error.text in str(error)
    assert "scans measure only sequencer 0, not sequencer 1" in str(error)  # the real reason
    with pytest.raises(halvex.HalvexError, match="ERROR_INVALID_INDEX.*no board 3: boards 0-2"):
        halvex.Board(3)
    with pytest.raises(halvex.HalvexError, match=r"board 0 \(1100\) cannot stream.*boards that can: 1, 2"):
        boards[0].stream(rate=1000)


def test_choosing_the_simulated_boards_restarts_the_library():
    chosen = halvex.sim.use_boards(["80E8", {"id": 0x805C, "clock": 10_000_000}])
    assert [(b.device_id, b.base_clock) for b in chosen] == [(0x80E8, 40_000_000), (0x805C, 10_000_000)]
    assert halvex.sim.board_count() == 2
    with pytest.raises(halvex.HalvexError, match="ERROR_INVALID_INDEX"):
        halvex.sim.constant(2, 0, 1.0)


# A number is volts whatever its type, as hxcli's --range 5 is: code 5 (±0.3125 V) only as Code(5).
@pytest.mark.parametrize("given, code", [
    (5, 1), (5.0, 1), ("5", 1), ("5V", 1), (10, 7), (np.int64(12), 0), (Code(5), 5), (Code(0), 0), (0x3031E142, 7),
    (0xBD32E142, 2), ("±2.5 V", 2), ("+-0.3125v", 5), (1.25, 3)])
def test_input_ranges_by_volts_tag_or_explicit_code(given, code):
    assert ranges.input_range(given) == code


@pytest.mark.parametrize("given", [0, 7, 6, Code(6), Code(8), "3V", "ten", -5, True, None, float("nan")])
def test_what_is_not_an_input_range_is_refused_naming_the_value(given):
    with pytest.raises(ValueError) as caught:
        ranges.input_range(given)
    assert repr(given) in str(caught.value) and "0.3125V" in str(caught.value)


@pytest.mark.parametrize("given, code", [("0-5V", 0), ("0-10V", 1), ("5V", 2), (5, 2), ("±10V", 3), (2.5, 4),
                                         (Code(4), 4), (0x30313055, 1)])
def test_output_ranges_by_name_volts_tag_or_explicit_code(given, code):
    assert ranges.output_range(given) == code
    with pytest.raises(ValueError, match=r"output range 4: not one of 0-5V.*Code\(n\)"):
        ranges.output_range(4)


@pytest.mark.parametrize("code", sorted(VOLTS_PER_COUNT))
def test_a_read_is_within_one_count_of_its_source_on_every_range(board, code):
    volts = 0.7 * ranges.INPUT_RANGES[code][1] * (-1 if code % 2 else 1)
    halvex.sim.constant(board, 5, volts)
    assert board.read(0, 5, range=Code(code)) == pytest.approx(volts, abs=VOLTS_PER_COUNT[code])
    raw = board.read_raw(0, 5)  # the range the read set stays
    assert (raw >> 16) & 7 == code and (raw >> 20) & 0xF == 5
    assert ranges.volts(np.array([raw]))[0] == pytest.approx(volts, abs=VOLTS_PER_COUNT[code])


def test_readings_beyond_their_range_are_flagged_as_hxcli_flags_them(board):
    words = np.array([16000, 16001, 0xC180, 0xC17F, (6 << 16) | 20000, 0x80000000 | 20000], dtype=np.uint32)
    assert list(ranges.beyond_range(words)) == [False, True, False, True, False, False]  # ±16000 counts is in range

    halvex.sim.constant(board, 0, 7.0)
    with pytest.warns(halvex.HalvexWarning, match=r"channel 0 7 V \(±5V range\)"):
        assert board.read(0, 0, range=5) == pytest.approx(7.0, abs=0.001)  # the value stays: flagged, not hidden
    with pytest.warns(halvex.HalvexWarning, match="beyond the input range"):
        board.scan(range="5V")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        board.read(0, 0, range="10V")
    with pytest.warns(halvex.HalvexWarning, match=r"100 readings beyond their input range.*\(channel 0: 100\)"):
        acquired = board.acquire(100, rate=10_000, channels=2, ranges="5V")
    assert list(acquired.beyond_range) == [100, 0]


def test_scans_have_a_row_per_scanned_sequencer_and_nan_in_empty_slots(boards):
    for channel in range(8):
        halvex.sim.constant(boards[2], channel, channel / 4, sequencer=0)
        halvex.sim.constant(boards[2], channel, -channel / 4, sequencer=1)
    scan = boards[2].scan(range="5V")
    assert scan.shape == (2, 8)
    np.testing.assert_allclose(scan, [[c / 4 for c in range(8)], [-c / 4 for c in range(8)]], atol=0.0003125)
    assert boards[1].scan().shape == (1, 8) and boards[1].scan_raw().dtype == np.uint32

    boards[2].set_differential(True)
    try:
        scan = boards[2].scan()
        assert np.isnan(scan[:, 4:]).all() and not np.isnan(scan[:, :4]).any()
        assert (boards[2].scan_raw()[:, 4:] == 0x80000000).all()
    finally:
        boards[2].set_differential(False)


def test_outputs_put_out_counts_and_volts_for_their_range(board):
    board.set_output_range(1, "0-10V")
    board.write(1, 2.5)
    assert halvex.sim.analog_output(board, 1)[:2] == (1, 16384)
    board.set_output_ranges(["±5V"])
    board.write(None, -2.5)
    assert [halvex.sim.analog_output(board, c)[:2] for c in range(4)] == [(2, 16384)] * 4
    board.write_counts(3, 65535)
    assert halvex.sim.analog_output(board, 3)[1] == 65535
    with pytest.raises(halvex.HalvexError, match="ERROR_INVALID_DATA"):
        board.write(0, 5.0)  # the top of a range is out of reach
    with pytest.raises(ValueError):
        board.write_counts(0, 65536)

    halvex.sim.loopback(board, 7, output=2)
    board.write(2, 1.5)
    assert board.read(0, 7, range="5V") == pytest.approx(1.5, abs=0.0003125 + 10 / 65536)


def test_configuration_is_checked_before_it_reaches_the_board(board):
    for bad in (-1000, 0, math.nan, math.inf):
        with pytest.raises(ValueError):
            board.set_conversion_rate(bad)
    with pytest.raises(ValueError, match="50000000/s is beyond board 1's clock: .* to 40000000 conversions"):
        board.set_conversion_rate(50e6)  # would round to the clock itself
    assert board.set_conversion_rate(1e6) == pytest.approx(1e6)
    with pytest.raises(halvex.HalvexError, match="ERROR_INVALID_INDEX.*channels=9; a scan covers 1 to 8"):
        board.set_channels(9)


def test_the_simulator_wrappers_act_on_the_running_boards(board):
    halvex.sim.square(board, 1, amplitude=2, hertz=5, offset=1, sequencer=1)
    assert halvex.sim.source(board, 1, sequencer=1) == {"kind": "square", "volts": 1, "amplitude": 2, "hertz": 5,
                                                        "output": 0}
    halvex.sim.ramp(board, 2, amplitude=1, hertz=3)
    halvex.sim.noise(board, 3, amplitude=0.5)
    halvex.sim.loopback(board, 4, output=3)
    assert [halvex.sim.source(board, c)["kind"] for c in (2, 3, 4)] == ["ramp", "noise", "loopback"]
    noisy = [board.read(0, 3, range="5V") for _ in range(5)]
    assert all(abs(v) <= 0.5 + 0.0003125 for v in noisy) and len(set(noisy)) > 1
    with pytest.raises(ValueError):
        halvex.sim.set_source(board, 0, "triangle")
    with pytest.raises(halvex.HalvexError, match="ERROR_INVALID_PARAMETER"):
        halvex.sim.loopback(board, 0, output=4)

    halvex.sim.set_register(board, 0x200, 0xDEADBEEF)
    assert halvex.sim.register(board, 0x200) == 0xDEADBEEF
    before = halvex.sim.stream_status(board)
    board.acquire(10, rate=10_000)
    after = halvex.sim.stream_status(board)
    assert (after["Runs"], after["Stops"]) == (before["Runs"] + 1, before["Stops"] + 1)
    assert not after["Running"] and after["Delivered"] >= before["Delivered"] + 10


def test_a_driver_recording_replays_and_names_what_diverged(boards, tmp_path):
    from halvex._library import library

    path = tmp_path / "session.hxrec"
    # Started after the boards were opened: the recording begins with that start-up all the same.
    assert library().HX_StartDriverRecording(os.fsencode(path), 0xFFFFFFFF) == 0
    halvex.sim.constant(boards[1], 3, 1.25)
    recorded = boards[1].read(0, 3)
    replayed = halvex.sim.replay(path)
    assert [b.device_id for b in replayed] == [b.device_id for b in boards]
    assert replayed[1].read(0, 3) == recorded
    assert halvex.sim.replay_status().state == "finished"
    assert math.isnan(replayed[1].read(0, 3))  # the recording has no second reading
    status = halvex.sim.replay_status()
    assert status.state == "diverged" and "REG_" in status.got and status.left == 0
    assert f"request #{status.request}" in status.message
    with pytest.raises(halvex.HalvexError, match="not a recording .* at byte 0"):
        (tmp_path / "junk.hxrec").write_bytes(b"junk" * 10)
        halvex.sim.replay(tmp_path / "junk.hxrec")
    assert halvex.sim.replay_status().state == "refused"
    halvex.sim.end_replay()
