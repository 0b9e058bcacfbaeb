"""SornId: construction, text forms, fields, ordering and hashing."""
import random
import re

import pytest
from hypothesis import given, strategies as st

from _sornquibid import SornId

from conftest import run_python

MAX = 2**63 - 1
values = st.integers(min_value=0, max_value=MAX)


def fields(v):
    return v >> 22, (v >> 13) & 0x1FF, v & 0x1FFF


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, (0, 0, 0)),
        (MAX, (2199023255551, 511, 8191)),
        (4210691, (1, 2, 3)),
        (7130316800000040967, (1700000000000, 5, 7)),
    ],
)
def test_fields(value, expected):
    x = SornId(value)
    assert (x.timestamp_ms, x.node_id, x.sequence) == expected
    assert x.as_int() == value


@given(values)
def test_fields_and_text_round_trip(v):
    x = SornId(v)
    assert (x.timestamp_ms, x.node_id, x.sequence) == fields(v)
    assert str(x) == str(v)
    assert repr(x) == f"SornId({v})"
    assert SornId.from_str(str(x)) == x
    assert hash(SornId.from_str(str(x))) == hash(x)


@pytest.mark.parametrize(
    "text, value",
    [("007", 7), ("+5", 5), ("-0", 0), ("+0", 0), (str(MAX), MAX), ("0000000000000000000000001", 1)],
)
def test_from_str_accepts(text, value):
    assert SornId.from_str(text).as_int() == value


@pytest.mark.parametrize(
    "text",
    ["", "+", "-", " 5", "5 ", "1_000", "0x10", "9223372036854775808", "abc", "++5", "+-5",
     "-9223372036854775809", "٣", "5\n", "1e3", "99999999999999999999999"],
)
def test_from_str_rejects_text(text):
    with pytest.raises(ValueError) as info:
        SornId.from_str(text)
    assert info.value.args == ("invalid SornId string: " + text,)


@given(st.from_regex(r"\A[+-]?0{0,4}[0-9]{0,21}\Z") | st.text(alphabet="+-0123456789 x", max_size=24))
def test_from_str_agrees_with_decimal_reference(text):
    # Reference: an optional sign, ASCII digits, within the signed 64-bit range.
    valid = re.fullmatch(r"[+-]?[0-9]+", text) and -(2**63) <= int(text) < 2**63
    if valid and int(text) >= 0:
        assert SornId.from_str(text).as_int() == int(text)
        return
    message = "sornid must be non-negative" if valid else "invalid SornId string: " + text
    with pytest.raises(ValueError) as info:
        SornId.from_str(text)
    assert info.value.args == (message,)


@pytest.mark.parametrize("text", ["-1", "-5", "-9223372036854775808"])
def test_from_str_rejects_negative(text):
    with pytest.raises(ValueError, match="^sornid must be non-negative$"):
        SornId.from_str(text)


def test_negative_int_rejected():
    with pytest.raises(ValueError, match="^sornid must be non-negative$"):
        SornId(-1)


def test_comparisons():
    a, b = SornId(5), SornId(6)
    assert a == SornId(5) and a != b and a < b and a <= b and b > a and b >= a
    assert not (a == 5) and a != 5
    with pytest.raises(TypeError):
        a < 6  # noqa: B015
    assert a.__eq__(5) is NotImplemented
    assert a.__lt__("x") is NotImplemented


def test_sorting_orders_by_timestamp_node_sequence():
    rng = random.Random(7)
    xs = [SornId(rng.randrange(MAX + 1)) for _ in range(500)]
    got = [(x.timestamp_ms, x.node_id, x.sequence) for x in sorted(xs)]
    assert got == sorted(got)


def test_no_numeric_conversion():
    with pytest.raises(TypeError):
        int(SornId(5))
    with pytest.raises(TypeError):
        SornId(5) + 1


def test_hash_is_siphash13_of_little_endian_bytes():
    # CPython hashes bytes with SipHash-1-3; with PYTHONHASHSEED=0 its key is
    # all zeros, which makes it an independent oracle for the identifier hash.
    rng = random.Random(11)
    vs = [0, 1, MAX, 4210691] + [rng.randrange(MAX + 1) for _ in range(200)]
    out = run_python(
        "import _sornquibid as m\n"
        f"vs = {vs!r}\n"
        "print(all(hash(m.SornId(v)) == hash(v.to_bytes(8, 'little')) for v in vs))",
        env_updates={"PYTHONHASHSEED": "0"},
    )
    assert out == "True"


def test_hash_is_process_independent():
    code = "import _sornquibid as m; print(hash(m.SornId(7130316800000040967)))"
    seen = {run_python(code, env_updates={"PYTHONHASHSEED": s}) for s in ("1", "2")}
    assert seen == {str(hash(SornId(7130316800000040967)))}
    assert hash(SornId(7130316800000040967)) != hash(7130316800000040967)
