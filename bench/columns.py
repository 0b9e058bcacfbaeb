"""The rows of sornquibid.columns in the benchmark report (bench/run.py):
whole columns of 10 million identifiers (2 million with --quick) against
the object path a user writes today and against numpy doing the same
amount of memory work. Each row checks that both sides agree on the first
rows before it times them."""

from __future__ import annotations

import collections
import os
from typing import Any, Callable

from _sornquibid import QuibId, SornId

# The descending flip of the 64-bit family, as numpy applies it.
SORN_DESC_MASK = 0x7FFFFFFFFFC01FFF
T0_MS = 1_700_000_000_000
WINDOW_MS = 20_000


def _frameworks():
    try:
        import numpy
        import pyarrow
    except ImportError:
        return None
    from sornquibid import columns

    return numpy, pyarrow, columns


def _sorns(np: Any, n: int, seed: int) -> Any:
    """SornIds of 512 nodes over a 20-second window (the report's inputs)."""
    rng = np.random.default_rng(seed)
    ms = T0_MS + rng.integers(0, WINDOW_MS, n)
    return (ms << 22) | (rng.integers(0, 512, n) << 13) | rng.integers(0, 8192, n)


def _quibs(np: Any, n: int, seed: int) -> Any:
    """Nanosecond QuibIds of 16 nodes over the window, about three sharing
    each (millisecond, node) group, as a numpy V16 column."""
    rng = np.random.default_rng(seed)
    t = (T0_MS + rng.integers(0, WINDOW_MS, n)).astype(np.uint64) * np.uint64(10**6) + \
        rng.integers(0, 10**6, n).astype(np.uint64)
    node = rng.integers(0, 16, n).astype(np.uint64)
    seq = rng.integers(0, 65536, n).astype(np.uint64)
    high = (t >> np.uint64(41)) << np.uint64(16) | np.uint64(8 << 12) | \
        (t >> np.uint64(29)) & np.uint64(0xFFF)
    low = np.uint64(2 << 62) | np.uint64(1 << 60) | (t & np.uint64(0x1FFFFFFF)) << np.uint64(31) | \
        node << np.uint64(16) | seq
    words = np.empty((n, 2), dtype=">u8")
    words[:, 0], words[:, 1] = high, low
    return words.view("V16").ravel()


def rows(rep: Any, cfg: Any, rng: Any, run: Any) -> None:
    """Adds the column rows to the report `rep`; `run` is bench/run.py."""
    found = _frameworks()
    if found is None:
        return rep.skip("sornquibid.columns", "numpy and pyarrow are needed")
    np, pa, columns = found
    n = cfg.batch_n * 10
    seed = rng.randrange(2**32)
    note = f"{n} rows"
    ours_rounds, object_rounds = cfg.batch_rounds, cfg.pure_rounds
    whole, Candidate = run.whole, run.Candidate

    def row(op: str, ours: Candidate, peers: list, check: Callable[[], bool]) -> None:
        run.timed_row(rep, op, "ms", ours, peers,
                      "" if check() else "MISMATCH between the column and the object path")

    # sorn_to_quib: against the object path, and against numpy filling as
    # many bytes.
    sorns = _sorns(np, n, seed)
    generation = os.environ.get("QUIBID_PRECISION", "ns")

    def object_sorn_to_quib(values: Any) -> list[bytes]:
        ids = [SornId(v) for v in values.tolist()]
        return [q.as_bytes() for _, q in SornId.batch_to_quibids(ids)]

    def numpy_fill(values: Any) -> Any:
        out = np.empty((len(values), 2), np.uint64)
        out[:, 0] = values
        out[:, 1] = values
        return out

    row(f"columns.sorn_to_quib, numpy int64, {note}",
        Candidate("columns.sorn_to_quib", whole(columns.sorn_to_quib, sorns), ours_rounds),
        [(Candidate("object path", whole(object_sorn_to_quib, sorns), object_rounds), 1 / 50),
         (Candidate("numpy filling 16 bytes a row", whole(numpy_fill, sorns), ours_rounds), 3)],
        lambda: [bytes(q) for q in columns.sorn_to_quib(sorns[:5000], generation)]
        == object_sorn_to_quib(sorns[:5000]))

    # to_desc: against numpy's XOR.
    row(f"columns.to_desc, numpy int64, {note}",
        Candidate("columns.to_desc", whole(lambda v: columns.to_desc(v, SornId), sorns),
                  ours_rounds),
        [(Candidate("numpy arr ^ mask", whole(lambda v: v ^ SORN_DESC_MASK, sorns), ours_rounds),
          2)],
        lambda: (columns.to_desc(sorns[:5000], SornId) == sorns[:5000] ^ SORN_DESC_MASK).all())

    # quib_to_sorn: against batch_to_sornids on objects already built
    # (sorted pairs), and with those pairs put back in row order (as a user
    # who needs row order must).
    quibs = _quibs(np, n, seed)
    objects = [QuibId.from_bytes(bytes(q)) for q in quibs]

    def in_row_order(ids: list) -> list:
        taken = collections.defaultdict(collections.deque)
        for q, s in QuibId.batch_to_sornids(ids):
            taken[q].append(s)
        return [taken[q].popleft().as_int() for q in ids]

    row(f"columns.quib_to_sorn, numpy V16, {note}",
        Candidate("columns.quib_to_sorn", whole(columns.quib_to_sorn, quibs), ours_rounds),
        [(Candidate("QuibId.batch_to_sornids", whole(QuibId.batch_to_sornids, objects),
                    object_rounds), 1 / 10),
         (Candidate("batch_to_sornids, in row order", whole(in_row_order, objects),
                    object_rounds), None)],
        lambda: columns.quib_to_sorn(quibs[:20000]).tolist() == in_row_order(objects[:20000]))
    del objects

    # parse and format: Arrow text against from_str and str over a list.
    arrow_quibs = pa.FixedSizeBinaryArray.from_buffers(pa.binary(16), n,
                                                       [None, pa.py_buffer(quibs)])
    texts = columns.format(arrow_quibs, QuibId)
    sample = min(n, 1_000_000)
    scale = n / sample  # the object path runs on a sample, per row as the others
    text_list = texts.slice(0, sample).to_pylist()
    quib_list = [QuibId.from_str(t) for t in text_list]
    sink = collections.deque(maxlen=0).extend

    def scaled(fn: Callable, items: list) -> Callable[[], float]:
        timed = whole(lambda xs: sink(map(fn, xs)), items)
        return lambda: timed() * scale

    row(f"columns.format QuibId to Arrow string, {note}",
        Candidate("columns.format", whole(lambda c: columns.format(c, QuibId), arrow_quibs),
                  ours_rounds),
        [(Candidate("str(q) over a list, per row", scaled(str, quib_list), object_rounds),
          1 / 10)],
        lambda: texts.slice(0, 1000).to_pylist() == [str(q) for q in quib_list[:1000]])
    row(f"columns.parse Arrow string to QuibId, {note}",
        Candidate("columns.parse", whole(lambda c: columns.parse(c, QuibId), texts), ours_rounds),
        [(Candidate("QuibId.from_str over a list, per row", scaled(QuibId.from_str, text_list),
                    object_rounds), 1 / 10)],
        lambda: columns.parse(texts.slice(0, 1000), QuibId).to_pylist()
        == [q.as_bytes() for q in quib_list[:1000]])
