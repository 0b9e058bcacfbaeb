"""Replays the seed corpus and the saved crashing or diverging inputs of the
column harness (tests/fuzz/columns_harness.py) without a fuzzer."""
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).parent / "fuzz"
sys.path.insert(0, str(FUZZ))

import columns_harness  # noqa: E402

INPUTS = sorted(path for kind in ("corpus", "regressions")
                for path in (FUZZ / kind / "columns").glob("*") if path.is_file())


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.parent.name}/{p.name}" for p in INPUTS])
def test_saved_input(path):
    columns_harness.check_columns(path.read_bytes())


def test_the_harness_is_registered_and_has_a_corpus():
    import harnesses

    assert harnesses.CHECKS["columns"] is columns_harness.check_columns
    assert len(INPUTS) > 20
