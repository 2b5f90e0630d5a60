"""Finding and loading the native library, and the C declarations the package calls."""

import ctypes
import os
import sys
from pathlib import Path

if sys.platform == "win32":
    _NAMES = ["Halvex.dll"]
    _Loader = ctypes.WinDLL
    CALLBACK = ctypes.WINFUNCTYPE
else:
    _NAMES = ["libhalvex.so.0", "libhalvex.so"]
    _Loader = ctypes.CDLL
    CALLBACK = ctypes.CFUNCTYPE

DWORD = ctypes.c_uint32
WORD = ctypes.c_uint16
UINT64 = ctypes.c_uint64
INT64 = ctypes.c_int64
BOOL = ctypes.c_int
LONG = ctypes.c_int32
P = ctypes.POINTER


class LibraryNotFound(ImportError):
    """No place the package looks for the native library holds one it can load."""


class HX_ACQUIRE_STATUS(ctypes.Structure):
    _fields_ = [
        ("Size", DWORD),
        ("Exists", DWORD),
        ("RunEnded", DWORD),
        ("BytesPerChunk", DWORD),
        ("ChunksDelivered", UINT64),
        ("SamplesDelivered", UINT64),
        ("ChunksQueued", DWORD),
        ("ChunksPooled", DWORD),
        ("FailedTransfers", DWORD),
        ("LastFailure", DWORD),
        ("ShortTransfers", DWORD),
    ]


HX_CHUNK_SHORT = 0x1
HX_CHUNK_LAST = 0x2


class HX_CHUNK_INFO(ctypes.Structure):
    _fields_ = [
        ("Size", DWORD),
        ("Flags", DWORD),
        ("Sequence", UINT64),
        ("FirstSample", UINT64),
        ("SampleCt", DWORD),
        ("ChannelCt", DWORD),
        ("CompletedNs", UINT64),
        ("StartedNs", UINT64),
        ("ConversionRateHz", ctypes.c_double),
        ("SampleRateHz", ctypes.c_double),
    ]


class HX_BOARD_INFO(ctypes.Structure):
    _fields_ = [
        ("Size", DWORD),
        ("DeviceID", DWORD),
        ("Layout", DWORD),
        ("CanStream", DWORD),
        ("ScanRows", DWORD),
        ("BaseClock", DWORD),
    ]


HX_RANGE_INPUT = 0
HX_RANGE_OUTPUT = 1


class HX_RANGE_INFO(ctypes.Structure):
    _fields_ = [
        ("Size", DWORD),
        ("Code", DWORD),
        ("Tag", DWORD),
        ("FullScaleCounts", DWORD),
        ("Low", ctypes.c_double),
        ("High", ctypes.c_double),
        ("VoltsPerCount", ctypes.c_double),
    ]


class HXSIM_STREAM_STATUS(ctypes.Structure):
    _fields_ = [
        ("Size", DWORD),
        ("Armed", BOOL),
        ("Running", BOOL),
        ("Reserved", DWORD),
        ("Runs", UINT64),
        ("Stops", UINT64),
        ("Delivered", UINT64),
        ("Overruns", UINT64),
        ("Fifo", UINT64),
        ("Completed", UINT64),
    ]


class HXSIM_REPLAY_STATUS(ctypes.Structure):
    _fields_ = [
        ("Size", DWORD),
        ("State", DWORD),
        ("Request", DWORD),
        ("Reserved", DWORD),
        ("Answered", UINT64),
        ("Left", UINT64),
        ("Message", ctypes.c_char * 768),
        ("Expected", ctypes.c_char * 256),
        ("Got", ctypes.c_char * 256),
    ]


# void callback(void *context, UINT64 board, DWORD sequencer, DWORD count, DWORD *words)
RAW_CALLBACK = CALLBACK(None, ctypes.c_void_p, UINT64, DWORD, DWORD, P(DWORD))

_D = DWORD
_FUNCTIONS = {
    "BRD_GetHighestBoardIndex": (INT64, []),
    "BRD_GetDeviceID": (_D, [UINT64, P(DWORD)]),
    "BRD_GetNameW": (_D, [UINT64, DWORD, P(WORD), P(DWORD)]),
    "PIO_In32": (_D, [UINT64, DWORD]),
    "PIO_Out32": (_D, [UINT64, DWORD, DWORD]),
    "ADC_SetRange1": (_D, [UINT64, DWORD, DWORD, DWORD]),
    "ADC_SetRangeAll": (_D, [UINT64, DWORD, DWORD, P(DWORD)]),
    "ADC_SetRate": (_D, [UINT64, DWORD, ctypes.c_double]),
    "ADC_GetRate": (_D, [UINT64, DWORD, P(ctypes.c_double)]),
    "ADC_SetChannelCount": (_D, [UINT64, DWORD, DWORD]),
    "ADC_SetDifferential": (_D, [UINT64, BOOL]),
    "ADC_GetImmediateScanRaw": (_D, [UINT64, P(DWORD), DWORD]),
    "ADC_GetImmediateScanV": (_D, [UINT64, P(ctypes.c_double), DWORD]),
    "ADC_GetImmediateRaw": (_D, [UINT64, DWORD, P(DWORD), DWORD, DWORD]),
    "ADC_GetImmediateV": (_D, [UINT64, DWORD, P(ctypes.c_double), DWORD, DWORD]),
    "ADC_SetCallback": (_D, [UINT64, DWORD, DWORD, ctypes.c_void_p]),
    "ADC_AcquireBlock": (_D, [UINT64, DWORD, DWORD]),
    "ADC_AcquireStream": (_D, [UINT64, DWORD]),
    "ADC_AcquireEnd": (_D, [UINT64, DWORD]),
    "DAC_SetRange1": (_D, [UINT64, DWORD, DWORD]),
    "DAC_SetRangeAll": (_D, [UINT64, DWORD, P(DWORD)]),
    "DAC_OutputCounts": (_D, [UINT64, DWORD, UINT64]),
    "DAC_OutputV": (_D, [UINT64, DWORD, ctypes.c_double]),
    "HX_GetVersion": (_D, []),
    "HX_ErrorName": (ctypes.c_char_p, [DWORD]),
    "HX_ErrorText": (ctypes.c_char_p, [DWORD]),
    "HX_GetBoardInfo": (_D, [UINT64, P(HX_BOARD_INFO)]),
    "HX_AcquireStatus": (_D, [UINT64, DWORD, P(HX_ACQUIRE_STATUS)]),
    "HX_AcquireWait": (_D, [UINT64, DWORD, DWORD]),
    "HX_SetCallbackContext": (_D, [UINT64, DWORD, DWORD, ctypes.c_void_p, ctypes.c_void_p]),
    "HX_SetChunkSize": (_D, [UINT64, DWORD, DWORD]),
    "HX_GetChunkInfo": (_D, [UINT64, DWORD, P(HX_CHUNK_INFO)]),
    "HX_GetChunkLimits": (_D, [P(DWORD), P(DWORD)]),
    "HX_GetRangeInfo": (_D, [DWORD, DWORD, P(HX_RANGE_INFO)]),
}

# The simulated boards' C interface: only in the Linux library.
_SIM_FUNCTIONS = {
    "HXSIM_ResetBus": (_D, []),
    "HXSIM_AddBoard": (_D, [DWORD, DWORD, DWORD, DWORD, P(UINT64)]),
    "HXSIM_UseDefaultBoards": (_D, []),
    "HXSIM_UseEnvironmentBoards": (_D, []),
    "HXSIM_GetBoardCount": (_D, [P(UINT64)]),
    "HXSIM_LibraryStart": (_D, []),
    "HXSIM_LibraryDetach": (_D, []),
    "HXSIM_SetInputSource": (_D, [UINT64, DWORD, DWORD, DWORD, ctypes.c_double, ctypes.c_double,
                                  ctypes.c_double, DWORD]),
    "HXSIM_GetInputSource": (_D, [UINT64, DWORD, DWORD, P(DWORD), P(ctypes.c_double),
                                  P(ctypes.c_double), P(ctypes.c_double), P(DWORD)]),
    "HXSIM_FailRequests": (_D, [UINT64, DWORD, DWORD, DWORD, DWORD, LONG]),
    "HXSIM_GetControlCode": (_D, [ctypes.c_char_p, P(DWORD)]),
    "HXSIM_ClearFailures": (_D, [UINT64]),
    "HXSIM_SetRegister": (_D, [UINT64, DWORD, DWORD, DWORD]),
    "HXSIM_GetRegister": (_D, [UINT64, DWORD, DWORD, P(DWORD)]),
    "HXSIM_GetAnalogOutput": (_D, [UINT64, DWORD, P(DWORD), P(DWORD), P(ctypes.c_double)]),
    "HXSIM_RaiseInterrupt": (_D, [UINT64]),
    "HXSIM_SetDmaPacing": (_D, [UINT64, DWORD]),
    "HXSIM_SetStreamIndexSource": (_D, [UINT64, BOOL]),
    "HXSIM_SetStreamFifoDepth": (_D, [UINT64, UINT64]),
    "HXSIM_GetStreamStatus": (_D, [UINT64, P(HXSIM_STREAM_STATUS)]),
    "HXSIM_AwaitStreamStops": (_D, [UINT64, UINT64, DWORD]),
    "HXSIM_Replay": (_D, [ctypes.c_char_p, DWORD, DWORD]),
    "HXSIM_ReplayEnd": (_D, []),
    "HXSIM_GetReplayStatus": (_D, [P(HXSIM_REPLAY_STATUS)]),
}


def _recorded_dir():
    """The library directory `cmake --install` wrote beside the installed package, if any."""
    try:
        from . import _recorded  # written at install time; absent in the source tree
    except ImportError:
        return None
    return getattr(_recorded, "LIBRARY_DIR", None)


def candidates():
    """Every place looked at, in order, as (how, what to load) pairs."""
    explicit = os.environ.get("HALVEX_LIBRARY")
    if explicit:
        # Named on purpose: nothing else is tried, so a mistyped path is never hidden by
        # another copy of the library.
        return [("HALVEX_LIBRARY", explicit)]
    here = Path(__file__).resolve().parent
    found = [("beside the package", str(here / name)) for name in _NAMES]
    recorded = _recorded_dir()
    if recorded:
        found += [("install prefix", str(Path(recorded) / name)) for name in _NAMES]
    found += [("system loader", name) for name in _NAMES]
    return found


def _declare(library, table, required):
    for name, (result, arguments) in table.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            if required:
                raise
            continue
        function.restype = result
        function.argtypes = arguments


def load():
    """Loads the first library that works; LibraryNotFound lists every attempt."""
    tried = []
    for how, what in candidates():
        if how not in ("system loader", "HALVEX_LIBRARY") and not os.path.exists(what):
            tried.append(f"  {how}: {what} (no such file)")
            continue
        try:
            library = _Loader(what)
        except OSError as error:
            tried.append(f"  {how}: {what} ({error})")
            continue
        try:
            _declare(library, _FUNCTIONS, required=True)
        except AttributeError as error:
            tried.append(f"  {how}: {what} (not a Halvex library of this version: {error})")
            continue
        _declare(library, _SIM_FUNCTIONS, required=False)
        library.halvex_path = what
        return library
    raise LibraryNotFound(
        "the Halvex library was not found; looked in:\n" + "\n".join(tried) +
        "\nSet HALVEX_LIBRARY to the library's path (for example build/libhalvex.so), or install "
        "Halvex with `cmake --install`.")


_library = None
# Counts the library's restarts (halvex.sim chooses boards that way): what was started in an
# earlier session, a stream above all, must not act on the boards of a later one.
session = 0


def library():
    """The loaded library, loading it on first use."""
    global _library
    if _library is None:
        _library = load()
    return _library


def has_simulator():
    return hasattr(library(), "HXSIM_ResetBus")
