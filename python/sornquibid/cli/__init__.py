"""The `sornquibid` command: decode identifiers, print the SQL Server scripts,
and convert identifier lists between the 64-bit and the 128-bit family.

Exit statuses: 0 on success; 1 for bad input or data, or a file that cannot
be read or written (or needs pyarrow, which is missing); 2 for a malformed
command line, or Parquet or Arrow output to a terminal; 3 when standard input or
output is closed, or the reader of the output went away (a broken pipe);
130 when interrupted; 128 + N when ended by signal N (SIGTERM, SIGHUP).
Every failure ends with one line on standard error, except a broken pipe,
which ends quietly. No traceback is shown, also not for the library's
PanicException (a BaseException, raised for instance by an invalid
QUIBID_PRECISION). Control characters of the input are escaped in messages,
so that they cannot act on the operator's terminal.

One module per command: inspect.py, convert.py and sql.py. What the
commands read is in input.py (the converter's text chunks in chunks.py, its
input in pieces in sources.py), what they write in output.py (the
converter's outputs in writers.py, Parquet and Arrow files in tables.py);
plan.py is what a conversion reads and writes by its command line, and
errors.py the messages and exit statuses.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn, cast

from .. import PanicException
from . import convert, inspect, sql
from .errors import (
    EXIT_DATA,
    EXIT_INTERRUPTED,
    EXIT_STREAM,
    EXIT_USAGE,
    PROG,
    CliError,
    Terminated,
    catch_termination,
    escape,
    stderr_write,
)
from .output import PROGRESS, Output, is_terminal


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are a single line, and whose help
    and version reach a closed or broken standard output as errors."""

    def error(self, message: str) -> NoReturn:
        hint = f" (try '{self.prog} --help')"
        self.exit(EXIT_USAGE, f"{PROG}: error: {escape(message)}{hint}\n")

    def _print_message(self, message: str, file: object = None) -> None:
        if file is sys.stderr or not message:
            stderr_write(message)
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
        from .. import __version__

        parser._print_message(f"{PROG} {__version__}\n", sys.stdout)
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Decode time-ordered identifiers, print the SQL Server scripts "
        "and convert identifier lists between SornId and QuibId.",
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    # Each command adds its own subcommand, in the order of the help.
    for command in (inspect, sql, convert):
        command.add_parser(commands)
    return parser


# What a command's `run` default is: it writes to the output it is given.
Command = Callable[[argparse.Namespace, Output], None]


def main(argv: Sequence[str] | None = None) -> int:
    output: Output | None = None
    caught = catch_termination()
    try:
        args = build_parser().parse_args(argv)
        run = cast(Command, args.run)
        output = Output(args.output)
        progress = cast("bool | None", getattr(args, "progress", False))
        if progress is None:
            progress = is_terminal(sys.stderr) and not output.is_terminal
        PROGRESS.enabled = progress
        run(args, output)
        output.commit()
    except CliError as exc:
        return _fail(str(exc), exc.status)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly. Standard output
        # now points to nowhere, so that the interpreter's last flush of what
        # is still buffered does not complain.
        PROGRESS.end()
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_STREAM
    except KeyboardInterrupt:
        PROGRESS.end()
        return EXIT_INTERRUPTED
    except Terminated as exc:
        PROGRESS.end()
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
    PROGRESS.end()
    stderr_write(f"{PROG}: error: {escape(message)}\n")
    return status
