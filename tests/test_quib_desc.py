"""QuibIdDesc: the descending 128-bit form, from fields and from text."""
import uuid

import pytest
from hypothesis import given, strategies as st

from _sornquibid import QuibId, QuibIdDesc

from quib_layout import DESC_MASK, MAX_TIMESTAMP, PRECISIONS, pack, text, unpack

LONG = {"us": "microseconds", "ns": "nanoseconds", "ps": "picoseconds", "fs": "femtoseconds"}
EXPECTED = "; expected one of: microseconds/us, nanoseconds/ns, picoseconds/ps, femtoseconds/fs"

timestamps = st.integers(min_value=0, max_value=MAX_TIMESTAMP)
precisions = st.sampled_from(PRECISIONS)
node_ids = st.integers(min_value=0, max_value=0x7FFF)
sequences = st.integers(min_value=0, max_value=0xFFFF)
parts = st.tuples(timestamps, precisions, node_ids, sequences)


def fields(d):
    return d.timestamp, d.precision, d.node_id, d.sequence


@pytest.mark.parametrize(
    "args, s",
    [
        ((0, "us", 0, 0), "ffffffff-ffff-8fff-8fff-ffff8000ffff"),
        ((MAX_TIMESTAMP, "fs", 32767, 65535), "00000000-0000-8000-b000-00007fff0000"),
        ((1, "ns", 0, 0), "ffffffff-ffff-8fff-9fff-ffff0000ffff"),
        ((2, "nanoseconds", 0, 0), "ffffffff-ffff-8fff-9fff-fffe8000ffff"),
        ((1, "ns", 5, 0), "ffffffff-ffff-8fff-9fff-ffff0005ffff"),
        ((1, "ns", 0, 7), "ffffffff-ffff-8fff-9fff-ffff0000fff8"),
    ],
)
def test_from_parts_known_texts(args, s):
    d = QuibIdDesc.from_parts(*args)
    assert str(d) == s
    assert repr(d) == f"QuibIdDesc({s})"
    t, p, n, q = args
    short = {v: k for k, v in LONG.items()}.get(p, p)
    assert fields(d) == (t, short, n, q)


def test_known_hash():
    assert hash(QuibIdDesc.from_parts(0, "us", 0, 0)) == 8210222287958922996


def test_all_zero_text_decodes_inverted():
    d = QuibIdDesc.from_str("00000000-0000-8000-8000-000000000000")
    assert fields(d) == (MAX_TIMESTAMP, "us", 0, 65535)


@given(parts)
def test_parts_round_trip_against_model(p):
    d = QuibIdDesc.from_parts(*p)
    assert fields(d) == p
    stored = pack(*p) ^ DESC_MASK
    assert str(d) == text(stored)
    again = QuibIdDesc.from_str(str(d))
    assert again == d and hash(again) == hash(d)
    u = d.to_uuid()
    assert isinstance(u, uuid.UUID) and str(u) == str(d) and u.version == 8


@given(parts)
def test_long_names_equal_short_texts(p):
    t, prec, n, s = p
    assert QuibIdDesc.from_parts(t, LONG[prec], n, s) == QuibIdDesc.from_parts(t, prec, n, s)


@given(parts)
def test_descending_form_of_a_quib_id(p):
    q = QuibId.from_str(text(pack(*p)))
    d = QuibIdDesc.from_parts(q.timestamp, q.precision, q.node_id, q.sequence)
    assert str(d) == text(int(str(q).replace("-", ""), 16) ^ DESC_MASK)
    assert fields(d) == (q.timestamp, q.precision, q.node_id, q.sequence)
    assert d != q and not (d == q)


@given(st.integers(min_value=0, max_value=2**128 - 1))
def test_any_valid_text_decodes_through_the_mask(raw):
    raw = raw & ~(0xF << 76) | 8 << 76
    raw = raw & ~(3 << 62) | 2 << 62
    d = QuibIdDesc.from_str(text(raw))
    assert fields(d) == unpack(raw ^ DESC_MASK)
    assert str(d) == text(raw)


@given(precisions, st.tuples(timestamps, node_ids, sequences), st.tuples(timestamps, node_ids, sequences))
def test_order_is_newest_first_within_one_precision(prec, a, b):
    da = QuibIdDesc.from_parts(a[0], prec, a[1], a[2])
    db = QuibIdDesc.from_parts(b[0], prec, b[1], b[2])
    key = lambda f: (-f[0], f[1], -f[2])
    assert (da < db) == (key(a) < key(b))
    assert (da <= db) == (key(a) <= key(b))
    assert (da == db) == (a == b)


def test_order_examples():
    one = QuibIdDesc.from_parts(1, "ns", 0, 0)
    assert QuibIdDesc.from_parts(2, "ns", 0, 0) < one
    assert QuibIdDesc.from_parts(1, "ns", 5, 0) > one
    assert QuibIdDesc.from_parts(1, "ns", 0, 7) < one


@pytest.mark.parametrize(
    "args, message",
    [
        ((2**89, "us", 0, 0), "timestamp 618970019642690137449562112 exceeds 89-bit limit"),
        ((2**128 - 1, "us", 0, 0),
         "timestamp 340282366920938463463374607431768211455 exceeds 89-bit limit"),
        ((0, "us", 32768, 0), "node_id 32768 exceeds 15-bit limit"),
        ((2**89, "us", 32768, 0), "timestamp 618970019642690137449562112 exceeds 89-bit limit"),
        ((2**89, "bogus", 40000, 0), 'unknown precision "bogus"' + EXPECTED),
        ((0, "Femtoseconds", 0, 0), 'unknown precision "Femtoseconds"' + EXPECTED),
        ((0, "NS", 0, 0), 'unknown precision "NS"' + EXPECTED),
        ((0, " ns", 0, 0), 'unknown precision " ns"' + EXPECTED),
        ((0, "", 0, 0), 'unknown precision ""' + EXPECTED),
        ((0, 'a"b\\c\n\t', 0, 0), 'unknown precision "a\\"b\\\\c\\n\\t"' + EXPECTED),
        ((0, "ns\x00", 0, 0), 'unknown precision "ns\\0"' + EXPECTED),
        ((0, "\u00e9", 0, 0), 'unknown precision "\u00e9"' + EXPECTED),
        ((0, "n\u200bs", 0, 0), 'unknown precision "n\\u{200b}s"' + EXPECTED),
        ((0, "ns\u0301", 0, 0), 'unknown precision "ns\\u{301}"' + EXPECTED),
        ((0, "\x7f'", 0, 0), 'unknown precision "\\u{7f}\'"' + EXPECTED),
    ],
)
def test_from_parts_refusals(args, message):
    with pytest.raises(ValueError) as info:
        QuibIdDesc.from_parts(*args)
    assert info.value.args == (message,)


def test_sequence_uses_all_16_bits():
    assert QuibIdDesc.from_parts(0, "us", 0, 65535).sequence == 65535


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: QuibIdDesc.from_parts(-1, "us", 0, 0), OverflowError),
        (lambda: QuibIdDesc.from_parts(2**128, "us", 0, 0), OverflowError),
        (lambda: QuibIdDesc.from_parts(0, "us", 65536, 0), OverflowError),
        (lambda: QuibIdDesc.from_parts(0, "us", 0, 65536), OverflowError),
        # Every argument is converted before the precision is judged.
        (lambda: QuibIdDesc.from_parts(0, "bogus", 0, -1), OverflowError),
        (lambda: QuibIdDesc.from_parts(0, b"us", 0, 0), TypeError),
        (lambda: QuibIdDesc.from_parts(0, 1, 0, 0), TypeError),
        (lambda: QuibIdDesc.from_parts("0", "us", 0, 0), TypeError),
        (lambda: QuibIdDesc.from_parts(0, "\ud800", 0, 0), UnicodeEncodeError),
        (lambda: QuibIdDesc.from_parts(0, "us", 0), TypeError),
        (lambda: QuibIdDesc(), TypeError),
        (lambda: QuibIdDesc.from_str(None), TypeError),
    ],
)
def test_argument_conversion(call, exc):
    with pytest.raises(exc):
        call()


@pytest.mark.parametrize(
    "s, message",
    [
        ("not-a-uuid", "invalid QuibId string: not-a-uuid"),
        ("", "invalid QuibId string: "),
        ("00000000-0000-4000-8000-000000000000", "uuid version must be 8 (UUIDv8)"),
        ("00000000-0000-8000-c000-000000000000", "uuid variant must be RFC 4122"),
    ],
)
def test_from_str_refusals(s, message):
    with pytest.raises(ValueError) as info:
        QuibIdDesc.from_str(s)
    assert info.value.args == (message,)


def test_text_forms_and_keywords():
    d = QuibIdDesc.from_parts(timestamp=1, precision="ns", node_id=0, sequence=0)
    s = str(d)
    for form in (s.upper(), s.replace("-", ""), "{" + s + "}", "urn:uuid:" + s):
        assert QuibIdDesc.from_str(s=form) == d


def test_foreign_comparisons():
    d = QuibIdDesc.from_parts(0, "us", 0, 0)
    q = QuibId.from_str(str(d))
    assert str(q) == str(d) and hash(q) == hash(d)
    for other in (q, str(d), d.to_uuid()):
        assert d != other
        with pytest.raises(TypeError):
            d <= other


def test_has_no_timestamp_micros():
    assert not hasattr(QuibIdDesc.from_parts(0, "us", 0, 0), "timestamp_micros")


def test_signatures_and_layout():
    import inspect
    import sys

    assert not QuibIdDesc.__doc__
    assert str(inspect.signature(QuibIdDesc.from_parts)) == "(timestamp, precision, node_id, sequence)"
    assert str(inspect.signature(QuibIdDesc.from_str)) == "(s)"
    assert QuibIdDesc.to_uuid.__text_signature__ == "($self)"
    assert sys.getsizeof(QuibIdDesc.from_parts(0, "us", 0, 0)) == object().__sizeof__() + 16


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "value",
    [0, 1, 2**31, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**64 + 1, 2**88, MAX_TIMESTAMP, 2**89,
     2**100 + 12345, 2**127, 2**128 - 1],
)
@pytest.mark.parametrize("wrap", [int, Idx])
def test_timestamp_conversion_is_exact_across_widths(value, wrap):
    if value <= MAX_TIMESTAMP:
        assert QuibIdDesc.from_parts(wrap(value), "ps", 0, 0).timestamp == value
    else:
        with pytest.raises(ValueError) as info:
            QuibIdDesc.from_parts(wrap(value), "ps", 0, 0)
        assert info.value.args == (f"timestamp {value} exceeds 89-bit limit",)


@pytest.mark.parametrize("value", [-1, -(2**63), -(2**63) - 1, -(2**64), -(2**100), 2**128, 2**200])
def test_timestamp_outside_128_bits_overflows(value):
    with pytest.raises(OverflowError):
        QuibIdDesc.from_parts(value, "us", 0, 0)
    with pytest.raises(OverflowError):
        QuibIdDesc.from_parts(Idx(value), "us", 0, 0)
