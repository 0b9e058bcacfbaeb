"""Differential fuzz harnesses: each `check_*` turns a byte string into calls
of the extension and compares every result, message and exception type with
the pure-Python model (model.py). A divergence is an AssertionError; a crash
or sanitizer report ends the process.

The bytes are decoded by `Draw` below, not by the fuzzer's own helpers, so
that a saved input replays the same way under plain pytest.
"""
import os

import model
from _sornquibid import QuibId, QuibIdDesc, SornId, SornIdDesc, mssql_schema


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
    values = [_draw_quib(d) for _ in range(d.below(24))]
    if d.below(16) == 0:
        # A crowded group around the sequence limit, spread over the sub-
        # millisecond part and the precisions so that it squashes together.
        ms, node = d.pick([1700000000000, 0, MAX_MS]), d.pick([5, 511, 0])
        shift = d.below(4)
        for k in range(8190 + d.below(6)):
            p = (k + shift) % 4
            t = ms * UNITS[p] + k % UNITS[p]
            values.insert(d.below(len(values) + 1), model.pack(t, model.PRECISIONS[p], node, k % 65536))
    return values


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


CHECKS = {"text": check_text, "schema": check_schema, "convert": check_convert}
# Whether the operations a harness calls exist in the extension at hand.
AVAILABLE = {
    "text": True,
    "schema": hasattr(mssql_schema, "mssql_install_autofill_trigger_for_table"),
    "convert": hasattr(SornId, "batch_to_quibids") and hasattr(QuibId, "batch_to_sornids"),
}
