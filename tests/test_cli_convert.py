"""sornquibid convert on the column path: differential against the object
path (the readers of identifier batches and the classes' batch conversions)
on random inputs across chunk boundaries; Parquet and Arrow files in and
out; tables with --into and --replace; nulls; errors with their line or row
numbers; and the memory a conversion keeps. Most runs are in this process,
with small chunks set through the modules' chunk sizes."""
import collections
import csv
import io
import random
import sys
import types

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from _sornquibid import QuibId, SornId
from conftest import SANITIZED
from sornquibid.cli import chunks as cli_chunks
from sornquibid.cli import input as cli_input
from sornquibid.cli import main, tables
from sornquibid.cli.errors import CliError, escape
from sornquibid.cli.input import input_items, parse_batch, parse_quib
import test_cli
from test_cli import EXAMPLE, NODE_600, on_terminal, peak_memory

# ---------------------------------------------------------------------------
# Running the command, and the object path it must agree with


@pytest.fixture
def chunks(monkeypatch):
    """Sets the chunk sizes of the readers: bytes of text, rows of CSV, rows
    of a table file."""

    def chunk_sizes(text_bytes, csv_rows=3, table_rows=3):
        monkeypatch.setattr(cli_input, "CHUNK_BYTES", text_bytes)
        monkeypatch.setattr(cli_input, "BATCH_LINES", csv_rows)
        monkeypatch.setattr(tables, "CHUNK_ROWS", table_rows)

    return chunk_sizes


@pytest.fixture
def convert(tmp_path, capsys, monkeypatch):
    """Runs `sornquibid convert ARGS FILE -o OUT` in this process, FILE
    holding `data` (bytes, or a pyarrow table written as `name` says) or,
    with name "-", standard input; returns (status, the output as bytes or
    None when there is none, standard error)."""

    monkeypatch.chdir(tmp_path)  # messages name FILE as given

    def run(*args, data=b"", name="in.txt", out="out"):
        source = name
        if name == "-":
            monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(buffer=io.BytesIO(data)))
            source = "-"
        elif isinstance(data, pa.Table):
            write_table(data, tmp_path / name)
        else:
            (tmp_path / name).write_bytes(data)
        target = tmp_path / out
        target.unlink(missing_ok=True)
        status = main(["convert", *args, source, "-o", out])
        return status, target.read_bytes() if target.exists() else None, capsys.readouterr().err

    return run


def write_table(table, path):
    name = str(path)
    if name.endswith(".parquet"):
        pq.write_table(table, name, row_group_size=5)
    elif name.endswith(".arrows"):  # the IPC stream format
        with pa.ipc.new_stream(name, table.schema) as writer:
            writer.write_table(table, max_chunksize=4)
    else:
        with pa.ipc.new_file(name, table.schema) as writer:
            writer.write_table(table, max_chunksize=4)


def read_table(data, fmt):
    if fmt == "parquet":
        return pq.read_table(pa.BufferReader(data))
    return pa.ipc.open_file(pa.BufferReader(data)).read_all()


def row_order(ids):
    """QuibId.batch_to_sornids over `ids`, the SornIds in input order (equal
    QuibIds taking theirs in turn)."""
    taken = collections.defaultdict(collections.deque)
    for q, s in QuibId.batch_to_sornids(ids):
        taken[q].append(s)
    return [taken[q].popleft() for q in ids]


def converted(target, ids):
    """The conversions of `ids` (objects, None for nulls), by the classes."""
    present = [i for i in ids if i is not None]
    if target == "quib":
        results = iter(q for _, q in SornId.batch_to_quibids(present))
    else:
        results = iter(row_order(present))
    return [None if i is None else next(results) for i in ids]


PARSERS = {"quib": (SornId.from_str,), "sorn": (QuibId.from_str, parse_quib)}


def object_path(path, target, column=None, header=False):
    """What today's reading and the classes give for a list or a CSV column:
    the CSV text of the pairs, or the message of the first bad line."""
    ids = []
    try:
        with input_items(str(path), column, header) as batches:
            for batch in batches:
                ids.extend(parse_batch(batch, *PARSERS[target]))
    except CliError as exc:
        return None, str(exc)
    names = "sornid,quibid" if target == "quib" else "quibid,sornid"
    pairs = "".join(f"{a},{b}\n" for a, b in zip(ids, converted(target, ids)))
    return f"{names}\n{pairs}".encode(), None


# ---------------------------------------------------------------------------
# Random lists and CSV columns

BLANKS = ["", " ", "\t", "\r", "\u3000", "\x85", "\xa0", "\u2003", "\x1c"]


def random_sorn(rng):
    value = SornId.from_parts(1_700_000_000_000 + rng.randrange(30), rng.randrange(3),
                              rng.randrange(8192)).as_int()
    return rng.choice([str(value), str(value), f"+{value}", f"00{value}"])


def random_quib(rng):
    precision = rng.choice(["us", "ns", "ps", "fs"])
    units = {"us": 10**3, "ns": 10**6, "ps": 10**9, "fs": 10**12}[precision]
    ms = 1_700_000_000_000 + rng.randrange(4)
    q = QuibId.from_parts(ms * units + rng.randrange(units), precision, rng.randrange(3),
                          rng.randrange(65536))
    text = str(q)
    return rng.choice([text, text, text.upper(), "{%s}" % text, "urn:uuid:" + text,
                       text.replace("-", ""), "0x" + text.replace("-", "").upper()])


BAD = {"quib": ["x", "-5", "9223372036854775808", "1 2", "\u0661", "7" * 300, "5\x00"],
       "sorn": ["x", "0x123", "00000000-0000-4000-8000-000000000000", "\u00e9" * 90,
                "0000000b-cbce-87f1-9b15-00000005000\u0661"]}


def random_texts(rng, target, n, bad):
    draw = random_sorn if target == "quib" else random_quib
    texts = []
    for _ in range(n):
        if rng.random() < 0.15:
            texts.append(rng.choice(BLANKS) * rng.randrange(3))
        else:
            texts.append(rng.choice(BLANKS) + draw(rng) + rng.choice(BLANKS))
    if rng.random() < 0.2 and texts:  # duplicates
        texts.append(rng.choice(texts))
    for _ in range(bad):
        texts.insert(rng.randrange(len(texts) + 1), rng.choice(BAD[target]))
    return texts


def encoded(rng, text):
    encoding = rng.choice(["utf-8", "utf-8", "utf-8-sig", "utf-16-le", "utf-16-be"])
    bom = "\ufeff" if encoding.startswith("utf-16") else ""
    return (bom + text).encode(encoding)


@pytest.mark.parametrize("seed", range(24))
@pytest.mark.parametrize("target", ["quib", "sorn"])
def test_lists_convert_as_the_object_path_does(tmp_path, convert, chunks, target, seed):
    rng = random.Random(seed)
    texts = random_texts(rng, target, rng.randrange(60), bad=rng.choice([0, 0, 1, 2]))
    header = rng.random() < 0.2
    if header:
        texts.insert(rng.randrange(3), "id")
    end = rng.choice(["\n", "\r\n"])
    data = encoded(rng, end.join(texts) + rng.choice(["", end]))
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    want, message = object_path(path, target, header=header)
    chunks(rng.choice([1, 5, 37, 4096]))
    status, out, err = convert("--to", target, *(["--header"] if header else []), data=data)
    if message is None:
        assert (status, err, out) == (0, "", want)
    else:
        assert (status, err, out) == (1, f"sornquibid: error: {escape(message)}\n", None)


@pytest.mark.parametrize("target", ["quib", "sorn"])
@pytest.mark.parametrize("line, header", [
    ("\u3000" * 40 + "{id}" + " " * 50, False),  # white space around an identifier
    (" \t" * 60, False),  # a blank line
    ("\xa0" * 30 + "{id}" + "\u2003" * 20 + "{id}", False),  # a text that is no identifier
    ("x" * 90, True),  # a header
])
def test_lines_longer_than_a_chunk_read_as_the_object_path_reads_them(tmp_path, convert, chunks,
                                                                      target, line, header):
    # A line beyond the chunk is read on without being kept: only its
    # stripped text is, when it is short enough to be an identifier.
    text = str(SornId(EXAMPLE)) if target == "quib" else "0000000b-cbce-87f1-9b15-000000050007"
    data = f"{text}\n{line.format(id=text)}\r\n{text}".encode()
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    flags = ["--header"] if header else []
    want, message = object_path(path, target, header=header)
    chunks(16)
    status, out, err = convert("--to", target, *flags, data=data)
    if message is None:
        assert (status, err, out) == (0, "", want)
    else:
        assert (status, err, out) == (1, f"sornquibid: error: {escape(message)}\n", None)


@pytest.mark.parametrize("args, data, message", [
    ([], b"5\n" + b" " * 40 + b"7" * 60 + b"\xe9" * 60 + b"\n6\n",
     "line 2: too long for an identifier (more than 100 characters): "
     + "7" * 60 + "\ufffd" * 20 + "..."),
    (["--column", "1"], b"5\n6,7\n" + b"8," * 40, "line 3: not CSV: a line longer than 64 bytes"),
])
def test_lines_too_long_to_keep_are_refused_with_their_number(convert, chunks, monkeypatch, args,
                                                              data, message):
    monkeypatch.setattr(cli_chunks, "LONG_LINE_CHARACTERS", 100)
    monkeypatch.setattr(cli_chunks, "CSV_LINE_BYTES", 64)
    chunks(8)
    status, out, err = convert("--to", "quib", *args, data=data)
    assert (status, out, err) == (1, None, f"sornquibid: error: {message}\n")


def random_csv(rng, texts):
    """A CSV table with the texts as its column `id`, between others that
    need quoting."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator=rng.choice(["\n", "\r\n"]),
                        quoting=rng.choice([csv.QUOTE_MINIMAL, csv.QUOTE_ALL]))
    writer.writerow(["n", "id", "note"])
    for i, text in enumerate(texts):
        note = rng.choice(["", "a,b", 'say "x"', "two\nlines", "\u00e9"])
        writer.writerow([i, text, note][: rng.choice([3, 3, 2])])
        if rng.random() < 0.1:
            out.write("\n")  # a blank line
    return out.getvalue()


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("target", ["quib", "sorn"])
def test_csv_columns_convert_as_the_object_path_does(tmp_path, convert, chunks, target, seed):
    rng = random.Random(seed)
    texts = random_texts(rng, target, rng.randrange(40), bad=rng.choice([0, 0, 1]))
    data = encoded(rng, random_csv(rng, texts))
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    column = rng.choice(["id", 2])
    want, message = object_path(path, target, column=column)
    chunks(4096, csv_rows=rng.choice([1, 4, 100]))
    status, out, err = convert("--to", target, "--column", str(column), data=data, name="in.csv")
    if message is None:
        assert (status, err, out) == (0, "", want)
    else:
        assert (status, err, out) == (1, f"sornquibid: error: {escape(message)}\n", None)


# ---------------------------------------------------------------------------
# Tables: CSV, Parquet and Arrow, with the pairs, --into and --replace


def sorn_values(rng, n):
    return [None if rng.random() < 0.2 else
            SornId.from_parts(1_700_000_000_000 + rng.randrange(5), rng.randrange(3),
                              rng.randrange(8192)).as_int() for _ in range(n)]


def quib_values(rng, n):
    return [None if v is None else q.as_bytes()
            for v, q in zip(sorn_values(rng, n), (QuibId.from_parts(
                (1_700_000_000_000 + rng.randrange(5)) * 10**6 + rng.randrange(10**6), "ns",
                rng.randrange(3), rng.randrange(65536)) for _ in range(n)))]


def source_ids(target, values):
    """The identifier objects of a source column's values or texts."""
    family = SornId if target == "quib" else QuibId
    parse = {int: family, bytes: QuibId.from_bytes, str: family.from_str}
    return [None if v is None else parse[type(v)](v) for v in values]


def text_of(value):
    return "" if value is None else str(value)


def values_of(ids):
    return [None if i is None else i.as_int() if isinstance(i, SornId) else i.as_bytes()
            for i in ids]


TABLE_CASES = [
    (target, source, fmt, out, mode)
    for target in ("quib", "sorn")
    for source in ("values", "text")
    for fmt, out, mode in [
        ("parquet", "parquet", "pairs"), ("parquet", "csv", "into"), ("parquet", "arrow", "replace"),
        ("arrow", "arrow", "into"), ("arrow", "lines", "pairs"), ("arrow", "csv", "replace"),
        ("arrows", "parquet", "into"), ("arrows", "csv", "pairs"),
    ]
]


@pytest.mark.parametrize("target, source, fmt, out, mode", TABLE_CASES)
def test_table_files_convert_with_their_other_columns(convert, chunks, target, source, fmt, out,
                                                      mode):
    rng = random.Random(f"{target}{source}{fmt}{out}{mode}")
    n = 23
    values = (sorn_values if target == "quib" else quib_values)(rng, n)
    ids = source_ids(target, values)
    if source == "text":
        values = [None if i is None else str(i) for i in ids]
    other = pa.array([None if rng.random() < 0.2 else f"r{i}" for i in range(n)])
    table = pa.table({"n": pa.array(range(n), pa.int32()), "id": values, "note": other})
    chunks(4096, table_rows=3)
    args = ["--to", target, "--column", "id", "--output-format", out] + {
        "pairs": [], "into": ["--into", "new"], "replace": ["--replace"]}[mode]
    status, data, err = convert(*args, data=table, name=f"in.{fmt}", out=f"out.{out}")
    assert (status, err) == (0, "")

    results = converted(target, ids)
    names = ("sornid", "quibid") if target == "quib" else ("quibid", "sornid")
    if out == "lines":
        assert data.decode().split("\n") == [text_of(r) for r in results] + [""]
        return
    if out == "csv":
        got = list(csv.reader(io.StringIO(data.decode())))
        if mode == "pairs":
            want = [list(names)] + [[text_of(i), text_of(r)] for i, r in zip(ids, results)]
        else:
            source_texts = [text_of(i) for i in ids]  # values and texts, in their text forms
            if source == "text":
                source_texts = [text_of(v) for v in values]
            want = [["n", "id", "note"] + (["new"] if mode == "into" else [])]
            for i in range(n):
                row = [str(i), source_texts[i], text_of(other[i].as_py())]
                if mode == "into":
                    row.append(text_of(results[i]))
                else:
                    row[1] = text_of(results[i])
                want.append(row)
        assert got == want
        return
    got = read_table(data, out)
    if mode == "pairs":
        assert got.column_names == list(names)
        assert got.column(0).to_pylist() == values_of(ids)
        assert got.column(1).to_pylist() == values_of(results)
        return
    expected = {"n": list(range(n)), "id": values, "note": other.to_pylist()}
    if mode == "into":
        expected["new"] = values_of(results)
    else:
        expected["id"] = values_of(results)
    assert got.to_pydict() == expected
    assert got.schema.field("note").type == pa.string()


Q_BYTES = [QuibId.from_parts(1_700_000_000_000_000_000 + i, "ns", i % 2, i).as_bytes()
           for i in (5, 3, 5, 9)] + [None]
LAYOUTS = [
    ("quib", pa.array([5, 3, 5, None], pa.int64()).dictionary_encode()),
    ("quib", pa.array(["5", "3", "+5", None], pa.large_string())),
    ("quib", pa.array(["5", "3", "5", None], pa.string_view())),
    ("sorn", pa.ExtensionArray.from_storage(pa.uuid(), pa.array(Q_BYTES, pa.binary(16)))),
    ("sorn", pa.array(Q_BYTES, pa.binary(16)).dictionary_encode()),
    ("sorn", pa.array(Q_BYTES, pa.large_binary())),
    ("sorn", pa.array([None if b is None else str(QuibId.from_bytes(b)) for b in Q_BYTES],
                      pa.large_string()).dictionary_encode()),
]


@pytest.mark.parametrize("target, column", LAYOUTS, ids=lambda v: str(getattr(v, "type", v)))
@pytest.mark.parametrize("out", ["csv", "arrow"])
def test_every_column_layout_converts_and_keeps_its_source(convert, chunks, target, column, out):
    chunks(4096, table_rows=2)
    table = pa.table({"id": column})
    status, data, err = convert("--to", target, "--into", "new", "--column", "id", data=table,
                                name="in.arrow", out=f"out.{out}")
    assert (status, err) == (0, "")
    plain = column.dictionary_decode() if pa.types.is_dictionary(column.type) else column
    plain = plain.storage if isinstance(plain, pa.ExtensionArray) else plain
    ids = source_ids(target, plain.to_pylist())
    results = converted(target, [None if i is None else i for i in ids])
    if out == "csv":
        source = [text_of(v) if isinstance(v, str) else text_of(i)
                  for v, i in zip(plain.to_pylist(), ids)]
        assert list(csv.reader(io.StringIO(data.decode()))) == [["id", "new"]] + [
            [a, text_of(b)] for a, b in zip(source, results)]
    else:
        got = read_table(data, "arrow")
        assert got.column("id").combine_chunks().equals(column)
        assert got.column("new").to_pylist() == values_of(results)


@pytest.mark.parametrize("target", ["quib", "sorn"])
@pytest.mark.parametrize("mode, header", [("into", True), ("replace", True), ("replace", False)])
@pytest.mark.parametrize("out", ["csv", "parquet"])
def test_csv_tables_keep_every_row_and_field(convert, chunks, target, mode, header, out):
    rng = random.Random(f"{target}{mode}{header}")
    draw = random_sorn if target == "quib" else random_quib
    rows = [[str(i), "" if rng.random() < 0.2 else f" {draw(rng)} ", rng.choice(["a,b", 'q"', ""])]
            for i in range(17)]
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    if header:
        writer.writerow(["n", "id", "note"])
    writer.writerows(rows)
    chunks(4096, csv_rows=4)
    args = ["--to", target, "--column", "2"] + (["--into", "new"] if mode == "into" else ["--replace"])
    # --to sorn reads a table twice: standard input from a copy.
    name = "-" if target == "sorn" and mode == "into" else "in.csv"
    status, data, err = convert(*args, data=text.getvalue().encode(), name=name, out=f"out.{out}")
    assert (status, err) == (0, "")
    ids = [None if not r[1].strip() else PARSERS[target][-1](r[1].strip()) for r in rows]
    results = [text_of(r) for r in converted(target, ids)]
    want = [[*r, c] if mode == "into" else [r[0], c, r[2]] for r, c in zip(rows, results)]
    names = ["n", "id", "note"] + (["new"] if mode == "into" else [])
    if out == "csv":
        assert list(csv.reader(io.StringIO(data.decode()))) == ([names] if header else []) + want
        return
    got = read_table(data, "parquet")
    assert got.column_names == (names if header else ["1", "2", "3"])
    position = 3 if mode == "into" else 1
    assert [text_of(v if v is None or isinstance(v, str) else
                    (SornId(v) if isinstance(v, int) else QuibId.from_bytes(v)))
            for v in got.column(position).to_pylist()] == results
    assert got.column(0).to_pylist() == [r[0] for r in rows]


@pytest.mark.parametrize("target", ["quib", "sorn"])
@pytest.mark.parametrize("out", ["parquet", "arrow", "arrows", "lines"])
def test_lists_to_pair_tables_named_by_the_output(convert, chunks, target, out):
    rng = random.Random(f"{target}{out}")
    texts = [t for t in random_texts(rng, target, 50, bad=0) if t.strip()]
    chunks(64)
    status, data, err = convert("--to", target, data="\n".join(texts).encode(), out=f"pairs.{out}")
    assert (status, err) == (0, "")
    ids = [PARSERS[target][-1](t.strip()) for t in texts]
    results = converted(target, ids)
    if out == "lines":  # no format of its own: CSV
        assert data.decode().splitlines()[1:] == [f"{a},{b}" for a, b in zip(ids, results)]
        return
    if out == "parquet":
        got = pq.read_table(pa.BufferReader(data))
    else:
        reader = pa.ipc.open_stream if out == "arrows" else pa.ipc.open_file
        got = reader(pa.BufferReader(data)).read_all()
    assert got.column(0).to_pylist() == values_of(ids)
    assert got.column(1).to_pylist() == values_of(results)


def test_arrow_stream_on_standard_input_and_parquet_named_by_the_output(convert):
    table = pa.table({"id": [EXAMPLE, None]})
    sink = io.BytesIO()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    status, data, err = convert("--to", "quib", "--format", "arrow", data=sink.getvalue(), name="-",
                                out="pairs.parquet")
    assert (status, err) == (0, "")
    got = read_table(data, "parquet")
    assert got.column("quibid").to_pylist() == [SornId.batch_to_quibids([SornId(EXAMPLE)])[0][1]
                                                .as_bytes(), None]


# ---------------------------------------------------------------------------
# Errors

Q_GOOD = QuibId.from_str("0000000b-cbce-87f1-9b15-000000050007").as_bytes()
TABLE_ERRORS = [
    # A bad value names its row, counted from 0 over the whole file.
    (["--to", "quib"], {"id": ["5", "6", "7", "8", "x"]}, 1, "row 4: invalid SornId string: x"),
    (["--to", "quib"], {"id": ["5", "7" * 200]}, 1,
     f"row 1: invalid SornId string: {'7' * 80}... (200 characters)"),
    (["--to", "quib"], {"id": [1, 2, 3, 4, -5]}, 1, "row 4: sornid must be non-negative"),
    (["--to", "sorn"], {"id": pa.array([Q_GOOD] * 4 + [Q_GOOD[:15]], pa.binary())}, 1,
     "row 4: expected 16 bytes, got 15"),
    (["--to", "sorn"], {"id": pa.array([Q_GOOD] * 4 + [bytes(16)], pa.binary(16))}, 1,
     "row 4: uuid version must be 8 (UUIDv8)"),
    (["--to", "sorn"], {"id": [str(QuibId.from_bytes(Q_GOOD)), NODE_600]}, 1,
     "1 conflict (listed above): nothing converted"),
    (["--to", "quib"], {"id": [1.5]}, 1,
     "in.parquet: column 'id' holds double, not SornId values (int64) or their text"),
    (["--to", "sorn"], {"id": [1]}, 1,
     "in.parquet: column 'id' holds int64, not QuibId values (16 bytes) or their text"),
    (["--to", "quib", "--column", "nope"], {"id": [1]}, 1, "in.parquet: no column named 'nope'"),
    (["--to", "quib", "--column", "3"], {"id": [1]}, 1, "in.parquet: no column 3 (the table has 1)"),
    (["--to", "quib"], {"id": [1], "b": [2]}, 2, "--column is needed: in.parquet has 2 columns ('id', 'b')"),
    (["--to", "quib", "--into", "b"], {"id": [1], "b": [2]}, 1,
     "column 'b' exists already (--replace replaces the source column)"),
]


@pytest.mark.parametrize("args, columns, status, message", TABLE_ERRORS)
def test_table_errors(convert, chunks, args, columns, status, message):
    chunks(4096, table_rows=3)
    if "--column" not in args and len(columns) == 1 or "--into" in args:
        args = [*args, "--column", "id"]
    got, out, err = convert(*args, data=pa.table(columns), name="in.parquet", out="out.csv")
    assert (got, out) == (status, None)
    assert err.splitlines()[-1] == f"sornquibid: error: {message}"


@pytest.mark.parametrize("args, data, name, status, message", [
    (["--format", "lines", "--column", "a"], b"5\n", "in.txt", 2,
     "--column reads CSV, Parquet or Arrow; --format lines has no columns"),
    (["--header"], b"", "in.parquet", 2, "--header is for lines and CSV; a Parquet file names its columns"),
    (["--into", "q"], b"5\n", "in.txt", 2,
     "--into and --replace write a table: give CSV (--column), Parquet or Arrow input"),
    (["--replace", "--column", "1", "--output-format", "lines"], b"5\n", "in.csv", 2,
     "--output-format lines writes the converted identifiers alone, without --into or --replace"),
    (["--no-header", "--output-format", "parquet"], b"5\n", "in.txt", 2, "--no-header is for CSV output"),
    ([], b"5\n", "in.parquet", 1, "cannot read in.parquet as Parquet: "),
    ([], b"5\n", "in.feather", 1, "cannot read in.feather as Arrow IPC: "),
    # The columns of a CSV table without a header are named 1, 2, ...
    (["--column", "2", "--into", "1", "--output-format", "parquet"], b"5,6\n", "in.csv", 1,
     "column '1' exists already (--replace replaces the source column)"),
    # A CSV row wider than the table has no place in a Parquet file.
    (["--column", "id", "--replace", "--output-format", "parquet"], b"id,b\n1,2\n3,4,5\n", "in.csv",
     1, "line 3: 3 fields, more than the 2 columns of the table"),
])
def test_refused_runs(tmp_path, convert, args, data, name, status, message):
    got, out, err = convert("--to", "quib", *args, data=data, name=name)
    assert (got, out) == (status, None)
    assert err.startswith(f"sornquibid: error: {message}") and err.count("\n") == 1, err
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


def test_table_formats_without_pyarrow_name_the_extra(convert, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow fails
    for args, name in [([], "in.parquet"), (["--output-format", "arrow"], "in.txt")]:
        status, out, err = convert("--to", "quib", *args, data=b"5\n", name=name)
        fmt = "Parquet" if name.endswith("parquet") else "Arrow IPC"
        assert (status, out, err) == (
            1, None, f"sornquibid: error: {fmt} files need pyarrow: pip install 'sornquibid[arrow]'\n")


def test_binary_output_is_refused_on_a_terminal():
    status, screen = on_terminal(["convert", "--to", "quib", "--output-format", "arrow"], b"5\n",
                                 stdout_on_terminal=True)
    assert status == 2
    assert screen.strip() == ("sornquibid: error: Arrow IPC output is binary: write it to -o FILE, "
                              "or redirect standard output")


# ---------------------------------------------------------------------------
# Memory


# The command with a chunk of 256 kB, as peak_memory measures it.
SMALL_CHUNKS = [sys.executable, "-c", "import sys; from sornquibid.cli import input, main; "
                "input.CHUNK_BYTES = 1 << 18; sys.exit(main(sys.argv[1:]))"]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime keeps freed memory in quarantine")
@pytest.mark.parametrize("target, per_row", [("quib", 0), ("sorn", 80)])
def test_memory_is_bounded_by_the_chunk_or_the_column(tmp_path, monkeypatch, target, per_row):
    # --to quib keeps a chunk at a time: ten times the rows take no more
    # memory. --to sorn keeps the whole column: 16 bytes a row of values, 8
    # of SornIds and the conversion's 40, where objects would take hundreds.
    values = [SornId.from_parts(1_700_000_000_000 + i // 100, i % 100, 0).as_int()
              for i in range(2_000_000)]
    texts = [str(v) for v in values]
    if target == "sorn":
        texts = [str(q) for _, q in SornId.batch_to_quibids(list(map(SornId, values)))]
    monkeypatch.setattr(test_cli, "COMMAND", SMALL_CHUNKS)
    peaks = []
    for count in (200_000, 2_000_000):
        path = tmp_path / f"{count}.txt"
        path.write_text("\n".join(texts[:count]) + "\n")
        peaks.append(peak_memory(["convert", "--to", target, "-"], path))
    assert peaks[1] - peaks[0] < 8 * 2**20 + per_row * 1_800_000, peaks


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime keeps freed memory in quarantine")
@pytest.mark.parametrize("args, line, count", [
    ([], b" " * (64 << 20) + b"42\n", 1),  # one line, far longer than the chunk
    (["--column", "1"], b"42," + b"n" * (1 << 16) + b"\n", 1000),  # many long CSV lines
])
def test_memory_is_bounded_by_the_chunk_whatever_the_lines(tmp_path, monkeypatch, args, line, count):
    monkeypatch.setattr(test_cli, "COMMAND", SMALL_CHUNKS)
    peaks = []
    for size, data in [("small", b"42\n"), ("large", line * count)]:
        path = tmp_path / f"{size}.txt"
        path.write_bytes(data)
        peaks.append(peak_memory(["convert", "--to", "quib", *args, "-"], path))
    assert peaks[1] - peaks[0] < 16 * 2**20, peaks
