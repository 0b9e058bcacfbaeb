"""The guide's runnable examples: each Python block marked
`<!-- tested: NAME -->` runs in a fresh interpreter and must print exactly
the text block that follows it."""
import pathlib
import re

import pytest

from conftest import run_python

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
TEXT = GUIDE.read_text(encoding="utf-8")
EXAMPLE = re.compile(
    r"<!-- tested: ([\w-]+) -->\n```python\n(.*?)```\n[^`]*```text\n(.*?)```", re.DOTALL
)
EXAMPLES = {name: (code, output) for name, code, output in EXAMPLE.findall(TEXT)}


def test_every_marked_example_is_found_once():
    marked = re.findall(r"<!-- tested: ([\w-]+) -->", TEXT)
    assert sorted(marked) == sorted(EXAMPLES), "a marked example is malformed or named twice"
    assert marked


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_example_prints_what_the_guide_shows(name):
    code, output = EXAMPLES[name]
    assert run_python(code) == output.strip()
