"""A vectorised model (numpy) of QuibId.batch_to_sornids, of the
convertibility check and of its conflict records, the oracle of the
crowded-group fuzz harness: the rules of convert_model.py, over whole arrays,
so that a batch of tens of thousands of identifiers costs milliseconds
rather than the seconds the per-identifier model takes.

Identifiers are two uint64 arrays, `hi` and `lo`, the upper and lower halves
of the 128-bit value; the results are arrays too, or model.Refused.
"""
import numpy as np

import model

cm = model.convert_model
U64 = np.uint64
UNITS = [cm.UNITS_PER_MS[p] for p in model.PRECISIONS]
_UNITS = np.array(UNITS, dtype=U64)


def _u(x):
    """A uint64 scalar: numpy keeps uint64 arrays uint64 only with these."""
    return U64(x)


# -- the model ---------------------------------------------------------------

def squash(hi, lo):
    """(ms_hi, ms_lo, node): the squashed millisecond value as its bits above
    and below bit 64, and the node id of every identifier."""
    p = (lo >> _u(60)) & _u(3)
    node = (lo >> _u(16)) & _u(0x7FFF)
    a = hi >> _u(16)  # timestamp bits 88..41
    b = (hi & _u(0xFFF)) << _u(29) | (lo >> _u(31)) & _u(0x1FFFFFFF)  # bits 40..0
    t_hi, t_lo = a >> _u(23), a << _u(41) | b
    units = _UNITS[p]
    # Long division by 16-bit limbs: the remainder stays below the divisor
    # (under 2**40), so no step overflows 64 bits.
    limbs = [t_hi >> _u(16), t_hi & _u(0xFFFF), t_lo >> _u(48), (t_lo >> _u(32)) & _u(0xFFFF),
             (t_lo >> _u(16)) & _u(0xFFFF), t_lo & _u(0xFFFF)]
    rem = np.zeros_like(hi)
    quotient = []
    for limb in limbs:
        q, rem = np.divmod(rem << _u(16) | limb, units)
        quotient.append(q)
    q0, q1, q2, q3, q4, q5 = quotient
    return (q0 << _u(16) | q1, q2 << _u(48) | q3 << _u(32) | q4 << _u(16) | q5, node)


def groups(*keys):
    """Equal keys (tuples of the arrays `keys`) grouped in order of first
    appearance: (group number of each element, first index of each group)."""
    n = len(keys[0])
    order = np.lexsort(keys[::-1])  # stable: equal keys keep input order
    new = np.zeros(n, dtype=bool)  # where a run of equal keys starts
    new[:1] = True
    for k in keys:
        sk = k[order]
        new[1:] |= sk[1:] != sk[:-1]
    first = order[new]
    by_first = np.argsort(first, kind="stable")
    relabel = np.empty_like(by_first)
    relabel[by_first] = np.arange(len(by_first))
    gid = np.empty(n, dtype=np.int64)
    gid[order] = relabel[np.cumsum(new) - 1]
    return gid, first[by_first]


def batch_to_sornids(hi, lo, squashed):
    """QuibId.batch_to_sornids, given squash(hi, lo): (hi, lo, sorn) of the
    pairs in their order, or raises model.Refused with the message."""
    ms_hi, ms_lo, node = squashed
    node_bad = node > _u(cm.SORN_MAX_NODE)
    bad = node_bad | (ms_hi != _u(0)) | (ms_lo > _u(cm.SORN_MAX_MS))
    if bad.any():
        i = int(np.argmax(bad))
        if node_bad[i]:
            raise model.Refused(cm.node_error(int(node[i])))
        raise model.Refused(cm.timestamp_error(int(ms_hi[i]) << 64 | int(ms_lo[i])))
    gid, first = groups(ms_lo, node)
    counts = np.bincount(gid, minlength=len(first))
    over = np.flatnonzero(counts > cm.GROUP_MAX)
    if over.size:
        j = over[0]  # groups are numbered in order of first appearance
        i = first[j]
        raise model.Refused(cm.group_error(int(ms_lo[i]), int(node[i]), int(counts[j])))
    order = np.lexsort((lo, hi))  # by 128-bit value, stable
    g = gid[order]
    by_group = np.argsort(g, kind="stable")
    starts = np.concatenate(([0], np.cumsum(counts)[:-1]))
    rank = np.empty(len(g), dtype=U64)
    rank[by_group] = (np.arange(len(g)) - starts[g[by_group]]).astype(U64)
    sorn = ms_lo[order] << _u(22) | node[order] << _u(13) | rank
    return hi[order], lo[order], sorn.astype(np.int64)


def conflict_records(squashed):
    """The records of QuibId.sornid_conflict_details less the texts, given
    squash(hi, lo), as model.conflict_records gives them but with the members
    as an index array into the input."""
    ms_hi, ms_lo, node = squashed
    node_bad = node > _u(cm.SORN_MAX_NODE)
    stamp_bad = ~node_bad & ((ms_hi != _u(0)) | (ms_lo > _u(cm.SORN_MAX_MS)))
    fine = ~(node_bad | stamp_bad)
    out = []
    for kind, mask, keys in [("NodeIdOverflow", node_bad, (node,)),
                             ("TimestampOverflow", stamp_bad, (ms_hi, ms_lo)),
                             ("SequenceOverflow", fine, (ms_lo, node))]:
        where = np.flatnonzero(mask)
        gid, first = groups(*(k[where] for k in keys))
        counts = np.bincount(gid, minlength=len(first))
        for j, f in enumerate(where[first]):
            if kind == "NodeIdOverflow":
                fields = (None, int(node[f]), None, None)
            elif kind == "TimestampOverflow":
                fields = (int(ms_hi[f]) << 64 | int(ms_lo[f]), None, None, None)
            elif counts[j] > cm.GROUP_MAX:
                fields = (int(ms_lo[f]), int(node[f]), int(counts[j]), cm.GROUP_MAX)
            else:
                continue
            out.append((kind, *fields, where[gid == j]))
    return out


HEX = np.frombuffer(b"0123456789abcdef", dtype=np.uint8)
_ITEM = b"QuibId(xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx), "
_DIGITS = np.array([i for i, c in enumerate(_ITEM) if c == ord("x")])


def as_bytes(hi, lo):
    """The 16-byte big-endian values, one row each."""
    return np.stack([hi, lo], axis=1).astype(">u8").view(np.uint8).reshape(-1, 16)


def id_list(hi, lo):
    """"QuibId(...), QuibId(...)", the identifiers of a conflict's text."""
    raw = as_bytes(hi, lo)
    text = np.tile(np.frombuffer(_ITEM, dtype=np.uint8), (len(raw), 1))
    nibbles = np.stack([raw >> 4, raw & 15], axis=2).reshape(len(raw), 32)
    text[:, _DIGITS] = HEX[nibbles]
    return text.tobytes()[:-2].decode("ascii")


def conflict_text(record, hi, lo):
    kind, ts, node, count, top, members = record
    if kind == "NodeIdOverflow":
        what = f"NodeIdOverflow {{ node_id: {node} }}"
    elif kind == "TimestampOverflow":
        what = f"TimestampOverflow {{ timestamp_ms: {ts} }}"
    else:
        what = (f"SequenceOverflow {{ timestamp_ms: {ts}, node_id: {node}, "
                f"count: {count}, max: {top} }}")
    return f"ConversionConflict {{ kind: {what}, quib_ids: [{id_list(hi[members], lo[members])}] }}"


