"""Differential fuzz harness of the column kernels of sornquibid._native: the
bytes become a column (a buffer of some format and shape, or an Arrow array
or stream made here with ctypes, sound or malformed: formats, lengths,
offsets, null counts, validity bitmaps, offsets and views pointing anywhere)
and a call; every result is read back through the buffer protocol or the
Arrow C data interface and compared with the identifier classes row by row.
A malformed Arrow array must be refused with ValueError, a wrong layout with
TypeError, a bad value with the class's message and its row.

registry.py lists it as "columns".
No framework is needed: numpy and pyarrow stand for nothing here.
"""
import ctypes
import re
import struct

import harnesses
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from harnesses import Draw

try:
    from sornquibid import _native as native
except ImportError:  # an extension without the package's helpers
    native = None

FAMILIES = [SornId, SornIdDesc, QuibId, QuibIdDesc]


# ---------------------------------------------------------------------------
# The Arrow C data interface, by ctypes


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


RELEASE_SCHEMA = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_void_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", RELEASE_SCHEMA), ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", RELEASE_ARRAY), ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                              ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                            ctypes.POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
FAILURE = ctypes.create_string_buffer(b"made to fail")
RELEASE_STREAM = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", RELEASE_STREAM), ("private_data", ctypes.c_void_p),
]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


@RELEASE_SCHEMA
def _release_schema(p):
    p.contents.release = RELEASE_SCHEMA()


@RELEASE_ARRAY
def _release_array(p):
    p.contents.release = RELEASE_ARRAY()


class Chunk:
    """One Arrow array made here: its structures and the memory they point
    into, kept alive by this object."""

    def __init__(self, fmt, length, offset, null_count, buffers, n_buffers=None):
        self.keep = [ctypes.create_string_buffer(bytes(b), max(len(b), 1)) if b is not None
                     else None for b in buffers]
        pointers = [ctypes.cast(b, ctypes.c_void_p).value if b is not None else None
                    for b in self.keep]
        self.pointers = (ctypes.c_void_p * max(len(pointers), 1))(*pointers)
        self.fmt = fmt.encode()
        self.length, self.offset, self.null_count = length, offset, null_count
        self.n_buffers = len(buffers) if n_buffers is None else n_buffers
        self.altered = False  # sound, but not holding the values it was made of

    def schema(self):
        s = ArrowSchema(self.fmt, b"", None, 2, 0, None, None, _release_schema, None)
        return s

    def array(self):
        return ArrowArray(self.length, self.null_count, self.offset, self.n_buffers, 0,
                          self.pointers, None, None, _release_array, None)


class ArrayExporter:
    """An object with __arrow_c_array__ for one Chunk."""

    def __init__(self, chunk):
        self.chunk = chunk
        self.structs = []

    def __arrow_c_array__(self, requested_schema=None):
        s, a = self.chunk.schema(), self.chunk.array()
        self.structs += [s, a]
        return (_capsule_new(ctypes.addressof(s), b"arrow_schema", None),
                _capsule_new(ctypes.addressof(a), b"arrow_array", None))


class StreamExporter:
    """An object with __arrow_c_stream__ over Chunks of one format; it may
    fail with `error` after `fail_after` chunks."""

    def __init__(self, chunks, fmt, fail_after=None):
        self.chunks, self.fmt, self.fail_after = chunks, fmt, fail_after
        self.structs = []

    def __arrow_c_stream__(self, requested_schema=None):
        position = [0]

        def get_schema(stream, out):
            out[0] = Chunk(self.fmt, 0, 0, 0, []).schema()
            return 0

        def get_next(stream, out):
            if self.fail_after is not None and position[0] == self.fail_after:
                return 5
            if position[0] == len(self.chunks):
                out[0] = ArrowArray()
            else:
                out[0] = self.chunks[position[0]].array()
                position[0] += 1
            return 0

        def get_last_error(stream):
            return ctypes.addressof(FAILURE)

        def release(stream):
            stream.contents.release = RELEASE_STREAM()

        callbacks = [GET_SCHEMA(get_schema), GET_NEXT(get_next), GET_LAST_ERROR(get_last_error),
                     RELEASE_STREAM(release)]
        stream = ArrowArrayStream(*callbacks, None)
        self.structs += [stream, callbacks]
        return _capsule_new(ctypes.addressof(stream), b"arrow_array_stream", None)


def read_arrow(column):
    """The rows of a Column taken through its __arrow_c_array__, as Python
    values (None for nulls)."""
    schema_cap, array_cap = column.__arrow_c_array__()
    schema = ArrowSchema.from_address(_capsule_pointer(schema_cap, b"arrow_schema"))
    array = ArrowArray.from_address(_capsule_pointer(array_cap, b"arrow_array"))
    fmt, n = schema.format.decode(), array.length
    assert array.offset == 0 and array.n_children == 0
    buffers = [array.buffers[i] for i in range(array.n_buffers)]

    def raw(pointer, size):
        return ctypes.string_at(pointer, size) if size else b""

    valid = [True] * n
    if array.null_count != 0:
        bits = raw(buffers[0], (n + 7) // 8)
        valid = [bool(bits[i // 8] >> (i % 8) & 1) for i in range(n)]
        assert valid.count(False) == array.null_count
    if fmt in ("u", "U"):
        width = 4 if fmt == "u" else 8
        offsets = struct.unpack(f"<{n + 1}{'i' if width == 4 else 'q'}",
                                raw(buffers[1], (n + 1) * width))
        data = raw(buffers[2], offsets[-1])
        values = [data[offsets[i]:offsets[i + 1]].decode() for i in range(n)]
    elif fmt == "b":
        bits = raw(buffers[1], (n + 7) // 8)
        values = [bool(bits[i // 8] >> (i % 8) & 1) for i in range(n)]
    else:
        size = {"l": 8, "i": 4, "w:16": 16, "d:27,0": 16}[fmt]
        data = raw(buffers[1], n * size)
        rows = [data[i * size:(i + 1) * size] for i in range(n)]
        if fmt == "w:16":
            values = rows
        else:
            values = [int.from_bytes(r, "little", signed=True) for r in rows]
    return [v if ok else None for v, ok in zip(values, valid)]


def read_buffer(column):
    """The rows of a Column taken through the buffer protocol."""
    m = memoryview(column)
    if m.format == "16s":
        return [m.tobytes()[16 * i:16 * i + 16] for i in range(len(m))]
    if m.format.endswith("w"):
        width = int(m.format[:-1])
        raw = m.tobytes()
        return [raw[4 * width * i:4 * width * (i + 1)].decode("utf-32-le").rstrip("\0")
                for i in range(len(m))]
    return m.tolist()


# ---------------------------------------------------------------------------
# Drawing a column


def _draw_int64(d):
    return d.pick([0, 1, 2**63 - 1, -1, -(2**63), 7130316800000040967,
                   d.uint(8) - (1 << 63), d.uint(8) >> 1])


def _draw_quib(d):
    v = d.uint(16)
    if d.uint(1) < 200:  # mostly with version 8 and the RFC 4122 variant
        v = v & ~(0xF << 76) | 8 << 76
        v = v & ~(3 << 62) | 2 << 62
    if d.flag():  # crowd a few groups
        v = v & ~((1 << 128) - (1 << 48)) | (0x0000000BCBCE << 80)
    return v.to_bytes(16, "big")


TEXTS = ["7130316800000040967", "-1", "", " 5", "0000000b-cbce-87f1-9b15-000000050007",
         "{0000000b-cbce-87f1-9b15-000000050007}", "0000000bcbce87f19b15000000050007",
         "00000000-0000-4000-8000-000000000000", "é", "9223372036854775808"]


def _draw_text(d):
    return harnesses.draw_text(d, TEXTS)


def _validity(d, n, offset):
    bits = bytearray((n + offset + 7) // 8 + d.below(2))
    for i in range(len(bits)):
        bits[i] = d.uint(1) | (0 if d.uint(1) < 60 else 0xFF)
    valid = [bool(bits[(offset + i) // 8] >> ((offset + i) % 8) & 1) for i in range(n)]
    return bytes(bits), valid


def draw_arrow(d, kind, values):
    """An Arrow array (Chunk) of `values` ("int64", "bytes16" or "text" items),
    sound unless the draw says otherwise; returns (chunk, valid rows or
    None when malformed)."""
    n, offset = len(values), d.below(9)
    null_count = d.pick([0, -1, 1])
    bitmap, valid = (None, [True] * n)
    if null_count != 0:
        bitmap, valid = _validity(d, n, offset)
    malformed = d.uint(1) < 25
    if kind == "int64":
        fmt = d.pick(["l", "l", "l", "i", "g", "w:8"]) if malformed else "l"
        data = b"\0" * 8 * offset + b"".join(struct.pack("<q", v) for v in values)
        chunk = Chunk(fmt, n, offset, null_count, [bitmap, data])
        return chunk, (None if fmt != "l" else valid), fmt
    if kind == "bytes16" and d.flag():
        fmt = d.pick(["w:16", "w:16", "w:15", "z"]) if malformed else "w:16"
        chunk = Chunk(fmt, n, offset, null_count, [bitmap, b"\0" * 16 * offset + b"".join(values)])
        return chunk, (None if fmt != "w:16" else valid), fmt
    raw = [v.encode("utf-8", "surrogatepass") if isinstance(v, str) else v for v in values]
    fmt = {"bytes16": d.pick(["z", "Z", "vz"]), "text": d.pick(["u", "U", "vu"])}[kind]
    if fmt.startswith("v"):
        data, views = b"", []
        for r in raw:
            if len(r) <= 12:
                views.append(struct.pack("<i", len(r)) + r.ljust(12, b"\0"))
            else:
                views.append(struct.pack("<i4sii", len(r), r[:4], 0, len(data)))
                data += r
        size = len(data)
        if malformed:  # a shorter buffer, or a view of a missing buffer
            size = max(len(data) - d.below(20), 0)
            if d.flag() and n:
                views[-1] = struct.pack("<i4sii", 20, b"abcd", d.pick([1, -1]), 0)
        # Out of bounds: a long view of another buffer, or past the end.
        bad = any(struct.unpack("<i", v[:4])[0] > 12 and (
            struct.unpack("<i", v[8:12])[0] != 0 or sum(struct.unpack("<ii", v[:4] + v[12:])) > size)
            for v in views)
        chunk = Chunk(fmt, n, offset, null_count,
                      [bitmap, b"".join([b"\0" * 16] * offset + views), data,
                       struct.pack("<q", size)])
        return chunk, (None if bad else valid), fmt
    width = 4 if fmt in ("u", "z") else 8
    offsets, at = [0] * offset, 0
    for r in raw:
        offsets.append(at)
        at += len(r)
    offsets.append(at)
    altered = False
    if malformed and n:
        k = d.below(n + 1)
        offsets[offset + k] = d.pick([-1, at + 1 if k < n else -5, 0])
        prev = offsets[offset:offset + k]
        if offsets[offset + k] < 0 or any(p > offsets[offset + k] for p in prev) or (
                k < n and offsets[offset + k] > offsets[offset + k + 1]):
            valid = None
        else:
            altered = True  # still sound, but the values are others
    packed = struct.pack(f"<{len(offsets)}{'i' if width == 4 else 'q'}", *offsets)
    chunk = Chunk(fmt, n, offset, null_count, [bitmap, packed, b"".join(raw)])
    chunk.altered = altered
    return chunk, valid, fmt


def draw_buffer(d, kind, values):
    """A buffer of `values`: a memoryview of a format and shape the draw
    picks (some of them refused); returns (buffer, accepted)."""
    if kind == "int64":
        raw = b"".join(struct.pack("=q", v) for v in values)
        fmt = d.pick(["q", "l", "d", "i", "Q"])
        if fmt == "i":
            return memoryview(raw).cast("B").cast("i"), False
        view = memoryview(bytearray(raw)).cast(fmt)
        if d.flag() and len(values) > 1:  # strided
            doubled = b"".join(struct.pack("=qq", v, 0) for v in values)
            view = memoryview(bytearray(doubled)).cast(fmt)[::2]
        return view, fmt in ("q", "l")
    if kind == "bytes16":
        raw = bytearray(b"".join(values))
        if len(raw) != 16 * len(values) or not values:  # no rows to shape
            return memoryview(raw), False
        shape = d.pick([(len(values), 16), (len(values) * 16,), (len(values) * 2, 8)])
        return memoryview(raw).cast("B", shape), shape == (len(values), 16)
    return memoryview(b"".join(v.encode("utf-8", "surrogatepass") for v in values)), False


# ---------------------------------------------------------------------------
# The model: what each row gives, by the classes


# A refusal whose message the classes cannot give: text they cannot even
# take (lone surrogates).
UNKNOWN = "?"
UNITS = {"us": 10**3, "ns": 10**6, "ps": 10**9, "fs": 10**12}


def _refusal(fn, *args):
    try:
        return fn(*args), None
    except UnicodeEncodeError:  # before ValueError, of which it is one
        return None, UNKNOWN
    except ValueError as e:
        return None, str(e)


def identifier(family, kind, value):
    """The object a row holds, or the refusal of it."""
    if kind == "text":
        return _refusal(family.from_str, value)
    if family in (SornId, SornIdDesc):
        return _refusal(family, value)
    if len(value) != 16:
        return None, f"expected 16 bytes, got {len(value)}"
    return _refusal(family.from_bytes, value)


def row_model(name, family, kind, value, precision):
    """(result, refusal) of one row: what the function gives for it, or why
    it refuses it (UNKNOWN when the message cannot be told)."""
    x, why = identifier(family, kind, value)
    if why is not None:
        return None, why
    if name == "sorn_to_quib":
        return QuibId.from_parts(x.timestamp_ms * UNITS[precision], precision, x.node_id,
                                 x.sequence).as_bytes(), None
    if name == "parse":
        return (x.as_int() if family in (SornId, SornIdDesc) else x.as_bytes()), None
    if name == "flip":
        if family in (SornId, SornIdDesc):
            return x.as_int() ^ harnesses.model.SORN_DESC_MASK, None
        return (x.as_int() ^ harnesses.model.QUIB_DESC_MASK).to_bytes(16, "big"), None
    if name == "format":
        return str(x), None
    if name == "validate":
        return True, None
    if family in (SornId, SornIdDesc):
        return (x.timestamp_ms, x.node_id, x.sequence), None
    return (x.timestamp, x.precision, x.node_id, x.sequence), None


FUNCTIONS = ["sorn_to_quib", "flip", "parse", "format", "fields", "validate", "sorn_group",
             "quib_to_sorn", "sornid_conflicts"]


def check_columns(data):
    d = Draw(data)
    name = d.pick(FUNCTIONS)
    family = d.pick(FAMILIES)
    quib = family in (QuibId, QuibIdDesc)
    if name in ("sorn_group", "quib_to_sorn", "sornid_conflicts"):
        family, quib = QuibId, True
    if name == "sorn_to_quib":
        family, quib = SornId, False
    kind = "text" if name == "parse" or (name == "validate" and d.flag()) else (
        "bytes16" if quib else "int64")
    draw_value = {"int64": _draw_int64, "bytes16": _draw_quib, "text": _draw_text}[kind]
    n = d.below(12)
    values = [draw_value(d) for _ in range(n)]
    if kind == "bytes16" and n and d.uint(1) < 20:
        values[d.below(n)] = values[0][:d.below(16)]  # a binary value of another length
    nulls = d.flag()
    precision = d.pick(["us", "ns", "ps", "fs"])
    row0 = d.pick([0, 5, 2**40])

    source = d.below(3)
    if source == 0:
        col, accepted = draw_buffer(d, kind, values)
        valid, malformed = [True] * n, False
    else:
        chunk, valid, fmt = draw_arrow(d, kind, values)
        malformed = valid is None
        accepted = fmt in {"int64": ("l",), "bytes16": ("w:16", "z", "Z", "vz"),
                           "text": ("u", "U", "vu")}[kind]
        if kind == "bytes16" and fmt == "w:16" and any(len(v) != 16 for v in values):
            return  # a fixed-width array of a value of another width: made up here only
        if chunk.altered:
            values = None
        if source == 1:
            col = ArrayExporter(chunk)
        else:
            col = StreamExporter([chunk], fmt, fail_after=d.pick([None, None, 0, 1]))
            if col.fail_after == 0 or (col.fail_after == 1 and accepted and not malformed):
                accepted = accepted and col.fail_after != 0
        valid = valid or [True] * n

    try:
        got = call(name, col, family, precision, row0, nulls)
    except TypeError as e:
        assert not accepted, repr(e)
        return
    except RuntimeError as e:
        assert "made to fail" in str(e), repr(e)
        return
    except ValueError as e:
        message = str(e)
        if malformed or message.startswith("malformed"):
            assert malformed and message.startswith("malformed Arrow array: "), message
            return
        if values is not None:
            check_refusal(name, family, kind, values, valid, precision, row0, nulls, message)
        return
    assert accepted and not malformed, (name, kind)
    if values is None:  # nothing to compare with: the results must only read back
        for part in got if name != "sornid_conflicts" else ():
            for column in part if isinstance(part, tuple) else (part,):
                read(column)
        return
    check_result(name, family, kind, values, valid, precision, row0, nulls, got)


def call(name, col, family, precision, row0, nulls):
    if name == "sorn_to_quib":
        return native.col_sorn_to_quib(col, precision, row0, nulls)
    if name == "flip":
        return native.col_flip(col, family, row0, nulls)
    if name == "parse":
        return native.col_parse(col, family, row0, nulls)
    if name == "format":
        return native.col_format(col, family, "string", row0, nulls)
    if name == "fields":
        return native.col_fields(col, family, False, row0, nulls)
    if name == "validate":
        return native.col_validate(col, family, False)
    if name == "sorn_group":
        return native.col_sorn_group(col, row0, nulls)
    if name == "quib_to_sorn":
        return native.col_quib_to_sorn(col, None, row0)
    return native.col_sornid_conflicts(col, row0, 3)


def _expected_rows(name, family, kind, values, valid, precision):
    return [row_model(name, family, kind, v, precision) if ok else (None, None)
            for v, ok in zip(values, valid)]


def group(value):
    """The group base of one row, or None for a row batch_to_sornids refuses."""
    q, why = identifier(QuibId, "bytes16", value)
    if why is not None:
        return None
    try:
        s = QuibId.batch_to_sornids([q])[0][1].as_int()
    except ValueError:
        return None
    return s - s % 8192


def check_refusal(name, family, kind, values, valid, precision, row0, nulls, message):
    m = re.fullmatch(r"row (\d+): (.*)", message, re.S)
    assert m, message
    row, why = int(m.group(1)) - row0, m.group(2)
    assert 0 <= row < len(values) and valid[row], (message, valid)
    if name in ("sorn_group", "quib_to_sorn", "sornid_conflicts"):
        # The first row that is no QuibId, or (but for the check) whose group
        # does not fit, decides; else an oversized group, which the tests
        # compare.
        bad = [i for i, (v, ok) in enumerate(zip(values, valid))
               if ok and (identifier(QuibId, kind, v)[1] is not None or (
                   name != "sornid_conflicts" and group(v) is None))]
        if not bad:
            assert name == "quib_to_sorn" and "IDs share" in why, message
            return
        assert row == bad[0], (message, bad)
        fault = identifier(QuibId, kind, values[row])[1]
        assert fault is None or why == fault, (why, fault)
        return
    assert not nulls, message
    rows = _expected_rows(name, family, kind, values, valid, precision)
    first = next(i for i, (_, refusal) in enumerate(rows) if refusal is not None)
    assert row == first, (message, rows)
    if rows[row][1] != UNKNOWN:
        assert why == rows[row][1], (why, rows[row][1])


def read(column):
    """A Column's rows through Arrow, checked against its buffer form where
    it has one."""
    rows = read_arrow(column)
    if None not in rows and repr(column).split()[1].rstrip(",") in ("int64", "int32",
                                                                    "fixed_size_binary(16)"):
        assert read_buffer(column) == rows
    return rows


def check_result(name, family, kind, values, valid, precision, row0, nulls, got):
    if name == "sornid_conflicts":
        ids = [QuibId.from_bytes(v) for v, ok in zip(values, valid) if ok]
        assert [c[6] for c in got] == QuibId.check_sornid_convertibility(ids)
        return
    width = 1 if name != "fields" else 3 if family in (SornId, SornIdDesc) else 4
    rows = [[] for _ in range(width)]
    for part in got:
        for i, column in enumerate(part if isinstance(part, tuple) else (part,)):
            rows[i] += read(column)
    if name == "quib_to_sorn":
        present = [QuibId.from_bytes(v) for v, ok in zip(values, valid) if ok]
        taken = {}
        for q, s in QuibId.batch_to_sornids(present):
            taken.setdefault(q.as_bytes(), []).append(s.as_int())
        want = [taken[v].pop(0) if ok else None for v, ok in zip(values, valid)]
        assert rows[0] == want, (rows[0], want)
        return
    if name == "sorn_group":
        want = [group(v) if ok else None for v, ok in zip(values, valid)]
        assert nulls or None not in [w for w, ok in zip(want, valid) if ok], want
        assert rows[0] == want, (rows[0], want)
        return
    for i, ((result, refusal), ok) in enumerate(
            zip(_expected_rows(name, family, kind, values, valid, precision), valid)):
        if name == "validate":
            assert rows[0][i] == (None if not ok else refusal is None), (i, rows[0][i], refusal)
        elif not ok or refusal is not None:
            assert nulls or not ok, (i, refusal)
            assert all(r[i] is None for r in rows), (i, [r[i] for r in rows])
        else:
            got_row = tuple(r[i] for r in rows) if name == "fields" else rows[0][i]
            assert got_row == result, (i, got_row, result)
