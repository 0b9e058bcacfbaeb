"""Every operation, on its success path and on each failure path, run many
times: traced memory and the process size stay flat, and the reference counts
of the arguments (and of the singletons the library hands out) come back
unchanged."""
import gc
import os
import sys
import textwrap
import tracemalloc

import pytest

from conftest import SANITIZED, run_python
from ops_catalog import all_ops, repeat

import _sornquibid

ROUNDS = 1500
OPS = all_ops()


def _watched(op):
    objs = list(op.args) + list(op.kwargs.values())
    return objs + [None, True, False, NotImplemented, _sornquibid.SornId, ValueError]


def _refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("op", OPS, ids=[op.name for op in OPS])
def test_calls_leak_neither_memory_nor_references(op):
    n = max(ROUNDS // op.weight, 20)
    repeat(op, n // 10)  # warm caches: interned names, free lists, uuid import
    watched = _watched(op)
    gc.collect()
    before_refs = _refcounts(watched)
    tracemalloc.start()
    try:
        # The first traced window pays for one-time work (specialisation,
        # caches filled while tracing); a leak shows in both windows.
        repeat(op, n)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        repeat(op, n)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    after_refs = _refcounts(watched)
    # Returning False/True/None/NotImplemented or an argument without its own
    # reference would drive a count down by one per call; keeping one would
    # drive it up. The shared singletons also move with the interpreter's own
    # work, hence the margin.
    drift = [(w, a - b) for w, a, b in zip(watched, after_refs, before_refs) if abs(a - b) > n // 4]
    assert not drift
    # One leaked object per call would show as n times its size at least.
    assert grown < max(n * 4, 4096), f"{grown} bytes kept over {n} calls"


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine grows the process on purpose")
def test_process_size_stays_flat():
    # Native allocations (error texts, conversion buffers) are not traced by
    # tracemalloc; a lost one per call would grow the process by megabytes.
    def rounds(k):
        for op in OPS:
            repeat(op, max(k // op.weight, 1))

    rounds(300)
    gc.collect()
    start = _rss()
    rounds(10000)
    gc.collect()
    grown = _rss() - start
    assert grown < 2 << 20, f"process grew by {grown} bytes"


@pytest.mark.skipif(not hasattr(_sornquibid.SornId, "batch_to_quibids"), reason="not built yet")
def test_panic_path_of_the_generation_precision_is_flat():
    # The precision cell stays empty after a failure, so every call re-reads
    # the environment and raises PanicException afresh; only a fresh process
    # has the cell empty.
    code = textwrap.dedent(f"""
        import gc, sys, tracemalloc
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from ops_catalog import Op, repeat
        from _sornquibid import SornId
        args = ([SornId(1), SornId(2)],)
        try:
            SornId.batch_to_quibids(*args)
        except BaseException as e:
            panic = type(e)
        assert panic.__name__ == "PanicException"
        before = sys.getrefcount(args[0]), sys.getrefcount(args[0][0])
        op = Op("panic", SornId.batch_to_quibids, args, panic)
        repeat(op, 200)
        tracemalloc.start()
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        repeat(op, 5000)
        gc.collect()
        print(tracemalloc.get_traced_memory()[0] - start)
        assert (sys.getrefcount(args[0]), sys.getrefcount(args[0][0])) == before
    """)
    grown = int(run_python(code, env_updates={"QUIBID_PRECISION": "x" * 300}))
    assert grown < 20000


@pytest.mark.skipif(SANITIZED, reason="the sanitizer maps its own shadow memory")
def test_a_claimed_length_is_not_reserved_on_its_word():
    # A __len__ may claim anything. 2**28 items would be gigabytes that an
    # allocator could hand out untouched, or refuse by ending the process.
    code = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from ops_catalog import Seq
        from _sornquibid import QuibId, SornId, mssql_schema

        class Liar(Seq):
            def __len__(self):
                return 2**28

        def peak():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmPeak"))

        start = peak()
        s = SornId(5)
        q = SornId.batch_to_quibids([s])[0][1]
        SornId.batch_to_quibids(Liar([s]))
        QuibId.batch_to_sornids(Liar([q]))
        QuibId.check_sornid_convertibility(Liar([q]))
        mssql_schema.mssql_install_autofill_trigger_for_table("t", Liar([("a", "b")]), "sorn")
        print(peak() - start)
    """)
    assert int(run_python(code)) < 256 << 10  # kB
