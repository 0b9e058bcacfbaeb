"""Differential fuzz harness of the text-line kernels of sornquibid._native,
by which the command-line tool reads and writes: split_lines (bytes of
lines to a text column) and join_lines (columns to comma-separated lines).

split_lines gets raw bytes (lines, white space of every kind Python strips,
bytes that are not UTF-8) and is compared with Python reading the same text:
decoding with U+FFFD for bad bytes, splitting at line feeds, str.strip().
join_lines gets columns drawn as the column harness draws them (buffers, or
Arrow arrays and streams made with ctypes, sound or malformed) and is
compared with str() of the classes, row by row.

registry.py lists it as "lines".
"""
import ctypes
import re
import struct

import columns_harness
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from columns_harness import (ArrayExporter, ArrowArray, ArrowSchema, StreamExporter, draw_arrow,
                             draw_buffer)
from harnesses import Draw

native = columns_harness.native
HEX0X = re.compile(r"0[xX][0-9A-Fa-f]{32}")

# Pieces of lines: line ends, every white space character str.strip()
# removes (and some it keeps), incomplete and invalid UTF-8, identifiers.
PIECES = [
    b"\n", b"\n", b"\r\n", b"\r", b" ", b"\t", b"\x0b\x0c", b"\x1c\x1d\x1e\x1f", b"\x00",
    *(c.encode() for c in "\x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"),
    "\u200b".encode(), "\ufeff".encode(), b"\xc2", b"\xe2\x80", b"\xe2\x80\x80\x80", b"\xff",
    b"\x80", b"7130316800000040967", b"-5", b"0x0000000BCBCE87F19B15000000050007",
    b"0X0000000bcbce87f19b15000000050007", b"0x123", b"0000000b-cbce-87f1-9b15-000000050007",
]


def model_split(data, blank_null, hex0x):
    """The rows and line count of split_lines, as Python reads the text."""
    lines = data.decode("utf-8", "replace").split("\n")
    if lines[-1] == "" and (data.endswith(b"\n") or not data):
        lines.pop()
    rows = []
    for line in lines:
        text = line.strip()
        if not text:
            if blank_null:
                rows.append(None)
            continue
        rows.append(text[2:] if hex0x and HEX0X.fullmatch(text) else text)
    return rows, len(lines)


def read_text(column):
    """The rows of a text Column as bytes (None for nulls), through its
    Arrow export; the bytes need not be UTF-8."""
    schema_cap, array_cap = column.__arrow_c_array__()
    pointer = columns_harness._capsule_pointer
    schema = ArrowSchema.from_address(pointer(schema_cap, b"arrow_schema"))
    array = ArrowArray.from_address(pointer(array_cap, b"arrow_array"))
    assert schema.format in (b"u", b"U") and array.offset == 0, schema.format
    n, wide = array.length, schema.format == b"U"
    buffers = [array.buffers[i] for i in range(array.n_buffers)]
    offsets = struct.unpack(f"<{n + 1}{'q' if wide else 'i'}",
                            ctypes.string_at(buffers[1], (n + 1) * (8 if wide else 4)))
    data = ctypes.string_at(buffers[2], offsets[-1]) if offsets[-1] else b""
    valid = [True] * n
    if array.null_count:
        bits = ctypes.string_at(buffers[0], (n + 7) // 8)
        valid = [bool(bits[i // 8] >> (i % 8) & 1) for i in range(n)]
        assert valid.count(False) == array.null_count
    return [data[offsets[i]:offsets[i + 1]] if ok else None for i, ok in enumerate(valid)]


def check_split(d):
    blank_null, hex0x = d.flag(), d.flag()
    if d.uint(1) < 60:
        data = d.rest()
    else:
        data = b"".join(d.pick(PIECES) for _ in range(d.below(40)))
    source = d.pick([bytes, bytearray, memoryview])(data)
    column, lines = native.split_lines(source, blank_null, hex0x)
    rows = [None if r is None else r.decode("utf-8", "replace") for r in read_text(column)]
    assert (rows, lines) == model_split(data, blank_null, hex0x), (data, rows, lines)


# ---------------------------------------------------------------------------
# join_lines

TEXTS = ["", "7130316800000040967", "a,b", "\u00e9", "x\ny", "0000000b-cbce-87f1-9b15-000000050007"]


def model_field(family, value):
    """The text of one field, or the refusal of its value."""
    if value is None:
        return "", None
    if family is None:
        return value, None
    if family in (SornId, SornIdDesc):
        return (str(value), None) if value >= 0 else (None, "sornid must be non-negative")
    if len(value) != 16:
        return None, f"expected 16 bytes, got {len(value)}"
    try:
        return str(QuibId.from_bytes(value)), None
    except ValueError as exc:
        return None, str(exc)


def draw_field(d, n):
    """A column of `n` rows for join_lines: (column, family, outcome), the
    outcome being its rows (None for nulls), or "type" when join_lines must
    refuse it with TypeError, or "malformed" when it is a malformed array."""
    kind = d.pick(["text", "int64", "bytes16"])
    family = {"text": None, "int64": d.pick([SornId, SornIdDesc]),
              "bytes16": d.pick([QuibId, QuibIdDesc])}[kind]
    draw_value = {"int64": columns_harness._draw_int64, "bytes16": columns_harness._draw_quib,
                  "text": lambda d: d.pick(TEXTS)}[kind]
    values = [draw_value(d) for _ in range(n)]
    if kind == "bytes16" and n and d.uint(1) < 30:
        values[d.below(n)] = values[0][:d.below(16)]
    if d.uint(1) < 8:  # a family that may not fit the column
        family = d.pick([None, SornId, QuibIdDesc, int])
    fits = {"text": (None,), "int64": (SornId, SornIdDesc), "bytes16": (QuibId, QuibIdDesc)}[kind]
    fits = family in fits
    source = d.below(3) if kind != "text" else 1 + d.below(2)  # text has no buffer form
    if source == 0:
        column, accepted = draw_buffer(d, kind, values)
        return column, family, (values if accepted and fits else "type")
    chunk, valid, fmt = draw_arrow(d, kind, values)
    if kind == "bytes16" and fmt == "w:16" and any(len(v) != 16 for v in values):
        return None, None, None  # a fixed-width array of a value of another width: made up here only
    layout = fits and fmt in {"int64": ("l",), "bytes16": ("w:16", "z", "Z", "vz"),
                              "text": ("u", "U", "vu")}[kind]
    chunks = 1
    if source == 1:
        column = ArrayExporter(chunk)
    else:
        chunks = d.pick([1, 1, 0, 2])
        column = StreamExporter([chunk] * chunks, fmt)
    if not layout:
        return column, family, "type"
    if valid is None and chunks:
        return column, family, "malformed"
    if chunks != 1:
        return column, family, "type"
    if chunk.altered:
        return None, None, None  # sound, but of values other than those drawn
    return column, family, [v if ok else None for v, ok in zip(values, valid)]


def check_join(d):
    n = d.below(8)
    drawn = [draw_field(d, n if d.uint(1) < 240 else d.below(8)) for _ in range(d.below(4))]
    if any(column is None for column, _, _ in drawn):
        return
    row0 = d.pick([0, 3, 2**40])
    # Every column is read before any row is joined: the first refused or
    # malformed column, or one of another length, fails the call.
    expected, length = None, None
    for _, _, outcome in drawn:
        if isinstance(outcome, str):
            expected = outcome
            break
        if length is not None and len(outcome) != length:
            expected = "length"
            break
        length = len(outcome)
    try:
        got = native.join_lines([c for c, _, _ in drawn], [f for _, f, _ in drawn], row0)
    except TypeError as exc:
        assert expected == "type", (expected, exc)
        return
    except ValueError as exc:
        message = str(exc)
        if expected == "malformed":
            assert message.startswith("malformed Arrow array: "), message
        elif expected == "length":
            assert " rows, not " in message, message
        else:
            m = re.fullmatch(r"row (\d+): (.*)", message, re.S)
            assert expected is None and m, (expected, message)
            expect_refusal(drawn, int(m.group(1)) - row0, m.group(2))
        return
    assert expected is None, expected
    want = ""
    for i in range(length or 0):
        fields = []
        for _, family, rows in drawn:
            text, why = model_field(family, rows[i])
            assert why is None, (i, why)
            fields.append(text)
        want += ",".join(fields) + "\n"
    assert got.decode("utf-8", "replace") == want, (got, want)


def expect_refusal(drawn, row, why):
    """The first refused field, row by row, is at `row` and refused for `why`."""
    for i in range(len(drawn[0][2])):
        for _, family, rows in drawn:
            refusal = model_field(family, rows[i])[1]
            if refusal is not None:
                assert (i, refusal) == (row, why), (i, refusal, row, why)
                return
    raise AssertionError(f"no row is refused: {why}")


def check_lines(data):
    d = Draw(data)
    if d.flag():
        check_split(d)
    else:
        check_join(d)
