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
import json
from typing import Any

from _sornquibid import SornId

from .. import ConversionConflict, _native
from ..columns import CONFLICT_ROWS, ColumnConflict, _generation_precision
from .errors import PROG, CliError, stderr_write
from .input import input_options
from .output import PROGRESS, Output, output_options
from .plan import FORMATS, TO_QUIB, Plan, make_plan
from .sources import Input
from .writers import Writer, writer_for


# ---------------------------------------------------------------------------
# --to quib


def _convert_to_quib(args: argparse.Namespace, out: Output, plan: Plan) -> None:
    # An unusable QUIBID_PRECISION fails here, before anything is written.
    SornId.batch_to_quibids([])
    precision = _generation_precision()
    source = Input(plan, args, twice=False)
    writer: Writer | None = None
    try:
        # A table read from CSV has its header once the first piece is read.
        if not (plan.table and source.file is None):
            writer = writer_for(plan, out, source, not args.no_header)
        done = 0
        for piece in source.pieces(rows=plan.table):
            if writer is None:
                writer = writer_for(plan, out, source, not args.no_header)
            quibs = _native.col_sorn_to_quib(piece.values, precision, piece.row0, False)[0]
            writer.write(piece, piece.values, quibs)
            done += piece.rows
            PROGRESS.show(f"converted {done:,} identifiers")
        if writer is None:
            writer = writer_for(plan, out, source, not args.no_header)
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
    source = Input(plan, args, twice=plan.table)
    try:
        gathered = _Gathered(source.pa)
        for piece in source.pieces(rows=False):
            gathered.add(piece.values)
            PROGRESS.show(f"read {gathered.rows:,} identifiers")
        total = gathered.rows
        PROGRESS.show(f"checking {total:,} identifiers")
        column = gathered.column()
        slices = _Slices(gathered, column, _sornids(column, args, out))
        writer = writer_for(plan, out, source, not args.no_header)
        try:
            _write_sornids(plan, source, writer, gathered, slices)
        except BaseException:
            writer.abort()
            raise
        writer.close()
    finally:
        source.close()


def _write_sornids(plan: Plan, source: Input, writer: Writer, gathered: _Gathered,
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
    plan = make_plan(args, out)
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
