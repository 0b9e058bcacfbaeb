"""SornId.batch_to_quibids and SornId.check_quibid_convertibility."""
import inspect
import json
import sys

import pytest
from hypothesis import given, strategies as st

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

import convert_model as model
from conftest import run_python

EXAMPLE = 7130316800000040967  # 1700000000000 ms, node 5, sequence 7
MAX_MS = 2**41 - 1


def generation_precision():
    # The precision this process converts at (fixed by its first conversion).
    return SornId.batch_to_quibids([SornId(0)])[0][1].precision


def convert(values):
    pairs = SornId.batch_to_quibids([SornId(v) for v in values])
    return model.pairs_as_ints(pairs, SornId.as_int, model.quib_int)


sorn_values = st.builds(
    lambda ms, node, seq: ms << 22 | node << 13 | seq,
    st.integers(0, MAX_MS), st.integers(0, 511), st.integers(0, 8191),
)


@given(st.lists(sorn_values, max_size=30))
def test_matches_model(values):
    assert convert(values) == model.batch_to_quibids(values, generation_precision())


def test_keeps_order_and_duplicates_with_new_objects():
    a, b = SornId(EXAMPLE), SornId(5 << 22)
    pairs = SornId.batch_to_quibids((a, b, a))
    assert [p[0] for p in pairs] == [a, b, a]
    assert pairs[0][1] == pairs[2][1] != pairs[1][1]
    assert all(p[0] is not a and p[0] is not b for p in pairs)
    assert all(type(p[0]) is SornId and type(p[1]) is QuibId for p in pairs)
    assert pairs[0][0] is not pairs[2][0]


@pytest.mark.parametrize("precision, expected", [
    ("us", ["00000000-0305-8120-8c0f-200000050007", "00000000-0000-8000-8000-000000000000"]),
    ("ns", ["0000000b-cbce-87f1-9b15-000000050007", "00000000-0000-8000-9000-000000000000"]),
    ("ps", ["00002e14-1ea0-881c-aa08-000000050007", "00000000-0000-8000-a000-000000000000"]),
    ("fs", ["00b3fe97-a2fa-8fd2-bf40-000000050007", "00000000-0000-8000-b000-000000000000"]),
])
def test_worked_examples_at_each_precision(precision, expected):
    code = (
        "import json; from _sornquibid import SornId\n"
        f"ids = [SornId({EXAMPLE}), SornId(0), SornId({2**63 - 1})]\n"
        "out = SornId.batch_to_quibids(ids)\n"
        "print(json.dumps([[str(q), q.precision, q.timestamp, q.node_id, q.sequence]"
        " for _, q in out]))\n"
    )
    got = json.loads(run_python(code, {"QUIBID_PRECISION": precision}))
    assert [g[0] for g in got[:2]] == expected
    units = model.UNITS_PER_MS[precision]
    assert got[0][1:] == [precision, 1700000000000 * units, 5, 7]
    # The largest SornId fits even at femtoseconds.
    assert got[2][1:] == [precision, MAX_MS * units, 511, 8191]
    assert got[2][0] == model.text(model.sorn_to_quib(2**63 - 1, precision))


def test_empty():
    assert SornId.batch_to_quibids([]) == []
    assert SornId.check_quibid_convertibility([]) == []


def test_check_reports_nothing():
    ids = [SornId(EXAMPLE), SornId(EXAMPLE), SornId(2**63 - 1)]
    assert SornId.check_quibid_convertibility(ids) == []
    assert SornId.check_quibid_convertibility(_ids=tuple(ids)) == []


def test_round_trip_restores_milliseconds_and_nodes():
    values = [EXAMPLE, EXAMPLE | 3, EXAMPLE + (1 << 22), 9 << 13 | 4000, EXAMPLE]
    quibs = [q for _, q in SornId.batch_to_quibids([SornId(v) for v in values])]
    back = QuibId.batch_to_sornids(quibs)
    assert [q for q, _ in back] == sorted(quibs)
    got = sorted((s.timestamp_ms, s.node_id, s.sequence) for _, s in back)
    # Sequences come back as ranks within each (ms, node) group.
    assert got == [(0, 9, 0), (1700000000000, 5, 0), (1700000000000, 5, 1),
                   (1700000000000, 5, 2), (1700000000001, 5, 0)]


@pytest.mark.parametrize("claimed", [None, 0, 2**40, sys.maxsize])
def test_any_sequence_is_accepted(claimed):
    # The length is only a capacity hint; iteration decides.
    a = SornId(EXAMPLE)
    seq = model.PlainSequence([a, a], claimed)
    assert [p[0] for p in SornId.batch_to_quibids(seq)] == [a, a]
    assert SornId.check_quibid_convertibility(seq) == []
    q = SornId.batch_to_quibids([a])[0][1]
    assert [p[0] for p in QuibId.batch_to_sornids(model.PlainSequence([q], claimed))] == [q]


BAD_IDS = [
    "123",
    (SornId(i) for i in range(2)),
    {SornId(1)},
    {SornId(1): 1},
    5,
    None,
    [SornId(1), 7],
    [SornId(1), "7"],
    [SornIdDesc(1)],
    [QuibId.from_str("00000000-0000-8000-8000-000000000000")],
    [QuibIdDesc.from_str("00000000-0000-8000-8000-000000000000")],
]


@pytest.mark.parametrize("bad", BAD_IDS)
@pytest.mark.parametrize("method, arg", [
    (SornId.batch_to_quibids, "ids"),
    (SornId.check_quibid_convertibility, "_ids"),
])
def test_refused_arguments(method, arg, bad):
    with pytest.raises(TypeError, match=f"'{arg}'"):
        method(bad)
    with pytest.raises(TypeError, match=f"'{arg}'"):
        method(**{arg: bad})


@pytest.mark.parametrize("call", [
    lambda: SornId.batch_to_quibids(),
    lambda: SornId.batch_to_quibids([], []),
    lambda: SornId.batch_to_quibids(_ids=[]),
    lambda: SornId.check_quibid_convertibility(ids=[]),
])
def test_bad_call_shapes(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("cls, name, signature", [
    (SornId, "batch_to_quibids", "(ids)"),
    (SornId, "check_quibid_convertibility", "(_ids)"),
    (QuibId, "batch_to_sornids", "(ids)"),
    (QuibId, "check_sornid_convertibility", "(ids)"),
])
def test_static_methods_and_signatures(cls, name, signature):
    assert isinstance(inspect.getattr_static(cls, name), staticmethod)
    method = getattr(cls, name)
    assert method.__doc__ is None
    assert method.__text_signature__ == signature
    assert str(inspect.signature(method)) == signature
