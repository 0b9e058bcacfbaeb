"""The sornquibid command, run end to end in child processes."""

import json
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema

SORN_MASK = 0x7FFFFFFFFFC01FFF
EXAMPLE = 7130316800000040967  # 1700000000000 ms, node 5, sequence 7


def run(*args, stdin=b"", env=None, precision=None):
    """Runs `python -m sornquibid ARGS`; returns (status, stdout text, stderr text)."""
    child_env = dict(os.environ)
    child_env.pop("QUIBID_PRECISION", None)
    if precision is not None:
        child_env["QUIBID_PRECISION"] = precision
    child_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-m", "sornquibid", *args],
        input=stdin,
        capture_output=True,
        env=child_env,
        timeout=300,
    )
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def ok(*args, **kwargs):
    status, out, err = run(*args, **kwargs)
    assert (status, err) == (0, ""), err
    return out


def fails(*args, status=1, **kwargs):
    """Asserts a failure reported as one line on stderr; returns that line."""
    code, _, err = run(*args, **kwargs)
    assert code == status
    assert "Traceback" not in err
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("sornquibid: error: "), err
    return lines[0]


def test_console_script_and_module_are_the_same_tool():
    script = shutil.which("sornquibid", path=str(Path(sys.executable).parent))
    assert script is not None
    proc = subprocess.run([script, "inspect", str(EXAMPLE), "--json"], capture_output=True)
    assert proc.returncode == 0
    assert json.loads(proc.stdout) == json.loads(ok("inspect", str(EXAMPLE), "--json"))


# ---------------------------------------------------------------------------
# inspect


def test_inspect_decimal_reads_both_forms():
    [record] = json.loads(ok("inspect", str(EXAMPLE), "--json"))
    asc, desc = record["ascending"], record["descending"]
    assert (record["input"], record["family"]) == (str(EXAMPLE), "sorn")
    assert asc["type"] == "SornId" and asc["value"] == str(EXAMPLE)
    assert (asc["timestamp_ms"], asc["node_id"], asc["sequence"]) == (1700000000000, 5, 7)
    assert asc["counterpart"] == {
        "type": "SornIdDesc",
        "value": str(SornIdDesc.from_parts(1700000000000, 5, 7)),
    }
    assert asc["image"] == {"type": "QuibId", "value": "0000000b-cbce-87f1-9b15-000000050007"}

    as_desc = SornIdDesc(EXAMPLE)
    ascending = SornId(EXAMPLE ^ SORN_MASK)
    assert desc["type"] == "SornIdDesc"
    fields = (desc["timestamp_ms"], desc["node_id"], desc["sequence"])
    assert fields == (as_desc.timestamp_ms, as_desc.node_id, as_desc.sequence)
    assert fields == (ascending.timestamp_ms, ascending.node_id, ascending.sequence)
    assert desc["counterpart"] == {"type": "SornId", "value": str(ascending)}
    image = SornId.batch_to_quibids([ascending])[0][1]
    expected = QuibIdDesc.from_parts(image.timestamp, image.precision, image.node_id, image.sequence)
    assert desc["image"] == {"type": "QuibIdDesc", "value": str(expected)}


def test_inspect_image_follows_quibid_precision():
    [record] = json.loads(ok("inspect", str(EXAMPLE), "--json", precision="fs"))
    assert record["ascending"]["image"]["value"] == "00b3fe97-a2fa-8fd2-bf40-000000050007"


@pytest.mark.parametrize(
    "form",
    [
        "0000000b-cbce-87f1-9b15-000000050007",
        "0000000BCBCE87F19B15000000050007",
        "{0000000b-cbce-87f1-9b15-000000050007}",
        "urn:uuid:0000000b-cbce-87f1-9b15-000000050007",
    ],
)
def test_inspect_uuid_in_every_accepted_form(form):
    text = "0000000b-cbce-87f1-9b15-000000050007"
    [record] = json.loads(ok("inspect", form, "--json"))
    asc, desc = record["ascending"], record["descending"]
    q = QuibId.from_str(text)
    assert record["family"] == "quib" and asc["value"] == text
    assert (asc["timestamp"], asc["precision"], asc["node_id"], asc["sequence"]) == (
        1700000000000000000, "ns", 5, 7,
    )
    assert asc["timestamp_micros"] == q.timestamp_micros
    assert asc["counterpart"]["value"] == str(QuibIdDesc.from_parts(q.timestamp, "ns", 5, 7))
    # A lone identifier converts with sequence 0.
    assert asc["image"] == {"type": "SornId", "value": str(EXAMPLE - 7)}

    d = QuibIdDesc.from_str(text)
    assert desc["type"] == "QuibIdDesc" and desc["value"] == text
    assert (desc["timestamp"], desc["node_id"], desc["sequence"]) == (
        d.timestamp, d.node_id, d.sequence,
    )
    counterpart = QuibId.from_str(desc["counterpart"]["value"])
    assert QuibIdDesc.from_parts(
        counterpart.timestamp, counterpart.precision, counterpart.node_id, counterpart.sequence
    ) == d


def test_inspect_reports_an_unconvertible_image():
    node_600 = "00000000-0305-8120-8c0f-200002580000"
    [record] = json.loads(ok("inspect", node_600, "--json"))
    assert record["ascending"]["image"] == {
        "type": "SornId",
        "error": "node_id 600 exceeds SornId max (511)",
    }
    assert record["descending"]["image"]["type"] == "SornIdDesc"
    assert "error" in record["descending"]["image"]


def test_inspect_text_output_lists_both_readings():
    out = ok("inspect", str(EXAMPLE), "4210691")
    blocks = out.split("\n\n")
    assert len(blocks) == 2
    assert blocks[0].splitlines()[0] == str(EXAMPLE)
    assert "SornId (ascending): 7130316800000040967" in blocks[0]
    assert "SornIdDesc (descending): 7130316800000040967" in blocks[0]
    assert "timestamp_ms:     1700000000000" in blocks[0]
    assert "image:            QuibId(0000000b-cbce-87f1-9b15-000000050007)" in blocks[0]
    assert "node_id:          2" in blocks[1]


@pytest.mark.parametrize(
    "text, message",
    [
        ("abc", "'abc': not a decimal SornId or a UUID text"),
        ("-5", "'-5': sornid must be non-negative"),
        ("9223372036854775808", "invalid SornId string: 9223372036854775808"),
        ("00000000-0000-4000-8000-000000000000", "uuid version must be 8 (UUIDv8)"),
        ("00000000-0000-8000-c000-000000000000", "uuid variant must be RFC 4122"),
        ("", "'': not a decimal SornId or a UUID text"),
        ("a\nb", "'a\\nb': not a decimal SornId or a UUID text"),
    ],
)
def test_inspect_bad_identifier(text, message):
    assert fails("inspect", str(EXAMPLE), text).endswith(message)


def test_inspect_invalid_precision_is_one_line_not_a_traceback():
    line = fails("inspect", str(EXAMPLE), precision="NS")
    assert "invalid QUIBID_PRECISION" in line and "(got 'NS')" in line


# ---------------------------------------------------------------------------
# sql


@pytest.mark.parametrize(
    "name, constant",
    [
        ("install", "INSTALL_ALL_DESC_TSQL"),
        ("flip", "DESC_FLIP_TSQL"),
        ("generators", "DESC_GENERATORS_TSQL"),
        ("backfill", "BULK_BACKFILL_TSQL"),
    ],
)
def test_sql_scripts_are_printed_byte_for_byte(name, constant):
    assert ok("sql", name) == getattr(mssql_schema, constant)


def test_sql_trigger_and_drop():
    out = ok("sql", "trigger", "orders", "id:id_desc", "parent_id:parent_id_desc", "--kind", "sorn")
    assert out == mssql_schema.mssql_install_autofill_trigger_for_table(
        "orders", [("id", "id_desc"), ("parent_id", "parent_id_desc")], "sorn"
    )
    out = ok("sql", "trigger", "t", "a:b", "--kind", "quib")
    assert "dbo.quibid_to_desc(t.a)" in out
    assert ok("sql", "drop", "orders") == mssql_schema.mssql_drop_autofill_trigger_for_table("orders")


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["sql", "trigger", "dbo.orders", "a:b", "--kind", "sorn"], 1, 'invalid SQL identifier: "dbo.orders"'),
        (["sql", "trigger", "t", "a:1x", "--kind", "sorn"], 1, 'invalid SQL identifier: "1x"'),
        (["sql", "trigger", "t", "ab", "--kind", "sorn"], 2, "column pair must be SRC:DST, got 'ab'"),
        (["sql", "trigger", "t", "a:b:c", "--kind", "sorn"], 2, "got 'a:b:c'"),
        (["sql", "trigger", "t", "a:b"], 2, "--kind"),
        (["sql", "trigger", "t", "a:b", "--kind", "Sorn"], 2, "invalid choice"),
        (["sql", "trigger", "t", "--kind", "sorn"], 2, "SRC:DST"),
        (["sql", "drop", "a b"], 1, 'invalid SQL identifier: "a b"'),
        (["sql", "views"], 2, "invalid choice"),
        ([], 2, "COMMAND"),
        (["frobnicate"], 2, "invalid choice"),
        (["convert", "--to", "uuid"], 2, "invalid choice"),
    ],
)
def test_bad_command_lines(args, status, message):
    assert message in fails(*args, status=status)


# ---------------------------------------------------------------------------
# convert


def csv_rows(out):
    return [tuple(line.split(",")) for line in out.splitlines()]


def test_convert_to_quib_from_stdin_and_file(tmp_path):
    ids = [EXAMPLE, 0, 4210691, EXAMPLE]
    text = f"{ids[0]}\r\n\n  {ids[1]}  \n{ids[2]}\n{ids[3]}"
    expected = [(str(a), str(b)) for a, b in SornId.batch_to_quibids([SornId(i) for i in ids])]
    assert csv_rows(ok("convert", "--to", "quib", stdin=text.encode())) == [
        ("sornid", "quibid"), *expected,
    ]
    path = tmp_path / "ids.txt"
    path.write_text(text)
    assert csv_rows(ok("convert", "--to", "quib", str(path), "--no-header")) == expected


def quib_texts(sorn_values):
    return [str(q) for _, q in SornId.batch_to_quibids([SornId(v) for v in sorn_values])]


def sorn_value(ms, node, seq):
    return ms << 22 | node << 13 | seq


def test_convert_to_quib_keeps_order_across_batches():
    values = [sorn_value(1700000000000 + i // 7, i % 512, i % 8192) for i in range(210_000)][::-1]
    out = ok("convert", "--to", "quib", "--no-header", stdin="\n".join(map(str, values)).encode())
    assert csv_rows(out) == [(str(a), str(b)) for a, b in SornId.batch_to_quibids(list(map(SornId, values)))]


def test_convert_to_sorn_numbers_a_group_split_across_batches():
    # One (millisecond, node) group of 8192, half before and half after
    # 100 000 lines of other groups: the sequences run over the whole list.
    group = quib_texts(sorn_value(1700000000000, 5, k) for k in range(8192))
    filler = quib_texts(sorn_value(1700000000001 + i, 1, 0) for i in range(100_000))
    lines = group[4096:] + filler + group[:4096]
    expected = QuibId.batch_to_sornids([QuibId.from_str(t) for t in lines])
    out = ok("convert", "--to", "sorn", stdin="\n".join(lines).encode())
    assert csv_rows(out) == [("quibid", "sornid")] + [(str(a), str(b)) for a, b in expected]
    members = set(group)
    assert [int(b) & 0x1FFF for a, b in csv_rows(out)[1:] if a in members] == list(range(8192))


def test_convert_to_sorn_lists_every_conflict_and_writes_nothing():
    lines = [
        quib_texts([EXAMPLE])[0],
        "00000000-0305-8120-8c0f-200002580000",  # node id 600
        "ffffffff-ffff-8fff-bfff-000000000000",  # far beyond 2^41 ms
    ]
    status, out, err = run("convert", "--to", "sorn", stdin="\n".join(lines).encode())
    conflicts = QuibId.check_sornid_convertibility([QuibId.from_str(t) for t in lines])
    assert (status, out) == (1, "")
    assert err.splitlines() == [
        *conflicts,
        "sornquibid: error: 2 conflicts (listed above): nothing converted",
    ]
    assert "NodeIdOverflow { node_id: 600 }" in err and "TimestampOverflow" in err


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["--to", "quib"], b"1\n2\nx\n", "line 3: invalid SornId string: x"),
        (["--to", "quib"], b"1\n-2\n", "line 2: sornid must be non-negative"),
        (["--to", "quib"], b"1\n\xff\n", "line 2: invalid SornId string: \ufffd"),
        (["--to", "sorn"], b"\n\n0000\n", "line 3: invalid QuibId string: 0000"),
        (["--to", "sorn"], b"00000000-0000-4000-8000-000000000000", "line 1: uuid version must be 8"),
        (["--to", "quib", "/nonexistent/ids.txt"], b"", "cannot read /nonexistent/ids.txt"),
    ],
)
def test_convert_bad_input(args, stdin, message):
    assert message in fails("convert", *args, stdin=stdin)


def test_convert_to_quib_with_invalid_precision_is_one_line():
    status, out, err = run("convert", "--to", "quib", stdin=b"1\n", precision="bogus")
    assert (status, out) == (1, "")
    assert err == (
        "sornquibid: error: invalid QUIBID_PRECISION: "
        "\"QUIBID_PRECISION must be one of: us, ns, ps, fs (got 'bogus')\"\n"
    )


def test_convert_to_sorn_ignores_the_precision_setting():
    assert ok("convert", "--to", "sorn", "--no-header", stdin=quib_texts([EXAMPLE])[0].encode(), precision="bogus")


def test_convert_shows_progress_only_on_a_terminal():
    data = "\n".join(str(v) for v in range(150_000)).encode()
    assert run("convert", "--to", "quib", stdin=data)[2] == ""
    primary, secondary = pty.openpty()
    env = {k: v for k, v in os.environ.items() if k != "QUIBID_PRECISION"}
    proc = subprocess.Popen(
        [sys.executable, "-m", "sornquibid", "convert", "--to", "quib"],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=secondary, env=env,
    )
    os.close(secondary)
    proc.communicate(data, timeout=300)
    shown = b""
    while True:
        try:
            chunk = os.read(primary, 65536)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(primary)
    assert proc.returncode == 0
    assert b"converted 100,000 identifiers" in shown and b"converted 150,000 identifiers" in shown


def test_closed_output_pipe_ends_quietly(tmp_path):
    path = tmp_path / "ids.txt"
    path.write_text("\n".join(str(v) for v in range(300_000)))
    proc = subprocess.Popen(
        [sys.executable, "-m", "sornquibid", "convert", "--to", "quib", str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    assert proc.stdout.readline() == b"sornid,quibid\n"
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=300)
    assert b"Traceback" not in err and err == b""
