import copy
import copyreg
import inspect
import pickle

import pytest

import _sornquibid
import sornquibid
from conftest import run_python

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

# Built from expressions so that a child process can build the same values.
SAMPLE_CODE = [
    "SornId(7130316800000040967)",
    "SornId(0)",
    "SornIdDesc.from_parts(1700000000000, 5, 7)",
    "QuibId.from_str('0000000b-cbce-87f1-9b15-000000050007')",
    "QuibId.from_str('ffffffff-ffff-8fff-bfff-ffffffffffff')",
    "QuibIdDesc.from_parts(1700000000000000000, 'ns', 5, 7)",
]
NAMES = {name: getattr(_sornquibid, name) for name in ("SornId", "SornIdDesc", "QuibId", "QuibIdDesc")}
SAMPLES = [eval(code, {}, NAMES) for code in SAMPLE_CODE]


def test_package_reexports_the_same_objects():
    # The extension's names come first; the package's own calls follow.
    assert sornquibid.__all__[:5] == ["SornId", "QuibId", "SornIdDesc", "QuibIdDesc", "mssql_schema"]
    assert "PanicException" in sornquibid.__all__
    for name in sornquibid.__all__[:5]:
        assert getattr(sornquibid, name) is getattr(_sornquibid, name)


def test_package_exports_the_panic_class_the_extension_raises():
    cls = sornquibid.PanicException
    assert (cls.__name__, cls.__module__, cls.__bases__) == (
        "PanicException", "_sornquibid", (BaseException,))
    assert not hasattr(_sornquibid, "PanicException")
    # Imported before any panic, in a process whose first panic comes from
    # another operation: still the one class.
    code = """
import sornquibid
try:
    sornquibid.SornId.batch_to_quibids([sornquibid.SornId(1)])
except sornquibid.PanicException as e:
    print(type(e) is sornquibid.PanicException, str(e).startswith("invalid QUIBID_PRECISION"))
"""
    out = run_python(code, env_updates={"QUIBID_PRECISION": "x"})
    assert out == "True True"


# ---------------------------------------------------------------------------
# copy


@pytest.mark.parametrize("value", SAMPLES, ids=SAMPLE_CODE)
@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy])
def test_copy_returns_the_same_immutable_object(value, how):
    assert how(value) is value


def test_deepcopy_of_containers_shares_the_values():
    box = {"a": list(SAMPLES), "b": tuple(SAMPLES)}
    dup = copy.deepcopy(box)
    assert dup == box and dup["a"] is not box["a"]
    assert all(x is y for x, y in zip(dup["a"] + list(dup["b"]), SAMPLES * 2))


@pytest.mark.parametrize("cls", NAMES.values(), ids=NAMES.keys())
def test_copy_methods_declare_signatures(cls):
    assert str(inspect.signature(cls.__copy__)) == "(self, /)"
    assert str(inspect.signature(cls.__deepcopy__)) == "(self, memo, /)"


def test_copy_needs_only_the_extension():
    code = (
        "import copy, _sornquibid as m\n"
        "x = m.QuibIdDesc.from_parts(1, 'fs', 2, 3)\n"
        "print(copy.copy(x) is x, copy.deepcopy([x])[0] is x, 'sornquibid' in __import__('sys').modules)"
    )
    assert run_python(code) == "True True False"


# ---------------------------------------------------------------------------
# pickle


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("value", SAMPLES, ids=SAMPLE_CODE)
def test_pickle_round_trip(value, protocol):
    data = pickle.dumps(value, protocol)
    back = pickle.loads(data)
    assert type(back) is type(value) and back == value and hash(back) == hash(value)
    assert b"sornquibid._pickle" in data and b"builtins" not in data


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickles_made_here_load_in_a_fresh_process(protocol):
    # The child imports neither sornquibid nor _sornquibid itself.
    data = pickle.dumps(SAMPLES, protocol).hex()
    code = f"import pickle; print([repr(x) for x in pickle.loads(bytes.fromhex('{data}'))])"
    assert run_python(code) == str([repr(x) for x in SAMPLES])


def test_pickles_made_in_another_process_load_here():
    code = (
        "import pickle, sornquibid\n"
        "from _sornquibid import *\n"
        f"values = [{', '.join(SAMPLE_CODE)}]\n"
        f"print(' '.join(pickle.dumps(values, p).hex() for p in range({pickle.HIGHEST_PROTOCOL + 1})))"
    )
    for data in run_python(code).split():
        assert pickle.loads(bytes.fromhex(data)) == SAMPLES


def test_without_the_package_pickling_fails_cleanly():
    code = (
        "import pickle, _sornquibid\n"
        "try:\n"
        "    pickle.dumps(_sornquibid.SornId(1))\n"
        "except (TypeError, pickle.PicklingError) as e:\n"
        "    print('refused')\n"
    )
    assert run_python(code) == "refused"


def test_pickled_form_names_the_package_functions():
    func, args = copyreg.dispatch_table[type(SAMPLES[0])](SAMPLES[0])
    assert (func.__module__, func.__qualname__, args) == (
        "sornquibid._pickle", "sornid", (7130316800000040967,),
    )
