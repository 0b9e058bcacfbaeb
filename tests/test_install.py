"""The installed distribution holds what the source tree ships: every module
and type file of the package and of the stubs, byte for byte, both extension
modules (imported from the distribution, not from a build tree), and the
command's entry point. The wheel stage of .ci/run relies on this test to
see what a wheel could lose."""
import importlib.metadata
from pathlib import Path

import pytest

import _sornquibid
import sornquibid._native

SOURCE = Path(__file__).resolve().parents[1] / "python"
SHIPPED = sorted(
    path.relative_to(SOURCE)
    for top in ("sornquibid", "_sornquibid-stubs")
    for path in (SOURCE / top).rglob("*")
    if path.is_file() and (path.suffix in (".py", ".pyi") or path.name == "py.typed")
)
DIST = importlib.metadata.distribution("sornquibid")


@pytest.mark.parametrize("relative", SHIPPED, ids=str)
def test_installed_file_is_the_source_file(relative):
    assert relative in {Path(f) for f in DIST.files}
    assert Path(DIST.locate_file(relative)).read_bytes() == (SOURCE / relative).read_bytes()


@pytest.mark.parametrize("module", [_sornquibid, sornquibid._native], ids=lambda m: m.__name__)
def test_extension_is_the_distribution_s(module):
    installed = {Path(DIST.locate_file(f)).resolve() for f in DIST.files}
    assert Path(module.__file__).resolve() in installed


def test_command_entry_point_loads():
    [script] = DIST.entry_points.select(group="console_scripts", name="sornquibid")
    assert callable(script.load())
