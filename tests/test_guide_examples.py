"""The guide's runnable examples: each Python block marked `<!-- tested -->`
runs in a fresh interpreter and must print exactly the text block that
follows it."""
import pathlib
import re

import pytest

from conftest import run_python

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
EXAMPLE = re.compile(r"<!-- tested -->\n```python\n(.*?)```\n[^`]*```text\n(.*?)```", re.DOTALL)
EXAMPLES = EXAMPLE.findall(GUIDE.read_text(encoding="utf-8"))


def test_the_integration_examples_are_all_found():
    assert len(EXAMPLES) == 4


@pytest.mark.parametrize("code, output", EXAMPLES, ids=["sqlalchemy", "django", "pydantic", "json"])
def test_example_prints_what_the_guide_shows(code, output):
    assert run_python(code) == output.strip()
