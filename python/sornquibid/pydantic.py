"""pydantic (2) field types for the identifiers.

Importing this module teaches pydantic (2.5 or later) the four classes, so that a
model field may be annotated with the plain class (`id: sornquibid.SornId`,
`ref: sornquibid.QuibId | None`), in a `BaseModel`, a `TypeAdapter` or a
FastAPI endpoint alike. The extension's classes are fixed and cannot carry
pydantic's schema hook, so the import registers them with pydantic's schema
generation instead; import this module once (for example in the package that
defines the models) before the models are defined. The names here are the same
classes annotated for pydantic, which work without that registration:
`from sornquibid.pydantic import SornId`.

- Validation, in Python: an identifier of exactly the field's class, its text
  form, or its stored value (an int for the 64-bit classes; 16 bytes or a
  uuid.UUID for the 128-bit ones). In JSON: the text forms that `from_str`
  takes, and for the 64-bit classes also an integer from 0 to 2**63 - 1.
  Every refusal is a `ValidationError` carrying the library's message.
- Strict mode (`strict=True`): only an identifier of the class in Python, only
  the canonical text form (what `str()` writes) in JSON.
- Serialization: the identifier itself in Python mode, its text form in JSON
  mode (64-bit identifiers as decimal strings, which JavaScript reads without
  loss).
- JSON schema: for validation, exactly what the validator takes (a pattern of
  the accepted text forms, the integer range, `format: "uuid"` for the 128-bit
  classes); for serialization and strict fields, the canonical text form.
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

_MAX_SORNID = 2**63 - 1


def _at_most(limit: str) -> str:
    """A regular expression of the decimal numbers from 0 to `limit`,
    without leading zeros: 0, the shorter numbers, and the numbers of the
    same length that first fall below `limit` at some digit."""
    alternatives = ["0", f"[1-9][0-9]{{0,{len(limit) - 2}}}"]
    for i, digit in enumerate(limit):
        lowest = 1 if i == 0 else 0
        if int(digit) > lowest:
            rest = len(limit) - i - 1
            alternatives.append(
                f"{limit[:i]}[{lowest}-{int(digit) - 1}]" + (f"[0-9]{{{rest}}}" if rest else "")
            )
    return "|".join([*alternatives, limit])


_DECIMAL = f"(?:{_at_most(str(_MAX_SORNID))})"
# str() of a 64-bit identifier; and what from_str takes: a leading "+", zeros
# before the number, and "-" before zeros alone ("-0" is 0).
_CANONICAL_DECIMAL = f"^{_DECIMAL}$"
_ACCEPTED_DECIMAL = f"^(?:\\+?0*{_DECIMAL}|-0+)$"

# str() of a 128-bit identifier: lower case, version 8, RFC 4122 variant. And
# the forms from_str takes: either letter case, hyphenated, in braces, after
# "urn:uuid:", or 32 digits.
_CANONICAL_UUID8 = "^[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"
_H = "[0-9a-fA-F]"
_HYPHENATED = f"{_H}{{8}}-{_H}{{4}}-8{_H}{{3}}-[89abAB]{_H}{{3}}-{_H}{{12}}"
_ACCEPTED_UUID8 = (
    f"^(?:{_HYPHENATED}|\\{{{_HYPHENATED}\\}}|urn:uuid:{_HYPHENATED}|{_H}{{12}}8{_H}{{3}}[89abAB]{_H}{{15}})$"
)


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

    def validate_canonical(self, value: object) -> Any:
        # Strict JSON: the text that str() writes, nothing else.
        name = self.codec.cls.__name__
        if not isinstance(value, str):
            raise ValueError(f"{name} value must be its canonical text form, not {type(value).__name__}")
        result = self.codec.cls.from_str(value)
        if str(result) != value:
            raise ValueError(f"{name} value must be its canonical text form {str(result)!r}, not {value!r}")
        return result

    def __get_pydantic_core_schema__(
        self, source_type: Any, handler: GetCoreSchemaHandler
    ) -> CoreSchema:
        lax = core_schema.no_info_plain_validator_function(self.validate)
        strict = core_schema.json_or_python_schema(
            json_schema=core_schema.no_info_plain_validator_function(self.validate_canonical),
            python_schema=core_schema.is_instance_schema(self.codec.cls),
        )
        return core_schema.lax_or_strict_schema(
            lax_schema=lax,
            strict_schema=strict,
            serialization=core_schema.plain_serializer_function_ser_schema(str, when_used="json"),
        )

    def __get_pydantic_json_schema__(
        self, schema: CoreSchema, handler: GetJsonSchemaHandler
    ) -> JsonSchemaValue:
        canonical = handler.mode == "serialization" or bool(schema.get("strict"))
        if not self.codec.is_int:
            pattern = _CANONICAL_UUID8 if canonical else _ACCEPTED_UUID8
            return {"type": "string", "format": "uuid", "pattern": pattern}
        if canonical:
            return {"type": "string", "pattern": _CANONICAL_DECIMAL}
        return {
            "anyOf": [
                {"type": "string", "pattern": _ACCEPTED_DECIMAL},
                {"type": "integer", "minimum": 0, "maximum": _MAX_SORNID},
            ]
        }


SornId = Annotated[_sornquibid.SornId, _Validated(SORNID)]
SornIdDesc = Annotated[_sornquibid.SornIdDesc, _Validated(SORNID_DESC)]
QuibId = Annotated[_sornquibid.QuibId, _Validated(QUIBID)]
QuibIdDesc = Annotated[_sornquibid.QuibIdDesc, _Validated(QUIBID_DESC)]

_ANNOTATED: dict[type, Any] = {
    _sornquibid.SornId: SornId,
    _sornquibid.SornIdDesc: SornIdDesc,
    _sornquibid.QuibId: QuibId,
    _sornquibid.QuibIdDesc: QuibIdDesc,
}


def _register_plain_classes() -> None:
    # pydantic finds the schema of a class without a schema hook of its own
    # in a table of known types, keyed by class, which the schema generator
    # consults before it gives up on an unknown type. Each of the four
    # classes gets the schema of its annotated form there.
    from pydantic._internal._generate_schema import GenerateSchema

    known = getattr(GenerateSchema, "_handlers", None)
    if isinstance(known, dict):
        for cls, annotated in _ANNOTATED.items():
            known[cls] = lambda generator, _cls, annotated=annotated: generator.generate_schema(annotated)
        return
    # Earlier releases of pydantic, without that table, decide in
    # match_type; the first releases of pydantic 2 have neither, and take
    # only the annotated forms.
    match_type = getattr(GenerateSchema, "match_type", None)
    if match_type is None or getattr(match_type, "_sornquibid", False):
        return

    def match_sornquibid_type(self: Any, obj: Any, *args: Any, **kwargs: Any) -> Any:
        annotated = _ANNOTATED.get(obj) if isinstance(obj, type) else None
        if annotated is not None:
            return self.generate_schema(annotated)
        return match_type(self, obj, *args, **kwargs)

    match_sornquibid_type._sornquibid = True  # type: ignore[attr-defined]
    GenerateSchema.match_type = match_sornquibid_type  # type: ignore[method-assign]


_register_plain_classes()
