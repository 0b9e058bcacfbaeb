"""Properties over generated values: text and field round trips of the four
classes, the orderings of the descending forms, and the laws that tie the two
conversion directions together."""
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, str(Path(__file__).parent / "fuzz"))
import model  # noqa: E402
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc  # noqa: E402

ms = st.integers(0, 2**41 - 1)
node9 = st.integers(0, 511)
seq13 = st.integers(0, 8191)
stamp = st.integers(0, 2**89 - 1)
precision = st.sampled_from(model.PRECISIONS)
node15 = st.integers(0, 2**15 - 1)
seq16 = st.integers(0, 2**16 - 1)
quib_fields = st.tuples(stamp, precision, node15, seq16)
needs_convert = pytest.mark.skipif(not hasattr(SornId, "batch_to_quibids"), reason="not built yet")


def quib(t, p, n, s):
    return QuibId.from_str(model.quib_text(model.pack(t, p, n, s)))


@given(ms, node9, seq13)
def test_sorn_fields_and_text_round_trip(t, n, s):
    for x in (SornId(model.pack_sorn(t, n, s)), SornIdDesc.from_parts(t, n, s)):
        assert (x.timestamp_ms, x.node_id, x.sequence) == (t, n, s)
        assert type(x).from_str(str(x)) == x
        assert type(x)(x.as_int()) == x
    assert SornIdDesc.from_parts(t, n, s).as_int() == model.pack_sorn(t, n, s) ^ model.SORN_DESC_MASK


@given(quib_fields)
def test_quib_fields_and_text_round_trip(fields):
    q = quib(*fields)
    d = QuibIdDesc.from_parts(*fields)
    for x in (q, d):
        assert (x.timestamp, x.precision, x.node_id, x.sequence) == fields
        assert type(x).from_str(str(x)) == x and str(x.to_uuid()) == str(x)
    assert int(str(d).replace("-", ""), 16) == int(str(q).replace("-", ""), 16) ^ model.QUIB_DESC_MASK
    h = str(q).replace("-", "")
    for form in (h, h.upper(), "{" + str(q) + "}", "urn:uuid:" + str(q)):
        assert QuibId.from_str(form) == q and QuibIdDesc.from_str(form) == QuibIdDesc.from_str(str(q))


@given(st.lists(st.tuples(ms, node9, seq13), max_size=30))
def test_sorn_desc_orders_newest_first_node_ascending(fields):
    asc = sorted(fields, key=lambda f: SornId(model.pack_sorn(*f)))
    desc = sorted(fields, key=lambda f: SornIdDesc.from_parts(*f))
    assert asc == sorted(fields)
    assert desc == sorted(fields, key=lambda f: (-f[0], f[1], -f[2]))


@given(precision, st.lists(st.tuples(stamp, node15, seq16), max_size=30))
def test_quib_desc_orders_newest_first_within_a_precision(p, fields):
    asc = sorted(fields, key=lambda f: quib(f[0], p, f[1], f[2]))
    desc = sorted(fields, key=lambda f: QuibIdDesc.from_parts(f[0], p, f[1], f[2]))
    assert asc == sorted(fields)
    assert desc == sorted(fields, key=lambda f: (-f[0], f[1], -f[2]))


# Identifiers around the conversion limits: few distinct milliseconds and
# node ids so that groups form, and fields just past each limit.
UNITS = model.convert_model.UNITS_PER_MS
edge_quib = st.builds(
    lambda p, base, sub, n, s: quib(min(base * UNITS[p] + sub % UNITS[p], 2**89 - 1), p, n, s),
    precision, st.sampled_from([0, 1, 1700000000000, 2**41 - 1, 2**41, 2**70]),
    st.integers(0, 10**12), st.sampled_from([0, 5, 511, 512, 32767]), seq16)


@needs_convert
@settings(max_examples=60)
@given(st.lists(edge_quib, max_size=40), st.integers(0, 2))
def test_check_is_empty_exactly_when_conversion_succeeds(ids, crowd):
    # `crowd` adds nothing, a group at the limit, or one past it.
    ids = ids + [quib(1700000000000 * 1000 + k % 1000, "us", 7, k) for k in range([0, 8192, 8193][crowd])]
    try:
        QuibId.batch_to_sornids(ids)
        converts = True
    except ValueError:
        converts = False
    assert (QuibId.check_sornid_convertibility(ids) == []) == converts


@needs_convert
@given(st.lists(st.integers(0, 2**63 - 1), max_size=50))
def test_sorn_to_quib_and_back_keeps_milliseconds_and_node_ids(values):
    ids = [SornId(v) for v in values]
    quibs = [q for _, q in SornId.batch_to_quibids(ids)]
    back = QuibId.batch_to_sornids(quibs)
    key = lambda x: (x.timestamp_ms, x.node_id)  # noqa: E731
    assert sorted(map(key, (s for _, s in back))) == sorted(map(key, ids))
    # A sequence comes back where it already was its rank in its group.
    ranked = [v for v in values if model.sorn_fields(v)[2] == 0]
    assert {SornId(v) for v in ranked} <= {s for _, s in back}
