"""The outputs of `sornquibid convert`: the pairs (source, converted) as
CSV, as a table or one per line, or the input table with the converted
column added or in place of the source."""

from __future__ import annotations

import csv
import io
from typing import Any

from _sornquibid import QuibId, SornId

from .. import _native
from . import tables
from .errors import CliError
from .input import CsvHeader
from .output import Output
from .plan import Plan, arrow_type, ipc_stream
from .sources import Input, Piece, is_text


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


class Writer:
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


class _CsvPairs(Writer):
    def __init__(self, out: Output, plan: Plan, header: bool) -> None:
        self.out = out
        self.families = plan.direction.families
        if header:
            out.write(",".join(plan.direction.names) + "\n")

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        self.out.write_bytes(_native.join_lines([source, target], self.families, 0))


class _Lines(Writer):
    def __init__(self, out: Output, plan: Plan) -> None:
        self.out = out
        self.family = plan.direction.target

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        self.out.write_bytes(_native.join_lines([target], [self.family], 0))


class _TablePairs(Writer):
    def __init__(self, out: Output, plan: Plan) -> None:
        self.pa = pa = tables.pyarrow(plan.out_fmt)
        self.schema = pa.schema([(name, arrow_type(pa, family))
                                 for name, family in zip(plan.direction.names, plan.direction.families)])
        self.file = tables.TableOutput(out, plan.out_fmt, self.schema, ipc_stream(out))

    def write(self, piece: Piece | None, source: Any, target: Any) -> None:
        columns = [_arrow(self.pa, c, f.type) for c, f in zip((source, target), self.schema)]
        assert self.file is not None
        self.file.write(self.pa.RecordBatch.from_arrays(columns, schema=self.schema))


class _Table(Writer):
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
        self.kind = arrow_type(self.pa, self.target)
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
            self.file = tables.TableOutput(self.output, self.plan.out_fmt, self.schema, ipc_stream(self.output))
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
        kind = arrow_type(self.pa, self.target)
        fields = list(schema)
        if plan.into is not None:
            fields.append(self.pa.field(plan.into, kind))
        else:
            fields[index] = self.pa.field(fields[index].name, kind)
        self.schema = self.pa.schema(fields, metadata=schema.metadata)
        self.kind = kind
        self.file = tables.TableOutput(out, plan.out_fmt, self.schema, ipc_stream(out))

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
                if not is_text(self.pa, kind):
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


def writer_for(plan: Plan, out: Output, source: Input, header: bool) -> Writer:
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
