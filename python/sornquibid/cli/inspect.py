"""`sornquibid inspect`: decode identifiers in both readings, with the
fields, the counterpart form and the image in the other family of each."""

from __future__ import annotations

import argparse
import contextlib
import json
import re
from collections.abc import Generator, Iterator
from typing import cast

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from .. import PanicException, to_asc, to_desc
from .._time import utc_text
from .errors import EXIT_USAGE, CliError, clip
from .input import Batch, input_items, input_options, parse_batch, parse_quib
from .output import Output, output_options

_DECIMAL = re.compile(r"[+-]?[0-9]+")

Reading = dict[str, object]


def _image_of_quib(q: QuibId) -> SornId | str:
    """The SornId a lone QuibId converts to, or why it does not convert."""
    try:
        return QuibId.batch_to_sornids([q])[0][1]
    except ValueError as exc:
        return str(exc)


def _reading(
    kind: str,
    value: object,
    fields: dict[str, object],
    counterpart: object,
    image: object,
) -> Reading:
    out: Reading = {"type": type(value).__name__, "reading": kind, "value": str(value)}
    out.update(fields)
    out["counterpart"] = {"type": type(counterpart).__name__, "value": str(counterpart)}
    if isinstance(image, str):
        # No image: name the class it would have had.
        if isinstance(value, (SornId, SornIdDesc)):
            other = ("QuibId", "QuibIdDesc")
        else:
            other = ("SornId", "SornIdDesc")
        out["image"] = {"type": other[kind == "descending"], "error": image}
    else:
        out["image"] = {"type": type(image).__name__, "value": str(image)}
    return out


def _sorn_fields(x: SornId | SornIdDesc, epoch: int | None) -> dict[str, object]:
    fields: dict[str, object] = {
        "timestamp_ms": x.timestamp_ms,
        "node_id": x.node_id,
        "sequence": x.sequence,
    }
    if epoch is not None:
        fields["time"] = utc_text(x.timestamp_ms, "ms", epoch)
    return fields


def _quib_fields(x: QuibId | QuibIdDesc, epoch: int | None) -> dict[str, object]:
    # 89-bit timestamps are strings in JSON: its readers take numbers as
    # doubles, which hold integers exactly only up to 2**53.
    fields: dict[str, object] = {
        "timestamp": str(x.timestamp),
        "precision": x.precision,
        "node_id": x.node_id,
        "sequence": x.sequence,
    }
    if isinstance(x, QuibId):
        fields["timestamp_micros"] = str(x.timestamp_micros)
    if epoch is not None:
        fields["time"] = utc_text(x.timestamp, x.precision, epoch)
    return fields


def _inspect_sorn(text: str, asc: SornId, epoch: int | None) -> dict[str, object]:
    desc = SornIdDesc(asc.as_int())
    # The descending reading: its ascending counterpart, and that one's image.
    desc_asc = to_asc(desc)
    # Only the QuibId images depend on QUIBID_PRECISION: an unusable setting
    # is reported in their place, and the fields are still shown.
    asc_image: QuibId | str
    desc_image: QuibIdDesc | str
    try:
        images = SornId.batch_to_quibids([asc, desc_asc])
        asc_image, desc_image = images[0][1], to_desc(images[1][1])
    except PanicException as exc:
        asc_image = desc_image = str(exc)
    return {
        "input": text,
        "family": "sorn",
        "ascending": _reading(
            "ascending", asc, _sorn_fields(asc, epoch), to_desc(asc), asc_image
        ),
        "descending": _reading(
            "descending", desc, _sorn_fields(desc, epoch), desc_asc, desc_image
        ),
    }


def _inspect_quib(text: str, asc: QuibId, epoch: int | None) -> dict[str, object]:
    desc = QuibIdDesc.from_bytes(asc.as_bytes())
    desc_asc = to_asc(desc)
    sorn = _image_of_quib(desc_asc)
    desc_image = sorn if isinstance(sorn, str) else to_desc(sorn)
    return {
        "input": text,
        "family": "quib",
        "ascending": _reading(
            "ascending", asc, _quib_fields(asc, epoch), to_desc(asc), _image_of_quib(asc)
        ),
        "descending": _reading(
            "descending", desc, _quib_fields(desc, epoch), desc_asc, desc_image
        ),
    }


Identifier = tuple[str, SornId | QuibId]


def parse_identifier(text: str) -> Identifier:
    """The identifier `text` holds, with the text as inspected (without
    surrounding blanks and byte-order mark); the ValueError names the text
    when it is none."""
    text = text.strip().removeprefix("\ufeff")
    try:
        if _DECIMAL.fullmatch(text):
            try:
                return text, SornId.from_str(text)
            except ValueError:
                # 32 decimal digits are also 32 hexadecimal ones.
                if len(text) != 32:
                    raise
        return text, parse_quib(text)
    except ValueError as exc:
        message = str(exc)
        # A command-line argument that is not UTF-8 holds surrogates, which
        # the parsers refuse as text they cannot encode.
        if message.startswith("invalid QuibId string: ") or isinstance(exc, UnicodeError):
            message = "not a decimal SornId or a UUID text"
        raise ValueError(f"{clip(text)!r}: {message.replace(text, clip(text))}") from None


def inspection(identifier: Identifier, epoch: int | None = None) -> dict[str, object]:
    """The record of one parsed identifier: both readings of its value."""
    text, value = identifier
    if isinstance(value, SornId):
        return _inspect_sorn(text, value, epoch)
    return _inspect_quib(text, value, epoch)


def inspect_one(text: str, epoch: int | None = None) -> dict[str, object]:
    """Decodes one identifier text; the ValueError names the text when it is none."""
    return inspection(parse_identifier(text), epoch)


def _format_reading(reading: Reading) -> Iterator[str]:
    yield f"  {reading['type']} ({reading['reading']}): {reading['value']}"
    for key, value in reading.items():
        if key in ("type", "reading", "value", "counterpart", "image"):
            continue
        if key == "time" and value is None:
            value = "not a date of the years 1 to 9999"
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


def _inspect_batches(args: argparse.Namespace) -> Generator[Batch | list[str], None, None]:
    """The identifier texts to inspect: the IDs, then the file's batches."""
    ids = cast(list[str], args.ids)
    path = cast("str | None", args.file)
    if ids.count("-") + (path is not None) > 1:
        raise CliError("read identifiers from one file (- or --file FILE)", EXIT_USAGE)
    if "-" in ids:
        path = "-"
        ids = [i for i in ids if i != "-"]
    if not ids and path is None:
        raise CliError("no identifiers: give IDs, - or --file FILE", EXIT_USAGE)
    if path is None:
        yield ids
        return
    # Opened before the IDs are given out, so that an unreadable file fails
    # before any output.
    with input_items(path, args.column, args.header) as items:
        if ids:
            yield ids
        yield from items


def run_inspect(args: argparse.Namespace, out: Output) -> None:
    epoch = cast("int | None", args.epoch)
    count = 0
    # Closed on every way out, so that a bad ID closes the file too.
    with contextlib.closing(_inspect_batches(args)) as batches:
        for batch in batches:
            # A batch is parsed whole, so that a bad line stops the run
            # before any record of its batch is out; the records (a few
            # kilobytes each) are then built and written one at a time.
            if isinstance(batch, list):
                try:
                    identifiers = [parse_identifier(t) for t in batch]
                except ValueError as exc:
                    raise CliError(str(exc)) from None
            else:
                identifiers = parse_batch(batch, parse_identifier)
            for identifier in identifiers:
                record = inspection(identifier, epoch)
                if args.json:
                    # The same text as json.dumps(all_records, indent=2), record by record.
                    body = json.dumps(record, indent=2).replace("\n", "\n  ")
                    out.write(("[\n  " if count == 0 else ",\n  ") + body)
                else:
                    out.write(("" if count == 0 else "\n") + format_inspection(record))
                count += 1
            del identifiers
    if args.json:
        out.write("\n]\n" if count else "[]\n")


def _epoch(text: str) -> int:
    if text == "unix":
        return 0
    if _DECIMAL.fullmatch(text):
        try:
            return int(text)
        except ValueError:  # more digits than int() converts
            pass
    raise argparse.ArgumentTypeError(
        f"expected 'unix' or the origin in milliseconds since 1970-01-01, got {clip(text)!r}"
    )


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    inspect = commands.add_parser(
        "inspect",
        help="decode identifiers",
        parents=[output_options(), input_options()],
        description="Decode each ID, a decimal 64-bit identifier or a UUID text "
        "(36-character, 32 hexadecimal digits, {braced}, urn:uuid: or 0x with 32 "
        "hexadecimal digits), in both readings: ascending (SornId, QuibId) and "
        "descending (SornIdDesc, QuibIdDesc). For each reading it prints the "
        "fields, the counterpart form holding the same fields, and the image in "
        "the other family. The ID - reads identifiers from standard input, one "
        "per line (or in a CSV column, see --column).",
    )
    inspect.add_argument("ids", nargs="*", metavar="ID", help="a decimal or a UUID text, or -")
    inspect.add_argument(
        "--file", metavar="FILE", help="also read identifiers from FILE, after the IDs"
    )
    inspect.add_argument(
        "--json",
        action="store_true",
        help="print a JSON list instead; integers that may exceed 2**53 - 1 are strings",
    )
    inspect.add_argument(
        "--epoch",
        type=_epoch,
        metavar="unix|MS",
        help="also show each timestamp as a UTC date and time, counted from the Unix "
        "epoch or from MS milliseconds after it, as sornquibid.id_time does with epoch_ms=MS",
    )
    inspect.set_defaults(run=run_inspect)
