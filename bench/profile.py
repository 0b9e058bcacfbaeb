"""Instruction counts per operation under valgrind's callgrind.

    python bench/profile.py                # every operation
    python bench/profile.py sorn_hash int_hash --top 8

Each operation runs in its own child interpreter under callgrind, with
collection switched on only inside collections.deque.extend, which drives
the timed loop (`deque(maxlen=0).extend(map(fn, data))`), so interpreter
start-up and input generation are not counted; freeing the results is. The report gives the
instructions per item and, with --top, the functions that spent them
(exclusive cost). Unlike wall-clock times these counts do not depend on the
load of the machine, which makes them the tool to explain a gap in
bench/run.py's ratios; they do not see cache misses or dependency chains.
"""

from __future__ import annotations

import argparse
import functools
import operator
import os
import random
import re
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def ops(n: int) -> dict:
    """Operation name -> (function, inputs), built on demand in the child."""
    import run  # the same inputs as the timed benchmark

    rng = random.Random(1)
    out = {}

    def sorn():
        values = run.random_sorn_values(rng, n)
        out["sorn_from_str"] = (run.SornId.from_str, [str(v) for v in values])
        out["int_from_str"] = (int, [str(v) for v in values])
        out["sorn_hash"] = (hash, [run.SornId(v) for v in values])
        out["int_hash"] = (hash, values)

    def quib():
        texts = [run.pure.quib_text(v) for v in run.random_quib_values(rng, n)]
        quibs = [run.QuibId.from_str(s) for s in texts]
        out["quib_from_str"] = (run.QuibId.from_str, texts)
        out["quib_str"] = (str, quibs)
        out["quib_hash"] = (hash, quibs)
        out["quib_sorted"] = (sorted, [quibs])
        if run.uuid_utils is not None:
            uus = [run.uuid_utils.UUID(s) for s in texts]
            out["uu_from_str"] = (run.uuid_utils.UUID, texts)
            out["uu_str"] = (str, uus)
            out["uu_hash"] = (hash, uus)
            out["uu_sorted"] = (sorted, [uus])
        out["uuid_from_str"] = (uuid.UUID, texts)
        if hasattr(run.QuibId, "from_bytes"):
            raws = [q.as_bytes() for q in quibs]
            values = [q.as_int() for q in quibs]
            out["quib_from_bytes"] = (run.QuibId.from_bytes, raws)
            out["quib_as_bytes"] = (run.QuibId.as_bytes, quibs)
            out["quib_from_int"] = (run.QuibId.from_int, values)
            out["quib_as_int"] = (run.QuibId.as_int, quibs)
            if run.uuid_utils is not None:
                # UUID(None, b) is UUID(bytes=b), called without a keyword.
                out["uu_from_bytes"] = (functools.partial(run.uuid_utils.UUID, None), raws)
                out["uu_bytes"] = (operator.attrgetter("bytes"), uus)
        if hasattr(run.QuibId, "batch_to_sornids"):
            out["quib_batch"] = (run.QuibId.batch_to_sornids, [quibs])

    sorn()
    if run.QuibId is not None:
        quib()
    if hasattr(run.SornId, "batch_to_quibids"):
        values = run.random_sorn_values(rng, n)
        out["sorn_batch"] = (run.SornId.batch_to_quibids, [[run.SornId(v) for v in values]])
    floor, _ = run.build_floor()
    if floor is not None:
        out["floor"] = (floor.pairs, [n])
    return out


def child(name: str, n: int) -> None:
    import collections
    import gc

    fn, data = ops(n)[name]
    gc.disable()  # as in bench/run.py
    collections.deque(maxlen=0).extend(map(fn, data))


def module_symbols() -> dict[int, str]:
    """Addresses -> names of the extension's functions, from the unstripped
    copy that the build leaves under build/ (the installed one is stripped)."""
    symbols = {}
    for so in (HERE.parent / "build").glob("*/_sornquibid*.so"):
        try:
            text = subprocess.run(["nm", "-C", str(so)], check=True, capture_output=True,
                                  text=True).stdout
        except (OSError, subprocess.CalledProcessError):
            continue
        for line in text.splitlines():
            addr, kind, sym = (line.split(" ", 2) + ["", ""])[:3]
            if kind in ("t", "T") and addr:
                sym = sym.replace("(anonymous namespace)::", "")
                symbols[int(addr, 16)] = re.sub(r"\(.*", "", sym)
    return symbols


def name_addresses(line: str, symbols: dict[int, str]) -> str:
    def name(m):
        return symbols.get(int(m[1], 16), m[0])

    if "_sornquibid" not in line:
        return line
    return re.sub(r"\?\?\?:0x([0-9a-f]+)", name, line)


def profile(name: str, n: int, top: int) -> tuple[float, list[str]]:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             "--toggle-collect=*deque_extend*", sys.executable, __file__, "--child", name, "-n", str(n)],
            check=True, capture_output=True)
        text = subprocess.run(["callgrind_annotate", out], check=True, capture_output=True,
                              text=True).stdout
    total = int(re.search(r"^([\d,]+) \(100\.0%\)\s+PROGRAM TOTALS", text, re.M)[1]
                .replace(",", ""))
    body = text.split("file:function", 1)[-1].splitlines()
    lines = [ln.strip() for ln in body if re.match(r"\s*[\d,]+ \(", ln)][:top]
    return total / n, lines


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="operations (default: all)")
    ap.add_argument("-n", type=int, default=20_000, help="items per operation")
    ap.add_argument("--top", type=int, default=0, help="list the N costliest functions")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.names[0], args.n)
    available = ops(100)
    names = args.names or list(available)
    print("| operation | instructions per item |")
    print("|---|---:|")
    details = []
    for name in names:
        # Batch and sort rows take one list of n items; the floor builds n pairs.
        per_item, lines = profile(name, args.n, args.top)
        print(f"| {name} | {per_item:.0f} |", flush=True)
        details.append((name, lines))
    symbols = module_symbols()
    for name, lines in details:
        if lines:
            print(f"\n{name}:")
            for ln in lines:
                ln = name_addresses(re.sub(r"\S*/Python-[\d.]+/", "", ln), symbols)
                print("   ", re.sub(r" \[\S+\]$", "", ln))


if __name__ == "__main__":
    main()
