"""The input of `sornquibid convert`, read in pieces: chunks of lines or of
CSV rows (their identifiers parsed into a column of values), or the record
batches of a Parquet or Arrow file."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from _sornquibid import QuibId, SornId

from .. import _native
from . import tables
from .chunks import TextChunk, TextSource, csv_chunks, line_chunks, parse_chunk, refused_row
from .errors import CliError, ErrorContext
from .input import CsvHeader, refusal
from .plan import TABLES, Plan, usage


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


class Input:
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
                raise usage(f"--column is needed: {self.name} has {len(names)} columns ({shown})")
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
        if is_text(pa, kind):
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


def is_text(pa: Any, kind: Any) -> bool:
    types = pa.types
    return bool(types.is_string(kind) or types.is_large_string(kind)) or _is_view(types, kind, "string")
