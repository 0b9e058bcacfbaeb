"""Bytes, integers and fields in and out of every identifier: from_bytes,
as_bytes, bytes(), from_int and as_int of the 128-bit classes, from_parts of
all four, their round trips and their refusals."""
import array
import inspect
import uuid

import pytest
from hypothesis import given, strategies as st

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from quib_layout import DESC_MASK, MAX_TIMESTAMP, PRECISIONS, pack, text

SORN_DESC_MASK = 0x7FFFFFFFFFC01FFF
QUIB_CLASSES = [QuibId, QuibIdDesc]
VERSION = "uuid version must be 8 (UUIDv8)"
VARIANT = "uuid variant must be RFC 4122"
Q = "0000000b-cbce-87f1-9b15-000000050007"
QB = uuid.UUID(Q).bytes


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class HostileInt(int):
    """An int whose arithmetic lies; only its value may be read."""

    def __rshift__(self, n):
        return 0

    __and__ = __or__ = __lshift__ = __rshift__


@given(st.integers(0, MAX_TIMESTAMP), st.sampled_from(PRECISIONS), st.integers(0, 0x7FFF),
       st.integers(0, 0xFFFF))
def test_quib_round_trips(t, p, n, s):
    v = pack(t, p, n, s)
    for cls, stored in ((QuibId, v), (QuibIdDesc, v ^ DESC_MASK)):
        x = cls.from_parts(t, p, n, s)
        assert (x.timestamp, x.precision, x.node_id, x.sequence) == (t, p, n, s)
        raw = stored.to_bytes(16, "big")
        assert x.as_bytes() == bytes(x) == raw == x.to_uuid().bytes
        assert x.as_int() == stored and str(x) == text(stored)
        for again in (cls.from_bytes(raw), cls.from_int(stored), cls.from_str(str(x))):
            assert again == x and hash(again) == hash(x)


@given(st.integers(0, 2**41 - 1), st.integers(0, 511), st.integers(0, 8191))
def test_sorn_from_parts_round_trips(t, n, s):
    v = t << 22 | n << 13 | s
    for cls, stored in ((SornId, v), (SornIdDesc, v ^ SORN_DESC_MASK)):
        x = cls.from_parts(t, n, s)
        assert x == cls(stored) and x.as_int() == stored
        assert (x.timestamp_ms, x.node_id, x.sequence) == (t, n, s)


@pytest.mark.parametrize(
    "make",
    [
        bytes, bytearray, memoryview,
        lambda b: memoryview(bytearray(b"..." + b))[3:],
        lambda b: array.array("B", b),
        lambda b: array.array("Q", b),  # 2 items of 8 bytes
        lambda b: memoryview(b).cast("I"),
        lambda b: memoryview(bytes(x for c in b for x in (c, 0xEE)))[::2],  # strided
        lambda b: memoryview(b[::-1])[::-1],  # negative stride
    ],
)
@pytest.mark.parametrize("cls", QUIB_CLASSES)
def test_from_bytes_takes_any_buffer(cls, make):
    assert cls.from_bytes(make(QB)) == cls.from_str(Q)


@pytest.mark.parametrize("cls", QUIB_CLASSES)
def test_from_bytes_releases_the_buffer(cls):
    # A bytearray cannot change size while a buffer of it is held.
    good, version, short = bytearray(QB), bytearray(16), bytearray(15)
    cls.from_bytes(good)
    cls.from_bytes(memoryview(good)[::1])
    for bad in (version, short):
        with pytest.raises(ValueError):
            cls.from_bytes(bad)
    for ba in (good, version, short):
        ba.append(0)


def _with(index, value):
    b = bytearray(QB)
    b[index] = value
    return bytes(b)


V = int.from_bytes(QB, "big")
NOT_BYTES = "from_bytes() argument 'b' must be a bytes-like object, not "
TOO_WIDE = "from_int() argument 'value' does not fit in an unsigned 128-bit integer"


@pytest.mark.parametrize(
    "method, arg, exc, message",
    [
        ("from_bytes", QB[:15], ValueError, "expected 16 bytes, got 15"),
        ("from_bytes", QB + b"\0", ValueError, "expected 16 bytes, got 17"),
        ("from_bytes", b"", ValueError, "expected 16 bytes, got 0"),
        ("from_bytes", bytearray(20), ValueError, "expected 16 bytes, got 20"),
        ("from_bytes", memoryview(QB * 2)[::3], ValueError, "expected 16 bytes, got 11"),
        ("from_bytes", array.array("I", [0] * 5), ValueError, "expected 16 bytes, got 20"),
        ("from_bytes", _with(6, 0x47), ValueError, VERSION),
        ("from_bytes", _with(6, 0x07), ValueError, VERSION),
        ("from_bytes", _with(8, 0xDB), ValueError, VARIANT),
        ("from_bytes", _with(8, 0x1B), ValueError, VARIANT),
        ("from_bytes", bytes(16), ValueError, VERSION),  # both wrong: the version first
        ("from_bytes", Q, TypeError, NOT_BYTES + "str"),
        ("from_bytes", V, TypeError, NOT_BYTES + "int"),
        ("from_bytes", None, TypeError, NOT_BYTES + "NoneType"),
        ("from_int", V ^ 0xC << 76, ValueError, VERSION),
        ("from_int", V ^ 1 << 63, ValueError, VARIANT),
        ("from_int", 0, ValueError, VERSION),
        ("from_int", 2**128 - 1, ValueError, VERSION),
        ("from_int", -1, OverflowError, TOO_WIDE),
        ("from_int", -(2**127), OverflowError, TOO_WIDE),
        ("from_int", 2**128, OverflowError, TOO_WIDE),
        ("from_int", V | 1 << 200, OverflowError, TOO_WIDE),
        ("from_int", float(V), TypeError, "from_int() argument 'value' must be an integer, not float"),
        ("from_int", Q, TypeError, "from_int() argument 'value' must be an integer, not str"),
    ],
)
@pytest.mark.parametrize("cls", QUIB_CLASSES)
def test_from_bytes_and_from_int_refusals(cls, method, arg, exc, message):
    with pytest.raises(exc) as info:
        getattr(cls, method)(arg)
    assert info.value.args == (message,)


@pytest.mark.parametrize("wrap", [int, Index, HostileInt])
@pytest.mark.parametrize("cls", QUIB_CLASSES)
def test_from_int_and_from_parts_read_integers_by_value(cls, wrap):
    assert cls.from_int(wrap(V)) == cls.from_bytes(QB)
    for t in (1, 2**63, 2**64 + 5, MAX_TIMESTAMP):
        assert cls.from_parts(wrap(t), "ns", wrap(3), 4).timestamp == t


# Each refusal of from_parts, the same for the ascending and the descending
# class of a family.
@pytest.mark.parametrize(
    "classes, args, exc, message",
    [
        ((SornId, SornIdDesc), (2**41, 0, 0), ValueError,
         "timestamp 2199023255552 exceeds 41-bit limit"),
        ((SornId, SornIdDesc), (0, 512, 0), ValueError, "node_id 512 exceeds 9-bit limit"),
        ((SornId, SornIdDesc), (0, 0, 8192), ValueError, "sequence 8192 exceeds 13-bit limit"),
        ((SornId, SornIdDesc), (2**41, 512, 8192), ValueError,
         "timestamp 2199023255552 exceeds 41-bit limit"),
        ((SornId, SornIdDesc), (-1, 0, 0), OverflowError,
         "from_parts() argument 'timestamp_ms' does not fit in an unsigned 64-bit integer"),
        ((SornId, SornIdDesc), (0, 65536, 0), OverflowError,
         "from_parts() argument 'node_id' does not fit in an unsigned 16-bit integer"),
        ((SornId, SornIdDesc), (0, 0, "1"), TypeError,
         "from_parts() argument 'sequence' must be an integer, not str"),
        ((QuibId, QuibIdDesc), (2**89, "us", 0, 0), ValueError,
         "timestamp 618970019642690137449562112 exceeds 89-bit limit"),
        ((QuibId, QuibIdDesc), (0, "us", 32768, 0), ValueError,
         "node_id 32768 exceeds 15-bit limit"),
        ((QuibId, QuibIdDesc), (2**89, "Femtoseconds", 40000, 0), ValueError,
         'unknown precision "Femtoseconds"; expected one of: '
         "microseconds/us, nanoseconds/ns, picoseconds/ps, femtoseconds/fs"),
        ((QuibId, QuibIdDesc), (2**128, "us", 0, 0), OverflowError,
         "from_parts() argument 'timestamp' does not fit in an unsigned 128-bit integer"),
        ((QuibId, QuibIdDesc), (0, "us", 0, 65536), OverflowError,
         "from_parts() argument 'sequence' does not fit in an unsigned 16-bit integer"),
        ((QuibId, QuibIdDesc), (0, b"us", 0, 0), TypeError,
         "from_parts() argument 'precision' must be str, not bytes"),
    ],
)
def test_from_parts_refusals_match_between_forms(classes, args, exc, message):
    for cls in classes:
        with pytest.raises(exc) as info:
            cls.from_parts(*args)
        assert info.value.args == (message,)


@pytest.mark.parametrize(
    "args, s",
    [
        ((0, "us", 0, 0), "00000000-0000-8000-8000-000000000000"),
        ((MAX_TIMESTAMP, "femtoseconds", 32767, 65535), "ffffffff-ffff-8fff-bfff-ffffffffffff"),
        ((1700000000000000000, "ns", 5, 7), Q),
    ],
)
def test_quib_from_parts_known_texts(args, s):
    q = QuibId.from_parts(*args)
    assert str(q) == s and q.as_int() == int(s.replace("-", ""), 16)


def test_signatures_and_keywords():
    for cls in QUIB_CLASSES:
        assert str(inspect.signature(cls.from_bytes)) == "(b)"
        assert str(inspect.signature(cls.from_int)) == "(value)"
        assert str(inspect.signature(cls.from_parts)) == "(timestamp, precision, node_id, sequence)"
        for name in ("from_bytes", "from_int", "from_parts"):
            assert isinstance(inspect.getattr_static(cls, name), staticmethod)
        for name in ("as_bytes", "as_int", "__bytes__"):
            assert getattr(cls, name).__text_signature__ == "($self)"
        x = cls.from_bytes(b=QB)
        assert cls.from_int(value=V) == x == cls.from_parts(
            timestamp=x.timestamp, precision=x.precision, node_id=x.node_id, sequence=x.sequence)
    for cls in (SornId, SornIdDesc):
        assert str(inspect.signature(cls.from_parts)) == "(timestamp_ms, node_id, sequence)"
        assert cls.from_parts(timestamp_ms=1, node_id=2, sequence=3) == cls.from_parts(1, 2, 3)
