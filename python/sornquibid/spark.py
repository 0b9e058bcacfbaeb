"""Identifier columns of Spark DataFrames (PySpark 3.5 and 4.x).

The functions of sornquibid.columns on a column of a DataFrame, run on the
executors over Arrow batches: each takes a DataFrame and a column name and
returns a new DataFrame with the other columns unchanged. Column types:
LongType (SornId, SornIdDesc), BinaryType of 16-byte values (QuibId,
QuibIdDesc) and StringType (text). Nulls stay nulls.

- sorn_to_quib, to_desc, to_asc, parse, format, fields and validate work
  row by row, without a shuffle: an Arrow UDF (PySpark 4.1 and later, only
  the column travels to Python) or mapInArrow (earlier versions).
- quib_to_sorn brings the rows of each (millisecond, node id) group
  together (a shuffle on the group's key, computed by the core), numbers
  each group there, and gives exactly the SornIds that
  sornquibid.columns.quib_to_sorn gives over the whole column collected in
  the DataFrame's order.
- sornid_conflicts counts on the cluster and gives a small pandas
  DataFrame of the conflicts.

Importing this module does not import pyspark; the functions do.
"""

from __future__ import annotations

import functools
import importlib
import warnings
from typing import Any

from . import _engine_work as W
from . import columns
from ._engine_work import CONFLICT_KEYS, GROUP, GROUPED, ROW, Op
from ._engines import dry_run, field_names, into_name, op, unused

__all__ = ["sorn_to_quib", "quib_to_sorn", "sornid_conflicts", "to_desc", "to_asc", "parse",
           "format", "fields", "validate"]


def _sql() -> tuple[Any, Any]:
    """pyspark.sql.functions and pyspark.sql.types."""
    return (importlib.import_module("pyspark.sql.functions"),
            importlib.import_module("pyspark.sql.types"))


def _arrow_udf() -> Any:
    """pyspark's arrow_udf (PySpark 4.1 and later), or None."""
    return getattr(importlib.import_module("pyspark.sql.functions"), "arrow_udf", None)


def _ref(name: str) -> Any:
    """The column `name` of a DataFrame, a dot or a backtick in it taken as
    part of the name."""
    F, _ = _sql()
    return F.col("`" + name.replace("`", "``") + "`")


def _field(df: Any, column: str, fname: str) -> Any:
    if not isinstance(column, str):
        raise TypeError(f"{fname}() argument 'column' must be a column name (str), not {column!r}")
    for field in df.schema.fields:
        if field.name == column:
            return field
    raise KeyError(f"{fname}(): the DataFrame has no column {column!r}")


def _large(df: Any) -> bool:
    """Whether Spark hands strings and binaries to Python in Arrow's large
    types, and takes them back so."""
    conf = df.sparkSession.conf.get("spark.sql.execution.arrow.useLargeVarTypes", "false")
    return str(conf).lower() == "true"


def _positional(df: Any, outs: list[str]) -> tuple[Any, list[str], list[str]]:
    """For mapInArrow, to which PySpark hands each column by its name (a
    dot or a backtick in a name would be read as a path): `df` with its
    columns named by their places ("_0", "_1", ...), the place names under
    which the columns `outs` are written (those of the columns that bear
    these names, found as withColumn finds them, else new ones), and the
    names of the result's columns, to give back with toDF()."""
    conf = df.sparkSession.conf.get("spark.sql.caseSensitive", "false")
    exact = str(conf).lower() == "true"
    final = list(df.columns)
    places = [f"_{i}" for i in range(len(final))]
    renamed = df.toDF(*places)
    targets = []
    for name in outs:
        same = [i for i, c in enumerate(final) if (c == name if exact else c.lower() == name.lower())]
        if same:
            at = same[0]
            final[at] = name
        else:
            at = len(final)
            final.append(name)
            places.append(f"_{at}")
        targets.append(places[at])
    return renamed, targets, final


def _arrow_type(data_type: Any) -> Any:
    """The Arrow type in which Spark hands a column of `data_type` to
    Python, for the column functions' checks; None for a type no column
    function takes."""
    pa = W.pyarrow()
    _, T = _sql()
    return {T.LongType: pa.int64(), T.BinaryType: pa.binary(),
            T.StringType: pa.string()}.get(type(data_type))


def _spark_type(arrow_type: Any) -> Any:
    """The Spark type of a column function's Arrow result."""
    pa = W.pyarrow()
    _, T = _sql()
    if pa.types.is_struct(arrow_type):
        return T.StructType([T.StructField(f.name, _spark_type(f.type)) for f in arrow_type])
    if pa.types.is_decimal(arrow_type):
        return T.DecimalType(arrow_type.precision, arrow_type.scale)
    return {pa.int64(): T.LongType(), pa.int32(): T.IntegerType(), pa.bool_(): T.BooleanType(),
            pa.string(): T.StringType(), pa.binary(16): T.BinaryType()}[arrow_type]


def _checked(df: Any, column: str, fname: str, how: Op) -> Any:
    """The Spark type of `how` over `column`, checked on the driver: the
    column's type, the family, the precision and `errors`."""
    pa = W.pyarrow()
    field = _field(df, column, fname)
    arrow_type = _arrow_type(field.dataType)
    given = field.dataType.simpleString()
    if arrow_type is None:
        arrow_type = pa.null()  # refused by the column function, with the types it takes
    result = dry_run(how, fname, column, pa.array([], arrow_type), given)
    if isinstance(result, pa.RecordBatch):
        return _spark_type(pa.struct(result.schema))
    return _spark_type(result.type)


def _schema(df: Any, names: list[str], types: list[Any]) -> Any:
    """The schema of `df` with the columns `names` of `types` in place of
    those of the same names, or added last."""
    _, T = _sql()
    fields = list(df.schema.fields)
    for name, data_type in zip(names, types):
        new = T.StructField(name, data_type, True)
        at = [i for i, f in enumerate(fields) if f.name == name]
        if at:
            fields[at[0]] = new
        else:
            fields.append(new)
    return T.StructType(fields)


def _apply(df: Any, column: str, fname: str, how: Op, into: str | None,
           prefix: str | None = None) -> Any:
    """`df` with how(column) in column `into` (fields: in columns named
    after `prefix`), row by row."""
    result_type = _checked(df, column, fname, how)
    large = _large(df)
    names: Any = into_name(column, into)
    if how.name == "fields":
        names = field_names(result_type.names, column + "_" if prefix is None else prefix)
    udf = _arrow_udf()
    if udf is None:
        if isinstance(names, list):
            outs, types = names, [f.dataType for f in result_type.fields]
        else:
            outs, types = [names], [result_type]
        renamed, targets, final = _positional(df, outs)
        source = renamed.columns[df.columns.index(column)]
        schema = _schema(renamed, targets, types)
        written = targets if isinstance(names, list) else targets[0]
        work = functools.partial(W.spark_map, how, source, written, large)
        return renamed.mapInArrow(work, schema).toDF(*final)
    F, _ = _sql()
    functions = importlib.import_module("pyspark.sql.functions")
    with warnings.catch_warnings():
        # PySpark prefers type hints, which a functools.partial has not.
        warnings.filterwarnings("ignore", "It is preferred to specify type hints", UserWarning)
        scalar = udf(functools.partial(W.spark_scalar, how, large), returnType=result_type,
                     functionType=functions.ArrowUDFType.SCALAR_ITER)
    if not isinstance(names, list):
        return df.withColumn(names, scalar(_ref(column)))
    # Each field read from one evaluation of the UDF, held in a column of
    # a name of no column of the caller's.
    held = unused([*df.columns, *names], GROUP)
    out = df.withColumn(held, scalar(_ref(column)))
    out = out.withColumns({n: F.col(held)[f] for n, f in zip(names, result_type.names)})
    return out.drop(held)


# ---------------------------------------------------------------------------


def sorn_to_quib(df: Any, column: str, into: str | None = None, precision: str | None = None,
                 errors: columns.Errors = "raise") -> Any:
    """The QuibId (BinaryType) of each SornId of `column` (LongType), as
    sornquibid.columns.sorn_to_quib gives it, in column `into` (None:
    replacing `column`). The precision is resolved here, on the driver (the
    argument, else this process's QUIBID_PRECISION) and sent to the
    executors, whose environment plays no part."""
    return _apply(df, column, "sorn_to_quib", op("sorn_to_quib", precision=precision,
                                                 errors=errors), into)


def quib_to_sorn(df: Any, column: str, into: str | None = None) -> Any:
    """The SornId (LongType) of each QuibId of `column` (BinaryType), in
    column `into` (None: replacing `column`): for each row the SornId that
    sornquibid.columns.quib_to_sorn gives it over the whole column collected
    in the DataFrame's order (equal QuibIds of a group numbered in that
    order).

    The rows are shuffled by their (millisecond, node id) group and each
    group is numbered where its rows meet, so the result is partitioned by
    group, not in the input's order. The input's order must be the same
    every time Spark computes it (a table or a file read as it is, not the
    output of another shuffle without a sort). A node id or millisecond
    value that does not fit a SornId fails the job with the library's
    message after its place in the input ("partition 3, row 17: node_id 600
    exceeds SornId max (511)"), a group of more than 8192 identifiers with
    the library's message."""
    F, T = _sql()
    into = into_name(column, into)
    _checked(df, column, "quib_to_sorn", Op("sorn_group"))
    # The caller's columns by their places, so that the helper columns
    # ROW and GROUP can be no names of theirs.
    renamed, [target], final = _positional(df, [into])
    source = renamed.columns[df.columns.index(column)]
    keyed = renamed.withColumn(ROW, F.monotonically_increasing_id())
    keyed = _apply(keyed, source, "quib_to_sorn", Op("sorn_group"), GROUP)
    # Rows without a value belong to no group: spread them by their row key.
    keyed = keyed.withColumn(GROUP, F.coalesce(F.col(GROUP), F.col(ROW)))
    shuffled = keyed.repartition(F.col(GROUP)).sortWithinPartitions(GROUP)
    schema = _schema(renamed, [target], [T.LongType()])
    work = functools.partial(W.spark_renumber, source, target)
    return shuffled.mapInArrow(work, schema).toDF(*final)


def sornid_conflicts(df: Any, column: str) -> Any:
    """The conflicts of converting the QuibIds of `column` to SornIds, as a
    pandas DataFrame with one row per conflict: kind, timestamp_ms,
    node_id, count, max (as the records of sornquibid.sornid_conflicts),
    row_count (rows in the conflict) and rows (the row keys of its first
    sornquibid.columns.CONFLICT_ROWS rows in the DataFrame's order: the
    values of monotonically_increasing_id()). The node-id conflicts come
    first, then the timestamp and the sequence conflicts, each kind in the
    order of its first row. Empty exactly when quib_to_sorn succeeds.

    Computed on the cluster without collecting the column: the DataFrame is
    read once, and a second time to find the rows of the conflicts when
    there are any."""
    F, _ = _sql()
    window = importlib.import_module("pyspark.sql.window").Window
    _checked(df, column, "sornid_conflicts", Op("sorn_group"))
    keyed = df.select(_ref(column).alias("q"), F.monotonically_increasing_id().alias(ROW))
    classified = keyed.mapInArrow(functools.partial(W.spark_classify, "q"),
                                  f"{ROW} long, kind byte, key long, high long")
    counts = classified.groupBy(*CONFLICT_KEYS).agg(F.count(F.lit(1)).alias("n"))
    found = counts.where((F.col("kind") != GROUPED) | (F.col("n") > W.GROUP_LIMIT)).collect()
    if not found:
        return W.conflict_frame([])
    wanted = df.sparkSession.createDataFrame([tuple(r[k] for k in CONFLICT_KEYS) for r in found],
                                             "kind byte, key long, high long")
    order = window.partitionBy(*CONFLICT_KEYS).orderBy(ROW)
    firsts = (classified.join(F.broadcast(wanted), CONFLICT_KEYS)
              .withColumn("r", F.row_number().over(order))
              .where(F.col("r") <= columns.CONFLICT_ROWS)
              .groupBy(*CONFLICT_KEYS).agg(F.sort_array(F.collect_list(ROW)).alias("rows"))
              .collect())
    rows = {tuple(r[k] for k in CONFLICT_KEYS): list(r["rows"]) for r in firsts}
    conflicts = []
    for r in found:
        key = tuple(r[k] for k in CONFLICT_KEYS)
        conflicts.append((*key, r["n"], rows[key]))
    return W.conflict_frame(conflicts)


def to_desc(df: Any, column: str, family: Any, into: str | None = None,
            errors: columns.Errors = "raise") -> Any:
    """The descending form of each SornId (LongType) or QuibId (BinaryType)."""
    return _apply(df, column, "to_desc", op("to_desc", family, errors=errors), into)


def to_asc(df: Any, column: str, family: Any, into: str | None = None,
           errors: columns.Errors = "raise") -> Any:
    """The ascending form of each SornIdDesc (LongType) or QuibIdDesc
    (BinaryType)."""
    return _apply(df, column, "to_asc", op("to_asc", family, errors=errors), into)


def parse(df: Any, column: str, family: Any, into: str | None = None,
          errors: columns.Errors = "raise") -> Any:
    """Text (StringType) to values of `family`: LongType for the 64-bit
    classes, BinaryType for the 128-bit ones."""
    return _apply(df, column, "parse", op("parse", family, errors=errors), into)


def format(df: Any, column: str, family: Any, into: str | None = None,
           errors: columns.Errors = "raise") -> Any:
    """Values of `family` to their text forms (StringType)."""
    return _apply(df, column, "format", op("format", family, errors=errors), into)


def fields(df: Any, column: str, family: Any, prefix: str | None = None,
           errors: columns.Errors = "raise") -> Any:
    """The fields of each value of `family` in new columns named after
    `prefix` (None: the column's name and "_"): timestamp (LongType
    milliseconds; DecimalType(27, 0) in the unit of precision for the
    128-bit classes), precision (StringType, 128-bit classes only),
    node_id and sequence (IntegerType)."""
    return _apply(df, column, "fields", op("fields", family, errors=errors), None, prefix)


def validate(df: Any, column: str, family: Any, into: str | None = None) -> Any:
    """A BooleanType column: true where the value (or text) is a valid
    identifier of `family`."""
    return _apply(df, column, "validate", op("validate", family), into)
