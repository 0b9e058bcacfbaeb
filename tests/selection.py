"""Which tests, and which test requirements, the portability stages of
.ci/run leave out: a rule on a test module alone, so that a new test file is
placed without editing .ci/run.

A test module is of kind
- "integration" when its file name has one of INTEGRATION_WORDS as a word
  between underscores (test_cli.py, test_guide_examples.py,
  test_spark_columns.py), or its source imports one of those frameworks or
  the package's module for it (`import pyspark`, `from sornquibid.dask
  import ...`, `pytest.importorskip("psycopg")`), or it says
  `pytestmark = pytest.mark.integration`: it reaches past the extension into
  frameworks, servers, engines, the command or the guide;
- "cpython_api" for the leak and thread checks (test_leaks*, test_threads*),
  whose outcome turns on the interpreter's C API (reference counts,
  tracemalloc, the GIL), not on the compiler or the build options;
- None otherwise: a test of the native code (the two extension modules, the
  allocation sweep, the fuzz corpus, and what is added beside them, e.g.
  test_columns*.py or test_generators*.py).

A requirement of the test extra is an integration one when its project name
has one of INTEGRATION_WORDS as a word (sqlalchemy, django-stubs, pyspark).

    python tests/selection.py native-requirements

prints the test extra of pyproject.toml less its integration requirements,
one a line: what the portability stages install besides the project.
"""
import re
import sys
import tomllib
from pathlib import Path

INTEGRATION_WORDS = frozenset((
    "cli guide sqlalchemy django pydantic alembic dbapi psycopg psycopg2 postgres postgresql "
    "pymysql mysqldb mysqlclient mysql mariadb pyodbc pyspark spark dask distributed "
    "fastapi httpx starlette server servers"
).split())
_WORDS = "|".join(sorted(INTEGRATION_WORDS))
_IMPORT = re.compile(
    rf"^\s*(?:from|import)\s+(?:sornquibid\.)?(?:{_WORDS})\b"
    rf"|importorskip\(\s*[\"'](?:sornquibid\.)?(?:{_WORDS})\b"
    r"|^pytestmark\s*=.*\bintegration\b",
    re.MULTILINE | re.IGNORECASE)
MARKERS = {
    "integration": "reaches frameworks, servers, engines, the command or the guide "
                   "(left out by .ci/run's portability stages)",
    "cpython_api": "a leak or thread check: run on every interpreter, not again for every compiler",
}


def module_kind(path):
    """"integration", "cpython_api" or None for the test module at `path`."""
    stem = Path(path).stem.lower()
    if not stem.startswith("test_"):
        return None
    if INTEGRATION_WORDS & set(stem.split("_")) or _IMPORT.search(Path(path).read_text("utf-8")):
        return "integration"
    if stem.startswith(("test_leaks", "test_threads")):
        return "cpython_api"
    return None


def native_requirements(pyproject):
    """The test extra less the requirements named by an integration word."""
    extra = tomllib.loads(Path(pyproject).read_text("utf-8"))["project"]["optional-dependencies"]["test"]
    name = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
    return [req for req in extra
            if not INTEGRATION_WORDS & set(re.split(r"[-_.]", name.match(req)[0].lower()))]


if __name__ == "__main__":
    if sys.argv[1:] != ["native-requirements"]:
        sys.exit(__doc__)
    print(*native_requirements(Path(__file__).resolve().parents[1] / "pyproject.toml"), sep="\n")
