"""SornIdDesc: the descending 64-bit form, its fields, text and order."""
import pytest
from hypothesis import given, strategies as st

from _sornquibid import SornId, SornIdDesc

MASK = 0x7FFFFFFFFFC01FFF
MAX = 2**63 - 1

timestamps = st.integers(min_value=0, max_value=2**41 - 1)
node_ids = st.integers(min_value=0, max_value=511)
sequences = st.integers(min_value=0, max_value=8191)
parts = st.tuples(timestamps, node_ids, sequences)


def ascending(t, n, s):
    return t << 22 | n << 13 | s


def fields(d):
    return d.timestamp_ms, d.node_id, d.sequence


@pytest.mark.parametrize(
    "parts, stored",
    [
        ((0, 0, 0), 9223372036850589695),
        ((2199023255551, 511, 8191), 4186112),
        ((1, 2, 3), 9223372036846411772),
    ],
)
def test_from_parts_known_values(parts, stored):
    d = SornIdDesc.from_parts(*parts)
    assert d.as_int() == stored
    assert str(d) == str(stored)
    assert repr(d) == f"SornIdDesc({stored})"
    assert fields(d) == parts


@pytest.mark.parametrize(
    "stored, expected", [(0, (2199023255551, 0, 8191)), (MAX, (0, 511, 0)), (4186112, (2199023255551, 511, 8191))]
)
def test_raw_bits_decode(stored, expected):
    assert fields(SornIdDesc(stored)) == expected


@given(parts)
def test_parts_round_trip_and_match_the_ascending_form(p):
    d = SornIdDesc.from_parts(*p)
    assert fields(d) == p
    asc = ascending(*p)
    assert d.as_int() == asc ^ MASK
    assert SornIdDesc(SornId(asc).as_int() ^ MASK) == d
    again = SornIdDesc.from_str(str(d))
    assert again == d and hash(again) == hash(d)


@given(st.integers(min_value=0, max_value=MAX))
def test_any_raw_value_decodes_through_the_mask(v):
    d = SornIdDesc(v)
    asc = v ^ MASK
    assert fields(d) == (asc >> 22, (asc >> 13) & 0x1FF, asc & 0x1FFF)
    assert str(d) == str(v) and SornIdDesc.from_str(str(v)) == d


@given(parts, parts)
def test_order_is_newest_first_node_ascending(a, b):
    da, db = SornIdDesc.from_parts(*a), SornIdDesc.from_parts(*b)
    key = lambda p: (-p[0], p[1], -p[2])
    assert (da < db) == (key(a) < key(b))
    assert (da == db) == (a == b)
    assert (da >= db) == (key(a) >= key(b))


@pytest.mark.parametrize(
    "smaller, larger", [((2, 0, 0), (1, 0, 0)), ((1, 0, 5), (1, 0, 4)), ((1, 2, 0), (1, 3, 0))]
)
def test_order_examples(smaller, larger):
    assert SornIdDesc.from_parts(*smaller) < SornIdDesc.from_parts(*larger)


def test_text_is_the_stored_bits():
    d = SornIdDesc.from_str("42")
    assert d.as_int() == 42 and str(d) == "42"
    assert SornIdDesc.from_str("+0007").as_int() == 7


@pytest.mark.parametrize(
    "args, message",
    [
        ((2**41, 0, 0), "timestamp 2199023255552 exceeds 41-bit limit"),
        ((2**64 - 1, 0, 0), "timestamp 18446744073709551615 exceeds 41-bit limit"),
        ((0, 512, 0), "node_id 512 exceeds 9-bit limit"),
        ((0, 600, 0), "node_id 600 exceeds 9-bit limit"),
        ((0, 0, 8192), "sequence 8192 exceeds 13-bit limit"),
        ((2**41, 512, 8192), "timestamp 2199023255552 exceeds 41-bit limit"),
        ((0, 65535, 65535), "node_id 65535 exceeds 9-bit limit"),
    ],
)
def test_from_parts_refusals(args, message):
    with pytest.raises(ValueError) as info:
        SornIdDesc.from_parts(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: SornIdDesc.from_parts(-1, 0, 0), OverflowError),
        (lambda: SornIdDesc.from_parts(2**64, 0, 0), OverflowError),
        (lambda: SornIdDesc.from_parts(0, 65536, 0), OverflowError),
        (lambda: SornIdDesc.from_parts(0, 70000, 0), OverflowError),
        (lambda: SornIdDesc.from_parts(0, 0, -1), OverflowError),
        (lambda: SornIdDesc.from_parts(0, 0, 1.0), TypeError),
        (lambda: SornIdDesc.from_parts(0, 0), TypeError),
        (lambda: SornIdDesc(2**63), OverflowError),
        (lambda: SornIdDesc("5"), TypeError),
        (lambda: SornIdDesc.from_str(5), TypeError),
    ],
)
def test_argument_conversion(call, exc):
    with pytest.raises(exc):
        call()


def test_conversion_precedes_range_checks():
    # The sequence does not fit 16 bits: OverflowError, although the
    # timestamp is out of range too.
    with pytest.raises(OverflowError):
        SornIdDesc.from_parts(2**41, 0, 65536)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: SornIdDesc(-1), "sornid must be non-negative"),
        (lambda: SornIdDesc.from_str("-1"), "sornid must be non-negative"),
        (lambda: SornIdDesc.from_str("x"), "invalid SornId string: x"),
        (lambda: SornIdDesc.from_str(""), "invalid SornId string: "),
        (lambda: SornIdDesc.from_str(" 5"), "invalid SornId string:  5"),
    ],
)
def test_value_refusals(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert info.value.args == (message,)


def test_keywords_and_generic_new():
    d = SornIdDesc.from_parts(sequence=3, node_id=2, timestamp_ms=1)
    assert d == SornIdDesc.from_parts(1, 2, 3)
    assert SornIdDesc(value=5) == SornIdDesc.__new__(SornIdDesc, value=5) == SornIdDesc(5)


def test_never_equal_to_sorn_id_but_hashes_alike():
    assert SornIdDesc(5) != SornId(5)
    assert not (SornIdDesc(5) == 5)
    assert hash(SornIdDesc(5)) == hash(SornId(5))
    with pytest.raises(TypeError):
        SornIdDesc(5) < SornId(6)


def test_signatures_and_layout():
    import inspect
    import sys

    assert str(inspect.signature(SornIdDesc)) == "(value)"
    assert str(inspect.signature(SornIdDesc.from_parts)) == "(timestamp_ms, node_id, sequence)"
    assert SornIdDesc.as_int.__text_signature__ == "($self)"
    assert isinstance(inspect.getattr_static(SornIdDesc, "from_parts"), staticmethod)
    assert sys.getsizeof(SornIdDesc(1)) == object().__sizeof__() + 8
