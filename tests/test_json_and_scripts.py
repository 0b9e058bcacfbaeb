"""json_default, sql_batches and execute_sql of the sornquibid package, and the
rule that importing the package imports none of the integrated frameworks."""
import json

import pytest

import sornquibid
from conftest import run_python, timeline
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, execute_sql, mssql_schema, sql_batches

CLASSES = [SornId, SornIdDesc, QuibId, QuibIdDesc]


def test_importing_the_package_imports_no_framework():
    loaded = run_python(
        "import sys, sornquibid\n"
        "print(sorted(m for m in ('sqlalchemy', 'django', 'pydantic') if m in sys.modules))"
    )
    assert loaded == "[]"


@pytest.mark.parametrize("cls", CLASSES)
def test_json_default_writes_the_text_form(cls):
    values = timeline(cls)
    text = json.dumps({"ids": values, "none": None}, default=sornquibid.json_default)
    assert json.loads(text) == {"ids": [str(v) for v in values], "none": None}
    assert [cls.from_str(t) for t in json.loads(text)["ids"]] == values


@pytest.mark.parametrize("obj", [object(), b"\x00" * 16, {1, 2}])
def test_json_default_refuses_other_objects_as_json_does(obj):
    with pytest.raises(TypeError) as own:
        json.dumps(obj, default=sornquibid.json_default)
    with pytest.raises(TypeError) as plain:
        json.dumps(obj)
    assert str(own.value) == str(plain.value)


# ---------------------------------------------------------------------------
# sql_batches


LIBRARY_SCRIPTS = [
    *(
        getattr(mssql_schema, name)
        for name in ("DESC_FLIP_TSQL", "DESC_GENERATORS_TSQL", "BULK_BACKFILL_TSQL", "INSTALL_ALL_DESC_TSQL")
    ),
    mssql_schema.mssql_install_autofill_trigger_for_table("orders", [("id", "id_desc"), ("p", "p_desc")], "sorn"),
    mssql_schema.mssql_drop_autofill_trigger_for_table("orders"),
]


@pytest.mark.parametrize("script", LIBRARY_SCRIPTS)
def test_library_scripts_split_at_every_go_line(script):
    batches = sql_batches(script)
    assert len(batches) == script.split("\n").count("GO")
    # Nothing lost or added: the separators put back give the script.
    assert "GO\n".join(batches) + "GO\n" == script
    assert all("GO" not in batch.split("\n") and batch.strip() for batch in batches)


@pytest.mark.parametrize(
    "script, batches",
    [
        ("", []),
        ("SELECT 1;", ["SELECT 1;"]),
        ("SELECT 1;\n", ["SELECT 1;\n"]),
        # Case and surrounding blanks do not matter; CRLF line ends work.
        ("A\ngo\nB\n  Go \t\nC\r\nGO\r\nD", ["A\n", "B\n", "C\r\n", "D"]),
        # Batches of blanks alone are not sent.
        ("GO\n\nGO\n \nA\nGO\n\n", [" \nA\n"]),
        # GO inside a line, or as part of a word, is no separator.
        ("SELECT 'GO'\nGOTO x\nGO;\n-- GO\n", ["SELECT 'GO'\nGOTO x\nGO;\n-- GO\n"]),
    ],
)
def test_separators(script, batches):
    assert sql_batches(script) == batches


def test_repeat_count_is_refused():
    with pytest.raises(ValueError) as info:
        sql_batches("SELECT 1;\nGO\nINSERT t DEFAULT VALUES;\n go 3\n")
    assert str(info.value) == "line 4: 'go 3' asks to run a batch several times; write the batch out that many times instead"


def test_script_must_be_text():
    with pytest.raises(TypeError, match="^script must be str, not bytes$"):
        sql_batches(b"SELECT 1;\nGO\n")


# ---------------------------------------------------------------------------
# execute_sql


class FakeConnection:
    """A DB-API connection that records what its cursors are asked to do."""

    def __init__(self, fail_on=None):
        self.calls = []
        self.fail_on = fail_on

    def cursor(self):
        self.calls.append("cursor")
        return FakeCursor(self)


class FakeCursor:
    def __init__(self, connection):
        self.connection = connection

    def execute(self, operation):
        self.connection.calls.append(("execute", operation))
        if operation == self.connection.fail_on:
            raise RuntimeError("server says no")

    def close(self):
        self.connection.calls.append("close")


def test_execute_sql_sends_each_batch_in_order_through_one_cursor():
    script = mssql_schema.INSTALL_ALL_DESC_TSQL
    connection = FakeConnection()
    assert execute_sql(connection, script) is None
    assert connection.calls == ["cursor", *(("execute", b) for b in sql_batches(script)), "close"]


def test_execute_sql_stops_at_a_failing_batch_and_closes_the_cursor():
    connection = FakeConnection(fail_on="B\n")
    with pytest.raises(RuntimeError, match="server says no"):
        execute_sql(connection, "A\nGO\nB\nGO\nC\nGO\n")
    assert connection.calls == ["cursor", ("execute", "A\n"), ("execute", "B\n"), "close"]


def test_execute_sql_sends_nothing_of_a_refused_script():
    connection = FakeConnection()
    with pytest.raises(ValueError):
        execute_sql(connection, "A\nGO\nB\nGO 2\n")
    assert connection.calls == []
