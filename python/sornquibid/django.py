"""Django model fields for the identifiers.

`SornIdField` and `SornIdDescField` store the 64-bit identifiers in a bigint
column. `QuibIdField` and `QuibIdDescField` store the 128-bit ones in
PostgreSQL's uuid type, as UUIDField does (uuid compares bytewise, so the
identifiers' order is kept), and elsewhere in 16 bytes: binary(16) on SQL
Server (vendor "microsoft"), MySQL and MariaDB, RAW(16) on Oracle, the
backend's binary type otherwise (BLOB on SQLite). `native_uuid=False` keeps
16 bytes (bytea) on PostgreSQL too, for existing bytea columns. A descending
column holds the descending value, so ascending order of it
(`order_by("field")`) is newest first.

A field's value is an identifier of its class. Assignments, lookups
(`exact`, `in`, `lt`, `gt`, `lte`, `gte`, ...) and form input may also give
its text form or its stored value (an int; 16 bytes or a uuid.UUID); anything
else, an identifier of another class included, is refused. Forms show and
take the text form. A stored value that is no identifier of the field's class
raises an error naming the model, the field and the column.
"""

from __future__ import annotations

from typing import Any

from django import forms  # type: ignore[import-untyped,unused-ignore]
from django.core.exceptions import ValidationError  # type: ignore[import-untyped,unused-ignore]
from django.db import models  # type: ignore[import-untyped,unused-ignore]

from ._codec import QUIBID, QUIBID_DESC, SORNID, SORNID_DESC, Codec

__all__ = ["SornIdField", "SornIdDescField", "QuibIdField", "QuibIdDescField", "IdFormField"]


def _refusal(exc: Exception) -> ValidationError:
    return ValidationError(str(exc), code="invalid")


class IdFormField(forms.CharField):  # type: ignore[misc,unused-ignore]
    """A form field taking the text form of one identifier class
    (`id_class`); its cleaned value is an identifier of that class."""

    def __init__(self, *, id_class: type[Any], **kwargs: Any) -> None:
        self.id_class = id_class
        super().__init__(**kwargs)

    def prepare_value(self, value: Any) -> Any:
        return str(value) if isinstance(value, self.id_class) else value

    def to_python(self, value: Any) -> Any:
        text = super().to_python(value)
        if text in self.empty_values:
            return None
        try:
            return self.id_class.from_str(text)
        except ValueError as exc:
            raise _refusal(exc) from None


class _IdField(models.Field):  # type: ignore[misc,unused-ignore]
    _codec: Codec[Any]
    empty_strings_allowed = False

    def from_db_value(self, value: Any, expression: Any, connection: Any) -> Any:
        return None if value is None else self._codec.load(value, self._where())

    def _where(self) -> str:
        model = getattr(self, "model", None)
        if model is None:
            return str(self.column)
        return f"{model._meta.db_table}.{self.column} ({model.__name__}.{self.name})"

    def to_python(self, value: Any) -> Any:
        if value is None:
            return None
        try:
            return self._codec.coerce(value)
        except (TypeError, ValueError, OverflowError) as exc:
            raise _refusal(exc) from None

    def get_prep_value(self, value: Any) -> Any:
        value = super().get_prep_value(value)
        return None if value is None else self._codec.coerce(value)

    def get_db_prep_value(self, value: Any, connection: Any, prepared: bool = False) -> Any:
        if not prepared:
            value = self.get_prep_value(value)
        return None if value is None else self._to_database(self._codec.coerce(value), connection)

    def _to_database(self, value: Any, connection: Any) -> Any:
        return self._codec.to_stored(value)

    def formfield(self, **kwargs: Any) -> Any:
        return super().formfield(**{"form_class": IdFormField, "id_class": self._codec.cls, **kwargs})


class _Id64Field(_IdField):
    def get_internal_type(self) -> str:
        # A bigint on every backend.
        return "BigIntegerField"


# The column type per connection.vendor; other backends get their own
# binary type.
_BINARY_16 = {"microsoft": "binary(16)", "mysql": "binary(16)", "oracle": "RAW(16)"}


class _Id128Field(_IdField):
    def __init__(self, *args: Any, native_uuid: bool = True, **kwargs: Any) -> None:
        """`native_uuid=False` stores 16 bytes (bytea) on PostgreSQL as well,
        where the default is its uuid type."""
        self.native_uuid = bool(native_uuid)
        super().__init__(*args, **kwargs)

    def deconstruct(self) -> Any:
        name, path, args, kwargs = super().deconstruct()
        if not self.native_uuid:
            kwargs["native_uuid"] = False
        return name, path, args, kwargs

    def _uses_uuid(self, connection: Any) -> bool:
        return self.native_uuid and connection.vendor == "postgresql"

    def get_internal_type(self) -> str:
        return "BinaryField"

    def db_type(self, connection: Any) -> Any:
        if self._uses_uuid(connection):
            return "uuid"
        return _BINARY_16.get(connection.vendor) or connection.data_types["BinaryField"]

    def _to_database(self, value: Any, connection: Any) -> Any:
        if self._uses_uuid(connection):
            return self._codec.as_uuid(value)
        return self._codec.to_stored(value)

    def get_placeholder(self, value: Any, compiler: Any, connection: Any) -> Any:
        # As for BinaryField: MySQL marks the parameter as binary data.
        return connection.ops.binary_placeholder_sql(value)

    def get_placeholder_sql(self, value: Any, compiler: Any, connection: Any) -> Any:
        # The same for Django 6 and later, which ask for the SQL and its
        # parameters instead (and pass the compiler on).
        return connection.ops.binary_placeholder_sql(value, compiler)


class SornIdField(_Id64Field):
    description = "SornId (64-bit identifier)"
    _codec = SORNID


class SornIdDescField(_Id64Field):
    description = "SornIdDesc (64-bit identifier, descending form)"
    _codec = SORNID_DESC


class QuibIdField(_Id128Field):
    description = "QuibId (128-bit identifier)"
    _codec = QUIBID


class QuibIdDescField(_Id128Field):
    description = "QuibIdDesc (128-bit identifier, descending form)"
    _codec = QUIBID_DESC
