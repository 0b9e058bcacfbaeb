"""Text chunks: what the converter reads of a list or a CSV column, the
identifier texts of many lines as one text column for the column kernels,
without a Python object per line. The readers of input.py serve here too;
its CHUNK_BYTES, read at each call, is the size of a chunk."""

from __future__ import annotations

import codecs
import os
import re
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable, Generator, Iterable, Iterator
from dataclasses import dataclass
from typing import IO

from _sornquibid import QuibId, SornId

from .. import _native
from . import input as reading
from .errors import CliError, ErrorContext


@dataclass
class TextChunk:
    """Identifier texts of many lines, as the converter reads them.

    `column` holds the texts that are not blank as a text column (its row r
    is the r-th of them), and `where(r)` the line number and stripped text
    of row r, for a message. A chunk of CSV also has `texts`, the stripped
    identifier text of each row ("" where blank), their line `numbers`,
    and with a table its `rows` as read.
    """

    column: _native.Column
    where: Callable[[int], tuple[int, str]]
    texts: list[str] | None = None
    numbers: list[int] | None = None
    rows: list[list[str]] | None = None


class TextSource:
    """A text input, opened at once, so that one that cannot be read fails
    before anything is written; with `twice`, read again from its start by
    a second stream() (standard input, or a FILE that is not a regular file,
    is then first copied to a temporary file)."""

    def __init__(self, path: str, twice: bool) -> None:
        self.name = "standard input" if path == "-" else path
        self._path = path
        self._open: list[IO[bytes]] = []
        self._next: IO[bytes] | None = self._track(reading.open_input(path))
        self._spooled: IO[bytes] | None = None
        if twice and not self._regular(self._next):
            with ErrorContext(f"cannot read {self.name}"):
                self._spooled = self._track(tempfile.TemporaryFile())
                shutil.copyfileobj(self._next, self._spooled, 1 << 20)
            self._next = None

    def _track(self, stream: IO[bytes]) -> IO[bytes]:
        self._open.append(stream)
        return stream

    def _regular(self, stream: IO[bytes]) -> bool:
        if self._path == "-":
            return False
        with ErrorContext(f"cannot read {self.name}"):
            return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)

    def stream(self) -> IO[bytes]:
        """The input from its start."""
        if self._next is not None:
            stream, self._next = self._next, None
            return stream
        if self._spooled is not None:
            self._spooled.seek(0)
            return self._spooled
        return self._track(reading.open_input(self._path))

    def close(self) -> None:
        """Closes what was opened (standard input stays open)."""
        for stream in self._open:
            if sys.stdin is None or stream is not sys.stdin.buffer:
                stream.close()
        self._open.clear()


def _utf8_pieces(stream: IO[bytes]) -> Iterator[bytes]:
    """The text of `stream` as UTF-8 bytes, input.CHUNK_BYTES of input at a time,
    by the rules of input.text_batches: a UTF-8 byte-order mark dropped, text
    with a UTF-16 one decoded (an invalid sequence becoming U+FFFD)."""
    head = stream.read(2)
    if head in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE):
        encoding = "utf-16-le" if head == codecs.BOM_UTF16_LE else "utf-16-be"
        decoder = codecs.getincrementaldecoder(encoding)("replace")
        while raw := stream.read(reading.CHUNK_BYTES):
            yield decoder.decode(raw).encode("utf-8")
        yield decoder.decode(b"", final=True).encode("utf-8")
        return
    if head == codecs.BOM_UTF8[:2]:
        third = stream.read(1)
        head = b"" if third == codecs.BOM_UTF8[2:] else head + third
    yield head + stream.read(reading.CHUNK_BYTES)
    while raw := stream.read(reading.CHUNK_BYTES):
        yield raw


def _line_blocks(pieces: Iterable[bytes], limit: int) -> Iterator[bytes | memoryview | LongLine]:
    """The bytes of `pieces` in blocks of whole lines: each block but the
    last ends with a line feed. A line longer than a piece is gathered from
    as many pieces as it takes, each copied once; one that goes on beyond
    `limit` bytes is a LongLine instead, which reads on without keeping it."""
    carry: list[bytes | memoryview] = []
    carried = 0
    source = iter(pieces)
    rest = b""  # what follows a long line in the piece that ends it
    while True:
        piece, rest = (rest, b"") if rest else (next(source, None), b"")
        if piece is None:
            break
        cut = piece.rfind(b"\n") + 1
        if cut == 0:
            if piece:
                carry.append(piece)
                carried += len(piece)
                if carried > limit:
                    long_line = LongLine(carry, source)
                    yield long_line
                    rest = long_line.finish()
                    carry, carried = [], 0
            continue
        block = memoryview(piece)[:cut]
        yield b"".join([*carry, block]) if carry else block
        carry = [memoryview(piece)[cut:]] if cut < len(piece) else []
        carried = len(piece) - cut
    if carry:
        yield b"".join(carry)


# The characters of a stripped line that a line read on as a LongLine may
# hold: far more than any identifier, and few enough to keep.
LONG_LINE_CHARACTERS = 1 << 16


class LongLine:
    """A line too long to hold, which begins with the pieces `start` and goes
    on in `pieces`. finish() reads it to its end without keeping it: only
    its stripped text is kept, when that is at most LONG_LINE_CHARACTERS
    long (a blank line, or an identifier in a sea of white space), or else
    its first characters."""

    def __init__(self, start: list[bytes | memoryview], pieces: Iterator[bytes]) -> None:
        self._decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self._pieces = pieces
        self._rest: bytes | None = None  # what follows the line, once read
        self.text: str | None = ""  # the stripped text so far; None once too long
        self.head = ""  # the first characters of a text too long
        self._blank = ""  # the white space after the text so far
        self.ended = False  # by a line feed
        for piece in start:
            self._add(self._decoder.decode(piece))

    def finish(self) -> bytes:
        """Reads the line to the line feed that ends it, once; returns what
        follows that in the piece that holds it."""
        if self._rest is not None:
            return self._rest
        self._rest = b""
        for piece in self._pieces:
            cut = piece.find(b"\n")
            if cut >= 0:
                self._add(self._decoder.decode(piece[:cut], final=True))
                self.ended = True
                self._rest = piece[cut + 1 :]
                return self._rest
            self._add(self._decoder.decode(piece))
        self._add(self._decoder.decode(b"", final=True))
        return self._rest

    def _add(self, part: str) -> None:
        if self.text is None or not part:
            return
        if not self.text:
            part = part.lstrip()
        body = part.rstrip()
        if not body:
            self._blank += part
        else:
            self.text += self._blank + body
            self._blank = part[len(body) :]
        if len(self.text) + len(self._blank) > LONG_LINE_CHARACTERS:
            if len(self.text) > LONG_LINE_CHARACTERS:
                self.head, self.text = self.text[:80], None
            else:  # white space that only a later text would keep
                self._blank = self._blank[: LONG_LINE_CHARACTERS + 1 - len(self.text)]

    def block(self) -> bytes:
        """The line as its stripped text, which reads as the line does."""
        assert self.text is not None
        return self.text.encode("utf-8") + (b"\n" if self.ended else b"")


def _decoded_lines(block: bytes | memoryview) -> list[str]:
    """The lines of a block as input.text_batches reads them, stripped."""
    return [line.strip() for line in bytes(block).decode("utf-8", "replace").split("\n")]


def _past_header(block: bytes | memoryview) -> tuple[int, int] | None:
    """Where the block goes on after its first non-blank line (the offset
    and the lines up to there), or None when every line of it is blank."""
    data = bytes(block)
    start = lines = 0
    while start < len(data):
        end = data.find(b"\n", start)
        end = len(data) if end < 0 else end + 1
        lines += 1
        if data[start:end].decode("utf-8", "replace").strip():
            return end, lines
        start = end
    return None


@dataclass(frozen=True)
class Texts:
    """How the identifiers of one family are read from text: `family`, the
    class whose values parsing gives; `parsers`, the object path's parsers
    (the first that takes a whole batch; the last one's refusal is the
    message of a bad line); `hex0x`, whether "0x" and 32 hexadecimal digits
    are an identifier too."""

    family: type[SornId] | type[QuibId]
    parsers: tuple[Callable[[str], object], ...]
    hex0x: bool


SORN_TEXTS = Texts(SornId, (SornId.from_str,), False)
QUIB_TEXTS = Texts(QuibId, (QuibId.from_str, reading.parse_quib), True)


def _line_count(block: bytes | memoryview) -> int:
    data = bytes(block)
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def line_chunks(
    stream: IO[bytes], header: bool, texts: Texts
) -> Generator[TextChunk, None, None]:
    """The text chunks of a list of one identifier per line (as input.text_batches
    and input.line_items read it); with `header`, the first non-blank line is
    skipped."""
    line = 1
    for block in _line_blocks(_utf8_pieces(stream), reading.CHUNK_BYTES):
        if isinstance(block, LongLine):
            block.finish()
            if block.text is None:
                if header:  # the header, however long
                    header = False
                    line += 1
                    continue
                raise CliError(f"line {line}: too long for an identifier (more than "
                               f"{LONG_LINE_CHARACTERS:,} characters): {block.head}...")
            block = block.block()
        if header:
            found = _past_header(block)
            if found is None:
                line += _line_count(block)
                continue
            header = False
            block = block[found[0] :]
            line += found[1]
        column, count = _native.split_lines(block, False, texts.hex0x)

        def where(row: int, block: bytes | memoryview = block, first: int = line) -> tuple[int, str]:
            lines = _decoded_lines(block)
            return [(first + i, t) for i, t in enumerate(lines) if t][row]

        yield TextChunk(column, where)
        line += count


# The longest line of CSV read; a longer one is refused unread, not held.
CSV_LINE_BYTES = 1 << 24


def _line_lists(stream: IO[bytes]) -> Generator[list[str], None, None]:
    """The lines of `stream` as input.text_batches reads them, those of about
    input.CHUNK_BYTES of input at a time; CliError for a line longer than
    CSV_LINE_BYTES."""
    line = 1
    for block in _line_blocks(_utf8_pieces(stream), CSV_LINE_BYTES):
        if isinstance(block, LongLine):
            raise CliError(f"line {line}: not CSV: a line longer than {CSV_LINE_BYTES:,} bytes")
        decoded = bytes(block).decode("utf-8", "replace")
        lines = decoded.split("\n")
        if decoded.endswith("\n"):
            lines.pop()
        line += len(lines)
        yield lines


def csv_chunks(
    stream: IO[bytes], column: str | int, header: bool, texts: Texts,
    found: reading.CsvHeader, keep: bool,
) -> Generator[TextChunk, None, None]:
    """The text chunks of one CSV column (as input.csv_items reads it), with the
    stripped text of each row and, with `keep`, the rows."""
    batches = _line_lists(stream)
    try:
        for numbers, stripped, rows in reading.csv_rows(batches, column, header, found, keep):
            # The texts as lines for the kernel: rows whose text is blank
            # give none. A text that holds a line feed gives more; no
            # identifier holds one, so the parsers then name the first bad line.
            data = "\n".join(stripped).encode("utf-8")
            ids, _ = _native.split_lines(data, False, texts.hex0x)
            if len(ids) != len(stripped) - stripped.count(""):
                reading.parse_batch((numbers, stripped), *texts.parsers)
                raise AssertionError("a text holding a line feed parsed")

            def where(row: int, numbers: list[int] = numbers,
                      stripped: list[str] = stripped) -> tuple[int, str]:
                return [(n, t) for n, t in zip(numbers, stripped) if t][row]

            yield TextChunk(ids, where, stripped, numbers, rows if keep else None)
    finally:
        batches.close()


# How a kernel's message names the row it refuses.
_ROW = re.compile(r"row ([0-9]+): ")


def refused_row(exc: ValueError) -> int | None:
    """The row that a kernel's ValueError names, if it names one."""
    found = _ROW.match(str(exc))
    return None if found is None else int(found.group(1))


def parse_chunk(chunk: TextChunk, texts: Texts) -> _native.Column:
    """The values of the texts of `chunk`; CliError, with the line number and
    the message of the object path, for the first text that is none."""
    try:
        return _native.col_parse(chunk.column, texts.family, 0, False)[0]
    except ValueError as exc:
        row = refused_row(exc)
        if row is None:
            raise
        number, text = chunk.where(row)
    reading.parse_batch(([number], [text]), *texts.parsers)
    raise AssertionError("a line failed to parse only once")
