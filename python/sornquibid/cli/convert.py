"""`sornquibid convert`: convert a list of identifiers to the other family,
written as CSV pairs."""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterable

from _sornquibid import QuibId, SornId

from .. import ConversionConflict, sornid_conflicts
from .errors import PROG, CliError, stderr_write
from .input import BATCH_LINES, input_items, input_options, parse_batch, parse_quib
from .output import PROGRESS, Output, output_options

def _csv_pairs(pairs: Iterable[tuple[object, object]]) -> str:
    return "".join(f"{a},{b}\n" for a, b in pairs)


def _convert_to_quib(args: argparse.Namespace, out: Output) -> None:
    # An unusable QUIBID_PRECISION fails here, before anything is written.
    SornId.batch_to_quibids([])
    with input_items(args.file, args.column, args.header) as batches:
        if not args.no_header:
            out.write("sornid,quibid\n")
        done = 0
        for batch in batches:
            ids = parse_batch(batch, SornId.from_str)
            out.write(_csv_pairs(SornId.batch_to_quibids(ids)))
            done += len(ids)
            PROGRESS.show(f"converted {done:,} identifiers")


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


def _convert_to_sorn(args: argparse.Namespace, out: Output) -> None:
    # Sequences are renumbered per (millisecond, node id) over the whole list,
    # so the list is read completely before anything is converted.
    ids: list[QuibId] = []
    with input_items(args.file, args.column, args.header) as batches:
        for batch in batches:
            ids.extend(parse_batch(batch, QuibId.from_str, parse_quib))
            PROGRESS.show(f"read {len(ids):,} identifiers")
    PROGRESS.show(f"checking {len(ids):,} identifiers")
    conflicts = sornid_conflicts(ids)
    if conflicts:
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
        raise CliError(f"{len(conflicts)} {noun} ({where}): nothing converted")
    pairs = QuibId.batch_to_sornids(ids)
    del ids
    if not args.no_header:
        out.write("quibid,sornid\n")
    for start in range(0, len(pairs), BATCH_LINES):
        out.write(_csv_pairs(pairs[start : start + BATCH_LINES]))
        PROGRESS.show(f"wrote {min(start + BATCH_LINES, len(pairs)):,} of {len(pairs):,} pairs")


def run_convert(args: argparse.Namespace, out: Output) -> None:
    convert = _convert_to_quib if args.target == "quib" else _convert_to_sorn
    convert(args, out)
    PROGRESS.end()


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    convert = commands.add_parser(
        "convert",
        help="convert a list of identifiers to the other family",
        parents=[output_options(), input_options()],
        description="Read one identifier per line (standard input by default; UTF-8, "
        "or UTF-16 with a byte-order mark) and write CSV lines 'input,converted'. "
        "--to quib reads SornId decimals and writes QuibId at the precision of "
        "QUIBID_PRECISION (default ns), in input order, batch by batch. --to sorn "
        "reads QuibId texts (also 0x and 32 hexadecimal digits), checks first that "
        "the whole list converts (listing every conflict if not) and writes the "
        "pairs in QuibId order, sequences renumbered within each millisecond and "
        "node. Blank lines are skipped. Written to standard output, the pairs of "
        "earlier batches are out before a later bad line stops the run; -o FILE "
        "is all or nothing.",
    )
    convert.add_argument(
        "--to", required=True, choices=("quib", "sorn"), dest="target", help="the family to convert to"
    )
    convert.add_argument(
        "file", nargs="?", default="-", metavar="FILE", help="input file (default: standard input)"
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

