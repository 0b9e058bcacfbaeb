"""sornquibid.sqlalchemy: a round trip through a real SQLite database with the
declarative ORM, and the SQL Server dialect's DDL, parameters and literals
compiled as text (no server)."""
import pytest
from sqlalchemy import create_engine, select
from sqlalchemy.dialects import mssql, mysql, oracle, postgresql, sqlite
from sqlalchemy.dialects.mssql import pyodbc as mssql_pyodbc
from sqlalchemy.exc import StatementError
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column
from sqlalchemy.schema import CreateTable

from conftest import ID_COLUMNS, refusal, timeline
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from sornquibid.sqlalchemy import TYPE_ANNOTATION_MAP, QuibIdType


class Base(DeclarativeBase):
    type_annotation_map = TYPE_ANNOTATION_MAP


class Row(Base):
    __tablename__ = "row"
    key: Mapped[int] = mapped_column(primary_key=True)
    sorn: Mapped[SornId | None]
    sorn_desc: Mapped[SornIdDesc | None]
    quib: Mapped[QuibId | None]
    quib_desc: Mapped[QuibIdDesc | None]


IDS = [c[1] for c in ID_COLUMNS]


def stored(value):
    return value.as_int() if isinstance(value, (SornId, SornIdDesc)) else value.as_bytes()


@pytest.fixture
def session():
    engine = create_engine("sqlite://")
    Base.metadata.create_all(engine)
    with Session(engine) as session:
        yield session


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_sqlite_round_trip(session, cls, name, other):
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
    for given in (values[1], str(values[1]), stored(values[1])):
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


def test_mssql_ddl():
    ddl = str(CreateTable(Row.__table__).compile(dialect=mssql.dialect()))
    columns = [line.strip() for line in ddl.splitlines() if line.strip().startswith(("sorn", "quib"))]
    assert columns == [
        "sorn BIGINT NULL,",
        "sorn_desc BIGINT NULL,",
        "quib BINARY(16) NULL,",
        "quib_desc BINARY(16) NULL,",
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
    "dialect, ddl, literal",
    [
        (mssql.dialect(), "BINARY(16)", "0x{}"),
        (mysql.dialect(), "BINARY(16)", "X'{}'"),
        (oracle.dialect(), "RAW(16)", "HEXTORAW('{}')"),
        (postgresql.dialect(), "BYTEA", "'\\x{}'::bytea"),
        (sqlite.dialect(), "BLOB", "X'{}'"),
    ],
    ids=lambda x: x.name if hasattr(x, "name") else None,
)
def test_128_bit_column_type_and_literal_per_dialect(dialect, ddl, literal):
    q = timeline(QuibId)[0]
    assert QuibIdType().dialect_impl(dialect).compile(dialect=dialect) == ddl
    assert QuibIdType().literal_processor(dialect)(q) == literal.format(q.as_bytes().hex())
