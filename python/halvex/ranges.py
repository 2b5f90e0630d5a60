"""Input and output ranges by code, tag or volts, and the conversion of packed samples.

Input ranges (`input_range`): an int is a range code (0-5, 7) or a four-byte tag; a string
names the half-span in volts ("10V", "±2.5 V", "0.3125V"); a float is the half-span in volts.
Output ranges (`output_range`): an int is a code (0-4) or a tag; a string is "0-5V", "0-10V",
"5V", "10V" or "2.5V" (the last three bipolar, also written "±5V").
"""

import math
import numbers

KEEP = 0xFFFFFFFF

# code: (tag, half-span in volts, volts per count)
INPUT_RANGES = {
    0: (0x3231E142, 12.0, 0.00075),
    1: (0x3530E142, 5.0, 0.0003125),
    2: (0xBD32E142, 2.5, 0.00015625),
    3: (0xBC31E142, 1.25, 0.000078125),
    4: (0x3835E142, 0.625, 0.0000390625),
    5: (0x3331E142, 0.3125, 0.00001953125),
    7: (0x3031E142, 10.0, 0.000625),
}

# code: (tag, lowest volts, highest volts)
OUTPUT_RANGES = {
    0: (0x35303055, 0.0, 5.0),
    1: (0x30313055, 0.0, 10.0),
    2: (0x3530E142, -5.0, 5.0),
    3: (0x3031E142, -10.0, 10.0),
    4: (0xBD32E142, -2.5, 2.5),
}

# Volts per count by the range code in a packed sample; code 6 is not a range.
VOLTS_PER_COUNT = [INPUT_RANGES[c][2] if c in INPUT_RANGES else math.nan for c in range(8)]


def _volts_text(text):
    cleaned = text.strip().replace(" ", "").replace("±", "").replace("+-", "").upper()
    if not cleaned.endswith("V"):
        raise ValueError(f"{text!r}: a range in volts ends with V, e.g. '10V'")
    return float(cleaned[:-1])


def _is_code_or_tag(value):
    if isinstance(value, bool):
        raise ValueError(f"{value!r} is not a range")
    return isinstance(value, numbers.Integral)


def _by_code_or_tag(value, table, what):
    if value in table:
        return int(value)
    for code, (tag, _, _) in table.items():
        if value == tag:
            return code
    raise ValueError(f"{value} is neither {what} nor a range tag")


def input_range(value):
    """The input range code for a code, tag, '10V' string or half-span in volts."""
    if _is_code_or_tag(value):
        return _by_code_or_tag(value, INPUT_RANGES, "an input range code (0-5, 7)")
    volts = _volts_text(value) if isinstance(value, str) else float(value)
    for code, (_, span, _) in INPUT_RANGES.items():
        if math.isclose(volts, span):
            return code
    spans = ", ".join(f"{span:g}V" for _, span, _ in sorted(INPUT_RANGES.values(), key=lambda r: -r[1]))
    raise ValueError(f"no input range of ±{volts:g} V; the ranges are {spans}")


def input_range_name(code):
    return f"±{INPUT_RANGES[code][1]:g}V"


def output_range(value):
    """The output range code for a code, tag or name such as '0-10V' or '±5V'."""
    if _is_code_or_tag(value):
        return _by_code_or_tag(value, OUTPUT_RANGES, "an output range code (0-4)")
    if isinstance(value, str):
        text = value.strip().replace(" ", "").upper()
        if text.startswith("0-") or text.startswith("0..") or text.startswith("U"):
            high = _volts_text(text.split("-", 1)[-1].split("..", 1)[-1].lstrip("U"))
            low = 0.0
        else:
            high = _volts_text(text)
            low = -high
    else:
        high = float(value)
        low = -high
    for code, (_, lo, hi) in OUTPUT_RANGES.items():
        if math.isclose(lo, low) and math.isclose(hi, high):
            return code
    raise ValueError(f"no output range {value!r}; the ranges are 0-5V, 0-10V, ±5V, ±10V, ±2.5V")


def counts(raw):
    """The signed 16-bit counts of packed samples (a numpy array of uint32)."""
    import numpy as np

    return (np.asarray(raw, dtype=np.uint32) & 0xFFFF).astype(np.uint16).view(np.int16)


def volts(raw):
    """Packed samples in volts; NaN where a slot holds no sample or range code 6."""
    import numpy as np

    raw = np.asarray(raw, dtype=np.uint32)
    table = np.array(VOLTS_PER_COUNT)
    result = counts(raw) * table[(raw >> 16) & 7]
    result[(raw & 0x80000000) != 0] = np.nan
    return result
