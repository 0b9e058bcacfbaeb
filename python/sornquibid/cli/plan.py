"""What a run of `sornquibid convert` reads and writes, from its command
line: the direction of the conversion, the formats and the columns."""

from __future__ import annotations

import argparse
import os
from dataclasses import dataclass
from typing import Any

from _sornquibid import QuibId, SornId

from . import tables
from .chunks import QUIB_TEXTS, SORN_TEXTS, Texts
from .errors import EXIT_USAGE, CliError
from .output import Output

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


def arrow_type(pa: Any, family: type) -> Any:
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


def ipc_stream(out: Output) -> bool:
    # The IPC stream format for -o FILE.arrows, the name it goes by.
    return _extension(out.path) == ".arrows"


def usage(message: str) -> CliError:
    return CliError(message, EXIT_USAGE)


def make_plan(args: argparse.Namespace, out: Output) -> Plan:
    fmt = args.format or _EXTENSIONS.get(_extension(args.file))
    if fmt is None:
        fmt = "csv" if args.column is not None else "lines"
    column = args.column
    if fmt == "lines" and column is not None:
        raise usage("--column reads CSV, Parquet or Arrow; --format lines has no columns")
    if fmt == "csv" and column is None:
        column = 1
    if fmt in TABLES and args.header:
        raise usage(f"--header is for lines and CSV; a {tables.NAMES[fmt]} file names its columns")
    table = args.into is not None or args.replace
    out_fmt = args.output_format or _OUTPUT_EXTENSIONS.get(_extension(args.output)) or (
        fmt if fmt in TABLES else "csv"
    )
    if table and fmt == "lines":
        raise usage("--into and --replace write a table: give CSV (--column), Parquet or Arrow input")
    if table and out_fmt == "lines":
        raise usage("--output-format lines writes the converted identifiers alone, "
                     "without --into or --replace")
    if args.no_header and out_fmt != "csv":
        raise usage("--no-header is for CSV output")
    if out_fmt in TABLES and out.path == "-" and out.is_terminal:
        raise usage(f"{tables.NAMES[out_fmt]} output is binary: write it to -o FILE, or "
                     "redirect standard output")
    direction = TO_QUIB if args.target == "quib" else TO_SORN
    return Plan(direction, fmt, out_fmt, column, table, args.into)
