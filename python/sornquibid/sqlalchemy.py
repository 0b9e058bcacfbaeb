"""SQLAlchemy column types for the identifiers (SQLAlchemy 2).

`SornIdType` and `SornIdDescType` store the 64-bit identifiers in a BIGINT
column. `QuibIdType` and `QuibIdDescType` store the 128-bit ones in
PostgreSQL's native UUID type (which compares bytewise, so the identifiers'
order is kept), and elsewhere in 16 bytes: BINARY(16) on SQL Server, MySQL
and MariaDB, RAW(16) on Oracle, the dialect's binary type otherwise (BLOB on
SQLite). `QuibIdType(native_uuid=False)` keeps 16 bytes on PostgreSQL too
(BYTEA), for existing bytea columns. A descending column holds the
descending value, so ascending order of it is newest first.

Values bound to a column of one of these types (inserts, and the right-hand
side of comparisons such as `col > x` or `col.in_(xs)`) may be an identifier
of the column's class, its text form or its stored value (an int; 16 bytes
or a uuid.UUID); anything else, an identifier of another class included,
raises TypeError. Rows come back as identifiers of the column's class; a
stored value that is none raises an error naming the column.

With the declarative ORM, annotations such as `Mapped[SornId]` find their
column type through `TYPE_ANNOTATION_MAP`:

    class Base(DeclarativeBase):
        type_annotation_map = TYPE_ANNOTATION_MAP
"""

from __future__ import annotations

import weakref
from collections.abc import Callable
from typing import Any

from sqlalchemy.engine import Dialect
from sqlalchemy.schema import Column
from sqlalchemy.sql.operators import OperatorType
from sqlalchemy.types import BINARY, BigInteger, LargeBinary, TypeDecorator, TypeEngine, Uuid

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

from ._codec import QUIBID, QUIBID_DESC, SORNID, SORNID_DESC, Codec, Id

__all__ = [
    "SornIdType",
    "SornIdDescType",
    "QuibIdType",
    "QuibIdDescType",
    "TYPE_ANNOTATION_MAP",
]

# A type object attached to more than one column cannot say which one a value
# came from.
_SHARED: Any = object()


class _IdType(TypeDecorator[Id]):
    _codec: Codec[Id]
    # The column this type belongs to (a weak reference), for error messages.
    _column: Any = None

    @property
    def python_type(self) -> type[Any]:
        return self._codec.cls

    def _set_parent(self, parent: Any, outer: bool = False, **kw: Any) -> None:
        super()._set_parent(parent, outer=outer, **kw)
        if isinstance(parent, Column):
            known = self._column() if callable(self._column) else None
            if known is not None and known is not parent and known.type is self:
                self._column = _SHARED
            elif self._column is not _SHARED:
                # The first column, or a copy of the type (Column._copy)
                # that still names the column it was copied from.
                self._column = weakref.ref(parent)

    def _resolve_for_python_type(self, python_type: Any, matched_on: Any, matched_on_flattened: Any) -> Any:
        # A type of TYPE_ANNOTATION_MAP serves every column annotated with
        # its class: each gets a copy of its own, which knows its column.
        resolved = super()._resolve_for_python_type(python_type, matched_on, matched_on_flattened)
        return None if resolved is None else resolved.copy()

    def _where(self) -> str | None:
        column = self._column() if callable(self._column) else None
        if column is None:
            return None
        table = getattr(column, "table", None)
        return f"{table.fullname}.{column.name}" if table is not None else str(column.name)

    def process_bind_param(self, value: object, dialect: Dialect) -> Any:
        return None if value is None else self._codec.stored(value)

    def process_result_value(self, value: Any, dialect: Dialect) -> Id | None:
        return None if value is None else self._codec.load(value, self._where())

    def coerce_compared_value(self, op: OperatorType | None, value: Any) -> Any:
        # The other side of a comparison (`col > x`, `col.in_(xs)`) is bound
        # with this type, so it goes through process_bind_param.
        return self

    def __repr__(self) -> str:
        # Alembic writes this into migrations: the constructor's own
        # arguments, not those of the underlying type.
        return f"{type(self).__name__}()"


class _Id64Type(_IdType[Id]):
    impl = BigInteger

    def process_literal_param(self, value: Id | None, dialect: Dialect) -> str:
        # None never gets here: the compiler renders NULL itself.
        return str(self._codec.stored(value))


class _Id128Type(_IdType[Id]):
    impl = LargeBinary(16)

    def __init__(self, *, native_uuid: bool = True) -> None:
        """`native_uuid=False` stores 16 bytes (BYTEA) on PostgreSQL as well,
        where the default is its UUID type."""
        super().__init__()
        self.native_uuid = bool(native_uuid)

    def _uses_uuid(self, dialect: Dialect) -> bool:
        return self.native_uuid and dialect.name == "postgresql"

    def load_dialect_impl(self, dialect: Dialect) -> TypeEngine[Any]:
        # A fixed-length type where the database has one; LargeBinary is
        # BLOB on SQLite and BYTEA on PostgreSQL.
        if self._uses_uuid(dialect):
            return dialect.type_descriptor(Uuid())
        if dialect.name in ("mssql", "mysql", "mariadb"):
            return dialect.type_descriptor(BINARY(16))
        if dialect.name == "oracle":
            from sqlalchemy.dialects.oracle import RAW

            return dialect.type_descriptor(RAW(16))
        return self.impl_instance

    def process_bind_param(self, value: object, dialect: Dialect) -> Any:
        if value is None:
            return None
        return self._codec.as_uuid(value) if self._uses_uuid(dialect) else self._codec.stored(value)

    def process_literal_param(self, value: Id | None, dialect: Dialect) -> str:
        # A literal in the dialect's own syntax.
        if self._uses_uuid(dialect):
            return f"'{self._codec.as_uuid(value)}'::uuid"
        digits = self._codec.stored(value).hex()
        if dialect.name == "mssql":
            return f"0x{digits}"
        if dialect.name == "postgresql":
            return f"'\\x{digits}'::bytea"
        if dialect.name == "oracle":
            return f"HEXTORAW('{digits}')"
        return f"X'{digits}'"

    def literal_processor(self, dialect: Dialect) -> Callable[[Any], str]:
        # The base class would pass the literal on to the underlying type's
        # own literal rendering, which quotes bytes as a character string.
        def process(value: Any) -> str:
            return self.process_literal_param(value, dialect)

        return process

    def __repr__(self) -> str:
        arguments = "" if self.native_uuid else "native_uuid=False"
        return f"{type(self).__name__}({arguments})"


class SornIdType(_Id64Type[SornId]):
    """A `SornId` column (BIGINT)."""

    cache_ok = True
    _codec = SORNID


class SornIdDescType(_Id64Type[SornIdDesc]):
    """A `SornIdDesc` column (BIGINT holding the descending value)."""

    cache_ok = True
    _codec = SORNID_DESC


class QuibIdType(_Id128Type[QuibId]):
    """A `QuibId` column (UUID on PostgreSQL, 16 bytes elsewhere)."""

    cache_ok = True
    _codec = QUIBID


class QuibIdDescType(_Id128Type[QuibIdDesc]):
    """A `QuibIdDesc` column (as `QuibIdType`, holding the descending value)."""

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
