"""How a run of the command fails: exit statuses, the one-line message on
standard error, and the signals that end a run as an interrupt does."""

from __future__ import annotations

import signal
import sys

PROG = "sornquibid"

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_STREAM = 3
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure reported as one line on standard error."""

    def __init__(self, message: str, status: int = EXIT_DATA) -> None:
        super().__init__(message)
        self.status = status


class ErrorContext:
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


def stderr_write(text: str) -> None:
    # Reporting must not fail in turn: a closed or broken standard error
    # leaves only the exit status.
    try:
        if sys.stderr is not None:
            sys.stderr.write(text)
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


class Terminated(BaseException):
    """SIGTERM or SIGHUP, which end a run as an interrupt does."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _terminate(signum: int, frame: object) -> None:
    raise Terminated(signum)


def catch_termination() -> list[int]:
    """Makes SIGTERM and SIGHUP raise Terminated where they have their default
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
