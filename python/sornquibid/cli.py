"""The `sornquibid` command: decode identifiers, print the SQL Server scripts,
and convert identifier lists between the 64-bit and the 128-bit family.

Every failure ends with one line on standard error and a non-zero exit status:
2 for a malformed command line, 1 for bad input or data. No traceback is shown,
also not for the library's PanicException (a BaseException, raised for
instance by an invalid QUIBID_PRECISION).
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, NoReturn, TypeVar, cast

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

PROG = "sornquibid"

# The XOR masks between the ascending and the descending form of each family.
SORN_FLIP_MASK = 0x7FFFFFFFFFC01FFF
QUIB_FLIP_MASK = 0xFFFFFFFFFFFF0FFF0FFFFFFF8000FFFF

# Lines read and converted per batch by `convert`.
BATCH_LINES = 100_000

_DECIMAL = re.compile(r"[+-]?[0-9]+")

# `sql NAME` prints the constant of mssql_schema named here.
_SQL_SCRIPTS = {
    "install": "INSTALL_ALL_DESC_TSQL",
    "flip": "DESC_FLIP_TSQL",
    "generators": "DESC_GENERATORS_TSQL",
    "backfill": "BULK_BACKFILL_TSQL",
}


class CliError(Exception):
    """A failure reported as one line on standard error."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _is_panic(exc: BaseException) -> bool:
    # The extension does not export PanicException; recognise it by name.
    cls = type(exc)
    return cls.__name__ == "PanicException" and cls.__module__ == "_sornquibid"


def _one_line(text: str) -> str:
    return " ".join(text.splitlines()) if text else text


# ---------------------------------------------------------------------------
# Command line


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{PROG}: error: {_one_line(message)} (try '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Decode time-ordered identifiers, print the SQL Server scripts "
        "and convert identifier lists between SornId and QuibId.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    inspect = commands.add_parser(
        "inspect",
        help="decode identifiers",
        description="Decode each ID, a decimal 64-bit identifier or a UUID text "
        "(36-character, 32 hexadecimal digits, {braced} or urn:uuid:), in both "
        "readings: ascending (SornId, QuibId) and descending (SornIdDesc, "
        "QuibIdDesc). For each reading it prints the fields, the counterpart form "
        "holding the same fields, and the image in the other family.",
    )
    inspect.add_argument("ids", nargs="+", metavar="ID", help="a decimal or a UUID text")
    inspect.add_argument("--json", action="store_true", help="print a JSON list instead")
    inspect.set_defaults(run=run_inspect)

    sql = commands.add_parser(
        "sql",
        help="print SQL Server scripts",
        description="Print the T-SQL scripts that install the database side.",
    )
    scripts = sql.add_subparsers(dest="script", required=True, metavar="SCRIPT")
    for name, help_text in (
        ("install", "everything below, in order: flip functions, generators, backfill"),
        ("flip", "the flip functions dbo.sornid_to_desc, dbo.quibid_to_desc, ..."),
        ("generators", "the procedures dbo.sornid_next_desc and dbo.quibid_next_desc"),
        ("backfill", "the procedure dbo.sornquibid_bulk_backfill"),
    ):
        scripts.add_parser(name, help=help_text, description=help_text).set_defaults(
            run=run_sql_script
        )
    trigger = scripts.add_parser(
        "trigger",
        help="the trigger that fills descending columns of TABLE",
        description="Print the script that installs the trigger keeping each DST "
        "column equal to the descending form of its SRC column.",
    )
    trigger.add_argument("table", metavar="TABLE", help="the table name, without schema")
    trigger.add_argument(
        "pairs", nargs="+", metavar="SRC:DST", help="an identifier column and its descending column"
    )
    trigger.add_argument(
        "--kind",
        required=True,
        choices=("sorn", "quib"),
        help="sorn for bigint SornId columns, quib for BINARY(16) QuibId columns",
    )
    trigger.set_defaults(run=run_sql_trigger)
    drop = scripts.add_parser(
        "drop", help="the script that drops the trigger of TABLE", description="Print "
        "the script that drops the autofill trigger of TABLE, if it exists."
    )
    drop.add_argument("table", metavar="TABLE", help="the table name, without schema")
    drop.set_defaults(run=run_sql_drop)

    convert = commands.add_parser(
        "convert",
        help="convert a list of identifiers to the other family",
        description="Read one identifier per line (standard input by default) and "
        "write CSV lines 'input,converted'. --to quib reads SornId decimals and "
        "writes QuibId at the precision of QUIBID_PRECISION (default ns), in input "
        "order. --to sorn reads QuibId texts, checks first that the whole list "
        "converts (listing every conflict if not) and writes the pairs in QuibId "
        "order, sequences renumbered within each millisecond and node. Blank lines "
        "are skipped.",
    )
    convert.add_argument(
        "--to", required=True, choices=("quib", "sorn"), dest="target", help="the family to convert to"
    )
    convert.add_argument(
        "file", nargs="?", default="-", metavar="FILE", help="input file (default: standard input)"
    )
    convert.add_argument("--no-header", action="store_true", help="omit the CSV header line")
    convert.set_defaults(run=run_convert)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run = cast(Callable[[argparse.Namespace], None], args.run)
    try:
        run(args)
        sys.stdout.flush()
    except CliError as exc:
        return _fail(str(exc), exc.status)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        _progress_end()
        return 130
    except MemoryError:
        return _fail("out of memory", 1)
    except BaseException as exc:
        if not (_is_panic(exc) or isinstance(exc, (ValueError, TypeError, OverflowError, OSError))):
            raise
        return _fail(str(exc), 1)
    return 0


def _fail(message: str, status: int) -> int:
    _progress_end()
    sys.stderr.write(f"{PROG}: error: {_one_line(message)}\n")
    return status


def _write(text: str) -> None:
    # Bytes, so that scripts keep their line feeds and UTF-8 on any platform.
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))


# ---------------------------------------------------------------------------
# inspect

Reading = dict[str, object]


def _image_of_quib(q: QuibId) -> SornId | str:
    """The SornId a lone QuibId converts to, or why it does not convert."""
    try:
        return QuibId.batch_to_sornids([q])[0][1]
    except ValueError as exc:
        return str(exc)


def _reading(
    kind: str, value: object, fields: dict[str, object], counterpart: object, image: object
) -> Reading:
    out: Reading = {"type": type(value).__name__, "reading": kind, "value": str(value)}
    out.update(fields)
    out["counterpart"] = {"type": type(counterpart).__name__, "value": str(counterpart)}
    if isinstance(image, str):
        target = "SornId" if kind == "ascending" else "SornIdDesc"
        out["image"] = {"type": target, "error": image}
    else:
        out["image"] = {"type": type(image).__name__, "value": str(image)}
    return out


def _sorn_fields(x: SornId | SornIdDesc) -> dict[str, object]:
    return {"timestamp_ms": x.timestamp_ms, "node_id": x.node_id, "sequence": x.sequence}


def _quib_fields(x: QuibId | QuibIdDesc) -> dict[str, object]:
    return {
        "timestamp": x.timestamp,
        "precision": x.precision,
        "node_id": x.node_id,
        "sequence": x.sequence,
    }


def _quib_desc_of(q: QuibId) -> QuibIdDesc:
    return QuibIdDesc.from_parts(q.timestamp, q.precision, q.node_id, q.sequence)


def _quib_asc_of(d: QuibIdDesc) -> QuibId:
    digits = f"{int(d.to_uuid()) ^ QUIB_FLIP_MASK:032x}"
    return QuibId.from_str(digits)


def _sorn_desc_of(s: SornId) -> SornIdDesc:
    return SornIdDesc.from_parts(s.timestamp_ms, s.node_id, s.sequence)


def inspect_sorn(text: str) -> dict[str, object]:
    asc = SornId.from_str(text)
    desc = SornIdDesc(asc.as_int())
    asc_image = SornId.batch_to_quibids([asc])[0][1]
    # The descending reading: its ascending counterpart, and that one's image.
    desc_asc = SornId(desc.as_int() ^ SORN_FLIP_MASK)
    desc_image = _quib_desc_of(SornId.batch_to_quibids([desc_asc])[0][1])
    return {
        "input": text,
        "family": "sorn",
        "ascending": _reading("ascending", asc, _sorn_fields(asc), _sorn_desc_of(asc), asc_image),
        "descending": _reading("descending", desc, _sorn_fields(desc), desc_asc, desc_image),
    }


def inspect_quib(text: str) -> dict[str, object]:
    asc = QuibId.from_str(text)
    desc = QuibIdDesc.from_str(text)
    asc_fields = _quib_fields(asc)
    asc_fields["timestamp_micros"] = asc.timestamp_micros
    desc_asc = _quib_asc_of(desc)
    sorn = _image_of_quib(desc_asc)
    desc_image = sorn if isinstance(sorn, str) else _sorn_desc_of(sorn)
    return {
        "input": text,
        "family": "quib",
        "ascending": _reading(
            "ascending", asc, asc_fields, _quib_desc_of(asc), _image_of_quib(asc)
        ),
        "descending": _reading("descending", desc, _quib_fields(desc), desc_asc, desc_image),
    }


def inspect_one(text: str) -> dict[str, object]:
    """Decodes one identifier text; CliError names the text when it is none."""
    text = text.strip()
    try:
        if _DECIMAL.fullmatch(text):
            try:
                return inspect_sorn(text)
            except ValueError:
                # 32 decimal digits are also 32 hexadecimal ones.
                if len(text) != 32:
                    raise
        return inspect_quib(text)
    except ValueError as exc:
        message = str(exc)
        if message.startswith("invalid QuibId string: "):
            message = "not a decimal SornId or a UUID text"
        raise CliError(f"{text!r}: {message}") from None


def _format_reading(reading: Reading) -> Iterator[str]:
    yield f"  {reading['type']} ({reading['reading']}): {reading['value']}"
    for key, value in reading.items():
        if key in ("type", "reading", "value", "counterpart", "image"):
            continue
        yield f"    {key + ':':<18}{value}"
    counterpart = cast(dict[str, str], reading["counterpart"])
    yield f"    {'counterpart:':<18}{counterpart['type']}({counterpart['value']})"
    image = cast(dict[str, str], reading["image"])
    if "error" in image:
        yield f"    {'image:':<18}no {image['type']}: {image['error']}"
    else:
        yield f"    {'image:':<18}{image['type']}({image['value']})"


def format_inspection(record: dict[str, object]) -> str:
    lines = [str(record["input"])]
    for key in ("ascending", "descending"):
        lines.extend(_format_reading(cast(Reading, record[key])))
    return "\n".join(lines) + "\n"


def run_inspect(args: argparse.Namespace) -> None:
    records = [inspect_one(text) for text in args.ids]
    if args.json:
        _write(json.dumps(records, indent=2) + "\n")
    else:
        _write("\n".join(format_inspection(r) for r in records))


# ---------------------------------------------------------------------------
# sql


def run_sql_script(args: argparse.Namespace) -> None:
    _write(cast(str, getattr(mssql_schema, _SQL_SCRIPTS[args.script])))


def _column_pair(text: str) -> tuple[str, str]:
    src, sep, dst = text.partition(":")
    if not sep or ":" in dst:
        raise CliError(f"column pair must be SRC:DST, got {text!r}", status=2)
    return src, dst


def run_sql_trigger(args: argparse.Namespace) -> None:
    pairs = [_column_pair(p) for p in args.pairs]
    _write(mssql_schema.mssql_install_autofill_trigger_for_table(args.table, pairs, args.kind))


def run_sql_drop(args: argparse.Namespace) -> None:
    _write(mssql_schema.mssql_drop_autofill_trigger_for_table(args.table))


# ---------------------------------------------------------------------------
# convert

T = TypeVar("T")

_progress_shown = False


def _progress(message: str) -> None:
    global _progress_shown
    if sys.stderr.isatty():
        sys.stderr.write(f"\r{PROG}: {message}\x1b[K")
        sys.stderr.flush()
        _progress_shown = True


def _progress_end() -> None:
    global _progress_shown
    if _progress_shown:
        sys.stderr.write("\n")
        _progress_shown = False


def _open_input(path: str) -> IO[bytes]:
    if path == "-":
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None


def _parse_lines(lines: Sequence[bytes], first_line: int, parse: Callable[[str], T]) -> list[T]:
    """Parses the non-blank lines of one batch; CliError names the bad line."""
    try:
        return [parse(t.decode("utf-8", "replace")) for raw in lines if (t := raw.strip())]
    except ValueError:
        pass
    for number, raw in enumerate(lines, first_line):
        text = raw.strip().decode("utf-8", "replace")
        if text:
            try:
                parse(text)
            except ValueError as exc:
                raise CliError(f"line {number}: {exc}") from None
    raise AssertionError("a line failed to parse only once")


def _read_batches(path: str, parse: Callable[[str], T]) -> Iterator[list[T]]:
    stream = _open_input(path)
    try:
        line = 1
        while batch := list(itertools.islice(stream, BATCH_LINES)):
            yield _parse_lines(batch, line, parse)
            line += len(batch)
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _write_pairs(pairs: Iterable[tuple[object, object]]) -> None:
    sys.stdout.buffer.write("".join(f"{a},{b}\n" for a, b in pairs).encode("ascii"))


def _convert_to_quib(path: str, header: bool) -> None:
    # An unusable QUIBID_PRECISION fails here, before anything is written.
    SornId.batch_to_quibids([])
    if header:
        _write("sornid,quibid\n")
    done = 0
    for ids in _read_batches(path, SornId.from_str):
        _write_pairs(SornId.batch_to_quibids(ids))
        done += len(ids)
        _progress(f"converted {done:,} identifiers")


def _convert_to_sorn(path: str, header: bool) -> None:
    # Sequences are renumbered per (millisecond, node id) over the whole list,
    # so the list is read completely before anything is converted.
    ids: list[QuibId] = []
    for batch in _read_batches(path, QuibId.from_str):
        ids.extend(batch)
        _progress(f"read {len(ids):,} identifiers")
    _progress(f"checking {len(ids):,} identifiers")
    conflicts = QuibId.check_sornid_convertibility(ids)
    if conflicts:
        _progress_end()
        for line in conflicts:
            sys.stderr.write(line + "\n")
        noun = "conflict" if len(conflicts) == 1 else "conflicts"
        raise CliError(f"{len(conflicts)} {noun} (listed above): nothing converted")
    pairs = QuibId.batch_to_sornids(ids)
    del ids
    if header:
        _write("quibid,sornid\n")
    for start in range(0, len(pairs), BATCH_LINES):
        _write_pairs(pairs[start : start + BATCH_LINES])
        _progress(f"wrote {min(start + BATCH_LINES, len(pairs)):,} of {len(pairs):,} pairs")


def run_convert(args: argparse.Namespace) -> None:
    convert = _convert_to_quib if args.target == "quib" else _convert_to_sorn
    convert(args.file, not args.no_header)
    _progress_end()
