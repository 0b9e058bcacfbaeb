"""Benchmark rows of the identifier generators, registered in run.py.

- `next()` of each generator against `uuid_utils.uuid7()`, the fastest
  time-ordered identifier a user could pick instead: both called from C
  (itertools.starmap), one identifier per call, the system clock read each
  time. Target: no slower.
- `next_many(n)` against a Python loop of `next()` making the same list.
  Target: at least 3 times faster per identifier.
"""

from __future__ import annotations

import itertools
from time import perf_counter
from typing import Callable


def rows(run) -> list[Callable]:
    """The rows, over the helpers of the run module `run`."""
    try:
        from sornquibid import QuibIdGenerator, SornIdGenerator
    except ImportError:
        SornIdGenerator = QuibIdGenerator = None

    def calls(fn: Callable, n: int) -> Callable[[], float]:
        """A trial: n calls fn() driven from C; seconds per call."""
        no_args = ((),)

        def trial() -> float:
            t0 = perf_counter()
            run._sink(itertools.starmap(fn, itertools.repeat(no_args[0], n)))
            return (perf_counter() - t0) / n

        return trial

    def per_id(make: Callable[[int], list], n: int) -> Callable[[], float]:
        """A trial: one list of n identifiers; seconds per identifier."""

        def trial() -> float:
            t0 = perf_counter()
            made = make(n)
            elapsed = perf_counter() - t0
            del made
            return elapsed / n

        return trial

    def generators():
        return [("SornIdGenerator", SornIdGenerator(1)),
                ("QuibIdGenerator", QuibIdGenerator(1, precision="ns"))]

    def row_generator_next(rep, cfg, rng) -> None:
        for name, gen in [] if SornIdGenerator is None else generators():
            op = f"{name}.next()"
            if run.uuid_utils is None:
                rep.skip(op, "uuid_utils is not installed")
                continue
            ours = run.Candidate(op, calls(gen.next, cfg.items), cfg.rounds)
            peer = run.Candidate("uuid_utils.uuid7()", calls(run.uuid_utils.uuid7, cfg.items),
                                 cfg.rounds)
            run.timed_row(rep, op, "ns", ours, [(peer, 1.0)])
        if SornIdGenerator is None:
            rep.skip("generators", "sornquibid has no generators yet")

    def row_generator_next_many(rep, cfg, rng) -> None:
        n = cfg.batch_n
        for name, gen in [] if SornIdGenerator is None else generators():
            op = f"{name}.next_many({n}), per id"
            nxt = gen.next

            def loop(k: int, nxt=nxt) -> list:
                return [nxt() for _ in range(k)]

            ours = run.Candidate(f"{name}.next_many", per_id(gen.next_many, n), cfg.batch_rounds)
            peer = run.Candidate("[next() for _ in range(n)]", per_id(loop, n), cfg.batch_rounds)
            run.timed_row(rep, op, "ns", ours, [(peer, 1 / 3)])

    return [row_generator_next, row_generator_next_many]
