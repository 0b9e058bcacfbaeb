import copy

import pytest

import _sornquibid


def sample_instances():
    """One instance of each class that has landed in the extension."""
    out = [_sornquibid.SornId(7130316800000040967)]
    if hasattr(_sornquibid, "SornIdDesc"):
        out.append(_sornquibid.SornIdDesc.from_parts(1700000000000, 5, 7))
    if hasattr(_sornquibid, "QuibId"):
        out.append(_sornquibid.QuibId.from_str("0000000b-cbce-87f1-9b15-000000050007"))
    if hasattr(_sornquibid, "QuibIdDesc"):
        out.append(_sornquibid.QuibIdDesc.from_parts(1700000000000000000, "ns", 5, 7))
    return out


SAMPLES = sample_instances()
IDS = [type(x).__name__ for x in SAMPLES]


@pytest.mark.parametrize("value", SAMPLES, ids=IDS)
@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy])
def test_copy_returns_the_same_immutable_object(value, how):
    assert how(value) is value


@pytest.mark.parametrize("value", SAMPLES, ids=IDS)
def test_deepcopy_inside_containers_shares_the_value(value):
    box = {"a": [value, value], "b": (value,)}
    dup = copy.deepcopy(box)
    assert dup == box and dup["a"] is not box["a"]
    assert dup["a"][0] is value and dup["b"][0] is value


@pytest.mark.parametrize("value", SAMPLES, ids=IDS)
def test_copy_methods_declare_signatures(value):
    import inspect

    assert str(inspect.signature(type(value).__copy__)) == "(self, /)"
    assert str(inspect.signature(type(value).__deepcopy__)) == "(self, memo, /)"
    assert value.__deepcopy__({}) is value
    with pytest.raises(TypeError):
        value.__copy__(1)
