"""The Tango device server: one in-process device on a simulated board for streams, events, refusals
and faults, and the server as its own process, killed and started again under a client."""

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

tango = pytest.importorskip("tango", reason="PyTango is missing: install python3-tango (scripts/setup.sh)")
from tango.test_context import DeviceTestContext  # noqa: E402

import halvex  # noqa: E402
import halvex.tango as halvex_tango  # noqa: E402

PYTHON_DIR = Path(__file__).resolve().parents[1]


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)


@pytest.fixture(scope="module")
def context():
    """One device on board 1 of a fresh default bus (a process holds one test context at a time)."""
    boards = halvex.sim.use_default_boards()
    context = DeviceTestContext(halvex_tango.HalvexBoard, properties={"BoardIndex": 1}, host="127.0.0.1",
                                timeout=15)
    context.start()
    try:
        yield context, boards[1]
    finally:
        context.stop()


@pytest.fixture
def device(context):
    """The device, idle, two channels at 20000 samples/s each on the 5 V range, 200 samples a chunk."""
    context, board = context
    proxy = context.device
    proxy.set_timeout_millis(10000)
    proxy.Stop()
    halvex.sim.clear_failures(board)
    if proxy.state() == tango.DevState.FAULT:
        proxy.Reset()
    proxy.Channels = 2
    proxy.SampleRate = 20000
    proxy.InputRanges = ["5V"]
    proxy.ChunkSize = 200
    yield proxy, board, context.get_device_access()
    proxy.Stop()


def counts_to_volts(first_conversion, samples):
    return (np.arange(first_conversion, first_conversion + samples) & 0xFFFF).astype(np.uint16).view(np.int16) \
        * 0.0003125


def test_stream_reaches_two_clients_in_order_and_stops(device):
    proxy, board, address = device
    halvex.sim.set_index_source(board)  # each sample's counts are its conversion's index in the run
    other = tango.DeviceProxy(address)
    ready_a, ready_b, chunks = [], [], []
    subscriptions = [
        (proxy, proxy.subscribe_event("LastChunk", tango.EventType.DATA_READY_EVENT, lambda e: ready_a.append(e.ctr))),
        (other, other.subscribe_event("LastChunk", tango.EventType.DATA_READY_EVENT, lambda e: ready_b.append(e.ctr))),
        (other, other.subscribe_event("LastChunk", tango.EventType.CHANGE_EVENT,
                                      lambda e: None if e.err else chunks.append(e.attr_value)))]
    try:
        proxy.Start()
        assert proxy.state() == tango.DevState.RUNNING
        wait_for(lambda: min(len(ready_a), len(ready_b)) >= 40, 15, "40 chunk events in each client")
        proxy.Stop()
        assert proxy.state() == tango.DevState.ON
        seen = (len(ready_a), len(ready_b))
        time.sleep(0.3)
        assert (len(ready_a), len(ready_b)) == seen, "events after Stop returned"
    finally:
        halvex.sim.set_index_source(board, False)
        for client, subscription in subscriptions:
            client.unsubscribe_event(subscription)
    assert ready_a == list(range(len(ready_a)))
    assert ready_b == list(range(len(ready_b)))
    # The change events carry the chunks themselves, one row per channel, none missing. Tango may
    # send the first one after a subscription twice, with the same time stamp.
    chunks = [c.value for i, c in enumerate(chunks) if c.value is not None and c.value.size
              and not (i and c.time.totime() == chunks[i - 1].time.totime())]
    assert len(chunks) >= 40
    for sequence, chunk in enumerate(chunks):
        assert chunk.shape == (2, 200)
        expected = counts_to_volts(sequence * 400, 400).reshape(200, 2).T
        np.testing.assert_allclose(chunk, expected)
    assert proxy.ChunkSequence == len(ready_a) - 1
    assert proxy.SamplesAcquired == 200 * len(ready_a)
    assert proxy.SamplesDropped == 0 and proxy.Overruns == 0


def test_refusals_answer_the_library_code_and_change_nothing(device):
    proxy, board, _ = device
    proxy.OutputRanges = ["0-5V"]
    proxy.SetOutput([0, 1.0])
    output = halvex.sim.analog_output(board, 0)

    def refused(action, reason):
        with pytest.raises(tango.DevFailed) as caught:
            action()
        assert caught.value.args[0].reason == reason, caught.value.args[0].desc
        assert proxy.SampleRate == 20000 and proxy.Channels == 2
        assert proxy.InputRanges == ("5V",) * 8

    refused(lambda: setattr(proxy, "SampleRate", 1e9), "ERROR_INVALID_DATA")  # beyond the board's clock
    refused(lambda: setattr(proxy, "SampleRate", -1000), "ERROR_INVALID_DATA")
    refused(lambda: setattr(proxy, "Channels", 9), "ERROR_INVALID_INDEX")
    refused(lambda: setattr(proxy, "ChunkSize", 1 << 24), "ERROR_INVALID_PARAMETER")  # beyond 64 MiB
    refused(lambda: setattr(proxy, "InputRanges", ["7V"]), "ERROR_INVALID_PARAMETER")
    refused(lambda: setattr(proxy, "InputRanges", ["1"]), "ERROR_INVALID_PARAMETER")  # 1 V, not range code 1
    refused(lambda: setattr(proxy, "OutputRanges", ["3V"]), "ERROR_INVALID_PARAMETER")
    refused(lambda: proxy.SetOutput([0, 5.0]), "ERROR_INVALID_DATA")  # the top of 0-5V is beyond it
    refused(lambda: proxy.SetOutput([4, 1.0]), "ERROR_INVALID_INDEX")
    refused(lambda: proxy.AcquireBlock(0), "ERROR_INVALID_PARAMETER")
    assert halvex.sim.analog_output(board, 0) == output and proxy.OutputRanges == ("0-5V",) * 4
    proxy.Channels = 8  # differential mode scans at most four
    with pytest.raises(tango.DevFailed, match="ERROR_INVALID_INDEX"):
        proxy.Differential = True
    assert not proxy.Differential
    proxy.Channels = 2

    proxy.Start()
    refused(lambda: setattr(proxy, "SampleRate", 1000), "ERROR_BUSY")
    refused(lambda: setattr(proxy, "Channels", 1), "ERROR_BUSY")
    refused(lambda: setattr(proxy, "InputRanges", ["10V"]), "ERROR_BUSY")
    refused(lambda: proxy.AcquireBlock(10), "ERROR_BUSY")
    refused(lambda: proxy.ReadScan(), "ERROR_BUSY")
    refused(lambda: proxy.Start(), "ERROR_BUSY")
    assert proxy.state() == tango.DevState.RUNNING
    proxy.SetOutput([1, 2.5])  # outputs are not the stream's
    assert halvex.sim.analog_output(board, 1)[2] == pytest.approx(2.5)
    proxy.Stop()
    assert proxy.state() == tango.DevState.ON


def test_scan_block_fault_and_reset(device):
    proxy, board, _ = device
    # An immediate scan stops the board's conversion clock and rewrites its channel setup; the
    # device puts back what clients set, so a stream afterwards runs as configured.
    assert proxy.ReadScan().shape == (8,)
    assert proxy.SampleRate == 20000 and proxy.Channels == 2
    halvex.sim.constant(board, 0, 1.0)
    halvex.sim.constant(board, 1, -2.0)
    block = proxy.AcquireBlock(50).reshape(2, 50)
    np.testing.assert_allclose(block, [[1.0] * 50, [-2.0] * 50], atol=0.001)

    halvex.sim.fail_requests(board, "dma-in", error=31)
    proxy.Start()
    wait_for(lambda: proxy.state() == tango.DevState.FAULT, 10, "FAULT after a failed transfer")
    assert "ERROR_GEN_FAILURE" in proxy.status()
    proxy.Reset()
    assert proxy.state() == tango.DevState.ON
    proxy.SampleRate = 20000
    proxy.Start()
    wait_for(lambda: proxy.ChunkSequence >= 2, 10, "chunks after the reset")
    proxy.Stop()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(port):
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), HALVEX_SIM_BOARDS="805C")
    return subprocess.Popen([sys.executable, "-m", "halvex.tango", "test", "-nodb", "-ORBendPoint",
                             f"giop:tcp:127.0.0.1:{port}"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, start_new_session=True)


def test_server_process_killed_and_started_again():
    port = free_port()
    servers = []
    try:
        servers.append(start_server(port))
        proxy = tango.DeviceProxy(f"tango://127.0.0.1:{port}/halvex/board/0#dbase=no")
        proxy.set_timeout_millis(3000)

        def answers():
            try:
                return proxy.state() == tango.DevState.ON
            except tango.DevFailed:
                return False

        wait_for(answers, 30, "the server to answer")
        proxy.SampleRate = 5000
        proxy.Start()
        wait_for(lambda: proxy.ChunkSequence >= 1, 10, "chunks from the server")
        servers[-1].send_signal(signal.SIGKILL)
        servers[-1].wait(10)
        servers.append(start_server(port))
        wait_for(answers, 30, "the restarted server to answer the same client")
        proxy.SampleRate = 5000
        assert proxy.SampleRate == 5000
        proxy.Start()
        wait_for(lambda: proxy.ChunkSequence >= 1, 10, "chunks from the restarted server")
        proxy.Stop()
        assert proxy.state() == tango.DevState.ON
    finally:
        for server in servers:
            if server.poll() is None:
                os.killpg(server.pid, signal.SIGKILL)
            server.wait(10)
