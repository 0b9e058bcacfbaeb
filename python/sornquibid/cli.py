"""The `sornquibid` command: decode identifiers, print the SQL Server scripts,
and convert identifier lists between the 64-bit and the 128-bit family.

Exit statuses: 0 on success; 1 for bad input or data, or a file that cannot
be read or written; 2 for a malformed command line; 3 when standard input or
output is closed, or the reader of the output went away (a broken pipe);
130 when interrupted; 128 + N when ended by signal N (SIGTERM, SIGHUP).
Every failure ends with one line on standard error, except a broken pipe,
which ends quietly. No traceback is shown, also not for the library's
PanicException (a BaseException, raised for instance by an invalid
QUIBID_PRECISION). Control characters of the input are escaped in messages,
so that they cannot act on the operator's terminal.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import errno
import io
import itertools
import json
import os
import re
import signal
import stat
import sys
import tempfile
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from datetime import datetime, timedelta
from typing import IO, NoReturn, TypeVar, cast

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

from . import ConversionConflict, PanicException, sornid_conflicts, to_asc, to_desc

PROG = "sornquibid"

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_STREAM = 3
EXIT_INTERRUPTED = 130

# Lines read and converted per batch.
BATCH_LINES = 100_000

_DECIMAL = re.compile(r"[+-]?[0-9]+")
# A BINARY(16) as SQL Server's tools display it.
_HEX_0X = re.compile(r"0[xX][0-9A-Fa-f]{32}")
_DIGIT = re.compile(r"[0-9]")
_DIGITS = re.compile(r"[0-9]+")

# `sql NAME` prints the constant of mssql_schema named here.
_SQL_SCRIPTS = {
    "install": "INSTALL_ALL_DESC_TSQL",
    "flip": "DESC_FLIP_TSQL",
    "generators": "DESC_GENERATORS_TSQL",
    "backfill": "BULK_BACKFILL_TSQL",
}

# Decimal digits of a second in each timestamp unit ("ms" is SornId's).
_UNIT_DIGITS = {"ms": 3, "us": 6, "ns": 9, "ps": 12, "fs": 15}

_UNIX_EPOCH = datetime(1970, 1, 1)


class CliError(Exception):
    """A failure reported as one line on standard error."""

    def __init__(self, message: str, status: int = EXIT_DATA) -> None:
        super().__init__(message)
        self.status = status


class _Terminated(BaseException):
    """SIGTERM or SIGHUP, which end a run as an interrupt does."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated(signum)


def _catch_termination() -> list[int]:
    """Makes SIGTERM and SIGHUP raise _Terminated where they have their default
    action, which would leave the temporary file of an -o FILE behind;
    returns those signals. A signal ignored on purpose (as nohup ignores
    SIGHUP) stays ignored."""
    caught: list[int] = []
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None or signal.getsignal(signum) is not signal.SIG_DFL:
            continue
        try:
            signal.signal(signum, _terminate)
        except ValueError:  # not the main thread: handlers cannot be set
            break
        caught.append(signum)
    return caught


def escape(text: str) -> str:
    """`text` with every unprintable character written as a Python string
    literal writes it (\\n, \\r, \\x1b, \\ufeff, ...), on one line."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


# Longer input texts are shown cut short in messages: a file without line
# feeds (old Mac line ends, say) is one line, and echoing it would make one
# message as long as the file.
_SHOWN_CHARACTERS = 80


def clip(text: str) -> str:
    """`text`, or its beginning and its length when it is long."""
    if len(text) <= _SHOWN_CHARACTERS:
        return text
    return f"{text[:_SHOWN_CHARACTERS]}... ({len(text):,} characters)"


def _stderr_write(text: str) -> None:
    # Reporting must not fail in turn: a closed or broken standard error
    # leaves only the exit status.
    try:
        if sys.stderr is not None:
            sys.stderr.write(text)
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


# ---------------------------------------------------------------------------
# Progress


class _Progress:
    """A status line on standard error, rewritten in place on a terminal."""

    def __init__(self) -> None:
        self.enabled = False
        self._shown = False

    def show(self, message: str) -> None:
        if not self.enabled or sys.stderr is None:
            return
        if sys.stderr.isatty():
            _stderr_write(f"\r{PROG}: {message}\x1b[K")
            self._shown = True
        else:
            _stderr_write(f"{PROG}: {message}\n")

    def end(self) -> None:
        if self._shown:
            _stderr_write("\n")
            self._shown = False


_PROGRESS = _Progress()


def _is_terminal(stream: IO[str] | None) -> bool:
    return stream is not None and stream.isatty()


# ---------------------------------------------------------------------------
# Output


class Output:
    """Where a command writes: standard output ("-"), or FILE.

    A regular FILE (new or existing) is written to a temporary file beside it,
    which replaces FILE only when the command succeeds; on failure FILE is
    left as it was. Anything else (a device such as /dev/null, a pipe) is
    written directly.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.name = "standard output" if path == "-" else path
        self._temp: str | None = None
        self._target = ""
        if path == "-":
            if sys.stdout is None:
                raise CliError("standard output is closed", EXIT_STREAM)
            self._stream: IO[bytes] = sys.stdout.buffer
            return
        with self._guard():
            # FILE itself, not its real path: /dev/stdout or a process
            # substitution's /dev/fd/63 leads to a pipe with no usable path.
            try:
                regular = stat.S_ISREG(os.stat(path).st_mode)
            except FileNotFoundError:
                # As the shell's > has it: "" names nothing, "new/" a directory.
                if not path:
                    raise
                if not os.path.basename(path):
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path) from None
            else:
                if not regular:
                    self._stream = open(path, "wb")
                    return
                # Renaming over FILE would bypass its own permissions, which
                # writing into it (as a shell's > does) respects.
                if not os.access(path, os.W_OK):
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
            target = os.path.realpath(path)
            directory, name = os.path.split(target)
            fd, self._temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
            self._target = target
            self._stream = os.fdopen(fd, "wb")

    @property
    def is_terminal(self) -> bool:
        return self._stream.isatty()

    def _guard(self) -> _ErrorContext:
        return _ErrorContext(f"cannot write {self.name}")

    def write(self, text: str) -> None:
        # Bytes, so that scripts keep their line feeds and UTF-8 on any platform.
        with self._guard():
            self._stream.write(text.encode("utf-8", "surrogateescape"))

    def commit(self) -> None:
        """Makes the output complete: flushed, and FILE replaced."""
        with self._guard():
            self._stream.flush()
            if self._temp is None:
                return
            try:
                mode = stat.S_IMODE(os.stat(self._target).st_mode)
            except FileNotFoundError:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask
            os.fchmod(self._stream.fileno(), mode)
            os.fsync(self._stream.fileno())
            self._stream.close()
            os.replace(self._temp, self._target)
            self._temp = None

    def discard(self) -> None:
        """Removes what an uncommitted FILE output wrote; a no-op after commit."""
        if self._temp is None:
            return
        try:
            self._stream.close()
        except OSError:
            pass
        try:
            os.unlink(self._temp)
        except OSError:
            pass
        self._temp = None


class _ErrorContext:
    """Turns an OSError (other than a broken pipe) into CliError("PREFIX: reason")."""

    def __init__(self, prefix: str) -> None:
        self.prefix = prefix

    def __enter__(self) -> None:
        return None

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: object
    ) -> None:
        if isinstance(exc, OSError) and not isinstance(exc, BrokenPipeError):
            raise CliError(f"{self.prefix}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------
# Input
#
# Identifier lists arrive as text files with one identifier per line, or as
# CSV with the identifiers in one column. A batch is a pair: the line numbers
# and the stripped identifier texts; blank texts are skipped by the parsers.

Batch = tuple[Sequence[int], list[str]]


def _open_input(path: str) -> IO[bytes]:
    if path == "-":
        if sys.stdin is None:
            raise CliError("standard input is closed", EXIT_STREAM)
        return sys.stdin.buffer
    with _ErrorContext(f"cannot read {path}"):
        return open(path, "rb")


def _text_batches(stream: IO[bytes]) -> Generator[list[str], None, None]:
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


def _line_items(batches: Iterable[list[str]], header: bool) -> Iterator[Batch]:
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


def _csv_items(batches: Iterable[list[str]], column: str | int, header: bool) -> Iterator[Batch]:
    """The identifiers in one CSV column, named or numbered from 1.

    A named column needs a first row holding that name. With a numbered
    column, the first row is a header when `header` says so or when its field
    in the column holds no digit (every identifier holds one). A row is
    numbered by the line it starts on; a quoted field may span lines.
    """
    # The reader gets the line feeds back, so that a quoted field keeps the
    # line breaks it holds (and then fails as an identifier) instead of
    # joining its lines into another number. Strict: a quote left open would
    # otherwise swallow every later row into one field.
    lines = (line + "\n" for batch in batches for line in batch)
    reader = csv.reader(lines, strict=True)
    index = column - 1 if isinstance(column, int) else -1
    numbers: list[int] = []
    texts: list[str] = []
    first = True
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
                    index = names.index(column)
                    continue
                if header or (index < len(row) and not _DIGIT.search(row[index])):
                    continue
            if index >= len(row):
                if not row:
                    continue
                raise CliError(f"line {number}: no column {index + 1} (the row has {len(row)})")
            numbers.append(number)
            texts.append(row[index].strip())
            if len(texts) == BATCH_LINES:
                yield numbers, texts
                numbers, texts = [], []
    except csv.Error as exc:
        problem = str(exc)
        if problem.startswith("new-line character"):
            problem = "a carriage return inside a field that is not quoted"
        elif problem == "unexpected end of data":
            problem = "a quoted field is not closed"
        raise CliError(f"line {number}: not CSV: {problem}") from None
    if texts:
        yield numbers, texts


@contextlib.contextmanager
def _input_items(path: str, column: str | int | None, header: bool) -> Iterator[Iterator[Batch]]:
    """The batches of identifier texts in `path` ("-" for standard input),
    opened on entry, so that an unreadable input fails before any output,
    and closed on exit (standard input stays open), read to its end or not."""
    stream = _open_input(path)
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
    batches = _text_batches(stream)
    try:
        if column is None:
            items = _line_items(batches, header)
        else:
            items = _csv_items(batches, column, header)
        while True:
            with _ErrorContext(f"cannot read {name}"):
                batch = next(items, None)
            if batch is None:
                return
            yield batch
    finally:
        batches.close()


T = TypeVar("T")


def _parse_batch(batch: Batch, *parsers: Callable[[str], T]) -> list[T]:
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
        if text:
            try:
                parse(text)
            except ValueError as exc:
                raise CliError(f"line {number}: {str(exc).replace(text, clip(text))}") from None
    raise AssertionError("a line failed to parse only once")


def parse_quib(text: str) -> QuibId:
    """A QuibId text, also as 0x and 32 hexadecimal digits (a BINARY(16) value
    as SQL Server shows it)."""
    if _HEX_0X.fullmatch(text):
        return QuibId.from_bytes(bytes.fromhex(text[2:]))
    return QuibId.from_str(text)


# ---------------------------------------------------------------------------
# Command line


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are a single line, and whose help
    and version reach a closed or broken standard output as errors."""

    def error(self, message: str) -> NoReturn:
        hint = f" (try '{self.prog} --help')"
        self.exit(EXIT_USAGE, f"{PROG}: error: {escape(message)}{hint}\n")

    def _print_message(self, message: str, file: object = None) -> None:
        if file is sys.stderr or not message:
            _stderr_write(message)
            return
        out = Output("-")
        out.write(message)
        out.commit()


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        from . import __version__

        parser._print_message(f"{PROG} {__version__}\n", sys.stdout)
        parser.exit()


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


def _output_options() -> _Parser:
    options = _Parser(add_help=False)
    options.add_argument(
        "-o",
        "--output",
        default="-",
        metavar="FILE",
        help="write to FILE, which is replaced only when the command succeeds "
        "(default: standard output)",
    )
    return options


def _input_options() -> _Parser:
    options = _Parser(add_help=False)
    options.add_argument(
        "--column",
        type=_column,
        metavar="NAME|N",
        help="read CSV and take the identifiers from the column named NAME in the "
        "header row, or from column N (counted from 1)",
    )
    options.add_argument(
        "--header",
        action="store_true",
        help="the first line of the input is a header and is skipped (with --column N "
        "it is detected: a first row whose field in column N holds no digit)",
    )
    return options


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Decode time-ordered identifiers, print the SQL Server scripts "
        "and convert identifier lists between SornId and QuibId.",
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    output = [_output_options()]

    inspect = commands.add_parser(
        "inspect",
        help="decode identifiers",
        parents=[*output, _input_options()],
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
        "epoch or from MS milliseconds after it (the library itself applies no epoch)",
    )
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
        scripts.add_parser(
            name, help=help_text, description=help_text, parents=output
        ).set_defaults(run=run_sql_script)
    trigger = scripts.add_parser(
        "trigger",
        help="the trigger that fills descending columns of TABLE",
        parents=output,
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
        "drop",
        help="the script that drops the trigger of TABLE",
        parents=output,
        description="Print the script that drops the autofill trigger of TABLE, if it exists.",
    )
    drop.add_argument("table", metavar="TABLE", help="the table name, without schema")
    drop.set_defaults(run=run_sql_drop)

    convert = commands.add_parser(
        "convert",
        help="convert a list of identifiers to the other family",
        parents=[*output, _input_options()],
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
    return parser


Command = Callable[[argparse.Namespace, Output], None]


def main(argv: Sequence[str] | None = None) -> int:
    output: Output | None = None
    caught = _catch_termination()
    try:
        args = build_parser().parse_args(argv)
        run = cast(Command, args.run)
        output = Output(args.output)
        progress = cast("bool | None", getattr(args, "progress", False))
        if progress is None:
            progress = _is_terminal(sys.stderr) and not output.is_terminal
        _PROGRESS.enabled = progress
        run(args, output)
        output.commit()
    except CliError as exc:
        return _fail(str(exc), exc.status)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly. Standard output
        # now points to nowhere, so that the interpreter's last flush of what
        # is still buffered does not complain.
        _PROGRESS.end()
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_STREAM
    except KeyboardInterrupt:
        _PROGRESS.end()
        return EXIT_INTERRUPTED
    except _Terminated as exc:
        _PROGRESS.end()
        return 128 + exc.signum
    except MemoryError:
        return _fail("out of memory", EXIT_DATA)
    except (PanicException, ValueError, TypeError, OverflowError, OSError) as exc:
        return _fail(str(exc), EXIT_DATA)
    finally:
        if output is not None:
            output.discard()
        for signum in caught:
            signal.signal(signum, signal.SIG_DFL)
    return 0


def _fail(message: str, status: int) -> int:
    _PROGRESS.end()
    _stderr_write(f"{PROG}: error: {escape(message)}\n")
    return status


# ---------------------------------------------------------------------------
# inspect

Reading = dict[str, object]


def _utc_time(count: int, unit: str, epoch_ms: int) -> str | None:
    """The UTC date and time `count` units after the epoch, to the unit's
    precision, or None outside the years 1 to 9999."""
    digits = _UNIT_DIGITS[unit]
    per_second = 10**digits
    seconds, fraction = divmod(count + epoch_ms * 10 ** (digits - 3), per_second)
    try:
        moment = _UNIX_EPOCH + timedelta(seconds=seconds)
    except OverflowError:
        return None
    return f"{moment.isoformat(timespec='seconds')}.{fraction:0{digits}d}Z"


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
        fields["time"] = _utc_time(x.timestamp_ms, "ms", epoch)
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
        fields["time"] = _utc_time(x.timestamp, x.precision, epoch)
    return fields


def inspect_sorn(text: str, epoch: int | None = None) -> dict[str, object]:
    asc = SornId.from_str(text)
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


def inspect_quib(text: str, epoch: int | None = None) -> dict[str, object]:
    asc = parse_quib(text)
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


def inspect_one(text: str, epoch: int | None = None) -> dict[str, object]:
    """Decodes one identifier text; the ValueError names the text when it is none."""
    text = text.strip().removeprefix("\ufeff")
    try:
        if _DECIMAL.fullmatch(text):
            try:
                return inspect_sorn(text, epoch)
            except ValueError:
                # 32 decimal digits are also 32 hexadecimal ones.
                if len(text) != 32:
                    raise
        return inspect_quib(text, epoch)
    except ValueError as exc:
        message = str(exc)
        # A command-line argument that is not UTF-8 holds surrogates, which
        # the parsers refuse as text they cannot encode.
        if message.startswith("invalid QuibId string: ") or isinstance(exc, UnicodeError):
            message = "not a decimal SornId or a UUID text"
        raise ValueError(f"{clip(text)!r}: {message.replace(text, clip(text))}") from None


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
    with _input_items(path, args.column, args.header) as items:
        if ids:
            yield ids
        yield from items


def run_inspect(args: argparse.Namespace, out: Output) -> None:
    epoch = cast("int | None", args.epoch)

    def record(text: str) -> dict[str, object]:
        return inspect_one(text, epoch)

    count = 0
    # Closed on every way out, so that a bad ID closes the file too.
    with contextlib.closing(_inspect_batches(args)) as batches:
        for batch in batches:
            if isinstance(batch, list):
                try:
                    records = [record(t) for t in batch]
                except ValueError as exc:
                    raise CliError(str(exc)) from None
            else:
                records = _parse_batch(batch, record)
            if args.json:
                # The same text as json.dumps(all_records, indent=2), batch by batch.
                for r in records:
                    body = json.dumps(r, indent=2).replace("\n", "\n  ")
                    out.write(("[\n  " if count == 0 else ",\n  ") + body)
                    count += 1
            else:
                for r in records:
                    out.write(("" if count == 0 else "\n") + format_inspection(r))
                    count += 1
    if args.json:
        out.write("\n]\n" if count else "[]\n")


# ---------------------------------------------------------------------------
# sql


def run_sql_script(args: argparse.Namespace, out: Output) -> None:
    out.write(cast(str, getattr(mssql_schema, _SQL_SCRIPTS[args.script])))


def _column_pair(text: str) -> tuple[str, str]:
    src, sep, dst = text.partition(":")
    if not sep or ":" in dst:
        raise CliError(f"column pair must be SRC:DST, got {text!r}", status=EXIT_USAGE)
    return src, dst


def run_sql_trigger(args: argparse.Namespace, out: Output) -> None:
    pairs = [_column_pair(p) for p in args.pairs]
    out.write(mssql_schema.mssql_install_autofill_trigger_for_table(args.table, pairs, args.kind))


def run_sql_drop(args: argparse.Namespace, out: Output) -> None:
    out.write(mssql_schema.mssql_drop_autofill_trigger_for_table(args.table))


# ---------------------------------------------------------------------------
# convert


def _csv_pairs(pairs: Iterable[tuple[object, object]]) -> str:
    return "".join(f"{a},{b}\n" for a, b in pairs)


def _convert_to_quib(args: argparse.Namespace, out: Output) -> None:
    # An unusable QUIBID_PRECISION fails here, before anything is written.
    SornId.batch_to_quibids([])
    with _input_items(args.file, args.column, args.header) as batches:
        if not args.no_header:
            out.write("sornid,quibid\n")
        done = 0
        for batch in batches:
            ids = _parse_batch(batch, SornId.from_str)
            out.write(_csv_pairs(SornId.batch_to_quibids(ids)))
            done += len(ids)
            _PROGRESS.show(f"converted {done:,} identifiers")


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
    with _input_items(args.file, args.column, args.header) as batches:
        for batch in batches:
            ids.extend(_parse_batch(batch, QuibId.from_str, parse_quib))
            _PROGRESS.show(f"read {len(ids):,} identifiers")
    _PROGRESS.show(f"checking {len(ids):,} identifiers")
    conflicts = sornid_conflicts(ids)
    if conflicts:
        _PROGRESS.end()
        if args.json:
            # On standard output even with -o FILE, which a failed run leaves alone.
            report = out if out.path == "-" else Output("-")
            report.write(json.dumps([_conflict_record(c) for c in conflicts], indent=2) + "\n")
            report.commit()
            where = "written as JSON"
        else:
            for conflict in conflicts:
                _stderr_write(f"{PROG}: conflict: {_conflict_summary(conflict)}\n")
            where = "listed above"
        noun = "conflict" if len(conflicts) == 1 else "conflicts"
        raise CliError(f"{len(conflicts)} {noun} ({where}): nothing converted")
    pairs = QuibId.batch_to_sornids(ids)
    del ids
    if not args.no_header:
        out.write("quibid,sornid\n")
    for start in range(0, len(pairs), BATCH_LINES):
        out.write(_csv_pairs(pairs[start : start + BATCH_LINES]))
        _PROGRESS.show(f"wrote {min(start + BATCH_LINES, len(pairs)):,} of {len(pairs):,} pairs")


def run_convert(args: argparse.Namespace, out: Output) -> None:
    convert = _convert_to_quib if args.target == "quib" else _convert_to_sorn
    convert(args, out)
    _PROGRESS.end()
