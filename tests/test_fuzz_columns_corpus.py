"""The column harness (tests/fuzz/columns_harness.py) is one of the fuzz
harnesses of the registry, with a seed corpus of its own (replayed by test_fuzz_corpus.py)."""
import sys
from pathlib import Path

FUZZ = Path(__file__).parent / "fuzz"
sys.path.insert(0, str(FUZZ))

import columns_harness  # noqa: E402
import registry  # noqa: E402


def test_the_harness_is_listed_and_has_a_corpus():
    assert registry.CHECKS["columns"] is columns_harness.check_columns
    assert registry.AVAILABLE["columns"]
    assert len([p for p in (FUZZ / "corpus" / "columns").glob("*") if p.is_file()]) > 20
