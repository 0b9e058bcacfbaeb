"""The generation precision: QUIBID_PRECISION, read once at the first
conversion from SornId and fixed from then on. Each case runs in a fresh
interpreter, since the setting is process-wide."""
import os
import subprocess
import sys

import pytest

from conftest import run_python

# Converts one SornId of timestamp 1 ms and prints the QuibId's timestamp and
# precision.
CONVERT_ONE = (
    "from _sornquibid import SornId\n"
    "def convert():\n"
    "    [(s, q)] = SornId.batch_to_quibids([SornId.from_parts(1, 0, 0) if hasattr(SornId, 'from_parts') else SornId(1 << 22)])\n"
    "    return f'{q.timestamp} {q.precision}'\n"
)

# Exercises everything that must not read the variable.
UNAFFECTED = (
    "import _sornquibid as m\n"
    "q = m.QuibId.from_str('00000000-0000-8000-9000-03e780000000')\n"
    "assert (q.timestamp, q.precision, q.timestamp_micros) == (1999, 'ns', 1)\n"
    "d = m.QuibIdDesc.from_parts(5, 'fs', 1, 2)\n"
    "assert (d.timestamp, d.precision, d.node_id, d.sequence) == (5, 'fs', 1, 2)\n"
    "assert m.QuibIdDesc.from_str(str(d)) == d\n"
    "assert m.SornIdDesc.from_parts(1, 2, 3).timestamp_ms == 1\n"
    "print('ok')\n"
)


def run_with_env_bytes(code, value):
    """Runs `code` with QUIBID_PRECISION set to the raw bytes `value`."""
    env = dict(os.environb)
    env[b"QUIBID_PRECISION"] = value
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc.stdout.decode().strip()


@pytest.mark.parametrize("value", [None, "NS", "", "bogus"])
def test_import_parsing_and_from_parts_never_read_the_variable(value):
    if value is None:
        out = run_python(UNAFFECTED, env_remove=["QUIBID_PRECISION"])
    else:
        out = run_python(UNAFFECTED, env_updates={"QUIBID_PRECISION": value})
    assert out == "ok"


def test_not_utf8_does_not_disturb_other_operations():
    assert run_with_env_bytes(UNAFFECTED, b"n\xffs") == "ok"


def panic_text(value_repr):
    return (
        'invalid QUIBID_PRECISION: "QUIBID_PRECISION must be one of: us, ns, ps, fs (got \''
        + value_repr
        + "')\""
    )


CATCH = (
    "try:\n"
    "    convert()\n"
    "except Exception:\n"
    "    print('caught as Exception')\n"
    "except BaseException as e:\n"
    "    print(type(e).__name__, e.args[0])\n"
)


def test_absent_means_nanoseconds():
    out = run_python(CONVERT_ONE + "print(convert())", env_remove=["QUIBID_PRECISION"])
    assert out == "1000000 ns"


@pytest.mark.parametrize(
    "value, expected",
    [("us", "1000 us"), ("ns", "1000000 ns"), ("ps", "1000000000 ps"), ("fs", "1000000000000 fs")],
)
def test_each_code(value, expected):
    out = run_python(CONVERT_ONE + "print(convert())", env_updates={"QUIBID_PRECISION": value})
    assert out == expected


@pytest.mark.parametrize(
    "value, shown",
    [("NS", "NS"), (" ns", " ns"), ("ns ", "ns "), ("nanoseconds", "nanoseconds"), ("", ""),
     ("Us", "Us"), ('a"b', 'a\\"b'), ("a\\b", "a\\\\b"), ("\t", "\\t")],
)
def test_invalid_values_panic(value, shown):
    out = run_python(CONVERT_ONE + CATCH, env_updates={"QUIBID_PRECISION": value})
    assert out == "PanicException " + panic_text(shown)


def test_not_utf8_panics():
    out = run_with_env_bytes(CONVERT_ONE + CATCH, b"n\xffs")
    assert out == (
        'PanicException invalid QUIBID_PRECISION: "QUIBID_PRECISION is set but not valid UTF-8"'
    )


def test_empty_list_also_needs_the_precision():
    code = (
        "from _sornquibid import SornId\n"
        "def convert():\n    return SornId.batch_to_quibids([])\n" + CATCH
    )
    assert run_python(code, env_updates={"QUIBID_PRECISION": "x"}) == (
        "PanicException " + panic_text("x")
    )


def test_change_after_first_use_has_no_effect():
    code = CONVERT_ONE + (
        "import os\n"
        "print(convert())\n"
        "os.environ['QUIBID_PRECISION'] = 'fs'\n"
        "print(convert())\n"
        "os.environ['QUIBID_PRECISION'] = 'bogus'\n"
        "print(convert())\n"
        "del os.environ['QUIBID_PRECISION']\n"
        "print(convert())\n"
    )
    out = run_python(code, env_updates={"QUIBID_PRECISION": "ps"})
    assert out.split("\n") == ["1000000000 ps"] * 4


def test_correction_after_failure_recovers():
    code = CONVERT_ONE + CATCH + (
        "import os\n"
        "os.environ['QUIBID_PRECISION'] = 'fs'\n"
        "print(convert())\n"
        "os.environ['QUIBID_PRECISION'] = 'us'\n"
        "print(convert())\n"
    )
    out = run_python(code, env_updates={"QUIBID_PRECISION": "NS"})
    assert out.split("\n") == [
        "PanicException " + panic_text("NS"),
        "1000000000000 fs",
        "1000000000000 fs",
    ]


def test_failure_leaves_the_interpreter_usable():
    code = CONVERT_ONE + CATCH + CATCH + (
        "from _sornquibid import QuibIdDesc\n"
        "print(QuibIdDesc.from_parts(0, 'us', 0, 0))\n"
    )
    out = run_python(code, env_updates={"QUIBID_PRECISION": "bad"})
    assert out.split("\n") == ["PanicException " + panic_text("bad")] * 2 + [
        "ffffffff-ffff-8fff-8fff-ffff8000ffff"
    ]
