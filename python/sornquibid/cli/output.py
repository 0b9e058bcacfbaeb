"""Where a command writes (standard output or -o FILE), and the progress
line on standard error."""

from __future__ import annotations

import argparse
import errno
import fcntl
import io
import os
import re
import signal
import stat
import sys
import tempfile
import threading
from typing import IO, Any

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

    A FILE that names a descriptor this process has open (/dev/stdout,
    /dev/stderr, /dev/fd/N, /proc/self/fd/N) is written through that
    descriptor, where it stands, as the shell does: what was written before
    stays, and an append stays an append. Any other FILE that is not a
    regular file (/dev/null, a named pipe) is written directly.

    A regular FILE is changed only when the command succeeds. The output goes
    to a temporary file beside it, which then replaces it with FILE's
    permissions and owner. Where a new file would not be FILE any more (FILE
    has other hard links, or an owner or group this process may not give),
    or where no temporary file can be made beside it (a directory this
    process may not write), FILE is kept and written in place once the whole
    output is ready, as the shell's > writes it.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.name = "standard output" if path == "-" else path
        self._temp: bytes | None = None  # the temporary file beside FILE
        self._target = ""  # FILE's real path
        self._file: int | None = None  # FILE opened for writing in place
        self._in_place = False
        self._created = False  # FILE did not exist and was made by this run
        self._owned = False  # _stream is this output's own, to be closed
        self._stream: IO[bytes]
        if path == "-":
            if sys.stdout is None:
                raise CliError("standard output is closed", EXIT_STREAM)
            self._stream = sys.stdout.buffer
            return
        with self._guard():
            try:
                self._stream = self._open(path)
            except BaseException:
                self.discard()
                raise
            self._owned = True

    def _open(self, path: str) -> IO[bytes]:
        descriptor = _descriptor_named(path)
        if descriptor is not None:
            # Where the descriptor stands, with its flags (O_APPEND).
            return os.fdopen(os.dup(descriptor), "wb")
        # FILE itself, not its real path: that of another process's
        # /proc/PID/fd/N may be no path at all ("pipe:[1234]").
        try:
            status: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            # As the shell's > has it: "" names nothing, "new/" a directory.
            if not path:
                raise
            if not os.path.basename(path):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path) from None
            status = None
        if status is not None and not stat.S_ISREG(status.st_mode):
            return open(path, "wb")
        return self._open_file(os.path.realpath(path), status is not None)

    def _open_file(self, target: str, exists: bool) -> IO[bytes]:
        self._target = target
        if exists:
            # Opening FILE for writing (without changing it) asks the system
            # whether the shell's > may write it; a run that fails after this
            # leaves it as it was.
            self._file = os.open(target, os.O_WRONLY)
        try:
            fd, self._temp = _temporary_beside(target)
        except OSError:
            if self._file is None:
                # Made now, where > would make it, or refused as > refuses it.
                self._file = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                self._created = True
            self._in_place = True
            return tempfile.TemporaryFile()
        stream = os.fdopen(fd, "wb")
        if self._file is not None:
            status = os.fstat(self._file)
            self._in_place = status.st_nlink > 1 or not _give_owner(fd, status)
        return stream

    @property
    def is_terminal(self) -> bool:
        return self._stream.isatty()

    def _guard(self) -> ErrorContext:
        return ErrorContext(f"cannot write {self.name}")

    def write(self, text: str) -> None:
        # Bytes, so that scripts keep their line feeds and UTF-8 on any platform.
        with self._guard():
            self._stream.write(text.encode("utf-8", "surrogateescape"))

    def write_bytes(self, data: bytes | memoryview) -> None:
        with self._guard():
            self._stream.write(data)

    def sink(self) -> _Sink:
        """A binary file on this output for the writers of Parquet and Arrow
        files, which ask where they are (tell) as they write; closing it
        leaves the output open."""
        return _Sink(self)

    def commit(self) -> None:
        """Makes the output complete: flushed, and FILE replaced or written."""
        with self._guard():
            self._stream.flush()
            if self._in_place:
                self._write_in_place()
            elif self._temp is not None:
                self._replace()
            self._close()

    def _replace(self) -> None:
        assert self._temp is not None
        try:
            mode = stat.S_IMODE(os.stat(self._target).st_mode)
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        fd = self._stream.fileno()
        os.fchmod(fd, mode)
        os.fsync(fd)
        try:
            os.replace(self._temp, self._target)
        except OSError:
            if self._file is None:
                raise
            # FILE cannot be replaced (a mount point, say), but written.
            self._write_in_place()
            return
        self._temp = None

    def _write_in_place(self) -> None:
        assert self._file is not None
        # An interrupt now would leave FILE cut short: it waits until FILE
        # is written.
        held = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, held)
        try:
            source = self._stream.fileno()
            os.ftruncate(self._file, 0)
            offset = 0
            while chunk := os.pread(source, 1 << 20, offset):
                offset += len(chunk)
                view = memoryview(chunk)
                while view:
                    view = view[os.write(self._file, view) :]
            os.fsync(self._file)
            self._created = False
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def _close(self) -> None:
        if self._owned:
            self._owned = False
            self._stream.close()
        if self._temp is not None:
            os.unlink(self._temp)
            self._temp = None
        if self._file is not None:
            fd, self._file = self._file, None
            os.close(fd)
        self._in_place = False

    def discard(self) -> None:
        """Undoes what an uncommitted FILE output did: its temporary file is
        removed, and so is a FILE it made; a no-op after commit."""
        if self._created:
            self._created = False
            try:
                os.unlink(self._target)
            except OSError:
                pass
        try:
            self._close()
        except OSError:
            pass


class _Sink(io.RawIOBase):
    def __init__(self, out: Output) -> None:
        super().__init__()
        self._out = out
        self._position = 0
        self._dropped = False

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = memoryview(data)
        if not self._dropped:
            self._out.write_bytes(view)
        self._position += view.nbytes
        return view.nbytes

    def drop(self) -> None:
        """Lets what is written from now on go nowhere: a writer given up
        after a failure may still finish its file when it is let go."""
        self._dropped = True

    def tell(self) -> int:
        return self._position


# Whether a path names a descriptor is decided by the directory it lies in:
# /proc/PID/fd of this process (/proc/self/fd, and /dev/fd on Linux) or of
# this thread, or /dev/fd where it is a directory of its own (the BSDs).
_NUMBER = re.compile(r"0|[1-9][0-9]*")
# Symbolic links followed at most, as many as Linux follows in a path.
_MAX_LINKS = 40


def _descriptor_named(path: str) -> int | None:
    """The descriptor of this process that `path` names (/dev/stdout,
    /dev/fd/N, /proc/self/fd/N, a symbolic link to one of them), if any;
    OSError when that descriptor is closed or not open for writing."""
    pid = os.getpid()
    own = {f"/proc/{pid}/fd", f"/proc/{pid}/task/{threading.get_native_id()}/fd", "/dev/fd"}
    for _ in range(_MAX_LINKS):
        directory, name = os.path.split(path)
        if _NUMBER.fullmatch(name) and os.path.realpath(directory or ".") in own:
            descriptor = int(name)
            try:
                readable_only = fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDONLY
            except OverflowError:  # beyond any descriptor
                readable_only = True
            if readable_only:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF), path)
            return descriptor
        try:
            link = os.readlink(path)
        except OSError:
            return None
        path = os.path.join(directory, link)
    return None


def _temporary_beside(target: str) -> tuple[int, bytes]:
    """A new temporary file in the directory of `target`, named after it
    (cut short where a longer name would not fit), open for reading and
    writing; its descriptor and path."""
    directory, name = os.path.split(os.fsencode(target))
    try:
        name_max = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError):
        name_max = 255
    # "." NAME "." and mkstemp's 8 random characters and ".tmp"
    if name_max > 0:
        name = name[: max(0, name_max - 14)]
    return tempfile.mkstemp(prefix=b"." + name + b".", suffix=b".tmp", dir=directory)


def _give_owner(fd: int, status: os.stat_result) -> bool:
    """Gives the file `fd` the owner and group of `status`; whether it has them."""
    own = os.fstat(fd)
    if (own.st_uid, own.st_gid) == (status.st_uid, status.st_gid):
        return True
    try:
        os.fchown(fd, status.st_uid, status.st_gid)
    except OSError:
        return False
    return True


def output_options() -> argparse.ArgumentParser:
    """The -o option of every command, as a parent parser."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument(
        "-o",
        "--output",
        default="-",
        metavar="FILE",
        help="write to FILE, which is changed only when the command succeeds "
        "(default: standard output)",
    )
    return options
