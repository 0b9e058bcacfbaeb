"""sornquibid.pydantic: model round trips through JSON, validation from the text
form and the stored value, refusals, strict mode, the JSON schema against the
validator, the plain classes as annotations, and a FastAPI app."""
import json
import re
import uuid

import pytest
from hypothesis import given, strategies as st
from pydantic import BaseModel, ConfigDict, Field, TypeAdapter, ValidationError

import sornquibid.pydantic as annotated
from conftest import timeline
from sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc


class Model(BaseModel):
    sorn: annotated.SornId
    sorn_desc: annotated.SornIdDesc
    quib: annotated.QuibId
    quib_desc: annotated.QuibIdDesc
    optional: annotated.SornId | None = None


# The same fields, annotated with the classes themselves.
class Plain(BaseModel):
    sorn: SornId
    sorn_desc: SornIdDesc
    quib: QuibId
    quib_desc: QuibIdDesc
    optional: SornId | None = None


CLASSES = {"sorn": SornId, "sorn_desc": SornIdDesc, "quib": QuibId, "quib_desc": QuibIdDesc}
NEG = "sornid must be non-negative"


def sample(index=0):
    return {name: timeline(cls)[index] for name, cls in CLASSES.items()}


@pytest.mark.parametrize("model", [Model, Plain])
def test_model_round_trip(model):
    values = sample()
    instance = model(**values)
    assert instance.model_dump() == {**values, "optional": None}
    text = instance.model_dump_json()
    assert json.loads(text) == {**{k: str(v) for k, v in values.items()}, "optional": None}
    again = model.model_validate_json(text)
    assert again == instance and all(type(getattr(again, k)) is cls for k, cls in CLASSES.items())
    # From the stored values: ints, bytes, and uuid.UUID as PostgreSQL gives it.
    stored = {k: v.as_int() if k.startswith("sorn") else v.as_bytes() for k, v in values.items()}
    assert model(**stored) == instance
    assert model(**{**stored, "quib": values["quib"].to_uuid(), "quib_desc": values["quib_desc"].to_uuid()}) == instance
    assert model.model_json_schema() == Model.model_json_schema() | {"title": model.__name__}


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("sorn", SornIdDesc(5), "SornId value must be SornId, str or int, not SornIdDesc"),
        ("sorn_desc", SornId(5), "SornIdDesc value must be SornIdDesc, str or int, not SornId"),
        ("quib", "x", "invalid QuibId string: x"),
        ("quib_desc", 5, "QuibIdDesc value must be QuibIdDesc, str, 16 bytes or uuid.UUID, not int"),
        ("quib", uuid.UUID(int=0), "uuid version must be 8 (UUIDv8)"),
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
    for model in (Model, Plain):
        with pytest.raises(ValidationError) as info:
            model(**{**sample(), field: value})
        [error] = info.value.errors()
        assert error["loc"] == (field,) and error["msg"] == "Value error, " + message


def test_strict_mode():
    class Strict(BaseModel):
        model_config = ConfigDict(strict=True)
        sorn: SornId
        quib: annotated.QuibId

    values = {"sorn": timeline(SornId)[0], "quib": timeline(QuibId)[0]}
    assert Strict(**values).model_dump() == values
    assert Strict.model_validate_json(Strict(**values).model_dump_json()).model_dump() == values
    for field, value in (("sorn", values["sorn"].as_int()), ("sorn", str(values["sorn"])), ("quib", values["quib"].to_uuid())):
        with pytest.raises(ValidationError) as info:
            Strict(**{**values, field: value})
        assert info.value.errors()[0]["type"] == "is_instance_of"
    text = str(values["quib"])
    for field, value, canonical in (("sorn", "+" + str(values["sorn"]), str(values["sorn"])),
                                    ("quib", text.upper(), text), ("quib", "{" + text + "}", text)):
        with pytest.raises(ValidationError) as info:
            Strict.model_validate_json(json.dumps({**{k: str(v) for k, v in values.items()}, field: value}))
        cls = type(values[field]).__name__
        assert info.value.errors()[0]["msg"] == (
            f"Value error, {cls} value must be its canonical text form {canonical!r}, not {value!r}"
        )
    with pytest.raises(ValidationError):
        Strict.model_validate_json(json.dumps({"sorn": values["sorn"].as_int(), "quib": text}))


def _schema(cls, mode="validation", strict=False):
    field = Field(strict=True) if strict else Field()
    from typing import Annotated

    return TypeAdapter(Annotated[cls, field]).json_schema(mode=mode)


@pytest.mark.parametrize("cls", CLASSES.values(), ids=lambda c: c.__name__)
def test_json_schemas(cls):
    canonical = _schema(cls, "serialization")
    assert _schema(cls, strict=True) == canonical
    if cls in (SornId, SornIdDesc):
        [text, number] = _schema(cls)["anyOf"]
        assert number == {"type": "integer", "minimum": 0, "maximum": 2**63 - 1}
        assert text["type"] == canonical["type"] == "string" and set(canonical) == {"type", "pattern"}
    else:
        text = _schema(cls)
        assert text["format"] == canonical["format"] == "uuid"


def _accepts(cls, text, strict):
    try:
        TypeAdapter(cls).validate_json(json.dumps(text), strict=strict)
        return True
    except ValidationError:
        return False


def _text_pattern(cls, strict):
    schema = _schema(cls, strict=strict)
    return (schema["anyOf"][0] if "anyOf" in schema else schema)["pattern"]


DIGITS = st.text("0123456789", min_size=1, max_size=21)
DECIMALS = st.one_of(
    st.integers(-(2**64), 2**64).map(str),
    st.tuples(st.sampled_from(["", "+", "-", "--", " "]), DIGITS).map("".join),
    st.sampled_from(["9223372036854775807", "9223372036854775808", "09223372036854775807", "-0", "-00", "+", "", "1_0"]),
)
HEX = "0123456789abcdefABCDEF"
UUID_TEXTS = st.builds(
    lambda digits, shape, wrap: wrap.format(shape(digits)),
    st.text(HEX, min_size=32, max_size=32).map(lambda d: d[:12] + "8" + d[13:16] + "9" + d[17:])
    | st.text(HEX, min_size=32, max_size=32),
    st.sampled_from([lambda d: d, lambda d: f"{d[:8]}-{d[8:12]}-{d[12:16]}-{d[16:20]}-{d[20:]}"]),
    st.sampled_from(["{}", "{{{}}}", "urn:uuid:{}", "URN:UUID:{}", " {}", "{}-"]),
)


@given(st.one_of(DECIMALS, UUID_TEXTS), st.booleans())
def test_json_schema_pattern_agrees_with_the_validator(text, strict):
    for cls in CLASSES.values():
        assert bool(re.search(_text_pattern(cls, strict), text)) == _accepts(cls, text, strict), (cls, text)


@pytest.mark.filterwarnings("ignore:Using `httpx` with `starlette.testclient` is deprecated")
def test_fastapi_app():
    from fastapi import FastAPI
    from fastapi.testclient import TestClient

    app = FastAPI()

    class Order(BaseModel):
        id: SornId
        ref: QuibId | None = None

    orders = {}

    @app.post("/orders")
    def create(order: Order) -> Order:
        orders[order.id] = order
        return order

    @app.get("/orders/{order_id}")
    def read(order_id: SornId, ref: QuibId | None = None) -> Order:
        order = orders[order_id]
        assert ref is None or ref == order.ref
        return order

    client = TestClient(app)
    order = {"id": str(timeline(SornId)[0]), "ref": str(timeline(QuibId)[0])}
    assert client.post("/orders", json=order).json() == order
    assert client.post("/orders", json={**order, "id": int(order["id"])}).json() == order
    assert client.get(f"/orders/{order['id']}", params={"ref": order["ref"]}).json() == order
    refused = client.get("/orders/12x")
    assert refused.status_code == 422 and refused.json()["detail"][0]["msg"] == "Value error, invalid SornId string: 12x"
    schema = client.get("/openapi.json").json()["components"]["schemas"]
    # FastAPI's OpenAPI models write the integer bounds as floats.
    expected = _schema(SornId) | {"title": "Id"}
    expected["anyOf"][1] |= {"minimum": 0.0, "maximum": float(2**63 - 1)}
    assert schema["Order-Input"]["properties"]["id"] == expected
    assert schema["Order-Output"]["properties"]["id"] == _schema(SornId, "serialization") | {"title": "Id"}
