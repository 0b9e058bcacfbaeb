"""The type information says what works at run time: the module-like object
of mssql_schema has the runtime's members with their parameters (stubtest
does not look inside it), and a type checker refuses what fails at run
time."""
import ast
import inspect
import os
import textwrap
from pathlib import Path

import pytest

from _sornquibid import mssql_schema
from conftest import SANITIZED

STUB = Path(__file__).resolve().parents[1] / "python" / "_sornquibid-stubs" / "__init__.pyi"


def _protocol_members():
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "_MssqlSchema")
    members = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
            members[node.name] = None if is_property else [a.arg for a in node.args.args[1:]]
    return members


def test_mssql_schema_stub_has_the_runtime_members():
    members = _protocol_members()
    assert list(members) == ["__name__", "__all__", *mssql_schema.__all__]
    for name in mssql_schema.__all__:
        value = getattr(mssql_schema, name)
        if callable(value):
            assert members[name] == list(inspect.signature(value).parameters), name
        else:
            assert members[name] is None and isinstance(value, str), name


# Each line marked "error" must be refused by the type checker, each other
# line accepted.
SNIPPET = """
import _sornquibid.mssql_schema  # error
from _sornquibid import QuibId, QuibIdDesc, SornId, mssql_schema
import sornquibid
QuibId()  # error
QuibIdDesc()  # error
QuibId("00000000-0000-8000-8000-000000000000")  # error
SornId(5)
text: str = mssql_schema.DESC_FLIP_TSQL
script: str = mssql_schema.mssql_install_autofill_trigger_for_table("t", [("a", "b")], "sorn")
mssql_schema.mssql_drop_autofill_trigger_for_table(table="t")
mssql_schema.mssql_drop_autofill_trigger_for_table(5)  # error
mssql_schema.DESC_FLIP_TSQL = "x"  # error
mssql_schema.no_such_member  # error
def report(e: sornquibid.PanicException) -> BaseException:
    return e
try:
    sornquibid.SornId.batch_to_quibids([SornId(1)])
except sornquibid.PanicException as e:
    report(e)
"""


@pytest.mark.skipif(SANITIZED, reason="the type checker is not what the sanitizers look at")
def test_type_checker_refuses_what_fails_at_run_time(tmp_path):
    api = pytest.importorskip("mypy.api")
    source = tmp_path / "snippet.py"
    source.write_text(textwrap.dedent(SNIPPET))
    out, _, _ = api.run([
        "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
        "--warn-unused-ignores", str(source),
    ])
    lines = source.read_text().splitlines()
    refused = {int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line}
    expected = {n for n, line in enumerate(lines, 1) if line.endswith("# error")}
    assert refused == expected, out
