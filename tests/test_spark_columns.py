"""sornquibid.spark on Spark in local mode, against sornquibid.columns over
the whole column on one machine: quib_to_sorn over crowded groups split
across partitions (time-sorted and shuffled), the faults that fail a job,
sornid_conflicts, the row-by-row functions by both of their paths (Arrow
UDF and mapInArrow), the precision resolved on the driver, and the
refusals made on the driver."""
import functools
import os

import pandas as pd
import pyarrow as pa
import pytest

from engines import (SPARK_BATCH_ROWS, T0, crowded_quibs, driver_precision, quib,
                     single_machine, worker_precision)
from engine_faults import FAULTS
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, columns
from sornquibid import spark as S


@pytest.fixture(params=["arrow_udf", "mapInArrow"])
def path(request, monkeypatch):
    """The row-by-row path: Arrow UDFs (PySpark 4.1 and later), or
    mapInArrow, which earlier versions take."""
    if request.param == "mapInArrow":
        monkeypatch.setattr(S, "_arrow_udf", lambda: None)
    elif S._arrow_udf() is None:
        pytest.skip("this PySpark has no Arrow UDFs")
    return request.param


def frame(spark, values, partitions, kind="binary"):
    """A DataFrame of (i, q, payload) over `values`, in that order, split
    into `partitions` slices of consecutive rows."""
    rows = [(i, v, i * 7) for i, v in enumerate(values)]
    return spark.createDataFrame(spark.sparkContext.parallelize(rows, partitions),
                                 f"i long, q {kind}, payload long")


def starts(df):
    """The first row (i) of each partition of a frame made by frame()."""
    from pyspark.sql import functions as F

    found = df.groupBy(F.spark_partition_id().alias("p")).agg(F.min("i").alias("s")).collect()
    return [r.s for r in sorted(found)]


def place(df, row):
    """The place of `row` in its partition: "partition 1, row 17"."""
    first = starts(df)
    p = max(i for i, s in enumerate(first) if s <= row)
    return f"partition {p}, row {row - first[p]}"


def plain(value):
    return bytes(value) if isinstance(value, bytearray) else value


def by_row(df, column):
    """The values of `column` in the order of column i."""
    return [plain(r[column]) for r in sorted(df.select("i", column).collect())]


def failure(action):
    """The lines of the exception with which a Spark action fails."""
    with pytest.raises(Exception) as info:
        action()
    return str(info.value).splitlines()


# ---------------------------------------------------------------------------
# quib_to_sorn


@pytest.mark.parametrize("partitions", [1, 3, 8])
@pytest.mark.parametrize("shuffled", [False, True], ids=["time-sorted", "shuffled"])
def test_quib_to_sorn_is_the_single_machine_result(spark, shuffled, partitions):
    # A group of 8192 (the most one group numbers) among crowded groups of
    # every precision, with duplicates and nulls, over 1 to 8 partitions.
    values = crowded_quibs(partitions, crowd=8192, shuffled=shuffled)
    out = S.quib_to_sorn(frame(spark, values, partitions), "q", into="s")
    assert out.columns == ["i", "q", "payload", "s"]
    rows = sorted(out.collect())
    assert [(r.i, plain(r.q), r.payload) for r in rows] == [
        (i, v, i * 7) for i, v in enumerate(values)]
    assert [r.s for r in rows] == single_machine("quib_to_sorn", values)


def test_quib_to_sorn_replaces_its_column_by_either_path(spark, path):
    values = crowded_quibs(7, n=300)
    out = S.quib_to_sorn(frame(spark, values, 2), "q")
    assert [(f.name, f.dataType.simpleString()) for f in out.schema.fields] == [
        ("i", "bigint"), ("q", "bigint"), ("payload", "bigint")]
    assert by_row(out, "q") == single_machine("quib_to_sorn", values)


@pytest.mark.parametrize("case", FAULTS, ids=list(FAULTS))
def test_a_fault_fails_the_job_with_the_library_message(spark, case):
    values, row, message = FAULTS[case]
    df = frame(spark, values, 3)
    if row is not None:
        message = f"{place(df, row)}: {message}"
    assert "ValueError: " + message in failure(S.quib_to_sorn(df, "q").collect)


# A name PySpark would read as a path; the names of the helper columns
# (Spark matches names whatever their case).
ODD = "id.q`x y"


def test_the_callers_columns_are_kept_whatever_their_names(spark, path):
    from pyspark.sql import functions as F

    values = crowded_quibs(11, n=300)
    df = (frame(spark, values, 3).toDF("i", ODD, "__sornquibid_row")
          .withColumn("__SORNQUIBID_GROUP", F.col("i") * 3).withColumn("P", F.lit(1)))
    kept = [(i, v, i * 7, i * 3) for i, v in enumerate(values)]
    names = ["i", ODD, "__sornquibid_row", "__SORNQUIBID_GROUP"]
    # into names the column P as withColumn finds it, by either path.
    for out, expected in [(S.quib_to_sorn(df, ODD, into="p"), single_machine("quib_to_sorn", values)),
                          (S.format(df, ODD, QuibId, into="p"), single_machine("format", values, QuibId))]:
        assert out.columns == names + ["p"]
        rows = sorted(out.collect())
        assert [tuple(plain(v) for v in r[:4]) for r in rows] == kept
        assert [r.p for r in rows] == expected
    out = S.fields(df, ODD, QuibId, prefix="f.")
    fields = ["timestamp", "precision", "node_id", "sequence"]
    assert out.columns == names + ["P"] + [f"f.{n}" for n in fields]
    rows = sorted(out.collect())
    assert [tuple(plain(v) for v in r[:4]) for r in rows] == kept
    assert [dict(zip(fields, r[5:])) for r in rows] == single_machine("fields", values, QuibId)


# ---------------------------------------------------------------------------
# sornid_conflicts


def test_sornid_conflicts_are_those_of_the_gathered_column(spark):
    values = crowded_quibs(3, crowd=8193) + [quib(T0, 600), quib(2**64, 1, "us"), quib(T0, 700)]
    values += [quib(T0, 600, seq=1)] * 3 + [quib(2**45, 2, "us")]
    values = values[::-1]
    df = frame(spark, values, 3)
    got = S.sornid_conflicts(df, "q")
    # Spark's row keys (monotonically_increasing_id) as row numbers.
    first = starts(df)
    got["rows"] = [tuple(first[r >> 33] + (r & (2**33 - 1)) for r in rows) for rows in got["rows"]]
    expected = columns.sornid_conflicts(pa.array(values, pa.binary()))
    assert list(got.columns) == ["kind", "timestamp_ms", "node_id", "count", "max", "row_count",
                                 "rows"]
    kinds = ["NodeIdOverflow", "TimestampOverflow", "SequenceOverflow"]
    expected.sort(key=lambda c: (kinds.index(c.kind), c.rows[0]))
    assert [tuple(None if v is pd.NA else v for v in row)
            for row in got.itertuples(index=False)] == [
        (c.kind, c.timestamp_ms, c.node_id, c.count, c.max, c.row_count, c.rows) for c in expected]
    assert [c.kind for c in expected] == kinds[:1] * 2 + kinds[1:2] * 2 + kinds[2:]


def test_sornid_conflicts_of_a_convertible_column_are_empty(spark):
    got = S.sornid_conflicts(frame(spark, crowded_quibs(4, crowd=8192), 2), "q")
    assert got.empty and list(got.columns)[:2] == ["kind", "timestamp_ms"]


# ---------------------------------------------------------------------------
# Row by row


def sorns(n=2500):
    return [None if i % 97 == 0 else ((T0 + i % 50) << 22) | (i % 512) << 13 | i % 8192
            for i in range(n)]


def quibs(n=2500):
    return [None if v is None else quib(T0 + v % 50, v % 511, "ns", v % 1000, v % 9)
            for v in (None if s is None else s for s in sorns(n))]


def texts(n=2500):
    return [None if q is None else str(QuibId.from_bytes(q)) for q in quibs(n)]


ROW_CASES = {
    "sorn_to_quib, the driver's precision": ("bigint", sorns, "sorn_to_quib", {},
                                             (driver_precision,)),
    "sorn_to_quib, ps": ("bigint", sorns, "sorn_to_quib", {"precision": "ps"}, ("ps",)),
    "to_desc SornId": ("bigint", sorns, "to_desc", {"family": SornId}, (SornId,)),
    "to_desc QuibId": ("binary", quibs, "to_desc", {"family": QuibId}, (QuibId,)),
    "to_asc SornIdDesc": ("bigint", sorns, "to_asc", {"family": SornIdDesc}, (SornIdDesc,)),
    "parse QuibId": ("string", texts, "parse", {"family": QuibId}, (QuibId,)),
    "format QuibIdDesc": ("binary", quibs, "format", {"family": QuibIdDesc}, (QuibIdDesc,)),
    "validate SornId text": ("string", texts, "validate", {"family": SornId}, (SornId,)),
    "fields QuibId": ("binary", quibs, "fields", {"family": QuibId}, (QuibId,)),
    "fields SornIdDesc": ("bigint", sorns, "fields", {"family": SornIdDesc}, (SornIdDesc,)),
}


@pytest.mark.parametrize("case", ROW_CASES, ids=list(ROW_CASES))
def test_row_by_row_functions_are_the_single_machine_results(spark, path, case):
    kind, make, function, args, local_args = ROW_CASES[case]
    values = make()
    # The driver's precision, read only when the test runs.
    local_args = [a() if a is driver_precision else a for a in local_args]
    df = frame(spark, values, 3, kind)
    expected = single_machine(function, values, *local_args)
    out = getattr(S, function)(df, "q", **args)
    if function == "fields":
        names = list(expected[0])
        assert out.columns == ["i", "q", "payload"] + [f"q_{n}" for n in names]
        got = [dict(zip(names, r[3:])) for r in sorted(out.collect())]
        assert got == expected
        return
    assert out.columns == ["i", "q", "payload"]
    assert by_row(out, "q") == expected
    if function == "sorn_to_quib" and not args:
        # The workers' own precision differs, and played no part.
        getenv = functools.partial(os.getenv, "QUIBID_PRECISION")
        assert spark.sparkContext.parallelize([None], 1).map(getenv).collect() == [
            worker_precision()]


def test_bad_values_are_named_by_partition_and_row_or_become_nulls(spark, path):
    values = texts(4000)
    values[3500] = "not a quibid"  # in a later batch of its partition
    df = frame(spark, values, 2, "string")
    assert 3500 - starts(df)[-1] > SPARK_BATCH_ROWS
    assert (f"ValueError: {place(df, 3500)}: invalid QuibId string: not a quibid"
            in failure(S.parse(df, "q", QuibId, into="v").collect))
    assert by_row(S.parse(df, "q", QuibId, into="v", errors="null"), "v") == single_machine(
        "parse", values, QuibId, "null")


def test_driver_refusals(spark):
    df = frame(spark, quibs(10), 1)
    refusals = [
        (lambda: S.quib_to_sorn(df, "nope"), KeyError,
         "quib_to_sorn(): the DataFrame has no column 'nope'"),
        (lambda: S.quib_to_sorn(df, "i"), TypeError,
         "quib_to_sorn() column 'i' must be a column of 16-byte values (numpy V16, S16 or "
         "(n, 16) uint8; Arrow fixed_size_binary(16), uuid, or binary of 16-byte values), "
         "not bigint"),
        (lambda: S.sornid_conflicts(df, "payload"), TypeError,
         "sornid_conflicts() column 'payload' must be a column of 16-byte values (numpy V16, "
         "S16 or (n, 16) uint8; Arrow fixed_size_binary(16), uuid, or binary of 16-byte "
         "values), not bigint"),
        (lambda: S.sorn_to_quib(df, "i", precision="xx"), ValueError,
         'unknown precision "xx"; expected one of: microseconds/us, nanoseconds/ns, '
         "picoseconds/ps, femtoseconds/fs"),
        (lambda: S.to_desc(df, "q", SornIdDesc), TypeError,
         "to_desc() argument 'family' must be SornId or QuibId, not <class 'SornIdDesc'>"),
        (lambda: S.format(df, "q", int), TypeError,
         "format() argument 'family' must be SornId, SornIdDesc, QuibId or QuibIdDesc, "
         "not <class 'int'>"),
        (lambda: S.parse(df, "q", QuibId, errors="skip"), ValueError,
         "parse() argument 'errors' must be 'raise' or 'null', not 'skip'"),
    ]
    for call, kind, message in refusals:
        with pytest.raises(kind) as info:
            call()
        assert info.value.args[0] == message
