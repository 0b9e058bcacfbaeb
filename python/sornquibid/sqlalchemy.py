"""SQLAlchemy column types for the identifiers (SQLAlchemy 2).

`SornIdType` and `SornIdDescType` store the 64-bit identifiers in a BIGINT
column, `QuibIdType` and `QuibIdDescType` the 128-bit ones in a 16-byte binary
column (BINARY(16) on SQL Server and MySQL, RAW(16) on Oracle, the dialect's
binary type elsewhere: BLOB on SQLite, BYTEA on PostgreSQL). A descending
column holds the descending value, so ascending order of it is newest first.

Values bound to a column of one of these types (inserts, and the right-hand
side of comparisons such as `col > x` or `col.in_(xs)`) may be an identifier
of the column's class, its text form or its stored value (an int, or 16
bytes); anything else, an identifier of another class included, raises
TypeError. Rows come back as identifiers of the column's class.

With the declarative ORM, annotations such as `Mapped[SornId]` find their
column type through `TYPE_ANNOTATION_MAP`:

    class Base(DeclarativeBase):
        type_annotation_map = TYPE_ANNOTATION_MAP
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from sqlalchemy.engine import Dialect
from sqlalchemy.sql.operators import OperatorType
from sqlalchemy.types import BINARY, BigInteger, LargeBinary, TypeDecorator, TypeEngine

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from ._codec import QUIBID, QUIBID_DESC, SORNID, SORNID_DESC, Codec, Id

__all__ = [
    "SornIdType",
    "SornIdDescType",
    "QuibIdType",
    "QuibIdDescType",
    "TYPE_ANNOTATION_MAP",
]


class _IdType(TypeDecorator[Id]):
    _codec: Codec[Id]

    @property
    def python_type(self) -> type[Any]:
        return self._codec.cls

    def process_bind_param(self, value: object, dialect: Dialect) -> Any:
        return None if value is None else self._codec.stored(value)

    def process_result_value(self, value: Any, dialect: Dialect) -> Id | None:
        return None if value is None else self._codec.from_stored(value)

    def coerce_compared_value(self, op: OperatorType | None, value: Any) -> Any:
        # The other side of a comparison (`col > x`, `col.in_(xs)`) is bound
        # with this type, so it goes through process_bind_param.
        return self


class _Id64Type(_IdType[Id]):
    impl = BigInteger

    def process_literal_param(self, value: Id | None, dialect: Dialect) -> str:
        # None never gets here: the compiler renders NULL itself.
        return str(self._codec.stored(value))


class _Id128Type(_IdType[Id]):
    impl = LargeBinary(16)

    def load_dialect_impl(self, dialect: Dialect) -> TypeEngine[Any]:
        # A fixed-length type where the database has one; LargeBinary is
        # BLOB on SQLite and BYTEA on PostgreSQL.
        if dialect.name in ("mssql", "mysql", "mariadb"):
            return dialect.type_descriptor(BINARY(16))
        if dialect.name == "oracle":
            from sqlalchemy.dialects.oracle import RAW

            return dialect.type_descriptor(RAW(16))
        return self.impl_instance

    def process_literal_param(self, value: Id | None, dialect: Dialect) -> str:
        # A binary literal in the dialect's own syntax.
        digits = self._codec.stored(value).hex()
        if dialect.name == "mssql":
            return f"0x{digits}"
        if dialect.name == "postgresql":
            return f"'\\x{digits}'::bytea"
        if dialect.name == "oracle":
            return f"HEXTORAW('{digits}')"
        return f"X'{digits}'"

    def literal_processor(self, dialect: Dialect) -> Callable[[Any], str]:
        # The base class would pass the literal on to the binary type's own
        # literal rendering, which quotes bytes as a character string.
        def process(value: Any) -> str:
            return self.process_literal_param(value, dialect)

        return process


class SornIdType(_Id64Type[SornId]):
    """A `SornId` column (BIGINT)."""

    cache_ok = True
    _codec = SORNID


class SornIdDescType(_Id64Type[SornIdDesc]):
    """A `SornIdDesc` column (BIGINT holding the descending value)."""

    cache_ok = True
    _codec = SORNID_DESC


class QuibIdType(_Id128Type[QuibId]):
    """A `QuibId` column (16 bytes)."""

    cache_ok = True
    _codec = QUIBID


class QuibIdDescType(_Id128Type[QuibIdDesc]):
    """A `QuibIdDesc` column (16 bytes holding the descending value)."""

    cache_ok = True
    _codec = QUIBID_DESC


# For `type_annotation_map` of a DeclarativeBase: `Mapped[SornId]` and the
# like, also `Mapped[SornId | None]` (a nullable column).
TYPE_ANNOTATION_MAP: dict[Any, TypeEngine[Any]] = {
    SornId: SornIdType(),
    SornIdDesc: SornIdDescType(),
    QuibId: QuibIdType(),
    QuibIdDesc: QuibIdDescType(),
}
