"""sornquibid.pydantic: model round trips through JSON, validation from the text
form and the stored value, refusals and the JSON schema."""
import json
import re

import pytest
from pydantic import BaseModel, TypeAdapter, ValidationError

import sornquibid.pydantic as annotated
from conftest import timeline
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc


class Model(BaseModel):
    sorn: annotated.SornId
    sorn_desc: annotated.SornIdDesc
    quib: annotated.QuibId
    quib_desc: annotated.QuibIdDesc
    optional: annotated.SornId | None = None


CLASSES = {"sorn": SornId, "sorn_desc": SornIdDesc, "quib": QuibId, "quib_desc": QuibIdDesc}
NEG = "sornid must be non-negative"


def sample(index=0):
    return {name: timeline(cls)[index] for name, cls in CLASSES.items()}


def test_model_round_trip():
    values = sample()
    model = Model(**values)
    assert model.model_dump() == {**values, "optional": None}
    text = model.model_dump_json()
    assert json.loads(text) == {**{k: str(v) for k, v in values.items()}, "optional": None}
    again = Model.model_validate_json(text)
    assert again == model and all(type(getattr(again, k)) is cls for k, cls in CLASSES.items())
    # From the stored values: ints and bytes.
    stored = {k: v.as_int() if k.startswith("sorn") else v.as_bytes() for k, v in values.items()}
    assert Model(**stored) == model


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("sorn", SornIdDesc(5), "SornId value must be SornId, str or int, not SornIdDesc"),
        ("sorn_desc", SornId(5), "SornIdDesc value must be SornIdDesc, str or int, not SornId"),
        ("quib", "x", "invalid QuibId string: x"),
        ("quib_desc", 5, "QuibIdDesc value must be QuibIdDesc, str or 16 bytes or uuid.UUID, not int"),
        ("sorn", True, "SornId value must be SornId, str or int, not bool"),
        ("sorn", 1.0, "SornId value must be SornId, str or int, not float"),
        ("sorn", "-1", NEG),
        ("sorn_desc", -1, NEG),
        ("sorn", 2**63, "SornId() argument 'value' does not fit in a signed 64-bit integer"),
        ("quib", b"\x00" * 16, "uuid version must be 8 (UUIDv8)"),
        ("quib_desc", bytearray(15), "expected 16 bytes, got 15"),
    ],
)
def test_refusals_are_validation_errors_with_the_library_message(field, value, message):
    with pytest.raises(ValidationError) as info:
        Model(**{**sample(), field: value})
    [error] = info.value.errors()
    assert error["loc"] == (field,) and error["msg"] == "Value error, " + message


@pytest.mark.parametrize("cls", CLASSES.values())
def test_json_schema_is_the_text_form(cls):
    schema = TypeAdapter(getattr(annotated, cls.__name__)).json_schema()
    assert set(schema) == {"type", "pattern"} and schema["type"] == "string"
    extremes = [cls(0), cls(2**63 - 1)] if cls.__name__.startswith("Sorn") else []
    for value in timeline(cls) + extremes:
        assert re.search(schema["pattern"], str(value))
    for text in ("007", "-1", "1" * 20, "0000000B-CBCE-87F1-9B15-000000050007", "0000000b-cbce-47f1-9b15-000000050007"):
        assert not re.search(schema["pattern"], text)
