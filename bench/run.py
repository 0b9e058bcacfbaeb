"""Side-by-side benchmarks of _sornquibid and what users would pick instead.

Run from the repository root after installing the library and the peers:

    python -m pip install . -r bench/requirements.txt
    python bench/run.py            # full run, a few minutes
    python bench/run.py --quick    # smaller inputs, fewer rounds, well under a minute
    python bench/run.py --only engines  # Spark and Dask (bench/engines.py), run only so

Every row times this library and its peer in the same process, alternating
between them round by round, and reports the ratio of the best times
(ours / peer: below 1 means faster than the peer) next to the median of the
per-round ratios, which shows how noisy the run was. Absolute times are
printed for orientation only; on a shared machine only the ratios carry.
Rows whose API the installed module does not have yet are listed as skipped.
"""

from __future__ import annotations

import argparse
import collections
import gc
import importlib.util
import itertools
import operator
import os
import platform
import random
import shlex
import statistics
import subprocess
import sys
import sysconfig
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from time import perf_counter
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import pure  # noqa: E402
import generators  # noqa: E402

try:
    import _sornquibid
except ImportError:
    sys.exit("_sornquibid is not installed: python -m pip install .")

try:
    import uuid_utils
except ImportError:
    uuid_utils = None

SornId = _sornquibid.SornId
QuibId = getattr(_sornquibid, "QuibId", None)

PRECISION_CODES = {"us": 0, "ns": 1, "ps": 2, "fs": 3}
# Millisecond timestamps of the generated identifiers: a 20-second window
# around November 2023, the origin being the Unix epoch.
T0_MS = 1_700_000_000_000
WINDOW_MS = 20_000


# ---------------------------------------------------------------------------
# Timing

_sink = collections.deque(maxlen=0).extend


def per_item(fn: Callable, data: list) -> Callable[[], float]:
    """A trial: fn over every item, driven from C; seconds per item."""
    n = len(data)

    def run() -> float:
        t0 = perf_counter()
        _sink(map(fn, data))
        return (perf_counter() - t0) / n

    return run


def per_item_star(fn: Callable, data: list[tuple]) -> Callable[[], float]:
    """per_item with each item a tuple of positional arguments: the way to
    drive a call that would take a keyword (UUID(bytes=b) as UUID(None, b))
    from C without a Python frame per item."""
    n = len(data)

    def run() -> float:
        t0 = perf_counter()
        _sink(itertools.starmap(fn, data))
        return (perf_counter() - t0) / n

    return run


def whole(fn: Callable, arg) -> Callable[[], float]:
    """A trial: one call fn(arg); seconds, the result's release excluded."""

    def run() -> float:
        t0 = perf_counter()
        result = fn(arg)
        elapsed = perf_counter() - t0
        del result
        return elapsed

    return run


@dataclass
class Candidate:
    name: str
    run: Callable[[], float]
    rounds: int
    times: list[float] = field(default_factory=list)

    @property
    def best(self) -> float:
        return min(self.times)


def measure(cands: list[Candidate]) -> None:
    """Alternates the candidates round by round (reversing the order every
    other round), so that drifts in machine load hit all of them alike."""
    for c in cands:
        c.run()  # warm-up: caches, lazily created state, pymalloc arenas
    for r in range(max(c.rounds for c in cands)):
        order = cands if r % 2 == 0 else cands[::-1]
        for c in order:
            if r < c.rounds:
                c.times.append(c.run())


# ---------------------------------------------------------------------------
# Report


@dataclass
class Line:
    operation: str
    peer: str
    ours: float
    theirs: float
    ratio: float
    median_ratio: float
    target: float | None
    unit: str
    note: str = ""

    def verdict(self) -> str:
        if self.note.startswith("MISMATCH"):
            return "WRONG"
        if self.target is None:
            return ""
        # Met only when both the best-time ratio and the median of the
        # per-round ratios are within the target: one lucky round is not enough.
        return "yes" if max(self.ratio, self.median_ratio) <= self.target else "NO"


def fmt_time(seconds: float, unit: str) -> str:
    if unit == "ns":
        return f"{seconds * 1e9:.1f} ns"
    return f"{seconds * 1e3:.1f} ms"


def fmt_target(target: float | None) -> str:
    if target is None:
        return "(info)"
    if target < 0.1:
        return f"≤ {target:.3f} (≥ {1 / target:.0f}× faster)"
    return f"≤ {target:g}"


class Report:
    def __init__(self) -> None:
        self.lines: list[Line] = []
        self.skipped: list[tuple[str, str]] = []
        self.sizes: list[tuple[str, int | None, int]] = []

    def compare(self, operation: str, ours: Candidate, peers: list[tuple[Candidate, float | None]],
                unit: str, note: str = "") -> None:
        for peer, target in peers:
            pairs = list(zip(ours.times, peer.times))
            self.lines.append(Line(
                operation, peer.name, ours.best, peer.best, ours.best / peer.best,
                statistics.median(a / b for a, b in pairs), target, unit, note))

    def skip(self, operation: str, why: str) -> None:
        self.skipped.append((operation, why))

    def print(self, header: list[str]) -> None:
        for h in header:
            print(h)
        print()
        print("| operation | peer | ours | peer's | ratio (best) | ratio (median) | target | met |")
        print("|---|---|---:|---:|---:|---:|---|---|")
        for ln in self.lines:
            print(f"| {ln.operation} | {ln.peer} | {fmt_time(ln.ours, ln.unit)} | "
                  f"{fmt_time(ln.theirs, ln.unit)} | {ln.ratio:.3f} | {ln.median_ratio:.3f} | "
                  f"{fmt_target(ln.target)} | {ln.verdict()} |")
        if self.sizes:
            print()
            print("| object | sys.getsizeof | target |")
            print("|---|---:|---:|")
            for name, size, target in self.sizes:
                shown = "skipped" if size is None else str(size)
                print(f"| {name} | {shown} | {target} |")
        notes = [ln for ln in self.lines if ln.note]
        if notes or self.skipped:
            print()
        for ln in notes:
            print(f"- {ln.operation}: {ln.note}")
        for operation, why in self.skipped:
            print(f"- skipped {operation}: {why}")


# ---------------------------------------------------------------------------
# Inputs, made deterministically


def random_sorn_values(rng: random.Random, n: int) -> list[int]:
    return [((T0_MS + rng.randrange(WINDOW_MS)) << 22) | (rng.randrange(512) << 13)
            | rng.randrange(8192) for _ in range(n)]


def random_quib_values(rng: random.Random, n: int) -> list[int]:
    """Nanosecond QuibId values from 16 nodes over the time window: after
    squashing to milliseconds about three share each (millisecond, node)."""
    return [pure.pack_quib((T0_MS + rng.randrange(WINDOW_MS)) * 10**6 + rng.randrange(10**6),
                           1, rng.randrange(16), rng.randrange(65536)) for _ in range(n)]


def generation_precision_code() -> int:
    return PRECISION_CODES[os.environ.get("QUIBID_PRECISION", "ns")]


def quib_int(q) -> int:
    return int(str(q).replace("-", ""), 16)


# ---------------------------------------------------------------------------
# The allocation floor


def build_floor():
    """Compiles bench/floor.c (once, cached under bench/_build) and imports
    it. Returns None, with the reason, when no C compiler is at hand."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    out_dir = HERE / "_build"
    target = out_dir / f"_bench_floor{suffix}"
    source = HERE / "floor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        out_dir.mkdir(exist_ok=True)
        cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
        cmd = [*cc, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
               str(source), "-o", str(target)]
        try:
            subprocess.run(cmd, check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError) as exc:
            return None, f"cannot compile bench/floor.c ({exc})"
    found = importlib.util.spec_from_file_location("_bench_floor", target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module, ""


def zip_floor(n: int) -> list:
    base = 1_000_000
    return list(zip(range(base, base + n), range(base + n, base + 2 * n)))


# ---------------------------------------------------------------------------
# The rows


@dataclass
class Config:
    items: int  # inputs of the per-item rows
    rounds: int
    sort_n: int
    sort_rounds: int
    batch_n: int
    batch_rounds: int
    pure_rounds: int


def timed_row(rep: Report, op: str, unit: str, ours: Candidate,
              peers: list[tuple[Candidate, float | None]], note: str = "") -> None:
    measure([ours] + [p for p, _ in peers])
    rep.compare(op, ours, peers, unit, note)


def row_sorn_from_str(rep: Report, cfg: Config, rng: random.Random) -> None:
    values = random_sorn_values(rng, cfg.items)
    texts = [str(v) for v in values]
    assert [SornId.from_str(s).as_int() for s in texts] == [int(s) for s in texts]
    ours = Candidate("SornId.from_str", per_item(SornId.from_str, texts), cfg.rounds)
    peer = Candidate("int(s)", per_item(int, texts), cfg.rounds)
    timed_row(rep, "SornId.from_str(s)", "ns", ours, [(peer, 1.3)])


def row_sorn_hash(rep: Report, cfg: Config, rng: random.Random) -> None:
    values = random_sorn_values(rng, cfg.items)
    ids = [SornId(v) for v in values]
    ours = Candidate("hash(SornId)", per_item(hash, ids), cfg.rounds)
    peer = Candidate("hash(int)", per_item(hash, values), cfg.rounds)
    timed_row(rep, "hash(x) of a SornId", "ns", ours, [(peer, 1.5)])


def row_quib_from_str(rep: Report, cfg: Config, rng: random.Random) -> None:
    if QuibId is None:
        return rep.skip("QuibId.from_str(s)", "QuibId is not in the module yet")
    texts = [pure.quib_text(v) for v in random_quib_values(rng, cfg.items)]
    assert [str(QuibId.from_str(s)) for s in texts] == texts
    ours = Candidate("QuibId.from_str", per_item(QuibId.from_str, texts), cfg.rounds)
    peers = []
    if uuid_utils is not None:
        peers.append((Candidate("uuid_utils.UUID(s)", per_item(uuid_utils.UUID, texts),
                                cfg.rounds), 0.8))
    peers.append((Candidate("uuid.UUID(s)", per_item(uuid.UUID, texts), cfg.rounds), 0.1))
    timed_row(rep, "QuibId.from_str(s)", "ns", ours, peers)


def quib_pairs(rng: random.Random, n: int):
    """n QuibId objects and, in the same order, the uuid_utils.UUID and
    uuid.UUID objects of the same values."""
    texts = [pure.quib_text(v) for v in random_quib_values(rng, n)]
    quibs = [QuibId.from_str(s) for s in texts]
    uus = [uuid_utils.UUID(s) for s in texts] if uuid_utils is not None else None
    std = [uuid.UUID(s) for s in texts]
    return quibs, uus, std


def row_quib_str(rep: Report, cfg: Config, rng: random.Random) -> None:
    if QuibId is None:
        return rep.skip("str(q) of a QuibId", "QuibId is not in the module yet")
    if uuid_utils is None:
        return rep.skip("str(q) of a QuibId", "uuid_utils is not installed")
    quibs, uus, _ = quib_pairs(rng, cfg.items)
    assert list(map(str, quibs)) == list(map(str, uus))
    ours = Candidate("str(QuibId)", per_item(str, quibs), cfg.rounds)
    peer = Candidate("str(uuid_utils.UUID)", per_item(str, uus), cfg.rounds)
    timed_row(rep, "str(q) of a QuibId", "ns", ours, [(peer, 1.0)])


def row_quib_hash(rep: Report, cfg: Config, rng: random.Random) -> None:
    if QuibId is None:
        return rep.skip("hash(q) of a QuibId", "QuibId is not in the module yet")
    quibs, uus, std = quib_pairs(rng, cfg.items)
    ours = Candidate("hash(QuibId)", per_item(hash, quibs), cfg.rounds)
    peers = []
    if uus is not None:
        peers.append((Candidate("hash(uuid_utils.UUID)", per_item(hash, uus), cfg.rounds), None))
    peers.append((Candidate("hash(uuid.UUID)", per_item(hash, std), cfg.rounds), None))
    timed_row(rep, "hash(q) of a QuibId", "ns", ours, peers)


def skipped(rep: Report, op: str, member: str, needs_uuid_utils: bool) -> bool:
    """Skips row `op` when QuibId.<member> (or, if needed, uuid_utils) is
    missing; says whether it did."""
    if QuibId is None or not hasattr(QuibId, member):
        rep.skip(op, f"QuibId.{member} is not in the module yet")
    elif needs_uuid_utils and uuid_utils is None:
        rep.skip(op, "uuid_utils is not installed")
    else:
        return False
    return True


def row_column_from_bytes(rep: Report, cfg: Config, rng: random.Random) -> None:
    op = "QuibId.from_bytes(b)"
    if skipped(rep, op, "from_bytes", needs_uuid_utils=True):
        return
    _, uus, _ = quib_pairs(rng, cfg.items)
    raws = [u.bytes for u in uus]
    assert [q.as_bytes() for q in map(QuibId.from_bytes, raws)] == raws
    ours = Candidate("QuibId.from_bytes", per_item(QuibId.from_bytes, raws), cfg.rounds)
    peer = Candidate("uuid_utils.UUID(bytes=b)",
                     per_item_star(uuid_utils.UUID, [(None, b) for b in raws]), cfg.rounds)
    timed_row(rep, op, "ns", ours, [(peer, 0.6)])


def row_column_as_bytes(rep: Report, cfg: Config, rng: random.Random) -> None:
    op = "q.as_bytes()"
    if skipped(rep, op, "as_bytes", needs_uuid_utils=True):
        return
    quibs, uus, _ = quib_pairs(rng, cfg.items)
    assert [q.as_bytes() for q in quibs] == [u.bytes for u in uus]
    ours = Candidate("QuibId.as_bytes", per_item(QuibId.as_bytes, quibs), cfg.rounds)
    peer = Candidate("uuid_utils.UUID.bytes", per_item(operator.attrgetter("bytes"), uus),
                     cfg.rounds)
    timed_row(rep, op, "ns", ours, [(peer, 1.0)])


def row_column_from_int(rep: Report, cfg: Config, rng: random.Random) -> None:
    op = "QuibId.from_int(v)"
    if skipped(rep, op, "from_int", needs_uuid_utils=False):
        return
    values = random_quib_values(rng, cfg.items)
    assert [q.as_int() for q in map(QuibId.from_int, values)] == values
    ours = Candidate("QuibId.from_int", per_item(QuibId.from_int, values), cfg.rounds)
    peer = Candidate("uuid.UUID(int=v)",
                     per_item_star(uuid.UUID, [(None, None, None, None, v) for v in values]),
                     cfg.rounds)
    timed_row(rep, op, "ns", ours, [(peer, None)])


def row_column_as_int(rep: Report, cfg: Config, rng: random.Random) -> None:
    op = "q.as_int()"
    if skipped(rep, op, "as_int", needs_uuid_utils=False):
        return
    quibs, _, std = quib_pairs(rng, cfg.items)
    assert [q.as_int() for q in quibs] == [u.int for u in std]
    ours = Candidate("QuibId.as_int", per_item(QuibId.as_int, quibs), cfg.rounds)
    peer = Candidate("uuid.UUID.int", per_item(operator.attrgetter("int"), std), cfg.rounds)
    timed_row(rep, op, "ns", ours, [(peer, None)])


def row_quib_sorted(rep: Report, cfg: Config, rng: random.Random) -> None:
    op = f"sorted() of {cfg.sort_n} QuibId"
    if QuibId is None:
        return rep.skip(op, "QuibId is not in the module yet")
    if uuid_utils is None:
        return rep.skip(op, "uuid_utils is not installed")
    quibs, uus, _ = quib_pairs(rng, cfg.sort_n)
    assert list(map(str, sorted(quibs))) == list(map(str, sorted(uus)))
    ours = Candidate("sorted(QuibId)", whole(sorted, quibs), cfg.sort_rounds)
    peer = Candidate("sorted(uuid_utils.UUID)", whole(sorted, uus), cfg.sort_rounds)
    timed_row(rep, op, "ms", ours, [(peer, 1.0)])


def batch_row(rep: Report, cfg: Config, floor, op: str, convert: Callable, ids: list,
              slow: Callable, values: list, check: Callable, target: float) -> None:
    """Times one batch conversion against the allocation floors of as many
    pairs (the C-level one, judged against `target`, and, for reference,
    list(zip(range, range))) and against the pure-Python version on the same
    identifiers as ints. `check(k)` compares both on the first k inputs."""
    note = "" if check(20000) else "MISMATCH between the library and the pure-Python version"
    floors = []
    if floor is not None:
        floors.append((Candidate("allocation floor (C)", whole(floor.pairs, cfg.batch_n),
                                 cfg.batch_rounds), target))
    floors.append((Candidate("list(zip(range, range))", whole(zip_floor, cfg.batch_n),
                             cfg.batch_rounds), None))
    ours = Candidate(convert.__qualname__, whole(convert, ids), cfg.batch_rounds)
    peer = Candidate("pure Python", whole(slow, values), cfg.pure_rounds)
    timed_row(rep, op, "ms", ours, floors + [(peer, 1 / 30)], note)
    if floor is not None:
        # What no conversion can beat: the floor itself against pure Python.
        rep.compare(f"(bound) allocation floor (C), {cfg.batch_n} pairs", floors[0][0],
                    [(peer, None)], "ms")


def row_batch_to_quibids(rep: Report, cfg: Config, rng: random.Random, floor) -> None:
    op = f"SornId.batch_to_quibids, {cfg.batch_n} items"
    if not hasattr(SornId, "batch_to_quibids"):
        return rep.skip(op, "SornId.batch_to_quibids is not in the module yet")
    values = random_sorn_values(rng, cfg.batch_n)
    ids = [SornId(v) for v in values]
    code = generation_precision_code()

    def slow(v):
        return pure.batch_to_quibids(v, code)

    def check(k):
        got = [(s.as_int(), quib_int(q)) for s, q in SornId.batch_to_quibids(ids[:k])]
        return got == slow(values[:k])

    batch_row(rep, cfg, floor, op, SornId.batch_to_quibids, ids, slow, values, check, 1.5)


def row_batch_to_sornids(rep: Report, cfg: Config, rng: random.Random, floor) -> None:
    op = f"QuibId.batch_to_sornids, {cfg.batch_n} shuffled items"
    if QuibId is None or not hasattr(QuibId, "batch_to_sornids"):
        return rep.skip(op, "QuibId.batch_to_sornids is not in the module yet")
    values = random_quib_values(rng, cfg.batch_n)  # random, so already shuffled
    ids = [QuibId.from_str(pure.quib_text(v)) for v in values]

    def check(k):
        got = [(quib_int(q), s.as_int()) for q, s in QuibId.batch_to_sornids(ids[:k])]
        return got == pure.batch_to_sornids(values[:k])

    batch_row(rep, cfg, floor, op, QuibId.batch_to_sornids, ids, pure.batch_to_sornids,
              values, check, 2.5)


def sizes(rep: Report) -> None:
    rep.sizes.append(("SornId", sys.getsizeof(SornId(0)), 24))
    quib = QuibId.from_str("00000000-0000-8000-8000-000000000000") if QuibId else None
    rep.sizes.append(("QuibId", None if quib is None else sys.getsizeof(quib), 32))


# ---------------------------------------------------------------------------


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="smaller inputs and fewer rounds (well under a minute)")
    ap.add_argument("--seed", type=int, default=20231114)
    ap.add_argument("--only", metavar="WORD",
                    help="run only the rows whose function name contains WORD (e.g. batch)")
    args = ap.parse_args()

    if args.quick:
        cfg = Config(items=20_000, rounds=5, sort_n=200_000, sort_rounds=3,
                     batch_n=200_000, batch_rounds=3, pure_rounds=1)
    else:
        cfg = Config(items=50_000, rounds=15, sort_n=200_000, sort_rounds=7,
                     batch_n=1_000_000, batch_rounds=7, pure_rounds=3)

    floor, why = build_floor()
    rng = random.Random(args.seed)
    rep = Report()
    if floor is None:
        rep.skip("C allocation floor", why + "; the batch targets are not judged")

    # Cyclic GC off while timing, as timeit does: no row creates cycles, and
    # a collection pass over millions of fresh tuples would land in
    # whichever candidate happened to cross the threshold.
    gc.disable()
    started = perf_counter()
    rows = [row_quib_from_str, row_quib_str, row_sorn_from_str, row_sorn_hash, row_quib_hash,
            row_quib_sorted, row_batch_to_quibids, row_batch_to_sornids]
    rows += [row_column_from_bytes, row_column_as_bytes, row_column_from_int, row_column_as_int]
    rows += generators.rows(sys.modules[__name__])
    for row in rows:
        if args.only is None or args.only in row.__name__:
            if row in (row_batch_to_quibids, row_batch_to_sornids):
                row(rep, cfg, rng, floor)
            else:
                row(rep, cfg, rng)
    if args.only is None or args.only in "columns":  # the rows of bench/columns.py
        importlib.import_module("columns").rows(rep, cfg, rng, sys.modules[__name__])
    if args.only == "engines":  # bench/engines.py: Spark and Dask, only when asked for
        importlib.import_module("engines").rows(rep, cfg, rng, sys.modules[__name__])
    if args.only is None or args.only in "cli_convert":  # the rows of bench/cli_convert.py
        importlib.import_module("cli_convert").rows(rep, cfg, rng, sys.modules[__name__])
    sizes(rep)
    gc.enable()

    uu = getattr(uuid_utils, "__version__", "installed") if uuid_utils else "not installed"
    rep.print([
        f"# sornquibid benchmarks ({'quick' if args.quick else 'full'} run, "
        f"{perf_counter() - started:.0f} s)",
        "",
        f"Python {platform.python_version()} ({platform.python_implementation()}) on "
        f"{platform.machine()}, {os.cpu_count()} CPUs; uuid_utils {uu}; "
        f"QUIBID_PRECISION={os.environ.get('QUIBID_PRECISION', '(unset: ns)')}; seed {args.seed}.",
        f"Per-item rows: {cfg.items} inputs, {cfg.rounds} rounds; sort: {cfg.sort_rounds} rounds; "
        f"batches: {cfg.batch_rounds} rounds ({cfg.pure_rounds} for pure Python).",
        "Ratio = ours / peer's, best time of each (below 1: faster than the peer); "
        "median = median of the per-round ratios; a target is met when both are within it.",
    ])


if __name__ == "__main__":
    main()
