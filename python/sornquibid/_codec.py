"""What the integrations accept for an identifier, and what they store.

A database column holds the stored value of an identifier: the signed 64-bit
integer of the 64-bit classes, the 16 bytes of the 128-bit classes (for the
descending classes, the descending value itself). Frameworks hand over values
from forms, URLs and JSON as text or as that stored value; `Codec.coerce` turns
each of these into the identifier, and refuses everything else, including an
identifier of another class (an ascending value for a descending column).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc

Id = TypeVar("Id", SornId, SornIdDesc, QuibId, QuibIdDesc)

# What the database drivers return for a binary column.
_BINARY_TYPES = (bytes, bytearray, memoryview)


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
        return "int" if self.is_int else "16 bytes"

    def coerce(self, value: object) -> Id:
        """The identifier `value` stands for: an instance of exactly `cls`,
        its text form, or its stored value. A refused type raises TypeError;
        a refused value, the class's own ValueError or OverflowError."""
        if isinstance(value, self.cls):  # the classes are final: exactly cls
            return value
        if isinstance(value, str):
            return self.cls.from_str(value)
        if self.is_int:
            if isinstance(value, int) and not isinstance(value, bool):
                return self.from_stored(value)
        elif isinstance(value, _BINARY_TYPES):
            return self.from_stored(value)
        raise TypeError(
            f"{self.cls.__name__} value must be {self.cls.__name__}, str or "
            f"{self.stored_name}, not {type(value).__name__}"
        )

    def stored(self, value: object) -> Any:
        """The stored value of `coerce(value)`."""
        return self.to_stored(self.coerce(value))


SORNID = Codec(SornId, SornId, SornId.as_int, True)
SORNID_DESC = Codec(SornIdDesc, SornIdDesc, SornIdDesc.as_int, True)
QUIBID = Codec(QuibId, QuibId.from_bytes, QuibId.as_bytes, False)
QUIBID_DESC = Codec(QuibIdDesc, QuibIdDesc.from_bytes, QuibIdDesc.as_bytes, False)

CODECS: dict[type, Codec[Any]] = {c.cls: c for c in (SORNID, SORNID_DESC, QUIBID, QUIBID_DESC)}
