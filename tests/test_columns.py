"""sornquibid.columns against the object path: every function on random
columns (crowded groups, every precision, duplicates, bad values), its
messages, errors="null", and the functions of the cluster layer (the order
column of quib_to_sorn, sorn_group)."""
import random

import numpy as np
import pyarrow as pa
import pytest

import convert_model as model
import sornquibid
from quib_layout import DESC_MASK, PRECISIONS, pack
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from sornquibid import columns as C

T0 = 1_700_000_000_000  # ms
SORN_DESC_MASK = 0x7FFFFFFFFFC01FFF
FAMILIES = [SornId, SornIdDesc, QuibId, QuibIdDesc]


def quib(ms, node=5, precision="ns", sub=0, seq=0):
    return pack(ms * model.UNITS_PER_MS[precision] + sub, precision, node, seq)


def v16(values):
    """A numpy V16 column of 128-bit values."""
    return np.frombuffer(b"".join(v.to_bytes(16, "big") for v in values), dtype="V16")


def ints(col):
    """128-bit values of a numpy V16 column or an Arrow binary column."""
    if isinstance(col, np.ndarray):
        return [int.from_bytes(bytes(x), "big") for x in col]
    return [None if x is None else int.from_bytes(x, "big") for x in col.to_pylist()]


def random_quibs(rng, n, groups=200):
    """Values of every precision crowding into a few (ms, node) groups, with
    duplicates."""
    out = []
    for _ in range(n):
        p = rng.choice(PRECISIONS)
        ms, node = T0 + rng.randrange(groups // 10 + 1), rng.randrange(10)
        out.append(quib(ms, node, p, rng.randrange(model.UNITS_PER_MS[p]), rng.randrange(65536)))
    out += rng.sample(out, n // 10)
    rng.shuffle(out)
    return out


def row_order(quibs):
    """quib_to_sorn by the object path: batch_to_sornids, its pairs given back
    to the rows in row order (equal QuibIds take their SornIds in turn); or
    the error message."""
    try:
        pairs = QuibId.batch_to_sornids([QuibId.from_int(v) for v in quibs])
    except ValueError as e:
        return str(e)
    taken = {}
    for q, s in pairs:
        taken.setdefault(q.as_int(), []).append(s.as_int())
    return [taken[v].pop(0) for v in quibs]


# ---------------------------------------------------------------------------
# The conversions


@pytest.mark.parametrize("precision", [None, "us", "nanoseconds", "ps", "femtoseconds"])
def test_sorn_to_quib_gives_the_images_of_batch_to_quibids(precision):
    rng = random.Random(1)
    sorns = [0, 2**63 - 1] + [rng.randrange(2**63) for _ in range(2000)]
    got = C.sorn_to_quib(np.array(sorns, dtype=np.int64), precision)
    assert got.dtype == np.dtype("V16")
    if precision is None:
        expected = [q.as_int() for _, q in SornId.batch_to_quibids([SornId(s) for s in sorns])]
    else:
        short = {"nanoseconds": "ns", "femtoseconds": "fs"}.get(precision, precision)
        expected = [model.sorn_to_quib(s, short) for s in sorns]
    assert ints(got) == expected


# (values, the row whose fault is reported or None): crowded groups of
# exactly 8192 and 8193, duplicates, every precision, and the faults of
# batch_to_sornids in input order.
CROWD = [quib(T0, 5, "ns", sub=i % 1000, seq=i % 7) for i in range(8192)]
QUIB_CASES = {
    "random": (random_quibs(random.Random(2), 3000), None),
    "8192 in one group": (CROWD, None),
    "8193 in one group": ([quib(T0 + 1, 2)] + CROWD + [quib(T0, 5, "us", sub=999)], 1),
    "duplicates": ([quib(T0, 1, seq=3)] * 5 + [quib(T0, 1, seq=2)] * 3, None),
    "node fault after timestamp fault": (
        [quib(T0), quib(2**41, 1, "us"), quib(T0, 512), quib(T0, 600)], 1),
    "node before timestamp in one row": ([quib(T0), quib(2**45, 600, "us")], 1),
    "node fault before oversized group": (CROWD + [quib(T0), quib(T0, 512)], 8193),
}


@pytest.mark.parametrize("case", QUIB_CASES, ids=list(QUIB_CASES))
def test_quib_to_sorn_gives_batch_to_sornids_in_row_order(case):
    values, bad_row = QUIB_CASES[case]
    expected = row_order(values)
    if bad_row is None:
        assert C.quib_to_sorn(v16(values)).tolist() == expected
        # The same column in Arrow chunks, with a null between them.
        chunks = pa.chunked_array([pa.array([None], pa.binary(16))] + [
            pa.array([v.to_bytes(16, "big") for v in values[i:i + 1000]], pa.binary(16))
            for i in range(0, len(values), 1000)])
        assert C.quib_to_sorn(chunks).to_pylist() == [None] + expected
    else:
        with pytest.raises(ValueError) as info:
            C.quib_to_sorn(v16(values))
        assert str(info.value) == f"row {bad_row}: {expected}"


def test_sornid_conflicts_are_the_records_of_the_object_path_with_their_rows():
    crowd = [quib(T0, 5, sub=i) for i in range(8193)]
    values = [quib(T0, 600), quib(2**64, 1, "us")] + crowd + [quib(T0, 600, seq=1)] * 3
    expected = sornquibid.sornid_conflicts([QuibId.from_int(v) for v in values])
    got = C.sornid_conflicts(pa.array([v.to_bytes(16, "big") for v in values], pa.binary(16)))
    assert [(c.kind, c.timestamp_ms, c.node_id, c.count, c.max, c.quib_ids, str(c))
            for c in got] == [(c.kind, c.timestamp_ms, c.node_id, c.count, c.max, c.quib_ids,
                               str(c)) for c in expected]
    rows = {v: [i for i, w in enumerate(values) if w == v] for v in set(values)}
    for c in got:
        members = sorted({r for q in c.quib_ids for r in rows[q.as_int()]})
        assert c.rows == tuple(members[:C.CONFLICT_ROWS]) and c.row_count == len(members)
    assert C.sornid_conflicts(v16(crowd[:8192])) == []


# ---------------------------------------------------------------------------
# Values, text and fields, family by family


def value_column(family, values):
    if family in (SornId, SornIdDesc):
        return np.array(values, dtype=np.int64)
    return v16(values)


def object_of(family, value):
    """The object of a stored value, or the ValueError text refusing it."""
    try:
        if family in (SornId, SornIdDesc):
            return family(value)
        return family.from_bytes(value.to_bytes(16, "big"))
    except ValueError as e:
        return str(e)


def random_values(family, rng, n=500):
    if family in (SornId, SornIdDesc):
        return [0, 2**63 - 1] + [rng.randrange(2**63) for _ in range(n)]
    return [pack(rng.randrange(2**89), rng.choice(PRECISIONS), rng.randrange(2**15),
                 rng.randrange(2**16)) ^ (DESC_MASK if family is QuibIdDesc else 0)
            for _ in range(n)]


def arrow_values(family, values):
    if family in (SornId, SornIdDesc):
        return pa.array(values, pa.int64())
    return pa.array([v.to_bytes(16, "big") for v in values], pa.binary(16))


def bad_value(family):
    # A negative 64-bit value; a 128-bit one of version 4.
    return -5 if family in (SornId, SornIdDesc) else 0x4 << 76 | 2 << 62


@pytest.mark.parametrize("family", FAMILIES, ids=lambda f: f.__name__)
def test_text_and_fields_match_the_class(family):
    values = random_values(family, random.Random(3))
    objs = [object_of(family, v) for v in values]
    text = C.format(value_column(family, values), family)
    assert text.tolist() == [str(o) for o in objs]
    back = C.parse(text, family)
    assert (back.tolist() if back.dtype == np.int64 else ints(back)) == values
    table = C.fields(value_column(family, values), family)
    if family in (SornId, SornIdDesc):
        expected = {"timestamp": [o.timestamp_ms for o in objs]}
    else:
        expected = {"timestamp": [o.timestamp for o in objs],
                    "precision": [o.precision for o in objs]}
    expected |= {"node_id": [o.node_id for o in objs], "sequence": [o.sequence for o in objs]}
    assert {k: v.tolist() for k, v in table.items()} == expected
    assert C.fields(arrow_values(family, values), family).to_pydict() == expected
    assert C.validate(value_column(family, values), family).all()


@pytest.mark.parametrize("family", [SornId, QuibId], ids=lambda f: f.__name__)
def test_to_desc_and_back_match_the_package(family):
    desc = SornIdDesc if family is SornId else QuibIdDesc
    values = random_values(family, random.Random(4))
    flipped = C.to_desc(value_column(family, values), family)
    stored = flipped.tolist() if family is SornId else ints(flipped)
    expected = [sornquibid.to_desc(object_of(family, v)).as_int() for v in values]
    assert stored == expected
    back = C.to_asc(flipped, desc)
    assert (back.tolist() if family is SornId else ints(back)) == values
    mask = SORN_DESC_MASK if family is SornId else DESC_MASK
    assert all(a ^ b == mask for a, b in zip(values, stored))


# Texts refused by the parsers, each with the classes' message.
BAD_TEXTS = {
    SornId: ["12a", "", " 5", "-3", "9223372036854775808", "\u0663"],
    QuibId: ["abc", "00000000-0000-4000-8000-000000000000", "00000000-0000-8000-c000-000000000000",
             "URN:UUID:00000000-0000-8000-8000-000000000000", "é" * 36],
}


@pytest.mark.parametrize("family", FAMILIES, ids=lambda f: f.__name__)
def test_parse_refuses_what_from_str_refuses(family):
    bad = BAD_TEXTS[SornId if family in (SornId, SornIdDesc) else QuibId]
    good = "42" if family in (SornId, SornIdDesc) else "{00000000-0000-8000-8000-000000000001}"
    for k, text in enumerate(bad):
        with pytest.raises(ValueError) as expected:
            family.from_str(text)
        for col in (np.array([good, good, text]), np.array([good, good, text], dtype=object),
                    pa.array([good, None, text]), pa.array([good, None, text], pa.string_view())):
            with pytest.raises(ValueError) as info:
                C.parse(col, family)
            assert str(info.value) == f"row 2: {expected.value}", (k, type(col))
    nulls = C.parse(pa.array([good] + bad, pa.large_string()), family, errors="null")
    assert nulls.null_count == len(bad) and nulls[0].is_valid
    valid = C.validate(pa.array([good, None] + bad), family).to_pylist()
    assert valid == [True, None] + [False] * len(bad)


BAD_VALUE_CALLS = [(f, family) for f in ("format", "fields") for family in FAMILIES]
BAD_VALUE_CALLS += [("to_desc", SornId), ("to_desc", QuibId), ("to_asc", SornIdDesc),
                    ("to_asc", QuibIdDesc), ("sorn_to_quib", SornId)]


@pytest.mark.parametrize("function, family", BAD_VALUE_CALLS,
                         ids=[f"{f} {c.__name__}" for f, c in BAD_VALUE_CALLS])
def test_bad_values_name_their_row_or_become_nulls(function, family):
    def call(col, **kw):
        if function == "sorn_to_quib":
            return C.sorn_to_quib(col, "us", **kw)
        return getattr(C, function)(col, family, **kw)

    good = random_values(family, random.Random(5), 3)
    values = good[:2] + [bad_value(family)] + good[2:]
    with pytest.raises(ValueError) as info:
        call(value_column(family, values))
    assert str(info.value) == f"row 2: {object_of(family, bad_value(family))}"
    arrow = call(arrow_values(family, values), errors="null")
    nulls = (arrow.column(0) if isinstance(arrow, pa.RecordBatch) else arrow).is_null()
    assert nulls.to_pylist() == [False, False, True] + [False] * (len(values) - 3)
    valid = C.validate(value_column(family, values), family).tolist()
    assert valid == [True, True, False] + [True] * (len(values) - 3)


def test_binary_of_other_lengths_is_a_bad_value():
    ok = quib(T0).to_bytes(16, "big")
    col = pa.array([ok, None, ok[:15]], pa.large_binary())
    with pytest.raises(ValueError, match=r"^row 2: expected 16 bytes, got 15$"):
        C.format(col, QuibId)
    assert C.format(col, QuibId, errors="null").to_pylist() == [str(QuibId.from_bytes(ok)), None,
                                                                None]
    assert C.validate(col, QuibId).to_pylist() == [True, None, False]


# ---------------------------------------------------------------------------
# Refusals


WRONG_TYPES = [
    ("sorn_to_quib", (np.array([1.5]),), "an int64 column", 'a buffer of format "d"'),
    ("sorn_to_quib", (pa.array(["1"]),), "an int64 column", "Arrow string"),
    ("to_desc", (pa.array([b"x" * 15], pa.binary(15)), QuibId), "a column of 16-byte values",
     "Arrow fixed_size_binary(15)"),
    ("parse", (np.array([1], dtype=np.int64), SornId), "a text column", 'a buffer of format "'),
    ("format", (np.zeros(3, ">i8"), SornId), "an int64 column", 'a byte-swapped buffer'),
    ("quib_to_sorn", (np.zeros((3, 15), np.uint8),), "a column of 16-byte values",
     "2-dimensional"),
    ("validate", (pa.array([1.5]), QuibId), "binary of 16-byte values) or a text column (",
     "Arrow float64"),
    ("fields", ([1, 2], SornId), "a numpy array, a pyarrow Array", "not list"),
]


@pytest.mark.parametrize("name, args, expected, given", WRONG_TYPES,
                         ids=[w[0] + " " + w[3] for w in WRONG_TYPES])
def test_wrong_column_types_name_the_layouts(name, args, expected, given):
    with pytest.raises(TypeError) as info:
        getattr(C, name)(*args)
    message = str(info.value)
    assert message.startswith(f"{name}() argument 'col' must be ")
    assert expected in message and given in message


@pytest.mark.parametrize("call, exc, message", [
    (lambda: C.to_desc(np.array([1]), SornIdDesc), TypeError,
     "to_desc() argument 'family' must be SornId or QuibId, not <class 'SornIdDesc'>"),
    (lambda: C.to_asc(np.array([1]), SornId), TypeError,
     "to_asc() argument 'family' must be SornIdDesc or QuibIdDesc, not <class 'SornId'>"),
    (lambda: C.parse(np.array(["1"]), int), TypeError,
     "parse() argument 'family' must be SornId, SornIdDesc, QuibId or QuibIdDesc, not <class 'int'>"),
    (lambda: C.parse(np.array(["1"]), SornId, errors="null"), ValueError,
     "parse(): errors='null' needs an Arrow column; numpy holds no nulls"),
    (lambda: C.parse(pa.array(["1"]), SornId, errors="ignore"), ValueError,
     "parse() argument 'errors' must be 'raise' or 'null', not 'ignore'"),
    (lambda: C.sorn_to_quib(np.array([1]), "NS"), ValueError,
     'unknown precision "NS"; expected one of: microseconds/us, nanoseconds/ns, picoseconds/ps, '
     'femtoseconds/fs'),
    (lambda: C.parse(np.array(["1", None], dtype=object), SornId), TypeError,
     "parse() argument 'col' row 1 must be str, not NoneType"),
    (lambda: C.quib_to_sorn(v16([quib(T0)]), np.array([1, 2])), ValueError,
     "quib_to_sorn() argument 'order' has 2 rows, 'col' 1"),
    (lambda: C.quib_to_sorn(v16([quib(T0), quib(T0)]), pa.array([1, None])), ValueError,
     "row 1: order is null"),
    (lambda: C.sorn_to_quib(np.ma.masked_array([1], [True])), TypeError,
     "sorn_to_quib() argument 'col' must be a numpy array, a pyarrow Array or ChunkedArray, a "
     "pandas or polars Series, or an object with the Arrow PyCapsule interface; a numpy masked "
     "array has nulls that numpy cannot hold: give an Arrow array instead"),
])
def test_refused_arguments(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# For the cluster layer: the order column, and the group keys


def test_parts_numbered_with_global_rows_give_the_whole_columns_numbers():
    rng = random.Random(6)
    values = random_quibs(rng, 4000, groups=40)
    whole = C.quib_to_sorn(v16(values)).tolist()
    # Two parts as a shuffle would make them: every row of a group in one
    # part, each part in its own order, with the global row numbers.
    groups = C.sorn_group(v16(values)).tolist()
    parts = [[], []]
    for row, g in enumerate(groups):
        parts[hash(g) % 2].append(row)
    for part in parts:
        rng.shuffle(part)
        got = C.quib_to_sorn(v16([values[r] for r in part]), np.array(part, dtype=np.int64))
        assert got.tolist() == [whole[r] for r in part]


def test_order_ranks_equal_quibids_and_nothing_else():
    a, b = quib(T0, 1, seq=9), quib(T0, 1, seq=3)
    got = C.quib_to_sorn(v16([a, a, b, a]), pa.array([5, -7, 100, 0]))
    base = T0 << 22 | 1 << 13
    # b is the smaller QuibId whatever its rank; the three a by rank.
    assert got.tolist() == [base + 3, base + 1, base, base + 2]


def test_sorn_group_is_sequence_zero_of_each_group():
    values = random_quibs(random.Random(7), 500)
    expected = [ms << 22 | node << 13 for ms, node in map(model.squash, values)]
    assert C.sorn_group(v16(values)).tolist() == expected
    assert all(s - s % 8192 == g for s, g in zip(C.quib_to_sorn(v16(values)).tolist(), expected))
    bad = [quib(T0), quib(T0, 700), quib(2**41, 1, "us")]
    with pytest.raises(ValueError) as info:
        C.sorn_group(v16(bad))
    assert str(info.value) == f"row 1: {model.node_error(700)}"
    got = C.sorn_group(pa.array([v.to_bytes(16, "big") for v in bad], pa.binary(16)),
                       errors="null")
    assert got.to_pylist() == [T0 << 22 | 5 << 13, None, None]
