"""Callers that do what a well-behaved caller would not: keyword names that
are not str, int subclasses with operators of their own, finalizers that run
in the middle of a call. Calls that used to crash run in a child process."""
import textwrap

import pytest

from _sornquibid import QuibIdDesc, SornId, SornIdDesc
from conftest import run_python
from ops_catalog import Hostile, Name

PRELUDE = """
import copyreg, gc, pickle
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema
"""


def outcome_in_child(code):
    """Runs `code` after PRELUDE in a fresh interpreter; the value of its
    last line is printed as its repr, or an exception as its type and text."""
    *body, last = textwrap.dedent(code).strip().splitlines()
    script = PRELUDE + "\n".join(body) + f"""
try:
    print(repr(({last})))
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
"""
    return run_python(script)


# A protocol 4 pickle: _sornquibid.SornIdDesc, (5,), {b'value': 5}, NEWOBJ_EX.
NEWOBJ_EX = b"\x80\x04c_sornquibid\nSornIdDesc\nK\x05\x85}C\x05valueK\x05s\x92."


@pytest.mark.parametrize("call", [
    "SornId.__new__(SornId, 5, **{b'value': 5})",
    "SornId.__new__(SornId, **{1: 5})",
    "SornIdDesc.__new__(SornIdDesc, **{b'value': 5})",
    "type.__call__(SornId, 5, **{b'value': 5})",
    "copyreg.__newobj_ex__(SornIdDesc, (5,), {b'value': 5})",
    "copyreg.__newobj_ex__(SornId, (), {None: 5, 'value': 5})",
    f"pickle.loads({NEWOBJ_EX!r})",
])
def test_keyword_names_that_are_not_str_are_refused(call):
    assert outcome_in_child(call) == "TypeError: keywords must be strings"


@pytest.mark.parametrize("call", [
    lambda: SornId.__new__(SornId, **{Name("value"): 5}),
    lambda: SornIdDesc(**{Name("value"): 5}),
    lambda: SornIdDesc.from_parts(**{Name("timestamp_ms"): 0, "node_id": 0, "sequence": 5}),
])
def test_keyword_names_of_a_str_subclass_are_read_as_text(call):
    assert call().as_int() in (5, 0x7FFFFFFFFFC01FFA)


@pytest.mark.parametrize("call, expected", [
    pytest.param(lambda: SornId(Hostile(2**62 + 5)).as_int(), 2**62 + 5, id="SornId"),
    pytest.param(lambda: SornId(Hostile(-1)), ValueError, id="SornId negative"),
    pytest.param(lambda: SornIdDesc(Hostile(2**40)).as_int(), 2**40, id="SornIdDesc"),
    pytest.param(lambda: SornIdDesc.from_parts(Hostile(2**40 + 3), 0, 0).timestamp_ms, 2**40 + 3,
                 id="u64"),
    pytest.param(lambda: SornIdDesc.from_parts(Hostile(2**64), 0, 0), OverflowError,
                 id="u64 overflow"),
    pytest.param(lambda: SornIdDesc.from_parts(0, Hostile(300), 0).node_id, 300, id="u16"),
    pytest.param(lambda: QuibIdDesc.from_parts(0, "us", 0, Hostile(65535)).sequence, 65535,
                 id="u16 wide"),
    pytest.param(lambda: QuibIdDesc.from_parts(Hostile(2**88 + 2**64 + 7), "fs", 0, 0).timestamp,
                 2**88 + 2**64 + 7, id="u128"),
    pytest.param(lambda: QuibIdDesc.from_parts(Hostile(2**64 + 5), "us", 0, 0).timestamp,
                 2**64 + 5, id="u128 high word"),
    pytest.param(lambda: QuibIdDesc.from_parts(Hostile(2**100), "fs", 0, 0), ValueError,
                 id="u128 over 89 bits"),
    pytest.param(lambda: QuibIdDesc.from_parts(Hostile(2**200 + 5), "us", 0, 0), OverflowError,
                 id="u128 overflow"),
])
def test_int_subclasses_convert_by_value_without_their_operators(call, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            call()
    else:
        assert call() == expected


# A finalizer that runs at each collection and, while it runs, reads every
# list of N items that the collector can see.
WALKER = """
N = 300
class Walker:
    def __del__(self):
        for o in gc.get_objects():
            if type(o) is list and len(o) == N:
                sum(1 for item in o)
        arm()
def arm():
    w = Walker()
    w.cycle = w
sorns = [SornId(i << 13) for i in range(N)]
quibs = [q for _, q in SornId.batch_to_quibids(sorns)]
held = [(i, None) for i in range(5000)]  # empties the free list of pairs
arm()
gc.set_threshold(1)
"""


@pytest.mark.parametrize("call", ["SornId.batch_to_quibids(sorns)", "QuibId.batch_to_sornids(quibs)"])
def test_a_finalizer_walking_the_collector_never_meets_a_half_built_result(call):
    # On 3.11 each pair the result gets may run a collection, and so the
    # finalizer, while the list is being filled.
    assert outcome_in_child(WALKER + f"len({call})") == "300"


def test_panic_exception_is_one_class_when_a_finalizer_panics_during_its_creation():
    # The first panic creates the class; a collection run by that creation
    # (on 3.11) runs a finalizer that panics too.
    code = """
    install = mssql_schema.mssql_install_autofill_trigger_for_table
    args = ("t", [], "sorn")
    classes = []
    def panic():
        try:
            install(*args)
        except BaseException as e:
            classes.append(type(e))
    class Panicker:
        def __del__(self):
            panic()
    p = Panicker()
    p.cycle = p
    del p
    gc.set_threshold(1)
    panic()
    gc.set_threshold(700)
    gc.collect()
    len(classes), len(set(classes)), classes[0].__name__
    """
    assert outcome_in_child(code) == "(2, 1, 'PanicException')"
