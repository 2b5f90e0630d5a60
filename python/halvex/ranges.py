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

# Counts at a range's half-span: a reading beyond them is outside its range.
FULL_SCALE_COUNTS = 16000

# Volts per count by the range code in a packed sample; code 6 is not a range.
VOLTS_PER_COUNT = [INPUT_RANGES[c][2] if c in INPUT_RANGES else math.nan for c in range(8)]


class Code(int):
    """A range code given as a code: Code(5) is input range 5 (±0.3125 V) or output range 5.
    A plain 5 is ±5 V, never code 5."""

    def __new__(cls, value):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise ValueError(f"a range code is a whole number, not {value!r}")
        return super().__new__(cls, value)

    def __repr__(self):
        return f"Code({int(self)})"


INPUT_NAMES = ", ".join(f"{span:g}V" for _, span, _ in sorted(INPUT_RANGES.values(), key=lambda r: -r[1]))
OUTPUT_NAMES = "0-5V, 0-10V, ±5V, ±10V, ±2.5V"


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
        return _by_code(value, INPUT_RANGES, "input range", INPUT_NAMES)
    _checked_kind(value, "input range", INPUT_NAMES)
    if isinstance(value, numbers.Integral):
        code = _by_tag(value, INPUT_RANGES)
        if code is not None:
            return code
    volts = _volts_text(value) if isinstance(value, str) else float(value)
    if volts is not None:
        for code, (_, span, _) in INPUT_RANGES.items():
            if math.isclose(volts, span):
                return code
    hint = " (a number is volts; a range code is given as halvex.ranges.Code(n))" if volts is not None else ""
    raise ValueError(f"input range {value!r}: not one of {INPUT_NAMES}{hint}")


def input_range_name(code):
    return f"±{INPUT_RANGES[code][1]:g}V"


def output_range(value):
    """The output range code for '0-5V', '0-10V', volts of a bipolar range (5, '±10V', '2.5V'),
    a tag or a Code."""
    if isinstance(value, Code):
        return _by_code(value, OUTPUT_RANGES, "output range", OUTPUT_NAMES)
    _checked_kind(value, "output range", OUTPUT_NAMES)
    if isinstance(value, numbers.Integral):
        code = _by_tag(value, OUTPUT_RANGES)
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
        for code, (_, lo, hi) in OUTPUT_RANGES.items():
            if math.isclose(lo, low) and math.isclose(hi, high):
                return code
    raise ValueError(f"output range {value!r}: not one of {OUTPUT_NAMES} (a number is the volts of a bipolar "
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
    return sampled & (np.abs(counts(raw).astype(np.int32)) > FULL_SCALE_COUNTS)


def volts(raw):
    """Packed samples in volts; NaN where a slot holds no sample or range code 6."""
    import numpy as np

    raw = np.asarray(raw, dtype=np.uint32)
    table = np.array(VOLTS_PER_COUNT)
    result = counts(raw) * table[(raw >> 16) & 7]
    result[(raw & 0x80000000) != 0] = np.nan
    return result
