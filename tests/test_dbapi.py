"""sornquibid.dbapi: the classes as query parameters of sqlite3 and psycopg 3
(on the session's PostgreSQL server), and read back as declared."""
import sqlite3

import pytest

from conftest import ID_COLUMNS, timeline
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from sornquibid.dbapi import register_psycopg, register_sqlite3

IDS = [c[1] for c in ID_COLUMNS]


def stored(value):
    return value.as_int() if isinstance(value, (SornId, SornIdDesc)) else value.as_bytes()


def test_sqlite3():
    register_sqlite3()
    conn = sqlite3.connect(":memory:", detect_types=sqlite3.PARSE_DECLTYPES | sqlite3.PARSE_COLNAMES)
    conn.execute("CREATE TABLE t (sorn sornid, sorn_desc sornid_desc, quib quibid, quib_desc QUIBID_DESC, plain BLOB)")
    values = {name: timeline(cls) for cls, name, _ in ID_COLUMNS}
    for row in zip(*values.values()):
        conn.execute("INSERT INTO t VALUES (?, ?, ?, ?, ?)", (*row, row[2]))
    # Stored as the integer and the 16 bytes; read back by declared type.
    assert conn.execute("SELECT typeof(sorn), typeof(quib) FROM t").fetchone() == ("integer", "blob")
    assert [list(r[:4]) for r in conn.execute("SELECT * FROM t ORDER BY sorn")] == [list(r) for r in zip(*values.values())]
    assert conn.execute("SELECT plain FROM t WHERE quib = ?", (values["quib"][1],)).fetchone() == (stored(values["quib"][1]),)
    # ... or by the name in a column alias.
    assert conn.execute('SELECT plain AS "p [quibid]" FROM t ORDER BY sorn').fetchone() == (values["quib"][0],)
    conn.execute("INSERT INTO t (sorn, quib) VALUES (-5, x'00')")
    with pytest.raises(ValueError) as info:
        conn.execute("SELECT sorn FROM t WHERE sorn < 0").fetchall()
    assert str(info.value) == "cannot read -5 as SornId: sornid must be non-negative"
    with pytest.raises(ValueError) as info:
        conn.execute("SELECT quib FROM t WHERE sorn < 0").fetchall()
    assert str(info.value) == "cannot read b'\\x00' as QuibId: expected 16 bytes, got 1"


@pytest.fixture(scope="module")
def pg(postgresql):
    name = postgresql.new_database("dbapi")
    with postgresql.connect(name) as conn:
        conn.execute("CREATE TABLE t (sorn bigint, sorn_desc bigint, quib uuid, quib_desc uuid)")
    return postgresql, name


@pytest.mark.parametrize("placeholder", ["%s", "%t", "%b"])
def test_psycopg_parameters(pg, placeholder):
    import psycopg

    server, name = pg
    with server.connect(name) as conn:
        register_psycopg(conn)
        conn.execute("DELETE FROM t")
        values = {name: timeline(cls) for cls, name, _ in ID_COLUMNS}
        with conn.cursor() as cur:
            cur.executemany(f"INSERT INTO t VALUES ({', '.join([placeholder] * 4)})", list(zip(*values.values())))
        raw = conn.execute("SELECT * FROM t ORDER BY sorn").fetchall()
        assert raw == [(a.as_int(), b.as_int(), c.to_uuid(), d.to_uuid()) for a, b, c, d in zip(*values.values())]
        for column, items in values.items():
            found = conn.execute(f"SELECT count(*) FROM t WHERE {column} = {placeholder}", (items[1],)).fetchone()
            assert found == (1,)
        # A client-side bound query writes literals.
        literal = psycopg.ClientCursor(conn)
        register_psycopg(literal)
        assert literal.mogrify("SELECT %s, %s", (values["sorn"][0], values["quib"][0])) == (
            f"SELECT {values['sorn'][0]}, '{values['quib'][0]}'::uuid"
        )


@pytest.mark.parametrize("binary", [False, True])
def test_psycopg_load(pg, binary):
    server, name = pg
    with server.connect(name) as conn:
        register_psycopg(conn)
        conn.execute("DELETE FROM t")
        values = [timeline(cls) for cls, _, _ in ID_COLUMNS]
        conn.cursor().executemany("INSERT INTO t VALUES (%s, %s, %s, %s)", list(zip(*values)))
        asc, desc = conn.cursor(binary=binary), conn.cursor(binary=binary)
        register_psycopg(asc, load=[SornId, QuibId])
        register_psycopg(desc, load=(QuibIdDesc, SornIdDesc))
        assert asc.execute("SELECT sorn, quib FROM t ORDER BY sorn").fetchall() == list(zip(values[0], values[2]))
        assert desc.execute("SELECT sorn_desc, quib_desc FROM t ORDER BY sorn").fetchall() == list(zip(values[1], values[3]))
        # Other connections' cursors are untouched.
        assert conn.execute("SELECT sorn FROM t ORDER BY sorn").fetchone() == (values[0][0].as_int(),)
        with pytest.raises(ValueError) as info:
            asc.execute("SELECT '00000000-0000-4000-8000-000000000000'::uuid").fetchall()
        assert str(info.value) == (
            "cannot read UUID('00000000-0000-4000-8000-000000000000') as QuibId: uuid version must be 8 (UUIDv8)"
        )


@pytest.mark.parametrize(
    "load, error, message",
    [
        ([SornId, SornIdDesc], ValueError, "load names SornId and SornIdDesc for the same bigint columns"),
        ([QuibIdDesc, SornId, QuibId], ValueError, "load names QuibIdDesc and QuibId for the same uuid columns"),
        ([int], TypeError, "load takes SornId, SornIdDesc, QuibId and QuibIdDesc, not <class 'int'>"),
        (SornId, TypeError, "load must be a collection of classes, not type"),
    ],
)
def test_psycopg_load_refusals(load, error, message):
    with pytest.raises(error) as info:
        register_psycopg(None, load=load)
    assert str(info.value) == message
