"""Several threads calling every operation at once: no crash, and every call
gives what it gives on one thread."""
import os
import sys
import textwrap
import threading

import pytest

from conftest import run_python
from ops_catalog import all_ops, outcome

import _sornquibid

THREADS = 6
OPS = all_ops()


def _hammer(work, threads=THREADS):
    """Runs `work(k)` on `threads` threads released together; returns the
    exceptions they raised."""
    barrier = threading.Barrier(threads)
    errors = []

    def run(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:  # noqa: BLE001 - PanicException included
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        pool = [threading.Thread(target=run, args=(k,)) for k in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    finally:
        sys.setswitchinterval(old)
    return errors


def test_every_operation_from_many_threads_at_once():
    expected = [outcome(op) for op in OPS]
    # Outcomes that name an object's address or a changing value differ per
    # call even on one thread; they are called but not compared.
    stable = [e == outcome(op) for op, e in zip(OPS, expected)]

    def work(k):
        for rnd in range(20):
            # Each thread walks the list from its own offset, so that
            # different operations overlap.
            for i in range(len(OPS)):
                j = (i + k * 17 + rnd) % len(OPS)
                got = outcome(OPS[j])
                if stable[j] and got != expected[j]:
                    raise AssertionError((OPS[j].name, got, expected[j]))

    assert _hammer(work) == []


def test_shared_instances_from_many_threads():
    ids = [_sornquibid.SornId(i * 4210691) for i in range(500)]

    def work(k):
        for _ in range(50):
            assert sorted(ids, reverse=bool(k % 2))[0] in ids
            assert len({hash(x) for x in ids}) == len(set(ids))
            assert [x.as_int() for x in ids] == [i * 4210691 for i in range(500)]

    assert _hammer(work) == []


FIRST_USE = textwrap.dedent("""
    import os, sys, threading
    sys.path.insert(0, {tests!r})
    from test_threads import _hammer
    from _sornquibid import SornId
    ids = [SornId(7130316800000040967)]
    results = []
    def convert(k):
        for _ in range(50):
            results.append(str(SornId.batch_to_quibids(ids)[0][1]))
    {body}
""")


@pytest.mark.skipif(not hasattr(_sornquibid.SornId, "batch_to_quibids"), reason="not built yet")
@pytest.mark.parametrize("precision, text", [
    ("ps", "00002e14-1ea0-881c-aa08-000000050007"),
    (None, "0000000b-cbce-87f1-9b15-000000050007"),
])
def test_first_use_of_the_generation_precision_races_safely(precision, text):
    body = """
    assert _hammer(convert, 8) == []
    print(sorted(set(results)), len(results))
    """
    env_remove = ("QUIBID_PRECISION",) if precision is None else ()
    env = {"QUIBID_PRECISION": precision} if precision else None
    code = FIRST_USE.format(tests=os.path.dirname(__file__), body=textwrap.dedent(body))
    assert run_python(code, env_updates=env, env_remove=env_remove) == f"['{text}'] 400"


@pytest.mark.skipif(not hasattr(_sornquibid.SornId, "batch_to_quibids"), reason="not built yet")
def test_failed_first_use_then_corrected_environment_from_many_threads():
    # Every racing caller on an invalid setting gets PanicException; once the
    # environment is corrected the racing callers all settle on one value.
    body = """
    errors = _hammer(convert, 8)
    assert len(errors) == 8 and all(type(e).__name__ == "PanicException" for e in errors), errors
    assert not results
    os.environ["QUIBID_PRECISION"] = "fs"
    assert _hammer(convert, 8) == []
    print(sorted(set(results)), len(results))
    """
    code = FIRST_USE.format(tests=os.path.dirname(__file__), body=textwrap.dedent(body))
    out = run_python(code, env_updates={"QUIBID_PRECISION": "NS"})
    assert out == "['00b3fe97-a2fa-8fd2-bf40-000000050007'] 400"
