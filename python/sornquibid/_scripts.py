"""Running the SQL Server scripts through a DB-API connection.

The scripts are batches separated by lines that read "GO". "GO" is no T-SQL
statement: SQL Server's own tools (sqlcmd, Management Studio) split a script
at these lines and send each batch on its own, and a program that runs a
script through a database driver has to do the same.
"""

from __future__ import annotations

import re
from typing import Protocol

# A separator line, as sqlcmd reads one: GO in any letter case, with blanks
# around it allowed, and a "--" comment after it. The line is taken without
# its line feed; a carriage return before it (a script with CRLF line ends)
# is a blank, or the end of the comment.
_SEPARATOR = re.compile(r"[ \t]*go[ \t]*(?:--.*)?\r?", re.IGNORECASE)
# "GO 3" makes sqlcmd run the batch three times.
_SEPARATOR_WITH_COUNT = re.compile(r"[ \t]*go[ \t]+[0-9]+[ \t]*(?:--.*)?\r?", re.IGNORECASE)


def sql_batches(script: str) -> list[str]:
    """The batches of `script`, in order, without its "GO" separator lines.

    A separator is a line that reads GO in any letter case, with nothing else
    on it but blanks and, at its end, a "--" comment. Each batch is the text between two separators exactly as
    it stands, line feeds and comments included; batches of blanks alone (the
    empty text after a final GO) are left out. Separators are recognised
    without regard to comments and string literals, as sqlcmd does. A "GO n"
    line (run the batch n times), with or without a comment, raises
    ValueError rather than being sent.
    """
    if not isinstance(script, str):
        raise TypeError(f"script must be str, not {type(script).__name__}")
    lines = script.split("\n")
    batches: list[str] = []
    start = 0
    for number, line in enumerate(lines):
        if _SEPARATOR.fullmatch(line):
            # Each line before a separator ended with a line feed.
            _append(batches, "".join(text + "\n" for text in lines[start:number]))
            start = number + 1
        elif _SEPARATOR_WITH_COUNT.fullmatch(line):
            raise ValueError(
                f"line {number + 1}: {line.strip()!r} asks to run a batch "
                "several times; write the batch out that many times instead"
            )
    _append(batches, "\n".join(lines[start:]))
    return batches


def _append(batches: list[str], batch: str) -> None:
    if batch.strip():
        batches.append(batch)


class _Cursor(Protocol):
    def execute(self, operation: str, /) -> object: ...
    def close(self) -> object: ...


class _Connection(Protocol):
    def cursor(self) -> _Cursor: ...


def execute_sql(connection: _Connection, script: str) -> None:
    """Executes the batches of `script` (see `sql_batches`) in order through
    one cursor of the DB-API `connection`, which it closes at the end.

    The script is split before anything is sent, so a malformed script sends
    nothing. Transactions are the connection's: with autocommit off, the
    caller commits. The first failing batch raises the driver's exception and
    stops the run; the batches before it have been executed. When closing the
    cursor then fails too, that failure is a note of the batch's exception.
    """
    batches = sql_batches(script)
    cursor = connection.cursor()
    try:
        for batch in batches:
            cursor.execute(batch)
    except BaseException as error:
        # The batch's error is what the caller needs; a cursor that cannot be
        # closed after it (as after a dropped connection) is only a note.
        try:
            cursor.close()
        except Exception as close_error:
            error.add_note(
                f"closing the cursor then failed too: {type(close_error).__name__}: {close_error}"
            )
        raise
    cursor.close()
