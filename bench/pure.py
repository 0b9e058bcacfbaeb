"""Both batch conversions written the straightforward way in pure Python.

This is what a user without the extension would write: identifiers as plain
ints (a SornId as its 64-bit value, a QuibId as its 128-bit big-endian
value), the same results as the library, pairs as tuples of ints.
"""

from operator import itemgetter

UNITS_PER_MS = (1000, 10**6, 10**9, 10**12)
SORN_MAX_MS = (1 << 41) - 1
SORN_MAX_NODE = 511
SORN_MAX_GROUP = 8192


def pack_quib(timestamp, precision, node_id, sequence):
    """The 128-bit value of a QuibId from its fields."""
    return (
        ((timestamp >> 41) << 80)
        | (8 << 76)
        | (((timestamp >> 29) & 0xFFF) << 64)
        | (2 << 62)
        | (precision << 60)
        | ((timestamp & 0x1FFFFFFF) << 31)
        | (node_id << 16)
        | sequence
    )


def quib_text(value):
    """The 36-character hyphenated text of a 128-bit value."""
    h = "%032x" % value
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def batch_to_quibids(ids, precision=1):
    """[(sorn, quib)] for SornId values, at the given precision code."""
    scale = UNITS_PER_MS[precision]
    head = (8 << 76) | (2 << 62) | (precision << 60)
    out = []
    append = out.append
    for v in ids:
        t = (v >> 22) * scale
        append(
            (
                v,
                head
                | ((t >> 41) << 80)
                | (((t >> 29) & 0xFFF) << 64)
                | ((t & 0x1FFFFFFF) << 31)
                | (((v >> 13) & 0x1FF) << 16)
                | (v & 0x1FFF),
            )
        )
    return out


def batch_to_sornids(ids):
    """[(quib, sorn)] for QuibId values, sorted by quib; ValueError on overflow."""
    groups = {}
    for q in ids:
        t = ((q >> 80) << 41) | (((q >> 64) & 0xFFF) << 29) | ((q >> 31) & 0x1FFFFFFF)
        ms = t // UNITS_PER_MS[(q >> 60) & 3]
        node = (q >> 16) & 0x7FFF
        if node > SORN_MAX_NODE:
            raise ValueError(f"node_id {node} exceeds SornId max ({SORN_MAX_NODE})")
        if ms > SORN_MAX_MS:
            raise ValueError(f"timestamp {ms} exceeds SornId max ({SORN_MAX_MS} ms)")
        key = (ms, node)
        group = groups.get(key)
        if group is None:
            groups[key] = [q]
        else:
            group.append(q)
    out = []
    for (ms, node), group in groups.items():
        if len(group) > SORN_MAX_GROUP:
            raise ValueError(
                f"{len(group)} IDs share (timestamp_ms={ms}, node_id={node}) after "
                f"squashing, exceeding sequence max {SORN_MAX_GROUP}"
            )
        group.sort()
        base = (ms << 22) | (node << 13)
        out.extend([(q, base | k) for k, q in enumerate(group)])
    out.sort(key=itemgetter(0))
    return out
