"""What sornquibid.spark and sornquibid.dask run on their workers.

Everything here travels to the workers by reference: module-level
functions, functools.partial objects of them and instances of Op, whose
arguments are plain values (a family by its class name, never the class:
the extension's classes report the module "builtins", so pickle cannot find
them by name). The work itself is done by sornquibid.columns over whole
Arrow batches or pandas partitions.

Messages. A value the columns refuse is reported by sornquibid.columns as
"row 17: ..." counted within the batch it was given; on a cluster that row
number is given with the partition it lies in and counted from that
partition's first row ("partition 3, row 10017: ..."). After the shuffle of
quib_to_sorn a row number means nothing to the caller, and the only fault
left there, a crowded group, names its group: the message is the library's
own text alone.
"""

from __future__ import annotations

import importlib
import re
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import _sornquibid
from _sornquibid import SornId

from . import columns

# The helper columns of quib_to_sorn and sornid_conflicts: each row's key in
# the DataFrame's order and its group's key.
ROW = "__sornquibid_row"
GROUP = "__sornquibid_group"

# sornid_conflicts: the class of each row, in the order in which the
# conflicts of the check are listed, and the names of the kinds.
NODE_FAULT, TIMESTAMP_FAULT, GROUPED = 0, 1, 2
KIND_NAMES = ("NodeIdOverflow", "TimestampOverflow", "SequenceOverflow")

# How many rows one group can number (sequences 0 to 8191), as the core
# decodes the largest SornId.
GROUP_LIMIT = SornId(2**63 - 1).sequence + 1

# What the rows of one conflict share: their kind and key, and for a
# millisecond value of 64 bits or more (microsecond and nanosecond
# timestamps far beyond any real date), its bits above the 64 of the key.
CONFLICT_KEYS = ["kind", "key", "high"]

# Dask's row keys: the partition number above the row's position in it.
PARTITION_SHIFT = 40

_ROW_PREFIX = re.compile(r"row (\d+): ")


def pyarrow() -> Any:
    return importlib.import_module("pyarrow")


def family(name: str | None) -> Any:
    """The class of the family named `name`."""
    return None if name is None else getattr(_sornquibid, name)


def located(exc: ValueError, partition: int, offset: int) -> ValueError:
    """`exc` of sornquibid.columns with its row counted from the first row
    of `partition`, `offset` being the place of the batch's first row."""
    message = str(exc)
    found = _ROW_PREFIX.match(message)
    if found is None:
        return exc
    row = offset + int(found[1])
    return ValueError(f"partition {partition}, row {row}: {message[found.end():]}")


def unlocated(exc: ValueError) -> ValueError:
    """`exc` of sornquibid.columns without its row number."""
    message = str(exc)
    found = _ROW_PREFIX.match(message)
    return exc if found is None else ValueError(message[found.end():])


@dataclass(frozen=True)
class Op:
    """One element-wise function of sornquibid.columns and its arguments."""

    name: str
    family: str | None = None
    precision: str | None = None
    errors: str = "raise"

    def __call__(self, col: Any) -> Any:
        fn = getattr(columns, self.name)
        if self.name == "sorn_to_quib":
            return fn(col, self.precision, self.errors)
        if self.name == "sorn_group":
            return fn(col, self.errors)
        if self.name == "validate":
            return fn(col, family(self.family))
        return fn(col, family(self.family), self.errors)

    def at(self, col: Any, partition: int, offset: int) -> Any:
        """self(col), a refused value reported by its place in `partition`."""
        try:
            return self(col)
        except ValueError as exc:
            raise located(exc, partition, offset) from None


# ---------------------------------------------------------------------------
# Arrow results as Spark takes them


def spark_arrow(result: Any, large: bool) -> Any:
    """An Arrow result of sornquibid.columns in the Arrow types Spark reads:
    16-byte values as binary (Spark has no fixed-size binary), text and
    binary as their large forms where Spark sends those; a table as a
    struct array."""
    pa = pyarrow()
    if isinstance(result, pa.ChunkedArray):
        result = result.combine_chunks() if result.num_chunks != 1 else result.chunk(0)
    if isinstance(result, pa.RecordBatch):
        fields = [spark_arrow(c, large) for c in result.columns]
        return pa.StructArray.from_arrays(fields, names=result.schema.names)
    kind = result.type
    if pa.types.is_fixed_size_binary(kind) or pa.types.is_binary(kind):
        return result.cast(pa.large_binary() if large else pa.binary())
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return result.cast(pa.large_string() if large else pa.string())
    return result


def _spark_partition() -> int:
    pyspark = importlib.import_module("pyspark")
    context = pyspark.TaskContext.get()
    return 0 if context is None else int(context.partitionId())


def spark_scalar(op: Op, large: bool, arrays: Iterable[Any]) -> Iterator[Any]:
    """The iterator function of an Arrow UDF: op over each batch of one
    partition's column."""
    partition, offset = _spark_partition(), 0
    for array in arrays:
        yield spark_arrow(op.at(array, partition, offset), large)
        offset += len(array)


def _with_column(batch: Any, name: str, values: Any) -> Any:
    """`batch` with column `name` replaced by `values`, or added last."""
    names = batch.schema.names
    if name in names:
        return batch.set_column(names.index(name), name, values)
    return batch.append_column(name, values)


def spark_map(op: Op, column: str, into: str | list[str], large: bool,
              batches: Iterable[Any]) -> Iterator[Any]:
    """The function of mapInArrow (engines without Arrow UDFs): each batch
    with op over `column` in column `into` (for fields, in the columns
    named by the list `into`)."""
    pa = pyarrow()
    partition, offset = _spark_partition(), 0
    for batch in batches:
        result = spark_arrow(op.at(batch.column(column), partition, offset), large)
        offset += batch.num_rows
        if isinstance(into, list):
            table = pa.Table.from_batches([batch])
            for name, values in zip(into, result.flatten()):
                table = _with_column(table, name, values)
            yield from table.to_batches()
        else:
            yield _with_column(batch, into, result)


def _renumbered(batches: list[Any], column: str, into: str) -> Iterator[Any]:
    """The rows of `batches`, which hold every row of their groups, with
    their SornIds in `into` and without the helper columns."""
    pa = pyarrow()
    table = pa.Table.from_batches(batches)
    try:
        sorns = columns.quib_to_sorn(table.column(column), order=table.column(ROW))
    except ValueError as exc:
        raise unlocated(exc) from None
    table = _with_column(table.drop_columns([ROW, GROUP]), into, sorns)
    yield from table.to_batches()


def spark_renumber(column: str, into: str, batches: Iterable[Any]) -> Iterator[Any]:
    """The function of mapInArrow over one partition of rows sorted by
    their group: the groups are numbered as they are completed, so that
    only the last group met is held back from one batch to the next."""
    pc = importlib.import_module("pyarrow.compute")
    pending: list[Any] = []
    for batch in batches:
        if batch.num_rows == 0:
            continue
        keys = batch.column(GROUP)
        # The first row of the batch's last group: the rows before it
        # complete every group they belong to.
        cut = pc.index(keys, keys[batch.num_rows - 1]).as_py()
        if cut > 0:
            yield from _renumbered(pending + [batch.slice(0, cut)], column, into)
            pending = [batch.slice(cut)]
        else:
            pending.append(batch)
    if pending:
        yield from _renumbered(pending, column, into)


# ---------------------------------------------------------------------------
# Classifying rows for sornid_conflicts


def classify(col: Any) -> tuple[Any, Any, Any, Any]:
    """(positions, kinds, keys, highs) of the non-null rows of the Arrow
    column `col`, as numpy arrays: GROUPED rows with the key of their group
    (the SornId of its sequence 0), NODE_FAULT rows with their node id and
    TIMESTAMP_FAULT rows with their millisecond value's low 64 bits (read as
    a signed int64) and the bits above them; highs are 0 elsewhere.

    The check of the core decides each faulty row: they are given to
    sornquibid.columns.sornid_conflicts a few at a time, no more than the
    rows one conflict lists, so that every row of each conflict is listed."""
    pa = pyarrow()
    np = importlib.import_module("numpy")
    groups = columns.sorn_group(col, errors="null")
    present = np.asarray(col.is_valid())
    grouped = np.asarray(groups.is_valid())
    keys = np.asarray(groups.fill_null(0), dtype=np.int64).copy()
    kinds = np.full(len(keys), GROUPED, dtype=np.int8)
    highs = np.zeros(len(keys), dtype=np.int64)
    faulty = np.flatnonzero(present & ~grouped)
    codes = {name: code for code, name in enumerate(KIND_NAMES)}
    step = columns.CONFLICT_ROWS
    for start in range(0, len(faulty), step):
        rows = faulty[start:start + step]
        for conflict in columns.sornid_conflicts(col.take(pa.array(rows))):
            at = rows[list(conflict.rows)]
            kinds[at] = codes[conflict.kind]
            key = conflict.node_id if conflict.kind == "NodeIdOverflow" else conflict.timestamp_ms
            assert key is not None
            low = key & ((1 << 64) - 1)
            keys[at] = low - (1 << 64) if low >= 1 << 63 else low
            highs[at] = key >> 64
    positions = np.flatnonzero(present)
    return positions, kinds[positions], keys[positions], highs[positions]


def spark_classify(column: str, batches: Iterable[Any]) -> Iterator[Any]:
    """The function of mapInArrow over batches of (`column`, ROW): one row
    (ROW, kind, key, high) for each row with a value."""
    pa = pyarrow()
    for batch in batches:
        positions, kinds, keys, highs = classify(batch.column(column))
        rows = batch.column(ROW).take(pa.array(positions))
        yield pa.RecordBatch.from_arrays([rows, pa.array(kinds), pa.array(keys), pa.array(highs)],
                                         names=[ROW, *CONFLICT_KEYS])


def conflict_key(kind: int, key: int, high: int) -> dict[str, Any]:
    """The fields of a conflict of `kind` with the key its rows share."""
    if kind == NODE_FAULT:
        return {"timestamp_ms": None, "node_id": key, "count": None, "max": None}
    if kind == TIMESTAMP_FAULT:
        return {"timestamp_ms": high << 64 | key % (1 << 64), "node_id": None, "count": None, "max": None}
    first = SornId(key)
    return {"timestamp_ms": first.timestamp_ms, "node_id": first.node_id}


def conflict_frame(found: Iterable[tuple[int, int, int, int, list[int]]]) -> Any:
    """The pandas DataFrame of sornid_conflicts from (kind, key, high, row
    count, first rows) of each conflict; SequenceOverflow's count is its row count
    and its max the group's limit."""
    pd = importlib.import_module("pandas")
    records = []
    for kind, key, high, row_count, rows in sorted(found, key=lambda c: (c[0], c[4][:1])):
        record = {"kind": KIND_NAMES[kind], **conflict_key(kind, key, high)}
        if kind == GROUPED:
            record.update(count=row_count, max=GROUP_LIMIT)
        records.append({**record, "row_count": row_count, "rows": tuple(rows)})
    frame = pd.DataFrame.from_records(
        records, columns=["kind", "timestamp_ms", "node_id", "count", "max", "row_count", "rows"])
    # Millisecond values of 64 bits or more are Python ints.
    wide = any(r["timestamp_ms"] is not None and r["timestamp_ms"] >> 64 for r in records)
    return frame.astype({"kind": "str", "timestamp_ms": "object" if wide else "UInt64", "node_id": "Int64",
                         "count": "Int64", "max": "Int64", "row_count": "int64"})


# ---------------------------------------------------------------------------
# Dask partitions (pandas DataFrames)


def _number(partition_info: dict[str, Any] | None) -> int:
    return 0 if partition_info is None else int(partition_info["number"])


def dask_apply(part: Any, op: Op, column: str, into: str | list[str],
               partition_info: dict[str, Any] | None = None) -> Any:
    """`part` with op over `column` in column `into` (for fields, in the
    columns named by the list `into`)."""
    result = op.at(part[column], _number(partition_info), 0)
    part = part.copy(deep=False)
    if isinstance(into, list):
        for name, source in zip(into, result.columns):
            part[name] = result[source]
    else:
        part[into] = result
    return part


def quibs(col: Any) -> Any:
    """The pandas Series `col` of QuibIds; an object one of bytes and
    Nones (Dask reads Parquet's binary columns so) as Arrow binary, its
    Nones nulls, as in the other dtypes; any other as it is."""
    if col.dtype != object:
        return col
    pa, pd = pyarrow(), importlib.import_module("pandas")
    try:
        values = pa.array(col, from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError):
        return col
    if pa.types.is_null(values.type):
        values = values.cast(pa.binary())
    if not pa.types.is_binary(values.type):
        return col
    return pd.Series(pd.arrays.ArrowExtensionArray(values), index=col.index, name=col.name)


def fixed_size(dtype: Any) -> bool:
    """Whether a pandas dtype is Arrow's fixed_size_binary, which Dask's
    P2P shuffle cannot move (pandas cannot read the dtype's name back)."""
    arrow = getattr(dtype, "pyarrow_dtype", None)
    return arrow is not None and pyarrow().types.is_fixed_size_binary(arrow)


def dask_keys(part: Any, column: str, row: str = ROW, group: str = GROUP,
              partition_info: dict[str, Any] | None = None) -> Any:
    """`part` with each row's key in the DataFrame's order (column `row`)
    and its group's key (column `group`; rows without a value take their
    row key, so that they spread over the partitions); a
    fixed_size_binary(16) column as binary, for the shuffle."""
    np = importlib.import_module("numpy")
    number = _number(partition_info)
    rows = (np.int64(number) << np.int64(PARTITION_SHIFT)) + np.arange(len(part), dtype=np.int64)
    groups = Op("sorn_group").at(quibs(part[column]), number, 0)
    keys = groups.to_numpy(dtype=np.int64, na_value=0).copy()
    missing = groups.isna().to_numpy()
    keys[missing] = rows[missing]
    part = part.assign(**{row: rows, group: keys})
    if fixed_size(part[column].dtype):
        pd = importlib.import_module("pandas")
        part[column] = part[column].astype(pd.ArrowDtype(pyarrow().binary()))
    return part


def dask_renumber(part: Any, column: str, into: str, dtype: Any, row: str = ROW,
                  group: str = GROUP) -> Any:
    """A partition of whole groups with their SornIds in `into`, without
    the helper columns `row` and `group`, `column` (if kept) of its own
    `dtype` again."""
    try:
        sorns = columns.quib_to_sorn(quibs(part[column]), order=part[row].to_numpy())
    except ValueError as exc:
        raise unlocated(exc) from None
    part = part.drop(columns=[row, group])
    if into != column and part[column].dtype != dtype:
        part[column] = part[column].astype(dtype)
    part[into] = sorns
    return part


def dask_classify(part: Any, column: str, partition_info: dict[str, Any] | None = None) -> Any:
    """One row (ROW, kind, key, high) for each row of `part` with a value."""
    pd, np = importlib.import_module("pandas"), importlib.import_module("numpy")
    positions, kinds, keys, highs = classify(pyarrow().array(quibs(part[column])))
    rows = (np.int64(_number(partition_info)) << np.int64(PARTITION_SHIFT)) + positions
    return pd.DataFrame({ROW: rows.astype(np.int64), "kind": kinds, "key": keys, "high": highs})


def dask_conflicts(counts: Any, limit: int) -> Any:
    """The conflicts among the row counts of (kind, key, high): every
    faulty key, and the groups of more than `limit` rows; a frame of kind,
    key, high and the count n."""
    found = counts.rename("n").reset_index()
    return found[(found["kind"] != GROUPED) | (found["n"] > limit)].astype(
        {"kind": "int8", "key": "int64", "high": "int64", "n": "int64"})


def first_rows(part: Any, wanted: Any, count: int) -> Any:
    """The rows of the classified `part` that are in the conflicts
    `wanted` (tuples of kind, key and high), the first `count` of each."""
    pd = importlib.import_module("pandas")
    found = part.merge(pd.DataFrame(wanted, columns=CONFLICT_KEYS).astype(part.dtypes[CONFLICT_KEYS]),
                       on=CONFLICT_KEYS)
    return found.sort_values(ROW).groupby(CONFLICT_KEYS, sort=False).head(count)

