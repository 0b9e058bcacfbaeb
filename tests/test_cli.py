"""The sornquibid command, run end to end in child processes."""

import collections
import importlib.metadata
import json
import os
import pty
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import sornquibid
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema
from conftest import SANITIZED

SORN_MASK = 0x7FFFFFFFFFC01FFF
EXAMPLE = 7130316800000040967  # 1700000000000 ms, node 5, sequence 7


def child_env(precision=None):
    env = dict(os.environ)
    env.pop("QUIBID_PRECISION", None)
    if precision is not None:
        env["QUIBID_PRECISION"] = precision
    return env


COMMAND = [sys.executable, "-m", "sornquibid"]


def run(*args, stdin=b"", precision=None, redirect=""):
    """Runs `python -m sornquibid ARGS` (under `sh` when a `redirect` such as
    `<&-` applies); returns (status, stdout text, stderr text)."""
    command = [*COMMAND, *args]
    if redirect:
        command = ["sh", "-c", f'exec "$0" "$@" {redirect}', *command]
    if isinstance(stdin, str):
        stdin = stdin.encode()
    proc = subprocess.run(
        command, input=stdin, capture_output=True, env=child_env(precision), timeout=300
    )
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def ok(*args, **kwargs):
    status, out, err = run(*args, **kwargs)
    assert (status, err) == (0, ""), err
    return out


def fails(*args, status=1, output=None, **kwargs):
    """Asserts a failure reported as one line on stderr (after exactly
    `output` on stdout, if given); returns that line."""
    code, out, err = run(*args, **kwargs)
    assert code == status, err
    assert output is None or out == output
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
    assert "time" not in asc and "time" not in desc  # only with --epoch
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
        "0x0000000BCBCE87F19B15000000050007",  # a BINARY(16) as SQL Server shows it
    ],
)
def test_inspect_uuid_in_every_accepted_form(form):
    text = "0000000b-cbce-87f1-9b15-000000050007"
    [record] = json.loads(ok("inspect", form, "--json"))
    asc, desc = record["ascending"], record["descending"]
    q = QuibId.from_str(text)
    assert record["family"] == "quib" and asc["value"] == text
    # Integers that may exceed 2**53 - 1 are strings, so that JSON readers
    # using doubles keep every digit.
    assert (asc["timestamp"], asc["precision"], asc["node_id"], asc["sequence"]) == (
        "1700000000000000000", "ns", 5, 7,
    )
    assert asc["timestamp_micros"] == str(q.timestamp_micros)
    assert asc["counterpart"]["value"] == str(QuibIdDesc.from_parts(q.timestamp, "ns", 5, 7))
    # A lone identifier converts with sequence 0.
    assert asc["image"] == {"type": "SornId", "value": str(EXAMPLE - 7)}

    d = QuibIdDesc.from_str(text)
    assert desc["type"] == "QuibIdDesc" and desc["value"] == text
    assert (desc["timestamp"], desc["node_id"], desc["sequence"]) == (
        str(d.timestamp), d.node_id, d.sequence,
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
    out = ok("inspect", str(EXAMPLE), "4210691", "0000000b-cbce-87f1-9b15-000000050007")
    blocks = out.split("\n\n")
    assert len(blocks) == 3
    assert blocks[0].splitlines()[0] == str(EXAMPLE)
    assert "SornId (ascending): 7130316800000040967" in blocks[0]
    assert "SornIdDesc (descending): 7130316800000040967" in blocks[0]
    assert "timestamp_ms:     1700000000000" in blocks[0]
    assert "image:            QuibId(0000000b-cbce-87f1-9b15-000000050007)" in blocks[0]
    assert "node_id:          2" in blocks[1]
    assert "time:" not in out
    timed = ok("inspect", str(EXAMPLE), "4210691", "0000000b-cbce-87f1-9b15-000000050007", "--epoch", "unix")
    assert timed.count("\n    time:             ") == 6
    assert "timestamp_ms:     1700000000000\n    node_id:          5\n    sequence:         7\n" \
        "    time:             2023-11-14T22:13:20.000Z\n" in timed
    assert "    time:             not a date of the years 1 to 9999\n" in timed


@pytest.mark.parametrize(
    "args, stdin",
    [
        (["-"], "\n5\r\n 4210691 \n"),
        (["5", "-"], "4210691\n"),
        (["--file", "{path}"], "5\n4210691"),
        (["-", "--column", "id"], "name,id\nx,5\n\ny,4210691\n"),
    ],
)
def test_inspect_reads_identifiers_from_a_file(tmp_path, args, stdin):
    path = tmp_path / "ids"
    path.write_text(stdin)
    args = [a.format(path=path) for a in args]
    out = ok("inspect", "--json", *args, stdin=stdin)
    assert json.loads(out) == json.loads(ok("inspect", "--json", "5", "4210691"))


# Runs the command given as arguments and prints its exit status and peak
# resident memory. A process's peak counts the memory of the process that
# started it (up to the exec), so a small interpreter starts it, not the test.
PEAK_MEMORY = """
import os, subprocess, sys
proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(proc.pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024)  # kilobytes on Linux
"""


def peak_memory(args, stdin_path):
    """Runs the command on the file `stdin_path`, its output discarded;
    returns its peak resident memory in bytes."""
    with open(stdin_path, "rb") as stdin:
        out = subprocess.run(
            [sys.executable, "-c", PEAK_MEMORY, *COMMAND, *args],
            stdin=stdin, capture_output=True, text=True, env=child_env(), timeout=300,
        ).stdout
    status, peak = map(int, out.split())
    assert status == 0
    return peak


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime keeps freed memory in quarantine")
@pytest.mark.parametrize("flags", [[], ["--json"]])
def test_inspect_writes_each_record_before_building_the_next(tmp_path, flags):
    # A record takes about 2.6 kB: kept for a whole batch of 100,000 lines,
    # the records would take about 260 MB more than for 1,000 lines.
    peaks = []
    for count in (1_000, 100_000):
        path = tmp_path / f"{count}.txt"
        path.write_text("".join(f"{EXAMPLE + i}\n" for i in range(count)))
        peaks.append(peak_memory(["inspect", "-", *flags], path))
    assert peaks[1] - peaks[0] < 100 * 2**20, peaks


@pytest.mark.parametrize("ids", [["bad"], ["5", "x"]])
def test_inspect_closes_its_file_when_an_id_is_refused(tmp_path, ids):
    path = tmp_path / "ids"
    path.write_text("5\n")
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-m", "sornquibid", "inspect", *ids, "--file", str(path)],
        capture_output=True, text=True, env=child_env(), timeout=300,
    )
    assert proc.returncode == 1
    assert "ResourceWarning" not in proc.stderr, proc.stderr


@pytest.mark.parametrize(
    "text, epoch, ascending, descending",
    [
        (str(EXAMPLE), "unix", "2023-11-14T22:13:20.000Z", "1985-10-24T17:34:15.551Z"),
        (str(EXAMPLE), "-1288834974657", "1983-01-11T20:30:25.343Z", "1944-12-21T15:51:20.894Z"),
        (str(EXAMPLE), "1288834974657", "2064-09-16T23:56:14.657Z", "2026-08-27T19:17:10.208Z"),
        ("0000000b-cbce-87f1-9b15-000000050007", "unix", "2023-11-14T22:13:20.000000000Z", None),
        ("00b3fe97-a2fa-8fd2-bf40-000000050007", "unix", "2023-11-14T22:13:20.000000000000000Z", None),
        ("00000000-0305-8120-8c0f-200000050007", "0", "2023-11-14T22:13:20.000000Z", None),
    ],
)
def test_inspect_epoch_adds_the_utc_time(text, epoch, ascending, descending):
    # A descending QuibId reading of a present-day identifier lies beyond 9999.
    [record] = json.loads(ok("inspect", text, "--json", "--epoch", epoch))
    assert (record["ascending"]["time"], record["descending"]["time"]) == (ascending, descending)


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
        ("0x0000000BCBCE87F19B1500000005000", "'0x0000000BCBCE87F19B1500000005000': not a decimal SornId or a UUID text"),
        ("\udcff", "'\\udcff': not a decimal SornId or a UUID text"),  # an argument not in UTF-8
        ("9" * 300, f"'{'9' * 80}... (300 characters)': invalid SornId string: {'9' * 80}... (300 characters)"),
    ],
)
def test_inspect_bad_identifier(text, message):
    assert fails("inspect", str(EXAMPLE), text).endswith(message)


def test_inspect_invalid_precision_spoils_only_the_quibid_images():
    [record] = json.loads(ok("inspect", str(EXAMPLE), "--json", precision="NS"))
    problem = "invalid QUIBID_PRECISION: \"QUIBID_PRECISION must be one of: us, ns, ps, fs (got 'NS')\""
    assert record["ascending"]["timestamp_ms"] == 1700000000000
    assert record["ascending"]["image"] == {"type": "QuibId", "error": problem}
    assert record["descending"]["image"] == {"type": "QuibIdDesc", "error": problem}
    assert f"    image:            no QuibId: {problem}\n" in ok("inspect", str(EXAMPLE), precision="NS")


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


@pytest.mark.parametrize("args, kwargs", [((), {}), (("--epoch-ms", "1704067200000", "--precision", "fs"), {"epoch_ms": 1704067200000, "precision": "fs"})])
def test_sql_generators_base_prints_the_generator_script(args, kwargs):
    assert ok("sql", "generators-base", *args) == sornquibid.mssql_generators_tsql(**kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("--epoch-ms", "-5", "--precision", "us"), {"epoch_ms": -5, "precision": "us"})],
)
def test_sql_postgresql_install_prints_the_postgresql_script(args, kwargs):
    assert ok("sql", "--dialect", "postgresql", "install", *args) == sornquibid.postgresql_script(**kwargs)
    assert ok("sql", "--dialect", "mssql", "install") == mssql_schema.INSTALL_ALL_DESC_TSQL


def test_sql_trigger_and_drop():
    out = ok("sql", "trigger", "orders", "id:id_desc", "parent_id:parent_id_desc", "--kind", "sorn")
    assert out == mssql_schema.mssql_install_autofill_trigger_for_table(
        "orders", [("id", "id_desc"), ("parent_id", "parent_id_desc")], "sorn"
    )
    out = ok("sql", "trigger", "t", "a:b", "--kind", "quib")
    assert "dbo.quibid_to_desc(t.a)" in out
    assert ok("sql", "drop", "orders") == mssql_schema.mssql_drop_autofill_trigger_for_table("orders")
    # A path to a pipe, as /dev/stdout is here, is written directly.
    assert ok("sql", "drop", "orders", "-o", "/dev/stdout") == ok("sql", "drop", "orders")


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
        (["sql", "generators-base", "--precision", "ms"], 2, "invalid choice: 'ms'"),
        (["sql", "--dialect", "postgresql", "flip"], 2, "--dialect postgresql has one script, install, not flip"),
        (["sql", "--dialect", "oracle", "install"], 2, "invalid choice: 'oracle'"),
        (["sql", "install", "--precision", "us"], 2, "the SQL Server install script has no epoch"),
        (["sql", "generators-base", "--epoch-ms", "-62135596800001"], 1, "epoch_ms -62135596800001 is outside the years 1 to 9999"),
        ([], 2, "COMMAND"),
        (["frobnicate"], 2, "invalid choice"),
        (["convert", "--to", "uuid"], 2, "invalid choice"),
        (["convert", "--to", "quib", "--column", "0"], 2, "column numbers start at 1"),
        (["convert", "--to", "quib", "--column", "9" * 5000], 2, f"no such column number: {'9' * 80}..."),
        (["inspect"], 2, "no identifiers: give IDs, - or --file FILE"),
        (["inspect", "-", "--file", "ids"], 2, "read identifiers from one file"),
        (["inspect", "5", "--epoch", "y2k"], 2, "expected 'unix' or the origin in milliseconds"),
        (["inspect", "5", "--epoch", "\x1b[2J"], 2, "got '\\x1b[2J'"),
        (["inspect", "5", "--epoch", "9" * 5000], 2, f"got '{'9' * 80}... (5,000 characters)'"),
        # The file is opened before the IDs are decoded.
        (["inspect", "5", "--file", "/nonexistent/ids"], 1, "cannot read /nonexistent/ids"),
        (["sql", "drop", "t", "-o", "{tmp}/new/"], 1, "new/: Is a directory"),
        (["sql", "drop", "t", "-o", ""], 1, "cannot write : No such file or directory"),
    ],
)
def test_bad_command_lines(tmp_path, args, status, message):
    args = [a.replace("{tmp}", str(tmp_path)) for a in args]
    assert message in fails(*args, status=status, output="")
    assert not any(tmp_path.iterdir())


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


def sorn_pairs(texts):
    """The pairs of QuibId.batch_to_sornids over the QuibId texts, as text,
    in input order (equal QuibIds taking their SornIds in turn)."""
    ids = [QuibId.from_str(t) for t in texts]
    taken = collections.defaultdict(collections.deque)
    for q, s in QuibId.batch_to_sornids(ids):
        taken[q].append(s)
    return [(str(q), str(taken[q].popleft())) for q in ids]


def quib_texts(sorn_values):
    return [str(q) for _, q in SornId.batch_to_quibids([SornId(v) for v in sorn_values])]


Q1, Q2 = "0000000b-cbce-87f1-9b15-000000050007", "00000000-0004-8000-9000-000000040003"


@pytest.mark.parametrize(
    "args, data",
    [
        ([], ("\ufeff" + f"{Q1}\r\n{Q2}\r\n").encode()),
        ([], ("\ufeff" + f"{Q1}\r\n\r\n{Q2}\r\n").encode("utf-16-le")),  # PowerShell 5
        ([], ("\ufeff" + f"{Q1}\n{Q2}").encode("utf-16-be")),
        ([], f"0x{Q1.replace('-', '').upper()}\n0x{Q2.replace('-', '')}\n".encode()),
        (["--header"], f"QuibId\n{Q1}\n{Q2}\n".encode()),
        (["--column", "quibid"], f"sornid,quibid\n1,{Q1}\n2,\"{Q2}\"\n".encode()),
        (["--column", "2"], f"a,b\nx,{Q1}\n\ny, {Q2} ,z\n".encode()),  # header detected
        (["--column", "1"], f"{Q1},a\n{Q2}\n".encode()),  # no header
        (["--column", "2", "--header"], f"c1,c2\nx,{Q1}\ny,{Q2}\n".encode()),
    ],
)
def test_convert_reads_what_operators_have(args, data):
    out = ok("convert", "--to", "sorn", "--no-header", *args, stdin=data)
    assert csv_rows(out) == sorn_pairs([Q1, Q2])


def sorn_value(ms, node, seq):
    return ms << 22 | node << 13 | seq


def signalled(args, directory, signum):
    """Runs the command on an open standard input until its output file's
    temporary companion appears in `directory`, then sends it `signum` (as
    Ctrl+C or `kill` does); returns (status, stderr text)."""
    before = set(directory.iterdir())
    # A shell starts background jobs with SIGINT ignored, and the child
    # would inherit that: give it the default, as a terminal's job has.
    proc = subprocess.Popen(
        [*COMMAND, *args], stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env(),
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    for _ in range(6000):
        if set(directory.iterdir()) != before:
            break
        time.sleep(0.05)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=300)
    return proc.returncode, err.decode()


SIGNALS = {"SIGINT": 130, "SIGTERM": 143}


@pytest.mark.parametrize(
    "mode, failure, args, stdin, precision",
    [
        (None, None, ["--to", "quib"], b"5\n4210691\n", None),
        (0o640, None, ["--to", "quib"], b"5\n4210691\n", None),
        (None, "line 3: invalid SornId string: x", ["--to", "quib"], b"5\n4210691\nx\n", None),
        (0o640, "line 3: invalid SornId string: x", ["--to", "quib"], b"5\n4210691\nx\n", None),
        (0o640, "invalid QUIBID_PRECISION", ["--to", "quib"], b"5\n", "bogus"),  # PanicException
        (None, "1 conflict", ["--to", "sorn"], b"00000000-0305-8120-8c0f-200002580000", None),
        (0o640, "SIGINT", ["--to", "sorn"], None, None),
        (0o640, "SIGTERM", ["--to", "sorn"], None, None),
    ],
)
def test_convert_output_file_is_replaced_only_on_success(
    tmp_path, mode, failure, args, stdin, precision
):
    target = tmp_path / "pairs.csv"
    if mode is not None:
        target.write_text("old\n")
        target.chmod(mode)
    args = ["convert", *args, "-o", str(target)]
    if failure in SIGNALS:
        status, err = signalled(args, tmp_path, getattr(signal, failure))
        assert (status, err) == (SIGNALS[failure], "")
    elif failure is None:
        assert ok(*args, stdin=stdin) == ""
    else:
        status, _, err = run(*args, stdin=stdin, precision=precision)
        assert status == 1 and failure in err.splitlines()[-1]
    assert [p.name for p in tmp_path.iterdir()] == (["pairs.csv"] if mode or not failure else [])
    if failure is None:
        assert target.read_text() == ok("convert", "--to", "quib", stdin=stdin)
        umask = os.umask(0)
        os.umask(umask)
        assert target.stat().st_mode & 0o777 == (mode or 0o666 & ~umask)
    elif mode:
        assert target.read_text() == "old\n"


# The command run by an unprivileged user, as the tests of permissions need.
# The interpreter starts with the test's privileges (its virtual environment
# may lie where only they reach) and gives them up before the command runs.
UNPRIVILEGED = """
import os, pwd, sys
from sornquibid.cli import main
user = pwd.getpwnam("nobody")
os.setgroups([])
os.setgid(user.pw_gid)
os.setuid(user.pw_uid)
sys.exit(main(sys.argv[1:]))
"""


def nobody():
    try:
        return pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("no user nobody to run the command without privileges")


def run_unprivileged(*args, stdin=b""):
    """run(), but as the user nobody when the tests run as root."""
    if os.geteuid() != 0:
        return run(*args, stdin=stdin)
    nobody()
    proc = subprocess.run(
        [sys.executable, "-c", UNPRIVILEGED, *args],
        input=stdin, capture_output=True, env=child_env(), timeout=300,
    )
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


@pytest.fixture
def open_dir():
    """A directory that every user may enter (pytest's own are its owner's only)."""
    path = Path(tempfile.mkdtemp(prefix="sornquibid-test-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    for p in [path, *path.rglob("*")]:
        if p.is_dir() and not p.is_symlink():
            p.chmod(0o755)
    shutil.rmtree(path)


def needs_root(reason):
    return pytest.mark.skipif(os.geteuid() != 0, reason=f"only root can make {reason}")


IDS, BAD_IDS = b"5\n4210691\n", b"5\nx\n"


@pytest.mark.parametrize(
    "case",
    [
        "read-only directory",  # no temporary file beside FILE
        "254-byte name",  # a temporary name after it would be too long
        pytest.param("sticky directory", marks=needs_root("another user's file")),
        "hard links",
        pytest.param("another owner", marks=needs_root("another user's file")),
    ],
)
def test_output_file_that_the_shell_may_write_is_written_and_keeps_what_it_is(open_dir, case):
    directory = open_dir / "out"
    directory.mkdir()
    target = directory / ("x" * 254 if case == "254-byte name" else "pairs.csv")
    exists = case != "254-byte name"
    if exists:
        target.write_text("old\n")
        target.chmod(0o666)
    if case == "hard links":
        os.link(target, open_dir / "link")
    if case == "another owner":  # root keeps it when replacing the file
        os.chown(target, nobody().pw_uid, nobody().pw_gid)
        target.chmod(0o640)
    directory.chmod({"read-only directory": 0o555, "sticky directory": 0o1777}.get(case, 0o777))
    command = run if case == "another owner" else run_unprivileged
    before = target.stat() if exists else None
    names = sorted(os.listdir(directory))

    # A failed run leaves FILE as it was (or absent), and nothing beside it.
    status, _, err = command("convert", "--to", "quib", "-o", str(target), stdin=BAD_IDS)
    assert (status, err) == (1, "sornquibid: error: line 2: invalid SornId string: x\n")
    assert sorted(os.listdir(directory)) == names
    assert not exists or target.read_text() == "old\n"

    assert command("convert", "--to", "quib", "-o", str(target), stdin=IDS) == (0, "", "")
    assert target.read_text() == ok("convert", "--to", "quib", stdin=IDS)
    assert sorted(os.listdir(directory)) == sorted({*names, target.name})
    after = target.stat()
    if before is not None:
        assert (after.st_uid, after.st_gid, after.st_mode) == (before.st_uid, before.st_gid, before.st_mode)
        # The same file, except where a new one loses nothing.
        assert after.st_ino == before.st_ino or case == "another owner"
    if case == "hard links":
        assert (open_dir / "link").read_text() == target.read_text()


@pytest.mark.parametrize("case", ["file without write permission", "new file in a read-only directory"])
def test_output_file_that_the_shell_may_not_write_is_refused(open_dir, case):
    target = open_dir / "pairs.csv"
    if case == "file without write permission":
        # Renaming over it would bypass its permissions.
        target.write_text("old\n")
        target.chmod(0o440)
        open_dir.chmod(0o777)
    names = sorted(os.listdir(open_dir))
    status, out, err = run_unprivileged("convert", "--to", "quib", "-o", str(target), stdin=IDS)
    assert (status, out, err) == (1, "", f"sornquibid: error: cannot write {target}: Permission denied\n")
    assert sorted(os.listdir(open_dir)) == names
    assert not target.exists() or target.read_text() == "old\n"


DROP = mssql_schema.mssql_drop_autofill_trigger_for_table("t")


@pytest.mark.parametrize(
    "path, fd, redirect",
    [
        ("/dev/stdout", 1, ">"),
        ("/dev/stdout", 1, ">>"),
        ("/dev/stderr", 2, ">>"),
        ("/dev/fd/3", 3, ">>"),
        ("/proc/self/fd/3", 3, ">"),
        ("{dir}/link", 1, ">>"),  # a symbolic link to /dev/stdout
    ],
)
def test_output_naming_an_open_descriptor_is_written_through_it(tmp_path, path, fd, redirect):
    # As the shell writes it: after what was written before, nothing replaced.
    log = tmp_path / "log.txt"
    log.write_text("old\n")
    (tmp_path / "link").symlink_to("/dev/stdout")
    path = path.format(dir=tmp_path)
    script = f'{{ echo keep >&{fd}; "$@" -o {path}; echo more >&{fd}; }} {fd}{redirect} "$LOG"'
    proc = subprocess.run(
        ["sh", "-c", script, "sh", *COMMAND, "sql", "drop", "t"],
        env={**child_env(), "LOG": str(log)}, capture_output=True, timeout=300,
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b"")
    kept = "old\n" if redirect == ">>" else ""
    assert log.read_text() == f"{kept}keep\n{DROP}more\n"
    assert sorted(os.listdir(tmp_path)) == ["link", "log.txt"]


def test_output_naming_a_descriptor_open_for_reading_is_refused(tmp_path):
    ids = tmp_path / "ids.txt"
    ids.write_text("5\n")
    status, out, err = run("convert", "--to", "quib", "-o", "/dev/stdin", redirect=f"< {ids}")
    assert (status, out, err) == (1, "", "sornquibid: error: cannot write /dev/stdin: Bad file descriptor\n")
    assert ids.read_text() == "5\n"


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
    out = ok("convert", "--to", "sorn", stdin="\n".join(lines).encode())
    assert csv_rows(out) == [("quibid", "sornid")] + sorn_pairs(lines)
    # In input order: the second half of the group first.
    members = set(group)
    sequences = [int(b) & 0x1FFF for a, b in csv_rows(out)[1:] if a in members]
    assert sequences == list(range(4096, 8192)) + list(range(4096))


NODE_600 = "00000000-0305-8120-8c0f-200002580000"
FAR = "ffffffff-ffff-8fff-bfff-000000000000"  # 618970019642690 ms, beyond 2**41
CROWD = [str(QuibId.from_parts(1700000000000 * 10**6, "ns", 5, k)) for k in range(8194)]


@pytest.mark.parametrize("as_json", [False, True])
def test_convert_to_sorn_lists_every_conflict_and_writes_nothing(tmp_path, as_json):
    lines = [quib_texts([EXAMPLE])[0], NODE_600, *CROWD, FAR]
    target = tmp_path / "pairs.csv"
    args = ["convert", "--to", "sorn", "-o", str(target)] + (["--json"] if as_json else [])
    status, out, err = run(*args, stdin="\n".join(lines))
    assert status == 1 and not target.exists()
    where = "written as JSON" if as_json else "listed above"
    final = f"sornquibid: error: 3 conflicts ({where}): nothing converted"
    if as_json:
        assert err.splitlines() == [final]
        assert json.loads(out) == [
            dict(kind="NodeIdOverflow", timestamp_ms=None, node_id=600, count=None, max=None,
                 quib_ids=[NODE_600]),
            dict(kind="TimestampOverflow", timestamp_ms="618970019642690", node_id=None, count=None,
                 max=None, quib_ids=[FAR]),
            dict(kind="SequenceOverflow", timestamp_ms="1700000000000", node_id=5, count=8195, max=8192,
                 quib_ids=[lines[0], *CROWD]),
        ]
    else:
        # One short line per conflict, however crowded.
        assert out == "" and err.splitlines() == [
            f"sornquibid: conflict: NodeIdOverflow {{ node_id: 600 }}: 1 identifier: {NODE_600}",
            f"sornquibid: conflict: TimestampOverflow {{ timestamp_ms: 618970019642690 }}: 1 identifier: {FAR}",
            "sornquibid: conflict: SequenceOverflow { timestamp_ms: 1700000000000, node_id: 5, count: 8195, "
            f"max: 8192 }}: 8195 identifiers: {lines[0]}, {CROWD[0]}, {CROWD[1]} and 8192 more",
            final,
        ]


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["--to", "quib"], b"1\n2\nx\n", "line 3: invalid SornId string: x"),
        (["--to", "quib"], b"1\n-2\n", "line 2: sornid must be non-negative"),
        (["--to", "quib"], b"1\n\xff\n", "line 2: invalid SornId string: \ufffd"),
        (["--to", "sorn"], b"\n\n0000\n", "line 3: invalid QuibId string: 0000"),
        (["--to", "sorn"], b"00000000-0000-4000-8000-000000000000", "line 1: uuid version must be 8 (UUIDv8)"),
        (["--to", "quib", "/nonexistent/ids.txt"], b"", "cannot read /nonexistent/ids.txt: No such file or directory"),
        # Control characters are shown escaped, never sent to the terminal.
        (["--to", "quib"], b"1\n5\r6\r7\n", "line 2: invalid SornId string: 5\\r6\\r7"),
        (["--to", "sorn"], b"\x1b]0;owned\x07\n", "line 1: invalid QuibId string: \\x1b]0;owned\\x07"),
        (["--to", "quib"], b"\xef\xbb\xbf1\n\xef\xbb\xbf2\n", "line 2: invalid SornId string: \\ufeff2"),
        (["--to", "quib"], "1\n".encode("utf-16-le"), "line 1: invalid SornId string: 1\\x00"),
        # A failure while a UTF-16 file is being read
        (["--to", "quib", "/dev/stdin"], "\ufeff1\nx\n".encode("utf-16-le"), "line 2: invalid SornId string: x"),
        (["--to", "quib"], b"1\n" + b"7" * 1000, f"line 2: invalid SornId string: {'7' * 80}... (1,000 characters)"),
        # CSV input
        (["--to", "sorn", "--column", "quibid"], b"\nid,x\n", "line 2: no column named 'quibid' in the header"),
        (["--to", "sorn", "--column", "3"], b"a,b,c\n1,2\n", "line 2: no column 3 (the row has 2)"),
        (["--to", "sorn", "--column", "\u00b2"], b"a,b\n", "line 1: no column named '\u00b2' in the header"),
        (["--to", "quib", "--column", "2"], b"a,b\n1,2\n\n3,x\n", "line 4: invalid SornId string: x"),
        (["--to", "quib", "--column", "1"], b"a\n5\r6,7\n", "line 2: not CSV: a carriage return inside a field that is not quoted"),
        # The first bad line decides, whatever is wrong with it.
        (["--to", "quib", "--column", "1"], b"a\nx\n5\r6,7\n", "line 2: invalid SornId string: x"),
        # A quoted field keeps its line break, instead of reading as 67.
        (["--to", "quib", "--column", "b"], b'a,b\nx,"5"\ny,"6\n7"\n', "line 3: invalid SornId string: 6\\n7"),
        # A quote left open would swallow the rows after it.
        (["--to", "quib", "--column", "id"], b'id,note\n5,"oops\n6,x\n7,y\n', "line 2: not CSV: a quoted field is not closed"),
    ],
)
def test_convert_bad_input(args, stdin, message):
    assert fails("convert", *args, stdin=stdin).endswith(message)


def test_convert_to_quib_with_invalid_precision_is_one_line():
    status, out, err = run("convert", "--to", "quib", stdin=b"1\n", precision="bogus")
    assert (status, out) == (1, "")
    assert err == (
        "sornquibid: error: invalid QUIBID_PRECISION: "
        "\"QUIBID_PRECISION must be one of: us, ns, ps, fs (got 'bogus')\"\n"
    )


def test_convert_to_sorn_ignores_the_precision_setting():
    assert ok("convert", "--to", "sorn", "--no-header", stdin=quib_texts([EXAMPLE])[0].encode(), precision="bogus")


def on_terminal(args, stdin, stdout_on_terminal):
    """Runs the command with standard error on a terminal (a pty), and standard
    output on the same terminal or a pipe; returns (status, what the terminal
    shows)."""
    primary, secondary = pty.openpty()
    proc = subprocess.Popen(
        [*COMMAND, *args],
        stdin=subprocess.PIPE,
        stdout=secondary if stdout_on_terminal else subprocess.DEVNULL,
        stderr=secondary,
        env=child_env(),
    )
    os.close(secondary)
    proc.communicate(stdin, timeout=300)
    shown = b""
    while True:
        try:
            chunk = os.read(primary, 65536)
        except OSError:  # EIO: the terminal has no writer left
            break
        if not chunk:
            break
        shown += chunk
    os.close(primary)
    return proc.returncode, shown.decode()


@pytest.mark.parametrize(
    "terminal, flags, shown",
    [
        ("stderr", [], True),
        ("both", [], False),  # progress would break into the CSV lines
        ("both", ["--progress"], True),
        ("stderr", ["--no-progress"], False),
        ("both", ["-o", "{tmp}/pairs.csv"], True),  # the output is not on the terminal
        ("none", [], False),
        ("none", ["--progress"], True),
    ],
)
def test_convert_shows_progress_when_stderr_alone_is_a_terminal(tmp_path, terminal, flags, shown):
    args = ["convert", "--to", "quib", *(f.format(tmp=tmp_path) for f in flags)]
    if terminal == "none":
        status, _, err = run(*args, stdin=b"5\n6\n")
        assert (status, err) == (0, "sornquibid: converted 2 identifiers\n" if shown else "")
        return
    status, screen = on_terminal(args, b"5\n6\n", stdout_on_terminal=terminal == "both")
    assert status == 0
    assert ("\rsornquibid: converted 2 identifiers\x1b[K" in screen) == shown
    on_screen = terminal == "both" and "-o" not in flags
    assert ("00000000-0000-8000-9000-000000000005" in screen) == on_screen


@pytest.mark.parametrize(
    "args, redirect, status, message",
    [
        (["convert", "--to", "quib"], "<&-", 3, "standard input is closed"),
        (["inspect", "-"], "<&-", 3, "standard input is closed"),
        (["convert", "--to", "sorn"], ">&-", 3, "standard output is closed"),
        (["sql", "install"], ">&-", 3, "standard output is closed"),
        (["inspect", "5"], ">&-", 3, "standard output is closed"),
        (["--version"], ">&-", 3, "standard output is closed"),
        (["--help"], ">&-", 3, "standard output is closed"),
        (["convert", "--to", "quib"], "<&- 2>&-", 3, None),
        (["inspect", "5", "-o", os.devnull], ">&- <&-", 0, None),  # neither is needed
    ],
)
def test_closed_standard_stream_is_one_line(args, redirect, status, message):
    error = f"sornquibid: error: {message}\n" if message else ""
    assert run(*args, redirect=redirect, stdin=b"5\n") == (status, "", error)


@pytest.mark.parametrize(
    "args, stdin",
    [
        (["convert", "--to", "quib"], b"5\n" * 1000),
        (["convert", "--to", "sorn"], Q1.encode()),
        (["sql", "install"], b""),
        (["inspect", "5", "--json"], b""),
        (["--version"], b""),
    ],
)
def test_broken_pipe_ends_quietly(args, stdin):
    reader, writer = os.pipe()
    os.close(reader)  # the reader is gone before anything is written
    proc = subprocess.run(
        [*COMMAND, *args], input=stdin, stdout=writer, stderr=subprocess.PIPE, env=child_env()
    )
    os.close(writer)
    assert (proc.returncode, proc.stderr) == (3, b"")


def test_reader_leaving_midway_ends_the_conversion_quietly(tmp_path):
    path = tmp_path / "ids.txt"
    path.write_text("\n".join(str(v) for v in range(300_000)))
    proc = subprocess.Popen(
        [*COMMAND, "convert", "--to", "quib", str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    assert proc.stdout.readline() == b"sornid,quibid\n"
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=300)
    assert (proc.returncode, err) == (3, b"")


def test_version():
    expected = importlib.metadata.version("sornquibid")
    assert sornquibid.__version__ == expected
    assert ok("--version") == f"sornquibid {expected}\n"
