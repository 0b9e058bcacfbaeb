"""`sornquibid convert`: convert identifiers to the other family.

The input is a list of one identifier per line, a CSV column, or a column
of a Parquet or Arrow IPC file; it is read in chunks, each parsed and
converted by the column kernels without a Python object per identifier.
--to quib converts chunk by chunk. --to sorn numbers identifiers over the
whole column, so it gathers the values of every chunk (16 bytes a row)
before converting them at once, and writes in input order.

The output is the pairs (source, converted) as CSV, as a table or one per
line; or, with --into or --replace, the input table with the converted
column added or in place of the source.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from _sornquibid import QuibId, SornId

from .. import ConversionConflict, _native
from ..columns import CONFLICT_ROWS, ColumnConflict, _generation_precision
from . import tables
from .errors import EXIT_USAGE, PROG, CliError, ErrorContext, stderr_write
from .input import (
    QUIB_TEXTS,
    SORN_TEXTS,
    CsvHeader,
    TextChunk,
    Texts,
    TextSource,
    csv_chunks,
    input_options,
    line_chunks,
    parse_chunk,
    refusal,
    refused_row,
)
from .output import PROGRESS, Output, output_options

FORMATS = ("csv", "lines", "parquet", "arrow")
# The formats of files that pyarrow reads and writes.
TABLES = ("parquet", "arrow")
# The extensions that name a format, of FILE and of -o FILE; any other FILE
# is lines, or CSV with --column (as it always was, .csv too), and any other
# output is CSV unless the input is a Parquet or Arrow file.
_EXTENSIONS = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow", ".ipc": "arrow",
               ".arrows": "arrow"}
_OUTPUT_EXTENSIONS = {**_EXTENSIONS, ".csv": "csv"}


@dataclass(frozen=True)
class Direction:
    """What a conversion reads (`texts`: its family and how its text reads)
    and gives (`target`), and the names of the columns of a pair."""

    texts: Texts
    target: type[SornId] | type[QuibId]
    names: tuple[str, str]

    @property
    def source(self) -> type[SornId] | type[QuibId]:
        return self.texts.family

    @property
    def families(self) -> list[type[SornId] | type[QuibId]]:
        return [self.source, self.target]


TO_QUIB = Direction(SORN_TEXTS, QuibId, ("sornid", "quibid"))
TO_SORN = Direction(QUIB_TEXTS, SornId, ("quibid", "sornid"))


def _arrow_type(pa: Any, family: type) -> Any:
    return pa.int64() if family is SornId else pa.binary(16)


@dataclass(frozen=True)
class Plan:
    """What a run reads and writes, from its command line."""

    direction: Direction
    fmt: str  # the input format
    out_fmt: str  # the output format
    column: str | int | None  # the identifier column of a table
    table: bool  # the whole table out (--into or --replace), not the pairs
    into: str | None  # the name of the converted column, with --into


def _extension(path: str) -> str:
    return "" if path == "-" else os.path.splitext(path)[1].lower()


def _stream(out: Output) -> bool:
    # The IPC stream format for -o FILE.arrows, the name it goes by.
    return _extension(out.path) == ".arrows"


def _usage(message: str) -> CliError:
    return CliError(message, EXIT_USAGE)


def _plan(args: argparse.Namespace, out: Output) -> Plan:
    fmt = args.format or _EXTENSIONS.get(_extension(args.file))
    if fmt is None:
        fmt = "csv" if args.column is not None else "lines"
    column = args.column
    if fmt == "lines" and column is not None:
        raise _usage("--column reads CSV, Parquet or Arrow; --format lines has no columns")
    if fmt == "csv" and column is None:
        column = 1
    if fmt in TABLES and args.header:
        raise _usage(f"--header is for lines and CSV; a {tables.NAMES[fmt]} file names its columns")
    table = args.into is not None or args.replace
    out_fmt = args.output_format or _OUTPUT_EXTENSIONS.get(_extension(args.output)) or (
        fmt if fmt in TABLES else "csv"
    )
    if table and fmt == "lines":
        raise _usage("--into and --replace write a table: give CSV (--column), Parquet or Arrow input")
    if table and out_fmt == "lines":
        raise _usage("--output-format lines writes the converted identifiers alone, "
                     "without --into or --replace")
    if args.no_header and out_fmt != "csv":
        raise _usage("--no-header is for CSV output")
    if out_fmt in TABLES and out.path == "-" and out.is_terminal:
        raise _usage(f"{tables.NAMES[out_fmt]} output is binary: write it to -o FILE, or "
                     "redirect standard output")
    direction = TO_QUIB if args.target == "quib" else TO_SORN
    return Plan(direction, fmt, out_fmt, column, table, args.into)


# ---------------------------------------------------------------------------
# Reading


@dataclass
class Piece:
    """One chunk of the input. `values`: its source identifiers as values
    (a column the kernels take), those of the rows holding one for text
    input, of every row (nulls included) for a table file; `rows`: their
    number; `row0`: the row number of the first in a table file; `chunk`
    or `batch`: the text chunk or the record batch read."""

    values: Any
    rows: int
    row0: int = 0
    chunk: TextChunk | None = None
    batch: Any = None


class _Input:
    """The input of a run, opened at once, read in pieces once or (with
    `twice`) twice."""

    def __init__(self, plan: Plan, args: argparse.Namespace, twice: bool) -> None:
        self.plan = plan
        self.texts = plan.direction.texts
        self.header = args.header
        self.found = CsvHeader()  # for CSV
        self.index = 0  # for a table file: the identifier column
        self.name = "standard input" if args.file == "-" else args.file
        self.text: TextSource | None = None
        self.file: tables.TableInput | None = None
        if plan.fmt in TABLES:
            self.file = tables.TableInput(args.file, plan.fmt)
            self.index = self._column_index(self.file.schema.names)
        else:
            self.text = TextSource(args.file, twice)

    def _column_index(self, names: list[str]) -> int:
        column = self.plan.column
        if column is None:
            if len(names) != 1:
                shown = ", ".join(repr(n) for n in names[:10]) + (", ..." if len(names) > 10 else "")
                raise _usage(f"--column is needed: {self.name} has {len(names)} columns ({shown})")
            return 0
        if isinstance(column, int):
            if column > len(names):
                raise CliError(f"{self.name}: no column {column} (the table has {len(names)})")
            return column - 1
        if column not in names:
            raise CliError(f"{self.name}: no column named {column!r}")
        return names.index(column)

    @property
    def pa(self) -> Any:
        return None if self.file is None else self.file.pa

    def pieces(self, parse: bool = True, rows: bool = True) -> Iterator[Piece]:
        """The pieces of the input from its start: with their values unless
        not `parse` (a second reading needs the rows alone), and with the
        rows of a table file, or (not `rows`) its identifier column alone."""
        if self.file is not None:
            yield from self._table_pieces(self.file, parse, rows)
            return
        assert self.text is not None
        stream = self.text.stream()
        if self.plan.fmt == "lines":
            chunks = line_chunks(stream, self.header, self.texts)
        else:
            assert self.plan.column is not None
            chunks = csv_chunks(stream, self.plan.column, self.header, self.texts, self.found,
                                self.plan.table)
        try:
            while True:
                with ErrorContext(f"cannot read {self.name}"):
                    chunk = next(chunks, None)
                if chunk is None:
                    return
                values = parse_chunk(chunk, self.texts) if parse else None
                yield Piece(values, len(chunk.column), chunk=chunk)
        finally:
            chunks.close()

    def _table_pieces(self, file: tables.TableInput, parse: bool, rows: bool) -> Iterator[Piece]:
        row0 = 0
        for batch in file.batches(None if rows else [self.index]):
            values = None
            if parse:
                values = self._table_values(batch.column(self.index if rows else 0), row0)
            yield Piece(values, batch.num_rows, row0, batch=batch)
            row0 += batch.num_rows

    def _table_values(self, array: Any, row0: int) -> Any:
        """The identifier column of a batch as values: as it stands, or
        parsed from text (rows counted from 0 over the whole file)."""
        pa = self.pa
        types = pa.types
        if types.is_dictionary(array.type):
            array = array.dictionary_decode()
        if isinstance(array.type, pa.BaseExtensionType):  # uuid: its 16 bytes
            array = array.storage
        kind = array.type
        family = self.texts.family
        if _is_text(pa, kind):
            try:
                return _native.col_parse(array, family, row0, False)[0]
            except ValueError as exc:
                row = refused_row(exc)
                if row is None:
                    raise
                error = refusal(f"row {row}", array[row - row0].as_py(), family.from_str)
                raise error or exc from None
        if family is SornId and types.is_int64(kind):
            return array
        if family is QuibId and (
            kind == pa.binary(16) or types.is_binary(kind) or types.is_large_binary(kind)
            or _is_view(types, kind, "binary")
        ):
            return array
        what = "SornId values (int64)" if family is SornId else "QuibId values (16 bytes)"
        name = self.file.schema.names[self.index] if self.file is not None else ""
        raise CliError(f"{self.name}: column {name!r} holds {kind}, not {what} or their text")

    def close(self) -> None:
        if self.text is not None:
            self.text.close()
        if self.file is not None:
            self.file.close()


def _is_view(types: Any, kind: Any, what: str) -> bool:
    # string_view and binary_view, in the pyarrow versions that have them.
    test = getattr(types, f"is_{what}_view", None)
    return test is not None and bool(test(kind))


def _is_text(pa: Any, kind: Any) -> bool:
    types = pa.types
    return bool(types.is_string(kind) or types.is_large_string(kind)) or _is_view(types, kind, "string")


# ---------------------------------------------------------------------------
# Writing


def _texts(column: Any, family: type[SornId] | type[QuibId]) -> list[str]:
    """The text forms of a column of values, a null as ""."""
    data = _native.join_lines([column], [family], 0)
    return data.decode("ascii").split("\n")[:-1]


def _csv_text(rows: list[list[Any]]) -> str:
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\n").writerows(rows)
    return buffer.getvalue()


def _arrow(pa: Any, column: Any, kind: Any) -> Any:
    """A column of values as a pyarrow array of type `kind`."""
    if isinstance(column, memoryview):
        return pa.Array.from_buffers(kind, len(column), [None, pa.py_buffer(column)])
    array = column if isinstance(column, pa.Array) else pa.array(column)
    return array if array.type == kind else array.cast(kind)


class _Writer:
    """Writes the converted pieces to the output."""

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        """Writes a piece (None for the pairs), its source values and the
        converted ones."""
        raise NotImplementedError

    # The Parquet or Arrow file written, once it is opened.
    file: tables.TableOutput | None = None

    def close(self) -> None:
        if self.file is not None:
            self.file.close()

    def abort(self) -> None:
        """Gives the output up after a failure."""
        if self.file is not None:
            self.file.abort()


class _CsvPairs(_Writer):
    def __init__(self, out: Output, plan: Plan, header: bool) -> None:
        self.out = out
        self.families = plan.direction.families
        if header:
            out.write(",".join(plan.direction.names) + "\n")

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        self.out.write_bytes(_native.join_lines([source, target], self.families, 0))


class _Lines(_Writer):
    def __init__(self, out: Output, plan: Plan) -> None:
        self.out = out
        self.family = plan.direction.target

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        self.out.write_bytes(_native.join_lines([target], [self.family], 0))


class _TablePairs(_Writer):
    def __init__(self, out: Output, plan: Plan) -> None:
        self.pa = pa = tables.pyarrow(plan.out_fmt)
        self.schema = pa.schema([(name, _arrow_type(pa, family))
                                 for name, family in zip(plan.direction.names, plan.direction.families)])
        self.file = tables.TableOutput(out, plan.out_fmt, self.schema, _stream(out))

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        columns = [_arrow(self.pa, c, f.type) for c, f in zip((source, target), self.schema)]
        assert self.file is not None
        self.file.write(self.pa.RecordBatch.from_arrays(columns, schema=self.schema))


class _Table(_Writer):
    """The input table with the converted column added (--into) or in place
    of the source (--replace)."""

    def __init__(self, out: Output, plan: Plan, index: int, names: list[str] | None) -> None:
        self.out = out
        self.plan = plan
        self.index = index
        self.target = plan.direction.target
        if names is not None:
            self._check_into(names)

    def _check_into(self, names: list[str]) -> None:
        if self.plan.into is not None and self.plan.into in names:
            raise CliError(f"column {self.plan.into!r} exists already (--replace replaces the "
                           "source column)")

    def _names(self, names: list[str]) -> list[str]:
        return [*names, self.plan.into] if self.plan.into is not None else names


class _CsvTable(_Table):
    """CSV in, CSV out: the rows as read, with the converted identifier of
    each (empty where the source is blank)."""

    def __init__(self, out: Output, plan: Plan, found: CsvHeader, header: bool) -> None:
        names = None if found.row is None else [n.strip() for n in found.row]
        super().__init__(out, plan, found.index, names)
        if header and found.row is not None:
            out.write(_csv_text([self._names(found.row)]))

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        assert piece is not None and piece.chunk is not None and piece.chunk.rows is not None
        converted = iter(_texts(target, self.target))
        rows = []
        for row, text in zip(piece.chunk.rows, piece.chunk.texts or ()):
            value = next(converted) if text else ""
            if self.plan.into is not None:
                rows.append([*row, value])
            else:
                row = row.copy()
                row[self.index] = value
                rows.append(row)
        self.out.write(_csv_text(rows))


class _CsvToFile(_Table):
    """CSV in, Parquet or Arrow out: the CSV fields as strings (named by the
    header, or 1, 2, ... without one), the converted identifiers as values."""

    def __init__(self, out: Output, plan: Plan, found: CsvHeader) -> None:
        self.names = None if found.row is None else [n.strip() for n in found.row]
        super().__init__(out, plan, found.index, self.names)
        self.pa = tables.pyarrow(plan.out_fmt)
        self.output = out
        self.kind = _arrow_type(self.pa, self.target)
        # The width of the table: its header's, or (without one) its first row's.
        self.width = None if self.names is None else max(len(self.names), self.index + 1)

    def _open(self, width: int) -> tables.TableOutput:
        if self.file is None:
            names = [*(self.names or []), *(str(i + 1) for i in range(len(self.names or []), width))]
            self._check_into(names)  # a table without a header: columns 1, 2, ...
            fields = [(name, self.pa.string()) for name in names]
            if self.plan.into is None:
                fields[self.index] = (names[self.index], self.kind)
            self.schema = self.pa.schema([*fields, *([(self.plan.into, self.kind)] if self.plan.into else [])])
            self.file = tables.TableOutput(self.output, self.plan.out_fmt, self.schema, _stream(self.output))
        return self.file

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        assert piece is not None and piece.chunk is not None
        chunk = piece.chunk
        rows, texts, numbers = chunk.rows or [], chunk.texts or [], chunk.numbers or []
        if not rows:
            return
        if self.width is None:
            self.width = len(rows[0])
        width = self.width
        for row, number in zip(rows, numbers):
            if len(row) > width:
                raise CliError(f"line {number}: {len(row)} fields, more than the {width} "
                               "columns of the table")
        pa = self.pa
        columns = [pa.array([row[j] if j < len(row) else None for row in rows], pa.string())
                   for j in range(width)]
        # The converted values are those of the rows whose text is not blank.
        places: list[int | None] = []
        present = 0
        for text in texts:
            places.append(present if text else None)
            present += bool(text)
        converted = _arrow(pa, target, self.kind).take(pa.array(places, pa.int64()))
        if self.plan.into is not None:
            columns.append(converted)
        else:
            columns[self.index] = converted
        file = self._open(width)
        file.write(pa.RecordBatch.from_arrays(columns, schema=self.schema))

    def close(self) -> None:
        self._open(self.width or self.index + 1).close()


class _FileTable(_Table):
    """Parquet or Arrow in, Parquet or Arrow out."""

    def __init__(self, out: Output, plan: Plan, index: int, schema: Any) -> None:
        super().__init__(out, plan, index, list(schema.names))
        self.pa = tables.pyarrow(plan.out_fmt)
        kind = _arrow_type(self.pa, self.target)
        fields = list(schema)
        if plan.into is not None:
            fields.append(self.pa.field(plan.into, kind))
        else:
            fields[index] = self.pa.field(fields[index].name, kind)
        self.schema = self.pa.schema(fields, metadata=schema.metadata)
        self.kind = kind
        self.file = tables.TableOutput(out, plan.out_fmt, self.schema, _stream(out))

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        assert piece is not None
        columns = list(piece.batch.columns)
        converted = _arrow(self.pa, target, self.kind)
        if self.plan.into is not None:
            columns.append(converted)
        else:
            columns[self.index] = converted
        assert self.file is not None
        self.file.write(self.pa.RecordBatch.from_arrays(columns, schema=self.schema))


class _FileToCsv(_Table):
    """Parquet or Arrow in, CSV out: every column as text (as pyarrow casts
    it to a string), the identifier columns in their text forms."""

    def __init__(self, out: Output, plan: Plan, index: int, schema: Any, header: bool) -> None:
        super().__init__(out, plan, index, list(schema.names))
        self.pa = tables.pyarrow(plan.fmt)
        self.names = list(schema.names)
        if header:
            out.write(_csv_text([self._names(self.names)]))

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        assert piece is not None
        batch = piece.batch
        columns = []
        for j, array in enumerate(batch.columns):
            if j == self.index:
                if self.plan.into is None:
                    columns.append(_texts(target, self.target))
                    continue
                kind = array.type
                if self.pa.types.is_dictionary(kind):
                    kind = kind.value_type
                if not _is_text(self.pa, kind):
                    # Values: in their text forms.
                    columns.append(_texts(source, self.plan.direction.source))
                    continue
            try:
                columns.append(array.cast(self.pa.string()).to_pylist())
            except (self.pa.ArrowException, ValueError, TypeError) as exc:
                raise CliError(f"column {self.names[j]!r} ({array.type}) has no CSV text: {exc}") from None
        if self.plan.into is not None:
            columns.append(_texts(target, self.target))
        self.out.write(_csv_text([list(row) for row in zip(*columns)]))


def _writer(plan: Plan, out: Output, source: _Input, header: bool) -> _Writer:
    if not plan.table:
        if plan.out_fmt == "csv":
            return _CsvPairs(out, plan, header)
        if plan.out_fmt == "lines":
            return _Lines(out, plan)
        return _TablePairs(out, plan)
    if source.file is None:
        if plan.out_fmt == "csv":
            return _CsvTable(out, plan, source.found, header)
        return _CsvToFile(out, plan, source.found)
    if plan.out_fmt == "csv":
        return _FileToCsv(out, plan, source.index, source.file.schema, header)
    return _FileTable(out, plan, source.index, source.file.schema)


# ---------------------------------------------------------------------------
# --to quib


def _convert_to_quib(args: argparse.Namespace, out: Output, plan: Plan) -> None:
    # An unusable QUIBID_PRECISION fails here, before anything is written.
    SornId.batch_to_quibids([])
    precision = _generation_precision()
    source = _Input(plan, args, twice=False)
    writer: _Writer | None = None
    try:
        # A table read from CSV has its header once the first piece is read.
        if not (plan.table and source.file is None):
            writer = _writer(plan, out, source, not args.no_header)
        done = 0
        for piece in source.pieces(rows=plan.table):
            if writer is None:
                writer = _writer(plan, out, source, not args.no_header)
            quibs = _native.col_sorn_to_quib(piece.values, precision, piece.row0, False)[0]
            writer.write(piece, piece.values, quibs)
            done += piece.rows
            PROGRESS.show(f"converted {done:,} identifiers")
        if writer is None:
            writer = _writer(plan, out, source, not args.no_header)
        writer.close()
    except BaseException:
        if writer is not None:
            writer.abort()
        raise
    finally:
        source.close()


# ---------------------------------------------------------------------------
# --to sorn


class _Gathered:
    """The source values of every piece, as one column for the kernels: 16
    bytes a row in one buffer (text input), or the arrays of a table file."""

    def __init__(self, pa: Any) -> None:
        self.pa = pa
        self.data = bytearray()
        self.arrays: list[Any] = []
        self.counts: list[int] = []

    def add(self, values: Any) -> None:
        if self.pa is None:
            self.data += memoryview(values)
        else:
            self.arrays.append(values if isinstance(values, self.pa.Array) else self.pa.array(values))
        self.counts.append(len(values))

    @property
    def rows(self) -> int:
        return sum(self.counts)

    def column(self) -> Any:
        if self.pa is None:
            # (n, 16) bytes; a buffer of no rows is a slice of one.
            rows = self.rows
            return memoryview(self.data or bytearray(16)).cast("B", [max(rows, 1), 16])[:rows]
        kind = self.arrays[0].type if self.arrays else self.pa.binary(16)
        return self.pa.chunked_array(self.arrays, type=kind)


class _Slices:
    """The source values and their SornIds, handed out in input order a
    piece at a time."""

    def __init__(self, gathered: _Gathered, column: Any, sornids: list[Any]) -> None:
        self.pa = pa = gathered.pa
        self.values: Any
        self.ids: Any
        if pa is None:
            self.values = column
            self.ids = memoryview(sornids[0]) if sornids else memoryview(bytearray(8)).cast("q")[:0]
        else:
            self.values = column
            self.ids = pa.chunked_array([pa.array(c) for c in sornids], type=pa.int64())
        self.start = 0
        self.total = gathered.rows

    def take(self, count: int) -> tuple[Any, Any]:
        start, self.start = self.start, self.start + count
        if self.pa is None:
            return self.values[start : self.start], self.ids[start : self.start]
        return (self.values.slice(start, count).combine_chunks(),
                self.ids.slice(start, count).combine_chunks())


# A conflict's fields other than its kind and identifiers, in display order.
_CONFLICT_FIELDS = ("timestamp_ms", "node_id", "count", "max")

# Identifiers named in the one-line summary of a conflict.
_SUMMARY_IDS = 3


def _conflict_summary(conflict: ConversionConflict) -> str:
    """One short line: a crowded group names its first few identifiers only."""
    fields = ", ".join(
        f"{name}: {value}"
        for name in _CONFLICT_FIELDS
        if (value := getattr(conflict, name)) is not None
    )
    ids = conflict.quib_ids
    shown = ", ".join(map(str, ids[:_SUMMARY_IDS]))
    more = f" and {len(ids) - _SUMMARY_IDS} more" if len(ids) > _SUMMARY_IDS else ""
    noun = "identifier" if len(ids) == 1 else "identifiers"
    return f"{conflict.kind} {{ {fields} }}: {len(ids)} {noun}: {shown}{more}"


def _conflict_record(conflict: ConversionConflict) -> dict[str, object]:
    # The squashed millisecond value can exceed 2**53: a string, as in inspect.
    timestamp_ms = conflict.timestamp_ms
    return {
        "kind": conflict.kind,
        "timestamp_ms": None if timestamp_ms is None else str(timestamp_ms),
        "node_id": conflict.node_id,
        "count": conflict.count,
        "max": conflict.max,
        "quib_ids": [str(q) for q in conflict.quib_ids],
    }


def _report(conflicts: list[ColumnConflict], args: argparse.Namespace, out: Output) -> CliError:
    PROGRESS.end()
    if args.json:
        # On standard output even with -o FILE, which a failed run leaves alone.
        report = out if out.path == "-" else Output("-")
        report.write(json.dumps([_conflict_record(c) for c in conflicts], indent=2) + "\n")
        report.commit()
        where = "written as JSON"
    else:
        for conflict in conflicts:
            stderr_write(f"{PROG}: conflict: {_conflict_summary(conflict)}\n")
        where = "listed above"
    noun = "conflict" if len(conflicts) == 1 else "conflicts"
    return CliError(f"{len(conflicts)} {noun} ({where}): nothing converted")


def _sornids(column: Any, args: argparse.Namespace, out: Output) -> list[Any]:
    """The SornIds of the whole column (one column per chunk of it); every
    conflict reported, and CliError, when it does not convert."""
    try:
        return _native.col_quib_to_sorn(column, None, 0)
    except ValueError as exc:
        failure = exc
    # A value that is no QuibId fails the check as well, with its row.
    records = _native.col_sornid_conflicts(column, 0, CONFLICT_ROWS)
    if not records:
        raise failure
    raise _report([ColumnConflict(*r) for r in records], args, out)


def _convert_to_sorn(args: argparse.Namespace, out: Output, plan: Plan) -> None:
    source = _Input(plan, args, twice=plan.table)
    try:
        gathered = _Gathered(source.pa)
        for piece in source.pieces(rows=False):
            gathered.add(piece.values)
            PROGRESS.show(f"read {gathered.rows:,} identifiers")
        total = gathered.rows
        PROGRESS.show(f"checking {total:,} identifiers")
        column = gathered.column()
        slices = _Slices(gathered, column, _sornids(column, args, out))
        writer = _writer(plan, out, source, not args.no_header)
        try:
            _write_sornids(plan, source, writer, gathered, slices)
        except BaseException:
            writer.abort()
            raise
        writer.close()
    finally:
        source.close()


def _write_sornids(plan: Plan, source: _Input, writer: _Writer, gathered: _Gathered,
                   slices: _Slices) -> None:
    total = gathered.rows
    noun = "rows" if plan.table else "pairs"
    if not plan.table:
        for count in gathered.counts:
            writer.write(None, *slices.take(count))
            PROGRESS.show(f"wrote {slices.start:,} of {total:,} {noun}")
        return
    # The table again, its rows with the SornIds of their identifiers.
    for piece in source.pieces(parse=False):
        if slices.start + piece.rows > total:
            raise CliError(f"{source.name} changed while it was read")
        writer.write(piece, *slices.take(piece.rows))
        PROGRESS.show(f"wrote {slices.start:,} of {total:,} {noun}")
    if slices.start != total:
        raise CliError(f"{source.name} changed while it was read")


def run_convert(args: argparse.Namespace, out: Output) -> None:
    plan = _plan(args, out)
    convert = _convert_to_quib if plan.direction is TO_QUIB else _convert_to_sorn
    convert(args, out, plan)
    PROGRESS.end()


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    convert = commands.add_parser(
        "convert",
        help="convert identifiers to the other family",
        parents=[output_options(), input_options(tables=True)],
        description="Read identifiers (standard input by default) and write them with "
        "their conversions. Input: one identifier per line (UTF-8, or UTF-16 with a "
        "byte-order mark; blank lines are skipped), a CSV column (--column), or a column "
        "of a Parquet or Arrow IPC file (named by its extension or --format; needs "
        "pyarrow). --to quib reads SornIds and writes QuibIds at the precision of "
        "QUIBID_PRECISION (default ns), chunk by chunk. --to sorn reads QuibIds "
        "(also 0x and 32 hexadecimal digits), checks first that the whole column "
        "converts (listing every conflict if not), and numbers the sequences within "
        "each millisecond and node. Output, in input order: the CSV lines "
        "'input,converted' (or the pairs as a Parquet or Arrow table), or with --into "
        "or --replace the input table with the converted column. Written to standard "
        "output, the lines of earlier chunks are out before a later bad line stops "
        "the run; -o FILE is all or nothing.",
    )
    convert.add_argument(
        "--to", required=True, choices=("quib", "sorn"), dest="target", help="the family to convert to"
    )
    convert.add_argument(
        "file", nargs="?", default="-", metavar="FILE", help="input file (default: standard input)"
    )
    convert.add_argument(
        "--format",
        choices=FORMATS,
        help="the input format (default: parquet for FILE.parquet, arrow for FILE.arrow, "
        ".arrows, .feather or .ipc, else csv with --column and lines without)",
    )
    convert.add_argument(
        "--output-format",
        choices=FORMATS,
        help="the output format (default: named by the extension of -o FILE as for FILE, "
        "or .csv; else that of a Parquet or Arrow input; else csv); lines writes the "
        "converted identifiers alone",
    )
    table = convert.add_mutually_exclusive_group()
    table.add_argument(
        "--into",
        metavar="NAME",
        help="write the input table with the converted identifiers as a new column NAME",
    )
    table.add_argument(
        "--replace",
        action="store_true",
        help="write the input table with the converted identifiers in place of the source column",
    )
    convert.add_argument(
        "--no-header", action="store_true", help="omit the CSV header line of the output"
    )
    convert.add_argument(
        "--json",
        action="store_true",
        help="--to sorn: report conflicts as a JSON list on standard output instead "
        "of lines on standard error",
    )
    convert.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        help="show progress on standard error (default: when standard error is a "
        "terminal and the output is not)",
    )
    convert.set_defaults(run=run_convert)
