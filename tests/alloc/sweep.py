"""The child side of the allocation-failure sweep (test_alloc_failures.py).

    python sweep.py KIND ops INDEX...
    python sweep.py KIND first CASE

Fails the k-th allocation of a call for k = 1, 2, ... until the call
completes without meeting the failure (past DENSE, for some k only). KIND "new" fails the k-th C++
operator new (failing_new.cpp, which the parent preloads); KIND "interpreter"
fails the k-th allocation of the interpreter's allocators
(_testcapi.set_nomemory).

"ops" sweeps the operations of the catalog numbered INDEX, one after the
other. "first" sweeps one of the FIRST_USES below in a process that has not
made the call before: what the module creates on first use (and creates
again after a failed attempt) is swept there.

Every probe must end as the call ends without the failure, or with
MemoryError. Lines on stdout tell the parent how far the sweep got (a crash
leaves "at INDEX K" last) and what went wrong:

    at INDEX K          before each probe
    bad INDEX K TEXT    an outcome other than the expected one or MemoryError
    leak INDEX TEXT     memory or references kept by the failed calls
    done
"""
import ctypes
import functools
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# A call that meets no failure in this many allocations is taken as endless.
MAX_K = 10**6
# Every k is probed up to DENSE; past it the probes thin out to about 64 per
# doubling of k. Only calls over whole batches get that far, and their later
# allocations repeat the same few sites item after item.
DENSE = 256


def probe_points(end):
    k = 1
    while k <= end:
        yield k
        k += 1 if k < DENSE else k // 64


def say(line):
    os.write(1, (line + "\n").encode("utf-8", "backslashreplace"))


def describe(result, error):
    if error is not None:
        return ("raises", type(error).__name__, str(error))
    return ("returns", type(result).__name__, repr(result))


def interpreters_own(got, expected):
    """Whether `got`, the outcome of a call in which one of the interpreter's
    allocations failed, is the interpreter's doing rather than the module's:

    - the SystemError by which 3.11 and 3.12 report a function written in
      Python that they could not run for want of memory (the module's
      functions are built-ins: a SystemError of theirs names a built-in);
    - a normal return of a call that raises RuntimeError, which only the
      catalog's Python helpers raise: 3.13 can lose what a generator raises
      when an allocation fails (list() over such a generator returns too).
    """
    if got[1] == "SystemError" and got[2].startswith("<function "):
        return True
    return got[0] == "returns" and expected is not None and expected[:2] == (
        "raises", "RuntimeError")


def interpreter_keeps_blocks(probe):
    """Whether the interpreter itself keeps memory blocks when its own
    allocations fail (3.12 and 3.13 do, for a plain list(zip(...))): the
    count of blocks then says nothing of the module."""
    a, b = list(range(1000, 1040)), list(range(2000, 2040))
    grown = []
    for _ in range(2):
        gc.collect()
        blocks = sys.getallocatedblocks()
        for k in probe_points(100):
            probe(lambda: list(zip(a, b)), k)
        gc.collect()
        grown.append(sys.getallocatedblocks() - blocks)
    return min(grown) > 0


def new_prober():
    lib = ctypes.CDLL(os.environ["FAILING_NEW"])
    lib.failing_new_arm.argtypes = [ctypes.c_long]
    lib.failing_new_disarm.restype = ctypes.c_long
    lib.failing_new_live.restype = ctypes.c_long
    arm, disarm = lib.failing_new_arm, lib.failing_new_disarm
    # The extension must allocate through this operator new (a refusal's
    # message is a heap string), or the sweep would probe nothing.
    from _sornquibid import SornId
    arm(MAX_K)
    try:
        SornId.from_str("not a number, and too long to fit in place")
    except ValueError:
        pass
    if disarm() == 0:
        say("bad interposer 0 the extension does not allocate through failing_new.so")

    def probe(call, k):
        result = error = None
        arm(k)
        try:
            result = call()
        except BaseException as e:  # noqa: BLE001 - PanicException included
            error = e
        met = disarm() >= k
        return result, error, met

    return probe, lib.failing_new_live


def interpreter_prober():
    from _testcapi import remove_mem_hooks, set_nomemory

    def probe(call, k):
        result = error = None
        # set_nomemory(a, b) fails the allocations numbered a+1 to b.
        set_nomemory(k - 1, k)
        try:
            result = call()
        except BaseException as e:  # noqa: BLE001 - PanicException included
            error = e
        # Whether the failure is still to come: it then meets one of these.
        met = True
        try:
            for _ in range(k):
                [None]
        except MemoryError:
            met = False
        remove_mem_hooks()
        return result, error, met

    return probe, lambda: 0


class Sweep:
    def __init__(self, index, call, probe, interpreter):
        self.index, self.call, self.probe = index, call, probe
        self.interpreter = interpreter  # whether the interpreter's allocations fail
        self.seen = []  # outcomes other than MemoryError, with the error's class

    def run(self, end, expected=None, stable=False):
        """Probes k from 1 to `end`; returns the first k at which the call
        completed without meeting its failure, or None after saying what
        went wrong. With `expected` None the outcomes are kept in `seen`."""
        for k in probe_points(end):
            say(f"at {self.index} {k}")
            result, error, met = self.probe(self.call, k)
            got = describe(result, error)
            cls = type(error)
            if error is not None:
                # 3.13 raises one shared MemoryError when it cannot make
                # one: what it last carried must not hold the call's frames.
                error.__traceback__ = error.__context__ = None
            del result, error
            if got[:2] == ("raises", "MemoryError") or (
                    self.interpreter and interpreters_own(got, expected)):
                if not met:
                    return self.bad(k, f"{got[1]} without a failed allocation")
            elif expected is None:
                self.seen.append((k, got, cls))
            elif got[:2] != expected[:2] or (stable and got != expected):
                return self.bad(k, f"{got!r}, expected {expected!r} or MemoryError")
            if not met:
                return k
        return self.bad(end, "no end")

    def bad(self, k, text):
        say(f"bad {self.index} {k} {text}")

    def leak(self, text):
        say(f"leak {self.index} {text}")


def outcome(call):
    try:
        result, error = call(), None
    except BaseException as e:  # noqa: BLE001 - PanicException included
        result, error = None, e
    return describe(result, error), type(error)


def sweep_op(index, op, probe, live, interpreter, count_blocks):
    # A built-in callable: no frame of this file's between the probe and
    # the module.
    call = functools.partial(op.fn, *op.args, **op.kwargs)
    expected = outcome(call)[0]
    stable = outcome(call)[0] == expected
    # Strings and numbers are shared with the interpreter, whose own work
    # moves their counts; the other arguments are the catalog's alone.
    watched = [a for a in op.args if not isinstance(a, (str, bytes, int, float, type(None)))]
    gc.collect()
    refs = [sys.getrefcount(a) for a in watched]
    live_before = live()
    s = Sweep(index, call, probe, interpreter)
    end = s.run(MAX_K, expected, stable)
    if end is None:
        return
    # Two more rounds, once the free lists have filled, show in the count of
    # the interpreter's memory blocks anything the failed calls keep. (A call
    # may allocate once more or less from one round to the next: each round
    # finds its own end.)
    grown = []
    for _ in range(2 if count_blocks else 0):
        gc.collect()
        blocks = sys.getallocatedblocks()
        if s.run(MAX_K, expected, stable) is None:
            return
        gc.collect()
        grown.append(sys.getallocatedblocks() - blocks)
    if grown and min(grown) > 0:
        s.leak(f"{min(grown)} memory blocks per round of {end} calls")
    kept = live() - live_before
    if kept:
        s.leak(f"{kept} C++ allocations kept")
    moved = [(a, b) for a, b in zip(refs, [sys.getrefcount(a) for a in watched]) if a != b]
    if moved:
        s.leak(f"argument reference counts {moved}")


def _first_uses():
    from _sornquibid import QuibId, SornId, mssql_schema

    import uuid  # noqa: F401 - imported here, not under the sweep
    q = QuibId.from_str("0000000b-cbce-87f1-9b15-000000050007")
    ids = [SornId(7130316800000040967)]
    install = mssql_schema.mssql_install_autofill_trigger_for_table
    return {
        # PanicException, created by the first panic.
        "panic": lambda: install("t", [], "sorn"),
        # The generation precision, read by the first conversion (the parent
        # sets QUIBID_PRECISION, to an unusable value for a panic).
        "precision": lambda: SornId.batch_to_quibids(ids),
        # The interned precision texts.
        "precision text": lambda: q.precision,
        # The names to_uuid looks up.
        "uuid": q.to_uuid,
    }


def sweep_first(case, probe, interpreter):
    call = _first_uses()[case]
    s = Sweep(0, call, probe, interpreter)
    if s.run(MAX_K) is None:
        return
    expected, cls = outcome(call)
    for k, got, seen_cls in s.seen:
        if got != expected or seen_cls is not cls:
            return s.bad(k, f"{got!r} of {seen_cls!r}, then {expected!r} of {cls!r}")


def main():
    kind, mode, rest = sys.argv[1], sys.argv[2], sys.argv[3:]
    interpreter = kind == "interpreter"
    probe, live = interpreter_prober() if interpreter else new_prober()
    if mode == "first":
        sweep_first(rest[0], probe, interpreter)
    else:
        from ops_catalog import all_ops
        ops = all_ops()
        count_blocks = not (interpreter and interpreter_keeps_blocks(probe))
        for i in map(int, rest):
            sweep_op(i, ops[i], probe, live, interpreter, count_blocks)
    say("done")


if __name__ == "__main__":
    main()
