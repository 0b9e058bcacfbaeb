"""The import surface and the properties shared by every class."""
import importlib
import inspect
import os

import pytest

import _sornquibid
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc
from conftest import run_python


CLASSES = [SornId, QuibId, SornIdDesc, QuibIdDesc]


def test_module_doc_and_all_start_with_classes():
    assert _sornquibid.__doc__ == ""
    assert _sornquibid.__all__[0] == "SornId"
    assert _sornquibid.__all__[-1] == "mssql_schema"
    # __all__ lists the attributes in the order they were added.
    names = [n for n in vars(_sornquibid) if n in _sornquibid.__all__]
    assert names == _sornquibid.__all__


def test_submodule_is_attribute_only():
    from _sornquibid import mssql_schema

    assert mssql_schema.__name__ == "mssql_schema"
    assert mssql_schema.__doc__ is None
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("_sornquibid.mssql_schema")


def test_submodule_is_fresh_per_execution_types_are_shared():
    found = importlib.util.find_spec("_sornquibid")
    other = importlib.util.module_from_spec(found)
    found.loader.exec_module(other)
    assert other is not _sornquibid
    assert other.mssql_schema is not _sornquibid.mssql_schema
    assert other.SornId is SornId
    assert other.__all__ == _sornquibid.__all__


@pytest.mark.parametrize("cls", CLASSES)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class '{cls.__name__}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES)
def test_class_is_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_are_immutable_and_slotless():
    x = SornId(5)
    for attr in ("node_id", "timestamp_ms", "sequence"):
        with pytest.raises(AttributeError):
            setattr(x, attr, 1)
    with pytest.raises(AttributeError):
        x.other = 1
    assert not hasattr(x, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(x)
    with pytest.raises(TypeError):
        SornId.from_str = None


def test_text_signatures():
    assert SornId.__text_signature__ == "(value)"
    assert str(inspect.signature(SornId)) == "(value)"
    assert str(inspect.signature(SornId.from_str)) == "(s)"
    assert str(inspect.signature(SornId(1).as_int)) == "()"
    assert SornId.as_int.__text_signature__ == "($self)"
    assert isinstance(inspect.getattr_static(SornId, "from_str"), staticmethod)


def test_instance_size_is_header_plus_value():
    import sys

    assert sys.getsizeof(SornId(1)) == object().__sizeof__() + 8


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: SornId(), TypeError),
        (lambda: SornId(1, 2), TypeError),
        (lambda: SornId(value=1, other=2), TypeError),
        (lambda: SornId(1, value=1), TypeError),
        (lambda: SornId("1"), TypeError),
        (lambda: SornId(1.0), TypeError),
        (lambda: SornId(None), TypeError),
        (lambda: SornId(2**63), OverflowError),
        (lambda: SornId(-(2**63) - 1), OverflowError),
        (lambda: SornId.from_str(b"1"), TypeError),
        (lambda: SornId.from_str(), TypeError),
        (lambda: SornId.from_str(s=1), TypeError),
    ],
)
def test_argument_conversion_failures(call, exc):
    with pytest.raises(exc):
        call()


def test_keyword_arguments_accepted():
    assert SornId(value=3) == SornId(3)
    assert SornId.from_str(s="3") == SornId(3)
    assert SornId.__new__(SornId, 3) == SornId(3)
    assert SornId.__new__(SornId, value=3) == SornId(3)


def test_index_objects_and_bools_are_integers():
    class Idx:
        def __index__(self):
            return 42

    assert SornId(Idx()).as_int() == 42
    assert SornId(True).as_int() == 1


def test_lone_surrogate_text_fails_conversion():
    with pytest.raises(UnicodeEncodeError):
        SornId.from_str("\ud800")


def test_value_error_has_single_argument_and_no_cause():
    with pytest.raises(ValueError) as info:
        SornId(-1)
    assert info.value.args == ("sornid must be non-negative",)
    assert info.value.__cause__ is None


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ,
    reason="the address sanitizer needs an unlimited address space",
)
@pytest.mark.parametrize(
    "call",
    [
        "SornId.from_str",
        "SornIdDesc.from_str",
        "QuibId.from_str",
        "QuibIdDesc.from_str",
        "mssql_schema.mssql_drop_autofill_trigger_for_table",
        "lambda s: mssql_schema.mssql_install_autofill_trigger_for_table(s, [('a', 'b')], 'sorn')",
        "lambda s: mssql_schema.mssql_install_autofill_trigger_for_table('t', [('a', 'b')], s)",
    ],
)
def test_refusing_a_huge_text_under_memory_pressure_raises_memory_error(call):
    # The refusal copies the whole text into its message; when that copy
    # cannot be made the call fails with MemoryError instead of aborting.
    code = f"""
import resource
from _sornquibid import *
from _sornquibid import mssql_schema
text = "x" * (200 << 20)
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (300 << 20), resource.RLIM_INFINITY))
try:
    ({call})(text)
except MemoryError:
    print("MemoryError")
"""
    assert run_python(code) == "MemoryError"
