"""Identifier columns of Dask DataFrames (dask.dataframe, distributed
scheduler).

The functions of sornquibid.columns on a column of a DataFrame, run on the
workers partition by partition: each takes a DataFrame and a column name
and returns a new DataFrame with the other columns (and the index)
unchanged. Column dtypes: int64 (SornId, SornIdDesc), pyarrow binary or
fixed_size_binary(16) (pandas ArrowDtype; QuibId, QuibIdDesc) and string
dtypes (text). Nulls stay nulls (in Arrow-backed columns). quib_to_sorn and
sornid_conflicts also take an object column of bytes, as read_parquet gives
a binary column, its Nones as nulls.

- sorn_to_quib, to_desc, to_asc, parse, format, fields and validate work
  partition by partition, without a shuffle.
- quib_to_sorn brings the rows of each (millisecond, node id) group
  together (a shuffle on the group's key, computed by the core), numbers
  each group there, and gives exactly the SornIds that
  sornquibid.columns.quib_to_sorn gives over the whole column computed in
  one piece.
- sornid_conflicts counts on the cluster and gives a small pandas
  DataFrame of the conflicts.

Importing this module does not import dask; the functions do.
"""

from __future__ import annotations

import importlib
from typing import Any

from . import _engine_work as W
from . import columns
from ._engine_work import CONFLICT_KEYS, GROUP, PARTITION_SHIFT, ROW, Op
from ._engines import dry_run, field_names, into_name, op, unused

__all__ = ["sorn_to_quib", "quib_to_sorn", "sornid_conflicts", "to_desc", "to_asc", "parse",
           "format", "fields", "validate"]


def _column(df: Any, column: str, fname: str) -> None:
    if not isinstance(column, str):
        raise TypeError(f"{fname}() argument 'column' must be a column name (str), not {column!r}")
    if column not in df.columns:
        raise KeyError(f"{fname}(): the DataFrame has no column {column!r}")


def _apply(df: Any, column: str, fname: str, how: Op, into: str | None,
           prefix: str | None = None) -> Any:
    _column(df, column, fname)
    names: Any = into_name(column, into)
    if how.name == "fields":
        table = dry_run(how, fname, column, df._meta[column])
        names = field_names(table.columns, column + "_" if prefix is None else prefix)
    else:
        dry_run(how, fname, column, df._meta[column])
    meta = W.dask_apply(df._meta, how, column, names)
    return df.map_partitions(W.dask_apply, how, column, names, meta=meta)


# ---------------------------------------------------------------------------


def sorn_to_quib(df: Any, column: str, into: str | None = None, precision: str | None = None,
                 errors: columns.Errors = "raise") -> Any:
    """The QuibId (16 bytes, pyarrow fixed_size_binary(16)) of each SornId
    of `column` (int64), as sornquibid.columns.sorn_to_quib gives it, in
    column `into` (None: replacing `column`). The precision is resolved
    here, on the client (the argument, else this process's
    QUIBID_PRECISION) and sent to the workers, whose environment plays no
    part."""
    return _apply(df, column, "sorn_to_quib", op("sorn_to_quib", precision=precision,
                                                 errors=errors), into)


def quib_to_sorn(df: Any, column: str, into: str | None = None) -> Any:
    """The SornId (int64) of each QuibId of `column` (16 bytes), in column
    `into` (None: replacing `column`): for each row the SornId that
    sornquibid.columns.quib_to_sorn gives it over the whole column computed
    in one piece (equal QuibIds of a group numbered in the order of the
    partitions and of the rows in each).

    The rows are shuffled by their (millisecond, node id) group (as many
    partitions as `df` has) and each group is numbered where its rows meet,
    so the result is partitioned by group, its divisions unknown; each row
    keeps its index. A node id or millisecond value that does not fit a
    SornId fails the computation with the library's message after its
    place ("partition 3, row 17: node_id 600 exceeds SornId max (511)"), a
    group of more than 8192 identifiers with the library's message."""
    _column(df, column, "quib_to_sorn")
    into = into_name(column, into)
    dry_run(Op("sorn_group"), "quib_to_sorn", column, W.quibs(df._meta[column]))
    # The helper columns under names of no column of the caller's.
    row, group = unused(df.columns, ROW), unused(df.columns, GROUP)
    keyed_meta = W.dask_keys(df._meta, column, row, group)
    keyed = df.map_partitions(W.dask_keys, column, row, group, meta=keyed_meta)
    # Dask's P2P shuffle cannot move a fixed_size_binary column (the
    # identifiers' own is moved as binary); the task-based shuffle can.
    method = "tasks" if any(W.fixed_size(t) for t in keyed_meta.dtypes) else None
    shuffled = keyed.shuffle(on=group, npartitions=df.npartitions, shuffle_method=method)
    dtype = df._meta[column].dtype
    meta = W.dask_renumber(keyed_meta, column, into, dtype, row, group)
    return shuffled.map_partitions(W.dask_renumber, column, into, dtype, row, group, meta=meta)


def sornid_conflicts(df: Any, column: str) -> Any:
    """The conflicts of converting the QuibIds of `column` to SornIds, as a
    pandas DataFrame with one row per conflict: kind, timestamp_ms,
    node_id, count, max (as the records of sornquibid.sornid_conflicts),
    row_count (rows in the conflict) and rows (the numbers of its first
    sornquibid.columns.CONFLICT_ROWS rows, counted from 0 over the whole
    DataFrame in the order of its partitions), as
    sornquibid.columns.sornid_conflicts gives them over the whole column.
    The node-id conflicts come first, then the timestamp and the sequence
    conflicts, each kind in the order of its first row. Empty exactly when
    quib_to_sorn succeeds.

    Computed on the cluster without gathering the column: the DataFrame is
    computed once, and a second time to find the rows of the conflicts when
    there are any."""
    dask = importlib.import_module("dask")
    pd = importlib.import_module("pandas")
    _column(df, column, "sornid_conflicts")
    dry_run(Op("sorn_group"), "sornid_conflicts", column, W.quibs(df._meta[column]))
    part = df[[column]]
    classified = part.map_partitions(W.dask_classify, column,
                                     meta=W.dask_classify(part._meta, column))
    counts = classified.groupby(CONFLICT_KEYS)[ROW].count(split_out=True)
    found = counts.map_partitions(W.dask_conflicts, W.GROUP_LIMIT,
                                  meta=pd.DataFrame({"kind": pd.Series(dtype="int8"),
                                                     "key": pd.Series(dtype="int64"),
                                                     "high": pd.Series(dtype="int64"),
                                                     "n": pd.Series(dtype="int64")}))
    found, lengths = dask.compute(found, part.map_partitions(len))
    if found.empty:
        return W.conflict_frame([])
    wanted = list(zip(*(found[k].tolist() for k in CONFLICT_KEYS)))
    firsts = classified.map_partitions(W.first_rows, wanted, columns.CONFLICT_ROWS,
                                       meta=classified._meta).compute()
    offsets = [0, *pd.Series(list(lengths)).cumsum().tolist()]
    rows: dict[tuple[int, ...], list[int]] = {}
    for *key, row in zip(*(firsts[k].tolist() for k in CONFLICT_KEYS), firsts[ROW].tolist()):
        place = offsets[row >> PARTITION_SHIFT] + (row & ((1 << PARTITION_SHIFT) - 1))
        rows.setdefault(tuple(key), []).append(place)
    keys = zip(*(found[k].tolist() for k in CONFLICT_KEYS))
    return W.conflict_frame((*key, n, sorted(rows[key])[:columns.CONFLICT_ROWS])
                            for key, n in zip(keys, found["n"].tolist()))


def to_desc(df: Any, column: str, family: Any, into: str | None = None,
            errors: columns.Errors = "raise") -> Any:
    """The descending form of each SornId (int64) or QuibId (16 bytes)."""
    return _apply(df, column, "to_desc", op("to_desc", family, errors=errors), into)


def to_asc(df: Any, column: str, family: Any, into: str | None = None,
           errors: columns.Errors = "raise") -> Any:
    """The ascending form of each SornIdDesc (int64) or QuibIdDesc (16
    bytes)."""
    return _apply(df, column, "to_asc", op("to_asc", family, errors=errors), into)


def parse(df: Any, column: str, family: Any, into: str | None = None,
          errors: columns.Errors = "raise") -> Any:
    """Text to values of `family`: int64 for the 64-bit classes, 16 bytes
    for the 128-bit ones."""
    return _apply(df, column, "parse", op("parse", family, errors=errors), into)


def format(df: Any, column: str, family: Any, into: str | None = None,
           errors: columns.Errors = "raise") -> Any:
    """Values of `family` to their text forms."""
    return _apply(df, column, "format", op("format", family, errors=errors), into)


def fields(df: Any, column: str, family: Any, prefix: str | None = None,
           errors: columns.Errors = "raise") -> Any:
    """The fields of each value of `family` in new columns named after
    `prefix` (None: the column's name and "_"): timestamp (int64
    milliseconds; decimal128(27, 0) in the unit of precision for the
    128-bit classes), precision (string, 128-bit classes only), node_id and
    sequence (int32)."""
    return _apply(df, column, "fields", op("fields", family, errors=errors), None, prefix)


def validate(df: Any, column: str, family: Any, into: str | None = None) -> Any:
    """A boolean column: true where the value (or text) is a valid
    identifier of `family`."""
    return _apply(df, column, "validate", op("validate", family), into)
