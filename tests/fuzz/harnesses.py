"""Differential fuzz harnesses: each `check_*` turns a byte string into calls
of the extension and compares every result, message and exception type with
the pure-Python model (model.py), or for batches of tens of thousands of
identifiers with its vectorised counterpart (crowded_model.py). A divergence
is an AssertionError; a crash or sanitizer report ends the process.

The bytes are decoded by `Draw` below, not by the fuzzer's own helpers, so
that a saved input replays the same way under plain pytest.
"""
import array
import copyreg
import functools
import itertools
import operator
import os
import pickle
import struct

import numpy as np

import crowded_model
import model
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema
from ops_catalog import Hostile, Index, Name

quib_int = model.convert_model.quib_int


class Draw:
    """Reads choices from the input bytes; past the end every read is 0."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def uint(self, nbytes):
        chunk = self.data[self.pos:self.pos + nbytes]
        self.pos += nbytes
        return int.from_bytes(chunk.ljust(nbytes, b"\0"), "little")

    def below(self, n):
        return self.uint(2 if n <= 256 else 4) % n

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def flag(self):
        return self.uint(1) & 1 == 1

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk


# Characters that matter to the parsers and the identifier gate, and a few
# that are hard on any text handling: NUL, controls, a combining mark, a
# no-break space, a wide character, a lone surrogate and non-ASCII digits.
ALPHABET = list("0123456789abcdefABCDEFxXzZ_-+{}:urnid. \"\\'\t\n\r\0\x07\x7f") + [
    "é", "\u0301", "\u00a0", "\u200b", "\u2028", "\U0001f600", "\ud800", "\u0663", "\uff10",
    "\U000e0100", "\u0378",
]


def draw_text(d, templates):
    """A template from `templates`, edited a few times, or raw UTF-8."""
    if d.uint(1) < 40:
        return d.rest().decode("utf-8", "surrogatepass" if d.flag() else "replace")
    text = list(d.pick(templates))
    for _ in range(d.below(5)):
        op, pos = d.below(4), d.below(len(text) + 1)
        if op == 0 and pos < len(text):
            text[pos] = d.pick(ALPHABET)
        elif op == 1:
            text.insert(pos, d.pick(ALPHABET))
        elif op == 2 and pos < len(text):
            del text[pos]
        elif op == 3:
            text = text * 2 if len(text) < 40 else text[: len(text) // 2]
    return "".join(text)


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def compare(call, expect):
    """Runs `call()` and `expect()`: both must return equal values, or the
    call must raise ValueError with the message the model's Refused allows.
    `expect` may raise UnicodeEncodeError to say the call must too."""
    try:
        want = expect()
    except model.Refused as refused:
        try:
            got = call()
        except ValueError as e:
            assert refused.matches(str(e)), (str(e), refused.pattern)
            return None
        raise AssertionError(f"expected ValueError {refused.pattern!r}, got {got!r}")
    except UnicodeEncodeError:
        try:
            got = call()
        except UnicodeEncodeError:
            return None
        raise AssertionError(f"expected UnicodeEncodeError, got {got!r}")
    got = call()
    assert got == want, (got, want)
    return got


def _utf8(text):
    if not encodable(text):
        raise UnicodeEncodeError("utf-8", text, 0, 1, "surrogate")
    return text


# -- text parsers ------------------------------------------------------------

Q = "0000000b-cbce-87f1-9b15-000000050007"
SORN_TEMPLATES = ["7130316800000040967", "9223372036854775807", "-9223372036854775808",
                  "+0", "-0", "007", "1", ""]
QUIB_TEMPLATES = [Q, Q.replace("-", ""), "{" + Q + "}", "urn:uuid:" + Q, Q.upper(),
                  "ffffffff-ffff-8fff-bfff-ffffffffffff", "00000000-0000-4000-c000-000000000000"]
PRECISION_TEMPLATES = model.PRECISIONS + model.LONG_NAMES + ["Femtoseconds", ""]


def _sorn_text(cls, text):
    def call():
        x = cls.from_str(text)
        assert str(x) == str(x.as_int()) and repr(x) == f"{cls.__name__}({x})"
        assert cls.from_str(str(x)) == x and hash(cls.from_str(str(x))) == hash(x)
        return x.as_int(), (x.timestamp_ms, x.node_id, x.sequence)

    def expect():
        v = model.parse_sorn(_utf8(text))
        fields = model.sorn_fields(v ^ (model.SORN_DESC_MASK if cls is SornIdDesc else 0))
        return v, fields

    compare(call, expect)


def _quib_text(cls, text):
    desc = cls is QuibIdDesc

    def call():
        x = cls.from_str(text)
        assert repr(x) == f"{cls.__name__}({x})" and cls.from_str(str(x)) == x
        assert str(x.to_uuid()) == str(x)
        fields = (x.timestamp, x.precision, x.node_id, x.sequence)
        micros = None if desc else x.timestamp_micros
        return str(x), fields, micros

    def expect():
        v = model.parse_quib(_utf8(text))
        fields = model.unpack(v ^ (model.QUIB_DESC_MASK if desc else 0))
        micros = None if desc else fields[0] // 10 ** (3 * model.PRECISIONS.index(fields[1]))
        return model.quib_text(v), fields, micros

    compare(call, expect)


def _precision_argument(d, text):
    t = d.pick([0, 1, 2**89 - 1, 2**89, 2**128 - 1, d.uint(12)])
    node = d.pick([0, 32767, 32768, 65535, d.uint(2)])
    seq = d.uint(2)

    def call():
        x = QuibIdDesc.from_parts(t, text, node, seq)
        return str(x), (x.timestamp, x.precision, x.node_id, x.sequence)

    def expect():
        v = model.quib_desc_from_parts(t, _utf8(text), node, seq)
        return model.quib_text(v), model.unpack(v ^ model.QUIB_DESC_MASK)

    compare(call, expect)


def check_text(data):
    d = Draw(data)
    target = d.below(5)
    if target == 0:
        _sorn_text(SornId, draw_text(d, SORN_TEMPLATES))
    elif target == 1:
        _sorn_text(SornIdDesc, draw_text(d, SORN_TEMPLATES))
    elif target == 2:
        _quib_text(QuibId, draw_text(d, QUIB_TEMPLATES))
    elif target == 3:
        _quib_text(QuibIdDesc, draw_text(d, QUIB_TEMPLATES))
    else:
        _precision_argument(d, draw_text(d, PRECISION_TEMPLATES))


# -- SQL identifier gate and trigger scripts ---------------------------------

NAME_TEMPLATES = ["orders", "id", "id_desc", "_", "Order_Items2", "a" * 63, "select",
                  "dbo.orders", "[orders]", "naïve", "1abc"]
KINDS = ["sorn", "quib", "Sorn", "", "quib ", "sornquib"]


class _Panic(Exception):
    pass


def check_schema(data):
    d = Draw(data)
    install = mssql_schema.mssql_install_autofill_trigger_for_table
    drop = mssql_schema.mssql_drop_autofill_trigger_for_table
    table = draw_text(d, NAME_TEMPLATES) if d.flag() else d.pick(NAME_TEMPLATES)
    if d.below(4) == 0:
        compare(lambda: drop(table), lambda: model.drop_script(_utf8(table)))
        return
    pairs = []
    for _ in range(d.below(4)):
        src = d.pick(NAME_TEMPLATES) if d.flag() else draw_text(d, NAME_TEMPLATES)
        dst = d.pick(NAME_TEMPLATES) if d.flag() else draw_text(d, NAME_TEMPLATES)
        pairs.append((src, dst))
    kind = d.pick(KINDS) if d.flag() else draw_text(d, KINDS)

    def call():
        try:
            return install(table, pairs, kind)
        except BaseException as e:  # noqa: BLE001 - PanicException included
            if type(e).__name__ == "PanicException":
                assert str(e) == "at least one ColumnPair required", str(e)
                raise _Panic() from None
            raise

    def expect():
        for text in [table, *sum(pairs, ()), kind]:
            _utf8(text)
        return model.install_script(table, pairs, kind)

    try:
        compare(call, expect)
    except model.EmptyPairs:
        try:
            call()
        except _Panic:
            return
        raise AssertionError("expected PanicException") from None


# -- batch conversions -------------------------------------------------------

MAX_MS = model.convert_model.SORN_MAX_MS
UNITS = [model.convert_model.UNITS_PER_MS[p] for p in model.PRECISIONS]
MS_ANCHORS = [0, 1, 1700000000000, MAX_MS, MAX_MS + 1, 2**64 + 1700000000000, 2**64 * 3 + 1700000000000]
NODE_ANCHORS = [0, 5, 511, 512, 600, 32767]


def _draw_quib(d):
    p = d.below(4)
    ms = d.pick(MS_ANCHORS) + d.below(3)
    t = min(ms * UNITS[p] + d.below(UNITS[p]), 2**89 - 1)
    if d.below(8) == 0:
        t = d.uint(12) % 2**89
    return model.pack(t, model.PRECISIONS[p], d.pick(NODE_ANCHORS) + d.below(2), d.uint(2))


def _draw_quibs(d):
    # Up to 23 identifiers; the crowded groups around the sequence limit are
    # check_crowded's, below.
    return [_draw_quib(d) for _ in range(d.below(24))]


def _generation_precision():
    return os.environ.get("QUIBID_PRECISION", "ns")


def check_convert(data):
    d = Draw(data)
    if d.flag():
        values = [d.uint(8) % 2**63 for _ in range(d.below(16))]
        ids = [SornId(v) for v in values]
        pairs = SornId.batch_to_quibids(ids)
        got = [(s.as_int(), str(q)) for s, q in pairs]
        want = [(s, model.quib_text(q))
                for s, q in model.convert_model.batch_to_quibids(values, _generation_precision())]
        assert got == want, (got, want)
        assert all(a is not b for a, (b, _) in zip(ids, pairs))
        assert SornId.check_quibid_convertibility(ids) == []
        # Back again: milliseconds and node ids come back exactly.
        back = QuibId.batch_to_sornids([q for _, q in pairs])
        assert sorted((s.timestamp_ms, s.node_id) for _, s in back) == sorted(
            model.sorn_fields(v)[:2] for v in values)
        return
    values = _draw_quibs(d)
    ids = [QuibId.from_str(model.quib_text(v)) for v in values]

    def call():
        return [(str(q), s.as_int()) for q, s in QuibId.batch_to_sornids(ids)]

    def expect():
        return [(model.quib_text(q), s) for q, s in model.quib_to_sorn(values)]

    converted = compare(call, expect)
    got = QuibId.check_sornid_convertibility(ids)
    assert got == model.convert_model.check_sornid_convertibility(values)
    assert (got == []) == (converted is not None)
    # The structured records: the same conflicts in the same order, each with
    # the model's fields, its identifiers in input order and the check's text.
    details = [(*record[:5], [quib_int(q) for q in record[5]], record[6])
               for record in QuibId.sornid_conflict_details(ids)]
    assert details == [(*record, text) for record, text in zip(model.conflict_records(values), got)]


# -- crowded groups ------------------------------------------------------------
#
# Batches of up to about 50,000 identifiers whose (millisecond, node id)
# groups hold around 8192 of them, several groups at once (some of them of a
# node id or millisecond a SornId cannot hold), of mixed precisions, with
# duplicates, in any order, among a few identifiers drawn as above. Drawn
# and checked with numpy against the vectorised model (crowded_model.py),
# since a per-identifier model takes seconds for one such batch.

U64 = _u = np.uint64
GROUP_SIZES = [8191, 8192, 8193, 8190, 8194, 16385, 1, 2, 300]
# Keys of groups that convert, then (in one batch in four) of groups that
# cannot.
GROUP_MS = [1700000000000, 0, MAX_MS - 1, MAX_MS + 1, 2**64 + 1700000000000]
GROUP_NODES = [5, 0, 510, 512, 32767]


def _pack_arrays(t_hi, t_lo, p, node, seq):
    """(hi, lo) of the identifiers whose timestamp is t_hi * 2**64 + t_lo."""
    hi = (t_hi << _u(23) | t_lo >> _u(41)) << _u(16) | _u(8 << 12) | (t_lo >> _u(29)) & _u(0xFFF)
    lo = (_u(2 << 62) | p << _u(60) | (t_lo & _u(0x1FFFFFFF)) << _u(31) | node << _u(16) | seq)
    return hi, lo


def _draw_group(d, rng, faults):
    """One group: identifiers that all squash to one (millisecond, node id)."""
    keys = 5 if faults else 3
    ms = GROUP_MS[d.below(keys)] + d.below(2)
    node = (GROUP_NODES[d.below(keys)] + d.below(2)) & 0x7FFF
    n = max(1, d.pick(GROUP_SIZES) + (d.below(3) - 1 if d.flag() else 0))
    k = np.arange(n, dtype=U64)
    # The precisions in which the whole millisecond fits 89 bits.
    allowed = [p for p in range(4) if (ms + 1) * UNITS[p] <= 2**89]
    how = d.below(3)
    if how == 0:
        p = np.full(n, d.pick(allowed), dtype=U64)
    elif how == 1:
        p = np.array(allowed, dtype=U64)[(k + _u(d.below(4))) % _u(len(allowed))]
    else:
        p = np.array(allowed, dtype=U64)[rng.randint(0, len(allowed), n)]
    units = np.array(UNITS, dtype=U64)[p]
    how = d.below(4)
    if how == 0:
        sub = k % units  # spread over the millisecond
    elif how == 1:
        sub = (rng.randint(0, 2**62, n, dtype=np.int64).astype(U64)) % units
    elif how == 2:
        sub = np.zeros(n, dtype=U64)
    else:
        sub = units - _u(1)
    how = d.below(3)
    if how == 0:
        seq = k % _u(65536)
    elif how == 1:
        seq = np.full(n, d.uint(2), dtype=U64)  # with an equal sub: duplicates
    else:
        seq = rng.randint(0, 65536, n).astype(U64)
    # ms * units + sub, in two 64-bit halves.
    base = {q: ms * UNITS[q] for q in allowed}
    base_hi = np.array([base.get(q, 0) >> 64 for q in range(4)], dtype=U64)[p]
    base_lo = np.array([base.get(q, 0) & (2**64 - 1) for q in range(4)], dtype=U64)[p]
    t_lo = base_lo + sub
    t_hi = base_hi + (t_lo < base_lo).astype(U64)
    hi, lo = _pack_arrays(t_hi, t_lo, p, np.full(n, node, dtype=U64), seq)
    if d.below(4) == 0:  # copies of some members in place of others
        m = rng.randint(1, n + 1)
        dst, src = rng.randint(0, n, m), rng.randint(0, n, m)
        hi[dst], lo[dst] = hi[src], lo[src]
    return hi, lo


def _draw_crowd(d):
    """(hi, lo) of one crowded batch."""
    # The bulk comes from a generator seeded by the input, whose stream
    # numpy keeps the same from release to release.
    rng = np.random.RandomState(d.uint(4))
    faults = d.below(4) == 0
    parts = [_draw_group(d, rng, faults) for _ in range(1 + d.below(3))]
    strays = [_draw_quib(d) for _ in range(d.below(4) if faults else 0)]
    parts.append((np.array([v >> 64 for v in strays], dtype=U64),
                  np.array([v & (2**64 - 1) for v in strays], dtype=U64)))
    hi = np.concatenate([h for h, _ in parts])
    lo = np.concatenate([x for _, x in parts])
    how = d.below(5)
    if how == 1:
        order = rng.permutation(len(hi))
    elif how == 2:  # the groups interleaved
        order = np.argsort(np.concatenate([np.arange(len(h)) for h, _ in parts]), kind="stable")
    elif how == 3:
        order = np.lexsort((lo, hi))
    elif how == 4:
        order = np.lexsort((lo, hi))[::-1]
    else:
        order = np.arange(len(hi))
    return hi[order], lo[order]


_first, _second = operator.itemgetter(0), operator.itemgetter(1)


def _ids(raw):
    """QuibId objects of the rows of `raw`, built without a Python loop."""
    return list(itertools.starmap(QuibId.from_bytes, struct.iter_unpack("16s", raw.tobytes())))


def _joined(quibs):
    """The bytes of the QuibId objects `quibs`, one row each; the unbound
    method refuses any other type."""
    return np.frombuffer(b"".join(map(QuibId.as_bytes, quibs)), dtype=np.uint8).reshape(-1, 16)


def check_crowded(data):
    hi, lo = _draw_crowd(Draw(data))
    ids = _ids(crowded_model.as_bytes(hi, lo))
    squashed = crowded_model.squash(hi, lo)

    def call():
        pairs = QuibId.batch_to_sornids(ids)
        assert type(pairs) is list and len(pairs) == len(ids)
        assert set(map(type, pairs)) <= {tuple} and set(map(len, pairs)) <= {2}
        sorns = np.fromiter(map(SornId.as_int, map(_second, pairs)), dtype=np.int64, count=len(pairs))
        return _joined(map(_first, pairs)).tobytes(), sorns.tobytes()

    def expect():
        h, x, sorns = crowded_model.batch_to_sornids(hi, lo, squashed)
        return crowded_model.as_bytes(h, x).tobytes(), sorns.tobytes()

    converted = compare(call, expect) is not None
    records = crowded_model.conflict_records(squashed)
    texts = QuibId.check_sornid_convertibility(ids)
    assert texts == [crowded_model.conflict_text(r, hi, lo) for r in records]
    assert (texts == []) == converted
    details = QuibId.sornid_conflict_details(ids)
    assert len(details) == len(records)
    for got, want, text in zip(details, records, texts):
        assert got[:5] == want[:5] and got[6] == text, (got[:5], want[:5])
        assert type(got[5]) is tuple
        assert np.array_equal(_joined(got[5]), crowded_model.as_bytes(hi[want[5]], lo[want[5]]))


# -- calling conventions -----------------------------------------------------
#
# Constructors and static methods called every way Python offers (directly,
# through __new__, type.__call__, copyreg.__newobj_ex__, a pickle's
# NEWOBJ_EX, partial, a staticmethod object), with positional and keyword
# arguments mixed, keyword names that are str subclasses or not str at all,
# and integers that are ints, bools, __index__ objects or int subclasses whose
# every operator lies. The outcome is the model's for the values the
# arguments stand for.


INT_ANCHORS = [0, 1, -1, 300, 511, 512, 4097, 8191, 8192, 32767, 32768, 65535, 65536,
               2**41 - 1, 2**41, 2**62 + 5, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1,
               2**64, 2**64 + 5, 2**88 + 2**64 + 7, 2**89 - 1, 2**89, 2**100, 2**128 - 1, 2**128,
               2**200 + 5]
NOT_INTS = [1.0, "1", None, b"\x01"]


def _draw_int(d):
    """(argument, value it stands for); the value is None for a non-integer."""
    v = d.pick(INT_ANCHORS) if d.below(4) else d.uint(d.pick([1, 2, 8, 9, 16, 17]))
    if d.below(8) == 0:
        v = -v
    how = d.below(6)
    if how == 0 and v in (0, 1):
        return bool(v), v
    if how == 1:
        return Index(v), v
    if how == 2:
        return Hostile(v), v
    if how == 3 and d.below(3) == 0:
        x = d.pick(NOT_INTS)
        return x, None
    return v, v


def _quib_bytes(d):
    """16 bytes, most of them with version 8 and the RFC 4122 variant."""
    v = d.uint(16)
    if d.below(4):
        v = v & ~(0xF << 76 | 3 << 62) | 8 << 76 | 2 << 62
    return v.to_bytes(16, "big")


def _draw_buffer(d):
    """(argument, its bytes in C order, or None if it is no buffer)."""
    raw = _quib_bytes(d)
    if d.below(8) == 0:
        raw = raw[: d.below(16)] if d.flag() else raw + bytes(d.below(5) + 1)
    how = d.below(11)
    if how == 0:
        return bytearray(raw), raw
    if how == 1:
        return memoryview(b"..." + raw)[3:], raw
    if how == 2:
        return array.array("B", raw), raw
    if how == 3 and len(raw) % 2 == 0:
        return memoryview(raw).cast("H"), raw
    if how == 4 and len(raw) == 16:
        return memoryview(raw).cast("B", [4, 4]), raw
    if how == 5:
        return memoryview(bytes(x for c in raw for x in (c, 0xEE)))[::2], raw
    if how == 6:
        return memoryview(raw[::-1])[::-1], raw
    if how == 7 and d.below(3) == 0:
        return d.pick([raw.hex(), int.from_bytes(raw, "big"), None, list(raw)]), None
    return raw, raw


def _quib_value(cls, v):
    """The value of the identifier of cls whose stored bytes read as v."""
    if (v >> 76) & 0xF != 8:
        raise model.Refused("uuid version must be 8 (UUIDv8)")
    if (v >> 62) & 3 != 2:
        raise model.Refused("uuid variant must be RFC 4122")
    return v


def _int_in(v, lo, hi):
    if v is None:
        raise TypeError
    if not lo <= v < hi:
        raise OverflowError
    return v


def _sorn_value(cls, v):
    v = _int_in(v, -(2**63), 2**63)
    if v < 0:
        raise model.Refused("sornid must be non-negative")
    return v


def _sorn_parts(cls, t, n, s):
    t, n, s = _int_in(t, 0, 2**64), _int_in(n, 0, 2**16), _int_in(s, 0, 2**16)
    v = model.pack_sorn(t, n, s)
    return v ^ model.SORN_DESC_MASK if cls is SornIdDesc else v


def _quib_parts(cls, t, p, n, s):
    t = _int_in(t, 0, 2**128)
    if not isinstance(p, str):
        raise TypeError
    _utf8(p)
    n, s = _int_in(n, 0, 2**16), _int_in(s, 0, 2**16)
    v = model.quib_desc_from_parts(t, p, n, s)
    return v if cls is QuibIdDesc else v ^ model.QUIB_DESC_MASK


def _from_int(cls, v):
    return _quib_value(cls, _int_in(v, 0, 2**128))


def _from_bytes(cls, raw):
    if raw is None:
        raise TypeError
    if len(raw) != 16:
        raise model.Refused(f"expected 16 bytes, got {len(raw)}")
    return _quib_value(cls, int.from_bytes(raw, "big"))


def _precision(d):
    if d.below(8) == 0:
        return d.pick([None, b"us", 3]), None
    p = draw_text(d, PRECISION_TEMPLATES) if d.below(4) == 0 else d.pick(PRECISION_TEMPLATES)
    return p, p


# (class, static method or None for the constructor, parameters, drawers, model)
_INT, _TEXT, _BUF = _draw_int, _precision, _draw_buffer
TARGETS = [
    (SornId, None, ["value"], [_INT], _sorn_value),
    (SornIdDesc, None, ["value"], [_INT], _sorn_value),
    (QuibId, None, [], [], None),
    (QuibIdDesc, None, [], [], None),
    (SornIdDesc, "from_parts", ["timestamp_ms", "node_id", "sequence"], [_INT] * 3, _sorn_parts),
    (QuibIdDesc, "from_parts", ["timestamp", "precision", "node_id", "sequence"],
     [_INT, _TEXT, _INT, _INT], _quib_parts),
]
if hasattr(QuibId, "from_bytes"):
    TARGETS += [
        (SornId, "from_parts", ["timestamp_ms", "node_id", "sequence"], [_INT] * 3, _sorn_parts),
        (QuibId, "from_parts", ["timestamp", "precision", "node_id", "sequence"],
         [_INT, _TEXT, _INT, _INT], _quib_parts),
        (QuibId, "from_int", ["value"], [_INT], _from_int),
        (QuibIdDesc, "from_int", ["value"], [_INT], _from_int),
        (QuibId, "from_bytes", ["b"], [_BUF], _from_bytes),
        (QuibIdDesc, "from_bytes", ["b"], [_BUF], _from_bytes),
    ]


def _newobj_ex_pickle(cls, args, kwargs):
    """A pickle that loads as cls.__new__(cls, *args, **kwargs) (NEWOBJ_EX),
    the arguments pickled as they are."""
    def body(obj):  # protocol 2 opcodes, valid in a protocol 4 stream
        return pickle.dumps(obj, protocol=2)[2:-1]
    return (b"\x80\x04c_sornquibid\n" + cls.__name__.encode() + b"\n" + body(tuple(args))
            + body(kwargs) + b"\x92.")


def _draw_arguments(d, params, drawers):
    """(positional, keyword pairs, the values bound to the parameters or the
    TypeError the binding must raise)."""
    drawn = [draw(d) for draw in drawers]
    args = [a for a, _ in drawn]
    values = [v for _, v in drawn]
    npos = d.below(len(params) + 1)
    pos = args[:npos]
    kw = list(zip(params[npos:], args[npos:]))
    kw = [kw[i] for i in sorted(range(len(kw)), key=lambda _: d.uint(1))]
    fault = d.below(12) if d.below(3) == 0 else None
    if fault == 0:
        pos.append(0)
    elif fault == 1 and params:
        (kw.pop() if kw else pos.pop())
    elif fault == 2 and pos:
        kw.append((params[0], pos[0]))
    elif fault == 3:
        kw.append(("no_such_parameter", 0))
    elif fault in (4, 5) and kw:
        key, value = kw.pop(0)
        kw.insert(0, (d.pick([key.encode(), 1, None, (key,)]), value))
    elif fault in (6, 7):
        kw = [(Name(k), v) for k, v in kw]
    # What the binding makes of them.
    if any(not isinstance(k, str) for k, _ in kw):
        return pos, kw, TypeError("keywords must be strings")
    names = [str(k) for k, _ in kw]
    if (len(pos) > len(params) or len(set(names)) < len(names)
            or any(n not in params for n in names) or len(pos) + len(names) != len(params)
            or any(params.index(n) < len(pos) for n in names)):
        return pos, kw, TypeError()
    bound = dict(zip(params, values))
    return pos, kw, [bound[p] for p in params]


def _conventions(cls, method):
    """The ways to call the target, each f(pos, kwargs)."""
    if method is not None:
        fn = getattr(cls, method)
        return [
            lambda pos, kw: fn(*pos, **kw),
            lambda pos, kw: fn.__call__(*pos, **kw),
            lambda pos, kw: cls.__dict__[method](*pos, **kw),
            lambda pos, kw: functools.partial(fn, *pos)(**kw),
        ]
    return [
        lambda pos, kw: cls(*pos, **kw),
        lambda pos, kw: cls.__new__(cls, *pos, **kw),
        lambda pos, kw: type.__call__(cls, *pos, **kw),
        lambda pos, kw: copyreg.__newobj_ex__(cls, tuple(pos), kw),
        lambda pos, kw: pickle.loads(_newobj_ex_pickle(cls, pos, kw)),
        lambda pos, kw: functools.partial(cls, *pos)(**kw),
    ]


def check_calls(data):
    d = Draw(data)
    cls, method, params, drawers, want = d.pick(TARGETS)
    pos, kw, bound = _draw_arguments(d, params, drawers)
    how = d.pick(_conventions(cls, method))
    kwargs = dict(kw)
    if len(kwargs) < len(kw):  # two equal keys: the dict keeps one
        return
    try:
        got = how(pos, kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException included
        got = e
    if want is None:
        # No constructor: the interpreter refuses, whatever the arguments.
        assert isinstance(got, (TypeError, pickle.UnpicklingError)), repr(got)
        return
    if isinstance(bound, TypeError):
        assert type(got) is TypeError, repr(got)
        assert not bound.args or str(got) == bound.args[0], (str(got), bound.args)
        return
    try:
        value = want(cls, *bound)
    except (TypeError, OverflowError, UnicodeEncodeError) as e:
        assert type(got) is type(e), (repr(got), type(e))
        return
    except model.Refused as refused:
        assert type(got) is ValueError and refused.matches(str(got)), (repr(got), refused.pattern)
        return
    assert type(got) is cls and got.as_int() == value, (repr(got), value)


CHECKS = {"text": check_text, "schema": check_schema, "convert": check_convert,
          "crowded": check_crowded, "calls": check_calls}
# Whether the operations a harness calls exist in the extension at hand.
AVAILABLE = {
    "text": True,
    "schema": hasattr(mssql_schema, "mssql_install_autofill_trigger_for_table"),
    "convert": hasattr(SornId, "batch_to_quibids") and hasattr(QuibId, "batch_to_sornids"),
    "crowded": hasattr(QuibId, "sornid_conflict_details") and hasattr(QuibId, "from_bytes"),
    "calls": True,
}
