"""postgresql_script(): its flip functions against the classes, its generators
against the generator rules (with given clock readings), under concurrent
sessions and in generated columns, on a PostgreSQL server of the test
session's own; and its parameters."""
import random
import threading

import pytest

from conftest import guide_sql
from sornquibid import (
    QuibId, QuibIdDesc, SornId, SornIdDesc, SornIdGenerator, mssql_generators_tsql, postgresql_script, to_asc, to_desc,
)

EPOCH_MS = 1700000000000  # 2023-11-14T22:13:20.000Z
EPOCH_NS = EPOCH_MS * 10**6


@pytest.fixture(scope="module")
def database(postgresql):
    """A database with the script for timestamps from EPOCH_MS and QuibIds
    in microseconds, installed twice (the second run replaces the first)."""
    name = postgresql.new_database("script")
    with postgresql.connect(name) as conn:
        conn.execute(postgresql_script(epoch_ms=EPOCH_MS, precision="us"))
        conn.execute(postgresql_script(epoch_ms=EPOCH_MS, precision="microseconds"))
    return postgresql, name


@pytest.fixture
def conn(database):
    server, name = database
    with server.connect(name) as conn:
        conn.execute("DELETE FROM sornquibid_generator_state")
        yield conn


def test_flips_equal_the_classes(conn):
    rng = random.Random(23)
    sorns = [SornId(rng.getrandbits(63)) for _ in range(10_000)] + [SornId(0), SornId(2**63 - 1)]
    quibs = [
        QuibId.from_parts(rng.getrandbits(89), rng.choice(["us", "ns", "ps", "fs"]), rng.getrandbits(15), rng.getrandbits(16))
        for _ in range(10_000)
    ]
    rows = conn.execute(
        "SELECT sornid_to_desc(x), sornid_to_asc(x) FROM unnest(%s::bigint[]) WITH ORDINALITY AS t(x, i) ORDER BY i",
        ([s.as_int() for s in sorns],),
    ).fetchall()
    assert [(SornIdDesc(d), SornIdDesc(a)) for d, a in rows] == [(to_desc(s), to_desc(s)) for s in sorns]
    rows = conn.execute(
        "SELECT quibid_to_desc(x), quibid_to_asc(quibid_to_desc(x)) FROM unnest(%s::uuid[]) WITH ORDINALITY AS t(x, i) ORDER BY i",
        ([q.to_uuid() for q in quibs],),
    ).fetchall()
    assert [(QuibIdDesc.from_bytes(d.bytes), QuibId.from_bytes(a.bytes)) for d, a in rows] == [
        (to_desc(q), q) for q in quibs
    ]
    assert conn.execute("SELECT sornid_to_desc(NULL), quibid_to_desc(NULL)").fetchone() == (None, None)


def _state(conn, family, node):
    return conn.execute(
        "SELECT last_timestamp, last_sequence FROM sornquibid_generator_state WHERE family = %s AND node_id = %s",
        (family, node),
    ).fetchone()


def _set_state(conn, family, node, timestamp, sequence):
    conn.execute(
        "INSERT INTO sornquibid_generator_state (family, node_id, last_timestamp, last_sequence) VALUES (%s, %s, %s, %s)"
        " ON CONFLICT (family, node_id) DO UPDATE SET last_timestamp = excluded.last_timestamp,"
        " last_sequence = excluded.last_sequence",
        (family, node, timestamp, sequence),
    )


MS = 10**6  # a millisecond in nanoseconds

# (family, function, per-unit nanoseconds, largest sequence, class)
FAMILIES = [
    ("sornid", "generate_id", MS, 8191, SornId),
    ("quibid", "generate_quibid", 1000, 65535, QuibId),
]


def _parts(value, cls):
    if cls is SornId:
        return SornId(value).timestamp_ms, SornId(value).node_id, SornId(value).sequence
    q = QuibId.from_bytes(value.bytes)
    assert q.precision == "us"
    return q.timestamp, q.node_id, q.sequence


@pytest.mark.parametrize("family, function, unit, max_sequence, cls", FAMILIES, ids=["sornid", "quibid"])
def test_generator_follows_the_clock_rules(conn, family, function, unit, max_sequence, cls):
    def draw(clock_ns, node=3):
        value = conn.execute(f"SELECT {function}_at(%s, %s)", (node, clock_ns)).fetchone()[0]
        return _parts(value, cls)

    # (clock reading, expected timestamp and sequence): a new timestamp starts
    # at 0; the same one, or a clock stepped back, counts on.
    steps = [
        (EPOCH_NS + 5 * unit, (5, 0)),
        (EPOCH_NS + 6 * unit - 1, (5, 1)),
        (EPOCH_NS + 2 * unit, (5, 2)),
        (EPOCH_NS + 6 * unit, (6, 0)),
    ]
    for clock, (timestamp, sequence) in steps:
        assert draw(clock) == (timestamp, 3, sequence)
    # The sequence used up: the next timestamp, ahead of the clock.
    _set_state(conn, family, 3, 6, max_sequence)
    assert draw(EPOCH_NS + 6 * unit) == (7, 3, 0)
    assert draw(EPOCH_NS + 6 * unit) == (7, 3, 1)
    # Refusals change nothing.
    epoch = f"{function}: the clock reads before the epoch 2023-11-14T22:13:20.000Z (epoch_ms=1700000000000)"
    bits, end = (41, "SornId timestamps end at ") if cls is SornId else (89, "QuibId timestamps in us end at ")
    end = f"{function}: {end}"
    last = 2**bits - 1
    for clock, message in [(EPOCH_NS - 1, epoch), (EPOCH_NS + (last + 1) * unit, end), (None, f"{function}: the clock reading is NULL")]:
        with pytest.raises(Exception) as info:
            draw(clock)
        assert info.value.diag.message_primary.startswith(message)
        assert _state(conn, family, 3) == (7, 1)
    _set_state(conn, family, 3, last, max_sequence)
    with pytest.raises(Exception) as info:
        draw(EPOCH_NS + last * unit)
    assert info.value.diag.message_primary.startswith(end)
    if cls is SornId:
        # The text of the Python generator at the same point.
        python = SornIdGenerator(3, epoch_ms=EPOCH_MS, clock=lambda: EPOCH_NS + (last + 1) * unit)
        with pytest.raises(ValueError) as expected:
            python.next()
        assert str(expected.value).endswith("2093-07-21T14:00:55.551Z with epoch_ms=1700000000000")
        assert info.value.diag.message_primary == f"{function}: {expected.value}"
    assert _state(conn, family, 3) == (last, max_sequence)
    # Nodes keep states of their own; node ids are checked.
    assert draw(EPOCH_NS + 5 * unit, node=4) == (5, 4, 0)
    top = 511 if cls is SornId else 32767
    for node in (-1, top + 1):
        with pytest.raises(Exception) as info:
            draw(EPOCH_NS, node=node)
        assert info.value.diag.message_primary == f"{function}: node_id {node} is out of range 0..{top}"


@pytest.mark.parametrize("family, function, unit, max_sequence, cls", FAMILIES, ids=["sornid", "quibid"])
def test_draws_within_one_transaction(conn, family, function, unit, max_sequence, cls):
    # Many draws in one statement; then the state changed by hand, and a
    # savepoint rolled back, within the same transaction: each draw starts
    # from the state as it stands.
    def draw(clock_ns):
        return _parts(conn.execute(f"SELECT {function}_at(5, %s)", (clock_ns,)).fetchone()[0], cls)

    with conn.transaction():
        drawn = conn.execute(
            f"SELECT {function}_at(5, %s) FROM generate_series(1, 3000)", (EPOCH_NS + 9 * unit,)
        ).fetchall()
        assert [_parts(r[0], cls) for r in drawn] == [(9, 5, k) for k in range(3000)]
        _set_state(conn, family, 5, 9, max_sequence)
        assert draw(EPOCH_NS + 9 * unit) == (10, 5, 0)
        with pytest.raises(Exception), conn.transaction():
            assert draw(EPOCH_NS + 9 * unit) == (10, 5, 1)
            conn.execute("SELECT 1 / 0")
        assert draw(EPOCH_NS + 9 * unit) == (10, 5, 1)
    assert _state(conn, family, 5) == (10, 1)


@pytest.mark.parametrize("family, function, unit, max_sequence, cls", FAMILIES, ids=["sornid", "quibid"])
def test_null_node_id_is_the_configured_one(conn, family, function, unit, max_sequence, cls):
    with pytest.raises(Exception) as info:
        conn.execute(f"SELECT {function}()")
    assert info.value.diag.message_primary == (
        f"{function}: node_id is NULL and no node id is configured for {family}"
    )
    assert info.value.diag.message_hint == (
        "Configure one with INSERT INTO sornquibid_generator_state (family, node_id, is_default) "
        f"VALUES ('{family}', <node id>, true)."
    )
    conn.execute(
        "INSERT INTO sornquibid_generator_state (family, node_id, is_default) VALUES (%s, 9, true)", (family,)
    )
    first, second = (conn.execute(f"SELECT {function}(), {function}(9)").fetchone())
    (t1, n1, s1), (t2, n2, s2) = _parts(first, cls), _parts(second, cls)
    assert n1 == n2 == 9 and (t1, s1) < (t2, s2)
    with pytest.raises(Exception):  # a second default for the family
        conn.execute("INSERT INTO sornquibid_generator_state (family, node_id, is_default) VALUES (%s, 8, true)", (family,))


def test_concurrent_sessions_get_distinct_increasing_ids(database):
    server, name = database
    results = {}

    def session(index):
        with server.connect(name) as conn:
            results[index] = [conn.execute("SELECT generate_id(1)").fetchone()[0] for _ in range(2000)]

    threads = [threading.Thread(target=session, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8
    assert all(ids == sorted(ids) for ids in results.values())
    everything = [i for ids in results.values() for i in ids]
    assert len(set(everything)) == 16000 and {SornId(i).node_id for i in everything} == {1}


def test_generated_columns_and_newest_first(conn):
    conn.execute(
        """
        CREATE TEMPORARY TABLE orders (
            id bigint PRIMARY KEY DEFAULT generate_id(2),
            id_desc bigint GENERATED ALWAYS AS (sornid_to_desc(id)) STORED,
            ref uuid DEFAULT generate_quibid(2),
            ref_desc uuid GENERATED ALWAYS AS (quibid_to_desc(ref)) STORED,
            n integer
        )
        """
    )
    conn.execute("INSERT INTO orders (n) SELECT g FROM generate_series(1, 2000) AS g")
    conn.execute("ANALYZE orders")
    rows = conn.execute("SELECT id, id_desc, ref, ref_desc FROM orders ORDER BY n").fetchall()
    ids = [SornId(r[0]) for r in rows]
    refs = [QuibId.from_bytes(r[2].bytes) for r in rows]
    assert ids == sorted(ids) and refs == sorted(refs) and len(set(ids)) == 2000
    assert [SornIdDesc(r[1]) for r in rows] == [to_desc(i) for i in ids]
    assert [QuibIdDesc.from_bytes(r[3].bytes) for r in rows] == [to_desc(q) for q in refs]
    newest = [r[0] for r in conn.execute("SELECT id FROM orders ORDER BY id_desc LIMIT 5")]
    assert newest == [i.as_int() for i in ids[::-1][:5]]
    assert [to_asc(SornIdDesc(r[0])) for r in conn.execute("SELECT id_desc FROM orders ORDER BY id_desc LIMIT 2")] == ids[::-1][:2]
    # The backward scan of the guide: newest first from the primary key.
    plan = [r[0] for r in conn.execute("EXPLAIN SELECT * FROM orders ORDER BY id DESC LIMIT 50")]
    assert "Index Scan Backward using orders_pkey on orders" in plan[1]
    assert conn.execute("SELECT sornid_next_desc(2) < min(id_desc) FROM orders").fetchone() == (True,)


def test_the_guides_recipe(postgresql):
    from sqlalchemy import Column, Computed, MetaData, Table, create_engine, select

    from sornquibid.sqlalchemy import QuibIdDescType, QuibIdType, SornIdDescType, SornIdType

    name = postgresql.new_database("recipe")
    with postgresql.connect(name) as conn:
        conn.execute(postgresql_script())
        for block in ("postgresql-default-node", "postgresql-orders", "postgresql-desc-columns"):
            conn.execute(guide_sql(block))
        conn.execute("INSERT INTO orders (customer) SELECT 'c' || g FROM generate_series(1, 3000) AS g")
        conn.execute("ANALYZE orders")
        plan = [r[0] for r in conn.execute("EXPLAIN SELECT * FROM orders ORDER BY id DESC LIMIT 50")]
        assert "Index Scan Backward using orders_pkey on orders" in plan[1]
    orders = Table(
        "orders", MetaData(),
        Column("id", SornIdType(), primary_key=True),
        Column("ref", QuibIdType()),
        Column("id_desc", SornIdDescType(), Computed("sornid_to_desc(id)")),
        Column("ref_desc", QuibIdDescType(), Computed("quibid_to_desc(ref)")),
    )
    engine = create_engine(postgresql.url(name))
    with engine.connect() as conn:
        rows = conn.execute(select(orders).order_by(orders.c.id_desc)).all()
    engine.dispose()
    assert len(rows) == 3002 and {r.id.node_id for r in rows} == {1}
    assert [r.id for r in rows] == sorted((r.id for r in rows), reverse=True)
    assert all(r.id_desc == to_desc(r.id) and r.ref_desc == to_desc(r.ref) for r in rows)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"epoch_ms": 1.0}, TypeError),
        ({"epoch_ms": 253402300800000}, ValueError),
        ({"epoch_ms": 2**64}, OverflowError),
        ({"precision": 5}, TypeError),
        ({"precision": "NS"}, ValueError),
    ],
)
def test_script_parameters_are_refused_as_for_sql_server(kwargs, error):
    with pytest.raises(error) as info:
        postgresql_script(**kwargs)
    with pytest.raises(error) as expected:
        mssql_generators_tsql(**kwargs)
    assert str(info.value) == str(expected.value)


def test_script_text():
    script = postgresql_script()
    assert script == postgresql_script(epoch_ms=0, precision="nanoseconds")
    assert "\r" not in script and script.endswith("$$;\n")
    assert "-- Timestamps count from epoch_ms 0 (1970-01-01T00:00:00.000Z);" in script
    assert "'generate_id: SornId timestamps end at 2039-09-07T15:47:35.551Z with epoch_ms=0'" in script
    assert postgresql_script(precision="fs") != postgresql_script(precision="ps")
