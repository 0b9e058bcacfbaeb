"""pydantic (2) field types for the identifiers.

Each name here is the identifier class annotated for pydantic, so a model
field `id: SornId` (with `from sornquibid.pydantic import SornId`) holds a
`sornquibid.SornId`:

- validation takes an identifier of exactly that class, its text form, or its
  stored value (an int for the 64-bit classes, 16 bytes for the 128-bit ones);
  every refusal is a `ValidationError` carrying the library's message;
- serialization gives the identifier itself in Python mode and its text form in
  JSON mode (64-bit identifiers as decimal strings, which JavaScript reads
  without loss);
- the JSON schema is a string with the pattern of the text form.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Annotated, Any

from pydantic import GetCoreSchemaHandler, GetJsonSchemaHandler
from pydantic.json_schema import JsonSchemaValue
from pydantic_core import CoreSchema, core_schema

import _sornquibid

from ._codec import QUIBID, QUIBID_DESC, SORNID, SORNID_DESC, Codec

__all__ = ["SornId", "SornIdDesc", "QuibId", "QuibIdDesc"]

# The text forms that str() writes: the decimal value without leading zeros;
# a lower-case UUID of version 8 and the RFC 4122 variant.
_DECIMAL_PATTERN = "^(0|[1-9][0-9]{0,18})$"
_UUID8_PATTERN = "^[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"


@dataclass(frozen=True)
class _Validated:
    codec: Codec[Any]

    def validate(self, value: object) -> Any:
        try:
            return self.codec.coerce(value)
        except (TypeError, OverflowError) as exc:
            # pydantic reports ValueError as a validation error; TypeError
            # and OverflowError would escape it.
            raise ValueError(str(exc)) from None

    def __get_pydantic_core_schema__(
        self, source_type: Any, handler: GetCoreSchemaHandler
    ) -> CoreSchema:
        return core_schema.no_info_plain_validator_function(
            self.validate,
            serialization=core_schema.plain_serializer_function_ser_schema(str, when_used="json"),
        )

    def __get_pydantic_json_schema__(
        self, schema: CoreSchema, handler: GetJsonSchemaHandler
    ) -> JsonSchemaValue:
        pattern = _DECIMAL_PATTERN if self.codec.is_int else _UUID8_PATTERN
        return {"type": "string", "pattern": pattern}


SornId = Annotated[_sornquibid.SornId, _Validated(SORNID)]
SornIdDesc = Annotated[_sornquibid.SornIdDesc, _Validated(SORNID_DESC)]
QuibId = Annotated[_sornquibid.QuibId, _Validated(QUIBID)]
QuibIdDesc = Annotated[_sornquibid.QuibIdDesc, _Validated(QUIBID_DESC)]
