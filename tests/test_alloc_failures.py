"""The allocation-failure sweep: every operation of the catalog, on its
success path and on each failure path, has its k-th allocation fail for every
k until the call completes, once through C++ operator new and once through the
interpreter's allocators. Each probe must end as the call ends without the
failure or with MemoryError: never an abort, a crash, a SystemError, another
result, or memory and references kept. The probes run in child processes
(alloc/sweep.py); a child that dies is replaced by a new one that goes on
after the operation it died in."""
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import SANITIZED
from ops_catalog import all_ops

ALLOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "alloc")
OPS = all_ops()
FAMILIES = sorted({re.match(r"[A-Za-z]+", op.name).group() for op in OPS})

try:
    from _testcapi import set_nomemory  # noqa: F401
    HAVE_SET_NOMEMORY = True
except ImportError:
    HAVE_SET_NOMEMORY = False


@pytest.fixture(scope="session")
def failing_new(tmp_path_factory):
    # Where no compiler is reachable (an installed wheel tested on a machine
    # without one), CXX may name a command that is not on PATH.
    cxx = os.environ.get("CXX")
    cxx = shutil.which(cxx) if cxx else shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.skip("no C++ compiler to build the failing operator new")
    lib = tmp_path_factory.mktemp("alloc") / "failing_new.so"
    subprocess.run([cxx, "-std=c++17", "-O2", "-shared", "-fPIC", "-o", str(lib),
                    os.path.join(ALLOC, "failing_new.cpp")], check=True)
    return str(lib)


def child_env(kind, lib):
    env = dict(os.environ, FAILING_NEW=lib)
    if kind == "new":
        # First, so that its operator new is the one the extension binds to;
        # the sanitizer's runtime then need not come first.
        env["LD_PRELOAD"] = ":".join(filter(None, [lib, env.get("LD_PRELOAD")]))
        if SANITIZED:
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


def run_child(kind, lib, args, env=None):
    proc = subprocess.run(
        [sys.executable, os.path.join(ALLOC, "sweep.py"), kind, *args],
        env=dict(child_env(kind, lib), **(env or {})), capture_output=True, text=True,
        timeout=600,
    )
    lines = proc.stdout.splitlines()
    problems = [line for line in lines if line.startswith(("bad ", "leak "))]
    last = None
    if proc.returncode != 0 or lines[-1:] != ["done"]:
        last = next((line for line in reversed(lines) if line.startswith("at ")), "at ? ?")
        problems.append(f"{last}: child died ({proc.returncode}):\n{proc.stderr[-1500:]}")
    return problems, last


def sweep(kind, indices, lib):
    """Runs the probes of the catalog's operations `indices`; returns what
    went wrong, naming the operations. After a crash a new child goes on with
    the operations after the one it died in."""
    problems, todo = [], list(indices)
    while todo:
        found, last = run_child(kind, lib, ["ops", *map(str, todo)])
        for line in found:
            word, index, rest = line.split(" ", 2)
            name = OPS[int(index)].name if index.isdigit() else index
            problems.append(f"{name}: {word} {rest}")
        if last is None or not last.split()[1].isdigit():
            break
        todo = todo[todo.index(int(last.split()[1])) + 1:]
    return problems


KINDS = [
    "new",
    pytest.param("interpreter", marks=pytest.mark.skipif(
        not HAVE_SET_NOMEMORY, reason="this interpreter has no _testcapi.set_nomemory")),
]


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("kind", KINDS)
def test_failed_allocations_end_in_memory_error(kind, family, failing_new):
    indices = [i for i, op in enumerate(OPS) if re.match(r"[A-Za-z]+", op.name).group() == family]
    assert sweep(kind, indices, failing_new) == []


@pytest.mark.parametrize("case, precision", [
    ("panic", None),
    ("precision", "ps"),
    ("precision", "x" * 300),
    ("precision text", None),
    ("uuid", None),
])
@pytest.mark.parametrize("kind", KINDS)
def test_failed_allocations_on_first_use(kind, case, precision, failing_new):
    # What the module makes on first use (the PanicException class, the
    # generation precision, interned texts) stays unmade after a failure and
    # is made on a later call: one class, one value.
    env = {"QUIBID_PRECISION": precision} if precision else {}
    problems, _ = run_child(kind, failing_new, ["first", case], env)
    assert problems == []
