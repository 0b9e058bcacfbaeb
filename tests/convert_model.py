"""A pure-Python model of both batch conversions, used as the oracle.

Identifiers are plain ints: a SornId as its 64-bit value, a QuibId as its
128-bit big-endian value. Dicts keep insertion order, which is the order in
which keys first appear.
"""
from quib_layout import pack, text, unpack

UNITS_PER_MS = {"us": 10**3, "ns": 10**6, "ps": 10**9, "fs": 10**12}
SORN_MAX_MS = 2**41 - 1
SORN_MAX_NODE = 511
GROUP_MAX = 8192


def sorn_fields(sorn):
    return sorn >> 22, (sorn >> 13) & 0x1FF, sorn & 0x1FFF


def sorn_to_quib(sorn, precision):
    ms, node, seq = sorn_fields(sorn)
    return pack(ms * UNITS_PER_MS[precision], precision, node, seq)


def batch_to_quibids(sorns, precision):
    return [(s, sorn_to_quib(s, precision)) for s in sorns]


def squash(quib):
    timestamp, precision, node, _ = unpack(quib)
    return timestamp // UNITS_PER_MS[precision], node


def node_error(node):
    return f"node_id {node} exceeds SornId max ({SORN_MAX_NODE})"


def timestamp_error(ms):
    return f"timestamp {ms} exceeds SornId max ({SORN_MAX_MS} ms)"


def group_error(ms, node, count):
    return (f"{count} IDs share (timestamp_ms={ms}, node_id={node}) after squashing, "
            f"exceeding sequence max {GROUP_MAX}")


def batch_to_sornids(quibs):
    """[(quib, sorn)] sorted, or the error message (a str)."""
    groups = {}
    for q in quibs:
        ms, node = squash(q)
        if node > SORN_MAX_NODE:
            return node_error(node)
        if ms > SORN_MAX_MS:
            return timestamp_error(ms)
        groups.setdefault((ms, node), []).append(q)
    out = []
    for (ms, node), members in groups.items():
        if len(members) > GROUP_MAX:
            return group_error(ms, node, len(members))
        out.extend((q, ms << 22 | node << 13 | k) for k, q in enumerate(sorted(members)))
    return sorted(out)


def conflict_text(kind, quibs):
    ids = ", ".join(f"QuibId({text(q)})" for q in quibs)
    return f"ConversionConflict {{ kind: {kind}, quib_ids: [{ids}] }}"


def check_sornid_convertibility(quibs):
    nodes, stamps, groups = {}, {}, {}
    for q in quibs:
        ms, node = squash(q)
        if node > SORN_MAX_NODE:
            nodes.setdefault(node, []).append(q)
        elif ms > SORN_MAX_MS:
            stamps.setdefault(ms, []).append(q)
        else:
            groups.setdefault((ms, node), []).append(q)
    out = [conflict_text(f"NodeIdOverflow {{ node_id: {node} }}", m) for node, m in nodes.items()]
    out += [conflict_text(f"TimestampOverflow {{ timestamp_ms: {ms} }}", m)
            for ms, m in stamps.items()]
    out += [conflict_text(f"SequenceOverflow {{ timestamp_ms: {ms}, node_id: {node}, "
                          f"count: {len(m)}, max: {GROUP_MAX} }}", m)
            for (ms, node), m in groups.items() if len(m) > GROUP_MAX]
    return out


# ---------------------------------------------------------------------------
# Bridges between the model's ints and the library's objects.


def quib_obj(value):
    from _sornquibid import QuibId

    return QuibId.from_str(text(value))


def quib_int(obj):
    return int(str(obj).replace("-", ""), 16)


def pairs_as_ints(pairs, first, second):
    """[(a, b)] of objects as ints, checking the types of both members."""
    out = []
    for pair in pairs:
        assert type(pair) is tuple and len(pair) == 2
        out.append((first(pair[0]), second(pair[1])))
    return out


class PlainSequence:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items, claimed_len=None):
        self.items = items
        self.claimed_len = claimed_len

    def __len__(self):
        return len(self.items) if self.claimed_len is None else self.claimed_len

    def __getitem__(self, i):
        return self.items[i]
