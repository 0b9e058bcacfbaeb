"""QuibId.batch_to_sornids and QuibId.check_sornid_convertibility."""
import json
import random

import pytest
from hypothesis import given, settings, strategies as st

from _sornquibid import QuibId, QuibIdDesc, SornId

import convert_model as model
from conftest import run_python
from quib_layout import pack

T0 = 1700000000000  # ms
MAX_MS = model.SORN_MAX_MS


def quib(ms, node=5, precision="us", sub=0, seq=0):
    """A QuibId value `sub` units past millisecond `ms`."""
    return pack(ms * model.UNITS_PER_MS[precision] + sub, precision, node, seq)


def objs(values):
    return [model.quib_obj(v) for v in values]


def convert(values):
    """Library result as the model's: sorted int pairs, or the error message."""
    try:
        pairs = QuibId.batch_to_sornids(objs(values))
    except ValueError as e:
        assert len(e.args) == 1 and type(e.args[0]) is str
        return e.args[0]
    return model.pairs_as_ints(pairs, model.quib_int, SornId.as_int)


def check(values):
    out = QuibId.check_sornid_convertibility(objs(values))
    assert type(out) is list and all(type(s) is str for s in out)
    return out


def test_empty():
    assert QuibId.batch_to_sornids([]) == []
    assert QuibId.check_sornid_convertibility(()) == []


def test_squashes_to_whole_milliseconds():
    q = pack(1700000000123456789, "ns", 5, 42)
    [(back, sorn)] = QuibId.batch_to_sornids([model.quib_obj(q)])
    assert model.quib_int(back) == q and type(back) is QuibId and type(sorn) is SornId
    assert sorn.as_int() == 7130316800515940352
    assert (sorn.timestamp_ms, sorn.node_id, sorn.sequence) == (1700000000123, 5, 0)


@pytest.mark.parametrize("order", [0, 1])
def test_numbered_by_value_not_by_own_sequence_or_input_order(order):
    a = quib(T0, sub=999, seq=3)
    b = quib(T0, sub=1, seq=9)
    values = [a, b] if order == 0 else [b, a]
    assert convert(values) == [(b, 7130316800000040960), (a, 7130316800000040961)]


def test_output_sorted_by_quibid_and_duplicates_numbered_in_turn():
    a, c = quib(T0, node=3), quib(T0 + 7, node=1)
    got = convert([c, a, c, a, c])
    assert [q for q, _ in got] == [a, a, c, c, c]
    assert [s & 0x1FFF for _, s in got] == [0, 1, 0, 1, 2]


def test_precisions_share_one_group():
    values = [quib(T0, precision=p, sub=u) for p, u in
              [("fs", 10**12 - 1), ("us", 0), ("ps", 5), ("ns", 999999)]]
    got = convert(values)
    assert got == model.batch_to_sornids(values)
    assert sorted(s for _, s in got) == [(T0 << 22 | 5 << 13) + k for k in range(4)]


@pytest.mark.parametrize("values, message", [
    ([quib(T0, node=511)], None),
    ([quib(T0, node=512)], "node_id 512 exceeds SornId max (511)"),
    ([quib(MAX_MS, precision="fs", sub=10**12 - 1)], None),
    ([quib(MAX_MS + 1)], "timestamp 2199023255552 exceeds SornId max (2199023255551 ms)"),
    # Input order decides: a timestamp fault before a node fault.
    ([quib(T0), quib(MAX_MS + 1), quib(T0, node=600)],
     "timestamp 2199023255552 exceeds SornId max (2199023255551 ms)"),
    ([quib(T0), quib(T0, node=600), quib(MAX_MS + 1)], "node_id 600 exceeds SornId max (511)"),
    # Within one identifier the node id comes first.
    ([quib(MAX_MS + 9, node=600)], "node_id 600 exceeds SornId max (511)"),
])
def test_limits_and_precedence(values, message):
    got = convert(values)
    if message is None:
        assert got == model.batch_to_sornids(values) and check(values) == []
    else:
        assert got == message
        assert check(values) == model.check_sornid_convertibility(values) != []


def test_node_and_timestamp_conflicts():
    bad_both = quib(MAX_MS + 9, node=600)
    values = [quib(T0), quib(MAX_MS + 1, node=2), bad_both, quib(T0, node=700),
              quib(T0, node=600, sub=1), quib(MAX_MS + 1, node=3)]
    got = check(values)
    assert got == model.check_sornid_convertibility(values)
    assert got[0] == model.conflict_text("NodeIdOverflow { node_id: 600 }",
                                         [bad_both, values[4]])
    assert got[1].startswith("ConversionConflict { kind: NodeIdOverflow { node_id: 700 }")
    assert got[2] == model.conflict_text("TimestampOverflow { timestamp_ms: 2199023255552 }",
                                         [values[1], values[5]])
    assert len(got) == 3


def test_conflict_text_example():
    q = pack(1700000000000000, "us", 600, 0)
    assert check([q]) == ["ConversionConflict { kind: NodeIdOverflow { node_id: 600 }, "
                          "quib_ids: [QuibId(00000000-0305-8120-8c0f-200002580000)] }"]


GROUP_MESSAGE = ("8193 IDs share (timestamp_ms=1700000000000, node_id=5) after squashing, "
                 "exceeding sequence max 8192")


def full_group(count, ms=T0, node=5):
    # Distinct values, given in descending order.
    return [quib(ms, node=node, precision="ns", sub=count - i) for i in range(count)]


def test_largest_group_converts():
    values = full_group(8192)
    got = convert(values)
    assert got == model.batch_to_sornids(values)
    assert [s & 0x1FFF for _, s in got] == list(range(8192))
    assert check(values) == []


def test_oversized_group():
    values = full_group(8193)
    assert convert(values) == GROUP_MESSAGE
    [conflict] = check(values)
    assert conflict == model.conflict_text(
        "SequenceOverflow { timestamp_ms: 1700000000000, node_id: 5, count: 8193, max: 8192 }",
        values)


def test_any_node_fault_comes_before_group_sizes():
    values = full_group(8193) + [quib(T0, node=512)]
    assert convert(values) == "node_id 512 exceeds SornId max (511)"
    got = check(values)
    assert got[0].startswith("ConversionConflict { kind: NodeIdOverflow { node_id: 512 }")
    assert got[1].startswith("ConversionConflict { kind: SequenceOverflow")


def test_duplicates_count_toward_a_group():
    values = [quib(T0)] * 8193
    assert convert(values) == GROUP_MESSAGE
    assert check(values) == model.check_sornid_convertibility(values)
    assert convert(values[1:]) == model.batch_to_sornids(values[1:])


# Three oversized groups whose keys first appear in the order b, a, c: the
# report follows that order, whatever the keys' values.
OVERSIZED = (full_group(8193, ms=T0 + 2, node=7)[:1] + full_group(8193, ms=T0, node=9)
             + full_group(8193, ms=T0 + 2, node=7)[1:] + full_group(8200, ms=T0 + 1, node=1))


def test_first_appearing_oversized_group_is_reported():
    assert convert(OVERSIZED) == model.group_error(T0 + 2, 7, 8193)
    got = check(OVERSIZED)
    assert got == model.check_sornid_convertibility(OVERSIZED)
    assert [line.split(", quib_ids")[0] for line in got] == [
        f"ConversionConflict {{ kind: SequenceOverflow {{ timestamp_ms: {ms}, node_id: {node}, "
        f"count: {count}, max: 8192 }}"
        for ms, node, count in [(T0 + 2, 7, 8193), (T0, 9, 8193), (T0 + 1, 1, 8200)]]


def test_reports_do_not_depend_on_the_process(tmp_path):
    values = [quib(T0 + k % 3, node=k % 5 + 510, sub=k) for k in range(60)]
    values += [quib(MAX_MS + 1 + k % 4) for k in range(8)] + OVERSIZED
    source = tmp_path / "ids.json"
    source.write_text(json.dumps([model.text(v) for v in values]))
    code = (
        "import json; from _sornquibid import QuibId\n"
        f"ids = [QuibId.from_str(t) for t in json.load(open({str(source)!r}))]\n"
        "try:\n    QuibId.batch_to_sornids(ids)\nexcept ValueError as e:\n    err = str(e)\n"
        "print(json.dumps([err, QuibId.check_sornid_convertibility(ids)]))\n"
    )
    outputs = {run_python(code, {"PYTHONHASHSEED": seed}) for seed in ["0", "1", "4242"]}
    assert len(outputs) == 1
    err, conflicts = json.loads(outputs.pop())
    assert err == model.batch_to_sornids(values)
    assert conflicts == model.check_sornid_convertibility(values)


def test_timestamps_2_to_the_64_ms_apart_stay_apart():
    low = MAX_MS + 1
    values = [quib(low, node=1), quib(low + 2**64, node=2), quib(low, node=3, sub=1)]
    assert convert(values) == f"timestamp {low} exceeds SornId max ({MAX_MS} ms)"
    assert convert(values[1:]) == f"timestamp {low + 2**64} exceeds SornId max ({MAX_MS} ms)"
    assert check(values) == [
        model.conflict_text(f"TimestampOverflow {{ timestamp_ms: {low} }}", [values[0], values[2]]),
        model.conflict_text(f"TimestampOverflow {{ timestamp_ms: {low + 2**64} }}", [values[1]]),
    ]


# Few milliseconds and nodes around the limits, so that groups collide and
# faults mix; any precision, sequence and sub-millisecond part.
@st.composite
def quib_values(draw):
    precision = draw(st.sampled_from(["us", "ns", "ps", "fs"]))
    units = model.UNITS_PER_MS[precision]
    ms = draw(st.sampled_from([0, 1, T0, MAX_MS, MAX_MS + 1, 2**60, 2**64 + MAX_MS + 1]))
    if ms * units >= 2**89:
        ms = MAX_MS
    node = draw(st.sampled_from([0, 1, 511, 512, 32767]))
    sub = draw(st.integers(0, units - 1))
    return pack(ms * units + sub, precision, node, draw(st.integers(0, 65535)))


@settings(max_examples=300)
@given(st.lists(quib_values(), max_size=25))
def test_matches_model(values):
    assert convert(values) == model.batch_to_sornids(values)
    assert check(values) == model.check_sornid_convertibility(values)


@settings(max_examples=25, deadline=None)
@given(st.lists(quib_values(), max_size=6), st.integers(8190, 8194),
       st.integers(0, 6), st.integers(0, 2**32))
def test_check_is_empty_exactly_when_conversion_succeeds(values, copies, at, seed):
    # A crowd of one group (distinct values), spliced in at a random place,
    # so that some inputs just fit and others overflow.
    crowd = [quib(T0, node=1, precision="ns", sub=k) for k in range(copies)]
    random.Random(seed).shuffle(crowd)
    values = values[:at] + crowd + values[at:]
    ok = not isinstance(convert(values), str)
    assert (check(values) == []) == ok


def test_any_sequence_is_accepted():
    q = model.quib_obj(quib(T0))
    assert [p[0] for p in QuibId.batch_to_sornids(model.PlainSequence([q]))] == [q]
    assert QuibId.check_sornid_convertibility(model.PlainSequence([q])) == []


ZERO = "00000000-0000-8000-8000-000000000000"
BAD_IDS = ["abc", iter([]), {1: 2}, frozenset(), 3, [QuibIdDesc.from_str(ZERO)], [SornId(1)],
           [QuibId.from_str(ZERO), ZERO], [QuibId.from_str(ZERO), 0]]


@pytest.mark.parametrize("bad", BAD_IDS)
@pytest.mark.parametrize("method", [QuibId.batch_to_sornids, QuibId.check_sornid_convertibility])
def test_refused_arguments(method, bad):
    with pytest.raises(TypeError, match="'ids'"):
        method(bad)
    with pytest.raises(TypeError, match="'ids'"):
        method(ids=bad)


@pytest.mark.parametrize("precisions", [["ns"], ["us", "fs"], ["us", "ns", "ps", "fs"]])
def test_large_shuffled_batch_matches_model(precisions):
    # Enough identifiers for the sorts to work on many buckets; a narrow
    # window so that groups hold several members.
    rnd = random.Random(len(precisions))
    values = []
    for _ in range(20000):
        p = rnd.choice(precisions)
        units = model.UNITS_PER_MS[p]
        ms = T0 + rnd.randrange(3000)
        values.append(pack(ms * units + rnd.randrange(units), p, rnd.randrange(4),
                           rnd.randrange(65536)))
    values += values[:50]  # duplicates
    rnd.shuffle(values)
    assert convert(values) == model.batch_to_sornids(values)


@pytest.mark.parametrize("crowd", [0, 8152, 8153])
def test_precisions_interleaved_in_quibid_order(crowd):
    # Microsecond and femtosecond timestamps of similar size alternate in
    # QuibId order while their milliseconds jump back and forth by a factor
    # of 10^9, so the milliseconds go back at every other identifier. The 40
    # femtosecond ones share one group, which a crowd of copies fills or
    # overflows.
    values = []
    for k in range(40):
        t = 10**15 + k * 2**29
        values += [pack(t, "us", 1, 0), pack(t + 1, "fs", 1, 0)]
    values += [values[1]] * crowd
    random.Random(crowd).shuffle(values)
    got = convert(values)
    assert got == model.batch_to_sornids(values)
    assert check(values) == model.check_sornid_convertibility(values)
    assert isinstance(got, str) == (crowd == 8153)
