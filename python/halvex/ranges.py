"""Input and output ranges by volts, tag or explicit code, and the conversion of packed samples.

A number is always volts, as hxcli's --range is: 5, 5.0, "5", "5V" and "±5 V" are the ±5 V
input range. A range code is given only as Code(n) (Code(5) is input code 5, ±0.3125 V), and a
range's four-byte tag (0x3031E142) is taken as it is: neither can be mistaken for volts.

Input ranges (`input_range`): ±12, 10, 5, 2.5, 1.25, 0.625 or 0.3125 V.
Output ranges (`output_range`): "0-5V" and "0-10V" (unipolar); 5, 10 or 2.5 as a number or as
text ("5V", "±5V"), which are bipolar.

A reading beyond its range (more than 16000 counts either way: the converter goes on past the
range's nominal span, but not accurately) is what `beyond_range` marks, as hxcli does.
"""

import ctypes
import functools
import math
import numbers
import types

from . import _library

KEEP = 0xFFFFFFFF

# The tables below come from the library (HX_GetRangeInfo), read when first used:
#   INPUT_RANGES       code: (tag, half-span in volts, volts per count)
#   OUTPUT_RANGES      code: (tag, lowest volts, highest volts)
#   FULL_SCALE_COUNTS  counts at an input range's half-span: a reading beyond them is outside it
#   VOLTS_PER_COUNT    volts per count by the range code in a packed sample; NaN for code 6
#   INPUT_NAMES, OUTPUT_NAMES  the ranges as the messages list them


def _range_info(kind, code):
    info = _library.HX_RANGE_INFO()
    info.Size = ctypes.sizeof(info)
    if _library.library().HX_GetRangeInfo(kind, code, ctypes.byref(info)) != 0:
        return None
    return info


@functools.cache
def _tables():
    inputs = {}
    full_scale = 0
    for code in range(8):
        info = _range_info(_library.HX_RANGE_INPUT, code)
        if info is not None:
            inputs[code] = (info.Tag, info.High, info.VoltsPerCount)
            full_scale = info.FullScaleCounts
    outputs = {}
    code = 0
    while (info := _range_info(_library.HX_RANGE_OUTPUT, code)) is not None:
        outputs[code] = (info.Tag, info.Low, info.High)
        code += 1

    def output_name(low, high):
        return f"0-{high:g}V" if low == 0 else f"±{high:g}V"

    return types.SimpleNamespace(
        INPUT_RANGES=inputs,
        OUTPUT_RANGES=outputs,
        FULL_SCALE_COUNTS=full_scale,
        VOLTS_PER_COUNT=[inputs[c][2] if c in inputs else math.nan for c in range(8)],
        INPUT_NAMES=", ".join(f"{span:g}V" for _, span, _ in sorted(inputs.values(), key=lambda r: -r[1])),
        OUTPUT_NAMES=", ".join(output_name(low, high) for _, low, high in outputs.values()),
    )


def __getattr__(name):
    if name.isupper() and hasattr(_tables(), name):
        return getattr(_tables(), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class Code(int):
    """A range code given as a code: Code(5) is input range 5 (±0.3125 V) or output range 5.
    A plain 5 is ±5 V, never code 5."""

    def __new__(cls, value):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise ValueError(f"a range code is a whole number, not {value!r}")
        return super().__new__(cls, value)

    def __repr__(self):
        return f"Code({int(self)})"




def _volts_text(text):
    """The volts of '10V', '±2.5 V', '+-5v' or '10' (the V is optional, as in hxcli)."""
    cleaned = text.strip().replace(" ", "").replace("±", "").replace("+-", "").upper()
    if cleaned.endswith("V"):
        cleaned = cleaned[:-1]
    try:
        return float(cleaned)
    except ValueError:
        return None


def _by_code(code, table, what, names):
    if int(code) not in table:
        raise ValueError(f"range Code({int(code)}): {what} codes are {', '.join(map(str, table))} ({names})")
    return int(code)


def _by_tag(value, table):
    for code, (tag, _, _) in table.items():
        if value == tag:
            return code
    return None


def _checked_kind(value, what, names):
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, str)):
        raise ValueError(f"{what} {value!r}: give the volts of one of {names} (5, 2.5 or '10V'), a range tag, "
                         f"or a range code as halvex.ranges.Code(n)")


def input_range(value):
    """The input range code for volts (a number, '10V', '±2.5 V', '10'), a tag or a Code."""
    if isinstance(value, Code):
        return _by_code(value, _tables().INPUT_RANGES, "input range", _tables().INPUT_NAMES)
    _checked_kind(value, "input range", _tables().INPUT_NAMES)
    if isinstance(value, numbers.Integral):
        code = _by_tag(value, _tables().INPUT_RANGES)
        if code is not None:
            return code
    volts = _volts_text(value) if isinstance(value, str) else float(value)
    if volts is not None:
        for code, (_, span, _) in _tables().INPUT_RANGES.items():
            if math.isclose(volts, span):
                return code
    hint = " (a number is volts; a range code is given as halvex.ranges.Code(n))" if volts is not None else ""
    raise ValueError(f"input range {value!r}: not one of {_tables().INPUT_NAMES}{hint}")


def input_range_name(code):
    return f"±{_tables().INPUT_RANGES[code][1]:g}V"


def output_range(value):
    """The output range code for '0-5V', '0-10V', volts of a bipolar range (5, '±10V', '2.5V'),
    a tag or a Code."""
    if isinstance(value, Code):
        return _by_code(value, _tables().OUTPUT_RANGES, "output range", _tables().OUTPUT_NAMES)
    _checked_kind(value, "output range", _tables().OUTPUT_NAMES)
    if isinstance(value, numbers.Integral):
        code = _by_tag(value, _tables().OUTPUT_RANGES)
        if code is not None:
            return code
    if isinstance(value, str):
        text = value.strip().replace(" ", "").upper()
        if text.startswith("0-") or text.startswith("0..") or text.startswith("U"):
            high = _volts_text(text.split("-", 1)[-1].split("..", 1)[-1].lstrip("U"))
            low = 0.0
        else:
            high = _volts_text(text)
            low = None if high is None else -high
    else:
        high = float(value)
        low = -high
    if high is not None:
        for code, (_, lo, hi) in _tables().OUTPUT_RANGES.items():
            if math.isclose(lo, low) and math.isclose(hi, high):
                return code
    raise ValueError(f"output range {value!r}: not one of {_tables().OUTPUT_NAMES} (a number is the volts of a bipolar "
                     f"range; a range code is given as halvex.ranges.Code(n))")


def counts(raw):
    """The signed 16-bit counts of packed samples (a numpy array of uint32)."""
    import numpy as np

    return (np.asarray(raw, dtype=np.uint32) & 0xFFFF).astype(np.uint16).view(np.int16)


def beyond_range(raw):
    """True where a packed sample lies beyond the range it was converted on: more than
    FULL_SCALE_COUNTS either way (hxcli marks the same readings). False for a slot without a
    sample."""
    import numpy as np

    raw = np.asarray(raw, dtype=np.uint32)
    sampled = ((raw & 0x80000000) == 0) & (((raw >> 16) & 7) != 6)
    return sampled & (np.abs(counts(raw).astype(np.int32)) > _tables().FULL_SCALE_COUNTS)


def volts(raw):
    """Packed samples in volts; NaN where a slot holds no sample or range code 6."""
    import numpy as np

    raw = np.asarray(raw, dtype=np.uint32)
    table = np.array(_tables().VOLTS_PER_COUNT)
    result = counts(raw) * table[(raw >> 16) & 7]
    result[(raw & 0x80000000) != 0] = np.nan
    return result
