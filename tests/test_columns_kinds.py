"""sornquibid.columns over each kind of column: numpy layouts, Arrow layouts
and types, chunks, slices with offsets, nulls, pandas and polars Series and
other Arrow producers; what comes back, without copies, and what is
imported."""
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

from conftest import run_python
from quib_layout import pack
from sornquibid import QuibId, QuibIdDesc, SornId
from sornquibid import columns as C

Q = [pack(1_700_000_000_000_000_000 + i * 999_999, "ns", i % 3, i) for i in range(40)]
Q_BYTES = [v.to_bytes(16, "big") for v in Q]
Q_TEXT = [str(QuibId.from_int(v)) for v in Q]
S = [SornId.from_parts(1_700_000_000_000 + i // 4, i % 3, i).as_int() for i in range(40)]


class ArrayOnly:
    """Another library's array: the Arrow PyCapsule interface and nothing else."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


class StreamOnly(ArrayOnly):
    __arrow_c_array__ = None

    def __arrow_c_stream__(self, requested_schema=None):
        return self.array.__arrow_c_stream__(requested_schema)


def uuid_array(values):
    return pa.ExtensionArray.from_storage(pa.uuid(), pa.array(values, pa.binary(16)))


# Columns of the same 40 QuibIds, as each layout holds them.
QUIB_LAYOUTS = {
    "numpy V16": lambda: np.frombuffer(b"".join(Q_BYTES), "V16"),
    "numpy S16": lambda: np.array(Q_BYTES, "S16"),
    "numpy (n, 16) uint8": lambda: np.frombuffer(b"".join(Q_BYTES), np.uint8).reshape(-1, 16),
    "numpy strided": lambda: np.frombuffer(b"".join(q + q for q in Q_BYTES), "V16")[::2],
    "numpy object bytes": lambda: np.array(Q_BYTES, dtype=object),
    "fixed_size_binary": lambda: pa.array(Q_BYTES, pa.binary(16)),
    "uuid": lambda: uuid_array(Q_BYTES),
    "binary": lambda: pa.array(Q_BYTES, pa.binary()),
    "large_binary": lambda: pa.array(Q_BYTES, pa.large_binary()),
    "binary_view": lambda: pa.array(Q_BYTES, pa.binary_view()),
    "chunked": lambda: pa.chunked_array([Q_BYTES[:7], [], Q_BYTES[7:]], pa.binary(16)),
    "array capsule": lambda: ArrayOnly(pa.array(Q_BYTES, pa.binary(16))),
    "stream capsule": lambda: StreamOnly(pa.chunked_array([Q_BYTES[:5], Q_BYTES[5:]])),
    "pandas object": lambda: pd.Series(Q_BYTES, dtype=object),
    "pandas Arrow": lambda: pd.Series(Q_BYTES, dtype=pd.ArrowDtype(pa.binary(16))),
    "polars": lambda: pl.Series("q", Q_BYTES, dtype=pl.Binary),
}


def values_of(col):
    """The values of any kind of column, as Python objects."""
    if isinstance(col, np.ndarray):
        return [bytes(x) if col.dtype.kind == "V" else x for x in col.tolist()]
    if isinstance(col, (pa.Array, pa.ChunkedArray)):
        return col.to_pylist()
    if isinstance(col, pd.Series):
        return [None if x is pd.NA else x for x in col.tolist()]
    return col.to_list()


@pytest.mark.parametrize("layout", QUIB_LAYOUTS, ids=list(QUIB_LAYOUTS))
def test_every_layout_of_16_byte_values(layout):
    col = QUIB_LAYOUTS[layout]()
    text = C.format(col, QuibId)
    assert values_of(text) == Q_TEXT
    sorns = C.quib_to_sorn(col)
    assert values_of(sorns) == [s.as_int() for _, s in QuibId.batch_to_sornids(
        [QuibId.from_int(v) for v in Q])]
    assert values_of(C.to_asc(C.to_desc(col, QuibId), QuibIdDesc)) == Q_BYTES


def expected_kind(col):
    """What a result column of `col` is: the same kind, or pyarrow."""
    if isinstance(col, ArrayOnly):
        return pa.ChunkedArray if isinstance(col, StreamOnly) else pa.Array
    for kind in (np.ndarray, pa.Array, pa.ChunkedArray, pd.Series, pl.Series):
        if isinstance(col, kind):
            return kind
    raise AssertionError(type(col))


TEXT_LAYOUTS = {
    "numpy str": lambda: np.array(Q_TEXT),
    "numpy object": lambda: np.array(Q_TEXT, dtype=object),
    "string": lambda: pa.array(Q_TEXT),
    "large_string": lambda: pa.array(Q_TEXT, pa.large_string()),
    "string_view": lambda: pa.array(Q_TEXT, pa.string_view()),
    "pandas str": lambda: pd.Series(Q_TEXT, index=range(100, 140), name="t"),
    "pandas object": lambda: pd.Series(Q_TEXT, dtype=object, index=range(100, 140), name="t"),
    "polars": lambda: pl.Series("t", Q_TEXT),
    "stream capsule": lambda: StreamOnly(pa.chunked_array([Q_TEXT[:1], Q_TEXT[1:]])),
}


@pytest.mark.parametrize("layout", TEXT_LAYOUTS, ids=list(TEXT_LAYOUTS))
def test_every_text_layout_and_the_kind_of_what_comes_back(layout):
    col = TEXT_LAYOUTS[layout]()
    got = C.parse(col, QuibId)
    assert isinstance(got, expected_kind(col))
    assert values_of(got) == Q_BYTES
    if isinstance(col, pd.Series):
        assert got.index.equals(col.index) and got.name == "t"
    if isinstance(col, pl.Series):
        assert got.name == "t"
    assert values_of(C.validate(col, QuibId)) == [True] * 40


@pytest.mark.parametrize("make, dtype", [
    (lambda: np.array(S), "int64"),
    (lambda: pd.Series(S, index=list("abcdefghij") * 4), "int64"),
    (lambda: pd.Series(S, dtype="int64[pyarrow]"), "int64[pyarrow]"),
    (lambda: pd.Series(S, dtype="Int64"), "int64[pyarrow]"),
    (lambda: pl.Series("s", S), "Int64"),
    (lambda: ArrayOnly(pa.array(S)), "int64"),
])
def test_64_bit_kinds(make, dtype):
    col = make()
    quibs = C.sorn_to_quib(col, "us")
    assert isinstance(quibs, expected_kind(col))
    assert values_of(quibs) == [pack((s >> 22) * 1000, "us", s >> 13 & 511, s & 8191).to_bytes(
        16, "big") for s in S]
    desc = C.to_desc(col, SornId)
    assert str(getattr(desc, "dtype", "int64")) == dtype
    assert values_of(desc) == [s ^ 0x7FFFFFFFFFC01FFF for s in S]


def test_numpy_results():
    sorns = np.array(S)
    quibs = C.sorn_to_quib(sorns, "ns")
    assert quibs.dtype == np.dtype("V16") and quibs.flags.writeable
    assert C.format(sorns, SornId).dtype == np.dtype("<U19")
    assert C.format(quibs, QuibId).dtype == np.dtype("<U36")
    assert C.validate(sorns, SornId).dtype == np.bool_
    table = C.fields(quibs, QuibId)
    assert [(k, v.dtype) for k, v in table.items()] == [
        ("timestamp", np.dtype(object)), ("precision", np.dtype("<U2")),
        ("node_id", np.dtype(np.int32)), ("sequence", np.dtype(np.int32))]
    # Results own new memory: writing to them leaves the input alone.
    before = sorns.copy()
    desc = C.to_desc(sorns, SornId)
    desc[:] = 0
    assert (sorns == before).all() and not np.shares_memory(desc, sorns)


@pytest.mark.parametrize("make, kind", [
    (lambda: pa.array(Q_BYTES, pa.binary(16)), pa.RecordBatch),
    (lambda: pa.chunked_array([Q_BYTES[:3], Q_BYTES[3:]], pa.binary(16)), pa.Table),
    (lambda: pd.Series(Q_BYTES, dtype=pd.ArrowDtype(pa.binary(16)), index=range(5, 45)),
     pd.DataFrame),
    (lambda: pl.Series(Q_BYTES, dtype=pl.Binary), pl.DataFrame),
])
def test_fields_tables(make, kind):
    col = make()
    table = C.fields(col, QuibId)
    assert isinstance(table, kind)
    if isinstance(table, pl.DataFrame):
        frame = table.to_pandas()
    elif isinstance(table, pd.DataFrame):
        frame = table
    else:
        frame = pa.table(table).to_pandas()
    assert list(frame.columns) == ["timestamp", "precision", "node_id", "sequence"]
    objs = [QuibId.from_int(v) for v in Q]
    assert [int(t) for t in frame["timestamp"]] == [o.timestamp for o in objs]
    assert list(frame["node_id"]) == [o.node_id for o in objs]
    if isinstance(col, pd.Series):
        assert table.index.equals(col.index)


def test_nulls_slices_and_chunks_keep_their_rows():
    values = [None if i % 5 == 2 else b for i, b in enumerate(Q_BYTES)]
    whole = pa.array(values, pa.binary(16))
    # Slices whose offsets are not a multiple of 8 bits of the validity map.
    chunked = pa.chunked_array([whole.slice(0, 3), whole.slice(3, 10), whole.slice(13)])
    for col in (whole.slice(3), chunked):
        expected = values[40 - len(col):]
        text = C.format(col, QuibId)
        assert text.to_pylist() == [None if v is None else str(QuibId.from_bytes(v))
                                    for v in expected]
        assert C.parse(text, QuibId).to_pylist() == expected
        assert C.validate(col, QuibId).to_pylist() == [None if v is None else True
                                                       for v in expected]
        present = [v for v in expected if v is not None]
        sorns = iter(C.quib_to_sorn(pa.array(present, pa.binary(16))).to_pylist())
        assert C.quib_to_sorn(col).to_pylist() == [None if v is None else next(sorns)
                                                   for v in expected]
    assert isinstance(C.format(chunked, QuibId), pa.ChunkedArray)
    assert C.format(chunked, QuibId).num_chunks == 3


def test_results_are_lent_not_copied():
    # A numpy result is a view of the kernel's own memory, and Arrow imports
    # that same memory.
    quibs = C.sorn_to_quib(pa.array(S), "ns")
    buffer = quibs.buffers()[1]
    assert pa.array(quibs).buffers()[1].address == buffer.address
    desc = C.to_desc(np.array(S), SornId)
    assert type(desc.base).__name__ in ("memoryview", "Column")


def test_importing_the_module_imports_no_framework():
    code = ("import sys, sornquibid, sornquibid.columns\n"
            "print(sorted(m for m in ('numpy', 'pyarrow', 'pandas', 'polars') if m in sys.modules))")
    assert run_python(code) == "[]"
    code = ("import sys, numpy, sornquibid.columns as c\n"
            "c.sorn_to_quib(numpy.array([1]), 'us')\n"
            "print(sorted(m for m in ('pyarrow', 'pandas', 'polars') if m in sys.modules))")
    assert run_python(code) == "[]"
