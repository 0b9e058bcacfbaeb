"""sornquibid.sqlalchemy: round trips with the declarative ORM through SQLite,
PostgreSQL (psycopg 3) and MariaDB (PyMySQL), and the other dialects' DDL,
parameters and literals compiled as text."""
import uuid

import pytest
from sqlalchemy import create_engine, func, inspect, select, text
from sqlalchemy.dialects import mssql, mysql, oracle, postgresql, sqlite
from sqlalchemy.dialects.mssql import pyodbc as mssql_pyodbc
from sqlalchemy.exc import StatementError
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column
from sqlalchemy.schema import CreateTable

from conftest import ID_COLUMNS, refusal, server, timeline
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from sornquibid.sqlalchemy import TYPE_ANNOTATION_MAP, QuibIdDescType, QuibIdType


class Base(DeclarativeBase):
    type_annotation_map = TYPE_ANNOTATION_MAP


class Row(Base):
    __tablename__ = "row"
    key: Mapped[int] = mapped_column(primary_key=True, autoincrement=False)
    sorn: Mapped[SornId | None]
    sorn_desc: Mapped[SornIdDesc | None]
    quib: Mapped[QuibId | None]
    quib_desc: Mapped[QuibIdDesc | None]
    # As an existing bytea column on PostgreSQL.
    quib_bytes: Mapped[QuibId | None] = mapped_column(QuibIdType(native_uuid=False))


IDS = [c[1] for c in ID_COLUMNS]
DATABASES = ["sqlite", "postgresql", "mariadb"]


def stored(value):
    return value.as_int() if isinstance(value, (SornId, SornIdDesc)) else value.as_bytes()


@pytest.fixture(scope="module", params=DATABASES)
def engine(request):
    if request.param == "sqlite":
        url = "sqlite://"
    else:
        found = server(request.param)
        url = found.url(found.new_database("sqlalchemy"))
    engine = create_engine(url)
    Base.metadata.create_all(engine)
    yield engine
    engine.dispose()


@pytest.fixture
def session(engine):
    with Session(engine) as session:
        session.execute(Row.__table__.delete())
        session.commit()
        yield session


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_round_trip(session, cls, name, other):
    col = getattr(Row, name)
    values = timeline(cls)  # oldest first
    session.add_all([Row(key=i, **{name: v}) for i, v in enumerate(values)] + [Row(key=9)])
    session.commit()
    session.expunge_all()

    def keys(*where):
        return session.scalars(select(Row.key).where(*where).order_by(Row.key)).all()

    read = session.scalars(select(col).where(col.is_not(None)).order_by(Row.key)).all()
    assert [type(v) for v in read] == [cls] * 3 and read == values
    # By value, also given as text or as the stored value.
    givens = [values[1], str(values[1]), stored(values[1])]
    if cls in (QuibId, QuibIdDesc):
        givens.append(values[1].to_uuid())
    for given in givens:
        assert keys(col == given) == [1]
    assert keys(col.in_([values[0], values[2]])) == [0, 2]
    assert keys(col > min(values), col < max(values)) == [1]
    # Ascending order of the column: oldest first, or newest first for the
    # descending form.
    ordered = session.scalars(select(col).where(col.is_not(None)).order_by(col)).all()
    assert ordered == (values[::-1] if cls.__name__.endswith("Desc") else values)
    assert getattr(session.get(Row, 9), name) is None and keys(col.is_(None)) == [9]

    wrong = other.from_str(str(values[0]))
    with pytest.raises(StatementError) as info:
        session.scalars(select(Row).where(col == wrong)).all()
    assert str(info.value.orig) == refusal(cls, wrong)


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_max_and_min(session, cls, name, other):
    col = getattr(Row, name)
    values = timeline(cls)
    session.add_all([Row(key=i, **{name: v}) for i, v in enumerate(values)])
    session.commit()
    # The query that works everywhere, as the guide gives it.
    assert session.scalars(select(col).order_by(col.desc()).limit(1)).first() == max(values)
    if session.bind.dialect.name == "postgresql" and cls in (QuibId, QuibIdDesc):
        return  # PostgreSQL has no max() or min() of uuid
    assert session.execute(select(func.max(col), func.min(col))).one() == (max(values), min(values))


def test_column_types_on_the_server(engine):
    types = {c["name"]: str(c["type"]) for c in inspect(engine).get_columns("row")}
    expected = {
        "sqlite": ("BIGINT", "BLOB", "BLOB"),
        "postgresql": ("BIGINT", "UUID", "BYTEA"),
        "mysql": ("BIGINT", "BINARY(16)", "BINARY(16)"),
    }[engine.dialect.name]
    assert [types[n] for n in ("sorn", "sorn_desc", "quib", "quib_desc", "quib_bytes")] == [
        expected[0], expected[0], expected[1], expected[1], expected[2]
    ]


def test_bytea_column_on_postgresql(postgresql):
    """native_uuid=False keeps existing bytea columns working, and the
    guide's statement turns such a column into uuid."""
    engine = create_engine(postgresql.url(postgresql.new_database("bytea")))
    Base.metadata.create_all(engine)
    value = timeline(QuibId)[1]
    with Session(engine) as session:
        session.add(Row(key=1, quib_bytes=value))
        session.commit()
        assert session.scalars(select(Row.key).where(Row.quib_bytes == str(value))).all() == [1]
        assert session.get(Row, 1).quib_bytes == value
        session.execute(text("ALTER TABLE row ALTER COLUMN quib_bytes TYPE uuid USING encode(quib_bytes, 'hex')::uuid"))
        assert session.execute(text("SELECT quib_bytes FROM row")).scalar_one() == value.to_uuid()
    engine.dispose()


@pytest.mark.parametrize(
    "engine, column, sql, message",
    [
        ("sqlite", "sorn", "-5", "column row.sorn: cannot read -5 as SornId: sornid must be non-negative"),
        ("sqlite", "sorn_desc", "'abc'", "column row.sorn_desc: cannot read 'abc' as SornIdDesc: expected int, got str"),
        ("sqlite", "quib", "x'0001'", "column row.quib: cannot read b'\\x00\\x01' as QuibId: expected 16 bytes, got 2"),
        ("postgresql", "quib_desc", "'00000000-0000-4000-8000-000000000000'",
         "column row.quib_desc: cannot read UUID('00000000-0000-4000-8000-000000000000') as QuibIdDesc: "
         "uuid version must be 8 (UUIDv8)"),
    ],
    indirect=["engine"],
)
def test_bad_stored_values_name_the_column(engine, column, sql, message):
    with Session(engine) as session:
        session.execute(Row.__table__.delete())
        session.execute(text(f"INSERT INTO row (key, {column}) VALUES (1, {sql})"))
        with pytest.raises((TypeError, ValueError)) as info:
            session.scalars(select(getattr(Row, column))).all()
        session.rollback()
    assert str(info.value) == message


def test_mssql_ddl():
    ddl = str(CreateTable(Row.__table__).compile(dialect=mssql.dialect()))
    columns = [line.strip() for line in ddl.splitlines() if line.strip().startswith(("sorn", "quib"))]
    assert columns == [
        "sorn BIGINT NULL,",
        "sorn_desc BIGINT NULL,",
        "quib BINARY(16) NULL,",
        "quib_desc BINARY(16) NULL,",
        "quib_bytes BINARY(16) NULL,",
    ]


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_mssql_parameters_and_literals(cls, name, other):
    dialect = mssql_pyodbc.dialect(paramstyle="qmark")
    col = getattr(Row, name)
    value = timeline(cls)[0]
    stmt = select(Row.key).where(col == value)
    compiled = stmt.compile(dialect=dialect)
    assert str(compiled).endswith(f"WHERE row.{name} = ?")
    [param] = compiled.construct_params().items()
    process = compiled.binds[param[0]].type.dialect_impl(dialect).bind_processor(dialect)
    assert process(param[1]) == stored(value)
    literal = str(stmt.compile(dialect=dialect, compile_kwargs={"literal_binds": True}))
    expected = str(value.as_int()) if cls.__name__.startswith("Sorn") else "0x" + value.as_bytes().hex()
    assert literal.endswith(f"WHERE row.{name} = {expected}")


@pytest.mark.parametrize(
    "dialect, native_uuid, ddl, literal",
    [
        (mssql.dialect(), True, "BINARY(16)", "0x{hex}"),
        (mysql.dialect(), True, "BINARY(16)", "X'{hex}'"),
        (oracle.dialect(), True, "RAW(16)", "HEXTORAW('{hex}')"),
        (postgresql.dialect(), True, "UUID", "'{text}'::uuid"),
        (postgresql.dialect(), False, "BYTEA", "'\\x{hex}'::bytea"),
        (sqlite.dialect(), True, "BLOB", "X'{hex}'"),
    ],
    ids=lambda x: x.name if hasattr(x, "name") else None,
)
def test_128_bit_column_type_and_literal_per_dialect(dialect, native_uuid, ddl, literal):
    q = timeline(QuibId)[0]
    column_type = QuibIdType(native_uuid=native_uuid)
    assert column_type.dialect_impl(dialect).compile(dialect=dialect) == ddl
    assert column_type.literal_processor(dialect)(q) == literal.format(hex=q.as_bytes().hex(), text=q)
    assert repr(column_type) == ("QuibIdType()" if native_uuid else "QuibIdType(native_uuid=False)")
    assert column_type.literal_processor(dialect)(uuid.UUID(str(q))) == literal.format(hex=q.as_bytes().hex(), text=q)
