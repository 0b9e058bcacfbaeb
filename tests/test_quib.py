"""QuibId: parsing of the four text forms, fields, ordering, hashing, uuid."""
import uuid

import pytest
from hypothesis import given, strategies as st

from _sornquibid import QuibId

from conftest import run_python
from quib_layout import MAX_TIMESTAMP, PRECISIONS, pack, text, unpack

timestamps = st.integers(min_value=0, max_value=MAX_TIMESTAMP)
precisions = st.sampled_from(PRECISIONS)
node_ids = st.integers(min_value=0, max_value=0x7FFF)
sequences = st.integers(min_value=0, max_value=0xFFFF)
values = st.builds(pack, timestamps, precisions, node_ids, sequences)

DIVISOR = {"us": 1, "ns": 10**3, "ps": 10**6, "fs": 10**9}
ZERO = "00000000-0000-8000-8000-000000000000"


def fields(q):
    return q.timestamp, q.precision, q.node_id, q.sequence


@pytest.mark.parametrize(
    "s, expected, micros",
    [
        (ZERO, (0, "us", 0, 0), 0),
        ("ffffffff-ffff-8fff-bfff-ffffffffffff", (MAX_TIMESTAMP, "fs", 32767, 65535),
         618970019642690137),
        ("00000000-0000-8000-9000-03e780000000", (1999, "ns", 0, 0), 1),
        ("00000000-0000-8000-a000-000080010002", (1, "ps", 1, 2), 0),
    ],
)
def test_known_values(s, expected, micros):
    q = QuibId.from_str(s)
    assert fields(q) == expected
    assert q.timestamp_micros == micros
    assert str(q) == s
    assert repr(q) == f"QuibId({s})"


def test_known_hash():
    assert hash(QuibId.from_str(ZERO)) == -1833577679912610446


@given(timestamps, precisions, node_ids, sequences)
def test_fields_round_trip(t, p, n, s):
    v = pack(t, p, n, s)
    q = QuibId.from_str(text(v))
    assert fields(q) == (t, p, n, s) == unpack(v)
    assert q.timestamp_micros == t // DIVISOR[p]
    assert str(q) == text(v)
    again = QuibId.from_str(str(q))
    assert again == q and hash(again) == hash(q)


@given(values)
def test_all_text_forms_parse_alike(v):
    canonical = text(v)
    q = QuibId.from_str(canonical)
    hexdigits = f"{v:032x}"
    for form in [
        hexdigits,
        hexdigits.upper(),
        canonical.upper(),
        "{" + canonical + "}",
        "{" + canonical.upper() + "}",
        "urn:uuid:" + canonical,
        "urn:uuid:" + canonical.upper(),
    ]:
        other = QuibId.from_str(form)
        assert other == q and str(other) == canonical


@given(values, values)
def test_ordering_is_unsigned_128_bit(a, b):
    qa, qb = QuibId.from_str(text(a)), QuibId.from_str(text(b))
    assert (qa < qb) == (a < b)
    assert (qa <= qb) == (a <= b)
    assert (qa > qb) == (a > b)
    assert (qa >= qb) == (a >= b)
    assert (qa == qb) == (a == b)
    assert (qa != qb) == (a != b)


def test_sorting_by_fields():
    ids = [QuibId.from_str(text(pack(t, "ns", n, s))) for t in (5, 1) for n in (2, 1) for s in (2, 1)]
    assert [(q.timestamp, q.node_id, q.sequence) for q in sorted(ids)] == sorted(
        (q.timestamp, q.node_id, q.sequence) for q in ids
    )


def test_hash_matches_siphash13_of_bytes():
    # CPython's bytes hash is SipHash-1-3; with PYTHONHASHSEED=0 its key is
    # all zero, like the identifier hash.
    samples = [ZERO, "ffffffff-ffff-8fff-bfff-ffffffffffff", "0123abcd-4567-8abc-9def-0123456789ab"]
    code = f"import uuid\nfor s in {samples!r}: print(hash(uuid.UUID(s).bytes))"
    out = run_python(code, env_updates={"PYTHONHASHSEED": "0"})
    expected = [int(line) for line in out.split()]
    assert [hash(QuibId.from_str(s)) for s in samples] == expected


@pytest.mark.parametrize(
    "s",
    [
        "", " " + ZERO, ZERO + " ", "not-a-uuid", "URN:UUID:" + ZERO, "urn:UUID:" + ZERO,
        ZERO.replace("-", "_"), "00000000-00008000-8000-0000-00000000", "0" * 31, "0" * 33,
        "{" + ZERO, ZERO + "}", "[" + ZERO + "]", "g" * 32, "0000000g-0000-8000-8000-000000000000",
        "00000000-0000-8000-8000-00000000000\u00e9", "urn:uuid:" + "0" * 32, "{" + "0" * 32 + "}",
        "+0000000-0000-8000-8000-000000000000", "00000000-0000-8000-8000-0000000000000",
    ],
)
def test_rejects_text(s):
    with pytest.raises(ValueError) as info:
        QuibId.from_str(s)
    assert info.value.args == ("invalid QuibId string: " + s,)


@pytest.mark.parametrize(
    "s, message",
    [
        ("00000000-0000-4000-8000-000000000000", "uuid version must be 8 (UUIDv8)"),
        ("00000000-0000-0000-8000-000000000000", "uuid version must be 8 (UUIDv8)"),
        ("00000000-0000-4000-0000-000000000000", "uuid version must be 8 (UUIDv8)"),
        ("00000000-0000-8000-c000-000000000000", "uuid variant must be RFC 4122"),
        ("00000000-0000-8000-0000-000000000000", "uuid variant must be RFC 4122"),
        ("00000000-0000-8000-7fff-000000000000", "uuid variant must be RFC 4122"),
        ("0000000000008000c000000000000000", "uuid variant must be RFC 4122"),
    ],
)
def test_rejects_version_then_variant(s, message):
    with pytest.raises(ValueError) as info:
        QuibId.from_str(s)
    assert info.value.args == (message,)


def test_to_uuid():
    q = QuibId.from_str("0123abcd-4567-8abc-9def-0123456789ab")
    u = q.to_uuid()
    assert isinstance(u, uuid.UUID)
    assert str(u) == str(q) and u.version == 8 and u.variant == uuid.RFC_4122
    assert q.to_uuid() is not u


def test_to_uuid_propagates_failures():
    code = (
        "import sys, _sornquibid\n"
        "sys.modules['uuid'] = None\n"
        "q = _sornquibid.QuibId.from_str('00000000-0000-8000-8000-000000000000')\n"
        "try:\n    q.to_uuid()\nexcept ImportError:\n    print('ok')\n"
    )
    assert run_python(code) == "ok"


def test_foreign_comparisons():
    q = QuibId.from_str(ZERO)
    for other in (ZERO, uuid.UUID(ZERO), 0, None):
        assert not (q == other)
        assert q != other
        with pytest.raises(TypeError):
            q < other


def test_precision_texts_are_shared_objects():
    a = QuibId.from_str(ZERO)
    assert a.precision is QuibId.from_str(ZERO).precision


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: QuibId(), TypeError),
        (lambda: QuibId(ZERO), TypeError),
        (lambda: QuibId.__new__(QuibId), TypeError),
        (lambda: QuibId.from_str(b"x"), TypeError),
        (lambda: QuibId.from_str(), TypeError),
        (lambda: QuibId.from_str("\ud800"), UnicodeEncodeError),
    ],
)
def test_refused_calls(call, exc):
    with pytest.raises(exc):
        call()


def test_immutable_and_compact():
    import sys

    q = QuibId.from_str(ZERO)
    for attr in ("timestamp", "precision", "node_id", "sequence", "timestamp_micros"):
        with pytest.raises(AttributeError):
            setattr(q, attr, 1)
    with pytest.raises(AttributeError):
        q.other = 1
    assert sys.getsizeof(q) == object().__sizeof__() + 16
    assert QuibId.from_str(s=ZERO) == q


def test_signatures():
    import inspect

    assert not QuibId.__doc__
    assert str(inspect.signature(QuibId.from_str)) == "(s)"
    assert QuibId.to_uuid.__text_signature__ == "($self)"
    assert isinstance(inspect.getattr_static(QuibId, "from_str"), staticmethod)
