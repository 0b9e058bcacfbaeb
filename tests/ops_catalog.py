"""Every public operation of the extension, on its success path and on each of
its failure paths, as a flat list shared by the leak and thread checks.

Each `Op` holds a callable, the argument tuple it is called with (kept here so
that a check can watch the arguments' reference counts) and the exception type
the call must raise, or None. Members that are not built yet are left out.
"""
import operator
import uuid
from dataclasses import dataclass, field

from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema


@dataclass
class Op:
    name: str
    fn: object
    args: tuple = ()
    raises: type = None
    # Expensive operations run fewer times in the loops.
    weight: int = 1
    kwargs: dict = field(default_factory=dict)

    def call(self):
        return self.fn(*self.args, **self.kwargs)


class FailingSequence:
    """Passes the sequence check, then fails while it is read."""

    def __init__(self, items, fail_len=False):
        self.items = items
        self.fail_len = fail_len

    def __len__(self):
        if self.fail_len:
            raise RuntimeError("length fails")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items
        raise RuntimeError("iteration fails")


class Seq:
    """A plain user sequence: neither a list nor a tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise RuntimeError("__index__ fails")


class Hostile(int):
    """An int whose every operator answers wrongly; only its value counts."""

    def _wrong(self, *args):
        return 0

    __index__ = __int__ = __abs__ = __neg__ = __invert__ = _wrong
    __rshift__ = __lshift__ = __and__ = __or__ = __xor__ = __mod__ = _wrong
    __floordiv__ = __add__ = __sub__ = __mul__ = __pow__ = _wrong
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _wrong
    __hash__ = int.__hash__

    def __bool__(self):
        return False


class Name(str):
    """A keyword name of a str subclass whose comparison must not be used."""

    def __eq__(self, other):
        raise AssertionError("keyword name compared through __eq__")

    __hash__ = str.__hash__


PANIC = None


def panic_type():
    """PanicException, found by provoking it once (it is not exported)."""
    global PANIC
    if PANIC is None:
        try:
            mssql_schema.mssql_install_autofill_trigger_for_table("t", [], "sorn")
        except BaseException as e:  # noqa: BLE001 - that is the point
            PANIC = type(e)
    return PANIC


LONG = "x" * 300  # error texts this long live on the heap, so a leak shows
SURROGATE = "\ud800"
Q0 = "00000000-0000-8000-8000-000000000000"
QN = "0000000b-cbce-87f1-9b15-000000050007"


def _quib(ms, node, seq=0, precision=1):
    """A QuibId at `ms` milliseconds in the given precision code."""
    t = ms * 10 ** (3 * (precision + 1))
    v = (
        (t >> 41) << 80 | 8 << 76 | ((t >> 29) & 0xFFF) << 64 | 2 << 62 | precision << 60
        | (t & 0x1FFFFFFF) << 31 | node << 16 | seq
    )
    return QuibId.from_str(str(uuid.UUID(int=v)))


def _text_ops(cls, good, bad_texts):
    name = cls.__name__
    yield Op(f"{name}.from_str ok", cls.from_str, (good,))
    yield Op(f"{name}.from_str kw", cls.from_str, kwargs={"s": good})
    for label, text in bad_texts:
        yield Op(f"{name}.from_str {label}", cls.from_str, (text,), ValueError)
    yield Op(f"{name}.from_str bytes", cls.from_str, (good.encode(),), TypeError)
    yield Op(f"{name}.from_str surrogate", cls.from_str, (SURROGATE,), UnicodeEncodeError)
    yield Op(f"{name}.from_str no args", cls.from_str, (), TypeError)
    yield Op(f"{name}.from_str bad kw", cls.from_str, kwargs={"t": good}, raises=TypeError)


def _value_ops(name, obj, other, props):
    """str, repr, hash, properties and comparisons of one instance."""
    yield Op(f"{name} str", str, (obj,))
    yield Op(f"{name} repr", repr, (obj,))
    yield Op(f"{name} hash", hash, (obj,))
    for p in props:
        yield Op(f"{name}.{p}", getattr, (obj, p))
    yield Op(f"{name} setattr", setattr, (obj, props[0], 1), AttributeError)
    yield Op(f"{name} ==", obj.__eq__, (other,))
    yield Op(f"{name} <", obj.__lt__, (other,))
    yield Op(f"{name} == foreign", obj.__eq__, (5,))
    yield Op(f"{name} < foreign", operator.lt, (obj, 5), TypeError)


def _sorn_ops():
    s = SornId(7130316800000040967)
    yield Op("SornId()", SornId, (5,))
    yield Op("SornId(Index)", SornId, (Index(5),))
    yield Op("SornId kw", SornId, kwargs={"value": 5})
    yield Op("SornId.__new__", SornId.__new__, (SornId, 5))
    yield Op("SornId.__new__ kw", SornId.__new__, (SornId,), kwargs={"value": 5})
    yield Op("SornId negative", SornId, (-1,), ValueError)
    yield Op("SornId overflow", SornId, (2**63,), OverflowError)
    yield Op("SornId huge", SornId, (-(2**200),), OverflowError)
    yield Op("SornId str arg", SornId, ("5",), TypeError)
    yield Op("SornId bad __index__", SornId, (BadIndex(),), RuntimeError)
    yield Op("SornId two args", SornId, (1, 2), TypeError)
    yield Op("SornId twice", SornId, (1,), TypeError, kwargs={"value": 1})
    yield from _text_ops(SornId, "7130316800000040967", [
        ("long", "1" + LONG), ("negative", "-5"), ("empty", ""), ("too big", "9" * 19),
    ])
    yield Op("SornId.as_int", s.as_int)
    yield Op("SornId.as_int arg", s.as_int, (1,), TypeError)
    yield from _value_ops("SornId", s, SornId(5), ["timestamp_ms", "node_id", "sequence"])
    if hasattr(SornId, "batch_to_quibids"):
        ids = [SornId(i << 13) for i in range(40)]
        for label, arg in [("list", ids), ("tuple", tuple(ids)), ("seq", Seq(ids)), ("empty", [])]:
            yield Op(f"SornId.batch_to_quibids {label}", SornId.batch_to_quibids, (arg,))
            yield Op(f"SornId.check_quibid_convertibility {label}",
                     SornId.check_quibid_convertibility, (arg,))
        for fn in (SornId.batch_to_quibids, SornId.check_quibid_convertibility):
            for label, arg, exc in _bad_sequences(ids, SornIdDesc(5)):
                yield Op(f"SornId.{fn.__name__} {label}", fn, (arg,), exc)


def _bad_sequences(good, wrong_item):
    yield "str", "abc", TypeError
    yield "generator", (x for x in good), TypeError
    yield "set", {1}, TypeError
    yield "dict", {}, TypeError
    yield "int", 5, TypeError
    yield "wrong item last", good + [wrong_item], TypeError
    yield "int item", [5], TypeError
    yield "wrong item in seq", Seq(good + [wrong_item]), TypeError
    yield "failing iteration", FailingSequence(good), RuntimeError
    yield "failing len", FailingSequence(good, fail_len=True), RuntimeError


def _sorn_desc_ops():
    d = SornIdDesc.from_parts(1700000000000, 5, 7)
    yield Op("SornIdDesc()", SornIdDesc, (5,))
    yield Op("SornIdDesc.__new__", SornIdDesc.__new__, (SornIdDesc, 5))
    yield Op("SornIdDesc negative", SornIdDesc, (-1,), ValueError)
    yield Op("SornIdDesc overflow", SornIdDesc, (2**63,), OverflowError)
    yield Op("SornIdDesc float", SornIdDesc, (1.0,), TypeError)
    yield from _text_ops(SornIdDesc, "42", [("long", LONG), ("negative", "-1")])
    yield Op("SornIdDesc.from_parts", SornIdDesc.from_parts, (1700000000000, 5, 7))
    yield Op("SornIdDesc.from_parts kw", SornIdDesc.from_parts,
             kwargs={"timestamp_ms": 1, "node_id": 2, "sequence": 3})
    for label, args, exc in [
        ("timestamp", (2**41, 0, 0), ValueError),
        ("node", (0, 512, 0), ValueError),
        ("sequence", (0, 0, 8192), ValueError),
        ("negative", (-1, 0, 0), OverflowError),
        ("wide node", (0, 65536, 0), OverflowError),
        ("wide timestamp", (2**64, 0, 0), OverflowError),
        ("str", (0, "0", 0), TypeError),
        ("missing", (0, 0), TypeError),
    ]:
        yield Op(f"SornIdDesc.from_parts {label}", SornIdDesc.from_parts, args, exc)
    yield Op("SornIdDesc.as_int", d.as_int)
    yield from _value_ops("SornIdDesc", d, SornIdDesc(5), ["timestamp_ms", "node_id", "sequence"])


BAD_QUIB_TEXTS = [
    ("long", LONG),
    ("version", "00000000-0000-4000-8000-000000000000"),
    ("variant", "00000000-0000-8000-c000-000000000000"),
    ("hyphen", "00000000-0000-8000-8000_000000000000"),
    ("non-ascii", "00000000-0000-8000-8000-00000000000é"),
    ("upper urn", "URN:UUID:" + Q0),
]


def _quib_ops():
    q = QuibId.from_str(QN)
    for form in (Q0.replace("-", ""), "{" + Q0 + "}", "urn:uuid:" + Q0, Q0.upper()):
        yield Op(f"QuibId.from_str {form[:6]}", QuibId.from_str, (form,))
    yield from _text_ops(QuibId, QN, BAD_QUIB_TEXTS)
    yield Op("QuibId()", QuibId, (), TypeError)
    yield Op("QuibId.to_uuid", q.to_uuid, weight=4)
    yield from _value_ops("QuibId", q, QuibId.from_str(Q0),
                          ["timestamp", "precision", "node_id", "sequence", "timestamp_micros"])
    if hasattr(QuibId, "batch_to_sornids"):
        ok = [_quib(1700000000000 + i % 7, i % 5, i) for i in range(40)]
        crowded = [_quib(1700000000000, 5, i % 65536) for i in range(8193)]
        failing = [
            ("node", ok + [_quib(1, 512)]),
            ("timestamp", [_quib(2**41, 0)] + ok),
            ("crowded", crowded),
        ]
        for label, arg in [("list", ok), ("tuple", tuple(ok)), ("seq", Seq(ok)), ("empty", [])]:
            yield Op(f"QuibId.batch_to_sornids {label}", QuibId.batch_to_sornids, (arg,))
            yield Op(f"QuibId.check_sornid_convertibility {label}",
                     QuibId.check_sornid_convertibility, (arg,))
            yield Op(f"QuibId.sornid_conflict_details {label}",
                     QuibId.sornid_conflict_details, (arg,))
        for label, arg in failing:
            weight = 400 if label == "crowded" else 1
            yield Op(f"QuibId.batch_to_sornids {label}", QuibId.batch_to_sornids, (arg,),
                     ValueError, weight)
            yield Op(f"QuibId.check_sornid_convertibility {label}",
                     QuibId.check_sornid_convertibility, (arg,), None, weight)
            yield Op(f"QuibId.sornid_conflict_details {label}",
                     QuibId.sornid_conflict_details, (arg,), None, weight)
        for fn in (QuibId.batch_to_sornids, QuibId.check_sornid_convertibility,
                   QuibId.sornid_conflict_details):
            for label, arg, exc in _bad_sequences(ok, QuibIdDesc.from_str(Q0)):
                yield Op(f"QuibId.{fn.__name__} {label}", fn, (arg,), exc)


def _quib_desc_ops():
    d = QuibIdDesc.from_parts(1700000000000000000, "ns", 5, 7)
    yield from _text_ops(QuibIdDesc, QN, BAD_QUIB_TEXTS)
    yield Op("QuibIdDesc()", QuibIdDesc, (), TypeError)
    yield Op("QuibIdDesc.from_parts", QuibIdDesc.from_parts, (2**89 - 1, "femtoseconds", 1, 2))
    yield Op("QuibIdDesc.from_parts kw", QuibIdDesc.from_parts,
             kwargs={"timestamp": 1, "precision": "us", "node_id": 2, "sequence": 3})
    for label, args, exc in [
        ("precision", (0, "Femto\t\u0301\"" + LONG, 0, 0), ValueError),
        ("timestamp", (2**89, "us", 0, 0), ValueError),
        ("node", (0, "us", 32768, 0), ValueError),
        ("negative", (-1, "us", 0, 0), OverflowError),
        ("wide", (2**128, "us", 0, 0), OverflowError),
        ("wide sequence", (0, "us", 0, 65536), OverflowError),
        ("precision type", (0, b"us", 0, 0), TypeError),
        ("precision surrogate", (0, SURROGATE, 0, 0), UnicodeEncodeError),
        ("timestamp type", ("0", "us", 0, 0), TypeError),
    ]:
        yield Op(f"QuibIdDesc.from_parts {label}", QuibIdDesc.from_parts, args, exc)
    yield Op("QuibIdDesc.to_uuid", d.to_uuid, weight=4)
    yield from _value_ops("QuibIdDesc", d, QuibIdDesc.from_str(Q0),
                          ["timestamp", "precision", "node_id", "sequence"])


def _mssql_ops():
    install = getattr(mssql_schema, "mssql_install_autofill_trigger_for_table", None)
    drop = getattr(mssql_schema, "mssql_drop_autofill_trigger_for_table", None)
    if install is None or drop is None:
        return
    pairs = [("id", "id_desc"), ("parent_id", "parent_id_desc")]
    yield Op("mssql install sorn", install, ("orders", pairs, "sorn"))
    yield Op("mssql install quib tuple", install, ("orders", tuple(pairs), "quib"))
    yield Op("mssql install seq", install, ("orders", Seq(pairs), "quib"))
    for label, args, exc in [
        ("kind", ("orders", pairs, "Sorn" + LONG), ValueError),
        ("table", ("dbo." + LONG, pairs, "sorn"), ValueError),
        ("column", ("orders", pairs + [("a", "1" + LONG + "\u0301\x07")], "sorn"), ValueError),
        ("same column", ("orders", pairs + [("Z" * 63, "z" * 63)], "sorn"), ValueError),
        ("empty pairs", ("orders", [], "sorn"), panic_type()),
        ("empty pairs bad table", ("1x", [], "quib"), panic_type()),
        ("pair length", ("orders", [("a", "b", "c")], "sorn"), ValueError),
        ("pair item", ("orders", [("a", 5)], "sorn"), TypeError),
        ("pair list", ("orders", [["a", "b"]], "sorn"), TypeError),
        ("pairs str", ("orders", "ab", "sorn"), TypeError),
        ("pairs generator", ("orders", (p for p in pairs), "sorn"), TypeError),
        ("pairs failing", ("orders", FailingSequence(pairs), "sorn"), RuntimeError),
        ("table type", (b"orders", pairs, "sorn"), TypeError),
        ("kind type", ("orders", pairs, None), TypeError),
        ("surrogate", ("orders", [(SURROGATE, "b")], "sorn"), UnicodeEncodeError),
    ]:
        yield Op(f"mssql install {label}", install, args, exc)
    yield Op("mssql drop", drop, ("orders",))
    yield Op("mssql drop kw", drop, kwargs={"table": "orders"})
    yield Op("mssql drop bad", drop, ("naïve " + LONG,), ValueError)
    yield Op("mssql drop type", drop, (5,), TypeError)


def _bytes_int_parts_ops():
    """from_bytes, as_bytes, bytes(), from_int, as_int and from_parts."""
    raw = uuid.UUID(QN).bytes
    v = int.from_bytes(raw, "big")
    for cls in (QuibId, QuibIdDesc):
        name = cls.__name__
        x = cls.from_str(QN)
        for label, arg in [("bytes", raw), ("bytearray", bytearray(raw)),
                           ("memoryview", memoryview(raw)),
                           ("strided", memoryview(bytes(c for b in raw for c in (b, 0)))[::2])]:
            yield Op(f"{name}.from_bytes {label}", cls.from_bytes, (arg,))
        yield Op(f"{name}.from_bytes kw", cls.from_bytes, kwargs={"b": raw})
        for label, arg, exc in [
            ("short", raw[:15], ValueError),
            ("short bytearray", bytearray(15), ValueError),
            ("short strided", memoryview(raw)[::2], ValueError),
            ("version", bytes(16), ValueError),
            ("variant", raw[:8] + b"\xff" + raw[9:], ValueError),
            ("str", QN, TypeError),
            ("int", v, TypeError),
        ]:
            yield Op(f"{name}.from_bytes {label}", cls.from_bytes, (arg,), exc)
        yield Op(f"{name}.from_bytes missing", cls.from_bytes, (), TypeError)
        yield Op(f"{name}.as_bytes", x.as_bytes)
        yield Op(f"{name} bytes()", bytes, (x,))
        yield Op(f"{name}.as_int", x.as_int)
        yield Op(f"{name}.from_int", cls.from_int, (v,))
        yield Op(f"{name}.from_int Index", cls.from_int, (Index(v),))
        for label, arg, exc in [
            ("version", 0, ValueError),
            ("variant", v ^ 1 << 63, ValueError),
            ("negative", -1, OverflowError),
            ("wide", 2**128, OverflowError),
            ("float", 1.0, TypeError),
            ("bad __index__", BadIndex(), RuntimeError),
        ]:
            yield Op(f"{name}.from_int {label}", cls.from_int, (arg,), exc)
    yield Op("QuibId.from_parts", QuibId.from_parts, (2**89 - 1, "femtoseconds", 1, 2))
    for label, args, exc in [
        ("precision", (0, "Femto" + LONG, 0, 0), ValueError),
        ("timestamp", (2**89, "us", 0, 0), ValueError),
        ("node", (0, "us", 32768, 0), ValueError),
        ("wide", (2**128, "us", 0, 0), OverflowError),
        ("type", (0, "us", "0", 0), TypeError),
    ]:
        yield Op(f"QuibId.from_parts {label}", QuibId.from_parts, args, exc)
    yield Op("SornId.from_parts", SornId.from_parts, (1700000000000, 5, 7))
    for label, args, exc in [
        ("timestamp", (2**41, 0, 0), ValueError),
        ("sequence", (0, 0, 8192), ValueError),
        ("wide node", (0, 65536, 0), OverflowError),
        ("str", ("0", 0, 0), TypeError),
    ]:
        yield Op(f"SornId.from_parts {label}", SornId.from_parts, args, exc)


def _package_ops():
    """The calls the sornquibid package adds."""
    import sornquibid

    s, q = SornId(7130316800000040967), QuibId.from_str(QN)
    for x in (s, q):
        yield Op(f"to_desc {type(x).__name__}", sornquibid.to_desc, (x,))
        yield Op(f"to_asc {type(x).__name__}Desc", sornquibid.to_asc, (sornquibid.to_desc(x),))
        yield Op(f"to_asc {type(x).__name__}", sornquibid.to_asc, (x,), TypeError)
    yield Op("to_desc int", sornquibid.to_desc, (5,), TypeError)
    ok = [_quib(1700000000000, 5, i) for i in range(10)]
    bad = ok + [_quib(1, 600), _quib(2**41, 5)]
    yield Op("sornid_conflicts none", sornquibid.sornid_conflicts, (ok,))
    yield Op("sornid_conflicts some", sornquibid.sornid_conflicts, (bad,))
    yield Op("sornid_conflicts str", sornquibid.sornid_conflicts, ("abc",), TypeError)


def _hostile_ops():
    """Keyword names that are not str, handed to __new__ as a dict, and
    integers of an int subclass whose operators lie."""
    yield Op("SornId.__new__ bytes kw", SornId.__new__, (SornId,), TypeError,
             kwargs={b"value": 5})
    yield Op("SornIdDesc.__new__ int kw", SornIdDesc.__new__, (SornIdDesc, 5), TypeError,
             kwargs={1: 5})
    yield Op("SornId str subclass kw", SornId.__new__, (SornId,), kwargs={Name("value"): 5})
    yield Op("SornIdDesc.from_parts Hostile", SornIdDesc.from_parts,
             (Hostile(2**40), Hostile(300), Hostile(4097)))
    yield Op("QuibIdDesc.from_parts Hostile", QuibIdDesc.from_parts,
             (Hostile(2**88 + 2**64 + 7), "fs", Hostile(3), Hostile(65535)))
    yield Op("QuibIdDesc.from_parts Hostile wide", QuibIdDesc.from_parts,
             (Hostile(2**200 + 5), "us", 0, 0), OverflowError)


def _generator_ops():
    """The generators of sornquibid._native and its epoch check. (The time
    functions and the generator script built on them are pure Python.)"""
    import time

    from sornquibid import QuibIdGenerator, SornIdGenerator

    for name, gen in [
        ("SornIdGenerator", SornIdGenerator(5)),
        ("SornIdGenerator clock", SornIdGenerator(5, epoch_ms=7, clock=time.time_ns)),
        ("QuibIdGenerator", QuibIdGenerator(5, precision="fs")),
        ("QuibIdGenerator clock", QuibIdGenerator(5, precision="us", clock=time.time_ns)),
    ]:
        yield Op(f"{name}.next", gen.next)
        yield Op(f"{name}.next_desc", gen.next_desc)
        yield Op(f"{name}()", gen)
        yield Op(f"{name}.next_many", gen.next_many, (100,), weight=20)
        yield Op(f"{name}.next_many kw", gen.next_many, kwargs={"n": 0})
        yield Op(f"{name}.next_many negative", gen.next_many, (-1,), ValueError)
        yield Op(f"{name}.next_many str", gen.next_many, ("1",), TypeError)
        yield Op(f"{name} repr", repr, (gen,))
        yield Op(f"{name} pickle", gen.__reduce_ex__, (4,), TypeError)
    yield Op("SornIdGenerator(Index)", SornIdGenerator, (Index(5),), kwargs={"epoch_ms": Index(1)})
    yield Op("QuibIdGenerator default precision", QuibIdGenerator, (5,))
    for label, cls, args, kwargs, exc in [
        ("node", SornIdGenerator, (512,), {}, ValueError),
        ("epoch", SornIdGenerator, (1,), {"epoch_ms": -2**62}, ValueError),
        ("clock", SornIdGenerator, (1,), {"clock": 5}, TypeError),
        ("bad __index__", SornIdGenerator, (BadIndex(),), {}, RuntimeError),
        ("precision", QuibIdGenerator, (1,), {"precision": "Femto" + LONG}, ValueError),
        ("surrogate", QuibIdGenerator, (1,), {"precision": SURROGATE}, UnicodeEncodeError),
        ("node", QuibIdGenerator, (32768,), {}, ValueError),
    ]:
        yield Op(f"{cls.__name__} {label}", cls, args, exc, kwargs=kwargs)
    past = SornIdGenerator(1, clock=lambda: -1)
    yield Op("SornIdGenerator before epoch", past.next, (), ValueError)
    yield Op("SornIdGenerator float clock", SornIdGenerator(1, clock=time.time).next, (), TypeError)
    yield Op("SornIdGenerator field end", SornIdGenerator(1, clock=lambda: 2**62).next_many, (5,),
             ValueError)
    from sornquibid._native import check_epoch_ms
    yield Op("check_epoch_ms", check_epoch_ms, (-62135596800000,))
    yield Op("check_epoch_ms Index", check_epoch_ms, kwargs={"epoch_ms": Index(5)})
    yield Op("check_epoch_ms range", check_epoch_ms, (2**62,), ValueError)
    yield Op("check_epoch_ms wide", check_epoch_ms, (2**63,), OverflowError)
    yield Op("check_epoch_ms type", check_epoch_ms, ("0",), TypeError)


def _columns_ops():
    """The column kernels of sornquibid._native, over numpy buffers and over
    the module's own Arrow arrays (no other Arrow producer is called)."""
    import numpy as np

    from sornquibid import _native as n

    sorns = np.array([7130316800000040967 + i for i in range(40)] + [0], dtype=np.int64)
    quibs = n.col_sorn_to_quib(sorns, "ns", 0, False)[0]
    flipped = n.col_flip(sorns, SornId, 0, False)[0]  # an Arrow int64 column
    arrow = n.col_sorn_to_quib(flipped, "us", 0, False)[0]  # an Arrow 16-byte column
    numpy_quibs = np.frombuffer(quibs, "V16")
    texts = np.array([str(QuibId.from_bytes(bytes(q))) for q in numpy_quibs])
    crowd = np.frombuffer(b"".join(_quib(1700000000000, 5, i).as_bytes() for i in range(8193)),
                          "V16")
    faults = np.frombuffer(b"".join(q.as_bytes() for q in (_quib(1, 5), _quib(1, 600))), "V16")
    order = np.arange(41, dtype=np.int64)[::-1].copy()
    for label, fn, args, exc in [
        ("sorn_to_quib", n.col_sorn_to_quib, (sorns, "ns", 0, False), None),
        ("sorn_to_quib arrow nulls", n.col_sorn_to_quib, (flipped, "us", 0, True), None),
        ("sorn_to_quib negative", n.col_sorn_to_quib, (-sorns, "us", 7, False), ValueError),
        ("sorn_to_quib precision", n.col_sorn_to_quib, (sorns, "Ns" + LONG, 0, False), ValueError),
        ("sorn_to_quib float", n.col_sorn_to_quib, (sorns * 1.0, "us", 0, False), TypeError),
        ("sorn_to_quib list", n.col_sorn_to_quib, ([1, 2], "us", 0, False), TypeError),
        ("flip sorn", n.col_flip, (sorns, SornId, 0, False), None),
        ("flip quib", n.col_flip, (quibs, QuibIdDesc, 0, False), None),
        ("flip family", n.col_flip, (quibs, int, 0, False), TypeError),
        ("parse str", n.col_parse, (texts, QuibId, 0, False), None),
        ("parse object", n.col_parse, (texts.astype(object), QuibIdDesc, 0, False), None),
        ("parse bad", n.col_parse, (np.array(["1", LONG]), SornId, 0, False), ValueError),
        ("parse None", n.col_parse, (np.array(["1", None], object), SornId, 0, False), TypeError),
        ("format numpy", n.col_format, (quibs, QuibId, "numpy", 0, False), None),
        ("format string", n.col_format, (sorns, SornIdDesc, "string", 0, False), None),
        ("format arrow", n.col_format, (arrow, QuibId, "large_string", 0, True), None),
        ("format layout", n.col_format, (sorns, SornId, "utf8", 0, False), ValueError),
        ("fields", n.col_fields, (quibs, QuibIdDesc, True, 0, False), None),
        ("fields arrow", n.col_fields, (arrow, QuibId, False, 0, False), None),
        ("fields sorn", n.col_fields, (sorns, SornId, False, 0, False), None),
        ("validate", n.col_validate, (texts, QuibId, True), None),
        ("validate arrow", n.col_validate, (arrow, QuibId, False), None),
        ("sorn_group", n.col_sorn_group, (quibs, 0, False), None),
        ("sorn_group fault", n.col_sorn_group, (faults, 0, False), ValueError),
        ("quib_to_sorn", n.col_quib_to_sorn, (quibs, None, 0), None),
        ("quib_to_sorn order", n.col_quib_to_sorn, (arrow, order, 0), None),
        ("quib_to_sorn order length", n.col_quib_to_sorn, (quibs, order[1:], 0), ValueError),
        ("quib_to_sorn fault", n.col_quib_to_sorn, (faults, None, 0), ValueError),
        ("sornid_conflicts", n.col_sornid_conflicts, (faults, 0, 1000), None),
        ("Column buffer", memoryview, (quibs,), None),
        ("Column buffer of text", memoryview, (n.col_format(sorns, SornId, "string", 0, False)[0],),
         BufferError),
        ("quib_to_sorn int64", n.col_quib_to_sorn, (sorns, None, 0), TypeError),
        ("quib_to_sorn order text", n.col_quib_to_sorn, (quibs, texts, 0), TypeError),
    ]:
        yield Op(f"columns {label}", fn, args, exc)
    for label, fn, args, exc in [
        ("quib_to_sorn crowd", n.col_quib_to_sorn, (crowd, None, 0), ValueError),
        ("sornid_conflicts crowd", n.col_sornid_conflicts, (crowd, 0, 1000), None),
    ]:
        yield Op(f"columns {label}", fn, args, exc, weight=400)


def _lines_ops():
    """The text-line kernels of sornquibid._native (the command-line tool's
    reading and writing), over bytes and the module's own columns."""
    import numpy as np

    from sornquibid import _native as n

    data = b"".join(b" %d \r\n\n" % (7130316800000040967 + i) for i in range(40)) + b"\xe3\x80\x80x"
    texts, _ = n.split_lines(data, False, False)
    sorns = n.col_parse(n.split_lines(data[:-4], False, False)[0], SornId, 0, False)[0]
    quibs = n.col_sorn_to_quib(sorns, "ns", 0, False)[0]
    for label, fn, args, exc in [
        ("split", n.split_lines, (data, False, False), None),
        ("split nulls 0x", n.split_lines, (bytearray(b"\n0x" + b"A" * 32 + b"\n\n"), True, True), None),
        ("split str", n.split_lines, (data.decode("latin-1"), False, False), TypeError),
        ("split flag", n.split_lines, (data, 1, False), TypeError),
        ("join lengths", n.join_lines, ([sorns, quibs, texts], [SornId, QuibId, None], 0),
         ValueError),
        ("join pairs", n.join_lines, ((sorns, quibs), (SornId, QuibIdDesc), 0), None),
        ("join text", n.join_lines, ([texts], [None], 7), None),
        ("join numpy", n.join_lines, ([np.frombuffer(quibs, "V16")], [QuibId], 0), None),
        ("join negative", n.join_lines, ([-np.frombuffer(sorns, np.int64)], [SornId], 3), ValueError),
        ("join family", n.join_lines, ([sorns], [int], 0), TypeError),
        ("join layout", n.join_lines, ([sorns], [QuibId], 0), TypeError),
        ("join str", n.join_lines, ("ab", [None], 0), TypeError),
        ("join families", n.join_lines, ([sorns], [], 0), ValueError),
    ]:
        yield Op(f"lines {label}", fn, args, exc)


def all_ops():
    ops = []
    for group in (_sorn_ops, _sorn_desc_ops, _quib_ops, _quib_desc_ops, _mssql_ops,
                  _bytes_int_parts_ops, _package_ops, _hostile_ops, _generator_ops,
                  _columns_ops, _lines_ops):
        ops.extend(group())
    return ops


def outcome(op):
    """What a call gives, in a form two threads can compare: the result's
    text or the exception's type and message."""
    try:
        r = op.call()
    except BaseException as e:  # noqa: BLE001 - PanicException included
        return ("raises", type(e).__name__, str(e))
    return ("returns", type(r).__name__, repr(r))



def repeat(op, n):
    """Calls `op` n times, each call checked to end as the op says."""
    for _ in range(n):
        if op.raises is None:
            op.call()
            continue
        try:
            op.call()
        except op.raises:
            pass
        else:
            raise AssertionError(f"{op.name}: no {op.raises.__name__}")
