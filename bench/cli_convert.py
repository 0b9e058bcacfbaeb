"""The rows of `sornquibid convert` in the benchmark report (bench/run.py;
`--only convert` runs them alone): the command on the column path against
the command as it was before (the package's cli/ of commit BEFORE, taken
from git into a temporary package), over 10 million lines (2 million with
--quick), each run as a process of its own writing to /dev/null, with its
peak memory. Each row first checks that both commands write the same pairs
for the first 100,000 lines."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path
from time import perf_counter
from typing import Any

from _sornquibid import SornId

# The last commit whose command converted with an object per identifier.
BEFORE = "370eaec"
_MODULES = ("__init__", "convert", "errors", "input", "inspect", "output", "sql")
T0_MS = 1_700_000_000_000
WINDOW_MS = 20_000

# The package of the command before, beside the installed sornquibid: its
# cli/ from git, and every other module of it taken from sornquibid itself.
_SHIM = """import importlib, pkgutil, sys
import sornquibid
globals().update({k: v for k, v in vars(sornquibid).items() if not k.startswith("__")})
for m in pkgutil.iter_modules(sornquibid.__path__):
    if m.name not in ("cli", "__main__"):
        sys.modules[f"{__name__}.{m.name}"] = importlib.import_module(f"sornquibid.{m.name}")
"""
# Runs the command of package PACKAGE with the arguments given; prints its
# exit status, seconds and peak resident memory in bytes.
_RUN = """import os, subprocess, sys, time
package, *args = sys.argv[1:]
code = f"import sys; from {package}.cli import main; sys.exit(main(sys.argv[1:]))"
start = time.perf_counter()
proc = subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(proc.pid, 0)
print(os.waitstatus_to_exitcode(status), time.perf_counter() - start, usage.ru_maxrss * 1024)
"""


def _before(directory: Path) -> str | None:
    """Writes the package of the command before into `directory`; None, or
    why it cannot be had."""
    repo = Path(__file__).resolve().parents[1]
    package = directory / "sornquibid_before"
    (package / "cli").mkdir(parents=True)
    (package / "__init__.py").write_text(_SHIM)
    for name in _MODULES:
        try:
            text = subprocess.run(
                ["git", "-C", str(repo), "show", f"{BEFORE}:python/sornquibid/cli/{name}.py"],
                capture_output=True, text=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError) as exc:
            return f"the command before the column path is not in git here ({exc})"
        (package / "cli" / f"{name}.py").write_text(text)
    return None


class Command:
    """One command (package `package`) over one input; each run() is a
    process, timed from start to exit, its peak memory kept."""

    def __init__(self, directory: Path, package: str, args: list[str]) -> None:
        self.directory = directory
        self.package = package
        self.args = args
        self.peak = 0

    def output(self, source: Path) -> bytes:
        code = f"import sys; from {self.package}.cli import main; sys.exit(main(sys.argv[1:]))"
        return subprocess.run([sys.executable, "-c", code, *self.args, str(source)],
                              capture_output=True, check=True, env=self._env()).stdout

    def _env(self) -> dict[str, str]:
        path = os.pathsep.join(filter(None, [str(self.directory), os.environ.get("PYTHONPATH")]))
        return {**os.environ, "PYTHONPATH": path}

    def run(self, source: Path) -> float:
        out = subprocess.run(
            [sys.executable, "-c", _RUN, self.package, *self.args, str(source), "-o", os.devnull],
            capture_output=True, text=True, env=self._env(), check=True).stdout
        status, seconds, peak = out.split()
        if status != "0":
            raise RuntimeError(f"{self.package} {' '.join(self.args)} failed ({status})")
        self.peak = max(self.peak, int(peak))
        return float(seconds)


def _write_lines(path: Path, n: int, seed: int, quib: bool) -> None:
    """`n` SornIds of 512 nodes over a 20-second window (as bench/columns.py
    draws them), one per line, or their QuibIds at the generation precision;
    a million at a time."""
    import random

    rng = random.Random(seed)
    with open(path, "w") as out:
        for start in range(0, n, 1_000_000):
            values = [(T0_MS + rng.randrange(WINDOW_MS)) << 22 | rng.randrange(512) << 13 |
                      rng.randrange(8192) for _ in range(min(n - start, 1_000_000))]
            if quib:
                texts = [str(q) for _, q in SornId.batch_to_quibids(list(map(SornId, values)))]
            else:
                texts = [str(v) for v in values]
            out.write("\n".join(texts) + "\n")


def rows(rep: Any, cfg: Any, rng: Any, run: Any) -> None:
    """Adds the rows of the command to the report `rep`; `run` is bench/run.py."""
    n = cfg.batch_n * 10
    seed = rng.randrange(2**32)
    with tempfile.TemporaryDirectory(prefix="sornquibid-bench-") as temp:
        directory = Path(temp)
        why = _before(directory)
        if why is not None:
            rep.skip("sornquibid convert", why)
            return
        for target, rounds, bound in (("quib", cfg.pure_rounds, 1 / 5), ("sorn", 1, None)):
            source = directory / f"{target}.txt"
            _write_lines(source, n, seed, target == "sorn")
            sample = directory / f"{target}-sample.txt"
            _write_lines(sample, 100_000, seed, target == "sorn")
            args = ["convert", "--to", target]
            ours = Command(directory, "sornquibid", args)
            before = Command(directory, "sornquibid_before", args)
            # The command before wrote the pairs of --to sorn sorted by QuibId.
            agree = ours.output(sample) == before.output(sample) if target == "quib" else \
                sorted(ours.output(sample).splitlines()) == sorted(before.output(sample).splitlines())
            ours_c = run.Candidate("column path", lambda: ours.run(source), rounds)
            before_c = run.Candidate("the command before", lambda: before.run(source), rounds)
            run.measure([ours_c, before_c])
            note = (f"peak memory {ours.peak / 2**20:.0f} MB, before {before.peak / 2**20:.0f} MB"
                    if agree else "MISMATCH between the column path and the command before")
            rep.compare(f"sornquibid convert --to {target}, {n} lines", ours_c,
                        [(before_c, bound)], "ms", note)
            source.unlink()
