"""The guide's MySQL and MariaDB recipe on the session's MariaDB server: its
generated columns equal to_desc, and both of its queries list newest first."""
import random

from conftest import guide_sql
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, to_desc


def test_the_guides_recipe(mariadb):
    rng = random.Random(20)
    rows = [
        (SornId(rng.getrandbits(63)), QuibId.from_parts(rng.getrandbits(89), rng.choice(["us", "ns", "ps", "fs"]),
                                                        rng.getrandbits(15), rng.getrandbits(16)))
        for _ in range(3000)
    ] + [(SornId(0), QuibId.from_parts(0, "us", 0, 0)), (SornId(2**63 - 1), QuibId.from_parts(2**89 - 1, "fs", 32767, 65535))]
    with mariadb.connect(mariadb.new_database("recipe")) as conn, conn.cursor() as cur:
        create, *queries = [s.strip() for s in guide_sql("mariadb-orders").split(";") if s.strip()]
        cur.execute(create)
        cur.executemany("INSERT INTO orders (id, ref) VALUES (%s, %s)", [(i.as_int(), q.as_bytes()) for i, q in rows])
        cur.execute("SELECT id, id_desc, ref, ref_desc FROM orders")
        read = {SornId(i): (SornIdDesc(d), QuibId.from_bytes(q), QuibIdDesc.from_bytes(qd)) for i, d, q, qd in cur.fetchall()}
        assert read == {i: (to_desc(i), q, to_desc(q)) for i, q in rows}
        newest = sorted(read, reverse=True)[:50]
        for query in queries:
            cur.execute(query)
            assert [SornId(r[0]) for r in cur.fetchall()] == newest
