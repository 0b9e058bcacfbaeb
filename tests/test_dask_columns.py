"""sornquibid.dask on a local cluster of two worker processes, against
sornquibid.columns over the whole column on one machine: quib_to_sorn over
crowded groups split across partitions (time-sorted and shuffled, binary
and fixed_size_binary(16) columns), the faults that fail a computation,
sornid_conflicts, the row-by-row functions, the precision resolved on the
client, and the refusals made on the client."""
import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from engines import (T0, crowded_quibs, driver_precision, quib, single_machine,
                     worker_precision)
from engine_faults import FAULTS
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, columns
from sornquibid import dask as D

dd = pytest.importorskip("dask.dataframe")

BINARY = pd.ArrowDtype(pa.binary())
FIXED = pd.ArrowDtype(pa.binary(16))


def frame(values, partitions, dtype=BINARY):
    """A Dask DataFrame of (i, q, payload) over `values`, in that order, in
    `partitions` partitions of consecutive rows, its index 100 + i."""
    if dtype == "int64" and None in values:
        dtype = pd.ArrowDtype(pa.int64())
    pdf = pd.DataFrame({"i": np.arange(len(values)), "q": pd.array(values, dtype=dtype),
                        "payload": np.arange(len(values)) * 7}, index=100 + np.arange(len(values)))
    return dd.from_pandas(pdf, npartitions=partitions, sort=False)


def place(df, row):
    """The place of `row` in its partition: "partition 1, row 17"."""
    first = np.cumsum([0, *df.map_partitions(len).compute()])
    p = int(np.searchsorted(first, row, side="right")) - 1
    return f"partition {p}, row {row - first[p]}"


def plain(values):
    return [None if v is pd.NA or v is None else v for v in values]


# ---------------------------------------------------------------------------
# quib_to_sorn


@pytest.mark.parametrize("shuffled, partitions, dtype", [
    (False, 1, BINARY), (False, 3, FIXED), (False, 8, BINARY),
    (True, 1, FIXED), (True, 3, BINARY), (True, 8, FIXED),
], ids=["time-sorted-1-binary", "time-sorted-3-fixed", "time-sorted-8-binary",
        "shuffled-1-fixed", "shuffled-3-binary", "shuffled-8-fixed"])
def test_quib_to_sorn_is_the_single_machine_result(dask_client, shuffled, partitions, dtype):
    # A group of 8192 (the most one group numbers) among crowded groups of
    # every precision, with duplicates and nulls, over 1 to 8 partitions.
    values = crowded_quibs(partitions + 10, crowd=8192, shuffled=shuffled)
    out = D.quib_to_sorn(frame(values, partitions, dtype), "q", into="s")
    assert out.npartitions == partitions
    got = out.compute().sort_index()
    assert list(got.columns) == ["i", "q", "payload", "s"] and got["q"].dtype == dtype
    assert got.index.tolist() == [100 + i for i in range(len(values))]
    assert plain(got["q"].tolist()) == values and got["payload"].tolist() == [
        i * 7 for i in range(len(values))]
    assert plain(got["s"].tolist()) == single_machine("quib_to_sorn", values)


def test_the_callers_columns_are_kept_whatever_their_names(dask_client):
    # Columns named as the helper columns, an index of repeated values.
    values = crowded_quibs(12, n=300)
    n = len(values)
    pdf = pd.DataFrame({"i": np.arange(n), "id.q y": pd.array(values, dtype=BINARY),
                        "__sornquibid_row": np.arange(n) * 7, "__sornquibid_group": np.arange(n) * 3},
                       index=100 + np.arange(n) // 2)
    out = D.quib_to_sorn(dd.from_pandas(pdf, npartitions=3, sort=False), "id.q y", into="s")
    got = out.compute().sort_values("i")
    assert list(got.columns) == [*pdf.columns, "s"]
    assert got.index.tolist() == pdf.index.tolist()
    assert plain(got["id.q y"].tolist()) == values
    assert got["__sornquibid_row"].tolist() == pdf["__sornquibid_row"].tolist()
    assert got["__sornquibid_group"].tolist() == pdf["__sornquibid_group"].tolist()
    assert plain(got["s"].tolist()) == single_machine("quib_to_sorn", values)


def test_an_object_column_of_bytes_as_read_from_parquet(dask_client, tmp_path):
    # Dask reads Parquet's binary columns as object columns of bytes and
    # Nones; one file, one partition, of Nones only.
    import pyarrow.parquet as pq

    values = [None] * 5 + crowded_quibs(13, n=300) + [quib(T0, 600)]
    for k, (start, stop) in enumerate([(0, 5), (5, 150), (150, len(values))]):
        pq.write_table(pa.table({"i": range(start, stop), "q": pa.array(values[start:stop], pa.binary())}),
                       tmp_path / f"{k}.parquet")
    df = dd.read_parquet(str(tmp_path))
    assert df.dtypes["q"] == object and df.npartitions == 3
    got = D.sornid_conflicts(df, "q")
    assert [(c.kind, c.node_id, c.rows) for c in got.itertuples()] == [
        ("NodeIdOverflow", 600, (len(values) - 1,))]
    fine = df[df["i"] < len(values) - 1]
    assert D.sornid_conflicts(fine, "q").empty
    out = D.quib_to_sorn(fine, "q", into="s").compute().sort_values("i")
    assert out["q"].tolist() == values[:-1]
    assert plain(out["s"].tolist()) == single_machine("quib_to_sorn", values[:-1])


@pytest.mark.parametrize("case", FAULTS, ids=list(FAULTS))
def test_a_fault_fails_the_computation_with_the_library_message(dask_client, case):
    values, row, message = FAULTS[case]
    df = frame(values, 3)
    if row is not None:
        message = f"{place(df, row)}: {message}"
    with pytest.raises(ValueError) as info:
        D.quib_to_sorn(df, "q").compute()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# sornid_conflicts


def test_sornid_conflicts_are_those_of_the_gathered_column(dask_client):
    values = crowded_quibs(3, crowd=8193) + [quib(T0, 600), quib(2**64, 1, "us"), quib(T0, 700)]
    values += [quib(T0, 600, seq=1)] * 3 + [quib(2**45, 2, "us"), quib(2**65, 2, "ns")]
    values = values[::-1]
    got = D.sornid_conflicts(frame(values, 3, FIXED), "q")
    expected = columns.sornid_conflicts(pa.array(values, pa.binary()))
    kinds = ["NodeIdOverflow", "TimestampOverflow", "SequenceOverflow"]
    expected.sort(key=lambda c: (kinds.index(c.kind), c.rows[0]))
    assert [c.kind for c in expected] == kinds[:1] * 2 + kinds[1:2] * 3 + kinds[2:]
    assert list(got.columns) == ["kind", "timestamp_ms", "node_id", "count", "max", "row_count",
                                 "rows"]
    assert [tuple(None if v is pd.NA else v for v in row)
            for row in got.itertuples(index=False)] == [
        (c.kind, c.timestamp_ms, c.node_id, c.count, c.max, c.row_count, c.rows)
        for c in expected]
    assert D.sornid_conflicts(frame(crowded_quibs(5, crowd=8192), 2), "q").empty


# ---------------------------------------------------------------------------
# Row by row


def sorns(n=2500):
    return [None if i % 97 == 0 else ((T0 + i % 50) << 22) | (i % 512) << 13 | i % 8192
            for i in range(n)]


def quibs(n=2500):
    return [None if s is None else quib(T0 + s % 50, s % 511, "ns", s % 1000, s % 9)
            for s in sorns(n)]


def texts(n=2500):
    return [None if q is None else str(QuibId.from_bytes(q)) for q in quibs(n)]


def no_nulls(make):
    return lambda: [v for v in make() if v is not None]


ROW_CASES = {
    "sorn_to_quib, the client's precision": ("int64", no_nulls(sorns), "sorn_to_quib", {},
                                             (driver_precision,)),
    "sorn_to_quib, ps, nulls": ("int64", sorns, "sorn_to_quib", {"precision": "ps"}, ("ps",)),
    "to_desc SornId": ("int64", no_nulls(sorns), "to_desc", {"family": SornId}, (SornId,)),
    "to_desc QuibId": (FIXED, quibs, "to_desc", {"family": QuibId}, (QuibId,)),
    "to_asc SornIdDesc": ("int64", sorns, "to_asc", {"family": SornIdDesc}, (SornIdDesc,)),
    "parse QuibId": ("str", texts, "parse", {"family": QuibId}, (QuibId,)),
    "format QuibIdDesc": (BINARY, quibs, "format", {"family": QuibIdDesc}, (QuibIdDesc,)),
    "validate SornId text": ("str", texts, "validate", {"family": SornId}, (SornId,)),
    "fields QuibId": (BINARY, quibs, "fields", {"family": QuibId}, (QuibId,)),
    "fields SornIdDesc": ("int64", no_nulls(sorns), "fields", {"family": SornIdDesc},
                          (SornIdDesc,)),
}


@pytest.mark.parametrize("case", ROW_CASES, ids=list(ROW_CASES))
def test_row_by_row_functions_are_the_single_machine_results(dask_client, case):
    dtype, make, function, args, local_args = ROW_CASES[case]
    values = make()
    # The driver's precision, read only when the test runs.
    local_args = [a() if a is driver_precision else a for a in local_args]
    expected = single_machine(function, values, *local_args)
    got = getattr(D, function)(frame(values, 3, dtype), "q", **args).compute()
    if function == "fields":
        names = list(expected[0])
        assert list(got.columns) == ["i", "q", "payload"] + [f"q_{n}" for n in names]
        assert [dict(zip(names, plain(row))) for row in
                got[[f"q_{n}" for n in names]].astype(object).itertuples(index=False)] == expected
        return
    assert list(got.columns) == ["i", "q", "payload"]
    assert got.index.tolist() == [100 + i for i in range(len(values))]
    assert plain(got["q"].tolist()) == expected
    if function == "sorn_to_quib" and not args:
        # The workers' own precision differs, and played no part.
        workers = dask_client.run(os.getenv, "QUIBID_PRECISION")
        assert set(workers.values()) == {worker_precision()}


def test_bad_values_are_named_by_partition_and_row_or_become_nulls(dask_client):
    values = texts(4000)
    values[3500] = "not a quibid"
    df = frame(values, 2, "str")
    with pytest.raises(ValueError) as info:
        D.parse(df, "q", QuibId, into="v").compute()
    assert str(info.value) == f"{place(df, 3500)}: invalid QuibId string: not a quibid"
    got = D.parse(df, "q", QuibId, into="v", errors="null").compute()["v"]
    assert plain(got.tolist()) == single_machine("parse", values, QuibId, "null")


def test_client_refusals(dask_client):
    df = frame(quibs(10), 1)
    ints = frame(no_nulls(sorns)(), 1, "int64")
    refusals = [
        (lambda: D.quib_to_sorn(df, "nope"), KeyError,
         "quib_to_sorn(): the DataFrame has no column 'nope'"),
        (lambda: D.quib_to_sorn(df, "i"), TypeError,
         "quib_to_sorn() column 'i' must be a column of 16-byte values (numpy V16, S16 or "
         "(n, 16) uint8; Arrow fixed_size_binary(16), uuid, or binary of 16-byte values), "
         'not a buffer of format "l"'),
        (lambda: D.sorn_to_quib(ints, "q", precision="xx"), ValueError,
         'unknown precision "xx"; expected one of: microseconds/us, nanoseconds/ns, '
         "picoseconds/ps, femtoseconds/fs"),
        (lambda: D.to_asc(df, "q", QuibId), TypeError,
         "to_asc() argument 'family' must be SornIdDesc or QuibIdDesc, not <class 'QuibId'>"),
        (lambda: D.sorn_to_quib(ints, "q", errors="null"), ValueError,
         "sorn_to_quib(): errors='null' needs an Arrow column; numpy holds no nulls"),
    ]
    for call, kind, message in refusals:
        with pytest.raises(kind) as info:
            call()
        assert info.value.args[0] == message
