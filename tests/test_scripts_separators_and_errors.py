"""sql_batches at GO lines that carry a comment, and the error execute_sql
raises when the cursor fails to close after a failed batch."""

import pytest

from sornquibid import execute_sql, sql_batches


@pytest.mark.parametrize(
    "script, batches",
    [
        # A GRANT after "GO -- comment" must not become part of the procedure.
        (
            "CREATE OR ALTER PROCEDURE dbo.p AS SELECT 1\nGO -- end of dbo.p\n"
            "GRANT EXECUTE ON dbo.p TO app_role\nGO\n",
            ["CREATE OR ALTER PROCEDURE dbo.p AS SELECT 1\n", "GRANT EXECUTE ON dbo.p TO app_role\n"],
        ),
        ("A\n  go\t--x\nB\ngo--\nC", ["A\n", "B\n", "C"]),
        ("A\r\nGO -- CRLF\r\nB\r\nGO -- GO 2\r\n", ["A\r\n", "B\r\n"]),
        # Only a comment may follow: anything else keeps the line in its batch.
        ("A\nGO - x\nGO /* c */\n", ["A\nGO - x\nGO /* c */\n"]),
    ],
)
def test_go_followed_by_a_comment_separates(script, batches):
    assert sql_batches(script) == batches


@pytest.mark.parametrize("line", ["GO 2 -- twice", "go 3--x", "  Go 10\t-- c\r"])
def test_repeat_count_followed_by_a_comment_is_refused(line):
    with pytest.raises(ValueError) as info:
        sql_batches(f"SELECT 1;\nGO\nINSERT t DEFAULT VALUES;\n{line}\nSELECT 2;\n")
    assert str(info.value) == (
        f"line 4: {line.strip()!r} asks to run a batch several times; "
        "write the batch out that many times instead"
    )


class Cursor:
    """A DB-API cursor that fails the batch `fail_on` and, when `close_fails`,
    its own closing, as after a dropped connection."""

    def __init__(self, fail_on, close_fails):
        self.fail_on = fail_on
        self.close_fails = close_fails
        self.calls = []

    def execute(self, operation):
        self.calls.append(operation)
        if operation == self.fail_on:
            raise RuntimeError("server says no")

    def close(self):
        self.calls.append("close")
        if self.close_fails:
            raise ConnectionError("connection dropped")


class Connection:
    def __init__(self, cursor):
        self._cursor = cursor

    def cursor(self):
        return self._cursor


@pytest.mark.parametrize(
    "fail_on, close_fails, raised, notes",
    [
        ("B\n", True, RuntimeError("server says no"),
         ["closing the cursor then failed too: ConnectionError: connection dropped"]),
        ("B\n", False, RuntimeError("server says no"), None),
        # With every batch done, the failure to close is the failure.
        (None, True, ConnectionError("connection dropped"), None),
    ],
)
def test_the_batch_error_is_raised_and_the_close_failure_attached(fail_on, close_fails, raised, notes):
    cursor = Cursor(fail_on, close_fails)
    with pytest.raises(type(raised)) as info:
        execute_sql(Connection(cursor), "A\nGO\nB\nGO\nC\n")
    assert str(info.value) == str(raised)
    assert getattr(info.value, "__notes__", None) == notes
    assert cursor.calls == (["A\n", "B\n", "close"] if fail_on else ["A\n", "B\n", "C\n", "close"])
