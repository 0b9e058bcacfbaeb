"""Identifier columns: numpy arrays, Arrow arrays, pandas and polars Series.

Each function takes one column and returns a new column of the same kind, in
row order, one row out per row in; the work is done by the extension over
whole buffers, without a Python object per identifier.

Kinds of column, and what comes back:

- numpy array: a numpy array;
- pyarrow Array or ChunkedArray: the same, chunked as the input;
- pandas Series: a Series with the same index and name, backed by numpy when
  the input is, else by Arrow (pyarrow dtypes);
- polars Series: a polars Series of the same name;
- any other object with the Arrow PyCapsule interface (__arrow_c_array__ or
  __arrow_c_stream__): a pyarrow Array or ChunkedArray (needs pyarrow, the
  `arrow` extra).

Layouts, by what a column holds:

- SornId, SornIdDesc: 64-bit integers: numpy int64, Arrow int64.
- QuibId, QuibIdDesc: 16 bytes per row, as stored: numpy V16, S16 or an
  (n, 16) uint8 array; Arrow fixed_size_binary(16), the uuid extension type,
  or binary, large_binary or binary_view whose values are all 16 bytes.
  Results are numpy V16 (each item keeps all 16 bytes; numpy's S16 would
  drop trailing zero bytes) or Arrow fixed_size_binary(16).
- Text: numpy str (U) or object arrays of str; Arrow string, large_string or
  string_view. Results are numpy U19 (64-bit family) or U36 (128-bit), or
  Arrow string.

Nulls: Arrow nulls stay nulls and are never checked. numpy holds no nulls.

Errors: a value the classes refuse raises ValueError naming its row, counted
from 0 over the whole column, then the classes' own message:
"row 17: invalid QuibId string: abc". With errors="null" (Arrow columns
only), such rows become nulls instead. A column of the wrong type is a
TypeError naming the layouts expected. Nothing is ever written into the
caller's buffers.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal, TypeVar

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from . import _native
from ._columns import BOOL, BYTES16, DECIMAL, INT32, INT64, TEXT, Kind, kind_of
from ._conflicts import ConversionConflict

__all__ = [
    "sorn_to_quib", "quib_to_sorn", "sornid_conflicts", "sorn_group", "to_desc", "to_asc",
    "parse", "format", "fields", "validate", "ColumnConflict", "CONFLICT_ROWS",
]

Errors = Literal["raise", "null"]
Family = type[SornId] | type[SornIdDesc] | type[QuibId] | type[QuibIdDesc]

CONFLICT_ROWS = 1000
"""How many row numbers a ColumnConflict lists at most."""


@dataclass(frozen=True, slots=True)
class ColumnConflict(ConversionConflict):
    """A conflict of sornid_conflicts(col): the record of
    sornquibid.sornid_conflicts, with the rows of its identifiers, the first
    CONFLICT_ROWS of them in row order, and their number."""

    rows: tuple[int, ...]
    row_count: int


# ---------------------------------------------------------------------------

_precision: str | None = None


def _generation_precision() -> str:
    # The process's generation precision is read once by _sornquibid, and
    # fixed from then on; its conversion is asked for it.
    global _precision
    if _precision is None:
        _precision = SornId.batch_to_quibids([SornId(0)])[0][1].precision
    return _precision


R = TypeVar("R")


def _call(fname: str, fn: Callable[..., R], *args: object) -> R:
    """fn(*args), with the extension's messages naming `fname` instead."""
    try:
        return fn(*args)
    except (TypeError, ValueError) as exc:
        prefix = fn.__name__ + "()"
        message = str(exc)
        if not message.startswith(prefix):
            raise
        raise type(exc)(fname + "()" + message.removeprefix(prefix)) from None


def _nulls(fname: str, kind: Kind, errors: str) -> bool:
    if errors == "raise":
        return False
    if errors != "null":
        raise ValueError(f"{fname}() argument 'errors' must be 'raise' or 'null', not {errors!r}")
    if kind.numpy:
        raise ValueError(f"{fname}(): errors='null' needs an Arrow column; numpy holds no nulls")
    return True


def _chunks(fname: str, fn: Callable[..., list[Any]], col: object, *args: object,
            errors: str = "raise", out: str) -> Any:
    """The column of fn(col, *args, row0, nulls) over the chunks of col."""
    kind = kind_of(col, fname)
    nulls = _nulls(fname, kind, errors)
    return kind.column(_call(fname, fn, kind.native, *args, 0, nulls), out)


def _is_quib(family: object) -> bool:
    return family is QuibId or family is QuibIdDesc


# ---------------------------------------------------------------------------


def sorn_to_quib(col: Any, precision: str | None = None, errors: Errors = "raise") -> Any:
    """Row by row the QuibId that SornId.batch_to_quibids pairs with each
    SornId, at `precision` ("us", "ns", "ps", "fs" or their long names;
    None: the process's generation precision, from QUIBID_PRECISION).
    A negative value is "sornid must be non-negative"."""
    text = _generation_precision() if precision is None else precision
    return _chunks("sorn_to_quib", _native.col_sorn_to_quib, col, text, errors=errors,
                   out=BYTES16)


def quib_to_sorn(col: Any, order: Any = None) -> Any:
    """Row by row the SornId that QuibId.batch_to_sornids pairs with each
    QuibId over the whole column: each (millisecond, node id) group is
    numbered 0, 1, 2, ... in ascending QuibId order, equal QuibIds in row
    order. Fails exactly where batch_to_sornids fails on the same values,
    with its message after the row that decides it (the first row with a
    node-id or timestamp fault, or the first row of the first group of more
    than 8192).

    `order`, an int64 column of the same length, ranks equal QuibIds of one
    group instead of their row numbers: a part of a larger column numbered
    with the global row numbers of its rows gives exactly the numbers of the
    whole column, when it holds every row of the groups it holds.
    """
    kind = kind_of(col, "quib_to_sorn")
    ranks = None if order is None else kind_of(order, "quib_to_sorn", "order").native
    return kind.column(_call("quib_to_sorn", _native.col_quib_to_sorn, kind.native, ranks, 0),
                       INT64)


def sornid_conflicts(col: Any) -> list[ColumnConflict]:
    """The conflicts of QuibId.check_sornid_convertibility over the whole
    column, as the records of sornquibid.sornid_conflicts with their rows;
    empty exactly when quib_to_sorn(col) succeeds."""
    kind = kind_of(col, "sornid_conflicts")
    records = _call("sornid_conflicts", _native.col_sornid_conflicts, kind.native, 0,
                    CONFLICT_ROWS)
    return [ColumnConflict(*r) for r in records]


def sorn_group(col: Any, errors: Errors = "raise") -> Any:
    """For each QuibId, as an int64 column, the SornId of sequence 0 of its
    (millisecond, node id) group: the key on which to bring together the
    rows that quib_to_sorn numbers together. A node id or millisecond value
    that does not fit a SornId fails as batch_to_sornids does ("row 3:
    node_id 600 exceeds SornId max (511)"), or gives a null with
    errors="null"."""
    return _chunks("sorn_group", _native.col_sorn_group, col, errors=errors, out=INT64)


def to_desc(col: Any, family: type[SornId] | type[QuibId], errors: Errors = "raise") -> Any:
    """The descending form of each SornId (int64) or QuibId (16 bytes), as
    dbo.sornid_to_desc / dbo.quibid_to_desc compute it."""
    if family is not SornId and family is not QuibId:
        raise TypeError(f"to_desc() argument 'family' must be SornId or QuibId, not {family!r}")
    return _chunks("to_desc", _native.col_flip, col, family, errors=errors,
                   out=BYTES16 if _is_quib(family) else INT64)


def to_asc(col: Any, family: type[SornIdDesc] | type[QuibIdDesc], errors: Errors = "raise") -> Any:
    """The ascending form of each SornIdDesc (int64) or QuibIdDesc (16 bytes)."""
    if family is not SornIdDesc and family is not QuibIdDesc:
        raise TypeError(
            f"to_asc() argument 'family' must be SornIdDesc or QuibIdDesc, not {family!r}")
    return _chunks("to_asc", _native.col_flip, col, family, errors=errors,
                   out=BYTES16 if _is_quib(family) else INT64)


def parse(col: Any, family: Family, errors: Errors = "raise") -> Any:
    """Text to values of `family`, as its from_str accepts them: int64 for
    the 64-bit classes, 16 bytes for the 128-bit ones."""
    return _chunks("parse", _native.col_parse, col, family, errors=errors,
                   out=BYTES16 if _is_quib(family) else INT64)


def format(col: Any, family: Family, errors: Errors = "raise") -> Any:
    """Values of `family` to their text forms, as str() gives them."""
    kind = kind_of(col, "format")
    nulls = _nulls("format", kind, errors)
    outputs = _call("format", _native.col_format, kind.native, family, kind.text_layout(), 0,
                    nulls)
    return kind.column(outputs, TEXT)


def fields(col: Any, family: Family, errors: Errors = "raise") -> Any:
    """The fields of each value of `family`, as a table: `timestamp`
    (milliseconds for the 64-bit classes; for the 128-bit ones in the unit
    of `precision`, "us", "ns", "ps" or "fs"), `node_id` and `sequence`;
    the descending classes give their decoded fields.

    Arrow: timestamp int64 or decimal128(27, 0) (89 bits fit no integer
    type), precision string, node_id and sequence int32. A table is a dict
    of numpy arrays for numpy (the 128-bit timestamp an object array of
    Python ints), a pyarrow RecordBatch or Table for Arrow, a DataFrame for
    pandas and polars."""
    kind = kind_of(col, "fields")
    nulls = _nulls("fields", kind, errors)
    outputs = _call("fields", _native.col_fields, kind.native, family, kind.numpy, 0, nulls)
    names: tuple[str, ...] = ("timestamp", "node_id", "sequence")
    outs: tuple[str, ...] = (INT64, INT32, INT32)
    if _is_quib(family):
        names, outs = ("timestamp", "precision", "node_id", "sequence"), (DECIMAL, TEXT, INT32, INT32)
    return kind.table(outputs, names, outs)


def validate(col: Any, family: Family) -> Any:
    """A boolean column: true where the value is a valid identifier of
    `family` (a 64-bit one is never negative; a 128-bit one has version 8
    and the RFC 4122 variant, and is 16 bytes long), or, for a text
    column, where the text parses as one."""
    kind = kind_of(col, "validate")
    return kind.column(_call("validate", _native.col_validate, kind.native, family, kind.numpy),
                       BOOL)
