"""The guide's worked example of Spark's JDBC reader and writer, run in
this process on the test session's Spark (its getOrCreate() returns that
session), in a directory of its own: it must print exactly the text block
that follows it."""
import contextlib
import io
import os
import re

import pytest

from conftest import GUIDE
from engines import SQLITE_JDBC


def example(name):
    [(code, output)] = re.findall(
        f"<!-- spark-example: {name} -->\n```python\n(.*?)```\n[^`]*```text\n(.*?)```",
        GUIDE.read_text(encoding="utf-8"), re.DOTALL)
    return code, output


def test_jdbc_example_prints_what_the_guide_shows(spark, tmp_path, monkeypatch):
    if not os.path.exists(SQLITE_JDBC):
        from conftest import REQUIRE_ENGINES

        (pytest.fail if REQUIRE_ENGINES else pytest.skip)(
            f"no SQLite JDBC driver at {SQLITE_JDBC} (Debian: libxerial-sqlite-jdbc-java)")
    code, output = example("jdbc")
    assert "/usr/share/java/sqlite-jdbc.jar" in code
    monkeypatch.chdir(tmp_path)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, "guide-jdbc-example", "exec"), {"__name__": "guide_example"})
    assert printed.getvalue() == output
