"""What a command reads: identifier lists as text files with one identifier
per line, or as CSV with the identifiers in one column, from a file or
standard input; and the options that say how to read them.

A batch is a pair: the line numbers and the stripped identifier texts; blank
texts are skipped by the parsers. The converter reads the same inputs as
text chunks instead (chunks.py).
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import io
import itertools
import re
import sys
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, TypeVar

from _sornquibid import QuibId

from .errors import EXIT_STREAM, CliError, ErrorContext, clip

# Lines read and converted per batch.
BATCH_LINES = 100_000

# Bytes of a text input read at a time into one text chunk (more for a line
# longer than that).
CHUNK_BYTES = 1 << 20

# A BINARY(16) as SQL Server's tools display it.
_HEX_0X = re.compile(r"0[xX][0-9A-Fa-f]{32}")
_DIGIT = re.compile(r"[0-9]")
_DIGITS = re.compile(r"[0-9]+")

Batch = tuple[Sequence[int], list[str]]


def open_input(path: str) -> IO[bytes]:
    if path == "-":
        if sys.stdin is None:
            raise CliError("standard input is closed", EXIT_STREAM)
        return sys.stdin.buffer
    with ErrorContext(f"cannot read {path}"):
        return open(path, "rb")


def text_batches(stream: IO[bytes]) -> Generator[list[str], None, None]:
    """The lines of `stream`, BATCH_LINES at a time, as text.

    A UTF-8 byte-order mark is dropped, and text with a UTF-16 byte-order mark
    (as Windows PowerShell 5 writes by default) is decoded; anything else is
    read as UTF-8, an invalid byte becoming U+FFFD. Lines end at line feeds
    only, which are not part of the lines: a carriage return elsewhere is.
    Close this generator before the stream: it may hold a decoder on it.
    """
    head = stream.read(2)
    if head in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE):
        encoding = "utf-16-le" if head == codecs.BOM_UTF16_LE else "utf-16-be"
        text = io.TextIOWrapper(stream, encoding, "replace", newline="\n")
        try:
            while batch := list(itertools.islice(text, BATCH_LINES)):
                yield [line.removesuffix("\n") for line in batch]
        finally:
            text.detach()  # the caller closes the stream
        return
    if head == codecs.BOM_UTF8[:2]:
        third = stream.read(1)
        head = b"" if third == codecs.BOM_UTF8[2:] else head + third
    lines: Iterable[bytes] = stream
    if head:
        lines = itertools.chain(io.BytesIO(head + stream.readline()), stream)
    while raw := list(itertools.islice(lines, BATCH_LINES)):
        decoded = b"".join(raw).decode("utf-8", "replace")
        batch = decoded.split("\n")
        if decoded.endswith("\n"):
            batch.pop()
        yield batch


def line_items(batches: Iterable[list[str]], header: bool) -> Iterator[Batch]:
    """One identifier per line; with `header`, the first non-blank line is skipped."""
    line = 1
    for batch in batches:
        texts = [t.strip() for t in batch]
        if header:
            for i, t in enumerate(texts):
                if t:
                    texts[i] = ""
                    header = False
                    break
        yield range(line, line + len(texts)), texts
        line += len(texts)


@dataclass
class CsvHeader:
    """What the CSV reader learns from the first row: the header row, if the
    input has one, and the index of the identifier column."""

    row: list[str] | None = None
    index: int = -1


def csv_rows(
    batches: Iterable[list[str]], column: str | int, header: bool, found: CsvHeader, keep: bool
) -> Iterator[tuple[list[int], list[str], list[list[str]]]]:
    """The identifiers in one CSV column, named or numbered from 1, in
    batches of line numbers, stripped texts and (with `keep`) the rows, of
    at most BATCH_LINES rows or about CHUNK_BYTES of text each.

    A named column needs a first row holding that name. With a numbered
    column, the first row is a header when `header` says so or when its field
    in the column holds no digit (every identifier holds one). A row is
    numbered by the line it starts on; a quoted field may span lines. A row
    that is not CSV, or lacks the column, ends the batch before it: its
    error is raised after the rows before it, so that the first bad line
    decides.
    """
    # The reader gets the line feeds back, so that a quoted field keeps the
    # line breaks it holds (and then fails as an identifier) instead of
    # joining its lines into another number. Strict: a quote left open would
    # otherwise swallow every later row into one field.
    fed = 0  # characters given to the reader

    def lines() -> Iterator[str]:
        nonlocal fed
        for batch in batches:
            for line in batch:
                fed += len(line) + 1
                yield line + "\n"

    reader = csv.reader(lines(), strict=True)
    start = 0  # `fed` when the batch began
    index = found.index = column - 1 if isinstance(column, int) else -1
    numbers: list[int] = []
    texts: list[str] = []
    rows: list[list[str]] = []
    first = True
    error: CliError | None = None
    try:
        while True:
            number = reader.line_num + 1
            row = next(reader, None)
            if row is None:
                break
            if first:
                if not "".join(row).strip():
                    continue
                first = False
                if isinstance(column, str):
                    names = [name.strip() for name in row]
                    if column not in names:
                        raise CliError(f"line {number}: no column named {column!r} in the header")
                    index = found.index = names.index(column)
                    found.row = row
                    continue
                if header or (index < len(row) and not _DIGIT.search(row[index])):
                    found.row = row
                    continue
            if index >= len(row):
                if not row:
                    continue
                raise CliError(f"line {number}: no column {index + 1} (the row has {len(row)})")
            numbers.append(number)
            texts.append(row[index].strip())
            if keep:
                rows.append(row)
            if len(texts) == BATCH_LINES or fed - start >= CHUNK_BYTES:
                yield numbers, texts, rows
                numbers, texts, rows = [], [], []
                start = fed
    except csv.Error as exc:
        problem = str(exc)
        if problem.startswith("new-line character"):
            problem = "a carriage return inside a field that is not quoted"
        elif problem == "unexpected end of data":
            problem = "a quoted field is not closed"
        error = CliError(f"line {number}: not CSV: {problem}")
    except CliError as exc:
        error = exc
    if texts:
        yield numbers, texts, rows
    if error is not None:
        raise error


def csv_items(batches: Iterable[list[str]], column: str | int, header: bool) -> Iterator[Batch]:
    for numbers, texts, _ in csv_rows(batches, column, header, CsvHeader(), False):
        yield numbers, texts


@contextlib.contextmanager
def input_items(path: str, column: str | int | None, header: bool) -> Iterator[Iterator[Batch]]:
    """The batches of identifier texts in `path` ("-" for standard input),
    opened on entry, so that an unreadable input fails before any output,
    and closed on exit (standard input stays open), read to its end or not."""
    stream = open_input(path)
    items = _items_of(stream, "standard input" if path == "-" else path, column, header)
    try:
        yield items
    finally:
        items.close()
        if sys.stdin is None or stream is not sys.stdin.buffer:
            stream.close()


def _items_of(
    stream: IO[bytes], name: str, column: str | int | None, header: bool
) -> Generator[Batch, None, None]:
    batches = text_batches(stream)
    try:
        if column is None:
            items = line_items(batches, header)
        else:
            items = csv_items(batches, column, header)
        while True:
            with ErrorContext(f"cannot read {name}"):
                batch = next(items, None)
            if batch is None:
                return
            yield batch
    finally:
        batches.close()


T = TypeVar("T")


def parse_batch(batch: Batch, *parsers: Callable[[str], T]) -> list[T]:
    """Parses the non-blank texts of one batch with the first of `parsers`
    that takes them all (a fast one may come before a complete one); CliError
    names the line that the last one refuses."""
    numbers, texts = batch
    for parse in parsers:
        try:
            return [parse(t) for t in texts if t]
        except ValueError:
            pass
    for number, text in zip(numbers, texts):
        if text and (error := refusal(f"line {number}", text, parse)) is not None:
            raise error
    raise AssertionError("a line failed to parse only once")


def refusal(place: str, text: str, parse: Callable[[str], object]) -> CliError | None:
    """The CliError "PLACE: message" of `parse` refusing `text` (shown cut
    short when long), or None when it takes it."""
    try:
        parse(text)
    except ValueError as exc:
        return CliError(f"{place}: {str(exc).replace(text, clip(text))}")
    return None


def parse_quib(text: str) -> QuibId:
    """A QuibId text, also as 0x and 32 hexadecimal digits (a BINARY(16) value
    as SQL Server shows it)."""
    if _HEX_0X.fullmatch(text):
        return QuibId.from_bytes(bytes.fromhex(text[2:]))
    return QuibId.from_str(text)


def _column(text: str) -> str | int:
    # A number in ASCII digits; other digits ("²", "٣") make a name.
    if not _DIGITS.fullmatch(text):
        return text
    try:
        number = int(text)
    except ValueError:  # more digits than int() converts
        raise argparse.ArgumentTypeError(f"no such column number: {clip(text)}") from None
    if number < 1:
        raise argparse.ArgumentTypeError("column numbers start at 1")
    return number


def input_options(tables: bool = False) -> argparse.ArgumentParser:
    """The options --column and --header of the commands that read
    identifier lists (and, with `tables`, Parquet and Arrow files), as a
    parent parser."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument(
        "--column",
        type=_column,
        metavar="NAME|N",
        help="read CSV and take the identifiers from the column named NAME in the "
        "header row, or from column N (counted from 1)"
        + ("; of a Parquet or Arrow file, the column NAME or N" if tables else ""),
    )
    options.add_argument(
        "--header",
        action="store_true",
        help="the first line of the input is a header and is skipped (with --column N "
        "it is detected: a first row whose field in column N holds no digit)",
    )
    return options

