"""The simulated boards of the Linux library: which boards, what feeds their inputs, injected
failures and the DMA engine's state.

The library opens the boards when it starts, so choosing boards (use_boards,
use_default_boards) restarts it: acquisitions end and Board objects made before refer to the
new bus's boards by index. Everything else acts on the running boards at once.
"""

import ctypes
import dataclasses
import math
import os

from ._errors import HalvexError
from ._library import DWORD, HXSIM_REPLAY_STATUS, HXSIM_STREAM_STATUS, UINT64, has_simulator, library

SOURCES = {"constant": 0, "sine": 1, "square": 2, "ramp": 3, "noise": 4, "loopback": 5}
FAILURES = {"now": 0, "short": 1, "pend": 2}
PACING = {"real-time": 0, "free-running": 1}
# The driver requests a failure can be injected into, by the names used here and the driver's
# (whose control codes the library gives: HXSIM_GetControlCode).
REQUESTS = {
    "device-id": "IOCTL_GET_DEVICE_ID",
    "bar-base": "IOCTL_QUERY_BAR_BASE",
    "wait-irq": "IOCTL_WAIT_FOR_IRQ",
    "poll-irq": "IOCTL_POLL_FOR_IRQ",
    "abort-irq": "IOCTL_ABORT_IRQ_WAIT",
    "register-read": "IOCTL_REG_READ",
    "register-read-block": "IOCTL_REG_READ_BLOCK",
    "register-write": "IOCTL_REG_WRITE",
    "dma-control": "IOCTL_DMA_PIONG_CONTROL",
    "dma-in": "IOCTL_DMA_PIONG_IN",
}


def control_code(request):
    """The control code of a request named as in REQUESTS."""
    code = DWORD()
    _sim("HXSIM_GetControlCode", REQUESTS[request].encode(), ctypes.byref(code))
    return code.value


def _sim(function, *arguments):
    if not has_simulator():
        raise RuntimeError(f"{library().halvex_path} has no simulated boards (the Windows library talks to hardware)")
    code = getattr(library(), function)(*arguments)
    if code != 0:
        raise HalvexError(code, function)


def _index(board):
    return getattr(board, "index", board)


def use_boards(boards):
    """Restarts the library on a bus of these boards and returns them as Board objects. Each entry
    is a device identifier (0x805C or "805C") or a dict with `id` and optionally `firmware`,
    `clock` (Hz) and `transfer` (bytes)."""
    entries = []
    for entry in boards:
        board = entry if isinstance(entry, dict) else {"id": entry}
        device = board["id"]
        device = int(device, 16) if isinstance(device, str) else int(device)
        entries.append((device, int(board.get("firmware", 0)), int(board.get("clock", 0)),
                        int(board.get("transfer", 0))))

    def add():
        _sim("HXSIM_ResetBus")
        for entry in entries:
            _sim("HXSIM_AddBoard", *entry, None)

    return _restart("use_boards", add)


def use_default_boards():
    """Restarts the library on one board of each register layout: 1100, 805C and 80E8."""
    return _restart("use_default_boards", lambda: _sim("HXSIM_UseDefaultBoards"))


def _restart(how, choose):
    """Ends the open streams (each then says why it ended), restarts the library on the boards
    `choose` puts on the bus, and lists them."""
    from . import _library
    from .board import boards as list_boards
    from .stream import _end_all

    if not has_simulator():
        _sim("HXSIM_LibraryDetach")  # says why nothing can be chosen
    _end_all(f"halvex.sim.{how} restarted the library")
    _sim("HXSIM_LibraryDetach")
    _library.session += 1
    choose()
    _sim("HXSIM_LibraryStart")
    return list_boards()


def set_source(board, channel, kind, volts=0.0, amplitude=0.0, hertz=0.0, output=0, sequencer=0):
    """What feeds input `channel`: constant volts; volts + amplitude x sine, square or ramp at
    hertz; noise within amplitude; or loopback from analog output `output`."""
    if kind not in SOURCES:
        raise ValueError(f"source kinds are {', '.join(SOURCES)}, not {kind!r}")
    for name, value in (("volts", volts), ("amplitude", amplitude), ("hertz", hertz)):
        if not math.isfinite(value):
            raise ValueError(f"{name} must be a finite number, not {value}")
    _sim("HXSIM_SetInputSource", _index(board), sequencer, channel, SOURCES[kind], float(volts),
         float(amplitude), float(hertz), int(output))


def source(board, channel, sequencer=0):
    """What feeds input `channel`, as a dict: kind, volts, amplitude, hertz, output."""
    kind, output = DWORD(), DWORD()
    volts, amplitude, hertz = ctypes.c_double(), ctypes.c_double(), ctypes.c_double()
    _sim("HXSIM_GetInputSource", _index(board), sequencer, channel, ctypes.byref(kind), ctypes.byref(volts),
         ctypes.byref(amplitude), ctypes.byref(hertz), ctypes.byref(output))
    names = {number: name for name, number in SOURCES.items()}
    return {"kind": names.get(kind.value, kind.value), "volts": volts.value, "amplitude": amplitude.value,
            "hertz": hertz.value, "output": output.value}


def constant(board, channel, volts, sequencer=0):
    set_source(board, channel, "constant", volts=volts, sequencer=sequencer)


def sine(board, channel, amplitude, hertz, offset=0.0, sequencer=0):
    set_source(board, channel, "sine", volts=offset, amplitude=amplitude, hertz=hertz, sequencer=sequencer)


def square(board, channel, amplitude, hertz, offset=0.0, sequencer=0):
    set_source(board, channel, "square", volts=offset, amplitude=amplitude, hertz=hertz, sequencer=sequencer)


def ramp(board, channel, amplitude, hertz, offset=0.0, sequencer=0):
    set_source(board, channel, "ramp", volts=offset, amplitude=amplitude, hertz=hertz, sequencer=sequencer)


def noise(board, channel, amplitude, offset=0.0, sequencer=0):
    set_source(board, channel, "noise", volts=offset, amplitude=amplitude, sequencer=sequencer)


def loopback(board, channel, output, sequencer=0):
    """Input `channel` reads what analog output `output` (0-3) puts out."""
    set_source(board, channel, "loopback", output=output, sequencer=sequencer)


def fail_requests(board, request, kind="now", error=31, returned_bytes=0, count=1):
    """Makes the board's next `count` requests of a kind (see REQUESTS) fail: "now" with `error`,
    "short" returning only `returned_bytes`, or "pend" for ever. count -1: until cleared."""
    code = control_code(request) if isinstance(request, str) else int(request)
    _sim("HXSIM_FailRequests", _index(board), code, FAILURES[kind], int(error), int(returned_bytes), int(count))


def short_transfer(board, returned_bytes, count=1):
    """The board's next `count` data transfers come back short, as when a driver ends one early:
    each carries only the stream's next `returned_bytes` bytes (0: none), and the transfer
    after it goes on from there."""
    fail_requests(board, "dma-in", kind="short", returned_bytes=returned_bytes, count=count)


def clear_failures(board):
    _sim("HXSIM_ClearFailures", _index(board))


def set_pacing(board, pacing):
    """"real-time": samples come at the conversion rate; "free-running": as fast as requested."""
    _sim("HXSIM_SetDmaPacing", _index(board), PACING[pacing])


def set_index_source(board, on=True):
    """Every streamed sample carries its index since the run started (counts = index mod 65536)."""
    _sim("HXSIM_SetStreamIndexSource", _index(board), 1 if on else 0)


def set_fifo_depth(board, samples):
    _sim("HXSIM_SetStreamFifoDepth", _index(board), int(samples))


def stream_status(board):
    """The DMA engine's state and totals since the board was added, as a dict."""
    record = HXSIM_STREAM_STATUS()
    record.Size = ctypes.sizeof(record)
    _sim("HXSIM_GetStreamStatus", _index(board), ctypes.byref(record))
    return {name: getattr(record, name) for name, _ in record._fields_ if name not in ("Size", "Reserved")}


def analog_output(board, channel):
    """What output `channel` puts out: (range code, counts, volts)."""
    code, counts, volts = DWORD(), DWORD(), ctypes.c_double()
    _sim("HXSIM_GetAnalogOutput", _index(board), channel, ctypes.byref(code), ctypes.byref(counts),
         ctypes.byref(volts))
    return code.value, counts.value, volts.value


def register(board, offset, width=4):
    value = DWORD()
    _sim("HXSIM_GetRegister", _index(board), offset, width, ctypes.byref(value))
    return value.value


def set_register(board, offset, value, width=4):
    _sim("HXSIM_SetRegister", _index(board), offset, value, width)


def raise_interrupt(board):
    _sim("HXSIM_RaiseInterrupt", _index(board))


def board_count():
    count = UINT64()
    _sim("HXSIM_GetBoardCount", ctypes.byref(count))
    return count.value


# ---- Replaying a driver recording ----------------------------------------------------------

REPLAY_STATES = {0: "off", 1: "running", 2: "finished", 3: "diverged", 4: "refused"}
REPLAY_DIVERGED = 776  # the code a request fails with once the replay diverged


@dataclasses.dataclass
class ReplayStatus:
    """Where a replay stands. `state` is "off", "running", "finished", "diverged" or
    "refused"; once diverged, `request` is the recording's number of the request that
    differed, `expected` what the recording has there and `got` what came; `message` says it
    in one line (for a refused file: the cause and its byte offset)."""

    state: str
    request: int
    answered: int
    left: int
    message: str
    expected: str
    got: str


def replay(path, paced=False, accept_torn_tail=False, stall_ms=0):
    """Restarts the library on a driver recording (HALVEX_RECORD or HX_StartDriverRecording
    made it, docs/recording-format.md describes it) instead of the simulated boards, and
    returns the recorded boards as Board objects. Each request is answered as recorded; the
    first one that differs fails with code 776 and replay_status() names it. `paced` completes
    transfers no sooner than recorded. A file that is not a whole recording raises HalvexError
    naming the cause and byte offset (`accept_torn_tail` drops an incomplete last record)."""
    flags = (1 if paced else 0) | (2 if accept_torn_tail else 0)

    def choose():
        code = library().HXSIM_Replay(os.fsencode(path), flags, int(stall_ms))
        if code != 0:
            raise HalvexError(code, "HXSIM_Replay", replay_status().message or None)

    return _restart("replay", choose)


def end_replay():
    """Ends the replay and restarts the library on the simulated boards."""
    return _restart("end_replay", lambda: _sim("HXSIM_ReplayEnd"))


def replay_status():
    """The running replay's ReplayStatus, or the last one's."""
    record = HXSIM_REPLAY_STATUS()
    record.Size = ctypes.sizeof(record)
    _sim("HXSIM_GetReplayStatus", ctypes.byref(record))
    return ReplayStatus(REPLAY_STATES.get(record.State, str(record.State)), record.Request, record.Answered,
                        record.Left, record.Message.decode(errors="replace"),
                        record.Expected.decode(errors="replace"), record.Got.decode(errors="replace"))
