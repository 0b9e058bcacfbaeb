"""Where a command writes (standard output or -o FILE), and the progress
line on standard error."""

from __future__ import annotations

import argparse
import errno
import os
import stat
import sys
import tempfile
from typing import IO

from .errors import EXIT_STREAM, PROG, CliError, ErrorContext, stderr_write


class Progress:
    """A status line on standard error, rewritten in place on a terminal."""

    def __init__(self) -> None:
        self.enabled = False
        self._shown = False

    def show(self, message: str) -> None:
        if not self.enabled or sys.stderr is None:
            return
        if sys.stderr.isatty():
            stderr_write(f"\r{PROG}: {message}\x1b[K")
            self._shown = True
        else:
            stderr_write(f"{PROG}: {message}\n")

    def end(self) -> None:
        if self._shown:
            stderr_write("\n")
            self._shown = False


PROGRESS = Progress()


def is_terminal(stream: IO[str] | None) -> bool:
    return stream is not None and stream.isatty()


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

    def _guard(self) -> ErrorContext:
        return ErrorContext(f"cannot write {self.name}")

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


def output_options() -> argparse.ArgumentParser:
    """The -o option of every command, as a parent parser."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument(
        "-o",
        "--output",
        default="-",
        metavar="FILE",
        help="write to FILE, which is replaced only when the command succeeds "
        "(default: standard output)",
    )
    return options
