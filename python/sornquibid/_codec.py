"""What the integrations accept for an identifier, and what they store.

A database column holds the stored value of an identifier: the signed 64-bit
integer of the 64-bit classes, the 16 bytes of the 128-bit classes (for the
descending classes, the descending value itself), which a database with a
UUID type (PostgreSQL) holds as that type. Frameworks hand over values from
forms, URLs and JSON as text or as that stored value; `Codec.coerce` turns
each of these into the identifier, and refuses everything else, including an
identifier of another class (an ascending value for a descending column).
`Codec.load` reads what a database driver returned for a column.
"""

from __future__ import annotations

import uuid
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

Id = TypeVar("Id", SornId, SornIdDesc, QuibId, QuibIdDesc)

# What the database drivers return for a binary column; a UUID column comes
# back as uuid.UUID.
_BINARY_TYPES = (bytes, bytearray, memoryview)
# The longest repr of a stored value that an error message shows whole.
_SHOWN = 60


def shown(value: object) -> str:
    """`repr(value)`, shortened for an error message."""
    text = repr(value)
    return text if len(text) <= _SHOWN else text[: _SHOWN - 3] + "..."


@dataclass(frozen=True)
class Codec(Generic[Id]):
    cls: type[Id]
    # The identifier from its stored value, and back.
    from_stored: Callable[[Any], Id]
    to_stored: Callable[[Id], Any]
    # True for the 64-bit classes (stored as int), False for the 128-bit ones.
    is_int: bool

    @property
    def stored_name(self) -> str:
        return "int" if self.is_int else "16 bytes or uuid.UUID"

    def coerce(self, value: object) -> Id:
        """The identifier `value` stands for: an instance of exactly `cls`,
        its text form, or its stored value (for the 128-bit classes also as a
        uuid.UUID). A refused type raises TypeError; a refused value, the
        class's own ValueError or OverflowError."""
        if isinstance(value, self.cls):  # the classes are final: exactly cls
            return value
        if isinstance(value, str):
            return self.cls.from_str(value)
        stored = self._stored_form(value)
        if stored is not None:
            return self.from_stored(stored)
        kinds = [self.cls.__name__, "str", *(["int"] if self.is_int else ["16 bytes", "uuid.UUID"])]
        raise TypeError(
            f"{self.cls.__name__} value must be {', '.join(kinds[:-1])} or {kinds[-1]}, "
            f"not {type(value).__name__}"
        )

    def _stored_form(self, value: object) -> Any:
        # What from_stored takes for a stored value of a database column, or
        # None for any other type.
        if self.is_int:
            if isinstance(value, int) and not isinstance(value, bool):
                return value
        elif isinstance(value, _BINARY_TYPES):
            return value
        elif isinstance(value, uuid.UUID):
            return value.bytes
        return None

    def stored(self, value: object) -> Any:
        """The stored value of `coerce(value)`."""
        return self.to_stored(self.coerce(value))

    def as_uuid(self, value: object) -> uuid.UUID:
        """The stored value of `coerce(value)` as a uuid.UUID (128-bit classes)."""
        return uuid.UUID(bytes=self.stored(value))

    def load(self, value: object, where: str | None = None) -> Id:
        """The identifier of a value read from a database column: its stored
        value (an int; 16 bytes or a uuid.UUID). Anything else raises TypeError,
        a stored value that is no identifier of the class ValueError, both
        naming the column (`where`, when known) and showing what was found."""
        stored = self._stored_form(value)
        if stored is None:
            reason = f"expected {self.stored_name}, got {type(value).__name__}"
            raise TypeError(self._unreadable(value, where, reason))
        try:
            return self.from_stored(stored)
        except (ValueError, OverflowError) as exc:
            raise ValueError(self._unreadable(value, where, str(exc))) from None

    def _unreadable(self, value: object, where: str | None, reason: str) -> str:
        place = f"column {where}: " if where else ""
        return f"{place}cannot read {shown(value)} as {self.cls.__name__}: {reason}"


SORNID = Codec(SornId, SornId, SornId.as_int, True)
SORNID_DESC = Codec(SornIdDesc, SornIdDesc, SornIdDesc.as_int, True)
QUIBID = Codec(QuibId, QuibId.from_bytes, QuibId.as_bytes, False)
QUIBID_DESC = Codec(QuibIdDesc, QuibIdDesc.from_bytes, QuibIdDesc.as_bytes, False)

CODECS: dict[type, Codec[Any]] = {c.cls: c for c in (SORNID, SORNID_DESC, QUIBID, QUIBID_DESC)}
