import os
import pathlib
import re
import subprocess
import sys

import pytest
from hypothesis import settings

import engines
import selection
import servers
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

# No deadline for hypothesis examples (200 ms by default): the suite asserts
# no timings, and an example's time depends on the machine's load, on the
# sanitizer build, and on how much the garbage collector has to scan (the
# integration tests load whole frameworks into the process).
settings.register_profile("no-deadline", deadline=None)
settings.load_profile("no-deadline")


def run_python(code, env_updates=None, env_remove=()):
    """Runs `code` in a fresh interpreter; returns its stdout (stripped).

    Fails the test with the child's stderr when it exits non-zero.
    """
    env = dict(os.environ)
    for key in env_remove:
        env.pop(key, None)
    if env_updates:
        env.update(env_updates)
    proc = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
    )
    if proc.returncode != 0:
        pytest.fail(f"child failed ({proc.returncode}):\n{proc.stderr}")
    return proc.stdout.strip()


# Whether the suite runs against the sanitizer build (.ci/run): its runtime
# reserves address space and keeps freed memory in quarantine, so address
# space limits and process size checks do not apply there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ


def timeline(cls):
    """Three identifiers of class `cls` (one of the four), oldest first, all
    of node 5: their stored values sort oldest first for the ascending
    classes and newest first for the descending ones."""
    millis = [1700000000000, 1700000000001, 1700000003600]
    if cls in (SornId, SornIdDesc):
        return [cls.from_parts(ms, 5, 7) for ms in millis]
    return [cls.from_parts(ms * 10**6, "ns", 5, 7) for ms in millis]


# The four classes, each with the name of its column in the integration tests
# and the other form of its family (which its columns refuse).
ID_COLUMNS = [
    (SornId, "sorn", SornIdDesc),
    (SornIdDesc, "sorn_desc", SornId),
    (QuibId, "quib", QuibIdDesc),
    (QuibIdDesc, "quib_desc", QuibId),
]


def refusal(cls, value):
    """The message of a column of class `cls` refusing `value` for its type."""
    stored = "str or int" if cls in (SornId, SornIdDesc) else "str, 16 bytes or uuid.UUID"
    return f"{cls.__name__} value must be {cls.__name__}, {stored}, not {type(value).__name__}"


# The database servers (tests/servers.py): started on first use, once per
# session, and stopped at its end. Where one cannot run, its tests skip with
# the reason; with SORNQUIBID_REQUIRE_SERVERS=1 (CI) they fail instead.
REQUIRE_SERVERS = os.environ.get("SORNQUIBID_REQUIRE_SERVERS") == "1"


def running(found, required):
    """`found`, a running server or engine, or the test's skip with the
    reason `found` gives (its failure where the component is required)."""
    if isinstance(found, str):
        (pytest.fail if required else pytest.skip)(found)
    return found


def server(kind):
    """The running server of `kind`, or the test's skip (failure in CI)."""
    return running(servers.get(kind), REQUIRE_SERVERS)


@pytest.fixture(scope="session")
def postgresql():
    return server("postgresql")


@pytest.fixture(scope="session")
def mariadb():
    return server("mariadb")


# The cluster engines (tests/engines.py): Spark in local mode and a Dask
# local cluster, started on first use, once per session. Where one cannot
# run (pyspark or dask missing, no Java), its tests skip with the reason;
# with SORNQUIBID_REQUIRE_ENGINES=1 (CI) they fail instead.
REQUIRE_ENGINES = os.environ.get("SORNQUIBID_REQUIRE_ENGINES") == "1"


def engine(kind):
    """The running engine of `kind`, or the test's skip (failure in CI)."""
    return running(engines.get(kind), REQUIRE_ENGINES)


@pytest.fixture(scope="session")
def spark():
    return engine("spark")


@pytest.fixture(scope="session")
def dask_client():
    return engine("dask")


def pytest_sessionfinish(session, exitstatus):
    servers.stop_all()
    engines.stop_all()


GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"


def guide_sql(name):
    """The SQL block of the guide marked `<!-- sql: NAME -->`."""
    [block] = re.findall(f"<!-- sql: {name} -->\n```sql\n(.*?)```", GUIDE.read_text(encoding="utf-8"), re.DOTALL)
    return block


# -- What the portability stages of .ci/run run --------------------------------
#
# tests/selection.py gives each test module a kind by a rule on the module
# alone, so that a new test file is placed without editing .ci/run; the kind
# becomes the marker of its tests. --no-integration leaves the integration
# modules uncollected, so that their frameworks need not be installed.


def pytest_addoption(parser):
    parser.addoption("--no-integration", action="store_true",
                     help="collect no integration test module (tests/selection.py)")


def pytest_configure(config):
    for kind, text in selection.MARKERS.items():
        config.addinivalue_line("markers", f"{kind}: {text}")


def pytest_ignore_collect(collection_path, config):
    if (config.getoption("--no-integration") and collection_path.suffix == ".py"
            and selection.module_kind(collection_path) == "integration"):
        return True
    return None


def pytest_collection_modifyitems(config, items):
    kinds = {}
    for item in items:
        if item.path not in kinds:
            kinds[item.path] = selection.module_kind(item.path)
        if kinds[item.path]:
            item.add_marker(kinds[item.path])
    # The engines' tests last: a running engine keeps threads of its own in
    # this process (Dask's event loop, Spark's gateway), whose allocations
    # the leak checks would count.
    uses_engine = [bool({"spark", "dask_client"} & set(getattr(item, "fixturenames", ())))
                   for item in items]
    items[:] = [i for i, e in zip(items, uses_engine) if not e] + [
        i for i, e in zip(items, uses_engine) if e]
