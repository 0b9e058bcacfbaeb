"""Replays the fuzz seed corpus and every saved crashing or diverging input
through the differential harnesses (no fuzzer needed)."""
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).parent / "fuzz"
sys.path.insert(0, str(FUZZ))

import registry  # noqa: E402
INPUTS = sorted(
    (name, path)
    for name in registry.CHECKS
    for kind in ("corpus", "regressions")
    for path in (FUZZ / kind / name).glob("*")
    if path.is_file()
)


@pytest.mark.parametrize("name, path", INPUTS, ids=[f"{n}/{p.parent.parent.name}/{p.name}" for n, p in INPUTS])
def test_saved_input(name, path):
    if not registry.AVAILABLE[name]:
        pytest.skip("not built yet")
    registry.CHECKS[name](path.read_bytes())


def test_corpus_exists():
    assert {name for name, _ in INPUTS} == set(registry.CHECKS)
